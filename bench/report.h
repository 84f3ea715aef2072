// Benchmark reporting shared by every program in bench/.
//
// Name each benchmark "<operation>/ours" or "<operation>/peer:<peer name>" (Google Benchmark
// appends argument suffixes such as "/64", which become part of the operation). After the
// usual console output, RunBenchmarks prints one table row per operation that has both:
// operation, ours (ns), peer, peer (ns), ratio ours/peer.
#pragma once

namespace YrBench {
int RunBenchmarks(int argc, char** argv);
}

#define YR_BENCH_MAIN() \
  int main(int argc, char** argv) { return YrBench::RunBenchmarks(argc, argv); }
