#include "formats/ascii_grid.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <vector>

#include "files/output_blocks.h"
#include "numbers/cell_format.h"
#include "numbers/number_text.h"

namespace cellscale {

namespace {

// How a piece of cell text is cut (TextSource::next_piece).
struct TextPiece {
  // The piece's last number ends where the piece ends, as at the end of the
  // input: scan it with at_end set.
  bool at_end = false;
  // No piece follows: the input ended or could not be read further, or the
  // piece holds text that begins no number, where the cells end.
  bool last = false;
  // Where the piece begins in the input (InputFile::position).
  std::uint64_t start = 0;
  // The piece is the `size` bytes from `first` on in the vector it was read
  // into.
  std::size_t first = 0;
  std::size_t size = 0;
  // For a piece that stands for one number too long to keep: the bytes of
  // the input it took (InputPiece::long_number_bytes).
  std::uint64_t long_number_bytes = 0;
};

// A number or word whose text reaches this far without its end is read as
// it streams in, and not kept whole: a piece's worth. So the text held stays
// within the buffer, however long a token is.
constexpr std::size_t kLongTokenBytes = kPieceTextBytes;

// A word too long to keep, skipped as it streams in: the words of the header
// are not checked.
class LongWordScan {
 public:
  const char* take(const char* first, const char* last) {
    const char* const end = std::find_if(first, last, is_scan_space);
    whole_ = end != last;
    return end;
  }
  bool whole() const { return whole_; }

 private:
  bool whole_ = false;
};

// Text of the input, read in large buffers. A number or word cut by the end
// of a buffer is scanned again once the next buffer is there, and one longer
// than kLongTokenBytes is read as it streams in, its text dropped as it is
// taken (LongNumberScan); so the buffer keeps its size. The text in the
// buffer is always followed by a NUL, which no number or blank continues
// into, so that the common numbers are read without looking where the text
// ends.
class TextSource {
 public:
  explicit TextSource(InputFile file) : file_(std::move(file)), buffer_(kTextBufferBytes + 1) {}

  bool next_number(double& value) {
    return next([&](const char* first, const char* last,
                    bool at_end) { return scan_number(first, last, at_end, value); },
                [&] {
                  LongNumberScan number;
                  return stream(number) && number.value(value) == ScanStatus::ok;
                });
  }

  bool next_word() {
    return next(
        [&](const char* first, const char* last, bool at_end) {
          const char* word = nullptr;
          return scan_word(first, last, at_end, word);
        },
        [&] {
          LongWordScan word;
          return stream(word);
        });
  }

  // Whether next_piece would wait for text that has not arrived: no blank
  // ends the text it holds, and the input is quiet.
  bool would_wait() const {
    return !at_end_ && !read_failed_ && !has_blank(buffer_.data() + position_, end_ - position_) &&
           file_.would_wait();
  }

  // The bytes of the input read up to the last number taken, and the one
  // after it that ended it: a number is not whole until its end is seen.
  std::uint64_t used() const {
    const bool end_seen =
        position_ > 0 && position_ < end_ && !is_scan_space(buffer_[position_ - 1]);  // else past its blank
    return offset_of(position_) + (end_seen ? 1 : 0);
  }

  bool intact_through(std::uint64_t used) { return file_.intact_through(used); }

  std::uint64_t plain_file_size() const { return file_.plain_file_size(); }

