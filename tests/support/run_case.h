#pragma once

// A run of the tool written as data: the files it starts with, its arguments
// and standard input, and what must come of it (exact standard output, exit
// status and the exact bytes of files afterwards).

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

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
  int status = 0;
  // Expected files, byte for byte (a text grid through native_lines); none: must not exist.
  std::map<std::string, std::optional<std::string>> results{};
};

inline void check_run(const RunCase& c) {
  SCOPED_TRACE(c.name);
  ScratchFolder folder;
  for (const auto& [name, bytes] : c.files) write_file(folder / name, bytes);
  const ToolResult result = run_tool(folder.path(), c.arguments, c.input);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.output, native_lines(c.output));
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.errors, "");
  for (const auto& [name, bytes] : c.results) {
    if (bytes) {
      EXPECT_EQ(read_file(folder / name), *bytes) << name;
    } else {
      EXPECT_FALSE(std::filesystem::exists(folder / name)) << name;
    }
  }
}

}  // namespace cellscale::testing
