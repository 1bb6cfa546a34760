#include "numbers/cell_format.h"

#include <array>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "numbers/cell_format_detail.h"
#include "numbers/scaling_rule.h"

#if CELLSCALE_AVX2_CELLS
// (numbers/scaling_rule.h brings the intrinsics.) What the eight-cell loop needs beside AVX2 and FMA: 512-bit
// registers and mask registers (F), bytes and words (BW), quadwords (DQ), the narrower forms (VL) and leading zeros
// (CD).
#define CELLSCALE_AVX512_TARGET "avx2,fma,avx512f,avx512bw,avx512dq,avx512vl,avx512cd"
#endif

// format_cell tries three paths in turn. The first, format_cell_in_double,
// scales values of ordinary size by one exact power of ten in double
// arithmetic and takes nearly every cell, settling a scaled value that lands
// on a rounding midpoint from the exact product in integers; it leaves values
// of extreme size, zero, subnormals, infinities and NaN to the second,
// format_cell_fast, which scales with 128-bit powers of ten and settles exact
// ties; the third, format_cell_exact, takes the few values the second leaves.
//
// How the second path works. A finite nonzero value is m * 2^e with m in
// [2^63, 2^64). Its six significant digits are round(value * 10^k) with
// k = 5 - X, where X = floor(log10(|value|)), and the rounding is to nearest
// on the exact binary value (an exact tie goes to the even digit, as in printf).
// 10^k is taken from a table of 128-bit approximations, so value * 10^k is
// known as an integer part and a fraction to within 3 * 2^-103; the only
// rounding that cannot be decided from that is when the fraction is within
// that distance of one half. Exact ties among those are recognised from the
// binary value and rounded to even; the rest (none is known) take the slow
// path, which formats with std::to_chars exactly.

