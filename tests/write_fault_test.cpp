// A disk that fills up, at every byte of the output, and an output folder the
// tool may not write in. Whatever is lost must be reported with the tool's
// message and status, never end in a success, and what did reach the disk
// must be the start of the output, unaltered.
//
// A full disk is made with a limit on the size of the files the tool writes
// (RLIMIT_FSIZE): each write past it fails. Writing to /dev/full, which fails
// every write, is tested with the formats (text_grid_run_test.cpp,
// binary_grid_run_test.cpp).

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
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

Output expected_output(const Format& out, int columns, int rows) {
  const reference::Prediction p =
      reference::predict_run(uniform_text_grid(columns, rows), {"in.asc", "out", out.option}, "1\n");
  const std::string whole = out.width == 0 ? native_lines(*p.run.file) : *p.run.file;
  const std::string header = out.width == 0 ? native_lines(p.header) : p.header;
  return {whole, header + whole.substr(header.size()), header.size()};
}

// A run into a disk with room for `limit` bytes; what it wrote is left in `written`.
ToolResult run_with_room(const ScratchFolder& folder, const Format& out, std::size_t limit, std::string& written) {
  std::filesystem::remove(folder / "out");
  const ToolResult result = run_tool(folder.path(), {"in.asc", "out", out.option}, "1\n",
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
