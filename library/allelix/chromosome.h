// The chromosome model: genes, individuals and populations, with deep ownership.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "allelix/platform.h"
#include "allelix/pool.h"
#include "allelix/sort_by_fitness.h"

namespace allelix {

namespace detail {

// Gives an owner without an array n null entries: the owning array of genes or individuals.
// A negative n throws std::bad_array_new_length, an oversized one std::bad_alloc; neither
// changes anything.
template <class T>
void AllocateOwned(T**& array, int& count, int n) {
  if (n < 0) throw std::bad_array_new_length();
  array = new T*[static_cast<std::size_t>(n)]();
  count = n;
}

// Deletes every entry of an owning array and the array itself; safe on a missing array, null
// entries, and twice. The count becomes 0 in every case.
template <class T>
void ClearOwned(T**& array, int& count) {
  if (array != nullptr) {
    for (int i = 0; i < count; ++i) {
      delete array[i];
      array[i] = nullptr;
    }
    delete[] array;
    array = nullptr;
  }
  count = 0;
}

// One step of a running mean: the mean of items 0 to i, from the mean of items 0 to i - 1 and
// item i, as (mean * i + item) / (i + 1). The product is rounded before the sum, so no compiler
// fuses the two: the result can differ from sum / count, and from a fused multiply-add, in the
// last bit.
inline double RunningMean(double mean, int i, double item) {
  return (RoundedProduct(mean, i) + item) / (i + 1);
}

}  // namespace detail

// One gene: a bit, and a lock that protects it from mutation.
// The destructor is not virtual: genes are always deleted through their own class,
// which is why the class is final.
class CBit final {
 public:
  bool value = false;
  bool locked = false;

  CBit() = default;

  // Genes come from a pool of the thread that makes them (pool.h).
  static void* operator new(std::size_t size) { return detail::PoolAllocate(size); }
  static void operator delete(void* gene, std::size_t size) noexcept {
    detail::PoolRelease(gene, size);
  }

  // Genes are equal when they hold the same bit; the lock takes no part.
  virtual bool IsEqual(CBit* other) { return value == other->value; }
};

// A chromosome: an owned array of owned genes and the fitness last stored for it.
// TIndividual is the concrete class deriving from this one; individuals are always deleted
// through it (the destructor is not virtual), so a concrete individual is best declared final.
template <class TIndividual, class TGene>
class CIndividual {
 public:
  TGene** genes = nullptr;  // null when the individual has no gene array
  int geneCount = 0;
  double fitness = 0.0;
  bool marked = false;  // transient flag of the engine's pairing and grouping passes

  CIndividual() = default;
  ~CIndividual() { ClearGenes(); }
  CIndividual(const CIndividual&) = delete;
  CIndividual& operator=(const CIndividual&) = delete;

  // Individuals come from a pool of the thread that makes them (pool.h); delete goes through
  // TIndividual, whose size the pool is told.
  static void* operator new(std::size_t size) { return detail::PoolAllocate(size); }
  static void operator delete(void* individual, std::size_t size) noexcept {
    detail::PoolRelease(individual, size);
  }
  // An individual class aligned beyond what new gives by default comes from the global
  // allocator, which honours its alignment; the pools do not.
  static void* operator new(std::size_t size, std::align_val_t alignment) {
    return ::operator new(size, alignment);
  }
  static void operator delete(void* individual, std::align_val_t alignment) noexcept {
    ::operator delete(individual, alignment);
  }

  // Gives an individual without a gene array n null gene slots, which the caller fills.
  // Precondition: no gene array yet (an existing one would be lost, not released).
  // A negative n throws std::bad_array_new_length, an oversized one std::bad_alloc; neither
  // changes anything.
  void AllocateGenes(int n) { detail::AllocateOwned(genes, geneCount, n); }

  // Deletes every gene and the array; safe on a missing array, null entries, and twice.
  void ClearGenes() { detail::ClearOwned(genes, geneCount); }

