// The small pure pieces of the tool: the output format option, recognition of
// an input's first bytes, the row and column counts of a header, the text of
// a grid header, the pieces a text is read in, the check of a gzip input's
// last member after a read that waited was interrupted, the opening of an
// input (file or pipe, plain or gzip), the processors the tool counts, from
// its affinity mask and its CPU quota, and the scaling of cells each way.

#include <gtest/gtest.h>

#include <unistd.h>

#ifdef __linux__
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "app/command_line.h"
#include "app/processors.h"
#include "files/input_file.h"
#include "formats/ascii_grid.h"
#include "formats/input_opening.h"
#include "formats/recognition.h"
#include "numbers/cell_scaling.h"
#include "numbers/number_text.h"
#include "support/grid_bytes.h"
#include "support/gzip_bytes.h"
#include "support/instruction_sets.h"
#include "support/tool_run.h"

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

// Every cell of a text reader's pieces, scanned as a run's batches scan them.
std::vector<double> cells_of_pieces(cellscale::GridReader& reader, std::size_t text_bytes) {
  std::vector<double> cells;
  cellscale::PieceRoom room;
  while (true) {
    const cellscale::InputPiece piece = reader.read_piece(room, 1, text_bytes);
    std::vector<double> values(piece.text_size + 1);
    const auto scanned = cellscale::scan_cell_text(piece.text, piece.text_size, piece.text_at_end, values.data());
    cells.insert(cells.end(), values.begin(), values.begin() + static_cast<std::ptrdiff_t>(scanned.count));
    if (piece.last || scanned.broken) return cells;
  }
}

// A number longer than the reader's text block (256 KiB) is read as it
// streams in; the cells after it, in the block it ended in and past it, read
// as they read anywhere.
TEST(TextPieces, ReadOnAfterANumberLongerThanTheTextBlock) {
  constexpr int kRows = 120000;  // about 1 MiB of cells after the long one
  std::string grid = "ncols 1\nnrows " + std::to_string(kRows + 1) +
                     "\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9\n1." + std::string(300000, '0') + "\n";
  for (int row = 0; row < kRows; ++row) grid += row % 2 == 0 ? "1577.226\n" : "-9999\t\n";
  std::FILE* file = std::tmpfile();
  ASSERT_EQ(std::fwrite(grid.data(), 1, grid.size(), file), grid.size());
  std::rewind(file);
  auto reader = cellscale::make_ascii_grid_reader(cellscale::InputFile(cellscale::FilePtr(file)));
  cellscale::GridHeader header;
  ASSERT_TRUE(reader->read_header(header));
  const std::vector<double> cells = cells_of_pieces(*reader, cellscale::kPieceTextBytes);
  ASSERT_EQ(cells.size(), kRows + 1u);
  EXPECT_EQ(cells[0], 1.0);
  for (int row = 0; row < kRows; ++row) {
    ASSERT_EQ(cells[static_cast<std::size_t>(row) + 1], row % 2 == 0 ? 1577.226 : -9999.0) << row;
  }
}

