#include "grid/output_blocks.h"

#include <cstring>
#include <new>

namespace cellscale {

std::unique_ptr<char[]> new_output_block() {
  return std::unique_ptr<char[]>(new (std::nothrow) char[kOutputBlockRoom]);
}

OutputBlocks::OutputBlocks(FilePtr file) : file_(std::move(file)), block_(new_output_block()) {}

bool OutputBlocks::write(std::size_t size, std::size_t used, const WritePlace& place) {
  if (later_ != nullptr) return later_->hand_over(block_, size, used, place);
  if (!write_all(file_.get(), block_.get(), size)) return false;
  std::memmove(block_.get(), block_.get() + size, used - size);
  return true;
}

std::optional<WritePlace> OutputBlocks::wait() {
  if (later_ != nullptr) {
    later_failure_ = later_->wait_until_written();
    later_ = nullptr;
  }
  return later_failure_;
}

}  // namespace cellscale
