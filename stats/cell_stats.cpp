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

// The running sum is the one chain that must go value after value: it adds
// every counted value in the order they come, and a value that does not count
// adds -0.0, which leaves every sum (0 and -0 included) as it is. Alongside,
// each value is stored at the pending group's end, which moves on only for a
// value that counts, so the counted values of a part end up side by side and
// the extremes are then taken from them in four independent lanes.
void CellStats::add_all(const double* values, std::size_t count) {
  const double threshold = threshold_;
  while (count > 0) {
    // No more values than the pending group has room for, so that the stores
    // need no check.
    const std::size_t part = std::min(count, static_cast<std::size_t>(kGroup - pending_count_));
    double sum = sum_;
    double* const pending = pending_.data();
    int end = pending_count_;
    const int start = end;
    for (std::size_t i = 0; i < part; ++i) {
      const double x = values[i];
      const bool counts = x > threshold;
      sum += counts ? x : -0.0;
      pending[end] = x;
      end += counts ? 1 : 0;
    }
    sum_ = sum;
    if (end > start) {
      const Extremes extremes = extremes_of(pending + start, end - start);
      if (count_ == 0) {
        minimum_ = extremes.minimum;
        maximum_ = extremes.maximum;
        reference_ = pending[start];
      } else {
        if (minimum_ > extremes.minimum) minimum_ = extremes.minimum;
        if (extremes.maximum > maximum_) maximum_ = extremes.maximum;
      }
      count_ += end - start;
    }
    pending_count_ = end;
    if (pending_count_ == kGroup) merge_pending();
    values += part;
    count -= part;
  }
}

// Taken in four lanes, two pairs of them at a time where the processor has
// SSE2 (minpd and maxpd choose exactly as the plain comparisons below). Of
// values that compare equal only 0 and -0 differ, and there the order
// decides: when the extreme is a zero, it is the first zero.
CellStats::Extremes CellStats::extremes_of(const double* values, int count) {
  double low[4] = {kInfinity, kInfinity, kInfinity, kInfinity};
  double high[4] = {-kInfinity, -kInfinity, -kInfinity, -kInfinity};
  int i = 0;
#if defined(__SSE2__)
  __m128d low_pairs[2] = {_mm_set1_pd(kInfinity), _mm_set1_pd(kInfinity)};
  __m128d high_pairs[2] = {_mm_set1_pd(-kInfinity), _mm_set1_pd(-kInfinity)};
  for (; i + 4 <= count; i += 4) {
    for (int pair = 0; pair < 2; ++pair) {
      const __m128d x = _mm_loadu_pd(values + i + 2 * pair);
      low_pairs[pair] = _mm_min_pd(x, low_pairs[pair]);    // x < low ? x : low
      high_pairs[pair] = _mm_max_pd(x, high_pairs[pair]);  // x > high ? x : high
    }
  }
  _mm_storeu_pd(low, low_pairs[0]);
  _mm_storeu_pd(low + 2, low_pairs[1]);
  _mm_storeu_pd(high, high_pairs[0]);
  _mm_storeu_pd(high + 2, high_pairs[1]);
#endif
  for (; i + 4 <= count; i += 4) {
    for (int lane = 0; lane < 4; ++lane) {
      const double x = values[i + lane];
      low[lane] = x < low[lane] ? x : low[lane];
      high[lane] = x > high[lane] ? x : high[lane];
    }
  }
  for (; i < count; ++i) {
    low[0] = values[i] < low[0] ? values[i] : low[0];
    high[0] = values[i] > high[0] ? values[i] : high[0];
  }
  Extremes extremes{low[0], high[0]};
  for (int lane = 1; lane < 4; ++lane) {
    extremes.minimum = low[lane] < extremes.minimum ? low[lane] : extremes.minimum;
    extremes.maximum = high[lane] > extremes.maximum ? high[lane] : extremes.maximum;
  }
  // A counted +infinity left as the start value is +infinity all the same,
  // and a counted value is never -infinity (it is above the threshold).
  if (extremes.minimum == 0.0 || extremes.maximum == 0.0) {
    const double* const first_zero = std::find(values, values + count, 0.0);
    if (extremes.minimum == 0.0) extremes.minimum = *first_zero;
    if (extremes.maximum == 0.0) extremes.maximum = *first_zero;
  }
  return extremes;
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

}  // namespace

