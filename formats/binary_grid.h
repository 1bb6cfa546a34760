#pragma once

// The binary grids "double" and "single": a header of the twelve header
// values in slot order (96 bytes of IEEE 754 binary64, or 48 bytes of
// binary32), then nrows rows of column_count cells (ncols truncated), row after
// row, with no separators or padding. Numbers are little-endian whatever the
// host. Slots 7 to 12 form the statistics block (bytes 48 to 95, or 24 to 47),
// which is written again when the run ends.
//
// "single" values are widened exactly on reading and narrowed to the nearest
// binary32 value on writing.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "files/input_file.h"
#include "formats/grid_format.h"

namespace cellscale {

enum class BinaryWidth : std::size_t { single_precision = 4, double_precision = 8 };

constexpr std::size_t header_bytes(BinaryWidth width) { return static_cast<std::size_t>(width) * kHeaderSlots; }

constexpr std::size_t statistics_offset(BinaryWidth width) {
  return static_cast<std::size_t>(width) * kGeometrySlots;
}

// The value of the little-endian number of the given width at bytes.
[[nodiscard]] double decode_binary_value(BinaryWidth width, const unsigned char* bytes);

[[nodiscard]] std::unique_ptr<GridReader> make_binary_grid_reader(BinaryWidth width, InputFile input);
// With `gzip` the output is written gzip-compressed; it must be a file
// that can be written again at its start, as a plain output must.
[[nodiscard]] std::unique_ptr<GridWriter> make_binary_grid_writer(BinaryWidth width, FilePtr output, bool gzip);

}  // namespace cellscale
