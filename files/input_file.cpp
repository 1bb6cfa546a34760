#include "files/input_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace cellscale {

InputFile::InputFile(FilePtr file) : raw_(std::move(file)) {}
InputFile::InputFile(InputFile&&) noexcept = default;
InputFile& InputFile::operator=(InputFile&&) noexcept = default;
InputFile::~InputFile() = default;

bool InputFile::decompress(std::string_view start) {
  gzip_ = GzipInput::open(raw_, start);
  return static_cast<bool>(gzip_);
}

void InputFile::serve_first(std::string bytes) {
  position_ -= std::min<std::uint64_t>(position_, bytes.size());
  first_ = std::move(bytes);
  first_served_ = 0;
}

std::size_t InputFile::read_some(void* into, std::size_t size) {
  std::size_t got = 0;
  if (first_served_ < first_.size()) {
    got = std::min(size, first_.size() - first_served_);
    std::memcpy(into, first_.data() + first_served_, got);
    first_served_ += got;
  } else if (!ctrl_z_met_) {
    got = gzip_ ? gzip_.read_some(into, size) : raw_.read_some(into, size);
  }
  if (ends_at_ctrl_z_ && !ctrl_z_met_) {
    if (const void* ctrl_z = std::memchr(into, 0x1a, got)) {
      got = static_cast<std::size_t>(static_cast<const char*>(ctrl_z) - static_cast<const char*>(into));
      ctrl_z_met_ = true;
    }
  }
  position_ += got;
  return got;
}

int InputFile::plain_file_descriptor() const {
  if (gzip_ || first_served_ < first_.size() || ends_at_ctrl_z_) return -1;
  return raw_.file_descriptor_at(position_);
}

std::uint64_t InputFile::plain_file_size() const {
#ifdef _WIN32
  return 0;
#else
  const int descriptor = plain_file_descriptor();
  struct stat status {};
  if (descriptor < 0 || fstat(descriptor, &status) != 0) return 0;
  return static_cast<std::uint64_t>(status.st_size);
#endif
}

std::size_t InputFile::read(void* into, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const std::size_t got = read_some(static_cast<char*>(into) + done, size - done);
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool InputFile::would_wait() const {
  if (first_served_ < first_.size() || ctrl_z_met_) return false;
  return gzip_ ? gzip_.would_wait() : raw_.would_wait();
}

bool InputFile::intact_through(std::uint64_t used) { return !gzip_ || gzip_.intact_through(used); }

bool InputFile::failed() const { return gzip_ ? gzip_.failed() : raw_.failed(); }

bool InputFile::ended() const { return ctrl_z_met_ || (gzip_ ? gzip_.ended() : raw_.ended()); }

void InputFile::interrupt() {
  if (gzip_) {
    gzip_.interrupt();
  } else {
    raw_.interrupt();
  }
}

}  // namespace cellscale
