// Live allocations through a run: this binary replaces the global operator new and delete to
// count them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#include "allelix/generator.h"
#include "allelix/run.h"
#include "square_root.h"

namespace {

long liveAllocations = 0;
long allocationsMade = 0;

void* Allocate(std::size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  ++liveAllocations;
  ++allocationsMade;
  return memory;
}

void Release(void* memory) noexcept {
  if (memory == nullptr) return;
  --liveAllocations;
  std::free(memory);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* memory) noexcept { Release(memory); }
void operator delete[](void* memory) noexcept { Release(memory); }
void operator delete(void* memory, std::size_t) noexcept { Release(memory); }
void operator delete[](void* memory, std::size_t) noexcept { Release(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { Release(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { Release(memory); }

namespace allelix {
namespace {

// The demonstration's individual, counting the clones made of it.
class CCountedIndividual final : public CIndividual<CCountedIndividual, CBit> {
 public:
  static inline long clones = 0;

  CCountedIndividual* Clone() const override {
    ++clones;
    return CIndividual::Clone();
  }
  // Closer to 1234 is fitter; any fitness with ties and a drift serves here.
  double Fitness(int /*context*/) const override {
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
  for (const Operators operators :
       {Operators{3, 2}, Operators{1, 2}, Operators{2, 2}, Operators{4, 2}, Operators{3, 1},
        Operators{3, 3}, Operators{0, 0}}) {
    const ScopedSeedSchedule schedule(11, Engine::Mt19937);
    CCountedGenerator generator(operators.selection, operators.crossover);
    generator.Initialize();
    generator.NextGeneration();
    std::vector<long> live;
    live.reserve(40);
    for (int g = 0; g < 40; ++g) {
      TestStop(generator);
      generator.NextGeneration();
      live.push_back(liveAllocations);
    }
    for (int g = 1; g < 40; ++g) {
      ASSERT_EQ(live[g], live[0]) << "selection " << operators.selection << ", crossover "
                                  << operators.crossover << ", generation " << g + 2;
    }
  }
}

TEST(Allocation, AGenerationWithTheDemonstrationsSettingsAllocatesOnlyItsClones) {
  const ScopedSeedSchedule schedule(12, Engine::Mt19937);
  CCountedGenerator generator(3, 2);
  generator.Initialize();
  for (int g = 0; g < 40; ++g) {
    const long allocationsBefore = allocationsMade;
    const long clonesBefore = CCountedIndividual::clones;
    TestStop(generator);
    generator.NextGeneration();
    // A clone is the individual, its gene array and one object per gene.
    const long perClone = 2 + 14;
    ASSERT_EQ(allocationsMade - allocationsBefore,
              (CCountedIndividual::clones - clonesBefore) * perClone)
        << "generation " << g + 1;
  }
}

}  // namespace
}  // namespace allelix
