#include "numbers/cell_digits.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

#if defined(__SSE2__) && !defined(CELLSCALE_PORTABLE_DIGITS)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include "numbers/cell_format_detail.h"
#include "numbers/instruction_set.h"
#include "numbers/scaling_rule.h"
#include "numbers/shortest_digits.h"

// A text with a given number of digits starts from std::to_chars, which is
// exact (correctly rounded to the given digits) and writes no more than it
// is asked; its notation differs from the grid's only in the exponent, which
// it writes with at least two digits. The shortest text is written here from
// the digits of shortest_decimal (numbers/shortest_digits.h), seventeen at a
// time, and laid out in the notation chosen from its exponent.

namespace cellscale {
namespace {

// nan, -nan, inf or -inf, as format_cell writes them: the C library's and
// std::to_chars's words differ between platforms, so they are written here.
char* write_non_finite(char* out, double value) {
  if (std::signbit(value)) *out++ = '-';
  std::memcpy(out, std::isnan(value) ? "nan" : "inf", 3);
  return out + 3;
}

// The powers of ten that fit 64 bits.
constexpr std::uint64_t kPowersOfTen[20] = {1,
                                            10,
                                            100,
                                            1000,
                                            10000,
                                            100000,
                                            1000000,
                                            10000000,
                                            100000000,
                                            1000000000,
                                            10000000000,
                                            100000000000,
                                            1000000000000,
                                            10000000000000,
                                            100000000000000,
                                            1000000000000000,
                                            10000000000000000,
                                            100000000000000000,
                                            1000000000000000000,
                                            10000000000000000000U};

// The number of decimal digits of n, 1 to 20.
[[gnu::always_inline]] inline int decimal_length(std::uint64_t n) {
  // bit_width * log10(2) is the length or one more than it.
  const int guess = (static_cast<int>(std::bit_width(n | 1)) * 1233) >> 12;
  return guess + static_cast<int>(n >= kPowersOfTen[guess]);
}

// n below 10^17 as its first digit and two groups of eight digits.
struct SeventeenDigits {
  std::uint64_t first;
  std::uint64_t high;
  std::uint64_t low;
};

[[gnu::always_inline]] inline SeventeenDigits split_seventeen_digits(std::uint64_t n) {
  // Nine digits and eight; the first of the nine on its own, as
  // x / 10^8 = x * ceil(2^57 / 10^8) >> 57 for x below 10^9.
  const std::uint64_t nine = n / kPowersOfTen[8];
  const std::uint64_t first = (nine * 1441151881) >> 57;
  return {first, nine - first * kPowersOfTen[8], n - nine * kPowersOfTen[8]};
}

// The seventeen digits of n (below 10^17, zeros in front where it has
// fewer) at out[0] to out[16], and '0' from out[17] to out[48]; returns
// one bit a digit (bit i for out[i]), set for those that are not 0.
[[gnu::always_inline]] inline unsigned write_seventeen_digits(char* out, std::uint64_t n) {
  const SeventeenDigits split = split_seventeen_digits(n);
  const std::uint64_t first = split.first;
  const std::uint64_t high = split.high;
  const std::uint64_t low = split.low;
  out[0] = static_cast<char>('0' + first);
  const auto first_bit = static_cast<unsigned>(first != 0);
#if defined(__SSE2__) && !defined(CELLSCALE_PORTABLE_DIGITS)
  // The two groups of eight digits side by side in 64-bit lanes, split into
  // four digits in 32-bit lanes, two in 16-bit lanes and one in bytes, each
  // step a quotient by multiplying with a reciprocal and its remainder.
  const __m128i eights = _mm_set_epi64x(static_cast<long long>(low), static_cast<long long>(high));
  // x / 10000 = x * ceil(2^45 / 10000) >> 45 for x below 2^32.
  const __m128i by_10000 = _mm_srli_epi64(_mm_mul_epu32(eights, _mm_set1_epi64x(0xd1b71759)), 45);
  const __m128i fours =
      _mm_or_si128(by_10000,
                   _mm_slli_epi64(_mm_sub_epi32(eights, _mm_mul_epu32(by_10000, _mm_set1_epi64x(10000))), 32));
  // x / 100 = x * 5243 >> 19 for x below 10000.
  const __m128i by_100 = _mm_srli_epi16(_mm_mulhi_epu16(fours, _mm_set1_epi32(5243)), 3);
  const __m128i twos =
      _mm_or_si128(by_100, _mm_slli_epi32(_mm_sub_epi16(fours, _mm_mullo_epi16(by_100, _mm_set1_epi32(100))), 16));
  // x / 10 = x * 6554 >> 16 for x below 100.
  const __m128i by_10 = _mm_mulhi_epu16(twos, _mm_set1_epi16(6554));
  const __m128i ones =
      _mm_or_si128(by_10, _mm_slli_epi16(_mm_sub_epi16(twos, _mm_mullo_epi16(by_10, _mm_set1_epi16(10))), 8));
  const __m128i zeros = _mm_set1_epi8('0');
  const __m128i text = _mm_add_epi8(ones, zeros);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1), text);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 17), zeros);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 33), zeros);
  const auto zero_digits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(ones, _mm_setzero_si128())));
  return first_bit | (~zero_digits & 0xffffU) << 1;