// Header words and values longer than the reader's text block are read as
// they stream in, to the values scan_number reads from the whole text; the
// bytes the header used run to the byte that ended its last value.
TEST(TextPieces, HeaderWordsAndValuesLongerThanTheTextBlock) {
  const std::string many(3 * cellscale::kTextBufferBytes, '0');
  const std::string values[] = {"3." + many,
                                "2e" + many + "1",
                                "0." + many + "25e" + std::to_string(many.size() + 1),
                                "-" + many + "7.5",
                                "1" + many + "e-" + std::to_string(many.size()),
                                "-9999"};
  std::string header;
  for (std::size_t i = 0; i < 6; ++i) {
    // Long words and words of one letter in turn.
    header += i % 2 == 0 ? "ncols" : "w";
    if (i % 2 == 0) header.append(3 * cellscale::kTextBufferBytes, 's');
    header += i % 3 == 0 ? "\t" : " \r\n ";
    header += values[i];
    header += '\n';
  }
  std::FILE* file = std::tmpfile();
  const std::string grid = header + "1 2 3\n4 5 6\n";
  ASSERT_EQ(std::fwrite(grid.data(), 1, grid.size(), file), grid.size());
  std::rewind(file);
  auto reader = cellscale::make_ascii_grid_reader(cellscale::InputFile(cellscale::FilePtr(file)));
  cellscale::GridHeader read;
  ASSERT_TRUE(reader->read_header(read));
  for (std::size_t i = 0; i < 6; ++i) {
    double value = 0;
    ASSERT_EQ(cellscale::scan_number(values[i].data(), values[i].data() + values[i].size(), true, value).status,
              cellscale::ScanStatus::ok);
    EXPECT_EQ(read.slot[cellscale::kNcols + i], value) << i;
  }
  EXPECT_EQ(read.slot[cellscale::kNcols], 3.0);
  EXPECT_EQ(read.slot[cellscale::kXllcorner], 2.5);
  EXPECT_EQ(reader->bytes_used(), header.size());
  EXPECT_EQ(cells_of_pieces(*reader, cellscale::kPieceTextBytes), (std::vector<double>{1, 2, 3, 4, 5, 6}));
}

// The numbers of a text read in pieces of any size, each scanned on its own,
// are those that scan_number reads one after another from the whole text:
// pieces are cut after a blank, or after a number that text without blanks
// holds, never inside one. The pieces go into four rooms in turn and each
// is scanned two reads later, as batches wait in the run's ring: the
// reader's buffer passes from room to room, and must not touch a piece once
// it is given.
TEST(TextPieces, ScanToTheNumbersOfTheWholeText) {
  const std::string longer_than_the_buffer = "7 0." + std::string(cellscale::kTextBufferBytes + 5, '1') + " 5 6";
  // Numbers longer than the buffer ended by a character that begins no
  // number, by an exponent of as many digits, and a hexadecimal one.
  const std::string long_then_letter = "8 1" + std::string(cellscale::kTextBufferBytes + 5, '0') + "x 5";
  const std::string long_exponent = "2e+" + std::string(cellscale::kTextBufferBytes + 5, '0') + "3 4 -5e-5";
  const std::string long_hex = "0x1" + std::string(cellscale::kTextBufferBytes + 5, '0') + "p-1200000 7";
  const char* const cells[] = {"1 2.5\t-3\n4", "1-1-1+2e+3", "7 1e+ 1e5e5 .5.5 8", "0x1p3 nan(1) -inf infinity",
                               "12345678901234567890123 9 ", "3 4 x 5", "1.5e", "6 nan(", "\n\n\n",
                               // Numbers of 1 to 20 digits, 8 and 9 around the 8 read at once, in pieces
                               // whose ends fall within the 64 characters that the plain scan may read.
                               "12345678 123456789\t-1577.226 0.1234567 1234567.8 12345678.9 1 -2.\n"
                               "1234567890123456 0.000000000000000001 12345678901234567890 7 -0 8.5 99999999\n"
                               "3.25 1577.2265 1e5 -12345678 4000 .5 1.5.3 77 12/4 9",
                               longer_than_the_buffer.c_str(), long_then_letter.c_str(), long_exponent.c_str(),
                               long_hex.c_str(), "1 -infinitx 2", "3 infinity4"};
  for (const char* text : cells) {
    const std::string grid =
        "ncols 1\nnrows 99\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9\n" + std::string(text);
    // The numbers scan_number takes from the whole text, blanks skipped,
    // up to the first text that begins none.
    std::vector<double> numbers;
    const std::string whole(text);
    const char* p = whole.c_str();
    const char* const last = p + whole.size();
    while (true) {
      while (p != last && std::strchr(" \t\n\r", *p) != nullptr) ++p;
      double value = 0;
      const cellscale::ScanResult result = cellscale::scan_number(p, last, true, value);
      if (result.status != cellscale::ScanStatus::ok) break;
      numbers.push_back(value);
      p = result.next;
    }
    const std::size_t sizes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 63, 64, 65, 70, 90, 127};
    for (const std::size_t size : sizes) {
      SCOPED_TRACE(std::string(text).substr(0, 80) + ", pieces of " + std::to_string(size));
      std::FILE* file = std::tmpfile();
      std::fwrite(grid.data(), 1, grid.size(), file);
      std::rewind(file);
      auto reader = cellscale::make_ascii_grid_reader(cellscale::InputFile(cellscale::FilePtr(file)));
      cellscale::GridHeader header;
      ASSERT_TRUE(reader->read_header(header));
      std::vector<double> pieces;
      cellscale::PieceRoom rooms[4];
      cellscale::InputPiece read_into[4];
      std::deque<std::size_t> waiting;  // the rooms read and not yet scanned, oldest first
      bool all_read = false;
      bool done = false;
      for (std::size_t read = 0; !done;) {
        if (!all_read && waiting.size() < 3) {
          const std::size_t at = read++ % 4;
          read_into[at] = reader->read_piece(rooms[at], 1, size);
          all_read = read_into[at].last;
          waiting.push_back(at);
          continue;
        }
        const std::size_t at = waiting.front();
        waiting.pop_front();
        const cellscale::InputPiece& piece = read_into[at];
        std::vector<double> values(piece.text_size + 1);
        const auto scanned = cellscale::scan_cell_text(piece.text, piece.text_size, piece.text_at_end, values.data());
        pieces.insert(pieces.end(), values.begin(), values.begin() + static_cast<std::ptrdiff_t>(scanned.count));
        done = piece.last || scanned.broken;
      }
      ASSERT_EQ(pieces.size(), numbers.size());
      for (std::size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_TRUE(cellscale::reference::same_value(pieces[i], numbers[i]));
      }
    }
  }
}

