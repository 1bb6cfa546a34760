// A library preloaded into the tool (LD_PRELOAD) that makes calls of a chosen
// kind fail, the way the real calls fail, or counts the calls of every kind
// that a run makes. Linux with glibc only.
//
// The file calls are those on the grid files, the streams the tool opens with
// fopen (never standard input or output), and read(2) and write(2) on their
// descriptors; each is counted for the input files (opened for reading only)
// or the output files apart. Allocations are every malloc, calloc and realloc
// of the process; operator new takes its memory from malloc, so a failed
// malloc there is a failed operator new.
//
// Environment:
//   CELLSCALE_FAULT_CALL    the kind of call to fail: fread, fwrite, fflush,
//                           fclose, fseek (also fseeko, fseeko64), ftell
//                           (also ftello), read, write or alloc
//   CELLSCALE_FAULT_FILE    for a file call: input or output, the files whose
//                           calls are counted and failed
//   CELLSCALE_FAULT_NUMBER  the call of that kind that fails, counted from 1.
//                           A failed file call stays failed, as a full or a
//                           broken disk does: every later call of its kind on
//                           those files fails too. An allocation fails once.
//   CELLSCALE_FAULT_COUNTS  a file that gets, when the process exits, a line
//                           "<kind> <input|output|process> <calls>" for each
//                           kind and files
//
// A failing call fails as the real one does:
//   fread   reads half of the items asked for (none when an earlier call
//           failed), sets the stream's error flag and errno EIO, and returns
//           the items read
//   fwrite  writes half of the items (none when an earlier call failed),
//           sets the error flag and errno ENOSPC, and returns the items
//           written
//   fflush  sets the error flag and errno ENOSPC and returns EOF
//   fclose  closes the stream and returns EOF with errno ENOSPC
//   fseek   returns -1 with errno EIO, leaving the position
//   ftell   returns -1 with errno EIO
//   read    returns -1 with errno EIO; write -1 with errno ENOSPC
//   alloc   returns a null pointer with errno ENOMEM (realloc leaves the
//           block as it was)

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

#ifndef __GLIBC__
#error "the fault injector sets a stream's error flag the way glibc keeps it"
#endif

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
}

