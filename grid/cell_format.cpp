#include "grid/cell_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace cellscale {

char* format_cell(char* out, double value) {
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

}  // namespace cellscale
