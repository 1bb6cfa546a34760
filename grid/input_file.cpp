#include "grid/input_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include <zlib.h>

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

// Compressed bytes read from the stream at a time.
constexpr std::size_t kCompressedBytes = std::size_t{1} << 17;

int descriptor_of(std::FILE* file) {
#ifdef _WIN32
  return file == nullptr ? -1 : _fileno(file);
#else
  return file == nullptr ? -1 : fileno(file);
#endif
}

}  // namespace

#ifdef _WIN32
class InputFile::Wake {};
void InputFile::WakeClose::operator()(Wake* wake) const { delete wake; }
void InputFile::interrupt() {}
void InputFile::resume() {}
bool InputFile::wait_for_input() { return true; }
#else
class InputFile::Wake {
 public:
  // Both ends, or -1 when no pipe could be had (then reads are not
  // interrupted).
  int ends[2] = {-1, -1};
};

void InputFile::WakeClose::operator()(Wake* wake) const {
  for (const int end : wake->ends) {
    if (end >= 0) close(end);
  }
  delete wake;
}

void InputFile::interrupt() {
  if (wake_ == nullptr || wake_->ends[1] < 0) return;
  const char byte = 0;
  (void)!::write(wake_->ends[1], &byte, 1);
}

// The interrupt's bytes are taken back whether or not a read was waiting
// when they came.
void InputFile::resume() {
  if (wake_ != nullptr && wake_->ends[0] >= 0) {
    char bytes[16];
    while (::read(wake_->ends[0], bytes, sizeof bytes) > 0) {
    }
  }
  if (interrupted_) interrupted_ = failed_ = false;
}

bool InputFile::wait_for_input() {
  if (wake_ == nullptr || wake_->ends[0] < 0) return true;
  pollfd waits[2] = {{descriptor_, POLLIN, 0}, {wake_->ends[0], POLLIN, 0}};
  while (poll(waits, 2, -1) < 0) {
    if (errno != EINTR) return true;  // the read itself then says what is wrong
  }
  return (waits[1].revents & POLLIN) == 0;
}
#endif

// The zlib stream lives on the heap, where it stays while the InputFile that
// owns it is moved: zlib keeps the stream's address.
class InputFile::Inflater {
 public:
  z_stream stream{};
  std::unique_ptr<unsigned char[]> compressed{new (std::nothrow) unsigned char[kCompressedBytes]};
  bool between_members = false;  // a member has ended, its check passed; another may follow
  bool done = false;             // no more bytes: the end, or damage
  // Offsets in the decompressed bytes: where the member being decompressed
  // begins, and how many bytes have come out of the stream so far.
  std::uint64_t member_start = 0;
  std::uint64_t produced = 0;
  // Where the member found damaged (or cut before its end) begins.
  std::optional<std::uint64_t> damaged_member;

  // Decompresses the stream's bytes into `into`, up to its `room` bytes,
  // and counts what came out.
  void inflate_into(unsigned char* into, std::size_t room) {
    stream.next_out = into;
    stream.avail_out = static_cast<uInt>(room);
    const int result = inflate(&stream, Z_NO_FLUSH);
    produced += room - stream.avail_out;
    if (result == Z_STREAM_END) {
      between_members = true;
    } else if (result != Z_OK && result != Z_BUF_ERROR) {
      damaged_member = member_start;  // damaged data, a wrong check value, no memory
    }
  }
};

void InputFile::InflaterEnd::operator()(Inflater* inflater) const {
  inflateEnd(&inflater->stream);
  delete inflater;
}

namespace {

// A gzip member begins with its two identifying bytes and the method
// (8, deflate, the only one defined).
constexpr unsigned char kGzipStart[] = {0x1f, 0x8b, 0x08};

// Whether bytes that follow a member may begin another: they are the start
// of one, or as much of it as has arrived.
bool could_start_gzip(const unsigned char* bytes, std::size_t size) {
  return std::memcmp(bytes, kGzipStart, std::min(size, sizeof kGzipStart)) == 0;
}

}  // namespace

bool InputFile::starts_gzip(const unsigned char* bytes, std::size_t size) {
  return size >= sizeof kGzipStart && std::memcmp(bytes, kGzipStart, sizeof kGzipStart) == 0;
}

