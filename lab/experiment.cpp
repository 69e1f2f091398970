#include "experiment.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace allelix::lab {

namespace {

using experiment::RunRecord;
using experiment::Shortest;

// The trace's columns: the decoded best value comes second.
const std::vector<std::string> TraceColumns = {"generation",      "best_value",      "best_fitness",
                                               "best_generation", "fittest_fitness", "mean_fitness",
                                               "convergence"};

// The user column the lab adds: the best individual read as a number.
double BestValue(const RunRecord& record) { return record.last.own.front(); }

std::string RunSummary(const RunRecord& record) {
  return "stop reason: " + std::string(StopReasonName(record.Reason())) + "\n" +
         "generations: " + std::to_string(record.last.generation) + "\n" +
         "value found: " + Shortest(BestValue(record)) + "\n" +
         "fitness: " + Shortest(record.last.bestFitness) + "\n" +
         "found in generation: " + std::to_string(record.last.bestGeneration) + "\n";
}

// The chance that a rate trial succeeds on the classic engine, whose draws run from 0 to 32767:
// a draw below rate x 10^7 (or equal to it, for the tournament's trial) succeeds.
double ClassicChance(double rate, bool orEqual) {
  const double threshold = rate * 10000000.0;
  if (!(threshold >= 0)) return 0;
  const double successes = orEqual ? std::floor(threshold) + 1 : std::ceil(threshold);
  return std::min(successes, 32768.0) / 32768.0;
}

// A chance to four decimals.
std::string Chance(double chance) { return Shortest(std::round(chance * 10000.0) / 10000.0); }

// What the classic engine makes of the rates this run uses.
std::string ClassicNote(const demo::CMyGenerator& g) {
  std::string note =
      "note: the classic engine draws 15-bit numbers, so a rate trial succeeds with chance "
      "min(1, ceil(rate x 10^7) / 32768): here the mutation rate acts as " +
      Chance(ClassicChance(g.mutationRate, false));
  if (g.crossoverType != CrossoverNone) {
    note += ", the crossover rate as " + Chance(ClassicChance(g.crossoverRate, false));
  }
  if (g.crossoverType == CrossoverUniform) {
    note += ", the uniform rate as " + Chance(ClassicChance(g.uniformRate, false));
  }
  if (g.selectionType == SelectionTournament) {
    note += ", the tournament rate as " + Chance(ClassicChance(g.tournamentRate, true));
  }
  return note + "\n";
}

}  // namespace

void Configure(const Options& options, demo::CMyGenerator& generator) {
  generator.selectionType = options.selectionType;
  generator.crossoverType = options.crossoverType;
  generator.stopFlags = options.stopFlags;
  if (options.mutationRate) generator.mutationRate = *options.mutationRate;
  if (options.crossoverRate) generator.crossoverRate = *options.crossoverRate;
  if (options.uniformRate) generator.uniformRate = *options.uniformRate;
  if (options.tournamentRate) generator.tournamentRate = *options.tournamentRate;
  if (options.eliteCount) generator.eliteCount = *options.eliteCount;
  if (options.convergenceThreshold) generator.convergenceThreshold = *options.convergenceThreshold;
  if (options.maxMinutes) generator.maxMinutes = *options.maxMinutes;
  if (options.maxGenerations) generator.maxGenerations = *options.maxGenerations;
  if (options.maxStagnation) generator.maxStagnation = *options.maxStagnation;
}

experiment::Program<demo::CMyGenerator> SquareRootProgram(const Options& options) {
  experiment::Program<demo::CMyGenerator> program;
  program.name = "allelix-lab";
  program.problem = "Square root of 1,522,756";
  program.settings =
      ", selection " + std::string(OperatorNameOf(SelectionNames, options.selectionType)) +
      ", crossover " + std::string(OperatorNameOf(CrossoverNames, options.crossoverType));
  program.batch.configure = [options](demo::CMyGenerator& g) { Configure(options, g); };
  program.batch.columns = {{"best_value", [](const demo::CMyGenerator& g) {
                              return static_cast<double>(demo::Decode(*g.best));
                            }}};
  program.batch.success = [](const demo::CMyGenerator& g) {
    return demo::Decode(*g.best) == demo::Root;
  };
  program.traceColumns = TraceColumns;
  program.chart.optimum = 1.0;
  program.chart.optimumLabel = "exact: found 1234";
  program.summary.successLabel = "found 1234";
  program.summary.statistics = {
      experiment::GenerationsStatistic(),
      {"|value - 1234|", [](const RunRecord& r) { return std::abs(BestValue(r) - demo::Root); }}};
  program.runSummary = RunSummary;
  if (options.engine == Engine::Classic) {
    demo::CMyGenerator generator;
    Configure(options, generator);
    program.footer = ClassicNote(generator);
  }
  return program;
}

}  // namespace allelix::lab
