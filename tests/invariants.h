// The ownership invariants a generator keeps between calls, checked without GoogleTest so the
// fuzz target can use them too.
#pragma once

#include <set>
#include <string>

namespace allelix::testing {

// Describes the first broken invariant of a generator that holds a population, or returns an
// empty string: count slots, each an individual with geneCount non-null genes; no individual or
// gene object held twice (best included); nothing marked; best not in the population, with genes
// of its own (its length may differ after an Initialize with another shape); bestGeneration no
// later than generation.
template <class TGenerator>
std::string BrokenInvariant(const TGenerator& generator, int count, int geneCount) {
  const auto* population = generator.population;
  if (population == nullptr) return "no population";
  if (population->count != count) {
    return "population has " + std::to_string(population->count) + " slots, not " +
           std::to_string(count);
  }
  if (count > 0 && population->individuals == nullptr) return "population has no slot array";
  std::set<const void*> individuals;
  std::set<const void*> genes;
  // Checks one individual's shape and records its objects; describes what is wrong, if anything.
  const auto take = [&](const auto* individual, const std::string& where,
                        int length) -> std::string {
    if (individual == nullptr) return where + " is empty";
    if (!individuals.insert(individual).second) return where + " holds an individual held before";
    if (individual->geneCount != length) {
      return where + " has " + std::to_string(individual->geneCount) + " genes, not " +
             std::to_string(length);
    }
    if (individual->genes == nullptr) return where + " has no gene array";
    for (int j = 0; j < length; ++j) {
      if (individual->genes[j] == nullptr) return where + " lacks gene " + std::to_string(j);
      if (!genes.insert(individual->genes[j]).second) {
        return where + " shares gene " + std::to_string(j);
      }
    }
    return {};
  };
  for (int i = 0; i < count; ++i) {
    const std::string where = "slot " + std::to_string(i);
    if (std::string broken = take(population->individuals[i], where, geneCount); !broken.empty()) {
      return broken;
    }
    if (population->individuals[i]->marked) return where + " is marked";
  }
  if (generator.best != nullptr) {
    if (std::string broken = take(generator.best, "best", generator.best->geneCount);
        !broken.empty())
      return broken;
  }
  if (generator.bestGeneration > generator.generation) {
    return "bestGeneration " + std::to_string(generator.bestGeneration) + " exceeds generation " +
           std::to_string(generator.generation);
  }
  return {};
}

}  // namespace allelix::testing