namespace cellscale {
namespace detail {
namespace {

// --- Powers of ten -------------------------------------------------------

// 10^k as significand * 2^binary_exponent, the significand having its top bit
// set and being at most 10^k * 2^-binary_exponent, by less than 2 (in its own
// last place).
struct PowerOfTen {
  std::uint64_t high;
  std::uint64_t low;
  int binary_exponent;
};

// The powers that format_cell uses: k = 5 - X with X from -324 (the smallest
// subnormal is 4.9e-324) to 308 (DBL_MAX is 1.8e308).
constexpr int kMinPower = -303;
constexpr int kMaxPower = 329;

// A 256-bit number with its top bit set, times 2^exponent, in 32-bit limbs
// (limb[7] the most significant). Used only to build the table at compile time:
// each step multiplies or divides by ten and truncates, losing less than 2^-251
// of the value (a quotient's last bit is worth up to 2^-251 once it is shifted
// back up), so after at most 330 steps the value is low by less than 2^-242 of
// itself, and its top 128 bits are low by less than 2 in their last place.
struct WideNumber {
  std::uint32_t limb[8];
  int exponent;
};

constexpr WideNumber wide_one() {
  WideNumber n{{0, 0, 0, 0, 0, 0, 0, 0x80000000U}, -255};
  return n;
}

constexpr void multiply_by_ten(WideNumber& n) {
  std::uint64_t carry = 0;
  for (std::uint32_t& limb : n.limb) {
    const std::uint64_t product = std::uint64_t{limb} * 10 + carry;
    limb = static_cast<std::uint32_t>(product);
    carry = product >> 32;
  }
  // carry (1..9) is a ninth limb: shift right so that the top bit is bit 255 again.
  const int shift = static_cast<int>(std::bit_width(carry));
  for (int i = 0; i < 7; ++i) {
    n.limb[i] = (n.limb[i] >> shift) | (n.limb[i + 1] << (32 - shift));
  }
  n.limb[7] = (n.limb[7] >> shift) | static_cast<std::uint32_t>(carry << (32 - shift));
  n.exponent += shift;
}

constexpr void divide_by_ten(WideNumber& n) {
  std::uint64_t remainder = 0;
  for (int i = 7; i >= 0; --i) {
    const std::uint64_t current = (remainder << 32) | n.limb[i];
    n.limb[i] = static_cast<std::uint32_t>(current / 10);
    remainder = current % 10;
  }
  // The quotient lost 3 or 4 leading bits: shift left to set bit 255 again.
  const int shift = std::countl_zero(n.limb[7]);
  for (int i = 7; i > 0; --i) {
    n.limb[i] = (n.limb[i] << shift) | (n.limb[i - 1] >> (32 - shift));
  }
  n.limb[0] <<= shift;
  n.exponent -= shift;
}

constexpr PowerOfTen top_128_bits(const WideNumber& n) {
  return {(std::uint64_t{n.limb[7]} << 32) | n.limb[6], (std::uint64_t{n.limb[5]} << 32) | n.limb[4],
          n.exponent + 128};
}

constexpr std::array<PowerOfTen, kMaxPower - kMinPower + 1> make_powers_of_ten() {
  std::array<PowerOfTen, kMaxPower - kMinPower + 1> table{};
  WideNumber n = wide_one();
  for (int k = 0; k <= kMaxPower; ++k) {
    table[static_cast<std::size_t>(k - kMinPower)] = top_128_bits(n);
    multiply_by_ten(n);
  }
  n = wide_one();
  for (int k = -1; k >= kMinPower; --k) {
    divide_by_ten(n);
    table[static_cast<std::size_t>(k - kMinPower)] = top_128_bits(n);
  }
  return table;
}

constexpr std::array<PowerOfTen, kMaxPower - kMinPower + 1> kPowersOfTen = make_powers_of_ten();

// Spot checks of the table; 10^0 .. 10^55 fit in 128 bits, so those entries are exact.
static_assert(kPowersOfTen[0 - kMinPower].high == 0x8000000000000000U && kPowersOfTen[0 - kMinPower].low == 0 &&
              kPowersOfTen[0 - kMinPower].binary_exponent == -127);
static_assert(kPowersOfTen[1 - kMinPower].high == 0xa000000000000000U && kPowersOfTen[1 - kMinPower].low == 0 &&
              kPowersOfTen[1 - kMinPower].binary_exponent == -124);
// 10^27 = 5^27 * 2^27 and 5^27 has 63 bits: the significand is 5^27 * 2^65.
static_assert(kPowersOfTen[27 - kMinPower].high == 7450580596923828125ULL * 2 &&
              kPowersOfTen[27 - kMinPower].low == 0 && kPowersOfTen[27 - kMinPower].binary_exponent == -38);
// 10^-1 = 0xcccc...cccc.. * 2^-131, truncated.
static_assert(kPowersOfTen[-1 - kMinPower].high == 0xccccccccccccccccU &&
              kPowersOfTen[-1 - kMinPower].low == 0xccccccccccccccccU &&
              kPowersOfTen[-1 - kMinPower].binary_exponent == -131);

// --- Arithmetic ----------------------------------------------------------

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 NativeUInt128;

inline UInt128 multiply_64x64(std::uint64_t a, std::uint64_t b) {
  const NativeUInt128 product = static_cast<NativeUInt128>(a) * b;
  return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
}
#else
inline UInt128 multiply_64x64(std::uint64_t a, std::uint64_t b) { return multiply_64x64_portable(a, b); }
#endif

// value * 10^k as an integer part and the top 64 bits of its fraction, for the
// value m * 2^e (m in [2^63, 2^64)) when value * 10^k lies in [10^5, 10^7).
// The exact product is at least integer + fraction * 2^-64 and below
// integer + (fraction + 1) * 2^-64 + 3 * 2^-103: Q below is short of the exact
// m * 10^k * 2^-(binary_exponent + 64) by less than 1 for the dropped bits
// plus 2 * m / 2^64 for the table's error, and Q's unit is 2^-shift <= 2^-103.
struct Scaled {
  std::uint64_t integer;
  std::uint64_t fraction;
};

inline Scaled scale_by_power_of_ten(std::uint64_t m, int e, int k) {
  const PowerOfTen& power = kPowersOfTen[static_cast<std::size_t>(k - kMinPower)];
  // Q = floor(m * significand / 2^64), exactly: the top 128 bits of the 192-bit product.
  const UInt128 upper = multiply_64x64(m, power.high);
  const UInt128 lower = multiply_64x64(m, power.low);
  const std::uint64_t q_low = upper.low + lower.high;
  const std::uint64_t q_high = upper.high + (q_low < upper.low ? 1 : 0);
  // value * 10^k ~ Q * 2^(64 + e + binary_exponent) = Q / 2^shift. Q is in [2^126, 2^128)
  // and the product in [10^5 - 1, 10^7), so shift is in [103, 111].
  const int shift = -(64 + e + power.binary_exponent);
  assert(shift >= 103 && shift <= 111);
  const int high_shift = shift - 64;
  return {q_high >> high_shift, (q_high << (64 - high_shift)) | (q_low >> high_shift)};
}

// Whether value * 10^k, for the value m * 2^e, is exactly an odd number of
// halves: a tie between two six-digit results. Writing value = odd * 2^b:
// for k >= 0, value * 10^k * 2 = odd * 5^k * 2^(b + k + 1) is an odd integer
// when b = -(k + 1); for k < 0 it is odd * 2^(b + 1 + k) / 5^-k, an odd integer
// when b = -(k + 1) and 5^-k divides odd (impossible past 5^27, as odd < 2^64).
constexpr std::array<std::uint64_t, 28> make_powers_of_five() {
  std::array<std::uint64_t, 28> powers{};
  std::uint64_t power = 1;
  for (std::uint64_t& p : powers) {
    p = power;
    power *= 5;
  }
  return powers;
}

constexpr std::array<std::uint64_t, 28> kPowersOfFive = make_powers_of_five();

inline bool is_exact_tie(std::uint64_t m, int e, int k) {
  const int zeros = std::countr_zero(m);
  if (e + zeros != -(k + 1)) return false;
  if (k >= 0) return true;
  const int five_power = -k;
  return five_power < static_cast<int>(kPowersOfFive.size()) &&
         (m >> zeros) % kPowersOfFive[static_cast<std::size_t>(five_power)] == 0;
}

// --- Text ----------------------------------------------------------------
// The text is put together in a 64-bit integer, character i being bits 8i to
// 8i + 7, and stored 8 characters at a time: built in memory from smaller
// pieces and read back whole, it would wait on the processor's store
// forwarding.

// The two characters of 00 to 99, the first in the low byte.
constexpr std::array<std::uint16_t, 100> make_digit_pairs() {
  std::array<std::uint16_t, 100> pairs{};
  for (unsigned i = 0; i < 100; ++i) pairs[i] = static_cast<std::uint16_t>(('0' + i / 10) | (('0' + i % 10) << 8));
  return pairs;
}

constexpr std::array<std::uint16_t, 100> kDigitPairs = make_digit_pairs();

// The three characters of 000 to 999, the first in the low byte: 4 KiB, so
// that six digits take two look-ups.
constexpr auto kDigitTriples = [] {
  std::array<std::uint32_t, 1000> triples{};
  for (unsigned i = 0; i < 1000; ++i) {
    triples[i] = ('0' + i / 100) | (('0' + i / 10 % 10) << 8) | (('0' + i % 10) << 16);
  }
  return triples;
}();

constexpr std::uint64_t characters(const char (&text)[9]) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(text[i]);
  return value;
}

// Stores the 8 characters of `text` at out.
inline void store_characters(char* out, std::uint64_t text) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &text, 8);
  } else {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(text >> (8 * i));
  }
}

// Writes the six digits `digits` (100000 to 999999) of a value whose first digit
// stands for 10^exponent10, in the notation %g chooses, trailing zeros
// dropped. The stores write whole blocks of 8 characters and may leave
// characters past the returned end, within the room that the caller gives
// (16 characters at most are touched).
inline char* write_six_digits(char* out, unsigned digits, int exponent10) {
  const unsigned first_three = digits / 1000;
  const std::uint64_t text =
      kDigitTriples[first_three] | (std::uint64_t{kDigitTriples[digits - first_three * 1000]} << 24);
  // The digits that remain once trailing zeros are dropped: with the '0'
  // bytes made zero, up to the highest byte that is not (the first digit is
  // never 0).
  // The first digit is never 0, so some byte is not: the highest such byte
  // is found without a check for none.
  const std::uint64_t nonzero_digits = text ^ characters("000000\0\0");
  const auto significant = static_cast<int>((63 ^ __builtin_clzll(nonzero_digits)) >> 3) + 1;

  // Fixed notation for X in [-4, 6), as %g chooses.
  if (exponent10 >= 0 && exponent10 < 6) {
    // The X + 1 digits before the point, the point, the rest, written over
    // the digits that follow the first X + 1.
    const int before = exponent10 + 1;
    store_characters(out, text);
    out[before] = '.';
    store_characters(out + before + 1, text >> (8 * before));
    return significant > before ? out + significant + 1 : out + before;
  }
  if (exponent10 < 0 && exponent10 >= -4) {
    store_characters(out, characters("0.000000"));
    char* const start = out + 1 - exponent10;  // after "0." and -X-1 zeros
    store_characters(start, text);
    return start + significant;
  }
  store_characters(out, (text & 0xff) | (std::uint64_t{'.'} << 8) | ((text >> 8) << 16));
  char* const exponent = out + (significant > 1 ? significant + 1 : 1);
  const auto magnitude = static_cast<unsigned>(exponent10 < 0 ? -exponent10 : exponent10);
  store_characters(exponent, std::uint64_t{'e'} | (static_cast<std::uint64_t>(exponent10 < 0 ? '-' : '+') << 8) |
                                 (std::uint64_t{'0' + magnitude / 100} << 16) |
                                 (std::uint64_t{kDigitPairs[magnitude % 100]} << 24));
  return exponent + 5;
}

