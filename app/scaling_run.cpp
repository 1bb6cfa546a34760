// How a cell travels, reader to formatter:
//  1. grid/recognition.cpp tells the input's format from its first bytes,
//     and grid/grid_format.cpp makes the reader and the writer.
//  2. The reader brings the cell into memory it owns. grid/ascii_grid.cpp
//     reads the text in large blocks and takes each number with
//     scan_plain_decimal or scan_number (grid/number_text.h and .cpp) into
//     its row; grid/binary_grid.cpp reads blocks of whole rows and hands out
//     rows inside its block.
//  3. scale_row, below, reserves an output span in the writer, and
//     scale_cells (app/cell_scaling.h) writes the scaled cell into it and
//     gives it to the statistics (stats/cell_stats.cpp).
//  4. The writer's commit takes it: grid/binary_grid.cpp keeps its bytes in
//     the output block; grid/ascii_grid.cpp formats it as text with
//     format_cell (grid/cell_format.cpp) into its text block. A full block
//     goes to the file through OutputBlocks (grid/output_blocks.cpp) and
//     write_all (grid/grid_format.cpp).
// When the rows are done the statistics go into the header, and the
// writer's finish writes a binary output's statistics block.
// A large grid, where the process may run on more than one processor, takes
// several threads (app/cell_pipeline.h): a reading thread reads the input in
// batches, worker threads scan a text input's numbers and format a text
// output's cells, the run's own thread takes the batches in row order for
// the statistics and the writing, and from three processors on a writing
// thread writes the full blocks (grid/output_blocks.h).

#include "app/scaling_run.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "app/cell_pipeline.h"
#include "app/cell_scaling.h"
#include "app/command_line.h"
#include "app/console.h"
#include "app/file_names.h"
#include "app/processors.h"
#include "app/projection_file.h"
#include "grid/grid_format.h"
#include "grid/input_file.h"
#include "grid/output_blocks.h"
#include "grid/recognition.h"
#include "stats/cell_stats.h"

