// Inputs cut short, lengthened and corrupted, through the built tool: a small
// grid in each input format is run at every length from empty to whole, with
// bytes appended, and with unusable header counts. Each run must end by
// itself in bounded time, exit 0 exactly when every header value and every
// cell the header asks for is there, and otherwise end with exactly the one
// message its cut calls for, as the model of a run (reference_grid.h)
// predicts it from the layout of the formats.

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "support/gzip_bytes.h"
#include "support/run_case.h"

namespace {

using namespace cellscale::testing;
namespace reference = cellscale::reference;

const std::vector<double> kGeometry = {3, 2, 10, 20, 5, -9999};
// A statistics block of the input; a binary output gets its own instead.
const std::vector<double> kInputStatistics = {1, 2, 3, 4, 5, 6};
const std::vector<double> kCells = {1.5, -2, 3, 4, -9999, 6.25};
// The text grid ends in "6.25\n": cut inside that number it reads 6, 6. or 6.2.
const std::string kText = text_header("3", "2", "10", "20", "5", "-9999") + "1.5\t-2\t3\n4\t-9999\t6.25\n";

// Each run may take this long; one that does not end by then is a hang.
const RunOptions kBounded = {.timeout_seconds = 30};

std::string grid_in(const Format& format) {
  return format.width == 0 ? kText : binary_grid(format.width, kGeometry, kInputStatistics, kCells);
}

// Runs the tool on `bytes` and holds the run against the model's prediction;
// a complete run must have read the grid's own header. True when it was complete.
bool expect_outcome(const std::string& bytes, const Format& out) {
  const reference::Prediction predicted = check_predicted_run(bytes, {"in", "out", out.option}, "2\n", kBounded);
  if (predicted.run.status != 0) return false;
  const reference::Layout layout = reference::recognise(bytes);
  const reference::GridRead read = layout == reference::Layout::text
                                       ? reference::read_text_grid(bytes, 6)
                                       : reference::read_binary_grid(reference::width_of(layout), bytes, 6);
  EXPECT_EQ(std::vector<double>(read.slot.begin() + 1, read.slot.begin() + 7), kGeometry);
  if (layout != reference::Layout::text) {
    EXPECT_EQ(std::vector<double>(read.slot.begin() + 7, read.slot.end()), kInputStatistics);
  }
  return true;
}

TEST(TruncationSweep, EveryPrefixOfEachInputFormat) {
  for (const Format& in : kFormats) {
    const std::string whole = grid_in(in);
    int complete_runs = 0;
    for (std::size_t length = 0; length <= whole.size(); ++length) {
      // Each output format in turn, so that every one meets every cut.
      const Format& out = kFormats[length % 3];
      SCOPED_TRACE(std::string(in.name) + " input cut to " + std::to_string(length) + " bytes, " + out.name +
                   " output");
      if (expect_outcome(whole.substr(0, length), out)) ++complete_runs;
      if (HasFatalFailure()) return;
    }
    // The text grid is also complete without its last line break, and when cut
    // inside its last number ("6", "6.", "6.2").
    EXPECT_EQ(complete_runs, in.width == 0 ? 5 : 1) << in.name;
  }
}

// Runs the tool on `stored`, a gzip stream whose bytes give every row of
// `grid` but whose member that holds the last row fails its check (its
// CRC-32 and size, or cut before them): the last row's read fails with all
// its cells read, and the output keeps every row, without the statistics
// block of a finished binary output.
void expect_last_row_unchecked(const std::string& grid, const std::string& stored, const Format& out) {
  const std::vector<std::string> arguments = {"in", "out", out.option};
  const reference::Prediction whole = reference::predict_run(grid, arguments, "2\n");
  ASSERT_EQ(whole.run.status, 0);
  ScratchFolder folder;
  write_file(folder / "in", stored);
  const std::size_t rows = static_cast<std::size_t>(kGeometry[1]);
  expect_ended(run_tool(folder.path(), arguments, "2\n", kBounded),
               reference::last_row_unchecked("in", rows, static_cast<std::size_t>(whole.columns)), 5);
  const std::string& file = *whole.run.file;
  EXPECT_EQ(read_file(folder / "out"),
            out.width == 0 ? native_lines(file) : whole.header + file.substr(whole.header.size()));
}

// A gzip input of two members cut at every byte reads as the grid its bytes
// decompress to: whole, or cut where its decompressed bytes end, with the
// message a grid cut there gets. Whole, it gives the plain grid's run. Cut
// after the last row's bytes but before the end of its member's check, it
// fails the last row.
TEST(TruncationSweep, EveryPrefixOfAGzipInput) {
  for (const Format& in : kFormats) {
    const std::string whole = grid_in(in);
    const std::string gz = gzip_members(whole, {whole.size() / 2});
    int complete_runs = 0;
    int unchecked_runs = 0;
    for (std::size_t length = 0; length <= gz.size(); ++length) {
      const Format& out = kFormats[length % 3];
      const std::string cut = gz.substr(0, length);
      bool intact = false;
      const std::string decompressed = gunzip(cut, &intact);
      SCOPED_TRACE(std::string(in.name) + " gzip input cut to " + std::to_string(length) + " bytes (" +
                   std::to_string(decompressed.size()) + " decompressed), " + out.name + " output");
      if (!intact && reference::predict_run(decompressed, {"in", "out", out.option}, "2\n").run.status == 0) {
        expect_last_row_unchecked(decompressed, cut, out);
        ++unchecked_runs;
      } else {
        const reference::Prediction predicted =
            check_predicted_run(decompressed, {"in", "out", out.option}, "2\n", kBounded, ScratchFolder(), cut);
        if (predicted.run.status == 0) ++complete_runs;
      }
      if (HasFatalFailure()) return;
    }
    EXPECT_EQ(complete_runs, 1) << in.name;
    EXPECT_GE(unchecked_runs, 8) << in.name;  // at least the eight bytes of the check
  }
}

// Damage that only the check at the end of the last row's member shows,
// after its cells came out: a flipped byte of its CRC-32, or of its data in
// a stored block (which decompresses to other bytes without a structural
// error). A damaged member after the one that holds the last row is not
// looked at, as text after the last cell is not.
TEST(TruncationSweep, DamageThatOnlyTheMembersCheckShows) {
  for (const Format& in : kFormats) {
    const std::string whole = grid_in(in);
    const std::size_t half = whole.size() / 2;
    std::string bad_check = gzip_members(whole, {half});
    bad_check[bad_check.size() - 8] ^= 1;
    // The last cell's last byte: a digit of the text stays a digit.
    const std::size_t last_cell_byte = in.width == 0 ? whole.size() - 2 : whole.size() - 1;
    std::string bad_data = gzip_members(whole, {half}, 0);
    const std::size_t second_member = gzip_members(whole.substr(0, half), {}, 0).size();
    bad_data[second_member + 15 + last_cell_byte - half] ^= 1;
    std::string altered = whole;
    altered[last_cell_byte] ^= 1;
    std::string damaged_after = gzip_members(whole + "\n", {whole.size()});
    damaged_after[damaged_after.size() - 8] ^= 1;
    for (const Format& out : kFormats) {
      SCOPED_TRACE(std::string(in.name) + " input, " + out.name + " output");
      expect_last_row_unchecked(whole, bad_check, out);
      expect_last_row_unchecked(altered, bad_data, out);
      check_predicted_run(whole + "\n", {"in", "out", out.option}, "2\n", kBounded, ScratchFolder(), damaged_after);
    }
  }
}

// Damage inside a middle member that the inflater finds where it lies ends
// the decompressed bytes there, as a cut at that byte does: the two runs give
// the same standard output, status and output, and those of the grid the cut
// stream decompresses to. The members are stored blocks (gzip_members at
// level 0: a 10-byte gzip header, the block's type byte, its length and the
// length's complement, the data, the CRC-32 and the size), cut inside cells,
// so that the bytes before the damage end with part of a cell: in the text
// grid "4\t-9" when the member's start is damaged, "4\t-9999\t6." when its
// check is, the last cell of the grid ("6.", read as 6) whose member then
// fails its check.
TEST(TruncationSweep, DamageInAMiddleMemberReadsAsACutThere) {
  struct Damage {
    const char* what;
    bool from_end;       // `at` counts back from the member's end
    std::size_t at;      // the byte damaged
    unsigned char bits;  // flipped
  };
  const Damage damages[] = {
      {"a reserved header flag", false, 3, 0xe0},
      {"a block of no known type", false, 10, 0x06},
      {"a stored length that its complement denies", false, 13, 0x01},
      {"the CRC-32", true, 8, 0x01},
      {"the size", true, 4, 0x10},
  };
  for (const Format& in : kFormats) {
    const std::string whole = grid_in(in);
    const std::vector<std::size_t> cuts = {whole.size() - 9, whole.size() - 3};
    const std::string gz = gzip_members(whole, cuts, 0);
    const std::size_t middle_start = gzip_members(whole.substr(0, cuts[0]), {}, 0).size();
    const std::size_t middle_end =
        middle_start + gzip_members(whole.substr(cuts[0], cuts[1] - cuts[0]), {}, 0).size();
    for (const Damage& damage : damages) {
      const std::size_t at = damage.from_end ? middle_end - damage.at : middle_start + damage.at;
      std::string damaged = gz;
      damaged[at] = static_cast<char>(damaged[at] ^ damage.bits);
      const std::string cut = gz.substr(0, at);
      bool intact = false;
      const std::string decompressed = gunzip(cut, &intact);
      const Format& out = kFormats[at % 3];
      SCOPED_TRACE(std::string(in.name) + " gzip input, " + damage.what + " of its middle member damaged at byte " +
                   std::to_string(at) + " (" + std::to_string(decompressed.size()) + " bytes before it), " +
                   out.name + " output");
      // Each run in a folder of its own, so that the messages name the same input.
      const std::vector<std::string> arguments = {"in", "out", out.option};
      ScratchFolder damaged_folder;
      ScratchFolder cut_folder;
      write_file(damaged_folder / "in", damaged);
      write_file(cut_folder / "in", cut);
      const ToolResult damaged_run = run_tool(damaged_folder.path(), arguments, "2\n", kBounded);
      const ToolResult cut_run = run_tool(cut_folder.path(), arguments, "2\n", kBounded);
      // Both as the tool wrote them (CR LF line ends on Windows).
      EXPECT_EQ(damaged_run.signal, 0);
      EXPECT_EQ(damaged_run.output, cut_run.output);
      EXPECT_EQ(damaged_run.status, cut_run.status);
      EXPECT_EQ(damaged_run.errors, cut_run.errors);
      EXPECT_EQ(read_file(damaged_folder / "out"), read_file(cut_folder / "out"));
      EXPECT_NE(damaged_run.status, 0);
      // The cut stream's run is the one a grid of its decompressed bytes
      // gets, or, complete but unchecked, fails the last row.
      const reference::Prediction predicted = reference::predict_run(decompressed, arguments, "2\n");
      if (!intact && predicted.run.status == 0) {
        EXPECT_EQ(cut_run.output,
                  native_lines(reference::last_row_unchecked("in", static_cast<std::size_t>(kGeometry[1]),
                                                             static_cast<std::size_t>(predicted.columns))));
        EXPECT_EQ(cut_run.status, 5);
      } else {
        EXPECT_EQ(cut_run.output, native_lines(predicted.run.output));
        EXPECT_EQ(cut_run.status, predicted.run.status);
      }
    }
  }
}

TEST(TruncationSweep, BytesAppendedAreIgnored) {
  const std::string garbage[] = {
      std::string("\n\x01\x02\x7f garbage 7 8 9\n", 19),
      std::string("\0\xff\xfe\x80ncols 3 nrows 2", 18),
      std::string(5000, 'x'),
  };
  for (const Format& in : kFormats) {
    for (const std::string& extra : garbage) {
      for (const Format& out : kFormats) {
        SCOPED_TRACE(std::string(in.name) + " input with " + std::to_string(extra.size()) + " bytes appended, " +
                     out.name + " output");
        expect_outcome(grid_in(in) + extra, out);
      }
    }
  }
}

// Header counts that cannot be used as they stand, in every input format:
// unusable counts are refused before the factor prompt, after the header.
TEST(TruncationSweep, CorruptedHeaderCounts) {
  const std::string columns = "invalid number of columns in in\n";
  const std::string rows = "invalid number of rows in in\n";
  const std::string rest = "xllcorner\t10\nyllcorner\t20\ncellsize\t5\nnodata_value\t-9999\n";
  struct Case {
    const char* ncols;
    const char* nrows;
    int status;
    std::string output;
    std::optional<std::string> text;  // the text output
  };
  const Case cases[] = {
      {"nan", "2", 1, columns, "ncols\t-9223372036854775808\nnrows\t2\n" + rest},
      {"-1", "2", 1, columns, std::nullopt},
      {"-1e300", "2", 1, columns, std::nullopt},
      {"2147483648", "2", 1, columns, std::nullopt},
      {"3e9", "2", 1, columns, std::nullopt},
      {"1e300", "2", 1, columns, std::nullopt},
      {"inf", "2", 1, columns, std::nullopt},
      {"nan", "3e9", 1, columns, std::nullopt},
      {"3", "2147483648", 1, rows, std::nullopt},
      {"3", "inf", 1, rows, std::nullopt},
      {"3", "nan", 0, run_output(0), "ncols\t3\nnrows\t-9223372036854775808\n" + rest},
      {"3", "-5", 0, run_output(0), "ncols\t3\nnrows\t-5\n" + rest},
      {"3", "0", 0, run_output(0), "ncols\t3\nnrows\t0\n" + rest},
      {"3", "0.5", 0, run_output(0), "ncols\t3\nnrows\t0\n" + rest},
      {"3", "1.75", 0, run_output(1), "ncols\t3\nnrows\t1\n" + rest + "3\t-4\t6\n"},
      // A fractional column count leaves the line breaks out: every cell is followed by a tab.
      {"2.9", "2", 0, run_output(2), "ncols\t2\nnrows\t2\n" + rest + "3\t-4\t6\t8\t"},
      {"4.0", "1", 0, run_output(1), "ncols\t4\nnrows\t1\n" + rest + "3\t-4\t6\t8\n"},
      {"-0.5", "2", 0, run_output(2), "ncols\t0\nnrows\t2\n" + rest},
      {"0", "3", 0, run_output(3), "ncols\t0\nnrows\t3\n" + rest},
  };
  for (const Case& c : cases) {
    const double ncols = std::strtod(c.ncols, nullptr);
    const double nrows = std::strtod(c.nrows, nullptr);
    for (const Format& in : kFormats) {
      RunCase run = {.name = std::string("ncols ") + c.ncols + ", nrows " + c.nrows + ", " + in.name + " input",
                     .files = {{"in", in.width == 0 ? "ncols " + std::string(c.ncols) + "\nnrows " + c.nrows +
                                                          "\nx 10\ny 20\nc 5\nn -9999\n1.5 -2 3 4 -9999 6.25\n"
                                                    : binary_grid(in.width, {ncols, nrows, 10, 20, 5, -9999},
                                                                  kInputStatistics, kCells)}},
                     .arguments = {"in", "out", "-f:t"},
                     .input = "2\n",
                     .output = c.output,
                     .status = c.status,
                     .options = kBounded};
      if (c.text) run.results = {{"out", native_lines(*c.text)}};
      check_run(run);
    }
  }
}

}  // namespace
