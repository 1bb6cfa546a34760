#pragma once

// A run of the tool written as data: the files it starts with, its arguments
// and standard input, and what must come of it (exact standard output, exit
// status and the exact bytes of files afterwards). Or a run whose outcome the
// model of a run (reference_grid.h) predicts: check_predicted_run.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/grid_bytes.h"
#include "support/tool_run.h"

namespace cellscale::testing {

// Written with designated initializers; a field left out is empty (input:
// closed, status: 0).
struct RunCase {
  std::string name{};
  std::map<std::string, std::string> files{};  // created in the run's folder first
  std::vector<std::string> arguments{};
  std::optional<std::string> input{};  // standard input; none: closed
  std::string output{};                // expected standard output, with "\n" line ends
  std::string errors{};                // expected standard error, with "\n" line ends
  int status = 0;
  // Expected files, byte for byte (a text grid through native_lines); none: must not exist.
  std::map<std::string, std::optional<std::string>> results{};
  RunOptions options{};
};

// The most common shape: `grid` as in.asc, run as "in.asc out.asc" with `input`
// on standard input; out.asc must then hold `result` (none given: not checked).
inline RunCase in_to_out(std::string name, std::string grid, std::optional<std::string> input, std::string output,
                         int status = 0, std::optional<std::string> result = std::nullopt) {
  RunCase c = {.name = std::move(name),
               .files = {{"in.asc", std::move(grid)}},
               .arguments = {"in.asc", "out.asc"},
               .input = std::move(input),
               .output = std::move(output),
               .status = status};
  if (result) c.results = {{"out.asc", std::move(*result)}};
  return c;
}

// The run ended by itself with `status`, exactly `output` on standard output
// and `errors` on standard error (both given with "\n" line ends). The
// reasons that follow failures on standard error are held to `errors` where
// it gives any, and left out otherwise.
inline void expect_ended(const ToolResult& result, const std::string& output, int status,
                         const std::string& errors = "") {
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.output, native_lines(output));
  EXPECT_EQ(result.status, status);
  const bool reasons_given = errors.starts_with("cellscale: ") || errors.find("\ncellscale: ") != std::string::npos;
  EXPECT_EQ(reasons_given ? result.errors : without_reasons(result.errors), native_lines(errors));
}

// Runs the case in `folder`, or in a fresh folder of its own.
inline void check_run(const RunCase& c, const ScratchFolder& folder) {
  SCOPED_TRACE(c.name);
  for (const auto& [name, bytes] : c.files) write_file(folder / name, bytes);
  expect_ended(run_tool(folder.path(), c.arguments, c.input, c.options), c.output, c.status, c.errors);
  for (const auto& [name, bytes] : c.results) {
    if (bytes) {
      EXPECT_EQ(read_file(folder / name), *bytes) << name;
    } else {
      EXPECT_FALSE(std::filesystem::exists(folder / name)) << name;
    }
  }
}

inline void check_run(const RunCase& c) { check_run(c, ScratchFolder()); }

// The row a run's output names in "error writing row R in NAME" (", col C"
// too for a single output) after its progress dots; 0 for any other output.
// The row must be the one being written (one after the dots), NAME `name`,
// and the column one of `columns`.
inline std::size_t row_of_lost_write(const std::string& output, const std::string& name, bool single, int columns) {
  const std::regex message(native_lines(single ? "\nfactor : \n(\\.*)error writing row (\\d+), col (\\d+) in (.*)\n"
                                               : "\nfactor : \n(\\.*)error writing row (\\d+) in (.*)\n"));
  std::smatch match;
  if (!std::regex_match(output, match, message)) return 0;
  const std::size_t row = std::stoul(match[2].str());
  EXPECT_EQ(row, match[1].length() + 1) << "the row named is the one being written";
  EXPECT_EQ(match[match.size() - 1].str(), name);
  if (single) {
    EXPECT_GE(std::stoi(match[3].str()), 1);
    EXPECT_LE(std::stoi(match[3].str()), columns);
  }
  return row;
}

// Runs the tool on `grid`, written as the file arguments[0], and holds the
// run against the model's prediction: exit status, standard output and error, and the
// output file, byte for byte but for the standard deviation of a complete
// binary grid (as expect_binary_grid has it). Returns the prediction. Runs
// in `folder`, which then holds the input and the output.
// The file may instead hold `stored`, bytes that the tool must read as `grid`
// (a gzip stream of it, say).
inline reference::Prediction check_predicted_run(const std::string& grid, const std::vector<std::string>& arguments,
                                                 const std::optional<std::string>& input, const RunOptions& options,
                                                 const ScratchFolder& folder,
                                                 const std::optional<std::string>& stored = std::nullopt) {
  const reference::Prediction predicted = reference::predict_run(grid, arguments, input);
  write_file(folder / arguments[0], stored ? *stored : grid);
  expect_ended(run_tool(folder.path(), arguments, input, options), predicted.run.output, predicted.run.status,
               predicted.run.errors);
  const std::filesystem::path written = folder / predicted.output_name;
  const std::size_t width = reference::width_of(predicted.output);
  if (!predicted.run.file) {
    EXPECT_FALSE(std::filesystem::exists(written)) << "an output where none should be";
  } else if (width == 0 || predicted.run.status != 0) {
    EXPECT_EQ(read_file(written), width == 0 ? native_lines(*predicted.run.file) : *predicted.run.file);
  } else {
    const std::vector<double> v = binary_values(static_cast<int>(width), *predicted.run.file);
    expect_binary_grid(static_cast<int>(width), read_file(written), {v.begin(), v.begin() + 6},
                       {v.begin() + 12, v.end()}, {v.begin() + 6, v.begin() + 12});
  }
  return predicted;
}

inline reference::Prediction check_predicted_run(const std::string& grid, const std::vector<std::string>& arguments,
                                                 const std::optional<std::string>& input,
                                                 const RunOptions& options = {}) {
  return check_predicted_run(grid, arguments, input, options, ScratchFolder());
}

}  // namespace cellscale::testing
