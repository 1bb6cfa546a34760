#include "app/cell_pipeline.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <type_traits>

#include "app/cell_scaling.h"
#include "grid/ascii_grid.h"

namespace cellscale {

CellPipeline::~CellPipeline() { stop(); }

bool CellPipeline::start(GridReader& reader, std::int32_t columns, std::int64_t rows, const BatchWork& work,
                         int workers) {
  work_ = work;
  has_work_ = work.scan_text || work.format_text;
  slots_in_use_ = std::min(kSlots, static_cast<std::size_t>(std::max(workers, 1)) + 3);
  // A thread that cannot be had for want of memory leaves the run on one
  // thread too: operator new throws here instead of ending the run. A thread
  // already started that runs out meanwhile ends it all the same, as nothing
  // there catches the std::bad_alloc.
  const std::new_handler ends_run = std::set_new_handler(nullptr);
  bool started = true;
  try {
    // The workers first: they only wait for batches, so that a thread that
    // cannot be had leaves the input unread and the run takes one thread.
    for (int i = 0; has_work_ && i < workers; ++i) workers_.emplace_back([this] { work_on_batches(); });
    if (work.scan_text) {
      reading_thread_ = std::thread([this, &reader] { read_text(reader); });
    } else {
      reading_thread_ = std::thread([this, &reader, columns, rows] { read_rows(reader, columns, rows); });
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

const CellBatch& CellPipeline::next() {
  std::unique_lock lock(mutex_);
  if (released_ < taken_) {
    released_ = taken_;
    slot_free_.notify_one();
  }
  // While the batch it needs is not ready, the run's thread works on the
  // next batch that no worker has taken.
  while (published_ == taken_ || (has_work_ && !slots_[taken_ % slots_in_use_].worked)) {
    if (has_work_ && claimed_ < published_) {
      work_on_next(lock);
      continue;
    }
    batch_ready_.wait(lock);
  }
  return slots_[taken_++ % slots_in_use_].batch;
}

void CellPipeline::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  slot_free_.notify_all();
  batch_read_.notify_all();
  if (reading_thread_.joinable()) reading_thread_.join();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void CellPipeline::read_text(GridReader& reader) {
  while (true) {
    Slot* slot = take_free_slot();
    if (slot == nullptr) return;
    slot->piece_kind = reader.read_text_piece(slot->piece, kTextPieceBytes);
    publish(slot->piece_kind.last);
    if (slot->piece_kind.last) return;
  }
}

void CellPipeline::read_rows(GridReader& reader, std::int32_t columns, std::int64_t rows) {
  Slot* slot = take_free_slot();
  if (slot == nullptr) return;
  for (std::int64_t row = 0; row < rows; ++row) {
    const RowRead read = reader.read_row();
    if (!read.complete) {
      slot->batch.values_read = read.values_read;
      break;
    }
    const bool copied =
        read.doubles != nullptr ? copy_row(slot, read.doubles, columns) : copy_row(slot, read.singles, columns);
    if (!copied) return;
  }
  publish(true);
}

template <typename Cell>
bool CellPipeline::copy_row(Slot*& slot, const Cell* cells, std::int32_t columns) {
  const std::size_t count = static_cast<std::size_t>(columns);
  std::size_t done = 0;
  while (done < count) {
    if (slot->batch.count == kBatchCells) {
      publish(false);
      slot = take_free_slot();
      if (slot == nullptr) return false;
    }
    Cell* to = nullptr;
    if constexpr (std::is_same_v<Cell, double>) {
      to = slot->doubles.room(kBatchCells);
      slot->batch.doubles = to;
    } else {
      to = slot->singles.room(kBatchCells);
      slot->batch.singles = to;
    }
    const std::size_t part = std::min(kBatchCells - slot->batch.count, count - done);
    std::memcpy(to + slot->batch.count, cells + done, part * sizeof(Cell));
    slot->batch.count += part;
    done += part;
  }
  return true;
}

CellPipeline::Slot* CellPipeline::take_free_slot() {
  std::unique_lock lock(mutex_);
  slot_free_.wait(lock, [this] { return stopping_ || published_ - released_ < slots_in_use_; });
  if (stopping_) return nullptr;
  Slot& slot = slots_[published_ % slots_in_use_];
  slot.batch = CellBatch{};
  slot.worked = false;
  return &slot;
}

void CellPipeline::publish(bool last) {
  {
    const std::lock_guard lock(mutex_);
    slots_[published_ % slots_in_use_].batch.last = last;
    ++published_;
    reading_done_ = last;
  }
  if (has_work_) {
    if (last) {
      batch_read_.notify_all();
    } else {
      batch_read_.notify_one();
    }
  } else {
    batch_ready_.notify_one();
  }
}

void CellPipeline::work_on_batches() {
  while (true) {
    std::unique_lock lock(mutex_);
    batch_read_.wait(lock, [this] { return stopping_ || claimed_ < published_ || reading_done_; });
    if (stopping_ || claimed_ == published_) return;
    work_on_next(lock);
    lock.unlock();
    batch_ready_.notify_one();
  }
}

void CellPipeline::work_on_next(std::unique_lock<std::mutex>& lock) {
  Slot& slot = slots_[claimed_++ % slots_in_use_];
  lock.unlock();
  work_on(slot);
  lock.lock();
  slot.worked = true;
}

void CellPipeline::work_on(Slot& slot) const {
  CellBatch& batch = slot.batch;
  if (work_.scan_text) {
    double* values = slot.doubles.room(slot.piece.size());
    const ScannedCells scanned =
        scan_cell_text(slot.piece.data(), slot.piece.size() - 1, slot.piece_kind.at_end, values);
    batch.doubles = values;
    batch.count = scanned.count;
    if (scanned.broken) batch.last = true;
  }
  if (!work_.format_text) return;
  char* const text = slot.text.room(batch.count * kCellTextRoom + 1);
  std::uint32_t* const ends = slot.text_ends.room(batch.count + 1);
  // The cells go in parts that stay in the first-level cache between the
  // scaling and the formatting.
  constexpr std::size_t kPart = 512;
  double scaled[kPart];
  char* out = text;
  for (std::size_t done = 0; done < batch.count; done += kPart) {
    const std::size_t part = std::min(kPart, batch.count - done);
    if (batch.doubles != nullptr) {
      detail::scale_part(batch.doubles + done, scaled, part, work_.nodata, work_.factor);
    } else {
      detail::scale_part(batch.singles + done, scaled, part, work_.nodata, work_.factor);
    }
    out = format_cell_texts(scaled, part, text, out, ends + done);
  }
  batch.text = text;
  batch.text_ends = ends;
}

}  // namespace cellscale
