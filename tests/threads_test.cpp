// The threads on their own: the ordered ring of jobs gives every job back
// once, in order, its work done once, with any number of workers; a gzip
// output's blocks compressed on the ring come out in order and report the
// first write that failed; and the batches of a grid go through the ring to
// the writer whole rows at a time, whatever the workers, the batch edges and
// where the input fails or pauses.

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/cell_batches.h"
#include "files/input_file.h"
#include "files/output_blocks.h"
#include "formats/ascii_grid.h"
#include "formats/binary_grid.h"
#include "support/grid_bytes.h"
#include "support/reference_grid.h"
#include "threads/compressing_writer.h"
#include "threads/ordered_jobs.h"

namespace {

using cellscale::testing::binary_grid;

constexpr int kWorkerCounts[] = {0, 1, 3, 8};

// The jobs go in as the owner of a run hands them on: filled while the ring
// has room, taken back in order when it is full or nothing is left to fill.
TEST(OrderedJobs, EveryJobOnceInOrderWhateverTheWorkers) {
  constexpr std::size_t kJobs = 2000;
  for (const int workers : kWorkerCounts) {
    for (const std::size_t slots : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{16}}) {
      SCOPED_TRACE(std::to_string(workers) + " workers, " + std::to_string(slots) + " slots");
      std::vector<std::size_t> input(slots);
      std::vector<std::size_t> output(slots);
      std::vector<std::atomic<int>> worked(kJobs);
      std::atomic<int> on_owner{0};
      const std::thread::id owner = std::this_thread::get_id();
      cellscale::OrderedJobs jobs(slots, workers, [&](std::size_t slot) {
        const std::size_t job = input[slot];
        ++worked[job];
        if (std::this_thread::get_id() == owner) ++on_owner;
        output[slot] = job * job + 7;
      });
      EXPECT_EQ(jobs.workers(), workers);
      std::size_t filled = 0;
      std::size_t taken = 0;
      while (taken < kJobs) {
        while (filled < kJobs && !jobs.full()) {
          input[jobs.acquire()] = filled++;
          jobs.submit();
        }
        const std::size_t slot = jobs.take_back();
        ASSERT_EQ(input[slot], taken);
        ASSERT_EQ(output[slot], taken * taken + 7);
        ++taken;
        jobs.release();
      }
      EXPECT_TRUE(jobs.empty());
      for (std::size_t job = 0; job < kJobs; ++job) ASSERT_EQ(worked[job].load(), 1) << job;
      if (workers == 0) {
        EXPECT_EQ(on_owner.load(), static_cast<int>(kJobs)) << "without workers, on the owner";
      }
    }
  }
}

// A ring left with jobs submitted and not taken back ends its workers when
// it goes, whatever they were doing.
TEST(OrderedJobs, EndsWithJobsLeftInFlight) {
  for (const int workers : kWorkerCounts) {
    std::atomic<int> worked{0};
    {
      cellscale::OrderedJobs jobs(8, workers, [&](std::size_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++worked;
      });
      for (int i = 0; i < 8; ++i) {
        (void)jobs.acquire();
        jobs.submit();
      }
      (void)jobs.take_back();
      jobs.release();
    }
    EXPECT_GE(worked.load(), 1) << workers;
  }
}

// The bytes a gzip file of any number of members decompresses to.
std::string gunzip(const std::string& gz) {
  std::string out;
  z_stream stream{};
  EXPECT_EQ(inflateInit2(&stream, 16 + MAX_WBITS), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  stream.avail_in = static_cast<uInt>(gz.size());
  char buffer[1 << 16];
  while (stream.avail_in > 0) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    const int result = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
    if (result == Z_STREAM_END) {
      EXPECT_EQ(inflateReset(&stream), Z_OK);
    } else if (result != Z_OK) {
      ADD_FAILURE() << "damaged gzip: " << result;
      break;
    }
  }
  inflateEnd(&stream);
  return out;
}

