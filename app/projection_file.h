#pragma once

// The projection file that GIS programs keep beside a grid: the grid's name
// with the extension ".prj" (dem.asc and dem.prj). A scaled grid lies in the
// same place on the earth as its input, so the input's projection file goes
// with it. A compressed grid's ".gz" is no part of that name: dem.asc.gz
// goes with dem.prj.

#include "app/file_names.h"

namespace cellscale {

// Copies the input grid's projection file beside the output grid, under the
// output's name with ".prj" in place of its extension (or added where the
// name has none; a ".gz" at its end is taken off first), replacing an older
// one. Both are found in any letter case (dem.PRJ); a new one is named
// ".prj". Nothing is done when the input has no projection file, when
// either grid is not a regular file (a pipe, a device), when the output is
// reached through a system folder (/dev/stdout, /proc/self/fd/1), or when
// both names lead to one projection file (dem.asc to dem.flt). A copy that
// fails is said in one line on standard error and its partial file removed;
// the grid itself is complete, so the run's status stays.
void copy_projection_file(const FileName& input, const FileName& output);

// The grid's projection file's name as written new: ".prj" in place of its
// extension, as above (dem.asc.gz: dem.prj).
[[nodiscard]] FileName projection_file_name(const FileName& grid);

}  // namespace cellscale