  // The text from here on in pieces (GridReader::read_piece). A piece
  // ends just after the last blank of its `size` bytes; text without a blank
  // is cut after the last number that ends inside it, found by scanning it
  // here; a number longer than the piece is a piece of its own
  // (long_number_piece). After a failed read the rest of the text is the last piece, its
  // last number, which more text might have lengthened, left unread.
  //
  // Of the piece and the text after it in the buffer, the shorter is copied.
  // The text is read for a piece as far as its `size` bytes (a quarter of
  // the buffer at least), so that after a piece of the usual size there are
  // only the few bytes of a number's beginning: they go into `piece`'s
  // memory, which becomes the buffer, and the buffer goes out as the piece.
  TextPiece next_piece(std::vector<char>& piece, std::size_t size) {
    TextPiece cut_as;
    std::size_t cut = 0;
    while (true) {
      // More text is read while the piece is short, unless the text that
      // has arrived can be cut and more would have to be waited for: the
      // cells that came through a pipe are worked on while it is quiet.
      if (end_ - position_ < size && !at_end_ && !read_failed_ &&
          !(has_blank(buffer_.data() + position_, end_ - position_) && file_.would_wait()) && !refill(size)) {
        read_failed_ = true;
      }
      const std::size_t available = end_ - position_;
      const char* const first = buffer_.data() + position_;
      if (read_failed_ || (at_end_ && available <= size)) {
        cut = available;
        cut_as = {at_end_ && !read_failed_, true};
        break;
      }
      const char* const window_end = first + std::min(available, size);
      const char* blank = window_end;
      while (blank > first && !is_scan_space(blank[-1])) --blank;
      if (blank > first) {
        cut = static_cast<std::size_t>(blank - first);
        break;
      }
      if (available < size && !at_end_) continue;
      const ScanResult numbers = scan_numbers_in(first, window_end);
      if (numbers.status == ScanStatus::no_number) {
        cut = static_cast<std::size_t>(window_end - first);
        cut_as = {false, true};
        break;
      }
      if (numbers.next > first) {
        cut = static_cast<std::size_t>(numbers.next - first);
        cut_as = {true, false};
        break;
      }
      return long_number_piece(piece);  // one number longer than the piece
    }
    cut_as.start = offset_of(position_);
    cut_as.size = cut;
    const std::size_t rest = end_ - (position_ + cut);
    if (rest > cut) {
      // A vector is never shortened: one that became the buffer again need
      // not be filled anew.
      if (piece.size() < cut + 1) piece.resize(cut + 1);
      std::memcpy(piece.data(), buffer_.data() + position_, cut);
      piece[cut] = '\0';
      position_ += cut;
      return cut_as;
    }
    cut_as.first = position_;
    piece.resize(std::max({piece.size(), kTextBufferBytes + 1, rest + 1}));
    std::memcpy(piece.data(), buffer_.data() + position_ + cut, rest);
    piece.swap(buffer_);
    piece[cut_as.first + cut] = '\0';
    position_ = 0;
    end_ = rest;
    buffer_[end_] = '\0';
    return cut_as;
  }

 private:
  // Where the buffer's byte at `position` lies in the input.
  std::uint64_t offset_of(std::size_t position) const { return file_.position() - (end_ - position); }

  static bool has_blank(const char* text, std::size_t size) {
    return std::any_of(text, text + size, [](char c) { return is_scan_space(c); });
  }

  // Scans the numbers of blankless text up to `last` as if more text
  // followed: stops at text that begins no number, or where a number reaches
  // `last` (truncated, `next` being where it begins).
  static ScanResult scan_numbers_in(const char* first, const char* last) {
    while (true) {
      double value = 0;
      const ScanResult result = scan_number(first, last, false, value);
      if (result.status != ScanStatus::ok) return result;
      first = result.next;
    }
  }

  // The next token, scanned in the buffer; one that is cut by the buffer's
  // end is scanned again with more text, or, once it is kLongTokenBytes
  // long, read by `stream_long` as it streams in.
  template <typename Scan, typename StreamLong>
  bool next(Scan scan, StreamLong stream_long) {
    while (true) {
      const ScanResult result = scan(buffer_.data() + position_, buffer_.data() + end_, at_end_);
      position_ = static_cast<std::size_t>(result.next - buffer_.data());  // where a cut token begins
      if (result.status == ScanStatus::ok) return true;
      if (result.status == ScanStatus::no_number) return false;
      if (end_ - position_ >= kLongTokenBytes) return stream_long();
      if (!refill()) return false;
    }
  }

  // Has `token` (LongNumberScan, LongWordScan) take the text from position_
  // on until it is whole or the input ends, dropping what it took as the
  // next buffer is read: only its last character is kept, which used()
  // looks at. False when a read failed first: what the text that did not
  // arrive would have made of it is not guessed at.
  template <typename Token>
  bool stream(Token& token) {
    while (true) {
      const char* const text = buffer_.data();
      position_ = static_cast<std::size_t>(token.take(text + position_, text + end_) - text);
      if (token.whole() || position_ < end_ || at_end_) return true;
      position_ = end_ - 1;
      if (!refill()) return false;
      ++position_;
    }
  }

