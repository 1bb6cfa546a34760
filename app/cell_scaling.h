#pragma once

// The work on the cells themselves: every cell that is not nodata is
// multiplied by the factor, nodata passes through, and the results are taken
// into the statistics in row order.

#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "stats/cell_stats.h"

namespace cellscale {

// Scales `count` cells from `in` (doubles, or singles widened exactly) into
// `out` (doubles, or singles rounded to nearest) and adds every result, as a
// double, to the statistics. The comparison with nodata is exact, so a NaN
// cell is multiplied and, with nodata 0, a -0 cell is nodata.
//
// The cells go in parts that stay in the first-level cache between the
// scaling, which has no branch and is vectorised, and the statistics.
template <typename In, typename Out>
void scale_cells(const In* in, Out* out, std::size_t count, double nodata, double factor, CellStats& stats) {
  static_assert(std::is_same_v<In, double> || std::is_same_v<In, float>);
  static_assert(std::is_same_v<Out, double> || std::is_same_v<Out, float>);
  constexpr std::size_t kPart = 512;
  double scaled_part[kPart];
  while (count > 0) {
    const std::size_t part = std::min(count, kPart);
    double* scaled = scaled_part;
    if constexpr (std::is_same_v<Out, double>) scaled = out;
    for (std::size_t i = 0; i < part; ++i) {
      const double cell = static_cast<double>(in[i]);
      // The product is taken for every cell, so that the choice is a blend
      // rather than a branch.
      const double product = cell * factor;
      scaled[i] = cell == nodata ? nodata : product;
    }
    if constexpr (std::is_same_v<Out, float>) {
      for (std::size_t i = 0; i < part; ++i) out[i] = static_cast<float>(scaled[i]);
    }
    stats.add_all(scaled, part);
    in += part;
    out += part;
    count -= part;
  }
}

}  // namespace cellscale
