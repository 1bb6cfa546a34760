#pragma once

// One run of the tool: open and recognise the input, open the output (asking
// for another name while that fails, in the older form), copy the header,
// take the factor (given, or asked for), stream the grid row by row scaling
// every cell that is not nodata, and finish the output. Returns the exit
// status of a complete run; a failure ends the process where it is met, with
// its message (app/console.h) and status.

#include <cstdio>
#include <optional>
#include <string>

#include "app/file_names.h"
#include "formats/grid_format.h"
#include "numbers/cell_digits.h"

namespace cellscale {

// What the command line (app/command_line.h) settles for a run; the rest is
// the same in both forms.
struct RunSettings {
  FileName input;
  FileName output;
  bool input_is_standard_input = false;    // then `input` only names it in messages
  bool output_is_standard_output = false;  // a text output only; then `output` only names it
  FormatName output_format = FormatName::ascii_text;
  // The significant digits of a text output's header values and cells
  // (numbers/cell_digits.h), or kShortestCellDigits.
  int text_digits = kFormatCellDigits;
  // None: asked for on standard input, after the "factor : " prompt.
  std::optional<double> factor{};
  // An output that cannot be created: another name is asked for on standard
  // input; otherwise the run ends, saying why.
  bool ask_for_output_name = true;
  // Where the progress dots go, and the line break after them; none: not shown.
  std::FILE* dots = stdout;
  // After a complete run, the statistics of the scaled cells as JSON
  // (app/run_reports.h) on standard output, or on standard error when the
  // grid goes to standard output.
  bool report_statistics = false;
  // Warnings on standard error about an output that does not keep what the
  // input said (app/run_reports.h), once its header is written.
  bool warn_of_losses = false;
  // For a run among several (app/many_grids.h): where the statistics' JSON,
  // named after the input, is kept instead of printed, and a flag set once the output file is
  // opened (created, or emptied), so that a failed run's partial output is
  // removed and an older file it never touched is not.
  std::string* kept_statistics = nullptr;
  bool* output_opened = nullptr;
};

int run_scaling(RunSettings settings);

}  // namespace cellscale