#else
  // The same steps in the lanes of one 64-bit word for each group of eight.
  const auto eight_digits = [](std::uint64_t x) {
    const std::uint64_t by_10000 = x / 10000;
    const std::uint64_t fours = by_10000 | (x - by_10000 * 10000) << 32;
    const std::uint64_t by_100 = ((fours * 5243) >> 19) & 0x0000007f0000007fU;
    const std::uint64_t twos = by_100 | (fours - by_100 * 100) << 16;
    // x / 10 = x * 103 >> 10 for x below 100, whose product keeps to its lane.
    const std::uint64_t by_10 = ((twos * 103) >> 10) & 0x000f000f000f000fU;
    return by_10 | (twos - by_10 * 10) << 8;  // digit values, the first in the lowest byte
  };
  const std::uint64_t high_digits = eight_digits(high);
  const std::uint64_t low_digits = eight_digits(low);
  constexpr std::uint64_t kZeros = 0x3030303030303030U;
  const std::uint64_t high_text = high_digits + kZeros;
  const std::uint64_t low_text = low_digits + kZeros;
  std::memcpy(out + 1, &high_text, 8);
  std::memcpy(out + 9, &low_text, 8);
  std::memset(out + 17, '0', 32);
  // One bit a byte that is not 0: its top bit set by the carry of 0x7f.
  const auto nonzero_bytes = [](std::uint64_t digits) {
    const std::uint64_t tops = ((digits + 0x7f7f7f7f7f7f7f7fU) | digits) & 0x8080808080808080U;
    return static_cast<unsigned>((tops >> 7) * 0x0102040810204080U >> 56);
  };
  return first_bit | nonzero_bytes(high_digits) << 1 | nonzero_bytes(low_digits) << 9;
#endif
}

// The three digits of an exponent magnitude below 1000.
char* write_three_digits(char* out, int magnitude) {
  out[0] = static_cast<char>('0' + magnitude / 100);
  out[1] = static_cast<char>('0' + magnitude / 10 % 10);
  out[2] = static_cast<char>('0' + magnitude % 10);
  return out + 3;
}

// The text of significand * 10^exponent (numbers/cell_digits.h), the
// significand from 10^14 to 10^17 - 1, at out. Where kWide, out has room
// for 40 characters (a cell of a row other than its last), and fixed
// notation is laid out there directly.
template <bool kWide = false>
[[gnu::always_inline]] inline char* write_decimal(char* out, std::uint64_t significand, int exponent);

// The text of the number whose seventeen digits are digits[0] to
// digits[16] ('0' from there to digits[48]), with one bit set in `nonzero`
// for each digit that is not 0, times 10^exponent: write_decimal's.
template <bool kWide = false>
[[gnu::always_inline]] inline char* lay_out_digits(char* out, const char* start, int significant, int exponent);

template <bool kWide = false>
[[gnu::always_inline]] inline char* lay_out(char* out, const char* digits, unsigned nonzero, int exponent) {
  // The first digit that counts is one of the first three, and the
  // significant ones end at the last that is not 0.
  if (nonzero == 0) __builtin_unreachable();  // a significand other than zero
  const int first = std::countr_zero(nonzero);
  return lay_out_digits<kWide>(out, digits + first, static_cast<int>(std::bit_width(nonzero)) - first,
                               exponent + 16 - first);
}

// The text of the value d.ddd * 10^exponent, with the `significant` digits
// d from start ('0' after them up to start[31]): lay_out's once it has
// found the first digit that counts.
template <bool kWide>
[[gnu::always_inline]] inline char* lay_out_digits(char* out, const char* start, int significant, int exponent) {
  if constexpr (kWide) {
    if (exponent >= 0 && exponent < kMaxCellDigits - 1) [[likely]] {
      // The first exponent + 1 digits (zeros where the digits end before
      // the point), then the point and the others, if any: at most 33
      // characters written.
      std::memcpy(out, start, 16);
      out[exponent + 1] = '.';
      std::memcpy(out + exponent + 2, start + exponent + 1, 16);
      return out + (significant > exponent + 1 ? significant + 1 : exponent + 1);
    }
  }
  // The text is laid out in full here, with whole blocks of digits copied
  // past its end, then its first 23 characters (the longest text but the
  // sign) go to out.
  char text[48];
  int text_length;
  if (exponent >= 0 && exponent < kMaxCellDigits) {
    // The first exponent + 1 digits (zeros where the digits end before the
    // point), then the point and the others, if any.
    std::memcpy(text, start, 32);
    text[exponent + 1] = '.';
    std::memcpy(text + exponent + 2, start + exponent + 1, 16);
    text_length = significant > exponent + 1 ? significant + 1 : exponent + 1;
  } else if (exponent < 0 && exponent >= -4) {
    // 0.000d to 0.d: "0.", -exponent - 1 zeros, then every digit.
    std::memcpy(text, "0.000000", 8);
    std::memcpy(text + 1 - exponent, start, 32);
    text_length = 1 - exponent + significant;
  } else {
    // Exponent notation, where "%.17g" writes it: d[.ddd]e(+|-)ddd.
    text[0] = start[0];
    text[1] = '.';
    std::memcpy(text + 2, start + 1, 16);
    char* end = text + (significant > 1 ? significant + 1 : 1);
    end[0] = 'e';
    end[1] = exponent < 0 ? '-' : '+';
    end = write_three_digits(end + 2, exponent < 0 ? -exponent : exponent);
    text_length = static_cast<int>(end - text);
  }
  std::memcpy(out, text, kMaxCellDigitsTextLength - 1);
  return out + text_length;
}

