// The threads of a large grid on their own: the cell pipeline gives every
// cell once, in order, whatever the batch edges, threads kept apart move off
// a processor they share, the statistics thread takes every value once, in
// order, the second reading reads every cell once, in order, beside the
// reader, and the writing thread writes every block in order and reports
// the first write that failed.

#include <gtest/gtest.h>

#include <unistd.h>

#ifdef __linux__
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "grid/binary_grid.h"
#include "grid/grid_header.h"
#include "grid/input_file.h"
#include "stats/cell_stats.h"
#include "support/grid_bytes.h"
#include "threads/cell_pipeline.h"
#include "threads/second_reading.h"
#include "threads/statistics_beside.h"
#include "threads/thread_placement.h"
#include "threads/write_behind.h"

namespace {

using cellscale::testing::binary_grid;

// A reader, past the header, of `file` once filled with a grid of `rows` x
// `columns` cells of `width` bytes holding `values`: fewer values than cells
// cut the file short.
std::unique_ptr<cellscale::GridReader> grid_in_file(std::FILE* file, int width, std::int32_t columns,
                                                    std::int64_t rows, const std::vector<double>& values) {
  const std::string bytes =
      binary_grid(width, {double(columns), double(rows), 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0}, values);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  auto reader = cellscale::make_grid_reader(width == 8 ? cellscale::FormatName::double_binary
                                                       : cellscale::FormatName::single_binary,
                                            cellscale::InputFile(cellscale::FilePtr(file)));
  cellscale::GridHeader header;
  EXPECT_TRUE(reader->read_header(header) && reader->prepare_rows(columns));
  return reader;
}

// A reader of a double grid of `rows` x `columns` cells 1, 2, 3, ... of
// which only the first `cells` are in the file.
std::unique_ptr<cellscale::GridReader> counting_grid(std::FILE* file, std::int32_t columns, std::int64_t rows,
                                                     std::size_t cells) {
  std::vector<double> values(cells);
  for (std::size_t i = 0; i < cells; ++i) values[i] = static_cast<double>(i + 1);
  return grid_in_file(file, 8, columns, rows, values);
}

TEST(CellPipeline, EveryCellOnceInOrderWhateverTheBatchEdges) {
  constexpr auto kBatch = static_cast<std::int32_t>(cellscale::kBatchCells);
  const struct {
    std::int32_t columns;
    std::int64_t rows;
    std::size_t cells_in_file;  // fewer than rows x columns: the input is cut
    std::int64_t values_read;   // then: the cells of the cut row
  } cases[] = {
      {1, 5, 5, 0},
      {kBatch - 1, 3, std::size_t(kBatch - 1) * 3, 0},
      {kBatch, 3, std::size_t(kBatch) * 3, 0},
      {kBatch + 1, 3, std::size_t(kBatch + 1) * 3, 0},
      {3, 2 * kBatch + 5, std::size_t(3) * (2 * kBatch + 5), 0},
      {kBatch + 1, 3, std::size_t(kBatch + 1) * 2 + 7, 7},
      {5, 4, 0, 0},
  };
  for (const auto& grid : cases) {
    SCOPED_TRACE(std::to_string(grid.columns) + " columns, " + std::to_string(grid.cells_in_file) + " cells");
    auto reader = counting_grid(std::tmpfile(), grid.columns, grid.rows, grid.cells_in_file);
    cellscale::CellPipeline pipeline;
    ASSERT_TRUE(pipeline.start(*reader, nullptr, grid.columns, grid.rows, nullptr, 1, true));
    std::vector<double> taken;
    while (true) {
      const cellscale::CellBatch& batch = pipeline.take();
      taken.insert(taken.end(), batch.doubles, batch.doubles + batch.count);
      const bool last = batch.last;
      const std::int64_t values_read = batch.values_read;
      pipeline.give_back();
      if (last) {
        EXPECT_EQ(values_read, grid.values_read);
        break;
      }
    }
    const std::size_t whole_rows = grid.cells_in_file / static_cast<std::size_t>(grid.columns);
    ASSERT_EQ(taken.size(), whole_rows * static_cast<std::size_t>(grid.columns));
    for (std::size_t i = 0; i < taken.size(); ++i) ASSERT_EQ(taken[i], static_cast<double>(i + 1));
  }
}

// A pipeline left after its first batch, with most of the grid unread,
// ends its threads when it goes.
TEST(CellPipeline, EndsWhenLeftEarly) {
  auto reader = counting_grid(std::tmpfile(), 100, 10000, 100 * 10000);
  cellscale::CellPipeline pipeline;
  ASSERT_TRUE(pipeline.start(*reader, nullptr, 100, 10000, nullptr, 2, true));
  EXPECT_EQ(pipeline.take().doubles[0], 1.0);
}

// The cells that came through a pipe are given while the pipe stays open.
TEST(CellPipeline, GivesWhatArrivedWhileTheInputIsQuiet) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string bytes = binary_grid(8, {4, 1000, 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0}, {1, 2, 3, 4, 5, 6, 7, 8});
  ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  auto reader = cellscale::make_grid_reader(cellscale::FormatName::double_binary,
                                            cellscale::InputFile(cellscale::FilePtr(fdopen(ends[0], "rb"))));
  cellscale::GridHeader header;
  ASSERT_TRUE(reader->read_header(header) && reader->prepare_rows(4));
  // Should the pipeline wait for more, more comes after 30 s, and the test
  // fails on it instead of hanging.
  std::atomic<bool> given{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 300 && !given; ++i) usleep(100000);
    if (!given) {
      EXPECT_EQ(write(ends[1], bytes.data() + 96, 64), 64);
    }
    close(ends[1]);
  });
  cellscale::CellPipeline pipeline;
  ASSERT_TRUE(pipeline.start(*reader, nullptr, 4, 1000, nullptr, 1, false));
  std::vector<double> taken;
  while (taken.size() < 8) {
    const cellscale::CellBatch& batch = pipeline.take();
    taken.insert(taken.end(), batch.doubles, batch.doubles + batch.count);
    const bool last = batch.last;
    pipeline.give_back();
    if (last) break;
  }
  given = true;
  watchdog.join();  // closes the pipe: the reading thread ends, and the pipeline with it
  EXPECT_EQ(taken, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
}

