// The evolution engine: the generator core, its settings and its operators.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "allelix/chromosome.h"
#include "allelix/platform.h"

namespace allelix {

// How the generator scores the individuals whose Fitness calls a pass has deferred. A strategy
// is set on a generator through its non-owning `evaluator` pointer and outlives its use there.
template <class TIndividual>
class Evaluator {
 public:
  virtual ~Evaluator() = default;

  // Stores individual->Fitness(fitnessContext) into each individual's fitness, in batch order,
  // so that an individual listed twice keeps its last score. If a Fitness throws, the
  // individuals before it keep their new scores, it and those after it keep their old ones, and
  // the exception propagates, as scoring one after the other would leave them.
  virtual void Evaluate(std::span<TIndividual* const> batch, int fitnessContext) = 0;
};

// Scores a batch one individual after the other on the calling thread.
template <class TIndividual>
class SequentialEvaluator final : public Evaluator<TIndividual> {
 public:
  void Evaluate(std::span<TIndividual* const> batch, int fitnessContext) override {
    for (TIndividual* individual : batch) individual->fitness = individual->Fitness(fitnessContext);
  }
};

// Scores a batch on up to `threads` threads (OpenMP; one thread when the library is built
// without it), then stores the scores in batch order up to the first Fitness that threw.
template <class TIndividual>
class ThreadEvaluator final : public Evaluator<TIndividual> {
 public:
  explicit ThreadEvaluator(int threads) : threads_(threads) {}

  void Evaluate(std::span<TIndividual* const> batch, int fitnessContext) override {
    std::vector<double> scores(batch.size());
    std::vector<std::exception_ptr> errors(batch.size());
    ParallelFor(batch.size(), threads_, [&](std::size_t k) {
      try {
        scores[k] = batch[k]->Fitness(fitnessContext);
      } catch (...) {
        errors[k] = std::current_exception();
      }
    });
    for (std::size_t k = 0; k < batch.size(); ++k) {
      if (errors[k]) std::rethrow_exception(errors[k]);
      batch[k]->fitness = scores[k];
    }
  }

 private:
  int threads_;
};

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
  // Scores the Fitness calls of Initialize and NextGeneration together at the end of each pass
  // when set (not owned); it takes precedence over evaluationThreads. The draws, crossovers and
  // mutations keep their sequential order, so a run is bit-identical to the sequential one under
  // the conditions evaluationThreads states.
  Evaluator<TIndividual>* evaluator = nullptr;

  CGenerator() = default;
  ~CGenerator() { ClearAll(); }
  CGenerator(const CGenerator&) = delete;
  CGenerator& operator=(const CGenerator&) = delete;

  // Builds, scores and sorts a random population of 1000 individuals of 14 genes and sets best.
  void Initialize() { Initialize(1000, 14); }

  // The same with a population and chromosome length of one's own. Throws
  // std::invalid_argument naming the argument, before anything changes, when either is 0 or less
  // or the population's size in bytes would overflow. A held population is released before the
  // new one is built, so two are never alive at once; should building fail (memory exhausted, a
  // Fitness that throws), the generator is left without a population, ready to be initialized
  // again or released. best stays under the best rule, and generation and bestGeneration are
  // left as they are.
  void Initialize(int size, int geneCount) {
    CheckShape(size, geneCount);
    const std::int64_t start = Now();
    ReseedForRun();
    delete population;
    population = nullptr;
    populationSize = size;
    population = BuildPopulation(size, geneCount).release();
    population->SortByFitness();
    ApplyBestRule(true);
    elapsedSeconds = Now() - start;
  }

  // Runs one generation: selection, the pairing pass with crossover, mutation and re-scoring,
  // then the sort selection asked for, the best rule and the counters.
  // Precondition: every slot holds an individual with all its genes, all of one length.
  // Without a population (before Initialize, after ClearAll) it does nothing and draws nothing.
  // The loops run over populationSize slots but stop at the population's count, should
  // populationSize have been raised after Initialize. On an exception (memory exhausted in a
  // hook) every slot still holds an individual, no mark is set, and nothing is counted.
  void NextGeneration() {
    if (population == nullptr) return;
    const std::int64_t start = Now();
    Reseed();
    bool sortAfter = false;
    try {
      sortAfter = Select(population);
      PairingPass();
    } catch (...) {
      ClearMarks();  // the next generation's grouping needs every mark clear
      throw;
    }
    ClearMarks();
    if (sortAfter) population->SortByFitness();
    const bool replaced = ApplyBestRule(sortAfter);
    elapsedSeconds += Now() - start;
    // Past INT_MAX the count wraps instead of overflowing, as the stop test's stagnation
    // difference expects.
    generation = static_cast<int>(static_cast<unsigned>(generation) + 1u);
    if (replaced) bestGeneration = generation;
  }

