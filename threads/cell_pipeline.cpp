#include "threads/cell_pipeline.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <type_traits>

#include "threads/thread_placement.h"

namespace cellscale {

CellPipeline::~CellPipeline() { stop(); }

bool CellPipeline::start(GridReader& reader, TextPieceReader* pieces, std::int32_t columns, std::int64_t rows,
                         const BatchWork* work, int workers) {
  work_ = work;
  reader_ = &reader;
  ring_size_ = std::min(kRingSize, static_cast<std::size_t>(std::max(workers, 1)) + kEntriesBesideWorkers);
  refill_entries_ = ring_size_ / 2;
  // A thread that cannot be had for want of memory leaves the run on one
  // thread too: operator new throws here instead of ending the run. A thread
  // already started that runs out meanwhile ends it all the same, as nothing
  // there catches the std::bad_alloc.
  const std::new_handler ends_run = std::set_new_handler(nullptr);
  bool started = true;
  try {
    // The workers first: they only wait for batches, so that a thread that
    // cannot be had leaves the input unread and the run takes one thread.
    for (int i = 0; work_ != nullptr && i < workers; ++i) {
      workers_.emplace_back([this] { work_on_batches(); });
      move_off_this_processor(workers_.back());
    }
    if (pieces != nullptr) {
      reading_thread_ = std::thread([this, pieces] { read_text(*pieces); });
    } else {
      reading_thread_ = std::thread([this, &reader, columns, rows] { read_rows(reader, columns, rows); });
    }
    move_off_this_processor(reading_thread_);
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
  std::unique_lock lock(mutex_);
  // While the batch it needs is not done, the consumer works on the next
  // batch that no worker has taken.
  while (taken_ == read_ || !done_[taken_ % ring_size_]) {
    if (work_ != nullptr && claimed_ < read_) {
      work_on_next(lock);
      continue;
    }
    batch_done_.wait(lock);
  }
  return entries_[taken_++ % ring_size_].batch;
}

void CellPipeline::give_back() {
  bool refill;
  {
    const std::lock_guard lock(mutex_);
    given_back_ = taken_;
    refill = ring_size_ - (read_ - given_back_) == refill_entries_;
  }
  if (refill) entry_freed_.notify_one();
}

void CellPipeline::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  entry_freed_.notify_all();
  batch_read_.notify_all();
  // The reading thread may be waiting for input that the run no longer
  // needs (a pipe that stays open after the grid): its read ends now.
  if (reader_ != nullptr) reader_->interrupt_reading();
  if (reading_thread_.joinable()) reading_thread_.join();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void CellPipeline::read_text(TextPieceReader& pieces) {
  while (true) {
    BatchBuffer* filling = take_free_entry();
    if (filling == nullptr) return;
    CellBatch& batch = filling->batch;
    batch.piece_end = pieces.read_text_piece(filling->piece, kTextPieceBytes);
    batch.piece = filling->piece.data() + batch.piece_end.first;
    batch.piece_size = batch.piece_end.size;
    const bool last = batch.piece_end.last;
    publish(*filling, last);
    if (last) return;
  }
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
  }
  if (work_ == nullptr) {
    batch_done_.notify_one();
  } else if (last) {
    batch_read_.notify_all();
  } else {
    batch_read_.notify_one();
  }
}

void CellPipeline::work_on_batches() {
  while (true) {
    std::unique_lock lock(mutex_);
    batch_read_.wait(lock, [this] { return stopping_ || claimed_ < read_ || reading_ended_; });
    if (stopping_ || claimed_ == read_) return;
    work_on_next(lock);
    lock.unlock();
    batch_done_.notify_one();
  }
}

void CellPipeline::work_on_next(std::unique_lock<std::mutex>& lock) {
  const std::size_t index = claimed_++ % ring_size_;
  lock.unlock();
  work_->work_on(entries_[index]);
  lock.lock();
  done_[index] = true;
}

}  // namespace cellscale
