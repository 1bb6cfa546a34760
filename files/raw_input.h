#pragma once

// An input stream's own bytes, as they lie in the file or come through the
// pipe (a gzip input's still compressed): what files/input_file.h reads a
// plain input from, and files/gzip_input.h decompresses a gzip one from.
//
// The bytes come from the system's read call on the stream's descriptor, not
// from the stream's buffered reads: a read returns what has arrived rather
// than waiting for a whole block, so that rows that have arrived through a
// pipe are worked on while the pipe is quiet, and a thread waiting in a read
// holds no lock of the C library that ending the process would wait for.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "files/file_stream.h"

namespace cellscale {

class RawInput {
 public:
  RawInput() = default;
  // Reads the stream from its next byte on.
  explicit RawInput(FilePtr file);

  // Reads up to `size` (at least 1) bytes into `into`, waiting only until
  // some have arrived: fewer than asked for is no sign of the end. 0 only at
  // the end of the stream, on a read error or after interrupt().
  [[nodiscard]] std::size_t read_some(void* into, std::size_t size);

  // Whether a read would now wait for bytes that have not arrived: a pipe
  // that is quiet. Never for a file.
  [[nodiscard]] bool would_wait() const;

  // Whether a read has failed (interrupt() counts as a failure), or has met
  // the end of the stream.
  [[nodiscard]] bool failed() const { return failed_; }
  [[nodiscard]] bool ended() const { return ended_; }

  // Ends a read of a pipe that waits for input, now or later, on another
  // thread: it gives 0 as a failed read does. (Where the system cannot wait
  // on two things at once, the Windows build, a waiting read goes on
  // waiting.)
  void interrupt();
  // Lets reads go on after interrupt(). Not called while another thread reads.
  void resume();

  // The descriptor of a regular file whose byte `position` is the next
  // one read, so that a byte's place in the stream is its place in the file;
  // otherwise -1 (a pipe, a stream without a descriptor, Windows).
  [[nodiscard]] int file_descriptor_at(std::uint64_t position) const;

 private:
  // The pipe whose other end interrupt() writes to, for an input that may
  // wait (not a regular file).
  class Wake;
  struct WakeClose {
    void operator()(Wake* wake) const;
  };

  // Waits until the stream has bytes, or interrupt() was called (false).
  bool wait_for_input();

  FilePtr file_;
  std::unique_ptr<Wake, WakeClose> wake_;
  int descriptor_ = -1;
  bool failed_ = false;
  bool interrupted_ = false;  // failed_ because interrupt() ended a read
  bool ended_ = false;
};

}  // namespace cellscale
