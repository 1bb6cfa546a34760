// Every call the tool makes on its grid files, and every allocation, made to
// fail in turn. A library preloaded into the tool (support/fault_injector.cpp)
// counts the calls of each kind in a clean run, then fails one of them in
// each further run (a file call, and the later ones of its kind on the same
// files, as a full or broken disk does). Every failure must be reported with
// the tool's message and status, after what the clean run printed up to
// there, and what reached the output must be the start of the clean run's.
// A failed call on the output is always reported: whatever the bytes, the
// tool cannot know that they arrived. A failed call on the input may pass
// unreported only when it did no harm: status 0 and the clean run's output
// exactly (a failed read of bytes read again, say). No run may die by a
// signal or hang. A failed allocation ends the run with "not enough memory"
// and status 3, unless the run has a way on without it or reports the
// failure as another.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/gzip_bytes.h"
#include "support/run_case.h"

namespace {

using namespace cellscale::testing;
namespace reference = cellscale::reference;

// Calls of one kind failed in a large grid's runs at most, spread evenly over
// them, the first and the last among them; a small grid's are all failed.
constexpr long kMostSampledCalls = 24;

struct FaultCase {
  const char* name;
  std::string grid;
  const char* input_name;
  const Format& output;
  bool every_call;
  bool gzip = false;  // the grid is stored as a gzip stream of two members
};

constexpr double kNodata = -9999;

// `columns` x `rows` cells: values with up to three decimals, a nodata cell
// now and then.
std::vector<double> cells_of(int columns, int rows) {
  std::vector<double> cells;
  for (int i = 0; i < columns * rows; ++i) cells.push_back(i % 11 == 5 ? kNodata : (i * 7919 % 100000) / 1000.0 - 20);
  return cells;
}

std::string text_input(int columns, int rows) {
  return text_grid(text_header(std::to_string(columns), std::to_string(rows), "100", "200", "25", "-9999"),
                   cells_of(columns, rows), static_cast<std::size_t>(columns));
}

std::string binary_input(const Format& format, int columns, int rows) {
  return binary_grid(format.width, {double(columns), double(rows), 100, 200, 25, kNodata}, {1, 2, 3, 4, 5, 6},
                     cells_of(columns, rows));
}

// The calls a run made, by kind and owner, as the library wrote them.
std::map<std::pair<std::string, std::string>, long> read_counts(const std::filesystem::path& file) {
  std::map<std::pair<std::string, std::string>, long> counts;
  std::ifstream lines(file);
  std::string kind;
  std::string owner;
  long calls = 0;
  while (lines >> kind >> owner >> calls) counts[{kind, owner}] = calls;
  return counts;
}

// The call numbers to fail among `calls`.
std::vector<long> numbers_to_fail(long calls, bool every_call) {
  std::vector<long> numbers;
  if (every_call || calls <= kMostSampledCalls) {
    for (long n = 1; n <= calls; ++n) numbers.push_back(n);
    return numbers;
  }
  for (long i = 0; i < kMostSampledCalls; ++i) numbers.push_back(1 + i * (calls - 1) / (kMostSampledCalls - 1));
  return numbers;
}

std::string escaped(const std::string& name) { return std::regex_replace(name, std::regex(R"(\.)"), R"(\.)"); }

// The message a failed run ends with, for its status.
std::regex message_of(int status, const std::string& input, const std::string& output, bool single_output) {
  const std::string in = escaped(input);
  const std::string out = escaped(output);
  switch (status) {
    case 1:
      return std::regex("(error reading fiel header from " + in + "|invalid number of columns in " + in +
                        ")\n|error opening output grid " + out + " \r\nplease enter new output file name: ");
    case 3: return std::regex(reference::memory_failure());
    case 4: return std::regex("error writing into " + out + " \n");
    case 5: return std::regex("error reading from " + in + R"( in row (\d+) \(\d+ values read\)\n)");
    case 6:
      return std::regex(R"(error writing row (\d+))" + std::string(single_output ? R"(, col \d+)" : "") + " in " +
                        out + "\n");
    case 98:
      return std::regex("(could not open input file " + in +
                        R"(|could not recognise file format \(ascii, single or double\) for )" + in + ")\n");
    default: return std::regex("no message for this status");
  }
}

// What a failed run printed: the clean run's output up to a point, then the
// message of its status; a row it names is the one after the progress dots.
::testing::AssertionResult reports_failure(const ToolResult& result, const std::string& clean_output,
                                           const FaultCase& c) {
  std::size_t common = 0;
  while (common < result.output.size() && common < clean_output.size() &&
         result.output[common] == clean_output[common]) {
    ++common;
  }
  const std::string message = result.output.substr(common);
  std::smatch match;
  if (!std::regex_match(message, match,
                        message_of(result.status, c.input_name, "out", c.output.width == kSingle.width))) {
    return ::testing::AssertionFailure() << "status " << result.status << " with output \"" << result.output << "\"";
  }
  const auto dots = static_cast<long>(std::count(clean_output.begin(), clean_output.begin() + long(common), '.'));
  const auto rows = static_cast<long>(std::count(clean_output.begin(), clean_output.end(), '.'));
  const long row = (result.status == 5 || result.status == 6) ? std::stol(match[1].str()) : 0;
  // A gzip input's last row, written, fails when its member cannot be checked.
  const bool last_row_unchecked = c.gzip && result.status == 5 && row == rows && dots == rows;
  if ((result.status == 5 || result.status == 6) && row != dots + 1 && !last_row_unchecked) {
    return ::testing::AssertionFailure() << "row " << match[1].str() << " named after " << dots << " dots";
  }
  return ::testing::AssertionSuccess();
}

// What reached the file is the start of the clean run's output, where the
// statistics block of a binary output may still hold what the header held
// when it was first written.
::testing::AssertionResult is_start_of_output(const std::string& written, const std::string& clean,
                                              const std::string& first_header, int width) {
  if (written.size() > clean.size()) return ::testing::AssertionFailure() << "more bytes than the output has";
  const std::size_t block_end = 12u * static_cast<unsigned>(width);
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (written[i] == clean[i] ||
        (i >= 6u * static_cast<unsigned>(width) && i < block_end && written[i] == first_header[i]))
      continue;
    return ::testing::AssertionFailure() << "byte " << i << " of " << written.size() << " differs";
  }
  return ::testing::AssertionSuccess();
}

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class FaultInjection : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultInjection, EveryFailedCallIsReported) {
  if (target_is_windows()) GTEST_SKIP() << "preloading a library is Linux only";
  const FaultCase& c = GetParam();
  const std::vector<std::string> arguments = {c.input_name, "out", c.output.option};
  // The empty line answers the prompt for another output name, should the
  // output not open, and ends the run; the factor follows.
  const std::string input = "\n1.5\n";
  const std::string preload = std::string("LD_PRELOAD=") + CELLSCALE_FAULT_INJECTOR;

  ScratchFolder folder;
  const std::filesystem::path counts_file = folder / "counts";
  const std::optional<std::string> stored =
      c.gzip ? std::optional(gzip_members(c.grid, {c.grid.size() / 2})) : std::nullopt;
  const reference::Prediction clean =
      check_predicted_run(c.grid, arguments, input,
                          {.environment = {preload, "CELLSCALE_FAULT_COUNTS=" + counts_file.string()}}, folder,
                          stored);
  ASSERT_EQ(clean.run.status, 0);
  const std::string clean_file = read_file(folder / "out");
  const auto counts = read_counts(counts_file);
  for (const auto& [kind, owner] : {std::pair{"fread", "input"},
                                    {"fclose", "input"},
                                    {"fwrite", "output"},
                                    {"fflush", "output"},
                                    {"fclose", "output"},
                                    {"alloc", "process"}}) {
    ASSERT_GT(counts.count({kind, owner}) ? counts.at({kind, owner}) : 0, 0) << kind << " calls on " << owner;
  }

  std::map<int, int> statuses;
  std::string summary;
  for (const auto& [call, calls] : counts) {
    const auto& [kind, owner] = call;
    if (calls > 0) summary += " " + kind + "/" + owner + ": " + std::to_string(calls);
    for (const long number : numbers_to_fail(calls, c.every_call)) {
      SCOPED_TRACE(kind + " call " + std::to_string(number) + " of " + std::to_string(calls) + " on " + owner);
      std::filesystem::remove(folder / "out");
      const ToolResult result =
          run_tool(folder.path(), arguments, input,
                   {.timeout_seconds = 20,
                    .environment = {preload, "CELLSCALE_FAULT_CALL=" + kind, "CELLSCALE_FAULT_FILE=" + owner,
                                    "CELLSCALE_FAULT_NUMBER=" + std::to_string(number)}});
      ++statuses[result.status];
      EXPECT_FALSE(result.timed_out);
      EXPECT_EQ(result.signal, 0);
      EXPECT_EQ(without_reasons(result.errors), "");
      const std::string written = std::filesystem::exists(folder / "out") ? read_file(folder / "out") : std::string();
      if (result.status == 0) {
        EXPECT_NE(owner, "output") << "a failed call on the output passed unreported";
        EXPECT_EQ(result.output, clean.run.output);
        EXPECT_EQ(written, clean_file) << "a run that ends well wrote another output";
      } else {
        EXPECT_TRUE(reports_failure(result, clean.run.output, c));
        EXPECT_TRUE(is_start_of_output(written, clean_file, clean.header, c.output.width));
        if (kind != "alloc") {
          EXPECT_NE(result.status, reference::kMemoryFailureStatus);
        }
      }
      if (HasFailure()) return;
    }
  }
  summary += ";";
  for (const auto& [status, runs] : statuses)
    summary += " status " + std::to_string(status) + ": " + std::to_string(runs);
  std::printf("%s: calls%s\n", c.name, summary.c_str());
}

// 131072 cells go through the threads (where the process has more than one
// processor); the small grids through one, in the usual build.
INSTANTIATE_TEST_SUITE_P(
    Grids, FaultInjection,
    ::testing::Values(FaultCase{"small_text_to_double", text_input(5, 4), "in.asc", kDouble, true},
                      FaultCase{"small_double_to_single", binary_input(kDouble, 5, 4), "in.dbl", kSingle, true},
                      FaultCase{"small_single_to_text", binary_input(kSingle, 5, 4), "in.sgl", kFormats[0], true},
                      FaultCase{"large_text_to_text", text_input(256, 512), "in.asc", kFormats[0], false},
                      FaultCase{"large_single_to_double", binary_input(kSingle, 256, 512), "in.sgl", kDouble, false},
                      FaultCase{"small_gzip_text_to_single", text_input(5, 4), "in.gz", kSingle, true, true},
                      FaultCase{"large_gzip_double_to_text", binary_input(kDouble, 256, 512), "in.gz", kFormats[0],
                                false, true}),
    [](const ::testing::TestParamInfo<FaultCase>& grid) { return std::string(grid.param.name); });

}  // namespace