// --- Scaling in double arithmetic -----------------------------------------

// 10^0 to 10^22, exact as doubles.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// magnitude * 10^k, correctly rounded, for k from -22 to 22: one operation
// with an exact power of ten.
inline double times_power_of_ten(double magnitude, int k) {
  return k >= 0 ? magnitude * kExactPowersOfTen[k] : magnitude / kExactPowersOfTen[-k];
}

// For each binary exponent b from -56 to 89 (|value| in [2^b, 2^(b + 1))):
// X or one less, the estimate floor(b * log10(2)), and 10^(5 - X) for it as a
// factor or, for X above 5, 10^(X - 5) as a divisor.
constexpr int kMinBinaryExponent = -56;
constexpr int kMaxBinaryExponent = 89;
struct BinadeScale {
  double power;
  int exponent10;
  bool divide;
};
constexpr auto kBinadeScales = [] {
  std::array<BinadeScale, kMaxBinaryExponent - kMinBinaryExponent + 1> scales{};
  for (int b = kMinBinaryExponent; b <= kMaxBinaryExponent; ++b) {
    const int exponent10 = floor_log10_pow2(b);
    const bool divide = exponent10 > 5;
    scales[static_cast<std::size_t>(b - kMinBinaryExponent)] = {
        kExactPowersOfTen[divide ? exponent10 - 5 : 5 - exponent10], exponent10, divide};
  }
  return scales;
}();

// 128-bit helpers for round_double_midpoint, which needs them rarely enough
// that the portable form of the shift and the comparison costs nothing.
inline UInt128 shifted_left(UInt128 x, int shift) {
  if (shift == 0) return x;
  if (shift >= 64) return {x.low << (shift - 64), 0};
  return {(x.high << shift) | (x.low >> (64 - shift)), x.low << shift};
}

// -1, 0 or 1 as a is below, equal to or above b.
inline int compare(UInt128 a, UInt128 b) {
  if (a.high != b.high) return a.high < b.high ? -1 : 1;
  if (a.low != b.low) return a.low < b.low ? -1 : 1;
  return 0;
}

}  // namespace

// The six digits of a value (a normal double with these bits) whose scaling
// by 10^k in double arithmetic came out exactly on the midpoint
// rounded_up - 0.5: rounded_up when the exact value * 10^k lies above it,
// rounded_up - 1 when below, and the even one of the two on an exact tie.
// The exact side comes from integers: the value is m * 2^e with m below 2^53,
// and (rounded_up - 0.5) * 2 = odd, so the question is whether m * 10^k *
// 2^(e + 1) is above, below or equal to odd. For k >= 0 that is m * 5^k *
// 2^(e + k + 1) against odd; for k < 0, m * 2^(e + 1 + k) against odd * 5^-k.
// Both sides stay below 2^106 (m * 5^22 < 2^105, odd * 5^22 < 2^73), and the
// one shifted left lands within a factor of 2 of the other, so every shift is
// below 106.
unsigned round_double_midpoint(std::uint64_t bits, unsigned rounded_up, int k) {
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int e = static_cast<int>((bits >> 52) & 0x7ff) - 1075;
  const std::uint64_t odd = std::uint64_t{rounded_up} * 2 - 1;
  assert(k >= -22 && k <= 22);
  UInt128 scaled;
  UInt128 midpoint;
  int shift;
  if (k >= 0) {
    scaled = multiply_64x64(m, kPowersOfFive[static_cast<std::size_t>(k)]);
    midpoint = {0, odd};
    shift = e + k + 1;
  } else {
    scaled = {0, m};
    midpoint = multiply_64x64(odd, kPowersOfFive[static_cast<std::size_t>(-k)]);
    shift = e + 1 + k;
  }
  const int side =
      shift >= 0 ? compare(shifted_left(scaled, shift), midpoint) : compare(scaled, shifted_left(midpoint, -shift));
  if (side != 0) return side > 0 ? rounded_up : rounded_up - 1;
  return rounded_up - (rounded_up & 1);  // the even one
}

