#include "grid/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/instruction_sets.h"
#include "support/reference_grid.h"

namespace {

using cellscale::ScanStatus;
using cellscale::reference::same_value;

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
  auto is_short_plain = [](const std::string& token) {
    const std::size_t start = token[0] == '-' ? 1 : 0;
    const std::size_t point = token.find('.', start);
    const std::string whole = token.substr(start, point == std::string::npos ? std::string::npos : point - start);
    const std::string fraction = point == std::string::npos ? "" : token.substr(point + 1);
    const auto all_digits = [](const std::string& part) {
      return part.find_first_not_of("0123456789") == std::string::npos;
    };
    return token.size() - start <= 8 && !whole.empty() && all_digits(whole) && all_digits(fraction);
  };
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
      if (number.empty() || !is_short_plain(number)) break;
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

}  // namespace