// A pipeline left while its input pipe stays open and quiet ends at once:
// the read its reading thread waits in is interrupted.
TEST(CellPipeline, EndsAtOnceWhenLeftWhileTheInputIsQuiet) {
  const std::string header = "ncols 4\nnrows 1000\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9999\n";
  for (const bool text : {true, false}) {
    SCOPED_TRACE(text ? "text" : "double");
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::string bytes = text ? header + "1 2 3 4\n5 6 7 8\n"
                                   : binary_grid(8, {4, 1000, 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0}, {1, 2, 3, 4});
    ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    auto reader =
        cellscale::make_grid_reader(text ? cellscale::FormatName::ascii_text : cellscale::FormatName::double_binary,
                                    cellscale::InputFile(cellscale::FilePtr(fdopen(ends[0], "rb"))));
    cellscale::GridHeader grid_header;
    ASSERT_TRUE(reader->read_header(grid_header) && reader->prepare_rows(4));
    std::atomic<bool> left{false};
    std::atomic<bool> closed_first{false};
    std::thread watchdog([&] {
      for (int i = 0; i < 300 && !left; ++i) usleep(100000);
      closed_first = !left;
      close(ends[1]);
    });
    {
      cellscale::CellPipeline pipeline;
      ASSERT_TRUE(pipeline.start(*reader, cellscale::text_pieces_of(*reader), 4, 1000, nullptr, 1, false));
      const cellscale::CellBatch& batch = pipeline.take();  // text unscanned: there is no work
      EXPECT_TRUE(text ? batch.count == 0 : batch.doubles[0] == 1.0);
      pipeline.give_back();
    }
    left = true;
    watchdog.join();
    EXPECT_FALSE(closed_first) << "the pipeline waited for its input";
  }
}

#ifdef __linux__
// A thread that runs where another of its group was last seen moves to a
// processor where none was, and may run on every processor it could before.
TEST(ThreadSpread, MovesOffAProcessorAnotherThreadShows) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "one processor";
  int first = 0;
  while (!CPU_ISSET(first, &allowed)) ++first;
  cpu_set_t only_first;
  CPU_ZERO(&only_first);
  CPU_SET(first, &only_first);
  cellscale::ThreadSpread spread(2);
  std::thread([&] {
    ASSERT_EQ(sched_setaffinity(0, sizeof only_first, &only_first), 0);
    spread.keep_apart(0);
  }).join();
  std::thread([&] {
    ASSERT_EQ(sched_setaffinity(0, sizeof only_first, &only_first), 0);
    ASSERT_EQ(sched_getcpu(), first);
    ASSERT_EQ(sched_setaffinity(0, sizeof allowed, &allowed), 0);
    spread.keep_apart(1);
    EXPECT_NE(sched_getcpu(), first);
    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&after, &allowed));
  }).join();
}
#endif

