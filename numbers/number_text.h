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
#include <cstddef>
#include <cstdint>

#include "numbers/instruction_set.h"

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

const char* scan_plain_decimal(const char* p, const char* readable_end, double& value);

// Where a run of plain decimals stopped, and how many it read.
struct PlainDecimalRun {
  const char* next;
  std::size_t count;
};

// Reads up to `count` plain decimals of at most 8 characters after the sign
// (the common cells: 1577.226, -9999) into `values`, one after the other:
// each starts where the blank that ended the one before it was, and is read
// as scan_plain_decimal reads it. Stops before anything else (another blank,
// a longer number, any other form, or a number within kPlainDecimalReach of
// `readable_end`), which the caller then takes the long way. `next` is just
// after the blank that ended the last number read.
PlainDecimalRun scan_short_plain_decimals(const char* p, const char* readable_end, double* values, std::size_t count);

// Implementation details follow: the ways a run can be read, for the tests.
namespace detail {

// scan_short_plain_decimals read the way it takes for an instruction set,
// which must be one the processor runs: plain C++ (portable), SSE2, or SSSE3
// (ssse3 and above). Each way reads the same numbers to the same values and
// stops at the same place.
PlainDecimalRun scan_short_plain_decimals_using(InstructionSet set, const char* p, const char* readable_end,
                                                double* values, std::size_t count);

}  // namespace detail

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

// A number read as scan_number reads it from text that comes a part at a
// time, for a number too long to be kept whole: a cell of a gigabyte of
// digits, say. Its memory does not grow with the number's length. It keeps
// what decides the value: the first kKeptDecimalDigits significant digits
// (of a hexadecimal number kKeptHexDigits), whether any digit after them is
// not 0, the power by which the digits' places scale it, and the exponent
// written, however many digits that has. No rounding of a double depends on
// more: the halfway points between doubles and the edges of overflow and
// underflow have fewer significant digits than are kept, so that the number
// rounds as the one whose further digits are a single 1 (when any was not
// 0) does. That number is read by scan_number to give the value.
//
// Counts and exponents stop at 10^17 (100 petabytes of digits), where any
// value has long overflowed or underflowed.
class LongNumberScan {
 public:
  static constexpr std::size_t kKeptDecimalDigits = 800;
  static constexpr std::size_t kKeptHexDigits = 32;

  // Takes the characters from `first` on that continue the number, the
  // first of all being the number's first character (after the blanks
  // before it, which are not taken), and returns where it stopped: `last`
  // when every character was taken.
  const char* take(const char* first, const char* last);

  // Whether the number is whole: a character that cannot continue it was
  // met (take stopped before its `last`), or none can ("nan").
  [[nodiscard]] bool whole() const { return whole_; }

  // The number as far as it was taken, read as scan_number reads it when
  // its text ends there (at_end): ok with its value, or no_number when what
  // was taken is no number.
  [[nodiscard]] ScanStatus value(double& value) const;

  // The characters taken.
  [[nodiscard]] std::uint64_t taken() const { return taken_; }

 private:
  enum class State : std::uint8_t {
    start,      // nothing taken
    signed_,    // a sign taken
    word,       // part of "nan" or "inf"
    after_inf,  // "inf", which "inity" may follow
    infinity,   // "infi" and part of "nity"
    zero,       // a first 0, which x may follow
    digits,     // the digits, point and exponent of a number
    failed,     // no number
  };

  bool take_character(char c);
  void add_digit(char c);
  void add_exponent_digit(char c);

  State state_ = State::start;
  bool whole_ = false;
  bool negative_ = false;
  bool hex_ = false;
  bool nan_ = false;          // the word is "nan" (else "inf")
  std::uint8_t matched_ = 0;  // characters of the word matched
  bool got_digit_ = false;
  bool got_point_ = false;
  bool got_exponent_ = false;
  bool after_mark_ = false;  // the last character taken was the exponent's mark
  bool exponent_digits_ = false;
  bool exponent_negative_ = false;
  bool dropped_nonzero_ = false;  // a significant digit after the kept ones was not 0
  std::uint64_t taken_ = 0;
  std::size_t kept_ = 0;
  // The kept digits times 10^scale (2^scale for a hexadecimal number) is
  // the number's magnitude, but for the digits dropped and the exponent.
  std::int64_t scale_ = 0;
  std::int64_t exponent_ = 0;
  char digits_[kKeptDecimalDigits];
};

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
