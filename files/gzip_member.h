#pragma once

// gzip members made from an output's bytes. A gzip file may hold any number
// of members one after another, and decompresses to their bytes in order, so
// an output compressed a piece at a time, each piece a member of its own, is
// one gzip file, and the pieces may be compressed independently.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cellscale {

// Whether an output of this name is written gzip-compressed: it ends in
// ".gz", in any letter case.
[[nodiscard]] bool names_gzip_file(const std::string& name);

// The bytes of a member that keeps its data as it is (a stored deflate
// block): kStoredMemberStart bytes, the data, kStoredMemberEnd bytes. At
// most 65535 bytes of data.
inline constexpr std::size_t kStoredMemberStart = 15;
inline constexpr std::size_t kStoredMemberEnd = 8;
[[nodiscard]] std::string stored_gzip_member(const char* data, std::size_t size);

// The last eight bytes of a member of `data`: its CRC-32 and size.
[[nodiscard]] std::string gzip_member_end(const char* data, std::size_t size);

// Compresses pieces of an output into members, reusing its memory from one
// to the next. One compressor is used by one thread at a time.
class GzipCompressor {
 public:
  // `crlf_lines`: each "\n" of the data is compressed as "\r\n", as a text
  // file written in text mode on Windows holds it.
  explicit GzipCompressor(bool crlf_lines);
  GzipCompressor(const GzipCompressor&) = delete;
  GzipCompressor& operator=(const GzipCompressor&) = delete;
  ~GzipCompressor();

  // False when its memory could not be had.
  explicit operator bool() const;

  // Puts the member of `size` bytes at `data` in `member`. False when
  // memory failed.
  [[nodiscard]] bool compress(const char* data, std::size_t size, std::vector<unsigned char>& member);

 private:
  class Stream;
  std::unique_ptr<Stream> stream_;
};

}  // namespace cellscale
