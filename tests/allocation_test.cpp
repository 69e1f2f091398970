// Allocations through a run, counted by this binary's own global operator new and delete
// (counting_allocator.h).
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "allelix/generator.h"
#include "allelix/run.h"
#include "counting_allocator.h"
#include "square_root.h"

namespace allelix {
namespace {

// The demonstration's individual, counting the clones made of it.
class CCountedIndividual final : public CIndividual<CCountedIndividual, CBit> {
 public:
  static inline long long clones = 0;

  CCountedIndividual* Clone() override {
    ++clones;
    return CIndividual::Clone();
  }
  // Closer to 1234 is fitter; any fitness with ties and a drift serves here.
  double Fitness(int /*context*/) override {
    return 1.0 / (1.0 + std::abs(1234.0 - static_cast<double>(demo::DecodeBits(*this))));
  }
};

class CCountedGenerator final : public CGeneratorEx<CCountedIndividual> {
 public:
  CCountedGenerator(int selection, int crossover) {
    selectionType = selection;
    crossoverType = crossover;
    stopFlags = StopOnConvergence | StopOnMinutes | StopOnGenerations | StopOnStagnation;
  }
};

struct Operators {
  int selection;
  int crossover;
};

TEST(Allocation, LiveAllocationsStayFlatFromTheFirstGenerationOn) {
  for (const Operators operators : {Operators{SelectionElitism, CrossoverTwoPoint},
                                    Operators{SelectionRouletteWheel, CrossoverTwoPoint},
                                    Operators{SelectionStochasticRemainder, CrossoverOnePoint},
                                    Operators{SelectionTournament, CrossoverUniform},
                                    Operators{SelectionNone, CrossoverNone}}) {
    const ScopedSeedSchedule schedule(11, Engine::Mt19937);
    CCountedGenerator generator(operators.selection, operators.crossover);
    generator.Initialize();
    generator.NextGeneration();
    std::vector<long long> live;
    live.reserve(40);
    for (int g = 0; g < 40; ++g) {
      TestStop(generator);
      generator.NextGeneration();
      live.push_back(allocations.live);
    }
    for (int g = 1; g < 40; ++g) {
      ASSERT_EQ(live[g], live[0]) << "selection " << operators.selection << ", crossover "
                                  << operators.crossover << ", generation " << g + 2;
    }
  }
}

TEST(Allocation, AGenerationWithTheDemonstrationsSettingsAllocatesOnlyItsClones) {
  const ScopedSeedSchedule schedule(12, Engine::Mt19937);
  CCountedGenerator generator(SelectionElitism, CrossoverTwoPoint);
  generator.Initialize();
  for (int g = 0; g < 40; ++g) {
    const long long allocationsBefore = allocations.made;
    const long long clonesBefore = CCountedIndividual::clones;
    TestStop(generator);
    generator.NextGeneration();
    // A clone is the individual, its gene array and one object per gene.
    const long long perClone = 2 + 14;
    ASSERT_EQ(allocations.made - allocationsBefore,
              (CCountedIndividual::clones - clonesBefore) * perClone)
        << "generation " << g + 1;
  }
}

}  // namespace
}  // namespace allelix
