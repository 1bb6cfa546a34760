#include "support/reference_grid.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "support/exact_statistics.h"

namespace cellscale::reference {

namespace {

constexpr double kLargestRowOrColumn = 2147483647.0;

// A read-only stream over a copy of the bytes (the C library needs a
// writable buffer), closed when it goes. The bytes may not be empty.
struct MemoryStream {
  std::string copy;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{fmemopen(copy.data(), copy.size(), "r"), &std::fclose};
  std::FILE* get() const { return file.get(); }
};

std::int64_t whole_number_text(double value) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (!(value >= -kTwoTo63 && value < kTwoTo63)) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

std::string header_of(const std::array<double, 13>& slot, Layout output) {
  if (output != Layout::text) {
    std::string bytes;
    for (std::size_t s = 1; s <= 12; ++s) append_value(bytes, width_of(output), slot[s]);
    return bytes;
  }
  return text_header(std::to_string(whole_number_text(slot[1])), std::to_string(whole_number_text(slot[2])),
                     cell_text(slot[3]), cell_text(slot[4]), cell_text(slot[5]), cell_text(slot[6]));
}

}  // namespace

std::size_t width_of(Layout layout) {
  switch (layout) {
    case Layout::double_binary: return 8;
    case Layout::single_binary: return 4;
    default: return 0;
  }
}

double decode(std::size_t width, const unsigned char* at) {
  std::uint64_t bits = 0;
  for (std::size_t i = width; i-- > 0;) bits = bits << 8 | at[i];
  return width == 8 ? std::bit_cast<double>(bits) : std::bit_cast<float>(static_cast<std::uint32_t>(bits));
}

void append_value(std::string& out, std::size_t width, double value) {
  const std::uint64_t bits =
      width == 8 ? std::bit_cast<std::uint64_t>(value) : std::bit_cast<std::uint32_t>(static_cast<float>(value));
  for (std::size_t i = 0; i < width; ++i) out += static_cast<char>(bits >> (8 * i));
}

bool same_value(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

double step_ulps(double value, int units) {
  for (; units > 0; --units) value = std::nextafter(value, std::numeric_limits<double>::infinity());
  for (; units < 0; ++units) value = std::nextafter(value, -std::numeric_limits<double>::infinity());
  return value;
}

std::array<double, 6> statistics_of(const std::vector<double>& cells, double nodata) {
  std::vector<double> counted;
  for (const double x : cells) {
    if (x > nodata + 1.0) counted.push_back(x);
  }
  if (counted.empty()) return {0, 0, 0, 0, -9999.0, -9999.0};
  double minimum = counted[0], maximum = counted[0], sum = 0;
  bool finite = true;
  for (const double x : counted) {
    // Of equal extremes (0 and -0) the first stays.
    if (x < minimum) minimum = x;
    if (x > maximum) maximum = x;
    sum += x;
    finite = finite && std::isfinite(x);
  }
  const double count = static_cast<double>(counted.size());
  double deviation = -9999.0;
  if (counted.size() > 2) {
    deviation = finite ? static_cast<double>(cellscale::testing::exact_standard_deviation(counted))
                       : std::numeric_limits<double>::quiet_NaN();
  }
  return {count, minimum, maximum, sum, sum / count, deviation};
}

Layout recognise(const std::string& bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() >= 4 && bytes.compare(0, 4, "ncol") == 0) return Layout::text;
  if (bytes.size() >= 48 && decode(8, data + 40) == -9999.0) return Layout::double_binary;
  if (bytes.size() >= 24 && decode(4, data + 20) == -9999.0) return Layout::single_binary;
  return Layout::none;
}

std::string cell_text(double value) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%.6g", value);
  std::string result(text, static_cast<std::size_t>(length));
  const std::size_t e = result.find('e');
  // "%g" writes at least two exponent digits: "1e+05" becomes "1e+005".
  if (e != std::string::npos && result.size() - e == 4) result.insert(e + 2, 1, '0');
  return result;
}

