#include "threads/compressing_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace cellscale {

std::unique_ptr<CompressingWriter> CompressingWriter::start(std::FILE* file, int workers, bool crlf_lines) {
  // Two blocks for each thread that compresses: one worked on, one waiting.
  const auto slots = 2 * static_cast<std::size_t>(workers + 1);
  std::unique_ptr<CompressingWriter> writer(new (std::nothrow) CompressingWriter(file, slots));
  if (writer == nullptr) return nullptr;
  for (Block& block : writer->blocks_) {
    block.bytes = new_output_block();
    block.compressor.reset(new (std::nothrow) GzipCompressor(crlf_lines));
    if (block.bytes == nullptr || block.compressor == nullptr || !*block.compressor) return nullptr;
  }
  writer->jobs_ = std::make_unique<OrderedJobs>(slots, workers, [blocks = writer->blocks_.data()](std::size_t slot) {
    Block& block = blocks[slot];
    block.compressed = block.compressor->compress(block.bytes.get(), block.size, block.member);
  });
  return writer;
}

bool CompressingWriter::hand_over(std::unique_ptr<char[]>& block, std::size_t size, std::size_t used,
                                  const WritePlace& place) {
  if (jobs_->full()) write_oldest();
  if (failure_) return false;
  Block& job = blocks_[jobs_->acquire()];
  // The writer goes on in the job's empty block, the bytes after the full
  // one at its start.
  std::memcpy(job.bytes.get(), block.get() + size, used - size);
  std::swap(job.bytes, block);
  job.size = size;
  job.place = place;
  jobs_->submit();
  return true;
}

void CompressingWriter::write_oldest() {
  const Block& oldest = blocks_[jobs_->take_back()];
  if (!failure_ && !(oldest.compressed && write_all(file_, oldest.member.data(), oldest.member.size()))) {
    failure_ = oldest.place;
  }
  jobs_->release();
}

std::optional<WritePlace> CompressingWriter::wait_until_written() {
  while (!jobs_->empty()) write_oldest();
  return failure_;
}

std::int64_t CompressingWriter::first_row_not_yet_safe() {
  if (failure_) return failure_->row;
  // The oldest block not taken back is the one after the last released.
  return jobs_->empty() ? std::numeric_limits<std::int64_t>::max() : blocks_[jobs_->oldest()].place.row;
}

}  // namespace cellscale
