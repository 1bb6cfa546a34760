#pragma once

// Grid files written and read by the tests themselves, independently of the
// tool's own code, so that a fault in the tool cannot hide in both.

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace cellscale::testing {

static_assert(std::endian::native == std::endian::little, "the tests compare little-endian bytes");

// The twelve header values followed by the cells, as "double" (8) or "single" (4) bytes.
inline std::string binary_grid(int width, const std::vector<double>& header, const std::vector<double>& cells) {
  std::string bytes;
  auto put = [&](double value) {
    if (width == 8) {
      bytes.append(reinterpret_cast<const char*>(&value), 8);
    } else {
      const float narrow = static_cast<float>(value);
      bytes.append(reinterpret_cast<const char*>(&narrow), 4);
    }
  };
  for (double value : header) put(value);
  for (double value : cells) put(value);
  return bytes;
}

// Every value in a "double" (8) or "single" (4) file, widened to double.
inline std::vector<double> binary_values(int width, const std::string& bytes) {
  std::vector<double> values;
  for (std::size_t at = 0; at + static_cast<std::size_t>(width) <= bytes.size(); at += static_cast<std::size_t>(width)) {
    if (width == 8) {
      double value;
      std::memcpy(&value, bytes.data() + at, 8);
      values.push_back(value);
    } else {
      float value;
      std::memcpy(&value, bytes.data() + at, 4);
      values.push_back(value);
    }
  }
  return values;
}

// The six header lines of a text grid with the given values, as the tool writes them.
inline std::string text_header(const std::string& ncols, const std::string& nrows, const std::string& xll,
                               const std::string& yll, const std::string& cellsize, const std::string& nodata) {
  return "ncols\t" + ncols + "\nnrows\t" + nrows + "\nxllcorner\t" + xll + "\nyllcorner\t" + yll +
         "\ncellsize\t" + cellsize + "\nnodata_value\t" + nodata + "\n";
}

// What a complete run prints for a grid of `rows` rows.
inline std::string run_output(int rows) { return "\nfactor : \n" + std::string(static_cast<std::size_t>(rows), '.') + "\n"; }

}  // namespace cellscale::testing
