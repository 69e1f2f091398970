// The chart: distance from the optimum and convergence over the generations, as SVG.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace allelix::lab {

// What one run's stop tests saw, generation by generation (entry g is generation g).
struct RunSeries {
  std::vector<double> bestError;  // 1 - fitness of the best individual so far
  std::vector<double> meanError;  // 1 - the population's mean fitness
  std::vector<double> convergence;
};

// The words around the chart.
struct ChartText {
  std::string title;
  std::string subtitle;
  std::optional<double> convergenceThreshold;  // drawn when the convergence criterion applies
};

// A self-contained SVG document. One run is drawn as its curves; a batch as the median of the
// runs with bands for their spread, a finished run counting with its last value.
std::string DrawChart(const std::vector<RunSeries>& runs, const ChartText& text);

}  // namespace allelix::lab