  // A deep copy: new gene objects with the same values and locks, the same fitness and mark.
  // A source without a gene array gives a fresh, empty individual.
  // Precondition: every entry of the gene array is filled. On std::bad_alloc nothing leaks.
  virtual TIndividual* Clone() {
    auto copy = std::make_unique<TIndividual>();
    if (genes == nullptr) return copy.release();
    copy->AllocateGenes(geneCount);
    for (int i = 0; i < geneCount; ++i) {
      TGene* gene = new TGene();
      gene->value = genes[i]->value;
      gene->locked = genes[i]->locked;
      copy->genes[i] = gene;
    }
    copy->fitness = fitness;
    copy->marked = marked;
    return copy.release();
  }

  // Gene-by-gene equality over this individual's genes.
  // Precondition: `other` has at least as many genes; both arrays are filled.
  virtual bool IsEqual(TIndividual* other) {
    for (int i = 0; i < geneCount; ++i) {
      if (!genes[i]->IsEqual(other->genes[i])) return false;
    }
    return true;
  }

  // The fitness of this chromosome; larger is better. The base scores everything 0.0.
  virtual double Fitness(int /*fitnessContext*/) { return 0.0; }
};

// A population: an owned array of owned individuals.
template <class TIndividual, class TGene>
class CPopulation {
 public:
  TIndividual** individuals = nullptr;  // null when the population has no slot array
  int count = 0;

  CPopulation() = default;
  ~CPopulation() { ClearIndividuals(); }
  CPopulation(const CPopulation&) = delete;
  CPopulation& operator=(const CPopulation&) = delete;

  // Gives a population without a slot array n null slots, which the caller fills.
  // Precondition: no slot array yet (an existing one would be lost, not released).
  // A negative n throws std::bad_array_new_length, an oversized one std::bad_alloc; neither
  // changes anything.
  void AllocateIndividuals(int n) { detail::AllocateOwned(individuals, count, n); }

  // Deletes every individual and the array; safe on a missing array, null slots, and twice.
  void ClearIndividuals() { detail::ClearOwned(individuals, count); }

  // Reorders the slots by non-increasing stored fitness into the order an exchange sort leaves:
  // for each slot i, every later slot j whose individual is strictly fitter than the one now in
  // slot i exchanges with it; a comparison with a NaN never exchanges. That order among equal
  // values is part of what a seed decides; it is reached in O(count log count) time
  // (sort_by_fitness.h says how), only pointers move, and no hook is called.
  // Precondition (also of MeanFitness): every slot holds an individual.
  // The first sort (and one over more slots than before) allocates the sort's buffers, which the
  // population keeps; std::bad_alloc there leaves every slot as it was.
  void SortByFitness() { detail::SortByFitness(individuals, count, sortBuffers_); }

  // The running mean of the stored fitness values; 0.0 for an empty population.
  double MeanFitness() const {
    double mean = 0.0;
    for (int i = 0; i < count; ++i) mean = detail::RunningMean(mean, i, individuals[i]->fitness);
    return mean;
  }

  // Mean over the gene positions of the share of individuals holding the majority bit:
  // 1.0 when all agree everywhere, 0.0 for no individuals or no genes.
  // Precondition: every slot holds an individual with at least slot 0's genes, all filled.
  double Convergence() const {
    if (count == 0) return 0.0;
    const int n = individuals[0]->geneCount;
    if (n <= 0) return 0.0;
    // The stop test calls this every generation: typical chromosomes tally on the stack.
    constexpr int StackTally = 64;
    std::array<int, StackTally> stackTally{};
    std::vector<int> heapTally;
    int* tally = stackTally.data();
    if (n > StackTally) {
      heapTally.assign(static_cast<std::size_t>(n), 0);
      tally = heapTally.data();
    }
    for (int i = 0; i < count; ++i) {
      TGene* const* genes = individuals[i]->genes;
      for (int j = 0; j < n; ++j) tally[j] += genes[j]->value ? 1 : 0;
    }
    double mean = 0.0;
    for (int j = 0; j < n; ++j) {
      // A whole count converts exactly, so this is the share of a tally kept in doubles.
      double share = static_cast<double>(tally[j]) / count;
      if (share < 0.5) share = 1.0 - share;
      mean = detail::RunningMean(mean, j, share);
    }
    return mean;
  }

 private:
  detail::SortBuffers sortBuffers_;  // scratch of SortByFitness, kept for the next call
};

}  // namespace allelix
