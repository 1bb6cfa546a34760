#pragma once

// Reading numbers and words out of grid text, the way the C library's scanf
// conversions "%lg" and "%s" read them from a stream, but on characters in
// memory: nothing is allocated, nothing is thrown, and each function says
// where it stopped so that the caller can go on from there.
//
// No function here looks at a character outside the text it is handed.
// scan_number and scan_word are handed the range [first, last) and read
// nothing before `first` and nothing at or past `last`, whatever the text
// holds and whatever `at_end` says; the caller need not keep anything after
// the text. scan_plain_decimal is handed a start and the end of the memory it
// may read: its text is the one that ends in the first NUL, and the bytes
// after that NUL do not change what it gives.
//
// Blanks are the C locale's six (space, \t, \n, \v, \f, \r) in every locale
// and on every platform: the same text gives the same numbers everywhere.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cellscale {

enum class ScanStatus {
  ok,         // a value was read; `next` is just after the characters it took
  no_number,  // the text at `next` begins no number (or only blanks were left)
  truncated,  // the text ran out while it could still have become longer
};

struct [[nodiscard]] ScanResult {
  const char* next;
  ScanStatus status;
};

namespace detail {
// The blanks below, one flag per character: a look-up is one load.
inline constexpr auto kScanSpaces = [] {
  std::array<bool, 256> spaces{};
  for (const char c : {' ', '\t', '\n', '\v', '\f', '\r'}) spaces[static_cast<unsigned char>(c)] = true;
  return spaces;
}();
}  // namespace detail

// True for the white space that scanf skips in the "C" locale. The user's
// locale does not matter (a Windows code page, say, may call 0xA0 a space).
constexpr bool is_scan_space(char c) { return detail::kScanSpaces[static_cast<unsigned char>(c)]; }

// Reads a plain decimal number, the form nearly every grid cell has: an
// optional minus sign, digits, and optionally a point and more digits, 19
// digits at most in all, followed by white space. `p` is where the number
// starts (after the blanks), in a text that ends in a NUL; the characters are
// read 8 at a time, so up to kPlainDecimalReach bytes from `p` are read, any
// of them past the NUL: `readable_end` is the end of the memory that may be
// read, and a number that starts closer to it than that is left to
// scan_number. Returns where the number ends, its value being exactly what
// scan_number gives; nullptr when the text is not in that form, or the number
// is beyond what is converted here, leaving it to scan_number. Characters
// after the first one that cannot continue the number play no part.
//
// The digits make an integer below 10^19 and the point says by which power
// of ten to divide it. Up to 2^53 that integer is a double exactly, and so is
// every power of ten up to 10^22, so one correctly rounded division gives the
// correctly rounded value of the text.
inline constexpr std::ptrdiff_t kPlainDecimalReach = 64;

inline const char* scan_plain_decimal(const char* p, const char* readable_end, double& value);

// Reads one number as "%lg" does: skips white space, then takes an optional
// sign and a decimal number, a hexadecimal one ("0x1.8p3"), "inf",
// "infinity" or "nan" (any letter case). It takes characters as long as they
// can continue a number and converts the longest valid prefix of them, so
// "1e+" is read as 1 and takes three characters, and "1.5.3" is read as 1.5.
// Values beyond the range of a double become infinities or zero, as strtod
// makes them.
//
// When the characters reach `last` while a longer number was still possible,
// the status is `truncated` unless `at_end` says that no more text follows,
// in which case what was there is read. A truncated result's `next` is where
// the number begins (the blanks before it are passed): a streaming caller
// keeps the text from there, fetches more and scans again.
ScanResult scan_number(const char* first, const char* last, bool at_end, double& value);

// Skips white space and then one word (a run of characters that are not white
// space), as "%s" does. On success `word_first` is where the word starts and
// `next` is just after it. `no_number` means only white space was left;
// `truncated` that the word or the blanks reached `last` before `at_end`;
// then `next` is where the word begins, or `last` when only blanks were seen.
ScanResult scan_word(const char* first, const char* last, bool at_end, const char*& word_first);

// A header count written as a whole number: truncated toward zero to 64 bits;
// NaN and values beyond that range give the smallest 64-bit integer, as the
// processor's own conversion does.
std::int64_t truncate_to_int64(double value);

// --- Implementation details follow -------------------------------------

