// The evolution engine: the generator core, its settings and its operators.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "allelix/chromosome.h"
#include "allelix/platform.h"

namespace allelix {

// The engine: owns a population and a clone of the best individual seen so far, runs one
// generation per call and adds up the time the calls take. Mutation, crossover and selection
// are virtual hooks. The destructor is not virtual: generators are destroyed as their own type.
template <class TPopulation, class TIndividual, class TGene>
class CGenerator {
 public:
  std::int64_t elapsedSeconds = 0;  // whole seconds spent in Initialize and NextGeneration
  int populationSize = 1000;        // slots every loop runs over; fixed by Initialize
  double mutationRate = static_cast<double>(0.001f);
  double crossoverRate = static_cast<double>(0.6f);
  int generation = 0;                 // completed NextGeneration calls
  TPopulation* population = nullptr;  // owned
  TIndividual* best = nullptr;        // owned clone of the fittest seen; never in the population
  int fitnessContext = 0;             // passed unchanged to every Fitness call
  int bestGeneration = 0;             // generation that last replaced best

  CGenerator() = default;
  ~CGenerator() { ClearAll(); }
  CGenerator(const CGenerator&) = delete;
  CGenerator& operator=(const CGenerator&) = delete;

  // Builds, scores and sorts a random population of 1000 individuals of 14 genes and sets best.
  void Initialize() { Initialize(1000, 14); }

  // The same with a population and chromosome length of one's own. Throws
  // std::invalid_argument, before anything changes, when either is 0 or less or too large to
  // allocate. A held population is released first; best stays under the best rule, and
  // generation and bestGeneration are left as they are.
  void Initialize(int size, int geneCount) {
    CheckShape(size, "populationSize");
    CheckShape(geneCount, "geneCount");
    const std::int64_t start = Now();
    populationSize = size;
    Reseed();
    delete population;
    population = nullptr;
    population = BuildPopulation(geneCount);
    population->SortByFitness();
    ApplyBestRule();
    elapsedSeconds = Now() - start;
  }

  // Runs one generation: selection, the pairing pass with crossover, mutation and re-scoring,
  // then the sort selection asked for, the best rule and the counters.
  // Precondition: a population from Initialize with populationSize slots.
  void NextGeneration() {
    const std::int64_t start = Now();
    Reseed();
    const bool sortAfter = Select(population);
    try {
      PairingPass();
    } catch (...) {
      ClearMarks();  // the next generation's grouping needs every mark clear
      throw;
    }
    ClearMarks();
    if (sortAfter) population->SortByFitness();
    const bool replaced = ApplyBestRule();
    elapsedSeconds += Now() - start;
    ++generation;
    if (replaced) bestGeneration = generation;
  }

  // The fittest individual of the population (the first among equals), or null when no stored
  // fitness lies above -999,999,995,904 (the float value of -1e12); NaN never wins.
  TIndividual* FindFittest() const {
    double fittestValue = static_cast<double>(-1e12f);
    TIndividual* fittest = nullptr;
    for (int i = 0; i < populationSize; ++i) {
      TIndividual* individual = population->individuals[i];
      if (individual->fitness > fittestValue) {
        fittestValue = individual->fitness;
        fittest = individual;
      }
    }
    return fittest;
  }

  // Releases the population and best; safe to call twice.
  void ClearAll() {
    delete population;
    population = nullptr;
    delete best;
    best = nullptr;
  }

  // Inverts one random gene unless it is locked. An individual without genes is left alone
  // and no number is drawn.
  virtual void Mutate(TIndividual*& individual) {
    if (individual->geneCount <= 0) return;
    TGene* gene = individual->genes[Rand() % individual->geneCount];
    if (!gene->locked) gene->value = !gene->value;
  }

  // Recombines two individuals in place. The base does nothing.
  virtual void Crossover(TIndividual*& /*first*/, TIndividual*& /*second*/) {}

  // Selects the next population in place; true asks for a sort after the generation.
  // The base does nothing.
  virtual bool Select(TPopulation*& /*population*/) { return false; }

 protected:
  // A trial with rate r: draws rand() % 10,000,000 and succeeds below r * 10,000,000.
  static bool Trial(double rate) {
    const double threshold = rate * 10000000.0;
    return Rand() % 10000000 < threshold;
  }

 private:
  static void CheckShape(int value, const char* name) {
    // Also bounded by what an array of pointers can hold, so new[] never sees an overflow.
    constexpr std::size_t limit =
        static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(void*);
    constexpr int largest =
        static_cast<int>(std::min<std::size_t>(std::numeric_limits<int>::max(), limit));
    if (value <= 0 || value > largest) {
      throw std::invalid_argument(std::string(name) + " must lie between 1 and " +
                                  std::to_string(largest) + ", not " + std::to_string(value));
    }
  }

  // A new population of populationSize random, scored individuals in slot order; on an
  // exception everything built so far is released.
  TPopulation* BuildPopulation(int geneCount) const {
    auto built = std::make_unique<TPopulation>();
    built->AllocateIndividuals(populationSize);
    for (int i = 0; i < populationSize; ++i) {
      auto individual = std::make_unique<TIndividual>();
      individual->AllocateGenes(geneCount);
      for (int j = 0; j < geneCount; ++j) {
        individual->genes[j] = new TGene();
        individual->genes[j]->value = Rand() % 2 != 0;
      }
      individual->fitness = individual->Fitness(fitnessContext);
      built->individuals[i] = individual.release();
    }
    return built.release();
  }

