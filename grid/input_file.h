#pragma once

// The input grid's bytes from its first on. Recognising the format reads the
// first bytes of the file; an input that can go back to its start is then
// read again from there, and one that cannot (a pipe, a FIFO, a process
// substitution such as <(zcat dem.asc.gz)) keeps those bytes here and serves
// them before the rest of the stream, so that it is read in one pass.
//
// The bytes come from the system's read call on the stream's descriptor, not
// from the stream's buffered reads: a read returns what has arrived rather
// than waiting for a whole block, so that rows that have arrived through a
// pipe are worked on while the pipe is quiet, and a thread waiting in a read
// holds no lock of the C library that ending the process would wait for.
//
// A gzip input (one that starts with the bytes 1f 8b 08, whatever its name)
// is decompressed as it is read, in the same one pass: its bytes are then the
// bytes it decompresses to, member after member. A stream that is cut ends
// the input where its decompressed bytes end, as a cut grid ends; a damaged
// one fails the read there. Damage that only the check at a member's end
// shows (its CRC-32 and size) may come after the last bytes a grid needs:
// intact_through checks the member that holds them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "grid/grid_format.h"

namespace cellscale {

class InputFile {
 public:
  // `prefix`: bytes already read from the stream, to be served first. The
  // stream itself is not read through again.
  explicit InputFile(FilePtr file, std::string prefix = {});
  InputFile(InputFile&&) noexcept;
  InputFile& operator=(InputFile&&) noexcept;
  ~InputFile();

  // Whether bytes that start an input start a gzip stream: 1f 8b, and the
  // method 08 (deflate), so that a binary grid whose first bytes happen to
  // be 1f 8b is still a grid.
  [[nodiscard]] static bool starts_gzip(const unsigned char* bytes, std::size_t size);

  // From here on the input's bytes are those its gzip stream decompresses
  // to. Called before any read. False when the memory for it cannot be had.
  [[nodiscard]] bool decompress();

  // From here on the input ends at its first Ctrl-Z (0x1A), as a text file
  // read in text mode does on Windows: for decompressed text, which no C
  // runtime reads.
  void end_at_ctrl_z() { ends_at_ctrl_z_ = true; }

  // Serves `bytes` before the rest of the input: bytes that were read from
  // it to recognise it (decompressed, when it is decompressed).
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

  // Whether the first `used` bytes of the input came through whole. Always
  // for a plain input. For a gzip input, the member that holds byte `used`
  // - 1 is decompressed to its end if it has not been yet, and its check
  // (CRC-32 and size) must pass, as must those of the members before it;
  // members after it are not looked at. Reads a read that interrupt() ended
  // again. Not called while another thread reads.
  [[nodiscard]] bool intact_through(std::uint64_t used);

  // Whether a read has failed, or has met the end of the input.
  [[nodiscard]] bool failed() const { return failed_; }
  [[nodiscard]] bool ended() const { return ended_ || ctrl_z_met_; }

  // Ends a read of a pipe that waits for input, now or later, on another
  // thread: it gives 0 as a failed read does. So a thread reading ahead of
  // a run that needs no more is not waited for on the way out. (Where the
  // system cannot wait on two things at once, the Windows build, a waiting
  // read goes on waiting.)
  void interrupt();

 private:
  // The pipe whose other end interrupt() writes to, for an input that may
  // wait (not a regular file).
  class Wake;
  struct WakeClose {
    void operator()(Wake* wake) const;
  };

  // The stream's decompression, for a gzip input.
  class Inflater;
  struct InflaterEnd {
    void operator()(Inflater* inflater) const;
  };

  // Waits until the input has bytes, or interrupt() was called (false).
  bool wait_for_input();
  // read_some and would_wait on the stream's own bytes.
  std::size_t read_stream(void* into, std::size_t size);
  bool stream_would_wait() const;
  // read_some on the decompressed bytes.
  std::size_t read_decompressed(void* into, std::size_t size);
  // Reads more of the stream for the inflater; false at its end or on a
  // failed read.
  bool fetch_compressed();
  // Lets reads go on after interrupt().
  void resume();

  FilePtr file_;
  std::unique_ptr<Wake, WakeClose> wake_;
  int descriptor_ = -1;
  std::unique_ptr<Inflater, InflaterEnd> inflater_;
  std::string prefix_;      // bytes of the stream read before, served first
  std::size_t served_ = 0;  // bytes of prefix_ already read
  std::string first_;       // bytes served before all others (serve_first)
  std::size_t first_served_ = 0;
  std::uint64_t position_ = 0;
  bool failed_ = false;
  bool interrupted_ = false;  // failed_ because interrupt() ended a read
  bool ended_ = false;
  bool ends_at_ctrl_z_ = false;
  bool ctrl_z_met_ = false;  // the input has ended at a Ctrl-Z
};

}  // namespace cellscale
