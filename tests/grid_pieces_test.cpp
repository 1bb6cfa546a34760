// The small pure pieces of the tool: the output format option, recognition of
// an input's first bytes, the row and column counts of a header, the text of
// a grid header, the pieces a text is read in, and the processors the tool
// counts.

#include <gtest/gtest.h>

#ifdef __linux__
#include <sched.h>
#endif

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/processors.h"
#include "grid/ascii_grid.h"
#include "grid/input_file.h"
#include "grid/recognition.h"
#include "support/grid_bytes.h"

namespace {

using cellscale::FormatName;

TEST(OutputFormatOption, TheCharacterAfterTheFirstColonDecides) {
  // clang-format off
  struct Case { const char* argument; FormatName expected; };
  const Case cases[] = {
      {"-f:t", FormatName::ascii_text},    {"-f:s", FormatName::single_binary},
      {"-f:d", FormatName::double_binary}, {"-f:S", FormatName::ascii_text},
      {"-f:D", FormatName::ascii_text},    {"-f:sx", FormatName::single_binary},
      {"-f:single", FormatName::single_binary}, {"xx-f:d", FormatName::double_binary},
      {"a:b-f:d", FormatName::ascii_text}, {"-f:", FormatName::ascii_text},
      {"-f", FormatName::ascii_text},      {"f:d", FormatName::ascii_text},
      {"", FormatName::ascii_text},        {"-f:d:s", FormatName::double_binary},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(cellscale::output_format_from_argument(c.argument), c.expected) << c.argument;
  EXPECT_EQ(cellscale::output_format_from_argument(nullptr), FormatName::ascii_text);
}

std::optional<FormatName> recognise(const std::string& bytes) {
  return cellscale::recognise_grid(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   std::min(bytes.size(), cellscale::kRecognitionBytes));
}

TEST(Recognition, TellsTheFormatFromTheFirstBytes) {
  using cellscale::testing::binary_grid;
  const std::vector<double> header = {3, 2, 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0};
  std::vector<double> other_nodata = header;
  other_nodata[5] = -1;
  const std::string double_grid = binary_grid(8, header, {1, 2, 3, 4, 5, 6});
  const std::string single_grid = binary_grid(4, header, {1, 2, 3, 4, 5, 6});

  EXPECT_EQ(recognise("ncols 3\n"), FormatName::ascii_text);
  EXPECT_EQ(recognise("ncol"), FormatName::ascii_text);
  EXPECT_EQ(recognise("NCOLS 3\n"), std::nullopt);
  EXPECT_EQ(recognise("\nncols 3\n"), std::nullopt);
  EXPECT_EQ(recognise("nco"), std::nullopt);
  // All four bytes of "ncol" count: a text with any one of them in capitals is no grid.
  for (const std::string text : {"Ncols 3\n", "nCols 3\n", "ncOls 3\n", "ncoLs 3\n"}) {
    EXPECT_EQ(recognise(text), std::nullopt) << text;
  }
  EXPECT_EQ(recognise(""), std::nullopt);
  EXPECT_EQ(recognise(double_grid), FormatName::double_binary);
  EXPECT_EQ(recognise(double_grid.substr(0, 48)), FormatName::double_binary);
  EXPECT_EQ(recognise(double_grid.substr(0, 47)), std::nullopt);
  EXPECT_EQ(recognise(single_grid), FormatName::single_binary);
  EXPECT_EQ(recognise(single_grid.substr(0, 24)), FormatName::single_binary);
  EXPECT_EQ(recognise(single_grid.substr(0, 23)), std::nullopt);
  EXPECT_EQ(recognise(binary_grid(8, other_nodata, {})), std::nullopt);
  EXPECT_EQ(recognise(binary_grid(4, other_nodata, {})), std::nullopt);
}

TEST(Recognition, DoubleIsTriedBeforeSingle) {
  // Bytes 20..23 hold -9999 as binary32 and bytes 40..47 -9999 as binary64.
  std::string bytes(96, '\0');
  const float single_nodata = -9999.0f;
  const double double_nodata = -9999.0;
  std::memcpy(bytes.data() + 20, &single_nodata, 4);
  std::memcpy(bytes.data() + 40, &double_nodata, 8);
  EXPECT_EQ(recognise(bytes), FormatName::double_binary);
}

TEST(HeaderCounts, ColumnsAndRowsFromTheHeader) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  // clang-format off
  struct Case { double value; std::optional<std::int64_t> columns; std::optional<std::int64_t> rows; };
  const Case cases[] = {
      {3, 3, 3},          {4.9, 4, 4},      {0, 0, 0},          {-0.5, 0, 0},
      {-1, std::nullopt, 0},                {nan, std::nullopt, 0},
      {2147483647, 2147483647, 2147483647}, {2147483647.5, 2147483647, std::nullopt},
      {2147483648.0, std::nullopt, std::nullopt}, {inf, std::nullopt, std::nullopt},
      {-inf, std::nullopt, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    cellscale::GridHeader header;
    header.slot[cellscale::kNcols] = c.value;
    header.slot[cellscale::kNrows] = c.value;
    const auto columns = cellscale::column_count(header);
    EXPECT_EQ(columns ? std::optional<std::int64_t>(*columns) : std::nullopt, c.columns) << c.value;
    EXPECT_EQ(cellscale::row_count(header), c.rows) << c.value;
  }
}

TEST(TextHeader, WholeCountsAndSixDigitValues) {
  cellscale::GridHeader header;
  const double values[] = {4.9, 2, 100.25, 4000000, 0.00001, -9999};
  for (std::size_t slot = 1; slot <= 6; ++slot) header.slot[slot] = values[slot - 1];
  EXPECT_EQ(cellscale::format_text_header(header),
            "ncols\t4\nnrows\t2\nxllcorner\t100.25\nyllcorner\t4e+006\ncellsize\t1e-005\nnodata_value\t-9999\n");
  header.slot[1] = std::nan("");
  header.slot[2] = -1e300;
  EXPECT_EQ(cellscale::format_text_header(header).substr(0, 57),
            "ncols\t-9223372036854775808\nnrows\t-9223372036854775808\nxll");
}

// The numbers of a text read in pieces of any size, each scanned on its own,
// are those the row reader reads: pieces are cut after a blank, or after a
// number that text without blanks holds, never inside one.
TEST(TextPieces, ScanToTheNumbersTheRowsRead) {
  const char* const cells[] = {"1 2.5\t-3\n4",
                               "1-1-1+2e+3",
                               "7 1e+ 1e5e5 .5.5 8",
                               "0x1p3 nan(1) -inf infinity",
                               "12345678901234567890123 9 ",
                               "3 4 x 5",
                               "1.5e",
                               "6 nan(",
                               "\n\n\n"};
  for (const char* text : cells) {
    const std::string grid =
        "ncols 1\nnrows 99\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9\n" + std::string(text);
    auto reader_of = [&] {
      std::FILE* file = std::tmpfile();
      std::fwrite(grid.data(), 1, grid.size(), file);
      std::rewind(file);
      auto reader = cellscale::make_ascii_grid_reader(cellscale::InputFile(cellscale::FilePtr(file)));
      cellscale::GridHeader header;
      EXPECT_TRUE(reader->read_header(header) && reader->prepare_rows(1));
      return reader;
    };
    std::vector<double> rows;
    const auto row_reader = reader_of();
    for (cellscale::RowRead read = row_reader->read_row(); read.complete; read = row_reader->read_row()) {
      rows.push_back(read.doubles[0]);
    }
    for (std::size_t size = 1; size <= 9; ++size) {
      SCOPED_TRACE(std::string(text) + ", pieces of " + std::to_string(size));
      std::vector<double> pieces;
      std::vector<char> piece;
      const auto piece_reader = reader_of();
      for (bool done = false; !done;) {
        const cellscale::TextPiece kind = cellscale::text_pieces_of(*piece_reader)->read_text_piece(piece, size);
        std::vector<double> values(piece.size());
        const auto scanned = cellscale::scan_cell_text(piece.data(), piece.size() - 1, kind.at_end, values.data());
        pieces.insert(pieces.end(), values.begin(), values.begin() + static_cast<std::ptrdiff_t>(scanned.count));
        done = kind.last || scanned.broken;
      }
      ASSERT_EQ(pieces.size(), rows.size());
      for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_TRUE(cellscale::reference::same_value(pieces[i], rows[i]));
    }
  }
}

#ifdef __linux__
// The processors counted are those of the affinity mask, as taskset narrows
// it, not those of the machine.
TEST(UsableProcessors, FollowTheAffinityMask) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  int first = 0;
  while (!CPU_ISSET(first, &all)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const int narrowed = cellscale::usable_processors();
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(narrowed, 1);
  EXPECT_EQ(cellscale::usable_processors(), CPU_COUNT(&all));
}
#endif

}  // namespace
