// Inputs cut short, lengthened and corrupted, through the built tool: a small
// grid in each input format is run at every length from empty to whole, with
// bytes appended, and with unusable header counts. Each run must end by
// itself in bounded time, exit 0 exactly when every header value and every
// cell the header asks for is there, and otherwise end with exactly the one
// message its cut calls for. What each length calls for is worked out here
// from the layout of the formats, not from the tool's code.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/grid_bytes.h"
#include "support/tool_run.h"

namespace {

using namespace cellscale::testing;

const std::vector<double> kGeometry = {3, 2, 10, 20, 5, -9999};
// A statistics block of the input; a binary output gets its own instead.
const std::vector<double> kInputStatistics = {1, 2, 3, 4, 5, 6};
const std::vector<double> kCells = {1.5, -2, 3, 4, -9999, 6.25};
// The text grid ends in "6.25\n": cut inside that number it reads 6, 6. or 6.2.
const std::string kText = text_header("3", "2", "10", "20", "5", "-9999") + "1.5\t-2\t3\n4\t-9999\t6.25\n";
constexpr double kFactor = 2;

// Each run may take this long; one that does not end by then is a hang.
RunOptions bounded() {
  RunOptions options;
  options.timeout_seconds = 30;
  return options;
}

std::vector<double> concat(std::vector<double> a, const std::vector<double>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Format {
  const char* name;
  const char* option;
  int width;  // 0 for text
};
const Format kFormats[] = {{"text", "-f:t", 0}, {"double", "-f:d", 8}, {"single", "-f:s", 4}};

std::string grid_in(const Format& format) {
  return format.width == 0 ? kText : binary_grid(format.width, concat(kGeometry, kInputStatistics), kCells);
}

// A whole token of text as a number, or nothing when it is none.
std::optional<double> number_token(const std::string& token) {
  if (token.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(token.c_str(), &end);
  if (end != token.c_str() + token.size()) return std::nullopt;
  return value;
}

double little_endian(int width, const std::string& bytes, std::size_t at) {
  if (width == 8) {
    double value;
    std::memcpy(&value, bytes.data() + at, 8);
    return value;
  }
  float value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

// What a file holds as the README describes the formats: its format (0 when
// none is recognised), whether its header is whole, and the cells that follow.
struct Content {
  int width = -1;  // 0 text, 8 double, 4 single, -1 not recognised
  bool header_complete = false;
  std::vector<double> header;
  std::vector<double> cells;
};

Content content_of(const std::string& bytes) {
  Content content;
  if (bytes.size() >= 4 && bytes.compare(0, 4, "ncol") == 0) {
    content.width = 0;
  } else if (bytes.size() >= 48 && little_endian(8, bytes, 40) == -9999) {
    content.width = 8;
  } else if (bytes.size() >= 24 && little_endian(4, bytes, 20) == -9999) {
    content.width = 4;
  } else {
    return content;
  }
  if (content.width == 0) {
    std::istringstream text(bytes);
    std::vector<std::string> tokens;
    for (std::string token; text >> token;) tokens.push_back(token);
    for (std::size_t i = 1; i < 12 && i < tokens.size(); i += 2) {
      const std::optional<double> value = number_token(tokens[i]);
      if (!value) break;
      content.header.push_back(*value);
    }
    content.header_complete = content.header.size() == 6;
    for (std::size_t i = 12; content.header_complete && i < tokens.size(); ++i) {
      const std::optional<double> value = number_token(tokens[i]);
      if (!value) break;
      content.cells.push_back(*value);
    }
    return content;
  }
  const std::size_t w = static_cast<std::size_t>(content.width);
  content.header_complete = bytes.size() >= 12 * w;
  for (std::size_t at = 0; at + w <= bytes.size(); at += w) {
    (at < 12 * w ? content.header : content.cells).push_back(little_endian(content.width, bytes, at));
  }
  return content;
}

std::string cell_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// The text output of a complete run of the 3 x 2 grid with these cells.
std::string text_output(const std::vector<double>& cells) {
  std::string text = text_header("3", "2", "10", "20", "5", "-9999");
  for (std::size_t i = 0; i < 6; ++i) {
    text += cell_text(cells[i] == -9999 ? -9999 : cells[i] * kFactor) + (i % 3 == 2 ? "\n" : "\t");
  }
  return text;
}

void expect_binary_output(int width, const std::string& bytes, const std::vector<double>& cells) {
  const std::vector<double> values = binary_values(width, bytes);
  ASSERT_EQ(bytes.size(), static_cast<std::size_t>(width) * 18);
  auto stored = [&](double x) { return width == 8 ? x : static_cast<double>(static_cast<float>(x)); };
  std::vector<double> scaled;
  double sum = 0;
  for (std::size_t i = 0; i < 6; ++i) {
    scaled.push_back(cells[i] == -9999 ? -9999 : cells[i] * kFactor);
    if (scaled.back() != -9999) sum += scaled.back();
  }
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(values[i], stored(kGeometry[i])) << "slot " << i + 1;
  EXPECT_EQ(values[6], 5);  // the five cells that are not nodata
  EXPECT_EQ(values[7], stored(-4));
  EXPECT_EQ(values[8], stored(*std::max_element(scaled.begin(), scaled.end())));
  EXPECT_EQ(values[9], stored(sum));
  EXPECT_EQ(values[10], stored(sum / 5));
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(values[12 + i], stored(scaled[i])) << "cell " << i;
}

// Runs the tool on `bytes` and checks the outcome the content calls for.
void expect_outcome(const std::string& bytes, const Format& out) {
  ScratchFolder folder;
  write_file(folder / "in", bytes);
  const ToolResult result = run_tool(folder.path(), {"in", "out", out.option}, "2\n", bounded());
  ASSERT_FALSE(result.timed_out);
  ASSERT_EQ(result.signal, 0);
  EXPECT_EQ(result.errors, "");
  const Content content = content_of(bytes);
  if (content.width < 0) {
    EXPECT_EQ(result.output, native_lines("could not recognise file format (ascii, single or double) for in\n"));
    EXPECT_EQ(result.status, 98);
  } else if (!content.header_complete) {
    EXPECT_EQ(result.output, native_lines("error reading fiel header from in\n"));
    EXPECT_EQ(result.status, 1);
  } else if (content.cells.size() < 6) {
    const std::size_t row = content.cells.size() / 3 + 1;
    EXPECT_EQ(result.output, native_lines("\nfactor : \n" + std::string(row - 1, '.') + "error reading from in in row " +
                                          std::to_string(row) + " (" + std::to_string(content.cells.size() % 3) +
                                          " values read)\n"));
    EXPECT_EQ(result.status, 5);
  } else {
    ASSERT_EQ(content.header, concat(kGeometry, content.width == 0 ? std::vector<double>{} : kInputStatistics));
    EXPECT_EQ(result.output, native_lines(run_output(2)));
    EXPECT_EQ(result.status, 0);
    const std::string written = read_file(folder / "out");
    if (out.width == 0) {
      EXPECT_EQ(written, native_lines(text_output(content.cells)));
    } else {
      expect_binary_output(out.width, written, content.cells);
    }
  }
}

TEST(TruncationSweep, EveryPrefixOfEachInputFormat) {
  for (const Format& in : kFormats) {
    const std::string whole = grid_in(in);
    int complete_runs = 0;
    for (std::size_t length = 0; length <= whole.size(); ++length) {
      // Each output format in turn, so that every one meets every cut.
      const Format& out = kFormats[length % 3];
      SCOPED_TRACE(std::string(in.name) + " input cut to " + std::to_string(length) + " bytes, " + out.name +
                   " output");
      const std::string cut = whole.substr(0, length);
      expect_outcome(cut, out);
      if (content_of(cut).cells.size() >= 6) ++complete_runs;
      if (HasFatalFailure()) return;
    }
    // The text grid is also complete without its last line break, and when cut
    // inside its last number ("6", "6.", "6.2").
    EXPECT_EQ(complete_runs, in.width == 0 ? 5 : 1) << in.name;
  }
}

TEST(TruncationSweep, BytesAppendedAreIgnored) {
  const std::string garbage[] = {
      std::string("\n\x01\x02\x7f garbage 7 8 9\n", 19),
      std::string("\0\xff\xfe\x80ncols 3 nrows 2", 18),
      std::string(5000, 'x'),
  };
  for (const Format& in : kFormats) {
    for (const std::string& extra : garbage) {
      for (const Format& out : kFormats) {
        SCOPED_TRACE(std::string(in.name) + " input with " + std::to_string(extra.size()) + " bytes appended, " +
                     out.name + " output");
        expect_outcome(grid_in(in) + extra, out);
      }
    }
  }
}

// Header counts that cannot be used as they stand, in every input format.
TEST(TruncationSweep, CorruptedHeaderCounts) {
  const std::string columns = "invalid number of columns in in\n";
  const std::string rows = "invalid number of rows in in\n";
  const std::string rest = "xllcorner\t10\nyllcorner\t20\ncellsize\t5\nnodata_value\t-9999\n";
  struct Case {
    const char* ncols;
    const char* nrows;
    int status;
    std::string output;
    std::optional<std::string> text;  // the text output of a complete run
  };
  const Case cases[] = {
      {"nan", "2", 1, columns, std::nullopt},
      {"-1", "2", 1, columns, std::nullopt},
      {"-1e300", "2", 1, columns, std::nullopt},
      {"2147483648", "2", 1, columns, std::nullopt},
      {"1e300", "2", 1, columns, std::nullopt},
      {"inf", "2", 1, columns, std::nullopt},
      {"nan", "3e9", 1, columns, std::nullopt},
      {"3", "2147483648", 1, rows, std::nullopt},
      {"3", "inf", 1, rows, std::nullopt},
      {"3", "nan", 0, "\nfactor : \n\n", "ncols\t3\nnrows\t-9223372036854775808\n" + rest},
      {"3", "-5", 0, "\nfactor : \n\n", "ncols\t3\nnrows\t-5\n" + rest},
      {"3", "0.5", 0, "\nfactor : \n\n", "ncols\t3\nnrows\t0\n" + rest},
      {"3", "1.75", 0, run_output(1), "ncols\t3\nnrows\t1\n" + rest + "3\t-4\t6\n"},
      // A fractional column count leaves the line breaks out: every cell is followed by a tab.
      {"2.9", "2", 0, run_output(2), "ncols\t2\nnrows\t2\n" + rest + "3\t-4\t6\t8\t"},
      {"-0.5", "2", 0, run_output(2), "ncols\t0\nnrows\t2\n" + rest},
  };
  for (const Case& c : cases) {
    const double ncols = std::strtod(c.ncols, nullptr);
    const double nrows = std::strtod(c.nrows, nullptr);
    for (const Format& in : kFormats) {
      SCOPED_TRACE(std::string("ncols ") + c.ncols + ", nrows " + c.nrows + ", " + in.name + " input");
      std::vector<double> header = concat(kGeometry, kInputStatistics);
      header[0] = ncols;
      header[1] = nrows;
      const std::string bytes =
          in.width == 0 ? "ncols " + std::string(c.ncols) + "\nnrows " + c.nrows + "\nx 10\ny 20\nc 5\nn -9999\n" +
                              "1.5 -2 3 4 -9999 6.25\n"
                        : binary_grid(in.width, header, kCells);
      ScratchFolder folder;
      write_file(folder / "in", bytes);
      const ToolResult result = run_tool(folder.path(), {"in", "out", "-f:t"}, "2\n", bounded());
      EXPECT_EQ(result.signal, 0);
      EXPECT_EQ(result.errors, "");
      EXPECT_EQ(result.output, native_lines(c.output));
      EXPECT_EQ(result.status, c.status);
      if (c.text) {
        EXPECT_EQ(read_file(folder / "out"), native_lines(*c.text));
      }
    }
  }
}

}  // namespace
