#include "threads/write_behind.h"

#include <cstring>
#include <limits>
#include <system_error>

namespace cellscale {

namespace {

// Blocks in flight: one being filled, the rest queued or free.
constexpr std::size_t kBlocksBehind = 8;

}  // namespace

std::unique_ptr<WriteBehind> WriteBehind::start(std::FILE* file) {
  std::unique_ptr<WriteBehind> behind(new WriteBehind(file));
  while (behind->free_blocks_.size() + 1 < kBlocksBehind) {
    std::unique_ptr<char[]> block = new_output_block();
    if (!block) return nullptr;
    behind->free_blocks_.push_back(std::move(block));
  }
  try {
    behind->thread_ = std::thread([writer = behind.get()] { writer->write_queued(); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return behind;
}

WriteBehind::~WriteBehind() { (void)wait_until_written(); }

bool WriteBehind::hand_over(std::unique_ptr<char[]>& block, std::size_t size, std::size_t used,
                            const WritePlace& place) {
  std::unique_lock lock(mutex_);
  block_written_.wait(lock, [this] { return failure_ || !free_blocks_.empty(); });
  if (failure_) return false;
  std::unique_ptr<char[]> empty = std::move(free_blocks_.back());
  free_blocks_.pop_back();
  std::memcpy(empty.get(), block.get() + size, used - size);
  queued_.push_back({std::move(block), size, place});
  block = std::move(empty);
  lock.unlock();
  // Woken for every block, so that a failed write is known at the next
  // hand-over even when the input then goes quiet.
  block_queued_.notify_one();
  return true;
}

std::optional<WritePlace> WriteBehind::wait_until_written() {
  if (thread_.joinable()) {
    {
      const std::lock_guard lock(mutex_);
      ending_ = true;
    }
    block_queued_.notify_one();
    thread_.join();
  }
  return failure_;
}

std::optional<WritePlace> WriteBehind::failure() {
  const std::lock_guard lock(mutex_);
  return failure_;
}

std::int64_t WriteBehind::first_row_not_yet_safe() {
  const std::lock_guard lock(mutex_);
  if (failure_) return failure_->row;
  return queued_.empty() ? std::numeric_limits<std::int64_t>::max() : queued_.front().place.row;
}

void WriteBehind::write_queued() {
  std::unique_lock lock(mutex_);
  while (true) {
    block_queued_.wait(lock, [this] { return ending_ || !queued_.empty(); });
    if (queued_.empty()) return;
    Queued& oldest = queued_.front();
    if (!failure_) {
      lock.unlock();
      const bool written = write_all(file_, oldest.block.get(), oldest.size);
      lock.lock();
      if (!written) failure_ = oldest.place;
    }
    free_blocks_.push_back(std::move(oldest.block));
    queued_.pop_front();
    block_written_.notify_one();
  }
}

}  // namespace cellscale
