#include "app/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace cellscale {

void fail(int status, const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
  std::exit(status);
}

void say(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
}

std::optional<std::string> read_reply_line() {
  std::fflush(stdout);
  std::string line;
  int c = 0;
  while ((c = std::getchar()) != EOF && c != '\n') line.push_back(static_cast<char>(c));
  if (c == EOF && line.empty()) return std::nullopt;
  return line;
}

double read_reply_number(double fallback) {
  std::fflush(stdout);
  double value = fallback;
  if (std::scanf("%lf", &value) != 1) value = fallback;
  return value;
}

}  // namespace cellscale
