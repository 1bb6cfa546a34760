#include "app/command_line.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <variant>

#include "app/console.h"
#include "app/file_names.h"
#include "app/many_grids.h"
#include "app/scaling_run.h"
#include "app/script_options.h"

namespace cellscale {

namespace {

constexpr int kStatusUsage = 1;

// The older form: the messages, the prompts for the factor and for another
// output name, and the dots, all on standard output.
int run_older_form(int argc, char** argv) {
  if (argc < 3) {
    say("Cellscale: multiplies input grid on a cell by cell basis with a constant factor\n");
    say("usage : cellscale <inputgrid> <outputgrid> [-f:t|s|d]\n");
    say("-f:t|s|d output format. t=text (with double precision, this is default), d=double precision, "
        "s=single precision\n");
    return kStatusUsage;
  }
  return run_scaling({.input = file_name_argument(argc, argv, 1),
                      .output = file_name_argument(argc, argv, 2),
                      .output_format = output_format_from_argument(argc > 3 ? argv[3] : nullptr),
                      .warn_of_losses = true});
}

// Text asked for (--help, --version) on standard output; a failed write fails the run.
int show(const char* text) {
  std::fputs(text, stdout);
  return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : kStatusUsage;
}

// The form for scripts: standard output holds the grid written to "-" or
// nothing, so every message goes to standard error; the dots too, where a
// person watches it (a terminal) and --quiet is not given.
int run_script_form(int argc, char** argv) {
  send_messages_to(stderr);
  const std::variant<ScriptOptions, std::string> parsed = parse_script_options(argc, argv);
  if (const std::string* const message = std::get_if<std::string>(&parsed)) {
    fail(kStatusUsage, "%s\n", message->c_str());
  }
  const ScriptOptions& options = std::get<ScriptOptions>(parsed);
  if (options.action == ScriptOptions::Action::show_help) return show(script_help_text());
  if (options.action == ScriptOptions::Action::show_version) return show(version_text());
  if (options.many_grids) {
    ManyGrids many{.output_format = options.format,
                   .text_digits = options.digits,
                   .factor = options.factor,
                   .report_statistics = options.statistics};
    for (const int index : options.grid_indexes) {
      for (FileName& grid : matching_files(file_name_argument(argc, argv, index)))
        many.grids.push_back(std::move(grid));
    }
    // The folder's name, after "--output-dir=" where it is attached: the
    // same count of characters in the shown bytes and the system's path.
    many.folder = file_name_argument(argc, argv, options.output_folder_index);
    const std::size_t offset = options.output_folder_offset;
    many.folder.shown.erase(0, offset);
    many.folder.path = many.folder.path.native().substr(offset);
    return run_many_grids(many);
  }
  const bool input_standard = options.input == "-";
  const bool output_standard = options.output == "-";
  return run_scaling({
      .input = input_standard ? file_name_reply("-") : file_name_argument(argc, argv, options.input_index),
      .output = output_standard ? file_name_reply("-") : file_name_argument(argc, argv, options.output_index),
      .input_is_standard_input = input_standard,
      .output_is_standard_output = output_standard,
      .output_format = options.format,
      .text_digits = options.digits,
      .factor = options.factor,
      .ask_for_output_name = false,
      .dots = !options.quiet && is_terminal(stderr) ? stderr : nullptr,
      .report_statistics = options.statistics,
  });
}

}  // namespace

int run_command_line(int argc, char** argv) {
  return is_script_form(argc, argv) ? run_script_form(argc, argv) : run_older_form(argc, argv);
}

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
