#include "grid/binary_grid.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

namespace cellscale {

namespace {

constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

// Conversions between values and their little-endian file bytes, a row at a
// time. On a little-endian host they are plain copies or conversions that
// the compiler vectorises.
template <typename Stored>
void reverse_each(Stored* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(values + i);
    std::reverse(bytes, bytes + sizeof(Stored));
  }
}

void widen(const float* from, double* to, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) to[i] = static_cast<double>(from[i]);
}

void narrow(const double* from, float* to, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) to[i] = static_cast<float>(from[i]);
}

class BinaryGridReader final : public GridReader {
 public:
  BinaryGridReader(BinaryWidth width, FilePtr input) : width_(width), file_(std::move(input)) {}

  bool read_header(GridHeader& header) override {
    unsigned char bytes[header_bytes(BinaryWidth::double_precision)];
    const std::size_t size = static_cast<std::size_t>(width_);
    if (std::fread(bytes, size, kHeaderSlots, file_.get()) != kHeaderSlots) return false;
    for (int slot = 1; slot <= kHeaderSlots; ++slot) {
      header.slot[slot] = decode_binary_value(width_, bytes + size * (slot - 1));
    }
    return true;
  }

  bool prepare_rows(std::int32_t whole_columns) override {
    if (width_ == BinaryWidth::double_precision) return true;
    staging_ = ZeroedArray<float>::allocate(static_cast<std::size_t>(whole_columns));
    return static_cast<bool>(staging_);
  }

  RowRead read_row(RowBuffer& row) override {
    const std::size_t columns = static_cast<std::size_t>(row.columns());
    std::size_t got = 0;
    if (width_ == BinaryWidth::double_precision) {
      got = std::fread(row.cells(), sizeof(double), columns, file_.get());
      if constexpr (!kLittleEndianHost) reverse_each(row.cells(), got);
    } else {
      got = std::fread(staging_.data(), sizeof(float), columns, file_.get());
      if (got == columns) {
        if constexpr (!kLittleEndianHost) reverse_each(staging_.data(), got);
        widen(staging_.data(), row.cells(), columns);
      }
    }
    return {got == columns, static_cast<std::int64_t>(got)};
  }

 private:
  BinaryWidth width_;
  FilePtr file_;
  ZeroedArray<float> staging_;
};

class BinaryGridWriter final : public GridWriter {
 public:
  BinaryGridWriter(BinaryWidth width, FilePtr output) : width_(width), file_(std::move(output)) {}

  bool write_header(const GridHeader& header) override { return write_slots(header, 1, kHeaderSlots); }

  bool prepare_rows(const GridHeader&, std::int32_t whole_columns) override {
    const std::size_t columns = static_cast<std::size_t>(whole_columns);
    if (width_ == BinaryWidth::single_precision) {
      single_staging_ = ZeroedArray<float>::allocate(columns);
      return static_cast<bool>(single_staging_);
    }
    if constexpr (!kLittleEndianHost) {
      double_staging_ = ZeroedArray<double>::allocate(columns);
      return static_cast<bool>(double_staging_);
    }
    return true;
  }

  RowWrite write_row(const RowBuffer& row) override {
    const std::size_t columns = static_cast<std::size_t>(row.columns());
    if (columns == 0) return {true, 0};
    std::size_t written = 0;
    if (width_ == BinaryWidth::single_precision) {
      narrow(row.cells(), single_staging_.data(), columns);
      if constexpr (!kLittleEndianHost) reverse_each(single_staging_.data(), columns);
      written = std::fwrite(single_staging_.data(), sizeof(float), columns, file_.get());
    } else if constexpr (kLittleEndianHost) {
      written = std::fwrite(row.cells(), sizeof(double), columns, file_.get());
    } else {
      std::memcpy(double_staging_.data(), row.cells(), columns * sizeof(double));
      reverse_each(double_staging_.data(), columns);
      written = std::fwrite(double_staging_.data(), sizeof(double), columns, file_.get());
    }
    if (written == columns && std::ferror(file_.get()) == 0) return {true, 0};
    return {false, static_cast<std::int32_t>(std::min(written, columns - 1) + 1)};
  }

  bool finish(GridHeader& header, CellStats& stats) override {
    // Positioning flushes what is still buffered, so a failure here is a write
    // that did not reach the file.
    if (std::fseek(file_.get(), static_cast<long>(statistics_offset(width_)), SEEK_SET) != 0) return false;
    stats.finish(header);
    return write_slots(header, kCount, kStandardDeviation) && close_output(std::move(file_));
  }

 private:
  bool write_slots(const GridHeader& header, int first_slot, int last_slot) {
    unsigned char bytes[header_bytes(BinaryWidth::double_precision)];
    const std::size_t size = static_cast<std::size_t>(width_);
    const std::size_t count = static_cast<std::size_t>(last_slot - first_slot + 1);
    for (int slot = first_slot; slot <= last_slot; ++slot) {
      unsigned char* out = bytes + size * static_cast<std::size_t>(slot - first_slot);
      if (width_ == BinaryWidth::double_precision) {
        const auto value = std::bit_cast<std::uint64_t>(header.slot[slot]);
        for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
      } else {
        const auto value = std::bit_cast<std::uint32_t>(static_cast<float>(header.slot[slot]));
        for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
      }
    }
    return std::fwrite(bytes, size, count, file_.get()) == count && std::ferror(file_.get()) == 0;
  }

  BinaryWidth width_;
  FilePtr file_;
  ZeroedArray<float> single_staging_;
  ZeroedArray<double> double_staging_;
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

std::unique_ptr<GridReader> make_binary_grid_reader(BinaryWidth width, FilePtr input) {
  return std::make_unique<BinaryGridReader>(width, std::move(input));
}

std::unique_ptr<GridWriter> make_binary_grid_writer(BinaryWidth width, FilePtr output) {
  return std::make_unique<BinaryGridWriter>(width, std::move(output));
}

}  // namespace cellscale
