// The experiment layer's templates instantiated under the strict warnings of strict_headers (see
// CMakeLists.txt); strict_use_command_line.cpp adds its command line.
#include <iostream>
#include <string>

#include "allelix/experiment/experiment.h"
#include "allelix/generator.h"
#include "strict_use.h"

namespace allelix::strict {

using CUseGenerator = CGeneratorEx<CUse>;

// A program of every part of the layer, with a column, a success test and a description, and a
// recorder of a run of its own.
int UseTheExperimentLayer() {
  experiment::Program<CUseGenerator> program;
  program.batch.columns = {{"genes", [](const CUseGenerator& g) { return g.best->fitness; }}};
  program.batch.success = [](const CUseGenerator& g) { return g.generation > 0; };
  program.batch.describe = [](const CUseGenerator& g) { return std::to_string(g.generation); };
  program.chartColumn = 0;
  experiment::Recorder<CUseGenerator> recorder(program.batch.columns);
  CUseGenerator generator;
  generator.Initialize(4, 3);
  static_cast<void>(recorder.Evolve(generator));
  experiment::Console console{.out = std::cout, .err = std::cerr};
  return program.Run(experiment::Options(), console);
}

}  // namespace allelix::strict
