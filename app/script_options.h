#pragma once

// The command line for scripts, in GNU long options:
//   cellscale --factor F [--format text|double|single] [--digits N|shortest] [--quiet] [--stats]
//             [--] INPUT OUTPUT
//   cellscale --factor F [the same options] --output-dir FOLDER [--] GRID...
// chosen when the first argument begins with "--"; any other command line is
// the older form (app/command_line.h), read as it always has been.
// This form never reads standard input for a reply: the factor is given, and
// an output that cannot be created ends the run. "-" as INPUT is standard
// input and as OUTPUT standard output.

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "formats/grid_format.h"
#include "numbers/cell_digits.h"

namespace cellscale {

struct ScriptOptions {
  enum class Action { scale, show_help, show_version };
  Action action = Action::scale;
  double factor = 1.0;
  FormatName format = FormatName::ascii_text;
  // A text output's significant digits, 1 to 17, or kShortestCellDigits.
  int digits = kFormatCellDigits;
  bool quiet = false;       // no progress dots
  bool statistics = false;  // --stats: the statistics as JSON after the run
  // The operands as given; "-" stands for a standard stream.
  std::string input;
  std::string output;
  int input_index = 0;  // their places in argv, for the names as the system has them
  int output_index = 0;
  // --output-dir: every operand is a grid to scale into this folder
  // (app/many_grids.h), and input and output are unused.
  bool many_grids = false;
  int output_folder_index = 0;
  std::size_t output_folder_offset = 0;  // where the folder starts in its argument: after "--output-dir="
  std::vector<int> grid_indexes;
};

// Whether the command line is in the form for scripts: its first argument
// begins with "--".
[[nodiscard]] bool is_script_form(int argc, char** argv);

// The options of a command line in the form for scripts, or the message
// (one line, no "\n") that says what is wrong with it.
[[nodiscard]] std::variant<ScriptOptions, std::string> parse_script_options(int argc, char** argv);

// The usage text of both forms, for --help.
[[nodiscard]] const char* script_help_text();

// "cellscale <version>", for --version.
[[nodiscard]] const char* version_text();

}  // namespace cellscale