  // Each index in turn: an unmarked individual looks for an unmarked partner further on and
  // may cross with it; every visited individual then faces the mutation trial and is re-scored.
  void PairingPass() {
    TIndividual** slots = population->individuals;
    for (int i = 0; i < populationSize; ++i) {
      TIndividual* current = slots[i];
      if (!current->marked) {
        TIndividual* partner = FindPartner(i);
        if (partner != nullptr && Trial(crossoverRate)) {
          Crossover(current, partner);
          current->marked = true;
          partner->marked = true;
        }
      }
      if (Trial(mutationRate)) Mutate(current);
      current->fitness = current->Fitness(fitnessContext);
    }
  }

  // The first unmarked individual from a random offset (at least 1) after index i, or null.
  TIndividual* FindPartner(int i) const {
    int offset = Rand() % (populationSize - i);
    if (offset == 0) offset = 1;
    TIndividual** slots = population->individuals;
    for (int j = i + offset; j < populationSize; ++j) {
      if (!slots[j]->marked) return slots[j];
    }
    return nullptr;
  }

  void ClearMarks() {
    for (int i = 0; i < populationSize; ++i) population->individuals[i]->marked = false;
  }

  // Replaces best by a clone of the fittest when there is no best yet or the fittest is
  // strictly fitter; reports whether it did. Without a fittest individual nothing changes.
  bool ApplyBestRule() {
    const TIndividual* fittest = FindFittest();
    if (fittest == nullptr) return false;
    if (best != nullptr && !(best->fitness < fittest->fitness)) return false;
    TIndividual* clone = fittest->Clone();
    delete best;
    best = clone;
    return true;
  }
};

// The generator for bit chromosomes, with selectable operators and the stop settings.
template <class TIndividual>
class CGeneratorEx : public CGenerator<CPopulation<TIndividual, CBit>, TIndividual, CBit> {
 public:
  using Population = CPopulation<TIndividual, CBit>;

  int crossoverType = 2;  // 1 one-point, 2 two-point, 3 uniform; anything else: none
  double uniformRate = static_cast<double>(0.1f);
  int selectionType = 3;  // 1 roulette, 2 stochastic remainder, 3 elitism, 4 tournament
  int eliteCount = 20;
  double tournamentRate = 0.75;
  std::uint32_t stopFlags = 2;  // bits 4, 8, 16, 32 enable the four stop criteria
  double convergenceThreshold = static_cast<double>(0.9f);
  int maxMinutes = 5;
  int maxGenerations = 3000;
  int maxStagnation = 50;

  CGeneratorEx() = default;

  // Recombines the pair by the operator crossoverType names, drawing the cut points it needs.
  // Precondition: second has at least first's geneCount genes. Without genes nothing is drawn.
  void Crossover(TIndividual*& first, TIndividual*& second) override {
    const int n = first->geneCount;
    if (n <= 0) return;
    switch (crossoverType) {
      case 1:
        OnePointCrossover(first, second, Rand() % n);
        break;
      case 2: {
        const int a = Rand() % n;
        const int b = a + Rand() % (n - a);  // drawn after a, so a <= b <= n - 1
        TwoPointCrossover(first, second, a, b);
        break;
      }
      case 3:
        UniformCrossover(first, second, uniformRate);
        break;
      default:
        break;
    }
  }

  // Exchanges the shorter block that contains gene point: genes 0..point or point..n-1.
  // Precondition: 0 <= point < first->geneCount <= second->geneCount.
  static void OnePointCrossover(TIndividual* first, TIndividual* second, int point) {
    const int n = first->geneCount;
    if (point < n - point) {
      ExchangeGenes(first, second, 0, point);
    } else {
      ExchangeGenes(first, second, point, n - 1);
    }
  }

  // Exchanges genes firstPoint..secondPoint, or, when that span exceeds half the chromosome,
  // genes 0..firstPoint and secondPoint..n-1 instead (two one-point exchanges).
  // Precondition: 0 <= firstPoint <= secondPoint < first->geneCount <= second->geneCount.
  static void TwoPointCrossover(TIndividual* first, TIndividual* second, int firstPoint,
                                int secondPoint) {
    const int half = first->geneCount / 2;
    if (secondPoint - firstPoint > half) {
      OnePointCrossover(first, second, firstPoint);
      OnePointCrossover(first, second, secondPoint);
    } else {
      ExchangeGenes(first, second, firstPoint, secondPoint);
    }
  }

  // Exchanges each gene for which a draw % 1000 falls below rate * 1000; one draw per gene.
  // Precondition: second has at least first's geneCount genes. Any rate is accepted.
  static void UniformCrossover(TIndividual* first, TIndividual* second, double rate) {
    const int threshold = UniformThreshold(rate);
    for (int i = 0; i < first->geneCount; ++i) {
      if (Rand() % 1000 < threshold) ExchangeGenes(first, second, i, i);
    }
  }

 private:
  // rate * 1000 truncated toward zero and kept within 0..1000, NaN giving 0, so that any rate
  // converts safely; draws % 1000 stay below 1000, so the bound changes no outcome.
  static int UniformThreshold(double rate) {
    const double scaled = rate * 1000.0;
    if (!(scaled > 0.0)) return 0;
    if (scaled >= 1000.0) return 1000;
    return static_cast<int>(scaled);
  }

  // Swaps the gene pointers at indices from..to inclusive; the genes themselves stay intact.
  static void ExchangeGenes(TIndividual* first, TIndividual* second, int from, int to) {
    for (int i = from; i <= to; ++i) std::swap(first->genes[i], second->genes[i]);
  }
};

}  // namespace allelix
