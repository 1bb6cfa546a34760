#pragma once

// The scaling rule, written once for each instruction set that has a way of
// its own: a cell equal to nodata stays nodata, any other (a NaN too) is
// multiplied by the factor. The comparison is exact, so that with nodata 0
// a -0 cell is nodata, and no cell is nodata NaN. Every way gives the bits
// scale_cell gives, cell by cell. Used by the scaling of cells
// (numbers/cell_scaling.h) and by the row loops that format cells as they
// scale them (numbers/cell_format.h).

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CELLSCALE_X86_SCALING_RULE 1
// GCC 12 takes the undefined registers inside its own AVX-512 intrinsics for
// uninitialized variables (fixed in GCC 13); the warning points into the
// header, so it is turned off there alone.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif
#else
#define CELLSCALE_X86_SCALING_RULE 0
#endif

namespace cellscale {

// One cell, on every processor. The product is taken whatever the cell, so
// that a compiler keeps the choice a choice, not a branch.
inline double scale_cell(double cell, double nodata, double factor) {
  const double product = cell * factor;
  return cell == nodata ? nodata : product;
}

#if CELLSCALE_X86_SCALING_RULE
// Two cells with SSE2 (every x86-64).
[[gnu::always_inline]] inline __m128d scale_two(__m128d cells, __m128d nodatas, __m128d factors) {
  const __m128d is_nodata = _mm_cmpeq_pd(cells, nodatas);
  return _mm_or_pd(_mm_and_pd(is_nodata, nodatas), _mm_andnot_pd(is_nodata, _mm_mul_pd(cells, factors)));
}

// Four cells with AVX2.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256d scale_four(__m256d cells, __m256d nodatas,
                                                                      __m256d factors) {
  return _mm256_blendv_pd(_mm256_mul_pd(cells, factors), nodatas, _mm256_cmp_pd(cells, nodatas, _CMP_EQ_OQ));
}

// Eight cells with AVX-512.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512d scale_eight(__m512d cells, __m512d nodatas,
                                                                          __m512d factors) {
  return _mm512_mask_blend_pd(_mm512_cmp_pd_mask(cells, nodatas, _CMP_EQ_OQ), _mm512_mul_pd(cells, factors), nodatas);
}
#endif

}  // namespace cellscale
