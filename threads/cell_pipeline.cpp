#include "threads/cell_pipeline.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "threads/thread_placement.h"

namespace cellscale {

namespace {

// Tells the processor that this thread only waits, letting a thread beside
// it on the same core run the faster.
void pause_while_spinning() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

CellPipeline::~CellPipeline() { stop(); }

bool CellPipeline::start(GridReader& reader, TextPieceReader* pieces, std::int32_t columns, std::int64_t rows,
                         const BatchWork* work, int workers, bool input_never_waits) {
  work_ = work;
  reader_ = &reader;
  pieces_ = pieces;
  ring_size_ = std::min(kRingSize, static_cast<std::size_t>(std::max(workers, 1)) + kEntriesBesideWorkers);
  refill_entries_ = ring_size_ / 2;
  // A thread that cannot be had for want of memory leaves the run on one
  // thread too: operator new throws here instead of ending the run. A thread
  // already started that runs out meanwhile ends it all the same, as nothing
  // there catches the std::bad_alloc.
  const std::new_handler ends_run = std::set_new_handler(nullptr);
  bool started = true;
  try {
    // The batches' memory is made before the threads start: a thread that
    // maps memory while another faults pages in makes it wait, and the wake
    // may put it on this processor.
    for (std::size_t i = 0; i < ring_size_; ++i) {
      if (pieces != nullptr) entries_[i].piece.reserve(kTextBufferBytes + 1);
      if (work_ != nullptr) work_->prepare(entries_[i]);
    }
    const std::size_t working = work_ != nullptr ? static_cast<std::size_t>(workers) : 0;
    consumer_reads_ = input_never_waits || working == 0;
    spread_ = std::make_unique<ThreadSpread>(working + 1);
    spread_->keep_apart(0);
    // The workers first: they only wait for batches, so that a thread that
    // cannot be had leaves the input unread and the run takes one thread.
    for (std::size_t i = 1; i <= working; ++i) {
      workers_.emplace_back([this, i] { work_on_batches(i); });
      move_off_this_processor(workers_.back());
    }
    if (pieces == nullptr) {
      reading_thread_ = std::thread([this, &reader, columns, rows] { read_rows(reader, columns, rows); });
      move_off_this_processor(reading_thread_);
    }
  } catch (const std::system_error&) {
    started = false;
  } catch (const std::bad_alloc&) {
    started = false;
  }
  std::set_new_handler(ends_run);
  if (!started) stop();
  return started;
}

const CellBatch& CellPipeline::take() {
  spread_->keep_apart(0);
  std::unique_lock lock(mutex_);
  // While the batch it needs is not done, the consumer works on the next
  // batch that no worker has taken, or reads one to work on.
  bool spun = false;
  while (taken_ == read_ || !done_[taken_ % ring_size_]) {
    if (work_ != nullptr && claimed_ < read_) {
      work_on_next(lock, 0);
    } else if (can_read_piece(true)) {
      read_piece(lock);
    } else if (!spun) {
      spin_for_change(lock, 0);
      spun = true;
      continue;
    } else {
      consumer_waiting_ = true;
      batch_done_.wait(lock);
      consumer_waiting_ = false;
    }
    spun = false;
  }
  return entries_[taken_++ % ring_size_].batch;
}

void CellPipeline::give_back() {
  bool wake_reader;
  bool wake_worker;
  {
    const std::lock_guard lock(mutex_);
    const bool was_full = read_ - given_back_ == ring_size_;
    given_back_ = taken_;
    changes_.fetch_add(1, std::memory_order_relaxed);
    wake_reader = pieces_ == nullptr && ring_size_ - (read_ - given_back_) == refill_entries_;
    wake_worker = pieces_ != nullptr && was_full;
  }
  if (wake_reader) entry_freed_.notify_one();
  if (wake_worker) batch_read_.notify_one();
}

void CellPipeline::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    changes_.fetch_add(1, std::memory_order_relaxed);
  }
  entry_freed_.notify_all();
  batch_read_.notify_all();
  // A thread may be waiting for input that the run no longer needs (a pipe
  // that stays open after the grid): its read ends now.
  if (reader_ != nullptr) reader_->interrupt_reading();
  if (reading_thread_.joinable()) reading_thread_.join();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void CellPipeline::read_rows(GridReader& reader, std::int32_t columns, std::int64_t rows) {
  BatchBuffer* filling = take_free_entry();
  if (filling == nullptr) return;
  for (std::int64_t row = 0; row < rows; ++row) {
    // The cells that have come go on before the reading thread waits for
    // more: a quiet pipe does not hold back the rows it delivered.
    if (filling->batch.count > 0 && reader.next_row_would_wait()) {
      publish(*filling, false);
      filling = take_free_entry();
      if (filling == nullptr) return;
    }
    const RowRead read = reader.read_row();
    if (!read.complete) {
      filling->batch.values_read = read.values_read;
      break;
    }
    const bool copied =
        read.doubles != nullptr ? copy_row(filling, read.doubles, columns) : copy_row(filling, read.singles, columns);
    if (!copied) return;
  }
  publish(*filling, true);
}

// Copies a row into the batch being filled, publishing each batch that
// fills and going on in a new one (`filling` then points at it). False once
// the pipeline stops.
template <typename Cell>
bool CellPipeline::copy_row(BatchBuffer*& filling, const Cell* cells, std::int32_t columns) {
  const std::size_t count = static_cast<std::size_t>(columns);
  std::size_t done = 0;
  while (done < count) {
    if (filling->batch.count == kBatchCells) {
      publish(*filling, false);
      filling = take_free_entry();
      if (filling == nullptr) return false;
    }
    Cell* to = nullptr;
    if constexpr (std::is_same_v<Cell, double>) {
      to = filling->doubles.room(kBatchCells);
      filling->batch.doubles = to;
    } else {
      to = filling->singles.room(kBatchCells);
      filling->batch.singles = to;
    }
    const std::size_t part = std::min(kBatchCells - filling->batch.count, count - done);
    std::memcpy(to + filling->batch.count, cells + done, part * sizeof(Cell));
    filling->batch.count += part;
    done += part;
  }
  return true;
}

BatchBuffer* CellPipeline::take_free_entry() {
  std::unique_lock lock(mutex_);
  if (read_ - given_back_ == ring_size_) {
    entry_freed_.wait(lock, [this] { return stopping_ || ring_size_ - (read_ - given_back_) >= refill_entries_; });
  }
  if (stopping_) return nullptr;
  BatchBuffer& entry = entries_[read_ % ring_size_];
  entry.batch = CellBatch{};
  done_[read_ % ring_size_] = false;
  return &entry;
}

void CellPipeline::publish(BatchBuffer& filled, bool last) {
  {
    const std::lock_guard lock(mutex_);
    filled.batch.last = last;
    done_[read_ % ring_size_] = work_ == nullptr;
    ++read_;
    reading_ended_ = last;
    changes_.fetch_add(1, std::memory_order_relaxed);
  }
  if (work_ == nullptr) {
    batch_done_.notify_one();
  } else if (last) {
    batch_read_.notify_all();
  } else {
    batch_read_.notify_one();
  }
}

void CellPipeline::work_on_batches(std::size_t index) {
  std::unique_lock lock(mutex_);
  bool spun = false;
  while (!stopping_) {
    if (claimed_ < read_) {
      work_on_next(lock, index);
      if (consumer_waiting_) batch_done_.notify_one();
    } else if (can_read_piece(false)) {
      read_piece(lock);
    } else if (reading_ended_) {
      return;
    } else if (!spun) {
      spin_for_change(lock, index);
      spun = true;
      continue;
    } else {
      batch_read_.wait(lock);
    }
    spun = false;
  }
}

void CellPipeline::spin_for_change(std::unique_lock<std::mutex>& lock, std::size_t thread) {
  const std::uint32_t seen = changes_.load(std::memory_order_relaxed);
  lock.unlock();
  const auto until = std::chrono::steady_clock::now() + kLongestSpin;
  for (int i = 1; changes_.load(std::memory_order_relaxed) == seen; ++i) {
    pause_while_spinning();
    if (i % 64 == 0) {
      if (std::chrono::steady_clock::now() > until) break;
      // A thread waited for on this processor runs now, and shows where it
      // is; one of the two then moves.
      std::this_thread::yield();
      spread_->keep_apart(thread);
    }
  }
  lock.lock();
}

bool CellPipeline::can_read_piece(bool by_consumer) const {
  return pieces_ != nullptr && !reading_piece_ && !reading_ended_ && !stopping_ && read_ - given_back_ < ring_size_ &&
         (consumer_reads_ || !by_consumer);
}

void CellPipeline::read_piece(std::unique_lock<std::mutex>& lock) {
  const std::size_t index = read_ % ring_size_;
  BatchBuffer& filling = entries_[index];
  reading_piece_ = true;
  lock.unlock();
  CellBatch& batch = filling.batch;
  batch = CellBatch{};
  batch.piece_end = pieces_->read_text_piece(filling.piece, kTextPieceBytes);
  batch.piece = filling.piece.data() + batch.piece_end.first;
  batch.piece_size = batch.piece_end.size;
  batch.last = batch.piece_end.last;
  lock.lock();
  reading_piece_ = false;
  done_[index] = work_ == nullptr;
  ++read_;
  reading_ended_ = batch.last;
  changes_.fetch_add(1, std::memory_order_relaxed);
  // Another thread may read the next piece while this one works on its own.
  if (reading_ended_) {
    batch_read_.notify_all();
  } else if (read_ - given_back_ < ring_size_) {
    batch_read_.notify_one();
  }
  if (consumer_waiting_) batch_done_.notify_one();
}

void CellPipeline::work_on_next(std::unique_lock<std::mutex>& lock, std::size_t thread) {
  const std::size_t index = claimed_++ % ring_size_;
  lock.unlock();
  spread_->keep_apart(thread);
  work_->work_on(entries_[index]);
  lock.lock();
  done_[index] = true;
  changes_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace cellscale
