// The human summary of one run or of a batch.
#pragma once

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "allelix/experiment/batch.h"
#include "allelix/experiment/numbers.h"
#include "allelix/experiment/statistics.h"

namespace allelix::experiment {

// A quantity of each finished run whose spread over a batch the summary shows.
struct Statistic {
  std::string label = {};
  std::function<double(const RunRecord&)> value;
};

inline Statistic GenerationsStatistic() {
  return {"generations", [](const RunRecord& r) { return static_cast<double>(r.last.generation); }};
}

inline Statistic BestFitnessStatistic() {
  return {"best fitness", [](const RunRecord& r) { return r.last.bestFitness; }};
}

// What a batch summary says besides its stop reasons and times.
struct SummaryFormat {
  std::string successLabel = "success";  // the line of the success test, when the batch had one
  std::vector<Statistic> statistics = {GenerationsStatistic(), BestFitnessStatistic()};
};

// "label: k of n runs (p%)", the percentage rounded to one decimal.
inline std::string SuccessLine(const std::string& label, int successes, int runs) {
  const double percent = std::round(successes * 1000.0 / runs) / 10.0;
  return label + ": " + std::to_string(successes) + " of " + std::to_string(runs) + " runs (" +
         Shortest(percent) + "%)\n";
}

// "label: median m, min a, quartiles q1 and q3, max b" of a non-empty sample.
inline std::string SpreadLine(const std::string& label, const std::vector<double>& values) {
  const Spread spread = SpreadOf(values);
  return label + ": median " + Shortest(spread.median) + ", min " + Shortest(spread.min) +
         ", quartiles " + Shortest(spread.lowerQuartile) + " and " +
         Shortest(spread.upperQuartile) + ", max " + Shortest(spread.max) + "\n";
}

// "stop reasons: name count ..." in the order of the names.
inline std::string StopReasonsLine(const std::vector<RunRecord>& records) {
  std::map<std::string_view, int> reasons;
  for (const RunRecord& record : records) ++reasons[StopReasonName(record.Reason())];
  std::string line = "stop reasons:";
  for (const auto& [name, count] : reasons) {
    line.append(" ").append(name).append(" ").append(std::to_string(count));
  }
  return line + "\n";
}

// The mean time of a run (adding up the runs' own times in run order) and the batch's time on
// its threads or processes.
inline std::string TimingLine(const BatchResult& result) {
  double runSeconds = 0;
  for (const RunRecord& record : result.records) runSeconds += record.seconds;
  const auto runs = static_cast<double>(result.records.size());
  return "time per run: " + Fixed(runSeconds * 1000.0 / runs, 1) + " ms (" +
         Fixed(result.wallSeconds, 2) + " s in all on " + std::to_string(result.threads) +
         (result.onProcesses    ? " processes)\n"
          : result.threads == 1 ? " thread)\n"
                                : " threads)\n");
}

// The lines of a batch: the success rate, each statistic's spread, the stop reasons, the times.
inline std::string BatchSummary(const BatchResult& result, const SummaryFormat& format = {}) {
  const std::vector<RunRecord>& records = result.records;
  if (records.empty()) return "no run finished\n";
  std::string text;
  if (result.successTested) {
    int successes = 0;
    for (const RunRecord& record : records) successes += record.success ? 1 : 0;
    text += SuccessLine(format.successLabel, successes, static_cast<int>(records.size()));
  }
  for (const Statistic& statistic : format.statistics) {
    std::vector<double> values;
    for (const RunRecord& record : records) values.push_back(statistic.value(record));
    text += SpreadLine(statistic.label, values);
  }
  return text + StopReasonsLine(records) + TimingLine(result);
}

// The lines of a single run: how it stopped, its best, the user's columns, its description.
inline std::string RunSummary(const RunRecord& record,
                              const std::vector<std::string>& columnNames = {}) {
  std::string text = "stop reason: " + std::string(StopReasonName(record.Reason())) + "\n" +
                     "generations: " + std::to_string(record.last.generation) + "\n" +
                     "best fitness: " + Shortest(record.last.bestFitness) + "\n" +
                     "found in generation: " + std::to_string(record.last.bestGeneration) + "\n";
  for (std::size_t i = 0; i < columnNames.size() && i < record.last.own.size(); ++i) {
    text += columnNames[i] + ": " + Shortest(record.last.own[i]) + "\n";
  }
  return text + record.description;
}

}  // namespace allelix::experiment
