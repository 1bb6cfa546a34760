#include "support/tool_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string_view>

namespace cellscale::testing {

namespace {

// The tool under test: the one this build made, unless CELLSCALE_TOOL names
// another (an installed copy, say).
std::string tool_path() {
  const char* chosen = std::getenv("CELLSCALE_TOOL");
  return chosen != nullptr && *chosen != '\0' ? chosen : CELLSCALE_BUILT_TOOL;
}

// A program the tool is started through, with the tool's path as its first
// argument: CELLSCALE_LAUNCHER names it (wine, for a Windows build), looked
// up on PATH like a shell command. Empty when the tool runs by itself.
std::string launcher_path() {
  const char* chosen = std::getenv("CELLSCALE_LAUNCHER");
  return chosen != nullptr ? chosen : "";
}

}  // namespace

bool target_is_windows() {
  const char* target = std::getenv("CELLSCALE_TARGET");
  return target != nullptr && std::string_view(target) == "windows";
}

std::string native_lines(const std::string& text) {
  if (!target_is_windows()) return text;
  std::string converted;
  converted.reserve(text.size() + text.size() / 8);
  for (const char c : text) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  return converted;
}

std::string wine_drive_path(const std::filesystem::path& host_path) {
  std::string name = "Z:" + std::filesystem::absolute(host_path).lexically_normal().string();
  for (char& c : name) {
    if (c == '/') c = '\\';
  }
  return name;
}

std::string full_device() { return target_is_windows() ? wine_drive_path("/dev/full") : "/dev/full"; }

ToolResult run_tool(const std::filesystem::path& folder, const std::vector<std::string>& arguments,
                    const std::optional<std::string>& input) {
  const std::filesystem::path stdin_file = folder / ".stdin";
  const std::filesystem::path stdout_file = folder / ".stdout";
  const std::filesystem::path stderr_file = folder / ".stderr";
  if (input) write_file(stdin_file, *input);

  const std::string launcher = launcher_path();
  std::vector<std::string> command{tool_path()};
  if (!launcher.empty()) command.insert(command.begin(), launcher);
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  // Wine reads arguments and host file names in the locale's character set;
  // the tests give them in UTF-8.
  if (!launcher.empty()) setenv("LC_ALL", "C.UTF-8", 1);

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    const int out = open(stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    const int in = input ? open(stdin_file.c_str(), O_RDONLY) : -1;
    if (input && (in < 0 || dup2(in, 0) < 0)) _exit(127);
    for (const int descriptor : {out, err, in}) {
      if (descriptor > 2) close(descriptor);
    }
    // A closed standard input is really closed: no descriptor 0 at all.
    if (!input) close(0);
    if (launcher.empty()) {
      execv(argv[0], argv.data());
    } else {
      execvp(argv[0], argv.data());
    }
    _exit(127);
  }
  int wait_status = 0;
  if (waitpid(child, &wait_status, 0) != child) throw std::runtime_error("waitpid failed");

  ToolResult result;
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  result.output = read_file(stdout_file);
  result.errors = read_file(stderr_file);
  std::filesystem::remove(stdin_file);
  std::filesystem::remove(stdout_file);
  std::filesystem::remove(stderr_file);
  return result;
}

ScratchFolder::ScratchFolder() {
  std::random_device random;
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    path_ = base / ("cellscale-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(path_)) return;
  }
  throw std::runtime_error("no scratch folder could be made");
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace cellscale::testing
