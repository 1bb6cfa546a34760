#pragma once

// The shortest decimal that reads back to a double: the significand with the
// fewest digits whose value times a power of ten rounds (to nearest, ties to
// even) to the same double, and of those the nearest to it, an exact tie
// going to the even significand. This is Schubfach, R. Giulietti's method
// ("The Schubfach way to render doubles", 2020): the value and the two ends
// of the interval of reals that round to it are scaled by one power of ten,
// 10^-k, chosen so that the interval holds at most one multiple of ten of
// the scaled units and at least one whole unit. Whether a multiple of ten
// lies inside (one digit fewer) is decided first, then which of the two
// whole units around the value does. Each scaled figure is a 64 by 128-bit
// product rounded to odd: its last bit tells an exact product from one that
// lies between two whole quarter units, which is all the comparisons need.
// The value's product is taken whole and the interval's ends from it and g
// shifted (scale_interval); three products settle the rare ends too near a
// whole quarter unit for that, and the ends of a power of two.
//
// Written as inline functions, so that a row loop takes the conversion in its
// own body; the powers of ten are one table (numbers/shortest_digits.cpp),
// worked out by the compiler in exact integer arithmetic.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace cellscale {

// value = significand * 10^exponent.
struct ShortestDecimal {
  std::uint64_t significand;
  int exponent;
};

namespace shortest_detail {

// GCC's and Clang's 128-bit integer (also in MinGW-w64 and for aarch64).
__extension__ typedef unsigned __int128 UInt128;

// A power of ten 10^e with 128 bits: floor(10^e * 2^(127 - floor(e *
// log2(10)))) + 1, which lies in [2^127, 2^128), as its high and low halves.
struct PowerOfTen {
  std::uint64_t high;
  std::uint64_t low;
};

// The powers the conversion takes: 10^e for e from kMinPowerOfTen to
// kMaxPowerOfTen (10^-k for the k of doubles from DBL_MAX down to the
// smallest subnormal).
inline constexpr int kMinPowerOfTen = -292;
inline constexpr int kMaxPowerOfTen = 324;
extern const std::array<PowerOfTen, kMaxPowerOfTen - kMinPowerOfTen + 1> kPowersOfTen;

// floor(q * log10(2)), floor(log10(3/4 * 2^q)) and floor(e * log2(10)) in
// fixed point, exact over the exponents of doubles (|q| <= 1100, |e| <= 330;
// the tests hold them against the exact figures).
constexpr int floor_log10_pow2(int q) { return (q * 315653) >> 20; }
constexpr int floor_log10_three_quarters_pow2(int q) { return (q * 315653 - 131008) >> 20; }
constexpr int floor_log2_pow10(int e) { return (e * 1741647) >> 19; }

// floor(g * scaled / 2^128), its last bit set where bits 64 to 127 of the
// product are not all zero (the bits below them only hold the error of g,
// below 2^64 for a 64-bit `scaled`).
[[gnu::always_inline]] inline std::uint64_t round_to_odd(const PowerOfTen& g, std::uint64_t scaled) {
  // In 64-bit halves, so that the sum is an add and an add with carry.
  const auto low_high = static_cast<std::uint64_t>((static_cast<UInt128>(g.low) * scaled) >> 64);
  const UInt128 high = static_cast<UInt128>(g.high) * scaled;
  std::uint64_t fraction;
  const bool carry = __builtin_add_overflow(static_cast<std::uint64_t>(high), low_high, &fraction);
  const std::uint64_t whole = static_cast<std::uint64_t>(high >> 64) + static_cast<std::uint64_t>(carry);
  return whole | static_cast<std::uint64_t>(fraction != 0);
}

// The three scaled figures the conversion compares: the value's and the
// interval's ends, each rounded to odd as round_to_odd gives it.
struct ScaledInterval {
  std::uint64_t lower;
  std::uint64_t middle;
  std::uint64_t upper;
};

// The three figures with three products, for s = quarters << h and the ends
// (quarters - 2 + power_of_two) << h and (quarters + 2) << h.
[[gnu::noinline]] inline ScaledInterval scale_interval_exactly(const PowerOfTen& g, std::uint64_t quarters, int h,
                                                               bool power_of_two) {
  return {round_to_odd(g, (quarters - 2 + static_cast<std::uint64_t>(power_of_two)) << h),
          round_to_odd(g, quarters << h), round_to_odd(g, (quarters + 2) << h)};
}

// The three figures for an interval half a unit either side (quarters - 2
// and quarters + 2) from one product. In units of 2^-64 of a quarter unit,
// g * (quarters << h) / 2^64 is taken whole (to its floor A, one unit at
// most below it) and the half width g * 2^(h + 1) / 2^64 with the high half
// of g only (to D, less than 2^(h + 1) <= 32 units below it). The ends then
// lie within 33 units of A - D and A + D, and where these are at least 64
// units from a whole quarter unit, each end's floor is theirs and is not
// whole: rounded to odd, it is their whole part with its last bit set.
// Gives the figures of scale_interval_exactly; takes it where an end is
// nearer a whole quarter unit (rarely: an end that is a short decimal).
// scale_interval with scaled = quarters << h, half_whole = g.high >> (63 - h)
// and half_fraction = g.high << (h + 1) worked out already (a row loop may
// work them out for several values at once).
[[gnu::always_inline]] inline ScaledInterval scale_interval(const PowerOfTen& g, std::uint64_t quarters, int h,
                                                            std::uint64_t scaled, std::uint64_t half_whole,
                                                            std::uint64_t half_fraction) {
  const auto low_high = static_cast<std::uint64_t>((static_cast<UInt128>(g.low) * scaled) >> 64);
  const UInt128 high = static_cast<UInt128>(g.high) * scaled;
  std::uint64_t fraction;
  const bool carry = __builtin_add_overflow(static_cast<std::uint64_t>(high), low_high, &fraction);
  const std::uint64_t whole = static_cast<std::uint64_t>(high >> 64) + static_cast<std::uint64_t>(carry);
  std::uint64_t lower_fraction;
  const bool borrow = __builtin_sub_overflow(fraction, half_fraction, &lower_fraction);
  std::uint64_t upper_fraction;
  const bool upper_carry = __builtin_add_overflow(fraction, half_fraction, &upper_fraction);
  if (lower_fraction + 64 < 128 || upper_fraction + 64 < 128) [[unlikely]] {
    return scale_interval_exactly(g, quarters, h, false);
  }
  return {(whole - half_whole - static_cast<std::uint64_t>(borrow)) | 1,
          whole | static_cast<std::uint64_t>(fraction != 0),
          (whole + half_whole + static_cast<std::uint64_t>(upper_carry)) | 1};
}

[[gnu::always_inline]] inline ScaledInterval scale_interval(const PowerOfTen& g, std::uint64_t quarters, int h) {
  return scale_interval(g, quarters, h, quarters << h, g.high >> (63 - h), g.high << (h + 1));
}

// The shortest decimal from the scaled figures of the value and its
// interval (units of 10^k), ends_out set where the interval's ends are
// outside it. For a normal value (`normal`), the value is at least 2^52
// units.
[[gnu::always_inline]] inline ShortestDecimal choose_shortest(const ScaledInterval& scaled, std::uint64_t ends_out,
                                                              int k, bool normal) {
  const std::uint64_t lower = scaled.lower;
  const std::uint64_t middle = scaled.middle;
  const std::uint64_t upper = scaled.upper;

  const std::uint64_t below = middle >> 2;  // the whole unit at or below the value
  if (normal || below >= 10) {
    // The multiples of ten around the value, one digit fewer: at most one of
    // them is inside the interval, which is narrower than ten units.
    const std::uint64_t tens = below / 10;
    const bool lower_in = lower + ends_out <= tens * 40;
    const bool upper_in = tens * 40 + 40 + ends_out <= upper;
    if (lower_in != upper_in) return {tens + static_cast<std::uint64_t>(upper_in), k + 1};
  }
  const std::uint64_t above = below + 1;
  const bool below_in = lower + ends_out <= below * 4;
  const bool above_in = above * 4 + ends_out <= upper;
  if (below_in != above_in) return {below_in ? below : above, k};
  // Both inside: the nearer, an exact tie to the even one.
  const std::uint64_t midpoint = below * 4 + 2;
  const bool take_below = middle < midpoint || (middle == midpoint && (below & 1) == 0);
  return {take_below ? below : above, k};
}

}  // namespace shortest_detail

