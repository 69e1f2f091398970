// The evolution engine: the generator core, its settings and its operators.
//
// A run's course, step by step, with the numbers each step draws (every draw comes from Rand in
// platform.h; nothing else draws or reads the clock):
//
// Initialize(size, geneCount)
//   1. Read the clock; reseed, taking the run's base seed.
//   2. Release the held population, then build size individuals in slot order, each gene from
//      one draw (an odd draw sets it), and score each with Fitness.
//   3. Sort by descending fitness.
//   4. Best rule: best becomes a clone of the fittest when there is no best yet or the fittest
//      is strictly fitter.
//   5. elapsedSeconds becomes the time steps 1 to 4 took.
//
// NextGeneration()
//   1. Read the clock; put right what a generation that threw left behind (no draw; see below).
//   2. Reseed with the schedule's next seed.
//   3. Select: the draws of the selection operator.
//   4. Pairing pass, for each slot i in order:
//      a. pair and cross: unless marked, the individual draws a partner offset; with a partner
//         found, the crossover trial draws, and on success Crossover makes its draws and both
//         are marked;
//      b. mutate: the mutation trial draws, and on success Mutate makes its draw;
//      c. score: Fitness, at once or deferred to the end of the pass (no draw).
//   5. Clear the marks.
//   6. Sort, if Select asked for it.
//   7. Best rule, as in Initialize.
//   8. Add the time the generation took to elapsedSeconds.
//   9. Count the generation; bestGeneration follows it when step 7 replaced best.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <optional>
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

namespace detail {

// Scores the individuals a pass hands it, in the order handed: each at once without an
// evaluator and with one thread; otherwise all together when the pass finishes, by the evaluator
// or on up to `threads` threads. Either way the scores are stored in the order handed, and the
// first Fitness that throws stops the storing and passes its exception on.
// Precondition: an individual handed over stays alive until Finish.
template <class TIndividual>
class Scorer {
 public:
  Scorer(Evaluator<TIndividual>* evaluator, int threads, int fitnessContext)
      : evaluator_(evaluator), threads_(threads), fitnessContext_(fitnessContext) {}

  void Add(TIndividual* individual) {
    if (evaluator_ == nullptr && threads_ <= 1) {
      individual->fitness = individual->Fitness(fitnessContext_);
      ++stored_;
    } else {
      pending_.push_back(individual);
    }
  }

  // Scores what is queued; rethrows the first failure.
  void Finish() {
    if (pending_.empty()) return;
    std::vector<TIndividual*> batch;
    batch.swap(pending_);
    if (evaluator_ != nullptr) {
      evaluator_->Evaluate(batch, fitnessContext_);
    } else {
      ThreadEvaluator<TIndividual>(threads_).Evaluate(batch, fitnessContext_);
    }
    stored_ += static_cast<int>(batch.size());
  }

  // How many of the individuals handed over, counted from the first, are known to hold their
  // new score. A batch that threw counts as not scored at all, since an evaluator does not say
  // where it stopped.
  int Stored() const { return stored_; }

 private:
  Evaluator<TIndividual>* evaluator_;
  int threads_;
  int fitnessContext_;
  int stored_ = 0;
  std::vector<TIndividual*> pending_;
};

// In a pass over n individuals, at the i-th: starts loading what reading an individual's genes
// (to score, compare or clone it) waits on, in three steps over the turns before its own, each
// reading only what the step before loaded: the individual 3 x step on, the gene array of the one
// 2 x step on, the genes of the one step on. After crossover has moved genes between random
// partners they lie scattered, and each would otherwise be a wait on memory. Hints only; they
// change no result.
template <class TIndividual>
void PrefetchAhead(TIndividual* const* individuals, std::size_t i, std::size_t n,
                   std::size_t step = 8) {
  if (i + 3 * step < n) Prefetch(individuals[i + 3 * step]);
  if (i + 2 * step < n) {
    const TIndividual* individual = individuals[i + 2 * step];
    if (individual->genes != nullptr && individual->geneCount > 0) {
      Prefetch(individual->genes);
      Prefetch(individual->genes + individual->geneCount - 1);
    }
  }
  if (i + step < n) {
    const TIndividual* individual = individuals[i + step];
    if (individual->genes == nullptr) return;
    for (int j = 0; j < individual->geneCount; ++j) Prefetch(individual->genes[j]);
  }
}

// The first unmarked slot at or after a given one, among slots below n, in near-constant
// amortized time: next_[j] leads from slot j towards it, and each slot found marked is skipped
// for good (marks are only set during a pass). Built from the marks the pass starts with.
class UnmarkedSlots {
 public:
  void Reserve(int n) { next_.reserve(static_cast<std::size_t>(n) + 1); }

