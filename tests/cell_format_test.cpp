#include "grid/cell_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

std::string cell_text(double value) {
  char buffer[cellscale::kMaxCellTextLength];
  return std::string(buffer, cellscale::format_cell(buffer, value));
}

TEST(CellFormat, WritesSixSignificantDigitsWithThreeDigitExponent) {
  struct Case { double value; const char* text; };
  const Case cases[] = {
      {1234567, "1.23457e+006"}, {0.00001, "1e-005"}, {-9999, "-9999"}, {4000000, "4e+006"},
      {0.1, "0.1"}, {100.25, "100.25"}, {-0.0, "-0"}, {0, "0"}, {1e100, "1e+100"},
      {123456, "123456"}, {999999.5, "1e+006"}, {1.5e-300, "1.5e-300"},
      {std::numeric_limits<double>::infinity(), "inf"}, {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "nan"}, {-std::nan(""), "-nan"},
  };
  for (const Case& c : cases) EXPECT_EQ(cell_text(c.value), c.text) << c.value;
}

}  // namespace
