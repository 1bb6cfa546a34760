// cellscale_gridcheck: checks that a benchmark job wrote the right grid, so
// that the timings in the table belong to runs that did the whole job.
//
//   cellscale_gridcheck --in t|d|s INPUT --out t|d|s OUTPUT --factor F
//
// The output must have the input's six header values (ncols, nrows,
// xllcorner, yllcorner, cellsize, nodata_value = -9999) and, cell by cell,
// nodata where the input has nodata and the input value times F elsewhere.
// Values are compared within what the output format can hold: six
// significant digits for text (relative 5e-6), binary32 rounding for single,
// binary64 rounding for double. A text output must have one line per row.
// The statistics slots of a binary header are not looked at.
//
// Prints "ok CELLS cells" and exits 0, or prints what is wrong (with the
// first differing cell and the number of differing cells) and exits 1.

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/reference_grid.h"

namespace {

constexpr double kNodata = -9999.0;
constexpr const char* kHeaderNames[6] = {"ncols", "nrows", "xllcorner", "yllcorner", "cellsize", "nodata_value"};

[[noreturn]] void fail(const std::string& message) {
  std::printf("BAD: %s\n", message.c_str());
  std::exit(1);
}

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr,
               "cellscale_gridcheck: %s\n"
               "usage: cellscale_gridcheck --in t|d|s INPUT --out t|d|s OUTPUT --factor F\n",
               message);
  std::exit(2);
}

// The whole file, followed by a '\0' that ends the scans of a text grid.
std::vector<char> read_file(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  std::FILE* file = error ? nullptr : std::fopen(path.c_str(), "rb");
  if (file == nullptr) fail(path + ": cannot be opened");
  std::vector<char> bytes(static_cast<std::size_t>(size) + 1, '\0');
  const std::size_t got = std::fread(bytes.data(), 1, static_cast<std::size_t>(size), file);
  std::fclose(file);
  if (got != size) fail(path + ": cannot be read");
  return bytes;
}

// A grid read in any of the three formats, as doubles.
struct Grid {
  double header[6] = {};
  std::vector<double> cells;
};

Grid read_text(const std::string& path) {
  const std::vector<char> bytes = read_file(path);
  const char* p = bytes.data();
  const char* last = bytes.data() + bytes.size() - 1;
  Grid grid;
  for (int i = 0; i < 6; ++i) {
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* word = p;
    while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) ++p;
    const std::string name(word, p);
    std::string lower;
    for (char c : name) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (lower != kHeaderNames[i]) fail(path + ": header line " + std::to_string(i + 1) + " is \"" + name + "\"");
    char* end = nullptr;
    grid.header[i] = std::strtod(p, &end);
    if (end == p) fail(path + ": header line " + std::to_string(i + 1) + " has no number");
    p = end;
  }
  const double cols = grid.header[0];
  const double rows = grid.header[1];
  if (!(cols >= 1 && rows >= 1 && cols * rows < 1e10)) fail(path + ": bad grid size in the header");
  const auto ncols = static_cast<long long>(cols);
  const auto nrows = static_cast<long long>(rows);
  grid.cells.reserve(static_cast<std::size_t>(ncols * nrows));
  for (long long r = 0; r < nrows; ++r) {
    for (long long c = 0; c < ncols; ++c) {
      int newlines = 0;
      while (std::isspace(static_cast<unsigned char>(*p))) newlines += *p++ == '\n';
      if (newlines != (c == 0 ? 1 : 0)) {
        fail(path + ": row " + std::to_string(r + 1) + " column " + std::to_string(c + 1) + " follows " +
             std::to_string(newlines) + " line breaks (one line per row expected)");
      }
      double value = 0;
      const std::from_chars_result read = std::from_chars(p, last, value);
      if (read.ec != std::errc()) {
        fail(path + ": no number at row " + std::to_string(r + 1) + " column " + std::to_string(c + 1));
      }
      grid.cells.push_back(value);
      p = read.ptr;
    }
  }
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  if (*p != '\0') fail(path + ": text after the last row");
  return grid;
}

