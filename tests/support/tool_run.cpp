#include "support/tool_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string_view>

namespace cellscale::testing {

namespace {

constexpr uid_t kNobody = 65534;

// Reads both pipes until the tool (and anything holding them) has closed
// them, so that neither can fill up and stall the tool.
void drain(int out_fd, int err_fd, std::string& output, std::string& errors) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&output, &errors};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

// A program the tool is started through, with the tool's path as its first
// argument: CELLSCALE_LAUNCHER names it (wine, for a Windows build), looked
// up on PATH like a shell command. Empty when the tool runs by itself.
std::string launcher_path() {
  const char* chosen = std::getenv("CELLSCALE_LAUNCHER");
  return chosen != nullptr ? chosen : "";
}

// The tool under test: the one this build made, unless the environment
// variable CELLSCALE_TOOL names another (an installed copy, say).
std::string tool_path() {
  const char* chosen = std::getenv("CELLSCALE_TOOL");
  return chosen != nullptr && *chosen != '\0' ? chosen : CELLSCALE_BUILT_TOOL;
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
                    const std::optional<std::string>& input, const RunOptions& options) {
  const std::filesystem::path stdin_file = folder / ".stdin";
  const std::filesystem::path peak_file = folder / ".peak";
  if (input) write_file(stdin_file, *input);

  std::vector<std::string> command;
  if (options.measure_peak_memory) {
#ifdef CELLSCALE_PEAK_MEMORY_LAUNCHER
    if (options.file_size_limit) throw std::logic_error("peak memory is not measured under a file size limit");
    command = {CELLSCALE_PEAK_MEMORY_LAUNCHER, peak_file.string()};
#else
    throw std::logic_error("this program was built without the peak memory launcher");
#endif
  }
  const std::string launcher = launcher_path();
  if (!launcher.empty()) command.push_back(launcher);
  command.push_back(tool_path());
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);

  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    if (input) {
      const int in = open(stdin_file.c_str(), O_RDONLY);
      if (in < 0 || dup2(in, 0) < 0) _exit(127);
      if (in > 2) close(in);
    } else {
      // A closed standard input is really closed: no descriptor 0 at all.
      close(0);
    }
    if (dup2(out_pipe[1], 1) < 0 || dup2(err_pipe[1], 2) < 0) _exit(127);
    if (options.close_standard_output) close(1);
    if (options.standard_output_file) {
      const int file = open(options.standard_output_file->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (file < 0 || dup2(file, 1) < 0) _exit(127);
      if (file > 2) close(file);
    }
    if (options.file_size_limit) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{*options.file_size_limit, *options.file_size_limit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
    }
    bool unprivileged = false;
    if (options.as_unprivileged_user && geteuid() == 0) {
      unprivileged = true;
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(kCannotDropPrivileges);
      // The folder must be reachable for that user too (a private temporary folder is not).
      if (chdir(folder.c_str()) != 0) _exit(kCannotDropPrivileges);
    }
    // Wine reads arguments and host file names in the locale's character set;
    // the tests give them in UTF-8. Set here, so the test process keeps its own.
    if (!launcher.empty() && setenv("LC_ALL", "C.UTF-8", 1) != 0) _exit(127);
    for (const std::string& variable : options.environment) {
      const std::size_t equals = variable.find('=');
      if (equals == std::string::npos ||
          setenv(variable.substr(0, equals).c_str(), variable.c_str() + equals + 1, 1) != 0) {
        _exit(127);
      }
    }
    if (options.timeout_seconds > 0) alarm(options.timeout_seconds);
    // A launcher is looked up on PATH; the launcher of the peak memory
    // measure does the same for the program it starts.
    execvp(argv[0], argv.data());
    // The tool may lie where that user cannot reach it (an unpacked package, say).
    _exit(unprivileged ? kCannotDropPrivileges : 127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);

  ToolResult result;
  drain(out_pipe[0], err_pipe[0], result.output, result.errors);
  int wait_status = 0;
  while (waitpid(child, &wait_status, 0) != child) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  result.timed_out = result.signal == SIGALRM;
  if (options.measure_peak_memory) {
    const std::string peak = read_file(peak_file);
    if (!peak.empty()) result.peak_memory_kib = std::stol(peak);
    std::filesystem::remove(peak_file);
  }
  std::filesystem::remove(stdin_file);
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

std::uint64_t disk_space_of(const std::filesystem::path& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) throw std::runtime_error("cannot stat " + path.string());
  return static_cast<std::uint64_t>(status.st_blocks) * 512;
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace cellscale::testing
