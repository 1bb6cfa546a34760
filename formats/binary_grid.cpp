#include "formats/binary_grid.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "files/output_blocks.h"

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
    next_cell_at_ = first_cell_at_;
    return true;
  }

  bool can_hold_cells(std::uint64_t cells) const override {
    const std::uint64_t size = file_.plain_file_size();
    return size >= first_cell_at_ && (size - first_cell_at_) / static_cast<std::uint64_t>(width_) >= cells;
  }

  // Reads up to `cells` cells straight into the piece's memory, waiting only
  // until one whole cell has arrived or the input ends. The bytes of a cell
  // that came in part are kept for the next piece. When the input ends (or
  // a read fails) the piece is the last.
  InputPiece read_piece(PieceRoom& room, std::size_t cells, std::size_t) override {
    const std::size_t size = static_cast<std::size_t>(width_);
    auto* const bytes = width_ == BinaryWidth::double_precision
                            ? reinterpret_cast<unsigned char*>(room.doubles.room(cells))
                            : reinterpret_cast<unsigned char*>(room.singles.room(cells));
    std::memcpy(bytes, part_, part_size_);
    std::size_t filled = part_size_;
    while (filled < size && !ended_) {
      const std::size_t got = file_.read_some(bytes + filled, cells * size - filled);
      if (got == 0) ended_ = true;
      filled += got;
    }
    InputPiece piece;
    piece.count = filled / size;
    part_size_ = filled % size;
    std::memcpy(part_, bytes + piece.count * size, part_size_);
    if (width_ == BinaryWidth::double_precision) {
      piece.doubles = room.doubles.data();
      if constexpr (!kLittleEndianHost) reverse_each(room.doubles.data(), piece.count);
    } else {
      piece.singles = room.singles.data();
      if constexpr (!kLittleEndianHost) reverse_each(room.singles.data(), piece.count);
    }
    piece.start = next_cell_at_;
    piece.last = ended_;
    next_cell_at_ += piece.count * size;
    return piece;
  }

  bool next_read_would_wait() const override { return !ended_ && file_.would_wait(); }

  std::uint64_t bytes_used() const override { return first_cell_at_; }

  std::uint64_t bytes_used(const InputPiece& piece, std::size_t cells) const override {
    return piece.start + cells * static_cast<std::size_t>(width_);
  }

  bool input_intact_through(std::uint64_t used) override { return file_.intact_through(used); }

 private:
  BinaryWidth width_;
  InputFile file_;
  std::uint64_t first_cell_at_ = 0;          // the place of the first cell in the input
  std::uint64_t next_cell_at_ = 0;           // the place of the next cell a piece gives
  unsigned char part_[sizeof(double)] = {};  // the bytes of a cell that came in part
  std::size_t part_size_ = 0;
  bool ended_ = false;
};

// The header and the cells are buffered in one block of kOutputBlockBytes,
// the cells encoded into it as they come, and the block is written to the
// file when the next cell needs its room. The header and every cell take a whole number of cell
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

  bool write_cells(const CellsToWrite& cells, WritePlace& failed) override {
    const std::size_t size = static_cast<std::size_t>(width_);
    std::size_t done = 0;
    while (done < cells.count) {
      // A full block is written when the next cell needs its room.
      if (used_ == kOutputBlockBytes) {
        const WritePlace place{rows_done_ + 1, std::min(row_cells_, columns_ - 1) + 1};
        const bool written = blocks_.write(used_, used_, place);
        used_ = 0;
        if (!written) {
          failed = place;
          return false;
        }
      }
      const std::size_t count = std::min(cells.count - done, (kOutputBlockBytes - used_) / size);
      const double* const scaled = cells.scaled + done;
      if (width_ == BinaryWidth::double_precision) {
        auto* const out = reinterpret_cast<double*>(block() + used_);
        copy_into_block(reinterpret_cast<char*>(out), reinterpret_cast<const char*>(scaled), count * size);
        if constexpr (!kLittleEndianHost) reverse_each(out, count);
      } else {
        auto* const out = reinterpret_cast<float*>(block() + used_);
        for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<float>(scaled[i]);
        if constexpr (!kLittleEndianHost) reverse_each(out, count);
      }
      used_ += count * size;
      const std::int64_t row_cells = row_cells_ + static_cast<std::int64_t>(count);
      rows_done_ += row_cells / columns_;
      row_cells_ = static_cast<std::int32_t>(row_cells % columns_);
      done += count;
    }
    return true;
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
  std::int32_t row_cells_ = 0;  // cells of the row being written already taken
  std::int64_t rows_done_ = 0;  // rows whose cells have all been taken
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

std::unique_ptr<GridReader> make_binary_grid_reader(BinaryWidth width, InputFile input) {
  return std::make_unique<BinaryGridReader>(width, std::move(input));
}

std::unique_ptr<GridWriter> make_binary_grid_writer(BinaryWidth width, FilePtr output, bool gzip) {
  return std::make_unique<BinaryGridWriter>(width, std::move(output), gzip);
}

}  // namespace cellscale
