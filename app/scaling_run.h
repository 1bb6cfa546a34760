#pragma once

// One run of the tool: check the command line, open and recognise the input,
// open the output (asking for another name while that fails), copy the
// header, ask for the factor, stream the grid row by row scaling every cell
// that is not nodata, and finish the output. Returns the exit status of a
// complete run; a failure ends the process where it is met, with its message
// and status.

namespace cellscale {

int run_scaling(int argc, char** argv);

}  // namespace cellscale
