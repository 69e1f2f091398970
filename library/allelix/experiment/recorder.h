// The recorder: one row of statistics per stop test of a run, for any generator.
#pragma once

#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "allelix/run.h"

namespace allelix::experiment {

// A column of the user's own: its name in a trace and its value at a stop test.
template <class TGenerator>
struct Column {
  std::string name = {};
  std::function<double(const TGenerator&)> value;
};

// The generator's state at one stop test. A value the generator cannot give (no best, no
// population, no individual above the fitness floor) is NaN.
struct Row {
  int generation = 0;
  double bestFitness = std::numeric_limits<double>::quiet_NaN();  // best individual so far
  int bestGeneration = 0;
  double fittestFitness = std::numeric_limits<double>::quiet_NaN();  // fittest of the population
  double meanFitness = std::numeric_limits<double>::quiet_NaN();
  double convergence = std::numeric_limits<double>::quiet_NaN();
  StopReason reason = StopReason::None;  // the criterion that ended the run, on its last row
  std::vector<double> own = {};          // the user's columns, in their order
};

// Reads a row off a generator; draws nothing and changes nothing.
template <class TGenerator>
Row Observe(const TGenerator& generator, const std::vector<Column<TGenerator>>& columns = {}) {
  Row row;
  row.generation = generator.generation;
  row.bestGeneration = generator.bestGeneration;
  if (generator.best != nullptr) row.bestFitness = generator.best->fitness;
  if (generator.population != nullptr) {
    if (const auto* fittest = generator.FindFittest()) row.fittestFitness = fittest->fitness;
    row.meanFitness = generator.population->MeanFitness();
    row.convergence = generator.population->Convergence();
  }
  row.own.reserve(columns.size());
  for (const Column<TGenerator>& column : columns) row.own.push_back(column.value(generator));
  return row;
}

// An observer for Evolve that keeps a row per stop test; Finish (or the Evolve here, which calls
// it) gives the last row the criterion that ended the run. With keepAll false it keeps only the
// latest row.
template <class TGenerator>
class Recorder {
 public:
  explicit Recorder(std::vector<Column<TGenerator>> columns = {}, bool keepAll = true)
      : columns_(std::move(columns)), keepAll_(keepAll) {}

  void operator()(const TGenerator& generator) {
    Row row = Observe(generator, columns_);
    if (!keepAll_) rows_.clear();
    rows_.push_back(std::move(row));
  }

  const std::vector<Row>& Rows() const { return rows_; }

  // Gives the last row the criterion that ended the run, as Evolve returned it.
  void Finish(StopReason reason) {
    if (!rows_.empty()) rows_.back().reason = reason;
  }

  // Evolves an initialized generator with this recorder as the observer, as allelix::Evolve
  // does, and finishes the rows with the criterion that fired.
  StopReason Evolve(TGenerator& generator) {
    const StopReason reason = allelix::Evolve(generator, *this);
    Finish(reason);
    return reason;
  }

  // Takes up the rows of a run recorded elsewhere (a checkpoint's), to go on from them.
  void Restore(std::vector<Row> rows) {
    rows_ = std::move(rows);
    if (!keepAll_ && rows_.size() > 1) rows_.erase(rows_.begin(), rows_.end() - 1);
  }

  // Hands the rows over and starts afresh, for the next run.
  std::vector<Row> TakeRows() { return std::exchange(rows_, {}); }

  // The names of the user's columns, in the order of Row::own.
  std::vector<std::string> ColumnNames() const {
    std::vector<std::string> names;
    for (const Column<TGenerator>& column : columns_) names.push_back(column.name);
    return names;
  }

 private:
  std::vector<Column<TGenerator>> columns_;
  bool keepAll_;
  std::vector<Row> rows_;
};

}  // namespace allelix::experiment
