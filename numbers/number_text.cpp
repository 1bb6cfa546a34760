#include "numbers/number_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

// The vector ways of reading a run of short numbers, on x86-64.
#if defined(__x86_64__) && defined(__SSE2__)
#define CELLSCALE_VECTOR_SCAN 1
#include <emmintrin.h>
#include <tmmintrin.h>
#else
#define CELLSCALE_VECTOR_SCAN 0
#endif

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

namespace {

// --- Plain decimals, 8 characters at a time -------------------------------

constexpr double kPlainPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                        1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
constexpr std::uint64_t kIntegerPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
constexpr std::uint64_t kEachByte = 0x0101010101010101U;
constexpr std::uint64_t kTopBit = std::uint64_t{1} << 63;
// The first `count` bytes (the low ones) of 8.
constexpr auto kFirstBytes = [] {
  std::array<std::uint64_t, 9> masks{};
  for (std::size_t count = 1; count < masks.size(); ++count) masks[count] = (masks[count - 1] << 8) | 0xff;
  return masks;
}();

// What read_short_plain_decimal looks up, in one place. For n = 1 to 8
// characters, at the place 8 n - 1 where it finds the first bit of a mark
// one byte down: the first n bytes, their low 4 bits (which of a digit
// character are its value), and 10^(8 - n), what 8 digits with n before the
// point are divided by.
struct ShortNumberMasks {
  std::array<std::uint64_t, 64> first_bytes{};
  std::array<std::uint64_t, 64> first_digit_values{};
  std::array<double, 64> eight_digit_scales{};
  // The blanks, as is_scan_space finds them: beside the masks, so that one
  // register holds where both are.
  std::array<bool, 256> spaces = detail::kScanSpaces;
};
constexpr ShortNumberMasks kShort = [] {
  ShortNumberMasks masks;
  double scale = 1e8;
  for (std::size_t n = 1; n <= 8; ++n) {
    scale /= 10;
    masks.first_bytes[8 * n - 1] = kFirstBytes[n];
    masks.first_digit_values[8 * n - 1] = kFirstBytes[n] & (0x0f * kEachByte);
    masks.eight_digit_scales[8 * n - 1] = scale;
  }
  return masks;
}();

// The 8 characters at p as one number, the first in the lowest byte.
std::uint64_t load_characters(const char* p) {
  std::uint64_t characters;
  std::memcpy(&characters, p, sizeof characters);
  if constexpr (std::endian::native == std::endian::big) characters = __builtin_bswap64(characters);
  return characters;
}

constexpr bool starts_with_digit(std::uint64_t characters) {
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(characters) - '0') <= 9;
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
// most significant digit. Each multiplication adds to every part ten, a
// hundred or ten thousand times the part before it: pairs of digits, then
// fours, then the eight, each part staying within its bytes. `pairs` is
// always kPairsOfDigits, given by a caller that has it in memory (ShortShape).
constexpr std::uint64_t kPairsOfDigits = 1 + (10 << 8);
constexpr std::uint64_t value_of_eight_digits(std::uint64_t digits, std::uint64_t pairs = kPairsOfDigits) {
  digits = (digits * pairs) >> 8;
  digits = ((digits & 0x00ff00ff00ff00ffU) * (1 + (100 << 16))) >> 16;
  return ((digits & 0x0000ffff0000ffffU) * (1 + (std::uint64_t{10000} << 32))) >> 32;
}

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

// scan_plain_decimal for the numbers of more than 8 characters after the
// sign, `p` being after it. Reads at most 1 + 24 characters of whole digits,
// then (after at most 19 of them) the point and at most 24 of fraction:
// within kPlainDecimalReach of the sign.
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

// A number of at most 8 characters after the sign, read from one load of 8,
// `characters`, whose first is a digit; nullptr for anything else, leaving
// `value` as it was. The first character that is neither a digit nor a point
// ends the number. A blank there has bit 4 clear, as a point ('.' or '/') has
// and a digit has not, so the first such bit is where the whole digits end,
// at a point or at the end. That character is taken out by moving the
// characters after it down a byte, and the bytes from the number's end on
// are cleared: what is left must be digits, the 8-digit number they make is
// the number's digits times 10^(8 - whole digits), an integer below 10^8,
// and one division by that power of ten gives the correctly rounded value.
inline const char* read_short_plain_decimal(const char* p, std::uint64_t characters, bool negative, double& value,
                                            std::size_t& shape) {
  // Bit 7 of the 2nd to 8th byte moved to the byte before, and the top bit for
  // a 9th: the first digit is known, so the first bit is at 8 n - 1 for a
  // length of n characters.
  const auto length_place =
      static_cast<unsigned>(std::countr_zero((outside_number_characters(characters) >> 8) | kTopBit));
  const char* const end = p + ((length_place + 1) >> 3);
  if (!kShort.spaces[static_cast<unsigned char>(*end)]) return nullptr;
  // Bit 4 moved as bit 7 above: the first bit is at 8 n - 1 for n whole digits.
  const auto whole_place =
      static_cast<unsigned>(std::countr_zero(((~characters & (0x10 * kEachByte)) >> 5) | kTopBit));
  if (p[(whole_place + 1) >> 3] == '/') return nullptr;
  const std::uint64_t digits = characters & kShort.first_digit_values[length_place];
  const std::uint64_t before = kShort.first_bytes[whole_place];
  const std::uint64_t joined = (digits & before) | ((digits >> 8) & ~before);
  // A second point is left among the digits as 14 or 15, which 0x76 more
  // carries into bit 7. The last byte holds a digit or nothing: the point, if
  // any, was taken out before it.
  if (((joined + 0x76 * kEachByte) & (0x80 * kEachByte >> 8)) != 0) return nullptr;
  const double magnitude =
      static_cast<double>(value_of_eight_digits(joined)) / kShort.eight_digit_scales[whole_place];
  value = negative ? -magnitude : magnitude;
  shape = (length_place - 7) + (whole_place >> 3);  // 8 (length - 1) + whole digits - 1
  return end;
}

// A number's shape: its length, 1 to 8 characters after the sign, and its
// whole digits, 1 to the length (as many as the length when it has no
// point). Most cells of a grid have the shape of the cell before them; such
// a number is checked and joined with the masks of that shape, without
// finding where it ends and where its point is. Less `zeros`, each of the
// shape's digits is 0 to 9 and its point ('.' only) 0, which `limits` more
// leaves below bit 7; it carries anything else into bit 7 of its byte (a
// byte of 0x80 or more, or one that went below 0, has that bit already), and
// a borrow or a carry reaches only the bytes after such a byte.
struct ShortShape {
  std::uint64_t zeros;
  std::uint64_t limits;
  std::uint64_t checked;       // bit 7 of each of the shape's bytes
  std::uint64_t digit_values;  // the low 4 bits of each of them
  std::uint64_t from_point;    // the bytes from the point on, whose digits move down a byte
  double scale;                // 10^(8 - whole digits)
  std::size_t length;
  // kPairsOfDigits, the same in every shape: read from here, it takes one
  // multiplication, where a constant is taken apart into shifts and additions.
  std::uint64_t pairs;
};

// At 8 (length - 1) + whole digits - 1, as read_short_plain_decimal gives it.
// The places of no shape (more whole digits than characters) fit no number.
constexpr auto kShapes = [] {
  std::array<ShortShape, 64> shapes{};
  for (ShortShape& none : shapes) none.limits = none.checked = 0x80 * kEachByte;
  for (std::size_t length = 1; length <= 8; ++length) {
    for (std::size_t whole = 1; whole <= length; ++whole) {
      ShortShape& shape = shapes[8 * (length - 1) + whole - 1];
      shape.limits = 0;
      for (std::size_t i = 0; i < length; ++i) {
        const bool point = i == whole;
        shape.zeros |= std::uint64_t{point ? 0x2eU : 0x30U} << (8 * i);
        shape.limits |= std::uint64_t{point ? 0x7fU : 0x76U} << (8 * i);
      }
      shape.checked = kFirstBytes[length] & (0x80 * kEachByte);
      shape.digit_values = kFirstBytes[length] & (0x0f * kEachByte);
      shape.from_point = ~kFirstBytes[whole];
      shape.scale = kShort.eight_digit_scales[8 * whole - 1];
      shape.length = length;
      shape.pairs = kPairsOfDigits;
    }
  }
  return shapes;
}();
constexpr std::size_t kFourWholeDigitsAndThreeDecimals = 8 * (8 - 1) + 4 - 1;

}  // namespace

