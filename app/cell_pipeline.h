#pragma once

// The cells of a large grid on several threads. A reading thread reads the
// input in batches: pieces of cell text from a text input, cells copied row
// after row from a binary one. Worker threads take the batches in turn and
// do the work that does not depend on the cells before them: scanning the
// numbers of a text piece, and for a text output scaling the cells and
// formatting them. The run takes the batches back in order on its own
// thread (working on later batches while it waits) and does the rest there,
// in row order: the statistics, the rows' ends and the writing. So
// everything it shows and writes is what one thread gives.
//
// A batch holds cells, not rows: a row may end anywhere in one, or span
// several. A fixed number of batches is in flight, so the memory held does
// not grow with the number of rows.
//
// Once started, the reader is read only by the reading thread, until the
// pipeline is stopped or destroyed.

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "grid/ascii_grid.h"
#include "grid/grid_format.h"

namespace cellscale {

#ifdef CELLSCALE_TEST_SMALL_BATCHES
// A test build: batches of a few cells or characters, so that their edges
// fall everywhere (inside a row, at a row's end, inside a number's text),
// and every grid with cells goes through the pipeline, however many
// processors there are.
inline constexpr std::size_t kBatchCells = 3;
inline constexpr std::size_t kTextPieceBytes = 5;
inline constexpr std::int64_t kSmallestPipelinedGrid = 1;
inline constexpr bool kPipelineOnOneProcessor = true;
#else
// 128 KiB of doubles, or of text (about 15,000 cells), a batch: large enough
// that handing a batch over costs nothing beside the work on its cells,
// small enough to stay in the second-level cache of many processors.
inline constexpr std::size_t kBatchCells = std::size_t{1} << 14;
inline constexpr std::size_t kTextPieceBytes = std::size_t{1} << 17;
// Grids of fewer cells take one thread: starting the threads would cost
// more than it saves.
inline constexpr std::int64_t kSmallestPipelinedGrid = std::int64_t{1} << 17;
inline constexpr bool kPipelineOnOneProcessor = false;
#endif

// On a text grid the workers do 96% of the instructions, the reading thread
// 3% and the run's own thread 1%; but moving the bytes through the kernel
// (reading the input, writing the output) takes about a tenth of the time
// one thread takes, so that beyond eight workers the run waits on that.
inline constexpr int kMostWorkers = 8;

// What the workers do to every batch.
struct BatchWork {
  bool scan_text = false;    // read the numbers of a text piece
  bool format_text = false;  // scale the cells and format them as text
  double nodata = 0;
  double factor = 1;
};

// Consecutive cells of the grid, in the order of its rows.
struct CellBatch {
  // The cells read, or scanned from text: exactly one of the two is set.
  const double* doubles = nullptr;
  const float* singles = nullptr;
  std::size_t count = 0;
  // When the work formats text: the text of the cells scaled, each followed
  // by a tab; cell i's text ends at text + text_ends[i].
  const char* text = nullptr;
  const std::uint32_t* text_ends = nullptr;
  // No batch follows: the cells end here. When the run still needs cells,
  // the row after these cells could not be read; values_read says how many
  // of its cells a binary reader had read.
  bool last = false;
  std::int64_t values_read = 0;
};

class CellPipeline {
 public:
  CellPipeline() = default;
  CellPipeline(const CellPipeline&) = delete;
  CellPipeline& operator=(const CellPipeline&) = delete;
  // Stops the threads and waits for them.
  ~CellPipeline();

  // Starts reading `rows` rows of `columns` cells (both at least 1) from the
  // reader, which prepare_rows has prepared, and `workers` threads doing
  // `work` (none when there is no work). A text input is read in pieces
  // when work.scan_text is set, and by rows otherwise. False when a thread
  // cannot be had; nothing is read then.
  [[nodiscard]] bool start(GridReader& reader, std::int32_t columns, std::int64_t rows, const BatchWork& work,
                           int workers);

  // The next batch. While it is not ready, the calling thread works on the
  // next batch no worker has taken, or waits. The batch given before goes
  // back to the reading thread; no batch is given after the last.
  const CellBatch& next();

  // Ends the threads (at their next batch, or when the reading thread has
  // read what it is reading) and waits for them. Called before the run ends
  // early.
  void stop();

 private:
  // Cells in a batch of the usual size: a text piece has at most one number
  // a character.
  static constexpr std::size_t kUsualCells = std::max(kBatchCells, kTextPieceBytes + 1);

  // Memory that is not filled, made once for the largest batch of the usual
  // size, and again only for a larger one (a number of a megabyte, say). The
  // pages a batch does not reach cost nothing.
  template <typename T, std::size_t kUsualRoom>
  class Scratch {
   public:
    T* room(std::size_t count) {
      if (count > size_) {
        size_ = std::max(count, kUsualRoom);
        data_.reset(new T[size_]);
      }
      return data_.get();
    }

   private:
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0;
  };

  struct Slot {
    std::vector<char> piece;
    TextPiece piece_kind;
    Scratch<double, kUsualCells> doubles;
    Scratch<float, kUsualCells> singles;
    Scratch<char, kUsualCells * kCellTextRoom + 1> text;
    Scratch<std::uint32_t, kUsualCells + 1> text_ends;
    CellBatch batch;
    bool worked = false;
  };

  void read_text(GridReader& reader);
  void read_rows(GridReader& reader, std::int32_t columns, std::int64_t rows);
  template <typename Cell>
  bool copy_row(Slot*& slot, const Cell* cells, std::int32_t columns);
  void work_on_batches();
  void work_on(Slot& slot) const;
  // Claims the next batch no worker has taken and works on it, the lock
  // held only to claim it and to mark it worked.
  void work_on_next(std::unique_lock<std::mutex>& lock);
  // The next free slot, emptied, waiting for it; nullptr once stopped.
  Slot* take_free_slot();
  // Hands the slot that take_free_slot gave last to the workers, or to the
  // run when there is no work.
  void publish(bool last);

  static constexpr std::size_t kSlots = kMostWorkers + 4;
  Slot slots_[kSlots];
  std::size_t slots_in_use_ = 0;
  BatchWork work_;
  bool has_work_ = false;
  std::mutex mutex_;
  std::condition_variable batch_read_;
  std::condition_variable batch_ready_;
  std::condition_variable slot_free_;
  // Batches published by the reading thread, claimed by the workers, taken
  // by the run and given back by it; slot i % slots_in_use_ holds batch i.
  std::size_t published_ = 0;
  std::size_t claimed_ = 0;
  std::size_t taken_ = 0;
  std::size_t released_ = 0;
  bool reading_done_ = false;
  bool stopping_ = false;
  std::thread reading_thread_;
  std::vector<std::thread> workers_;
};

}  // namespace cellscale
