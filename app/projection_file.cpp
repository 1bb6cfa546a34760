#include "app/projection_file.h"

#include <array>
#include <cstdio>
#include <optional>
#include <string>

#include "app/console.h"
#include "formats/grid_format.h"

namespace cellscale {

namespace {

// `name` with ".prj" in place of the extension of its last part, or added
// where that part has none; a leading dot (".hidden") starts no extension.
// A compressed grid's ".gz" (any letter case) is taken off first, so that
// dem.asc.gz goes with dem.prj, as dem.asc does. For the shown bytes and for
// the system's path alike (UTF-16 on Windows).
template <typename Text>
Text with_extension(Text name, const std::string& extension) {
  using Char = typename Text::value_type;
#ifdef _WIN32
  const Char separators[] = {Char('/'), Char('\\'), Char(0)};
#else
  const Char separators[] = {Char('/'), Char(0)};
#endif
  const std::size_t separator = name.find_last_of(separators);
  const std::size_t part = separator == Text::npos ? 0 : separator + 1;
  const std::size_t size = name.size();
  if (size >= part + 4 && name[size - 3] == Char('.') && ascii_lower(name[size - 2]) == Char('g') &&
      ascii_lower(name[size - 1]) == Char('z')) {
    name.resize(size - 3);
  }
  const std::size_t dot = name.rfind(Char('.'));
  if (dot != Text::npos && dot > part) name.resize(dot);
  for (const char c : extension) name.push_back(Char(c));
  return name;
}

FileName with_extension(const FileName& grid, const std::string& extension) {
  return {with_extension(grid.shown, extension), with_extension(grid.path.native(), extension)};
}

// The grid's projection file as it exists, in any letter case: the eight
// spellings of ".prj" are tried in turn, all lower case first, so that the
// search costs a few lookups however large the folder (on Windows the first
// finds any of them).
std::optional<FileName> existing_projection(const FileName& grid) {
  for (unsigned upper = 0; upper < 8; ++upper) {
    std::string extension = ".prj";
    for (unsigned letter = 0; letter < 3; ++letter) {
      if (((upper >> letter) & 1) != 0) extension[letter + 1] = static_cast<char>(extension[letter + 1] - 'a' + 'A');
    }
    FileName name = with_extension(grid, extension);
    if (is_regular_file(name)) return name;
  }
  return std::nullopt;
}

// Copies the bytes in large blocks; false when any read, write or close
// failed. A destination that was opened is then removed, so that no partial
// projection stays behind.
bool copy_bytes(const FileName& from, const FileName& to) {
  FilePtr source(open_file(from, "rb"));
  if (!source) return false;
  FilePtr destination(open_file(to, "wb"));
  if (!destination) return false;
  std::setvbuf(source.get(), nullptr, _IONBF, 0);
  std::setvbuf(destination.get(), nullptr, _IONBF, 0);
  std::array<char, 1 << 16> block;
  bool copied = true;
  while (copied) {
    const std::size_t size = std::fread(block.data(), 1, block.size(), source.get());
    copied = std::fwrite(block.data(), 1, size, destination.get()) == size;
    if (size < block.size()) {
      copied = copied && std::ferror(source.get()) == 0;
      break;
    }
  }
  copied = std::fclose(source.release()) == 0 && copied;
  copied = std::fclose(destination.release()) == 0 && copied;
  if (!copied) remove_file(to);
  return copied;
}

}  // namespace

FileName projection_file_name(const FileName& grid) { return with_extension(grid, ".prj"); }

void copy_projection_file(const FileName& input, const FileName& output) {
  if (!is_regular_file(input) || !is_regular_file(output) || is_in_system_folder(output)) return;
  const std::optional<FileName> source = existing_projection(input);
  if (!source) return;
  const FileName destination = existing_projection(output).value_or(with_extension(output, ".prj"));
  // A grid named with ".prj" is no projection file: it is neither copied nor
  // overwritten.
  for (const FileName* grid : {&input, &output}) {
    if (same_file(*source, *grid) || same_file(destination, *grid)) return;
  }
  if (same_file(*source, destination)) return;
  if (!copy_bytes(*source, destination)) {
    // On standard error in either form: the older form's standard output
    // holds the run's messages, which scripts match.
    warn("error copying projection file %s to %s\n", source->shown.c_str(), destination.shown.c_str());
  }
}

}  // namespace cellscale