GridRead read_text_grid(const std::string& bytes, std::size_t max_cells) {
  GridRead grid;
  if (bytes.empty()) return grid;
  MemoryStream stream{bytes};
  std::FILE* file = stream.get();
  if (file == nullptr) return grid;
  for (int s = 1; s <= 6; ++s) {
    int taken = -1;
    if (std::fscanf(file, "%*s%n", &taken) == EOF || taken < 0) return grid;
    if (std::fscanf(file, "%lg", &grid.slot[static_cast<std::size_t>(s)]) != 1) return grid;
  }
  grid.header_complete = true;
  double value = 0;
  while (grid.cells.size() < max_cells && std::fscanf(file, "%lg", &value) == 1) grid.cells.push_back(value);
  return grid;
}

GridRead read_binary_grid(std::size_t width, const std::string& bytes, std::size_t max_cells) {
  GridRead grid;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < 12 * width) return grid;
  for (std::size_t s = 1; s <= 12; ++s) grid.slot[s] = decode(width, data + (s - 1) * width);
  grid.header_complete = true;
  for (std::size_t at = 12 * width; at + width <= bytes.size() && grid.cells.size() < max_cells; at += width) {
    grid.cells.push_back(decode(width, data + at));
  }
  return grid;
}

std::optional<std::int64_t> columns_of(double ncols) {
  const double whole = std::trunc(ncols);
  if (std::isnan(whole) || whole < 0 || whole > kLargestRowOrColumn) return std::nullopt;
  return static_cast<std::int64_t>(whole);
}

std::optional<std::int64_t> rows_of(double nrows) {
  if (nrows > kLargestRowOrColumn) return std::nullopt;
  if (std::isnan(nrows) || nrows < 1) return 0;
  return static_cast<std::int64_t>(std::floor(nrows));
}

std::string text_header(const std::string& ncols, const std::string& nrows, const std::string& xll,
                        const std::string& yll, const std::string& cellsize, const std::string& nodata) {
  return "ncols\t" + ncols + "\nnrows\t" + nrows + "\nxllcorner\t" + xll + "\nyllcorner\t" + yll + "\ncellsize\t" +
         cellsize + "\nnodata_value\t" + nodata + "\n";
}

std::string usage_text() {
  return "Cellscale: multiplies input grid on a cell by cell basis with a constant factor\n"
         "usage : cellscale <inputgrid> <outputgrid> [-f:t|s|d]\n"
         "-f:t|s|d output format. t=text (with double precision, this is default), d=double precision, "
         "s=single precision\n";
}

std::string unrecognised(const std::string& input_name) {
  return "could not recognise file format (ascii, single or double) for " + input_name + "\n";
}

std::string name_prompt(const std::string& output_name) {
  return "error opening output grid " + output_name + " \r\nplease enter new output file name: ";
}

std::string run_output(std::int64_t rows) {
  return "\nfactor : \n" + std::string(static_cast<std::size_t>(rows), '.') + "\n";
}

std::string read_failure(const std::string& input_name, std::size_t row, std::size_t values) {
  return "\nfactor : \n" + std::string(row - 1, '.') + "error reading from " + input_name + " in row " +
         std::to_string(row) + " (" + std::to_string(values) + " values read)\n";
}

std::string last_row_unchecked(const std::string& input_name, std::size_t rows, std::size_t columns) {
  return "\nfactor : \n" + std::string(rows, '.') + "error reading from " + input_name + " in row " +
         std::to_string(rows) + " (" + std::to_string(columns) + " values read)\n";
}

std::string memory_failure() { return "not enough memory\n"; }

std::string header_value_warning(const std::string& keyword, double value) {
  return "warning: " + keyword + " " + shortest_text(value) + " is written as " + cell_text(value) +
         "; cellscale --factor F --digits shortest keeps it\n";
}

std::string nodata_warning(const std::string& output_name, double nodata) {
  return "warning: " + output_name + " has nodata_value " + shortest_text(nodata) +
         ", not -9999: cellscale will not recognise it as a grid when it is given as an input\n";
}

std::string shortest_text(double value) {
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char text[400];
  for (int digits = 1;; ++digits) {
    std::snprintf(text, sizeof text, "%.*e", digits - 1, value);
    if (std::strtod(text, nullptr) != value) continue;
    const std::string exponent_form = text;
    const int exponent = value == 0 ? 0 : std::atoi(std::strchr(text, 'e') + 1);
    std::snprintf(text, sizeof text, "%.*f", std::max(0, digits - 1 - exponent), value);
    const std::string fixed_form = text;
    return fixed_form.size() <= exponent_form.size() ? fixed_form : exponent_form;
  }
}

