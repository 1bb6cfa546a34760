#include "threads/write_behind.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

namespace cellscale {

namespace {

// Blocks in flight: one being filled, the rest queued or free.
constexpr std::size_t kBlocksBehind = 8;

}  // namespace

std::unique_ptr<WriteBehind> WriteBehind::start(std::FILE* file, int compressors, bool crlf_lines) {
  std::unique_ptr<WriteBehind> behind(new WriteBehind(file));
  // Compressing, more blocks are in flight: one in each compressor's hands.
  while (behind->free_blocks_.size() + 1 < kBlocksBehind + static_cast<std::size_t>(compressors)) {
    std::unique_ptr<char[]> block = new_output_block();
    if (!block) return nullptr;
    behind->free_blocks_.push_back(std::move(block));
  }
  for (int i = 0; i < compressors; ++i) {
    auto compressor = std::unique_ptr<GzipCompressor>(new (std::nothrow) GzipCompressor(crlf_lines));
    if (compressor == nullptr || !*compressor) return nullptr;
    behind->compressors_.push_back(std::move(compressor));
  }
  try {
    // A thread that cannot be had ends the ones started (the destructor).
    for (const auto& compressor : behind->compressors_) {
      behind->compressing_threads_.emplace_back(
          [writer = behind.get(), &compressor = *compressor] { writer->compress_queued(compressor); });
    }
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
  block_queued_.notify_all();
  return true;
}

std::optional<WritePlace> WriteBehind::wait_until_written() {
  {
    const std::lock_guard lock(mutex_);
    ending_ = true;
  }
  block_queued_.notify_all();
  block_compressed_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (std::thread& compressing : compressing_threads_) {
    if (compressing.joinable()) compressing.join();
  }
  return failure_;
}

std::int64_t WriteBehind::first_row_not_yet_safe() {
  const std::lock_guard lock(mutex_);
  if (failure_) return failure_->row;
  return queued_.empty() ? std::numeric_limits<std::int64_t>::max() : queued_.front().place.row;
}

// Takes the oldest block no compressor has taken and makes its member.
// A block queued stays where it is in queued_ (a deque keeps its elements in
// place as others are added at the back and taken from the front).
void WriteBehind::compress_queued(GzipCompressor& compressor) {
  std::unique_lock lock(mutex_);
  while (true) {
    auto untaken = queued_.end();
    block_queued_.wait(lock, [&] {
      untaken = std::find_if(queued_.begin(), queued_.end(), [](const Queued& q) { return !q.taken; });
      return untaken != queued_.end() || ending_;
    });
    if (untaken == queued_.end()) return;
    Queued& queued = *untaken;
    queued.taken = true;
    if (!failure_) {
      lock.unlock();
      const bool made = compressor.compress(queued.block.get(), queued.size, queued.member);
      lock.lock();
      queued.failed = !made;
    }
    queued.compressed = true;
    block_compressed_.notify_all();
  }
}

void WriteBehind::write_queued() {
  const bool compressing = !compressors_.empty();
  std::unique_lock lock(mutex_);
  while (true) {
    block_queued_.wait(lock, [this] { return ending_ || !queued_.empty(); });
    if (queued_.empty()) return;
    if (compressing) block_compressed_.wait(lock, [this] { return queued_.front().compressed; });
    Queued& oldest = queued_.front();
    if (!failure_) {
      lock.unlock();
      const bool written = compressing
                               ? !oldest.failed && write_all(file_, oldest.member.data(), oldest.member.size())
                               : write_all(file_, oldest.block.get(), oldest.size);
      lock.lock();
      if (!written) failure_ = oldest.place;
    }
    free_blocks_.push_back(std::move(oldest.block));
    queued_.pop_front();
    block_written_.notify_one();
  }
}

}  // namespace cellscale
