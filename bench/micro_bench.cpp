// Micro-benchmarks of the two inner loops of a text grid job, each beside the
// standard ways of doing the same:
//   writing one row of 5000 cells: cellscale::format_cell, std::to_chars
//     (general, 6 digits) and snprintf("%.6g"), and the row loop the tool
//     uses, format_cells_with_tabs, beside its portable form;
//   reading one row of 5000 cells: cellscale::scan_number, std::from_chars
//     (after skipping the blanks by hand) and strtod; and the run of short
//     plain decimals that the grid reader takes, each way the processor can.
// Items are cells, bytes are characters of row text.

#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "numbers/cell_format.h"
#include "numbers/cell_format_detail.h"
#include "numbers/number_text.h"

namespace {

constexpr int kCells = 5000;
constexpr double kNodata = -9999.0;

// Elevation-like cells: 0..4000 with three decimals, about 5% nodata. When
// `scaled`, the non-nodata cells are multiplied by 1.5 as the tool would
// before writing them, so they carry more digits than the six that are kept.
std::vector<double> row_values(bool scaled) {
  std::uint64_t state = 12345;
  auto next = [&state] {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  };
  std::vector<double> values;
  values.reserve(kCells);
  for (int c = 0; c < kCells; ++c) {
    if (next() % 100 < 5) {
      values.push_back(kNodata);
      continue;
    }
    const double value = static_cast<double>(next() % 4000001) / 1000.0;
    values.push_back(scaled ? value * 1.5 : value);
  }
  return values;
}

// The text of one input row: values with up to three decimals and no
// trailing zeros, separated by tabs, ending in a newline.
std::string row_text() {
  std::string text;
  for (double value : row_values(false)) {
    char cell[32];
    int length = std::snprintf(cell, sizeof cell, "%.3f", value);
    while (length > 0 && cell[length - 1] == '0') --length;
    if (length > 0 && cell[length - 1] == '.') --length;
    text.append(cell, static_cast<std::size_t>(length));
    text.push_back('\t');
  }
  text.back() = '\n';
  return text;
}

// Runs `write_row(out, values, count) -> end`, which writes each cell and a
// tab, over the row at once.
template <typename WriteRow>
void format_row_at_once(benchmark::State& state, WriteRow write_row) {
  const std::vector<double> values = row_values(true);
  std::vector<char> buffer(static_cast<std::size_t>(kCells) * (cellscale::kMaxCellTextLength + 1));
  std::size_t bytes = 0;
  for (auto _ : state) {
    char* out = write_row(buffer.data(), values.data(), values.size());
    out[-1] = '\n';
    bytes += static_cast<std::size_t>(out - buffer.data());
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kCells);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// Runs `write_cell(out, value) -> end` over a row, with tabs and a newline
// between the cells as a text grid has them.
template <typename WriteCell>
void format_row(benchmark::State& state, WriteCell write_cell) {
  format_row_at_once(state, [&write_cell](char* out, const double* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      out = write_cell(out, values[i]);
      *out++ = '\t';
    }
    return out;
  });
}

void BM_FormatRow_format_cell(benchmark::State& state) {
  format_row(state, [](char* out, double value) { return cellscale::format_cell(out, value); });
}

void BM_FormatRow_to_chars(benchmark::State& state) {
  format_row(state, [](char* out, double value) {
    return std::to_chars(out, out + cellscale::kMaxCellTextLength, value, std::chars_format::general, 6).ptr;
  });
}

void BM_FormatRow_snprintf(benchmark::State& state) {
  format_row(state, [](char* out, double value) {
    return out + std::snprintf(out, cellscale::kMaxCellTextLength, "%.6g", value);
  });
}

void BM_FormatRow_format_cells_with_tabs(benchmark::State& state) {
  format_row_at_once(state, [](char* out, const double* values, std::size_t count) {
    return cellscale::format_cells_with_tabs(out, values, count);
  });
}

void BM_FormatRow_format_cells_portable(benchmark::State& state) {
  format_row_at_once(state, [](char* out, const double* values, std::size_t count) {
    return cellscale::detail::format_cells_using(cellscale::InstructionSet::portable, out, values, count, nullptr,
                                                 nullptr, nullptr);
  });
}

// Runs `read_cell(first, last, value) -> next or nullptr` over the row text
// until it stops, and checks that every cell was read and the sum is right.
template <typename ReadCell>
void scan_row(benchmark::State& state, ReadCell read_cell) {
  const std::string text = row_text();
  double expected_sum = 0;
  for (double value : row_values(false)) expected_sum += value;
  const char* last = text.data() + text.size();
  for (auto _ : state) {
    const char* p = text.data();
    int count = 0;
    double sum = 0;
    double value = 0;
    while (count < kCells && (p = read_cell(p, last, value)) != nullptr) {
      sum += value;
      ++count;
    }
    if (count != kCells || sum != expected_sum) {
      state.SkipWithError("the row was not read back as written");
      break;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kCells);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void BM_ScanRow_scan_number(benchmark::State& state) {
  scan_row(state, [](const char* first, const char* last, double& value) -> const char* {
    const cellscale::ScanResult result = cellscale::scan_number(first, last, true, value);
    return result.status == cellscale::ScanStatus::ok ? result.next : nullptr;
  });
}

void BM_ScanRow_from_chars(benchmark::State& state) {
  scan_row(state, [](const char* first, const char* last, double& value) -> const char* {
    while (first != last && cellscale::is_scan_space(*first)) ++first;
    const std::from_chars_result result = std::from_chars(first, last, value);
    return result.ec == std::errc() ? result.ptr : nullptr;
  });
}

void BM_ScanRow_strtod(benchmark::State& state) {
  // The row text is a std::string, so strtod finds a terminator after it.
  scan_row(state, [](const char* first, const char*, double& value) -> const char* {
    char* end = nullptr;
    value = std::strtod(first, &end);
    return end == first ? nullptr : end;
  });
}

// The loop that reads a text grid's rows, run over the whole row at once,
// each way this processor can take: 0 portable, 1 SSE2, 2 SSSE3.
void BM_ScanRow_short_plain_decimals(benchmark::State& state) {
  const auto set = static_cast<cellscale::InstructionSet>(state.range(0));
  if (!cellscale::processor_runs(set)) {
    state.SkipWithError("this processor cannot read runs that way");
    return;
  }
  // The grid reader's text ends in a NUL and has room to read ahead.
  std::string text = row_text();
  text.append(1 + cellscale::kPlainDecimalReach, '\0');
  double expected_sum = 0;
  for (double value : row_values(false)) expected_sum += value;
  std::vector<double> values(kCells);
  for (auto _ : state) {
    const cellscale::PlainDecimalRun run =
        cellscale::detail::scan_short_plain_decimals_using(set, text.data(), text.data() + text.size(), values.data(),
                                                           values.size());
    benchmark::DoNotOptimize(values.data());
    benchmark::ClobberMemory();
    double sum = 0;
    for (double value : values) sum += value;
    if (run.count != values.size() || sum != expected_sum) {
      state.SkipWithError("the row was not read back as written");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kCells);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

}  // namespace

BENCHMARK(BM_FormatRow_format_cell);
BENCHMARK(BM_FormatRow_format_cells_with_tabs);
BENCHMARK(BM_FormatRow_format_cells_portable);
BENCHMARK(BM_FormatRow_to_chars);
BENCHMARK(BM_FormatRow_snprintf);
BENCHMARK(BM_ScanRow_scan_number);
BENCHMARK(BM_ScanRow_from_chars);
BENCHMARK(BM_ScanRow_strtod);
BENCHMARK(BM_ScanRow_short_plain_decimals)->Arg(0)->Arg(1)->Arg(2);

BENCHMARK_MAIN();
