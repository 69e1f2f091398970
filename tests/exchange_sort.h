// The straightforward exchange sort by fitness: the reference the fast sort is held to, in the
// tests as their oracle and in the benchmarks as the baseline.
#pragma once

#include <utility>

namespace allelix::testing {

// For each slot i, every later slot j whose individual is strictly fitter than the one now in
// slot i exchanges pointers with it.
template <class TIndividual>
void ExchangeSortByFitness(TIndividual** individuals, int count) {
  for (int i = 0; i < count; ++i) {
    for (int j = i + 1; j < count; ++j) {
      if (individuals[j]->fitness > individuals[i]->fitness) {
        std::swap(individuals[i], individuals[j]);
      }
    }
  }
}

}  // namespace allelix::testing