std::string whole_file(std::FILE* file) {
  std::rewind(file);
  std::string bytes;
  char buffer[1 << 16];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
  return bytes;
}

// Each block handed over: 1000 bytes of one letter to write, and 3 bytes
// to keep, which the writer finds at the start of the block it gets back.
// On a file the members decompress to the blocks in order; on a file that
// takes only so many bytes the first member that did not fit is reported,
// with the place it was handed over with, and no block is taken after.
TEST(CompressingWriter, WritesTheBlocksInOrderAndReportsTheFirstFailedWrite) {
  for (const int workers : {0, 1, 3}) {
    for (const std::size_t room : {std::size_t{0}, std::size_t{1} << 20, std::size_t{200}}) {
      SCOPED_TRACE(std::to_string(workers) + " workers, room " + std::to_string(room));
      std::vector<char> memory(room + 1);
      std::FILE* file = room == (std::size_t{1} << 20) ? std::tmpfile() : fmemopen(memory.data(), room + 1, "wb");
      ASSERT_NE(file, nullptr);
      std::setvbuf(file, nullptr, _IONBF, 0);
      auto writer = cellscale::CompressingWriter::start(file, workers, false);
      ASSERT_NE(writer, nullptr);
      std::string expected;
      std::unique_ptr<char[]> block = cellscale::new_output_block();
      bool taken = true;
      std::int64_t handed = 0;
      for (std::int64_t i = 0; i < 40 && taken; ++i) {
        std::string bytes(1000, static_cast<char>('a' + i % 26));
        bytes += "xyz";
        std::copy(bytes.begin(), bytes.end(), block.get());
        taken = writer->hand_over(block, 1000, bytes.size(), {i + 1, static_cast<std::int32_t>(i)});
        if (taken) {
          ++handed;
          expected += bytes.substr(0, 1000);
          EXPECT_EQ(std::string(block.get(), 3), "xyz");
        }
      }
      const std::optional<cellscale::WritePlace> failed = writer->wait_until_written();
      if (room == (std::size_t{1} << 20)) {
        EXPECT_FALSE(failed.has_value());
        EXPECT_EQ(handed, 40);
        EXPECT_EQ(gunzip(whole_file(file)), expected);
      } else {
        ASSERT_TRUE(failed.has_value());
        // A member of 1000 letters takes a few dozen bytes: 200 hold a few.
        EXPECT_EQ(failed->row, room == 0 ? 1 : failed->column + 1);
        EXPECT_LT(handed, 40) << "blocks are refused once a write is known to have failed";
      }
      std::fclose(file);
    }
  }
}

// A writer that keeps what it is given: the cells' values for a binary
// output, their text with each row's ending for a text output. A write that
// would take the cells past `fail_after` (a row's end) takes those before
// it and fails, reporting the row after them.
class KeepingWriter final : public cellscale::GridWriter {
 public:
  KeepingWriter(std::int32_t columns, std::uint64_t fail_after) : columns_(columns), fail_after_(fail_after) {}

  bool write_header(const cellscale::GridHeader&) override { return true; }
  bool prepare_rows(const cellscale::GridHeader&, std::int32_t) override { return true; }
  bool write_cells(const cellscale::CellsToWrite& cells, cellscale::WritePlace& failed) override {
    const std::lock_guard lock(mutex_);
    // Past `fail_after` (a row's end) nothing is taken.
    const bool fails = taken_ + cells.count > fail_after_;
    const std::size_t count = fails ? static_cast<std::size_t>(fail_after_ - taken_) : cells.count;
    const auto columns = static_cast<std::size_t>(columns_);
    const std::size_t rows_ending = (row_cells_ + count) / columns;
    taken_ += count;
    if (cells.scaled != nullptr) values.insert(values.end(), cells.scaled, cells.scaled + count);
    if (cells.text != nullptr) {
      std::string part(cells.text,
                       fails ? (rows_ending == 0 ? 0 : cells.row_ends[rows_ending - 1]) : cells.text_size);
      for (std::size_t row = 0; row < rows_ending; ++row) part[cells.row_ends[row] - 1] = '\n';
      text += part;
    }
    row_cells_ = (row_cells_ + count) % columns;
    if (fails) failed = {static_cast<std::int64_t>(taken_ / columns) + 1, 0};
    return !fails;
  }
  bool flush() override { return true; }
  cellscale::OutputBlocks& output_blocks() override { return blocks_; }
  void reserve_room(std::uint64_t) override {}
  bool finish(const cellscale::GridHeader&) override { return true; }