namespace cellscale {

namespace {

constexpr int kStatusUsage = 1;
constexpr int kStatusBadHeader = 1;
constexpr int kStatusStatisticsNotWritten = 4;
constexpr int kStatusRowNotRead = 5;
constexpr int kStatusRowNotWritten = 6;
constexpr int kStatusInputUnusable = 98;

// Cells between two flushes of the progress dots, each row counting one more
// than its cells so that rows of no cells add up too: often enough to show
// progress, rare enough to cost nothing.
constexpr std::int64_t kCellsPerProgressFlush = 1 << 18;

struct OpenedInput {
  InputFile file;
  FormatName format;
};

// The readers fetch large blocks themselves: an input stream without a
// buffer of its own reads them straight into place, one system call a block.
FilePtr open_input_file(const FileName& name, const char* mode) {
  FilePtr file(open_file(name, mode));
  if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

// A text input that cannot be opened again is switched to text mode where
// the two differ (Windows: CR LF and Ctrl-Z as a text file reads them); the
// bytes already read may hold a CR, which the text reader takes as a blank.
void read_text_in_text_mode([[maybe_unused]] std::FILE* file, [[maybe_unused]] FormatName format) {
#ifdef _WIN32
  if (format == FormatName::ascii_text) _setmode(_fileno(file), _O_TEXT);
#endif
}

// Recognises the input's format from its first bytes, then reads it from its
// start: a file again from there (text in text mode), and an input that
// cannot go back (a pipe) in one pass, the bytes already read served first.
OpenedInput open_and_recognise_input(const FileName& name) {
  FilePtr file = open_input_file(name, "rb");
  if (file) {
    char start[kRecognitionBytes];
    const std::size_t size = std::fread(start, 1, sizeof start, file.get());
    const std::optional<FormatName> format = recognise_grid(reinterpret_cast<const unsigned char*>(start), size);
    if (!format) {
      fail(kStatusInputUnusable, "could not recognise file format (ascii, single or double) for %s\n",
           name.shown.c_str());
    }
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) {
      read_text_in_text_mode(file.get(), *format);
      return {InputFile(std::move(file), std::string(start, size)), *format};
    }
    if (*format == FormatName::ascii_text) file = open_input_file(name, "rt");
    if (file) return {InputFile(std::move(file)), *format};
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
FilePtr open_output(const FileName& input, FileName& output, FormatName format) {
  const char* mode = output_opening_mode(format);
  while (true) {
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
// unreported: the run is already ending with a failure of its own.
[[noreturn, gnu::format(printf, 3, 4)]] void fail_keeping_output(GridWriter& writer, int status, const char* format,
                                                                 ...) {
  writer.flush();
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

// Scales `columns` cells of a row (the whole row, or the part of it that a
// batch holds) into the writer's output spans, as many as it takes. Stops at
// the first span that could not be reserved or committed (a full block that
// could not be written).
template <typename In>
RowWrite scale_row(const In* cells, std::int32_t columns, GridWriter& writer, double nodata, double factor,
                   CellStats& stats) {
  std::int32_t done = 0;
  while (done < columns) {
    OutputSpan span;
    const RowWrite reserved = writer.reserve(span);
    if (!reserved.complete) return reserved;
    const std::int32_t count = std::min(span.count, columns - done);
    if (span.doubles != nullptr) {
      scale_cells(cells + done, span.doubles, static_cast<std::size_t>(count), nodata, factor, stats);
    } else {
      scale_cells(cells + done, span.singles, static_cast<std::size_t>(count), nodata, factor, stats);
    }
    const RowWrite committed = writer.commit(count);
    if (!committed.complete) return committed;
    done += count;
  }
  return {true, 0};
}

// Where the scaled rows go, and how the run tells a failure while they
// stream through: the same for one thread and for several.
class RowTarget {
 public:
  RowTarget(GridWriter& writer, FormatName output_format, const char* input_name, const char* output_name,
            double nodata, double factor)
      : writer_(writer),
        output_format_(output_format),
        input_name_(input_name),
        output_name_(output_name),
        nodata_(nodata),
        factor_(factor) {
    stats.reset(nodata);
  }

  // Scales `count` cells of the row being written into the writer.
  template <typename In>
  RowWrite scale(const In* cells, std::int32_t count) {
    return scale_row(cells, count, writer_, nodata_, factor_, stats);
  }

  // From here on the writer's full blocks are written on a thread of their
  // own (OutputBlocks::write_behind), when one can be had. A failed write is
  // then known later: the progress dots wait until the blocks filled before
  // their rows ended are written, so that a run shows and says what it
  // would have with the writes done at once.
  void write_behind() {
    OutputBlocks& blocks = writer_.output_blocks();
    if (blocks.write_behind()) behind_ = &blocks;
  }

  // A row of `columns` cells was written: its progress dot.
  void end_row(std::int32_t columns) {
    ++rows_ended_;
    if (behind_ == nullptr) {
      std::putchar('.');
      rows_shown_ = rows_ended_;
    }
    cells_since_flush_ += columns + 1;
    if (cells_since_flush_ >= kCellsPerProgressFlush) {
      if (behind_ != nullptr) show_progress(std::min(rows_ended_, behind_->first_row_not_yet_safe() - 1));
      std::fflush(stdout);
      cells_since_flush_ = 0;
    }
  }

  // Every row has been written: ends writing behind, and reports a write
  // that failed there.
  void end_rows() {
    if (behind_ == nullptr) return;
    if (const std::optional<WritePlace> failed = behind_->wait()) fail_writing(failed->row, failed->column);
    show_progress(rows_ended_);
  }

  // Whether a write behind is known to have failed, to be reported by
  // fail_writing.
  bool write_failed() { return behind_ != nullptr && behind_->failure(); }

  [[noreturn]] void fail_reading(std::int64_t row, std::int64_t values_read) {
    end_rows();  // a failed write in an earlier row comes first
    fail_keeping_output(writer_, kStatusRowNotRead, "error reading from %s in row %d (%d values read)\n", input_name_,
                        static_cast<int>(row), static_cast<int>(values_read));
  }

  // A write failed in `row`, at `column` of a single-precision output; when
  // writing behind, where the write that failed says.
  [[noreturn]] void fail_writing(std::int64_t row, std::int32_t column) {
    if (behind_ != nullptr) {
      if (const std::optional<WritePlace> failed = behind_->wait()) {
        row = failed->row;
        column = failed->column;
      }
      show_progress(row - 1);
    }
    if (output_format_ == FormatName::single_binary) {
      fail_keeping_output(writer_, kStatusRowNotWritten, "error writing row %d, col %d in %s\n",
                          static_cast<int>(row), static_cast<int>(column), output_name_);
    }
    fail_keeping_output(writer_, kStatusRowNotWritten, "error writing row %d in %s\n", static_cast<int>(row),
                        output_name_);
  }

  double nodata() const { return nodata_; }
  double factor() const { return factor_; }

  CellStats stats;

 private:
  // Shows the progress dots of the rows up to `row`.
  void show_progress(std::int64_t row) {
    for (; rows_shown_ < row; ++rows_shown_) std::putchar('.');
  }

  GridWriter& writer_;
  FormatName output_format_;
  const char* input_name_;
  const char* output_name_;
  double nodata_;
  double factor_;
  std::int64_t cells_since_flush_ = 0;
  OutputBlocks* behind_ = nullptr;
  std::int64_t rows_ended_ = 0;
  std::int64_t rows_shown_ = 0;
};

// Reads, scales and writes the rows one after another on this thread.
void scale_rows(GridReader& reader, std::int32_t columns, std::int64_t rows, RowTarget& target) {
  for (std::int64_t row = 1; row <= rows; ++row) {
    const RowRead read = reader.read_row();
    if (!read.complete) target.fail_reading(row, read.values_read);
    const RowWrite written =
        read.doubles != nullptr ? target.scale(read.doubles, columns) : target.scale(read.singles, columns);
    if (!written.complete) target.fail_writing(row, written.failed_column);
    target.end_row(columns);
  }
}

// Whether a grid pays for more threads: it has cells enough, and the
// process more than one processor to run on.
bool worth_threads(std::int32_t columns, std::int64_t rows) {
  if (columns == 0 || rows == 0) return false;
  const std::int64_t cells = rows > kSmallestPipelinedGrid / columns ? kSmallestPipelinedGrid : rows * columns;
  return cells >= kSmallestPipelinedGrid && (kPipelineOnOneProcessor || usable_processors() > 1);
}

// Where the text of cell `first` of a batch begins.
std::uint32_t text_start(const CellBatch& batch, std::size_t first) {
  return first == 0 ? 0 : batch.text_ends[first - 1];
}

// The cells of a row gathered from several batches of a text input: held
// until the row is whole, so that no cell of a row that cannot be read
// completely is written. As scanned (for a binary output) or as text.
struct PartRow {
  std::vector<double> doubles;
  std::vector<char> text;

  void add(const CellBatch& batch, std::size_t first, std::size_t count) {
    if (batch.text != nullptr) {
      const char* const from = batch.text + text_start(batch, first);
      text.insert(text.end(), from, batch.text + batch.text_ends[first + count - 1]);
    } else {
      doubles.insert(doubles.end(), batch.doubles + first, batch.doubles + first + count);
    }
  }
};

// Writes `count` cells of the row being written, from `first` on in the
// batch; `row_ends` when they are the row's last.
RowWrite write_cells(const CellBatch& batch, std::size_t first, std::size_t count, bool row_ends, GridWriter& writer,
                     RowTarget& target) {
  if (batch.text != nullptr) {
    const std::uint32_t from = text_start(batch, first);
    return writer.commit_text(batch.text + from, batch.text_ends[first + count - 1] - from, row_ends);
  }
  const auto cells = static_cast<std::int32_t>(count);
  return batch.doubles != nullptr ? target.scale(batch.doubles + first, cells)
                                  : target.scale(batch.singles + first, cells);
}

// scale_rows on several threads (app/cell_pipeline.h) for a grid that pays
// for it: a reading thread reads the input, workers scan text and format
// text, and this thread takes the batches in row order for the statistics
// and the writing. A text output keeps no statistics (it has no place for
// them). False, having read nothing, when the grid takes one thread.
bool scale_rows_on_threads(GridReader& reader, FormatName input_format, FormatName output_format,
                           std::int32_t columns, std::int64_t rows, GridWriter& writer, RowTarget& target) {
  if (!worth_threads(columns, rows)) return false;
  const BatchWork work{input_format == FormatName::ascii_text, output_format == FormatName::ascii_text,
                       target.nodata(), target.factor()};
  // The run's own thread works on batches too while it waits: one worker
  // fewer than the processors keeps each of them busy.
  const int processors = usable_processors();
  const int workers = std::min(std::max(processors - 1, 1), kMostWorkers);
  CellPipeline pipeline;
  if (!pipeline.start(reader, columns, rows, work, workers)) return false;
  // A writing thread pays where it has a processor beside the reading
  // thread and this one: on two it measured slower than writing here, the
  // three threads taking turns on two processors.
  if (kPipelineOnOneProcessor || processors >= 3) target.write_behind();
  // A binary reader hands over the cells of whole rows only; text pieces
  // may end inside a row that the next ones cannot complete.
  const bool rows_whole = !work.scan_text;
  PartRow part;
  std::int64_t row = 1;
  std::int32_t row_cells = 0;  // cells of the row being written taken so far
  while (true) {
    const CellBatch& batch = pipeline.next();
    std::size_t done = 0;
    while (done < batch.count && row <= rows) {
      const std::size_t count = std::min(batch.count - done, static_cast<std::size_t>(columns - row_cells));
      const bool row_ends = row_cells + static_cast<std::int32_t>(count) == columns;
      RowWrite written{true, 0};
      if (rows_whole || (row_cells == 0 && row_ends)) {
        written = write_cells(batch, done, count, row_ends, writer, target);
      } else {
        part.add(batch, done, count);
        if (row_ends) {
          written = !part.text.empty() ? writer.commit_text(part.text.data(), part.text.size(), true)
                                       : target.scale(part.doubles.data(), columns);
          part.doubles.clear();
          part.text.clear();
        }
      }
      if (!written.complete) {
        pipeline.stop();
        target.fail_writing(row, written.failed_column);
      }
      done += count;
      row_cells += static_cast<std::int32_t>(count);
      if (row_ends) {
        target.end_row(columns);
        row_cells = 0;
        ++row;
      }
    }
    if (row > rows) {
      pipeline.stop();
      target.end_rows();
      return true;
    }
    if (target.write_failed()) {
      pipeline.stop();
      target.fail_writing(row, 0);
    }
    if (batch.last) {
      pipeline.stop();
      target.fail_reading(row, row_cells + batch.values_read);
    }
  }
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
  const std::unique_ptr<GridReader> reader = make_grid_reader(input.format, std::move(input.file));
  const std::unique_ptr<GridWriter> writer = make_grid_writer(output_format, std::move(output_file));
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

  say("\nfactor : ");
  const double factor = read_reply_number(1.0);
  say("\n");

  RowTarget target{*writer, output_format, input_name, output_name, header.nodata_value(), factor};
  if (!scale_rows_on_threads(*reader, input.format, output_format, *columns, *rows, *writer, target)) {
    scale_rows(*reader, *columns, *rows, target);
  }
  say("\n");
  put_statistics(header, target.stats.finish());
  if (!writer->finish(header)) {
    fail_keeping_output(*writer, kStatusStatisticsNotWritten, "error writing into %s \n", output_name);
  }
  copy_projection_file(input_file_name, output_file_name);
  return 0;
}

}  // namespace cellscale
