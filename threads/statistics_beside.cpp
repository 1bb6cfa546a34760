#include "threads/statistics_beside.h"

#include <algorithm>
#include <new>
#include <system_error>

namespace cellscale {

namespace {

#ifdef CELLSCALE_TEST_SMALL_BATCHES
// A test build: chunks of a few values, so that the ring goes round and both
// sides wait on every grid.
constexpr std::size_t kChunkValues = 5;
constexpr std::size_t kChunks = 4;
#else
// 128 KiB of doubles a chunk, 2 MiB in all: a chunk handed over stays in the
// caches while the thread takes it, and the ring holds enough that a side
// woken has many chunks to go through (about 120 wakes a 4000 x 4000 grid).
constexpr std::size_t kChunkValues = std::size_t{1} << 14;
constexpr std::size_t kChunks = 16;
#endif

// Wakes the side waiting on `condition` with the lock let go, so that it
// does not wake only to wait for the lock.
void wake_unlocked(std::unique_lock<std::mutex>& lock, std::condition_variable& condition) {
  lock.unlock();
  condition.notify_one();
  lock.lock();
}

}  // namespace

std::unique_ptr<StatisticsBeside> StatisticsBeside::start(CellStats& stats) {
  std::unique_ptr<StatisticsBeside> beside(new (std::nothrow) StatisticsBeside(stats));
  if (beside == nullptr) return nullptr;
  beside->ring_.reset(new (std::nothrow) double[kChunks * kChunkValues]);
  if (beside->ring_ == nullptr) return nullptr;
  try {
    beside->thread_ = std::thread([taker = beside.get()] { taker->take_chunks(); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return beside;
}

void StatisticsBeside::add_all(const double* values, std::size_t count) {
  while (count > 0) {
    const std::size_t part = std::min(count, kChunkValues - values_filled_);
    std::copy_n(values, part, ring_.get() + chunks_filled_ % kChunks * kChunkValues + values_filled_);
    values_filled_ += part;
    values += part;
    count -= part;
    if (values_filled_ == kChunkValues) hand_over_filled_chunk();
  }
}

// Hands the full chunk over; when the ring is then full, waits until the
// thread has taken half of it.
void StatisticsBeside::hand_over_filled_chunk() {
  ++chunks_filled_;
  values_filled_ = 0;
  std::unique_lock lock(mutex_);
  chunks_handed_over_ = chunks_filled_;
  if (taker_sleeps_until_ != 0 && chunks_handed_over_ >= taker_sleeps_until_) {
    taker_sleeps_until_ = 0;
    wake_unlocked(lock, handed_over_);
  }
  if (chunks_filled_ - chunks_taken_ < kChunks) return;
  filler_sleeps_until_ = chunks_filled_ - kChunks / 2;
  taken_.wait(lock, [this] { return chunks_taken_ >= chunks_filled_ - kChunks / 2; });
  filler_sleeps_until_ = 0;
}

void StatisticsBeside::finish() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    values_in_last_chunk_ = values_filled_;
    ending_ = true;
  }
  handed_over_.notify_one();
  thread_.join();
}

void StatisticsBeside::take_chunks() {
  std::size_t taken = 0;
  while (true) {
    std::size_t ready = 0;
    {
      std::unique_lock lock(mutex_);
      chunks_taken_ = taken;
      if (filler_sleeps_until_ != 0 && taken >= filler_sleeps_until_) {
        filler_sleeps_until_ = 0;
        wake_unlocked(lock, taken_);
      }
      if (chunks_handed_over_ == taken && !ending_) {
        taker_sleeps_until_ = taken + kChunks / 2;
        handed_over_.wait(lock, [&] { return chunks_handed_over_ >= taken + kChunks / 2 || ending_; });
        taker_sleeps_until_ = 0;
      }
      ready = chunks_handed_over_ - taken;
      if (ready == 0 && ending_) break;
    }
    for (; ready > 0; --ready, ++taken) stats_.add_all(ring_.get() + taken % kChunks * kChunkValues, kChunkValues);
  }
  stats_.add_all(ring_.get() + taken % kChunks * kChunkValues, values_in_last_chunk_);
}

}  // namespace cellscale
