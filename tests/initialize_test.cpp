// Initialize with a shape of one's own: the default shape, other shapes, bad arguments and a
// Fitness that fails while the population is built.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "allelix/generator.h"
#include "snapshot.h"
#include "square_root.h"
#include "support.h"

namespace allelix::testing {
namespace {

// Scores a chromosome as its binary number, and throws once the shared countdown runs out.
std::atomic<int> fitnessCountdown{INT_MAX};

class CNumber final : public CIndividual<CNumber, CBit> {
 public:
  double Fitness(int context) override {
    if (fitnessCountdown.fetch_sub(1) <= 1) throw std::runtime_error("fitness failed");
    return demo::DecodeBits(*this) + context;
  }
};

// The population Initialize(size, genes) leaves: scored, sorted, unshared, best a clone of the top.
template <class TGenerator>
void ExpectFreshPopulation(const TGenerator& generator, int size, int genes) {
  ASSERT_NE(generator.population, nullptr);
  EXPECT_EQ(generator.populationSize, size);
  ASSERT_EQ(generator.population->count, size);
  std::set<const void*> objects;
  for (int i = 0; i < size; ++i) {
    auto* individual = generator.population->individuals[i];
    ASSERT_EQ(individual->geneCount, genes) << "slot " << i;
    EXPECT_EQ(individual->fitness, individual->Fitness(generator.fitnessContext));
    EXPECT_GE(generator.population->individuals[i > 0 ? i - 1 : 0]->fitness, individual->fitness);
    EXPECT_TRUE(objects.insert(individual).second) << "slot " << i << " shares its individual";
    for (int j = 0; j < genes; ++j) {
      EXPECT_TRUE(objects.insert(individual->genes[j]).second) << "gene " << j << " is shared";
    }
  }
  ASSERT_NE(generator.best, nullptr);
  EXPECT_EQ(objects.count(generator.best), 0u) << "best must be a clone";
  EXPECT_EQ(IndividualStateOf(*generator.best),
            IndividualStateOf(*generator.population->individuals[0]));
}

TEST(InitializeShape, DefaultIsTheSameRunAsAThousandIndividualsOfFourteenGenes) {
  ManualClock clock;  // elapsedSeconds is part of the compared state
  for (const Engine engine : {Engine::Mt19937, Engine::Classic}) {
    std::vector<GeneratorState> runs[2];
    for (const bool implicit : {true, false}) {
      ScopedSeedSchedule schedule(11, engine);
      demo::CMyGenerator generator;
      generator.populationSize = 500;  // Initialize() sets it, whatever it held
      implicit ? generator.Initialize() : generator.Initialize(1000, 14);
      for (int g = 0; g < 4; ++g, generator.NextGeneration()) {
        runs[implicit].push_back(GeneratorStateOf(generator));
      }
    }
    EXPECT_EQ(runs[true], runs[false]) << EngineName(engine);
    EXPECT_EQ(runs[true].front().populationSize, 1000);
  }
}

TEST(InitializeShape, BuildsExactlyTheAskedShape) {
  ScopedSeedSchedule schedule(5);
  for (const auto& [size, genes] :
       std::vector<std::pair<int, int>>{{1, 1}, {2, 100}, {37, 5}, {500, 3}}) {
    for (const int threads : {1, 2}) {
      SCOPED_TRACE(std::to_string(size) + " x " + std::to_string(genes) + " on " +
                   std::to_string(threads) + " threads");
      CGeneratorEx<CNumber> generator;
      generator.evaluationThreads = threads;
      generator.fitnessContext = 1;  // no individual scores 0.0, a new one's fitness
      CountedDraws draws;
      generator.Initialize(size, genes);
      EXPECT_EQ(draws.Drawn(), static_cast<std::size_t>(size) * genes);
      ExpectFreshPopulation(generator, size, genes);
      generator.NextGeneration();  // loops over the new populationSize
      EXPECT_EQ(generator.population->count, size);
    }
  }
}

TEST(InitializeArguments, BadShapesThrowNamingTheArgumentBeforeAnyChange) {
  ScopedSeedSchedule schedule(21);
  ManualClock clock;
  demo::CMyGenerator fresh;
  EXPECT_THROW(fresh.Initialize(-5, 14), std::invalid_argument);
  EXPECT_EQ(GeneratorStateOf(fresh), GeneratorStateOf(demo::CMyGenerator()));

  CGeneratorEx<CNumber> generator;
  generator.Initialize(30, 6);
  generator.NextGeneration();
  clock.Advance(7);
  const GeneratorState before = GeneratorStateOf(generator);
  const struct {
    int size, genes;
    const char* named;
  } shapes[] = {{0, 14, "populationSize"},
                {INT_MIN, 14, "populationSize"},
                {0, 0, "populationSize"},
                {10, 0, "geneCount"},
                {1000, INT_MIN, "geneCount"},
                {INT_MAX, INT_MAX, "populationSize"},
                {INT_MAX / 2, INT_MAX / 4, "populationSize"}};
  for (const auto& shape : shapes) {
    SCOPED_TRACE(std::to_string(shape.size) + " x " + std::to_string(shape.genes));
    CountedDraws draws;
    try {
      generator.Initialize(shape.size, shape.genes);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()).rfind(shape.named, 0), 0u) << error.what();
    }
    EXPECT_EQ(draws.Drawn(), 0u);
    EXPECT_EQ(GeneratorStateOf(generator), before);
  }

  // The seed schedule did not advance either: the next generation is the one a twin gets.
  generator.NextGeneration();
  ScopedSeedSchedule twinSchedule(21);
  CGeneratorEx<CNumber> twin;
  twin.Initialize(30, 6);
  twin.NextGeneration();
  twin.NextGeneration();
  EXPECT_EQ(GeneratorStateOf(generator).population, GeneratorStateOf(twin).population);
}

TEST(InitializeFailure, AFitnessThatThrowsLeavesNoPopulationButKeepsBestAndCounters) {
  for (const int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    ScopedSeedSchedule schedule(8);
    CGeneratorEx<CNumber> generator;
    generator.evaluationThreads = threads;
    fitnessCountdown = INT_MAX;
    generator.Initialize(30, 6);
    generator.NextGeneration();
    const CNumber* best = generator.best;
    const int generation = generator.generation;

    fitnessCountdown = 10;  // the old population is released before the new one is built
    EXPECT_THROW(generator.Initialize(50, 9), std::runtime_error);
    EXPECT_EQ(generator.population, nullptr);
    EXPECT_EQ(generator.best, best);
    EXPECT_EQ(generator.generation, generation);
    generator.NextGeneration();  // nothing to evolve: counts nothing
    EXPECT_EQ(generator.generation, generation);

    fitnessCountdown = INT_MAX;
    generator.Initialize(50, 9);  // and initializes again
    EXPECT_EQ(generator.population->count, 50);
  }
}

}  // namespace
}  // namespace allelix::testing
