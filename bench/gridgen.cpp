// cellscale_gridgen: writes a test grid for the benchmarks.
//
//   cellscale_gridgen --cols N --rows N [--format t|d|s] [--start-value K]
//                     [--nodata-percent P] OUTPUT
//
// The cells look like elevations: a smooth field between 0 and 4000 plus a
// little noise, rounded to 0.001, with about P percent (default 5) of the
// cells set to the nodata value -9999 in round patches. The same start value
// and size give the same cell values in all three formats, so the outputs of
// the tool can be compared across formats:
//   t  text grid: six header lines, then one line of tab-separated values per
//      row; values are written with up to three decimals and no trailing zeros
//      (1234.567, 12.5, 0), which a "%lg" scan reads back exactly;
//   d  binary double: 12 little-endian binary64 header values (ncols, nrows,
//      xllcorner, yllcorner, cellsize, nodata_value, and six statistics slots
//      left at zero), then the cells row after row;
//   s  binary single: the same with binary32 values.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double kNodata = -9999.0;
constexpr double kXllCorner = 100.5;
constexpr double kYllCorner = 4000000.0;
constexpr double kCellSize = 25.0;
constexpr double kPi = 3.14159265358979323846;

// splitmix64: a small, fast random generator whose output depends only on its
// state, so the grids are the same on every platform and library.
class Random {
 public:
  explicit Random(std::uint64_t state) : state_(state) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  double between(double low, double high) { return low + (high - low) * unit(); }

 private:
  std::uint64_t state_;
};

struct Options {
  long long cols = 0;
  long long rows = 0;
  char format = 't';
  std::uint64_t start_value = 1;
  double nodata_percent = 5.0;
  std::string output;
};

[[noreturn]] void usage(const char* message) {
  std::fprintf(stderr,
               "cellscale_gridgen: %s\n"
               "usage: cellscale_gridgen --cols N --rows N [--format t|d|s] [--start-value K]\n"
               "                         [--nodata-percent P] OUTPUT\n",
               message);
  std::exit(2);
}

long long parse_count(const char* text, const char* what) {
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || value <= 0) usage(what);
  return value;
}

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--cols" && has_value) {
      options.cols = parse_count(argv[++i], "--cols needs a positive whole number");
    } else if (arg == "--rows" && has_value) {
      options.rows = parse_count(argv[++i], "--rows needs a positive whole number");
    } else if (arg == "--format" && has_value) {
      const std::string format = argv[++i];
      if (format != "t" && format != "d" && format != "s") usage("--format is t, d or s");
      options.format = format[0];
    } else if (arg == "--start-value" && has_value) {
      char* end = nullptr;
      const char* text = argv[++i];
      options.start_value = std::strtoull(text, &end, 10);
      if (end == text || *end != '\0') usage("--start-value needs a whole number");
    } else if (arg == "--nodata-percent" && has_value) {
      char* end = nullptr;
      const char* text = argv[++i];
      options.nodata_percent = std::strtod(text, &end);
      if (end == text || *end != '\0' || !(options.nodata_percent >= 0 && options.nodata_percent <= 100)) {
        usage("--nodata-percent needs a number from 0 to 100");
      }
    } else if (!arg.empty() && arg[0] != '-' && options.output.empty()) {
      options.output = arg;
    } else {
      usage(("unexpected argument " + arg).c_str());
    }
  }
  if (options.cols == 0 || options.rows == 0) usage("--cols and --rows are required");
  if (options.output.empty()) usage("the output file is required");
  return options;
}

