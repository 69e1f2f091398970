// Rows as CSV: a header line, then a line per row with the shortest decimals that read back
// exactly, and a leading run column for a batch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "allelix/experiment/numbers.h"
#include "allelix/experiment/recorder.h"

namespace allelix::experiment {

// The names of a row's own fields, in their default order.
inline constexpr std::string_view RowColumns[] = {
    "generation",   "best_fitness", "best_generation", "fittest_fitness",
    "mean_fitness", "convergence",  "stop_reason"};

class CsvWriter {
 public:
  // ownNames names the user's columns in the order of Row::own. order lists the columns to write
  // by name; left empty, it is the row's own fields, the user's columns, then stop_reason.
  // Throws std::invalid_argument for a name that is unknown, repeated, or both the row's and
  // the user's.
  explicit CsvWriter(std::vector<std::string> ownNames, bool batch = false,
                     std::vector<std::string> order = {})
      : ownNames_(std::move(ownNames)), batch_(batch) {
    for (const std::string& name : ownNames_) {
      if (RowField(name) >= 0)
        throw std::invalid_argument("column '" + name + "' is the row's own");
    }
    if (order.empty()) {
      order.assign(std::begin(RowColumns), std::end(RowColumns) - 1);
      order.insert(order.end(), ownNames_.begin(), ownNames_.end());
      order.emplace_back(RowColumns[std::size(RowColumns) - 1]);
    }
    for (const std::string& name : order) {
      if (std::count(order.begin(), order.end(), name) > 1) {
        throw std::invalid_argument("column '" + name + "' is listed twice");
      }
      columns_.push_back(ColumnIndex(name));
    }
    order_ = std::move(order);
  }

  // The header line, ending in a newline.
  std::string Header() const {
    std::string line = batch_ ? "run," : "";
    for (std::size_t i = 0; i < order_.size(); ++i) line += (i > 0 ? "," : "") + Quoted(order_[i]);
    return line + "\n";
  }

  // One line, with the run number first in a batch; ends in a newline.
  std::string Line(const Row& row, int run = 0) const {
    std::string line = batch_ ? std::to_string(run) + "," : "";
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      line += (i > 0 ? "," : "") + Field(row, columns_[i]);
    }
    return line + "\n";
  }

  // The lines of a run's rows.
  std::string Lines(const std::vector<Row>& rows, int run = 0) const {
    std::string lines;
    for (const Row& row : rows) lines += Line(row, run);
    return lines;
  }

 private:
  static int RowField(std::string_view name) {
    const auto* found = std::find(std::begin(RowColumns), std::end(RowColumns), name);
    return found == std::end(RowColumns) ? -1 : static_cast<int>(found - std::begin(RowColumns));
  }

  // The row's fields are 0 to 6; the user's column i is 7 + i.
  int ColumnIndex(const std::string& name) const {
    const int field = RowField(name);
    if (field >= 0) return field;
    const auto own = std::find(ownNames_.begin(), ownNames_.end(), name);
    if (own == ownNames_.end()) throw std::invalid_argument("no column named '" + name + "'");
    return static_cast<int>(std::size(RowColumns)) + static_cast<int>(own - ownNames_.begin());
  }

  static std::string Field(const Row& row, int column) {
    switch (column) {
      case 0:
        return std::to_string(row.generation);
      case 1:
        return Shortest(row.bestFitness);
      case 2:
        return std::to_string(row.bestGeneration);
      case 3:
        return Shortest(row.fittestFitness);
      case 4:
        return Shortest(row.meanFitness);
      case 5:
        return Shortest(row.convergence);
      case 6:
        return row.reason == StopReason::None ? "" : std::string(StopReasonName(row.reason));
      default: {
        const auto own = static_cast<std::size_t>(column) - std::size(RowColumns);
        return own < row.own.size() ? Shortest(row.own[own]) : "";
      }
    }
  }

  // A name as a CSV field: quoted, with quotes doubled, when it holds a separator or a quote.
  static std::string Quoted(const std::string& name) {
    if (name.find_first_of(",\"\r\n") == std::string::npos) return name;
    std::string quoted = "\"";
    for (const char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
  }

  std::vector<std::string> ownNames_;
  bool batch_;
  std::vector<std::string> order_;
  std::vector<int> columns_;
};

}  // namespace allelix::experiment
