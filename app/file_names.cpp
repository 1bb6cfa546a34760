#include "app/file_names.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace cellscale {

#ifdef _WIN32

namespace {

// Bytes in the ANSI code page as UTF-16, the way the system reads narrow names.
std::wstring widened(const std::string& bytes) {
  if (bytes.empty()) return {};
  const int length = static_cast<int>(bytes.size());
  const int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, wide.data(), size);
  return wide;
}

// A path as Windows opens it whatever its length: one whose full form reaches
// the old limit of 260 characters (248 for a folder's files, to be safe) is
// given in the "\\?\" form, which the system takes as it stands, so it must
// be the full path with backslashes and no "." or ".." (GetFullPathNameW
// makes it so). Shorter paths, and those already in a device form, stay as
// they are.
std::wstring openable(const std::wstring& path) {
  constexpr std::size_t kShortLimit = 248;
  if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\")) return path;
  const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return path;
  full.resize(length);
  if (full.size() < kShortLimit) return path;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  return L"\\\\?\\" + full;
}

// The volume and file number of an existing file, following links.
bool identify(const std::filesystem::path& path, BY_HANDLE_FILE_INFORMATION& information) {
  const HANDLE handle = CreateFileW(openable(path.native()).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(handle, &information) != 0;
  CloseHandle(handle);
  return known;
}

}  // namespace

// The narrow argument is how the tool has always shown the name; the wide
// one, from the same command line, is the name itself. Should the two lists
// not match up (they are split by the same rules), the narrow one is used.
FileName file_name_argument(int argc, char** argv, int index) {
  FileName name{argv[index], {}};
  int count = 0;
  wchar_t** const wide = CommandLineToArgvW(GetCommandLineW(), &count);
  name.path = wide != nullptr && count == argc ? std::filesystem::path(std::wstring(wide[index]))
                                               : std::filesystem::path(widened(name.shown));
  LocalFree(wide);
  return name;
}

namespace {

// UTF-16 as narrow bytes in the ANSI code page, the way the C runtime makes
// argv: what the page lacks becomes its best fit or "?".
std::string narrowed(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int length = static_cast<int>(wide.size());
  const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), length, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

}  // namespace

std::vector<FileName> matching_files(FileName name) {
  const std::wstring& pattern = name.path.native();
  const std::size_t wide_part = pattern.find_last_of(L"/\\:") + 1;  // npos + 1 is 0
  if (pattern.find_first_of(L"*?", wide_part) == std::wstring::npos) return {std::move(name)};
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(openable(pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return {std::move(name)};
  std::vector<std::wstring> matches;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) matches.emplace_back(found.cFileName);
  } while (FindNextFileW(search, &found) != 0);
  FindClose(search);
  if (matches.empty()) return {std::move(name)};
  std::sort(matches.begin(), matches.end());
  const std::string shown_folder = name.shown.substr(0, name.shown.find_last_of("/\\:") + 1);
  std::vector<FileName> files;
  for (const std::wstring& match : matches) {
    files.push_back({shown_folder + narrowed(match), std::filesystem::path(pattern.substr(0, wide_part) + match)});
  }
  return files;
}

FileName file_name_reply(std::string reply) {
  std::filesystem::path path(widened(reply));
  return {std::move(reply), std::move(path)};
}

std::FILE* open_file(const FileName& name, const char* mode) {
  const std::wstring wide_mode(mode, mode + std::char_traits<char>::length(mode));
  return _wfopen(openable(name.path.native()).c_str(), wide_mode.c_str());
}

bool same_file(const FileName& a, const FileName& b) {
  BY_HANDLE_FILE_INFORMATION first{};
  BY_HANDLE_FILE_INFORMATION second{};
  return identify(a.path, first) && identify(b.path, second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

// Names in the "\\.\" namespace are devices and pipes; for the rest the
// attributes tell a folder or a device from a file.
bool is_regular_file(const FileName& name) {
  if (name.path.native().starts_with(L"\\\\.\\")) return false;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (GetFileAttributesExW(openable(name.path.native()).c_str(), GetFileExInfoStandard, &data) == 0) return false;
  return (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool is_in_system_folder(const FileName&) { return false; }

bool remove_file(const FileName& name) { return _wremove(openable(name.path.native()).c_str()) == 0; }

std::FILE* open_standard_stream(int descriptor, const char* mode) {
  const int copy = _dup(descriptor);
  if (copy == -1) return nullptr;
  _setmode(copy, std::strchr(mode, 't') != nullptr ? _O_TEXT : _O_BINARY);
  std::FILE* const file = _fdopen(copy, mode);
  if (file == nullptr) _close(copy);
  return file;
}

#else

FileName file_name_argument(int, char** argv, int index) { return file_name_reply(argv[index]); }

std::vector<FileName> matching_files(FileName name) { return {std::move(name)}; }

FileName file_name_reply(std::string reply) {
  std::filesystem::path path(reply);
  return {std::move(reply), std::move(path)};
}

std::FILE* open_file(const FileName& name, const char* mode) { return std::fopen(name.path.c_str(), mode); }

bool same_file(const FileName& a, const FileName& b) {
  std::error_code error;
  return std::filesystem::equivalent(a.path, b.path, error);
}

bool is_regular_file(const FileName& name) {
  std::error_code error;
  return std::filesystem::is_regular_file(name.path, error);
}

bool is_in_system_folder(const FileName& name) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(name.path, error);
  if (error) return false;
  const std::filesystem::path folder = std::filesystem::weakly_canonical(absolute.parent_path(), error);
  if (error) return false;
  // The first part after the root: "dev" of /dev/fd.
  const auto part = std::next(folder.begin());
  return part != folder.end() && (*part == "dev" || *part == "proc" || *part == "sys");
}

bool remove_file(const FileName& name) { return std::remove(name.path.c_str()) == 0; }

// POSIX streams have no text translation: the mode's "t" changes nothing.
std::FILE* open_standard_stream(int descriptor, const char* mode) {
  const int copy = dup(descriptor);
  if (copy == -1) return nullptr;
  std::FILE* const file = fdopen(copy, std::strchr(mode, 'r') != nullptr ? "r" : "w");
  if (file == nullptr) close(copy);
  return file;
}

#endif

}  // namespace cellscale
