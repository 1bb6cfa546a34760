// cellscale_measure: runs one command and reports how long it took and how
// much memory it held at most.
//
//   cellscale_measure [--stdin FILE] [--stdout FILE] [--timeout SECONDS] -- PROGRAM [ARGS...]
//
// The command's standard input comes from FILE (default /dev/null) and its
// standard output goes to FILE (default /dev/null, created or truncated);
// standard error is left as it is. When the command ends, one line is printed:
//
//   WALL_SECONDS USER_SECONDS SYSTEM_SECONDS PEAK_RSS_KIB STATUS
//
// STATUS is "ok" (exit code 0), "exit=N" (127 also when the program could not
// be started), "signal=N" or "timeout" (killed after SECONDS, default 600). The
// wall time runs from just before the fork to the end of the wait; the peak
// resident set size is the child's ru_maxrss from wait4, which includes the
// small footprint of this program copied at the fork (about 1-2 MiB).

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_timed_out = 0;
volatile pid_t g_child = 0;

extern "C" void on_alarm(int) {
  g_timed_out = 1;
  if (g_child > 0) kill(g_child, SIGKILL);
}

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr,
               "cellscale_measure: %s\n"
               "usage: cellscale_measure [--stdin FILE] [--stdout FILE] [--timeout SECONDS] -- PROGRAM [ARGS...]\n",
               message);
  std::exit(2);
}

double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6; }

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// In the child: puts `path` on descriptor `target`, or reports and exits.
void redirect(const char* path, int flags, int target) {
  const int fd = open(path, flags, 0644);
  if (fd < 0 || dup2(fd, target) < 0) {
    std::fprintf(stderr, "cellscale_measure: %s: %s\n", path, std::strerror(errno));
    _exit(127);
  }
  if (fd != target) close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  std::string stdin_path = "/dev/null";
  std::string stdout_path = "/dev/null";
  unsigned timeout = 600;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (i + 1 >= argc) usage(("missing value after " + arg).c_str());
    if (arg == "--stdin") {
      stdin_path = argv[++i];
    } else if (arg == "--stdout") {
      stdout_path = argv[++i];
    } else if (arg == "--timeout") {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value <= 0) usage("--timeout needs a positive number of seconds");
      timeout = static_cast<unsigned>(value);
    } else {
      usage(("unexpected argument " + arg).c_str());
    }
  }
  if (i >= argc) usage("no command given");
  std::vector<char*> command(argv + i, argv + argc);
  command.push_back(nullptr);

  struct sigaction action {};
  action.sa_handler = on_alarm;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);

  std::fflush(nullptr);
  const double start = now();
  const pid_t child = fork();
  if (child < 0) {
    std::perror("cellscale_measure: fork");
    return 1;
  }
  if (child == 0) {
    redirect(stdin_path.c_str(), O_RDONLY, STDIN_FILENO);
    redirect(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO);
    execvp(command[0], command.data());
    std::fprintf(stderr, "cellscale_measure: %s: %s\n", command[0], std::strerror(errno));
    _exit(127);
  }
  g_child = child;
  alarm(timeout);

  int status = 0;
  rusage usage_data{};
  pid_t waited = 0;
  do {
    waited = wait4(child, &status, 0, &usage_data);
  } while (waited < 0 && errno == EINTR);
  const double wall = now() - start;
  alarm(0);
  if (waited < 0) {
    std::perror("cellscale_measure: wait4");
    return 1;
  }

  std::string outcome;
  if (g_timed_out) {
    outcome = "timeout";
  } else if (WIFEXITED(status)) {
    const int code = WEXITSTATUS(status);
    outcome = code == 0 ? "ok" : "exit=" + std::to_string(code);
  } else if (WIFSIGNALED(status)) {
    outcome = "signal=" + std::to_string(WTERMSIG(status));
  } else {
    outcome = "unknown";
  }
  std::printf("%.6f %.6f %.6f %ld %s\n", wall, seconds(usage_data.ru_utime), seconds(usage_data.ru_stime),
              usage_data.ru_maxrss, outcome.c_str());
  return 0;
}
