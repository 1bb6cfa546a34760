#include "formats/grid_format.h"

#include "files/input_file.h"
#include "formats/ascii_grid.h"
#include "formats/binary_grid.h"

namespace cellscale {

const char* output_opening_mode(FormatName format) { return format == FormatName::ascii_text ? "wt" : "wb"; }

std::unique_ptr<GridReader> make_grid_reader(FormatName format, InputFile input) {
  if (format == FormatName::ascii_text) return make_ascii_grid_reader(std::move(input));
  return make_binary_grid_reader(format == FormatName::double_binary ? BinaryWidth::double_precision
                                                                     : BinaryWidth::single_precision,
                                 std::move(input));
}

std::unique_ptr<GridWriter> make_grid_writer(FormatName format, FilePtr output, bool gzip, int text_digits) {
  if (format == FormatName::ascii_text) return make_ascii_grid_writer(std::move(output), gzip, text_digits);
  return make_binary_grid_writer(format == FormatName::double_binary ? BinaryWidth::double_precision
                                                                     : BinaryWidth::single_precision,
                                 std::move(output), gzip);
}

}  // namespace cellscale