// The values, some of them nodata, sum to a different double in another
// order: a chunk lost, taken twice or out of order changes the sum or the
// count, whatever sizes the values are handed over in.
TEST(StatisticsBeside, TakesEveryValueOnceInOrder) {
  constexpr double kNodata = -1e300;
  std::vector<double> values(300001);
  std::int64_t counted = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    // Tenths, which no double holds, and larger values that round them off.
    values[i] = i % 11 == 10 ? kNodata : 0.1 * static_cast<double>(1 + i % 7) + (i % 3 == 0 ? 1e6 : 0.0);
    counted += i % 11 == 10 ? 0 : 1;
  }
  auto statistics_of = [&](auto first, auto last) {
    cellscale::CellStats stats;
    stats.reset(kNodata);
    for (auto value = first; value != last; ++value) stats.add(*value);
    return stats.finish();
  };
  const cellscale::CellStats::Summary here = statistics_of(values.begin(), values.end());
  ASSERT_EQ(here.count, static_cast<double>(counted));
  ASSERT_NE(here.sum, statistics_of(values.rbegin(), values.rend()).sum) << "the sum does not show the order";
  for (const std::size_t size : {std::size_t{1}, std::size_t{7}, std::size_t{512}, std::size_t{16384},
                                 std::size_t{16385}, std::size_t{100000}, values.size()}) {
    SCOPED_TRACE("handed over " + std::to_string(size) + " at a time");
    cellscale::CellStats stats;
    stats.reset(kNodata);
    auto beside = cellscale::StatisticsBeside::start(stats);
    ASSERT_NE(beside, nullptr);
    for (std::size_t at = 0; at < values.size(); at += size) {
      beside->add_all(values.data() + at, std::min(size, values.size() - at));
    }
    beside->finish();
    const cellscale::CellStats::Summary there = stats.finish();
    for (const auto field :
         {&cellscale::CellStats::Summary::count, &cellscale::CellStats::Summary::minimum,
          &cellscale::CellStats::Summary::maximum, &cellscale::CellStats::Summary::sum,
          &cellscale::CellStats::Summary::mean, &cellscale::CellStats::Summary::standard_deviation}) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(there.*field), std::bit_cast<std::uint64_t>(here.*field));
    }
  }
}

// A grid of 25 rows of 1000 cells (three parts of the second reading and
// some), each cell its own value, read by the reader while the thread reads
// it again: the thread gives every cell once, in order, widened exactly, and
// both readings sum alike. A file cut short stops the thread at its end. A
// pipe cannot be read again.
TEST(SecondReading, ReadsEveryCellOnceInOrderBesideTheReader) {
  constexpr std::int32_t kColumns = 1000;
  constexpr std::int64_t kRows = 25;
  for (const int width : {8, 4}) {
    for (const std::size_t cells_in_file : {std::size_t{kColumns * kRows}, std::size_t{kColumns * 20 + 7}}) {
      SCOPED_TRACE(std::to_string(width) + "-byte cells, " + std::to_string(cells_in_file) + " in the file");
      std::vector<double> values(cells_in_file);
      for (std::size_t i = 0; i < values.size(); ++i) values[i] = 0.5 * static_cast<double>(i) - 3000.25;
      auto reader = grid_in_file(std::tmpfile(), width, kColumns, kRows, values);
      std::vector<double> taken;
      auto second = cellscale::SecondReading::start(reader->cells_again(), kColumns * kRows,
                                                    [&taken](const double* cells, std::size_t count) {
                                                      taken.insert(taken.end(), cells, cells + count);
                                                    });
      ASSERT_NE(second, nullptr);
      cellscale::CellSum read_here;
      for (cellscale::RowRead row = reader->read_row(); row.complete; row = reader->read_row()) {
        if (row.doubles != nullptr) read_here.add(row.doubles, kColumns);
        if (row.singles != nullptr) read_here.add(row.singles, kColumns);
      }
      const cellscale::CellSum read_again = second->finish();
      ASSERT_EQ(taken.size(), cells_in_file);
      for (std::size_t i = 0; i < taken.size(); ++i) {
        ASSERT_EQ(taken[i], values[i]) << "cell " << i;
      }
      EXPECT_EQ(read_again.cells, cells_in_file);
      if (cells_in_file == kColumns * kRows) {
        EXPECT_TRUE(read_again == read_here);
      }
      // One cell read otherwise gives another sum.
      std::vector<double> changed(values.begin(), values.begin() + kColumns);
      cellscale::CellSum first_row;
      cellscale::CellSum first_row_changed;
      first_row.add(changed.data(), changed.size());
      changed[kColumns / 2] += 0.5;
      first_row_changed.add(changed.data(), changed.size());
      EXPECT_FALSE(first_row == first_row_changed);
    }
  }
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[1]);
  auto piped = cellscale::make_grid_reader(cellscale::FormatName::double_binary,
                                           cellscale::InputFile(cellscale::FilePtr(fdopen(ends[0], "rb"))));
  EXPECT_EQ(piped->cells_again(), nullptr);
}

