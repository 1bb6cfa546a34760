#pragma once

// A second, plain account of what the tool does with a file, written from the
// README's description of the formats and the run, with none of the tool's
// code: text is read with the C library's own fscanf over the bytes, numbers
// are printed with snprintf, binary values are encoded and decoded byte by
// byte, and the standard deviation is exact (exact_statistics.h). The tests,
// the fuzz targets and the benchmark's checker hold the tool against it; the
// whole-process fuzzer predicts from it the exact status, standard output and
// output file of a run.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cellscale::reference {

enum class Layout { none, text, double_binary, single_binary };

// Bytes per value: 8 or 4, and 0 for text.
std::size_t width_of(Layout layout);

// "ncol" first: text; else nodata -9999 as a binary64 at bytes 40..47: double;
// else as a binary32 at bytes 20..23: single.
Layout recognise(const std::string& bytes);

// A value as the tool writes it into text: "%.6g" with an exponent of at
// least three digits; nan, -nan, inf, -inf.
std::string cell_text(double value);

// The little-endian value of the given width (8 or 4) at `at`, widened to double.
double decode(std::size_t width, const unsigned char* at);
// Appends `value` as a little-endian value of the given width (8, or 4 for a
// value narrowed to binary32).
void append_value(std::string& out, std::size_t width, double value);

// Equal as values in a grid: the same bits, or both NaN of the same sign.
bool same_value(double a, double b);
// `value` moved `units` steps in IEEE order (through zero, into infinity); negative: down.
double step_ulps(double value, int units);

// The statistics block of a grid's cells as written (nodata included):
// count, minimum, maximum, sum in row order and mean of the cells above
// nodata + 1, and their sample standard deviation, exact to the last digit
// but one (-9999 for fewer than three cells, NaN when one is not finite).
// With no cell counted: 0, 0, 0, 0, -9999, -9999.
std::array<double, 6> statistics_of(const std::vector<double>& cells, double nodata);

// What a reader takes from a file: the twelve header slots (a text grid
// fills 1 to 6), whether the header was whole, and the cells that follow, in
// order, as far as they can be read (at most max_cells of them).
struct GridRead {
  bool header_complete = false;
  std::array<double, 13> slot{};  // slot[1] to slot[12]
  std::vector<double> cells;
};

GridRead read_text_grid(const std::string& bytes, std::size_t max_cells);
GridRead read_binary_grid(std::size_t width, const std::string& bytes, std::size_t max_cells);

// Cells per row: ncols truncated toward zero, when that is 0 to 2147483647.
std::optional<std::int64_t> columns_of(double ncols);
// Rows visited: none for NaN or below 1, floor(nrows) up to 2147483647,
// nothing (unusable) above.
std::optional<std::int64_t> rows_of(double nrows);

// The six header lines of a text grid with the given values, as the tool writes them.
std::string text_header(const std::string& ncols, const std::string& nrows, const std::string& xll,
                        const std::string& yll, const std::string& cellsize, const std::string& nodata);

// The tool's own messages.
std::string usage_text();
std::string unrecognised(const std::string& input_name);
// The prompt for another output name when `output_name` cannot be opened.
std::string name_prompt(const std::string& output_name);
// What a complete run prints for a grid of `rows` rows.
std::string run_output(std::int64_t rows);
// What a run prints when `row` of the input holds only `values` values.
std::string read_failure(const std::string& input_name, std::size_t row, std::size_t values);
// What a run prints when all `rows` rows of a gzip input came through but
// the check at the end of the member that holds the last one failed: that
// row's read fails, its `columns` values read.
std::string last_row_unchecked(const std::string& input_name, std::size_t rows, std::size_t columns);
// The message, after what was printed before, and the status (3) of a run
// that could not have the memory it needed, on any of its threads.
std::string memory_failure();
inline constexpr int kMemoryFailureStatus = 3;

// The warning on standard error when a text header writes `keyword`'s value
// (xllcorner, yllcorner or cellsize) as a text that reads back otherwise.
std::string header_value_warning(const std::string& keyword, double value);
// The warning on standard error when a binary output's nodata value is not
// -9999, so that its file is no input the tool recognises.
std::string nodata_warning(const std::string& output_name, double nodata);
// The shortest text that reads back as `value` ("%.*g" digits in the shorter
// of the fixed and exponent forms, the fixed one on a tie).
std::string shortest_text(double value);

// Everything a run leaves: exit status, standard output (after any prompt for
// another output name), the bytes of the output file (none: no file), and
// standard error: the warnings about an output that does not keep what the
// input said.
struct RunResult {
  int status = 0;
  std::string output;
  std::optional<std::string> file;
  std::string errors{};
};

struct Prediction {
  RunResult run;
  std::string prompts;      // the prompts for another output name and their replies' line ends
  std::string output_name;  // where the output file is: the last name given
  Layout output = Layout::text;
  bool nan_factor = false;
  // A name typed at the prompt with a NUL or a '/' in it: the run is not worked out.
  bool unforeseen = false;
  // Rows times (columns + 1) that the run works through: a measure of its
  // length. When it exceeds the limit given, the run is not worked out.
  std::uint64_t work = 0;
  bool too_long = false;
  std::int64_t columns = -1;  // the whole column count, -1 when unusable
  std::string header;         // the output's header as first written
};

// The run of the tool with `arguments` (input name, output name, option) in
// a folder that holds only the input, whose bytes are `grid`, and `input` on
// standard input (none: closed). An output name that is empty or begins with
// "no/" (a folder that is not there) cannot be opened: another is read from
// standard input, a line at a time, until one opens or a line is empty or
// missing. The factor is the "%lf" scan of what standard input holds then
// (1 when that is no number).
Prediction predict_run(const std::string& grid, const std::vector<std::string>& arguments,
                       const std::optional<std::string>& input, std::uint64_t work_limit = UINT64_MAX);

// Compares an output file with the prediction. The standard deviation of a
// binary output is compared within rounding (the tool gathers it block by
// block, this account in two passes), and when the factor is NaN the sign of
// NaN cells is free (which NaN a product of two gives is not fixed).
bool same_file(const std::string& predicted, const std::string& actual, Layout output, bool nan_factor,
               std::string& why);

}  // namespace cellscale::reference
