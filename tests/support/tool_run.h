#pragma once

// Running the built tool as a user does: arguments, bytes on standard input,
// and what comes back (exit status and the exact bytes on standard output).
// Each test works in a fresh folder of its own.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace cellscale::testing {

struct ToolResult {
  int status = -1;            // exit status, or -1 when the tool died by a signal
  int signal = 0;             // the signal that ended it, if any
  std::string output;         // everything it printed on standard output
  std::string errors;         // everything it printed on standard error
  bool timed_out = false;     // ended by the time limit (then signal is SIGALRM)
  long peak_memory_kib = -1;  // peak resident size of the tool, when measured
};

// How a run is made, beyond its arguments and standard input; written with
// designated initializers ({.timeout_seconds = 30}).
struct RunOptions {
  // Wall-clock limit: a run still going then is ended by SIGALRM, so that a
  // hang fails the test instead of stopping the suite.
  unsigned timeout_seconds = 120;
  // Files the tool writes may not grow past this many bytes (RLIMIT_FSIZE,
  // with SIGXFSZ ignored): every write beyond fails as on a full disk.
  // Standard output and standard error are pipes, which the limit spares.
  std::optional<std::uint64_t> file_size_limit{};
  // Measures the tool's peak resident size (see peak_memory_kib): the tool is
  // started by a small launcher, so that the copy of the test program that a
  // fork makes does not count.
  bool measure_peak_memory = false;
  // When the tests run as root, the tool runs as user and group 65534
  // ("nobody"), so that file permissions apply to it. Such a run that cannot
  // change its user, or whose folder or tool that user cannot reach, ends with
  // status kCannotDropPrivileges and no output.
  bool as_unprivileged_user = false;
  // Standard output closed instead of read (output is then empty).
  bool close_standard_output = false;
  // Standard output into this file (made anew; relative to the run's folder)
  // instead of read (output is then empty), as a shell's "> file" does.
  std::optional<std::filesystem::path> standard_output_file{};
  // Variables set in the tool's environment, as "NAME=value".
  std::vector<std::string> environment{};
};

inline constexpr int kCannotDropPrivileges = 126;

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

// Standard error without the lines that give a failure's reason (each
// begins with "cellscale: "), for a case that checks the messages alone.
inline std::string without_reasons(const std::string& errors) {
  std::string kept;
  std::size_t start = 0;
  while (start < errors.size()) {
    std::size_t end = errors.find('\n', start);
    end = end == std::string::npos ? errors.size() : end + 1;
    if (errors.compare(start, 11, "cellscale: ") != 0) kept.append(errors, start, end - start);
    start = end;
  }
  return kept;
}

// Runs the tool in `folder` with the given arguments. `input` is what
// standard input holds; with no value standard input is closed.
ToolResult run_tool(const std::filesystem::path& folder, const std::vector<std::string>& arguments,
                    const std::optional<std::string>& input, const RunOptions& options = {});

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

// The disk space the file holds (its blocks), which may pass its size where
// space was taken ahead of the writes.
std::uint64_t disk_space_of(const std::filesystem::path& path);

}  // namespace cellscale::testing
