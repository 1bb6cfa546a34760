#pragma once

// Where threads run. The system places a new thread on the processor of the
// thread that made it, which is busy with the run, and moves it to an idle
// one only when it next balances the processors' loads; a thread woken, even
// from a lock, may be put on its waker's processor. On the virtual machines
// measured, a processor left idle beside two threads sharing another stayed
// idle for up to 4 ms, the time between two balancings: a scheduler trace
// showed a statistics thread waiting 2 to 4 ms of a 30 ms run, and the
// threads of a text run taking turns on one processor for 10 ms of 65.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>

namespace cellscale {

// Moves `thread` at once to the processors it may run on other than the
// calling thread's, then lets it run on all of them again, which leaves it
// where it was moved. Nothing where there is no other processor (or no such
// call: not on Windows).
void move_off_this_processor(std::thread& thread);

// Keeps a few threads that work side by side on processors of their own.
// Each thread, numbered from 0, calls keep_apart() now and then (before each
// piece of work, and while it waits): it notes where it runs and, when
// another of the threads was last seen there, moves to an allowed processor
// where none of them was seen. A thread moves once a millisecond at most, so
// that a system that keeps putting them together costs little.
class ThreadSpread {
 public:
  explicit ThreadSpread(std::size_t threads);

  void keep_apart(std::size_t thread);

 private:
  std::size_t threads_;
  std::unique_ptr<std::atomic<int>[]> processor_of_;                    // -1: not seen yet
  std::unique_ptr<std::chrono::steady_clock::time_point[]> next_move_;  // each thread's own
};

}  // namespace cellscale