  // The piece for a number at position_ longer than a piece, read as it
  // streams in: the shortest text of its value, which the cells' scan reads
  // back to the same double, standing for the number's bytes. A failed read
  // leaves the number unread, as the last number of a failed read is left
  // (next_piece); a number that turns out to be none (a long start of
  // "infinity" and then another letter) gives text that begins no number.
  TextPiece long_number_piece(std::vector<char>& piece) {
    TextPiece cut_as;
    cut_as.start = offset_of(position_);
    LongNumberScan number;
    double value = 0;
    char text[32] = "";
    std::size_t size = 0;
    if (!stream(number)) {
      read_failed_ = true;
      cut_as.last = true;
    } else if (number.value(value) != ScanStatus::ok) {
      text[size++] = '.';
      cut_as.last = true;
    } else {
      size = static_cast<std::size_t>(std::to_chars(text, text + sizeof text, value).ptr - text);
      const bool end_seen = position_ < end_;  // the byte that ended it
      cut_as.at_end = true;
      cut_as.last = !end_seen && at_end_;
      cut_as.long_number_bytes = number.taken() + (end_seen ? 1 : 0);
    }
    if (piece.size() < size + 1) piece.resize(size + 1);
    std::memcpy(piece.data(), text, size);
    piece[size] = '\0';
    cut_as.size = size;
    return cut_as;
  }

  // Keeps the unread text, adds the next buffer behind it (as far as
  // `wanted` bytes in all, if that is more than a quarter buffer). False on a
  // read error: text that did not arrive is not guessed at.
  bool refill(std::size_t wanted = std::numeric_limits<std::size_t>::max()) {
    const std::size_t kept = end_ - position_;
    std::memmove(buffer_.data(), buffer_.data() + position_, kept);
    position_ = 0;
    end_ = kept;
    if (end_ == capacity()) buffer_.resize(capacity() * 2 + 1);
    const std::size_t room = capacity() - end_;
    const std::size_t more = wanted > kept ? std::max(wanted - kept, capacity() / 4) : room;
    const std::size_t got = file_.read_some(buffer_.data() + end_, std::min(room, more));
    end_ += got;
    buffer_[end_] = '\0';
    if (got == 0) {
      if (file_.failed()) return false;
      at_end_ = file_.ended();
    }
    return true;
  }

  std::size_t capacity() const { return buffer_.size() - 1; }

  InputFile file_;
  std::vector<char> buffer_;  // the text, then the NUL at end_
  std::size_t position_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
  bool read_failed_ = false;
};

class AsciiGridReader final : public GridReader {
 public:
  explicit AsciiGridReader(InputFile input) : text_(std::move(input)) {}

  bool read_header(GridHeader& header) override {
    for (std::size_t slot = kNcols; slot <= kNodataValue; ++slot) {
      if (!text_.next_word() || !text_.next_number(header.slot[slot])) return false;
    }
    return true;
  }

  InputPiece read_piece(PieceRoom& room, std::size_t, std::size_t text_bytes) override {
    const TextPiece cut = text_.next_piece(room.text, text_bytes);
    InputPiece piece;
    piece.text = room.text.data() + cut.first;
    piece.text_size = cut.size;
    piece.text_at_end = cut.at_end;
    piece.start = cut.start;
    piece.last = cut.last;
    piece.long_number_bytes = cut.long_number_bytes;
    return piece;
  }

  bool next_read_would_wait() const override { return text_.would_wait(); }

  std::uint64_t bytes_used() const override { return text_.used(); }

  std::uint64_t bytes_used(const InputPiece& piece, std::size_t cells) const override {
    if (piece.long_number_bytes > 0) return piece.start + (cells > 0 ? piece.long_number_bytes : 0);
    return piece.start + cell_text_used(piece.text, piece.text_size, piece.text_at_end, cells);
  }

  // Each cell takes a character at least, and each but the last a blank after it.
  bool can_hold_cells(std::uint64_t cells) const override {
    const std::uint64_t size = text_.plain_file_size();
    const std::uint64_t left = size > text_.used() ? size - text_.used() : 0;
    return cells == 0 || (cells <= left && 2 * cells - 1 <= left);
  }

