#include "experiment.h"

#include <limits>

namespace allelix::lab {

namespace {

// Chooses the engine for a clock-seeded run and restores the previous one afterwards.
class ScopedEngine {
 public:
  explicit ScopedEngine(Engine engine) : saved_(CurrentEngine()) { SetEngine(engine); }
  ~ScopedEngine() { SetEngine(saved_); }
  ScopedEngine(const ScopedEngine&) = delete;
  ScopedEngine& operator=(const ScopedEngine&) = delete;

 private:
  Engine saved_;
};

RunResult Evolution(const Options& options, const std::function<void(const Snapshot&)>& watch,
                    const std::function<bool()>& cancelled) {
  demo::CMyGenerator generator;
  Configure(options, generator);
  const StopReason reason = Run(generator, [&](const demo::CMyGenerator& g) {
    if (cancelled && cancelled()) throw RunCancelled();
    watch(Observe(g));
  });
  RunResult result;
  result.reason = reason;
  result.generations = generator.generation;
  result.value = demo::Decode(*generator.best);
  result.fitness = generator.best->fitness;
  result.foundGeneration = generator.bestGeneration;
  return result;
}

}  // namespace

Snapshot Observe(const demo::CMyGenerator& generator) {
  Snapshot snapshot;
  snapshot.generation = generator.generation;
  snapshot.bestValue = demo::Decode(*generator.best);
  snapshot.bestFitness = generator.best->fitness;
  snapshot.bestGeneration = generator.bestGeneration;
  const demo::CMyIndividual* fittest = generator.FindFittest();
  snapshot.fittestFitness =
      fittest != nullptr ? fittest->fitness : std::numeric_limits<double>::quiet_NaN();
  snapshot.meanFitness = generator.population->MeanFitness();
  snapshot.convergence = generator.population->Convergence();
  return snapshot;
}

void Configure(const Options& options, demo::CMyGenerator& generator) {
  generator.selectionType = options.selectionType;
  generator.crossoverType = options.crossoverType;
  generator.stopFlags = options.stopFlags;
  if (options.mutationRate) generator.mutationRate = *options.mutationRate;
  if (options.crossoverRate) generator.crossoverRate = *options.crossoverRate;
  if (options.uniformRate) generator.uniformRate = *options.uniformRate;
  if (options.tournamentRate) generator.tournamentRate = *options.tournamentRate;
  if (options.eliteCount) generator.eliteCount = *options.eliteCount;
  if (options.convergenceThreshold) generator.convergenceThreshold = *options.convergenceThreshold;
  if (options.maxMinutes) generator.maxMinutes = *options.maxMinutes;
  if (options.maxGenerations) generator.maxGenerations = *options.maxGenerations;
  if (options.maxStagnation) generator.maxStagnation = *options.maxStagnation;
}

RunResult RunOnce(const Options& options, std::optional<std::uint32_t> seed,
                  const std::function<void(const Snapshot&)>& watch,
                  const std::function<bool()>& cancelled) {
  if (seed) {
    const ScopedSeedSchedule schedule(*seed, options.engine);
    return Evolution(options, watch, cancelled);
  }
  const ScopedEngine engine(options.engine);
  return Evolution(options, watch, cancelled);
}

}  // namespace allelix::lab