  // Starts a pass over slots 0 to n - 1 (n >= 0) from the marks they hold.
  template <class TIndividual>
  void Reset(TIndividual* const* slots, int n) {
    next_.resize(static_cast<std::size_t>(n) + 1);
    for (int j = 0; j <= n; ++j) next_[Index(j)] = j < n && slots[j]->marked ? j + 1 : j;
    n_ = n;
  }

  // Records that slot j is marked.
  void Skip(int j) { next_[Index(j)] = j + 1; }

  // The first slot from `from` on that is not known to be marked, or n.
  int From(int from) {
    int j = from;
    while (next_[Index(j)] != j) {
      const int ahead = next_[Index(next_[Index(j)])];
      next_[Index(j)] = ahead;  // path halving
      j = ahead;
    }
    return j;
  }

  int End() const { return n_; }

 private:
  static std::size_t Index(int j) { return static_cast<std::size_t>(j); }

  std::vector<int> next_;
  int n_ = 0;
};

}  // namespace detail

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
  // left as they are (Reset starts from nothing).
  void Initialize(int size, int geneCount) {
    CheckShape(size, geneCount);
    const std::int64_t start = Now();  // 1
    ReseedForRun();
    ReleasePopulation();  // 2
    populationSize = size;
    unmarked_.Reserve(size);  // so that a generation allocates nothing of its own
    population = BuildPopulation(size, geneCount).release();
    population->SortByFitness();  // 3
    sortedPopulation_ = population;
    ApplyBestRule(true);             // 4
    elapsedSeconds = Now() - start;  // 5
  }

  // Runs one generation, in the steps the comment at the top of this file gives.
  // Precondition: every slot holds an individual with all its genes, all of one length.
  // Without a population (before Initialize, after ClearAll) it does nothing and draws nothing.
  // The loops run over populationSize slots but stop at the population's count, should
  // populationSize have been raised after Initialize.
  // When Select, a hook or Fitness throws, the exception passes to the caller and leaves: every
  // slot holding a whole individual (what the hooks left in it), no mark set, best and the
  // counters unchanged; the individuals the pass scored before the failure, a run of slots from
  // the first, keep their new scores, the later ones may keep scores from before their changes,
  // and the order may no longer be sorted. The next NextGeneration first puts that right with
  // RepairFailedGeneration, then goes on as usual. A Select that leaves no population (null)
  // gets std::logic_error; the generator is then as after ClearAll's release of the population.
  void NextGeneration() {
    if (population == nullptr) return;
    const std::int64_t start = Now();  // 1
    RepairFailedGeneration();
    Reseed();              // 2
    int scored = Slots();  // until the pass begins, no score is out of date
    bool sortAfter = sortedPopulation_ == population;  // what a failed Select leaves expected
    try {
      sortAfter = Select(population);  // 3
      if (population == nullptr) {
        throw std::logic_error("NextGeneration: Select left the generator without a population");
      }
      PairingPass(scored);  // 4
    } catch (...) {
      ClearMarks();
      if (population != nullptr) repair_ = Repair{population, scored, sortAfter};
      throw;
    }
    ClearMarks();                                // 5
    if (sortAfter) population->SortByFitness();  // 6
    sortedPopulation_ = sortAfter ? population : nullptr;
    const bool replaced = ApplyBestRule(sortAfter);  // 7
    elapsedSeconds += Now() - start;                 // 8
    // 9. Past INT_MAX the count wraps instead of overflowing, as the stop test's stagnation
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

  // Whether a NextGeneration threw and left the population for RepairFailedGeneration.
  bool RepairPending() const { return repair_.has_value() && repair_->population == population; }

  // After a NextGeneration that threw, puts right what it left: rescores, drawing nothing, the
  // individuals from the first one not known to hold its new score (after deferred scoring that
  // threw, from the first slot), and sorts the population again if the failed generation's
  // selection asked for a sort (or, when Select itself threw, if the population was sorted when
  // it began). Does nothing otherwise, nor once the population has been replaced (Initialize,
  // Reset, ClearAll, a loaded checkpoint). NextGeneration calls it first; call it yourself to
  // read a consistent population right after the failure. Should a Fitness throw again, the
  // individuals scored so far count and the rest are left for the next call.
  void RepairFailedGeneration() {
    if (!repair_) return;
    if (repair_->population != population) {
      repair_.reset();
      return;
    }
    const int from = repair_->unscoredFrom;
    const int n = Slots();
    detail::Scorer<TIndividual> scorer(evaluator, EvaluationThreads(), fitnessContext);
    try {
      for (int i = from; i < n; ++i) scorer.Add(population->individuals[i]);
      scorer.Finish();
    } catch (...) {
      repair_->unscoredFrom = from + scorer.Stored();
      throw;
    }
    if (repair_->sort) population->SortByFitness();
    sortedPopulation_ = repair_->sort ? population : nullptr;
    repair_.reset();
  }

  // Releases the population and best; safe to call twice. Counters and settings stay.
  void ClearAll() {
    ReleasePopulation();
    delete best;
    best = nullptr;
  }

  // Starts afresh: releases the population and best, as ClearAll does, and sets generation,
  // bestGeneration and elapsedSeconds back to 0. Settings (populationSize included) stay.
  void Reset() {
    ClearAll();
    generation = 0;
    bestGeneration = 0;
    elapsedSeconds = 0;
  }

  // Picks one gene at random and inverts it, unless it is locked: then nothing changes, and no
  // other gene is tried. An individual without genes is left alone and no number is drawn.
  // Precondition: the gene array is filled.
  virtual void Mutate(TIndividual*& individual) {
    if (individual->geneCount <= 0) return;
    TGene* gene = individual->genes[Rand() % individual->geneCount];
    if (!gene->locked) gene->value = !gene->value;
  }

  // Recombines two individuals in place. The base does nothing.
  // Mutate and Crossover receive the population's slots as their working variables: a hook may
  // change its individuals in place, or delete one and put another in its variable, and the
  // population then holds, marks and scores the new one. Each variable must hold an individual
  // of its own, with the population's gene count, and a hook leaves the marks of other
  // individuals alone.
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

  // Deletes the population, and with it what the generator knows of its order and repair.
  void ReleasePopulation() {
    delete population;
    population = nullptr;
    sortedPopulation_ = nullptr;
    repair_.reset();
  }

  // A new population of random, scored individuals in slot order; on an exception everything
  // built so far is released.
  std::unique_ptr<TPopulation> BuildPopulation(int size, int geneCount) const {
    detail::Scorer<TIndividual> scorer(evaluator, EvaluationThreads(), fitnessContext);
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
      scorer.Add(built->individuals[i]);
    }
    scorer.Finish();
    return built;
  }

  // The slots the generation loops run over: populationSize, bounded by the population's count
  // and by 0.
  int Slots() const { return std::max(0, std::min(populationSize, population->count)); }

  // Step 4. The hooks get the slots themselves as their working variables, so whatever
  // individual a hook leaves in one is the one the population keeps, marks and scores, even
  // when a hook throws. On an exception the individuals visited before it are still scored, as
  // with one thread, and `scored` tells how many slots from the first have current scores.
  void PairingPass(int& scored) {
    TIndividual** slots = population->individuals;
    const int n = Slots();
    unmarked_.Reset(slots, n);
    detail::Scorer<TIndividual> scorer(evaluator, EvaluationThreads(), fitnessContext);
    try {
      for (int i = 0; i < n; ++i) {
        detail::PrefetchAhead(slots, static_cast<std::size_t>(i), static_cast<std::size_t>(n));
        TIndividual*& current = slots[i];
        if (!current->marked) PairAndCross(i);     // a
        if (Trial(mutationRate)) Mutate(current);  // b
        scorer.Add(current);                       // c
      }
      scorer.Finish();
    } catch (...) {
      std::exception_ptr failure = std::current_exception();
      try {
        scorer.Finish();
      } catch (...) {
        failure = std::current_exception();  // an earlier Fitness failed: one thread meets it first
      }
      scored = scorer.Stored();
      std::rethrow_exception(failure);
    }
  }

  // Step 4a for the unmarked individual in slot i: draws the partner offset and, with a partner
  // found, runs the crossover trial; on success crosses the pair and marks both.
  void PairAndCross(int i) {
    TIndividual** slots = population->individuals;
    const int partner = FindPartner(i);
    if (partner == unmarked_.End() || !Trial(crossoverRate)) return;
    Crossover(slots[i], slots[partner]);
    slots[i]->marked = true;
    slots[partner]->marked = true;
    unmarked_.Skip(i);
    unmarked_.Skip(partner);
  }

  // The slot of the first unmarked individual among slots i + offset to n - 1, for a random
  // offset of at least 1, or n. Slots found marked are skipped for good, so the searches of a
  // whole pass take O(n log n) at worst, also over long runs of marked individuals.
  int FindPartner(int i) {
    const int n = unmarked_.End();
    int offset = Rand() % (n - i);
    if (offset == 0) offset = 1;
    TIndividual* const* slots = population->individuals;
    int j = unmarked_.From(i + offset);
    while (j < n && slots[j]->marked) {  // marked by a hook since the pass began
      unmarked_.Skip(j);
      j = unmarked_.From(j + 1);
    }
    return j;
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

  // What a generation that threw left to put right, for the population it worked on.
  struct Repair {
    const TPopulation* population;
    int unscoredFrom;  // the first slot not known to hold its new score
    bool sort;         // whether the population is to be sorted again
  };

  // The population known to be sorted as the next generation begins (after Initialize, and after
  // a generation whose Select asked for a sort), or null.
  const TPopulation* sortedPopulation_ = nullptr;
  std::optional<Repair> repair_;
  detail::UnmarkedSlots unmarked_;  // the pairing pass's search structure, kept for its memory
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
  // side effects, and the hooks read no fitness and delete no individual but those in their own
  // variables during the pass. An evaluator set on the generator takes precedence over this
  // setting.
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
  bool Select(Population*& selected) override {
    switch (selectionType) {
      case SelectionRouletteWheel:
        RouletteWheelSelection(selected, selected->MeanFitness());
        return false;
      case SelectionStochasticRemainder:
        StochasticRemainderSelection(selected, selected->MeanFitness());
        return false;
      case SelectionElitism:
        ElitistSelection(selected, eliteCount);
        return true;
      case SelectionTournament:
        TournamentSelection(selected, tournamentRate);
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
      AppendClones(next, count, [&] {
        TIndividual* first = slots[Rand() % count];
        TIndividual* second = slots[Rand() % count];
        const bool secondFitter = second->fitness > first->fitness;
        TIndividual* fitter = secondFitter ? second : first;
        TIndividual* weaker = secondFitter ? first : second;
        const bool fitterWins = Rand() % 10000000 <= threshold;  // "or equal", unlike Trial
        return fitterWins ? fitter : weaker;
      });
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
  // to it (marked as they join). Once a group is complete, placeGroup(representative, expected
  // copies, new array, pick list) places its whole copies and pick-list entries, in the order of
  // the representatives. The slots left are filled by picks, then the population is replaced
  // and its marks cleared.
  template <class PlaceGroup>
  static void SelectByGroups(Population* population, double meanFitness, PlaceGroup&& placeGroup) {
    Rebuild(population, true, [&](NewArray& next) {
      const int count = population->count;
      const double total = count * meanFitness;  // once, before the walk
      Picks picks;
      const auto place = [&](TIndividual* representative, int groupSize) {
        const double share = representative->fitness / total;
        // Multiplied in this order, and rounded before roulette adds its half: it decides how
        // the expected copies round.
        placeGroup(representative, RoundedProduct(groupSize * share, count), next, picks);
      };
      if (!GroupByGenes(population, place)) GroupByIsEqual(population, place);
      AppendClones(next, count - static_cast<int>(next.size()),
                   [&] { return Pick(picks, population); });
    });
  }

  // The walk itself: each representative's IsEqual is called on every later unmarked
  // individual, and each group is placed as soon as it is complete. O(count x groups).
  template <class Place>
  static void GroupByIsEqual(Population* population, Place& place) {
    TIndividual* const* slots = population->individuals;
    const int count = population->count;
    for (int i = 0; i < count; ++i) {
      TIndividual* representative = slots[i];
      if (representative->marked) continue;
      representative->marked = true;
      int groupSize = 1;
      for (int j = i + 1; j < count; ++j) {
        if (!slots[j]->marked && representative->IsEqual(slots[j])) {
          slots[j]->marked = true;
          ++groupSize;
        }
      }
      place(representative, groupSize);
    }
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

  // Whether TIndividual clones as CIndividual does.
  static constexpr bool UsesOwnClone() {
    if constexpr (requires { &TIndividual::Clone; }) {
      return std::is_same_v<decltype(&TIndividual::Clone),
                            decltype(&CIndividual<TIndividual, CBit>::Clone)>;
    } else {
      return false;
    }
  }

  // The walk's groups in expected linear time, by hashing each individual's packed gene values:
  // the same groups, placed in the same order, as far as anyone can tell, since IsEqual is
  // CIndividual's own and not called. Applies when every chromosome has slot 0's length, at any
  // length; otherwise it returns false having done nothing, and the walk runs.
  template <class Place>
  static bool GroupByGenes(Population* population, Place& place) {
    if constexpr (!UsesOwnIsEqual()) {
      return false;
    } else {
      TIndividual* const* slots = population->individuals;
      const auto count = static_cast<std::size_t>(population->count);
      if (count == 0) return true;
      const int geneCount = slots[0]->geneCount;
      for (std::size_t i = 1; i < count; ++i) {
        if (slots[i]->geneCount != geneCount) return false;
      }
      const std::size_t words = (static_cast<std::size_t>(geneCount) + 63) / 64;
      std::vector<std::uint64_t> packed(count * words);
      for (std::size_t i = 0; i < count; ++i) {
        detail::PrefetchAhead(slots, i, count);
        PackGenes(*slots[i], packed.data() + i * words);
      }
      // Open addressing over at least twice as many places as individuals; a place holds the
      // index of a group, or -1.
      const std::size_t places = std::bit_ceil(2 * count);
      std::vector<int> table(places, -1);
      struct Group {
        std::size_t representative;  // its slot
        int size;
      };
      std::vector<Group> groups;
      for (std::size_t i = 0; i < count; ++i) {
        if (slots[i]->marked) continue;  // joins no group, as in the walk
        slots[i]->marked = true;
        const std::uint64_t* genes = packed.data() + i * words;
        for (std::size_t at = HashWords(genes, words) & (places - 1);;
             at = (at + 1) & (places - 1)) {
          const int group = table[at];
          if (group < 0) {
            table[at] = static_cast<int>(groups.size());
            groups.push_back({i, 1});
            break;
          }
          Group& found = groups[static_cast<std::size_t>(group)];
          if (std::equal(genes, genes + words, packed.data() + found.representative * words)) {
            ++found.size;
            break;
          }
        }
      }
      for (const Group& group : groups) place(slots[group.representative], group.size);
      return true;
    }
  }

  // Gene j's value as bit j % 64 of word j / 64.
  static void PackGenes(const TIndividual& individual, std::uint64_t* words) {
    for (int j = 0; j < individual.geneCount; ++j) {
      if (individual.genes[j]->value) {
        words[j / 64] |= std::uint64_t{1} << (j % 64);
      }
    }
  }

  // A hash of n words for the grouping table.
  static std::size_t HashWords(const std::uint64_t* words, std::size_t n) {
    std::uint64_t hash = 0x9E3779B97F4A7C15u;
    for (std::size_t k = 0; k < n; ++k) {
      hash = (hash ^ words[k]) * 0xFF51AFD7ED558CCDu;
      hash ^= hash >> 32;
    }
    return static_cast<std::size_t>(hash);
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

  // Appends clones of `picks` individuals, each chosen by pick(), which only draws and reads
  // the population. Done pick, clone, pick, clone... as written; but when nobody can tell
  // (TIndividual clones with CIndividual's own Clone, which draws nothing as long as
  // TIndividual's constructor draws nothing, and the engine's state can be saved), all the
  // picks are drawn first, so that each source's
  // memory can be loaded ahead of its clone. Should a clone throw, the engine is put back and
  // the picks up to that clone's are drawn again: the draws made are those of the plain course.
  template <class PickOne>
  static void AppendClones(NewArray& next, int picks, PickOne&& pick) {
    const std::optional<EngineState> saved = UsesOwnClone() ? SaveEngineState() : std::nullopt;
    if (!saved) {
      for (int k = 0; k < picks; ++k) AppendClone(next, pick());
      return;
    }
    std::vector<TIndividual*> sources(static_cast<std::size_t>(std::max(picks, 0)));
    for (TIndividual*& source : sources) source = pick();
    std::size_t k = 0;
    try {
      for (; k < sources.size(); ++k) {
        detail::PrefetchAhead(sources.data(), k, sources.size(), 12);
        AppendClone(next, sources[k]);
      }
    } catch (...) {
      RestoreEngineState(*saved);
      for (std::size_t redraw = 0; redraw <= k; ++redraw) pick();
      throw;
    }
  }
};

}  // namespace allelix
