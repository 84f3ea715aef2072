// Tour section: worker threads with dense indices, a suspended worker, and a frame loop
// held to 60 frames per second.
#include <atomic>
#include <cstdio>

#include "examples/tour/tour.h"
#include "system/thread/thread.h"
#include "system/thread/timer.h"

namespace {

struct Worker {
  Yr::Thread* thread;
  std::atomic<unsigned int> index{~0u};
  std::atomic<unsigned long> counter{0};
};

// A worker takes its dense index, then counts until its owner asks it to finish.
unsigned int WorkerMain(void* argument) {
  auto* worker = static_cast<Worker*>(argument);
  worker->index = Yr::Thread::GetCurrentThreadIndex();
  while (!worker->thread->IsTerminationRequested()) {
    worker->counter.fetch_add(1, std::memory_order_relaxed);
    Yr::Timer::Sleep(0);
  }
  return 100 + worker->index;
}

}  // namespace

void Tour::Threads(int, char**) {
  Section("Threads and timer");
  std::printf("main thread: id %lu, index %u\n", Yr::Thread::GetCurrentThreadID(), Yr::Thread::GetCurrentThreadIndex());

  constexpr int kWorkers = 3;
  Yr::Thread workers[kWorkers] = {Yr::Thread("tour-worker-0"), Yr::Thread("tour-worker-1"),
                                  Yr::Thread("tour-worker-2")};
  Worker states[kWorkers];
  for (int i = 0; i < kWorkers; ++i) {
    states[i].thread = &workers[i];
    // Started one after another, so the indices come out in this order.
    workers[i].Start(&WorkerMain, &states[i], false, -1);
    while (states[i].index.load() == ~0u) Yr::Timer::Sleep(1);
    std::printf("worker %d: id %lu, dense index %u, priority %d\n", i, workers[i].GetID(), states[i].index.load(),
                workers[i].GetPriority());
  }
  std::printf("indices in use: %u\n", Yr::Thread::GetMaxThreads());

  workers[0].Suspend();
  const unsigned long frozen = states[0].counter.load();
  Yr::Timer::Sleep(50);
  std::printf("worker 0 suspended: counter %lu -> %lu over 50 ms\n", frozen, states[0].counter.load());
  workers[0].Resume();
  Yr::Timer::Sleep(10);
  std::printf("worker 0 resumed: counter now %lu\n", states[0].counter.load());

  for (int i = 0; i < kWorkers; ++i) std::printf("worker %d stopped with exit code %u\n", i, workers[i].Stop());

  // The frame loop: 2 ms of work per frame, held to 60 frames per second, until the
  // first one-second FPS window closes.
  Yr::Timer timer;
  timer.LockFPS(60.0f);
  const float start = Yr::Timer::GetThisTime();
  int frames = 0;
  while (timer.GetFPS() == 0.0f && frames < 240) {
    Yr::Timer::Sleep(2);
    timer.Update();
    ++frames;
  }
  std::printf("frame loop locked to %.0f FPS: %d frames in %.3f s, measured %.2f FPS, smoothed frame time %.2f ms\n",
              timer.GetFPSLock(), frames, Yr::Timer::GetThisTime() - start, timer.GetFPS(),
              timer.GetElapsedTime() * 1000.0f);
}
