#pragma once

// The cells of a large grid on several threads, as a producer-consumer
// pipeline over a ring buffer of batches (a bounded queue):
//
//   producers                       read the input into batches: a text
//                                   input in pieces of cell text, one piece
//                                   at a time by whichever thread needs work
//                                   next (the reading turn); a binary input
//                                   by a reading thread, its cells copied row
//                                   after row;
//   workers (several threads)       do the batch work (BatchWork), which
//                                   depends on no other batch, on the batches
//                                   in any order;
//   consumer (the caller's thread)  takes the batches back in the order they
//                                   were read, and works on the next batch
//                                   no worker has taken (or reads one) while
//                                   the one it needs is not ready.
//
// So whatever is done in order (the statistics, the writing) is done by the
// consumer alone, and gives what one thread gives.
//
// A text input read in turns keeps the threads as many as the processors:
// with a reading thread beside them they were one more, and the system,
// waking them, kept putting two on one processor while another stood idle.
// A thread that finds nothing to do spins a little before it sleeps, as a
// sleeper's wake may put it beside its waker; the consumer and the workers
// also move apart when they meet on one processor (ThreadSpread).
//
// A batch holds cells, not rows: a row may end anywhere in one, or span
// several. A fixed number of batches is in flight, so the memory held does
// not grow with the number of rows.
//
// Once started, the reader is read only in the reading turn or by the
// reading thread. A thread may be waiting in a read of the input when the
// run ends early; the run then ends the process without waiting for it (the
// pipeline is not destroyed). On the way out of a complete run the
// destructor interrupts such a read (GridReader::interrupt_reading) and
// waits for the threads.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "grid/ascii_grid.h"
#include "grid/grid_format.h"
#include "threads/thread_placement.h"

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

// On a text grid the workers do 96% of the instructions, the reading 3% and
// the consumer 1%; but moving the bytes through the kernel (reading
// the input, writing the output) takes about a tenth of the time one thread
// takes, so that beyond eight workers the run waits on that.
inline constexpr int kMostWorkers = 8;

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
  // For cells scanned from a text piece: the piece (followed by a NUL), how
  // it ends, and where it begins in the input.
  const char* piece = nullptr;
  std::size_t piece_size = 0;
  TextPiece piece_end;
  // No batch follows: the cells end here. When the run still needs cells,
  // the row after these cells could not be read; values_read says how many
  // of its cells a binary reader had read.
  bool last = false;
  std::int64_t values_read = 0;
};

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

// Cells in a batch of the usual size: a text piece has at most one number
// a character.
inline constexpr std::size_t kUsualBatchCells = std::max(kBatchCells, kTextPieceBytes + 1);

// One entry of the ring: a batch and the memory it lives in. The text piece
// is what a reading turn read from a text input (the batch points at it);
// the work puts the cells and their text in the scratch memory and points the
// batch at them.
struct BatchBuffer {
  std::vector<char> piece;
  Scratch<double, kUsualBatchCells> doubles;
  Scratch<float, kUsualBatchCells> singles;
  Scratch<char, kUsualBatchCells * kCellTextRoom + 1> text;
  Scratch<std::uint32_t, kUsualBatchCells + 1> text_ends;
  CellBatch batch;
};

// What the workers do to each batch: work that reads and writes that batch's
// buffer alone, so that batches can be worked on in any order, on any thread.
class BatchWork {
 public:
  virtual ~BatchWork() = default;
  virtual void work_on(BatchBuffer& buffer) const = 0;
  // Makes the memory work_on uses on a batch of the usual size.
  virtual void prepare(BatchBuffer& buffer) const = 0;
};

class CellPipeline {
 public:
  CellPipeline() = default;
  CellPipeline(const CellPipeline&) = delete;
  CellPipeline& operator=(const CellPipeline&) = delete;
  // Stops the threads and waits for them.
  ~CellPipeline();

  // Stops the threads and waits for them, now: the reader is then the
  // caller's again. No batch is taken after.
  void stop();

  // Starts `workers` threads doing `work` (none when `work` is null). A text
  // input (`pieces` set) is read in pieces of cell text, in turns; otherwise
  // a reading thread reads `rows` rows of `columns` cells (both at least 1)
  // from `reader`, which prepare_rows has prepared. The consumer takes
  // reading turns beside workers only when `input_never_waits` (a file, not
  // a pipe): waiting in a read, it would hold back the batches done
  // meanwhile. `work` must outlive the pipeline. False when a thread cannot
  // be had; nothing is read then.
  [[nodiscard]] bool start(GridReader& reader, TextPieceReader* pieces, std::int32_t columns, std::int64_t rows,
                           const BatchWork* work, int workers, bool input_never_waits);

