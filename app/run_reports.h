#pragma once

// What a run says beside its grid and its messages: the statistics of the
// scaled cells as JSON (--stats), and the older form's warnings about an
// output that does not keep what the input said. Each text is made here and
// only here.

#include <string>
#include <string_view>

#include "formats/grid_format.h"
#include "formats/grid_header.h"
#include "stats/cell_stats.h"

namespace cellscale {

// The six statistics as one JSON object on one line, ending in "\n", with
// the keys count, minimum, maximum, sum, mean and standard_deviation in
// that order. The count is a whole number; every other value is the
// shortest text that reads back as the same double, or null where it is
// not finite (no JSON number stands for it). With a grid's name, the key
// grid comes first with the name as a JSON string (a run of many grids).
[[nodiscard]] std::string statistics_json(const CellStats::Summary& statistics, std::string_view grid = {});

// One line, ending in "\n", for each of xllcorner, yllcorner and cellsize
// that a text header changes: the value read does not read back from its
// six-digit text. Empty when all three survive.
[[nodiscard]] std::string text_header_warnings(const GridHeader& header);

// The line, ending in "\n", that says that a binary output `output_name`
// of the given format will not be recognised as a grid, as its nodata value
// is not -9999 (formats/recognition.h); empty when it is -9999.
[[nodiscard]] std::string binary_nodata_warning(const GridHeader& header, FormatName format,
                                                const std::string& output_name);

}  // namespace cellscale
