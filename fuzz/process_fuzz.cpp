// Fuzzes the whole built tool, as a process: grid files of all three formats
// from a start corpus are mutated, run with a random output option and random
// replies on standard input, and every run is held against what
// reference_grid.h predicts for it: exit status, standard output and the
// bytes of the output file. A run is a finding when it dies by a signal, does
// not end within the time limit, writes anything on standard error beyond
// the warnings predicted and a failure's reason (a sanitizer report, say),
// or leaves another result than predicted.
//
//   process_fuzz --seconds N [--state N] [--findings DIR] CORPUS_DIR...
//   process_fuzz --replay CASE_FILE_OR_DIR...
//
// Every finding is written to the findings folder as a case file (the grid,
// the arguments and standard input); --replay runs such files again, which is
// how fuzz/regressions/process is replayed. The exit status is 1 when there
// was a finding, 0 otherwise.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/reference_grid.h"
#include "support/tool_run.h"

namespace {

namespace fs = std::filesystem;
namespace reference = cellscale::reference;
using cellscale::testing::read_file;
using cellscale::testing::RunOptions;
using cellscale::testing::ScratchFolder;
using cellscale::testing::ToolResult;
using cellscale::testing::without_reasons;
using cellscale::testing::write_file;

// Runs longer than this (rows times columns + 1) are not made: a header may
// ask for billions of empty rows, which is a long run, not a hang.
constexpr std::uint64_t kMostWork = 2'000'000;
// Rows from this wide on are left out, so that each run stays short.
constexpr std::int64_t kWidestRow = 1 << 22;
constexpr std::size_t kLargestGrid = 1 << 16;

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

struct Case {
  std::string grid;
  std::vector<std::string> arguments;
  std::optional<std::string> input;
};

// Case files: "cellscale process case", then each part as a line with its
// name and length, its bytes and a line break.
std::string save_case(const Case& c) {
  std::string text = "cellscale process case\n";
  auto put = [&](const std::string& name, const std::string& bytes) {
    text += name + ' ' + std::to_string(bytes.size()) + '\n' + bytes + '\n';
  };
  put("grid", c.grid);
  for (const std::string& argument : c.arguments) put("argument", argument);
  if (c.input) put("input", *c.input);
  return text;
}

std::optional<Case> load_case(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != "cellscale process case") return std::nullopt;
  Case c;
  std::string name;
  std::size_t length = 0;
  while (in >> name >> length) {
    in.get();
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    in.get();
    if (!in) return std::nullopt;
    if (name == "grid") {
      c.grid = bytes;
    } else if (name == "argument") {
      c.arguments.push_back(bytes);
    } else if (name == "input") {
      c.input = bytes;
    } else {
      return std::nullopt;
    }
  }
  return c;
}

// The first `most` bytes with line ends and other unprintable bytes escaped.
std::string printable(const std::string& bytes, std::size_t most = 300) {
  std::string out;
  for (const char c : bytes.substr(0, most)) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
    out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c >= 32 && c <= 126 ? std::string(1, c) : std::string(hex);
  }
  return bytes.size() > most ? out + "..." : out;
}

enum class Verdict { passed, skipped, finding };

struct Outcome {
  Verdict verdict = Verdict::passed;
  std::string why;
  int status = -1;  // the exit status of the run
};