namespace detail {

inline constexpr double kPlainPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                               1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
inline constexpr std::uint64_t kIntegerPowersOfTen[] = {1,      10,      100,      1000,     10000,
                                                        100000, 1000000, 10000000, 100000000};
inline constexpr std::uint64_t kEachByte = 0x0101010101010101U;
// 10^(8 - whole digits): what 8 digits with that many before the point are divided by.
inline constexpr double kEightDigitScales[] = {1e8, 1e7, 1e6, 1e5, 1e4, 1e3, 1e2, 1e1, 1e0};
// The first `count` bytes (the low ones) of 8, and their low 4 bits, which of
// a digit character are its value.
inline constexpr auto kFirstBytes = [] {
  std::array<std::uint64_t, 9> masks{};
  for (std::size_t count = 1; count < masks.size(); ++count) masks[count] = (masks[count - 1] << 8) | 0xff;
  return masks;
}();
inline constexpr auto kFirstDigitValues = [] {
  std::array<std::uint64_t, 9> masks{};
  for (std::size_t count = 0; count < masks.size(); ++count) masks[count] = kFirstBytes[count] & (0x0f * kEachByte);
  return masks;
}();

// The 8 characters at p as one number, the first in the lowest byte.
inline std::uint64_t load_characters(const char* p) {
  std::uint64_t characters;
  std::memcpy(&characters, p, sizeof characters);
  if constexpr (std::endian::native == std::endian::big) characters = __builtin_bswap64(characters);
  return characters;
}

// Bit 7 of the byte of the first of the 8 characters that is neither a
// digit nor a point ('.', or '/', which has the point's place among the
// characters), and perhaps of bytes after it; 0 when all 8 are. Less 0x2e,
// the digits and points are the bytes 0 to 11, which 0x74 more leaves below
// bit 7; any other byte sets bit 7 of one of the two. A borrow or a carry
// goes only to the bytes after such a byte.
constexpr std::uint64_t outside_number_characters(std::uint64_t characters) {
  const std::uint64_t from_point = characters - 0x2e * kEachByte;
  return ((from_point + 0x74 * kEachByte) | from_point) & (0x80 * kEachByte);
}

// The number that 8 bytes of digit values (0 to 9) make, the first byte the
// most significant digit: the bytes are summed in pairs, then the pairs in
// one step by two multiplications that place 10^6 * pair0 + 10^4 * pair1 +
// 100 * pair2 + pair3 in the upper 32 bits.
constexpr std::uint64_t value_of_eight_digits(std::uint64_t digits) {
  digits = digits * 10 + (digits >> 8);
  constexpr std::uint64_t kPairs = 0x000000ff000000ffU;
  const std::uint64_t first_and_third = (digits & kPairs) * (100 + (std::uint64_t{1000000} << 32));
  const std::uint64_t second_and_fourth = ((digits >> 16) & kPairs) * (1 + (std::uint64_t{10000} << 32));
  return (first_and_third + second_and_fourth) >> 32;
}

// scan_plain_decimal for the numbers of more than 8 characters, and for any
// text that is not a number of at most 8 characters followed by a blank. `p`
// is after the sign.
const char* scan_long_plain_decimal(const char* p, bool negative, double& value);

}  // namespace detail

// Most cells are numbers of at most 8 characters: they are read from one
// load of 8. The point is taken out by moving the digits after it down a
// byte, and the bytes from the number's end on are cleared: the 8-digit
// number they make is the number's digits times 10^(8 - whole digits), an
// integer below 10^8, and one division by that power of ten gives the value.
inline const char* scan_plain_decimal(const char* p, const char* readable_end, double& value) {
  if (readable_end - p < kPlainDecimalReach) return nullptr;
  const bool negative = *p == '-';
  p += negative ? 1 : 0;
  const std::uint64_t characters = detail::load_characters(p);
  const int length = std::countr_zero(detail::outside_number_characters(characters)) >> 3;
  if (!is_scan_space(p[length])) return detail::scan_long_plain_decimal(p, negative, value);
  // A byte among digits and points with bit 4 clear is a point; bit 0 set makes it a '/'.
  const std::uint64_t points =
      ~characters & (0x10 * detail::kEachByte) & detail::kFirstBytes[static_cast<std::size_t>(length)];
  if (((points & (points - 1)) | (characters & (points >> 4))) != 0) return nullptr;  // two points, or a '/'
  const int point_count = points != 0 ? 1 : 0;
  const int whole_digits = points != 0 ? std::countr_zero(points) >> 3 : length;
  if (whole_digits == 0) return nullptr;
  const std::uint64_t before = detail::kFirstBytes[static_cast<std::size_t>(whole_digits)];
  const std::uint64_t digits = ((characters & before) | ((characters >> 8) & ~before)) &
                               detail::kFirstDigitValues[static_cast<std::size_t>(length - point_count)];
  const double magnitude =
      static_cast<double>(detail::value_of_eight_digits(digits)) / detail::kEightDigitScales[whole_digits];
  value = negative ? -magnitude : magnitude;
  return p + length;
}

}  // namespace cellscale
