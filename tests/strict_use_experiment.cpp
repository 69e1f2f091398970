// The experiment layer's templates instantiated under the strict warnings of strict_headers (see
// CMakeLists.txt); strict_use_command_line.cpp adds its command line.
#include <iostream>
#include <string>

#include "allelix/experiment/experiment.h"
#include "allelix/generator.h"

namespace allelix::strict {

class CTrial final : public CIndividual<CTrial, CBit> {
 public:
  double Fitness(int fitnessContext) override { return fitnessContext + geneCount; }
};

using CTrialGenerator = CGeneratorEx<CTrial>;

// A program of every part of the layer, with a column, a success test and a description.
int UseTheExperimentLayer() {
  experiment::Program<CTrialGenerator> program;
  program.name = "strict";
  program.batch.columns = {{"genes", [](const CTrialGenerator& g) { return g.best->fitness; }}};
  program.batch.success = [](const CTrialGenerator& g) { return g.generation > 0; };
  program.batch.describe = [](const CTrialGenerator& g) { return std::to_string(g.generation); };
  program.chartColumn = 0;
  experiment::Recorder<CTrialGenerator> recorder(program.batch.columns);
  CTrialGenerator generator;
  generator.stopFlags = StopOnGenerations;
  generator.Initialize(4, 3);
  static_cast<void>(recorder.Evolve(generator));
  const experiment::BatchResult result = program.batch.Run();
  static_cast<void>(experiment::Trace(result) + experiment::DrawChart(result, program.chart, 0) +
                    experiment::BatchSummary(result));
  experiment::Console console{.out = std::cout, .err = std::cerr};
  return program.Run(experiment::Options(), console);
}

}  // namespace allelix::strict
