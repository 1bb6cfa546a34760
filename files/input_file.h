#pragma once

// The input grid's bytes from its first on. Recognising the format reads the
// first bytes of the file; an input that can go back to its start is then
// read again from there, and one that cannot (a pipe, a FIFO, a process
// substitution such as <(zcat dem.asc.gz)) keeps those bytes here and serves
// them before the rest of the stream, so that it is read in one pass. The
// stream's bytes are read as files/raw_input.h reads them.
//
// A gzip input is decompressed as it is read, in the same one pass
// (files/gzip_input.h): its bytes are then the bytes it decompresses to. The
// compressed bytes read to tell that it is gzip are the first the
// decompression takes; the bytes kept here are then decompressed ones.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "files/file_stream.h"
#include "files/gzip_input.h"
#include "files/raw_input.h"

namespace cellscale {

class InputFile {
 public:
  // Reads the stream from its next byte on.
  explicit InputFile(FilePtr file);
  InputFile(InputFile&&) noexcept;
  InputFile& operator=(InputFile&&) noexcept;
  ~InputFile();

  // From here on the input's bytes are those its gzip stream decompresses
  // to; `start`, bytes already read from the stream (to tell that it is
  // gzip), are decompressed first. Called before any read. False when the
  // memory for it cannot be had.
  [[nodiscard]] bool decompress(std::string_view start = {});

  // From here on the input ends at its first Ctrl-Z (0x1A), as a text file
  // read in text mode does on Windows: for decompressed text, which no C
  // runtime reads.
  void end_at_ctrl_z() { ends_at_ctrl_z_ = true; }

  // Serves `bytes` before the rest of the input: bytes that were read from
  // it to recognise it (decompressed, when it is decompressed). The one
  // place bytes read ahead wait to be read again.
  void serve_first(std::string bytes);

  // Reads up to `size` (at least 1) bytes into `into`, waiting only until
  // some have arrived: fewer than asked for is no sign of the end. 0 only at
  // the end of the input or on a read error.
  [[nodiscard]] std::size_t read_some(void* into, std::size_t size);

  // Reads `size` bytes into `into`, as fread(into, 1, size, file) would:
  // fewer only at the end of the input or on a read error.
  [[nodiscard]] std::size_t read(void* into, std::size_t size);

  // Whether a read would now wait for bytes that have not arrived: a pipe
  // that is quiet. Never for a file.
  [[nodiscard]] bool would_wait() const;

  // Bytes read so far (those served again by serve_first not counted twice).
  [[nodiscard]] std::uint64_t position() const { return position_; }

  // The descriptor of the regular file that holds the input byte for byte
  // (not decompressed, nothing served again still waiting), for reads by
  // position that leave this input's reads alone; otherwise -1.
  [[nodiscard]] int plain_file_descriptor() const;

  // The size of that regular file, in bytes; 0 for any other input.
  [[nodiscard]] std::uint64_t plain_file_size() const;

  // Whether the first `used` bytes of the input came through whole: always
  // for a plain input, and for a gzip input when the checks of the members
  // that hold them pass (GzipInput::intact_through), which reads on after a
  // read that interrupt() ended. Not called while another thread reads.
  [[nodiscard]] bool intact_through(std::uint64_t used);

  // Whether a read has failed, or has met the end of the input.
  [[nodiscard]] bool failed() const;
  [[nodiscard]] bool ended() const;

  // Ends a read of a pipe that waits for input, now or later, on another
  // thread: it gives 0 as a failed read does. So a thread reading ahead of
  // a run that needs no more is not waited for on the way out (see
  // RawInput::interrupt).
  void interrupt();

 private:
  RawInput raw_;       // the stream; moved into gzip_ when it is decompressed
  GzipInput gzip_;     // empty unless the input is decompressed
  std::string first_;  // bytes served before all others (serve_first)
  std::size_t first_served_ = 0;
  std::uint64_t position_ = 0;
  bool ends_at_ctrl_z_ = false;
  bool ctrl_z_met_ = false;  // the input has ended at a Ctrl-Z
};

}  // namespace cellscale
