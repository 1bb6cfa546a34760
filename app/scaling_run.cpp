// How a cell travels, reader to writer:
//  1. formats/input_opening.cpp opens the input and tells its format from its
//     first bytes, and formats/grid_format.cpp makes the reader and the writer.
//     The reader takes the input's bytes from files/input_file.h, which reads
//     the file or pipe and has files/gzip_input.h decompress a gzip input on
//     the way.
//  2. scale_grid (app/cell_batches.h) hands batches round an ordered ring of jobs
//     (threads/ordered_jobs.h). On this thread the reader reads the next
//     piece of the input into a free batch: about 128 KiB of a text input's
//     text, or 16,384 of a binary input's cells.
//  3. The batch's work (app/cell_batches.cpp), on a worker or on this thread:
//     scan_cell_text (formats/ascii_grid.h) takes a text piece's numbers,
//     scale_cells (numbers/cell_scaling.h) scales the cells, and for a text
//     output format_cells_with_tabs (numbers/cell_format.h) makes their text,
//     or its kin with other digits (numbers/cell_digits.h).
//  4. Back on this thread, in the order read, BatchWriter takes the batch's
//     cells into the statistics (stats/cell_stats.h) and the writer, a row
//     only once it is whole: the writer keeps the bytes in its output block
//     (files/output_blocks.h) and writes full blocks to the file, four at a
//     time, or, for a gzip output, has them compressed on several threads
//     (threads/compressing_writer.h). The dots show the rows written.
// When the cells are done the statistics go into the header, and the
// writer's finish writes a binary output's statistics block. A failure
// among the rows comes back to fail_rows, which reports its row, counted
// from the cells taken.

#include "app/scaling_run.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/cell_batches.h"
#include "app/console.h"
#include "app/file_names.h"
#include "app/processors.h"
#include "app/progress_dots.h"
#include "app/projection_file.h"
#include "app/run_reports.h"
#include "files/gzip_member.h"
#include "files/input_file.h"
#include "files/output_blocks.h"
#include "formats/ascii_grid.h"
#include "formats/binary_grid.h"
#include "formats/grid_format.h"
#include "formats/input_opening.h"
#include "stats/cell_stats.h"
#include "threads/compressing_writer.h"

