#pragma once

// The one way a fuzz target reports a wrong result: it says what differs, on
// standard error, and aborts, which libFuzzer records as a finding with the
// input that caused it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "grid/grid_format.h"
#include "grid/grid_header.h"
#include "support/reference_grid.h"

namespace cellscale::fuzzing {

[[noreturn]] inline void wrong(const char* what) {
  std::fprintf(stderr, "wrong result: %s\n", what);
  std::abort();
}

inline void check(bool holds, const char* what) {
  if (!holds) wrong(what);
}

using reference::same_value;

// Cell c (from 0) of a complete row, in whichever width the reader hands it.
inline double cell_of(const RowRead& read, std::int64_t c) {
  if (read.doubles == nullptr && read.singles == nullptr) wrong("a complete row without its cells");
  return read.doubles != nullptr ? read.doubles[c] : static_cast<double>(read.singles[c]);
}

// A reader against the model's reading of the same bytes: the first `slots`
// header slots, the column and row counts made of them, and then every row:
// whole rows with the same cells, and the first short row with the same count
// of values read. Rows wider than kWidestRow (the row alone would take 32 MiB)
// are not read, nor rows past kMostRows (a grid of empty rows could ask for
// billions).
inline void check_reader(GridReader& reader, const reference::GridRead& expected, std::size_t slots) {
  constexpr std::int64_t kWidestRow = 4'000'000;
  constexpr std::int64_t kMostRows = 100'000;
  GridHeader header;
  const bool complete = reader.read_header(header);
  check(complete == expected.header_complete, "header read differs from the model's");
  if (!complete) return;
  for (std::size_t slot = 1; slot <= slots; ++slot) {
    check(same_value(header.slot[slot], expected.slot[slot]), "header value differs from the model's");
  }
  const std::optional<std::int32_t> columns = column_count(header);
  const std::optional<std::int64_t> expected_columns = reference::columns_of(header.ncols());
  check(columns.has_value() == expected_columns.has_value() && (!columns || *columns == *expected_columns),
        "column count differs from the truncated ncols");
  const std::optional<std::int64_t> rows = row_count(header);
  check(rows == reference::rows_of(header.nrows()), "row count differs from the rows nrows asks for");
  if (!columns || *columns > kWidestRow || !rows) return;

  check(reader.prepare_rows(*columns), "no room for a row of a few million cells");
  const std::int64_t width = *columns;
  const auto available = static_cast<std::int64_t>(expected.cells.size());
  for (std::int64_t r = 0; r < *rows && r < kMostRows; ++r) {
    const RowRead read = reader.read_row();
    const std::int64_t left = available - r * width;
    if (left < width) {
      check(!read.complete && read.values_read == left, "a short row is not reported with the values it had");
      return;
    }
    check(read.complete && read.values_read == width, "a whole row is reported short");
    for (std::int64_t c = 0; c < width; ++c) {
      check(same_value(cell_of(read, c), expected.cells[static_cast<std::size_t>(r * width + c)]),
            "a cell differs from the model's");
    }
  }
}

}  // namespace cellscale::fuzzing