// The file changed after the second reading read it: the run's cells are
// then read a third time, and the statistics are those of that reading
// alone when it reads the run's cells; a file changed yet again agrees with
// neither reading.
TEST(SecondReading, AFileChangedBetweenTheReadingsIsReadAThirdTime) {
  constexpr std::int32_t kColumns = 100;
  constexpr std::int64_t kRows = 30;
  constexpr std::uint64_t kCells = kColumns * kRows;
  const std::vector<double> header = {double(kColumns), double(kRows), 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0};
  std::vector<double> before(kCells);
  for (std::size_t i = 0; i < before.size(); ++i) before[i] = 0.25 * static_cast<double>(i);
  std::vector<double> run_read = before;
  run_read[1234] = -7.5;
  std::vector<double> later = run_read;
  later[kCells - 1] = 1e6;
  cellscale::CellSum run_sum;
  run_sum.add(run_read.data(), run_read.size());
  for (const bool changed_again : {false, true}) {
    SCOPED_TRACE(changed_again ? "changed again" : "changed once");
    std::FILE* file = std::tmpfile();
    auto reader = grid_in_file(file, 8, kColumns, kRows, before);
    cellscale::CellStats stats;
    stats.reset(-9999);
    std::vector<double> taken;
    auto second =
        cellscale::SecondReading::start(reader->cells_again(), kCells, [&](const double* cells, std::size_t count) {
          taken.insert(taken.end(), cells, cells + count);
          stats.add_all(cells, count);
        });
    ASSERT_NE(second, nullptr);
    (void)second->finish();
    const std::string now = binary_grid(8, header, changed_again ? later : run_read);
    ASSERT_EQ(pwrite(fileno(file), now.data(), now.size(), 0), static_cast<ssize_t>(now.size()));
    EXPECT_EQ(second->agrees_with(run_sum, *reader, kCells, stats, -9999), !changed_again);
    ASSERT_EQ(taken.size(), 2 * kCells);
    EXPECT_TRUE(std::equal(taken.begin(), taken.begin() + kCells, before.begin()));
    if (!changed_again) {
      EXPECT_TRUE(std::equal(taken.begin() + kCells, taken.end(), run_read.begin()));
      cellscale::CellStats direct;
      direct.reset(-9999);
      direct.add_all(run_read.data(), run_read.size());
      const cellscale::CellStats::Summary expected = direct.finish();
      const cellscale::CellStats::Summary got = stats.finish();
      EXPECT_EQ(got.count, expected.count);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(got.sum), std::bit_cast<std::uint64_t>(expected.sum));
      EXPECT_EQ(got.minimum, -7.5);
    }
  }
}

TEST(WriteBehind, WritesInOrderAndReportsTheFirstFailedWrite) {
  for (const bool full : {false, true}) {
    SCOPED_TRACE(full ? "a full disk" : "a file");
    std::FILE* file = full ? std::fopen("/dev/full", "wb") : std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::setvbuf(file, nullptr, _IONBF, 0);
    auto behind = cellscale::WriteBehind::start(file);
    ASSERT_NE(behind, nullptr);
    std::string expected;
    std::unique_ptr<char[]> block = cellscale::new_output_block();
    bool taken = true;
    for (std::int64_t i = 0; i < 20 && taken; ++i) {
      // Each block: 1000 bytes of one letter to write, and 3 bytes to keep.
      std::string bytes(1000, static_cast<char>('a' + i));
      bytes += "xyz";
      std::copy(bytes.begin(), bytes.end(), block.get());
      taken = behind->hand_over(block, 1000, bytes.size(), {i + 1, 0});
      if (taken) {
        expected += bytes.substr(0, 1000);
        EXPECT_EQ(std::string(block.get(), 3), "xyz");
      }
    }
    const std::optional<cellscale::WritePlace> failed = behind->wait_until_written();
    if (full) {
      ASSERT_TRUE(failed.has_value());
      EXPECT_EQ(failed->row, 1);
    } else {
      EXPECT_FALSE(failed.has_value());
      std::rewind(file);
      std::string written(expected.size() + 1, '\0');
      written.resize(std::fread(written.data(), 1, written.size(), file));
      EXPECT_EQ(written, expected);
    }
    std::fclose(file);
  }
}

}  // namespace
