#include "grid/binary_grid.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "grid/output_blocks.h"
#include "grid/row_buffer.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace cellscale {

namespace {

constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

// The files are little-endian: on a big-endian host the bytes of every cell
// are reversed in place, in the rows read and before a block is written. On
// a little-endian host the blocks are the file's bytes as they are.
template <typename Stored>
void reverse_each(Stored* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(values + i);
    std::reverse(bytes, bytes + sizeof(Stored));
  }
}

// Rows are read several at a time, as many whole rows as a buffer of about
// this size holds (one row at least), straight into the buffer, where the run
// takes them from.
constexpr std::size_t kRowBufferBytes = std::size_t{1} << 16;

class BinaryGridReader final : public GridReader {
 public:
  BinaryGridReader(BinaryWidth width, InputFile input) : width_(width), file_(std::move(input)) {}

  bool read_header(GridHeader& header) override {
    unsigned char bytes[header_bytes(BinaryWidth::double_precision)];
    const std::size_t size = static_cast<std::size_t>(width_);
    if (file_.read(bytes, size * kHeaderSlots) != size * kHeaderSlots) return false;
    for (std::size_t slot = 1; slot <= kHeaderSlots; ++slot) {
      header.slot[slot] = decode_binary_value(width_, bytes + size * (slot - 1));
    }
    first_cell_at_ = file_.position();
    return true;
  }

  std::unique_ptr<CellsAgain> cells_again() const override {
    const int descriptor = file_.plain_file_descriptor();
    if (descriptor < 0) return nullptr;
    return std::make_unique<CellsAgain>(descriptor, width_, first_cell_at_);
  }

  bool can_hold_cells(std::uint64_t cells) const override {
    const std::uint64_t size = file_.plain_file_size();
    return size >= first_cell_at_ && (size - first_cell_at_) / static_cast<std::uint64_t>(width_) >= cells;
  }

  bool prepare_rows(std::int32_t columns) override {
    columns_ = static_cast<std::size_t>(columns);
    const std::size_t row_bytes = columns_ * static_cast<std::size_t>(width_);
    rows_per_buffer_ = row_bytes == 0 ? 1 : std::max<std::size_t>(1, kRowBufferBytes / row_bytes);
    const std::size_t cells = std::max<std::size_t>(1, rows_per_buffer_ * columns_);
    if (width_ == BinaryWidth::double_precision) {
      doubles_ = ZeroedArray<double>::allocate(cells);
      return static_cast<bool>(doubles_);
    }
    singles_ = ZeroedArray<float>::allocate(cells);
    return static_cast<bool>(singles_);
  }

  void interrupt_reading() override { file_.interrupt(); }

  // The bytes read, less those of the buffer not yet given in rows.
  std::uint64_t bytes_used() const override {
    return file_.position() - (filled_ - next_row_ * columns_ * static_cast<std::size_t>(width_));
  }

  bool input_intact_through(std::uint64_t used) override { return file_.intact_through(used); }

  bool next_row_would_wait() const override { return next_row_ == rows_in_buffer_ && !ended_ && file_.would_wait(); }

  RowRead read_row() override {
    if (next_row_ == rows_in_buffer_) {
      if (ended_) return {false, partial_cells_};
      read_rows_ahead();
      if (rows_in_buffer_ == 0) return {false, partial_cells_};
    }
    const std::size_t first = next_row_ * columns_;
    ++next_row_;
    RowRead read{true, static_cast<std::int64_t>(columns_)};
    if (width_ == BinaryWidth::double_precision) {
      read.doubles = doubles_.data() + first;
    } else {
      read.singles = singles_.data() + first;
    }
    return read;
  }

 private:
  // Reads the next rows into the buffer: as many whole rows as have arrived,
  // up to a buffer's worth, waiting only until one whole row is there or the
  // input ends. The bytes of a row that came in part are kept at the buffer's
  // start for the next read. When the input ends (or a read fails) the
  // buffer's whole rows are used, and the cells of the row cut short are what
  // that row's failure reports.
  void read_rows_ahead() {
    const std::size_t size = static_cast<std::size_t>(width_);
    const std::size_t row_bytes = columns_ * size;
    if (row_bytes == 0) {
      rows_in_buffer_ = rows_per_buffer_;
      next_row_ = 0;
      return;
    }
    auto* const bytes = width_ == BinaryWidth::double_precision ? reinterpret_cast<unsigned char*>(doubles_.data())
                                                                : reinterpret_cast<unsigned char*>(singles_.data());
    const std::size_t used = rows_in_buffer_ * row_bytes;
    std::memmove(bytes, bytes + used, filled_ - used);
    filled_ -= used;
    const std::size_t buffer_bytes = rows_per_buffer_ * row_bytes;
    while (filled_ < row_bytes) {
      const std::size_t got = file_.read_some(bytes + filled_, buffer_bytes - filled_);
      if (got == 0) {
        ended_ = true;
        break;
      }
      filled_ += got;
    }
    rows_in_buffer_ = filled_ / row_bytes;
    partial_cells_ = static_cast<std::int64_t>((filled_ % row_bytes) / size);
    if constexpr (!kLittleEndianHost) {
      if (width_ == BinaryWidth::double_precision) {
        reverse_each(doubles_.data(), rows_in_buffer_ * columns_);
      } else {
        reverse_each(singles_.data(), rows_in_buffer_ * columns_);
      }
    }
    next_row_ = 0;
  }