const char* scan_plain_decimal(const char* p, const char* readable_end, double& value) {
  if (readable_end - p < kPlainDecimalReach) return nullptr;
  const bool negative = *p == '-';
  p += negative ? 1 : 0;
  const std::uint64_t characters = load_characters(p);
  if (starts_with_digit(characters)) {
    std::size_t shape = 0;
    if (const char* end = read_short_plain_decimal(p, characters, negative, value, shape)) return end;
  }
  return scan_long_plain_decimal(p, negative, value);
}

namespace {

// A way of reading a run: the shape a number read the long way gives it
// (shape_of, from its place in kShapes and the blank after it) and the read
// of a number by a shape. The portable way reads from one 8-byte load.
struct PortableWay {
  using Shape = ShortShape;
  static const Shape* shape_of(std::size_t seen, char) { return &kShapes[seen]; }

  // Reads the number at p if it has the shape `by` and moves p past its blank.
  static bool read(const Shape& by, const char*& p, bool negative, double& value) {
    const std::uint64_t characters = load_characters(p);
    const std::uint64_t from_zeros = characters - by.zeros;
    if ((((from_zeros + by.limits) | from_zeros) & by.checked) != 0 ||
        !kShort.spaces[static_cast<unsigned char>(p[by.length])]) {
      return false;
    }
    const std::uint64_t digits = characters & by.digit_values;
    const std::uint64_t joined = digits ^ ((digits ^ (digits >> 8)) & by.from_point);
    const double magnitude = static_cast<double>(value_of_eight_digits(joined, by.pairs)) / by.scale;
    value = negative ? -magnitude : magnitude;
    p += by.length + 1;  // past the blank that ends it
    return true;
  }
};

// A run read the way given, a number at a time. The loop calls nothing, so
// that its constants stay in registers. A negative number takes the same
// steps with a shape of its own: the nodata cells of a grid of positive
// values leave the shape of its other cells as it was.
template <typename Way>
PlainDecimalRun scan_short_run(const char* p, const char* readable_end, double* values, std::size_t count) {
  // A number read here takes at most 10 characters with its sign and its
  // blank, so that the next `sure` numbers all start within reach of the
  // end: the inner loop counts the numbers and need not look at the end.
  constexpr std::ptrdiff_t kLongestTaken = 10;
  double* value = values;
  double* const values_end = values + count;
  // Two shapes: the one most cells have, checked first, and the one of the
  // last cell of another shape. A cell of another shape is mostly followed by
  // one of the shape before it; the other shape takes the lead only when two
  // cells in a row have it.
  const typename Way::Shape* shape = Way::shape_of(kFourWholeDigitsAndThreeDecimals, '\t');
  const typename Way::Shape* other_shape = shape;
  const char* after_other = nullptr;                  // where the cell after the last of the other shape starts
  const typename Way::Shape* negative_shape = shape;  // of the last negative number, after its sign
  while (value != values_end && readable_end - p >= kPlainDecimalReach) {
    const auto sure = static_cast<std::size_t>((readable_end - p - kPlainDecimalReach) / kLongestTaken + 1);
    double* const part_end = value + std::min(sure, static_cast<std::size_t>(values_end - value));
    for (; value != part_end; ++value) {
      if (Way::read(*shape, p, false, *value)) continue;
      // The characters are loaded again below rather than kept from the read
      // above: keeping them would cost a copy in every number read.
      __asm__ volatile("" ::: "memory");
      const std::uint64_t characters = load_characters(p);
      const char* end = nullptr;
      std::size_t seen = 0;
      if (starts_with_digit(characters)) {
        if (const char* start = p; Way::read(*other_shape, p, false, *value)) {
          if (start == after_other) std::swap(shape, other_shape);
          after_other = p;
          continue;
        }
        end = read_short_plain_decimal(p, characters, false, *value, seen);
        if (end != nullptr) {
          other_shape = Way::shape_of(seen, *end);
          after_other = end + 1;
        }
      } else if (*p == '-') {
        if (Way::read(*negative_shape, ++p, true, *value)) continue;
        const std::uint64_t after_sign = load_characters(p);
        if (starts_with_digit(after_sign)) end = read_short_plain_decimal(p, after_sign, true, *value, seen);
        if (end != nullptr) {
          negative_shape = Way::shape_of(seen, *end);
        } else {
          --p;  // back at the sign, where the run stops
        }
      }
      if (end == nullptr) return {p, static_cast<std::size_t>(value - values)};
      p = end + 1;  // past the blank that ends it
    }
  }
  return {p, static_cast<std::size_t>(value - values)};
}

using ShortRun = PlainDecimalRun (*)(const char*, const char*, double*, std::size_t);

// Each way in a function of its own, with everything it calls inlined.
[[gnu::flatten]] PlainDecimalRun scan_short_run_portable(const char* p, const char* readable_end, double* values,
                                                         std::size_t count) {
  return scan_short_run<PortableWay>(p, readable_end, values, count);
}

#if CELLSCALE_VECTOR_SCAN
// A shape checked and read from one 16-byte load: the sign left out, the
// number and the blank after it. Less `zeros`, each digit is 0 to 9, the
// point 0 and the blank 0 to 4 (tab, line feed, vertical tab, form feed,
// carriage return) or 0 (a space); `adds` more, with the sum held at 0xff,
// takes any other character (a byte above that, or one that went below 0)
// to bit 7, which `checked` looks at in the number's bytes and its blank's
// only: the bytes after the blank may hold anything. Then the digits
// are summed with weights that leave out the point: pairs of bytes first
// (10 and 1, or 1 and 0 where the point is), the pairs in fours, the fours
// into one integer below 10^8, which is divided by 10^(fraction digits).
struct alignas(16) VectorShape {
  std::array<std::uint8_t, 16> zeros{};
  std::array<std::uint8_t, 16> adds{};
  std::array<std::int16_t, 8> digit_weights{};       // SSE2: of the first 8 bytes, widened to 16 bits
  std::array<std::int8_t, 16> digit_byte_weights{};  // SSSE3: the same as bytes
  std::array<std::int16_t, 8> pair_weights{};
  std::array<std::int16_t, 8> four_weights{};
  double scale = 1;
  std::size_t taken = 0;           // the characters after the sign and the blank
  std::uint32_t checked = 0xffff;  // a bit for each of the first `taken` bytes
};

constexpr std::int16_t power_of_ten(int exponent) {
  std::int16_t power = 1;
  for (int i = 0; i < exponent; ++i) power = static_cast<std::int16_t>(power * 10);
  return power;
}

// At 2 (8 (length - 1) + whole digits - 1), plus 1 for a space after the
// number. The places of no shape fit no number.
constexpr auto kVectorShapes = [] {
  std::array<VectorShape, 128> shapes{};
  for (VectorShape& none : shapes) none.adds.fill(0xff);
  for (std::size_t length = 1; length <= 8; ++length) {
    for (std::size_t whole = 1; whole <= length; ++whole) {
      for (const bool space : {false, true}) {
        VectorShape& shape = shapes[2 * (8 * (length - 1) + whole - 1) + (space ? 1 : 0)];
        // How many digits follow each byte's digit: its power of ten.
        std::array<int, 8> exponent{};
        std::array<bool, 8> digit{};
        for (std::size_t i = 0; i < length; ++i) {
          digit[i] = i != whole;
          exponent[i] = static_cast<int>(length - 1 - i) - (i < whole && whole < length ? 1 : 0);
          shape.zeros[i] = digit[i] ? '0' : '.';
          shape.adds[i] = digit[i] ? 0x7f - 9 : 0x7f;
        }
        shape.zeros[length] = space ? ' ' : '\t';
        shape.adds[length] = space ? 0x7f : 0x7f - ('\r' - '\t');
        for (std::size_t i = length + 1; i < 16; ++i) shape.adds[i] = 0;
        shape.checked = (1U << (length + 1)) - 1;
        // The lowest power among the digits of a group of bytes (-1 for none):
        // a group's weight in the group above is its power over that one's.
        auto lowest = [&](std::size_t first, std::size_t size) {
          int power = -1;
          for (std::size_t i = first; i < first + size; ++i) {
            if (digit[i] && (power < 0 || exponent[i] < power)) power = exponent[i];
          }
          return power;
        };
        for (std::size_t i = 0; i < 8; ++i) {
          const int pair = lowest(i & ~std::size_t{1}, 2);
          shape.digit_weights[i] = digit[i] ? power_of_ten(exponent[i] - pair) : 0;
          shape.digit_byte_weights[i] = static_cast<std::int8_t>(shape.digit_weights[i]);
        }
        for (std::size_t j = 0; j < 4; ++j) {
          const int pair = lowest(2 * j, 2);
          shape.pair_weights[j] = pair < 0 ? 0 : power_of_ten(pair - lowest(4 * (j / 2), 4));
        }
        for (std::size_t m = 0; m < 2; ++m) {
          const int four = lowest(4 * m, 4);
          shape.four_weights[m] = four < 0 ? 0 : power_of_ten(four);
        }
        for (std::size_t i = whole + 1; i < length; ++i) shape.scale *= 10;
        shape.taken = length + 1;
      }
    }
  }
  return shapes;
}();

__m128i load_vector(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
__m128i load_aligned(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }

// The 16 characters at p less the shape's zeros, or nothing when one of the
// number's characters or its blank is another.
bool fits_vector_shape(const VectorShape& by, const char* p, __m128i& from_zeros) {
  from_zeros = _mm_sub_epi8(load_vector(p), load_aligned(by.zeros.data()));
  const __m128i others = _mm_adds_epu8(from_zeros, load_aligned(by.adds.data()));
  return (static_cast<std::uint32_t>(_mm_movemask_epi8(others)) & by.checked) == 0;
}

// The value from the pairs of digits (16-bit sums in the first four parts).
double finish_vector_read(const VectorShape& by, __m128i pairs, bool negative) {
  const __m128i fours = _mm_madd_epi16(pairs, load_aligned(by.pair_weights.data()));
  const __m128i all = _mm_madd_epi16(_mm_packs_epi32(fours, fours), load_aligned(by.four_weights.data()));
  const double magnitude = _mm_cvtsd_f64(_mm_cvtepi32_pd(all)) / by.scale;
  return negative ? -magnitude : magnitude;
}

struct Sse2Way {
  using Shape = VectorShape;
  static const Shape* shape_of(std::size_t seen, char blank) { return &kVectorShapes[2 * seen + (blank == ' ')]; }

  static bool read(const Shape& by, const char*& p, bool negative, double& value) {
    __m128i from_zeros;
    if (!fits_vector_shape(by, p, from_zeros)) return false;
    const __m128i digits = _mm_unpacklo_epi8(from_zeros, _mm_setzero_si128());
    const __m128i pairs = _mm_madd_epi16(digits, load_aligned(by.digit_weights.data()));
    value = finish_vector_read(by, _mm_packs_epi32(pairs, pairs), negative);
    p += by.taken;
    return true;
  }
};

// As Sse2Way, the pairs in one instruction that multiplies the bytes by
// their weights and adds each pair.
struct Ssse3Way : Sse2Way {
  [[gnu::target("ssse3")]] static bool read(const Shape& by, const char*& p, bool negative, double& value) {
    __m128i from_zeros;
    if (!fits_vector_shape(by, p, from_zeros)) return false;
    const __m128i pairs = _mm_maddubs_epi16(from_zeros, load_aligned(by.digit_byte_weights.data()));
    value = finish_vector_read(by, pairs, negative);
    p += by.taken;
    return true;
  }
};

[[gnu::flatten]] PlainDecimalRun scan_short_run_sse2(const char* p, const char* readable_end, double* values,
                                                     std::size_t count) {
  return scan_short_run<Sse2Way>(p, readable_end, values, count);
}

[[gnu::target("ssse3"), gnu::flatten]] PlainDecimalRun scan_short_run_ssse3(const char* p, const char* readable_end,
                                                                            double* values, std::size_t count) {
  return scan_short_run<Ssse3Way>(p, readable_end, values, count);
}
#endif

ShortRun short_run_for(InstructionSet set) {
#if CELLSCALE_VECTOR_SCAN
  if (set >= InstructionSet::ssse3) return scan_short_run_ssse3;
  if (set >= InstructionSet::sse2) return scan_short_run_sse2;
#else
  (void)set;
#endif
  return scan_short_run_portable;
}

}  // namespace

PlainDecimalRun detail::scan_short_plain_decimals_using(InstructionSet set, const char* p, const char* readable_end,
                                                        double* values, std::size_t count) {
  return short_run_for(set)(p, readable_end, values, count);
}

PlainDecimalRun scan_short_plain_decimals(const char* p, const char* readable_end, double* values,
                                          std::size_t count) {
  static const ShortRun run = short_run_for(chosen_instruction_set());
  return run(p, readable_end, values, count);
}

namespace {

// Counts and exponents of a long number stop here (LongNumberScan).
constexpr std::int64_t kLongNumberCountLimit = 100'000'000'000'000'000;
// The exponent a long number is read with is held within this: beyond it
// any digits overflow or underflow, as they do at it.
constexpr std::int64_t kLongNumberExponentLimit = 100'000;

std::int64_t add_within_count_limit(std::int64_t count, std::int64_t more) {
  return std::clamp(count + more, -kLongNumberCountLimit, kLongNumberCountLimit);
}

}  // namespace

void LongNumberScan::add_digit(char c) {
  const std::int64_t unit = hex_ ? 4 : 1;  // the power of the base a digit's place is worth
  if (kept_ == 0 && c == '0') {
    if (got_point_) scale_ = add_within_count_limit(scale_, -unit);  // a leading zero after the point
    return;
  }
  if (kept_ < (hex_ ? kKeptHexDigits : kKeptDecimalDigits)) {
    digits_[kept_++] = c;
    if (got_point_) scale_ = add_within_count_limit(scale_, -unit);
    return;
  }
  dropped_nonzero_ = dropped_nonzero_ || c != '0';
  if (!got_point_) scale_ = add_within_count_limit(scale_, unit);
}

void LongNumberScan::add_exponent_digit(char c) {
  exponent_digits_ = true;
  exponent_ = exponent_ >= kLongNumberCountLimit / 10 ? kLongNumberCountLimit
                                                      : std::min(exponent_ * 10 + (c - '0'), kLongNumberCountLimit);
}

// One character, as scan_number takes it; false when it cannot continue
// the number, or for a character after the number is whole.
bool LongNumberScan::take_character(char c) {
  static constexpr char kInfinity[] = "inity";
  switch (state_) {
    case State::start:
      if (c == '+' || c == '-') {
        negative_ = c == '-';
        state_ = State::signed_;
        return true;
      }
      [[fallthrough]];
    case State::signed_:
      if (lower(c) == 'n' || lower(c) == 'i') {
        nan_ = lower(c) == 'n';
        matched_ = 1;
        state_ = State::word;
        return true;
      }
      if (c == '0') {
        state_ = State::zero;
        return true;
      }
      state_ = State::digits;
      break;
    case State::word:
      if (lower(c) != (nan_ ? "nan" : "inf")[matched_]) {
        state_ = State::failed;
        whole_ = true;
        return false;
      }
      if (++matched_ == 3) {
        state_ = nan_ ? State::word : State::after_inf;
        whole_ = nan_;  // "nan" takes nothing more
      }
      return true;
    case State::after_inf:
      if (lower(c) != 'i') {
        whole_ = true;
        return false;
      }
      state_ = State::infinity;
      matched_ = 1;
      return true;
    case State::infinity:
      if (lower(c) != kInfinity[matched_]) {
        state_ = State::failed;
        whole_ = true;
        return false;
      }
      whole_ = ++matched_ == sizeof kInfinity - 1;
      return true;
    case State::zero:
      state_ = State::digits;
      if (lower(c) == 'x') {
        hex_ = true;
        return true;
      }
      got_digit_ = true;  // the 0, a leading zero that adds nothing
      break;
    case State::digits: break;
    case State::failed: return false;
  }
  const char mark = hex_ ? 'p' : 'e';
  const bool mark_before = after_mark_;
  after_mark_ = false;
  if (is_digit(c) || (hex_ && !got_exponent_ && is_hex_digit(c))) {
    got_digit_ = true;
    if (got_exponent_) {
      add_exponent_digit(c);
    } else {
      add_digit(c);
    }
  } else if (got_exponent_ && mark_before && (c == '+' || c == '-')) {
    exponent_negative_ = c == '-';
  } else if (got_digit_ && !got_exponent_ && lower(c) == mark) {
    got_exponent_ = got_point_ = after_mark_ = true;
  } else if (!got_point_ && c == '.') {
    got_point_ = true;
  } else {
    whole_ = true;
    return false;
  }
  return true;
}

const char* LongNumberScan::take(const char* first, const char* last) {
  const char* p = first;
  while (p != last && !whole_) {
    // Runs of digits that change only counts go without the steps of
    // take_character: a long number is made of them.
    if (state_ == State::digits && !got_exponent_ && !hex_) {
      const char* const run = p;
      if (kept_ == kKeptDecimalDigits) {
        bool nonzero = false;
        for (; p != last && is_digit(*p); ++p) nonzero = nonzero || *p != '0';
        dropped_nonzero_ = dropped_nonzero_ || nonzero;
        if (!got_point_) scale_ = add_within_count_limit(scale_, p - run);
      } else if (kept_ == 0) {
        while (p != last && *p == '0') ++p;
        if (got_point_) scale_ = add_within_count_limit(scale_, -(p - run));
      }
      if (p != run) {
        got_digit_ = true;
        after_mark_ = false;
        continue;
      }
    } else if (state_ == State::digits && got_exponent_ && (exponent_ == 0 || exponent_ == kLongNumberCountLimit)) {
      // Leading zeros of the exponent, or digits past its limit.
      const char* const run = p;
      const char skipped = exponent_ == 0 ? '0' : '\0';
      while (p != last && (skipped == '0' ? *p == '0' : is_digit(*p))) ++p;
      if (p != run) {
        got_digit_ = exponent_digits_ = true;
        after_mark_ = false;
        continue;
      }
    }
    if (!take_character(*p)) break;
    ++p;
  }
  taken_ += static_cast<std::uint64_t>(p - first);
  return p;
}

ScanStatus LongNumberScan::value(double& value) const {
  switch (state_) {
    case State::start:
    case State::signed_:
    case State::failed: return ScanStatus::no_number;
    case State::word:
      if (!nan_ || matched_ != 3) return ScanStatus::no_number;
      value = negative_ ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
      return ScanStatus::ok;
    case State::infinity:
      if (!whole_) return ScanStatus::no_number;
      [[fallthrough]];
    case State::after_inf:
      value = negative_ ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
      return ScanStatus::ok;
    case State::zero: value = negative_ ? -0.0 : 0.0; return ScanStatus::ok;
    case State::digits: break;
  }
  if (hex_ ? !got_digit_ && !got_point_ : !got_digit_) return ScanStatus::no_number;
  // The number that rounds alike, written out: the kept digits, a 1 for
  // the digits after them when one was not 0, and the exponent.
  char text[kKeptDecimalDigits + 32];
  char* out = text;
  if (negative_) *out++ = '-';
  if (hex_) out = std::copy_n("0x", 2, out);
  if (kept_ == 0) {
    *out++ = '0';
  } else {
    out = std::copy_n(digits_, kept_, out);
    std::int64_t exponent = scale_;
    if (dropped_nonzero_) {
      *out++ = '1';
      exponent -= hex_ ? 4 : 1;
    }
    if (exponent_digits_) exponent += exponent_negative_ ? -exponent_ : exponent_;
    *out++ = hex_ ? 'p' : 'e';
    out = std::to_chars(out, text + sizeof text,
                        std::clamp(exponent, -kLongNumberExponentLimit, kLongNumberExponentLimit))
              .ptr;
  }
  return scan_number(text, out, true, value).status;
}

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
