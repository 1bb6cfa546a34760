#pragma once

// The work on the cells themselves: every cell that is not nodata is
// multiplied by the factor, nodata passes through, and the results are taken
// into the statistics in row order.

#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "grid/binary_grid.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cellscale {

namespace detail {

// scaled[i] = in[i] (widened) == nodata ? nodata : in[i] * factor, for i below
// count. Two cells at a time where the processor has SSE2 (every x86-64):
// a compiler keeps the choice as a branch there, as a comparison might trap;
// these instructions take every cell exactly as the plain loop does.
template <typename In>
void scale_part(const In* in, double* scaled, std::size_t count, double nodata, double factor) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128d nodata_pair = _mm_set1_pd(nodata);
  const __m128d factor_pair = _mm_set1_pd(factor);
  auto scale_pair = [&](std::size_t at) {
    __m128d cells;
    if constexpr (std::is_same_v<In, double>) {
      cells = _mm_loadu_pd(in + at);
    } else {
      cells = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + at))));
    }
    const __m128d product = _mm_mul_pd(cells, factor_pair);
    const __m128d is_nodata = _mm_cmpeq_pd(cells, nodata_pair);
    _mm_storeu_pd(scaled + at, _mm_or_pd(_mm_and_pd(is_nodata, nodata_pair), _mm_andnot_pd(is_nodata, product)));
  };
  // Four pairs a round, which leaves the loop's own instructions a quarter.
  for (; i + 8 <= count; i += 8) {
    scale_pair(i);
    scale_pair(i + 2);
    scale_pair(i + 4);
    scale_pair(i + 6);
  }
  for (; i + 2 <= count; i += 2) scale_pair(i);
#endif
  for (; i < count; ++i) {
    const double cell = static_cast<double>(in[i]);
    const double product = cell * factor;
    scaled[i] = cell == nodata ? nodata : product;
  }
}

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

// The ways scale_and_sum_cells may take, for the tests: whether this
// processor has AVX2, and a way chosen (false: the portable one).
bool can_scale_with_avx2();
template <typename In, typename Out>
void scale_and_sum_cells_by(bool avx2, const In* in, Out* out, std::size_t count, double nodata, double factor,
                            CellSum& read);

}  // namespace detail

}  // namespace cellscale
