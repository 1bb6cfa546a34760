#pragma once

// The record that describes a grid: twelve values numbered from 1 to 12, the
// geometry block (slots 1 to 6) and the statistics block (slots 7 to 12). Every
// format reads and writes the same record, and the header of an output grid is
// the header of its input grid.

#include <array>
#include <cstdint>
#include <optional>

namespace cellscale {

enum HeaderSlot : int {
  kNcols = 1,
  kNrows = 2,
  kXllcorner = 3,
  kYllcorner = 4,
  kCellsize = 5,
  kNodataValue = 6,
  kCount = 7,
  kMinimum = 8,
  kMaximum = 9,
  kSum = 10,
  kMean = 11,
  kStandardDeviation = 12,
};

inline constexpr int kHeaderSlots = 12;
inline constexpr int kGeometrySlots = 6;

struct GridHeader {
  // Entry 0 is never used, so that slot numbers and positions agree.
  std::array<double, kHeaderSlots + 1> slot{};

  double ncols() const { return slot[kNcols]; }
  double nrows() const { return slot[kNrows]; }
  double nodata_value() const { return slot[kNodataValue]; }
};

// The number of cells in a row: ncols truncated toward zero to 32 bits. Empty
// when ncols is NaN, negative as a whole number, or too large for 32 bits.
[[nodiscard]] std::optional<std::int32_t> column_count(const GridHeader& header);

// The number of rows a run visits: row r is visited while nrows >= r, so NaN
// and anything below 1 give no rows. Empty when nrows exceeds 2147483647,
// which 32-bit row numbers cannot count.
[[nodiscard]] std::optional<std::int64_t> row_count(const GridHeader& header);

}  // namespace cellscale
