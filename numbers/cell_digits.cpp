#include "numbers/cell_digits.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "numbers/scaling_rule.h"

// Both texts start from std::to_chars, which is exact (correctly rounded to
// the given digits, or the shortest digits that read back) and writes no
// more than it is asked. Its notation differs from the grid's only in the
// exponent, which it writes with at least two digits, and, for the shortest
// digits, in the choice between fixed and exponent notation, which is made
// here from the exponent of its scientific text.

namespace cellscale {
namespace {

// nan, -nan, inf or -inf, as format_cell writes them: the C library's and
// std::to_chars's words differ between platforms, so they are written here.
char* write_non_finite(char* out, double value) {
  if (std::signbit(value)) *out++ = '-';
  std::memcpy(out, std::isnan(value) ? "nan" : "inf", 3);
  return out + 3;
}

// The three digits of an exponent magnitude below 1000.
char* write_three_digits(char* out, int magnitude) {
  out[0] = static_cast<char>('0' + magnitude / 100);
  out[1] = static_cast<char>('0' + magnitude / 10 % 10);
  out[2] = static_cast<char>('0' + magnitude % 10);
  return out + 3;
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

char* format_cell_shortest(char* out, double value) {
  if (!std::isfinite(value)) return write_non_finite(out, value);
  // [-]d[.ddd]e(+|-)dd[d]: the shortest digits, d.ddd * 10^exponent.
  char text[32];
  const char* const text_end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
  const char* const e = text_end[-4] == 'e' ? text_end - 4 : text_end - 5;
  int exponent = 0;
  for (const char* c = e + 2; c < text_end; ++c) exponent = exponent * 10 + (*c - '0');
  if (e[1] == '-') exponent = -exponent;
  const char* const first = text[0] == '-' ? text + 1 : text;
  // The digits after the first, which follow the point.
  const char* const rest = e - first > 1 ? first + 2 : e;
  const int rest_count = static_cast<int>(e - rest);

  if (exponent < -4 || exponent >= kMaxCellDigits) {
    // Exponent notation, where "%.17g" writes it: the mantissa as
    // std::to_chars wrote it.
    const auto mantissa_length = static_cast<std::size_t>(e - text);
    std::memcpy(out, text, mantissa_length);
    out += mantissa_length;
    out[0] = 'e';
    out[1] = e[1];
    return write_three_digits(out + 2, exponent < 0 ? -exponent : exponent);
  }
  if (first != text) *out++ = '-';
  if (exponent >= 0) {
    // The first exponent + 1 digits, zeros where the digits end before the
    // point (100, 5151875e1), then the point and the others, if any.
    *out++ = *first;
    const int whole = std::min(exponent, rest_count);
    std::memcpy(out, rest, static_cast<std::size_t>(whole));
    out += whole;
    std::memset(out, '0', static_cast<std::size_t>(exponent - whole));
    out += exponent - whole;
    if (rest_count > exponent) {
      *out++ = '.';
      const auto after_point = static_cast<std::size_t>(rest_count - exponent);
      std::memcpy(out, rest + exponent, after_point);
      out += after_point;
    }
    return out;
  }
  // 0.000d to 0.d: "0.", -exponent - 1 zeros, then every digit.
  std::memcpy(out, "0.000", 5);
  out += 1 - exponent;
  *out++ = *first;
  std::memcpy(out, rest, static_cast<std::size_t>(rest_count));
  return out + rest_count;
}

char* format_cell_with_digits(char* out, double value, int digits) {
  if (digits == kShortestCellDigits) return format_cell_shortest(out, value);
  if (digits == kFormatCellDigits) return format_cell(out, value);
  return format_cell_digits(out, value, digits);
}

namespace {

// One cell after the other: each scaled first when kScaled, its text written
// by `format`, then its tab and, where kept, its end.
template <bool kScaled, typename Format>
char* format_row(char* out, const double* values, std::size_t count, const CellScaling& scaling, const char* origin,
                 std::uint32_t* ends, Format format) {
  for (std::size_t i = 0; i < count; ++i) {
    double value = values[i];
    if constexpr (kScaled) value = scale_cell(value, scaling.nodata, scaling.factor);
    out = format(out, value);
    *out++ = '\t';
    if (ends != nullptr) ends[i] = static_cast<std::uint32_t>(out - origin);
  }
  return out;
}

template <bool kScaled>
char* format_row_with_digits(char* out, const double* values, std::size_t count, int digits,
                             const CellScaling& scaling, const char* origin, std::uint32_t* ends) {
  if (digits == kShortestCellDigits) {
    return format_row<kScaled>(out, values, count, scaling, origin, ends, format_cell_shortest);
  }
  return format_row<kScaled>(out, values, count, scaling, origin, ends,
                             [digits](char* at, double value) { return format_cell_digits(at, value, digits); });
}

}  // namespace

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