namespace {

// The option is the third argument: "-f:" anywhere in it, and the letter after
// its first colon: s or d, else text.
Layout output_layout(const std::vector<std::string>& arguments) {
  if (arguments.size() < 3 || arguments[2].find("-f:") == std::string::npos) return Layout::text;
  const std::string& option = arguments[2];
  const std::size_t colon = option.find(':');
  const char choice = colon + 1 < option.size() ? option[colon + 1] : '\0';
  return choice == 's' ? Layout::single_binary : choice == 'd' ? Layout::double_binary : Layout::text;
}

// The run from a recognised input on, with the output open: the header, the
// rows scaled by `factor`, and the statistics block of a binary output.
void scale(Prediction& prediction, const std::string& grid_bytes, Layout input, const std::string& input_name,
           double factor, std::uint64_t work_limit) {
  RunResult& run = prediction.run;
  const Layout output = prediction.output;
  const std::size_t all = std::numeric_limits<std::size_t>::max();
  GridRead grid =
      input == Layout::text ? read_text_grid(grid_bytes, all) : read_binary_grid(width_of(input), grid_bytes, all);
  if (!grid.header_complete) {
    run = {1, "error reading fiel header from " + input_name + "\n", std::string()};
    return;
  }
  std::string file = header_of(grid.slot, output);
  prediction.header = file;
  // The warnings follow the header, whatever comes of the rows.
  std::string warnings;
  if (output == Layout::text) {
    const char* const keywords[] = {"xllcorner", "yllcorner", "cellsize"};
    for (std::size_t s = 3; s <= 5; ++s) {
      const double back = std::strtod(cell_text(grid.slot[s]).c_str(), nullptr);
      const bool kept = std::isnan(back) ? std::isnan(grid.slot[s])
                                         : back == grid.slot[s] && std::signbit(back) == std::signbit(grid.slot[s]);
      if (!kept) warnings += header_value_warning(keywords[s - 3], grid.slot[s]);
    }
  } else {
    // The nodata value as the output holds it: narrowed to binary32 in a single one.
    const double held = output == Layout::single_binary ? static_cast<float>(grid.slot[6]) : grid.slot[6];
    if (held != -9999.0) warnings = nodata_warning(prediction.output_name, grid.slot[6]);
  }
  run.errors = warnings;
  const std::optional<std::int64_t> columns = columns_of(grid.slot[1]);
  if (!columns) {
    run = {1, "invalid number of columns in " + input_name + "\n", file, warnings};
    return;
  }
  prediction.columns = *columns;
  const std::optional<std::int64_t> rows = rows_of(grid.slot[2]);
  if (!rows) {
    run = {1, "invalid number of rows in " + input_name + "\n", file, warnings};
    return;
  }
  const std::int64_t cols = *columns;
  const std::int64_t whole_rows =
      cols == 0 ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(grid.cells.size()) / cols;
  const std::int64_t done = std::min(*rows, whole_rows);
  const bool complete = done == *rows;
  prediction.work = static_cast<std::uint64_t>(done + (complete ? 0 : 1)) * static_cast<std::uint64_t>(cols + 1);
  if (prediction.work > work_limit) {
    prediction.too_long = true;
    return;
  }

  const double nodata = grid.slot[6];
  const char last_separator = grid.slot[1] > static_cast<double>(cols) ? '\t' : '\n';
  std::vector<double> written;
  for (std::int64_t r = 0; r < done; ++r) {
    for (std::int64_t c = 0; c < cols; ++c) {
      const double in = grid.cells[static_cast<std::size_t>(r * cols + c)];
      const double out = in == nodata ? nodata : in * factor;
      written.push_back(out);
      if (output == Layout::text) {
        file += cell_text(out);
        file += c + 1 < cols ? '\t' : last_separator;
      } else {
        append_value(file, width_of(output), out);
      }
    }
  }
  if (!complete) {
    run.status = 5;
    run.output = read_failure(input_name, static_cast<std::size_t>(done + 1),
                              grid.cells.size() - static_cast<std::size_t>(done * cols));
  } else {
    run.status = 0;
    run.output = run_output(done);
    if (output != Layout::text) {
      std::array<double, 13> slot = grid.slot;
      const std::array<double, 6> block = statistics_of(written, nodata);
      std::copy(block.begin(), block.end(), slot.begin() + 7);
      const std::string header = header_of(slot, output);
      file.replace(0, header.size(), header);
    }
  }
  run.file = file;
}

}  // namespace