// A gzip input through a pipe that has delivered the last member but for its
// check (CRC-32 and size), then stays quiet: every byte of the grid has come
// out, a read would wait, and interrupt() ends the read waiting there. The
// check that comes after decides whether the bytes came through whole, as
// far as the member that holds the last byte used, which the interrupted
// read must not stop being read to its end.
TEST(GzipInput, TheLastMembersCheckIsReadAfterAnInterruptedRead) {
  const std::string grid = "ncols 2\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9\n1 2\n3 4\n";
  const std::size_t half = grid.size() / 2;
  const std::string gz = cellscale::testing::gzip_members(grid, {half});
  const std::string check = gz.substr(gz.size() - 8);
  std::string wrong_crc = check;
  wrong_crc[0] ^= 1;
  struct Case {
    const char* name;
    std::string rest;  // what the pipe delivers after the interrupt, before it closes
    std::size_t used;
    bool intact;
  };
  const Case cases[] = {
      {"the check", check, grid.size(), true},
      {"a wrong CRC-32", wrong_crc, grid.size(), false},
      {"no check", "", grid.size(), false},
      {"a wrong CRC-32 after the bytes used", wrong_crc, half, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::size_t delivered = gz.size() - check.size();
    ASSERT_EQ(write(ends[1], gz.data(), delivered), static_cast<ssize_t>(delivered));
    cellscale::InputFile input(cellscale::FilePtr(fdopen(ends[0], "rb")));
    ASSERT_TRUE(input.decompress());
    std::string got;
    char buffer[4096];  // more than the grid: each read takes all that has come out
    while (got.size() < grid.size()) {
      const std::size_t size = input.read_some(buffer, sizeof buffer);
      if (size == 0) break;
      got.append(buffer, size);
    }
    EXPECT_EQ(got, grid);
    EXPECT_TRUE(input.would_wait());
    // Should the interrupt not end the read, the rest comes after 30 s, and
    // the test fails on it instead of hanging.
    std::atomic<bool> returned{false};
    std::thread pipe_end([&] {
      for (int i = 0; i < 300 && !returned; ++i) usleep(100000);
      EXPECT_EQ(write(ends[1], c.rest.data(), c.rest.size()), static_cast<ssize_t>(c.rest.size()));
      close(ends[1]);
    });
    input.interrupt();
    char byte = 0;
    EXPECT_EQ(input.read_some(&byte, 1), 0u);
    EXPECT_TRUE(input.failed());
    returned = true;
    pipe_end.join();
    EXPECT_EQ(input.intact_through(c.used), c.intact);
  }
}

// Opening an input: a file or a pipe, plain or gzip, of each format, and the
// inputs that are not read. An opened input gives the file's own bytes, or
// those it decompresses to, from the first: the bytes read to recognise it
// come again, once. A plain file is read again from its start (a text file
// opened again in text mode), so that it can also be read by position, as
// the second reading of a binary input does; a pipe, read in one pass, and a
// gzip input cannot be.
TEST(InputOpening, ReadsEachInputFromItsFirstByte) {
  using cellscale::InputFailure;
  using cellscale::testing::binary_grid;
  const auto gzip = [](const std::string& bytes, const std::vector<std::size_t>& cuts = {}) {
    return cellscale::testing::gzip_members(bytes, cuts);
  };
  const std::string text =
      "ncols 3\nnrows 2\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9999\n1 2 3\n4 5 6\n";
  // Longer than a pipe's buffer, and than the compressed bytes read at a time.
  std::string long_text = "ncols 1\nnrows 40000\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9999\n";
  for (int row = 0; row < 40000; ++row) long_text += std::to_string(row * 7) + ".25\n";
  const std::vector<double> header = {3, 2, 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0};
  const std::string doubles = binary_grid(8, header, {1, 2, 3, 4, 5, 6});
  const std::string singles = binary_grid(4, header, {1, 2, 3, 4, 5, 6});
  // A "single" grid whose first two bytes are gzip's, the third not.
  std::string gzip_like = singles;
  gzip_like[0] = '\x1f';
  gzip_like[1] = '\x8b';
  ASSERT_NE(gzip_like[2], '\x08');
  // gzip's first bytes, then a deflate block of a type that does not exist.
  const std::string damaged_gzip = std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + std::string(40, '\xff');

  enum class Way { file, pipe, no_file };
  struct Case {
    const char* name;
    Way way;
    std::string bytes;  // what the file holds, or the pipe brings
    std::variant<FormatName, InputFailure> outcome;
    std::string read_back;  // the opened input's bytes
    const char* modes;      // the fopen modes asked for, in turn
    bool by_position;       // the input is the regular file itself, byte for byte
  };
  const Case cases[] = {
      {"text file", Way::file, text, FormatName::ascii_text, text, "rb rt", true},
      {"double file", Way::file, doubles, FormatName::double_binary, doubles, "rb", true},
      {"single file", Way::file, singles, FormatName::single_binary, singles, "rb", true},
      {"single file starting 1f 8b", Way::file, gzip_like, FormatName::single_binary, gzip_like, "rb", true},
      {"gzip text file", Way::file, gzip(long_text, {50, 70000}), FormatName::ascii_text, long_text, "rb", false},
      {"gzip double file", Way::file, gzip(doubles), FormatName::double_binary, doubles, "rb", false},
      {"gzip single file", Way::file, gzip(singles), FormatName::single_binary, singles, "rb", false},
      {"text pipe", Way::pipe, long_text, FormatName::ascii_text, long_text, "rb", false},
      {"double pipe", Way::pipe, doubles, FormatName::double_binary, doubles, "rb", false},
      {"single pipe", Way::pipe, singles, FormatName::single_binary, singles, "rb", false},
      {"pipe of fewer bytes than recognition reads", Way::pipe, "ncols", FormatName::ascii_text, "ncols", "rb",
       false},
      {"gzip text pipe", Way::pipe, gzip(long_text, {50}), FormatName::ascii_text, long_text, "rb", false},
      {"gzip double pipe", Way::pipe, gzip(doubles), FormatName::double_binary, doubles, "rb", false},
      {"gzip single pipe", Way::pipe, gzip(singles), FormatName::single_binary, singles, "rb", false},
      {"empty file", Way::file, "", InputFailure::not_recognised, "", "rb", false},
      {"empty pipe", Way::pipe, "", InputFailure::not_recognised, "", "rb", false},
      {"text in capitals", Way::file, "NCOLS 3\nNROWS 2\n", InputFailure::not_recognised, "", "rb", false},
      {"gzip of no grid", Way::file, gzip("nrows 2\nncols 3\n"), InputFailure::not_recognised, "", "rb", false},
      {"damaged gzip", Way::file, damaged_gzip, InputFailure::not_recognised, "", "rb", false},
      {"missing file", Way::no_file, "", InputFailure::not_opened, "", "rb", false},
  };
  // A pipe the test fails to read to its end fails the writing thread's
  // write instead of ending the test.
  std::signal(SIGPIPE, SIG_IGN);
  cellscale::testing::ScratchFolder root;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path path = root / "input";
    std::filesystem::remove(path);
    if (c.way == Way::file) cellscale::testing::write_file(path, c.bytes);
    int ends[2] = {-1, -1};
    std::thread writer;
    if (c.way == Way::pipe) {
      ASSERT_EQ(pipe(ends), 0);
      // In pieces of a few bytes, so that the bytes recognition reads come
      // in more than one read.
      writer = std::thread([&c, write_end = ends[1]] {
        for (std::size_t at = 0; at < c.bytes.size(); at += 37) {
          const std::size_t size = std::min<std::size_t>(37, c.bytes.size() - at);
          if (write(write_end, c.bytes.data() + at, size) != static_cast<ssize_t>(size)) break;
        }
        close(write_end);
      });
    }
    std::string modes;
    const auto open = [&](const char* mode) -> std::FILE* {
      if (!modes.empty()) modes += ' ';
      modes += mode;
      if (c.way != Way::pipe) return std::fopen(path.c_str(), mode);
      const int read_end = std::exchange(ends[0], -1);  // a pipe is opened once
      return read_end < 0 ? nullptr : fdopen(read_end, mode);
    };

    std::variant<cellscale::OpenedInput, InputFailure> opened = cellscale::open_input(open);
    EXPECT_EQ(modes, c.modes);
    cellscale::OpenedInput* const input = std::get_if<cellscale::OpenedInput>(&opened);
    const std::variant<FormatName, InputFailure> outcome =
        input != nullptr ? std::variant<FormatName, InputFailure>(input->format) : std::get<InputFailure>(opened);
    EXPECT_EQ(outcome, c.outcome);
    if (input != nullptr) {
      EXPECT_EQ(input->never_waits, c.way == Way::file);
      EXPECT_EQ(input->file.plain_file_descriptor() >= 0, c.by_position);
      std::string got;
      char buffer[8192];
      for (std::size_t size; (size = input->file.read_some(buffer, sizeof buffer)) > 0;) got.append(buffer, size);
      EXPECT_FALSE(input->file.failed());
      EXPECT_EQ(input->file.position(), c.read_back.size());
      // The first byte that differs, rather than the whole of a long grid.
      const auto differs = std::mismatch(got.begin(), got.end(), c.read_back.begin(), c.read_back.end());
      EXPECT_TRUE(got == c.read_back) << got.size() << " bytes read, " << c.read_back.size() << " expected; byte "
                                      << (differs.first - got.begin()) << " differs";
    }
    opened = InputFailure::not_opened;  // closes the input before the writer is waited for
    if (ends[0] >= 0) close(ends[0]);
    if (writer.joinable()) writer.join();
  }
}