  std::uint64_t taken() {
    const std::lock_guard lock(mutex_);
    return taken_;
  }

  std::vector<double> values;
  std::string text;

 private:
  std::int32_t columns_;
  std::uint64_t fail_after_;
  std::uint64_t taken_ = 0;
  std::size_t row_cells_ = 0;
  std::mutex mutex_;
  cellscale::OutputBlocks blocks_{cellscale::FilePtr(std::tmpfile())};
};

// The grid's cells, values 1.25, 2.25, ..., every seventh nodata.
std::vector<double> grid_cells(std::size_t count) {
  std::vector<double> cells;
  for (std::size_t i = 0; i < count; ++i) cells.push_back(i % 7 == 3 ? -9999.0 : 1.25 + static_cast<double>(i));
  return cells;
}

// The text grid of the cells; the one at `bad`, if any, written as "x".
std::string text_grid(std::int32_t columns, std::int64_t rows, const std::vector<double>& cells,
                      std::size_t bad = ~std::size_t{0}) {
  std::string text = "ncols " + std::to_string(columns) + "\nnrows " + std::to_string(rows) +
                     "\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9999\n";
  char number[32];
  for (std::size_t i = 0; i < cells.size(); ++i) {
    std::snprintf(number, sizeof number, "%.2f", cells[i]);
    text += i == bad ? "x" : number;
    text += (i + 1) % static_cast<std::size_t>(columns) == 0 ? '\n' : ' ';
  }
  return text;
}

std::unique_ptr<cellscale::GridReader> reader_of(const std::string& bytes, cellscale::FormatName format) {
  std::FILE* file = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  auto reader = cellscale::make_grid_reader(format, cellscale::InputFile(cellscale::FilePtr(file)));
  cellscale::GridHeader header;
  EXPECT_TRUE(reader->read_header(header));
  return reader;
}

struct Scaled {
  std::optional<cellscale::RowFailure> failure;
  std::vector<double> values;
  std::string text;
  std::vector<std::int64_t> rows_shown;
};

Scaled scale(cellscale::GridReader& reader, std::int32_t columns, std::int64_t rows, bool text_output, int workers,
             std::uint64_t fail_after = ~std::uint64_t{0}) {
  const std::uint64_t cells = static_cast<std::uint64_t>(columns) * static_cast<std::uint64_t>(rows);
  KeepingWriter writer(columns, fail_after);
  cellscale::BatchWriter batch_writer(writer, nullptr, columns, cells, text_output);
  const cellscale::GridToScale grid{.columns = columns,
                                    .rows = rows,
                                    .work = {.nodata = -9999,
                                             .factor = 2,
                                             .columns = static_cast<std::size_t>(columns),
                                             .format_text = text_output},
                                    .workers = workers};
  Scaled scaled;
  std::uint64_t used = 0;
  scaled.failure = cellscale::scale_grid(
      reader, batch_writer, grid, [&](std::int64_t shown) { scaled.rows_shown.push_back(shown); }, used);
  scaled.values = writer.values;
  scaled.text = writer.text;
  return scaled;
}

