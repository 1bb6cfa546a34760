// Cell text (grid/cell_format.h) against the C library's "%.6g" with the
// exponent widened to three digits. Values come from the input's bytes taken
// as doubles, and from its text read as a number, which reaches the decimal
// ties and boundaries that random bits seldom hit.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "grid/cell_format.h"
#include "support/reference_grid.h"

namespace {

void check_value(double value) {
  // Exactly the room format_cell may use, on the heap, so that AddressSanitizer
  // stops any write past it. Bytes past the returned end may be overwritten.
  const std::unique_ptr<char[]> room(new char[cellscale::kMaxCellTextLength]);
  char* const text = room.get();
  const char* end = cellscale::format_cell(text, value);
  cellscale::fuzzing::check(end > text && end - text <= cellscale::kMaxCellTextLength,
                            "cell text longer than kMaxCellTextLength");
  if (std::string(text, static_cast<std::size_t>(end - text)) != cellscale::reference::cell_text(value)) {
    std::fprintf(stderr, "%.17g gives \"%.*s\", \"%%.6g\" gives \"%s\"\n", value, static_cast<int>(end - text), text,
                 cellscale::reference::cell_text(value).c_str());
    cellscale::fuzzing::wrong("cell text differs from %.6g");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (std::size_t at = 0; at + 8 <= size; at += 8) {
    double value;
    std::memcpy(&value, data + at, 8);
    check_value(value);
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  const double parsed = std::strtod(text.c_str(), nullptr);
  check_value(parsed);
  check_value(static_cast<double>(static_cast<float>(parsed)));
  return 0;
}