namespace cellscale {

namespace {

constexpr int kStatusUsage = 1;
constexpr int kStatusBadHeader = 1;
constexpr int kStatusStatisticsNotWritten = 4;
constexpr int kStatusRowNotRead = 5;
constexpr int kStatusRowNotWritten = 6;
constexpr int kStatusInputUnusable = 98;

// Opens the input and recognises its format (formats/input_opening.h), or ends
// the run with the message that says why it cannot be read. The message is
// the one scripts match; the line after it, on standard error, gives the
// reason as far as it is known.
OpenedInput open_and_recognise_input(const RunSettings& settings) {
  const FileName& name = settings.input;
  const bool standard = settings.input_is_standard_input;
  int open_error = 0;
  std::string why;
  std::variant<OpenedInput, InputFailure> opened = open_input(
      [&name, standard, &open_error](const char* mode) {
        errno = 0;
        std::FILE* const file = standard ? open_standard_stream(0, mode) : open_file(name, mode);
        if (file == nullptr) open_error = errno;
        return file;
      },
      &why);
  if (OpenedInput* const input = std::get_if<OpenedInput>(&opened)) return std::move(*input);
  const char* const shown = name.shown.c_str();
  if (std::get<InputFailure>(opened) == InputFailure::not_recognised) {
    fail_because(kStatusInputUnusable, name.shown + " " + why,
                 "could not recognise file format (ascii, single or double) for %s\n", shown);
  }
  const std::string reason = open_error != 0 ? std::strerror(open_error) : "its gzip stream is damaged at its start";
  fail_because(kStatusInputUnusable, name.shown + ": " + reason, "could not open input file %s\n", shown);
}

// Opening an output that is the input itself (the same path, a hard or
// symbolic link to it) would empty the input before it is read; it counts as
// an output that cannot be opened. Sets `why` to the reason when it is not
// opened.
FilePtr open_output_file(const RunSettings& settings, const FileName& output, const char* mode, const char*& why) {
  if (!settings.input_is_standard_input && same_file(settings.input, output)) {
    why = "it is the input grid";
    return nullptr;
  }
  errno = 0;
  FilePtr file(settings.output_is_standard_output ? open_standard_stream(1, mode) : open_file(output, mode));
  if (!file) why = errno != 0 ? std::strerror(errno) : "it cannot be created";
  // The writers buffer the output in blocks themselves (kOutputBlockBytes):
  // without a buffer of its own the stream writes each block in one call.
  if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

// Opens the output. In the older form it asks for another name while that
// fails; an empty reply, or the end of standard input, ends the run. In the
// form for scripts a failure ends the run with its reason.
// A gzip output (its name ends in .gz) is opened in binary mode whatever its
// format: its compressed bytes must reach the file as they are.
FilePtr open_output(const RunSettings& settings, FileName& output) {
  while (true) {
    const bool gzip = names_gzip_file(output.shown) && !settings.output_is_standard_output;
    const char* mode = gzip ? "wb" : output_opening_mode(settings.output_format);
    const char* why = "";
    FilePtr file = open_output_file(settings, output, mode, why);
    if (file) return file;
    if (!settings.ask_for_output_name)
      fail(kStatusUsage, "error opening output grid %s: %s\n", output.shown.c_str(), why);
    // Contract (docs/cellscale.1, Output name): " \r\n" on every platform.
    say("error opening output grid %s \r\n", output.shown.c_str());
    warn_because(output.shown + ": " + why);
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

// The factor given, or the reply to the prompt for it.
double take_factor(const RunSettings& settings) {
  if (settings.factor) return *settings.factor;
  say("\nfactor : ");
  const double factor = read_reply_number(1.0);
  say("\n");
  return factor;
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

// fail_keeping_output with the reason after the message (fail_because).
[[noreturn, gnu::format(printf, 4, 5)]] void fail_keeping_output_because(GridWriter& writer, int status,
                                                                         const std::string& reason,
                                                                         const char* format, ...) {
  writer.flush();
  writer.output_blocks().give_back_unused_room();
  std::va_list arguments;
  va_start(arguments, format);
  vfail_because(status, reason, format, arguments);  // never returns, so no va_end
}

// Where a text row stopped at text that begins no number: the byte, as it
// shows in an editor, and where it stands in the text; a comma is most
// often the decimal comma of a locale that writes 2,5.
std::string stop_reason(const RowFailure& failure, const std::string& input_name) {
  const int byte = failure.stop_byte;
  char shown[16];
  if (byte > ' ' && byte < 0x7F) {
    std::snprintf(shown, sizeof shown, "'%c'", byte);
  } else {
    std::snprintf(shown, sizeof shown, "byte 0x%02X", static_cast<unsigned>(byte));
  }
  std::string reason = input_name + ": row " + std::to_string(failure.row) + " stops at " + shown + ", byte " +
                       std::to_string(failure.stop_offset + 1) + " of its text, which begins no number";
  if (byte == ',') reason += ": a decimal comma? A grid's numbers are written with a point (2.5)";
  return reason;
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

// The one place where a failure among the rows is reported. A write of
// blocks gathered or compressed that failed comes first, being in an
// earlier row or the same one: then its row and column are reported. The
// dots show the rows before the failure.
[[noreturn]] void fail_rows(RowFailure failure, ProgressDots& dots, GridWriter& writer, FormatName output_format,
                            const char* input_name, const char* output_name) {
  if (const std::optional<WritePlace> failed = writer.output_blocks().wait()) {
    failure = {.reading = false, .row = failed->row, .failed_column = failed->column};
  }
  dots.show_up_to(failure.reading ? dots.rows_written() : failure.row - 1);
  const int row = static_cast<int>(failure.row);
  if (failure.reading && failure.stop_byte >= 0) {
    fail_keeping_output_because(writer, kStatusRowNotRead, stop_reason(failure, input_name),
                                "error reading from %s in row %d (%d values read)\n", input_name, row,
                                static_cast<int>(failure.values_read));
  }
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

int run_scaling(RunSettings settings) {
  const FileName& input_file_name = settings.input;
  FileName& output_file_name = settings.output;
  const FormatName output_format = settings.output_format;

  OpenedInput input = open_and_recognise_input(settings);
  FilePtr output_file = open_output(settings, output_file_name);
  if (settings.output_opened != nullptr) *settings.output_opened = true;
  const bool input_never_waits = input.never_waits;
  const FormatName input_format = input.format;
  const std::unique_ptr<GridReader> reader = make_grid_reader(input.format, std::move(input.file));
  const std::unique_ptr<GridWriter> writer =
      make_grid_writer(output_format, std::move(output_file),
                       names_gzip_file(output_file_name.shown) && !settings.output_is_standard_output,
                       settings.text_digits);
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
  if (settings.warn_of_losses) {
    const std::string warnings = output_format == FormatName::ascii_text
                                     ? text_header_warnings(header)
                                     : binary_nodata_warning(header, output_format, output_file_name.shown);
    warn("%s", warnings.c_str());
  }

  const std::optional<std::int32_t> columns = column_count(header);
  if (!columns || !writer->prepare_rows(header, *columns)) {
    fail_keeping_output(*writer, kStatusBadHeader, "invalid number of columns in %s\n", input_name);
  }
  const std::optional<std::int64_t> rows = row_count(header);
  if (!rows) fail_keeping_output(*writer, kStatusBadHeader, "invalid number of rows in %s\n", input_name);
  const std::uint64_t cells = static_cast<std::uint64_t>(*rows) * static_cast<std::uint64_t>(*columns);
  // The output's room on the disk is taken ahead only where the input can
  // hold the cells its header promises: a header that promises more would
  // take room that no row fills. Standard output is left as it is.
  if (reader->can_hold_cells(cells) && !settings.output_is_standard_output) writer->reserve_room(cells);

  const double factor = take_factor(settings);

  const double nodata = header.nodata_value();
  const int processors = usable_processors();
  OutputBlocks& blocks = writer->output_blocks();
  std::unique_ptr<CompressingWriter> compressing;
  if (blocks.compressed()) {
    compressing =
        CompressingWriter::start(blocks.file(), compressing_workers(cells, processors), blocks.crlf_lines());
    if (compressing) blocks.write_later(*compressing);
  }
  // Blocks gathered would hold back what an input that pauses delivered.
  if (!input_never_waits) blocks.write_at_once();
  ProgressDots dots(blocks, *columns, settings.dots);
  CellStats stats;
  stats.reset(nodata);
  const bool text_output = output_format == FormatName::ascii_text;
  // A text output has no statistics block: its cells are counted only when
  // the statistics are asked for.
  const bool text_statistics = text_output && settings.report_statistics;
  BatchWriter batch_writer(*writer, text_output && !text_statistics ? nullptr : &stats, *columns, cells, text_output);
  const GridToScale grid{.columns = *columns,
                         .rows = *rows,
                         .work = {.nodata = nodata,
                                  .factor = factor,
                                  .columns = static_cast<std::size_t>(*columns),
                                  .format_text = text_output,
                                  .digits = settings.text_digits,
                                  .scale_for_statistics = text_statistics},
                         .workers = cell_workers(input_format, output_format, cells, processors)};
  std::uint64_t used = 0;
  const auto show_rows = [&dots](std::int64_t rows_written) { dots.rows_written(rows_written); };
  if (const std::optional<RowFailure> failure = scale_grid(*reader, batch_writer, grid, show_rows, used)) {
    fail_rows(*failure, dots, *writer, output_format, input_name, output_name);
  }
  // A gzip input's damage may show only in the check at the end of the member
  // that holds the last row, after its cells came out: it fails that row's
  // read, all its cells read.
  if (!reader->input_intact_through(used)) {
    fail_rows({.reading = true, .row = *rows, .values_read = *columns}, dots, *writer, output_format, input_name,
              output_name);
  }
  if (const std::optional<WritePlace> failed = blocks.wait()) {
    fail_rows({.reading = false, .row = failed->row, .failed_column = failed->column}, dots, *writer, output_format,
              input_name, output_name);
  }
  dots.show_up_to(dots.rows_written());
  dots.end_line();
  const CellStats::Summary statistics = stats.finish();
  put_statistics(header, statistics);
  if (!writer->finish(header)) {
    fail_keeping_output(*writer, kStatusStatisticsNotWritten, "error writing into %s \n", output_name);
  }
  if (!settings.input_is_standard_input && !settings.output_is_standard_output) {
    copy_projection_file(input_file_name, output_file_name);
  }
  if (settings.report_statistics && settings.kept_statistics != nullptr) {
    *settings.kept_statistics = statistics_json(statistics, settings.input.shown);
  } else if (settings.report_statistics) {
    std::FILE* const report = settings.output_is_standard_output ? stderr : stdout;
    const std::string json = statistics_json(statistics);
    if (std::fputs(json.c_str(), report) < 0 || std::fflush(report) != 0) {
      fail(kStatusStatisticsNotWritten, "error writing the statistics\n");
    }
  }
  return 0;
}

}  // namespace cellscale
