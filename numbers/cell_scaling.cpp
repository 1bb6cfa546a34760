#include "numbers/cell_scaling.h"

#include <cstdint>
#include <type_traits>

#include "numbers/scaling_rule.h"

namespace cellscale {

namespace {

template <typename In>
using ScalePart = void (*)(const In*, double*, std::size_t, double, double);

// One cell at a time: the way for every processor.
template <typename In>
void scale_part_portable(const In* in, double* scaled, std::size_t count, double nodata, double factor) {
  for (std::size_t i = 0; i < count; ++i) scaled[i] = scale_cell(static_cast<double>(in[i]), nodata, factor);
}

#if CELLSCALE_X86_SCALING_RULE
// Two cells at a time with SSE2 (every x86-64).
template <typename In>
void scale_part_sse2(const In* in, double* scaled, std::size_t count, double nodata, double factor) {
  std::size_t i = 0;
  const __m128d nodata_pair = _mm_set1_pd(nodata);
  const __m128d factor_pair = _mm_set1_pd(factor);
  auto scale_pair = [&](std::size_t at) {
    __m128d cells;
    if constexpr (std::is_same_v<In, double>) {
      cells = _mm_loadu_pd(in + at);
    } else {
      cells = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + at))));
    }
    _mm_storeu_pd(scaled + at, scale_two(cells, nodata_pair, factor_pair));
  };
  // Four pairs a round, which leaves the loop's own instructions a quarter.
  for (; i + 8 <= count; i += 8) {
    scale_pair(i);
    scale_pair(i + 2);
    scale_pair(i + 4);
    scale_pair(i + 6);
  }
  for (; i + 2 <= count; i += 2) scale_pair(i);
  scale_part_portable(in + i, scaled + i, count - i, nodata, factor);
}
#endif

#if CELLSCALE_X86_SCALING_RULE
// Four cells at `in`, widened.
template <typename In>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d load_four(const In* in) {
  if constexpr (std::is_same_v<In, double>) {
    return _mm256_loadu_pd(in);
  } else {
    return _mm256_cvtps_pd(_mm_loadu_ps(in));
  }
}

// Clears the upper halves of the AVX registers before SSE code runs, the
// tail here or the caller's: the compiler leaves that out before a call it
// turns into a jump, and the statistics' SSE loop then took three times as
// long after every part.
[[gnu::target("avx2"), gnu::always_inline]] inline void leave_avx() { _mm256_zeroupper(); }

template <typename In>
[[gnu::target("avx2")]] void scale_part_avx2(const In* in, double* scaled, std::size_t count, double nodata,
                                             double factor) {
  const __m256d nodatas = _mm256_set1_pd(nodata);
  const __m256d factors = _mm256_set1_pd(factor);
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    _mm256_storeu_pd(scaled + i, scale_four(load_four(in + i), nodatas, factors));
    _mm256_storeu_pd(scaled + i + 4, scale_four(load_four(in + i + 4), nodatas, factors));
  }
  leave_avx();
  scale_part_sse2(in + i, scaled + i, count - i, nodata, factor);
}

#endif

template <typename In>
ScalePart<In> scale_part_for(InstructionSet set) {
#if CELLSCALE_X86_SCALING_RULE
  if (set >= InstructionSet::avx2) return scale_part_avx2<In>;
  if (set >= InstructionSet::sse2) return scale_part_sse2<In>;
#endif
  (void)set;
  return scale_part_portable<In>;
}

}  // namespace

template <typename In>
void scale_cells(const In* in, double* scaled, std::size_t count, double nodata, double factor) {
  static const ScalePart<In> way = scale_part_for<In>(chosen_instruction_set());
  way(in, scaled, count, nodata, factor);
}

template <typename In>
void detail::scale_cells_using(InstructionSet set, const In* in, double* scaled, std::size_t count, double nodata,
                               double factor) {
  scale_part_for<In>(set)(in, scaled, count, nodata, factor);
}

template void scale_cells<double>(const double*, double*, std::size_t, double, double);
template void scale_cells<float>(const float*, double*, std::size_t, double, double);
template void detail::scale_cells_using<double>(InstructionSet, const double*, double*, std::size_t, double, double);
template void detail::scale_cells_using<float>(InstructionSet, const float*, double*, std::size_t, double, double);

}  // namespace cellscale
