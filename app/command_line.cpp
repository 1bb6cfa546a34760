#include "app/command_line.h"

#include <string_view>

namespace cellscale {

FormatName output_format_from_argument(const char* argument) {
  if (argument == nullptr) return FormatName::ascii_text;
  const std::string_view text(argument);
  if (text.find("-f:") == std::string_view::npos) return FormatName::ascii_text;
  // The first ":" can stand before the option ("a:b-f:d" looks at the "b").
  const std::size_t colon = text.find(':');
  const char choice = colon + 1 < text.size() ? text[colon + 1] : '\0';
  if (choice == 's') return FormatName::single_binary;
  if (choice == 'd') return FormatName::double_binary;
  return FormatName::ascii_text;
}

}  // namespace cellscale