  // The fittest individual of the population (the first among equals), or null when no stored
  // fitness lies above -999,999,995,904 (the float value of -1e12); NaN never wins.
  // Null without a population; like NextGeneration, it looks at no slot beyond the count.
  TIndividual* FindFittest() const {
    return population != nullptr ? Fittest(*population, Slots()) : nullptr;
  }

  // Releases the population and best; safe to call twice.
  void ClearAll() {
    delete population;
    population = nullptr;
    delete best;
    best = nullptr;
  }

  // Inverts one random gene unless it is locked. An individual without genes is left alone
  // and no number is drawn. Precondition: the gene array is filled.
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
  // The fitness an individual must exceed to be the fittest: the float value of -1e12.
  static constexpr double FitnessFloor = static_cast<double>(-1e12f);

  // A trial with rate r: draws rand() % 10,000,000 and succeeds below r * 10,000,000.
  // Any rate is defined: 0 or less and NaN never succeed, 1 or more (infinity too) always.
  static bool Trial(double rate) {
    const double threshold = rate * 10000000.0;
    return Rand() % 10000000 < threshold;
  }

  // Threads that score the individuals of Initialize and NextGeneration; 1 or less scores each
  // at once, in the sequential order. The base always answers 1.
  virtual int EvaluationThreads() const { return 1; }

 private:
  // Throws std::invalid_argument naming the argument when `size` individuals of `geneCount`
  // genes cannot be built: either is 0 or less, or their bytes exceed what can be addressed.
  static void CheckShape(int size, int geneCount) {
    if (size <= 0) {
      throw std::invalid_argument("populationSize must be at least 1, not " + std::to_string(size));
    }
    if (geneCount <= 0) {
      throw std::invalid_argument("geneCount must be at least 1, not " + std::to_string(geneCount));
    }
    constexpr auto limit = static_cast<std::uintmax_t>(std::numeric_limits<std::ptrdiff_t>::max());
    constexpr std::uintmax_t geneBytes = sizeof(TGene*) + sizeof(TGene);
    constexpr std::uintmax_t ownBytes = sizeof(TIndividual*) + sizeof(TIndividual);
    const auto genes = static_cast<std::uintmax_t>(geneCount);
    if (genes > (limit - ownBytes) / geneBytes) {
      throw std::invalid_argument("geneCount " + std::to_string(geneCount) +
                                  " is too large to allocate");
    }
    const std::uintmax_t individualBytes = ownBytes + genes * geneBytes;
    if (static_cast<std::uintmax_t>(size) > limit / individualBytes) {
      throw std::invalid_argument("populationSize " + std::to_string(size) + " with geneCount " +
                                  std::to_string(geneCount) + " is too large to allocate");
    }
  }

  // A new population of random, scored individuals in slot order; on an exception everything
  // built so far is released.
  std::unique_ptr<TPopulation> BuildPopulation(int size, int geneCount) const {
    const int threads = EvaluationThreads();
    std::vector<TIndividual*> pending;
    auto built = std::make_unique<TPopulation>();
    built->AllocateIndividuals(size);
    for (int i = 0; i < size; ++i) {
      auto individual = std::make_unique<TIndividual>();
      individual->AllocateGenes(geneCount);
      for (int j = 0; j < geneCount; ++j) {
        individual->genes[j] = new TGene();
        individual->genes[j]->value = Rand() % 2 != 0;
      }
      built->individuals[i] = individual.release();
      ScoreOrDefer(built->individuals[i], threads, pending);
    }
    ScorePending(pending, threads);
    return built;
  }

  // The slots the generation loops run over: populationSize, bounded by the population's count.
  int Slots() const { return std::min(populationSize, population->count); }

