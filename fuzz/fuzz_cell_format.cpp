// Cell text (numbers/cell_format.h) against the C library's "%.6g" with the
// exponent widened to three digits. Values come from the input's bytes taken
// as doubles, and from its text read as a number, which reaches the decimal
// ties and boundaries that random bits seldom hit. The values are also written
// as rows through the row loop of every instruction set the processor runs:
// the bytes' values as one row, and the text's value repeated to fill the
// groups of four and eight cells.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "numbers/cell_format.h"
#include "numbers/cell_format_detail.h"
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

void check_row(const std::vector<double>& values) {
  std::string expected;
  for (const double value : values) expected += cellscale::reference::cell_text(value) + '\t';
  std::vector<char> room(values.size() * (cellscale::kMaxCellTextLength + 1));
  for (const cellscale::InstructionSet set : cellscale::kInstructionSets) {
    if (!cellscale::processor_runs(set)) continue;
    char* end = cellscale::detail::format_cells_using(set, room.data(), values.data(), values.size(), nullptr,
                                                      nullptr, nullptr);
    if (std::string(room.data(), static_cast<std::size_t>(end - room.data())) != expected) {
      std::fprintf(stderr, "the %s row loop gives \"%.*s\", \"%%.6g\" gives \"%s\"\n",
                   cellscale::instruction_set_name(set), static_cast<int>(end - room.data()), room.data(),
                   expected.c_str());
      cellscale::fuzzing::wrong("a row loop differs from %.6g");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<double> row;
  for (std::size_t at = 0; at + 8 <= size; at += 8) {
    double value;
    std::memcpy(&value, data + at, 8);
    check_value(value);
    row.push_back(value);
  }
  check_row(row);
  const std::string text(reinterpret_cast<const char*>(data), size);
  const double parsed = std::strtod(text.c_str(), nullptr);
  check_value(parsed);
  check_value(static_cast<double>(static_cast<float>(parsed)));
  check_row(std::vector<double>(9, parsed));
  return 0;
}
