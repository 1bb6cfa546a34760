#include "app/console.h"

#include <bit>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "numbers/number_text.h"

namespace cellscale {

namespace {

constexpr bool may_continue_number(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Set before any thread is started, read after: never written while read.
std::FILE* messages = stdout;

// The messages kept on this thread, if any (the innermost KeptMessages).
thread_local KeptMessages* kept = nullptr;

}  // namespace

KeptMessages::KeptMessages() : previous_(kept) { kept = this; }

KeptMessages::~KeptMessages() { kept = previous_; }

void KeptMessages::add(const char* format, std::va_list arguments) {
  std::va_list measuring;
  va_copy(measuring, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, measuring);
  va_end(measuring);
  if (length <= 0) return;
  const std::size_t start = text_.size();
  text_.resize(start + static_cast<std::size_t>(length) + 1);
  std::vsnprintf(text_.data() + start, static_cast<std::size_t>(length) + 1, format, arguments);
  text_.resize(start + static_cast<std::size_t>(length));
}

void send_messages_to(std::FILE* stream) { messages = stream; }

std::FILE* message_stream() { return messages; }

bool is_terminal(std::FILE* stream) {
#ifdef _WIN32
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

namespace {

// A message to `stream`, or to the messages kept on this thread.
__attribute__((format(printf, 2, 0))) void print_message(std::FILE* stream, const char* format,
                                                         std::va_list arguments) {
  if (kept != nullptr) {
    kept->add(format, arguments);
  } else {
    std::vfprintf(stream, format, arguments);
  }
}

// The message, then the reason line where there is one (after the message
// has left, so that a terminal shows them in that order), then the end: of
// the grid's run where messages are kept, of the process otherwise.
[[noreturn]] __attribute__((format(printf, 3, 0))) void end_run(int status, const std::string* reason,
                                                                const char* format, std::va_list arguments) {
  print_message(messages, format, arguments);
  if (kept == nullptr) std::fflush(messages);
  if (reason != nullptr) warn_because(*reason);
  if (kept != nullptr) throw RunEnded{status};
  std::exit(status);
}

}  // namespace

void fail(int status, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  vfail(status, format, arguments);
}

void warn_because(const std::string& reason) { warn("cellscale: %s\n", reason.c_str()); }

void fail_because(int status, const std::string& reason, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  vfail_because(status, reason, format, arguments);
}

void vfail_because(int status, const std::string& reason, const char* format, std::va_list arguments) {
  end_run(status, &reason, format, arguments);
}

void vfail(int status, const char* format, std::va_list arguments) { end_run(status, nullptr, format, arguments); }

void say(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  print_message(messages, format, arguments);
  va_end(arguments);
}

void warn(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  print_message(stderr, format, arguments);
  va_end(arguments);
}

std::optional<std::string> read_reply_line() {
  std::fflush(messages);
  std::string line;
  int c = 0;
  while ((c = std::getchar()) != EOF && c != '\n') line.push_back(static_cast<char>(c));
  if (c == EOF && line.empty()) return std::nullopt;
  return line;
}

double read_reply_number(double fallback) {
  std::fflush(messages);
  // The reply is judged by the grid text's own scanner rather than by scanf,
  // whose blanks are those of the user's locale (a Windows code page calls
  // 0xA0 a space): the same reply gives the same factor everywhere.
  std::string text;
  while (true) {
    const int c = std::getchar();
    const bool at_end = c == EOF;
    if (!at_end) {
      text.push_back(static_cast<char>(c));
      // A digit or a letter is only gathered, and judged with what follows
      // (each scan goes over all that was gathered); the text is scanned at
      // any other character (a typed reply at its line break) and whenever
      // its length has doubled, so a long reply costs time in proportion.
      if (may_continue_number(static_cast<char>(c)) && !std::has_single_bit(text.size())) continue;
    }
    double value = fallback;
    const ScanResult result = scan_number(text.data(), text.data() + text.size(), at_end, value);
    if (result.status == ScanStatus::ok) return value;
    if (result.status == ScanStatus::no_number) return fallback;
    // Not yet decided: the blanks before the number are dropped.
    text.erase(0, static_cast<std::size_t>(result.next - text.data()));
  }
}

}  // namespace cellscale