namespace {

// format_cell_in_double, inlined into the loops below.
[[gnu::always_inline]] inline char* format_in_double(char* out, double value) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  // |value| is in [2^binary_exponent, 2^(binary_exponent + 1)); from 2^-56 to
  // 2^90, X is -17 to 27, so that 10^(5 - X) and 10^(X - 5) are exact doubles
  // for the scaling. Zero, subnormals, infinities and NaN are outside.
  const auto binade = static_cast<std::uint32_t>((bits >> 52) & 0x7ff) - std::uint32_t{1023 + kMinBinaryExponent};
  if (binade >= kBinadeScales.size()) return nullptr;
  const double magnitude = std::fabs(value);
  // X is the estimate or one more: one more when the value scaled for the
  // estimate has seven digits before the point, or rounds up to them. Scaled
  // above 999999.5, the exact value lies above it too (rounding is monotonic
  // and 999999.5 is a double), so its six digits are 100000 times 10 to the
  // one more; scaled again for that, it cannot come to 100000.5. 999999.5
  // itself is a midpoint, left below for the check that follows.
  const BinadeScale& scale = kBinadeScales[binade];
  int exponent10 = scale.exponent10;
  double scaled;
  if (scale.divide) [[unlikely]] {
    scaled = magnitude / scale.power;
  } else {
    scaled = magnitude * scale.power;
  }
  if (scaled > 999999.5) [[unlikely]] {
    scaled = times_power_of_ten(magnitude, 5 - ++exponent10);
  }
  // One correctly rounded operation gives `scaled`. Rounding is monotonic
  // and every midpoint n + 0.5 below 2^20 is a double, so the exact value *
  // 10^(5 - X) and `scaled` lie on the same side of each midpoint, unless `scaled`
  // is the midpoint itself: then the exact value may be on either side, or
  // be the tie, and round_double_midpoint decides. `scaled` + 0.5 truncated
  // is the rounding, but that sum is not always exact: where it reaches a
  // power of two (2^17, 2^18, 2^19) it loses the last bit of `scaled`, and a
  // `scaled` one unit above a midpoint may come out whole. So the midpoint
  // is told by comparing `scaled` with it, which is exact.
  auto digits = static_cast<unsigned>(scaled + 0.5);
  if (static_cast<double>(digits) - 0.5 == scaled) [[unlikely]] {
    digits = round_double_midpoint(bits, digits, 5 - exponent10);
    if (digits == 1000000) {  // 999999.5 -> 1e+006
      digits = 100000;
      ++exponent10;
    }
  }
  assert(digits >= 100000 && digits <= 999999);
  *out = '-';
  out += bits >> 63;
  return write_six_digits(out, digits, exponent10);
}

}  // namespace

char* format_cell_in_double(char* out, double value) { return format_in_double(out, value); }

char* format_cell_fast(char* out, double value) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const std::uint64_t fraction_bits = bits & ((std::uint64_t{1} << 52) - 1);
  const int biased_exponent = static_cast<int>((bits >> 52) & 0x7ff);
  *out = '-';
  out += bits >> 63;

  if (biased_exponent == 0x7ff) {
    std::memcpy(out, fraction_bits != 0 ? "nan" : "inf", 3);
    return out + 3;
  }
  std::uint64_t m;
  int e;
  if (biased_exponent != 0) {
    m = (fraction_bits | (std::uint64_t{1} << 52)) << 11;
    e = biased_exponent - 1075 - 11;
  } else if (fraction_bits != 0) {  // subnormal
    const int zeros = std::countl_zero(fraction_bits);
    m = fraction_bits << zeros;
    e = -1074 - zeros;
  } else {
    *out = '0';
    return out + 1;
  }

  // |value| is in [2^(e+63), 2^(e+64)), so X is this estimate or one more.
  int exponent10 = floor_log10_pow2(e + 63);
  Scaled scaled = scale_by_power_of_ten(m, e, 5 - exponent10);
  if (scaled.integer >= 1000000) {
    ++exponent10;
    scaled = scale_by_power_of_ten(m, e, 5 - exponent10);
  }
  // The exact fraction is in [fraction, fraction + 1 + 2^-37) units of 2^-64: it
  // is surely below one half when fraction <= 2^63 - 2 and surely above when
  // fraction >= 2^63 + 1. In between, an exact tie (whose integer part is then
  // known exactly) rounds to the even digit; anything else is left to the slow path.
  constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
  std::uint64_t rounded;
  if (scaled.fraction - (kHalf - 1) > 1) {
    rounded = scaled.integer + (scaled.fraction > kHalf ? 1 : 0);
  } else if (is_exact_tie(m, e, 5 - exponent10)) {
    rounded = scaled.integer + (scaled.integer & 1);
  } else {
    return nullptr;
  }
  if (rounded == 1000000) {  // 999999.5 -> 1e+006
    rounded = 100000;
    ++exponent10;
  }
  return write_six_digits(out, static_cast<unsigned>(rounded), exponent10);
}

char* format_cell_exact(char* out, double value) {
  if (std::isnan(value)) {
    const char* text = std::signbit(value) ? "-nan" : "nan";
    const std::size_t length = std::strlen(text);
    std::memcpy(out, text, length);
    return out + length;
  }
  char* end = std::to_chars(out, out + kMaxCellTextLength, value, std::chars_format::general, 6).ptr;
  // to_chars writes at least two exponent digits; the grid text has at least three.
  char* exponent = static_cast<char*>(std::memchr(out, 'e', static_cast<std::size_t>(end - out)));
  if (exponent != nullptr && end - exponent == 4) {
    end[0] = end[-1];
    end[-1] = end[-2];
    end[-2] = '0';
    ++end;
  }
  return end;
}

namespace {

// The paths for the few values that format_cell_in_double leaves, kept out
// of format_cell so that it reaches them by a jump and keeps nothing for them.
[[gnu::noinline, gnu::cold]] char* format_cell_left_over(char* out, double value) {
  char* end = format_cell_fast(out, value);
  return end != nullptr ? end : format_cell_exact(out, value);
}

}  // namespace

}  // namespace detail

char* format_cell(char* out, double value) {
  char* end = detail::format_in_double(out, value);
  return end != nullptr ? end : detail::format_cell_left_over(out, value);
}