template <bool kWide>
[[gnu::always_inline]] inline char* write_decimal(char* out, std::uint64_t significand, int exponent) {
  char digits[49];
  const unsigned nonzero = write_seventeen_digits(digits, significand);
  return lay_out<kWide>(out, digits, nonzero, exponent);
}

// The shortest text of the values the row loop leaves: zeros, infinities,
// NaN, subnormals and powers of two.
[[gnu::noinline]] char* write_shortest_other(char* out, double value) {
  if (!std::isfinite(value)) return write_non_finite(out, value);
  *out = '-';
  out += std::signbit(value) ? 1 : 0;
  if (value == 0) {
    *out = '0';
    return out + 1;
  }
  const ShortestDecimal decimal = shortest_decimal(value);
  // Seventeen digits, whatever the number of the significand's.
  const int length = decimal_length(decimal.significand);
  return write_decimal(out, decimal.significand * kPowersOfTen[kMaxCellDigits - length],
                       decimal.exponent + length - kMaxCellDigits);
}

// The bits of doubles: the fraction, the smallest normal and infinity.
constexpr std::uint64_t kFractionBits = (std::uint64_t{1} << 52) - 1;
constexpr std::uint64_t kSmallestNormal = std::uint64_t{1} << 52;
constexpr std::uint64_t kInfinity = std::uint64_t{0x7ff} << 52;

// The shortest text of value (numbers/cell_digits.h), inlined in the row
// loop; with room for 41 characters where kWide.
template <bool kWide = false>
[[gnu::always_inline]] inline char* write_shortest(char* out, double value) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const std::uint64_t magnitude = bits & ~(std::uint64_t{1} << 63);
  const std::uint64_t fraction = bits & kFractionBits;
  // Normal values with fraction bits here, the others out of the loop.
  if (magnitude - kSmallestNormal >= kInfinity - kSmallestNormal || fraction == 0) [[unlikely]] {
    return write_shortest_other(out, value);
  }
  *out = '-';
  out += bits >> 63;
  const ShortestDecimal decimal =
      shortest_decimal_of(fraction | kSmallestNormal, static_cast<int>(magnitude >> 52) - 1075, false, 0);
  return write_decimal<kWide>(out, decimal.significand, decimal.exponent);
}

}  // namespace

char* format_cell_digits(char* out, double value, int digits) {
  if (!std::isfinite(value)) return write_non_finite(out, value);
  digits = std::clamp(digits, kMinCellDigits, kMaxCellDigits);
  // With a two-digit exponent the text is at most 23 characters, one short of
  // the room: that one is for the third exponent digit.
  char* end = std::to_chars(out, out + kMaxCellDigitsTextLength, value, std::chars_format::general, digits).ptr;
  if (end - out >= 4 && end[-4] == 'e') {  // "e+dd" or "e-dd"
    end[0] = end[-1];
    end[-1] = end[-2];
    end[-2] = '0';
    ++end;
  }
  return end;
}

char* format_cell_shortest(char* out, double value) { return write_shortest(out, value); }

char* format_cell_with_digits(char* out, double value, int digits) {
  if (digits == kShortestCellDigits) return format_cell_shortest(out, value);
  if (digits == kFormatCellDigits) return format_cell(out, value);
  return format_cell_digits(out, value, digits);
}

