// Checkpoints of the demonstration's shape (1,000 x 14) and of a large one (100,000 x 64): the
// bytes alone, a whole save (with its syncs) and a whole load, each with the file's size.
// Saves go to the directory in ALLELIX_BENCH_DIR, or the current one: the disk is part of what a
// save costs, so run it where checkpoints would live.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "allelix/checkpoint.h"
#include "square_root.h"

namespace {

using allelix::demo::CMyGenerator;

std::string BenchPath() {
  const char* directory = std::getenv("ALLELIX_BENCH_DIR");
  return std::string(directory != nullptr ? directory : ".") + "/allelix-bench-" +
         std::to_string(::getpid()) + ".ckpt";
}

// A generator of `individuals` x `genes` after ten generations.
void Prepare(CMyGenerator& generator, const benchmark::State& state) {
  const allelix::ScopedSeedSchedule schedule(1);
  generator.Initialize(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  for (int g = 0; g < 10; ++g) generator.NextGeneration();
}

void ReportSize(benchmark::State& state, const std::string& bytes) {
  state.counters["bytes"] = static_cast<double>(bytes.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_Encode(benchmark::State& state) {
  CMyGenerator generator;
  Prepare(generator, state);
  std::string bytes;
  for (auto _ : state) {
    bytes = allelix::EncodeCheckpoint(generator);
    benchmark::DoNotOptimize(bytes.data());
  }
  ReportSize(state, bytes);
}

void BM_Save(benchmark::State& state) {
  CMyGenerator generator;
  Prepare(generator, state);
  const std::string path = BenchPath();
  for (auto _ : state) allelix::SaveCheckpoint(generator, path);
  ReportSize(state, allelix::EncodeCheckpoint(generator));
  std::remove(path.c_str());
}

void BM_Load(benchmark::State& state) {
  CMyGenerator generator;
  Prepare(generator, state);
  const std::string path = BenchPath();
  allelix::SaveCheckpoint(generator, path);
  CMyGenerator loaded;
  for (auto _ : state) allelix::LoadCheckpoint(loaded, path);
  ReportSize(state, allelix::EncodeCheckpoint(generator));
  std::remove(path.c_str());
}

void Shapes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Args({1000, 14})->Args({100000, 64})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Encode)->Apply(Shapes);
BENCHMARK(BM_Save)->Apply(Shapes)->UseRealTime();
BENCHMARK(BM_Load)->Apply(Shapes);

}  // namespace