// Runs one case and holds it against the prediction.
Outcome run_case(const Case& c) {
  Outcome outcome;
  auto finding = [&](const std::string& why) {
    outcome.verdict = Verdict::finding;
    outcome.why = why;
    return outcome;
  };
  reference::Prediction prediction = reference::predict_run(c.grid, c.arguments, c.input, kMostWork);
  if (prediction.unforeseen || prediction.too_long || prediction.columns > kWidestRow) {
    return {Verdict::skipped, ""};
  }

  ScratchFolder folder;
  write_file(folder / "in", c.grid);
  const RunOptions options = {.timeout_seconds = 20, .file_size_limit = 64u << 20};
  const ToolResult result = cellscale::testing::run_tool(folder.path(), c.arguments, c.input, options);
  outcome.status = result.status;

  if (result.timed_out) return finding("no end within " + std::to_string(options.timeout_seconds) + " s");
  if (result.signal != 0) return finding("ended by signal " + std::to_string(result.signal));
  // Standard error holds the warnings the model foresees and the lines that
  // give a failure's reason (held to their texts by the tests of the tool's
  // messages), and nothing else.
  if (without_reasons(result.errors) != prediction.run.errors) {
    return finding("standard error: " + printable(result.errors, 2000) + ", predicted " +
                   printable(prediction.run.errors, 2000));
  }
  if (result.status != prediction.run.status || result.output != prediction.run.output) {
    return finding("status " + std::to_string(result.status) + " and output \"" + printable(result.output) +
                   "\", predicted status " + std::to_string(prediction.run.status) + " and output \"" +
                   printable(prediction.run.output) + "\"");
  }
  const fs::path written = folder / prediction.output_name;
  if (!prediction.run.file) {
    if (!prediction.output_name.empty() && fs::exists(written)) {
      return finding("an output file was made where none should be");
    }
    return outcome;
  }
  if (!fs::exists(written)) return finding("no output file");
  std::string why;
  if (!reference::same_file(*prediction.run.file, read_file(written), prediction.output, prediction.nan_factor,
                            why)) {
    return finding(why);
  }
  return outcome;
}

// Mutations: byte-level, and aware of the formats (number words in text,
// whole values in binary grids).
class Mutator {
 public:
  explicit Mutator(std::uint64_t state, std::vector<std::string> corpus)
      : random_(state), corpus_(std::move(corpus)) {}

  Case next() {
    Case c;
    c.grid = pick(corpus_);
    const int rounds = static_cast<int>(below(4));
    for (int i = 0; i < rounds; ++i) mutate(c.grid);
    if (c.grid.size() > kLargestGrid) c.grid.resize(kLargestGrid);

    const std::string output = below(6) == 0 ? "no/such/out" : "out";
    c.arguments = {"in", output};
    static const std::vector<std::string> options = {"-f:t",    "-f:d",  "-f:s", "-f:",       "x:d-f:s", "-f:S",
                                                     "a:b-f:d", "-f:dd", "-f",   "-f:single", ""};
    const unsigned shape = static_cast<unsigned>(below(20));
    if (shape < 15) {
      c.arguments.push_back(pick(options));
    } else if (shape < 17) {
      c.arguments.push_back(random_text(8, false));
    } else if (shape == 17) {
      c.arguments.push_back(pick(options));
      c.arguments.push_back("-f:d");
    } else if (shape == 18) {
      c.arguments.resize(below(2));  // too few arguments: the usage text
    }
    // clang-format off
    static const std::vector<std::string> replies = {
        "2\n", "", "abc\n", "nan\n", "-nan\n", "-0\n", "1e308\n", "-1e308\n", "0x1p-1074\n", "\n\n 3.5e2 x\n",
        "-inf\n", "0\n", "1\n", "0.1\n", "1e+\n", "+.5e-1\n", "0x1.8p1\n", "infinity\n", "-2.5"};
    // clang-format on
    std::string reply = below(8) == 0 ? random_text(12, true) : pick(replies);
    if (output != "out") {
      static const std::vector<std::string> names = {"out\n", "\n", "no/x\nout\n", "out", "no/x\n"};
      reply = pick(names) + reply;
    }
    if (below(10) != 0) c.input = reply;  // else standard input is closed
    return c;
  }

