#include "stats/cell_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cellscale {

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();
}  // namespace

void CellStats::reset(double nodata_value) {
  // Contract (README, Formats): nodata + 1, not nodata, is the threshold.
  threshold_ = nodata_value + 1.0;
  count_ = 0;
  sum_ = 0.0;
  reference_ = 0.0;
  scaled_ = false;
  scale_exponent_ = 0;
  scale_ = 1.0;
  offsets_ = {};
  squares_ = {};
  pending_count_ = 0;
}

namespace {

// Error-free sums and products of doubles, and the few operations on pairs of
// doubles that the spread needs (Dekker; Shewchuk). Each keeps the rounding
// error of a double operation as a second double.
using Pair = DoubleDouble;

Pair two_sum(double a, double b) {
  const double s = a + b;
  const double b_part = s - a;
  const double a_part = s - b_part;
  return {s, (a - a_part) + (b - b_part)};
}

// Dekker's product: each factor split into two halves of 26 bits, whose
// products are exact. (A fused multiply-add would do it in one step, but
// without the instruction in the build it is a library call.) The factors
// here stay far below 2^996, where the split would overflow.
Pair split(double a) {
  const double t = 134217729.0 * a;  // 2^27 + 1
  const double high = t - (t - a);
  return {high, a - high};
}

Pair two_product(double a, double b) {
  const double p = a * b;
  const Pair x = split(a);
  const Pair y = split(b);
  return {p, ((x.high * y.high - p) + x.high * y.low + x.low * y.high) + x.low * y.low};
}

Pair normalised(double high, double low) {
  const double s = high + low;
  return {s, low - (s - high)};
}

Pair sum_of(Pair a, Pair b) {
  const Pair s = two_sum(a.high, b.high);
  return normalised(s.high, s.low + (a.low + b.low));
}

Pair product_of(Pair a, double b) {
  const Pair p = two_product(a.high, b);
  return normalised(p.high, p.low + a.low * b);
}

Pair quotient_of(Pair a, double b) {
  const double quotient = a.high / b;
  const Pair back = two_product(quotient, b);
  const double remainder = ((a.high - back.high) - back.low) + a.low;
  return normalised(quotient, remainder / b);
}

Pair product_of(Pair a, Pair b) {
  const Pair p = two_product(a.high, b.high);
  return normalised(p.high, p.low + (a.high * b.low + a.low * b.high));
}

// The binary exponent of max(maximum - reference, reference - minimum), the
// largest difference of any value so far to the reference, whose subtraction
// may overflow where the difference itself does not.
int range_exponent(double minimum, double maximum, double reference) {
  const double range = std::max(maximum - reference, reference - minimum);
  if (range < kInfinity) return std::ilogb(range);
  return std::ilogb(std::max(maximum * 0.5 - reference * 0.5, reference * 0.5 - minimum * 0.5)) + 1;
}

// What one pass over a group gives: the running sum carried on through the
// group's counted values, their count and extremes, and the sums of their
// differences to the group's first counted value and of the squares of those
// differences, all in units of the scale.
struct GroupPass {
  double sum;
  std::int64_t counted;
  double minimum;
  double maximum;
  double offsets;
  double squares;
};

// The pass over `count` values of which the first counts. The running sum
// takes every value in order, a value that does not count adding +0: that
// leaves every sum as it is, as the sum, which starts at +0, is never -0
// (only -0 + -0 gives -0). Everything else is taken in four lanes, the value
// at i in lane i % 4 and the last count % 4 values in lane 0, so that the
// SSE2 code (two lanes at a time) and the plain code give the same bits.
//
// The largest value needs no mask: every value that does not count is at or
// below the threshold, so below every counted value, or NaN, which maxpd and
// the plain comparison leave aside. Of values that compare equal only 0 and -0
// differ, and there the order decides: an extreme that is a zero is the
// group's first zero (a counted zero makes every zero count).
//
// With kScaled false the scale is 1 and the multiplication by it is left out:
// the same bits, as x * 1 is x.
template <bool kScaled>
GroupPass pass_over(const double* values, int count, double threshold, double sum, double scale, double first) {
  double low[4] = {kInfinity, kInfinity, kInfinity, kInfinity};
  double high[4] = {-kInfinity, -kInfinity, -kInfinity, -kInfinity};
  double offsets[4] = {0.0, 0.0, 0.0, 0.0};
  double squares[4] = {0.0, 0.0, 0.0, 0.0};
  std::int64_t left_out = 0;
  int i = 0;
#if defined(__SSE2__)
  const __m128d threshold_pair = _mm_set1_pd(threshold);
  const __m128d scale_pair = _mm_set1_pd(scale);
  const __m128d first_pair = _mm_set1_pd(first);
  __m128d low_pairs[2] = {_mm_set1_pd(kInfinity), _mm_set1_pd(kInfinity)};
  __m128d high_pairs[2] = {_mm_set1_pd(-kInfinity), _mm_set1_pd(-kInfinity)};
  __m128d offset_pairs[2] = {_mm_setzero_pd(), _mm_setzero_pd()};
  __m128d square_pairs[2] = {_mm_setzero_pd(), _mm_setzero_pd()};
  __m128i left_out_pair = _mm_setzero_si128();
  __m128d sum_pair = _mm_set_sd(sum);  // the sum in the low lane
  for (; i + 4 <= count; i += 4) {
    for (int pair = 0; pair < 2; ++pair) {
      const __m128d x = _mm_loadu_pd(values + i + 2 * pair);
      // All ones where x does not count (NaN included): -1 as an integer, and
      // a NaN that minpd leaves aside.
      const __m128d out = _mm_cmpngt_pd(x, threshold_pair);
      const __m128d kept = _mm_andnot_pd(out, x);
      sum_pair = _mm_add_sd(sum_pair, kept);
      sum_pair = _mm_add_sd(sum_pair, _mm_unpackhi_pd(kept, kept));
      left_out_pair = _mm_sub_epi64(left_out_pair, _mm_castpd_si128(out));
      low_pairs[pair] = _mm_min_pd(_mm_or_pd(x, out), low_pairs[pair]);  // x < low ? x : low
      high_pairs[pair] = _mm_max_pd(x, high_pairs[pair]);                // x > high ? x : high
      const __m128d difference = _mm_andnot_pd(out, _mm_sub_pd(kScaled ? _mm_mul_pd(x, scale_pair) : x, first_pair));
      offset_pairs[pair] = _mm_add_pd(offset_pairs[pair], difference);
      square_pairs[pair] = _mm_add_pd(square_pairs[pair], _mm_mul_pd(difference, difference));
    }
  }
  for (int pair = 0; pair < 2; ++pair) {
    _mm_storeu_pd(low + 2 * pair, low_pairs[pair]);
    _mm_storeu_pd(high + 2 * pair, high_pairs[pair]);
    _mm_storeu_pd(offsets + 2 * pair, offset_pairs[pair]);
    _mm_storeu_pd(squares + 2 * pair, square_pairs[pair]);
  }
  sum = _mm_cvtsd_f64(sum_pair);
  std::int64_t left_out_lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(left_out_lanes), left_out_pair);
  left_out = left_out_lanes[0] + left_out_lanes[1];
#endif
  auto take = [&](int lane, double x) {
    const bool counts = x > threshold;
    sum += counts ? x : 0.0;
    left_out += counts ? 0 : 1;
    low[lane] = counts && x < low[lane] ? x : low[lane];
    high[lane] = x > high[lane] ? x : high[lane];
    const double difference = counts ? (kScaled ? x * scale : x) - first : 0.0;
    offsets[lane] += difference;
    squares[lane] += difference * difference;
  };
  for (; i + 4 <= count; i += 4) {
    for (int lane = 0; lane < 4; ++lane) take(lane, values[i + lane]);
  }
  for (; i < count; ++i) take(0, values[i]);

