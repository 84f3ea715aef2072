// Benchmark reporting shared by every program in bench/.
//
// Name each benchmark "<operation>/ours" or "<operation>/peer:<peer name>" (Google Benchmark
// appends argument suffixes such as "/64", which become part of the operation). After the
// usual console output, RunBenchmarks prints one table row per operation that has both:
// operation, ours (ns), peer, peer (ns), ratio ours/peer. With --benchmark_repetitions each
// side's median is shown; --benchmark_enable_random_interleaving spreads machine noise
// evenly over both sides.
#pragma once

namespace YrBench {
int RunBenchmarks(int argc, char** argv);
}

#define YR_BENCH_MAIN() \
  int main(int argc, char** argv) { return YrBench::RunBenchmarks(argc, argv); }
