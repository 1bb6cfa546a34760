#pragma once

// The blocks a writer fills and writes to its output file, in order. Full
// blocks are gathered, each after the one before it in one piece of memory,
// and written a few at a time in one write: the system then keeps the file in
// larger pieces of memory, and a binary output is written about a tenth
// faster. Or they are handed to a LaterBlockWriter (threads/compressing_writer.h),
// which compresses them while the writer fills the next. Either way a failed
// write is known later, and what the writer would have said of it (the row
// being written, and the column, when the block filled) is kept with the
// block: the failure is the same as with each block written at once. After a
// failed write no later block is written. Each block is written as it fills
// for a gzip output, from an input that may pause (write_at_once), and on
// Windows.
//
// A gzip output (gzip_member.h) is written a member a block: the bytes that
// would have been written go out compressed. Its first bytes (a binary
// header) may be kept in a stored member of their own, written as they are,
// so that rewrite can change them in place at the end.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files/file_stream.h"

namespace cellscale {

// The size of the blocks an output is written in.
inline constexpr std::size_t kOutputBlockBytes = std::size_t{1} << 16;

// Where a writer stood when it filled a block: the row being written
// (counted from 1) and, for a single-precision output, the column.
struct WritePlace {
  std::int64_t row = 0;
  std::int32_t column = 0;
};

// Each block has room for kOutputBlockBytes and a cell's text beyond.
inline constexpr std::size_t kOutputBlockRoom = kOutputBlockBytes + 64;

// Copies `size` bytes into a block, in pieces of kCopyPieceBytes, each
// through the C library's memcpy: it copies a piece that size with vector
// moves, where a larger one, or one the compiler copies inline, takes a
// string instruction that an instruction count (callgrind) counts a word or
// a byte at a time, hiding what the cells cost.
inline constexpr std::size_t kCopyPieceBytes = 2048;
void copy_into_block(char* to, const char* from, std::size_t size);

// A block of kOutputBlockRoom bytes; null when the memory cannot be had.
[[nodiscard]] std::unique_ptr<char[]> new_output_block();

// Takes full blocks and writes them later, in the order given.
class LaterBlockWriter {
 public:
  virtual ~LaterBlockWriter() = default;
  // Takes `block`, whose first `size` of `used` bytes are to be written, and
  // puts in its place an empty block that starts with the `used - size`
  // bytes after them. False when an earlier write is known to have failed:
  // nothing is taken then, and the block's bytes are dropped.
  [[nodiscard]] virtual bool hand_over(std::unique_ptr<char[]>& block, std::size_t size, std::size_t used,
                                       const WritePlace& place) = 0;
  // Waits until every block handed over is written or dropped. What the
  // first failed write said, when one failed.
  [[nodiscard]] virtual std::optional<WritePlace> wait_until_written() = 0;
  // The rows before this one ended before any block that is not yet known
  // to be written filled: their progress may be shown whatever comes.
  [[nodiscard]] virtual std::int64_t first_row_not_yet_safe() = 0;
};

class GzipCompressor;

class OutputBlocks {
 public:
  static constexpr std::size_t kBlockRoom = kOutputBlockRoom;

  explicit OutputBlocks(FilePtr file);
  ~OutputBlocks();

  // From here on (before anything is written) the output is written
  // gzip-compressed, its first `stored` bytes in a stored member.
  // `crlf_lines` as for GzipCompressor. False when memory failed.
  [[nodiscard]] bool compress(std::size_t stored, bool crlf_lines);
  OutputBlocks(const OutputBlocks&) = delete;
  OutputBlocks& operator=(const OutputBlocks&) = delete;

  // False when the memory for a block could not be had.
  explicit operator bool() const { return block_ != nullptr; }
  std::FILE* file() const { return file_.get(); }
  FilePtr take_file() { return std::move(file_); }

  // The block being filled: kBlockRoom bytes.
  char* block() { return block_.get() + gathered_from_ + gathered_ * kOutputBlockBytes; }

