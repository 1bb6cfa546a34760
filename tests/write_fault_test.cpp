// A disk that fills up, at every byte of the output, and an output folder the
// tool may not write in. Whatever is lost must be reported with the tool's
// message and status, never end in a success, and what did reach the disk
// must be the start of the output, unaltered; no progress dot may stand for
// a row that did not reach it.
//
// A full disk is made with a limit on the size of the files the tool writes
// (RLIMIT_FSIZE): each write past it fails. Writing to /dev/full, which fails
// every write, is tested with the formats (text_grid_run_test.cpp,
// binary_grid_run_test.cpp).

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "support/run_case.h"

namespace {

using namespace cellscale::testing;
namespace reference = cellscale::reference;

// A grid of `rows` rows of `columns` cells that are all 1234.5, as text.
std::string uniform_text_grid(int columns, int rows) {
  return text_grid(text_header(std::to_string(columns), std::to_string(rows), "0", "0", "1", "-9999"),
                   std::vector<double>(static_cast<std::size_t>(columns * rows), 1234.5),
                   static_cast<std::size_t>(columns));
}

// What a run with factor 1 on uniform_text_grid(columns, rows) leaves, as the
// model predicts it, and what it writes as it goes: the header (with a zero
// statistics block for a binary output, which only the end of the run fills)
// and every row.
struct Output {
  std::string whole;
  std::string progressive;
  std::size_t header_size;
};

// The same for any grid, scaled by the factor `reply` gives.
Output expected_output(const std::string& grid, const Format& out, const std::string& reply) {
  const reference::Prediction p = reference::predict_run(grid, {"in.asc", "out", out.option}, reply);
  const std::string whole = out.width == 0 ? native_lines(*p.run.file) : *p.run.file;
  const std::string header = out.width == 0 ? native_lines(p.header) : p.header;
  return {whole, header + whole.substr(header.size()), header.size()};
}

Output expected_output(const Format& out, int columns, int rows) {
  return expected_output(uniform_text_grid(columns, rows), out, "1\n");
}

// A run of in.asc into a disk with room for `limit` bytes, with the factor
// `reply` gives; what it wrote is left in `written`.
ToolResult run_with_room(const ScratchFolder& folder, const Format& out, std::size_t limit, std::string& written,
                         const std::string& reply = "1\n") {
  std::filesystem::remove(folder / "out");
  const ToolResult result = run_tool(folder.path(), {"in.asc", "out", out.option}, reply,
                                     {.timeout_seconds = 60, .file_size_limit = limit});
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.errors, "");
  written = read_file(folder / "out");
  return result;
}

// What reached the disk is the start of the output: the bytes as the run
// wrote them, except that the statistics block of a binary output may
// already hold its final values (a Windows build writes them even when the
// rows before could not be written; the run fails all the same).
::testing::AssertionResult is_start_of_output(const std::string& written, const Output& expected, const Format& out) {
  const std::size_t block_first = 6u * static_cast<unsigned>(out.width);
  const std::size_t block_end = 12u * static_cast<unsigned>(out.width);
  if (written.size() > expected.progressive.size())
    return ::testing::AssertionFailure() << "more bytes than the output has";
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (written[i] == expected.progressive[i]) continue;
    if (i >= block_first && i < block_end && written[i] == expected.whole[i]) continue;
    return ::testing::AssertionFailure() << "byte " << i << " of " << written.size() << " differs";
  }
  return ::testing::AssertionSuccess();
}

// A small output stays in the stream's buffer until the run ends: a disk full
// at any byte of it is found when the output is closed (status 4). The output
// is written whole only when the limit leaves room for all of it.
TEST(WriteFault, ADiskFullAtEveryByteOfASmallOutput) {
  for (const Format& out : kFormats) {
    SCOPED_TRACE(out.name);
    const Output expected = expected_output(out, 3, 2);
    ScratchFolder folder;
    write_file(folder / "in.asc", uniform_text_grid(3, 2));
    for (std::size_t limit = 0; limit <= expected.whole.size() + 1; ++limit) {
      SCOPED_TRACE("room for " + std::to_string(limit) + " bytes");
      std::string written;
      const ToolResult result = run_with_room(folder, out, limit, written);
      if (limit >= expected.whole.size()) {
        expect_ended(result, run_output(2), 0);
        EXPECT_EQ(written, expected.whole);
      } else {
        expect_ended(result, run_output(2) + "error writing into out \n", 4);
        EXPECT_LE(written.size(), limit);
        EXPECT_TRUE(is_start_of_output(written, expected, out));
      }
      if (HasFailure()) return;
    }
  }
}