// What the writer must have been given of the first `rows` rows: the
// values doubled, nodata kept, and their text each followed by a tab or, at
// a row's end, a line end.
void expect_rows(const Scaled& scaled, const std::vector<double>& cells, std::int32_t columns, std::int64_t rows,
                 bool text_output) {
  const auto count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
  std::string text;
  std::vector<double> values;
  for (std::size_t i = 0; i < count; ++i) {
    const double value = cells[i] == -9999 ? -9999 : cells[i] * 2;
    values.push_back(value);
    text += cellscale::reference::cell_text(value);
    text += (i + 1) % static_cast<std::size_t>(columns) == 0 ? '\n' : '\t';
  }
  if (text_output) {
    EXPECT_EQ(scaled.text, text);
  } else {
    EXPECT_EQ(scaled.values, values);
  }
  if (!scaled.rows_shown.empty()) {
    EXPECT_LE(scaled.rows_shown.back(), rows) << "no row shown before it is written";
  }
  for (std::size_t i = 1; i < scaled.rows_shown.size(); ++i) {
    EXPECT_LE(scaled.rows_shown[i - 1], scaled.rows_shown[i]) << "rows shown never go back";
  }
}

// Grids of several batches (a text batch holds about 128 KiB of text, a
// binary one 16,384 cells), rows narrower and wider than a batch, through
// 0, 1, 3 and 8 workers: every cell once, in order, whole rows.
TEST(ScaleGrid, EveryCellOnceInOrderWhateverTheWorkers) {
  struct Shape {
    std::int32_t columns;
    std::int64_t rows;
  };
  for (const Shape shape : {Shape{1000, 130}, Shape{7, 9000}, Shape{40000, 3}}) {
    const auto count = static_cast<std::size_t>(shape.columns) * static_cast<std::size_t>(shape.rows);
    const std::vector<double> cells = grid_cells(count);
    const std::string inputs[] = {
        text_grid(shape.columns, shape.rows, cells),
        binary_grid(8, {double(shape.columns), double(shape.rows), 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0}, cells),
        binary_grid(4, {double(shape.columns), double(shape.rows), 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0}, cells)};
    const cellscale::FormatName formats[] = {cellscale::FormatName::ascii_text, cellscale::FormatName::double_binary,
                                             cellscale::FormatName::single_binary};
    for (std::size_t input = 0; input < 3; ++input) {
      for (const bool text_output : {false, true}) {
        for (const int workers : kWorkerCounts) {
          SCOPED_TRACE(std::to_string(shape.columns) + " columns, input " + std::to_string(input) +
                       (text_output ? ", text out, " : ", binary out, ") + std::to_string(workers) + " workers");
          const auto reader = reader_of(inputs[input], formats[input]);
          const Scaled scaled = scale(*reader, shape.columns, shape.rows, text_output, workers);
          EXPECT_FALSE(scaled.failure.has_value());
          expect_rows(scaled, cells, shape.columns, shape.rows, text_output);
          ASSERT_FALSE(scaled.rows_shown.empty());
          EXPECT_EQ(scaled.rows_shown.back(), shape.rows);
        }
      }
    }
  }
}

