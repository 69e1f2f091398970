#include "summary.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

#include "format.h"

namespace allelix::lab {

namespace {

// The quantile p of sorted values, interpolated linearly between neighbouring order statistics.
double Quantile(const std::vector<double>& sorted, double p) {
  const double position = p * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<std::size_t>(position);
  if (below + 1 >= sorted.size()) return sorted.back();
  const double fraction = position - static_cast<double>(below);
  return sorted[below] + fraction * (sorted[below + 1] - sorted[below]);
}

std::string SpreadLine(const std::string& what, const std::vector<double>& values) {
  const Spread spread = SpreadOf(values);
  return what + ": median " + Shortest(spread.median) + ", min " + Shortest(spread.min) +
         ", quartiles " + Shortest(spread.lowerQuartile) + " and " +
         Shortest(spread.upperQuartile) + ", max " + Shortest(spread.max) + "\n";
}

}  // namespace

Spread SpreadOf(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values.front(), Quantile(values, 0.25), Quantile(values, 0.5), Quantile(values, 0.75),
          values.back()};
}

std::string RunSummary(const RunResult& result) {
  return "stop reason: " + std::string(StopReasonName(result.reason)) + "\n" +
         "generations: " + std::to_string(result.generations) + "\n" +
         "value found: " + std::to_string(result.value) + "\n" +
         "fitness: " + Shortest(result.fitness) + "\n" +
         "found in generation: " + std::to_string(result.foundGeneration) + "\n";
}

std::string BatchSummary(const std::vector<RunResult>& results, double runSeconds,
                         double wallSeconds, int threads, bool processes) {
  std::vector<double> generations;
  std::vector<double> errors;
  std::map<std::string_view, int> reasons;
  int found = 0;
  for (const RunResult& result : results) {
    generations.push_back(result.generations);
    const std::int64_t error = std::abs(std::int64_t{result.value} - demo::Root);
    errors.push_back(static_cast<double>(error));
    if (error == 0) ++found;
    ++reasons[StopReasonName(result.reason)];
  }
  const auto runs = static_cast<double>(results.size());
  const double percent = std::round(found * 1000.0 / runs) / 10.0;
  std::string text = "found 1234: " + std::to_string(found) + " of " +
                     std::to_string(results.size()) + " runs (" + Shortest(percent) + "%)\n";
  text += SpreadLine("generations", generations);
  text += SpreadLine("|value - 1234|", errors);
  text += "stop reasons:";
  for (const auto& [name, count] : reasons) {
    text.append(" ").append(name).append(" ").append(std::to_string(count));
  }
  text += "\ntime per run: " + Fixed(runSeconds * 1000.0 / runs, 1) + " ms (" +
          Fixed(wallSeconds, 2) + " s in all on " + std::to_string(threads) +
          (processes      ? " processes)\n"
           : threads == 1 ? " thread)\n"
                          : " threads)\n");
  return text;
}

}  // namespace allelix::lab
