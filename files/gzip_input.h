#pragma once

// A gzip input (one that starts with the bytes 1f 8b 08, whatever its name)
// is decompressed as it is read, in one pass: its bytes are the bytes it
// decompresses to, member after member, until the stream ends or holds bytes
// that start no member (padding after the last, which is left unread). A
// stream that is cut ends the input where its decompressed bytes end, as a
// cut grid ends, and so does one damaged where the damage is found: the two
// read alike, in whichever member it lies. Damage that only the
// check at a member's end shows (its CRC-32 and size) may come after the last
// bytes a grid needs: intact_through checks the member that holds them.
// (The members of a gzip output are made by files/gzip_member.h.)

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace cellscale {

class RawInput;  // files/raw_input.h

// Whether bytes that start an input start a gzip stream: 1f 8b, and the
// method 08 (deflate), so that a binary grid whose first bytes happen to be
// 1f 8b is still a grid.
[[nodiscard]] bool starts_gzip(const unsigned char* bytes, std::size_t size);

// The bytes a RawInput's gzip stream decompresses to, read as RawInput's own
// are: read_some, would_wait, interrupt. Empty until opened.
class GzipInput {
 public:
  // Takes `compressed` over and decompresses `start`, the bytes already
  // read from it (to tell that it is gzip), then the stream from its next
  // byte on. An empty one, `compressed` left as it was, when the memory for
  // it cannot be had, or `start` is longer than the bytes the inflater
  // takes at a time (128 KiB).
  [[nodiscard]] static GzipInput open(RawInput& compressed, std::string_view start = {});
  GzipInput();
  GzipInput(GzipInput&&) noexcept;
  GzipInput& operator=(GzipInput&&) noexcept;
  ~GzipInput();

  // Whether it was opened.
  explicit operator bool() const { return inflater_ != nullptr; }

  // Decompresses what has arrived into `into`, up to `size` (at least 1)
  // bytes; reads more of the stream only while nothing has come out. 0 only
  // at the end of the bytes, on damage or on a failed read.
  [[nodiscard]] std::size_t read_some(void* into, std::size_t size);
  [[nodiscard]] bool would_wait() const;
  void interrupt();

  // A stream that ends, inside a member or not, ends the input, as do
  // damaged data and bytes after a member that start no other; a failed
  // read of the stream, or no memory to decompress in, fails it.
  [[nodiscard]] bool failed() const;
  [[nodiscard]] bool ended() const;

  // Whether the first `used` decompressed bytes came through whole: the
  // member that holds byte `used` - 1 is decompressed to its end if it has
  // not been yet, its bytes dropped, and its check must pass, as those of
  // the members before it have; members after it are not looked at. Reads
  // on after a read that interrupt() ended. Not called while another thread
  // reads.
  [[nodiscard]] bool intact_through(std::uint64_t used);

 private:
  // The compressed stream, zlib's inflate stream over it and where it has
  // got to. On the heap, where it stays as the GzipInput is moved: zlib
  // keeps the stream's address.
  class Inflater;
  std::unique_ptr<Inflater> inflater_;
};

}  // namespace cellscale
