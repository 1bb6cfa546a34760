#pragma once

// The formatter's row loops, for the tests that run each of them: the
// portable one, and those that take four or eight cells at a time where the
// processor can.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "grid/cell_format_detail.h"

namespace cellscale::testing {

using RowLoop = char* (*)(char*, const double*, std::size_t, const char*, std::uint32_t*, const CellScaling*);

inline std::vector<RowLoop> row_loops() {
  std::vector<RowLoop> loops = {detail::format_cells_portable};
#if CELLSCALE_AVX2_CELLS
  if (detail::has_avx2_and_fma()) loops.push_back(detail::format_cells_avx2);
  if (detail::has_avx512()) loops.push_back(detail::format_cells_avx512);
#endif
  return loops;
}

}  // namespace cellscale::testing