Grid read_binary(const std::string& path, char format) {
  const std::vector<char> file = read_file(path);
  const std::size_t size = file.size() - 1;  // without the added terminator
  const std::size_t width = format == 'd' ? 8 : 4;
  const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
  if (size < 12 * width) fail(path + ": shorter than a header");
  Grid grid;
  for (std::size_t i = 0; i < 6; ++i) grid.header[i] = cellscale::reference::decode(width, bytes + i * width);
  const double cols = grid.header[0];
  const double rows = grid.header[1];
  if (!(cols >= 1 && rows >= 1 && cols * rows < 1e10)) fail(path + ": bad grid size in the header");
  const auto cells = static_cast<std::size_t>(cols) * static_cast<std::size_t>(rows);
  if (size != (12 + cells) * width) {
    fail(path + ": " + std::to_string(size) + " bytes, expected " + std::to_string((12 + cells) * width));
  }
  grid.cells.reserve(cells);
  for (std::size_t i = 0; i < cells; ++i)
    grid.cells.push_back(cellscale::reference::decode(width, bytes + (12 + i) * width));
  return grid;
}

Grid read_grid(const std::string& path, char format) {
  return format == 't' ? read_text(path) : read_binary(path, format);
}

// Largest relative difference the output format allows between the exact
// value and what is stored.
double tolerance(char format) {
  switch (format) {
    case 't': return 5.0001e-6;  // rounded to six significant digits
    case 's': return 1.2e-7;     // binary32: 2^-24, with room for one more rounding
    default: return 4.5e-16;     // binary64: 2^-52, with room for one more rounding
  }
}

bool close_enough(double expected, double got, char format) {
  return std::fabs(got - expected) <= tolerance(format) * std::fabs(expected);
}

char parse_format(const char* text) {
  if (std::strlen(text) != 1 || std::strchr("tds", text[0]) == nullptr) usage("a format is t, d or s");
  return text[0];
}

}  // namespace

int main(int argc, char** argv) {
  char in_format = 0;
  char out_format = 0;
  std::string in_path;
  std::string out_path;
  double factor = 0;
  bool have_factor = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--in" || arg == "--out") && i + 2 < argc) {
      const char format = parse_format(argv[i + 1]);
      (arg == "--in" ? in_format : out_format) = format;
      (arg == "--in" ? in_path : out_path) = argv[i + 2];
      i += 2;
    } else if (arg == "--factor" && i + 1 < argc) {
      char* end = nullptr;
      factor = std::strtod(argv[++i], &end);
      if (*end != '\0' || end == argv[i]) usage("--factor needs a number");
      have_factor = true;
    } else {
      usage(("unexpected argument " + arg).c_str());
    }
  }
  if (in_format == 0 || out_format == 0 || !have_factor) usage("--in, --out and --factor are required");

  const Grid input = read_grid(in_path, in_format);
  const Grid output = read_grid(out_path, out_format);

  for (int i = 0; i < 6; ++i) {
    if (!close_enough(input.header[i], output.header[i], out_format)) {
      char message[160];
      std::snprintf(message, sizeof message, "header %s is %.17g, expected %.17g", kHeaderNames[i], output.header[i],
                    input.header[i]);
      fail(message);
    }
  }
  if (input.header[5] != kNodata) fail("the input's nodata value is not -9999");
  if (output.cells.size() != input.cells.size()) fail("the output has a different number of cells");

  const auto cols = static_cast<std::size_t>(input.header[0]);
  std::size_t wrong = 0;
  std::size_t first_wrong = 0;
  double first_expected = 0;
  for (std::size_t i = 0; i < input.cells.size(); ++i) {
    const bool nodata = input.cells[i] == kNodata;
    const double expected = nodata ? kNodata : input.cells[i] * factor;
    const double got = output.cells[i];
    const bool right = nodata ? got == kNodata : got != kNodata && close_enough(expected, got, out_format);
    if (!right && wrong++ == 0) {
      first_wrong = i;
      first_expected = expected;
    }
  }
  if (wrong != 0) {
    char message[200];
    std::snprintf(message, sizeof message,
                  "%zu of %zu cells differ; first at row %zu column %zu: %.17g, expected %.17g", wrong,
                  input.cells.size(), first_wrong / cols + 1, first_wrong % cols + 1, output.cells[first_wrong],
                  first_expected);
    fail(message);
  }
  std::printf("ok %zu cells\n", input.cells.size());
  return 0;
}
