// A program of a user's own, built against the installed headers: 16 bits towards all ones. Its
// generator overrides the hooks with exactly the library's signatures, as ones.h does the
// individual's; that the library calls them, the generator's own tests check.
#include <iostream>

#include "allelix/generator.h"
#include "allelix/run.h"
#include "ones.h"

class COnesGenerator final : public allelix::CGeneratorEx<COnes> {
 public:
  void Mutate(COnes*& individual) override { CGeneratorEx::Mutate(individual); }
  void Crossover(COnes*& first, COnes*& second) override { CGeneratorEx::Crossover(first, second); }
  bool Select(allelix::CPopulation<COnes, allelix::CBit>*& selected) override {
    return CGeneratorEx::Select(selected);
  }
};

int main() {
  allelix::ScopedSeedSchedule schedule(1);
  COnesGenerator generator;
  generator.stopFlags = allelix::StopOnGenerations;
  generator.maxGenerations = 20;
  generator.evaluationThreads = 2;
  generator.selectionType = allelix::SelectionTournament;
  generator.mutationRate = 0.5;
  generator.Initialize(50, 16);
  allelix::Evolve(generator, [](const COnesGenerator&) {});
  std::cout << "best " << generator.best->fitness << " of 16 after " << generator.generation
            << " generations\n";
  return generator.generation == 20 && generator.best->fitness >= 8 ? 0 : 1;
}
