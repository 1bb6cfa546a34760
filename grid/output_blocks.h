#pragma once

// The blocks a writer fills and writes to its output file, in order. At
// first a full block is written at once, on the writer's own thread, and a
// failure is known there and then. After write_behind() a thread of its own
// writes the full blocks while the writer fills the next, so that writing
// overlaps the work on the cells; a failed write is then known later, and
// what the writer would have said of it (the row being written, and the
// column, when the block filled) is kept with the block. After a failed
// write no later block is written.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "grid/grid_format.h"

namespace cellscale {

// Where the writer stood when a block filled: the row being written
// (counted from 1) and, for a single-precision output, the column.
struct WritePlace {
  std::int64_t row = 0;
  std::int32_t column = 0;
};

class OutputBlocks {
 public:
  // Each block has room for kOutputBlockBytes and a cell's text beyond.
  static constexpr std::size_t kBlockRoom = kOutputBlockBytes + 64;

  // Throws std::bad_alloc when the memory for the first block cannot be had.
  explicit OutputBlocks(FilePtr file);
  OutputBlocks(const OutputBlocks&) = delete;
  OutputBlocks& operator=(const OutputBlocks&) = delete;
  // Ends the writing thread, leaving unwritten what it had not written.
  ~OutputBlocks();

  // False when the memory for a block could not be had.
  explicit operator bool() const { return block_ != nullptr; }
  std::FILE* file() const { return file_.get(); }
  FilePtr take_file() { return std::move(file_); }

  // The block being filled: kBlockRoom bytes.
  char* block() { return block_.get(); }

  // Writes the block's first `size` of `used` bytes, and keeps the rest at
  // the block's start. False when the write failed; the block's bytes are
  // dropped then. After write_behind() the block goes to the writing thread
  // instead, and this is false only when an earlier write is known to have
  // failed: the block is dropped then, and `place` is what a failure of
  // this block will say.
  [[nodiscard]] bool write(std::size_t size, std::size_t used, const WritePlace& place);

  // Starts the writing thread: false, writing on as before, when no thread
  // or memory can be had.
  [[nodiscard]] bool write_behind();

  // What the first failed write says, when one is known to have failed.
  [[nodiscard]] std::optional<WritePlace> failure();
  // Waits until every block handed over is written or dropped; then the
  // writing thread ends and later blocks are written at once.
  [[nodiscard]] std::optional<WritePlace> wait();
  // The rows before this one ended before any block that is not yet known
  // to be written filled: their progress may be shown whatever comes.
  [[nodiscard]] std::int64_t first_row_not_yet_safe();

 private:
  // From malloc, not new: blocks for writing behind that cannot be had leave
  // the writes on the writer's thread, where a failed new would end the run.
  struct FreeBlock {
    void operator()(char* block) const { std::free(block); }
  };
  using Block = std::unique_ptr<char[], FreeBlock>;

  struct Pending {
    Block block;
    std::size_t size;
    WritePlace place;
  };

  void write_pending();

  FilePtr file_;
  Block block_;
  std::mutex mutex_;
  std::condition_variable block_queued_;
  std::condition_variable block_written_;
  std::deque<Pending> pending_;  // handed over, not yet written: the oldest first
  std::vector<Block> free_blocks_;
  std::optional<WritePlace> failure_;
  bool ending_ = false;
  std::thread thread_;
};

}  // namespace cellscale