  GroupPass pass{sum,
                 count - left_out,
                 low[0],
                 high[0],
                 (offsets[0] + offsets[1]) + (offsets[2] + offsets[3]),
                 (squares[0] + squares[1]) + (squares[2] + squares[3])};
  for (int lane = 1; lane < 4; ++lane) {
    pass.minimum = low[lane] < pass.minimum ? low[lane] : pass.minimum;
    pass.maximum = high[lane] > pass.maximum ? high[lane] : pass.maximum;
  }
  if (pass.minimum == 0.0 || pass.maximum == 0.0) {
    const double first_zero = *std::find(values, values + count, 0.0);
    if (pass.minimum == 0.0) pass.minimum = first_zero;
    if (pass.maximum == 0.0) pass.maximum = first_zero;
  }
  return pass;
}

GroupPass pass_over(const double* values, int count, double threshold, double sum, double scale, double first) {
  if (scale == 1.0) return pass_over<false>(values, count, threshold, sum, scale, first);
  return pass_over<true>(values, count, threshold, sum, scale, first);
}

}  // namespace

// The scale is chosen once the values first differ, so that the largest
// difference to the reference is about 1, and moved only when the range
// has grown far past it: the scaled squares stay far inside the double
// range either way. A range from 2^-200 to 2^200 takes the scale 1, which
// keeps the squares as safe (below 2^402, and what underflows is below 2^-674
// of them) and which the pass need not multiply by. The scale never goes
// above 2^900, where the smallest differences (2^-1074) have squares of
// 2^-348 and nothing underflows that matters. Returns whether it changed.
bool CellStats::rescale_for_range() {
  constexpr int kLowest = -900;
  constexpr int kGrowth = 200;
  if (scaled_ && minimum_ == scaled_minimum_ && maximum_ == scaled_maximum_) return false;
  scaled_minimum_ = minimum_;
  scaled_maximum_ = maximum_;
  const double scale_before = scale_;
  int exponent = std::max(range_exponent(minimum_, maximum_, reference_), kLowest);
  if (exponent >= -kGrowth && exponent <= kGrowth) exponent = 0;
  if (!scaled_) {
    scaled_ = true;
    scale_exponent_ = exponent;
    scale_ = std::ldexp(1.0, -exponent);
  } else if (exponent > scale_exponent_ + kGrowth) {
    // Exact scaling by powers of two; what underflows is far below the new range.
    const int shift = scale_exponent_ - exponent;
    offsets_ = {std::ldexp(offsets_.high, shift), std::ldexp(offsets_.low, shift)};
    squares_ = {std::ldexp(squares_.high, 2 * shift), std::ldexp(squares_.low, 2 * shift)};
    scale_exponent_ = exponent;
    scale_ = std::ldexp(1.0, -exponent);
  }
  return scale_ != scale_before;
}

