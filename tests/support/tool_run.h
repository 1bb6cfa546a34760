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

// True when the tool under test is a Windows build (CELLSCALE_TARGET=windows),
// run through a launcher such as wine (CELLSCALE_LAUNCHER).
bool target_is_windows();

// Text as the tool under test writes it in text mode: unchanged, or with every
// "\n" turned into "\r\n" for Windows. A "\r\n" of the tool's own becomes
// "\r\r\n" there. For expected standard output and expected text grids; binary
// files are the same on every platform.
std::string native_lines(const std::string& text);

// The name of a host file as a Windows program under Wine writes it: drive Z:
// is the root of the host's files, and backslashes separate the folders.
std::string wine_drive_path(const std::filesystem::path& host_path);

// A file that refuses every write, as a full disk does: /dev/full, reached
// from Windows under Wine as Z:\dev\full. The tool reports the lost writes
// with this name.
std::string full_device();

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
