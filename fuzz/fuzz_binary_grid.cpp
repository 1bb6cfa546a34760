// Recognition of an input's first bytes (formats/recognition.h) against the
// README's rule, and both binary readers (formats/binary_grid.h) on the same
// bytes in memory against a byte-by-byte decoding: the twelve header slots,
// the counts, and every row, whole or short.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "formats/binary_grid.h"
#include "formats/recognition.h"
#include "fuzz_check.h"

namespace {

using cellscale::fuzzing::check;
namespace reference = cellscale::reference;

void check_recognition(const std::string& bytes) {
  const std::size_t looked_at = std::min(bytes.size(), cellscale::kRecognitionBytes);
  const std::optional<cellscale::FormatName> format =
      cellscale::recognise_grid(reinterpret_cast<const unsigned char*>(bytes.data()), looked_at);
  const reference::Layout expected = reference::recognise(bytes.substr(0, looked_at));
  using cellscale::FormatName;
  const bool same =
      format ? (*format == FormatName::ascii_text && expected == reference::Layout::text) ||
                   (*format == FormatName::double_binary && expected == reference::Layout::double_binary) ||
                   (*format == FormatName::single_binary && expected == reference::Layout::single_binary)
             : expected == reference::Layout::none;
  check(same, "recognition differs from the README's rule");
}

void check_reader(cellscale::BinaryWidth width, const std::string& bytes) {
  std::vector<char> copy(bytes.begin(), bytes.end());
  std::FILE* file = fmemopen(copy.data(), copy.size(), "r");
  if (file == nullptr) return;
  const auto reader = cellscale::make_binary_grid_reader(width, cellscale::InputFile(cellscale::FilePtr(file)));
  cellscale::fuzzing::check_reader(*reader,
                                   reference::read_binary_grid(static_cast<std::size_t>(width), bytes, bytes.size()),
                                   12);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  check_recognition(bytes);
  if (size == 0) return 0;
  check_reader(cellscale::BinaryWidth::double_precision, bytes);
  check_reader(cellscale::BinaryWidth::single_precision, bytes);
  return 0;
}
