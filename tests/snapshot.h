// A generator's whole visible state as plain values, so two runs compare with one EXPECT_EQ.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

namespace allelix::testing {

struct IndividualState {
  std::vector<bool> genes, locks;
  double fitness = 0.0;
  bool marked = false;
  bool operator==(const IndividualState&) const = default;
};

struct GeneratorState {
  std::vector<IndividualState> population;
  IndividualState best;
  bool hasBest = false;
  int populationSize = 0, generation = 0, bestGeneration = 0;
  std::int64_t elapsedSeconds = 0;
  bool operator==(const GeneratorState&) const = default;
};

template <class TIndividual>
IndividualState IndividualStateOf(const TIndividual& individual) {
  IndividualState state{{}, {}, individual.fitness, individual.marked};
  for (int j = 0; j < individual.geneCount; ++j) {
    state.genes.push_back(individual.genes[j]->value);
    state.locks.push_back(individual.genes[j]->locked);
  }
  return state;
}

template <class TGenerator>
GeneratorState GeneratorStateOf(const TGenerator& generator) {
  GeneratorState state;
  for (int i = 0; generator.population != nullptr && i < generator.population->count; ++i) {
    state.population.push_back(IndividualStateOf(*generator.population->individuals[i]));
  }
  state.hasBest = generator.best != nullptr;
  if (state.hasBest) state.best = IndividualStateOf(*generator.best);
  state.populationSize = generator.populationSize;
  state.generation = generator.generation;
  state.bestGeneration = generator.bestGeneration;
  state.elapsedSeconds = generator.elapsedSeconds;
  return state;
}

// Short printouts, so a failed comparison does not dump whole populations byte by byte.
inline std::ostream& operator<<(std::ostream& out, const IndividualState& state) {
  out << '[';
  for (const bool bit : state.genes) out << (bit ? '1' : '0');
  return out << " fitness " << state.fitness << (state.marked ? " marked]" : "]");
}

inline std::ostream& operator<<(std::ostream& out, const GeneratorState& state) {
  return out << "{" << state.population.size() << " individuals, best " << state.best
             << ", generation " << state.generation << "/" << state.bestGeneration << "}";
}

}  // namespace allelix::testing