 private:
  std::uint64_t below(std::uint64_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<std::uint64_t>(0, n - 1)(random_);
  }

  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[below(from.size())];
  }

  std::string random_text(std::size_t most, bool text_like) {
    std::string text;
    const std::size_t length = below(most + 1);
    static const std::string alphabet = "0123456789.eE+-xXpPnaifNIF \t\n";
    for (std::size_t i = 0; i < length; ++i) {
      text += text_like ? alphabet[below(alphabet.size())] : static_cast<char>(1 + below(255));
    }
    return text;
  }

  void mutate(std::string& grid) {
    const reference::Layout layout = reference::recognise(grid);
    switch (below(10)) {
      case 0:  // flip bits
        if (!grid.empty()) grid[below(grid.size())] ^= static_cast<char>(1 << below(8));
        break;
      case 1:  // a random byte
        if (!grid.empty()) grid[below(grid.size())] = static_cast<char>(below(256));
        break;
      case 2:  // insert bytes
        grid.insert(below(grid.size() + 1), random_text(8, below(2) == 0));
        break;
      case 3:  // delete a range
        if (!grid.empty()) {
          const std::size_t at = below(grid.size());
          grid.erase(at, 1 + below(std::min<std::size_t>(16, grid.size() - at)));
        }
        break;
      case 4:  // cut short
        grid.resize(below(grid.size() + 1));
        break;
      case 5:  // repeat a range
        if (!grid.empty() && grid.size() < kLargestGrid / 2) {
          const std::size_t at = below(grid.size());
          const std::size_t length = 1 + below(std::min<std::size_t>(256, grid.size() - at));
          grid.insert(below(grid.size() + 1), grid.substr(at, length));
        }
        break;
      case 6:  // the start of one grid with the end of another
      {
        const std::string& other = pick(corpus_);
        grid = grid.substr(0, below(grid.size() + 1)) + other.substr(below(other.size() + 1));
        break;
      }
      default:  // a value replaced by one of the awkward ones
        if (layout == reference::Layout::text) {
          replace_text_number(grid);
        } else if (layout != reference::Layout::none) {
          replace_binary_value(grid, reference::width_of(layout));
        }
        break;
    }
  }

  void replace_text_number(std::string& grid) {
    // clang-format off
    static const std::vector<std::string> words = {
        "nan", "-nan", "inf", "-inf", "infinity", "0", "-0", "1", "2", "2147483647", "2147483648", "-1", "1e308",
        "1e-320", "0x1p3", "2.9", "0.5", "1e", "-", "+.5", "4.9e-324", "99999999999999999999", "3e9", "1.7", "-9999",
        "-9999.0", "-9998", "0x", "1e+", "NaN", "INF", "12345678", "1e400"};
    // clang-format on
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < grid.size(); ++i) {
      if ((i == 0 || is_blank(grid[i - 1])) && !is_blank(grid[i])) starts.push_back(i);
    }
    if (starts.empty()) return;
    // The header values are the even words among the first twelve: favour them.
    std::size_t which = below(starts.size());
    if (below(2) == 0 && starts.size() > 1) which = 1 + 2 * below(std::min<std::size_t>(6, starts.size() / 2));
    which = std::min(which, starts.size() - 1);
    std::size_t end = starts[which];
    while (end < grid.size() && !is_blank(grid[end])) ++end;
    grid.replace(starts[which], end - starts[which], pick(words));
  }

  void replace_binary_value(std::string& grid, std::size_t width) {
    // clang-format off
    static const std::vector<double> values = {
        std::nan(""), -std::nan(""), INFINITY, -INFINITY, 0, -0.0, 1, 2, 3, 2.9, 0.5, 1.7, -1, -0.5, 2147483647.0,
        2147483648.0, 3e9, 1e300, -1e300, 5e-324, -9999, -9998, 16777217, 1e38, 4e38, 100000, 1 << 20, 70000000};
    // clang-format on
    if (grid.size() < width) return;
    const std::size_t slots = grid.size() / width;
    std::size_t slot = below(slots);
    if (below(2) == 0) slot = std::min<std::size_t>(below(2), slots - 1);  // ncols or nrows
    std::string bytes;
    reference::append_value(bytes, width, pick(values));
    grid.replace(slot * width, width, bytes);
  }

  std::mt19937_64 random_;
  std::vector<std::string> corpus_;
};

