#pragma once

// The one way work goes parallel: an ordered ring of jobs. One thread, the
// owner, hands each job on from stage to stage:
//
//   acquire    a free slot for the next job, in order;
//   fill       the owner puts the job's input in the slot (outside this class);
//   submit     the job's work may now be done, by any thread;
//   take_back  the oldest job submitted, once its work is done: the owner
//              does what must be done in order (statistics, writing);
//   release    the slot is free again.
//
// The work of a job reads and writes its own slot alone, so that jobs are
// worked on in any order, on any thread; everything done in order is done by
// the owner, and gives what one thread gives. A worker takes the oldest job
// submitted that nobody has taken. The owner, waiting for the job it needs,
// works on such a job itself; with no worker it does all the work, in order,
// as it takes each job back: the same stages on one thread.
//
// A fixed number of slots, so the memory held does not grow with the grid.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace cellscale {

class OrderedJobs {
 public:
  // The work on the job in `slot`.
  using Work = std::function<void(std::size_t slot)>;

  // A ring of `slots` slots (at least 1) and up to `workers` threads doing
  // `work`, which must outlive the ring. Fewer threads (none) where the
  // system gives no more: the owner then does the rest of the work.
  OrderedJobs(std::size_t slots, int workers, Work work);
  OrderedJobs(const OrderedJobs&) = delete;
  OrderedJobs& operator=(const OrderedJobs&) = delete;
  // Stops the workers (each ends the job it is working on) and waits for
  // them. Jobs not taken back are dropped.
  ~OrderedJobs();

  [[nodiscard]] std::size_t slots() const { return slots_; }
  [[nodiscard]] int workers() const { return static_cast<int>(workers_.size()); }

  // The owner's side, called from one thread.
  // Every slot holds a job that is not released: acquire must wait for a
  // take_back and a release.
  [[nodiscard]] bool full() const { return acquired_ - released_ == slots_; }
  // No job submitted is left to take back.
  [[nodiscard]] bool empty() const { return taken_ == submitted_by_owner_; }
  // The slot of the next job. Not when full().
  [[nodiscard]] std::size_t acquire();
  // The job acquired last is filled: its work may be done.
  void submit();
  // The oldest job submitted and not taken back, once its work is done. Not
  // when empty().
  [[nodiscard]] std::size_t take_back();
  // The job taken back last is done with: its slot is free.
  void release();
  // The slot of the job take_back gives next. Not when empty().
  [[nodiscard]] std::size_t oldest() const { return taken_ % slots_; }

 private:
  void work_on_jobs();
  // Claims the oldest job submitted that nobody has taken, works on it with
  // the lock let go, and marks it done.
  void work_on_next(std::unique_lock<std::mutex>& lock);

  const std::size_t slots_;
  const Work work_;
  std::vector<std::thread> workers_;

  // The owner's own counters, of jobs since the start; they only grow.
  std::size_t acquired_ = 0;
  std::size_t submitted_by_owner_ = 0;
  std::size_t taken_ = 0;
  std::size_t released_ = 0;

  std::mutex mutex_;
  std::condition_variable job_submitted_;  // submitted_ grew, or stopping_ was set
  std::condition_variable job_done_;       // a job's work is done while the owner waits
  // Guarded by mutex_: jobs submitted and claimed since the start
  // (claimed_ <= submitted_), whether the job in each slot has had its work
  // done, and whether the owner waits for one.
  std::size_t submitted_ = 0;
  std::size_t claimed_ = 0;
  std::unique_ptr<bool[]> done_;
  bool owner_waiting_ = false;
  bool stopping_ = false;
};

}  // namespace cellscale
