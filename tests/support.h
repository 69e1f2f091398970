// Shared test helpers: scripted random draws, a scripted clock and small population builders.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "allelix/platform.h"
#include "square_root.h"

namespace allelix::testing {

// Plays a fixed list of draws (then zeros, or the engine's draws when `engineAfter`) and counts
// every draw made while it is installed.
class ScriptedDraws {
 public:
  explicit ScriptedDraws(std::vector<int> script = {}, bool engineAfter = false)
      : script_(std::move(script)) {
    SetDrawSource([this, engineAfter] {
      const std::size_t index = drawn_++;
      return index < script_.size() ? script_[index] : engineAfter ? EngineRand() : 0;
    });
  }
  ~ScriptedDraws() { SetDrawSource(nullptr); }
  ScriptedDraws(const ScriptedDraws&) = delete;
  ScriptedDraws& operator=(const ScriptedDraws&) = delete;

  std::size_t Drawn() const { return drawn_; }

 private:
  std::vector<int> script_;
  std::size_t drawn_ = 0;
};

// Passes the engine's draws through and counts them.
struct CountedDraws : ScriptedDraws {
  CountedDraws() : ScriptedDraws({}, true) {}
};

// A clock that tests move by hand, or that moves by `tick` seconds at every reading.
class ManualClock {
 public:
  explicit ManualClock(std::int64_t start = 1'700'000'000, std::int64_t tick = 0) : now_(start) {
    SetClock([this, tick] { return std::exchange(now_, now_ + tick); });
  }
  ~ManualClock() { SetClock(nullptr); }
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  void Advance(std::int64_t seconds) { now_ += seconds; }

 private:
  std::int64_t now_;
};

// A fresh directory for a test's files, removed with everything in it.
class ScratchDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "allelix-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  std::filesystem::path dir_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// One point per set bit: many ties, so any change of order shows in the sort and the selection.
// Counts the objects alive, so that a leaked or doubly held individual shows.
class COnes final : public CIndividual<COnes, CBit> {
 public:
  static inline int alive = 0;
  COnes() { ++alive; }
  ~COnes() { --alive; }

  double Fitness(int /*context*/) override {
    int ones = 0;
    for (int i = 0; i < geneCount; ++i) ones += genes[i]->value ? 1 : 0;
    return ones;
  }
};

// Scores its chromosome as its binary number plus the context, and fails on demand: Fitness
// throws for the numbers in `poison` and once `fitnessesLeft` more calls have passed, Clone once
// `clonesLeft` more have (negative: never). Counts the objects alive.
class CFaulty final : public CIndividual<CFaulty, CBit> {
 public:
  static inline std::set<std::uint32_t> poison;
  static inline std::atomic<int> fitnessesLeft = -1, alive = 0;
  static inline int clonesLeft = -1;

  CFaulty() { ++alive; }
  ~CFaulty() { --alive; }

  double Fitness(int context) override {
    const std::uint32_t value = demo::DecodeBits(*this);
    if (poison.count(value) != 0) throw std::runtime_error(std::to_string(value));
    if (fitnessesLeft.fetch_sub(1) == 0) throw std::runtime_error("fitness failed");
    return value + context;
  }
  CFaulty* Clone() override {
    if (clonesLeft == 0) throw std::runtime_error("clone failed");
    if (clonesLeft > 0) --clonesLeft;
    return CIndividual::Clone();
  }
};

using demo::CMyIndividual;
using Population = CPopulation<CMyIndividual, CBit>;

// A new individual with the given bits and fitness.
template <class TIndividual = CMyIndividual>
TIndividual* MakeIndividual(const std::vector<int>& bits, double fitness = 0.0) {
  auto* individual = new TIndividual();
  individual->AllocateGenes(static_cast<int>(bits.size()));
  for (std::size_t i = 0; i < bits.size(); ++i) {
    individual->genes[i] = new CBit();
    individual->genes[i]->value = bits[i] != 0;
  }
  individual->fitness = fitness;
  return individual;
}

// A population of distinct 8-bit individuals (slot i holds the number i) with these fitness values.
template <class TIndividual = CMyIndividual>
std::unique_ptr<CPopulation<TIndividual, CBit>> MakePopulation(const std::vector<double>& fitness) {
  auto population = std::make_unique<CPopulation<TIndividual, CBit>>();
  population->AllocateIndividuals(static_cast<int>(fitness.size()));
  for (int i = 0; i < population->count; ++i) {
    std::vector<int> bits;
    for (int j = 7; j >= 0; --j) bits.push_back((i >> j) & 1);
    population->individuals[i] = MakeIndividual<TIndividual>(bits, fitness[i]);
  }
  return population;
}

}  // namespace allelix::testing
