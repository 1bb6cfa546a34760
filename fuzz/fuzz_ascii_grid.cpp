// The ASCII grid reader (grid/ascii_grid.h) on text in memory, against the C
// library reading the same bytes with fscanf ("%s" for each header word,
// "%lg" for each number): the header values, the column and row counts made
// of them, and then every row: whole rows with the same cells, and the first
// short row with the same count of values read.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "grid/ascii_grid.h"
#include "grid/grid_header.h"
#include "support/reference_grid.h"

namespace {

using cellscale::fuzzing::check;
using cellscale::fuzzing::same_value;

// Rows wider than this are not read: the row alone would take 32 MiB.
constexpr std::int64_t kWidestRow = 4'000'000;
// Rows read at most per input (a grid of empty rows could ask for billions).
constexpr std::int64_t kMostRows = 100'000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<char> copy(bytes.begin(), bytes.end());
  std::FILE* file = fmemopen(copy.data(), copy.size(), "r");
  if (file == nullptr) return 0;
  const auto reader = cellscale::make_ascii_grid_reader(cellscale::InputFile(cellscale::FilePtr(file)));
  const cellscale::reference::GridRead expected = cellscale::reference::read_text_grid(bytes, bytes.size());

  cellscale::GridHeader header;
  const bool complete = reader->read_header(header);
  check(complete == expected.header_complete, "header read differs from fscanf");
  if (!complete) return 0;
  for (int slot = 1; slot <= 6; ++slot) {
    check(same_value(header.slot[static_cast<std::size_t>(slot)], expected.slot[static_cast<std::size_t>(slot)]),
          "header value differs from fscanf");
  }

  const std::optional<std::int32_t> columns = cellscale::column_count(header);
  const std::optional<std::int64_t> expected_columns = cellscale::reference::columns_of(header.ncols());
  check(columns.has_value() == expected_columns.has_value() && (!columns || *columns == *expected_columns),
        "column count differs from the truncated ncols");
  const std::optional<std::int64_t> rows = cellscale::row_count(header);
  check(rows == cellscale::reference::rows_of(header.nrows()), "row count differs from the rows nrows asks for");
  if (!columns || *columns > kWidestRow || !rows) return 0;

  check(reader->prepare_rows(*columns), "no room for a row of a few million cells");
  const std::int64_t width = *columns;
  const std::int64_t available = static_cast<std::int64_t>(expected.cells.size());
  for (std::int64_t r = 0; r < *rows && r < kMostRows; ++r) {
    const cellscale::RowRead read = reader->read_row();
    const std::int64_t left = available - r * width;
    if (left < width) {
      check(!read.complete && read.values_read == left, "a short row is not reported as fscanf ends");
      return 0;
    }
    check(read.complete && read.values_read == width, "a whole row is reported short");
    for (std::int64_t c = 0; c < width; ++c) {
      check(same_value(cellscale::fuzzing::cell_of(read, c), expected.cells[static_cast<std::size_t>(r * width + c)]),
            "a cell differs from fscanf");
    }
  }
  return 0;
}
