// How a cell travels, reader to formatter:
//  1. grid/input_opening.cpp opens the input and tells its format from its
//     first bytes, and grid/grid_format.cpp makes the reader and the writer.
//     The reader takes the input's bytes from grid/input_file.h, which reads
//     the file or pipe and has grid/gzip_input.h decompress a gzip input on
//     the way.
//  2. run_scaling asks a RowSource (app/row_source.h) for each row in turn.
//     On a small grid, or with one processor, RowsOnThisThread has the
//     reader read it here: grid/ascii_grid.cpp takes each number with
//     scan_plain_decimal or scan_number (grid/number_text.h) into its row,
//     grid/binary_grid.cpp hands out rows inside the block it read. On a
//     large grid RowsFromPipeline (app/rows_from_pipeline.h) cuts the row
//     from the batches of threads/cell_pipeline.h: the threads read a text
//     input in turns (a reading thread a binary one), in batches, workers
//     scan a text input's numbers and, for a text output, scale and format
//     the cells; a row comes back whole, as the input's cells or as
//     formatted text.
//  3. scale_rows, below, scales the cells into the writer's output spans
//     with scale_cells (app/cell_scaling.h), which gives each to the
//     statistics (stats/cell_stats.cpp), or, for a large binary grid read on
//     this thread while another processor is free, to the statistics thread
//     of threads/statistics_beside.h; the text writer takes a row of
//     doubles whole and scales the cells as it formats them, and a
//     formatted row as it is.
//  4. The writer keeps the bytes in its output block (grid/output_blocks.h);
//     full blocks go to the file four at a time (one at a time from an input
//     that may pause, and for a gzip output), or, from three processors on a
//     large grid, through the writing thread of threads/write_behind.h.
// When the rows are done the statistics go into the header, and the
// writer's finish writes a binary output's statistics block. A failure
// among the rows comes back to fail_rows, which ends the process without
// waiting for the threads.

#include "app/scaling_run.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "app/cell_scaling.h"
#include "app/command_line.h"
#include "app/console.h"
#include "app/file_names.h"
#include "app/processors.h"
#include "app/progress_dots.h"
#include "app/projection_file.h"
#include "app/row_source.h"
#include "grid/ascii_grid.h"
#include "grid/binary_grid.h"
#include "grid/grid_format.h"
#include "grid/gzip_member.h"
#include "grid/input_file.h"
#include "grid/input_opening.h"
#include "grid/output_blocks.h"
#include "stats/cell_stats.h"
#include "threads/cell_pipeline.h"
#include "threads/second_reading.h"
#include "threads/statistics_beside.h"
#include "threads/write_behind.h"

