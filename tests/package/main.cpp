// A program of a user's own, built against the installed headers: 16 bits towards all ones.
// Every hook is overridden with exactly the library's signature, so a change to one of them
// (an added qualifier, another parameter type) breaks this build.
#include <iostream>

#include "allelix/generator.h"
#include "allelix/run.h"

class COnes final : public allelix::CIndividual<COnes, allelix::CBit> {
 public:
  COnes* Clone() override { return CIndividual::Clone(); }

  bool IsEqual(COnes* other) override { return CIndividual::IsEqual(other); }

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
    maxGenerations = 20;
    evaluationThreads = 2;
    selectionType = allelix::SelectionTournament;
  }

  void Mutate(COnes*& individual) override {
    ++mutations;
    CGeneratorEx::Mutate(individual);
  }

  void Crossover(COnes*& first, COnes*& second) override {
    ++crossovers;
    CGeneratorEx::Crossover(first, second);
  }

  bool Select(allelix::CPopulation<COnes, allelix::CBit>*& selected) override {
    ++selections;
    return CGeneratorEx::Select(selected);
  }

  int mutations = 0;
  int crossovers = 0;
  int selections = 0;
};

int main() {
  allelix::ScopedSeedSchedule schedule(1);
  COnesGenerator generator;
  generator.mutationRate = 0.5;
  generator.Initialize(50, 16);
  allelix::Evolve(generator, [](const COnesGenerator&) {});
  std::cout << "best " << generator.best->fitness << " of 16 after " << generator.generation
            << " generations; " << generator.selections << " selections, " << generator.crossovers
            << " crossovers, " << generator.mutations << " mutations\n";
  const bool hooksRan =
      generator.selections == 20 && generator.crossovers > 0 && generator.mutations > 0;
  return generator.generation == 20 && generator.best->fitness >= 8 && hooksRan ? 0 : 1;
}
