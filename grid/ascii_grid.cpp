#include "grid/ascii_grid.h"

#include <charconv>
#include <cstring>
#include <vector>

#include "grid/cell_format.h"
#include "grid/number_text.h"

namespace cellscale {

namespace {

constexpr std::size_t kTextBlock = 1 << 20;

// Text of the input, read in large blocks. A number or word cut by the end
// of a block is scanned again once the next block is there; the block grows
// only for a single token longer than itself.
class TextSource {
 public:
  explicit TextSource(FilePtr file) : file_(std::move(file)), buffer_(kTextBlock) {}

  bool next_number(double& value) {
    return next([&](const char* first, const char* last, bool at_end) {
      return scan_number(first, last, at_end, value);
    });
  }

  bool next_word() {
    return next([&](const char* first, const char* last, bool at_end) {
      const char* word = nullptr;
      return scan_word(first, last, at_end, word);
    });
  }

 private:
  template <typename Scan>
  bool next(Scan scan) {
    while (true) {
      const ScanResult result = scan(buffer_.data() + position_, buffer_.data() + end_, at_end_);
      position_ = static_cast<std::size_t>(result.next - buffer_.data());
      if (result.status == ScanStatus::ok) return true;
      if (result.status == ScanStatus::no_number || !refill()) return false;
    }
  }

  // Keeps the unread text, adds the next block behind it. False on a read
  // error: text that did not arrive is not guessed at.
  bool refill() {
    const std::size_t kept = end_ - position_;
    std::memmove(buffer_.data(), buffer_.data() + position_, kept);
    position_ = 0;
    end_ = kept;
    if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
    const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_.get());
    end_ += got;
    if (got == 0) {
      if (std::ferror(file_.get())) return false;
      at_end_ = std::feof(file_.get()) != 0;
    }
    return true;
  }

  FilePtr file_;
  std::vector<char> buffer_;
  std::size_t position_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
};

class AsciiGridReader final : public GridReader {
 public:
  explicit AsciiGridReader(FilePtr input) : text_(std::move(input)) {}

  bool read_header(GridHeader& header) override {
    for (int slot = kNcols; slot <= kNodataValue; ++slot) {
      if (!text_.next_word() || !text_.next_number(header.slot[slot])) return false;
    }
    return true;
  }

  bool prepare_rows(std::int32_t) override { return true; }

  RowRead read_row(RowBuffer& row) override {
    double* cells = row.cells();
    const std::int32_t columns = row.columns();
    for (std::int32_t c = 0; c < columns; ++c) {
      if (!text_.next_number(cells[c])) return {false, c};
    }
    return {true, columns};
  }

 private:
  TextSource text_;
};

class TextGridWriter final : public GridWriter {
 public:
  explicit TextGridWriter(FilePtr output) : file_(std::move(output)), buffer_(kTextBlock) {}

  bool write_header(const GridHeader& header) override {
    const std::string text = format_text_header(header);
    return std::fwrite(text.data(), 1, text.size(), file_.get()) == text.size();
  }

  bool prepare_rows(const GridHeader& header, std::int32_t whole_columns) override {
    // Cells are separated by tabs; the last one ends the line only when ncols
    // is a whole number. With a fractional ncols every cell is followed by a
    // tab and no line ends.
    last_separator_ = header.ncols() > whole_columns ? '\t' : '\n';
    return true;
  }

  RowWrite write_row(const RowBuffer& row) override {
    const double* cells = row.cells();
    const std::int32_t columns = row.columns();
    char* out = buffer_.data() + used_;
    char* const room_end = buffer_.data() + buffer_.size() - (kMaxCellTextLength + 1);
    for (std::int32_t c = 0; c < columns; ++c) {
      if (out > room_end) {
        used_ = static_cast<std::size_t>(out - buffer_.data());
        if (!hand_over()) return {false, c + 1};
        out = buffer_.data();
      }
      out = format_cell(out, cells[c]);
      *out++ = c + 1 < columns ? '\t' : last_separator_;
    }
    used_ = static_cast<std::size_t>(out - buffer_.data());
    // Each row is handed to the file when it is complete, so that an early
    // end of the run leaves every finished row in the output.
    if (!hand_over()) return {false, columns};
    return {true, 0};
  }

  bool finish(GridHeader&, CellStats&) override { return hand_over() && close_output(std::move(file_)); }

 private:
  bool hand_over() {
    const std::size_t written = std::fwrite(buffer_.data(), 1, used_, file_.get());
    const bool complete = written == used_ && std::ferror(file_.get()) == 0;
    used_ = 0;
    return complete;
  }

  FilePtr file_;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
  char last_separator_ = '\n';
};

char* append(char* out, const char* text) {
  const std::size_t length = std::strlen(text);
  std::memcpy(out, text, length);
  return out + length;
}

}  // namespace

std::string format_text_header(const GridHeader& header) {
  char text[6 * 40];
  char* out = text;
  out = append(out, "ncols\t");
  out = std::to_chars(out, out + 24, truncate_to_int64(header.slot[kNcols])).ptr;
  out = append(out, "\nnrows\t");
  out = std::to_chars(out, out + 24, truncate_to_int64(header.slot[kNrows])).ptr;
  const char* const keywords[] = {"\nxllcorner\t", "\nyllcorner\t", "\ncellsize\t", "\nnodata_value\t"};
  for (int i = 0; i < 4; ++i) {
    out = append(out, keywords[i]);
    out = format_cell(out, header.slot[kXllcorner + i]);
  }
  *out++ = '\n';
  return std::string(text, out);
}

std::unique_ptr<GridReader> make_ascii_grid_reader(FilePtr input) {
  return std::make_unique<AsciiGridReader>(std::move(input));
}

std::unique_ptr<GridWriter> make_text_grid_writer(FilePtr output) {
  return std::make_unique<TextGridWriter>(std::move(output));
}

}  // namespace cellscale
