// Number and word scanning (numbers/number_text.h) against the C library's own
// "%lg" and "%s" scans of the same NUL-terminated text, and the contracts that
// a streaming reader relies on: a scan of the first part of the text that
// reports `truncated`, resumed from where it says once the rest is there,
// ends exactly as a scan of the whole text; one that reports a result
// reports the result of the whole. Every scan is handed its text alone on the
// heap, so that a look past the end of it stops the run under the sanitizer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "numbers/number_text.h"

namespace {

using cellscale::ScanResult;
using cellscale::ScanStatus;
using cellscale::fuzzing::check;
using cellscale::fuzzing::same_value;

// Where a scan ended, counted from the start of the whole text, so that scans
// of different copies compare.
struct Scan {
  ScanStatus status;
  std::size_t next;
  double value;
  std::size_t word;
};

// Characters from..to of the text, alone on the heap with nothing after
// them, so that AddressSanitizer stops a scan that reads past what it is
// handed.
class ExactCopy {
 public:
  ExactCopy(const std::string& text, std::size_t from, std::size_t to) : bytes_(new char[to - from]), from_(from) {
    if (to > from) std::memcpy(bytes_.get(), text.data() + from, to - from);
    last_ = bytes_.get() + (to - from);
  }
  const char* first() const { return bytes_.get(); }
  const char* last() const { return last_; }
  std::size_t offset(const char* p) const {
    check(p >= first() && p <= last_, "a scan points outside its text");
    return from_ + static_cast<std::size_t>(p - first());
  }