  BinaryWidth width_;
  InputFile file_;
  std::uint64_t first_cell_at_ = 0;  // the place of the first cell in the input
  std::size_t columns_ = 0;
  std::size_t rows_per_buffer_ = 1;
  ZeroedArray<double> doubles_;
  ZeroedArray<float> singles_;
  std::size_t rows_in_buffer_ = 0;
  std::size_t next_row_ = 0;
  std::size_t filled_ = 0;  // bytes in the buffer: its rows, then part of a row
  std::int64_t partial_cells_ = 0;
  bool ended_ = false;
};

// The header and the cells are buffered in one block of kOutputBlockBytes,
// which the run fills with cells directly, and the block is written to the
// file when it is full. The header and every cell take a whole number of cell
// widths, so cells never straddle the block's end.
class BinaryGridWriter final : public GridWriter {
 public:
  // A gzip output keeps the header in a stored member, where finish
  // rewrites the statistics block.
  BinaryGridWriter(BinaryWidth width, FilePtr output, bool gzip) : width_(width), blocks_(std::move(output)) {
    if (gzip) (void)blocks_.compress(header_bytes(width), false);
  }

  bool write_header(const GridHeader& header) override {
    if (!blocks_ || used_ + header_bytes(width_) > kOutputBlockBytes) return false;
    encode_slots(header, 1, kHeaderSlots, block() + used_);
    used_ += header_bytes(width_);
    return true;
  }

  bool prepare_rows(const GridHeader&, std::int32_t columns) override {
    columns_ = columns;
    return static_cast<bool>(blocks_);
  }

  RowWrite reserve(OutputSpan& span) override {
    if (used_ == kOutputBlockBytes) {
      const std::int32_t column = std::min(row_cells_, columns_ - 1) + 1;
      const bool written = blocks_.write(used_, used_, {rows_done_ + 1, column});
      used_ = 0;
      if (!written) return {false, column};
    }
    const std::size_t size = static_cast<std::size_t>(width_);
    span = OutputSpan{};
    span.count = static_cast<std::int32_t>((kOutputBlockBytes - used_) / size);
    if (width_ == BinaryWidth::double_precision) {
      span.doubles = reinterpret_cast<double*>(block() + used_);
    } else {
      span.singles = reinterpret_cast<float*>(block() + used_);
    }
    return {true, 0};
  }

  RowWrite commit(std::int32_t count) override {
    const std::size_t size = static_cast<std::size_t>(width_);
    if constexpr (!kLittleEndianHost) {
      if (width_ == BinaryWidth::double_precision) {
        reverse_each(reinterpret_cast<double*>(block() + used_), static_cast<std::size_t>(count));
      } else {
        reverse_each(reinterpret_cast<float*>(block() + used_), static_cast<std::size_t>(count));
      }
    }
    used_ += static_cast<std::size_t>(count) * size;
    row_cells_ += count;
    if (row_cells_ == columns_) {
      row_cells_ = 0;
      ++rows_done_;
    }
    return {true, 0};
  }

  bool flush() override {
    if (!blocks_.file()) return false;
    const std::size_t used = used_;
    used_ = 0;
    if (blocks_.wait()) return false;  // a block written behind failed: nothing more is written
    return blocks_.write_now(blocks_.block(), used);
  }

  OutputBlocks& output_blocks() override { return blocks_; }

  void reserve_room(std::uint64_t cells) override {
    const auto size = static_cast<std::uint64_t>(width_);
    if (cells <= (std::numeric_limits<std::uint64_t>::max() - header_bytes(width_)) / size) {
      blocks_.reserve_room(header_bytes(width_) + cells * size);
    }
  }

