#include "grid/number_text.h"

#include <charconv>
#include <cstdlib>
#include <limits>
#include <string>

namespace cellscale {

namespace {

constexpr char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_hex_digit(char c) { return is_digit(c) || (lower(c) >= 'a' && lower(c) <= 'f'); }

// The value of the characters a scan took, converted as strtod converts them.
// A range error (a result beyond a double, or one that rounds to zero) is left
// to strtod itself so that overflow and underflow give what the C library
// gives; that needs a terminated copy, which only such extreme numbers pay for.
// The copy begins with a digit, a point or "0x", so strtod skips no blank, and
// the tool leaves LC_NUMERIC at "C": the user's locale plays no part.
double convert_taken(const char* first, const char* last, std::chars_format format) {
  double value = 0.0;
  const auto [ptr, error] = std::from_chars(first, last, value, format);
  if (error == std::errc::result_out_of_range) {
    std::string text = format == std::chars_format::hex ? "0x" : "";
    text.append(first, ptr);
    return std::strtod(text.c_str(), nullptr);
  }
  // A hexadecimal number with no digit after "0x" (as in "0x.") is the 0 before the x.
  return error == std::errc{} ? value : 0.0;
}

}  // namespace

ScanResult scan_number(const char* first, const char* last, bool at_end, double& value) {
  const char* p = first;
  while (p != last && is_scan_space(*p)) ++p;
  // Each look at the next character first asks whether there is one: at the end of
  // the available text a number is cut short unless the text really ends there.
  auto need_more = [&] { return p == last && !at_end; };
  auto fail = [&](const char* where) { return ScanResult{where, ScanStatus::no_number}; };
  const char* token = nullptr;
  auto truncated = [&] { return ScanResult{token, ScanStatus::truncated}; };
  auto next_is = [&](char wanted) { return p != last && lower(*p) == wanted; };

  token = p;
  if (need_more()) return truncated();
  if (p == last) return fail(p);

  // A plain decimal followed by a blank is taken in one conversion; anything
  // else goes the long way below. Most cells never come here (the text reader
  // takes them with scan_plain_decimal): this path serves the header values,
  // the factor reply and the cells that scan_plain_decimal leaves.
  if (is_digit(*p) || (*p == '-' && last - p > 1 && is_digit(p[1]))) {
    const auto [end, error] = std::from_chars(p, last, value);
    if (error == std::errc{} && end != last && is_scan_space(*end)) return {end, ScanStatus::ok};
  }

  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
    if (need_more()) return truncated();
    if (p == last) return fail(p);  // a sign at the very end of the text
  }

  // Words: "nan", "inf" and "infinity". Once "inf" is followed by an i the whole
  // of "infinity" must follow, as the C library demands.
  if (next_is('n') || next_is('i')) {
    const bool is_nan = next_is('n');
    const char* word = is_nan ? "nan" : "inf";
    for (int i = 0; i < 3; ++i, ++p) {
      if (need_more()) return truncated();
      if (!next_is(word[i])) return fail(p);
    }
    if (!is_nan) {
      if (need_more()) return truncated();
      if (next_is('i')) {
        for (const char* rest = "inity"; *rest != '\0'; ++rest, ++p) {
          if (need_more()) return truncated();
          if (!next_is(*rest)) return fail(p);
        }
      }
    }
    const double magnitude =
        is_nan ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
    value = negative ? -magnitude : magnitude;
    return {p, ScanStatus::ok};
  }

