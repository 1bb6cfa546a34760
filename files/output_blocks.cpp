#include "files/output_blocks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "files/disk_room.h"
#include "files/gzip_member.h"

namespace cellscale {

namespace {

// Kept out of line, so that the size is not known to be small here.
[[gnu::noinline]] void copy_piece(char* to, const char* from, std::size_t size) { std::memcpy(to, from, size); }

}  // namespace

void copy_into_block(char* to, const char* from, std::size_t size) {
  for (std::size_t done = 0; done < size; done += kCopyPieceBytes) {
    copy_piece(to + done, from + done, std::min(kCopyPieceBytes, size - done));
  }
}

std::unique_ptr<char[]> new_output_block() {
  return std::unique_ptr<char[]>(new (std::nothrow) char[kOutputBlockRoom]);
}

OutputBlocks::OutputBlocks(FilePtr file)
    : file_(std::move(file)),
      block_(new (std::nothrow) char[(kGatheredBlocks - 1) * kOutputBlockBytes + kOutputBlockRoom]) {}

OutputBlocks::~OutputBlocks() = default;

bool OutputBlocks::compress(std::size_t stored, bool crlf_lines) {
  gathering_ = false;  // a member for each block
  compressor_.reset(new (std::nothrow) GzipCompressor(crlf_lines));
  crlf_lines_ = crlf_lines;
  stored_ = stored;
  if (compressor_ != nullptr && *compressor_) return true;
  compressor_.reset();
  block_.reset();  // the writer then fails as without memory for a block
  return false;
}

bool OutputBlocks::write(std::size_t size, std::size_t used, const WritePlace& place) {
  if (later_ != nullptr) {
    // A gzip output's stored member goes first, written here before any
    // block is handed over; the rest of the block follows it.
    if (stored_bytes_.size() < stored_) {
      const std::size_t part = std::min(size, stored_ - stored_bytes_.size());
      if (!write_now(block_.get(), part)) return false;
      std::memmove(block_.get(), block_.get() + part, used - part);
      size -= part;
      used -= part;
    }
    return later_->hand_over(block_, size, used, place);
  }
  if (gathering_) {
    // The rest is already where the next block starts.
    gathered_places_[gathered_++] = place;
    if (gathered_from_ + (gathered_ + 1) * kOutputBlockBytes <= kGatheredBlocks * kOutputBlockBytes) return true;
    if (!write_gathered()) return false;
    std::memmove(block_.get(), block(), used - size);
    gathered_from_ = 0;
    return true;
  }
  if (!write_now(block_.get(), size)) return false;
  std::memmove(block_.get(), block_.get() + size, used - size);
  return true;
}

bool OutputBlocks::write_now(const char* bytes, std::size_t size) {
  if (!compressor_) return write_all(file_.get(), bytes, size);
  if (stored_bytes_.size() < stored_ && size > 0) {
    const std::size_t part = std::min(size, stored_ - stored_bytes_.size());
    stored_bytes_.append(bytes, part);
    bytes += part;
    size -= part;
    if (stored_bytes_.size() == stored_) {
      const std::string member = stored_gzip_member(stored_bytes_.data(), stored_bytes_.size());
      members_written_ = true;
      if (!write_all(file_.get(), member.data(), member.size())) return false;
    }
  }
  // A gzip file holds a member at least, though empty.
  if (size == 0 && members_written_) return std::ferror(file_.get()) == 0;
  members_written_ = true;
  return compressor_->compress(bytes, size, member_) && write_all(file_.get(), member_.data(), member_.size());
}

bool OutputBlocks::rewrite(std::size_t offset, const void* bytes, std::size_t size) {
  if (!compressor_) {
    // Positioning flushes what the stream may still hold, so a failure here
    // is a write that did not reach the file.
    return std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) == 0 && write_all(file_.get(), bytes, size);
  }
  if (offset + size > stored_bytes_.size()) return false;
  stored_bytes_.replace(offset, size, static_cast<const char*>(bytes), size);
  const std::string end = gzip_member_end(stored_bytes_.data(), stored_bytes_.size());
  return std::fseek(file_.get(), static_cast<long>(kStoredMemberStart + offset), SEEK_SET) == 0 &&
         write_all(file_.get(), bytes, size) &&
         std::fseek(file_.get(), static_cast<long>(kStoredMemberStart + stored_bytes_.size()), SEEK_SET) == 0 &&
         write_all(file_.get(), end.data(), end.size());
}

bool OutputBlocks::write_gathered() {
  const std::size_t size = gathered_ * kOutputBlockBytes;
  const std::size_t written = std::fwrite(block_.get() + gathered_from_, 1, size, file_.get());
  if (written < size || std::ferror(file_.get()) != 0) {
    later_failure_ = gathered_places_[std::min(written / kOutputBlockBytes, gathered_ - 1)];
    gathered_ = 0;
    return false;
  }
  gathered_from_ += size;
  gathered_ = 0;
  return true;
}

std::optional<WritePlace> OutputBlocks::wait() {
  if (later_ != nullptr) {
    later_failure_ = later_->wait_until_written();
    later_ = nullptr;
  } else if (gathered_ > 0 && !later_failure_) {
    // The block being filled stays where it is.
    (void)write_gathered();
  }
  return later_failure_;
}

std::int64_t OutputBlocks::first_row_not_yet_safe() {
  if (later_ != nullptr) return later_->first_row_not_yet_safe();
  if (later_failure_) return later_failure_->row;
  return gathered_ > 0 ? gathered_places_[0].row : std::numeric_limits<std::int64_t>::max();
}

void OutputBlocks::reserve_room(std::uint64_t bytes) {
  if (compressed()) return;
  reserve_disk_room(file_.get(), bytes);
  room_reserved_ = true;  // the room, or part of it where the disk ran out
}

void OutputBlocks::give_back_unused_room() {
  if (room_reserved_) give_back_disk_room(file_.get());
}

}  // namespace cellscale
