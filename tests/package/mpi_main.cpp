// A user's program on MPI, built against the installed allelix::mpi: ranks other than 0 score.
#include <iostream>

#include "allelix/generator.h"
#include "allelix/mpi.h"

class COnes final : public allelix::CIndividual<COnes, allelix::CBit> {
 public:
  double Fitness(int /*fitnessContext*/) override {
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};

int main(int argc, char** argv) {
  allelix::mpi::Environment mpi(argc, argv);
  if (mpi.Rank() != 0) {
    allelix::mpi::ServeFitness<COnes>();
    return 0;
  }
  allelix::mpi::MpiEvaluator<COnes> evaluator;
  allelix::CGeneratorEx<COnes> generator;
  generator.evaluator = &evaluator;
  generator.Initialize(50, 16);
  for (int g = 0; g < 10; ++g) generator.NextGeneration();
  std::cout << "best " << generator.best->fitness << "\n";
  return 0;
}