  // Digits, one decimal point, then an exponent ("e" or, after "0x", "p") with an
  // optional sign. Characters are taken while they could still continue a number,
  // even where the exponent then has no digit ("1e+" takes three characters).
  const char* mantissa = p;
  bool hex = false;
  bool got_digit = false;
  if (*p == '0') {
    ++p;
    if (need_more()) return truncated();
    if (next_is('x')) {
      hex = true;
      ++p;
      mantissa = p;
    } else {
      got_digit = true;
    }
  }
  const char exponent_mark = hex ? 'p' : 'e';
  bool got_exponent = false;
  bool got_point = false;
  while (true) {
    if (need_more()) return truncated();
    if (p == last) break;
    const char c = *p;
    if (is_digit(c) || (hex && !got_exponent && is_hex_digit(c))) {
      got_digit = true;
    } else if (got_exponent && lower(p[-1]) == exponent_mark && (c == '+' || c == '-')) {
    } else if (got_digit && !got_exponent && lower(c) == exponent_mark) {
      got_exponent = got_point = true;
    } else if (!got_point && c == '.') {
      got_point = true;
    } else {
      break;
    }
    ++p;
  }

  if (hex) {
    if (p == mantissa) return fail(p);  // "0x" and nothing after it
    value = convert_taken(mantissa, p, std::chars_format::hex);
  } else {
    if (!got_digit) return fail(p);  // a sign or a point alone
    value = convert_taken(mantissa, p, std::chars_format::general);
  }
  if (negative) value = -value;
  return {p, ScanStatus::ok};
}

namespace detail {

namespace {

// How many of the 8 characters, from the first, are digits: as
// outside_number_characters, with '0' as the lower end.
constexpr int count_leading_digits(std::uint64_t characters) {
  const std::uint64_t from_zero = characters - '0' * kEachByte;
  return std::countr_zero(((from_zero + 0x76 * kEachByte) | from_zero) & (0x80 * kEachByte)) >> 3;
}

// The value of the first `count` (1 to 8) characters, all digits: shifted
// to the top, they are the last digits of an 8-digit number whose first ones
// are 0. A non-digit after them borrows only from the bytes above it, which
// the shift drops.
constexpr std::uint64_t value_of_digits(std::uint64_t characters, int count) {
  return value_of_eight_digits((characters - '0' * kEachByte) << (64 - 8 * count));
}

// Takes the run of digits at p into `digits` (times ten for each), 8 at a
// time, and moves p past it; returns its length, or stops once it is more
// than 19 (having read at most 24 digits and so 24 characters).
int take_digits(const char*& p, std::uint64_t& digits) {
  int taken = 0;
  while (true) {
    const std::uint64_t characters = load_characters(p);
    const int count = count_leading_digits(characters);
    if (count == 0) return taken;
    digits = digits * kIntegerPowersOfTen[count] + value_of_digits(characters, count);
    p += count;
    taken += count;
    if (count < 8 || taken > 19) return taken;
  }
}

}  // namespace

// Reads at most 1 + 24 characters of whole digits, then (after at most 19 of
// them) the point and at most 24 of fraction: within kPlainDecimalReach of the sign.
const char* scan_long_plain_decimal(const char* p, bool negative, double& value) {
  constexpr std::uint64_t kExactLimit = std::uint64_t{1} << 53;
  std::uint64_t digits = 0;
  const int whole_digits = take_digits(p, digits);
  int fraction_digits = 0;
  if (whole_digits <= 19 && *p == '.') fraction_digits = take_digits(++p, digits);
  if (whole_digits == 0 || whole_digits + fraction_digits > 19 || !is_scan_space(*p) || digits > kExactLimit) {
    return nullptr;
  }
  const double magnitude = static_cast<double>(digits) / kPlainPowersOfTen[fraction_digits];
  value = negative ? -magnitude : magnitude;
  return p;
}

}  // namespace detail

ScanResult scan_word(const char* first, const char* last, bool at_end, const char*& word_first) {
  const char* p = first;
  while (p != last && is_scan_space(*p)) ++p;
  if (p == last) return {p, at_end ? ScanStatus::no_number : ScanStatus::truncated};
  word_first = p;
  while (p != last && !is_scan_space(*p)) ++p;
  if (p == last && !at_end) return {word_first, ScanStatus::truncated};
  return {p, ScanStatus::ok};
}

std::int64_t truncate_to_int64(double value) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (!(value >= -kTwoTo63 && value < kTwoTo63)) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

}  // namespace cellscale