namespace {

// One cell after the other: each scaled first when kScaled, its text written
// by `format` (`last` for the last cell), then its tab and, where kept, its
// end. The scaling's figures are copied first: the text written through
// `out` might otherwise alias them, and they would be read again for every
// cell.
template <bool kScaled, bool kEnds, typename Format, typename Last>
char* format_row(char* out, const double* values, std::size_t count, const CellScaling& scaling, const char* origin,
                 std::uint32_t* ends, Format format, Last last) {
  const double nodata = scaling.nodata;
  const double factor = scaling.factor;
  const auto scaled = [&](std::size_t i) {
    if constexpr (kScaled) return scale_cell(values[i], nodata, factor);
    return values[i];
  };
  for (std::size_t i = 0; i + 1 < count; ++i) {
    out = format(out, scaled(i));
    *out++ = '\t';
    if constexpr (kEnds) ends[i] = static_cast<std::uint32_t>(out - origin);
  }
  if (count != 0) {
    out = last(out, scaled(count - 1));
    *out++ = '\t';
    if constexpr (kEnds) ends[count - 1] = static_cast<std::uint32_t>(out - origin);
  }
  return out;
}

template <bool kScaled, typename Format, typename Last>
char* format_row(char* out, const double* values, std::size_t count, const CellScaling& scaling, const char* origin,
                 std::uint32_t* ends, Format format, Last last) {
  if (ends != nullptr) return format_row<kScaled, true>(out, values, count, scaling, origin, ends, format, last);
  return format_row<kScaled, false>(out, values, count, scaling, origin, ends, format, last);
}

// write_shortest as the row loop's `format`, taken into its body: a cell
// other than the last has the room of those after it (kMaxCellTextLength + 1
// characters each) past its own.
template <bool kWide>
struct ShortestText {
  [[gnu::always_inline]] char* operator()(char* out, double value) const { return write_shortest<kWide>(out, value); }
};
static_assert(2 * (kMaxCellTextLength + 1) >= 41);

#if CELLSCALE_AVX2_CELLS

// write_seventeen_digits's steps for two cells at once: the groups of eight
// digits in 64-bit lanes (a cell's first group, then its second), the digit
// values in their bytes, the first of each group in its lowest byte.
// tenths and tens hold 6554 and 10 in every 16-bit lane: the loop keeps
// them, where the compiler would build them again, and multiply by ten in
// three steps.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i eight_digits_in_lanes(__m256i eights, __m256i tenths,
                                                                                     __m256i tens) {
  const __m256i by_10000 = _mm256_srli_epi64(_mm256_mul_epu32(eights, _mm256_set1_epi64x(0xd1b71759)), 45);
  const __m256i fours = _mm256_or_si256(
      by_10000,
      _mm256_slli_epi64(_mm256_sub_epi32(eights, _mm256_mul_epu32(by_10000, _mm256_set1_epi64x(10000))), 32));
  const __m256i by_100 = _mm256_srli_epi16(_mm256_mulhi_epu16(fours, _mm256_set1_epi32(5243)), 3);
  const __m256i twos = _mm256_or_si256(
      by_100, _mm256_slli_epi32(_mm256_sub_epi16(fours, _mm256_mullo_epi16(by_100, _mm256_set1_epi32(100))), 16));
  const __m256i by_10 = _mm256_mulhi_epu16(twos, tenths);
  return _mm256_or_si256(by_10, _mm256_slli_epi16(_mm256_sub_epi16(twos, _mm256_mullo_epi16(by_10, tens)), 8));
}

// The high and low 64 bits of the products of the 64-bit lanes of a and b,
// from the four products of their 32-bit halves.
struct ProductsInLanes {
  __m256i high;
  __m256i low;
};

[[gnu::target("avx2,fma"), gnu::always_inline]] inline ProductsInLanes multiply_lanes(__m256i a, __m256i b) {
  const __m256i a_high = _mm256_srli_epi64(a, 32);
  const __m256i b_high = _mm256_srli_epi64(b, 32);
  const __m256i low_low = _mm256_mul_epu32(a, b);
  const __m256i low_high = _mm256_mul_epu32(a, b_high);
  const __m256i high_low = _mm256_mul_epu32(a_high, b);
  const __m256i high_high = _mm256_mul_epu32(a_high, b_high);
  // The products at bit 32 added to the bits of the others below them,
  // one at a time, so that no sum passes 2^64.
  const __m256i with_low = _mm256_add_epi64(high_low, _mm256_srli_epi64(low_low, 32));
  const __m256i middle = _mm256_add_epi64(low_high, _mm256_blend_epi32(with_low, _mm256_setzero_si256(), 0xaa));
  const __m256i high =
      _mm256_add_epi64(_mm256_add_epi64(high_high, _mm256_srli_epi64(with_low, 32)), _mm256_srli_epi64(middle, 32));
  return {high, _mm256_blend_epi32(low_low, _mm256_slli_epi64(middle, 32), 0xaa)};
}

// All ones in the lanes where a < b, unsigned (sign: the top bits set).
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i below_unsigned(__m256i a, __m256i b, __m256i sign) {
  return _mm256_cmpgt_epi64(_mm256_xor_si256(b, sign), _mm256_xor_si256(a, sign));
}