namespace cellscale {

namespace {

constexpr int kStatusUsage = 1;
constexpr int kStatusBadHeader = 1;
constexpr int kStatusStatisticsNotWritten = 4;
constexpr int kStatusRowNotRead = 5;
constexpr int kStatusRowNotWritten = 6;
constexpr int kStatusInputUnusable = 98;

// Opens the input and recognises its format (grid/input_opening.h), or ends
// the run with the message that says why it cannot be read.
OpenedInput open_and_recognise_input(const FileName& name) {
  std::variant<OpenedInput, InputFailure> opened =
      open_input([&name](const char* mode) { return open_file(name, mode); });
  if (OpenedInput* const input = std::get_if<OpenedInput>(&opened)) return std::move(*input);
  if (std::get<InputFailure>(opened) == InputFailure::not_recognised) {
    fail(kStatusInputUnusable, "could not recognise file format (ascii, single or double) for %s\n",
         name.shown.c_str());
  }
  fail(kStatusInputUnusable, "could not open input file %s\n", name.shown.c_str());
}

// Opening an output that is the input itself (the same path, a hard or
// symbolic link to it) would empty the input before it is read; it counts as
// an output that cannot be opened.
FilePtr open_output_file(const FileName& input, const FileName& output, const char* mode) {
  if (same_file(input, output)) return nullptr;
  FilePtr file(open_file(output, mode));
  // The writers buffer the output in blocks themselves (kOutputBlockBytes):
  // without a buffer of its own the stream writes each block in one call.
  if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

// Opens the output, asking for another name while that fails. An empty reply,
// or the end of standard input, ends the run.
// A gzip output (its name ends in .gz) is opened in binary mode whatever its
// format: its compressed bytes must reach the file as they are.
FilePtr open_output(const FileName& input, FileName& output, FormatName format) {
  while (true) {
    const char* mode = names_gzip_file(output.shown) ? "wb" : output_opening_mode(format);
    FilePtr file = open_output_file(input, output, mode);
    if (file) return file;
    // Contract (docs/cellscale.1, Output name): " \r\n" on every platform.
    say("error opening output grid %s \r\n", output.shown.c_str());
    say("please enter new output file name: ");
    std::optional<std::string> reply = read_reply_line();
    // A file name is a C string: a reply names the file up to its first NUL,
    // so "\0abc" is an empty reply.
    if (reply) reply->resize(std::min(reply->size(), reply->find('\0')));
    if (!reply || reply->empty()) std::exit(kStatusUsage);
    output = file_name_reply(std::move(*reply));
    say("\r\n");
  }
}

// The one way a run ends early once the output is open: the writer is
// flushed first, so that the output keeps what it was given (the header, the
// rows written), as a stream would on the way out. A failed flush goes
// unreported: the run is already ending with a failure of its own. The
// room taken on the disk for rows that were not written is given back.
[[noreturn, gnu::format(printf, 3, 4)]] void fail_keeping_output(GridWriter& writer, int status, const char* format,
                                                                 ...) {
  writer.flush();
  writer.output_blocks().give_back_unused_room();
  std::va_list arguments;
  va_start(arguments, format);
  vfail(status, format, arguments);  // never returns, so no va_end
}

// The statistics block of the header, slots 7 to 12.
void put_statistics(GridHeader& header, const CellStats::Summary& statistics) {
  header.slot[kCount] = statistics.count;
  header.slot[kMinimum] = statistics.minimum;
  header.slot[kMaximum] = statistics.maximum;
  header.slot[kSum] = statistics.sum;
  header.slot[kMean] = statistics.mean;
  header.slot[kStandardDeviation] = statistics.standard_deviation;
}

// Scales the `columns` cells of a row into the writer's output spans, as
// many as it takes, the scaled cells taken by `stats` (a CellSum takes the
// cells read instead: scale_and_sum_cells). Stops at the first span that
// could not be reserved or committed (a full block that could not be
// written).
// Kept out of line: inlined into the row loop it compiled to a slower
// scaling loop (half an instruction a cell more, callgrind).
template <typename In, typename Statistics>
[[gnu::noinline]] RowWrite scale_row(const In* cells, std::int32_t columns, GridWriter& writer, double nodata,
                                     double factor, Statistics* stats) {
  std::int32_t done = 0;
  while (done < columns) {
    OutputSpan span;
    const RowWrite reserved = writer.reserve(span);
    if (!reserved.complete) return reserved;
    const auto count = static_cast<std::size_t>(std::min(span.count, columns - done));
    if constexpr (std::is_same_v<Statistics, CellSum>) {
      if (span.doubles != nullptr) {
        scale_and_sum_cells(cells + done, span.doubles, count, nodata, factor, *stats);
      } else {
        scale_and_sum_cells(cells + done, span.singles, count, nodata, factor, *stats);
      }
    } else if (span.doubles != nullptr) {
      scale_cells(cells + done, span.doubles, count, nodata, factor, stats);
    } else {
      scale_cells(cells + done, span.singles, count, nodata, factor, stats);
    }
    const RowWrite committed = writer.commit(static_cast<std::int32_t>(count));
    if (!committed.complete) return committed;
    done += static_cast<std::int32_t>(count);
  }
  return {true, 0};
}

// Where the scaled rows go.
struct RowDestination {
  GridWriter& writer;
  FormattedRowWriter* formatted;  // the text writer's, for rows formatted or scaled as they are formatted
  std::int32_t columns;
  double nodata;
  double factor;
  CellStats* stats;          // null for a text output, which has no statistics block
  StatisticsBeside* beside;  // where the statistics are taken on a thread of their own
  // Where the statistics are taken from a second reading of the input
  // (threads/second_reading.h): the sum of the cells this run read, for the
  // check that both read the same. `stats` and `beside` are null then.
  CellSum* cells_read;
};

// Scales a row of the input's cells into the writer, the cells taken by
// `stats` as scale_row has them taken.
template <typename Statistics>
RowWrite scale_input_row(const SourceRow& cells, const RowDestination& destination, Statistics* stats) {
  if (cells.doubles != nullptr) {
    return scale_row(cells.doubles, destination.columns, destination.writer, destination.nodata, destination.factor,
                     stats);
  }
  return scale_row(cells.singles, destination.columns, destination.writer, destination.nodata, destination.factor,
                   stats);
}

// Where the rows stopped when they did not all go through.
struct RowFailure {
  bool reading;                    // else writing
  std::int64_t row;                // counted from 1
  std::int64_t values_read = 0;    // reading: the row's cells read
  std::int32_t failed_column = 0;  // writing: the first column not written
};

// Takes `rows` rows from the source in order, scales each into the writer
// (or hands it on, when it comes formatted) and shows its dot. Stops at the
// first row that cannot be read or written: the rows before it are written,
// none after it.
std::optional<RowFailure> scale_rows(RowSource& source, std::int64_t rows, const RowDestination& destination,
                                     ProgressDots& dots) {
  for (std::int64_t row = 1; row <= rows; ++row) {
    const SourceRow cells = source.next_row();
    if (!cells.complete) return RowFailure{.reading = true, .row = row, .values_read = cells.values_read};
    RowWrite written{true, 0};
    if (cells.formatted != nullptr) {
      written = destination.formatted->write_formatted_row(cells.formatted, cells.formatted_size);
    } else if (cells.doubles != nullptr && destination.formatted != nullptr) {
      written = destination.formatted->write_scaled_row(cells.doubles, {destination.nodata, destination.factor});
    } else if (destination.cells_read != nullptr) {
      written = scale_input_row(cells, destination, destination.cells_read);
    } else if (destination.beside != nullptr) {
      written = scale_input_row(cells, destination, destination.beside);
    } else {
      written = scale_input_row(cells, destination, destination.stats);
    }
    if (!written.complete) return RowFailure{.reading = false, .row = row, .failed_column = written.failed_column};
    dots.row_written(destination.columns);
  }
  return std::nullopt;
}

// The one place where a failure among the rows is reported. A write of
// blocks gathered or done behind that failed comes first, being in an
// earlier row or the same one: then its row and column are reported. The
// dots show the rows before the failure, and the process ends without
// waiting for the threads (one may be waiting in a read for input that never
// comes).
[[noreturn]] void fail_rows(RowFailure failure, ProgressDots& dots, GridWriter& writer, FormatName output_format,
                            const char* input_name, const char* output_name) {
  if (const std::optional<WritePlace> failed = writer.output_blocks().wait()) {
    failure = {.reading = false, .row = failed->row, .failed_column = failed->column};
  }
  dots.show_up_to(failure.reading ? dots.rows_written() : failure.row - 1);
  const int row = static_cast<int>(failure.row);
  if (failure.reading) {
    fail_keeping_output(writer, kStatusRowNotRead, "error reading from %s in row %d (%d values read)\n", input_name,
                        row, static_cast<int>(failure.values_read));
  }
  if (output_format == FormatName::single_binary) {
    fail_keeping_output(writer, kStatusRowNotWritten, "error writing row %d, col %d in %s\n", row,
                        static_cast<int>(failure.failed_column), output_name);
  }
  fail_keeping_output(writer, kStatusRowNotWritten, "error writing row %d in %s\n", row, output_name);
}

}  // namespace

int run_scaling(int argc, char** argv) {
  if (argc < 3) {
    say("Cellscale: multiplies input grid on a cell by cell basis with a constant factor\n");
    say("usage : cellscale <inputgrid> <outputgrid> [-f:t|s|d]\n");
    say("-f:t|s|d output format. t=text (with double precision, this is default), d=double precision, "
        "s=single precision\n");
    return kStatusUsage;
  }
  const FileName input_file_name = file_name_argument(argc, argv, 1);
  FileName output_file_name = file_name_argument(argc, argv, 2);
  const FormatName output_format = output_format_from_argument(argc > 3 ? argv[3] : nullptr);

  OpenedInput input = open_and_recognise_input(input_file_name);
  FilePtr output_file = open_output(input_file_name, output_file_name, output_format);
  const bool input_never_waits = input.never_waits;
  const std::unique_ptr<GridReader> reader = make_grid_reader(input.format, std::move(input.file));
  const std::unique_ptr<GridWriter> writer =
      make_grid_writer(output_format, std::move(output_file), names_gzip_file(output_file_name.shown));
  const char* input_name = input_file_name.shown.c_str();
  const char* output_name = output_file_name.shown.c_str();
  // From here on a failure ends the run through fail_keeping_output.

  GridHeader header;
  if (!reader->read_header(header)) {
    // Contract (README, Exit statuses): "fiel" is misspelt on purpose.
    fail_keeping_output(*writer, kStatusBadHeader, "error reading fiel header from %s\n", input_name);
  }
  // Contract (docs/cellscale.1, EXIT STATUS): only a "double" header that was
  // not written is reported at once, and the run goes on; any lost write
  // still fails the run when the output is closed.
  if (!writer->write_header(header) && output_format == FormatName::double_binary) {
    say("error writing into %s \n", output_name);
  }

  const std::optional<std::int32_t> columns = column_count(header);
  if (!columns || !reader->prepare_rows(*columns) || !writer->prepare_rows(header, *columns)) {
    fail_keeping_output(*writer, kStatusBadHeader, "invalid number of columns in %s\n", input_name);
  }
  const std::optional<std::int64_t> rows = row_count(header);
  if (!rows) fail_keeping_output(*writer, kStatusBadHeader, "invalid number of rows in %s\n", input_name);
  const std::uint64_t cells = static_cast<std::uint64_t>(*rows) * static_cast<std::uint64_t>(*columns);
  // The output's room on the disk is taken ahead only where the input can
  // hold the cells its header promises: a header that promises more would
  // take room that no row fills.
  if (reader->can_hold_cells(cells)) writer->reserve_room(cells);

  say("\nfactor : ");
  const double factor = read_reply_number(1.0);
  say("\n");

  const double nodata = header.nodata_value();
  CellStats stats;
  stats.reset(nodata);
  const int processors = usable_processors();
  const RowSourceChoice grid{output_format, *columns, *rows, nodata, factor, input_never_waits};
  // Asked before any thread reads: the reader's place in the file tells
  // whether its cells can be read again by their place.
  std::unique_ptr<CellsAgain> again = output_format == FormatName::ascii_text ? nullptr : reader->cells_again();
  std::unique_ptr<RowSource> source = make_row_source(*reader, grid, processors);
  // A writing thread pays where it has a processor beside the reading
  // thread and this one: on two it measured slower than writing here, the
  // three threads taking turns on two processors. A gzip output's blocks are
  // compressed beside it on as many threads as there are processors, which
  // pays from two on: compressing takes longer than making the text.
  std::unique_ptr<WriteBehind> behind;
  OutputBlocks& blocks = writer->output_blocks();
  if (worth_threads(*columns, *rows, processors) &&
      (kPipelineOnOneProcessor || processors >= 3 || blocks.compressed())) {
    behind = WriteBehind::start(blocks.file(), blocks.compressed() ? processors : 0, blocks.crlf_lines());
    if (behind) blocks.write_later(*behind);
  }
  // Blocks gathered would hold back what an input that pauses delivered.
  if (!input_never_waits) blocks.write_at_once();
  ProgressDots dots(blocks);
  // A text output has no statistics block: its cells are not counted.
  CellStats* const counted = output_format == FormatName::ascii_text ? nullptr : &stats;
  // A statistics thread reads the input again where it can, and otherwise
  // takes the run's scaled cells through its ring.
  const CellsAgain::Take take_statistics =
      [&stats, nodata, factor, scaled = std::vector<double>()](const double* cells_again, std::size_t count) mutable {
        if (scaled.size() < count) scaled.resize(count);
        scale_cells(cells_again, scaled.data(), count, nodata, factor, &stats);
      };
  std::unique_ptr<SecondReading> second;
  std::unique_ptr<StatisticsBeside> beside;
  CellSum cells_read;
  if (statistics_beside_pays(*reader, grid, processors, load_average("/"))) {
    if (again != nullptr) second = SecondReading::start(std::move(again), cells, take_statistics);
    if (second == nullptr) beside = StatisticsBeside::start(stats);
  }
  const RowDestination destination{.writer = *writer,
                                   .formatted = formatted_rows_of(*writer),
                                   .columns = *columns,
                                   .nodata = nodata,
                                   .factor = factor,
                                   .stats = second != nullptr ? nullptr : counted,
                                   .beside = beside.get(),
                                   .cells_read = second != nullptr ? &cells_read : nullptr};
  if (const std::optional<RowFailure> failure = scale_rows(*source, *rows, destination, dots)) {
    fail_rows(*failure, dots, *writer, output_format, input_name, output_name);
  }
  // A gzip input's damage may show only in the check at the end of the member
  // that holds the last row, after its cells came out: it fails that row's
  // read, all its cells read.
  const std::uint64_t used = source->end_reading();
  source.reset();
  if (!reader->input_intact_through(used)) {
    fail_rows({.reading = true, .row = *rows, .values_read = *columns}, dots, *writer, output_format, input_name,
              output_name);
  }
  if (const std::optional<WritePlace> failed = blocks.wait()) {
    fail_rows({.reading = false, .row = failed->row, .failed_column = failed->column}, dots, *writer, output_format,
              input_name, output_name);
  }
  dots.show_up_to(dots.rows_written());
  say("\n");
  if (beside != nullptr) beside->finish();
  // Should no reading of the file agree with this run's, the statistics
  // would describe other cells than those written: the grid could not be
  // read alike twice.
  if (second != nullptr && !second->agrees_with(cells_read, *reader, cells, stats, nodata)) {
    fail_rows({.reading = true, .row = *rows, .values_read = *columns}, dots, *writer, output_format, input_name,
              output_name);
  }
  put_statistics(header, stats.finish());
  if (!writer->finish(header)) {
    fail_keeping_output(*writer, kStatusStatisticsNotWritten, "error writing into %s \n", output_name);
  }
  copy_projection_file(input_file_name, output_file_name);
  return 0;
}

}  // namespace cellscale
