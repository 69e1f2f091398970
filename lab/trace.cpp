#include "trace.h"

#include "format.h"

namespace allelix::lab {

std::string TraceHeader(bool batch) {
  return (batch ? "run," : "") + std::string(TraceColumns) + "\n";
}

std::string TraceRow(std::optional<int> run, const Snapshot& snapshot) {
  std::string row = run ? std::to_string(*run) + "," : "";
  row += std::to_string(snapshot.generation) + "," + std::to_string(snapshot.bestValue) + "," +
         Shortest(snapshot.bestFitness) + "," + std::to_string(snapshot.bestGeneration) + "," +
         Shortest(snapshot.fittestFitness) + "," + Shortest(snapshot.meanFitness) + "," +
         Shortest(snapshot.convergence) + "\n";
  return row;
}

}  // namespace allelix::lab
