// A program of a user's own with the installed experiment layer: a batch of OneMax runs, its
// trace, chart and summary. Exits 0 when all three come out as expected.
#include "allelix/experiment/experiment.h"

#include <iostream>
#include <string>

#include "allelix/generator.h"

class COnes final : public allelix::CIndividual<COnes, allelix::CBit> {
 public:
  double Fitness(int /*fitnessContext*/) override {
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};

class COnesGenerator final : public allelix::CGeneratorEx<COnes> {
 public:
  COnesGenerator() {
    stopFlags = allelix::StopOnGenerations;
    maxGenerations = 30;
    mutationRate = 0.5;
    selectionType = allelix::SelectionTournament;
  }
};

int main() {
  namespace ex = allelix::experiment;
  ex::Batch<COnesGenerator> batch;
  batch.runs = 4;
  batch.seed = 1;
  batch.threads = 2;
  batch.initialize = [](COnesGenerator& g) { g.Initialize(50, 16); };
  batch.success = [](const COnesGenerator& g) { return g.best->fitness == 16; };
  const ex::BatchResult result = batch.Run();

  const std::string trace = ex::Trace(result);
  const std::string svg = ex::DrawChart(result, {.title = "OneMax on 16 bits", .optimum = 16});
  const std::string summary = ex::BatchSummary(result);
  std::cout << summary;

  const bool traced =
      trace.rfind("run,generation,", 0) == 0 && trace.find("\n3,30,") != std::string::npos;
  const bool drawn =
      svg.rfind("<svg", 0) == 0 && svg.find("OneMax on 16 bits") != std::string::npos;
  const bool summed =
      summary.find("success: ") == 0 && summary.find("generations 4") != std::string::npos;
  return traced && drawn && summed ? 0 : 1;
}
