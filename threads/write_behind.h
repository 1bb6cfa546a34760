#pragma once

// A writing thread for an output's full blocks: the writer hands a full block
// over and takes an empty one back in the same call (hand_over), and goes on
// filling while the thread writes. A bounded queue between one producer (the
// writer, on the run's thread) and one consumer (the writing thread): a
// fixed number of blocks circulates, so a writer that outruns the disk waits
// for a free block.
//
// For a gzip output, compressing threads make each block handed over a gzip
// member of its own (grid/gzip_member.h), several blocks at once, and the
// writing thread writes the members in the order the blocks came.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "grid/gzip_member.h"
#include "grid/output_blocks.h"

namespace cellscale {

class WriteBehind final : public LaterBlockWriter {
 public:
  // Starts the thread writing to `file`, and `compressors` compressing
  // threads (none: the blocks are written as they are): null, and nothing
  // started, when no thread or memory can be had.
  [[nodiscard]] static std::unique_ptr<WriteBehind> start(std::FILE* file, int compressors = 0,
                                                          bool crlf_lines = false);
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;
  // Waits for the blocks handed over, and for the thread.
  ~WriteBehind() override;

  [[nodiscard]] bool hand_over(std::unique_ptr<char[]>& block, std::size_t size, std::size_t used,
                               const WritePlace& place) override;
  // Also ends the thread: a writer then writes its blocks at once again.
  [[nodiscard]] std::optional<WritePlace> wait_until_written() override;

  [[nodiscard]] std::int64_t first_row_not_yet_safe() override;

 private:
  explicit WriteBehind(std::FILE* file) : file_(file) {}
  void write_queued();
  void compress_queued(GzipCompressor& compressor);

  struct Queued {
    std::unique_ptr<char[]> block;
    std::size_t size;
    WritePlace place;
    // With compressors: the block's member, once `compressed`; a block
    // being compressed is `taken`. Failed: no member could be made.
    bool taken = false;
    bool compressed = false;
    bool failed = false;
    std::vector<unsigned char> member{};
  };

  std::FILE* const file_;
  std::thread thread_;
  std::vector<std::unique_ptr<GzipCompressor>> compressors_;
  std::vector<std::thread> compressing_threads_;
  // Guarded by mutex_. A block is in exactly one place: the writer's hands,
  // queued_ (handed over, not yet written: the oldest first), the writing
  // thread's hands (the front of queued_ while it is written, the lock let
  // go), or free_blocks_.
  std::mutex mutex_;
  std::condition_variable block_queued_;
  std::condition_variable block_written_;
  std::condition_variable block_compressed_;
  std::deque<Queued> queued_;
  std::vector<std::unique_ptr<char[]>> free_blocks_;
  std::optional<WritePlace> failure_;
  bool ending_ = false;
};

}  // namespace cellscale
