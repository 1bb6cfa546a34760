#include "app/script_options.h"

#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>
#include <system_error>

#ifndef CELLSCALE_VERSION
#error "CELLSCALE_VERSION must name the project's version (CMakeLists.txt sets it)"
#endif

namespace cellscale {

namespace {

// The format named by --format's value: the word, its first letter, or the
// older form's option (-f:d), all case-sensitive as that option is.
std::optional<FormatName> format_named(std::string_view name) {
  if (name == "text" || name == "t" || name == "-f:t") return FormatName::ascii_text;
  if (name == "double" || name == "d" || name == "-f:d") return FormatName::double_binary;
  if (name == "single" || name == "s" || name == "-f:s") return FormatName::single_binary;
  return std::nullopt;
}

// std::from_chars reads the C locale's form whatever the user's locale is,
// and says how far it read: the factor must be the whole text. It takes
// "inf" and "nan" too, which are refused here, and no "+", which is let
// through before a digit or a point.
std::optional<double> factor_from_text(std::string_view text) {
  if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// --digits' value: "shortest", or a whole number from 1 to 17 and nothing else.
std::optional<int> digits_from_text(std::string_view text) {
  if (text == "shortest") return kShortestCellDigits;
  int digits = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), digits);
  if (error != std::errc() || end != text.data() + text.size() || digits < kMinCellDigits ||
      digits > kMaxCellDigits) {
    return std::nullopt;
  }
  return digits;
}

constexpr std::string_view kSeeHelp = " (cellscale --help shows the usage)";

}  // namespace

bool is_script_form(int argc, char** argv) { return argc > 1 && std::string_view(argv[1]).starts_with("--"); }

// Read by hand rather than with getopt_long: the older form is told apart by
// the first argument alone (its options may stand anywhere in an argument,
// "xx-f:d"), the older "-f:d" is taken here as an option too, and every
// message must be the tool's own, the same on Windows, whose C library has
// no getopt_long.
std::variant<ScriptOptions, std::string> parse_script_options(int argc, char** argv) {
  ScriptOptions options;
  bool factor_given = false;
  bool digits_given = false;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument(argv[i]);
    if (options_ended || argument == "-" || !argument.starts_with('-')) {
      options.grid_indexes.push_back(i);
      continue;
    }
    if (argument == "--") {
      options_ended = true;
      continue;
    }
    if (const std::optional<FormatName> format = format_named(argument)) {
      options.format = *format;
      continue;
    }
    if (!argument.starts_with("--")) return "unknown option " + std::string(argument) + std::string(kSeeHelp);
    // --name or --name=value.
    const std::size_t equals = argument.find('=');
    const std::string name(argument.substr(0, equals));
    const bool attached = equals != std::string_view::npos;
    const std::string_view attached_value = attached ? argument.substr(equals + 1) : std::string_view();
    const bool takes_value = name == "--factor" || name == "--format" || name == "--digits" || name == "--output-dir";
    if (!takes_value && name != "--help" && name != "--version" && name != "--quiet" && name != "--stats") {
      return "unknown option " + name + std::string(kSeeHelp);
    }
    if (!takes_value && attached) return "option " + name + " takes no value" + std::string(kSeeHelp);
    if (name == "--help" || name == "--version") {
      options.action = name == "--help" ? ScriptOptions::Action::show_help : ScriptOptions::Action::show_version;
      return options;
    }
    if (name == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (name == "--stats") {
      options.statistics = true;
      continue;
    }
    if (!attached && i + 1 == argc) return "option " + name + " needs a value" + std::string(kSeeHelp);
    const std::string_view value = attached ? attached_value : std::string_view(argv[++i]);
    if (name == "--output-dir") {
      if (value.empty()) return "option --output-dir needs a folder" + std::string(kSeeHelp);
      options.many_grids = true;
      // The folder's own argument, or the argument it is attached to.
      options.output_folder_index = i;
      options.output_folder_offset = attached ? equals + 1 : 0;
    } else if (name == "--factor") {
      const std::optional<double> factor = factor_from_text(value);
      if (!factor)
        return "invalid factor '" + std::string(value) + "': a finite number such as 2, -0.5 or 1e3 is needed";
      options.factor = *factor;
      factor_given = true;
    } else if (name == "--digits") {
      const std::optional<int> digits = digits_from_text(value);
      if (!digits) {
        return "invalid digits '" + std::string(value) + "': a whole number from 1 to 17, or shortest, is needed";
      }
      options.digits = *digits;
      digits_given = true;
    } else {
      const std::optional<FormatName> format = format_named(value);
      if (!format) return "invalid format '" + std::string(value) + "': text, double or single is needed";
      options.format = *format;
    }
  }
  const std::vector<int>& operands = options.grid_indexes;
  if (options.many_grids) {
    if (operands.empty()) return "option --output-dir needs at least one grid" + std::string(kSeeHelp);
    for (const int index : operands) {
      if (std::string_view(argv[index]) == "-") {
        return "standard input cannot be one of the grids of --output-dir: name the grids" + std::string(kSeeHelp);
      }
    }
  } else {
    if (operands.size() != 2) return "an input grid and an output grid are needed" + std::string(kSeeHelp);
    options.input = argv[operands[0]];
    options.input_index = operands[0];
    options.output = argv[operands[1]];
    options.output_index = operands[1];
  }
  if (!factor_given) return "option --factor is needed: this form never asks for it" + std::string(kSeeHelp);
  if (digits_given && options.format != FormatName::ascii_text) {
    return "option --digits is for a text output: a binary grid holds every value as it is" + std::string(kSeeHelp);
  }
  if (options.output == "-" && options.format != FormatName::ascii_text) {
    return "a binary grid cannot be written to standard output: its statistics are written into its header "
           "at the end; name an output file";
  }
  return options;
}