// The shortest row loop four cells at a time with AVX2: the four scaled and
// sorted out together (a group with a cell that is not a normal value with
// fraction bits, or whose interval has an end too near a whole unit for one
// product, is written cell by cell), converted together in the 64-bit lanes
// (shortest_decimal_of's steps, each 64 by 64-bit product from four of
// 32-bit halves), each significand taken to seventeen digits and their text
// made two cells at once, then each cell laid out in the room the cells
// after it leave (the row's last cell is never in a group).
template <bool kScaled, bool kEnds>
[[gnu::target("avx2,fma")]] char* format_shortest_fours(char* out, const double* values, std::size_t count,
                                                        double nodata, double factor, const char* origin,
                                                        std::uint32_t* ends) {
  // Each cell's seventeen digits, and the zeros after them written once.
  alignas(16) char digits[4][64];
  std::memset(digits, '0', sizeof digits);
  const __m256d nodatas = _mm256_set1_pd(nodata);
  const __m256d factors = _mm256_set1_pd(factor);
  // Constants of the loop, hidden from the compiler by the empty asm so
  // that it keeps them in registers (or on the stack) rather than building
  // each again in every group, in three instructions; the two thresholds
  // are the largest significands of 15 and 16 digits.
  __m256i smallest_normals = _mm256_set1_epi64x(kSmallestNormal);
  __m256i sixteen_digits = _mm256_set1_epi64x(999999999999999);
  __m256i seventeen_digits = _mm256_set1_epi64x(9999999999999999);
  __m256i sign = _mm256_set1_epi64x(INT64_MIN);
  __m256i zeros = _mm256_set1_epi8('0');
  __m256i tenths = _mm256_set1_epi16(6554);
  __m256i tens_of_words = _mm256_set1_epi16(10);
  asm(""
      : "+x"(smallest_normals), "+x"(sixteen_digits), "+x"(seventeen_digits), "+x"(sign), "+x"(zeros), "+x"(tenths),
        "+x"(tens_of_words));
  const auto tab = [&](std::size_t at) {
    *out++ = '\t';
    if constexpr (kEnds) ends[at] = static_cast<std::uint32_t>(out - origin);
  };
  std::size_t i = 0;
  // A group with a cell the loop leaves, written cell by cell (given what
  // it needs, so that out and i stay in registers in the loop).
  alignas(32) double scaled[4];
  const auto cell_by_cell = [&](char* to, const double* group, std::size_t at) {
    for (std::size_t lane = 0; lane < 4; ++lane) {
      to = write_shortest<true>(to, group[lane]);
      *to++ = '\t';
      if constexpr (kEnds) ends[at + lane] = static_cast<std::uint32_t>(to - origin);
    }
    return to;
  };
  for (; i + 4 < count; i += 4) {
    __m256d cells = _mm256_loadu_pd(values + i);
    if constexpr (kScaled) {
      cells = _mm256_blendv_pd(_mm256_mul_pd(cells, factors), nodatas, _mm256_cmp_pd(cells, nodatas, _CMP_EQ_OQ));
    }
    const __m256i bits = _mm256_castpd_si256(cells);
    const __m256i magnitude = _mm256_and_si256(bits, _mm256_set1_epi64x(INT64_MAX));
    const __m256i normal = _mm256_and_si256(_mm256_cmpgt_epi64(magnitude, _mm256_set1_epi64x(kSmallestNormal - 1)),
                                            _mm256_cmpgt_epi64(_mm256_set1_epi64x(kInfinity), magnitude));
    const __m256i no_fraction =
        _mm256_cmpeq_epi64(_mm256_and_si256(bits, _mm256_set1_epi64x(kFractionBits)), _mm256_setzero_si256());
    if (_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_andnot_si256(no_fraction, normal))) != 0xf) [[unlikely]] {
      _mm256_store_pd(scaled, cells);
      out = cell_by_cell(out, scaled, i);
      continue;
    }
    // What the conversion takes from the bits alone, for the four at once
    // (shortest_decimal_of's steps; q, k and h in the low half of each lane,
    // its high half zero): c * 2^q is the value, in quarter units scaled by
    // 2^h, and g the power of ten 10^-k.
    const __m256i quarters = _mm256_slli_epi64(
        _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x(kFractionBits)), smallest_normals), 2);
    const __m256i q = _mm256_sub_epi32(_mm256_srli_epi64(magnitude, 52), _mm256_set1_epi64x(1075));
    const __m256i k = _mm256_srai_epi32(_mm256_mullo_epi32(q, _mm256_set1_epi64x(315653)), 20);
    const __m256i h =
        _mm256_add_epi32(_mm256_add_epi32(q,
                                          _mm256_srai_epi32(_mm256_mullo_epi32(k, _mm256_set1_epi64x(-1741647)), 19)),
                         _mm256_set1_epi64x(1));
    // Each power is two 64-bit halves, the high one first.
    const __m256i places =
        _mm256_slli_epi64(_mm256_sub_epi32(_mm256_set1_epi64x(-shortest_detail::kMinPowerOfTen), k), 1);
    const auto* const table = reinterpret_cast<const long long*>(shortest_detail::kPowersOfTen.data());
    const __m256i g_high = _mm256_i64gather_epi64(table, places, 8);
    const __m256i g_low = _mm256_i64gather_epi64(table + 1, places, 8);
    // scale_interval's steps in the lanes: g * (quarters << h) rounded to
    // odd, and the ends from it and g's high half shifted.
    const __m256i scaled_value = _mm256_sllv_epi64(quarters, h);
    const __m256i half_whole = _mm256_srlv_epi64(g_high, _mm256_sub_epi32(_mm256_set1_epi64x(63), h));
    const __m256i half_fraction = _mm256_sllv_epi64(g_high, _mm256_add_epi32(h, _mm256_set1_epi64x(1)));
    const ProductsInLanes high_product = multiply_lanes(g_high, scaled_value);
    const __m256i fraction = _mm256_add_epi64(high_product.low, multiply_lanes(g_low, scaled_value).high);
    // Less a carry's all ones is one more.
    const __m256i whole = _mm256_sub_epi64(high_product.high, below_unsigned(fraction, high_product.low, sign));
    const __m256i lower_fraction = _mm256_sub_epi64(fraction, half_fraction);
    const __m256i upper_fraction = _mm256_add_epi64(fraction, half_fraction);
    // An end within 2^32 units of a whole quarter unit (the high half of its
    // fraction all zeros or all ones, the sign of its low half; the floors
    // below want 64): the group goes cell by cell, each end from its own
    // product.
    const __m256i near_whole =
        _mm256_or_si256(_mm256_cmpeq_epi32(lower_fraction, _mm256_srai_epi32(lower_fraction, 31)),
                        _mm256_cmpeq_epi32(upper_fraction, _mm256_srai_epi32(upper_fraction, 31)));
    if ((_mm256_movemask_ps(_mm256_castsi256_ps(near_whole)) & 0xaa) != 0) [[unlikely]] {
      _mm256_store_pd(scaled, cells);
      out = cell_by_cell(out, scaled, i);
      continue;
    }
    // The floors of the ends, which are not whole (the check above): an end
    // X of a whole number of quarter units is inside where X > the lower
    // floor and X <= the upper floor. As the ends are not whole, whether
    // they themselves count as inside (c odd or even) decides nothing here.
    const __m256i lower =
        _mm256_add_epi64(_mm256_sub_epi64(whole, half_whole), below_unsigned(fraction, half_fraction, sign));
    const __m256i upper =
        _mm256_sub_epi64(_mm256_add_epi64(whole, half_whole), below_unsigned(upper_fraction, fraction, sign));
    const __m256i one = _mm256_set1_epi64x(1);
    // choose_shortest's steps for normal values (every figure is below
    // 2^62, so that signed comparisons do).
    const __m256i below = _mm256_srli_epi64(whole, 2);
    // below / 10 from its 32-bit halves (below is under 2^58): with 2^32 =
    // 429496729 * 10 + 6, it is high * 429496729 + (high * 6 + low) / 10,
    // and that sum is below 2^33, so that its half times ceil(2^34 / 5) >>
    // 34 is the quotient.
    const __m256i below_high = _mm256_srli_epi64(below, 32);
    const __m256i rest = _mm256_add_epi64(_mm256_mul_epu32(below_high, _mm256_set1_epi64x(6)),
                                          _mm256_blend_epi32(below, _mm256_setzero_si256(), 0xaa));
    const __m256i tens = _mm256_add_epi64(
        _mm256_mul_epu32(below_high, _mm256_set1_epi64x(429496729)),
        _mm256_srli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(rest, 1), _mm256_set1_epi64x(0xcccccccd)), 34));
    // All ones where the multiple of ten below the value is inside, where
    // the one above is outside, and where not exactly one of them is inside.
    const __m256i tens_units = _mm256_add_epi64(_mm256_slli_epi64(tens, 5), _mm256_slli_epi64(tens, 3));
    const __m256i ten_below_in = _mm256_cmpgt_epi64(tens_units, lower);
    const __m256i ten_above_out = _mm256_cmpgt_epi64(_mm256_add_epi64(tens_units, _mm256_set1_epi64x(40)), upper);
    const __m256i not_one_ten = _mm256_xor_si256(ten_below_in, ten_above_out);
    // The same for the whole units below and above the value.
    const __m256i below_units = _mm256_slli_epi64(below, 2);
    const __m256i below_in = _mm256_cmpgt_epi64(below_units, lower);
    const __m256i above_out = _mm256_cmpgt_epi64(_mm256_add_epi64(below_units, _mm256_set1_epi64x(4)), upper);
    const __m256i not_one_unit = _mm256_xor_si256(below_in, above_out);
    // Both inside: the nearer, an exact tie to the even one. The value in
    // quarter units rounded to odd (its last bit set where it is not whole)
    // and one more, and one more again where below is odd, has the nearer
    // whole unit as its whole units.
    const __m256i middle =
        _mm256_or_si256(whole, _mm256_andnot_si256(_mm256_cmpeq_epi64(fraction, _mm256_setzero_si256()), one));
    const __m256i nearer =
        _mm256_srli_epi64(_mm256_add_epi64(_mm256_add_epi64(middle, one), _mm256_and_si256(below, one)), 2);
    // Only one inside: that one (all ones added to the unit above where it
    // is the one below).
    const __m256i significand =
        _mm256_blendv_epi8(_mm256_add_epi64(_mm256_add_epi64(tens, one), ten_above_out),
                           _mm256_blendv_epi8(_mm256_add_epi64(_mm256_add_epi64(below, one), below_in), nearer,
                                              not_one_unit),
                           not_one_ten);
    // The significand has 15 to 17 digits: it is taken with 0, 1 or 2 zeros
    // after it, times 10^leading for a leading of 2 less one for each of
    // 10^15 and 10^16 it reaches (a 64 by 32-bit product, the factor from
    // its table of three), so that each cell's digits start at its first.
    // The exponent of the value as d.ddd goes in the low half of each lane,
    // its high half zero, so that a point below zero reads as a large 64-bit
    // figure (and the text as not in fixed notation).
    const __m256i leading =
        _mm256_add_epi64(_mm256_add_epi64(_mm256_set1_epi64x(2), _mm256_cmpgt_epi64(significand, sixteen_digits)),
                         _mm256_cmpgt_epi64(significand, seventeen_digits));
    const __m256i shift_factor = _mm256_permutevar8x32_epi32(_mm256_setr_epi32(1, 10, 100, 0, 0, 0, 0, 0), leading);
    const __m256i digits17 =
        _mm256_add_epi64(_mm256_mul_epu32(significand, shift_factor),
                         _mm256_slli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(significand, 32), shift_factor), 32));
    alignas(32) std::uint64_t points[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(points),
                       _mm256_sub_epi32(_mm256_add_epi32(k, _mm256_add_epi64(_mm256_set1_epi64x(17), not_one_ten)),
                                        leading));
    // split_seventeen_digits's steps: digits17 / 10^8 is (digits17 >> 8) /
    // 5^8, whose dividend is below 2^49 and so exact in a double (2^52 in
    // the exponent bits, taken away again); a quotient below 2^30 with a
    // fraction is at least 5^-8 from a whole number, far more than the
    // rounding of the division, so that truncating it gives the floor.
    const __m256d magic = _mm256_set1_pd(4503599627370496.0);  // 2^52
    const __m256d dividend = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(_mm256_srli_epi64(digits17, 8),
                                                                               _mm256_castpd_si256(magic))),
                                           magic);
    const __m256i nine =
        _mm256_cvtepu32_epi64(_mm256_cvttpd_epi32(_mm256_div_pd(dividend, _mm256_set1_pd(390625.0))));
    const __m256i hundred_million = _mm256_set1_epi64x(100000000);
    const __m256i first = _mm256_srli_epi64(_mm256_mul_epu32(nine, _mm256_set1_epi64x(1441151881)), 57);
    const __m256i high_eight = _mm256_sub_epi64(nine, _mm256_mul_epu32(first, hundred_million));
    const __m256i low_eight = _mm256_sub_epi64(digits17, _mm256_mul_epu32(nine, hundred_million));
    alignas(32) std::uint64_t signs[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(signs), _mm256_srli_epi64(bits, 63));
    // Each cell's first digit with seven bytes after it ('0' each), which
    // its other sixteen then cover.
    const __m256i first_text = _mm256_add_epi64(first, zeros);
    const __m128i front_firsts = _mm256_castsi256_si128(first_text);
    const __m128i back_firsts = _mm256_extracti128_si256(first_text, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(digits[0]), front_firsts);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(digits[1]), _mm_unpackhi_epi64(front_firsts, front_firsts));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(digits[2]), back_firsts);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(digits[3]), _mm_unpackhi_epi64(back_firsts, back_firsts));
    // Each cell's groups side by side, two cells to a vector.
    const __m256i pairs_low = _mm256_unpacklo_epi64(high_eight, low_eight);
    const __m256i pairs_high = _mm256_unpackhi_epi64(high_eight, low_eight);
    const __m256i front =
        eight_digits_in_lanes(_mm256_permute2x128_si256(pairs_low, pairs_high, 0x20), tenths, tens_of_words);
    const __m256i back =
        eight_digits_in_lanes(_mm256_permute2x128_si256(pairs_low, pairs_high, 0x31), tenths, tens_of_words);
    const __m256i front_text = _mm256_add_epi8(front, zeros);
    const __m256i back_text = _mm256_add_epi8(back, zeros);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digits[0] + 1), _mm256_castsi256_si128(front_text));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digits[1] + 1), _mm256_extracti128_si256(front_text, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digits[2] + 1), _mm256_castsi256_si128(back_text));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(digits[3] + 1), _mm256_extracti128_si256(back_text, 1));
    // One bit a digit, set for those that are not 0: two cells to a mask,
    // each cell's sixteen bits read back on their own.
    alignas(8) std::uint16_t nonzero_digits[4];
    const auto front_nonzero =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(front, _mm256_setzero_si256())));
    const auto back_nonzero =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(back, _mm256_setzero_si256())));
    std::memcpy(nonzero_digits, &front_nonzero, 4);
    std::memcpy(nonzero_digits + 2, &back_nonzero, 4);