// A failure at each stage stops the cells at the row it meets, with the
// rows before it written and none of its own: an input cut inside a row
// (reading), text that begins no number (scanning), a write that fails
// (writing).
TEST(ScaleGrid, StopsAtTheRowAFailureMeets) {
  constexpr std::int32_t kColumns = 1000;
  constexpr std::int64_t kRows = 130;
  const std::vector<double> cells = grid_cells(kColumns * kRows);
  const std::string text = text_grid(kColumns, kRows, cells);
  const std::string cut_text =
      text_grid(kColumns, kRows, std::vector<double>(cells.begin(), cells.begin() + 61 * kColumns + 3));
  const std::string broken_text = text_grid(kColumns, kRows, cells, 83 * kColumns + 6);
  const std::string cut_binary = binary_grid(8, {double(kColumns), double(kRows), 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0},
                                             std::vector<double>(cells.begin(), cells.begin() + 77 * kColumns + 123));
  struct Case {
    const char* name;
    const std::string& input;
    cellscale::FormatName format;
    std::uint64_t fail_after;
    cellscale::RowFailure expected;
  };
  const Case cases[] = {
      {"text cut inside a row", cut_text, cellscale::FormatName::ascii_text, ~0ull, {true, 62, 3, 0}},
      {"text that begins no number", broken_text, cellscale::FormatName::ascii_text, ~0ull, {true, 84, 6, 0}},
      {"binary cut inside a row", cut_binary, cellscale::FormatName::double_binary, ~0ull, {true, 78, 123, 0}},
      {"a write that fails", text, cellscale::FormatName::ascii_text, 64 * kColumns, {false, 65, 0, 0}},
  };
  for (const Case& c : cases) {
    for (const bool text_output : {false, true}) {
      for (const int workers : kWorkerCounts) {
        SCOPED_TRACE(std::string(c.name) + (text_output ? ", text out, " : ", binary out, ") +
                     std::to_string(workers) + " workers");
        const auto reader = reader_of(c.input, c.format);
        const Scaled scaled = scale(*reader, kColumns, kRows, text_output, workers, c.fail_after);
        ASSERT_TRUE(scaled.failure.has_value());
        EXPECT_EQ(scaled.failure->reading, c.expected.reading);
        EXPECT_EQ(scaled.failure->row, c.expected.row);
        EXPECT_EQ(scaled.failure->values_read, c.expected.values_read);
        expect_rows(scaled, cells, kColumns, c.expected.row - 1, text_output);
      }
    }
  }
}

// The rows that came through a pipe are written while it stays open and
// quiet: the reader does not wait for more with batches read and not
// written.
TEST(ScaleGrid, WritesWhatArrivedWhileTheInputIsQuiet) {
  constexpr std::int32_t kColumns = 100;
  constexpr std::int64_t kRows = 3000;
  const std::vector<double> cells = grid_cells(kColumns * kRows);
  const std::string text = text_grid(kColumns, kRows, cells);
  const std::size_t first_part = text.find('\n', text.size() / 2) + 1;
  const std::int64_t rows_delivered =
      std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(first_part), '\n') - 6;
  for (const int workers : kWorkerCounts) {
    SCOPED_TRACE(std::to_string(workers) + " workers");
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::thread feeder([&] {
      const std::string header_and_half = text.substr(0, first_part);
      EXPECT_EQ(write(ends[1], header_and_half.data(), header_and_half.size()),
                static_cast<ssize_t>(header_and_half.size()));
    });
    auto reader = cellscale::make_grid_reader(cellscale::FormatName::ascii_text,
                                              cellscale::InputFile(cellscale::FilePtr(fdopen(ends[0], "rb"))));
    cellscale::GridHeader header;
    ASSERT_TRUE(reader->read_header(header));
    KeepingWriter writer(kColumns, ~0ull);
    cellscale::BatchWriter batch_writer(writer, nullptr, kColumns, kColumns * kRows, false);
    const cellscale::GridToScale grid{.columns = kColumns,
                                      .rows = kRows,
                                      .work = {.nodata = -9999, .factor = 2, .columns = kColumns},
                                      .workers = workers};
    std::optional<cellscale::RowFailure> failure;
    std::thread run([&] {
      std::uint64_t used = 0;
      failure = cellscale::scale_grid(
          *reader, batch_writer, grid, [](std::int64_t) {}, used);
    });
    // The rows delivered are written within 30 s; the rest is sent only then.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (writer.taken() < static_cast<std::uint64_t>(rows_delivered * kColumns) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(writer.taken(), static_cast<std::uint64_t>(rows_delivered * kColumns));
    feeder.join();
    const std::string rest = text.substr(first_part);
    EXPECT_EQ(write(ends[1], rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    close(ends[1]);
    run.join();
    EXPECT_FALSE(failure.has_value());
    EXPECT_EQ(writer.taken(), static_cast<std::uint64_t>(kColumns * kRows));
  }
}

}  // namespace
