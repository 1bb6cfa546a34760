#pragma once

// The command line: cellscale <inputgrid> <outputgrid> [-f:t|s|d]

#include "formats/grid_format.h"

namespace cellscale {

// The output format chosen by the optional third argument (null when there is
// none). The option may stand anywhere in the argument: when it contains
// "-f:", the character after the first ":" of the whole argument decides, "s"
// for single and "d" for double (case-sensitive, the rest is ignored).
// Anything else gives text.
[[nodiscard]] FormatName output_format_from_argument(const char* argument);

}  // namespace cellscale
