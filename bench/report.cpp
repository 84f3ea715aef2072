#include "bench/report.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace YrBench {
namespace {

// Every repetition's time of both sides; the table shows the median of each.
struct Pair {
  std::vector<double> ours;
  std::vector<double> peer;
  std::string peerName;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Splits "<op>/ours/<args>" or "<op>/peer:<name>/<args>" into operation (with args) and side.
bool Classify(const std::string& name, std::string& operation, bool& ours, std::string& peerName) {
  size_t oursAt = name.find("/ours");
  size_t peerAt = name.find("/peer:");
  if (oursAt == std::string::npos && peerAt == std::string::npos) return false;
  ours = oursAt != std::string::npos;
  size_t at = ours ? oursAt : peerAt;
  size_t tagEnd = name.find('/', at + 1);
  std::string args = tagEnd == std::string::npos ? "" : name.substr(tagEnd);
  operation = name.substr(0, at) + args;
  if (!ours) peerName = name.substr(at + 6, (tagEnd == std::string::npos ? name.size() : tagEnd) - at - 6);
  return true;
}

class PairingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      std::string operation, peerName;
      bool ours = false;
      if (!Classify(run.benchmark_name(), operation, ours, peerName)) continue;
      if (mPairs.find(operation) == mPairs.end()) mOrder.push_back(operation);
      Pair& pair = mPairs[operation];
      double nanoseconds = run.GetAdjustedRealTime() * TimeScale(run.time_unit);
      if (ours) {
        pair.ours.push_back(nanoseconds);
      } else {
        pair.peer.push_back(nanoseconds);
        pair.peerName = peerName;
      }
    }
  }

  void PrintTable() const {
    std::printf("\n%-44s %12s  %-22s %12s  %8s\n", "operation", "ours (ns)", "peer", "peer (ns)", "ratio");
    for (const std::string& operation : mOrder) {
      const Pair& pair = mPairs.at(operation);
      if (pair.ours.empty() || pair.peer.empty()) continue;
      double ours = Median(pair.ours);
      double peer = Median(pair.peer);
      std::printf("%-44s %12.2f  %-22s %12.2f  %8.3f\n", operation.c_str(), ours, pair.peerName.c_str(), peer,
                  ours / peer);
    }
  }

 private:
  static double TimeScale(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kSecond: return 1e9;
      case benchmark::kMillisecond: return 1e6;
      case benchmark::kMicrosecond: return 1e3;
      default: return 1.0;
    }
  }
  std::map<std::string, Pair> mPairs;
  std::vector<std::string> mOrder;
};

}  // namespace

int RunBenchmarks(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  PairingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintTable();
  benchmark::Shutdown();
  return 0;
}

}  // namespace YrBench