  // Writes the block's first `size` of `used` bytes, or gathers them to be
  // written with the next full blocks (`size` is then kOutputBlockBytes, as
  // the writers always give), and keeps the rest at the start of block().
  // False when the write failed (for gathered blocks, the write of this one
  // or of one gathered before it: wait() tells which); the bytes are dropped
  // then. With a later writer the block goes to it instead, and this is
  // false only when an earlier write is known to have failed.
  [[nodiscard]] bool write(std::size_t size, std::size_t used, const WritePlace& place);

  // Writes `size` bytes at `bytes` to the file at once (compressed, for a
  // gzip output): the end of the output, after wait(). False when they did
  // not all reach it.
  [[nodiscard]] bool write_now(const char* bytes, std::size_t size);

  // Writes `size` bytes over the output's bytes from `offset` on (in its
  // stored part, for a gzip output, whose check value is then made again).
  // After the last write; false when they did not reach the file.
  [[nodiscard]] bool rewrite(std::size_t offset, const void* bytes, std::size_t size);

  // Whether the output is written gzip-compressed, and with CR LF lines.
  [[nodiscard]] bool compressed() const { return compressor_ != nullptr; }
  [[nodiscard]] bool crlf_lines() const { return crlf_lines_; }

  // From here on full blocks go to `later`, which writes to file() (and
  // compresses them first, for a gzip output) and must outlive the
  // writer's use of these blocks.
  void write_later(LaterBlockWriter& later) {
    later_ = &later;
    gathering_ = false;
  }

  // From here on (before anything is written) each full block is written
  // as it fills.
  void write_at_once() { gathering_ = false; }

  // Whether a full block may be written after write() returned: the
  // progress of a row is then shown once first_row_not_yet_safe() is past it.
  [[nodiscard]] bool writes_later() const { return later_ != nullptr || gathering_; }
  [[nodiscard]] std::int64_t first_row_not_yet_safe();

  // Writes every block gathered, or waits until every block handed over is
  // written: then later blocks are written at once. What the first failed
  // write said, when one failed.
  [[nodiscard]] std::optional<WritePlace> wait();

  // Takes room on the disk for an output of `bytes` bytes before anything is
  // written (files/disk_room.h); not for a gzip output, whose size is not
  // known. An output that ends early gives back the room it did not fill.
  void reserve_room(std::uint64_t bytes);
  void give_back_unused_room();

 private:
  // Writes the blocks gathered. False when they did not all reach the file:
  // later_failure_ then holds the place of the first that did not.
  bool write_gathered();

  // Blocks gathered for one write: four of 64 KiB, as the system's page
  // cache keeps a file written 256 KiB at a time in fewer, larger pieces.
  static constexpr std::size_t kGatheredBlocks = 4;

  FilePtr file_;
  // The memory of the blocks: kGatheredBlocks of them end to end while
  // gathering, one block otherwise. The block being filled starts at
  // gathered_from_ + gathered_ blocks.
  std::unique_ptr<char[]> block_;
#ifdef _WIN32
  // The C library's fwrite there does not tell how many bytes reached the
  // file when a write fails part way, so the block that failed could not be
  // told: each block is written as it fills.
  bool gathering_ = false;
#else
  bool gathering_ = true;
#endif
  std::size_t gathered_from_ = 0;
  std::size_t gathered_ = 0;
  WritePlace gathered_places_[kGatheredBlocks];
  std::unique_ptr<GzipCompressor> compressor_;
  std::size_t stored_ = 0;    // bytes that go into the stored member
  std::string stored_bytes_;  // those bytes, as last written
  bool members_written_ = false;
  bool crlf_lines_ = false;
  std::vector<unsigned char> member_;  // the last member compressed here
  LaterBlockWriter* later_ = nullptr;
  std::optional<WritePlace> later_failure_;
  bool room_reserved_ = false;
};

}  // namespace cellscale
