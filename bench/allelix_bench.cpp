// Benchmarks of the library on the demonstration's problem.
#include <benchmark/benchmark.h>
