#pragma once

// A thread of their own for the statistics of a binary output. Their sum
// adds the cells one after another in row order, each addition waiting for
// the one before: on the run's thread that chain takes about as long as
// reading a double input. Here the run copies its scaled cells into a ring
// of chunks and goes on; the thread takes the chunks in order into the
// CellStats, which so sees the same values in the same order as on one
// thread and gives the same bits.
//
// One producer (the run's thread) and one consumer (the statistics thread)
// around a fixed ring. Either side that has to wait sleeps until half the
// ring has moved, so that it is woken once for several chunks.

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

#include "stats/cell_stats.h"

namespace cellscale {

class StatisticsBeside {
 public:
  // Starts the thread that takes the values into `stats`, which is the
  // thread's until finish() returns: null, and nothing started, when no
  // thread or memory can be had.
  [[nodiscard]] static std::unique_ptr<StatisticsBeside> start(CellStats& stats);
  StatisticsBeside(const StatisticsBeside&) = delete;
  StatisticsBeside& operator=(const StatisticsBeside&) = delete;
  ~StatisticsBeside() { finish(); }

  // Takes `count` values in order, as CellStats::add_all would.
  void add_all(const double* values, std::size_t count);
  // Waits until every value given is in the statistics, and ends the thread.
  void finish();

 private:
  explicit StatisticsBeside(CellStats& stats) : stats_(stats) {}
  void hand_over_filled_chunk();
  void take_chunks();

  CellStats& stats_;
  std::unique_ptr<double[]> ring_;
  std::thread thread_;
  // The run's own: chunks filled since the start (the one being filled is
  // chunks_filled_ % the ring's size) and the values in the one being filled.
  std::size_t chunks_filled_ = 0;
  std::size_t values_filled_ = 0;

  // Guarded by mutex_: the chunks handed over and taken since the start,
  // the count each side sleeps until (0 while it does not sleep), and, once
  // ending, the values of the last chunk, which is not full.
  std::mutex mutex_;
  std::condition_variable handed_over_;
  std::condition_variable taken_;
  std::size_t chunks_handed_over_ = 0;
  std::size_t chunks_taken_ = 0;
  std::size_t taker_sleeps_until_ = 0;
  std::size_t filler_sleeps_until_ = 0;
  std::size_t values_in_last_chunk_ = 0;
  bool ending_ = false;
};

}  // namespace cellscale
