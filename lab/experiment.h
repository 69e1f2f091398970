// The square-root problem as an experiment program under the lab's options.
#pragma once

#include "allelix/experiment/program.h"
#include "options.h"
#include "square_root.h"

namespace allelix::lab {

// Gives the generator every setting the options chose; the others keep their values.
void Configure(const Options& options, demo::CMyGenerator& generator);

// The lab's program: its columns, texts, success test and summaries for these options.
experiment::Program<demo::CMyGenerator> SquareRootProgram(const Options& options);

}  // namespace allelix::lab
