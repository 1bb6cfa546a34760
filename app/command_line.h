#pragma once

// The command line, in either of its forms:
//   cellscale --factor F [--format ...] [--quiet] INPUT OUTPUT   (for scripts: app/script_options.h)
//   cellscale <inputgrid> <outputgrid> [-f:t|s|d]                (the older form, read as it always was)
// Both come down to the settings of one run (app/scaling_run.h).

#include "formats/grid_format.h"

namespace cellscale {

// Runs the tool as the command line asks; returns the exit status.
int run_command_line(int argc, char** argv);

// The output format chosen by the older form's optional third argument (null
// when there is none). The option may stand anywhere in the argument: when
// it contains "-f:", the character after the first ":" of the whole argument
// decides, "s" for single and "d" for double (case-sensitive, the rest is
// ignored). Anything else gives text.
[[nodiscard]] FormatName output_format_from_argument(const char* argument);

}  // namespace cellscale