// Rows larger than the stream's buffer reach the disk while the run goes on:
// a disk full among them is reported for the row being written (status 6);
// one full only at the last bytes when the output is finished (status 4).
TEST(WriteFault, ADiskFullAmongTheRowsOfALargeOutput) {
  constexpr int kColumns = 700;
  constexpr int kRows = 120;
  ScratchFolder folder;
  write_file(folder / "in.asc", uniform_text_grid(kColumns, kRows));
  for (const Format& out : kFormats) {
    SCOPED_TRACE(out.name);
    check_predicted_run(uniform_text_grid(kColumns, kRows), {"in.asc", "out", out.option}, "1\n");
    const Output expected = expected_output(out, kColumns, kRows);
    const std::size_t total = expected.whole.size();
    const std::size_t row_size = (total - expected.header_size) / kRows;
    // clang-format off
    const std::size_t limits[] = {0, 1, expected.header_size, 4095, 4096, 4097, 10000, total / 3, total / 2,
                                  total - row_size - 1, total - row_size, total - 1, total - 2};
    // clang-format on
    bool saw_row_failure = false;
    for (const std::size_t limit : limits) {
      SCOPED_TRACE("room for " + std::to_string(limit) + " of " + std::to_string(total) + " bytes");
      std::string written;
      const ToolResult result = run_with_room(folder, out, limit, written);
      EXPECT_LE(written.size(), limit);
      EXPECT_TRUE(is_start_of_output(written, expected, out));
      if (const std::size_t row = row_of_lost_write(result.output, "out", out.width == 4, kColumns); row != 0) {
        saw_row_failure = true;
        EXPECT_EQ(result.status, 6);
        // The row named is one whose bytes go past the limit.
        EXPECT_GT(expected.header_size + row * row_size, limit);
      } else {
        expect_ended(result, run_output(kRows) + "error writing into out \n", 4);
      }
    }
    EXPECT_TRUE(saw_row_failure) << "the rows of this grid outgrow the stream's buffer";
  }
}

// Where each row of an output ends: the offset after its last byte (its
// line break in a text output).
std::vector<std::size_t> row_ends(const Format& out, const Output& expected, int columns, int rows) {
  std::vector<std::size_t> ends;
  if (out.width == 0) {
    for (std::size_t at = expected.header_size; ends.size() < static_cast<std::size_t>(rows); ++at) {
      if (expected.whole.at(at) == '\n') ends.push_back(at + 1);
    }
  } else {
    const auto row_size = static_cast<std::size_t>(out.width) * static_cast<std::size_t>(columns);
    for (std::size_t r = 1; r <= static_cast<std::size_t>(rows); ++r)
      ends.push_back(expected.header_size + r * row_size);
  }
  return ends;
}

// The rows whose bytes all lie in the first `size` bytes of the output.
std::size_t whole_rows_in(const std::vector<std::size_t>& ends, std::size_t size) {
  return static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), size) - ends.begin());
}