// The scale is chosen once the values first differ, so that the largest
// difference to the reference is about 1, and moved only when the range
// has grown far past it: the scaled squares stay far inside the double
// range either way. It never goes below 2^-900, where the smallest
// differences (2^-1074) have squares of 2^-348 and nothing underflows that
// matters.
void CellStats::rescale_for_range() {
  constexpr int kLowest = -900;
  constexpr int kGrowth = 200;
  if (scaled_ && minimum_ == scaled_minimum_ && maximum_ == scaled_maximum_) return;
  scaled_minimum_ = minimum_;
  scaled_maximum_ = maximum_;
  const int exponent = std::max(range_exponent(minimum_, maximum_, reference_), kLowest);
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
}

// One pass over the group: the differences to its first value, in four
// lanes (the order of these additions is free; only the grid's sum must be
// taken value after value). Differences of nearby values are exact, so a
// group whose values lie a few units in the last place apart loses nothing.
// The group's sums move to the reference through the exact difference
// between its first value and the reference:
//   sum (x - r)   = n g + C
//   sum (x - r)^2 = n g^2 + 2 g C + Q
// with g = first - r, C = sum (x - first) and Q = sum (x - first)^2.
void CellStats::merge_pending() {
  if (pending_count_ == 0) return;
  const int n_values = pending_count_;
  pending_count_ = 0;
  // From an infinite value on the spread is no longer needed (finish writes
  // 0); and while every value equals the reference all differences are 0.
  if (!(maximum_ < kInfinity) || minimum_ == maximum_) return;
  rescale_for_range();
  const double scale = scale_;
  const double* const values = pending_.data();
  const double first = values[0] * scale;
  double sums[4] = {0.0, 0.0, 0.0, 0.0};
  double squares[4] = {0.0, 0.0, 0.0, 0.0};
  int i = 0;
#if defined(__SSE2__)
  // The same four lanes, two pairs at a time.
  const __m128d scale_pair = _mm_set1_pd(scale);
  const __m128d first_pair = _mm_set1_pd(first);
  __m128d sum_pairs[2] = {_mm_setzero_pd(), _mm_setzero_pd()};
  __m128d square_pairs[2] = {_mm_setzero_pd(), _mm_setzero_pd()};
  for (; i + 4 <= n_values; i += 4) {
    for (int pair = 0; pair < 2; ++pair) {
      const __m128d x = _mm_loadu_pd(values + i + 2 * pair);
      const __m128d difference = _mm_sub_pd(_mm_mul_pd(x, scale_pair), first_pair);
      sum_pairs[pair] = _mm_add_pd(sum_pairs[pair], difference);
      square_pairs[pair] = _mm_add_pd(square_pairs[pair], _mm_mul_pd(difference, difference));
    }
  }
  _mm_storeu_pd(sums, sum_pairs[0]);
  _mm_storeu_pd(sums + 2, sum_pairs[1]);
  _mm_storeu_pd(squares, square_pairs[0]);
  _mm_storeu_pd(squares + 2, square_pairs[1]);
#endif
  for (; i + 4 <= n_values; i += 4) {
    for (int lane = 0; lane < 4; ++lane) {
      const double difference = values[i + lane] * scale - first;
      sums[lane] += difference;
      squares[lane] += difference * difference;
    }
  }
  for (; i < n_values; ++i) {
    const double difference = values[i] * scale - first;
    sums[0] += difference;
    squares[0] += difference * difference;
  }
  const double group_sum = (sums[0] + sums[1]) + (sums[2] + sums[3]);
  const double group_squares = (squares[0] + squares[1]) + (squares[2] + squares[3]);

  const double n = n_values;
  const Pair to_first = two_sum(first, -(reference_ * scale));
  const Pair offsets = sum_of(product_of(to_first, n), {group_sum, 0.0});
  const Pair squares_to_first = product_of(product_of(to_first, to_first), n);
  const Pair cross = product_of(to_first, 2.0 * group_sum);
  const Pair group_total = sum_of(sum_of(squares_to_first, cross), {group_squares, 0.0});
  offsets_ = sum_of(offsets_, offsets);
  squares_ = sum_of(squares_, group_total);
}

CellStats::Summary CellStats::finish() {
  merge_pending();
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