  bool input_intact_through(std::uint64_t used) override { return text_.intact_through(used); }

 private:
  TextSource text_;
};

// The header and the cell text are buffered in a block, and the block's
// first kOutputBlockBytes are written to the file as soon as more than that
// is buffered: after the cell whose text goes past them.
class AsciiGridWriter final : public GridWriter {
 public:
  AsciiGridWriter(FilePtr output, bool gzip, int digits) : blocks_(std::move(output)), digits_(digits) {
    // A text file written in text mode holds CR LF line ends on Windows:
    // its compressed bytes do too.
    if (gzip) (void)blocks_.compress(0, kCrlfLines);
  }

  bool write_header(const GridHeader& header) override {
    const std::string text = format_text_header(header, digits_);
    if (!blocks_ || used_ + text.size() > OutputBlocks::kBlockRoom) return false;
    std::memcpy(blocks_.block() + used_, text.data(), text.size());
    used_ += text.size();
    if (used_ > kOutputBlockBytes) return write_block({1, 0});
    return true;
  }

  bool prepare_rows(const GridHeader& header, std::int32_t columns) override {
    // Cells are separated by tabs; the last one ends the line only when ncols
    // is a whole number. Contract (docs/cellscale.1, Sizes): with a fractional
    // ncols every cell is followed by a tab and no line ends.
    last_separator_ = header.ncols() > columns ? '\t' : '\n';
    columns_ = columns;
    return static_cast<bool>(blocks_);
  }

  bool write_cells(const CellsToWrite& cells, WritePlace& failed) override {
    const std::int64_t row_cells = row_cells_ + static_cast<std::int64_t>(cells.count);
    const std::uint32_t* const row_ends = cells.row_ends;
    const std::uint32_t* const rows_end = row_ends + row_cells / columns_;
    const std::uint32_t* next_row_end = row_ends;
    std::size_t done = 0;
    while (done < cells.text_size) {
      const std::size_t limit = done + (kOutputBlockBytes - used_);  // the text's byte that fills the block
      const std::size_t part = std::min(cells.text_size - done, OutputBlocks::kBlockRoom - used_);
      char* const out = blocks_.block() + used_;
      copy_into_block(out, cells.text + done, part);
      // The tab after each row's last cell becomes the row's ending.
      for (; next_row_end != rows_end && *next_row_end <= done + part; ++next_row_end) {
        out[*next_row_end - 1 - done] = last_separator_;
      }
      done += part;
      used_ += part;
      if (used_ > kOutputBlockBytes) {
        // The row of the cell whose text goes past the block's first
        // kOutputBlockBytes.
        const auto rows_before = std::upper_bound(row_ends, rows_end, limit) - row_ends;
        const WritePlace place{rows_done_ + rows_before + 1, 0};
        if (!write_block(place)) {
          failed = place;
          return false;
        }
      }
    }
    rows_done_ += row_cells / columns_;
    row_cells_ = static_cast<std::int32_t>(row_cells % columns_);
    return true;
  }

  bool flush() override {
    if (!blocks_.file()) return false;
    const std::size_t used = used_;
    used_ = 0;
    if (blocks_.wait()) return false;  // a block written later failed: nothing more is written
    return blocks_.write_now(blocks_.block(), used);
  }

  OutputBlocks& output_blocks() override { return blocks_; }

  // The room the cells did not fill is given back before the file closes.
  bool finish(const GridHeader&) override {
    if (!flush()) return false;
    blocks_.give_back_unused_room();
    return close_output(blocks_.take_file());
  }

  // A text output's size is known only once it is written: the room of
  // kReservedCellBytes a cell is taken ahead, and the writes take what more
  // the cells need as they go.
  void reserve_room(std::uint64_t cells) override {
    if (cells <= std::numeric_limits<std::uint64_t>::max() / kReservedCellBytes - 1) {
      blocks_.reserve_room(used_ + cells * kReservedCellBytes);
    }
  }

 private:
  // A nodata cell of -9999 and its tab: most cells take more, so that
  // little room is given back.
  static constexpr std::uint64_t kReservedCellBytes = 6;
#ifdef _WIN32
  static constexpr bool kCrlfLines = true;
#else
  static constexpr bool kCrlfLines = false;
#endif

