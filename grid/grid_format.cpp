#include "grid/grid_format.h"

#include "grid/ascii_grid.h"
#include "grid/binary_grid.h"
#include "grid/input_file.h"

namespace cellscale {

const char* output_opening_mode(FormatName format) { return format == FormatName::ascii_text ? "wt" : "wb"; }

bool write_all(std::FILE* file, const void* bytes, std::size_t size) {
  return (size == 0 || std::fwrite(bytes, 1, size, file) == size) && std::ferror(file) == 0;
}

bool close_output(FilePtr file) {
  std::FILE* stream = file.release();
  bool intact = std::ferror(stream) == 0;
  intact = std::fflush(stream) == 0 && intact;
  return std::fclose(stream) == 0 && intact;
}

std::unique_ptr<GridReader> make_grid_reader(FormatName format, InputFile input) {
  if (format == FormatName::ascii_text) return make_ascii_grid_reader(std::move(input));
  return make_binary_grid_reader(format == FormatName::double_binary ? BinaryWidth::double_precision
                                                                     : BinaryWidth::single_precision,
                                 std::move(input));
}

std::unique_ptr<GridWriter> make_grid_writer(FormatName format, FilePtr output, bool gzip) {
  if (format == FormatName::ascii_text) return make_ascii_grid_writer(std::move(output), gzip);
  return make_binary_grid_writer(format == FormatName::double_binary ? BinaryWidth::double_precision
                                                                     : BinaryWidth::single_precision,
                                 std::move(output), gzip);
}

}  // namespace cellscale