  // The consumer's side. take() gives the next batch, in the order read,
  // once its work is done; while it is not, the calling thread works on the
  // next batch no worker has taken, reads one, or waits. The batch belongs to the
  // caller until give_back(), which must come before the next take(). No
  // batch is given after the last.
  [[nodiscard]] const CellBatch& take();
  void give_back();

 private:
  // The ring. Batch i lives in entries_[i % ring_size_]. The counters only
  // grow, and always
  //   given_back_ <= taken_ <= read_ <= given_back_ + ring_size_,
  //   taken_ <= claimed_ <= read_ when there is work.
  // The entries of the batches
  //   from given_back_ + ring_size_ on  are free; the reading turn's holder
  //                                     or the reading thread fills that of
  //                                     batch read_, alone;
  //   [claimed_, read_)                 wait for a worker;
  //   [taken_, claimed_)                are the thread's that claimed them
  //                                     until their work is done (done_);
  //   [given_back_, taken_)             are the consumer's (one at most).
  // Without work, batches are done as soon as they are read, and claimed_
  // stays 0. Everything below the mutex is guarded by it; an entry's buffer
  // is touched without it only by the one thread it belongs to then.
  //
  // Each worker, the reader and the consumer hold an entry, and the rest let
  // the reading run ahead. Once the ring is full the reading thread waits
  // until half of it is free (refill_entries_), so that it is woken once for
  // several pieces rather than for each: with one worker, six entries and
  // that wait ran a large text grid 5% faster than four entries and a wake
  // for each (runs alternated).
  static constexpr std::size_t kEntriesBesideWorkers = 5;
  static constexpr std::size_t kRingSize = kMostWorkers + kEntriesBesideWorkers;
  // How long a thread with nothing to do spins before it sleeps: a batch's
  // work takes about 100 us, and a thread waited for may have been put aside
  // for a while by another program.
  static constexpr std::chrono::microseconds kLongestSpin{200};

  void read_rows(GridReader& reader, std::int32_t columns, std::int64_t rows);
  template <typename Cell>
  bool copy_row(BatchBuffer*& filling, const Cell* cells, std::int32_t columns);
  // The entry for batch read_, emptied, once it is free; nullptr once the
  // pipeline stops.
  BatchBuffer* take_free_entry();
  // Hands the entry that take_free_entry gave (batch read_) to the workers,
  // or to the consumer when there is no work.
  void publish(BatchBuffer& filled, bool last);
  // Worker `index` (from 1: the consumer is 0 to the ThreadSpread).
  void work_on_batches(std::size_t index);
  // The reading turn is free, a text piece is left to read and the ring has
  // room for it; and the consumer (`by_consumer`) may read.
  bool can_read_piece(bool by_consumer) const;
  // Takes the reading turn and reads the next text piece into batch read_.
  void read_piece(std::unique_lock<std::mutex>& lock);
  // Waits, the lock let go, until the state below the mutex changes or
  // kLongestSpin passes.
  void spin_for_change(std::unique_lock<std::mutex>& lock, std::size_t thread);
  // Claims batch claimed_ and works on it on `thread`, the lock held only to
  // claim it and to mark it done.
  void work_on_next(std::unique_lock<std::mutex>& lock, std::size_t thread);

  GridReader* reader_ = nullptr;
  TextPieceReader* pieces_ = nullptr;
  bool consumer_reads_ = true;
  std::unique_ptr<BatchBuffer[]> entries_ = std::make_unique<BatchBuffer[]>(kRingSize);
  std::size_t ring_size_ = 0;
  std::size_t refill_entries_ = 1;  // free entries the reading thread waits for in a full ring
  const BatchWork* work_ = nullptr;
  std::unique_ptr<ThreadSpread> spread_;  // the consumer and the workers

  std::mutex mutex_;
  std::condition_variable batch_read_;   // read_ grew, the reading turn or room came free: a worker may go on
  std::condition_variable batch_done_;   // a batch's work is done, or one was read
  std::condition_variable entry_freed_;  // given_back_ grew, or stopping_ was set
  bool done_[kRingSize] = {};            // entry i's batch has had its work done
  std::size_t read_ = 0;
  std::size_t claimed_ = 0;
  std::size_t taken_ = 0;
  std::size_t given_back_ = 0;
  bool reading_piece_ = false;  // the reading turn is taken
  bool reading_ended_ = false;
  bool stopping_ = false;
  bool consumer_waiting_ = false;
  // Counts the changes below the mutex, for spin_for_change to watch.
  std::atomic<std::uint32_t> changes_{0};

  std::thread reading_thread_;
  std::vector<std::thread> workers_;
};

}  // namespace cellscale