// The pass is made with the scale as it stands, which nearly always is the
// scale the group's extremes leave; where they move it, the pass is made
// again for the differences. Differences of nearby values are exact, so a
// group whose values lie a few units in the last place apart loses nothing.
// The group's sums move to the reference through the exact difference
// between its first counted value and the reference:
//   sum (x - r)   = n g + C
//   sum (x - r)^2 = n g^2 + 2 g C + Q
// with g = first - r, C = sum (x - first) and Q = sum (x - first)^2.
void CellStats::take_group(const double* values, int count) {
  const double threshold = threshold_;
  int start = 0;
  while (start < count && !(values[start] > threshold)) ++start;
  if (start == count) return;  // nothing counts: no sum, count or extreme moves
  values += start;
  count -= start;
  const double first = values[0];
  if (count_ == 0) reference_ = first;
  const double sum_before = sum_;
  GroupPass pass = pass_over(values, count, threshold, sum_before, scale_, first * scale_);
  sum_ = pass.sum;
  if (count_ == 0) {
    minimum_ = pass.minimum;
    maximum_ = pass.maximum;
  } else {
    if (minimum_ > pass.minimum) minimum_ = pass.minimum;
    if (pass.maximum > maximum_) maximum_ = pass.maximum;
  }
  count_ += pass.counted;
  // From an infinite value on the spread is no longer needed (finish writes
  // 0); and while every value equals the reference all differences are 0.
  if (!(maximum_ < kInfinity) || minimum_ == maximum_) return;
  if (rescale_for_range()) pass = pass_over(values, count, threshold, sum_before, scale_, first * scale_);

  const double scale = scale_;
  const double n = static_cast<double>(pass.counted);
  const Pair to_first = two_sum(first * scale, -(reference_ * scale));
  const Pair offsets = sum_of(product_of(to_first, n), {pass.offsets, 0.0});
  const Pair squares_to_first = product_of(product_of(to_first, to_first), n);
  const Pair cross = product_of(to_first, 2.0 * pass.offsets);
  const Pair group_total = sum_of(sum_of(squares_to_first, cross), {pass.squares, 0.0});
  offsets_ = sum_of(offsets_, offsets);
  squares_ = sum_of(squares_, group_total);
}

void CellStats::add_all(const double* values, std::size_t count) {
  if (pending_count_ > 0) {
    const std::size_t part = std::min(count, static_cast<std::size_t>(kGroup - pending_count_));
    std::copy_n(values, part, pending_.data() + pending_count_);
    pending_count_ += static_cast<int>(part);
    values += part;
    count -= part;
    if (pending_count_ < kGroup) return;
    take_group(pending_.data(), kGroup);
    pending_count_ = 0;
  }
  for (; count >= kGroup; values += kGroup, count -= kGroup) take_group(values, kGroup);
  std::copy_n(values, count, pending_.data());
  pending_count_ = static_cast<int>(count);
}

CellStats::Summary CellStats::finish() {
  take_group(pending_.data(), pending_count_);
  pending_count_ = 0;
  const double count = static_cast<double>(count_);
  double deviation = kNoStatistic;
  if (count > 2 && !(maximum_ < kInfinity)) {
    // A counted infinity: the groups merged before it hold finite sums, but
    // no finite spread describes the values.
    deviation = 0.0;
  } else if (count > 2) {
    // The sum of squared deviations from the mean: sum (x - r)^2 - (sum (x - r))^2 / n.
    const Pair shift = quotient_of(product_of(offsets_, offsets_), count);
    const Pair spread = sum_of(squares_, {-shift.high, -shift.low});
    deviation = spread.high > 0 ? std::ldexp(std::sqrt(spread.high / (count - 1)), scale_exponent_) : 0.0;
  }
  return {count, minimum_, maximum_, sum_, count > 0 ? sum_ / count : kNoStatistic, deviation};
}

}  // namespace cellscale