namespace detail {
namespace {

// A value as the row loops write it: scaled first when kScaled.
template <bool kScaled>
inline double scaled_value(double value, const CellScaling& scaling) {
  if constexpr (kScaled) return scale_cell(value, scaling.nodata, scaling.factor);
  return value;
}

template <bool kEnds, bool kScaled>
char* format_cells_one_by_one(char* out, const double* values, std::size_t count, const char* origin,
                              std::uint32_t* ends, const CellScaling& scaling) {
  for (std::size_t i = 0; i < count; ++i) {
    out = format_cell(out, scaled_value<kScaled>(values[i], scaling));
    *out++ = '\t';
    if constexpr (kEnds) ends[i] = static_cast<std::uint32_t>(out - origin);
  }
  return out;
}

}  // namespace

namespace {

// Each row loop as a type, for format_row_with.
struct OneByOne {
  template <bool kEnds, bool kScaled>
  static char* run(char* out, const double* values, std::size_t count, const char* origin, std::uint32_t* ends,
                   const CellScaling& scaling) {
    return format_cells_one_by_one<kEnds, kScaled>(out, values, count, origin, ends, scaling);
  }
};

// The loop's instance for what the caller asks: the ends kept or not, the
// cells scaled or not.
template <typename Loop>
char* format_row_with(char* out, const double* values, std::size_t count, const char* origin, std::uint32_t* ends,
                      const CellScaling* scaling) {
  const CellScaling& by = scaling != nullptr ? *scaling : CellScaling{};
  if (scaling != nullptr) {
    return ends == nullptr ? Loop::template run<false, true>(out, values, count, origin, ends, by)
                           : Loop::template run<true, true>(out, values, count, origin, ends, by);
  }
  return ends == nullptr ? Loop::template run<false, false>(out, values, count, origin, ends, by)
                         : Loop::template run<true, false>(out, values, count, origin, ends, by);
}

}  // namespace

#if CELLSCALE_AVX2_CELLS

namespace {

// One step of X in format_fixed_groups: where the magnitude reaches the
// threshold for X = x, 10^(5 - X) becomes 10^(5 - x) and the digits before
// the point one more (the comparison's all-ones lanes are -1). The
// thresholds rise, so each lane counts the ones it reaches: X + 1 digits.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void reach_threshold(__m256d magnitude, __m256d threshold,
                                                                            int x, __m256d& power,
                                                                            __m256i& before_point) {
  const __m256d reached = _mm256_cmp_pd(magnitude, threshold, _CMP_GE_OQ);
  power = _mm256_blendv_pd(power, _mm256_set1_pd(kExactPowersOfTen[5 - x]), reached);
  before_point = _mm256_sub_epi64(before_point, _mm256_castpd_si256(reached));
}

// The low 32 bits of each 64-bit lane of a comparison's mask, as four 32-bit lanes.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m128i low_halves(__m256d mask) {
  return _mm256_castsi256_si128(
      _mm256_permutevar8x32_epi32(_mm256_castpd_si256(mask), _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0)));
}

// The least doubles at or above 9.999995, 99.99995, ..., 99999.95: a
// magnitude at or above the j-th (from 1) has X >= j, as its six digits
// round up to 10^j there.
constexpr double kXAtLeast[] = {0x1.3ffff583a53b9p+3, 0x1.8ffff2e48e8a8p+6, 0x1.f3ffef9db22d1p+9,
                                0x1.387ff5c28f5c3p+13, 0x1.869ff33333334p+16};

struct Progress {
  char* out;
  std::size_t done;  // cells written
};

