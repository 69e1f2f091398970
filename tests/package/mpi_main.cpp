// A user's program on MPI, built against the installed allelix::mpi: ranks other than 0 score.
#include <iostream>

#include "allelix/generator.h"
#include "allelix/mpi.h"
#include "ones.h"

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