namespace {

enum Kind { kFread, kFwrite, kFflush, kFclose, kFseek, kFtell, kRead, kWrite, kAlloc, kKinds };
constexpr const char* kKindNames[kKinds] = {"fread", "fwrite", "fflush", "fclose", "fseek",
                                            "ftell", "read",   "write",  "alloc"};
// Whose calls: a file opened for reading only, another file, or the process
// (allocations).
enum Owner { kInput, kOutput, kProcess, kOwners };
constexpr const char* kOwnerNames[kOwners] = {"input", "output", "process"};

// Set once the environment has been read; calls before that (the loader's
// and the C library's own start) are neither counted nor failed.
std::atomic<bool> ready{false};
int failing_kind = -1;
int failing_owner = -1;
long failing_number = 0;
const char* counts_file = nullptr;
std::atomic<long> calls[kKinds][kOwners];

// The grid files while they are open: their streams, descriptors and owners.
constexpr int kMostFiles = 16;
struct GridFile {
  std::atomic<FILE*> stream{nullptr};
  std::atomic<int> descriptor{-1};
  std::atomic<int> owner{kInput};
};
GridFile grid_files[kMostFiles];

// The C library's own definitions, looked up before any call is counted: the
// lookup may allocate, and a failed allocation must not lose a definition.
FILE* (*real_fopen)(const char*, const char*) = nullptr;
FILE* (*real_fopen64)(const char*, const char*) = nullptr;
size_t (*real_fread)(void*, size_t, size_t, FILE*) = nullptr;
size_t (*real_fwrite)(const void*, size_t, size_t, FILE*) = nullptr;
int (*real_fflush)(FILE*) = nullptr;
int (*real_fclose)(FILE*) = nullptr;
int (*real_fseek)(FILE*, long, int) = nullptr;
int (*real_fseeko)(FILE*, off_t, int) = nullptr;
int (*real_fseeko64)(FILE*, off64_t, int) = nullptr;
long (*real_ftell)(FILE*) = nullptr;
off_t (*real_ftello)(FILE*) = nullptr;
ssize_t (*real_read)(int, void*, size_t) = nullptr;
ssize_t (*real_write)(int, const void*, size_t) = nullptr;

template <typename Function>
Function real_function(Function& definition, const char* name) {
  if (definition == nullptr) definition = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
  return definition;
}

// What becomes of a call: it runs, or it is the first to fail (a read or
// write then moves half of its bytes), or a later one (it moves none).
enum Outcome { kRuns, kFailsFirst, kFailsAgain };

// Counts a call of `kind` by `owner`, and tells what becomes of it.
Outcome count_call(Kind kind, int owner) {
  if (owner < 0 || !ready.load(std::memory_order_acquire)) return kRuns;
  const long number = calls[kind][owner].fetch_add(1, std::memory_order_relaxed) + 1;
  if (kind != failing_kind || owner != failing_owner || number < failing_number) return kRuns;
  if (number == failing_number) return kFailsFirst;
  return kind == kAlloc ? kRuns : kFailsAgain;
}

// The owner of a grid file's stream or descriptor; -1 for any other.
int owner_of(FILE* stream) {
  for (GridFile& file : grid_files) {
    if (stream != nullptr && file.stream.load() == stream) return file.owner.load();
  }
  return -1;
}

int owner_of(int descriptor) {
  for (GridFile& file : grid_files) {
    if (descriptor >= 0 && file.descriptor.load() == descriptor) return file.owner.load();
  }
  return -1;
}

void keep_grid_file(FILE* stream, const char* mode) {
  if (stream == nullptr) return;
  for (GridFile& file : grid_files) {
    FILE* empty = nullptr;
    if (file.stream.compare_exchange_strong(empty, stream)) {
      file.owner.store(mode[0] == 'r' && strchr(mode, '+') == nullptr ? kInput : kOutput);
      file.descriptor.store(fileno(stream));
      return;
    }
  }
}

void forget_grid_file(FILE* stream) {
  for (GridFile& file : grid_files) {
    if (file.stream.load() == stream) {
      file.descriptor.store(-1);
      file.stream.store(nullptr);
    }
  }
}

// What a failed read or write leaves on the stream: its error flag, which
// ferror reports.
void set_error_flag(FILE* stream) {
  flockfile(stream);
  stream->_flags |= _IO_ERR_SEEN;
  funlockfile(stream);
}

__attribute__((constructor)) void read_environment() {
  real_function(real_fopen, "fopen");
  real_function(real_fopen64, "fopen64");
  real_function(real_fread, "fread");
  real_function(real_fwrite, "fwrite");
  real_function(real_fflush, "fflush");
  real_function(real_fclose, "fclose");
  real_function(real_fseek, "fseek");
  real_function(real_fseeko, "fseeko");
  real_function(real_fseeko64, "fseeko64");
  real_function(real_ftell, "ftell");
  real_function(real_ftello, "ftello");
  real_function(real_read, "read");
  real_function(real_write, "write");
  const char* kind = getenv("CELLSCALE_FAULT_CALL");
  const char* owner = getenv("CELLSCALE_FAULT_FILE");
  const char* number = getenv("CELLSCALE_FAULT_NUMBER");
  for (int k = 0; kind != nullptr && k < kKinds; ++k) {
    if (strcmp(kind, kKindNames[k]) == 0) failing_kind = k;
  }
  failing_owner = failing_kind == kAlloc ? kProcess : -1;
  for (int o = 0; owner != nullptr && o < kProcess; ++o) {
    if (strcmp(owner, kOwnerNames[o]) == 0 && failing_kind != kAlloc) failing_owner = o;
  }
  if (number != nullptr) failing_number = strtol(number, nullptr, 10);
  counts_file = getenv("CELLSCALE_FAULT_COUNTS");
  ready.store(true, std::memory_order_release);
}

// Written with plain descriptor calls: the C library's streams may be gone.
__attribute__((destructor)) void write_counts() {
  if (counts_file == nullptr) return;
  const int descriptor = open(counts_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (descriptor < 0) return;
  for (int k = 0; k < kKinds; ++k) {
    for (int o = k == kAlloc ? kProcess : kInput; o <= (k == kAlloc ? kProcess : kOutput); ++o) {
      char line[64];
      const int length =
          snprintf(line, sizeof line, "%s %s %ld\n", kKindNames[k], kOwnerNames[o], calls[k][o].load());
      if (length > 0 && write(descriptor, line, static_cast<size_t>(length)) < 0) break;
    }
  }
  close(descriptor);
}

}  // namespace

extern "C" {

FILE* fopen(const char* path, const char* mode) {
  const auto real = real_function(real_fopen, "fopen");
  FILE* stream = real(path, mode);
  keep_grid_file(stream, mode);
  return stream;
}

FILE* fopen64(const char* path, const char* mode) {
  const auto real = real_function(real_fopen64, "fopen64");
  FILE* stream = real(path, mode);
  keep_grid_file(stream, mode);
  return stream;
}

size_t fread(void* into, size_t size, size_t count, FILE* stream) {
  const auto real = real_function(real_fread, "fread");
  const Outcome outcome = count_call(kFread, owner_of(stream));
  if (outcome == kRuns) return real(into, size, count, stream);
  const size_t got = outcome == kFailsAgain || count / 2 == 0 ? 0 : real(into, size, count / 2, stream);
  set_error_flag(stream);
  errno = EIO;
  return got;
}

size_t fwrite(const void* bytes, size_t size, size_t count, FILE* stream) {
  const auto real = real_function(real_fwrite, "fwrite");
  const Outcome outcome = count_call(kFwrite, owner_of(stream));
  if (outcome == kRuns) return real(bytes, size, count, stream);
  const size_t put = outcome == kFailsAgain || count / 2 == 0 ? 0 : real(bytes, size, count / 2, stream);
  set_error_flag(stream);
  errno = ENOSPC;
  return put;
}

int fflush(FILE* stream) {
  const auto real = real_function(real_fflush, "fflush");
  if (count_call(kFflush, owner_of(stream)) == kRuns) return real(stream);
  set_error_flag(stream);
  errno = ENOSPC;
  return EOF;
}

int fclose(FILE* stream) {
  const auto real = real_function(real_fclose, "fclose");
  const int owner = owner_of(stream);
  forget_grid_file(stream);
  if (count_call(kFclose, owner) == kRuns) return real(stream);
  real(stream);
  errno = ENOSPC;
  return EOF;
}

int fseek(FILE* stream, long offset, int origin) {
  const auto real = real_function(real_fseek, "fseek");
  if (count_call(kFseek, owner_of(stream)) == kRuns) return real(stream, offset, origin);
  errno = EIO;
  return -1;
}

int fseeko(FILE* stream, off_t offset, int origin) {
  const auto real = real_function(real_fseeko, "fseeko");
  if (count_call(kFseek, owner_of(stream)) == kRuns) return real(stream, offset, origin);
  errno = EIO;
  return -1;
}

int fseeko64(FILE* stream, off64_t offset, int origin) {
  const auto real = real_function(real_fseeko64, "fseeko64");
  if (count_call(kFseek, owner_of(stream)) == kRuns) return real(stream, offset, origin);
  errno = EIO;
  return -1;
}

long ftell(FILE* stream) {
  const auto real = real_function(real_ftell, "ftell");
  if (count_call(kFtell, owner_of(stream)) == kRuns) return real(stream);
  errno = EIO;
  return -1;
}

off_t ftello(FILE* stream) {
  const auto real = real_function(real_ftello, "ftello");
  if (count_call(kFtell, owner_of(stream)) == kRuns) return real(stream);
  errno = EIO;
  return -1;
}

ssize_t read(int descriptor, void* into, size_t size) {
  const auto real = real_function(real_read, "read");
  if (count_call(kRead, owner_of(descriptor)) == kRuns) return real(descriptor, into, size);
  errno = EIO;
  return -1;
}

ssize_t write(int descriptor, const void* bytes, size_t size) {
  const auto real = real_function(real_write, "write");
  if (count_call(kWrite, owner_of(descriptor)) == kRuns) return real(descriptor, bytes, size);
  errno = ENOSPC;
  return -1;
}

void* malloc(size_t size) {
  if (count_call(kAlloc, kProcess) != kRuns) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  if (count_call(kAlloc, kProcess) != kRuns) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
  if (count_call(kAlloc, kProcess) != kRuns) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_realloc(block, size);
}

}  // extern "C"