// Four cells a round from cell `done` on, while each is zero or from 1 to
// below 999999.5 in magnitude (X from 0 to 5, fixed notation with the point
// after the X + 1 digits, or none): the scaling, the rounding, the six digits,
// the point, the sign and the trailing zeros of the four in vector registers,
// then one 8-byte store, the tab and the length of each. A zero goes through
// the same steps as 0.00000, which ends after its first digit. Stops before a
// group with a cell of another size (NaN, infinities, below 1, from 999999.5
// on) and before the last 0 to 3 cells; a group whose scaling lands on a
// midpoint settles that cell's digits from the product's rounding error
// and goes on. When
// kScaled, each group is scaled by the factor first, its nodata cells kept.
template <bool kEnds, bool kScaled>
[[gnu::target("avx2,fma")]] Progress format_fixed_groups(char* out, const double* values, std::size_t done,
                                                         std::size_t count, const char* origin, std::uint32_t* ends,
                                                         const CellScaling& scaling) {
  const __m256d nodata = _mm256_set1_pd(scaling.nodata);
  const __m256d factor = _mm256_set1_pd(scaling.factor);
  const __m256d magnitude_bits = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffff));
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d carry = _mm256_set1_pd(999999.5);
  const __m256d x_at_least_1 = _mm256_set1_pd(kXAtLeast[0]);
  const __m256d x_at_least_2 = _mm256_set1_pd(kXAtLeast[1]);
  const __m256d x_at_least_3 = _mm256_set1_pd(kXAtLeast[2]);
  const __m256d x_at_least_4 = _mm256_set1_pd(kXAtLeast[3]);
  const __m256d x_at_least_5 = _mm256_set1_pd(kXAtLeast[4]);
  const __m256d half = _mm256_set1_pd(0.5);
  const __m256i thousand = _mm256_set1_epi64x(1000);
  const __m256i divide_by_thousand = _mm256_set1_epi64x(0x10624dd3);  // d / 1000 = d * this >> 38
  const __m256i all_ones = _mm256_set1_epi64x(-1);
  const __m256i eight = _mm256_set1_epi64x(8);
  const __m256i point = _mm256_set1_epi64x('.');
  const __m256i six_zeros = _mm256_set1_epi64x(static_cast<std::int64_t>(characters("000000\0\0")));
  const __m256i minus = _mm256_set1_epi64x('-');
  const __m256i zero = _mm256_setzero_si256();

  std::size_t i = done;
  for (; i + 4 <= count; i += 4) {
    __m256d value = _mm256_loadu_pd(values + i);
    if constexpr (kScaled) {
      value = scale_four(value, nodata, factor);
    }
    const __m256d magnitude = _mm256_and_pd(value, magnitude_bits);
    const __m256d fixed = _mm256_or_pd(_mm256_and_pd(_mm256_cmp_pd(magnitude, one, _CMP_GE_OQ),  // false for NaN
                                                     _mm256_cmp_pd(magnitude, carry, _CMP_LT_OQ)),
                                       _mm256_cmp_pd(magnitude, _mm256_setzero_pd(), _CMP_EQ_OQ));
    // X is the number of thresholds reached: 10^(5 - X) is taken in blends
    // (a gather would be microcode on some processors), and X + 1 counted.
    __m256d power = _mm256_set1_pd(1e5);
    __m256i digits_before_point = _mm256_set1_epi64x(1);
    reach_threshold(magnitude, x_at_least_1, 1, power, digits_before_point);
    reach_threshold(magnitude, x_at_least_2, 2, power, digits_before_point);
    reach_threshold(magnitude, x_at_least_3, 3, power, digits_before_point);
    reach_threshold(magnitude, x_at_least_4, 4, power, digits_before_point);
    reach_threshold(magnitude, x_at_least_5, 5, power, digits_before_point);
    const __m256i point_shift = _mm256_slli_epi64(digits_before_point, 3);
    // As in format_in_double: one correctly rounded multiplication, its
    // rounding from `scaled` + 0.5 truncated, and a midpoint told by
    // comparing `scaled` with digits - 0.5 (the sum is not exact where it
    // reaches a power of two).
    const __m256d scaled = _mm256_mul_pd(magnitude, power);
    __m128i digits = _mm256_cvttpd_epi32(_mm256_add_pd(scaled, half));
    const __m256d on_midpoint = _mm256_cmp_pd(_mm256_sub_pd(_mm256_cvtepi32_pd(digits), half), scaled, _CMP_EQ_OQ);
    const int other_lanes = _mm256_movemask_pd(fixed) ^ 0xf;
    const int midpoint_lanes = _mm256_movemask_pd(on_midpoint);
    if ((other_lanes | midpoint_lanes) != 0) [[unlikely]] {
      if (other_lanes != 0) break;
      // `scaled` is the midpoint itself, and the product's rounding error,
      // which one fused multiply-subtract gives exactly, says on which side
      // of it the exact product lies: below, one less; on it, the even one.
      const __m256d error = _mm256_fmsub_pd(magnitude, power, scaled);
      const __m256d below = _mm256_and_pd(on_midpoint, _mm256_cmp_pd(error, _mm256_setzero_pd(), _CMP_LT_OQ));
      const __m256d tie = _mm256_and_pd(on_midpoint, _mm256_cmp_pd(error, _mm256_setzero_pd(), _CMP_EQ_OQ));
      digits = _mm_add_epi32(digits, low_halves(below));  // -1 where below
      digits = _mm_sub_epi32(digits, _mm_and_si128(_mm_and_si128(low_halves(tie), digits), _mm_set1_epi32(1)));
    }

    // The six digits as characters, the first in the low byte: the first
    // three and the last three in the two 32-bit halves of a lane, each split
    // into its hundreds, tens and ones by multiplications in 16 bits
    // (x * 656 >> 16 is x / 100 for x below 1000, x * 6554 >> 16 is x / 10
    // below 100), then the halves' three bytes put side by side.
    const __m256i digits64 = _mm256_cvtepu32_epi64(digits);
    const __m256i first_three = _mm256_srli_epi64(_mm256_mul_epu32(digits64, divide_by_thousand), 38);
    const __m256i last_three = _mm256_sub_epi64(digits64, _mm256_mul_epu32(first_three, thousand));
    const __m256i threes = _mm256_or_si256(first_three, _mm256_slli_epi64(last_three, 32));
    const __m256i hundreds = _mm256_mulhi_epu16(threes, _mm256_set1_epi32(656));
    const __m256i below_hundred = _mm256_sub_epi16(threes, _mm256_mullo_epi16(hundreds, _mm256_set1_epi32(100)));
    const __m256i tens = _mm256_mulhi_epu16(below_hundred, _mm256_set1_epi32(6554));
    const __m256i ones = _mm256_sub_epi16(below_hundred, _mm256_mullo_epi16(tens, _mm256_set1_epi32(10)));
    const __m256i split =
        _mm256_or_si256(_mm256_or_si256(hundreds, _mm256_slli_epi32(tens, 8)), _mm256_slli_epi32(ones, 16));
    const __m256i digit_values =
        _mm256_or_si256(_mm256_and_si256(split, _mm256_set1_epi64x(0xffffff)),
                        _mm256_and_si256(_mm256_srli_epi64(split, 8), _mm256_set1_epi64x(0xffffff000000)));
    const __m256i text = _mm256_or_si256(digit_values, six_zeros);
    // The point after the first X + 1 digits, the digits from there moved
    // up a byte.
    const __m256i from_point = _mm256_sllv_epi64(all_ones, point_shift);
    const __m256i before_point = _mm256_andnot_si256(from_point, text);
    const __m256i pointed =
        _mm256_or_si256(_mm256_or_si256(before_point, _mm256_slli_epi64(_mm256_and_si256(text, from_point), 8)),
                        _mm256_sllv_epi64(point, point_shift));
    // The same places, nonzero where a byte may end the text: every digit
    // before the point, and those after it but '0'.
    const __m256i kept =
        _mm256_or_si256(before_point, _mm256_slli_epi64(_mm256_and_si256(digit_values, from_point), 8));
    // A minus sign in front of a negative cell.
    const __m256i negative = _mm256_cmpgt_epi64(zero, _mm256_castpd_si256(value));
    const __m256i sign_shift = _mm256_and_si256(negative, eight);
    const __m256i sign = _mm256_and_si256(negative, minus);
    std::uint64_t cell_text[4];
    std::uint64_t cell_kept[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(cell_text),
                        _mm256_or_si256(_mm256_sllv_epi64(pointed, sign_shift), sign));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(cell_kept),
                        _mm256_or_si256(_mm256_sllv_epi64(kept, sign_shift), sign));
    if constexpr (kEnds) {
      // The text placed by its offset from `origin`, which is what `ends`
      // keeps: one addition a cell less than placing it by pointer.
      auto at = static_cast<std::uint32_t>(out - origin);
      char* const base = out - at;
      for (int lane = 0; lane < 4; ++lane) {
        const auto length = static_cast<unsigned>((63 ^ __builtin_clzll(cell_kept[lane])) >> 3) + 1;
        store_characters(base + at, cell_text[lane]);
        base[at + length] = '\t';
        at += length + 1;
        ends[i + static_cast<std::size_t>(lane)] = at;
      }
      out = base + at;
    } else {
      for (int lane = 0; lane < 4; ++lane) {
        const auto length = static_cast<unsigned>((63 ^ __builtin_clzll(cell_kept[lane])) >> 3) + 1;
        store_characters(out, cell_text[lane]);
        out[length] = '\t';
        out += length + 1;
      }
    }
  }
  return {out, i};
}

// Lane kLane of eight 64-bit lanes, taken from the register: a group's
// lanes go through no array on the stack, whose 64-byte alignment neither
// Windows builds nor AddressSanitizer's frames keep.
template <int kLane>
[[gnu::target(CELLSCALE_AVX512_TARGET), gnu::always_inline]] inline std::uint64_t lane(__m512i lanes) {
  const __m128i pair = _mm512_extracti64x2_epi64(lanes, kLane / 2);
  if constexpr (kLane % 2 == 0) return static_cast<std::uint64_t>(_mm_cvtsi128_si64(pair));
  return static_cast<std::uint64_t>(_mm_extract_epi64(pair, 1));
}

// Cell kLane's text and its tab, which ends `ends` (from the group's start)
// give: the cell starts where the one before it ended.
template <int kLane>
[[gnu::target(CELLSCALE_AVX512_TARGET), gnu::always_inline]] inline void place_cell(char* out, __m512i texts,
                                                                                    __m512i ends) {
  std::uint64_t start = 0;
  if constexpr (kLane > 0) start = lane<kLane - 1>(ends);
  store_characters(out + start, lane<kLane>(texts));
  out[lane<kLane>(ends) - 1] = '\t';
}

