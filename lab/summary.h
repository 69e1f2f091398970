// The human summary of one run or of a batch.
#pragma once

#include <string>
#include <vector>

#include "experiment.h"

namespace allelix::lab {

// The five-number spread of a sample: quartiles interpolated linearly between order statistics.
struct Spread {
  double min = 0.0;
  double lowerQuartile = 0.0;
  double median = 0.0;
  double upperQuartile = 0.0;
  double max = 0.0;
};

// The spread of a non-empty sample.
Spread SpreadOf(std::vector<double> values);

// The lines after the first for a single run: stop reason, generations, value, fitness, when found.
std::string RunSummary(const RunResult& result);

// The lines after the first for a batch: runSeconds adds up the runs' own times, wallSeconds
// is the time the batch took on its threads (or, with `processes`, on the processes of a job).
std::string BatchSummary(const std::vector<RunResult>& results, double runSeconds,
                         double wallSeconds, int threads, bool processes = false);

}  // namespace allelix::lab
