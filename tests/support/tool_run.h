#pragma once

// Running the built tool as a user does: arguments, bytes on standard input,
// and what comes back (exit status and the exact bytes on standard output).
// Each test works in a fresh folder of its own.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace cellscale::testing {

struct ToolResult {
  int status = -1;          // exit status, or -1 when the tool died by a signal
  int signal = 0;           // the signal that ended it, if any
  std::string output;       // everything it printed on standard output
  std::string errors;       // everything it printed on standard error
};

// Runs the tool in `folder` with the given arguments. `input` is what
// standard input holds; with no value standard input is closed.
ToolResult run_tool(const std::filesystem::path& folder, const std::vector<std::string>& arguments,
                    const std::optional<std::string>& input);

// A new empty folder, removed again when the object goes.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);

}  // namespace cellscale::testing
