// Reading ASCII grids and writing text grids through the built tool: the
// exact text, the reading rules, and the failures it reports instead of
// writing a wrong grid.

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "support/gzip_bytes.h"
#include "support/run_case.h"

namespace {

using namespace cellscale::testing;

const std::string kHeader32 = text_header("3", "2", "10", "20", "5", "-9999");

// A complete run of `rows` rows that writes the text grid `expected`.
RunCase scale(std::string name, std::string grid, std::string factor, const std::string& expected, int rows = 2) {
  return in_to_out(std::move(name), std::move(grid), std::move(factor), run_output(rows), 0, native_lines(expected));
}

TEST(TextGrid, ReadingRules) {
  const std::string copied = kHeader32 + "1\t2\t3\n4\t5\t6\n";
  // clang-format off
  const RunCase cases[] = {
      scale("any header words, values in order",
            "ncols 3\nnrows 2\nxllcenter 10\nyllcenter 20\nsize 5\nNODATA -9999\n1 2 3\n4 5 6\n", "1\n", copied),
      scale("line breaks carry no meaning", "ncols 3 nrows 2 xllcorner 10 yllcorner 20\ncellsize 5\n"
            "nodata_value -9999 1 2 3 4 5 6", "1\n", copied),
      scale("a row may span lines", kHeader32 + "1\n2\n3 4\n5\n6\n", "1\n", copied),
      scale("CR LF line ends", "ncols\t3\r\nnrows\t2\r\nxllcorner\t10\r\nyllcorner\t20\r\ncellsize\t5\r\n"
            "nodata_value\t-9999\r\n1\t2\t3\r\n4\t5\t6\r\n", "1\n", copied),
      scale("number forms a scan takes", kHeader32 + "+1.5 1e3 0x10\n.5 -2. 1E-2\n", "1\n",
            kHeader32 + "1.5\t1000\t16\n0.5\t-2\t0.01\n"),
      scale("text after the cells is left alone", kHeader32 + "1 2 3 4 5 6 and more words\n", "1\n", copied),
      scale("a number cut by the end of the file", kHeader32 + "1 2 3 4 5 6.25", "1\n",
            kHeader32 + "1\t2\t3\n4\t5\t6.25\n"),
      scale("a long header word", "ncols" + std::string(5000, 'x') + " 3\nnrows 2\nx 10\ny 20\nc 5\nn -9999\n1 2 3 4 5 6\n",
            "1\n", copied),
  };
  // clang-format on
  for (const RunCase& c : cases) check_run(c);
  // On Windows a text input ends at its first Ctrl-Z, as a file read in
  // text mode does, compressed or not; elsewhere Ctrl-Z is a character of
  // the header word it ends.
  const std::string ctrl_z =
      "ncols 3\nnrows 2\nxllcorner 10\nyllcorner 20\ncellsize 5\nnodata_value\x1a -9999\n1 2 3\n4 5 6\n";
  for (const std::string& bytes : {ctrl_z, gzip_members(ctrl_z)}) {
    check_run(target_is_windows()
                  ? in_to_out("Ctrl-Z ends the text", bytes, "1\n", "error reading fiel header from in.asc\n", 1, "")
                  : scale("Ctrl-Z is a character", bytes, "1\n", copied));
  }
}

TEST(TextGrid, WritingRules) {
  const std::string big = text_header("3", "1", "100.25", "4e+006", "1e-005", "-9999");
  // clang-format off
  const RunCase cases[] = {
      scale("six significant digits, three-digit exponents",
            "ncols 3\nnrows 1\nxllcorner 100.25\nyllcorner 4000000\ncellsize 0.00001\nnodata_value -9999\n"
            "1234567 0.00001 0.1\n", "1\n", big + "1.23457e+006\t1e-005\t0.1\n", 1),
      scale("nodata passes whatever the factor", kHeader32 + "2.5 -9999 -3\n-9999 0 1e300\n", "2\n",
            kHeader32 + "5\t-9999\t-6\n-9999\t0\t2e+300\n"),
      scale("NaN and infinite cells", kHeader32 + "nan -nan inf\n-inf 1e308 -1e308\n", "10\n",
            kHeader32 + "nan\t-nan\tinf\n-inf\tinf\t-inf\n"),
      // Values whose scaling to six digits lands one unit above a rounding
      // midpoint, where the four- and eight-cell loops once wrote the last
      // digit one too low (and a nodata cell otherwise than the header).
      scale("the last digit just above a midpoint",
            text_header("8", "2", "0", "0", "1", "13.10715") + "13.10715 1 1 1 1 1 1 1\n"
            "262.1435 -26214.350000000002 1.310715 1 1 1 1 1\n", "1\n",
            text_header("8", "2", "0", "0", "1", "13.1072") + "13.1072\t1\t1\t1\t1\t1\t1\t1\n"
            "262.144\t-26214.4\t1.31072\t1\t1\t1\t1\t1\n"),
      scale("the last digit just above a midpoint, scaled",
            text_header("8", "2", "0", "0", "1", "-9999") + "2621.435 2621.435 2621.435 2621.435 2621.435 2621.435 "
            "2621.435 2621.435\n2621.435 2621.435 2621.435 2621.435 2621.435 2621.435 2621.435 -9999\n", "0.1\n",
            text_header("8", "2", "0", "0", "1", "-9999") + "262.144\t262.144\t262.144\t262.144\t262.144\t262.144\t"
            "262.144\t262.144\n262.144\t262.144\t262.144\t262.144\t262.144\t262.144\t262.144\t-9999\n"),
      scale("the last digit just above a midpoint, in feet",
            text_header("8", "1", "0", "0", "1", "-9999") + "1 43.00246062992126 43.00246062992126 "
            "43.00246062992126 43.00246062992126 43.00246062992126 43.00246062992126 43.00246062992126\n",
            "0.3048\n", text_header("8", "1", "0", "0", "1", "-9999") + "0.3048\t13.1072\t13.1072\t13.1072\t"
            "13.1072\t13.1072\t13.1072\t13.1072\n", 1),
      scale("with nodata 0 a -0 cell is nodata", text_header("3", "1", "0", "0", "1", "0") + "-0 0 2\n", "3\n",
            text_header("3", "1", "0", "0", "1", "0") + "0\t0\t6\n", 1),
  };
  // clang-format on
  for (const RunCase& c : cases) check_run(c);
}

TEST(TextGrid, MissingOrBrokenNumbersAreReported) {
  const std::string header_failure = "error reading fiel header from in.asc\n";
  // clang-format off
  const RunCase cases[] = {
      in_to_out("header value missing", "ncols 3\nnrows 2\nxllcorner 10\n", "1\n", header_failure, 1, ""),
      in_to_out("header value no number", "ncols 3\nnrows two\n", "1\n", header_failure, 1, ""),
      in_to_out("header word missing", "ncols 3\nnrows 2 x 1 y 2 c 3 ", "1\n", header_failure, 1),
      in_to_out("grid ends early", kHeader32 + "1 2 3\n4\n", "1\n", read_failure("in.asc", 2, 1), 5,
                native_lines(kHeader32 + "1\t2\t3\n")),
      in_to_out("a cell that is no number", kHeader32 + "1 x 3\n4 5 6\n", "1\n", read_failure("in.asc", 1, 1), 5,
                native_lines(kHeader32)),
      in_to_out("a lone sign", kHeader32 + "1 2 3\n4 - 6\n", "1\n", read_failure("in.asc", 2, 1), 5),
      // Blanks are the C locale's six everywhere: a no-break space (a blank
      // in the Windows code page 1252) joins a header word to its number and
      // ends a cell without starting the next.
      in_to_out("a no-break space in the header is no blank",
                "ncols 3\nnrows 2\nxllcorner 10\nyllcorner 20\ncellsize\xA0" "5\nnodata_value -9999\n", "1\n",
                header_failure, 1, ""),
      in_to_out("a no-break space between cells is no blank", kHeader32 + "1 2 3\n4 5\xA0" "6\n", "1\n",
                read_failure("in.asc", 2, 2), 5),
  };
  // clang-format on
  for (const RunCase& c : cases) check_run(c);
}

// A header asking for 2147483647 columns takes no memory for its rows: the
// run reads cells as they come, and goes on until the short file ends.
TEST(TextGrid, AHugeRowOnAShortFileIsAReadError) {
  ScratchFolder folder;
  write_file(folder / "in.asc", "ncols 2147483647\nnrows 2\nx 0\ny 0\nc 1\nn -9999\n1 2 3\n");
  const ToolResult result = run_tool(folder.path(), {"in.asc", "out.asc"}, "1\n");
  expect_ended(result, "\nfactor : \nerror reading from in.asc in row 1 (3 values read)\n", 5);
}

// The scanner learns the shape of a cell (its length, where its point is,
// the blank after it: a space, or a tab or another of its kind; negative
// cells have a shape of their own) and checks the next cells against it, the
// byte after the number included. Each byte that may follow a number, right
// after a number of a learnt shape: after one cell of the shape (the shape
// last learnt) and after two (the shape tried first), positive and negative,
// the shape learnt after a tab and after a space. The run and its double
// output are what the model of a run predicts.
struct BytesAfterNumbers {
  const char* name;
  std::string bytes;
  bool end_the_cells;  // no number starts at the byte: the read fails there
};

// A probe: cells of the shape `length` and `whole`, then a number of that
// shape with `byte` right after it. A 0 comes first: the cell after a line
// break that follows the header or a cell read the long way is read alone,
// and the run of cells, in which shapes are learnt, starts after it.
std::string after_learnt_shape(std::size_t length, std::size_t whole, bool negative, bool after_space, char byte) {
  const std::string sign = negative ? "-" : "";
  std::string text = after_space ? "0 " : "0\t";
  for (int copies = after_space ? 2 : 1; copies > 0; --copies) {
    text += sign + decimal_of_shape(length, whole) + (after_space ? ' ' : '\t');
  }
  return text + sign + decimal_of_shape(length, whole, "1357924680") + byte;
}

void PrintTo(const BytesAfterNumbers& group, std::ostream* out) { *out << group.name; }

class TextGridBytes : public testing::TestWithParam<BytesAfterNumbers> {};

// A byte that ends no cell's reading: each byte in one grid, after a number
// of every shape of 1 to 8 characters (every place of the point) in every
// variant, a 7 after it, 144 probes in a row of about 650 cells. A byte that
// ends the reading: one grid for each byte in each variant, a shape of every
// length in each variant (the place of the point in turn), 40 cells more
// after the byte: only a byte taken for a blank lets the row be whole.
TEST_P(TextGridBytes, RightAfterANumberOfALearntShape) {
  const BytesAfterNumbers& group = GetParam();
  const std::vector<std::string> arguments = {"in.asc", "out.dbl", "-f:d"};
  ScratchFolder folder;
  auto check_grid = [&](const std::string& cells, const std::string& what) {
    SCOPED_TRACE(what);
    const std::string header_of_one = text_header("1", "1", "0", "0", "1", "-9999");
    const std::size_t count =
        cellscale::reference::read_text_grid(header_of_one + cells, std::string::npos).cells.size();
    const std::size_t columns = group.end_the_cells ? count + 40 : count;
    const auto predicted =
        check_predicted_run(text_header(std::to_string(columns), "1", "0", "0", "1", "-9999") + cells, arguments,
                            "1\n", {}, folder);
    EXPECT_EQ(predicted.run.status, group.end_the_cells ? 5 : 0);
  };
  for (std::size_t i = 0; i < group.bytes.size(); ++i) {
    const char byte = group.bytes[i];
    char name[32];
    std::snprintf(name, sizeof name, "byte 0x%02x", static_cast<unsigned char>(byte));
    std::string probes;
    for (const bool negative : {false, true}) {
      for (const bool after_space : {false, true}) {
        if (!group.end_the_cells) {
          for (std::size_t length = 1; length <= 8; ++length) {
            for (std::size_t whole = 1; whole <= length; ++whole) {
              probes += after_learnt_shape(length, whole, negative, after_space, byte) + "7\n";
            }
          }
          continue;
        }
        // Each length in each variant over the bytes of the group, the point moving on.
        const std::size_t turn = i + (negative ? 1 : 0) + (after_space ? 2 : 0);
        const std::size_t length = turn % 8 + 1;
        const std::size_t whole = (turn / 8 + (after_space ? 1 : 0)) % length + 1;
        const std::string probe = after_learnt_shape(length, whole, negative, after_space, byte);
        std::string cells = probe + "7";
        for (int more = 1; more < 40; ++more) cells += " 7";
        check_grid(cells + "\n", std::string(name) + " after " + probe.substr(0, probe.size() - 1));
      }
    }
    if (!group.end_the_cells) check_grid(probes, name);
  }
}

std::string control_bytes() {
  std::string bytes;
  for (int byte = 0; byte < 0x20; ++byte) {
    if (byte < '\t' || byte > '\r') bytes += static_cast<char>(byte);
  }
  return bytes + '\x7f';
}

std::string group_name(const testing::TestParamInfo<BytesAfterNumbers>& group) { return group.param.name; }

INSTANTIATE_TEST_SUITE_P(ByGroup, TextGridBytes,
                         testing::Values(BytesAfterNumbers{"Blanks", " \t\n\v\f\r", false},
                                         BytesAfterNumbers{"SignsAndThePointBeforeADigit", "+-.", false},
                                         BytesAfterNumbers{"OtherControlBytes", control_bytes(), true},
                                         BytesAfterNumbers{"OtherPunctuation", "!\"#$%&'()*,/:;<=>?@[\\]^_`{|}~",
                                                           true}),
                         group_name);

// The example grid scaled as the model of the run predicts; with factor 1
// its values come back unchanged, and so do the bytes of a second pass
// (three-decimal elevations below 1000 fit in six digits).
TEST(TextGrid, ExampleGridScalesAndComesBackUnchangedWithFactorOne) {
  namespace reference = cellscale::reference;
  const std::string example = read_file(CELLSCALE_EXAMPLE_GRID);
  ASSERT_FALSE(example.empty());
  reference::Prediction predicted;
  for (const std::string factor : {"2.5", "1"}) {
    SCOPED_TRACE("factor " + factor);
    predicted = check_predicted_run(example, {"in.asc", "once.asc"}, factor + "\n");
    ASSERT_EQ(predicted.run.status, 0);
  }
  const std::string once = native_lines(*predicted.run.file);
  const reference::GridRead original = reference::read_text_grid(example, example.size());
  const reference::GridRead copied = reference::read_text_grid(once, once.size());
  EXPECT_EQ(copied.slot, original.slot);
  EXPECT_EQ(copied.cells, original.cells);
  const reference::Prediction twice = check_predicted_run(once, {"once.asc", "twice.asc", "-f:t"}, "1\n");
  ASSERT_EQ(twice.run.status, 0);
  EXPECT_EQ(native_lines(*twice.run.file), once);
}

}  // namespace
