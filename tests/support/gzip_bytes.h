#pragma once

// gzip files made and read by the tests with zlib itself, none of the tool's
// code: the bytes of a grid compressed as one or more members, and the bytes
// a stream, whole or cut, decompresses to.

#include <zlib.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace cellscale::testing {

// `bytes` compressed as one gzip member for each piece between the cuts
// (offsets into `bytes`, in order), one after another as parallel
// compressors write them. Level 0 keeps the bytes as they are (stored
// blocks), 15 bytes into a member of under 64 KiB.
inline std::string gzip_members(const std::string& bytes, const std::vector<std::size_t>& cuts = {}, int level = 6) {
  std::string gz;
  std::size_t from = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(bytes.size());
  for (const std::size_t to : ends) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      throw std::runtime_error("deflateInit2");
    }
    std::string member(deflateBound(&stream, to - from) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + from));
    stream.avail_in = static_cast<uInt>(to - from);
    stream.next_out = reinterpret_cast<Bytef*>(member.data());
    stream.avail_out = static_cast<uInt>(member.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
    member.resize(stream.total_out);
    deflateEnd(&stream);
    gz += member;
    from = to;
  }
  return gz;
}

// What a gzip stream decompresses to, member after member, as far as its
// bytes go: all of it when it is whole, what a cut leaves when it is cut.
// `intact`, when given, is set when every member ended with its check.
inline std::string gunzip(const std::string& gz, bool* intact = nullptr) {
  std::string out;
  std::size_t at = 0;
  bool whole = true;
  while (at < gz.size()) {
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) throw std::runtime_error("inflateInit2");
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data() + at));
    stream.avail_in = static_cast<uInt>(gz.size() - at);
    int result = Z_OK;
    char buffer[4096];
    do {
      stream.next_out = reinterpret_cast<Bytef*>(buffer);
      stream.avail_out = sizeof buffer;
      result = inflate(&stream, Z_NO_FLUSH);
      out.append(buffer, sizeof buffer - stream.avail_out);
    } while (result == Z_OK);
    at += stream.total_in;
    inflateEnd(&stream);
    if (result != Z_STREAM_END) {
      whole = false;
      break;
    }
  }
  if (intact != nullptr) *intact = whole;
  return out;
}

}  // namespace cellscale::testing
