// Recognition of an input's first bytes (grid/recognition.h) against the
// README's rule, and both binary readers (grid/binary_grid.h) on the same
// bytes in memory against a byte-by-byte decoding: the twelve header slots,
// the counts, and every row, whole or short.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "grid/binary_grid.h"
#include "grid/grid_header.h"
#include "grid/recognition.h"
#include "support/reference_grid.h"

namespace {

using cellscale::fuzzing::check;
using cellscale::fuzzing::same_value;
namespace reference = cellscale::reference;

constexpr std::int64_t kWidestRow = 4'000'000;
constexpr std::int64_t kMostRows = 100'000;

void check_recognition(const std::string& bytes) {
  const std::size_t looked_at = std::min(bytes.size(), cellscale::kRecognitionBytes);
  const std::optional<cellscale::FormatName> format =
      cellscale::recognise_grid(reinterpret_cast<const unsigned char*>(bytes.data()), looked_at);
  const reference::Layout expected = reference::recognise(bytes.substr(0, looked_at));
  using cellscale::FormatName;
  const bool same =
      format ? (*format == FormatName::ascii_text && expected == reference::Layout::text) ||
                   (*format == FormatName::double_binary && expected == reference::Layout::double_binary) ||
                   (*format == FormatName::single_binary && expected == reference::Layout::single_binary)
             : expected == reference::Layout::none;
  check(same, "recognition differs from the README's rule");
}

void check_reader(cellscale::BinaryWidth width, const std::string& bytes) {
  const std::size_t size = static_cast<std::size_t>(width);
  std::vector<char> copy(bytes.begin(), bytes.end());
  std::FILE* file = fmemopen(copy.data(), copy.size(), "r");
  if (file == nullptr) return;
  const auto reader = cellscale::make_binary_grid_reader(width, cellscale::InputFile(cellscale::FilePtr(file)));
  const reference::GridRead expected = reference::read_binary_grid(size, bytes, bytes.size());

  cellscale::GridHeader header;
  const bool complete = reader->read_header(header);
  check(complete == expected.header_complete, "header read differs from the bytes there are");
  if (!complete) return;
  for (std::size_t slot = 1; slot <= 12; ++slot) {
    check(same_value(header.slot[slot], expected.slot[slot]), "header slot differs from its bytes");
  }
  const std::optional<std::int32_t> columns = cellscale::column_count(header);
  const std::optional<std::int64_t> expected_columns = reference::columns_of(header.ncols());
  check(columns.has_value() == expected_columns.has_value() && (!columns || *columns == *expected_columns),
        "column count differs from the truncated ncols");
  const std::optional<std::int64_t> rows = cellscale::row_count(header);
  check(rows == reference::rows_of(header.nrows()), "row count differs from the rows nrows asks for");
  if (!columns || *columns > kWidestRow || !rows) return;

  check(reader->prepare_rows(*columns), "no room for a row of a few million cells");
  const std::int64_t columns_wide = *columns;
  const std::int64_t available = static_cast<std::int64_t>(expected.cells.size());
  for (std::int64_t r = 0; r < *rows && r < kMostRows; ++r) {
    const cellscale::RowRead read = reader->read_row();
    const std::int64_t left = available - r * columns_wide;
    if (left < columns_wide) {
      check(!read.complete && read.values_read == left, "a short row is not reported with the values it had");
      return;
    }
    check(read.complete, "a whole row is reported short");
    for (std::int64_t c = 0; c < columns_wide; ++c) {
      check(same_value(cellscale::fuzzing::cell_of(read, c),
                       expected.cells[static_cast<std::size_t>(r * columns_wide + c)]),
            "a cell differs from its bytes");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  check_recognition(bytes);
  if (size == 0) return 0;
  check_reader(cellscale::BinaryWidth::double_precision, bytes);
  check_reader(cellscale::BinaryWidth::single_precision, bytes);
  return 0;
}