  // Writes the block's first kOutputBlockBytes to the file and keeps the
  // rest, or drops it all when the write failed.
  bool write_block(const WritePlace& place) {
    if (!blocks_.write(kOutputBlockBytes, used_, place)) {
      used_ = 0;
      return false;
    }
    used_ -= kOutputBlockBytes;
    return true;
  }

  OutputBlocks blocks_;
  const int digits_;
  std::size_t used_ = 0;
  std::int32_t columns_ = 0;
  std::int32_t row_cells_ = 0;  // cells of the row being written already taken
  std::int64_t rows_done_ = 0;  // rows whose cells have all been taken
  char last_separator_ = '\n';
};

char* append(char* out, const char* text) {
  const std::size_t length = std::strlen(text);
  std::memcpy(out, text, length);
  return out + length;
}

}  // namespace

std::string format_text_header(const GridHeader& header, int digits) {
  char text[6 * 40];
  char* out = text;
  out = append(out, "ncols\t");
  out = std::to_chars(out, out + 24, truncate_to_int64(header.slot[kNcols])).ptr;
  out = append(out, "\nnrows\t");
  out = std::to_chars(out, out + 24, truncate_to_int64(header.slot[kNrows])).ptr;
  const char* const keywords[] = {"\nxllcorner\t", "\nyllcorner\t", "\ncellsize\t", "\nnodata_value\t"};
  for (std::size_t i = 0; i < 4; ++i) {
    out = append(out, keywords[i]);
    out = format_cell_with_digits(out, header.slot[kXllcorner + i], digits);
  }
  *out++ = '\n';
  return std::string(text, out);
}

ScannedCells scan_cell_text(const char* text, std::size_t size, bool at_end, double* values) {
  const char* p = text;
  const char* const last = text + size;
  const char* const readable_end = last + 1;  // the NUL
  ScannedCells scanned;
  while (true) {
    // Room for size + 1 values, as many as a number a character could give.
    const PlainDecimalRun run =
        scan_short_plain_decimals(p, readable_end, values + scanned.count, size + 1 - scanned.count);
    p = run.next;
    scanned.count += run.count;
    while (is_scan_space(*p)) ++p;  // the NUL after the text ends this
    if (p == last) return scanned;
    const char* end = scan_plain_decimal(p, readable_end, values[scanned.count]);
    if (end != nullptr) {
      ++end;  // past the blank that ends a plain decimal
    } else {
      const ScanResult result = scan_number(p, last, at_end, values[scanned.count]);
      if (result.status != ScanStatus::ok) {
        scanned.broken = result.status == ScanStatus::no_number;
        return scanned;
      }
      end = result.next;
    }
    ++scanned.count;
    p = end;
  }
}

namespace {

// The end of the first `count` numbers of the text, or of as many as it holds.
const char* after_numbers(const char* text, const char* last, bool at_end, std::size_t count) {
  const char* p = text;
  for (std::size_t i = 0; i < count; ++i) {
    while (p != last && is_scan_space(*p)) ++p;
    double value = 0;
    const ScanResult result = scan_number(p, last, at_end, value);
    if (result.status != ScanStatus::ok) break;
    p = result.next;
  }
  return p;
}

}  // namespace

std::size_t cell_text_used(const char* text, std::size_t size, bool at_end, std::size_t count) {
  const char* const last = text + size;
  const char* const p = after_numbers(text, last, at_end, count);
  return static_cast<std::size_t>(p - text) + (p != last ? 1 : 0);
}

std::size_t cell_text_stop(const char* text, std::size_t size, bool at_end, std::size_t count) {
  const char* const last = text + size;
  const char* p = after_numbers(text, last, at_end, count);
  while (p != last && is_scan_space(*p)) ++p;
  return static_cast<std::size_t>(p - text);
}

std::unique_ptr<GridReader> make_ascii_grid_reader(InputFile input) {
  return std::make_unique<AsciiGridReader>(std::move(input));
}

std::unique_ptr<GridWriter> make_ascii_grid_writer(FilePtr output, bool gzip, int digits) {
  return std::make_unique<AsciiGridWriter>(std::move(output), gzip, digits);
}

}  // namespace cellscale