// One bit per cell, set where the cell is nodata. Round patches are added at
// random places until the share of covered cells reaches the target; sizes
// scale with the grid so that the patches look alike at every size.
std::vector<bool> nodata_mask(long long cols, long long rows, double percent, Random& random) {
  std::vector<bool> mask(static_cast<std::size_t>(cols * rows), false);
  const long long target = std::llround(static_cast<double>(cols * rows) * percent / 100.0);
  const double base_radius = std::max(1.0, static_cast<double>(std::min(cols, rows)) / 100.0);
  long long covered = 0;
  while (covered < target) {
    const double cx = random.between(0, static_cast<double>(cols));
    const double cy = random.between(0, static_cast<double>(rows));
    const double radius = base_radius * random.between(1.0, 3.0);
    const long long r_first = std::max(0LL, static_cast<long long>(std::floor(cy - radius)));
    const long long r_last = std::min(rows - 1, static_cast<long long>(std::ceil(cy + radius)));
    for (long long r = r_first; r <= r_last && covered < target; ++r) {
      const double dy = static_cast<double>(r) + 0.5 - cy;
      const double half = radius * radius - dy * dy;
      if (half < 0) continue;
      const double reach = std::sqrt(half);
      const long long c_first = std::max(0LL, static_cast<long long>(std::ceil(cx - reach - 0.5)));
      const long long c_last = std::min(cols - 1, static_cast<long long>(std::floor(cx + reach - 0.5)));
      for (long long c = c_first; c <= c_last && covered < target; ++c) {
        const auto index = static_cast<std::size_t>(r * cols + c);
        if (!mask[index]) {
          mask[index] = true;
          ++covered;
        }
      }
    }
  }
  return mask;
}

// The smooth part of the elevation: a sum of a few products of a sine in x and
// a cosine in y. Each term is separable, so the column factors are computed
// once and a row costs only a few multiply-adds per cell.
class Field {
 public:
  Field(long long cols, Random& random) : cols_(cols) {
    double amplitude = 1.0;
    for (int k = 0; k < kTerms; ++k) {
      Term term;
      term.amplitude = amplitude;
      term.fy = random.between(0.5, 1.5) * (1 << k);
      term.py = random.unit();
      const double fx = random.between(0.5, 1.5) * (1 << k);
      const double px = random.unit();
      term.column.resize(static_cast<std::size_t>(cols));
      for (long long c = 0; c < cols; ++c) {
        const double u = (static_cast<double>(c) + 0.5) / static_cast<double>(cols);
        term.column[static_cast<std::size_t>(c)] = std::sin(2 * kPi * (fx * u + px));
      }
      terms_.push_back(std::move(term));
      total_amplitude_ += amplitude;
      amplitude *= 0.5;
    }
  }

  // Fills row_values with the field of row r (of rows), scaled to [-1, 1].
  void row(long long r, long long rows, std::vector<double>& row_values) const {
    row_values.assign(static_cast<std::size_t>(cols_), 0.0);
    const double w = (static_cast<double>(r) + 0.5) / static_cast<double>(rows);
    for (const Term& term : terms_) {
      const double factor = term.amplitude * std::cos(2 * kPi * (term.fy * w + term.py)) / total_amplitude_;
      for (std::size_t c = 0; c < row_values.size(); ++c) row_values[c] += factor * term.column[c];
    }
  }

 private:
  static constexpr int kTerms = 6;
  struct Term {
    double amplitude = 0;
    double fy = 0;
    double py = 0;
    std::vector<double> column;
  };
  long long cols_;
  std::vector<Term> terms_;
  double total_amplitude_ = 0;
};

// Elevation in thousandths: 2000 +- 2400 from the field, +- 5 of noise, kept
// within 0..4000.
long long elevation_thousandths(double field, Random& random) {
  const double metres = 2000.0 + 2400.0 * field + random.between(-5.0, 5.0);
  return std::llround(std::clamp(metres, 0.0, 4000.0) * 1000.0);
}

