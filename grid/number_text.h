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
// the text. scan_plain_decimal is handed only a start, so its text is the one
// that ends in the first NUL, and it reads nothing past that NUL.
//
// Blanks are the C locale's six (space, \t, \n, \v, \f, \r) in every locale
// and on every platform: the same text gives the same numbers everywhere.

#include <cstddef>
#include <cstdint>

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

// True for the white space that scanf skips in the "C" locale. The user's
// locale does not matter (a Windows code page, say, may call 0xA0 a space).
constexpr bool is_scan_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads a plain decimal number, the form nearly every grid cell has: an
// optional minus sign, digits, and optionally a point and more digits, 19
// digits at most in all, followed by white space. `p` is where the number
// starts (after the blanks), in a text that ends in a NUL: the characters
// are looked at up to the first one that cannot continue the number, the NUL
// at the latest. Returns where the number ends, its value being exactly what
// scan_number gives; nullptr when the text is not in that form or the number
// is beyond what is converted here, leaving it to scan_number.
//
// The digits make an integer below 10^19 and the point says by which power
// of ten to divide it. Below 2^53 that integer is a double exactly, and so is
// every power of ten up to 10^22, so one correctly rounded division gives the
// correctly rounded value of the text.
inline constexpr double kPlainPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                               1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};

inline const char* scan_plain_decimal(const char* p, double& value) {
  constexpr std::uint64_t kExactLimit = std::uint64_t{1} << 53;
  const bool negative = *p == '-';
  p += negative ? 1 : 0;
  const char* const first = p;
  std::uint64_t digits = 0;
  while (static_cast<unsigned char>(*p - '0') < 10) {
    digits = digits * 10 + static_cast<unsigned char>(*p - '0');
    ++p;
  }
  const auto whole_digits = p - first;
  std::ptrdiff_t fraction_digits = 0;
  if (*p == '.') {
    const char* const fraction = ++p;
    while (static_cast<unsigned char>(*p - '0') < 10) {
      digits = digits * 10 + static_cast<unsigned char>(*p - '0');
      ++p;
    }
    fraction_digits = p - fraction;
  }
  if (whole_digits == 0 || whole_digits + fraction_digits > 19 || !is_scan_space(*p) || digits > kExactLimit) {
    return nullptr;
  }
  const double magnitude = static_cast<double>(digits) / kPlainPowersOfTen[fraction_digits];
  value = negative ? -magnitude : magnitude;
  return p;
}

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

}  // namespace cellscale
