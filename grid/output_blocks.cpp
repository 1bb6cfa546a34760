#include "grid/output_blocks.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

namespace cellscale {

namespace {

// Blocks in flight while writing behind: one being filled, the rest queued
// or free. The writing thread is woken when half of them wait, so that it
// writes several at each waking rather than one.
constexpr std::size_t kBlocksBehind = 8;
constexpr std::size_t kBlocksToWake = kBlocksBehind / 2;

char* allocate_block() { return static_cast<char*>(std::malloc(OutputBlocks::kBlockRoom)); }

}  // namespace

OutputBlocks::OutputBlocks(FilePtr file) : file_(std::move(file)), block_(allocate_block()) {
  if (!block_) throw std::bad_alloc();
}

OutputBlocks::~OutputBlocks() {
  if (thread_.joinable()) (void)wait();
}

bool OutputBlocks::write(std::size_t size, std::size_t used, const WritePlace& place) {
  if (!thread_.joinable()) {
    if (!write_all(file_.get(), block_.get(), size)) return false;
    std::memmove(block_.get(), block_.get() + size, used - size);
    return true;
  }
  std::unique_lock lock(mutex_);
  block_written_.wait(lock, [this] { return failure_ || !free_blocks_.empty(); });
  if (failure_) return false;
  Block next = std::move(free_blocks_.back());
  free_blocks_.pop_back();
  std::memcpy(next.get(), block_.get() + size, used - size);
  pending_.push_back({std::move(block_), size, place});
  block_ = std::move(next);
  const bool wake = pending_.size() >= kBlocksToWake;
  lock.unlock();
  if (wake) block_queued_.notify_one();
  return true;
}

bool OutputBlocks::write_behind() {
  if (thread_.joinable()) return true;
  while (free_blocks_.size() + 1 < kBlocksBehind) {
    Block block(allocate_block());
    if (!block) return false;
    free_blocks_.push_back(std::move(block));
  }
  try {
    thread_ = std::thread([this] { write_pending(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

std::optional<WritePlace> OutputBlocks::failure() {
  const std::lock_guard lock(mutex_);
  return failure_;
}

std::optional<WritePlace> OutputBlocks::wait() {
  if (thread_.joinable()) {
    {
      const std::lock_guard lock(mutex_);
      ending_ = true;
    }
    block_queued_.notify_one();
    thread_.join();
    ending_ = false;
  }
  return failure_;
}

std::int64_t OutputBlocks::first_row_not_yet_safe() {
  const std::lock_guard lock(mutex_);
  if (failure_) return failure_->row;
  return pending_.empty() ? std::numeric_limits<std::int64_t>::max() : pending_.front().place.row;
}

void OutputBlocks::write_pending() {
  std::unique_lock lock(mutex_);
  while (true) {
    block_queued_.wait(lock, [this] { return ending_ || !pending_.empty(); });
    if (pending_.empty()) return;
    Pending& oldest = pending_.front();
    if (!failure_) {
      lock.unlock();
      const bool written = write_all(file_.get(), oldest.block.get(), oldest.size);
      lock.lock();
      if (!written) failure_ = oldest.place;
    }
    free_blocks_.push_back(std::move(oldest.block));
    pending_.pop_front();
    block_written_.notify_one();
  }
}

}  // namespace cellscale