const char* script_help_text() {
  return "Cellscale: multiplies input grid on a cell by cell basis with a constant factor\n"
         "\n"
         "usage: cellscale --factor F [--format text|double|single] [--digits N|shortest]\n"
         "                 [--quiet] [--stats] [--] INPUT OUTPUT\n"
         "       cellscale --factor F [the options above] --output-dir FOLDER [--] GRID...\n"
         "       cellscale <inputgrid> <outputgrid> [-f:t|s|d]\n"
         "\n"
         "The first form, for scripts, never reads standard input for a reply:\n"
         "  --factor F       the factor: a number in the C locale's form (2, -0.5, 1e3)\n"
         "  --format FORMAT  the output format: text (the default), double or single\n"
         "                   (also t, d, s, or -f:t, -f:d, -f:s)\n"
         "  --digits N       a text output's significant digits, 1 to 17 (6 by default),\n"
         "                   for the header's values and every cell\n"
         "  --digits shortest\n"
         "                   the fewest digits that read back to each value exactly\n"
         "  --quiet          no progress dots (shown on standard error when it is a terminal)\n"
         "  --stats          after the run, the statistics of the scaled cells as JSON on\n"
         "                   standard output (on standard error when OUTPUT is -)\n"
         "  --output-dir FOLDER\n"
         "                   scale every GRID into FOLDER under its own name, with its .prj\n"
         "                   (a listed .prj of a listed grid goes with its grid); several\n"
         "                   at once; a failed grid is named, its output removed, and the\n"
         "                   others still run; one line sums up at the end\n"
         "  --help           this text\n"
         "  --version        the version\n"
         "  --               the end of the options\n"
         "INPUT - reads the grid from standard input; OUTPUT - writes a text grid to\n"
         "standard output. Messages go to standard error; a failure ends the run.\n"
         "\n"
         "The second form asks for the factor on standard input, and for another name\n"
         "when the output cannot be created; its messages go to standard output.\n"
         "-f:t|s|d output format. t=text (with double precision, this is default), d=double precision, "
         "s=single precision\n";
}

const char* version_text() { return "cellscale " CELLSCALE_VERSION "\n"; }

}  // namespace cellscale
