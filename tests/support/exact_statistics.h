#pragma once

// The sample standard deviation of a list of doubles, computed exactly: every
// double is an integer times a power of two, so with the smallest power as
// the unit the sums n * sum(a^2) - (sum a)^2 are integers, taken here in
// unbounded integer arithmetic. Only the final square root is rounded (in
// long double, whose range holds every such sum). It shares nothing with the
// tool's own arithmetic.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace cellscale::testing {

// An unsigned integer of any size, in 32-bit limbs, lowest first.
class Natural {
 public:
  Natural() = default;
  explicit Natural(std::uint64_t value) {
    for (; value != 0; value >>= 32) limbs_.push_back(static_cast<std::uint32_t>(value));
  }

  Natural shifted_left(int bits) const {
    Natural result;
    result.limbs_.assign(static_cast<std::size_t>(bits / 32), 0);
    std::uint64_t carry = 0;
    for (std::uint32_t limb : limbs_) {
      const std::uint64_t wide = (static_cast<std::uint64_t>(limb) << (bits % 32)) | carry;
      result.limbs_.push_back(static_cast<std::uint32_t>(wide));
      carry = wide >> 32;
    }
    if (carry != 0) result.limbs_.push_back(static_cast<std::uint32_t>(carry));
    result.trim();
    return result;
  }

  Natural& operator+=(const Natural& other) {
    if (limbs_.size() < other.limbs_.size()) limbs_.resize(other.limbs_.size(), 0);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < limbs_.size(); ++i) {
      carry += static_cast<std::uint64_t>(limbs_[i]) + (i < other.limbs_.size() ? other.limbs_[i] : 0);
      limbs_[i] = static_cast<std::uint32_t>(carry);
      carry >>= 32;
    }
    if (carry != 0) limbs_.push_back(static_cast<std::uint32_t>(carry));
    return *this;
  }

  // this - other, for other <= this.
  Natural minus(const Natural& other) const {
    Natural result = *this;
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < result.limbs_.size(); ++i) {
      std::int64_t digit = static_cast<std::int64_t>(result.limbs_[i]) - borrow -
                           (i < other.limbs_.size() ? static_cast<std::int64_t>(other.limbs_[i]) : 0);
      borrow = digit < 0 ? 1 : 0;
      result.limbs_[i] = static_cast<std::uint32_t>(digit + (borrow << 32));
    }
    result.trim();
    return result;
  }

  Natural times(const Natural& other) const {
    Natural result;
    result.limbs_.assign(limbs_.size() + other.limbs_.size(), 0);
    for (std::size_t i = 0; i < limbs_.size(); ++i) {
      std::uint64_t carry = 0;
      for (std::size_t j = 0; j < other.limbs_.size(); ++j) {
        carry += static_cast<std::uint64_t>(limbs_[i]) * other.limbs_[j] + result.limbs_[i + j];
        result.limbs_[i + j] = static_cast<std::uint32_t>(carry);
        carry >>= 32;
      }
      result.limbs_[i + other.limbs_.size()] = static_cast<std::uint32_t>(carry);
    }
    result.trim();
    return result;
  }

  bool less_than(const Natural& other) const {
    if (limbs_.size() != other.limbs_.size()) return limbs_.size() < other.limbs_.size();
    return std::lexicographical_compare(limbs_.rbegin(), limbs_.rend(), other.limbs_.rbegin(), other.limbs_.rend());
  }

  long double to_long_double() const {
    long double result = 0;
    for (auto limb = limbs_.rbegin(); limb != limbs_.rend(); ++limb) result = result * 4294967296.0L + *limb;
    return result;
  }

 private:
  void trim() {
    while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
  }
  std::vector<std::uint32_t> limbs_;
};

// The sample standard deviation of finite values (at least two), each given
// with the number of times it occurs, as a long double rounded once from the
// exact value.
inline long double exact_standard_deviation(const std::vector<std::pair<double, std::uint64_t>>& counted_values) {
  struct Term {
    bool negative;
    std::uint64_t mantissa;
    int exponent;  // value = mantissa * 2^exponent
    std::uint64_t times;
  };
  std::vector<Term> terms;
  int unit = 0;
  std::uint64_t n = 0;
  for (const auto& [x, times] : counted_values) {
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(x), &exponent);
    const Term term{x < 0, static_cast<std::uint64_t>(std::ldexp(fraction, 53)), exponent - 53, times};
    unit = terms.empty() ? term.exponent : std::min(unit, term.exponent);
    terms.push_back(term);
    n += times;
  }
  Natural positive, negative, squares;
  for (const Term& term : terms) {
    const Natural a = Natural(term.mantissa).shifted_left(term.exponent - unit);
    const Natural times(term.times);
    (term.negative ? negative : positive) += a.times(times);
    squares += a.times(a).times(times);
  }
  const Natural sum = positive.less_than(negative) ? negative.minus(positive) : positive.minus(negative);
  // n times the sum of squared deviations from the mean
  const Natural spread = squares.times(Natural(n)).minus(sum.times(sum));
  const long double variance =
      spread.to_long_double() / (static_cast<long double>(n) * static_cast<long double>(n - 1));
  return std::ldexp(std::sqrt(variance), unit);
}

inline long double exact_standard_deviation(const std::vector<double>& values) {
  std::vector<std::pair<double, std::uint64_t>> counted_values;
  for (double x : values) counted_values.emplace_back(x, 1);
  return exact_standard_deviation(counted_values);
}

}  // namespace cellscale::testing
