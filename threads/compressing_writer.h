#pragma once

// A gzip output's full blocks compressed on several threads: each block
// handed over becomes a job of an ordered ring (threads/ordered_jobs.h)
// whose work makes the block's gzip member (files/gzip_member.h); the members
// are written to the file in the order the blocks came, on the writer's
// thread, as each job is taken back. A fixed number of blocks circulates,
// so a writer that outruns the compressors waits, and meanwhile compresses
// the next block itself.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "files/gzip_member.h"
#include "files/output_blocks.h"
#include "threads/ordered_jobs.h"

namespace cellscale {

class CompressingWriter final : public LaterBlockWriter {
 public:
  // Compresses on up to `workers` threads and the writer's own, and writes
  // to `file`. Null, nothing started, when the memory cannot be had.
  [[nodiscard]] static std::unique_ptr<CompressingWriter> start(std::FILE* file, int workers, bool crlf_lines);
  CompressingWriter(const CompressingWriter&) = delete;
  CompressingWriter& operator=(const CompressingWriter&) = delete;
  ~CompressingWriter() override = default;

  [[nodiscard]] bool hand_over(std::unique_ptr<char[]>& block, std::size_t size, std::size_t used,
                               const WritePlace& place) override;
  [[nodiscard]] std::optional<WritePlace> wait_until_written() override;
  [[nodiscard]] std::int64_t first_row_not_yet_safe() override;

 private:
  struct Block {
    std::unique_ptr<char[]> bytes;
    std::size_t size = 0;
    WritePlace place;
    std::unique_ptr<GzipCompressor> compressor;
    std::vector<unsigned char> member;
    bool compressed = false;  // false when memory failed
  };

  CompressingWriter(std::FILE* file, std::size_t slots) : file_(file), blocks_(slots) {}
  // Takes the oldest block back and writes its member, unless a write failed.
  void write_oldest();

  std::FILE* const file_;
  std::vector<Block> blocks_;          // one a slot of the ring
  std::unique_ptr<OrderedJobs> jobs_;  // after blocks_: its workers end first
  std::optional<WritePlace> failure_;
};

}  // namespace cellscale
