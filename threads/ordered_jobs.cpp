#include "threads/ordered_jobs.h"

#include <new>
#include <system_error>
#include <utility>

namespace cellscale {

OrderedJobs::OrderedJobs(std::size_t slots, int workers, Work work)
    : slots_(slots), work_(std::move(work)), done_(std::make_unique<bool[]>(slots)) {
  // A thread that cannot be had, for want of memory too, leaves its work to
  // the owner: operator new throws here instead of ending the run.
  const std::new_handler ends_run = std::set_new_handler(nullptr);
  try {
    for (int i = 0; i < workers; ++i) workers_.emplace_back([this] { work_on_jobs(); });
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  std::set_new_handler(ends_run);
}

OrderedJobs::~OrderedJobs() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  job_submitted_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

std::size_t OrderedJobs::acquire() { return acquired_++ % slots_; }

void OrderedJobs::submit() {
  ++submitted_by_owner_;
  {
    const std::lock_guard lock(mutex_);
    ++submitted_;
  }
  if (!workers_.empty()) job_submitted_.notify_one();
}

std::size_t OrderedJobs::take_back() {
  const std::size_t slot = taken_++ % slots_;
  std::unique_lock lock(mutex_);
  while (!done_[slot]) {
    if (claimed_ < submitted_) {
      work_on_next(lock);
    } else {
      owner_waiting_ = true;
      job_done_.wait(lock);
      owner_waiting_ = false;
    }
  }
  done_[slot] = false;
  return slot;
}

void OrderedJobs::release() { ++released_; }

void OrderedJobs::work_on_jobs() {
  std::unique_lock lock(mutex_);
  while (true) {
    job_submitted_.wait(lock, [this] { return stopping_ || claimed_ < submitted_; });
    if (stopping_) return;
    work_on_next(lock);
    if (owner_waiting_) job_done_.notify_one();
  }
}

void OrderedJobs::work_on_next(std::unique_lock<std::mutex>& lock) {
  const std::size_t slot = claimed_++ % slots_;
  lock.unlock();
  work_(slot);
  lock.lock();
  done_[slot] = true;
}

}  // namespace cellscale
