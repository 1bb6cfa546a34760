#pragma once

// The work on the cells themselves: every cell that is not nodata is
// multiplied by the factor, nodata passes through, and the results are taken
// into the statistics in row order.

#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "grid/binary_grid.h"
#include "grid/instruction_set.h"

namespace cellscale {

namespace detail {

// scaled[i] = in[i] (widened) == nodata ? nodata : in[i] * factor, for i below
// count: four cells at a time with AVX2 where the processor has it, else two
// with SSE2 (every x86-64), else one (chosen_instruction_set decides). A
// compiler keeps the choice as a branch in a plain loop, as a comparison
// might trap; these instructions take every cell exactly as the plain loop
// does.
template <typename In>
void scale_part(const In* in, double* scaled, std::size_t count, double nodata, double factor);

}  // namespace detail

// Scales `count` cells from `in` (doubles, or singles widened exactly) into
// `out` (doubles, or singles rounded to nearest) and adds every result, as a
// double, to the statistics (a CellStats, or its thread's StatisticsBeside),
// unless `stats` is null (a text output, which has no place for them). The
// comparison with nodata is exact, so a NaN cell is multiplied and, with
// nodata 0, a -0 cell is nodata.
//
// The cells go in parts that stay in the first-level cache between the
// scaling and the statistics: 4 KiB of doubles scaled for a single output,
// or 16 KiB of the double output itself. The longer the parts, the fewer
// of the statistics' groups of 512 values span two of them and are gathered.
template <typename In, typename Out, typename Statistics>
void scale_cells(const In* in, Out* out, std::size_t count, double nodata, double factor, Statistics* stats) {
  static_assert(std::is_same_v<In, double> || std::is_same_v<In, float>);
  static_assert(std::is_same_v<Out, double> || std::is_same_v<Out, float>);
  constexpr std::size_t kSinglePart = 512;
  constexpr std::size_t kPart = std::is_same_v<Out, double> ? 4 * kSinglePart : kSinglePart;
  double scaled_part[kSinglePart];
  while (count > 0) {
    const std::size_t part = std::min(count, kPart);
    double* scaled = scaled_part;
    if constexpr (std::is_same_v<Out, double>) scaled = out;
    detail::scale_part(in, scaled, part, nodata, factor);
    if constexpr (std::is_same_v<Out, float>) {
      for (std::size_t i = 0; i < part; ++i) out[i] = static_cast<float>(scaled[i]);
    }
    if (stats != nullptr) stats->add_all(scaled, part);
    in += part;
    out += part;
    count -= part;
  }
}

// Scales as scale_cells does, for a run whose statistics are taken from a
// second reading of the input (threads/second_reading.h), and adds the cells
// of `in` to `read`, the run's side of the check that both readings met the
// same cells. One pass over the cells, four at a time with AVX2 where the
// processor has it: the run's own thread reads and writes the grid besides,
// and on two processors it is the one the run waits for.
template <typename In, typename Out>
void scale_and_sum_cells(const In* in, Out* out, std::size_t count, double nodata, double factor, CellSum& read);

namespace detail {

// scale_part and scale_and_sum_cells the way they take for an instruction
// set, which must be one the processor runs: one cell at a time (portable),
// two with SSE2, four with AVX2 (avx2 and above). For the tests.
template <typename In>
void scale_part_using(InstructionSet set, const In* in, double* scaled, std::size_t count, double nodata,
                      double factor);
template <typename In, typename Out>
void scale_and_sum_cells_using(InstructionSet set, const In* in, Out* out, std::size_t count, double nodata,
                               double factor, CellSum& read);

}  // namespace detail

}  // namespace cellscale