 private:
  std::unique_ptr<char[]> bytes_;
  std::size_t from_;
  const char* last_;
};

Scan number(const std::string& text, std::size_t from, std::size_t to, bool at_end) {
  const ExactCopy copy(text, from, to);
  Scan scan{};
  const ScanResult result = cellscale::scan_number(copy.first(), copy.last(), at_end, scan.value);
  scan.status = result.status;
  scan.next = copy.offset(result.next);
  return scan;
}

Scan word(const std::string& text, std::size_t from, std::size_t to, bool at_end) {
  const ExactCopy copy(text, from, to);
  Scan scan{};
  const char* word_first = nullptr;
  const ScanResult result = cellscale::scan_word(copy.first(), copy.last(), at_end, word_first);
  scan.status = result.status;
  scan.next = copy.offset(result.next);
  if (result.status == ScanStatus::ok) scan.word = copy.offset(word_first);
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
void check_streaming(const std::string& text, const Scan& whole, ScanFn scan, bool words) {
  for_each_cut(text.size(), [&](std::size_t cut) {
    const Scan part = scan(text, 0, cut, false);
    if (part.status == ScanStatus::truncated) {
      const Scan resumed = scan(text, part.next, text.size(), true);
      check(same_end(resumed, whole, words), "a truncated scan resumed with the rest differs from the whole");
    } else {
      check(same_end(part, whole, words), "a partial scan that did not ask for more differs from the whole");
    }
  });
}

// scan_plain_decimal on the text, its NUL and exactly kPlainDecimalReach
// bytes more alone on the heap: a number it takes is the one scan_number
// takes, whatever follows the NUL (digits here, which would lengthen a number
// read past it), and nothing is taken that starts closer to the end.
void check_plain_decimal(const std::string& text, const Scan& whole) {
  const std::string padded = text + '\0' + std::string(cellscale::kPlainDecimalReach, '7');
  const ExactCopy copy(padded, 0, padded.size());
  const char* p = copy.first();
  while (cellscale::is_scan_space(*p)) ++p;
  double value = 0;
  const char* end = cellscale::scan_plain_decimal(p, copy.last(), value);
  if (end != nullptr) {
    check(whole.status == ScanStatus::ok && copy.offset(end) == whole.next && same_value(value, whole.value),
          "a plain decimal is read otherwise than scan_number reads it");
  }
  check(cellscale::scan_plain_decimal(p, p + cellscale::kPlainDecimalReach - 1, value) == nullptr,
        "a plain decimal is taken within its reach of the end of the memory");
  // A run of short ones takes the number as scan_plain_decimal does, with its
  // blank, or leaves it: read every way the processor can take.
  for (const auto set : cellscale::kInstructionSets) {
    if (!cellscale::processor_runs(set)) continue;
    double run_value = 0;
    const cellscale::PlainDecimalRun run =
        cellscale::detail::scan_short_plain_decimals_using(set, p, copy.last(), &run_value, 1);
    check(run.count == 0 || (end != nullptr && run.next == end + 1 && same_value(run_value, value)),
          "a run of plain decimals reads otherwise than scan_plain_decimal");
    if (run.count == 0) continue;
    // Twice over, the second number has the shape of the first, which the run
    // checks it by; then a number of another shape and the first again.
    const std::string number(p, end);
    const std::string twice = number + '\t' + number + '\n' + "12.5 " + number + ' ' + '\0' +
                              std::string(cellscale::kPlainDecimalReach, '7');
    const ExactCopy twice_copy(twice, 0, twice.size());
    double values[4] = {0, 0, 0, 0};
    const cellscale::PlainDecimalRun all =
        cellscale::detail::scan_short_plain_decimals_using(set, twice_copy.first(), twice_copy.last(), values, 4);
    check(all.count == 4 && same_value(values[0], value) && same_value(values[1], value) && values[2] == 12.5 &&
              same_value(values[3], value),
          "a number of the shape of one before is read otherwise");
  }
}

// The number read as a stream brings it (LongNumberScan, which a reader
// hands the characters of a number longer than its text block), in parts of
// one, seven and all the characters after the blanks: what scan_number takes
// of the whole text, to the same value, and whole where a character that
// cannot continue it follows.
void check_long_scan(const std::string& text, const Scan& whole) {
  std::size_t first = 0;
  while (first < text.size() && cellscale::is_scan_space(text[first])) ++first;
  if (first == text.size()) return;
  for (const std::size_t part : {std::size_t{1}, std::size_t{7}, text.size()}) {
    cellscale::LongNumberScan scan;
    std::size_t at = first;
    while (at < text.size() && !scan.whole()) {
      const ExactCopy copy(text, at, std::min(text.size(), at + part));
      const char* const stop = scan.take(copy.first(), copy.last());
      check(stop == copy.last() || scan.whole(), "a streamed number leaves a part untaken and is not whole");
      at = copy.offset(stop);
    }
    double value = 0;
    const bool ok = scan.value(value) == ScanStatus::ok;
    check(ok == (whole.status == ScanStatus::ok), "a streamed number is found where the whole scan finds none");
    if (!ok) continue;
    check(first + scan.taken() == whole.next && same_value(value, whole.value),
          "a streamed number takes other characters or has another value than the whole scan");
    check(whole.next == text.size() || scan.whole(), "a streamed number is not whole before what ends it");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  // The C library's scans read the text up to its NUL.
  const char* terminated = text.c_str();

  const Scan whole = number(text, 0, text.size(), true);
  check(whole.status != ScanStatus::truncated, "a scan to the end of the text asks for more");
  double libc_value = 0;
  int libc_taken = -1;
  const bool libc_ok = std::sscanf(terminated, "%lg%n", &libc_value, &libc_taken) == 1;
  check((whole.status == ScanStatus::ok) == libc_ok,
        "a number is found where the C library finds none, or not found");
  if (libc_ok) {
    check(whole.next == static_cast<std::size_t>(libc_taken),
          "a number takes other characters than the C library takes");
    check(same_value(whole.value, libc_value), "a number has another value than the C library gives");
  }
  check_streaming(text, whole, number, false);
  check_plain_decimal(text, whole);
  check_long_scan(text, whole);

  const Scan whole_word = word(text, 0, text.size(), true);
  int word_start = -1;
  int word_end = -1;
  std::sscanf(terminated, " %n%*s%n", &word_start, &word_end);
  check((whole_word.status == ScanStatus::ok) == (word_end >= 0), "a word is found where the C library finds none");
  if (word_end >= 0) {
    check(whole_word.word == static_cast<std::size_t>(word_start) &&
              whole_word.next == static_cast<std::size_t>(word_end),
          "a word spans other characters than the C library's %s");
  }
  check_streaming(text, whole_word, word, true);
  return 0;
}
