#pragma once

// Many grids in one run, for a folder of tiles:
//   cellscale --factor F [options] --output-dir FOLDER GRID...
// Each grid is scaled into FOLDER under its own file name, with its
// projection file (app/projection_file.h), as one run of the form for
// scripts would scale it. A listed file that is a listed grid's projection
// file goes with its grid and is not scaled itself.
//
// The grids are the jobs of an ordered ring (threads/ordered_jobs.h), one at
// a time on each processor, each taking its own threads as a single run
// does. They are reported in the order listed: a grid's messages on
// standard error, each line after the grid's name; a failed grid's partial
// output is removed, and the others still run. A summary line on standard
// error ends the run.

#include <vector>

#include "app/file_names.h"
#include "formats/grid_format.h"
#include "numbers/cell_digits.h"

namespace cellscale {

struct ManyGrids {
  std::vector<FileName> grids{};
  FileName folder{};
  FormatName output_format = FormatName::ascii_text;
  int text_digits = kFormatCellDigits;
  double factor = 1.0;
  // Each grid's statistics as one line of JSON on standard output, in the
  // grids' order, its name first.
  bool report_statistics = false;
};

// 0 when every grid was scaled, else the status of the first grid listed
// that failed. Nothing is run, and the run fails with status 1 and a
// message, when two grids would be written under one name or the folder
// cannot be made.
int run_many_grids(const ManyGrids& settings);

}  // namespace cellscale
