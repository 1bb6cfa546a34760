#include "formats/grid_header.h"

#include <cmath>
#include <limits>

namespace cellscale {

namespace {
constexpr double kLargestInt32 = std::numeric_limits<std::int32_t>::max();
}

std::optional<std::int32_t> column_count(const GridHeader& header) {
  const double whole = std::trunc(header.ncols());
  if (!(whole >= 0 && whole <= kLargestInt32)) return std::nullopt;  // also refuses NaN
  return static_cast<std::int32_t>(whole);
}

std::optional<std::int64_t> row_count(const GridHeader& header) {
  const double nrows = header.nrows();
  if (nrows > kLargestInt32) return std::nullopt;
  if (!(nrows >= 1)) return 0;
  return static_cast<std::int64_t>(std::floor(nrows));
}

}  // namespace cellscale