  // Each index in turn: an unmarked individual looks for an unmarked partner further on and
  // may cross with it; every visited individual then faces the mutation trial and is re-scored.
  // Deferred scores are still given to the visited individuals when a hook throws.
  void PairingPass() {
    const int threads = EvaluationThreads();
    std::vector<TIndividual*> pending;
    TIndividual** slots = population->individuals;
    const int n = Slots();
    try {
      for (int i = 0; i < n; ++i) {
        TIndividual* current = slots[i];
        if (!current->marked) {
          TIndividual* partner = FindPartner(i, n);
          if (partner != nullptr && Trial(crossoverRate)) {
            Crossover(current, partner);
            current->marked = true;
            partner->marked = true;
          }
        }
        if (Trial(mutationRate)) Mutate(current);
        ScoreOrDefer(current, threads, pending);  // whatever object the hooks left in current
      }
    } catch (...) {
      ScorePending(pending, threads);
      throw;
    }
    ScorePending(pending, threads);
  }

  // Scores an individual at once with one evaluation thread and no evaluator; queues it
  // otherwise.
  void ScoreOrDefer(TIndividual* individual, int threads,
                    std::vector<TIndividual*>& pending) const {
    if (evaluator != nullptr || threads > 1) {
      pending.push_back(individual);
    } else {
      individual->fitness = individual->Fitness(fitnessContext);
    }
  }

  // Scores the queued individuals with the evaluator, or on up to `threads` threads without
  // one; either stores the scores in queue order and rethrows the first Fitness's exception, as
  // the sequential order would have.
  void ScorePending(const std::vector<TIndividual*>& pending, int threads) const {
    if (pending.empty()) return;
    if (evaluator != nullptr) {
      evaluator->Evaluate(pending, fitnessContext);
      return;
    }
    ThreadEvaluator<TIndividual>(threads).Evaluate(pending, fitnessContext);
  }

  // The first unmarked individual among slots i + offset to n - 1, for a random offset of at
  // least 1, or null.
  TIndividual* FindPartner(int i, int n) const {
    int offset = Rand() % (n - i);
    if (offset == 0) offset = 1;
    TIndividual** slots = population->individuals;
    for (int j = i + offset; j < n; ++j) {
      if (!slots[j]->marked) return slots[j];
    }
    return nullptr;
  }

  // Clears the marks of every slot, beyond populationSize too, so no mark outlives a generation.
  void ClearMarks() {
    if (population == nullptr) return;
    for (int i = 0; i < population->count; ++i) population->individuals[i]->marked = false;
  }

  // The fittest of the first slots of a population, as FindFittest defines it.
  static TIndividual* Fittest(const TPopulation& from, int slots) {
    double fittestValue = FitnessFloor;
    TIndividual* fittest = nullptr;
    for (int i = 0; i < slots; ++i) {
      TIndividual* individual = from.individuals[i];
      if (individual->fitness > fittestValue) {
        fittestValue = individual->fitness;
        fittest = individual;
      }
    }
    return fittest;
  }

  // Fittest's answer for a population SortByFitness has just ordered, without the scan: the
  // first individual is then the fittest unless its fitness is NaN (a NaN never moves).
  static TIndividual* FittestAfterSort(const TPopulation& sorted, int slots) {
    if (slots <= 0) return nullptr;
    TIndividual* first = sorted.individuals[0];
    if (std::isnan(first->fitness)) return Fittest(sorted, slots);
    return first->fitness > FitnessFloor ? first : nullptr;
  }

  // The clone the best rule puts in place of best: made when there is no best yet or the fittest
  // is strictly fitter; null otherwise (equal, lower, a NaN on either side, or no fittest).
  std::unique_ptr<TIndividual> BestCandidate(TIndividual* fittest) const {
    if (fittest == nullptr) return nullptr;
    if (best != nullptr && !(best->fitness < fittest->fitness)) return nullptr;
    return std::unique_ptr<TIndividual>(fittest->Clone());
  }

  // Puts a candidate in place of best, if there is one; reports whether it did.
  bool ReplaceBest(std::unique_ptr<TIndividual> candidate) {
    if (candidate == nullptr) return false;
    delete best;
    best = candidate.release();
    return true;
  }

  // Applies the best rule to the population; reports whether best was replaced. Right after a
  // sort the fittest is found without a scan.
  bool ApplyBestRule(bool sorted) {
    return ReplaceBest(
        BestCandidate(sorted ? FittestAfterSort(*population, Slots()) : FindFittest()));
  }
};

