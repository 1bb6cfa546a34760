// Starts a program and reports its peak resident size:
//   cellscale_peak_memory <report-file> <program> [arguments...]
// The program inherits standard input and output, and a pending alarm(). When
// it ends, its peak resident size in KiB (ru_maxrss) is written to the report
// file, and the launcher ends as the program did: with its exit status, or by
// its signal.
//
// The peak that the kernel reports for a process includes the pages of the
// process it was forked from, held until the exec. The tests are forked from a
// test program of many MiB; this launcher is small, so what it adds is well
// below the tool's own peak. It is built without sanitizers for that reason.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: cellscale_peak_memory <report-file> <program> [arguments...]\n", stderr);
    return 2;
  }
  // An alarm is not inherited by a forked child but survives an exec: it is
  // handed on to the program.
  const unsigned time_left = alarm(0);
  const pid_t child = fork();
  if (child < 0) return 127;
  if (child == 0) {
    if (time_left > 0) alarm(time_left);
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) != child) {
    if (errno != EINTR) return 127;
  }
  if (std::FILE* report = std::fopen(argv[1], "w")) {
    std::fprintf(report, "%ld\n", usage.ru_maxrss);
    std::fclose(report);
  }
  if (WIFSIGNALED(status)) {
    std::signal(WTERMSIG(status), SIG_DFL);
    std::raise(WTERMSIG(status));
    return 128 + WTERMSIG(status);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 127;
}
