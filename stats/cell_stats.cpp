#include "stats/cell_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cellscale {

void CellStats::reset(double nodata_value) {
  threshold_ = nodata_value + 1.0;
  count_ = 0;
  sum_ = 0.0;
  merged_count_ = merged_mean_ = merged_squares_ = 0.0;
  pending_count_ = 0;
}

// The running sum is the one chain that must go value after value: it adds
// every counted value in the order they come, and a value that does not count
// adds -0.0, which leaves every sum (0 and -0 included) as it is. Alongside,
// each value is stored at the pending block's end, which moves on only for a
// value that counts, so the counted values of a part end up side by side and
// the extremes are then taken from them in four independent lanes.
void CellStats::add_all(const double* values, std::size_t count) {
  const double threshold = threshold_;
  while (count > 0) {
    // No more values than the pending block has room for, so that the stores
    // need no check.
    const std::size_t part = std::min(count, static_cast<std::size_t>(kBlock - pending_count_));
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
      } else {
        if (minimum_ > extremes.minimum) minimum_ = extremes.minimum;
        if (extremes.maximum > maximum_) maximum_ = extremes.maximum;
      }
      count_ += end - start;
    }
    pending_count_ = end;
    if (pending_count_ == kBlock) merge_pending();
    values += part;
    count -= part;
  }
}

// Taken in four lanes, two pairs of them at a time where the processor has
// SSE2 (minpd and maxpd choose exactly as the plain comparisons below). Of
// values that compare equal only 0 and -0 differ, and there the order
// decides: when the extreme is a zero, it is the first zero.
CellStats::Extremes CellStats::extremes_of(const double* values, int count) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
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

// A block's sum and squared deviations are taken with four partial sums each:
// the order of those additions is free (only the grid's sum must be taken
// value after value), and four chains run four times as fast as one.
void CellStats::merge_pending() {
  if (pending_count_ == 0) return;
  const int n_values = pending_count_;
  const double n = n_values;
  double partial[4] = {0.0, 0.0, 0.0, 0.0};
  int i = 0;
  for (; i + 4 <= n_values; i += 4) {
    for (int lane = 0; lane < 4; ++lane) partial[lane] += pending_[i + lane];
  }
  for (; i < n_values; ++i) partial[i % 4] += pending_[i];
  const double block_mean = ((partial[0] + partial[1]) + (partial[2] + partial[3])) / n;
  double squares[4] = {0.0, 0.0, 0.0, 0.0};
  i = 0;
  for (; i + 4 <= n_values; i += 4) {
    for (int lane = 0; lane < 4; ++lane) {
      const double deviation = pending_[i + lane] - block_mean;
      squares[lane] += deviation * deviation;
    }
  }
  for (; i < n_values; ++i) {
    const double deviation = pending_[i] - block_mean;
    squares[i % 4] += deviation * deviation;
  }
  const double block_squares = (squares[0] + squares[1]) + (squares[2] + squares[3]);
  // Merging two groups by their means (Chan, Golub and LeVeque).
  const double total = merged_count_ + n;
  const double delta = block_mean - merged_mean_;
  merged_mean_ += delta * (n / total);
  merged_squares_ += block_squares + delta * delta * (merged_count_ * n / total);
  merged_count_ = total;
  pending_count_ = 0;
}

void CellStats::finish(GridHeader& header) {
  merge_pending();
  const double count = static_cast<double>(count_);
  header.slot[kCount] = count;
  header.slot[kMinimum] = minimum_;
  header.slot[kMaximum] = maximum_;
  header.slot[kSum] = sum_;
  header.slot[kMean] = count > 0 ? sum_ / count : kNoStatistic;
  double deviation = kNoStatistic;
  if (count > 2) deviation = merged_squares_ > 0 ? std::sqrt(merged_squares_ / (count - 1)) : 0.0;
  header.slot[kStandardDeviation] = deviation;
}

}  // namespace cellscale
