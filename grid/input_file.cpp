#include "grid/input_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cellscale {

namespace {

// One read call's worth: within what the Windows C runtime's _read takes.
constexpr std::size_t kLargestRead = std::size_t{1} << 30;

// The system's read: what has arrived, 0 at the end, -1 on an error.
long long read_descriptor(int descriptor, void* into, std::size_t size) {
#ifdef _WIN32
  return _read(descriptor, into, static_cast<unsigned>(size));
#else
  return ::read(descriptor, into, size);
#endif
}

int descriptor_of(std::FILE* file) {
#ifdef _WIN32
  return file == nullptr ? -1 : _fileno(file);
#else
  return file == nullptr ? -1 : fileno(file);
#endif
}

}  // namespace

InputFile::InputFile(FilePtr file, std::string taken)
    : file_(std::move(file)), descriptor_(descriptor_of(file_.get())), taken_(std::move(taken)) {}

std::size_t InputFile::read_some(void* into, std::size_t size) {
  if (served_ < taken_.size()) {
    const std::size_t from_taken = std::min(size, taken_.size() - served_);
    std::memcpy(into, taken_.data() + served_, from_taken);
    served_ += from_taken;
    return from_taken;
  }
  if (failed_ || ended_ || descriptor_ < 0) {
    failed_ = failed_ || descriptor_ < 0;
    return 0;
  }
  while (true) {
    const long long got = read_descriptor(descriptor_, into, std::min(size, kLargestRead));
    if (got > 0) return static_cast<std::size_t>(got);
    if (got == 0) {
      ended_ = true;
    } else if (errno == EINTR) {
      continue;
    } else {
      failed_ = true;
    }
    return 0;
  }
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

}  // namespace cellscale
