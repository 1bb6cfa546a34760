#include "files/raw_input.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
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

#ifdef _WIN32
class RawInput::Wake {};
void RawInput::WakeClose::operator()(Wake* wake) const { delete wake; }
void RawInput::interrupt() {}
void RawInput::resume() {}
bool RawInput::wait_for_input() { return true; }
#else
class RawInput::Wake {
 public:
  // Both ends, or -1 when no pipe could be had (then reads are not
  // interrupted).
  int ends[2] = {-1, -1};
};

void RawInput::WakeClose::operator()(Wake* wake) const {
  for (const int end : wake->ends) {
    if (end >= 0) close(end);
  }
  delete wake;
}

void RawInput::interrupt() {
  if (wake_ == nullptr || wake_->ends[1] < 0) return;
  const char byte = 0;
  (void)!::write(wake_->ends[1], &byte, 1);
}

// The interrupt's bytes are taken back whether or not a read was waiting
// when they came.
void RawInput::resume() {
  if (wake_ != nullptr && wake_->ends[0] >= 0) {
    char bytes[16];
    while (::read(wake_->ends[0], bytes, sizeof bytes) > 0) {
    }
  }
  if (interrupted_) interrupted_ = failed_ = false;
}

bool RawInput::wait_for_input() {
  if (wake_ == nullptr || wake_->ends[0] < 0) return true;
  pollfd waits[2] = {{descriptor_, POLLIN, 0}, {wake_->ends[0], POLLIN, 0}};
  while (poll(waits, 2, -1) < 0) {
    if (errno != EINTR) return true;  // the read itself then says what is wrong
  }
  return (waits[1].revents & POLLIN) == 0;
}
#endif

RawInput::RawInput(FilePtr file) : file_(std::move(file)), descriptor_(descriptor_of(file_.get())) {
#ifndef _WIN32
  struct stat status {};
  if (descriptor_ >= 0 && fstat(descriptor_, &status) == 0 && !S_ISREG(status.st_mode)) {
    wake_.reset(new Wake);
    if (pipe(wake_->ends) != 0) {
      wake_->ends[0] = wake_->ends[1] = -1;
    } else {
      for (const int end : wake_->ends) fcntl(end, F_SETFD, FD_CLOEXEC);
      // Emptied without waiting when a read goes on after an interrupt.
      fcntl(wake_->ends[0], F_SETFL, O_NONBLOCK);
    }
  }
#endif
}

std::size_t RawInput::read_some(void* into, std::size_t size) {
  if (failed_ || ended_ || file_ == nullptr) {
    failed_ = failed_ || file_ == nullptr;
    return 0;
  }
  if (descriptor_ < 0) {
    // A stream with no descriptor of its own (one in memory) is read
    // through the stream.
    const std::size_t got = std::fread(into, 1, size, file_.get());
    failed_ = got == 0 && std::ferror(file_.get()) != 0;
    ended_ = got == 0 && !failed_;
    return got;
  }
  while (true) {
    if (!wait_for_input()) {
      failed_ = interrupted_ = true;
      return 0;
    }
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

bool RawInput::would_wait() const {
  if (failed_ || ended_ || descriptor_ < 0) return false;
#ifdef _WIN32
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor_));
  if (GetFileType(handle) != FILE_TYPE_PIPE) return false;
  DWORD available = 0;
  return PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) && available == 0;
#else
  pollfd input{descriptor_, POLLIN, 0};
  return poll(&input, 1, 0) == 0;
#endif
}

int RawInput::file_descriptor_at(std::uint64_t position) const {
#ifdef _WIN32
  (void)position;
  return -1;
#else
  struct stat status {};
  if (descriptor_ < 0 || failed_ || fstat(descriptor_, &status) != 0 || !S_ISREG(status.st_mode)) {
    return -1;
  }
  const off_t at = lseek(descriptor_, 0, SEEK_CUR);
  return at >= 0 && static_cast<std::uint64_t>(at) == position ? descriptor_ : -1;
#endif
}

}  // namespace cellscale
