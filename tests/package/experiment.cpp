// A program of a user's own with the installed experiment layer: a batch of OneMax runs, its
// trace, chart and summary. Exits 0 when all three come out as expected.
#include "allelix/experiment/experiment.h"

#include <iostream>
#include <string>

#include "allelix/generator.h"
#include "ones.h"

int main() {
  namespace ex = allelix::experiment;
  ex::Batch<allelix::CGeneratorEx<COnes>> batch;
  batch.runs = 4;
  batch.seed = 1;
  batch.threads = 2;
  batch.configure = [](allelix::CGeneratorEx<COnes>& g) {
    g.stopFlags = allelix::StopOnGenerations;
    g.maxGenerations = 30;
    g.mutationRate = 0.5;
    g.selectionType = allelix::SelectionTournament;
  };
  batch.initialize = [](allelix::CGeneratorEx<COnes>& g) { g.Initialize(50, 16); };
  batch.success = [](const allelix::CGeneratorEx<COnes>& g) { return g.best->fitness == 16; };
  const ex::BatchResult result = batch.Run();
  const std::string trace = ex::Trace(result);
  const std::string svg = ex::DrawChart(result, {.title = "OneMax on 16 bits", .optimum = 16});
  const std::string summary = ex::BatchSummary(result);
  std::cout << summary;
  const bool traced = trace.starts_with("run,generation,") && trace.find("\n3,30,") != trace.npos;
  const bool drawn = svg.starts_with("<svg") && svg.find("OneMax on 16 bits") != svg.npos;
  const bool summed =
      summary.starts_with("success: ") && summary.find("generations 4") != summary.npos;
  return traced && drawn && summed ? 0 : 1;
}
