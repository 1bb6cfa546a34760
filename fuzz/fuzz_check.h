#pragma once

// The one way a fuzz target reports a wrong result: it says what differs, on
// standard error, and aborts, which libFuzzer records as a finding with the
// input that caused it.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "formats/ascii_grid.h"
#include "formats/grid_format.h"
#include "formats/grid_header.h"
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

// A reader against the model's reading of the same bytes: the first `slots`
// header slots, the column and row counts made of them, and then the cells,
// read in pieces as a run reads them (a text input's scanned as its batches
// scan them): the same cells, as many as the grid needs or the model
// found. No more than kMostCells are read (a grid of empty rows could ask
// for billions).
inline void check_reader(GridReader& reader, const reference::GridRead& expected, std::size_t slots) {
  constexpr std::uint64_t kMostCells = 4'000'000;
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
  if (!columns || !rows) return;

  const std::uint64_t wanted =
      std::min(static_cast<std::uint64_t>(*rows) * static_cast<std::uint64_t>(*columns), kMostCells);
  std::vector<double> cells;
  PieceRoom room;
  bool ended = false;
  while (cells.size() < wanted && !ended) {
    const InputPiece piece = reader.read_piece(room, kPieceCells, kPieceTextBytes);
    if (piece.text != nullptr) {
      std::vector<double> values(piece.text_size + 1);
      const ScannedCells scanned = scan_cell_text(piece.text, piece.text_size, piece.text_at_end, values.data());
      cells.insert(cells.end(), values.begin(), values.begin() + static_cast<std::ptrdiff_t>(scanned.count));
      ended = scanned.broken;
    } else if (piece.doubles != nullptr) {
      cells.insert(cells.end(), piece.doubles, piece.doubles + piece.count);
    } else {
      cells.insert(cells.end(), piece.singles, piece.singles + piece.count);
    }
    ended = ended || piece.last;
  }
  const std::size_t read = std::min<std::size_t>(cells.size(), wanted);
  check(read == std::min<std::size_t>(expected.cells.size(), wanted), "the cells read differ in number");
  for (std::size_t i = 0; i < read; ++i)
    check(same_value(cells[i], expected.cells[i]), "a cell differs from the model's");
}

}  // namespace cellscale::fuzzing