#pragma GCC unroll 4
    for (std::size_t lane = 0; lane < 4; ++lane) {
      // The last digit that counts is the last that is not 0: the first
      // digit where the sixteen after it are all 0 (it is not 0 then). In
      // 64-bit figures throughout, which address the text as they are.
      const std::uint64_t last = static_cast<std::uint32_t>(
          31 ^ std::countl_zero(static_cast<std::uint32_t>(nonzero_digits[lane]) << 1 | 1));
      const std::uint64_t point = points[lane];
      const char* const start = digits[lane];
      *out = '-';
      out += signs[lane];
      if (point < kMaxCellDigits - 1) [[likely]] {
        // Fixed notation with the point inside the sixteen characters the
        // first copy writes: lay_out_digits's wide steps. The point stays
        // where a digit after it is not 0, and is overwritten otherwise.
        std::memcpy(out, start, 16);
        out[point + 1] = '.';
        std::memcpy(out + point + 2, start + point + 1, 16);
        out += last > point ? last + 2 : point + 1;
      } else {
        out = lay_out_digits<false>(out, start, static_cast<int>(last + 1),
                                    static_cast<int>(static_cast<std::uint32_t>(point)));
      }
      tab(i + lane);
    }
  }
  for (; i < count; ++i) {
    const double value = kScaled ? scale_cell(values[i], nodata, factor) : values[i];
    out = i + 1 < count ? write_shortest<true>(out, value) : write_shortest<false>(out, value);
    tab(i);
  }
  return out;
}

