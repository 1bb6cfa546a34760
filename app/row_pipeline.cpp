#include "app/row_pipeline.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <type_traits>

namespace cellscale {

RowPipeline::~RowPipeline() { stop(); }

bool RowPipeline::start(GridReader& reader, std::int32_t columns, std::int64_t rows, bool singles) {
  for (Slot& slot : slots_) {
    if (singles) {
      slot.singles = ZeroedArray<float>::allocate(kBatchCells);
      if (!slot.singles) return false;
    } else {
      slot.doubles = ZeroedArray<double>::allocate(kBatchCells);
      if (!slot.doubles) return false;
    }
  }
  try {
    thread_ = std::thread([this, &reader, columns, rows] { read_rows(reader, columns, rows); });
  } catch (const std::system_error&) {
    return false;  // no thread to be had (a process limit, say): the run takes one
  }
  return true;
}

const CellBatch& RowPipeline::next() {
  std::unique_lock lock(mutex_);
  if (released_ < taken_) {
    released_ = taken_;
    slot_free_.notify_one();
  }
  batch_ready_.wait(lock, [this] { return published_ > taken_; });
  return slots_[taken_++ % kBatchesInFlight].batch;
}

void RowPipeline::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  slot_free_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void RowPipeline::read_rows(GridReader& reader, std::int32_t columns, std::int64_t rows) {
  Slot* slot = take_free_slot();
  if (slot == nullptr) return;
  for (std::int64_t row = 0; row < rows; ++row) {
    const RowRead read = reader.read_row();
    if (!read.complete) {
      slot->batch.read_failed = true;
      slot->batch.values_read = read.values_read;
      break;
    }
    const bool copied =
        read.doubles != nullptr ? copy_row(slot, read.doubles, columns) : copy_row(slot, read.singles, columns);
    if (!copied) return;
  }
  slot->batch.last = true;
  publish();
}

RowPipeline::Slot* RowPipeline::take_free_slot() {
  std::unique_lock lock(mutex_);
  slot_free_.wait(lock, [this] { return stopping_ || published_ - released_ < kBatchesInFlight; });
  if (stopping_) return nullptr;
  Slot& slot = slots_[published_ % kBatchesInFlight];
  slot.batch = CellBatch{};
  slot.batch.doubles = slot.doubles.data();
  slot.batch.singles = slot.singles.data();
  return &slot;
}

void RowPipeline::publish() {
  {
    const std::lock_guard lock(mutex_);
    ++published_;
  }
  batch_ready_.notify_one();
}

template <typename Cell>
bool RowPipeline::copy_row(Slot*& slot, const Cell* cells, std::int32_t columns) {
  const std::size_t count = static_cast<std::size_t>(columns);
  std::size_t done = 0;
  while (done < count) {
    if (slot->batch.count == kBatchCells) {
      publish();
      slot = take_free_slot();
      if (slot == nullptr) return false;
    }
    Cell* to = nullptr;
    if constexpr (std::is_same_v<Cell, double>) {
      to = slot->doubles.data();
    } else {
      to = slot->singles.data();
    }
    const std::size_t part = std::min(kBatchCells - slot->batch.count, count - done);
    std::memcpy(to + slot->batch.count, cells + done, part * sizeof(Cell));
    slot->batch.count += part;
    done += part;
  }
  return true;
}

}  // namespace cellscale
