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
#include <functional>
#include <memory>

#include "grid/grid_format.h"
#include "grid/input_file.h"

namespace cellscale {

enum class BinaryWidth : std::size_t { single_precision = 4, double_precision = 8 };

constexpr std::size_t header_bytes(BinaryWidth width) { return static_cast<std::size_t>(width) * kHeaderSlots; }

constexpr std::size_t statistics_offset(BinaryWidth width) {
  return static_cast<std::size_t>(width) * kGeometrySlots;
}

// The value of the little-endian number of the given width at bytes.
[[nodiscard]] double decode_binary_value(BinaryWidth width, const unsigned char* bytes);

// The count of cells and the wrapping sum of their bit patterns (a double's
// 64 bits, a single's 32) as they were read: two readings of a grid's cells
// that give the same sum read the same cells (a file changed between them
// almost surely gives another).
struct CellSum {
  std::uint64_t cells = 0;
  std::uint64_t bits = 0;
  void add(const double* values, std::size_t count);
  void add(const float* values, std::size_t count);
  bool operator==(const CellSum&) const = default;
};

// A plain binary grid's cells read a second time, by their place in the
// file, through the descriptor its reader reads: reads by position leave
// the reader's own place alone, so another thread may do them while the
// reader reads (GridReader::cells_again gives one where the input is a
// regular file read byte for byte; not on Windows).
class CellsAgain {
 public:
  using Take = std::function<void(const double* cells, std::size_t count)>;
  CellsAgain(int descriptor, BinaryWidth width, std::uint64_t first_cell_at)
      : descriptor_(descriptor), width_(width), first_cell_at_(first_cell_at) {}
  // Reads the first `count` cells in order, widened to doubles, and gives
  // them to `take` a part at a time. Stops early where the file ends or a
  // read fails. The sum of the cells read.
  [[nodiscard]] CellSum read_all(std::uint64_t count, const Take& take) const;

 private:
  int descriptor_;
  BinaryWidth width_;
  std::uint64_t first_cell_at_;
};

[[nodiscard]] std::unique_ptr<GridReader> make_binary_grid_reader(BinaryWidth width, InputFile input);
// With `gzip` the output is written gzip-compressed; it must be a file
// that can be written again at its start, as a plain output must.
[[nodiscard]] std::unique_ptr<GridWriter> make_binary_grid_writer(BinaryWidth width, FilePtr output, bool gzip);

}  // namespace cellscale
