// The one entry point of the benchmark executable; every bench/*.cpp only registers cases.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
