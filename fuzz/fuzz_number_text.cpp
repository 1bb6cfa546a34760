// Number and word scanning (grid/number_text.h) against the C library's own
// "%lg" and "%s" scans of the same NUL-terminated text, and the contract that
// a streaming reader relies on: a scan of the first part of the text that
// reports `truncated`, resumed from where it says once the rest is there,
// ends exactly as a scan of the whole text; one that reports a result
// reports the result of the whole.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_check.h"
#include "grid/number_text.h"

namespace {

using cellscale::ScanResult;
using cellscale::ScanStatus;
using cellscale::fuzzing::check;
using cellscale::fuzzing::same_value;

struct Scan {
  ScanStatus status;
  const char* next;
  double value;
  const char* word;
};

Scan number(const char* first, const char* last, bool at_end) {
  Scan scan{};
  const ScanResult result = cellscale::scan_number(first, last, at_end, scan.value);
  scan.status = result.status;
  scan.next = result.next;
  return scan;
}

Scan word(const char* first, const char* last, bool at_end) {
  Scan scan{};
  const ScanResult result = cellscale::scan_word(first, last, at_end, scan.word);
  scan.status = result.status;
  scan.next = result.next;
  return scan;
}

bool same_end(const Scan& a, const Scan& b, bool words) {
  if (a.status != b.status) return false;
  if (a.status != ScanStatus::ok) return true;
  return a.next == b.next && (words ? a.word == b.word : same_value(a.value, b.value));
}

// Cut points: every one for short texts, a spread of them for long ones.
template <typename Visit>
void for_each_cut(std::size_t length, Visit visit) {
  const std::size_t step = length <= 96 ? 1 : length / 64;
  for (std::size_t cut = 0; cut <= length; cut += step) visit(cut);
  visit(length);
}

template <typename ScanFn>
void check_streaming(const char* first, const char* last, const Scan& whole, ScanFn scan, bool words) {
  for_each_cut(static_cast<std::size_t>(last - first), [&](std::size_t cut) {
    const Scan part = scan(first, first + cut, false);
    check(part.next >= first && part.next <= first + cut, "a partial scan points outside its text");
    if (part.status == ScanStatus::truncated) {
      const Scan resumed = scan(part.next, last, true);
      check(same_end(resumed, whole, words), "a truncated scan resumed with the rest differs from the whole");
    } else {
      check(same_end(part, whole, words), "a partial scan that did not ask for more differs from the whole");
    }
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  const char* first = text.c_str();
  const char* last = first + text.size();

  const Scan whole = number(first, last, true);
  check(whole.status != ScanStatus::truncated, "a scan to the end of the text asks for more");
  double libc_value = 0;
  int libc_taken = -1;
  const bool libc_ok = std::sscanf(first, "%lg%n", &libc_value, &libc_taken) == 1;
  check((whole.status == ScanStatus::ok) == libc_ok, "a number is found where the C library finds none, or not found");
  if (libc_ok) {
    check(whole.next - first == libc_taken, "a number takes other characters than the C library takes");
    check(same_value(whole.value, libc_value), "a number has another value than the C library gives");
  }
  check_streaming(first, last, whole, number, false);

  const Scan whole_word = word(first, last, true);
  int word_start = -1;
  int word_end = -1;
  std::sscanf(first, " %n%*s%n", &word_start, &word_end);
  check((whole_word.status == ScanStatus::ok) == (word_end >= 0), "a word is found where the C library finds none");
  if (word_end >= 0) {
    check(whole_word.word - first == word_start && whole_word.next - first == word_end,
          "a word spans other characters than the C library's %s");
  }
  check_streaming(first, last, whole_word, word, true);
  return 0;
}
