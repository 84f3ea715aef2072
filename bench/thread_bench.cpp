// Frame-rate lock accuracy and cost, thread index lookup, clock reads.
//
// fps_lock/<fps>: frames that each do 5 ms of busy work, held to <fps> frames per second,
// ours by Timer::Update with LockFPS, the peer by a plain sleep_for of what is left of the
// frame. The time column is the mean frame time (manual time); the counters give the mean
// and 99th-percentile absolute error of the frame time against 1/<fps>, in microseconds,
// and the processor time spent waiting as a percentage of one core. A summary table of
// those, with the median error as well, follows the usual one.
//
// Each frame-lock case runs for --frame_seconds seconds of frames (default 2; 10 for a
// thorough run). Other flags are Google Benchmark's.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/report.h"
#include "system/thread/thread.h"
#include "system/thread/timer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kWork = std::chrono::milliseconds(5);
constexpr const char* kFrameSecondsFlag = "--frame_seconds=";
double gFrameSeconds = 2.0;

double ThreadCpuSeconds() {
  timespec time;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

void BusyWork() {
  const auto end = Clock::now() + kWork;
  while (Clock::now() < end) {
  }
}

struct Summary {
  std::string name;
  double meanErrorUs;
  double p50ErrorUs;
  double p99ErrorUs;
  double waitCpuPercent;
  double meanFrameMs;
};
std::vector<Summary> gSummaries;

// Runs the frames: wait() is the limiter, called once per frame after the work.
template <typename Wait>
void RunFrames(benchmark::State& state, const std::string& name, double target, Wait wait) {
  std::vector<double> errors;
  double waitCpu = 0.0;
  double total = 0.0;
  auto frameEnd = Clock::now();
  wait(frameEnd);  // settles the limiter's idea of the previous frame
  frameEnd = Clock::now();
  for (auto _ : state) {
    BusyWork();
    const double cpuBefore = ThreadCpuSeconds();
    wait(frameEnd);
    waitCpu += ThreadCpuSeconds() - cpuBefore;
    const auto now = Clock::now();
    const double frame = Seconds(now - frameEnd);
    frameEnd = now;
    state.SetIterationTime(frame);
    errors.push_back(std::fabs(frame - target));
    total += frame;
  }
  std::sort(errors.begin(), errors.end());
  double sum = 0.0;
  for (double error : errors) sum += error;
  const double mean = errors.empty() ? 0.0 : sum / static_cast<double>(errors.size());
  const double p50 = errors.empty() ? 0.0 : errors[errors.size() / 2];
  const double p99 = errors.empty() ? 0.0 : errors[std::min(errors.size() - 1, errors.size() * 99 / 100)];
  const double cpuPercent = total > 0.0 ? 100.0 * waitCpu / total : 0.0;
  state.counters["mean_err_us"] = mean * 1e6;
  state.counters["p99_err_us"] = p99 * 1e6;
  state.counters["wait_cpu_pct"] = cpuPercent;
  gSummaries.push_back({name, mean * 1e6, p50 * 1e6, p99 * 1e6, cpuPercent,
                        errors.empty() ? 0.0 : 1e3 * total / static_cast<double>(errors.size())});
}

void FpsLockOurs(benchmark::State& state, int fps) {
  Yr::Timer timer;
  timer.LockFPS(static_cast<float>(fps));
  RunFrames(state, "fps_lock/" + std::to_string(fps) + " Timer::Update", 1.0 / fps,
            [&](Clock::time_point) { timer.Update(); });
}

void FpsLockSleepFor(benchmark::State& state, int fps) {
  const auto target = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
  RunFrames(state, "fps_lock/" + std::to_string(fps) + " sleep_for", 1.0 / fps, [&](Clock::time_point frameStart) {
    const auto left = target - (Clock::now() - frameStart);
    if (left > Clock::duration::zero()) std::this_thread::sleep_for(left);
  });
}

void ThreadIndexOurs(benchmark::State& state) {
  Yr::Thread::GetCurrentThreadIndex();
  for (auto _ : state) benchmark::DoNotOptimize(Yr::Thread::GetCurrentThreadIndex());
}

// What a caller would otherwise write: a thread_local index handed out on first use.
unsigned int ThreadLocalIndex() {
  static std::atomic<unsigned int> next{0};
  thread_local unsigned int index = next++;
  return index;
}

void ThreadIndexThreadLocal(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ThreadLocalIndex());
}

void TimeNowOurs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Yr::Timer::GetTime());
}

void TimeNowSteadyClock(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Clock::now());
}

void RegisterAll() {
  for (int fps : {60, 144}) {
    const auto frames = static_cast<benchmark::IterationCount>(gFrameSeconds * fps);
    const std::string operation = "fps_lock/" + std::to_string(fps);
    benchmark::RegisterBenchmark((operation + "/ours").c_str(), &FpsLockOurs, fps)
        ->UseManualTime()
        ->Iterations(frames)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((operation + "/peer:sleep_for").c_str(), &FpsLockSleepFor, fps)
        ->UseManualTime()
        ->Iterations(frames)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("thread_index/ours", &ThreadIndexOurs);
  benchmark::RegisterBenchmark("thread_index/peer:thread_local", &ThreadIndexThreadLocal);
  benchmark::RegisterBenchmark("time_now/ours", &TimeNowOurs);
  benchmark::RegisterBenchmark("time_now/peer:steady_clock", &TimeNowSteadyClock);
}

}  // namespace

int main(int argc, char** argv) {
  // Takes --frame_seconds=<s> out of the arguments before Google Benchmark sees them.
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kFrameSecondsFlag, std::strlen(kFrameSecondsFlag)) == 0) {
      gFrameSeconds = std::max(0.1, std::atof(argv[i] + std::strlen(kFrameSecondsFlag)));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  RegisterAll();
  const int result = YrBench::RunBenchmarks(argc, argv);
  std::printf("\nframe lock, %.1f s of frames per case, 5 ms of work per frame:\n", gFrameSeconds);
  std::printf("%-32s %12s %14s %14s %14s %16s\n", "case", "frame (ms)", "mean err (us)", "p50 err (us)", "p99 err (us)",
              "wait cpu (%core)");
  for (const Summary& summary : gSummaries) {
    std::printf("%-32s %12.3f %14.1f %14.1f %14.1f %16.2f\n", summary.name.c_str(), summary.meanFrameMs,
                summary.meanErrorUs, summary.p50ErrorUs, summary.p99ErrorUs, summary.waitCpuPercent);
  }
  return result;
}
