#include "files/gzip_input.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include <zlib.h>

#include "files/raw_input.h"

namespace cellscale {

namespace {

// Compressed bytes read from the stream at a time.
constexpr std::size_t kCompressedBytes = std::size_t{1} << 17;

// A gzip member begins with its two identifying bytes and the method
// (8, deflate, the only one defined).
constexpr unsigned char kGzipStart[] = {0x1f, 0x8b, 0x08};

// Whether bytes that follow a member may begin another: they are the start
// of one, or as much of it as has arrived.
bool could_start_gzip(const unsigned char* bytes, std::size_t size) {
  return std::memcmp(bytes, kGzipStart, std::min(size, sizeof kGzipStart)) == 0;
}

}  // namespace

bool starts_gzip(const unsigned char* bytes, std::size_t size) {
  return size >= sizeof kGzipStart && std::memcmp(bytes, kGzipStart, sizeof kGzipStart) == 0;
}

class GzipInput::Inflater {
 public:
  Inflater() = default;
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() {
    if (ready) inflateEnd(&stream);
  }

  // Decompresses the stream's bytes into `into`, up to its `room` bytes,
  // and counts what came out.
  void inflate_into(unsigned char* into, std::size_t room) {
    stream.next_out = into;
    stream.avail_out = static_cast<uInt>(room);
    const int result = inflate(&stream, Z_NO_FLUSH);
    produced += room - stream.avail_out;
    if (result == Z_STREAM_END) {
      between_members = true;
    } else if (result == Z_MEM_ERROR) {
      member_damaged = out_of_memory = true;
    } else if (result != Z_OK && result != Z_BUF_ERROR) {
      member_damaged = true;  // damaged data, a wrong check value
    }
  }

  // Reads more of the stream for the inflater; false at its end or on a
  // failed read.
  bool fetch_compressed() {
    const std::size_t got = compressed.read_some(bytes.get(), kCompressedBytes);
    if (got == 0) {
      // A stream that ends inside a member is cut: that member's check is missing.
      if (compressed.ended() && !between_members) member_damaged = true;
      return false;
    }
    stream.next_in = bytes.get();
    stream.avail_in = static_cast<uInt>(got);
    return true;
  }

  RawInput compressed;
  z_stream stream{};
  bool ready = false;  // inflateInit2 has succeeded
  std::unique_ptr<unsigned char[]> bytes{new (std::nothrow) unsigned char[kCompressedBytes]};
  bool between_members = false;  // a member has ended, its check passed; another may follow
  bool member_damaged = false;   // the member being decompressed is damaged, or cut before its end
  bool out_of_memory = false;    // the inflater's memory could not be had
  bool done = false;             // no more bytes: the end, damage, or a failed read
  bool failed = false;           // a read found no memory to decompress in
  bool ended = false;            // damaged data, or bytes that start no member after one, met by a read
  // Offsets in the decompressed bytes: where the member being decompressed
  // begins, and how many bytes have come out so far.
  std::uint64_t member_start = 0;
  std::uint64_t produced = 0;
};

GzipInput::GzipInput() = default;
GzipInput::GzipInput(GzipInput&&) noexcept = default;
GzipInput& GzipInput::operator=(GzipInput&&) noexcept = default;
GzipInput::~GzipInput() = default;

GzipInput GzipInput::open(RawInput& compressed, std::string_view start) {
  GzipInput input;
  if (start.size() > kCompressedBytes) return input;
  std::unique_ptr<Inflater> inflater(new (std::nothrow) Inflater);
  if (inflater == nullptr || inflater->bytes == nullptr) return input;
  // 16 + 15: a gzip wrapper around the largest window.
  if (inflateInit2(&inflater->stream, 16 + MAX_WBITS) != Z_OK) return input;
  inflater->ready = true;
  // The bytes read already are the first the inflater takes, as though the
  // stream had just given them.
  std::copy(start.begin(), start.end(), inflater->bytes.get());
  inflater->stream.next_in = inflater->bytes.get();
  inflater->stream.avail_in = static_cast<uInt>(start.size());
  inflater->compressed = std::move(compressed);
  input.inflater_ = std::move(inflater);
  return input;
}

// Members follow one another until the stream ends or holds bytes that start
// no member. A stream cut inside a member ends there.
std::size_t GzipInput::read_some(void* into, std::size_t size) {
  Inflater& inflater = *inflater_;
  z_stream& stream = inflater.stream;
  if (inflater.done) return 0;
  auto* const out = static_cast<unsigned char*>(into);
  const std::size_t room = std::min<std::size_t>(size, std::numeric_limits<uInt>::max());
  std::size_t done = 0;
  while (done < room) {
    if (stream.avail_in == 0) {
      if (done > 0) break;  // some came out: no waiting for more
      if (!inflater.fetch_compressed()) {
        inflater.done = true;  // the stream's ended() or failed() says which
        break;
      }
    }
    if (inflater.between_members) {
      if (!could_start_gzip(stream.next_in, stream.avail_in)) {
        inflater.done = inflater.ended = true;
        break;
      }
      inflateReset(&stream);
      inflater.between_members = false;
      inflater.member_start = inflater.produced;
    }
    inflater.inflate_into(out + done, room - done);
    done = room - stream.avail_out;
    if (inflater.member_damaged) {
      // Damaged data ends the bytes where it is found, as a stream cut there
      // ends them: those that came out before it are the input's last, the
      // last number among them read as far as it goes. Only a lack of
      // memory fails the read.
      inflater.done = true;
      (inflater.out_of_memory ? inflater.failed : inflater.ended) = true;
      break;
    }
  }
  return done;
}

bool GzipInput::would_wait() const {
  if (inflater_->done || inflater_->stream.avail_in > 0) return false;
  return inflater_->compressed.would_wait();
}

void GzipInput::interrupt() { inflater_->compressed.interrupt(); }

bool GzipInput::failed() const { return inflater_->failed || inflater_->compressed.failed(); }

bool GzipInput::ended() const { return inflater_->ended || inflater_->compressed.ended(); }

// The members before the one being decompressed have passed their checks;
// the bytes used are whole when they lie in those, or when the member being
// decompressed, which holds the last of them, reaches its end and passes its
// own check.
bool GzipInput::intact_through(std::uint64_t used) {
  Inflater& inflater = *inflater_;
  if (inflater.member_start >= used) return true;
  if (!inflater.between_members && !inflater.member_damaged) {
    // A read that was interrupted goes on.
    inflater.compressed.resume();
    unsigned char scratch[4096];
    while (!inflater.between_members && !inflater.member_damaged &&
           (inflater.stream.avail_in > 0 || inflater.fetch_compressed())) {
      inflater.inflate_into(scratch, sizeof scratch);
    }
  }
  return inflater.between_members;
}

}  // namespace cellscale