#endif  // CELLSCALE_AVX2_CELLS

// The shortest row loop for an instruction set the processor runs.
template <bool kScaled, bool kEnds>
char* format_shortest_row(InstructionSet set, char* out, const double* values, std::size_t count,
                          const CellScaling& scaling, const char* origin, std::uint32_t* ends) {
#if CELLSCALE_AVX2_CELLS
  if (set >= InstructionSet::avx2) {
    return format_shortest_fours<kScaled, kEnds>(out, values, count, scaling.nodata, scaling.factor, origin, ends);
  }
#else
  (void)set;
#endif
  return format_row<kScaled, kEnds>(out, values, count, scaling, origin, ends, ShortestText<true>{},
                                    ShortestText<false>{});
}

template <bool kScaled>
char* format_shortest_row(InstructionSet set, char* out, const double* values, std::size_t count,
                          const CellScaling& scaling, const char* origin, std::uint32_t* ends) {
  if (ends != nullptr) return format_shortest_row<kScaled, true>(set, out, values, count, scaling, origin, ends);
  return format_shortest_row<kScaled, false>(set, out, values, count, scaling, origin, ends);
}

const InstructionSet kShortestSet = chosen_instruction_set();

template <bool kScaled>
char* format_row_with_digits(char* out, const double* values, std::size_t count, int digits,
                             const CellScaling& scaling, const char* origin, std::uint32_t* ends) {
  if (digits == kShortestCellDigits) {
    return format_shortest_row<kScaled>(kShortestSet, out, values, count, scaling, origin, ends);
  }
  const auto format = [digits](char* at, double value) { return format_cell_digits(at, value, digits); };
  return format_row<kScaled>(out, values, count, scaling, origin, ends, format, format);
}

}  // namespace