bool InputFile::decompress() {
  std::unique_ptr<Inflater> inflater(new (std::nothrow) Inflater);
  if (inflater == nullptr || inflater->compressed == nullptr) return false;
  // 16 + 15: a gzip wrapper around the largest window.
  if (inflateInit2(&inflater->stream, 16 + MAX_WBITS) != Z_OK) return false;
  inflater_.reset(inflater.release());
  return true;
}

void InputFile::serve_first(std::string bytes) {
  position_ -= std::min<std::uint64_t>(position_, bytes.size());
  first_ = std::move(bytes);
  first_served_ = 0;
}

InputFile::InputFile(InputFile&&) noexcept = default;
InputFile& InputFile::operator=(InputFile&&) noexcept = default;
InputFile::~InputFile() = default;

InputFile::InputFile(FilePtr file, std::string prefix)
    : file_(std::move(file)), descriptor_(descriptor_of(file_.get())), prefix_(std::move(prefix)) {
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

std::size_t InputFile::read_some(void* into, std::size_t size) {
  std::size_t got = 0;
  if (first_served_ < first_.size()) {
    got = std::min(size, first_.size() - first_served_);
    std::memcpy(into, first_.data() + first_served_, got);
    first_served_ += got;
  } else if (!ctrl_z_met_) {
    got = inflater_ ? read_decompressed(into, size) : read_stream(into, size);
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

// Decompresses what has arrived into `into`; reads more of the stream only
// while nothing has come out. Members follow one another until the stream
// ends or holds bytes that start no member (padding after the last, which
// is left unread). A stream cut inside a member ends there.
std::size_t InputFile::read_decompressed(void* into, std::size_t size) {
  Inflater& inflater = *inflater_;
  z_stream& stream = inflater.stream;
  if (inflater.done) return 0;
  auto* const out = static_cast<unsigned char*>(into);
  const std::size_t room = std::min<std::size_t>(size, std::numeric_limits<uInt>::max());
  std::size_t done = 0;
  while (done < room) {
    if (stream.avail_in == 0) {
      if (done > 0) break;  // some came out: no waiting for more
      if (!fetch_compressed()) {
        inflater.done = true;  // ended_ or failed_ says which
        break;
      }
    }
    if (inflater.between_members) {
      if (!could_start_gzip(stream.next_in, stream.avail_in)) {
        inflater.done = ended_ = true;
        break;
      }
      inflateReset(&stream);
      inflater.between_members = false;
      inflater.member_start = inflater.produced;
    }
    inflater.inflate_into(out + done, room - done);
    done = room - stream.avail_out;
    if (inflater.damaged_member) {
      inflater.done = failed_ = true;
      break;
    }
  }
  return done;
}

bool InputFile::fetch_compressed() {
  Inflater& inflater = *inflater_;
  const std::size_t got = read_stream(inflater.compressed.get(), kCompressedBytes);
  if (got == 0) {
    // A stream that ends inside a member is cut: that member's check is missing.
    if (ended_ && !inflater.between_members) inflater.damaged_member = inflater.member_start;
    return false;
  }
  inflater.stream.next_in = inflater.compressed.get();
  inflater.stream.avail_in = static_cast<uInt>(got);
  return true;
}

bool InputFile::intact_through(std::uint64_t used) {
  if (!inflater_) return true;
  Inflater& inflater = *inflater_;
  if (inflater.damaged_member) return *inflater.damaged_member >= used;
  if (inflater.between_members || inflater.member_start >= used) return true;
  // The member holding the last bytes used is decompressed to its end, which
  // checks it, its bytes dropped. A read that was interrupted goes on.
  resume();
  unsigned char scratch[4096];
  while (!inflater.between_members) {
    if (inflater.stream.avail_in == 0 && !fetch_compressed()) return false;
    inflater.inflate_into(scratch, sizeof scratch);
    if (inflater.damaged_member) return false;
  }
  return true;
}

std::size_t InputFile::read_stream(void* into, std::size_t size) {
  if (served_ < prefix_.size()) {
    const std::size_t from_prefix = std::min(size, prefix_.size() - served_);
    std::memcpy(into, prefix_.data() + served_, from_prefix);
    served_ += from_prefix;
    return from_prefix;
  }
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

bool InputFile::would_wait() const {
  if (first_served_ < first_.size() || ctrl_z_met_) return false;
  if (inflater_) {
    if (inflater_->done) return false;
    if (inflater_->stream.avail_in > 0) return false;
  }
  return stream_would_wait();
}

bool InputFile::stream_would_wait() const {
  if (served_ < prefix_.size() || failed_ || ended_ || descriptor_ < 0) return false;
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
