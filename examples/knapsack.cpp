// 0/1 knapsack: choose which of 40 items to pack so that their total value is as large as
// possible while their total weight stays within the capacity. Gene i says whether item i is
// packed. The instance is small enough to solve exactly by dynamic programming (optimum 812),
// which the program does at the end to show how close the genetic algorithm came.
//
// Usage: knapsack [--seed S] [--runs N] [--jobs N] [--trace FILE] [--plot FILE.svg]
//   With a seed every run repeats exactly; without one, a seed is drawn at random and printed.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "allelix/experiment/command_line.h"
#include "allelix/generator.h"

namespace {

struct Item {
  int weight;
  int value;
};

constexpr std::array<Item, 40> Items{{
    {35, 30}, {51, 59}, {24, 20}, {51, 54}, {53, 65}, {53, 51}, {39, 36}, {45, 61},
    {52, 57}, {27, 30}, {38, 51}, {44, 64}, {18, 17}, {39, 51}, {26, 32}, {9, 22},
    {54, 71}, {18, 30}, {53, 66}, {34, 53}, {50, 66}, {60, 70}, {14, 21}, {18, 35},
    {31, 22}, {54, 55}, {45, 48}, {34, 27}, {51, 64}, {13, 27}, {25, 27}, {26, 27},
    {55, 51}, {25, 28}, {31, 31}, {41, 37}, {60, 63}, {19, 15}, {7, 20},  {19, 33},
}};
constexpr int Capacity = 576;  // 40% of the total weight
constexpr int PopulationSize = 200;

// Total weight and value of the packed items.
template <class TIndividual>
Item Packed(const TIndividual& individual) {
  Item total{0, 0};
  for (int i = 0; i < individual.geneCount; ++i) {
    if (individual.genes[i]->value) {
      total.weight += Items[i].weight;
      total.value += Items[i].value;
    }
  }
  return total;
}

// A packing that fits scores its value. One that is too heavy scores minus its excess weight:
// below every packing that fits, and better the closer it comes to fitting.
class CPacking final : public allelix::CIndividual<CPacking, allelix::CBit> {
 public:
  double Fitness(int /*fitnessContext*/) override {
    const Item total = Packed(*this);
    return total.weight <= Capacity ? total.value : Capacity - total.weight;
  }
};

// A generator of our own: the library's operators, with settings chosen for this problem.
class CPackingGenerator final : public allelix::CGeneratorEx<CPacking> {
 public:
  CPackingGenerator() {
    // Elitism: clones of the 20 best packings replace the 20 worst.
    selectionType = allelix::SelectionElitism;
    eliteCount = 20;
    // Two-point crossover: a run of items is exchanged between two packings.
    crossoverType = allelix::CrossoverTwoPoint;
    mutationRate = 0.3;  // 30% of the packings get one item added or removed each generation
    // Stop after 1000 generations, or after 200 generations without a better packing.
    stopFlags = allelix::StopOnGenerations | allelix::StopOnStagnation;
    maxGenerations = 1000;
    maxStagnation = 200;
  }
};

// The exact optimum by dynamic programming: best[c] is the largest value within weight c.
int OptimalValue() {
  std::vector<int> best(Capacity + 1, 0);
  for (const Item& item : Items) {
    for (int c = Capacity; c >= item.weight; --c) {
      best[c] = std::max(best[c], best[c - item.weight] + item.value);
    }
  }
  return best[Capacity];
}

// The packed items, their weight and value, and how close the value comes to the optimum.
std::string Describe(const CPacking& best, int optimum) {
  const Item packed = Packed(best);
  std::string text = "packed items:";
  for (int i = 0; i < best.geneCount; ++i) {
    if (best.genes[i]->value) text += " " + std::to_string(i);
  }
  return text + "\nweight " + std::to_string(packed.weight) + " of " + std::to_string(Capacity) +
         ", value " + std::to_string(packed.value) +
         "\noptimum by dynamic programming: " + std::to_string(optimum) + "; reached " +
         allelix::experiment::Fixed(100.0 * packed.value / optimum, 1) + "%\n";
}

}  // namespace

int main(int argc, char** argv) {
  const int optimum = OptimalValue();
  allelix::experiment::Program<CPackingGenerator> program;
  program.name = "knapsack";
  program.problem = "0/1 knapsack of 40 items";
  program.batch.initialize = [](CPackingGenerator& g) {
    g.Initialize(PopulationSize, static_cast<int>(Items.size()));
  };
  program.batch.success = [optimum](const CPackingGenerator& g) {
    return g.best->fitness == optimum;
  };
  // best is a copy of the fittest packing the run has seen.
  program.batch.describe = [optimum](const CPackingGenerator& g) {
    return Describe(*g.best, optimum);
  };
  program.summary.successLabel = "reached the optimum " + std::to_string(optimum);
  program.chart.optimum = optimum;  // the chart shows how far the packings lie from the optimum
  program.chart.optimumLabel = "optimum " + std::to_string(optimum);
  return allelix::experiment::Main(program, "Packs 40 items into a knapsack of capacity 576.", argc,
                                   argv);
}
