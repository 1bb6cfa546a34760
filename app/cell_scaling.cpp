#include "app/cell_scaling.h"

#include <cstdint>

#include "stats/cell_stats.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CELLSCALE_AVX2_SCALING 1
#include <immintrin.h>
#else
#define CELLSCALE_AVX2_SCALING 0
#endif

namespace cellscale {

namespace {

template <typename In, typename Out>
using ScaleAndSum = void (*)(const In*, Out*, std::size_t, double, double, CellSum&);

template <typename In, typename Out>
void scale_and_sum_portable(const In* in, Out* out, std::size_t count, double nodata, double factor,
                            CellSum& read) {
  read.add(in, count);
  scale_cells(in, out, count, nodata, factor, static_cast<CellStats*>(nullptr));
}

#if CELLSCALE_AVX2_SCALING
// Each step takes every cell exactly as scale_part does: the same product,
// the same exact comparison with nodata, and a single output rounded to
// nearest as a conversion of each cell would. A single's bit pattern is
// added widened to 64 bits, as CellSum adds it.
template <typename In, typename Out>
[[gnu::target("avx2")]] void scale_and_sum_avx2(const In* in, Out* out, std::size_t count, double nodata,
                                                double factor, CellSum& read) {
  const __m256d nodatas = _mm256_set1_pd(nodata);
  const __m256d factors = _mm256_set1_pd(factor);
  __m256i bits = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    __m256d cells;
    if constexpr (std::is_same_v<In, double>) {
      cells = _mm256_loadu_pd(in + i);
      bits = _mm256_add_epi64(bits, _mm256_castpd_si256(cells));
    } else {
      const __m128 singles = _mm_loadu_ps(in + i);
      bits = _mm256_add_epi64(bits, _mm256_cvtepu32_epi64(_mm_castps_si128(singles)));
      cells = _mm256_cvtps_pd(singles);
    }
    const __m256d is_nodata = _mm256_cmp_pd(cells, nodatas, _CMP_EQ_OQ);
    const __m256d scaled = _mm256_blendv_pd(_mm256_mul_pd(cells, factors), nodatas, is_nodata);
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
  scale_and_sum_portable(in + i, out + i, count - i, nodata, factor, read);
}
#endif

template <typename In, typename Out>
ScaleAndSum<In, Out> scale_and_sum_way(bool avx2) {
#if CELLSCALE_AVX2_SCALING
  if (avx2) return scale_and_sum_avx2<In, Out>;
#else
  (void)avx2;
#endif
  return scale_and_sum_portable<In, Out>;
}

}  // namespace

bool detail::can_scale_with_avx2() {
#if CELLSCALE_AVX2_SCALING
  __builtin_cpu_init();  // may run before the constructors that would do it
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

template <typename In, typename Out>
void detail::scale_and_sum_cells_by(bool avx2, const In* in, Out* out, std::size_t count, double nodata,
                                    double factor, CellSum& read) {
  scale_and_sum_way<In, Out>(avx2)(in, out, count, nodata, factor, read);
}

template <typename In, typename Out>
void scale_and_sum_cells(const In* in, Out* out, std::size_t count, double nodata, double factor, CellSum& read) {
  static const ScaleAndSum<In, Out> way = scale_and_sum_way<In, Out>(detail::can_scale_with_avx2());
  way(in, out, count, nodata, factor, read);
}

#define CELLSCALE_SCALE_AND_SUM(In, Out)                                                                      \
  template void scale_and_sum_cells<In, Out>(const In*, Out*, std::size_t, double, double, CellSum&);         \
  template void detail::scale_and_sum_cells_by<In, Out>(bool, const In*, Out*, std::size_t, double, double, \
                                                        CellSum&);
CELLSCALE_SCALE_AND_SUM(double, double)
CELLSCALE_SCALE_AND_SUM(double, float)
CELLSCALE_SCALE_AND_SUM(float, double)
CELLSCALE_SCALE_AND_SUM(float, float)
#undef CELLSCALE_SCALE_AND_SUM

}  // namespace cellscale
