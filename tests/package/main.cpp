// A program of a user's own, built against the installed headers: 16 bits towards all ones.
#include <iostream>

#include "allelix/generator.h"
#include "allelix/run.h"

class COnes final : public allelix::CIndividual<COnes, allelix::CBit> {
 public:
  double Fitness(int /*fitnessContext*/) const override {
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};

class COnesGenerator final : public allelix::CGeneratorEx<COnes> {
 public:
  COnesGenerator() {
    stopFlags = allelix::StopOnGenerations;
    maxGenerations = 20;
    evaluationThreads = 2;
  }
};

int main() {
  allelix::ScopedSeedSchedule schedule(1);
  COnesGenerator generator;
  generator.Initialize(50, 16);
  allelix::Evolve(generator, [](const COnesGenerator&) {});
  std::cout << "best " << generator.best->fitness << " of 16 after " << generator.generation
            << " generations\n";
  return generator.generation == 20 && generator.best->fitness >= 8 ? 0 : 1;
}
