// The experiment layer in one include: recorder, CSV trace, chart, batch runner, summary, output
// files, stop signals and the program that ties them together. (command_line.h, which needs CLI11,
// is apart.)
#pragma once

#include "allelix/experiment/batch.h"
#include "allelix/experiment/chart.h"
#include "allelix/experiment/csv.h"
#include "allelix/experiment/numbers.h"
#include "allelix/experiment/output_file.h"
#include "allelix/experiment/program.h"
#include "allelix/experiment/ranks.h"
#include "allelix/experiment/recorder.h"
#include "allelix/experiment/signals.h"
#include "allelix/experiment/statistics.h"
#include "allelix/experiment/summary.h"
