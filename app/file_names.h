#pragma once

// The names of the input and output grids: how the tool shows a name in its
// messages, and how it opens the file and tells whether two names are one
// file. On POSIX systems a name is its bytes for both. On Windows a name
// from the command line is opened through the wide-character interfaces, so
// a name in any script works, while messages still show it as the narrow
// argument shows it (the ANSI code page, "?" for what the page lacks), which
// scripts may be matching.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace cellscale {

struct FileName {
  std::string shown;           // the bytes messages print
  std::filesystem::path path;  // what the system opens
};

// Argument `index` of the command line (argv[index], which must exist).
[[nodiscard]] FileName file_name_argument(int argc, char** argv, int index);

// The files that a grid named on the command line stands for. On Windows,
// whose shells pass "*" and "?" on as typed, a name with either in its last
// part stands for the files there that it matches, in name order (none
// match: for itself, which then fails to open as given); elsewhere the
// shell has expanded them, and a name stands for itself.
[[nodiscard]] std::vector<FileName> matching_files(FileName name);

// A name typed at a prompt: bytes in the user's character set (on Windows
// the ANSI code page).
[[nodiscard]] FileName file_name_reply(std::string reply);

// A letter of a name in lower case, other characters as they are: A to Z
// only, as the system's own comparisons of extensions take them, whatever
// the user's locale.
template <typename Char>
constexpr Char ascii_lower(Char c) {
  return c >= Char('A') && c <= Char('Z') ? Char(c - Char('A') + Char('a')) : c;
}

// fopen of the name; a path too long for the old Windows limit of 260
// characters is opened in its long form there.
[[nodiscard]] std::FILE* open_file(const FileName& name, const char* mode);

// Whether both names lead to one existing file: the same path, a hard or
// symbolic link, or on Windows the same name in other letter case.
[[nodiscard]] bool same_file(const FileName& a, const FileName& b);

// Whether the name leads to an existing regular file, following links: not a
// folder, a pipe or a device.
[[nodiscard]] bool is_regular_file(const FileName& name);

// Whether the name leads into a folder of the system's rather than the
// user's: /dev, /proc or /sys on POSIX systems, the folders that a name such
// as /dev/stdout, /dev/fd/3 or /proc/self/fd/1 reaches a descriptor through.
// Such a name may still lead to a regular file (the file that the shell
// redirected standard output into), but nothing is to be made beside it.
// The folders are found after links; the last part of the name is not
// followed. Never on Windows, whose devices are no regular files.
[[nodiscard]] bool is_in_system_folder(const FileName& name);

// A stream of its own on standard input (descriptor 0) or standard output
// (1), opened in `mode` ("rb", "rt", "wt"): a duplicate of the descriptor,
// so that closing it leaves the standard stream open. On Windows the
// descriptor is switched to the mode's binary or text translation. Null
// when it cannot be made.
[[nodiscard]] std::FILE* open_standard_stream(int descriptor, const char* mode);

// Removes the file; false when it could not be removed.
bool remove_file(const FileName& name);

}  // namespace cellscale