#ifdef __linux__
// The processors counted are those of the affinity mask, as taskset narrows
// it, not those of the machine (nor more than a CPU quota of the machine the
// test runs on allows).
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
  const int quota = cellscale::cpu_quota_processors("/");
  EXPECT_EQ(cellscale::usable_processors(), quota > 0 ? std::min(quota, CPU_COUNT(&all)) : CPU_COUNT(&all));
}
#endif

// The CPU quota of the process's control group, from a file tree laid out as
// the system's: proc/self/cgroup names the group, proc/self/mountinfo where
// its hierarchy is mounted, and the group's folders hold the quota.
TEST(CpuQuota, ProcessorsTheQuotaAllows) {
  const std::string v2_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw\n";
  const std::string v1_mounts =
      "35 31 0:30 /box /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
      "34 31 0:29 /box /sys/fs/cgroup/cpu,cpuacct rw shared:9 - cgroup cgroup rw,cpu,cpuacct\n";
  const std::string v1_groups = "5:memory:/box\n4:cpu,cpuacct:/box\n";
  struct File {
    std::string path;
    std::string text;
  };
  struct Case {
    std::string name;
    std::string groups;
    std::string mounts;
    std::vector<File> files;
    int processors;
  };
  // clang-format off
  const Case cases[] = {
      {"v2, 2 of 64 processors", "0::/\n", v2_mount, {{"sys/fs/cgroup/cpu.max", "200000 100000\n"}}, 2},
      {"v2, no quota", "0::/\n", v2_mount, {{"sys/fs/cgroup/cpu.max", "max 100000\n"}}, 0},
      {"v2, a part of a processor rounds up", "0::/\n", v2_mount, {{"sys/fs/cgroup/cpu.max", "150000 100000\n"}}, 2},
      {"v2, less than one processor", "0::/\n", v2_mount, {{"sys/fs/cgroup/cpu.max", "5000 100000\n"}}, 1},
      {"v2, the smallest on the way up", "0::/machine/box\n", v2_mount,
       {{"sys/fs/cgroup/machine/cpu.max", "400000 100000\n"}, {"sys/fs/cgroup/machine/box/cpu.max", "300000 100000\n"},
        {"sys/fs/cgroup/cpu.max", "max 100000\n"}}, 3},
      {"v2, a parent's quota", "0::/machine/box\n", v2_mount,
       {{"sys/fs/cgroup/machine/cpu.max", "100000 100000\n"}, {"sys/fs/cgroup/machine/box/cpu.max", "max 100000\n"}}, 1},
      {"v1, a container's own group at the mount point", v1_groups, v1_mounts,
       {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "300000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}}, 3},
      {"v1, no quota", v1_groups, v1_mounts,
       {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n"},
        {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}}, 0},
      {"v1, the quota of a group the mount does not show", "4:cpu,cpuacct:/other\n", v1_mounts,
       {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "100000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}}, 0},
      {"v1 and v2 mounted side by side, the smaller wins", v1_groups + "0::/\n",
       v1_mounts + "41 31 0:38 / /sys/fs/cgroup/unified rw - cgroup2 cgroup2 rw\n",
       {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "400000\n"},
        {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"},
        {"sys/fs/cgroup/unified/cpu.max", "200000 100000\n"}}, 2},
      {"no cpu controller mounted", v1_groups, "35 31 0:30 /box /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n",
       {{"sys/fs/cgroup/memory/cpu.cfs_quota_us", "100000\n"}}, 0},
      {"nothing to read", "", "", {}, 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    cellscale::testing::ScratchFolder root;
    std::vector<File> files = c.files;
    files.push_back({"proc/self/cgroup", c.groups});
    files.push_back({"proc/self/mountinfo", c.mounts});
    for (const File& file : files) {
      std::filesystem::create_directories((root / file.path).parent_path());
      cellscale::testing::write_file(root / file.path, file.text);
    }
    EXPECT_EQ(cellscale::cpu_quota_processors(root.path().string()), c.processors) << c.name;
  }
}

// The scaling of cells, each way (an instruction set the processor lacks is
// skipped), against the definition cell by cell: a cell equal to nodata
// (exactly: -0 is nodata 0, and nothing is nodata NaN) passes through, any
// other is multiplied, a single widened exactly first. Scaled into other
// memory and in place. Every length of each list puts cells in the
// four-cell steps and after them.
class ScaleCells : public cellscale::testing::EveryInstructionSet {};
CELLSCALE_FOR_EVERY_INSTRUCTION_SET(ScaleCells);

TEST_P(ScaleCells, TakesEachCellAsTheDefinition) {
  constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  struct Case {
    double nodata;
    double factor;
    std::vector<double> cells;
  };
  const std::vector<double> elevations = {1577.226, -9999, -0.5,      -0.0,       3e38,
                                          1e-310,   kNan,  kInfinity, -kInfinity, -9999.000000000002,
                                          7,        -9999, 8,         9,          -9999,
                                          10,       11};
  const std::vector<Case> cases = {
      {-9999, 1.5, elevations},
      {0, -3, {0.0, -0.0, 1, kNan, 5e-324, 1e308, -1, 2, 3, -4, 5, 6, 0.0}},
      {kNan, 2, {kNan, 1, -2, 3, kNan, 5}},
      // Halfway between two singles: 1 and 1 + 2^-23, then 1 + 2^-22 and 1 + 3 * 2^-23.
      {-1, 1, {1 + 0x1p-24, 1 + 0x1.8p-23, 3.5e38, -1, 1e-40, -3.4028235e38, 0x1p-149, 0x1p-150, 0x1.8p-149}},
  };
  const cellscale::InstructionSet set = GetParam();
  auto check = [&]<typename In>(const Case& c, std::size_t count) {
    SCOPED_TRACE(std::to_string(count) + " cells of " + typeid(In).name());
    std::vector<In> in;
    for (std::size_t i = 0; i < count; ++i) in.push_back(static_cast<In>(c.cells[i]));
    std::vector<double> out(count + 1, 42);
    cellscale::detail::scale_cells_using(set, in.data(), out.data(), count, c.nodata, c.factor);
    for (std::size_t i = 0; i < count; ++i) {
      const auto cell = static_cast<double>(in[i]);
      const double expected = cell == c.nodata ? c.nodata : cell * c.factor;
      EXPECT_EQ(std::memcmp(&out[i], &expected, sizeof expected), 0) << "cell " << i << ": " << out[i];
    }
    EXPECT_EQ(out[count], 42) << "nothing past the cells";
    if constexpr (std::is_same_v<In, double>) {
      // No cells leave the memory unread: memcmp may not be given none.
      cellscale::detail::scale_cells_using(set, in.data(), in.data(), count, c.nodata, c.factor);
      EXPECT_TRUE(count == 0 || std::memcmp(in.data(), out.data(), count * sizeof(double)) == 0) << "in place";
    }
  };
  for (const Case& c : cases) {
    for (std::size_t count = 0; count <= c.cells.size(); ++count) {
      check.operator()<double>(c, count);
      check.operator()<float>(c, count);
    }
  }
}

// The set a run takes: the processor's best, lowered to the one that
// CELLSCALE_INSTRUCTION_SET names, and the portable one for a name it does
// not know (a mistyped name must not test a faster way than asked).
TEST(InstructionSet, TheEnvironmentVariableLowersTheSetAndNeverRaisesIt) {
  using cellscale::InstructionSet;
  using cellscale::detail::instruction_set_for;
  struct Case {
    const char* asked;
    InstructionSet best;
    InstructionSet chosen;
  };
  const Case cases[] = {
      {nullptr, InstructionSet::avx512, InstructionSet::avx512},
      {nullptr, InstructionSet::sse2, InstructionSet::sse2},
      {"portable", InstructionSet::avx512, InstructionSet::portable},
      {"sse2", InstructionSet::avx2, InstructionSet::sse2},
      {"ssse3", InstructionSet::avx512, InstructionSet::ssse3},
      {"avx2", InstructionSet::avx512, InstructionSet::avx2},
      {"avx512", InstructionSet::avx2, InstructionSet::avx2},
      {"avx512", InstructionSet::portable, InstructionSet::portable},
      {"AVX2", InstructionSet::avx512, InstructionSet::portable},
      {"", InstructionSet::avx512, InstructionSet::portable},
      {"avx", InstructionSet::avx2, InstructionSet::portable},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(instruction_set_for(c.asked, c.best), c.chosen) << (c.asked ? c.asked : "(not set)");
  }
  EXPECT_TRUE(cellscale::processor_runs(InstructionSet::portable));
#if defined(__x86_64__)
  EXPECT_TRUE(cellscale::processor_runs(InstructionSet::sse2));
#else
  EXPECT_FALSE(cellscale::processor_runs(InstructionSet::sse2));
#endif
}

}  // namespace
