// The ASCII grid reader (formats/ascii_grid.h) on text in memory, against the C
// library reading the same bytes with fscanf ("%s" for each header word,
// "%lg" for each number): the header values, the column and row counts made
// of them, and then every row: whole rows with the same cells, and the first
// short row with the same count of values read.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/ascii_grid.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  std::vector<char> copy(bytes.begin(), bytes.end());
  std::FILE* file = fmemopen(copy.data(), copy.size(), "r");
  if (file == nullptr) return 0;
  const auto reader = cellscale::make_ascii_grid_reader(cellscale::InputFile(cellscale::FilePtr(file)));
  cellscale::fuzzing::check_reader(*reader, cellscale::reference::read_text_grid(bytes, bytes.size()), 6);
  return 0;
}
