#pragma once

// The tool's side of the console: messages and prompts, replies from
// standard input, and the one way a failed run ends. Messages go to standard
// output, as they always have in the older form; the form for scripts sends
// them to standard error, so that its standard output holds only a grid.

#include <cstdarg>
#include <cstdio>
#include <optional>
#include <string>

namespace cellscale {

// Where say(), fail() and the other messages go from now on: stdout (the
// start) or stderr.
void send_messages_to(std::FILE* stream);
[[nodiscard]] std::FILE* message_stream();

// Whether the stream is a terminal (the console on Windows).
[[nodiscard]] bool is_terminal(std::FILE* stream);

// How a run among several (app/many_grids.h) ends early: the process goes on
// with the other grids. fail() throws it on a thread that keeps its messages.
struct RunEnded {
  int status;
};

// While alive, say(), warn() and fail() on the thread that made it add their
// messages to text() instead of printing them, and fail() throws RunEnded
// instead of ending the process: the run of one grid among several, whose
// messages are printed together, in the grids' order, when it is done.
class KeptMessages {
 public:
  KeptMessages();
  ~KeptMessages();
  KeptMessages(const KeptMessages&) = delete;
  KeptMessages& operator=(const KeptMessages&) = delete;
  [[nodiscard]] const std::string& text() const { return text_; }
  // Adds a message made from a printf-style format.
  void add(const char* format, std::va_list arguments) __attribute__((format(printf, 2, 0)));

 private:
  std::string text_;
  KeptMessages* previous_;
};

// Prints a message made from a printf-style format and ends the process with
// the given status (on a thread with KeptMessages: keeps it and throws). Standard output is flushed on the way out;
// an output grid keeps only what its writer has written (the run flushes the writer before it fails).
[[noreturn]] void fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));

// fail() with a second line on standard error after the message, the reason
// it is known by: "cellscale: " and `reason`. The message stays the one that
// scripts match; a person reads why.
[[noreturn]] void fail_because(int status, const std::string& reason, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

[[noreturn]] void vfail_because(int status, const std::string& reason, const char* format, std::va_list arguments)
    __attribute__((format(printf, 3, 0)));

// The line fail_because adds, alone: for a failure that the run reports
// later, or not at all.
void warn_because(const std::string& reason);

// fail() with the arguments as a va_list, for a caller that takes them itself.
[[noreturn]] void vfail(int status, const char* format, std::va_list arguments) __attribute__((format(printf, 2, 0)));

// Prints a message (no exit).
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints a message on standard error whatever the form: a warning, or a
// failure that leaves the run's status as it is.
void warn(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line from standard input without its "\n" (a "\r" before it stays).
// Empty when standard input has ended before any character.
std::optional<std::string> read_reply_line();

// A number read from standard input as a "%lf" scan in the "C" locale reads
// it (scan_number): blanks and blank lines are passed over, and a reply that
// begins no number (or the end of input) gives the fallback. The blanks are
// the C locale's six whatever the user's locale. A few characters after the
// number may be read too; standard input is not read after the factor.
double read_reply_number(double fallback);

}  // namespace cellscale
