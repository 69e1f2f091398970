// The trace: one CSV row per stop test of every run.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "experiment.h"

namespace allelix::lab {

inline constexpr std::string_view TraceColumns =
    "generation,best_value,best_fitness,best_generation,fittest_fitness,mean_fitness,convergence";

// The header line, with a leading run column for a batch; ends in a newline.
std::string TraceHeader(bool batch);

// One row, with the run number first when given; ends in a newline.
std::string TraceRow(std::optional<int> run, const Snapshot& snapshot);

}  // namespace allelix::lab
