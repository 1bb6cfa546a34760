#include "threads/thread_placement.h"

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

namespace cellscale {

void move_off_this_processor([[maybe_unused]] std::thread& thread) {
#ifdef __linux__
  const pthread_t handle = thread.native_handle();
  const int here = sched_getcpu();
  cpu_set_t allowed;
  if (here < 0 || here >= CPU_SETSIZE || pthread_getaffinity_np(handle, sizeof allowed, &allowed) != 0) return;
  cpu_set_t others = allowed;
  CPU_CLR(here, &others);
  // Narrowing the processors moves the thread; widening them again leaves it.
  if (CPU_COUNT(&others) > 0 && pthread_setaffinity_np(handle, sizeof others, &others) == 0) {
    (void)pthread_setaffinity_np(handle, sizeof allowed, &allowed);
  }
#endif
}

ThreadSpread::ThreadSpread(std::size_t threads)
    : threads_(threads),
      processor_of_(std::make_unique<std::atomic<int>[]>(threads)),
      next_move_(std::make_unique<std::chrono::steady_clock::time_point[]>(threads)) {
  for (std::size_t i = 0; i < threads; ++i) processor_of_[i].store(-1, std::memory_order_relaxed);
}

void ThreadSpread::keep_apart([[maybe_unused]] std::size_t thread) {
#ifdef __linux__
  const int here = sched_getcpu();
  if (here < 0 || here >= CPU_SETSIZE) return;
  processor_of_[thread].store(here, std::memory_order_relaxed);
  bool shared = false;
  for (std::size_t other = 0; other < threads_ && !shared; ++other) {
    shared = other != thread && processor_of_[other].load(std::memory_order_relaxed) == here;
  }
  if (!shared) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_move_[thread]) return;
  next_move_[thread] = now + std::chrono::milliseconds(1);
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  cpu_set_t free = allowed;
  for (std::size_t other = 0; other < threads_; ++other) {
    const int seen = processor_of_[other].load(std::memory_order_relaxed);
    if (seen >= 0 && seen < CPU_SETSIZE) CPU_CLR(seen, &free);
  }
  // Narrowing the processors moves the thread; widening them again leaves it.
  if (CPU_COUNT(&free) == 0 || sched_setaffinity(0, sizeof free, &free) != 0) return;
  (void)sched_setaffinity(0, sizeof allowed, &allowed);
  processor_of_[thread].store(sched_getcpu(), std::memory_order_relaxed);
#endif
}

}  // namespace cellscale
