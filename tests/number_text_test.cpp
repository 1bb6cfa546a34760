#include "numbers/number_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "support/grid_bytes.h"
#include "support/instruction_sets.h"
#include "support/reference_grid.h"

namespace {

using cellscale::ScanStatus;
using cellscale::reference::same_value;
using cellscale::testing::decimal_of_shape;

struct Scanned {
  bool ok = false;
  double value = 0;
  long taken = 0;
};

Scanned scan_whole(const std::string& text) {
  Scanned out;
  const char* first = text.data();
  const auto result = cellscale::scan_number(first, first + text.size(), true, out.value);
  out.ok = result.status == ScanStatus::ok;
  out.taken = result.next - first;
  return out;
}

// What the C library's own "%lg" conversion makes of the same text.
Scanned scan_with_libc(const std::string& text) {
  Scanned out;
  int taken = 0;
  out.ok = std::sscanf(text.c_str(), "%lg%n", &out.value, &taken) == 1;
  out.taken = taken;
  return out;
}

// `ours` is what a scan of `text` took: it must take what "%lg" takes.
void expect_like_libc(const std::string& text, const Scanned& ours) {
  const Scanned libc = scan_with_libc(text);
  ASSERT_EQ(ours.ok, libc.ok) << '"' << text << '"';
  if (!ours.ok) return;
  EXPECT_EQ(ours.taken, libc.taken) << '"' << text << '"';
  EXPECT_TRUE(same_value(ours.value, libc.value)) << '"' << text << "\" " << ours.value << " vs " << libc.value;
}

TEST(ScanNumber, TakesWhatTheCLibraryTakes) {
  // clang-format off
  const char* cases[] = {
      "12", "  \t\n\v\f\r-3.25", "+7", "-0", "1.", ".5", "1e5", "1E+05", "2.5e-3x", "1e+ x", "1e", "1ex",
      "1e+-5", "1.5.3", "1,5", "0e", "0E-x", "00x1", "0x1p3", "0x1.8p1", "0X1P-2", "0x.8", "0x.", "-0x.",
      "0x", "-0x", "0xg", "0xp1", "0x1p", "0x1p+ x", "0x1e1", "nan", "-nan", "NaN(12)", "nanx", "na x",
      "inf", "-INF", "infinity", "infinityx", "infin x", "infi", "i", "+", "-", ".", ".e1", "+.x", "--5",
      "1e400", "-1e400", "1e-400", "4.9e-324", "2.4703282292062328e-324", "1e99999999999999999999",
      "1e-99999999999999999999", "0x1p99999", "0x1p-99999", "123456789012345678901234567890", "",
      "   ", "abc", "9999999999999999999999999999999999999999999999999999.5e-30",
  };
  // clang-format on
  for (const char* text : cases) expect_like_libc(text, scan_whole(text));
}

TEST(ScanNumber, RandomTextMatchesTheCLibrary) {
  const std::string alphabet = "0123456789.eE+-xXpPaAfFnNiItTyY \t";
  std::mt19937_64 generator(20261207);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> length(0, 12);
  for (int i = 0; i < 200000; ++i) {
    std::string text;
    for (int n = length(generator); n > 0; --n) text += alphabet[pick(generator)];
    expect_like_libc(text, scan_whole(text));
    if (HasFatalFailure()) return;
  }
}

TEST(ScanNumber, ReportsTruncationOnlyWhenTheTextMayGoOn) {
  // clang-format off
  struct Case { const char* text; ScanStatus open_end; ScanStatus closed_end; };
  const Case cases[] = {
      {"12", ScanStatus::truncated, ScanStatus::ok},
      {"12 ", ScanStatus::ok, ScanStatus::ok},
      {"1e+", ScanStatus::truncated, ScanStatus::ok},
      {"  ", ScanStatus::truncated, ScanStatus::no_number},
      {"-", ScanStatus::truncated, ScanStatus::no_number},
      {"inf", ScanStatus::truncated, ScanStatus::ok},
      {"infin", ScanStatus::truncated, ScanStatus::no_number},
      {"x", ScanStatus::no_number, ScanStatus::no_number},
  };
  // clang-format on
  for (const Case& c : cases) {
    double value = 0;
    const char* last = c.text + std::strlen(c.text);
    EXPECT_EQ(cellscale::scan_number(c.text, last, false, value).status, c.open_end) << c.text;
    EXPECT_EQ(cellscale::scan_number(c.text, last, true, value).status, c.closed_end) << c.text;
  }
}

// The scan of a text must not depend on what lies after its end: here a
// blank, or characters that would continue a number.
TEST(ScanNumber, LooksAtNothingPastItsEnd) {
  for (const std::string text : {"+", "-", " -", "0", "0x", "1e", "1e+", "1.", "inf", "0x1p", "nan"}) {
    for (const bool at_end : {false, true}) {
      const std::string blank_after = text + " ";
      const std::string number_after = text + "0x1";
      double blank_value = 0;
      double number_value = 0;
      const auto blank =
          cellscale::scan_number(blank_after.data(), blank_after.data() + text.size(), at_end, blank_value);
      const auto number =
          cellscale::scan_number(number_after.data(), number_after.data() + text.size(), at_end, number_value);
      SCOPED_TRACE('"' + text + (at_end ? "\" at the end" : "\" open"));
      EXPECT_EQ(number.status, blank.status);
      EXPECT_EQ(number.next - number_after.data(), blank.next - blank_after.data());
      EXPECT_LE(number.next - number_after.data(), static_cast<long>(text.size()));
      if (blank.status == ScanStatus::ok) {
        EXPECT_TRUE(same_value(number_value, blank_value));
      }
    }
  }
}

TEST(ScanWord, TakesOneRunOfNonBlankCharacters) {
  const std::string text = "  nodata_value\t-9999";
  const char* word = nullptr;
  const auto result = cellscale::scan_word(text.data(), text.data() + text.size(), false, word);
  ASSERT_EQ(result.status, ScanStatus::ok);
  EXPECT_EQ(std::string(word, result.next), "nodata_value");
  const std::string cut = "  ncol";
  EXPECT_EQ(cellscale::scan_word(cut.data(), cut.data() + cut.size(), false, word).status, ScanStatus::truncated);
  EXPECT_EQ(cellscale::scan_word(cut.data(), cut.data() + 2, true, word).status, ScanStatus::no_number);
}

TEST(TruncateToInt64, TruncatesTowardZeroAndMapsTheRestToTheSmallest) {
  constexpr std::int64_t smallest = std::numeric_limits<std::int64_t>::min();
  // clang-format off
  struct Case { double value; std::int64_t expected; };
  const Case cases[] = {
      {4.9, 4}, {-4.9, -4}, {-0.5, 0}, {9.2233720368547748e18, 9223372036854774784},
      {9223372036854775808.0, smallest}, {-9223372036854775808.0, smallest}, {1e300, smallest},
      {std::nan(""), smallest}, {-std::numeric_limits<double>::infinity(), smallest},
  };
  // clang-format on
  for (const Case& c : cases) EXPECT_EQ(cellscale::truncate_to_int64(c.value), c.expected) << c.value;
}

// scan_plain_decimal on text followed by a NUL, as the grid reader holds it,
// and then by digits up to the end of the memory it may read: digits that a
// scan past the NUL would take as part of the number.
const char* scan_plain(const std::string& text, double& value) {
  thread_local std::string held;
  held = text + '\0' + std::string(cellscale::kPlainDecimalReach, '7');
  const char* end = cellscale::scan_plain_decimal(held.data(), held.data() + held.size(), value);
  return end == nullptr ? nullptr : text.data() + (end - held.data());
}

// It must take the number, and take what the C library takes.
void expect_plain_like_libc(const std::string& text) {
  Scanned plain{.ok = true};
  const char* end = scan_plain(text, plain.value);
  ASSERT_NE(end, nullptr) << '"' << text << '"';
  plain.taken = end - text.data();
  expect_like_libc(text, plain);
}

// Every way of reading a run of short plain decimals that this processor
// can take: each must read every run alike.
using cellscale::testing::runnable_instruction_sets;

TEST(ScanPlainDecimal, TakesPlainDecimalsAsTheCLibraryDoes) {
  // clang-format off
  const char* cases[] = {
      "0 ", "-0 ", "-0.0 ", "7\t", "1758.059\t", "-9999\n", "1.\t", "-1.\r\n", "0.000123456789 ",
      "123456789012345 ", "12345678.90123456 ", "0.1234567890123456 ", "-99999999999999.9 ",
      "0.000000000000000001 ", "9007199254740992 ", "9007199254740991 ", "900719925474099.2 ", "0.9007199254740992 ", "00001.50000 ",
      "4000.000 ", "0.5\v", "2.675 ", "0.3 ", "0.1 ", "1.000000000000002 ", "123456.7890123 ",
      // Digit runs that fill 8 characters, end just after them, or take a second and third 8.
      "12345678 ", "123456789 ", "-12345678.9 ", "1.2345678 ", "1234567.8 ", "12345678.12345678 ",
      "1234567890123456 ", "0.1234567890123456\t", "0000000000000000001 ", "0000000000000000.001\n",
  };
  // clang-format on
  for (const char* text : cases) expect_plain_like_libc(text);
}

TEST(ScanPlainDecimal, LeavesEveryOtherFormToTheFullScan) {
  // clang-format off
  const char* cases[] = {
      "",       " 1 ",   "+1 ",    ".5 ",     "-.5 ",    "- 1",     "1e5 ",      "1E5 ",     "1.5e3 ",
      "1.5",    "1.5x",  "1.5.3 ", "1,5 ",    "0x10 ",   "00x1 ",   "nan ",      "inf ",     "-inf ",
      "12345678901234567890 ", "1234567890.1234567890 ", "9007199254740993 ", "99999999999999999 ",
      "1234567890123456789 ", "0.1234567890123456789 ", "1.0000000000000002 ", "0.0000000000000000001 ",
      "-999999999999999.9 ",
      // Halfway cases of binary64 and neighbours written out with 17 digits and more.
      "0.30000000000000004 ", "2.2250738585072014 ", "1.7976931348623157 ", "4.9406564584124654 ",
      "0.1000000000000000055 ",
      "--5 ",   "-",     "-x",     "1-",      "12\x80",
  };
  // clang-format on
  for (const char* text : cases) {
    double value = 0;
    EXPECT_EQ(scan_plain(text, value), nullptr) << '"' << text << '"';
  }
}

// Up to kPlainDecimalReach bytes from the start may be read: a number that
// starts closer to the end of the readable memory is left to the full scan.
TEST(ScanPlainDecimal, ReadsNoFurtherThanItsReach) {
  std::string text = "1758.059\t";
  text.resize(cellscale::kPlainDecimalReach, '\0');
  double value = 0;
  EXPECT_EQ(cellscale::scan_plain_decimal(text.data(), text.data() + text.size(), value), text.data() + 8);
  EXPECT_EQ(value, 1758.059);
  EXPECT_EQ(cellscale::scan_plain_decimal(text.data(), text.data() + text.size() - 1, value), nullptr);
}

// A run reads the short plain decimals one after another, each as the C
// library reads it, and stops before the first cell of any other kind.
TEST(ScanPlainDecimal, RunsStopBeforeAnyOtherCell) {
  struct Case {
    const char* text;
    std::size_t count;  // numbers it may read
    std::size_t read;
  };
  const Case cases[] = {
      {"1577.226\t-9999\t1.\t0.5\n7 -12345.67\r", 10, 6},
      {"1 2  3 ", 10, 2},         // a second blank
      {"1 2 3 ", 2, 2},           // no room for more
      {"1 -x 3 ", 10, 1},         // a sign without digits
      {"1 123456789 3 ", 10, 1},  // more than 8 characters
      {"-9999 1e5 ", 10, 1},      // an exponent
      {"1.5.3 2 ", 10, 0},        // two points
      {"12/4 2 ", 10, 0},         // a slash among the digits
      {".5 2 ", 10, 0},           // no whole digit
      {"2 ", 0, 0},
      // Neighbours of one shape, or of two in turn, and nodata between them.
      {"1577.226\t-9999\t1577.226\t-9999\t-9999\t1577.226\n", 10, 6},
      {"7.5\t12.25\t7.5\t12.25\t100\t7.5\t-1.5\t-12.25\n", 10, 8},
      {"7.5\t12.25\t12.25\t12.25\t7.5\t7.5\t100\t100\t7.5\n", 10, 9},
      {"12345678\t-12345678\t1234.567\t99999999 -0.123456\t0.000001\n", 10, 6},  // the longest
      {"1 2\t3\n4\r5\v6\f7 8 ", 10, 8},                                          // every blank, one after another
      {"1577.226\t1577.2.6\t", 10, 1},  // a second point in the shape of the one before
      {"-1577.22\t-1577.2.\t", 10, 1},
      {"1577.226\t1577/226\t", 10, 1},  // a slash where the point was
      {"-15.25\t-15/25\t", 10, 1},
      {"1577.226\t1577.226x ", 10, 1},  // the shape before, then no blank
      {"1577.226\t1577.2261 ", 10, 1},
      {"1577.226\t1577.226", 10, 1},  // the text's end just after it
      {"1577.226\t-", 10, 1},
  };
  for (const auto set : runnable_instruction_sets()) {
    for (const Case& c : cases) {
      const std::string text = c.text;
      std::string held = text + '\0' + std::string(cellscale::kPlainDecimalReach, '7');
      std::vector<double> values(c.count + 1, -1.0);
      const cellscale::PlainDecimalRun run =
          cellscale::detail::scan_short_plain_decimals_using(set, held.data(), held.data() + held.size(),
                                                             values.data(), c.count);
      EXPECT_EQ(run.count, c.read) << '"' << text << '"';
      // Each value is what the C library reads, and the run ends after the blank of the last.
      const char* p = text.c_str();
      for (std::size_t i = 0; i < run.count; ++i) {
        int taken = 0;
        double expected = 0;
        ASSERT_EQ(std::sscanf(p, "%lg%n", &expected, &taken), 1) << text;
        EXPECT_TRUE(same_value(values[i], expected)) << text << ": value " << i;
        p += taken + 1;
      }
      EXPECT_EQ(run.next - held.data(), p - text.c_str()) << '"' << text << '"';
      EXPECT_EQ(values[run.count], -1.0) << "a value written past the run in \"" << text << '"';
    }
    // Nothing starts within its reach of the end of the readable memory.
    std::string near_end = "1 2 3 ";
    near_end.resize(cellscale::kPlainDecimalReach + 2, '\0');
    double values[3];
    EXPECT_EQ(cellscale::detail::scan_short_plain_decimals_using(set, near_end.data(),
                                                                 near_end.data() + near_end.size(), values, 3)
                  .count,
              2u);
  }
}

// A plain decimal: an optional minus sign, a digit, then digits and at most
// one point. A short one, as the runs take it, has at most 8 characters after
// the sign.
bool is_plain_decimal(std::string_view text) {
  if (!text.empty() && text[0] == '-') text.remove_prefix(1);
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  int points = 0;
  for (const char c : text) {
    if (c == '.') {
      ++points;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return points <= 1;
}

bool is_short_plain_decimal(std::string_view text) {
  return is_plain_decimal(text) && text.size() - (text[0] == '-' ? 1 : 0) <= 8;
}

// Runs of numbers of a few shapes, each mostly like the one before (as a
// grid's cells are), some of them spoilt by one character: every number is
// read as the C library reads it, and the run stops at the first that is not
// a plain decimal of at most 8 characters after the sign.
TEST(ScanPlainDecimal, RunsOfNumbersOfChangingShapesMatchTheCLibrary) {
  std::mt19937_64 generator(17);
  std::uniform_int_distribution<int> digit(0, 9);
  std::uniform_int_distribution<int> length(1, 9);
  std::uniform_int_distribution<int> percent(0, 99);
  const std::string spoilers = "./-+eE x0";
  std::uniform_int_distribution<std::size_t> spoiler(0, spoilers.size() - 1);
  int runs_cut = 0;
  for (int run = 0; run < 3000; ++run) {
    std::vector<std::string> tokens;
    int whole = 4;
    int all = 8;
    for (int i = 0; i < 40; ++i) {
      if (percent(generator) < 20) {  // a new shape
        all = length(generator);
        whole = std::uniform_int_distribution<int>(1, all)(generator);
      }
      std::string token = percent(generator) < 10 ? "-" : "";
      for (int d = 0; d < all; ++d) token += d == whole ? '.' : static_cast<char>('0' + digit(generator));
      if (percent(generator) < 3) {
        token[std::uniform_int_distribution<std::size_t>(0, token.size() - 1)(generator)] =
            spoilers[spoiler(generator)];
      }
      tokens.push_back(token);
    }
    std::string text;
    for (const std::string& token : tokens) {
      const int blank = percent(generator);
      text += token + (blank < 80 ? "\t" : blank < 90 ? " " : "\n");
    }
    const std::string held = text + '\0' + std::string(cellscale::kPlainDecimalReach, '7');
    // The numbers one blank apart, as the text holds them (a spoiler blank splits a token in two).
    std::vector<std::string> numbers;
    std::size_t at = 0;
    while (at < text.size() && numbers.size() < tokens.size()) {
      const std::size_t blank = text.find_first_of(" \t\n", at);
      const std::string number = text.substr(at, blank - at);
      if (number.empty() || !is_short_plain_decimal(number)) break;
      numbers.push_back(number);
      at = blank + 1;
    }
    if (numbers.size() < tokens.size()) ++runs_cut;
    for (const auto set : runnable_instruction_sets()) {
      std::vector<double> values(tokens.size());
      const cellscale::PlainDecimalRun got =
          cellscale::detail::scan_short_plain_decimals_using(set, held.data(), held.data() + held.size(),
                                                             values.data(), values.size());
      ASSERT_EQ(got.count, numbers.size()) << text;
      ASSERT_EQ(got.next - held.data(), static_cast<std::ptrdiff_t>(at)) << text;
      for (std::size_t i = 0; i < got.count; ++i) {
        ASSERT_TRUE(same_value(values[i], std::strtod(numbers[i].c_str(), nullptr))) << numbers[i] << " in " << text;
      }
    }
  }
  EXPECT_GT(runs_cut, 1000) << "too few runs meet a number of another form to say anything";
}

TEST(ScanPlainDecimal, RandomPlainDecimalsMatchTheCLibrary) {
  std::mt19937_64 generator(99);
  std::uniform_int_distribution<int> digit(0, 9);
  std::uniform_int_distribution<int> length(1, 20);
  std::bernoulli_distribution coin(0.5);
  const char* blanks = " \t\n\v\f\r";
  std::uniform_int_distribution<int> blank(0, 5);
  int taken = 0;
  for (int i = 0; i < 300000; ++i) {
    std::string text = coin(generator) ? "-" : "";
    const int whole = length(generator);
    for (int d = 0; d < whole; ++d) text += static_cast<char>('0' + digit(generator));
    if (coin(generator)) {
      text += '.';
      const int fraction = length(generator) - 1;
      for (int d = 0; d < fraction; ++d) text += static_cast<char>('0' + digit(generator));
    }
    text += blanks[blank(generator)];
    double value = 0;
    if (scan_plain(text, value) == nullptr) continue;
    ++taken;
    expect_plain_like_libc(text);
    if (HasFailure()) return;
  }
  EXPECT_GT(taken, 100000) << "too few of the numbers took the fast path to say anything";
}

// Values near the limit of exact integers and with many fraction digits,
// where a conversion that is not correctly rounded shows.
TEST(ScanPlainDecimal, HardCasesMatchTheCLibrary) {
  std::mt19937_64 generator(3);
  std::uniform_int_distribution<std::uint64_t> near_limit((std::uint64_t{1} << 53) - 100000, std::uint64_t{1} << 53);
  std::uniform_int_distribution<int> point(0, 16);
  for (int i = 0; i < 100000; ++i) {
    const std::string digits = std::to_string(near_limit(generator));
    const std::size_t whole = digits.size() - static_cast<std::size_t>(point(generator));
    const std::string text = whole == digits.size() ? digits
                             : whole == 0           ? "0." + digits
                                                    : digits.substr(0, whole) + "." + digits.substr(whole);
    expect_plain_like_libc(text + "\t");
    if (HasFailure()) return;
  }
}

// --- Every short text of a number's characters ------------------------------

// The characters of a decimal number and its exponent: every text of 1 to
// sweep_length() of them is read by each scan below.
constexpr std::string_view kSweepCharacters = "0123456789.-e+";

// CELLSCALE_SCAN_SWEEP_LENGTH (1 to 8), else 6: 8.1 million texts, each
// length 14 times as many as the one before. A sanitizer build, where each
// read costs several times as much, stops at 5 (0.58 million).
std::size_t sweep_length() {
  if (const char* text = std::getenv("CELLSCALE_SCAN_SWEEP_LENGTH"); text != nullptr && *text != '\0') {
    return std::clamp<std::size_t>(std::strtoull(text, nullptr, 10), 1, 8);
  }
#ifdef CELLSCALE_SANITIZED_TESTS
  return 5;
#else
  return 6;
#endif
}

// Calls visit(text) with every text of 1 to `longest` sweep characters;
// returns how many there were.
template <typename Visit>
std::uint64_t for_each_short_text(std::size_t longest, Visit visit) {
  std::uint64_t count = 0;
  for (std::size_t length = 1; length <= longest; ++length) {
    std::vector<std::size_t> place(length, 0);
    std::string text(length, kSweepCharacters[0]);
    std::size_t at = length;
    while (at > 0) {
      visit(text);
      ++count;
      // The next text: the last character that is not the last of the set
      // moves on, those after it start again.
      for (at = length; at > 0 && place[at - 1] + 1 == kSweepCharacters.size(); --at) {
        place[at - 1] = 0;
        text[at - 1] = kSweepCharacters[0];
      }
      if (at > 0) text[at - 1] = kSweepCharacters[++place[at - 1]];
    }
  }
  return count;
}

// The first texts that failed a check, and how many did.
struct SweepFailures {
  std::uint64_t count = 0;
  std::vector<std::string> examples;

  void add(const std::string& text, const std::string& what) {
    if (++count <= 10) examples.push_back('"' + text + "\": " + what);
  }
};

// The text's value and the characters it takes, as strtod reads it.
struct StrtodRead {
  double value = 0;
  long taken = 0;
};

StrtodRead read_with_strtod(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return {value, end - text.c_str()};
}

// scan_number takes what "%lg" takes (which is what strtod takes, and where
// strtod stops short, the characters that could still have begun an exponent,
// as in "1e+") and gives strtod's value; scan_plain_decimal takes exactly the
// plain decimals, to strtod's value. Each text is followed by a blank, then
// the NUL and digits that would lengthen a number read past it; and alone,
// at the end of the text.
TEST(ScanSweep, EveryShortTextIsReadAsTheCLibraryReadsIt) {
  SweepFailures failures;
  std::string held;
  const std::uint64_t texts = for_each_short_text(sweep_length(), [&](const std::string& text) {
    const StrtodRead expected = read_with_strtod(text);
    // A text that strtod reads whole "%lg" also takes whole, up to its blank.
    const Scanned libc = expected.taken == static_cast<long>(text.size())
                             ? Scanned{.ok = true, .value = expected.value, .taken = expected.taken}
                             : scan_with_libc(text);
    held.assign(text);
    held += '\t';
    held += '\0';
    held.append(cellscale::kPlainDecimalReach, '7');

    for (const bool at_end : {false, true}) {
      Scanned ours;
      const char* last = held.data() + text.size() + (at_end ? 0 : 1);
      const cellscale::ScanResult result = cellscale::scan_number(held.data(), last, at_end, ours.value);
      ours.ok = result.status == ScanStatus::ok;
      ours.taken = result.next - held.data();
      if (ours.ok != libc.ok || (ours.ok && (ours.taken != libc.taken || !same_value(ours.value, expected.value)))) {
        failures.add(text, std::string("scan_number differs from %lg and strtod") + (at_end ? " at the end" : ""));
      }
    }

    double plain = 0;
    const char* end = cellscale::scan_plain_decimal(held.data(), held.data() + held.size(), plain);
    if ((end != nullptr) != is_plain_decimal(text)) {
      failures.add(text, end != nullptr ? "scan_plain_decimal took it" : "scan_plain_decimal left it");
    } else if (end != nullptr &&
               (end - held.data() != static_cast<long>(text.size()) ||
                expected.taken != static_cast<long>(text.size()) || !same_value(plain, expected.value))) {
      failures.add(text, "scan_plain_decimal differs from strtod");
    }
  });
  std::printf("%llu texts of up to %zu characters\n", static_cast<unsigned long long>(texts), sweep_length());
  EXPECT_EQ(failures.count, 0U) << testing::PrintToString(failures.examples);
}

// Cells laid out one after another, each followed by one blank, then the NUL
// and digits up to kPlainDecimalReach, and read by runs as the grid reader
// reads them: a run, then the cell it stopped before taken the long way (here
// passed over), then a run again from the next cell. A cell's characters can
// be replaced by others as many, so that the layout is made once for many
// texts.
class LaidCells {
 public:
  void clear() {
    end_of_cells_ = 0;
    cells_.clear();
  }

  // short_plain: a run must read the cell, to `value`; else it must stop
  // before it. Returns the cell's index.
  std::size_t add(const std::string& number, char blank, bool short_plain, double value) {
    text_.resize(end_of_cells_);  // drops what read_back put after the cells
    cells_.push_back({text_.size(), short_plain, value});
    text_ += number;
    text_ += blank;
    end_of_cells_ = text_.size();
    return cells_.size() - 1;
  }

  void replace(std::size_t cell, const std::string& number, bool short_plain, double value) {
    std::memcpy(text_.data() + cells_[cell].start, number.data(), number.size());
    cells_[cell].short_plain = short_plain;
    cells_[cell].value = value;
  }

  // What went wrong with reading the cells the way of `set`, or nothing.
  const char* read_back(cellscale::InstructionSet set) {
    if (text_.size() == end_of_cells_) {
      text_ += '\0';
      text_.append(cellscale::kPlainDecimalReach, '7');
      values_.resize(cells_.size());
    }
    const char* const base = text_.data();
    std::size_t cell = 0;
    while (cell < cells_.size()) {
      const cellscale::PlainDecimalRun run =
          cellscale::detail::scan_short_plain_decimals_using(set, base + cells_[cell].start, base + text_.size(),
                                                             values_.data(), cells_.size() - cell);
      for (std::size_t i = 0; i < run.count; ++i) {
        if (!cells_[cell + i].short_plain) return "a run took a cell that is no short plain decimal";
        if (!same_value(values_[i], cells_[cell + i].value)) return "a run read a value other than strtod's";
      }
      cell += run.count;
      read_ += run.count;
      if (run.next != base + (cell < cells_.size() ? cells_[cell].start : end_of_cells_)) {
        return "a run ended elsewhere than just after the blank of the last cell it read";
      }
      if (cell < cells_.size() && cells_[cell++].short_plain) return "a run stopped before a short plain decimal";
    }
    return nullptr;
  }

  std::uint64_t read() const { return read_; }

 private:
  struct Cell {
    std::size_t start;
    bool short_plain;
    double value;
  };
  std::string text_;
  std::size_t end_of_cells_ = 0;
  std::vector<Cell> cells_;
  std::vector<double> values_;
  std::uint64_t read_ = 0;  // cells read by runs, over every read_back
};

// The text as a cell: whether a run must read it (a short plain decimal that
// strtod reads whole) and its value.
struct SweepCell {
  bool short_plain = false;
  double value = 0;
};

SweepCell sweep_cell(const std::string& text) {
  const StrtodRead read = read_with_strtod(text);
  return {is_short_plain_decimal(text) && read.taken == static_cast<long>(text.size()), read.value};
}

// Runs read the way of each instruction set (one the processor lacks is
// skipped).
class ScanSweepRuns : public cellscale::testing::EveryInstructionSet {};
CELLSCALE_FOR_EVERY_INSTRUCTION_SET(ScanSweepRuns);

// Each text among numbers of every shape of its length after the sign, of its
// sign (the shapes it must fit, or be told apart from, character by
// character), and among copies of itself less its last character (whose
// shape it must not fit: that character stands where the blank was). After
// tabs, one such number and then the text, which meets the shape as the one
// last learnt; after spaces, two and then the text, which meets it as the
// first one tried. The text is followed by a blank of the shape's kind (tab,
// line feed, vertical tab, form feed, carriage return in turn; a space), so
// that only its characters can tell it from the shape. A run reads the text
// exactly when it is a short plain decimal, to strtod's value, reads every
// other short plain decimal, and takes the long way nowhere else.
TEST_P(ScanSweepRuns, EveryShortTextBesideEveryShapeOfItsLength) {
  const cellscale::InstructionSet set = GetParam();
  SweepFailures failures;
  LaidCells cells;
  // The cells that hold the text, and those that hold it less its last
  // character, in the layout made for texts of this length and sign.
  std::vector<std::size_t> text_cells;
  std::vector<std::size_t> shorter_cells;
  std::size_t laid_length = 0;
  bool laid_negative = false;
  std::string shorter;
  SweepCell shorter_cell;
  const std::uint64_t texts = for_each_short_text(sweep_length(), [&](const std::string& text) {
    const SweepCell cell = sweep_cell(text);
    const bool negative = text[0] == '-';
    if (text.size() > 1 && text.compare(0, text.size() - 1, shorter) != 0) {
      shorter = text.substr(0, text.size() - 1);
      shorter_cell = sweep_cell(shorter);
    }
    if (text.size() == laid_length && negative == laid_negative) {
      for (const std::size_t at : text_cells) cells.replace(at, text, cell.short_plain, cell.value);
      for (const std::size_t at : shorter_cells) {
        cells.replace(at, shorter, shorter_cell.short_plain, shorter_cell.value);
      }
    } else {
      laid_length = text.size();
      laid_negative = negative;
      cells.clear();
      text_cells.clear();
      shorter_cells.clear();
      const std::size_t length = std::max<std::size_t>(text.size() - (negative ? 1 : 0), 1);
      for (const char blank : {'\t', ' '}) {
        // The last group is of the text less its last character.
        for (std::size_t whole = 1; whole <= length + (text.size() > 1 ? 1 : 0); ++whole) {
          std::string number = negative ? "-" : "";
          number += decimal_of_shape(length, whole);
          const SweepCell by = sweep_cell(number);
          for (int copies = blank == ' ' ? 2 : 1; copies > 0; --copies) {
            if (whole <= length) {
              cells.add(number, blank, by.short_plain, by.value);
            } else {
              shorter_cells.push_back(cells.add(shorter, blank, shorter_cell.short_plain, shorter_cell.value));
            }
          }
          const char after = blank == ' ' ? ' ' : "\t\n\v\f\r"[whole % 5];
          text_cells.push_back(cells.add(text, after, cell.short_plain, cell.value));
        }
      }
    }
    if (const char* why = cells.read_back(set)) failures.add(text, why);
  });
  std::printf("%llu texts of up to %zu characters, %llu cells read by runs\n", static_cast<unsigned long long>(texts),
              sweep_length(), static_cast<unsigned long long>(cells.read()));
  EXPECT_EQ(failures.count, 0U) << testing::PrintToString(failures.examples);
}

// Every byte, 0 to 255, right after a number of each shape a run learns (1
// to 8 characters after the sign, the point in every place or none, positive
// and negative), the shape learnt after a tab and after a space: one number
// of the shape and then the number with the byte, which meets the shape as
// the one last learnt, and two and then it, as the first one tried. A blank
// ends the number, which a run reads; any other byte joins the number in a
// cell up to the blank of the shape's kind, which a run reads only when it is
// a short plain decimal (a digit, or a point after the whole digits) and
// must stop before otherwise.
TEST_P(ScanSweepRuns, EveryByteAfterANumberOfEveryShape) {
  const cellscale::InstructionSet set = GetParam();
  const std::string blanks = " \t\n\v\f\r";
  SweepFailures failures;
  LaidCells cells;
  for (int byte = 0; byte < 256; ++byte) {
    const char after = static_cast<char>(byte);
    const bool blank_after = blanks.find(after) != std::string::npos;
    for (const bool negative : {false, true}) {
      for (const char learnt_after : {'\t', ' '}) {
        for (std::size_t length = 1; length <= 8; ++length) {
          for (std::size_t whole = 1; whole <= length; ++whole) {
            std::string learnt = negative ? "-" : "";
            learnt += decimal_of_shape(length, whole);
            std::string number = negative ? "-" : "";
            number += decimal_of_shape(length, whole, "1357924680");
            const SweepCell learnt_cell = sweep_cell(learnt);
            cells.clear();
            for (int copies = learnt_after == ' ' ? 2 : 1; copies > 0; --copies) {
              cells.add(learnt, learnt_after, true, learnt_cell.value);
            }
            if (blank_after) {
              const SweepCell number_cell = sweep_cell(number);
              cells.add(number, after, true, number_cell.value);
            } else {
              const std::string joined = number + after;
              const SweepCell joined_cell = sweep_cell(joined);
              cells.add(joined, learnt_after, joined_cell.short_plain, joined_cell.value);
            }
            if (const char* why = cells.read_back(set)) {
              char name[96];
              std::snprintf(name, sizeof name, "%s then byte 0x%02x, learnt after a %s", number.c_str(), byte,
                            learnt_after == ' ' ? "space" : "tab");
              failures.add(name, why);
            }
          }
        }
      }
    }
  }
  EXPECT_EQ(failures.count, 0U) << testing::PrintToString(failures.examples);
}

// --- Numbers read as they stream in (LongNumberScan) -----------------------

// What a LongNumberScan makes of `text` handed to it in parts of `part`
// characters, as a reader fed by a stream hands it: the characters taken,
// whether it became whole, and its value as at the end of the text.
struct LongRead {
  bool ok = false;
  double value = 0;
  std::uint64_t taken = 0;
  bool whole = false;
};

LongRead read_long(const std::string& text, std::size_t part) {
  cellscale::LongNumberScan scan;
  std::size_t at = 0;
  while (at < text.size() && !scan.whole()) {
    const char* const end = text.data() + std::min(text.size(), at + part);
    const char* const stop = scan.take(text.data() + at, end);
    // A part is taken whole unless the number became whole in it.
    EXPECT_TRUE(stop == end || scan.whole()) << text.substr(0, 60);
    at = static_cast<std::size_t>(stop - text.data());
  }
  LongRead read;
  read.ok = scan.value(read.value) == ScanStatus::ok;
  read.taken = scan.taken();
  read.whole = scan.whole();
  EXPECT_EQ(read.taken, at);
  return read;
}

// Handed any text a character at a time, or all at once, the scan takes
// what scan_number takes of the whole text and reads it to the same value:
// every text of up to five characters of a number's kinds, the texts that
// the C library comparison above reads, and random texts of the characters
// of every form (decimal, hexadecimal, words).
TEST(LongNumberScan, TakesAndReadsWhatScanNumberDoes) {
  std::vector<std::string> texts = {
      "nan",      "-NaN",   "nanx",  "inf",    "-INF",     "infinity", "infinityx", "infin", "infix", "infinitx",
      "0",        "-0",     "00x1",  "0x",     "-0x",      "0x.",      "0xg",       "0xp1",  "0x1p",  "0x1p+",
      "0x1.8p-3", "0X.8P1", "0x1e1", "1e",     "1e+",      "1e+-5",    "1e5e5",     "1.5.3", ".5",    ".e1",
      "+.x",      "--5",    "1e400", "1e-400", "4.9e-324", "0e99",     "-.0e-0",    "i",     "+",     ".",
  };
  const std::string kinds = "08.eE+-xpP";
  for (std::size_t length = 1; length <= 5; ++length) {
    std::string text(length, kinds[0]);
    std::vector<std::size_t> place(length, 0);
    while (true) {
      texts.push_back(text);
      std::size_t at = length;
      for (; at > 0 && place[at - 1] + 1 == kinds.size(); --at) {
        place[at - 1] = 0;
        text[at - 1] = kinds[0];
      }
      if (at == 0) break;
      text[at - 1] = kinds[++place[at - 1]];
    }
  }
  const std::string alphabet = "0123456789abcdefABCDEF.eE+-xXpPnNiItTyY";
  std::mt19937_64 generator(20261208);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> random_length(1, 14);
  for (int i = 0; i < 100000; ++i) {
    std::string text;
    for (int n = random_length(generator); n > 0; --n) text += alphabet[pick(generator)];
    texts.push_back(text);
  }
  SweepFailures failures;
  for (const std::string& text : texts) {
    double expected = 0;
    const cellscale::ScanResult result =
        cellscale::scan_number(text.data(), text.data() + text.size(), true, expected);
    const auto taken = static_cast<std::uint64_t>(result.next - text.data());
    for (const std::size_t part : {std::size_t{1}, std::size_t{3}, text.size()}) {
      const LongRead read = read_long(text, part);
      if (read.ok != (result.status == ScanStatus::ok)) {
        failures.add(text, read.ok ? "read a number where scan_number reads none" : "read no number");
      } else if (read.ok && (read.taken != taken || !same_value(read.value, expected))) {
        failures.add(text, "took " + std::to_string(read.taken) + " characters to " + std::to_string(read.value));
      } else if (read.ok && taken < text.size() && !read.whole) {
        failures.add(text, "not whole before a character that cannot continue it");
      }
    }
  }
  EXPECT_EQ(failures.count, 0U) << testing::PrintToString(failures.examples);
}

// The exact decimal text of m * 2^e, by exact integer arithmetic on
// decimal digits (m * 5^-e with the point -e places from the right when e
// is negative).
std::string exact_decimal(std::uint64_t m, int e) {
  std::vector<int> digits;  // least significant first
  for (; m > 0; m /= 10) digits.push_back(static_cast<int>(m % 10));
  if (digits.empty()) digits.push_back(0);
  const int factor = e >= 0 ? 2 : 5;
  for (int i = 0; i < std::abs(e); ++i) {
    int carry = 0;
    for (int& digit : digits) {
      const int product = digit * factor + carry;
      digit = product % 10;
      carry = product / 10;
    }
    for (; carry > 0; carry /= 10) digits.push_back(carry % 10);
  }
  const std::size_t fraction = e >= 0 ? 0 : static_cast<std::size_t>(-e);
  while (digits.size() <= fraction) digits.push_back(0);
  std::string text;
  for (std::size_t i = digits.size(); i-- > 0;) {
    text += static_cast<char>('0' + digits[i]);
    if (i == fraction && i > 0) text += '.';
  }
  return text;
}

// Numbers far longer than the digits the scan keeps, each read in parts as
// a stream brings it and all at once, must round as strtod rounds the same
// text, and to the double worked out here exactly. The halfway points
// between neighbouring doubles (1 and the next, around 2^53, the largest
// double and the overflow past it, 0 and the smallest subnormal, the
// smallest normal, 0.1) are written exactly (exact_decimal) and then: with
// 100000 zeros and a 1 after them, which only a digit that far decides
// (up); exactly, zeros after them (to even); just below, its last 5 a 4
// and 100000 nines after it (down). Exponents come written with many
// digits, and points with many zeros before the first digit.
TEST(LongNumberScan, ReadsLongNumbersAsStrtodRoundsThem) {
  constexpr std::size_t kFar = 100000;
  const std::string zeros(kFar, '0');
  const std::string nines(kFar, '9');
  struct Case {
    std::string text;
    double expected;
  };
  std::vector<Case> cases;
  const double neighbours[] = {
      1.0, 9007199254740992.0, std::numeric_limits<double>::max(), 0.0, std::numeric_limits<double>::min(), 0.1};
  for (const double below : neighbours) {
    const double above = std::nextafter(below, std::numeric_limits<double>::infinity());
    // below = m * 2^e with a whole m: the midpoint is (2m + 1) * 2^(e - 1).
    int e = 0;
    const double fraction = std::frexp(below == 0 ? std::numeric_limits<double>::denorm_min() : below, &e);
    std::uint64_t m = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    e -= 53;
    if (e < -1074) {  // a subnormal's m has fewer bits
      m >>= -1074 - e;
      e = -1074;
    }
    if (below == 0) m = 0;
    // A whole midpoint is given a point for the digits after it.
    const std::string midpoint = exact_decimal(2 * m + 1, e - 1) + (e - 1 >= 0 ? "." : "");
    std::uint64_t bits = 0;
    std::memcpy(&bits, &below, sizeof bits);
    const double even = (bits & 1) == 0 ? below : above;
    // Its last digit is not 0 (the midpoint is no multiple of 10).
    std::string just_below = midpoint;
    const std::size_t last_digit = just_below.find_last_not_of('.');
    ASSERT_NE(just_below[last_digit], '0') << midpoint;
    --just_below[last_digit];
    cases.push_back({midpoint + zeros + "1", above});
    cases.push_back({midpoint + zeros, even});
    cases.push_back({just_below + nines, below});
    cases.push_back({"-" + midpoint + zeros + "1", -above});
  }
  // The midpoint above 1 with its point moved by exponents of many digits.
  const std::string one_up = exact_decimal((std::uint64_t{1} << 53) + 1, -53);  // "1.00000000000000011102..."
  const std::string one_up_digits = "1" + one_up.substr(2);
  const std::string fraction_places = std::to_string(one_up_digits.size() - 1);
  cases.push_back({one_up_digits + zeros + "1e-" + zeros + std::to_string(one_up_digits.size() - 1 + kFar + 1),
                   std::nextafter(1.0, 2.0)});
  cases.push_back({"0." + zeros + one_up_digits + "e+" + zeros + std::to_string(kFar + 1), 1.0});
  cases.push_back({"0." + zeros + one_up_digits + "1E" + std::to_string(kFar + 1), std::nextafter(1.0, 2.0)});
  const Case exponents[] = {
      {"0." + std::string(399999, '0') + "1", 0.0},         // 1e-400000
      {"-0." + std::string(399999, '0') + "1", -0.0},       // -1e-400000
      {"1" + std::string(400000, '0') + "e-400000", 1.0},   //
      {"0." + std::string(399999, '0') + "1e400000", 1.0},  //
      {"1e-" + zeros + "400000", 0.0},                      //
      {"1e" + zeros + "308", 1e308},                        //
      {"1e" + zeros + "309", std::numeric_limits<double>::infinity()},
      {"1e-" + zeros + "324", 0.0},  // below half the smallest subnormal
      {"3e-" + zeros + "324", std::numeric_limits<double>::denorm_min()},
      {"1e" + nines, std::numeric_limits<double>::infinity()},
      {"1e-" + nines, 0.0},
      {"0e" + nines, 0.0},
      {"-0." + zeros + "e+" + nines, -0.0},
      {"2" + zeros + "e-" + std::to_string(kFar), 2.0},
      {nines + "." + nines, std::strtod((nines + ".").c_str(), nullptr)},  // rounds to 1e100000: infinity
      // Hexadecimal: 1 + 2^-53, halfway between 1 and the next double.
      {"0x1." + std::string(13, '0') + "8" + zeros + "1", std::nextafter(1.0, 2.0)},
      {"0x1." + std::string(13, '0') + "8" + zeros, 1.0},
      {"0x" + zeros + "1p-1074", std::numeric_limits<double>::denorm_min()},
      {"0x1p-" + zeros + "1075", 0.0},
      {"0x1." + zeros + "1p-1075", std::numeric_limits<double>::denorm_min()},
      {"0x1p" + zeros + "1024", std::numeric_limits<double>::infinity()},
      {"0x" + std::string(kFar, 'f'), std::numeric_limits<double>::infinity()},
  };
  cases.insert(cases.end(), std::begin(exponents), std::end(exponents));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40) + "... (" + std::to_string(c.text.size()) + " characters)");
    char* end = nullptr;
    const double by_strtod = std::strtod(c.text.c_str(), &end);
    ASSERT_EQ(end, c.text.c_str() + c.text.size()) << "strtod takes the whole text";
    EXPECT_TRUE(same_value(by_strtod, c.expected)) << by_strtod << " by strtod";
    // As the text came through a grid: a blank after it, which ends it.
    const std::string cell = c.text + "\t";
    for (const std::size_t part : {std::size_t{4096}, cell.size()}) {
      const LongRead read = read_long(cell, part);
      ASSERT_TRUE(read.ok);
      EXPECT_TRUE(read.whole);
      EXPECT_EQ(read.taken, c.text.size());
      EXPECT_TRUE(same_value(read.value, by_strtod)) << read.value << " in parts of " << part;
    }
    double whole = 0;
    ASSERT_EQ(cellscale::scan_number(c.text.data(), c.text.data() + c.text.size(), true, whole).status,
              ScanStatus::ok);
    EXPECT_TRUE(same_value(whole, by_strtod)) << whole << " by scan_number";
  }
}

}  // namespace
