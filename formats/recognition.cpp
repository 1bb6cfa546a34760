#include "formats/recognition.h"

#include <cstring>

#include "formats/binary_grid.h"

namespace cellscale {

namespace {
// Contract (README, Command line): a binary input must have nodata -9999.
constexpr double kBinaryNodata = -9999.0;
}  // namespace

std::optional<FormatName> recognise_grid(const unsigned char* bytes, std::size_t size) {
  if (size >= 4 && std::memcmp(bytes, "ncol", 4) == 0) return FormatName::ascii_text;
  for (const BinaryWidth width : {BinaryWidth::double_precision, BinaryWidth::single_precision}) {
    const std::size_t nodata_offset = static_cast<std::size_t>(width) * (kNodataValue - 1);
    const std::size_t nodata_end = nodata_offset + static_cast<std::size_t>(width);
    if (size >= nodata_end && decode_binary_value(width, bytes + nodata_offset) == kBinaryNodata) {
      return width == BinaryWidth::double_precision ? FormatName::double_binary : FormatName::single_binary;
    }
  }
  return std::nullopt;
}

}  // namespace cellscale
