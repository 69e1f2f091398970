// A costly fitness on MPI: evolve a day's heating schedule, 48 half-hour slots each on or off,
// that keeps a room near 21 degrees with little energy. Scoring a schedule simulates the room
// in fine time steps (about a millisecond here; in real work, a simulation of seconds), so the
// scoring is spread over the ranks of an MPI job: rank 0 evolves, the other ranks score.
//
// Usage: mpirun -n RANKS heating_mpi [SEED]
//   With a SEED every run repeats exactly, on any number of ranks; without one, the generator
//   seeds itself from an entropy source. One rank scores everything itself.
#include <cmath>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>

#include "allelix/generator.h"
#include "allelix/mpi.h"
#include "allelix/run.h"
#include "seed_argument.h"

namespace {

constexpr int Slots = 48;           // half-hour slots of one day, each heating on or off
constexpr int StepsPerSlot = 2000;  // simulation steps per slot: the cost of one Fitness
constexpr int PopulationSize = 60;
constexpr double SlotHours = 0.5;

// A heating schedule, scored by simulating the room through the day. The score is the negative
// of the mean squared distance from 21 degrees plus the energy used, so higher is better.
// fitnessContext is the number of simulation steps per slot: the finer, the costlier.
class CSchedule final : public allelix::CIndividual<CSchedule, allelix::CBit> {
 public:
  double Fitness(int stepsPerSlot) override {
    const double dt = SlotHours / stepsPerSlot;
    double room = 15.0;  // degrees at midnight
    double deviation = 0.0;
    int heated = 0;
    for (int slot = 0; slot < geneCount; ++slot) {
      const bool on = genes[slot]->value;
      heated += on ? 1 : 0;
      for (int step = 0; step < stepsPerSlot; ++step) {
        const double hour = (slot * stepsPerSlot + step) * dt;
        const double outside = 8.0 - 6.0 * std::cos(hour * (2.0 * 3.141592653589793 / 24.0));
        // Heat lost through the walls, heat gained from the heater.
        const double change = -0.3 * (room - outside) + (on ? 6.0 : 0.0);
        room += change * dt;
        deviation += (room - 21.0) * (room - 21.0);
      }
    }
    const double steps = static_cast<double>(geneCount) * stepsPerSlot;
    return -(deviation / steps) - 0.05 * heated;
  }
};

class CHeatingGenerator final : public allelix::CGeneratorEx<CSchedule> {
 public:
  CHeatingGenerator() {
    selectionType = allelix::SelectionTournament;
    crossoverType = allelix::CrossoverTwoPoint;
    mutationRate = 0.5;
    fitnessContext = StepsPerSlot;
    stopFlags = allelix::StopOnGenerations | allelix::StopOnStagnation;
    maxGenerations = 30;
    maxStagnation = 15;
  }
};

}  // namespace

int main(int argc, char** argv) {
  // Every rank starts here; all but rank 0 only score what rank 0 sends, until it is done.
  allelix::mpi::Environment mpi(argc, argv);
  if (mpi.Rank() != 0) {
    allelix::mpi::ServeFitness<CSchedule>();
    return 0;
  }
  // Made first: however rank 0 leaves main, the evaluator's end releases the workers.
  allelix::mpi::MpiEvaluator<CSchedule> evaluator;

  std::optional<std::uint32_t> seed;
  if (const std::optional<int> status =
          examples::ParseSeedArgument("heating_mpi", argc, argv, seed)) {
    return *status;
  }
  std::optional<allelix::ScopedSeedSchedule> schedule;
  if (seed) schedule.emplace(*seed);

  CHeatingGenerator generator;
  generator.evaluator = &evaluator;  // every Fitness call of the run goes to the workers
  try {
    generator.Initialize(PopulationSize, Slots);
    const allelix::StopReason reason = allelix::Evolve(generator, [](const CHeatingGenerator& g) {
      if (g.generation % 10 == 0) {
        std::cout << "generation " << g.generation << ": best " << g.best->fitness << "\n";
      }
    });
    std::cout << "stopped by " << allelix::StopReasonName(reason) << " after "
              << generator.generation << " generations\n";
  } catch (const std::exception& error) {  // a worker's Fitness failed, or MPI did
    std::cerr << "heating_mpi: " << error.what() << "\n";
    return 1;
  }
  std::cout << "best: " << generator.best->fitness << "\nschedule (one mark per half hour):\n";
  for (int i = 0; i < generator.best->geneCount; ++i) {
    std::cout << (generator.best->genes[i]->value ? '#' : '.');
  }
  std::cout << "\n";
  const int workers = evaluator.Workers();
  std::cerr << "scored on "
            << (workers == 0 ? std::string("rank 0 alone")
                             : std::to_string(workers) + (workers == 1 ? " worker" : " workers"))
            << " in " << generator.elapsedSeconds << " s\n";
  // A report that could not be written (a full disk, a closed output) is a failure.
  if (!std::cout.flush()) {
    std::cerr << "heating_mpi: cannot write to standard output\n";
    return 1;
  }
  return 0;
}
