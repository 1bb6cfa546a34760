#include "app/cell_scaling.h"

#include <cstdint>

#include "stats/cell_stats.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CELLSCALE_AVX2_SCALING 1
#include <immintrin.h>
#else
#define CELLSCALE_AVX2_SCALING 0
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#endif

namespace cellscale {

namespace {

template <typename In>
using ScalePart = void (*)(const In*, double*, std::size_t, double, double);
template <typename In, typename Out>
using ScaleAndSum = void (*)(const In*, Out*, std::size_t, double, double, CellSum&);

// One cell at a time: the way for every processor.
template <typename In>
void scale_part_portable(const In* in, double* scaled, std::size_t count, double nodata, double factor) {
  for (std::size_t i = 0; i < count; ++i) {
    const double cell = static_cast<double>(in[i]);
    const double product = cell * factor;
    scaled[i] = cell == nodata ? nodata : product;
  }
}

#if defined(__SSE2__)
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
  scale_part_portable(in + i, scaled + i, count - i, nodata, factor);
}
#endif

template <typename In, typename Out>
void scale_and_sum_portable(const In* in, Out* out, std::size_t count, double nodata, double factor, CellSum& read) {
  read.add(in, count);
  scale_cells(in, out, count, nodata, factor, static_cast<CellStats*>(nullptr));
}

#if CELLSCALE_AVX2_SCALING
// Four cells at `in`, scaled as scale_part_portable scales them: the same
// product, the same exact comparison with nodata. With kSum their bit
// patterns are added to `bits`, a single's widened to 64 bits as CellSum
// adds it.
template <bool kSum, typename In>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d scale_four(const In* in, __m256d nodatas, __m256d factors,
                                                                      __m256i& bits) {
  __m256d cells;
  if constexpr (std::is_same_v<In, double>) {
    cells = _mm256_loadu_pd(in);
    if constexpr (kSum) bits = _mm256_add_epi64(bits, _mm256_castpd_si256(cells));
  } else {
    const __m128 singles = _mm_loadu_ps(in);
    if constexpr (kSum) bits = _mm256_add_epi64(bits, _mm256_cvtepu32_epi64(_mm_castps_si128(singles)));
    cells = _mm256_cvtps_pd(singles);
  }
  const __m256d is_nodata = _mm256_cmp_pd(cells, nodatas, _CMP_EQ_OQ);
  return _mm256_blendv_pd(_mm256_mul_pd(cells, factors), nodatas, is_nodata);
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
  __m256i unused{};
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    _mm256_storeu_pd(scaled + i, scale_four<false>(in + i, nodatas, factors, unused));
    _mm256_storeu_pd(scaled + i + 4, scale_four<false>(in + i + 4, nodatas, factors, unused));
  }
  leave_avx();
  scale_part_sse2(in + i, scaled + i, count - i, nodata, factor);
}

// A single output is rounded to nearest, as a conversion of each cell is.
template <typename In, typename Out>
[[gnu::target("avx2")]] void scale_and_sum_avx2(const In* in, Out* out, std::size_t count, double nodata,
                                                double factor, CellSum& read) {
  const __m256d nodatas = _mm256_set1_pd(nodata);
  const __m256d factors = _mm256_set1_pd(factor);
  __m256i bits = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m256d scaled = scale_four<true>(in + i, nodatas, factors, bits);
    if constexpr (std::is_same_v<Out, double>) {
      _mm256_storeu_pd(out + i, scaled);
    } else {
      _mm_storeu_ps(out + i, _mm256_cvtpd_ps(scaled));
    }
  }
  alignas(32) std::uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), bits);
  read.cells += i;
  read.bits += lanes[0] + lanes[1] + lanes[2] + lanes[3];
  leave_avx();
  scale_and_sum_portable(in + i, out + i, count - i, nodata, factor, read);
}
#endif

template <typename In>
ScalePart<In> scale_part_for(InstructionSet set) {
#if CELLSCALE_AVX2_SCALING
  if (set >= InstructionSet::avx2) return scale_part_avx2<In>;
#endif
#if defined(__SSE2__)
  if (set >= InstructionSet::sse2) return scale_part_sse2<In>;
#endif
  (void)set;
  return scale_part_portable<In>;
}

template <typename In, typename Out>
ScaleAndSum<In, Out> scale_and_sum_for(InstructionSet set) {
#if CELLSCALE_AVX2_SCALING
  if (set >= InstructionSet::avx2) return scale_and_sum_avx2<In, Out>;
#else
  (void)set;
#endif
  return scale_and_sum_portable<In, Out>;
}

}  // namespace

template <typename In>
void detail::scale_part(const In* in, double* scaled, std::size_t count, double nodata, double factor) {
  static const ScalePart<In> way = scale_part_for<In>(chosen_instruction_set());
  way(in, scaled, count, nodata, factor);
}

template <typename In>
void detail::scale_part_using(InstructionSet set, const In* in, double* scaled, std::size_t count, double nodata,
                              double factor) {
  scale_part_for<In>(set)(in, scaled, count, nodata, factor);
}

template <typename In, typename Out>
void scale_and_sum_cells(const In* in, Out* out, std::size_t count, double nodata, double factor, CellSum& read) {
  static const ScaleAndSum<In, Out> way = scale_and_sum_for<In, Out>(chosen_instruction_set());
  way(in, out, count, nodata, factor, read);
}

template <typename In, typename Out>
void detail::scale_and_sum_cells_using(InstructionSet set, const In* in, Out* out, std::size_t count, double nodata,
                                       double factor, CellSum& read) {
  scale_and_sum_for<In, Out>(set)(in, out, count, nodata, factor, read);
}

template void detail::scale_part<double>(const double*, double*, std::size_t, double, double);
template void detail::scale_part<float>(const float*, double*, std::size_t, double, double);
template void detail::scale_part_using<double>(InstructionSet, const double*, double*, std::size_t, double, double);
template void detail::scale_part_using<float>(InstructionSet, const float*, double*, std::size_t, double, double);

#define CELLSCALE_SCALE_AND_SUM(In, Out)                                                                         \
  template void scale_and_sum_cells<In, Out>(const In*, Out*, std::size_t, double, double, CellSum&);            \
  template void detail::scale_and_sum_cells_using<In, Out>(InstructionSet, const In*, Out*, std::size_t, double, \
                                                           double, CellSum&);
CELLSCALE_SCALE_AND_SUM(double, double)
CELLSCALE_SCALE_AND_SUM(double, float)
CELLSCALE_SCALE_AND_SUM(float, double)
CELLSCALE_SCALE_AND_SUM(float, float)
#undef CELLSCALE_SCALE_AND_SUM

}  // namespace cellscale
