#include "threads/thread_placement.h"

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

namespace cellscale {

#ifdef __linux__
namespace {

// Moves `thread` to the processors of `to`, then lets it run on `allowed`
// again: narrowing the processors moves the thread, widening them again
// leaves it where it was moved.
bool move_within(pthread_t thread, const cpu_set_t& to, const cpu_set_t& allowed) {
  if (CPU_COUNT(&to) == 0 || pthread_setaffinity_np(thread, sizeof to, &to) != 0) return false;
  (void)pthread_setaffinity_np(thread, sizeof allowed, &allowed);
  return true;
}

}  // namespace
#endif

void move_off_this_processor([[maybe_unused]] std::thread& thread) {
#ifdef __linux__
  const pthread_t handle = thread.native_handle();
  const int here = sched_getcpu();
  cpu_set_t allowed;
  if (here < 0 || here >= CPU_SETSIZE || pthread_getaffinity_np(handle, sizeof allowed, &allowed) != 0) return;
  cpu_set_t others = allowed;
  CPU_CLR(here, &others);
  (void)move_within(handle, others, allowed);
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
  const pthread_t self = pthread_self();
  cpu_set_t allowed;
  if (pthread_getaffinity_np(self, sizeof allowed, &allowed) != 0) return;
  cpu_set_t free = allowed;
  for (std::size_t other = 0; other < threads_; ++other) {
    const int seen = processor_of_[other].load(std::memory_order_relaxed);
    if (seen >= 0 && seen < CPU_SETSIZE) CPU_CLR(seen, &free);
  }
  if (move_within(self, free, allowed)) processor_of_[thread].store(sched_getcpu(), std::memory_order_relaxed);
#endif
}

}  // namespace cellscale
