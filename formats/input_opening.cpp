#include "formats/input_opening.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "files/gzip_input.h"
#include "formats/recognition.h"

namespace cellscale {

namespace {

// The readers fetch large blocks themselves: an input stream without a
// buffer of its own reads them straight into place, one system call a block.
FilePtr open_unbuffered(const InputOpener& open, const char* mode) {
  FilePtr file(open(mode));
  if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

// A text input that cannot be opened again is switched to text mode where
// the two differ (Windows: CR LF and Ctrl-Z as a text file reads them); the
// bytes already read may hold a CR, which the text reader takes as a blank.
void read_text_in_text_mode([[maybe_unused]] std::FILE* file, [[maybe_unused]] FormatName format) {
#ifdef _WIN32
  if (format == FormatName::ascii_text) _setmode(_fileno(file), _O_TEXT);
#endif
}

// Decompressed text is read as read_text_in_text_mode has a text file read:
// on Windows it ends at its first Ctrl-Z (a CR is a blank to the reader).
void read_decompressed_text_in_text_mode([[maybe_unused]] InputFile& input, [[maybe_unused]] FormatName format) {
#ifdef _WIN32
  if (format == FormatName::ascii_text) input.end_at_ctrl_z();
#endif
}

std::optional<FormatName> recognise(const char* bytes, std::size_t size) {
  return recognise_grid(reinterpret_cast<const unsigned char*>(bytes), size);
}

// A gzip input is recognised from the first bytes it decompresses to, and
// read on from there in one pass, those bytes served first, whether it is a
// file or a pipe.
std::variant<OpenedInput, InputFailure> open_compressed(FilePtr file, std::string_view start, bool never_waits,
                                                        std::string* why) {
  InputFile input(std::move(file));
  if (!input.decompress(start)) return InputFailure::not_opened;
  char first[kRecognitionBytes];
  const std::size_t size = input.read(first, sizeof first);
  const std::optional<FormatName> format = recognise(first, size);
  if (!format) {
    if (why != nullptr) {
      *why = "is gzip-compressed, and what it holds " +
             (size == 0 ? std::string("is empty or damaged")
                        : describe_unrecognised(reinterpret_cast<const unsigned char*>(first), size));
    }
    return InputFailure::not_recognised;
  }
  input.serve_first(std::string(first, size));
  read_decompressed_text_in_text_mode(input, *format);
  return OpenedInput{std::move(input), *format, never_waits};
}

}  // namespace

std::variant<OpenedInput, InputFailure> open_input(const InputOpener& open, std::string* why) {
  FilePtr file = open_unbuffered(open, "rb");
  if (!file) return InputFailure::not_opened;
  char start[kRecognitionBytes];
  errno = 0;
  const std::size_t size = std::fread(start, 1, sizeof start, file.get());
  const int read_error = std::ferror(file.get()) != 0 ? errno : 0;
  if (starts_gzip(reinterpret_cast<const unsigned char*>(start), size)) {
    const bool never_waits = std::fseek(file.get(), 0, SEEK_CUR) == 0;
    return open_compressed(std::move(file), std::string_view(start, size), never_waits, why);
  }
  const std::optional<FormatName> format = recognise(start, size);
  if (!format) {
    if (why != nullptr) {
      // A folder opens as a file on POSIX systems, and fails its first read.
      *why = read_error == EISDIR ? "is a folder"
             : read_error != 0    ? "cannot be read: " + std::string(std::strerror(read_error))
                                  : describe_unrecognised(reinterpret_cast<const unsigned char*>(start), size);
    }
    return InputFailure::not_recognised;
  }
  if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
    read_text_in_text_mode(file.get(), *format);
    InputFile input(std::move(file));
    input.serve_first(std::string(start, size));
    return OpenedInput{std::move(input), *format, false};
  }
  if (*format == FormatName::ascii_text) file = open_unbuffered(open, "rt");
  if (!file) return InputFailure::not_opened;
  return OpenedInput{InputFile(std::move(file)), *format, true};
}

}  // namespace cellscale