// Values of CGeneratorEx::crossoverType; any other value means no crossover.
inline constexpr int CrossoverNone = 0;
inline constexpr int CrossoverOnePoint = 1;
inline constexpr int CrossoverTwoPoint = 2;
inline constexpr int CrossoverUniform = 3;

// Values of CGeneratorEx::selectionType; any other value means no selection.
inline constexpr int SelectionNone = 0;
inline constexpr int SelectionRouletteWheel = 1;
inline constexpr int SelectionStochasticRemainder = 2;
inline constexpr int SelectionElitism = 3;
inline constexpr int SelectionTournament = 4;

// The generator for bit chromosomes, with selectable operators and the stop settings.
template <class TIndividual>
class CGeneratorEx : public CGenerator<CPopulation<TIndividual, CBit>, TIndividual, CBit> {
 public:
  using Population = CPopulation<TIndividual, CBit>;

  int crossoverType = CrossoverTwoPoint;  // one of the Crossover values above
  double uniformRate = static_cast<double>(0.1f);
  int selectionType = SelectionElitism;  // one of the Selection values above
  int eliteCount = 20;
  double tournamentRate = 0.75;
  std::uint32_t stopFlags = 2;  // bits 4, 8, 16, 32 enable the four stop criteria
  double convergenceThreshold = static_cast<double>(0.9f);
  int maxMinutes = 5;
  int maxGenerations = 3000;
  int maxStagnation = 50;
  // Threads that score a generation's individuals; 1 (or less) scores each one at once, in the
  // sequential order. With more, Initialize and NextGeneration still make every draw, crossover
  // and mutation in the sequential order, and make the Fitness calls of the pass together at its
  // end, on up to this many threads (OpenMP; one thread when the library is built without it).
  // A run is bit-identical to the sequential one when Fitness draws no random number and has no
  // side effects, and the hooks neither read fitness nor delete individuals during the pass.
  // An evaluator set on the generator takes precedence over this setting.
  int evaluationThreads = 1;

  CGeneratorEx() = default;