  bool finish(const GridHeader& header) override {
    if (!flush()) return false;
    unsigned char bytes[header_bytes(BinaryWidth::double_precision)];
    encode_slots(header, kCount, kStandardDeviation, bytes);
    const std::size_t count = static_cast<std::size_t>(kStandardDeviation - kCount + 1);
    return blocks_.rewrite(statistics_offset(width_), bytes, count * static_cast<std::size_t>(width_)) &&
           close_output(blocks_.take_file());
  }

 private:
  // The little-endian bytes of slots first_slot to last_slot at out.
  void encode_slots(const GridHeader& header, std::size_t first_slot, std::size_t last_slot,
                    unsigned char* out) const {
    const std::size_t size = static_cast<std::size_t>(width_);
    for (std::size_t slot = first_slot; slot <= last_slot; ++slot, out += size) {
      if (width_ == BinaryWidth::double_precision) {
        const auto value = std::bit_cast<std::uint64_t>(header.slot[slot]);
        for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
      } else {
        const auto value = std::bit_cast<std::uint32_t>(static_cast<float>(header.slot[slot]));
        for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
      }
    }
  }

  unsigned char* block() { return reinterpret_cast<unsigned char*>(blocks_.block()); }

  BinaryWidth width_;
  OutputBlocks blocks_;
  std::size_t used_ = 0;
  std::int32_t columns_ = 0;
  std::int32_t row_cells_ = 0;  // cells of the row being written already committed
  std::int64_t rows_done_ = 0;  // rows whose cells have all been committed
};

}  // namespace

double decode_binary_value(BinaryWidth width, const unsigned char* bytes) {
  if (width == BinaryWidth::double_precision) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
    return std::bit_cast<double>(value);
  }
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
  return static_cast<double>(std::bit_cast<float>(value));
}

namespace {

// The wrapping sum of the bit patterns, in four sums that do not wait on
// one another.
template <typename Word, typename Value>
std::uint64_t sum_of_bits(const Value* values, std::size_t count) {
  std::uint64_t sums[4] = {};
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    for (std::size_t lane = 0; lane < 4; ++lane) sums[lane] += std::bit_cast<Word>(values[i + lane]);
  }
  for (; i < count; ++i) sums[0] += std::bit_cast<Word>(values[i]);
  return sums[0] + sums[1] + sums[2] + sums[3];
}

// Reads up to `size` bytes at `at` into `into`, however many calls it takes;
// fewer only where the file ends or a read fails.
std::size_t read_at(int descriptor, void* into, std::size_t size, std::uint64_t at) {
#ifdef _WIN32
  (void)descriptor, (void)into, (void)size, (void)at;
  return 0;
#else
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got =
        ::pread(descriptor, static_cast<char*>(into) + done, size - done, static_cast<off_t>(at + done));
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
#endif
}

}  // namespace

void CellSum::add(const double* values, std::size_t count) {
  cells += count;
  bits += sum_of_bits<std::uint64_t>(values, count);
}

void CellSum::add(const float* values, std::size_t count) {
  cells += count;
  bits += sum_of_bits<std::uint32_t>(values, count);
}

CellSum CellsAgain::read_all(std::uint64_t count, const Take& take) const {
  constexpr std::size_t kPartCells = 8192;
  const std::size_t size = static_cast<std::size_t>(width_);
  std::vector<double> cells(kPartCells);
  std::vector<float> singles(width_ == BinaryWidth::single_precision ? kPartCells : 0);
  CellSum sum;
  std::uint64_t done = 0;
  while (done < count) {
    const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(kPartCells, count - done));
    void* into = width_ == BinaryWidth::double_precision ? static_cast<void*>(cells.data()) : singles.data();
    const std::size_t got = read_at(descriptor_, into, part * size, first_cell_at_ + done * size) / size;
    if (width_ == BinaryWidth::double_precision) {
      if constexpr (!kLittleEndianHost) reverse_each(cells.data(), got);
      sum.add(cells.data(), got);
    } else {
      if constexpr (!kLittleEndianHost) reverse_each(singles.data(), got);
      sum.add(singles.data(), got);
      std::copy_n(singles.data(), got, cells.data());
    }
    if (got > 0) take(cells.data(), got);
    done += got;
    if (got < part) break;
  }
  return sum;
}

std::unique_ptr<GridReader> make_binary_grid_reader(BinaryWidth width, InputFile input) {
  return std::make_unique<BinaryGridReader>(width, std::move(input));
}

std::unique_ptr<GridWriter> make_binary_grid_writer(BinaryWidth width, FilePtr output, bool gzip) {
  return std::make_unique<BinaryGridWriter>(width, std::move(output), gzip);
}

}  // namespace cellscale