char* detail::format_shortest_cells_using(InstructionSet set, char* out, const double* values, std::size_t count,
                                          const char* origin, std::uint32_t* ends, const CellScaling* scaling) {
  if (scaling != nullptr) return format_shortest_row<true>(set, out, values, count, *scaling, origin, ends);
  return format_shortest_row<false>(set, out, values, count, CellScaling{}, origin, ends);
}

char* format_cells_with_tabs_digits(char* out, const double* values, std::size_t count, int digits) {
  return format_cells_with_tabs_digits(out, values, count, digits, out, nullptr);
}

char* format_cells_with_tabs_digits(char* out, const double* values, std::size_t count, int digits,
                                    const char* origin, std::uint32_t* ends) {
  if (digits == kFormatCellDigits) {
    return ends != nullptr ? format_cells_with_tabs(out, values, count, origin, ends)
                           : format_cells_with_tabs(out, values, count);
  }
  return format_row_with_digits<false>(out, values, count, digits, CellScaling{}, origin, ends);
}

char* format_scaled_cells_with_tabs_digits(char* out, const double* values, std::size_t count, int digits,
                                           const CellScaling& scaling) {
  return format_scaled_cells_with_tabs_digits(out, values, count, digits, scaling, out, nullptr);
}

char* format_scaled_cells_with_tabs_digits(char* out, const double* values, std::size_t count, int digits,
                                           const CellScaling& scaling, const char* origin, std::uint32_t* ends) {
  if (digits == kFormatCellDigits) {
    return ends != nullptr ? format_scaled_cells_with_tabs(out, values, count, scaling, origin, ends)
                           : format_scaled_cells_with_tabs(out, values, count, scaling);
  }
  return format_row_with_digits<true>(out, values, count, digits, scaling, origin, ends);
}

}  // namespace cellscale
