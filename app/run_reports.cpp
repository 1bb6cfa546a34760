#include "app/run_reports.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <system_error>

#include "numbers/cell_format.h"

namespace cellscale {

namespace {

// Contract (README, Command line): the nodata value that binary inputs are
// recognised by (formats/recognition.cpp).
constexpr double kRecognisedNodata = -9999.0;

// The shortest text that reads back as `value`.
std::string shortest_text(double value) {
  char text[32];
  const std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
  return std::string(text, written.ptr);
}

std::string json_number(double value) { return std::isfinite(value) ? shortest_text(value) : "null"; }

// A name as a JSON string: the quote, the backslash and the control
// characters escaped; other bytes as they are (a name in UTF-8 stays so).
std::string json_string(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      constexpr char kHex[] = "0123456789abcdef";
      quoted += "\\u00";
      quoted += kHex[static_cast<unsigned char>(c) >> 4];
      quoted += kHex[static_cast<unsigned char>(c) & 15];
    } else {
      quoted += c;
    }
  }
  return quoted + '"';
}

// Whether `text` reads back as `value`: the same number with the same sign,
// or a NaN for a NaN.
bool reads_back_as(const std::string& text, double value) {
  double back = 0;
  const std::from_chars_result read = std::from_chars(text.data(), text.data() + text.size(), back);
  if (read.ec != std::errc() || read.ptr != text.data() + text.size()) return false;
  if (std::isnan(value)) return std::isnan(back);
  return back == value && std::signbit(back) == std::signbit(value);
}

}  // namespace

std::string statistics_json(const CellStats::Summary& statistics, std::string_view grid) {
  // The count of a run never reaches 2^53: it is a whole number held exactly.
  const auto count = static_cast<std::int64_t>(statistics.count);
  const std::string named = grid.empty() ? "{" : "{\"grid\":" + json_string(grid) + ",";
  return named + "\"count\":" + std::to_string(count) + ",\"minimum\":" + json_number(statistics.minimum) +
         ",\"maximum\":" + json_number(statistics.maximum) + ",\"sum\":" + json_number(statistics.sum) +
         ",\"mean\":" + json_number(statistics.mean) +
         ",\"standard_deviation\":" + json_number(statistics.standard_deviation) + "}\n";
}

std::string text_header_warnings(const GridHeader& header) {
  const struct {
    const char* keyword;
    HeaderSlot slot;
  } values[] = {{"xllcorner", kXllcorner}, {"yllcorner", kYllcorner}, {"cellsize", kCellsize}};
  std::string warnings;
  for (const auto& [keyword, slot] : values) {
    const double value = header.slot[static_cast<std::size_t>(slot)];
    char text[kMaxCellTextLength];
    const std::string written(text, format_cell(text, value));
    if (reads_back_as(written, value)) continue;
    warnings += "warning: " + std::string(keyword) + " " + shortest_text(value) + " is written as " + written +
                "; cellscale --factor F --digits shortest keeps it\n";
  }
  return warnings;
}

std::string binary_nodata_warning(const GridHeader& header, FormatName format, const std::string& output_name) {
  const double nodata = header.nodata_value();
  // A single output holds the value narrowed to binary32, as it is read back.
  const double kept = format == FormatName::single_binary ? static_cast<double>(static_cast<float>(nodata)) : nodata;
  if (format == FormatName::ascii_text || kept == kRecognisedNodata) return "";
  return "warning: " + output_name + " has nodata_value " + shortest_text(nodata) +
         ", not -9999: cellscale will not recognise it as a grid when it is given as an input\n";
}

}  // namespace cellscale