Prediction predict_run(const std::string& grid, const std::vector<std::string>& arguments,
                       const std::optional<std::string>& input, std::uint64_t work_limit) {
  Prediction prediction;
  if (arguments.size() < 2) {
    prediction.run = {1, usage_text(), std::nullopt};
    return prediction;
  }
  const std::string& input_name = arguments[0];
  std::string& name = prediction.output_name = arguments[1];
  const Layout input_layout = recognise(grid);
  if (input_layout == Layout::none) {
    prediction.run = {98, unrecognised(input_name), std::nullopt};
    return prediction;
  }
  // The prompts take whole lines of standard input; the factor is read from what is left.
  std::optional<std::string> rest = input;
  while (name.empty() || name.rfind("no/", 0) == 0) {
    prediction.prompts += name_prompt(name);
    const std::size_t end = rest ? rest->find('\n') : std::string::npos;
    const std::string line = rest ? rest->substr(0, end) : "";
    if (line.empty()) {
      prediction.run = {1, prediction.prompts, std::nullopt};
      return prediction;
    }
    prediction.unforeseen = line.find('\0') != std::string::npos || line.find('/') != std::string::npos;
    if (prediction.unforeseen) return prediction;
    rest = end == std::string::npos ? std::string() : rest->substr(end + 1);
    name = line;
    prediction.prompts += "\r\n";
  }
  double factor = 1.0;
  if (rest && !rest->empty()) {
    MemoryStream stream{*rest};
    if (stream.get() == nullptr || std::fscanf(stream.get(), "%lf", &factor) != 1) factor = 1.0;
  }
  prediction.output = output_layout(arguments);
  prediction.nan_factor = std::isnan(factor);
  scale(prediction, grid, input_layout, input_name, factor, work_limit);
  prediction.run.output = prediction.prompts + prediction.run.output;
  return prediction;
}

bool same_file(const std::string& predicted, const std::string& actual, Layout output, bool nan_factor,
               std::string& why) {
  if (output == Layout::text) {
    if (!nan_factor) {
      if (predicted == actual) return true;
      why = "text output differs";
      return false;
    }
    auto unsigned_nan = [](std::string text) {
      for (std::size_t at = 0; (at = text.find("-nan", at)) != std::string::npos;) text.erase(at, 1);
      return text;
    };
    if (unsigned_nan(predicted) == unsigned_nan(actual)) return true;
    why = "text output differs (the sign of NaN aside)";
    return false;
  }
  const std::size_t width = width_of(output);
  if (predicted.size() != actual.size()) {
    why =
        "binary output of " + std::to_string(actual.size()) + " bytes instead of " + std::to_string(predicted.size());
    return false;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(predicted.data());
  const auto* a = reinterpret_cast<const unsigned char*>(actual.data());
  const bool finished = predicted.size() >= 12 * width;
  for (std::size_t at = 0; at + width <= predicted.size(); at += width) {
    const double expected = decode(width, p + at);
    const double got = decode(width, a + at);
    if (std::memcmp(p + at, a + at, width) == 0) continue;
    if (nan_factor && at >= 12 * width && std::isnan(expected) && std::isnan(got)) continue;
    if (finished && at == 11 * width && expected != -9999.0) {
      // The standard deviation, within rounding; beyond the range where it can
      // be computed accurately any non-negative value (or NaN) will do.
      const double scale = std::max(std::abs(decode(width, p + 7 * width)), std::abs(decode(width, p + 8 * width)));
      const double relative = width == 8 ? 1e-9 : 1e-6;
      if (std::isfinite(expected) && std::isfinite(got) && scale < 1e150 &&
          std::abs(expected - got) <=
              relative * std::max(std::abs(expected), std::abs(got)) + relative * 1e-3 * scale) {
        continue;
      }
      if ((!std::isfinite(expected) || scale >= 1e150) && (std::isnan(got) || got >= 0)) continue;
    }
    char text[160];
    std::snprintf(text, sizeof text, "value %zu of the binary output is %.17g instead of %.17g", at / width + 1, got,
                  expected);
    why = text;
    return false;
  }
  return true;
}

}  // namespace cellscale::reference
