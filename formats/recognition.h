#pragma once

// Finding an input's format from its first bytes. A file that starts with
// "ncol" is an ASCII grid; otherwise it is a binary grid when its nodata value
// (header slot 6) is exactly -9999, read first as a binary64 at bytes 40 to 47
// ("double") and then as a binary32 at bytes 20 to 23 ("single").

#include <cstddef>
#include <optional>
#include <string>

#include "formats/grid_format.h"

namespace cellscale {

// How many bytes from the start of a file recognition looks at.
inline constexpr std::size_t kRecognitionBytes = 96;

// The format of a file whose first `size` bytes (all of them if the file is
// shorter than kRecognitionBytes) are given. Empty when no format matches.
[[nodiscard]] std::optional<FormatName> recognise_grid(const unsigned char* bytes, std::size_t size);

// What the first bytes of a file that recognise_grid finds no format in are,
// for a person, as the rest of a sentence that begins with the file
// ("is empty", "is a PNG image, not a grid"): the kinds of file that users
// give a grid tool by mistake, told by their first bytes.
[[nodiscard]] std::string describe_unrecognised(const unsigned char* bytes, std::size_t size);

}  // namespace cellscale