  // Recombines the pair by the operator crossoverType names, drawing the cut points it needs.
  // Precondition: second has at least first's geneCount genes. Without genes nothing is drawn.
  void Crossover(TIndividual*& first, TIndividual*& second) override {
    const int n = first->geneCount;
    if (n <= 0) return;
    switch (crossoverType) {
      case CrossoverOnePoint:
        OnePointCrossover(first, second, Rand() % n);
        break;
      case CrossoverTwoPoint: {
        const int a = Rand() % n;
        const int b = a + Rand() % (n - a);  // drawn after a, so a <= b <= n - 1
        TwoPointCrossover(first, second, a, b);
        break;
      }
      case CrossoverUniform:
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

  // Runs the operator that selectionType names (types 1 and 2 get the population's mean
  // fitness); any other type changes nothing and draws nothing. True, for elitism only, asks
  // NextGeneration to sort the population afterwards.
  bool Select(Population*& population) override {
    switch (selectionType) {
      case SelectionRouletteWheel:
        RouletteWheelSelection(population, population->MeanFitness());
        return false;
      case SelectionStochasticRemainder:
        StochasticRemainderSelection(population, population->MeanFitness());
        return false;
      case SelectionElitism:
        ElitistSelection(population, eliteCount);
        return true;
      case SelectionTournament:
        TournamentSelection(population, tournamentRate);
        return false;
      default:
        return false;
    }
  }

  // Rebuilds the population from count picks, with replacement, from a list in which each group
  // of equal individuals stands its expected copies rounded half up (at most count times).
  // Preconditions: every slot holds an individual, none is marked, meanFitness is the
  // population's. Draws count numbers. On an exception the old individuals stay, unmarked.
  static void RouletteWheelSelection(Population* population, double meanFitness) {
    const int count = population->count;
    SelectByGroups(population, meanFitness,
                   [count](TIndividual* representative, double expected, NewArray&, Picks& picks) {
                     // Truncating expected + 0.5 rounds half up; a non-finite count earns none.
                     if (!std::isfinite(expected)) return;
                     const int entries = TruncatedWithin(expected + 0.5, count);
                     picks.AddTail(representative, static_cast<std::size_t>(entries));
                   });
  }

  // Rebuilds the population from each group's whole expected copies, in group order, then fills
  // the remaining slots by picks from a list in which each group stands the tenths of its
  // fractional part. Preconditions as for RouletteWheelSelection. Draws one number per
  // remaining slot. On an exception the old individuals stay, unmarked.
  static void StochasticRemainderSelection(Population* population, double meanFitness) {
    const int count = population->count;
    SelectByGroups(
        population, meanFitness,
        [count](TIndividual* representative, double expected, NewArray& next, Picks& picks) {
          // A non-finite count adds nothing; whole copies stop at the last slot.
          if (!std::isfinite(expected)) return;
          const double whole = std::trunc(expected);
          const int freeSlots = count - static_cast<int>(next.size());
          for (int c = TruncatedWithin(whole, freeSlots); c > 0; --c) {
            AppendClone(next, representative);
          }
          const int tenths = TruncatedWithin((expected - whole) * 10.0, 10);
          picks.AddTail(representative, static_cast<std::size_t>(tenths));
        });
  }

  // Overwrites the last k slots with clones of the first k, slot count - 1 - i with slot i,
  // where k is eliteCount but at most count / 2. Precondition: the population is sorted by
  // descending fitness. Draws nothing and leaves marks alone; copies made before an exception
  // stay in place.
  static void ElitistSelection(Population* population, int eliteCount) {
    const int count = population->count;
    const int k = std::min(count / 2, eliteCount);
    for (int i = 0; i < k; ++i) {
      TIndividual* clone = population->individuals[i]->Clone();
      delete population->individuals[count - 1 - i];
      population->individuals[count - 1 - i] = clone;
    }
  }

  // Rebuilds the population slot by slot from two contestants drawn with replacement: the
  // fitter (the first on a tie) wins when a third draw is at most tournamentRate * 10,000,000,
  // else the weaker. Precondition: every slot holds an individual. Draws three numbers per slot.
  // On an exception the old individuals stay, unmarked.
  static void TournamentSelection(Population* population, double tournamentRate) {
    const int count = population->count;
    // Compared as a double, so any rate is defined: NaN never lets the fitter win, +inf always.
    const double threshold = tournamentRate * 10000000.0;
    Rebuild(population, false, [&](NewArray& next) {
      TIndividual* const* slots = population->individuals;
      for (int k = 0; k < count; ++k) {
        TIndividual* first = slots[Rand() % count];
        TIndividual* second = slots[Rand() % count];
        const bool secondFitter = second->fitness > first->fitness;
        TIndividual* fitter = secondFitter ? second : first;
        TIndividual* weaker = secondFitter ? first : second;
        const bool fitterWins = Rand() % 10000000 <= threshold;  // "or equal", unlike Trial
        AppendClone(next, fitterWins ? fitter : weaker);
      }
    });
  }

 protected:
  int EvaluationThreads() const override { return evaluationThreads; }

 private:
  // rate * 1000 truncated toward zero and kept within 0..1000, NaN giving 0, so that any rate
  // converts safely; draws % 1000 stay below 1000, so the bound changes no outcome.
  static int UniformThreshold(double rate) { return TruncatedWithin(rate * 1000.0, 1000); }

  // A double truncated toward zero and kept within 0..limit, NaN giving 0: a conversion to int
  // that is defined for every value.
  static int TruncatedWithin(double value, int limit) {
    if (!(value > 0.0)) return 0;
    if (value >= static_cast<double>(limit)) return limit;
    return static_cast<int>(value);
  }

  // Swaps the gene pointers at indices from..to inclusive; the genes themselves stay intact.
  static void ExchangeGenes(TIndividual* first, TIndividual* second, int from, int to) {
    for (int i = from; i <= to; ++i) std::swap(first->genes[i], second->genes[i]);
  }

  // The clones of the next population, owned until they move into the population's slots.
  using NewArray = std::vector<std::unique_ptr<TIndividual>>;
  using Picks = PickList<TIndividual>;

  // Fills a new array of count clones with fill(next), then puts clone s into slot s, deleting
  // the old individual there, and clears its mark when asked. If fill throws, the clones made
  // so far are released and the population keeps its old individuals, with every mark cleared.
  template <class Fill>
  static void Rebuild(Population* population, bool clearMarks, Fill&& fill) {
    const int count = population->count;
    NewArray next;
    try {
      next.reserve(static_cast<std::size_t>(std::max(count, 0)));
      fill(next);
    } catch (...) {
      for (int i = 0; i < count; ++i) population->individuals[i]->marked = false;
      throw;
    }
    for (int s = 0; s < count; ++s) {
      delete population->individuals[s];
      population->individuals[s] = next[static_cast<std::size_t>(s)].release();
      if (clearMarks) population->individuals[s]->marked = false;
    }
  }

  // The common course of both proportional operators. Walks the population in slot order; each
  // unmarked individual, marked, represents a group with the later unmarked individuals equal
  // to it (marked as they join). As soon as a group is complete, placeGroup(representative,
  // expected copies, new array, pick list) places its whole copies and pick-list entries. The
  // slots left are filled by picks, then the population is replaced and its marks cleared.
  template <class PlaceGroup>
  static void SelectByGroups(Population* population, double meanFitness, PlaceGroup&& placeGroup) {
    Rebuild(population, true, [&](NewArray& next) {
      TIndividual* const* slots = population->individuals;
      const int count = population->count;
      const double total = count * meanFitness;  // once, before the walk
      const std::vector<std::uint64_t> bits = GeneBits(population);
      Picks picks;
      for (int i = 0; i < count; ++i) {
        TIndividual* representative = slots[i];
        if (representative->marked) continue;
        representative->marked = true;
        const double share = representative->fitness / total;
        int groupSize = 1;
        for (int j = i + 1; j < count; ++j) {
          // Packed genes are compared first: the cheaper test, and IsEqual is not called then.
          const bool joins = bits.empty() ? !slots[j]->marked && representative->IsEqual(slots[j])
                                          : bits[static_cast<std::size_t>(j)] ==
                                                    bits[static_cast<std::size_t>(i)] &&
                                                !slots[j]->marked;
          if (joins) {
            slots[j]->marked = true;
            ++groupSize;
          }
        }
        // Multiplied in this order, and rounded before roulette adds its half: it decides how
        // the expected copies round.
        placeGroup(representative, RoundedProduct(groupSize * share, count), next, picks);
      }
      while (static_cast<int>(next.size()) < count) AppendClone(next, Pick(picks, population));
    });
  }

  // Whether TIndividual compares as CIndividual does, gene values only.
  static constexpr bool UsesOwnIsEqual() {
    if constexpr (requires { &TIndividual::IsEqual; }) {
      return std::is_same_v<decltype(&TIndividual::IsEqual),
                            decltype(&CIndividual<TIndividual, CBit>::IsEqual)>;
    } else {
      return false;
    }
  }

  // Each individual's gene values as one number, so that grouping compares two numbers where
  // IsEqual would walk two gene arrays. Empty, and IsEqual is called instead, unless IsEqual is
  // CIndividual's own and every chromosome has the same length of at most 64 genes.
  static std::vector<std::uint64_t> GeneBits(const Population* population) {
    std::vector<std::uint64_t> bits;
    if constexpr (UsesOwnIsEqual()) {
      const int count = population->count;
      const int geneCount = count > 0 ? population->individuals[0]->geneCount : 0;
      if (count == 0 || geneCount > 64) return bits;
      bits.resize(static_cast<std::size_t>(count));
      for (int i = 0; i < count; ++i) {
        const TIndividual* individual = population->individuals[i];
        if (individual->geneCount != geneCount) {
          bits.clear();
          return bits;
        }
        std::uint64_t value = 0;
        for (int g = 0; g < geneCount; ++g) {
          value |= static_cast<std::uint64_t>(individual->genes[g]->value) << g;
        }
        bits[static_cast<std::size_t>(i)] = value;
      }
    }
    return bits;
  }

  // One draw: the list entry it points to, or with an empty list the old individual at
  // draw % count. Precondition: the population has at least one individual.
  static TIndividual* Pick(const Picks& picks, const Population* population) {
    const int draw = Rand();
    if (picks.Count() == 0) return population->individuals[draw % population->count];
    return picks.At(draw % picks.Count());
  }

  // Appends a clone of source; the clone is owned from the moment it exists.
  static void AppendClone(NewArray& next, TIndividual* source) {
    std::unique_ptr<TIndividual> clone(source->Clone());
    next.push_back(std::move(clone));
  }
};

}  // namespace allelix
