// allelix-demo-run: whole demonstration runs under a fixed seed schedule, for timing and for
// instruction counts. Prints one fingerprint line per run (the same on every build that keeps
// every result) and the wall and CPU time of all runs.
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string_view>

#include "square_root.h"

namespace {

using allelix::demo::CMyGenerator;

// FNV-1a over the final population in slot order: genes, fitness bits and order all count.
std::uint64_t Fingerprint(const CMyGenerator& generator) {
  std::uint64_t hash = 14695981039346656037ull;
  const auto mix = [&hash](std::uint64_t value) {
    for (int byte = 0; byte < 8; ++byte) {
      hash = (hash ^ ((value >> (8 * byte)) & 0xFFu)) * 1099511628211ull;
    }
  };
  for (int i = 0; i < generator.population->count; ++i) {
    const auto* individual = generator.population->individuals[i];
    mix(allelix::demo::DecodeBits(*individual));
    std::uint64_t bits = 0;
    std::memcpy(&bits, &individual->fitness, sizeof bits);
    mix(bits);
  }
  return hash;
}

bool ParseCount(std::string_view text, long long low, long long high, long long& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && ptr == end && value >= low && value <= high;
}

constexpr const char* Usage =
    "usage: allelix-demo-run [RUNS [BASE_SEED]]\n"
    "  Runs the square-root demonstration RUNS times (default 20, 1 to 100000); run r reseeds\n"
    "  from BASE_SEED + 10000 * r (default base 1) with the mt19937 engine. Prints one line per\n"
    "  run (seed, generations, best generation, value found, stop reason, population\n"
    "  fingerprint) and the total wall and CPU time.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
    std::cout << Usage;
    return 0;
  }
  long long runs = 20;
  long long base = 1;
  if (argc > 3 || (argc > 1 && !ParseCount(argv[1], 1, 100000, runs)) ||
      (argc > 2 && !ParseCount(argv[2], 0, 4294967295ll, base))) {
    std::cerr << Usage;
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  for (long long run = 0; run < runs; ++run) {
    const auto seed = static_cast<std::uint32_t>(base + 10000 * run);
    const allelix::ScopedSeedSchedule schedule(seed, allelix::Engine::Mt19937);
    CMyGenerator generator;
    const allelix::StopReason reason = allelix::Run(generator);
    std::printf("seed %u generations %d best %d found %d stop %s population %016llx\n", seed,
                generator.generation, generator.bestGeneration,
                allelix::demo::Decode(*generator.best),
                std::string(allelix::StopReasonName(reason)).c_str(),
                static_cast<unsigned long long>(Fingerprint(generator)));
  }
  const std::chrono::duration<double, std::milli> elapsed =
      std::chrono::steady_clock::now() - start;
  const double cpu = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  std::printf("%lld runs in %.1f ms wall, %.1f ms CPU (%.2f ms CPU a run)\n", runs, elapsed.count(),
              cpu, cpu / static_cast<double>(runs));
  return 0;
}