template <std::size_t... kLanes>
[[gnu::target(CELLSCALE_AVX512_TARGET), gnu::always_inline]] inline void place_cells(
    char* out, __m512i texts, __m512i ends, std::index_sequence<kLanes...> /*lanes*/) {
  (place_cell<static_cast<int>(kLanes)>(out, texts, ends), ...);
}

// Eight cells a round, as format_fixed_groups takes four, with AVX-512: the
// thresholds and the signs in mask registers, 10^(5 - X) looked up by X in
// one permutation, each cell's length from its leading zeros, and where each
// cell's text ends from one running sum of the eight lengths, so that the
// eight stores of text do not wait on one another.
template <bool kEnds, bool kScaled>
[[gnu::target(CELLSCALE_AVX512_TARGET)]] Progress format_fixed_eights(char* out, const double* values,
                                                                      std::size_t done, std::size_t count,
                                                                      const char* origin, std::uint32_t* ends,
                                                                      const CellScaling& scaling) {
  const __m512d nodata = _mm512_set1_pd(scaling.nodata);
  const __m512d factor = _mm512_set1_pd(scaling.factor);
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d carry = _mm512_set1_pd(999999.5);
  const __m512d no_magnitude = _mm512_setzero_pd();
  const __m512d power_for_x = _mm512_setr_pd(1e5, 1e4, 1e3, 1e2, 1e1, 1e0, 1e0, 1e0);
  const __m512d half = _mm512_set1_pd(0.5);
  const __m512i one_each = _mm512_set1_epi64(1);
  const __m256i one_each32 = _mm256_set1_epi32(1);
  const __m512i thousand = _mm512_set1_epi64(1000);
  const __m512i divide_by_thousand = _mm512_set1_epi64(0x10624dd3);  // d / 1000 = d * this >> 38
  const __m512i all_ones = _mm512_set1_epi64(-1);
  const __m512i point = _mm512_set1_epi64('.');
  const __m512i six_zeros = _mm512_set1_epi64(static_cast<std::int64_t>(characters("000000\0\0")));
  const __m512i minus = _mm512_set1_epi64('-');
  const __m512i zero = _mm512_setzero_si512();
  // A length in characters with its tab is (79 - leading zero bits) / 8.
  const __m512i length_with_tab = _mm512_set1_epi64(79);

  std::size_t i = done;
  for (; i + 8 <= count; i += 8) {
    __m512d value = _mm512_loadu_pd(values + i);
    if constexpr (kScaled) {
      value = scale_eight(value, nodata, factor);
    }
    const __m512d magnitude = _mm512_abs_pd(value);
    const unsigned fixed = static_cast<unsigned>(
        (_mm512_cmp_pd_mask(magnitude, one, _CMP_GE_OQ) & _mm512_cmp_pd_mask(magnitude, carry, _CMP_LT_OQ)) |
        _mm512_cmp_pd_mask(magnitude, no_magnitude, _CMP_EQ_OQ));
    __m512i x = zero;
    // The thresholds broadcast where compared, not kept in an array of
    // vectors: Windows builds do not align the stack to 64 bytes.
    for (const double threshold : kXAtLeast) {
      x = _mm512_mask_add_epi64(x, _mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(threshold), _CMP_GE_OQ), x, one_each);
    }
    const __m512d power = _mm512_permutexvar_pd(x, power_for_x);
    const __m512i point_shift = _mm512_slli_epi64(_mm512_add_epi64(x, one_each), 3);
    const __m512d scaled = _mm512_mul_pd(magnitude, power);
    __m256i digits = _mm512_cvttpd_epi32(_mm512_add_pd(scaled, half));
    const __mmask8 on_midpoint =
        _mm512_cmp_pd_mask(_mm512_sub_pd(_mm512_cvtepi32_pd(digits), half), scaled, _CMP_EQ_OQ);
    if (((fixed ^ 0xffU) | on_midpoint) != 0) [[unlikely]] {
      if (fixed != 0xffU) break;
      // As in format_fixed_groups: the product's exact rounding error says
      // on which side of the midpoint the exact product lies.
      const __m512d error = _mm512_fmsub_pd(magnitude, power, scaled);
      const __mmask8 below = on_midpoint & _mm512_cmp_pd_mask(error, no_magnitude, _CMP_LT_OQ);
      const __mmask8 tie = on_midpoint & _mm512_cmp_pd_mask(error, no_magnitude, _CMP_EQ_OQ);
      digits = _mm256_mask_sub_epi32(digits, below, digits, one_each32);
      digits = _mm256_mask_sub_epi32(digits, tie, digits, _mm256_and_si256(digits, one_each32));
    }

    // The six digits as characters, as in format_fixed_groups.
    const __m512i digits64 = _mm512_cvtepu32_epi64(digits);
    const __m512i first_three = _mm512_srli_epi64(_mm512_mul_epu32(digits64, divide_by_thousand), 38);
    const __m512i last_three = _mm512_sub_epi64(digits64, _mm512_mul_epu32(first_three, thousand));
    const __m512i threes = _mm512_or_si512(first_three, _mm512_slli_epi64(last_three, 32));
    const __m512i hundreds = _mm512_mulhi_epu16(threes, _mm512_set1_epi32(656));
    const __m512i below_hundred = _mm512_sub_epi16(threes, _mm512_mullo_epi16(hundreds, _mm512_set1_epi32(100)));
    const __m512i tens = _mm512_mulhi_epu16(below_hundred, _mm512_set1_epi32(6554));
    const __m512i ones = _mm512_sub_epi16(below_hundred, _mm512_mullo_epi16(tens, _mm512_set1_epi32(10)));
    const __m512i split =
        _mm512_or_si512(_mm512_or_si512(hundreds, _mm512_slli_epi32(tens, 8)), _mm512_slli_epi32(ones, 16));
    const __m512i digit_values =
        _mm512_or_si512(_mm512_and_si512(split, _mm512_set1_epi64(0xffffff)),
                        _mm512_and_si512(_mm512_srli_epi64(split, 8), _mm512_set1_epi64(0xffffff000000)));
    const __m512i text = _mm512_or_si512(digit_values, six_zeros);
    const __m512i from_point = _mm512_sllv_epi64(all_ones, point_shift);
    const __m512i before_point = _mm512_andnot_si512(from_point, text);
    const __m512i pointed =
        _mm512_or_si512(_mm512_or_si512(before_point, _mm512_slli_epi64(_mm512_and_si512(text, from_point), 8)),
                        _mm512_sllv_epi64(point, point_shift));
    const __m512i kept =
        _mm512_or_si512(before_point, _mm512_slli_epi64(_mm512_and_si512(digit_values, from_point), 8));
    const __mmask8 negative = _mm512_cmplt_epi64_mask(_mm512_castpd_si512(value), zero);
    const __m512i cell_text = _mm512_mask_or_epi64(pointed, negative, _mm512_slli_epi64(pointed, 8), minus);
    const __m512i cell_kept = _mm512_mask_or_epi64(kept, negative, _mm512_slli_epi64(kept, 8), minus);
    // Where each cell's tab ends, from the group's start: the running sum
    // of the lengths, in three steps of lanes moved up by 1, 2 and 4.
    __m512i text_end = _mm512_srli_epi64(_mm512_sub_epi64(length_with_tab, _mm512_lzcnt_epi64(cell_kept)), 3);
    text_end = _mm512_add_epi64(text_end, _mm512_alignr_epi64(text_end, zero, 7));
    text_end = _mm512_add_epi64(text_end, _mm512_alignr_epi64(text_end, zero, 6));
    text_end = _mm512_add_epi64(text_end, _mm512_alignr_epi64(text_end, zero, 4));
    if constexpr (kEnds) {
      const __m512i from_origin = _mm512_add_epi64(text_end, _mm512_set1_epi64(out - origin));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(ends + i), _mm512_cvtepi64_epi32(from_origin));
    }
    place_cells(out, cell_text, text_end, std::make_index_sequence<8>());
    out += lane<7>(text_end);
  }
  return {out, i};
}

