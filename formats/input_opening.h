#pragma once

// Opening the input grid: its first bytes tell whether it is gzip and, once
// decompressed if so, which format it holds (formats/recognition.h); then it is
// read from its first byte on (files/input_file.h): a plain file again from
// its start, and an input that cannot go back (a pipe) or is decompressed in
// one pass, the bytes already read served first. A text input is read as
// text mode reads it (on Windows: CR LF, and the end at a Ctrl-Z). Nothing is
// printed: the run turns a failure into its message and exit status.

#include <cstdio>
#include <functional>
#include <string>
#include <variant>

#include "files/input_file.h"
#include "formats/grid_format.h"

namespace cellscale {

struct OpenedInput {
  InputFile file;
  FormatName format;
  bool never_waits;  // a file, not a pipe: a read never waits for bytes to come
};

// Why an input is not read: it could not be opened (nor, for a gzip input,
// decompressed, nor a text file opened again in text mode), or its first
// bytes are those of no format.
enum class InputFailure { not_opened, not_recognised };

// fopen of the input's name in `mode` ("rb", or "rt" for a text file opened
// again); null when it cannot be opened. The caller knows how to open a name.
using InputOpener = std::function<std::FILE*(const char* mode)>;

// Opens the input through `open`, recognises its format and readies its
// bytes from the first on; or says why it cannot be read. For an input whose
// format is not recognised, `why`, where given, is set to what its bytes are
// for a person, as the rest of a sentence that begins with its name ("is
// empty", "is a folder", "is gzip-compressed, and what it holds is empty").
[[nodiscard]] std::variant<OpenedInput, InputFailure> open_input(const InputOpener& open, std::string* why = nullptr);

}  // namespace cellscale