// The shortest decimal of c * 2^q, a double's value: c below 2^53 and at
// least 3, the interval of reals that round to it reaching a quarter unit
// 2^q below it where `power_of_two` (a normal value whose fraction bits are
// zero, other than the smallest normal), half a unit otherwise; the
// exponent comes out `scaled_down` lower. The cell writer takes this for
// the normal values with a fraction, shortest_decimal below for the others.
[[gnu::always_inline]] inline ShortestDecimal shortest_decimal_of(std::uint64_t c, int q, bool power_of_two,
                                                                  int scaled_down) {
  using namespace shortest_detail;
  const int k = power_of_two ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  // 2^h scales c * 2^q * 10^-k (in quarter units) onto g's 128-bit fraction;
  // h is 1 to 4, and c * 4 * 2^h stays below 2^64.
  const int h = q + floor_log2_pow10(-k) + 1;
  const PowerOfTen& g = kPowersOfTen[static_cast<std::size_t>(-k - kMinPowerOfTen)];
  const std::uint64_t quarters = c << 2;
  // Whether the ends of the interval are outside it: they are where c is odd
  // (they read back to the even neighbour).
  const std::uint64_t ends_out = c & 1;
  const ScaledInterval scaled =
      power_of_two ? scale_interval_exactly(g, quarters, h, true) : scale_interval(g, quarters, h);
  return shortest_detail::choose_shortest(scaled, ends_out, k + scaled_down, c >= std::uint64_t{1} << 52);
}

// The shortest decimal of |value| for a finite value other than zero. The
// significand has at most 17 digits and may end in zeros (100 may come as
// 10000000000000000 * 10^-14); the exponent is from -324 to 308 less the
// digits after the first. For a normal value with fraction bits it has 15
// to 17 digits.
[[gnu::always_inline]] inline ShortestDecimal shortest_decimal(double value) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const int biased = static_cast<int>(bits >> 52) & 0x7ff;
  // value = c * 2^q. The interval of reals that round to it reaches half a
  // unit 2^q either side, but only a quarter below a power of two (other than
  // the smallest normal), whose neighbour below is nearer.
  if (biased != 0)
    return shortest_decimal_of(fraction | std::uint64_t{1} << 52, biased - 1075, fraction == 0 && biased > 1, 0);
  // The two smallest subnormals leave too few units in the interval: ten
  // times the significand with one power of ten less keeps the bounds.
  if (fraction < 3) return shortest_decimal_of(fraction * 10, -1074, false, -1);
  return shortest_decimal_of(fraction, -1074, false, 0);
}

}  // namespace cellscale