// A dot stands for a row written, and none is shown after a write that
// failed: a disk full in a known row leaves on standard output exactly the
// dots of the rows the file holds whole, then the message that names the row
// (status 6). The output goes out in blocks of 64 KiB, the first with the
// header, and a lost write names the row being written when its own block
// filled. So the disk is made full inside the row in which a chosen block
// ends, from the row's first byte (or the block's, if later) to the block's
// last byte: that row is the first lost, and the file ends inside it.
//
// Blocks in the first write of four gathered ones and in a later write;
// grids of 2^17 cells or more, which the tool takes on its threads, and a
// smaller one; every input format into every output format; rows longer than
// a block; and the rows just before the 2^18th cell, about where the tool
// first passes its dots on to standard output while a grid is written (into
// a single output: the fewest bytes to there). The cells vary, so the rows of
// a text output differ in length.
TEST(WriteFault, NoDotForARowThatDidNotReachTheDisk) {
  constexpr std::size_t kBlock = 65536;
  const std::vector<Format> every_output(std::begin(kFormats), std::end(kFormats));
  struct Case {
    const char* what;
    Format in;
    std::vector<Format> outputs;
    int columns;
    int rows;
    std::vector<std::size_t> blocks;  // a run for each: the row in which that many blocks end fails
  };
  // clang-format off
  const Case cases[] = {
      {"on the threads",                            kFormats[0], every_output, 512,   300, {1, 5}},
      {"on the threads",                            kSingle,     every_output, 512,   300, {2}},
      {"on the threads, rows longer than a block",  kFormats[0], every_output, 40000, 4,   {5}},
      {"below the threads' 2^17 cells",             kDouble,     every_output, 400,   200, {1}},
      {"on the threads, before the 2^18th cell",    kFormats[0], {kSingle},    1000,  270, {13, 15}},
  };
  // clang-format on
  for (const Case& c : cases) {
    const std::string grid = elevation_grid(c.in, c.columns, c.rows);
    ScratchFolder folder;
    write_file(folder / "in.asc", grid);
    for (const Format& out : c.outputs) {
      SCOPED_TRACE(std::string(c.what) + ", " + c.in.name + " to " + out.name);
      const Output expected = expected_output(grid, out, "1.5\n");
      const std::vector<std::size_t> ends = row_ends(out, expected, c.columns, c.rows);
      for (const std::size_t blocks : c.blocks) {
        const std::size_t block_end = blocks * kBlock;
        // The row that holds the block's last byte and the one after it.
        const std::size_t row = whole_rows_in(ends, block_end - 1) + 1;
        ASSERT_LT(block_end, expected.whole.size()) << "the block is full, and not the last";
        ASSERT_EQ(whole_rows_in(ends, block_end), row - 1) << "the block ends inside a row";
        const std::size_t row_start = row == 1 ? expected.header_size : ends[row - 2];
        for (const std::size_t limit : {std::max(row_start, block_end - kBlock), block_end - 1}) {
          SCOPED_TRACE("room for " + std::to_string(limit) + " bytes, row " + std::to_string(row) + " lost");
          std::string written;
          const ToolResult result = run_with_room(folder, out, limit, written, "1.5\n");
          EXPECT_LE(written.size(), limit);
          EXPECT_TRUE(is_start_of_output(written, expected, out));
          EXPECT_EQ(result.status, 6);
          // row_of_lost_write also holds the row named against the dots before it.
          EXPECT_EQ(row_of_lost_write(result.output, "out", out.width == 4, c.columns), row) << result.output;
          EXPECT_EQ(static_cast<std::size_t>(std::count(result.output.begin(), result.output.end(), '.')), row - 1);
          EXPECT_EQ(whole_rows_in(ends, written.size()), row - 1) << "rows whole in the file";
        }
      }
    }
  }
}

// The prompt for another name, when the folder of the output may not be
// written in. Run as root, the tool runs as an unprivileged user for this,
// since permissions do not stop root.
TEST(WriteFault, AnOutputFolderWithoutWritePermission) {
  if (target_is_windows()) {
    GTEST_SKIP() << "POSIX permissions and users: Wine's prefix belongs to the user who made it";
  }
  ScratchFolder folder;
  write_file(folder / "in.asc", uniform_text_grid(3, 2));
  std::filesystem::create_directory(folder / "locked");
  std::filesystem::create_directory(folder / "open");
  using std::filesystem::perms;
  const perms readable =
      perms::owner_all | perms::group_read | perms::group_exec | perms::others_read | perms::others_exec;
  std::filesystem::permissions(folder.path(), readable);
  std::filesystem::permissions(folder / "in.asc",
                               perms::owner_read | perms::owner_write | perms::group_read | perms::others_read);
  std::filesystem::permissions(folder / "locked", perms::owner_read | perms::owner_exec | perms::group_read |
                                                      perms::group_exec | perms::others_read | perms::others_exec);
  std::filesystem::permissions(folder / "open", perms::all);
  if (geteuid() != 0 && access((folder / "locked").c_str(), W_OK) == 0) {
    GTEST_SKIP() << "this user may write in a folder without write permission";
  }
  const RunOptions unprivileged = {.as_unprivileged_user = true};
  const std::string prompt = name_prompt("locked/out.asc");
  for (const Format& out : kFormats) {
    SCOPED_TRACE(out.name);
    const ToolResult refused = run_tool(folder.path(), {"in.asc", "locked/out.asc", out.option}, "\n", unprivileged);
    if (refused.status == kCannotDropPrivileges && refused.output.empty()) {
      GTEST_SKIP() << "running as root, and user 65534 cannot reach this folder or the tool here";
    }
    expect_ended(refused, prompt, 1);

    const ToolResult renamed =
        run_tool(folder.path(), {"in.asc", "locked/out.asc", out.option}, "open/out\n1\n", unprivileged);
    expect_ended(renamed, prompt + "\r\n" + run_output(2), 0);
    EXPECT_FALSE(std::filesystem::exists(folder / "locked/out.asc"));
    EXPECT_EQ(read_file(folder / "open/out"), expected_output(out, 3, 2).whole);
  }
}

}  // namespace
