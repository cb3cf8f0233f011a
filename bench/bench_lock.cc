// CLock against std::recursive_mutex, uncontended and contended by two threads.

#include <benchmark/benchmark.h>

#include <mutex>

#include "base/lock.h"

namespace {

korvane::CLock g_clock;
std::recursive_mutex g_recursive_mutex;
long g_counter = 0;  // guarded by whichever lock the benchmark uses

void BM_CLockLockUnlock(benchmark::State& state) {
  for (auto _ : state) {
    korvane::CAutoLock guard(g_clock);
    benchmark::DoNotOptimize(++g_counter);
  }
}

void BM_RecursiveMutexLockUnlock(benchmark::State& state) {
  for (auto _ : state) {
    std::lock_guard<std::recursive_mutex> guard(g_recursive_mutex);
    benchmark::DoNotOptimize(++g_counter);
  }
}

// The analysis takes every lock as non-recursive; CLock is recursive, and this measures that.
void BM_CLockNested(benchmark::State& state) NO_THREAD_SAFETY_ANALYSIS {
  for (auto _ : state) {
    korvane::CAutoLock outer(g_clock);
    korvane::CAutoLock inner(g_clock);
    benchmark::DoNotOptimize(++g_counter);
  }
}

void BM_RecursiveMutexNested(benchmark::State& state) {
  for (auto _ : state) {
    std::lock_guard<std::recursive_mutex> outer(g_recursive_mutex);
    std::lock_guard<std::recursive_mutex> inner(g_recursive_mutex);
    benchmark::DoNotOptimize(++g_counter);
  }
}

}  // namespace

BENCHMARK(BM_CLockLockUnlock);
BENCHMARK(BM_RecursiveMutexLockUnlock);
BENCHMARK(BM_CLockNested);
BENCHMARK(BM_RecursiveMutexNested);
BENCHMARK(BM_CLockLockUnlock)->Threads(2)->UseRealTime();
BENCHMARK(BM_RecursiveMutexLockUnlock)->Threads(2)->UseRealTime();