// Writes a whole number of thousandths as decimal text with up to three
// decimals and no trailing zeros. Returns the end of the text.
char* write_thousandths(char* out, long long thousandths) {
  if (thousandths < 0) {
    *out++ = '-';
    thousandths = -thousandths;
  }
  long long whole = thousandths / 1000;
  int fraction = static_cast<int>(thousandths % 1000);
  char digits[24];
  int length = 0;
  do {
    digits[length++] = static_cast<char>('0' + whole % 10);
    whole /= 10;
  } while (whole != 0);
  while (length > 0) *out++ = digits[--length];
  if (fraction != 0) {
    *out++ = '.';
    int divisor = 100;
    while (fraction != 0) {
      *out++ = static_cast<char>('0' + fraction / divisor);
      fraction %= divisor;
      divisor /= 10;
    }
  }
  return out;
}

// Little-endian bytes of a binary64 or binary32 value, whatever the host order.
void put_le(std::vector<unsigned char>& bytes, double value, char format) {
  if (format == 'd') {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<unsigned char>(bits >> (8 * i)));
  } else {
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(bits >> (8 * i)));
  }
}

bool write_all(std::FILE* file, const void* data, std::size_t size) {
  return std::fwrite(data, 1, size, file) == size;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  // Separate generators for the field, the patches and the noise, so that
  // changing the nodata share moves no cell value.
  Random field_random(options.start_value);
  Random patch_random(options.start_value ^ 0x5bd1e9955bd1e995ULL);
  Random noise_random(options.start_value ^ 0xc2b2ae3d27d4eb4fULL);
  const Field field(options.cols, field_random);
  const std::vector<bool> mask = nodata_mask(options.cols, options.rows, options.nodata_percent, patch_random);

  std::FILE* file = std::fopen(options.output.c_str(), "wb");
  if (file == nullptr) {
    std::perror(options.output.c_str());
    return 1;
  }
  bool ok = true;
  if (options.format == 't') {
    char header[256];
    const int length = std::snprintf(header, sizeof header,
                                     "ncols\t%lld\nnrows\t%lld\nxllcorner\t%.10g\nyllcorner\t%.10g\n"
                                     "cellsize\t%.10g\nnodata_value\t%.10g\n",
                                     options.cols, options.rows, kXllCorner, kYllCorner, kCellSize, kNodata);
    ok = write_all(file, header, static_cast<std::size_t>(length));
  } else {
    std::vector<unsigned char> header;
    const double values[12] = {static_cast<double>(options.cols),
                               static_cast<double>(options.rows),
                               kXllCorner,
                               kYllCorner,
                               kCellSize,
                               kNodata,
                               0,
                               0,
                               0,
                               0,
                               0,
                               0};
    for (double value : values) put_le(header, value, options.format);
    ok = write_all(file, header.data(), header.size());
  }

  std::vector<double> row_field;
  std::vector<char> text;
  std::vector<unsigned char> bytes;
  const long long nodata_thousandths = std::llround(kNodata * 1000.0);
  for (long long r = 0; r < options.rows && ok; ++r) {
    field.row(r, options.rows, row_field);
    text.clear();
    bytes.clear();
    for (long long c = 0; c < options.cols; ++c) {
      // The noise is drawn for every cell, nodata or not, so that a cell's value
      // does not depend on the nodata share.
      long long thousandths = elevation_thousandths(row_field[static_cast<std::size_t>(c)], noise_random);
      if (mask[static_cast<std::size_t>(r * options.cols + c)]) thousandths = nodata_thousandths;
      if (options.format == 't') {
        const std::size_t used = text.size();
        text.resize(used + 24);
        char* end = write_thousandths(text.data() + used, thousandths);
        *end++ = (c + 1 < options.cols) ? '\t' : '\n';
        text.resize(static_cast<std::size_t>(end - text.data()));
      } else {
        // thousandths / 1000.0 is the double nearest to the decimal text, the
        // same value a scan of the text grid gives.
        put_le(bytes, static_cast<double>(thousandths) / 1000.0, options.format);
      }
    }
    ok = options.format == 't' ? write_all(file, text.data(), text.size())
                               : write_all(file, bytes.data(), bytes.size());
  }
  if (std::fclose(file) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "cellscale_gridgen: writing %s failed\n", options.output.c_str());
    return 1;
  }
  return 0;
}
