#include "formats/recognition.h"

#include <cstring>
#include <string_view>

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

std::string describe_unrecognised(const unsigned char* bytes, std::size_t size) {
  const auto starts = [bytes, size](std::string_view magic) {
    return size >= magic.size() && std::memcmp(bytes, magic.data(), magic.size()) == 0;
  };
  if (size == 0) return "is empty";
  if (starts("\x89PNG")) return "is a PNG image, not a grid";
  if (starts("II*") || starts(std::string_view("MM\0*", 4))) return "is a TIFF image, not a grid";
  if (starts("%PDF")) return "is a PDF document, not a grid";
  const char* compression = starts(std::string_view("\xFD"
                                                    "7zXZ\0",
                                                    6))
                                ? "xz"
                            : starts("BZh")              ? "bzip2"
                            : starts("\x28\xB5\x2F\xFD") ? "zstd"
                            : starts("PK\x03\x04")       ? "zip"
                                                         : nullptr;
  if (compression != nullptr) {
    return "is compressed with " + std::string(compression) + ": unpack it first (gzip is read as it is)";
  }
  // Text: letters, digits, blanks and punctuation of ASCII in every byte seen.
  bool text = true;
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char c = bytes[i];
    text = text && (c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7F));
  }
  if (text) return "is text that does not begin with \"ncols\" in lower case, as a text grid does";
  return "is no grid (a binary grid holds the nodata value -9999 in bytes 41 to 48 as a double, or in bytes 21 "
         "to 24 as a single)";
}

}  // namespace cellscale