using GroupLoop = Progress (*)(char*, const double*, std::size_t, std::size_t, const char*, std::uint32_t*,
                               const CellScaling&);

// The row with a loop of kGroup cells a round (format_fixed_groups or
// format_fixed_eights) where it can, the other cells one by one: the group
// where it stopped, and, each time it stops again at once, a run twice as
// long (up to 256 cells), so that a row of cells of other sizes pays the
// vector loop's checks only now and then.
template <std::size_t kGroup, GroupLoop kGroups, bool kEnds, bool kScaled>
char* format_cells_in_groups(char* out, const double* values, std::size_t count, const char* origin,
                             std::uint32_t* ends, const CellScaling& scaling) {
  constexpr std::size_t kLongestRun = 256;
  std::size_t done = 0;
  std::size_t run = kGroup / 2;
  for (;;) {
    const Progress progress = kGroups(out, values, done, count, origin, ends, scaling);
    run = progress.done == done ? std::min(run * 2, kLongestRun) : kGroup;
    out = progress.out;
    done = progress.done;
    if (count - done < kGroup) break;
    const std::size_t cells = std::min(run, count - done);
    out = format_cells_one_by_one<kEnds, kScaled>(out, values + done, cells, origin, kEnds ? ends + done : ends,
                                                  scaling);
    done += cells;
  }
  return format_cells_one_by_one<kEnds, kScaled>(out, values + done, count - done, origin, kEnds ? ends + done : ends,
                                                 scaling);
}

struct InFours {
  template <bool kEnds, bool kScaled>
  static char* run(char* out, const double* values, std::size_t count, const char* origin, std::uint32_t* ends,
                   const CellScaling& scaling) {
    return format_cells_in_groups<4, format_fixed_groups<kEnds, kScaled>, kEnds, kScaled>(out, values, count, origin,
                                                                                          ends, scaling);
  }
};

struct InEights {
  template <bool kEnds, bool kScaled>
  static char* run(char* out, const double* values, std::size_t count, const char* origin, std::uint32_t* ends,
                   const CellScaling& scaling) {
    return format_cells_in_groups<8, format_fixed_eights<kEnds, kScaled>, kEnds, kScaled>(out, values, count, origin,
                                                                                          ends, scaling);
  }
};

}  // namespace

#endif  // CELLSCALE_AVX2_CELLS

char* format_cells_using(InstructionSet set, char* out, const double* values, std::size_t count, const char* origin,
                         std::uint32_t* ends, const CellScaling* scaling) {
#if CELLSCALE_AVX2_CELLS
  if (set >= InstructionSet::avx512) return format_row_with<InEights>(out, values, count, origin, ends, scaling);
  if (set >= InstructionSet::avx2) return format_row_with<InFours>(out, values, count, origin, ends, scaling);
#else
  (void)set;
#endif
  return format_row_with<OneByOne>(out, values, count, origin, ends, scaling);
}

}  // namespace detail

namespace {

const InstructionSet kFormatSet = chosen_instruction_set();

template <bool kEnds, bool kScaled>
char* format_cells(char* out, const double* values, std::size_t count, const char* origin, std::uint32_t* ends,
                   const CellScaling& scaling) {
#if CELLSCALE_AVX2_CELLS
  if (kFormatSet >= InstructionSet::avx512) {
    return detail::InEights::run<kEnds, kScaled>(out, values, count, origin, ends, scaling);
  }
  if (kFormatSet >= InstructionSet::avx2) {
    return detail::InFours::run<kEnds, kScaled>(out, values, count, origin, ends, scaling);
  }
#endif
  return detail::OneByOne::run<kEnds, kScaled>(out, values, count, origin, ends, scaling);
}

}  // namespace

char* format_cells_with_tabs(char* out, const double* values, std::size_t count) {
  return format_cells<false, false>(out, values, count, nullptr, nullptr, CellScaling{});
}

char* format_cells_with_tabs(char* out, const double* values, std::size_t count, const char* origin,
                             std::uint32_t* ends) {
  return format_cells<true, false>(out, values, count, origin, ends, CellScaling{});
}

char* format_scaled_cells_with_tabs(char* out, const double* values, std::size_t count, const CellScaling& scaling) {
  return format_cells<false, true>(out, values, count, nullptr, nullptr, scaling);
}

char* format_scaled_cells_with_tabs(char* out, const double* values, std::size_t count, const CellScaling& scaling,
                                    const char* origin, std::uint32_t* ends) {
  return format_cells<true, true>(out, values, count, origin, ends, scaling);
}

}  // namespace cellscale
