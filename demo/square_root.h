// The demonstration's problem: the square root of 1,522,756, evolved as a 14-bit number.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "allelix/chromosome.h"
#include "allelix/generator.h"
#include "allelix/run.h"

namespace allelix::demo {

inline constexpr std::int32_t Square = 1522756;
inline constexpr std::int32_t Root = 1234;

// The chromosome read as an unsigned binary number, gene 0 the most significant bit, wrapping
// modulo 2^32 for chromosomes longer than 32 genes. No gene array reads as 0.
template <class TIndividual>
std::uint32_t DecodeBits(const TIndividual& individual) {
  std::uint32_t value = 0;
  for (int i = 0; i < individual.geneCount; ++i) {
    value = value * 2u + (individual.genes[i]->value ? 1u : 0u);
  }
  return value;
}

// The decoded value as the program reports it: a 32-bit signed integer.
template <class TIndividual>
std::int32_t Decode(const TIndividual& individual) {
  return static_cast<std::int32_t>(DecodeBits(individual));
}

// An individual scored by how close the square of its number lies to 1,522,756.
class CMyIndividual final : public CIndividual<CMyIndividual, CBit> {
 public:
  // 1.0 at 1234, falling with |1522756 - x * x| / 9999^2; 0.0 above 9999. The context is unused.
  double Fitness(int /*fitnessContext*/) override {
    const std::uint32_t x = DecodeBits(*this);
    if (x > 9999u) return 0.0;
    const std::int32_t root = static_cast<std::int32_t>(x);
    const std::int32_t difference = Square - root * root;  // exact for 0 <= x <= 9999
    return 1.0 - std::abs(difference) / 99980001.0;
  }
};

// The demonstration's generator: the library's defaults with all four stop criteria.
class CMyGenerator final : public CGeneratorEx<CMyIndividual> {
 public:
  CMyGenerator() {
    fitnessContext = 0;
    stopFlags = StopOnConvergence | StopOnMinutes | StopOnGenerations | StopOnStagnation;
  }
};

}  // namespace allelix::demo