// The files named and the files in the folders named, sorted by name.
std::vector<fs::path> files_in(const std::vector<std::string>& places) {
  std::vector<fs::path> files;
  for (const fs::path place : places) {
    if (fs::is_regular_file(place)) files.push_back(place);
    if (!fs::is_directory(place)) continue;
    for (const auto& entry : fs::directory_iterator(place)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

void report(const Case& c, const Outcome& outcome, const std::string& saved_as) {
  std::cerr << "FINDING: " << outcome.why << "\n  grid: \"" << printable(c.grid) << "\"\n  arguments:";
  for (const std::string& argument : c.arguments) std::cerr << " \"" << printable(argument) << '"';
  std::cerr << "\n  standard input: " << (c.input ? '"' + printable(*c.input) + '"' : std::string("closed")) << '\n';
  if (!saved_as.empty()) std::cerr << "  saved as " << saved_as << '\n';
}

int replay(const std::vector<std::string>& places) {
  int findings = 0;
  int runs = 0;
  for (const fs::path& file : files_in(places)) {
    const std::optional<Case> c = load_case(read_file(file));
    if (!c) {
      std::cerr << file.string() << ": not a case file\n";
      ++findings;
      continue;
    }
    const Outcome outcome = run_case(*c);
    ++runs;
    if (outcome.verdict == Verdict::finding) {
      ++findings;
      report(*c, outcome, file.string());
    }
  }
  std::cout << "process replay: " << runs << " cases, " << findings << " findings\n";
  return findings == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> places;
  double seconds = 10;
  std::uint64_t state = std::random_device{}();
  std::string findings_folder = "process-findings";
  bool replaying = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--seconds" && i + 1 < argc) {
      seconds = std::stod(argv[++i]);
    } else if (word == "--state" && i + 1 < argc) {
      state = std::stoull(argv[++i]);
    } else if (word == "--findings" && i + 1 < argc) {
      findings_folder = argv[++i];
    } else if (word == "--replay") {
      replaying = true;
    } else {
      places.push_back(word);
    }
  }
  if (replaying) return replay(places);

  std::vector<std::string> corpus;
  for (const fs::path& file : files_in(places)) corpus.push_back(read_file(file));
  if (corpus.empty()) {
    std::cerr << "usage: process_fuzz --seconds N [--state N] [--findings DIR] CORPUS_DIR...\n"
                 "       process_fuzz --replay CASE_FILE_OR_DIR...\n";
    return 2;
  }
  std::cout << "process fuzzing: " << corpus.size() << " grids, random generator state " << state << ", " << seconds
            << " s\n";
  Mutator mutator(state, corpus);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  long runs = 0;
  long skipped = 0;
  long findings = 0;
  std::map<int, long> statuses;
  while (std::chrono::steady_clock::now() < deadline) {
    const Case c = mutator.next();
    const Outcome outcome = run_case(c);
    if (outcome.verdict == Verdict::skipped) {
      ++skipped;
      continue;
    }
    ++runs;
    ++statuses[outcome.status];
    if (outcome.verdict == Verdict::finding) {
      ++findings;
      fs::create_directories(findings_folder);
      const fs::path saved =
          fs::path(findings_folder) / ("finding-" + std::to_string(state) + "-" + std::to_string(runs) + ".case");
      write_file(saved, save_case(c));
      report(c, outcome, saved.string());
    }
  }
  std::cout << "process fuzzing: " << runs << " runs (by exit status:";
  for (const auto& [status, count] : statuses) std::cout << ' ' << status << ": " << count << ',';
  std::cout << ") " << skipped << " cases too long to run, " << findings << " findings\n";
  return findings == 0 ? 0 : 1;
}
