#pragma once

// Rows read on a thread of their own. A reading thread reads the rows from a
// grid reader and copies their cells, row after row, into batches of a fixed
// number of cells; the run takes the batches in order on its own thread,
// scales them, takes them into the statistics and writes them. A batch
// holds cells, not rows: a row may end anywhere in one, or span several.
// A fixed number of batches is in flight, so the memory held does not grow
// with the number of rows (kBatchesInFlight * kBatchCells cells, in the width
// the input holds them).
//
// Once started, the reader is read only by the reading thread, until the
// pipeline is stopped or destroyed.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "grid/grid_format.h"
#include "grid/row_buffer.h"

namespace cellscale {

#ifdef CELLSCALE_TEST_SMALL_BATCHES
// A test build: batches of a few cells, so that their edges fall everywhere
// (inside a row, at a row's end, on a row's first cell), and every grid with
// cells goes through the pipeline, however many processors there are.
inline constexpr std::size_t kBatchCells = 3;
inline constexpr std::size_t kBatchesInFlight = 2;
inline constexpr std::int64_t kSmallestPipelinedGrid = 1;
inline constexpr bool kPipelineOnOneProcessor = true;
#else
// 256 KiB of doubles a batch, 1 MiB in flight: large enough that handing a
// batch over costs nothing beside the work on its cells, small enough to
// stay in the second-level cache of many processors.
inline constexpr std::size_t kBatchCells = std::size_t{1} << 15;
inline constexpr std::size_t kBatchesInFlight = 4;
// Grids of fewer cells take one thread: starting the reading thread would
// cost more than it saves.
inline constexpr std::int64_t kSmallestPipelinedGrid = std::int64_t{1} << 17;
inline constexpr bool kPipelineOnOneProcessor = false;
#endif

// Consecutive cells of the grid, row after row: exactly one of the two
// pointers is set, after the width the input holds them in.
struct CellBatch {
  const double* doubles = nullptr;
  const float* singles = nullptr;
  std::size_t count = 0;
  // The last batch: after it the rows have all been read, or the row after
  // its cells could not be read (read_failed, with the cells of that row
  // read before it stopped).
  bool last = false;
  bool read_failed = false;
  std::int64_t values_read = 0;
};

class RowPipeline {
 public:
  RowPipeline() = default;
  RowPipeline(const RowPipeline&) = delete;
  RowPipeline& operator=(const RowPipeline&) = delete;
  // Stops the reading thread and waits for it.
  ~RowPipeline();

  // Starts reading `rows` rows of `columns` cells (both at least 1) from the
  // reader, which prepare_rows has prepared, on the reading thread. False
  // when the batches' memory or the thread cannot be had; nothing is read
  // then. The cells come as singles when `singles` is set, as doubles
  // otherwise, as the reader gives them.
  [[nodiscard]] bool start(GridReader& reader, std::int32_t columns, std::int64_t rows, bool singles);

  // The next batch, waiting for it. The batch given before goes back to the
  // reading thread; no batch is given after the last.
  const CellBatch& next();

  // Ends the reading thread (at its next batch, or when it has read the row
  // it is reading) and waits for it. Called before the run ends early.
  void stop();

 private:
  struct Slot {
    ZeroedArray<double> doubles;
    ZeroedArray<float> singles;
    CellBatch batch;
  };

  void read_rows(GridReader& reader, std::int32_t columns, std::int64_t rows);
  // The next free slot, emptied, waiting for it; nullptr once stopped.
  Slot* take_free_slot();
  // Hands the slot that take_free_slot gave last to the run.
  void publish();
  template <typename Cell>
  bool copy_row(Slot*& slot, const Cell* cells, std::int32_t columns);

  Slot slots_[kBatchesInFlight];
  std::mutex mutex_;
  std::condition_variable batch_ready_;
  std::condition_variable slot_free_;
  // Batches published by the reading thread, taken by the run, and given
  // back by it; slot i % kBatchesInFlight holds batch i.
  std::size_t published_ = 0;
  std::size_t taken_ = 0;
  std::size_t released_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace cellscale
