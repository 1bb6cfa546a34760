// The command line, the opening of the files with the prompt for another
// output name, and the reply to the factor prompt, through the built tool.

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/exact_statistics.h"
#include "support/gzip_bytes.h"
#include "support/run_case.h"

namespace {

using namespace cellscale::testing;
using namespace std::string_literals;

const std::string kUsage = cellscale::reference::usage_text();
const std::string kGrid = text_header("3", "2", "10", "20", "5", "-9999") + "1 2.5 -9999\n4 5 6\n";
// kGrid scaled by 2 and by 1, as the tool writes them (CR LF line ends on Windows).
const std::string kGridDoubled =
    native_lines(text_header("3", "2", "10", "20", "5", "-9999") + "2\t5\t-9999\n8\t10\t12\n");
const std::string kGridCopied =
    native_lines(text_header("3", "2", "10", "20", "5", "-9999") + "1\t2.5\t-9999\n4\t5\t6\n");
// The files and arguments most cases start with.
const std::map<std::string, std::string> kInGrid = {{"in.asc", kGrid}};
const std::vector<std::string> kInOut = {"in.asc", "out.asc"};
const std::vector<std::string> kInNoFolder = {"in.asc", "no/such/out.asc"};

TEST(CommandLine, UsageAndOutputFormatChoice) {
  // clang-format off
  const RunCase usage[] = {
      {.name = "no arguments", .input = "", .output = kUsage, .status = 1},
      {.name = "one argument", .files = kInGrid, .arguments = {"in.asc"}, .input = "2\n", .output = kUsage,
       .status = 1, .results = {{"in.asc", kGrid}}},
  };
  // clang-format on
  for (const RunCase& c : usage) check_run(c);
  // No option, -f:t, upper-case -f:S and a:b-f:d write text; arguments after the third are ignored.
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{}, {"-f:t"}, {"-f:S"}, {"a:b-f:d"}, {"-f:t", "-f:d", "x"}}) {
    RunCase c = in_to_out("options:", kGrid, "2\n", run_output(2), 0, kGridDoubled);
    for (const std::string& option : options) c.name += " " + option;
    c.arguments.insert(c.arguments.end(), options.begin(), options.end());
    check_run(c);
  }
}

// The older form warns on standard error when its output does not keep what
// the input said; standard output, the status and the output's bytes stay
// as they were. The texts are written out here by hand.
TEST(CommandLine, WarningsOfOutputsThatLoseWhatTheInputSaid) {
  const std::string utm = text_header("2", "1", "5151875", "20", "5", "-9999") + "1 -9999\n";
  const std::string kept_header = text_header("2", "1", "515187", "-0.25", "0.1", "-9999") + "1 -9999\n";
  const std::string fine_cells = text_header("2", "1", "1", "2", "0.123456789", "-9999") + "1 -9999\n";
  const std::string no_text_nodata = text_header("2", "1", "10", "20", "5", "-32768") + "1 -32768\n";
  const std::string lossy_header = text_header("2", "1", "5151875", "20", "5", "-32768") + "1 -32768\n";
  const std::string kept_nodata = text_header("2", "1", "10", "20", "5", "-9999") + "1 -9999\n";
  const std::string utm_warning =
      "warning: xllcorner 5151875 is written as 5.15188e+006; cellscale --factor F --digits shortest keeps it\n";
  const auto nodata_warning = [](const std::string& name) {
    return "warning: " + name +
           " has nodata_value -32768, not -9999: cellscale will not recognise it as a grid when it is given as an "
           "input\n";
  };
  const auto run = [](std::string name, std::string grid, std::vector<std::string> arguments, std::string errors,
                      std::map<std::string, std::optional<std::string>> results = {}) {
    return RunCase{.name = std::move(name),
                   .files = {{"in.asc", std::move(grid)}},
                   .arguments = std::move(arguments),
                   .input = "2\n",
                   .output = run_output(1),
                   .errors = std::move(errors),
                   .results = std::move(results)};
  };
  // clang-format off
  const RunCase cases[] = {
      run("a UTM corner in text", utm, {"in.asc", "out.asc"}, utm_warning,
          {{"out.asc", native_lines("ncols\t2\nnrows\t1\nxllcorner\t5.15188e+006\nyllcorner\t20\ncellsize\t5\n"
                                    "nodata_value\t-9999\n2\t-9999\n")}}),
      run("values that six digits keep", kept_header, {"in.asc", "out.asc"}, "",
          {{"out.asc", native_lines("ncols\t2\nnrows\t1\nxllcorner\t515187\nyllcorner\t-0.25\ncellsize\t0.1\n"
                                    "nodata_value\t-9999\n2\t-9999\n")}}),
      run("a fine cell size", fine_cells, {"in.asc", "out.asc"},
          "warning: cellsize 0.123456789 is written as 0.123457; cellscale --factor F --digits shortest keeps it\n"),
      run("a text output's nodata is never the matter", no_text_nodata, {"in.asc", "out.asc"}, ""),
      // A binary output keeps the header's values whole: only its nodata value counts.
      run("nodata -32768 in double", lossy_header, {"in.asc", "out.dbl", "-f:d"}, nodata_warning("out.dbl")),
      run("nodata -32768 in single", no_text_nodata, {"in.asc", "out.flt", "-f:s"}, nodata_warning("out.flt")),
      run("nodata -9999 in double", kept_nodata, {"in.asc", "out.dbl", "-f:d"}, ""),
      run("nodata -9999 in single", utm, {"in.asc", "out.flt", "-f:s"}, ""),
      // The form for scripts does not warn.
      {.name = "the form for scripts", .files = {{"in.asc", lossy_header}},
       .arguments = {"--factor", "2", "in.asc", "out.asc"}},
      {.name = "the form for scripts, double", .files = {{"in.asc", lossy_header}},
       .arguments = {"--factor", "2", "-f:d", "in.asc", "out.dbl"}},
  };
  // clang-format on
  for (const RunCase& c : cases) check_run(c);
  // What the nodata warning says: such an output is no input the tool takes.
  ScratchFolder folder;
  write_file(folder / "in.asc", no_text_nodata);
  ASSERT_EQ(run_tool(folder.path(), {"in.asc", "out.dbl", "-f:d"}, "2\n").status, 0);
  expect_ended(run_tool(folder.path(), {"out.dbl", "again.asc"}, "2\n"), unrecognised("out.dbl"), 98);
}

// The whole grid in the format chosen, its statistics block included.
TEST(CommandLine, OptionAnywhereInTheArgumentChoosesBinary) {
  for (const auto& [option, width] : {std::pair{"xx-f:d", 8}, std::pair{"-f:sx", 4}, std::pair{"-f:single", 4}}) {
    SCOPED_TRACE(option);
    const auto predicted = check_predicted_run(kGrid, {"in.asc", "out.bin", option}, "1\n");
    expect_binary_grid(width, *predicted.run.file, {3, 2, 10, 20, 5, -9999}, {1, 2.5, -9999, 4, 5, 6});
  }
}

// The message that scripts match on standard output, and on standard error
// the reason, as far as the tool can tell it.
TEST(Opening, InputsThatCannotBeUsed) {
  const std::string not_ncols = " is text that does not begin with \"ncols\" in lower case, as a text grid does\n";
  const std::string no_grid =
      " is no grid (a binary grid holds the nodata value -9999 in bytes 41 to 48 as a double, or in bytes 21 to 24 "
      "as a single)\n";
  const std::string unpack = ": unpack it first (gzip is read as it is)\n";
  std::string binary(96, '\x01');
  // clang-format off
  std::vector<RunCase> cases = {
      {.name = "missing input", .arguments = {"nothere.asc", "out.asc"}, .input = "1\n",
       .output = "could not open input file nothere.asc\n",
       .errors = "cellscale: nothere.asc: " + std::string(std::strerror(ENOENT)) + "\n", .status = 98,
       .results = {{"out.asc", std::nullopt}}},
      {.name = "capital NCOLS", .files = {{"in.asc", "NCOLS 3\nNROWS 1\n"}}, .arguments = kInOut, .input = "1\n",
       .output = unrecognised("in.asc"), .errors = "cellscale: in.asc" + not_ncols, .status = 98,
       .results = {{"out.asc", std::nullopt}}},
      {.name = "blank line first", .files = {{"in.asc", "\n" + kGrid}}, .arguments = kInOut, .input = "1\n",
       .output = unrecognised("in.asc"), .errors = "cellscale: in.asc" + not_ncols, .status = 98},
      {.name = "empty input", .files = {{"in.asc", ""}}, .arguments = kInOut, .input = "1\n",
       .output = unrecognised("in.asc"), .errors = "cellscale: in.asc is empty\n", .status = 98},
      {.name = "an image", .files = {{"in.png", "\x89PNG\r\n\x1a\n" + binary}}, .arguments = {"in.png", "out.asc"},
       .input = "1\n", .output = unrecognised("in.png"), .errors = "cellscale: in.png is a PNG image, not a grid\n",
       .status = 98},
      {.name = "a TIFF image", .files = {{"in.tif", std::string("II*\0", 4) + binary}},
       .arguments = {"in.tif", "out.asc"}, .input = "1\n", .output = unrecognised("in.tif"),
       .errors = "cellscale: in.tif is a TIFF image, not a grid\n", .status = 98},
      {.name = "xz", .files = {{"in.xz", std::string("\xFD" "7zXZ\0", 6) + binary}},
       .arguments = {"in.xz", "out.asc"}, .input = "1\n", .output = unrecognised("in.xz"),
       .errors = "cellscale: in.xz is compressed with xz" + unpack, .status = 98},
      {.name = "bzip2", .files = {{"in.bz2", "BZh9" + binary}}, .arguments = {"in.bz2", "out.asc"}, .input = "1\n",
       .output = unrecognised("in.bz2"), .errors = "cellscale: in.bz2 is compressed with bzip2" + unpack,
       .status = 98},
      {.name = "zstd", .files = {{"in.zst", "\x28\xB5\x2F\xFD" + binary}}, .arguments = {"in.zst", "out.asc"},
       .input = "1\n", .output = unrecognised("in.zst"),
       .errors = "cellscale: in.zst is compressed with zstd" + unpack, .status = 98},
      {.name = "zip", .files = {{"in.zip", "PK\x03\x04" + binary}}, .arguments = {"in.zip", "out.asc"},
       .input = "1\n", .output = unrecognised("in.zip"), .errors = "cellscale: in.zip is compressed with zip" + unpack,
       .status = 98},
      {.name = "gzip of text", .files = {{"in.gz", gzip_members("NCOLS 3\n")}}, .arguments = {"in.gz", "out.asc"},
       .input = "1\n", .output = unrecognised("in.gz"),
       .errors = "cellscale: in.gz is gzip-compressed, and what it holds" + not_ncols, .status = 98},
      {.name = "gzip of nothing", .files = {{"in.gz", gzip_members("")}}, .arguments = {"in.gz", "out.asc"},
       .input = "1\n", .output = unrecognised("in.gz"),
       .errors = "cellscale: in.gz is gzip-compressed, and what it holds is empty or damaged\n", .status = 98},
      {.name = "binary with another nodata", .files = {{"in.dbl", binary}}, .arguments = {"in.dbl", "out.asc"},
       .input = "1\n", .output = unrecognised("in.dbl"), .errors = "cellscale: in.dbl" + no_grid, .status = 98},
  };
  // clang-format on
  // Windows opens no folder as a file; POSIX systems open it, and its first read fails.
  cases.push_back({.name = "a folder is no grid",
                   .arguments = {".", "out.asc"},
                   .input = "1\n",
                   .output = target_is_windows() ? "could not open input file .\n" : unrecognised("."),
                   .errors = target_is_windows() ? "" : "cellscale: . is a folder\n",
                   .status = 98,
                   .results = {{"out.asc", std::nullopt}}});
  for (const RunCase& c : cases) check_run(c);
}

// A text row that stops at text that begins no number: the message scripts
// match, and on standard error the byte and where it stands (counted from 1
// in the text, decompressed); a comma is named as the decimal comma it
// most often is. An input that just ends has no such byte.
TEST(Opening, ARowThatStopsSaysWhere) {
  const std::string header = text_header("3", "2", "10", "20", "5", "-9999");
  const std::string at = std::to_string(header.size() + 4);  // "1 2,5": the comma is the fourth byte
  const std::string comma = "cellscale: in.asc: row 1 stops at ',', byte " + at +
                            " of its text, which begins no number: a decimal comma? A grid's numbers are written "
                            "with a point (2.5)\n";
  // clang-format off
  const RunCase cases[] = {
      in_to_out("a decimal comma", header + "1 2,5 3\n4 5 6\n", "2\n", read_failure("in.asc", 1, 2), 5),
      in_to_out("a letter after a number", header + "1 2 3\n4 5x 6\n", "2\n", read_failure("in.asc", 2, 2), 5),
      in_to_out("a control byte", header + "1 2 3\n4\t\x01 6\n", "2\n", read_failure("in.asc", 2, 1), 5),
      {.name = "compressed", .files = {{"in.asc.gz", gzip_members(header + "1 2,5 3\n4 5 6\n")}},
       .arguments = {"in.asc.gz", "out.asc"}, .input = "2\n", .output = read_failure("in.asc.gz", 1, 2),
       .errors = "cellscale: in.asc.gz" + comma.substr(std::string("cellscale: in.asc").size()), .status = 5},
  };
  // clang-format on
  std::vector<RunCase> all(std::begin(cases), std::end(cases));
  all[0].errors = comma;
  all[1].errors = "cellscale: in.asc: row 2 stops at 'x', byte " + std::to_string(header.size() + 10) +
                  " of its text, which begins no number\n";
  all[2].errors = "cellscale: in.asc: row 2 stops at byte 0x01, byte " + std::to_string(header.size() + 9) +
                  " of its text, which begins no number\n";
  for (const RunCase& c : all) check_run(c);

  ScratchFolder folder;
  write_file(folder / "in.asc", header + "1 2 3\n4 5");
  const ToolResult cut = run_tool(folder.path(), kInOut, "2\n");
  EXPECT_EQ(cut.status, 5);
  EXPECT_EQ(cut.errors, "");
}

const std::string kCannotOpen = name_prompt("no/such/out.asc");

TEST(Opening, PromptsForAnotherOutputName) {
  const std::string named = kCannotOpen + "\r\n" + run_output(2);
  // Every case starts from in.asc and asks for no/such/out.asc.
  auto prompted = [](RunCase c) {
    c.files = kInGrid;
    c.arguments = kInNoFolder;
    return c;
  };
  // clang-format off
  const RunCase cases[] = {
      prompted({.name = "empty reply ends the run", .input = "\n2\n", .output = kCannotOpen, .status = 1}),
      prompted({.name = "end of input at the prompt ends the run", .input = "", .output = kCannotOpen, .status = 1}),
      prompted({.name = "closed input at the prompt ends the run", .input = std::nullopt, .output = kCannotOpen,
                .status = 1}),
      // The reason goes to standard error, where it leaves the older form's standard output as it was.
      prompted({.name = "a good name goes on", .input = "good.asc\n2\n", .output = named,
                .errors = "cellscale: no/such/out.asc: " + std::string(std::strerror(ENOENT)) + "\n",
                .results = {{"good.asc", kGridDoubled}}}),
      // The reply meant as the factor is taken as the name, and the factor is then 1.
      prompted({.name = "a factor at the name prompt is a name", .input = "2\n", .output = named,
                .results = {{"2", kGridCopied}}}),
      prompted({.name = "a last line without a line break is a name", .input = "good.asc", .output = named,
                .results = {{"good.asc", kGridCopied}}}),
      prompted({.name = "the prompt repeats until a name opens", .input = "no/x.asc\ngood.asc\n2\n",
                .output = kCannotOpen + "\r\n" + name_prompt("no/x.asc") + "\r\n" + run_output(2),
                .results = {{"good.asc", kGridDoubled}}}),
      // A file name is a C string: a NUL ends it.
      prompted({.name = "a NUL first is an empty reply", .input = "\0abc\n2\n"s, .output = kCannotOpen, .status = 1,
                .results = {{"abc", std::nullopt}}}),
      prompted({.name = "a lone NUL is an empty reply", .input = "\0\ngood.asc\n2\n"s, .output = kCannotOpen,
                .status = 1, .results = {{"good.asc", std::nullopt}}}),
      prompted({.name = "a NUL ends the name", .input = "ab\0cd\n2\n"s, .output = named,
                .results = {{"ab", kGridDoubled}}}),
      // Standard input is read in text mode: on Windows CR LF ends a line as LF
      // does, and Ctrl-Z ends the input (as it does typed at the console).
      target_is_windows()
          ? prompted({.name = "a CR LF line end ends the name", .input = "good\r\n2\n", .output = named,
                      .results = {{"good", kGridDoubled}, {"good\r", std::nullopt}}})
          : prompted({.name = "a carriage return stays in the name", .input = "good\r\n2\n", .output = named,
                      .results = {{"good\r", kGridDoubled}, {"good", std::nullopt}}}),
      target_is_windows()
          ? prompted({.name = "Ctrl-Z at the prompt is the end of input", .input = "\x1a\ngood.asc\n2\n",
                      .output = kCannotOpen, .status = 1, .results = {{"good.asc", std::nullopt}}})
          : prompted({.name = "Ctrl-Z is a character of the name", .input = "\x1a\ngood.asc\n2\n", .output = named,
                      .results = {{"\x1a", kGridCopied}, {"good.asc", std::nullopt}}}),
  };
  // clang-format on
  for (const RunCase& c : cases) check_run(c);
}

TEST(Opening, LaterMessagesNameTheReplacementOutput) {
  const std::string cut = text_header("3", "2", "10", "20", "5", "-9999") + "1 2 3\n";
  check_run({.name = "row read error after a new name",
             .files = {{"in.asc", cut}},
             .arguments = {"in.asc", "no/such/out.asc", "-f:d"},
             .input = "new.bin\n1\n",
             .output = kCannotOpen + "\r\n" + read_failure("in.asc", 2, 0),
             .status = 5});
  ScratchFolder folder;
  write_file(folder / "in.asc", kGrid);
  const std::string full = full_device();
  const ToolResult result = run_tool(folder.path(), {"in.asc", "no/such/out.asc", "-f:d"}, full + "\n1\n");
  expect_ended(result, kCannotOpen + "\r\n" + run_output(2) + "error writing into " + full + " \n", 4);
}

TEST(Opening, AnOutputThatIsTheInputIsRefused) {
  ScratchFolder folder;
  write_file(folder / "in.asc", kGrid);
  std::filesystem::create_hard_link(folder / "in.asc", folder / "hard.asc");
  std::filesystem::create_symlink("in.asc", folder / "soft.asc");
  for (const std::string name : {"in.asc", "./in.asc", "hard.asc", "soft.asc"}) {
    check_run({.name = name,
               .arguments = {"in.asc", name},
               .input = "\n",
               .output = name_prompt(name),
               .status = 1,
               .results = {{"in.asc", kGrid}}},
              folder);
  }
  check_run({.name = "replaced",
             .arguments = {"in.asc", "in.asc"},
             .input = "hard.asc\nout.asc\n2\n",
             .output = name_prompt("in.asc") + "\r\n" + name_prompt("hard.asc") + "\r\n" + run_output(2),
             .results = {{"in.asc", kGrid}, {"out.asc", kGridDoubled}}},
            folder);
}

// Names in any script. On Windows they are opened through the wide-character
// interfaces, while messages show a name as the narrow argument shows it there:
// in the ANSI code page (1252 under Wine here), with "?" for what the page
// lacks, and a name typed at the prompt is read in that page. The same-file
// check finds the very file that is opened, by name, link or letter case.
TEST(Opening, NamesInAnyScript) {
  const bool windows = target_is_windows();
  auto shown = [&](const std::string& name, const std::string& ansi) { return windows ? ansi : name; };
  // clang-format off
  std::vector<RunCase> cases = {
      {.name = "Cyrillic in, CJK out", .files = {{"Высота.asc", kGrid}}, .arguments = {"Высота.asc", "高度.asc"},
       .input = "2\n", .output = run_output(2), .results = {{"高度.asc", kGridDoubled}, {"Высота.asc", kGrid}}},
      {.name = "accents in and out", .files = {{"Höhe.asc", kGrid}}, .arguments = {"Höhe.asc", "Größe.asc"},
       .input = "2\n", .output = run_output(2), .results = {{"Größe.asc", kGridDoubled}}},
      {.name = "a missing input", .arguments = {"Нет.asc", "out.asc"}, .input = "2\n",
       .output = "could not open input file " + shown("Нет.asc", "???.asc") + "\n", .status = 98,
       .results = {{"out.asc", std::nullopt}}},
      {.name = "the input by its own name", .files = {{"Высота.asc", kGrid}}, .arguments = {"Высота.asc", "Высота.asc"},
       .input = "\n", .output = name_prompt(shown("Высота.asc", "??????.asc")), .status = 1,
       .results = {{"Высота.asc", kGrid}}},
      {.name = "the input through its folder", .files = {{"€.asc", kGrid}}, .arguments = {"€.asc", "./€.asc"},
       .input = "\n", .output = name_prompt(shown("./€.asc", "./\x80.asc")), .status = 1, .results = {{"€.asc", kGrid}}},
      {.name = "an older output is replaced", .files = {{"高度.asc", kGrid}, {"out.asc", "an older output\n"}},
       .arguments = {"高度.asc", "out.asc"}, .input = "2\n", .output = run_output(2),
       .results = {{"out.asc", kGridDoubled}, {"高度.asc", kGrid}}},
      {.name = "a replacement name typed at the prompt", .files = kInGrid, .arguments = {"in.asc", "in.asc"},
       .input = shown("Größe.asc", "Gr\xF6\xDF" "e.asc") + "\n2\n", .output = name_prompt("in.asc") + "\r\n" + run_output(2),
       .results = {{"Größe.asc", kGridDoubled}, {"in.asc", kGrid}}},
  };
  if (windows) {
    cases.push_back({.name = "the input in capitals", .files = {{"высота.asc", kGrid}},
                     .arguments = {"высота.asc", "ВЫСОТА.ASC"}, .input = "\n", .output = name_prompt("??????.ASC"),
                     .status = 1, .results = {{"высота.asc", kGrid}}});
    cases.push_back({.name = "accented capitals", .files = {{"Höhe.asc", kGrid}}, .arguments = {"Höhe.asc", "HÖHE.ASC"},
                     .input = "\n", .output = name_prompt("H\xD6HE.ASC"), .status = 1, .results = {{"Höhe.asc", kGrid}}});
  }
  // clang-format on
  for (const RunCase& c : cases) check_run(c);

  // A hard link in another script is the input too.
  ScratchFolder folder;
  write_file(folder / "in.asc", kGrid);
  std::filesystem::create_hard_link(folder / "in.asc", folder / "ссылка.asc");
  const std::string links[][3] = {{"in.asc", "ссылка.asc", shown("ссылка.asc", "??????.asc")},
                                  {"ссылка.asc", "in.asc", "in.asc"}};
  for (const auto& [input, output, output_shown] : links) {
    check_run({.name = output,
               .arguments = {input, output},
               .input = "\n",
               .output = name_prompt(output_shown),
               .status = 1,
               .results = {{"in.asc", kGrid}}},
              folder);
  }
}

// Drive letters, backslashes and names that differ only in letter case reach
// the tool on Windows as a user types them, and every message names a file as
// it was given. Wine shows the test's scratch folder on drive Z:.
TEST(Opening, WindowsPathForms) {
  if (!target_is_windows()) GTEST_SKIP() << "drive letters, backslashes and case-blind names are Windows path forms";
  // clang-format off
  const RunCase cases[] = {
      {.name = "input with a backslash", .files = kInGrid, .arguments = {".\\in.asc", "out.asc"}, .input = "2\n",
       .output = run_output(2), .results = {{"out.asc", kGridDoubled}}},
      {.name = "output with a backslash", .files = kInGrid, .arguments = {"in.asc", ".\\out.asc"}, .input = "2\n",
       .output = run_output(2), .results = {{"out.asc", kGridDoubled}}},
      {.name = "a missing output folder named with backslashes", .files = kInGrid,
       .arguments = {"in.asc", "no\\such\\out.asc"}, .input = "\n", .output = name_prompt("no\\such\\out.asc"), .status = 1},
      {.name = "a header error names the input as given", .files = {{"in.asc", "ncols 3\n"}},
       .arguments = {".\\in.asc", "out.asc"}, .input = "1\n", .output = "error reading fiel header from .\\in.asc\n",
       .status = 1, .results = {{"out.asc", ""}}},
      {.name = "the input in capitals is the input", .files = kInGrid, .arguments = {"in.asc", "IN.ASC"},
       .input = "\n", .output = name_prompt("IN.ASC"), .status = 1, .results = {{"in.asc", kGrid}}},
      {.name = "the input with a backslash is the input", .files = kInGrid, .arguments = {"in.asc", ".\\In.asc"},
       .input = "\n", .output = name_prompt(".\\In.asc"), .status = 1, .results = {{"in.asc", kGrid}}},
  };
  // clang-format on
  for (const RunCase& c : cases) check_run(c);

  ScratchFolder folder;
  write_file(folder / "in.asc", kGrid);
  const std::string drive_folder = wine_drive_path(folder.path());
  const std::string input = drive_folder + "\\in.asc";
  const std::string output = drive_folder + "\\out.asc";
  // clang-format off
  const RunCase drive_cases[] = {
      {.name = "drive paths", .arguments = {input, output}, .input = "2\n", .output = run_output(2),
       .results = {{"out.asc", kGridDoubled}}},
      {.name = "a missing input by its drive path", .arguments = {drive_folder + "\\nothere.asc", "x.asc"},
       .input = "2\n", .output = "could not open input file " + drive_folder + "\\nothere.asc\n", .status = 98},
      {.name = "the input by its drive path", .arguments = {"in.asc", input}, .input = "\n",
       .output = name_prompt(input), .status = 1, .results = {{"in.asc", kGrid}}},
  };
  // clang-format on
  for (const RunCase& c : drive_cases) check_run(c, folder);
}

TEST(Opening, LongPathsAreAccepted) {
  ScratchFolder folder;
  std::string nested;
  for (int i = 0; i < 6; ++i) nested += std::string(100, static_cast<char>('a' + i)) + "/";
  std::filesystem::create_directories(folder / nested);
  const std::string input = nested + std::string(200, 'i') + ".asc";
  const std::string output = nested + std::string(200, 'o') + ".asc";
  write_file(folder / input, kGrid);
  // The same from the root, with a name in another script: a full path of
  // over 900 characters (on Windows a drive path with backslashes), and the
  // output that is the input is still found.
  std::string absolute = target_is_windows() ? wine_drive_path(folder.path()) + "\\" : folder.path().string() + "/";
  for (char c : nested) absolute += c == '/' && target_is_windows() ? '\\' : c;
  write_file(folder / nested / "Высота.asc", kGrid);
  const std::string input_from_root = absolute + std::string(200, 'i') + ".asc";
  // clang-format off
  const RunCase cases[] = {
      {.name = "long names", .arguments = {input, output}, .input = "2\n", .output = run_output(2),
       .results = {{output, kGridDoubled}}},
      {.name = "a long name that is missing", .arguments = {input + "x", output}, .input = "2\n",
       .output = "could not open input file " + input + "x\n", .status = 98},
      {.name = "from the root", .arguments = {absolute + "Высота.asc", absolute + "高度.asc"}, .input = "2\n",
       .output = run_output(2), .results = {{nested + "高度.asc", kGridDoubled}}},
      {.name = "the input from the root", .arguments = {input, input_from_root}, .input = "\n",
       .output = name_prompt(input_from_root), .status = 1, .results = {{input, kGrid}}},
  };
  // clang-format on
  for (const RunCase& c : cases) check_run(c, folder);
}

TEST(FactorReply, TakenAsANumberScanTakesIt) {
  const std::string header = text_header("3", "2", "10", "20", "5", "-9999");
  auto reply = [](std::string name, std::optional<std::string> input, std::string result, std::string grid = kGrid) {
    return in_to_out(std::move(name), std::move(grid), std::move(input), run_output(2), 0, std::move(result));
  };
  // clang-format off
  const RunCase cases[] = {
      reply("a plain number", "2\n", kGridDoubled),
      reply("blank lines are skipped", "\n\n  \n2\n", kGridDoubled),
      reply("text after the number is ignored", "2 apples\n", kGridDoubled),
      reply("letters leave the factor at 1", "abc\n", kGridCopied),
      reply("no reply leaves the factor at 1", "", kGridCopied),
      reply("closed input leaves the factor at 1", std::nullopt, kGridCopied),
      reply("exponent and sign", " -0.5e1\n", native_lines(header + "-5\t-12.5\t-9999\n-20\t-25\t-30\n")),
      reply("zero makes negative zero of negative cells", "0\n", native_lines(header + "-0\t0\t-9999\n0\t-0\t0\n"),
            header + "-1 0 -9999\n4 -0 6\n"),
      reply("a hexadecimal factor", "0x2\n", kGridDoubled),
      // Blanks are the C locale's six in every locale: a no-break space (a
      // blank in the Windows code page 1252) begins no number.
      reply("a no-break space is no blank", "\xA0" "2\n", kGridCopied),
      reply("the six blanks are skipped", " \t\v\f\r\n2\n", kGridDoubled),
  };
  // clang-format on
  for (const RunCase& c : cases) check_run(c);
}

// A closed standard input at the output-name prompt ends the run, also when
// the input grid is binary and stays open while the prompt reads (the grid's
// bytes are never read as a name). Opening.AClosedStandardInputIsNeverTheInputGrid
// holds the factor prompt.
TEST(ClosedStandardStreams, AClosedStandardInputAtTheNamePromptWithABinaryGrid) {
  std::vector<double> cells(100 * 60);
  for (std::size_t i = 0; i < cells.size(); ++i) cells[i] = static_cast<double>(i % 1000) + 0.5;
  const std::vector<double> header = {100, 60, 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0};
  for (const auto& [name, width] : {std::pair{"double", 8}, std::pair{"single", 4}}) {
    SCOPED_TRACE(name);
    const std::string grid = binary_grid(width, header, cells) + std::string(8192, '\n');
    check_run({.name = "output name prompt: the run ends",
               .files = {{"in", grid}},
               .arguments = {"in", "no/such/out", "-f:d"},
               .input = std::nullopt,
               .output = name_prompt("no/such/out"),
               .status = 1,
               .results = {{"in", grid}}});
  }
}

// Nor does a file the tool opens take the place of a closed standard output:
// the grid it writes holds no message and no progress dot.
TEST(ClosedStandardStreams, AClosedStandardOutputIsNeverTheOutputGrid) {
  for (const char* option : {"-f:t", "-f:d"}) {
    ScratchFolder folder;
    write_file(folder / "in.asc", kGrid);
    const ToolResult result =
        run_tool(folder.path(), {"in.asc", "out", option}, "2\n", {.close_standard_output = true});
    SCOPED_TRACE(option);
    expect_ended(result, "", 0);
    if (std::string(option) == "-f:t") {
      EXPECT_EQ(read_file(folder / "out"), kGridDoubled);
    } else {
      expect_binary_grid(8, read_file(folder / "out"), {3, 2, 10, 20, 5, -9999}, {2, 5, -9999, 8, 10, 12});
    }
  }
}

// With standard input closed, the input grid could become the descriptor that
// the factor is read from. Every cell byte here is "2", so a factor read from
// the grid would be a huge number instead of 1.
TEST(Opening, AClosedStandardInputIsNeverTheInputGrid) {
  ScratchFolder folder;
  const std::string header = binary_grid(8, {1000, 100, 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0}, {});
  const std::string cells(1000 * 100 * 8, '2');
  write_file(folder / "in.dbl", header + cells);
  const ToolResult result = run_tool(folder.path(), {"in.dbl", "out.dbl", "-f:d"}, std::nullopt);
  expect_ended(result, run_output(100), 0);
  EXPECT_TRUE(read_file(folder / "out.dbl").substr(96) == cells) << "the factor must stay 1";
}

// An input that cannot go back to its start (a pipe, a FIFO, <(zcat ...)) is
// read in one pass: the same grid through a file and through a FIFO gives the
// same messages, status and output, in every format and cut short anywhere.
// A gzip input, of one member or two, from a file or a pipe, reads as
// the plain grid does.
TEST(Opening, APipeIsReadAsAFileIs) {
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<double> header = {3, 2, 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0};
  const std::string grids[] = {kGrid, binary_grid(8, header, {1, 2, 3, 4, 5, 6}),
                               binary_grid(4, header, {1, 2, 3, 4, 5, 6})};
  const char* options[] = {"-f:t", "-f:d", "-f:s"};
  for (std::size_t g = 0; g < 3; ++g) {
    // Whole, cut inside the bytes looked at to tell the format, cut in the rows.
    for (const std::size_t size : {grids[g].size(), std::size_t{40}, grids[g].size() - 5}) {
      const std::string bytes = grids[g].substr(0, size);
      const char* option = options[(g + size) % 3];
      SCOPED_TRACE(std::to_string(grids[g].size()) + " bytes cut to " + std::to_string(size) + ", " + option);
      ScratchFolder file_folder;
      write_file(file_folder / "in", bytes);
      const ToolResult from_file = run_tool(file_folder.path(), {"in", "out", option}, "2\n");
      ScratchFolder pipe_folder;
      ASSERT_EQ(mkfifo((pipe_folder / "in").c_str(), 0600), 0);
      std::thread writer([&] { std::ofstream(pipe_folder / "in", std::ios::binary) << bytes; });
      const ToolResult from_pipe = run_tool(pipe_folder.path(), {"in", "out", option}, "2\n");
      writer.join();
      EXPECT_EQ(from_pipe.output, from_file.output);
      EXPECT_EQ(from_pipe.status, from_file.status);
      EXPECT_EQ(read_file(pipe_folder / "out"), read_file(file_folder / "out"));
      for (const std::string& gz : {gzip_members(bytes), gzip_members(bytes, {size / 3, size / 2})}) {
        for (const bool through_pipe : {false, true}) {
          SCOPED_TRACE(std::string("gzip, ") + (through_pipe ? "through a pipe" : "from a file"));
          ScratchFolder folder;
          std::thread gz_writer;
          if (through_pipe) {
            ASSERT_EQ(mkfifo((folder / "in").c_str(), 0600), 0);
            gz_writer = std::thread([&] { std::ofstream(folder / "in", std::ios::binary) << gz; });
          } else {
            write_file(folder / "in", gz);
          }
          const ToolResult from_gzip = run_tool(folder.path(), {"in", "out", option}, "2\n");
          if (gz_writer.joinable()) gz_writer.join();
          EXPECT_EQ(from_gzip.output, from_file.output);
          EXPECT_EQ(from_gzip.status, from_file.status);
          EXPECT_EQ(read_file(folder / "out"), read_file(file_folder / "out"));
        }
      }
    }
  }
}

// A run ends at once, whatever its input is doing: the input pipe has
// delivered 30 of 1000 rows and then stays open and quiet, and the output
// is a full disk; or the pipe delivered a whole grid (large enough for the
// threads) and stays open. The run ends while the pipe is still open (it
// would stay so for a minute), with threads and on one processor.
TEST(Opening, ARunEndsWhileItsInputPipeStaysOpen) {
  if (target_is_windows()) GTEST_SKIP() << "POSIX FIFOs";
  std::signal(SIGPIPE, SIG_IGN);
  std::string text_rows;
  for (int i = 0; i < 30 * 1000; ++i) text_rows += (i % 1000 == 999) ? "1577.226\n" : "1577.226 ";
  const std::vector<double> header = {1000, 1000, 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0};
  std::string whole_grid = "ncols 400\nnrows 400\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9999\n";
  for (int i = 0; i < 400 * 400; ++i) whole_grid += (i % 400 == 399) ? "1.5\n" : "1.5 ";
  const struct {
    std::string delivered;
    const char* option;
    std::string output;
    int status;
  } cases[] = {
      {"ncols 1000\nnrows 1000\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9999\n" + text_rows, "-f:t",
       full_device(), 6},
      {binary_grid(8, header, std::vector<double>(30 * 1000, 1577.226)), "-f:d", full_device(), 6},
      {whole_grid, "-f:t", "out.asc", 0},
  };
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  cpu_set_t first;
  CPU_ZERO(&first);
  CPU_SET(0, &first);
  for (const auto& grid : cases) {
    for (const bool one_processor : {false, true}) {
      SCOPED_TRACE(std::string(grid.option) + (one_processor ? ", one processor" : ", all processors"));
      ScratchFolder folder;
      ASSERT_EQ(mkfifo((folder / "in").c_str(), 0600), 0);
      std::mutex mutex;
      std::condition_variable run_ended;
      bool ended = false;
      bool closed_before_the_end = false;
      std::thread writer([&] {
        {
          std::ofstream pipe(folder / "in", std::ios::binary);
          pipe << grid.delivered << std::flush;
          std::unique_lock lock(mutex);
          closed_before_the_end = !run_ended.wait_for(lock, std::chrono::seconds(60), [&] { return ended; });
        }
      });
      // The tool takes the affinity of the thread that starts it.
      if (one_processor) {
        ASSERT_EQ(sched_setaffinity(0, sizeof first, &first), 0);
      }
      const ToolResult result = run_tool(folder.path(), {"in", grid.output, grid.option}, "2\n");
      ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
      {
        const std::lock_guard lock(mutex);
        ended = true;
      }
      run_ended.notify_one();
      writer.join();
      EXPECT_FALSE(closed_before_the_end) << "the run waited for its input to end";
      EXPECT_EQ(result.status, grid.status);
      EXPECT_EQ(result.output.find("error writing row ") != std::string::npos, grid.status == 6) << result.output;
    }
  }
}

// The input's projection file (dem.prj beside dem.asc, in any letter case)
// goes beside the output under the output's name; it is never made up, and
// never copied for a failed run or onto itself.
TEST(ProjectionFile, TravelsWithTheGrid) {
  const std::string projection = "PROJCS[\"UTM 32N\",GEOGCS[\"WGS 84\"]]\r\n";
  const std::string cut = text_header("3", "2", "10", "20", "5", "-9999") + "1 2 3\n";
  const RunCase cases[] = {
      {.name = "copied",
       .files = {{"dem.asc", kGrid}, {"dem.prj", projection}},
       .arguments = {"dem.asc", "dem_ft.asc"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"dem_ft.asc", kGridDoubled}, {"dem_ft.prj", projection}}},
      {.name = "found in upper case",
       .files = {{"dem.asc", kGrid}, {"dem.PRJ", projection}},
       .arguments = {"dem.asc", "out.dbl", "-f:d"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"out.prj", projection}}},
      {.name = "names without an extension",
       .files = {{"dem", kGrid}, {"dem.prj", projection}},
       .arguments = {"dem", "out"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"out.prj", projection}}},
      {.name = "the same base name is left alone",
       .files = {{"dem.asc", kGrid}, {"dem.prj", projection}},
       .arguments = {"dem.asc", "dem.dbl", "-f:d"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"dem.prj", projection}}},
      {.name = "an output named .prj is not overwritten",
       .files = {{"dem.asc", kGrid}, {"dem.prj", projection}},
       .arguments = {"dem.asc", "out.prj"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"out.prj", kGridDoubled}}},
      {.name = "an older one is replaced",
       .files = {{"dem.asc", kGrid}, {"dem.prj", projection}, {"out.prj", "an older and longer projection"}},
       .arguments = {"dem.asc", "out.asc"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"out.prj", projection}}},
      {.name = "an older one in upper case is replaced",
       .files = {{"dem.asc", kGrid}, {"dem.prj", projection}, {"out.PRJ", "older"}},
       .arguments = {"dem.asc", "out.asc"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"out.PRJ", projection}, {"out.prj", std::nullopt}}},
      {.name = "beside the output named at the prompt",
       .files = {{"dem.asc", kGrid}, {"dem.prj", projection}},
       .arguments = {"dem.asc", "no/such/out.asc"},
       .input = "new.asc\n2\n",
       .output = kCannotOpen + "\r\n" + run_output(2),
       .results = {{"new.prj", projection}}},
      {.name = "none made up",
       .files = {{"dem.asc", kGrid}},
       .arguments = {"dem.asc", "out.asc"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"out.prj", std::nullopt}}},
      {.name = "of gzip grids, their .gz taken off first",
       .files = {{"dem.asc.gz", gzip_members(kGrid)}, {"dem.Prj", projection}, {"dem.asc.prj", "not this"}},
       .arguments = {"dem.asc.gz", "out.ASC.GZ"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"out.prj", projection}, {"out.asc.prj", std::nullopt}, {"out.ASC.prj", std::nullopt}}},
      {.name = "not the compressed grid's name with .prj added",
       .files = {{"dem.asc.gz", gzip_members(kGrid)}, {"dem.asc.prj", projection}},
       .arguments = {"dem.asc.gz", "out.asc"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"out.prj", std::nullopt}}},
      {.name = "a name that is only .gz",
       .files = {{"dem.gz", gzip_members(kGrid)}, {"dem.prj", projection}},
       .arguments = {"dem.gz", "out.gz"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"out.prj", projection}}},
      {.name = "none for a failed run",
       .files = {{"dem.asc", cut}, {"dem.prj", projection}},
       .arguments = {"dem.asc", "out.dbl", "-f:d"},
       .input = "2\n",
       .output = read_failure("dem.asc", 2, 0),
       .status = 5,
       .results = {{"out.prj", std::nullopt}}},
      {.name = "none when the statistics are not written",
       .files = {{"dem.asc", kGrid}, {"dem.prj", projection}},
       .arguments = {"dem.asc", "out.dbl", "-f:d"},
       .input = "2\n",
       .output = run_output(2) + "error writing into out.dbl \n",
       .status = 4,
       .results = {{"out.prj", std::nullopt}},
       .options = {.file_size_limit = 100}},
      {.name = "a name that begins with a dot has no extension",
       .files = {{"dem.asc", kGrid}, {"dem.prj", projection}},
       .arguments = {"dem.asc", ".dem"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{".dem", kGridDoubled}, {".dem.prj", projection}, {".prj", std::nullopt}}},
      {.name = "nor has an input's",
       .files = {{".dem", kGrid}, {".dem.prj", projection}, {".prj", "not this"}},
       .arguments = {".dem", "out.asc"},
       .input = "2\n",
       .output = run_output(2),
       .results = {{"out.prj", projection}}},
      // The disk fills while the projection is copied: the grid is whole,
      // so the status stays 0, and no part of the projection stays.
      {.name = "a copy that fails part-way leaves none",
       .files = {{"dem.asc", kGrid}, {"dem.prj", std::string(5000, 'P')}},
       .arguments = {"dem.asc", "out.asc"},
       .input = "2\n",
       .output = run_output(2),
       .errors = "error copying projection file dem.prj to out.prj\n",
       .results = {{"out.asc", kGridDoubled}, {"out.prj", std::nullopt}},
       .options = {.file_size_limit = 1000}},
  };
  for (const RunCase& c : cases) check_run(c);

  // A copy that fails leaves the complete grid and the status 0, and says so
  // on standard error.
  ScratchFolder folder;
  write_file(folder / "dem.asc", kGrid);
  write_file(folder / "dem.prj", projection);
  std::filesystem::create_directory(folder / "out.prj");
  const ToolResult result = run_tool(folder.path(), {"dem.asc", "out.asc"}, "2\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, native_lines(run_output(2)));
  EXPECT_EQ(result.errors, native_lines("error copying projection file dem.prj to out.prj\n"));
  EXPECT_EQ(read_file(folder / "out.asc"), kGridDoubled);

  // Nor for a row that is not written: a grid larger than the blocks held back.
  std::string large = text_header("100", "100", "0", "0", "1", "-9999");
  for (int cell = 0; cell < 100 * 100; ++cell) large += cell % 100 == 99 ? "1.5\n" : "1.5 ";
  write_file(folder / "large.asc", large);
  write_file(folder / "large.prj", projection);
  const ToolResult lost =
      run_tool(folder.path(), {"large.asc", "lost.dbl", "-f:d"}, "2\n", {.file_size_limit = 1000});
  EXPECT_EQ(lost.status, 6);
  EXPECT_GT(row_of_lost_write(lost.output, "lost.dbl", false, 100), 0U) << lost.output;
  EXPECT_FALSE(std::filesystem::exists(folder / "lost.prj"));
}

// An output reached through a descriptor (/dev/stdout with standard output
// redirected into a file, as "> file" does) is a regular file, but its
// projection file would go into /dev or /proc: none is made, and nothing is
// said of it.
TEST(ProjectionFile, NoneThroughADescriptor) {
  if (target_is_windows()) GTEST_SKIP() << "descriptor names are POSIX";
  for (const std::string name : {"/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
    SCOPED_TRACE(name);
    ScratchFolder folder;
    write_file(folder / "dem.asc", kGrid);
    write_file(folder / "dem.prj", "projection");
    expect_ended(run_tool(folder.path(), {"--factor", "2", "dem.asc", name}, std::nullopt,
                          {.standard_output_file = "grid.asc"}),
                 "", 0);
    EXPECT_EQ(read_file(folder / "grid.asc"), kGridDoubled);
    EXPECT_FALSE(std::filesystem::exists(name + ".prj"));
    if (std::filesystem::exists(name + ".prj")) std::filesystem::remove(name + ".prj");
    EXPECT_FALSE(std::filesystem::exists(folder / "grid.prj"));
  }
}

// An input or an output that is a pipe has no projection file beside it.
TEST(ProjectionFile, NoneForAPipe) {
  if (target_is_windows()) GTEST_SKIP() << "FIFOs are POSIX";
  std::signal(SIGPIPE, SIG_IGN);
  ScratchFolder folder;
  write_file(folder / "in.prj", "projection");
  ASSERT_EQ(mkfifo((folder / "in").c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(folder / "in", std::ios::binary) << kGrid; });
  expect_ended(run_tool(folder.path(), {"in", "out.asc"}, "2\n"), run_output(2), 0);
  writer.join();
  EXPECT_EQ(read_file(folder / "out.asc"), kGridDoubled);
  EXPECT_FALSE(std::filesystem::exists(folder / "out.prj"));

  write_file(folder / "dem.asc", kGrid);
  write_file(folder / "dem.prj", "projection");
  ASSERT_EQ(mkfifo((folder / "piped").c_str(), 0600), 0);
  std::string piped;
  std::thread reader([&] {
    std::ifstream pipe(folder / "piped", std::ios::binary);
    piped.assign(std::istreambuf_iterator<char>(pipe), {});
  });
  expect_ended(run_tool(folder.path(), {"dem.asc", "piped"}, "2\n"), run_output(2), 0);
  reader.join();
  EXPECT_EQ(piped, kGridDoubled);
  EXPECT_FALSE(std::filesystem::exists(folder / "piped.prj"));
}

// The form for scripts (a first argument that begins with "--"): the factor
// comes from --factor and never from standard input, every message goes to
// standard error, and standard output holds nothing but a grid written to
// "-". Standard input holds an output name and a factor in every case, which
// must stay unread.
namespace script_form {

const std::string kUnread = "x.asc\n3\n";
const std::string kHeader = text_header("3", "2", "10", "20", "5", "-9999");
// kGrid doubled with "\n" line ends, as RunCase.output and .errors take text.
const std::string kDoubledLines = kHeader + "2\t5\t-9999\n8\t10\t12\n";
const std::string kSeeHelp = " (cellscale --help shows the usage)\n";

std::string invalid_factor(const std::string& text) {
  return "invalid factor '" + text + "': a finite number such as 2, -0.5 or 1e3 is needed\n";
}

RunCase script(std::string name, std::vector<std::string> arguments, std::string errors, int status,
               std::map<std::string, std::optional<std::string>> results) {
  results.emplace("x.asc", std::nullopt);
  return {.name = std::move(name),
          .files = kInGrid,
          .arguments = std::move(arguments),
          .input = kUnread,
          .errors = std::move(errors),
          .status = status,
          .results = std::move(results)};
}

// The run that fails before it writes: no output file, and nothing on standard output.
RunCase refused(std::string name, std::vector<std::string> arguments, std::string errors) {
  return script(std::move(name), std::move(arguments), std::move(errors), 1, {{"out.asc", std::nullopt}});
}

}  // namespace script_form

TEST(ScriptForm, FactorOptionsAndOperands) {
  using namespace script_form;
  const std::string cut = kHeader + "1 2 3\n";
  const std::string full = full_device();
  // clang-format off
  std::vector<RunCase> cases = {
      script("factor 2", {"--factor", "2", "in.asc", "out.asc"}, "", 0, {{"out.asc", kGridDoubled}}),
      script("--factor=2", {"--factor=2", "in.asc", "out.asc"}, "", 0, {{"out.asc", kGridDoubled}}),
      script("a plus sign", {"--factor", "+2", "in.asc", "out.asc"}, "", 0, {{"out.asc", kGridDoubled}}),
      script("a negative factor is a value, not an option", {"--factor", "-0.5e1", "in.asc", "out.asc"}, "", 0,
             {{"out.asc", native_lines(kHeader + "-5\t-12.5\t-9999\n-20\t-25\t-30\n")}}),
      script("options among the operands", {"--quiet", "in.asc", "--factor", ".5", "out.asc", "--format", "t"}, "",
             0, {{"out.asc", native_lines(kHeader + "0.5\t1.25\t-9999\n2\t2.5\t3\n")}}),
      script("the last factor counts", {"--factor", "3", "--factor", "2", "in.asc", "out.asc"}, "", 0,
             {{"out.asc", kGridDoubled}}),
      refused("no factor", {"--format", "t", "in.asc", "out.asc"},
              "option --factor is needed: this form never asks for it" + kSeeHelp),
      refused("no value for --factor", {"--quiet", "in.asc", "out.asc", "--factor"},
              "option --factor needs a value" + kSeeHelp),
      refused("an unknown format", {"--factor", "2", "--format", "S", "in.asc", "out.asc"},
              "invalid format 'S': text, double or single is needed\n"),
      refused("one operand", {"--factor", "2", "in.asc"}, "an input grid and an output grid are needed" + kSeeHelp),
      refused("three operands", {"--factor", "2", "in.asc", "out.asc", "more.asc"},
              "an input grid and an output grid are needed" + kSeeHelp),
      refused("an unknown long option", {"--bogus", "in.asc", "out.asc"}, "unknown option --bogus" + kSeeHelp),
      refused("an unknown long option with a value", {"--factor", "2", "--scale=3", "in.asc", "out.asc"},
              "unknown option --scale" + kSeeHelp),
      refused("an unknown short option", {"--factor", "2", "-x", "in.asc", "out.asc"}, "unknown option -x" + kSeeHelp),
      refused("a value for an option that takes none", {"--quiet=yes", "--factor", "2", "in.asc", "out.asc"},
              "option --quiet takes no value" + kSeeHelp),
      // Never a prompt for another name, and the factor is never taken for one.
      script("an output that cannot be created", {"--factor", "2", "in.asc", "no/such/out.asc"},
             "error opening output grid no/such/out.asc: " + std::string(std::strerror(ENOENT)) + "\n", 1,
             {{"2", std::nullopt}, {"no", std::nullopt}}),
      script("the output is the input", {"--factor", "2", "in.asc", "./in.asc"},
             "error opening output grid ./in.asc: it is the input grid\n", 1, {{"in.asc", kGrid}}),
      script("a missing input", {"--factor", "2", "nothere.asc", "out.asc"},
             "could not open input file nothere.asc\n", 98, {{"out.asc", std::nullopt}}),
      // The older form's messages, on standard error, with no prompt and no dots
      // (standard error is no terminal here).
      script("a row cut short", {"--factor", "2", "--format", "double", "in.asc", "out.dbl"},
             "error reading from in.asc in row 2 (0 values read)\n", 5, {}),
      script("a lost write", {"--factor", "2", "--format=d", "in.asc", full}, "error writing into " + full + " \n", 4,
             {}),
  };
  // clang-format on
  cases[cases.size() - 2].files = {{"in.asc", cut}};
  // Whole finite numbers in the C locale's form only.
  for (const std::string factor : {"2,5", "2x", "", " 2", "2 ", "inf", "nan", "-inf", "1e999", "0x2", "+-2", "--2"}) {
    cases.push_back(
        refused("factor '" + factor + "'", {"--factor", factor, "in.asc", "out.asc"}, invalid_factor(factor)));
  }
  cases.push_back(refused("factor '2,5' attached", {"--factor=2,5", "in.asc", "out.asc"}, invalid_factor("2,5")));
  // A file whose name begins with "-" after "--"; the older form reads "-" as a file's name.
  cases.push_back(script("-- ends the options", {"--factor", "2", "--", "-in.asc", "out.asc"}, "", 0,
                         {{"out.asc", kGridDoubled}}));
  cases.back().files = {{"-in.asc", kGrid}};
  cases.push_back({.name = "a file named - in the older form",
                   .files = {{"-", kGrid}},
                   .arguments = {"-", "out.asc"},
                   .input = "2\n",
                   .output = run_output(2),
                   .results = {{"out.asc", kGridDoubled}}});
  for (const RunCase& c : cases) check_run(c);
}

// Every spelling of each format writes the bytes the older form writes.
TEST(ScriptForm, FormatsAsTheOlderFormWritesThem) {
  const std::string example = read_file(CELLSCALE_EXAMPLE_GRID);
  const std::pair<const char*, std::vector<std::vector<std::string>>> formats[] = {
      {"-f:t", {{}, {"--format", "text"}, {"--format=t"}, {"-f:t"}, {"--digits", "6"}, {"--digits=6", "-f:t"}}},
      {"-f:d", {{"--format", "double"}, {"--format=d"}, {"--format", "-f:d"}, {"-f:d"}}},
      {"-f:s", {{"--format", "single"}, {"--format", "s"}, {"-f:s"}}},
  };
  for (const auto& [older_option, spellings] : formats) {
    ScratchFolder folder;
    write_file(folder / "in.asc", example);
    const ToolResult older = run_tool(folder.path(), {"in.asc", "older.out", older_option}, "2\n");
    ASSERT_EQ(older.status, 0) << older_option;
    const std::string expected = read_file(folder / "older.out");
    for (const std::vector<std::string>& spelling : spellings) {
      std::vector<std::string> arguments = {"--factor", "2"};
      arguments.insert(arguments.end(), spelling.begin(), spelling.end());
      arguments.insert(arguments.end(), {"in.asc", "new.out"});
      SCOPED_TRACE(testing::PrintToString(arguments));
      expect_ended(run_tool(folder.path(), arguments, script_form::kUnread), "", 0);
      EXPECT_EQ(read_file(folder / "new.out"), expected);
    }
  }
}

// "-" is standard input (any format, gzip too) as the input, and standard
// output (text only) as the output: the bytes are those of the files the
// older form reads and writes.
TEST(ScriptForm, StandardInputAndOutput) {
  using namespace script_form;
  std::signal(SIGPIPE, SIG_IGN);
  const std::string example = read_file(CELLSCALE_EXAMPLE_GRID);
  ScratchFolder folder;
  write_file(folder / "in.asc", example);
  ASSERT_EQ(run_tool(folder.path(), {"in.asc", "older.asc"}, "2\n").status, 0);
  ASSERT_EQ(run_tool(folder.path(), {"in.asc", "older.dbl", "-f:d"}, "1\n").status, 0);
  const std::string doubled = read_file(folder / "older.asc");
  const std::string as_double = read_file(folder / "older.dbl");
  ASSERT_EQ(run_tool(folder.path(), {"older.dbl", "older_text.asc"}, "2\n").status, 0);
  const std::string doubled_from_double = read_file(folder / "older_text.asc");

  const ToolResult to_output = run_tool(folder.path(), {"--factor", "2", "in.asc", "-"}, kUnread);
  EXPECT_EQ(to_output.output, doubled);
  EXPECT_EQ(to_output.errors, "");
  EXPECT_EQ(to_output.status, 0);
  EXPECT_FALSE(std::filesystem::exists(folder / "-"));

  const struct {
    const char* name;
    std::string input;
    const std::string& expected;
  } inputs[] = {
      {"plain text", example, doubled},
      {"gzip", gzip_members(example), doubled},
      {"gzip of three members", gzip_members(example, {example.size() / 3, example.size() / 2}), doubled},
      {"double", as_double, doubled_from_double},
      {"gzip of double", gzip_members(as_double), doubled_from_double},
  };
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.name);
    std::filesystem::remove(folder / "new.asc");
    expect_ended(run_tool(folder.path(), {"--factor", "2", "-", "new.asc"}, input.input), "", 0);
    EXPECT_EQ(read_file(folder / "new.asc"), input.expected);
    const ToolResult through = run_tool(folder.path(), {"--factor=2", "-", "-"}, input.input);
    EXPECT_EQ(through.output, input.expected);
    EXPECT_EQ(through.errors, "");
    EXPECT_EQ(through.status, 0);
  }
}

TEST(ScriptForm, StandardStreamsRefusedOrWithoutProjection) {
  using namespace script_form;
  const std::string projection = "PROJCS[\"UTM 32N\"]\n";
  const std::string no_binary =
      "a binary grid cannot be written to standard output: its statistics are written into its header at the end; "
      "name an output file\n";
  std::vector<RunCase> cases = {
      refused("double to standard output", {"--factor", "2", "--format", "double", "in.asc", "-"}, no_binary),
      refused("single to standard output", {"--factor", "2", "in.asc", "-", "-f:s"}, no_binary),
      refused("binary from standard input to standard output", {"--format=d", "--factor", "2", "-", "-"}, no_binary),
      script("standard input that is no grid", {"--factor", "2", "-", "out.asc"},
             "could not recognise file format (ascii, single or double) for -\n", 98, {{"out.asc", std::nullopt}}),
      script("a projection file goes with a named output", {"--factor", "2", "in.asc", "out.asc"}, "", 0,
             {{"out.asc", kGridDoubled}, {"out.prj", projection}}),
      script("none beside standard output", {"--factor", "2", "in.asc", "-"}, "", 0,
             {{"-.prj", std::nullopt}, {"-", std::nullopt}}),
      script("none from standard input", {"--factor", "2", "-", "out.asc"}, "", 0,
             {{"out.asc", kGridDoubled}, {"out.prj", std::nullopt}}),
  };
  cases[3].input = "not a grid\n";
  cases[4].files.emplace("in.prj", projection);
  cases[5].files.emplace("in.prj", projection);
  cases[5].output = kDoubledLines;
  cases[6].files.emplace("-.prj", projection);
  cases[6].input = kGrid;
  cases[6].results.erase("x.asc");
  for (const RunCase& c : cases) check_run(c);
}

// --digits for a text output: the header's four values and every cell, a
// nodata cell written as the header writes nodata_value. The texts are
// written out by hand.
TEST(ScriptForm, DigitsOfATextOutput) {
  using namespace script_form;
  const std::string utm = text_header("2", "2", "5151875", "4000000.5", "10", "-9999") + "1 2.5\n-9999 4.25\n";
  const auto utm_doubled = [](const char* x, const char* y, const char* cellsize, const char* nodata,
                              const std::string& cells) {
    return native_lines(text_header("2", "2", x, y, cellsize, nodata) + cells);
  };
  const std::string doubled_cells = "2\t5\n-9999\t8.5\n";
  const std::string mercator =
      text_header("2", "1", "-13627361.5", "4544761.25", "0.29858214173896974", "-3.4028234663852886e+38") +
      "0.1 -3.4028234663852886e+38\n";
  const auto mercator_tripled = [](const char* x, const char* y, const char* cellsize, const char* nodata,
                                   const char* first_cell) {
    return native_lines(text_header("2", "1", x, y, cellsize, nodata) + first_cell + "\t" + nodata + "\n");
  };
  const std::vector<std::string> triple = {"--factor", "3"};
  const auto run = [](std::string name, const std::vector<std::string>& options, std::string grid,
                      std::string expected) {
    std::vector<std::string> arguments = options;
    arguments.insert(arguments.end(), {"in.asc", "out.asc"});
    RunCase c = script(std::move(name), arguments, "", 0, {{"out.asc", std::move(expected)}});
    c.files = {{"in.asc", std::move(grid)}};
    return c;
  };
  // clang-format off
  std::vector<RunCase> cases = {
      run("UTM, six digits by default", {"--factor", "2"}, utm,
          utm_doubled("5.15188e+006", "4e+006", "10", "-9999", doubled_cells)),
      run("UTM, six digits asked for", {"--digits", "6", "--factor", "2"}, utm,
          utm_doubled("5.15188e+006", "4e+006", "10", "-9999", doubled_cells)),
      run("UTM, shortest", {"--factor", "2", "--digits", "shortest"}, utm,
          utm_doubled("5151875", "4000000.5", "10", "-9999", doubled_cells)),
      run("UTM, 17 digits", {"--factor", "2", "--digits=17"}, utm,
          utm_doubled("5151875", "4000000.5", "10", "-9999", doubled_cells)),
      // One digit: 8.5 rounds to the even 8, and the nodata cell is the header's -1e+004.
      run("UTM, one digit", {"--factor", "2", "--digits", "1"}, utm,
          utm_doubled("5e+006", "4e+006", "1e+001", "-1e+004", "2\t5\n-1e+004\t8\n")),
      run("Web Mercator, six digits", triple, mercator,
          mercator_tripled("-1.36274e+007", "4.54476e+006", "0.298582", "-3.40282e+038", "0.3")),
      run("Web Mercator, nine digits", {"--factor", "3", "--digits", "9"}, mercator,
          mercator_tripled("-13627361.5", "4544761.25", "0.298582142", "-3.40282347e+038", "0.3")),
      run("Web Mercator, shortest", {"--digits=shortest", "--factor", "3"}, mercator,
          mercator_tripled("-13627361.5", "4544761.25", "0.29858214173896974", "-3.4028234663852886e+038",
                           "0.30000000000000004")),
      run("Web Mercator to standard output", {"--digits=shortest", "--factor", "3"}, mercator, ""),
      refused("no value for --digits", {"--factor", "2", "in.asc", "out.asc", "--digits"},
              "option --digits needs a value" + kSeeHelp),
  };
  // clang-format on
  cases[cases.size() - 2].arguments.back() = "-";
  cases[cases.size() - 2].results = {{"-", std::nullopt}};
  cases[cases.size() - 2].output =
      text_header("2", "1", "-13627361.5", "4544761.25", "0.29858214173896974", "-3.4028234663852886e+038") +
      "0.30000000000000004\t-3.4028234663852886e+038\n";
  for (const std::string digits :
       {"0", "18", "x", "", "-1", "6.5", "1e1", " 6", "6 ", "0x6", "+6", "Shortest", "shortest ", "short"}) {
    cases.push_back(
        refused("digits '" + digits + "'", {"--factor", "2", "--digits", digits, "in.asc", "out.asc"},
                "invalid digits '" + digits + "': a whole number from 1 to 17, or shortest, is needed\n"));
  }
  // A binary output holds every value as it is: --digits would change nothing.
  const std::string for_text =
      "option --digits is for a text output: a binary grid holds every value as it is" + kSeeHelp;
  for (const std::vector<std::string>& options : {std::vector<std::string>{"--digits", "9", "--format", "double"},
                                                  {"-f:s", "--digits=shortest"},
                                                  {"--digits", "6", "--format=d"}}) {
    std::vector<std::string> arguments = {"--factor", "2"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), {"in.asc", "out.asc"});
    cases.push_back(refused("binary output with " + testing::PrintToString(options), arguments, for_text));
  }
  for (const RunCase& c : cases) check_run(c);
}

// A grid in metres turned into feet, from a text, a double and a single
// input, across many pieces: with --digits shortest or 17 every cell's text
// reads back to exactly the cell times the factor (worked out here), a nodata
// cell is the header's nodata text, and each row holds its cells; --digits 6
// writes the bytes of the default.
TEST(ScriptForm, EveryCellReadsBackWithShortestDigits) {
  constexpr std::size_t kColumns = 301;
  constexpr std::size_t kRows = 200;
  constexpr double kNodata = -9999;
  const double factor = 1 / 0.3048;
  char factor_text[32];
  std::snprintf(factor_text, sizeof factor_text, "%.17g", factor);
  std::mt19937_64 random(20250612U);
  std::vector<double> cells(kColumns * kRows);
  for (double& cell : cells) {
    // Mostly elevations with a few decimals, some values of any size, and nodata.
    const std::uint64_t kind = random() % 20;
    char text[40];
    if (kind == 0) {
      cell = kNodata;
      continue;
    }
    if (kind == 1) {
      std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(random() % 100000000000000000U),
                    static_cast<int>(random() % 600) - 310);
    } else {
      std::snprintf(text, sizeof text, "%s%llu.%03llu", random() % 8 == 0 ? "-" : "",
                    static_cast<unsigned long long>(random() % 9000),
                    static_cast<unsigned long long>(random() % 1000));
    }
    cell = std::strtod(text, nullptr);
  }
  std::string text_input =
      text_header(std::to_string(kColumns), std::to_string(kRows), "5151875", "4000000.5", "10", "-9999");
  for (std::size_t i = 0; i < cells.size(); ++i) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g%c", cells[i], (i + 1) % kColumns == 0 ? '\n' : ' ');
    text_input += text;
  }
  const std::vector<double> geometry = {kColumns, kRows, 5151875, 4000000.5, 10, kNodata, 0, 0, 0, 0, 0, 0};
  std::vector<double> singles(cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) singles[i] = static_cast<float>(cells[i]);
  const struct {
    const char* name;
    std::string grid;
    const std::vector<double>& cells;
  } inputs[] = {
      {"text", text_input, cells},
      {"double", binary_grid(8, geometry, cells), cells},
      {"single", binary_grid(4, geometry, singles), singles},
  };
  const auto split = [](std::string_view text, char separator) {
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= text.size();) {
      const std::size_t end = std::min(text.find(separator, at), text.size());
      parts.emplace_back(text.substr(at, end - at));
      at = end + 1;
    }
    return parts;
  };
  for (const auto& input : inputs) {
    ScratchFolder folder;
    write_file(folder / "in", input.grid);
    std::string default_bytes;
    for (const char* digits : {"", "6", "shortest", "17"}) {
      SCOPED_TRACE(std::string(input.name) + " input, digits '" + digits + "'");
      std::vector<std::string> arguments = {"--factor", factor_text, "in", "out.asc"};
      if (*digits != '\0') arguments.insert(arguments.begin(), {"--digits", digits});
      expect_ended(run_tool(folder.path(), arguments, script_form::kUnread), "", 0);
      const std::string written = read_file(folder / "out.asc");
      if (*digits == '\0') {
        default_bytes = written;
        // Six digits move the corners: 5.15188e+006 and 4e+006.
        EXPECT_NE(written.find("xllcorner\t5.15188e+006"), std::string::npos);
        EXPECT_NE(written.find("yllcorner\t4e+006"), std::string::npos);
      }
      if (std::string_view(digits) == "6") {
        EXPECT_EQ(written, default_bytes);
        continue;
      }
      if (*digits == '\0') continue;
      std::string lines = written;
      std::erase(lines, '\r');
      const std::vector<std::string> line = split(lines, '\n');
      ASSERT_EQ(line.size(), 6 + kRows + 1);  // the last line break ends the text
      EXPECT_EQ(std::vector<std::string>(line.begin(), line.begin() + 6),
                (std::vector<std::string>{"ncols\t301", "nrows\t200", "xllcorner\t5151875", "yllcorner\t4000000.5",
                                          "cellsize\t10", "nodata_value\t-9999"}));
      EXPECT_EQ(line.back(), "");
      const std::string nodata_text = line[5].substr(line[5].find('\t') + 1);
      int failures = 0;
      for (std::size_t row = 0; row < kRows; ++row) {
        const std::vector<std::string> texts = split(line[6 + row], '\t');
        ASSERT_EQ(texts.size(), kColumns) << "row " << row;
        for (std::size_t column = 0; column < kColumns && failures < 10; ++column) {
          const double cell = input.cells[row * kColumns + column];
          const std::string& text = texts[column];
          if (cell == kNodata) {
            if (text != nodata_text) {
              ++failures;
              ADD_FAILURE() << "row " << row << ", column " << column << ": nodata written " << text;
            }
            continue;
          }
          const double expected = cell * factor;
          char* end = nullptr;
          const double read = std::strtod(text.c_str(), &end);
          if (end != text.c_str() + text.size() ||
              std::bit_cast<std::uint64_t>(read) != std::bit_cast<std::uint64_t>(expected)) {
            ++failures;
            ADD_FAILURE() << "row " << row << ", column " << column << ": " << text << " for " << expected;
          }
        }
      }
    }
  }
}

namespace script_form {

// The six values of a --stats line, in their order; empty when the line is
// not one such object. null reads as NaN.
std::vector<double> statistics_of_json(const std::string& line) {
  static const std::regex object(
      R"(\{"count":(\d+),"minimum":([^,]+),"maximum":([^,]+),"sum":([^,]+),"mean":([^,]+),)"
      R"("standard_deviation":([^,}]+)\}\r?\n)");
  std::smatch match;
  if (!std::regex_match(line, match, object)) return {};
  std::vector<double> values;
  for (std::size_t i = 1; i < match.size(); ++i) {
    const std::string text = match[i].str();
    double value = std::numeric_limits<double>::quiet_NaN();
    if (text != "null") {
      const std::from_chars_result read = std::from_chars(text.data(), text.data() + text.size(), value);
      EXPECT_TRUE(read.ec == std::errc() && read.ptr == text.data() + text.size()) << text;
    }
    values.push_back(value);
  }
  return values;
}

}  // namespace script_form

// --stats: the statistics block's six values as one JSON line, whatever the
// output format, on standard output, or on standard error beside a grid on
// standard output; nothing when the run fails.
TEST(ScriptForm, StatisticsAsJson) {
  using namespace script_form;
  // 1, 2, 3 and nodata by 0.5: every statistic an exact binary fraction.
  const std::string exact = text_header("2", "2", "10", "20", "5", "-9999") + "1 2\n3 -9999\n";
  const std::string exact_json =
      R"({"count":3,"minimum":0.5,"maximum":1.5,"sum":3,"mean":1,"standard_deviation":0.5})"s + "\n";
  const std::string exact_halved = text_header("2", "2", "10", "20", "5", "-9999") + "0.5\t1\n1.5\t-9999\n";
  // 1e308 by 10 overflows: its infinity is counted, and JSON has no number for it.
  const std::string huge = text_header("3", "1", "10", "20", "5", "-9999") + "1e308 1 2\n";
  const std::string empty = text_header("3", "0", "10", "20", "5", "-9999");
  const std::string cut = kHeader + "1 2 3\n";
  // clang-format off
  std::vector<RunCase> cases = {
      script("text", {"--stats", "--factor", ".5", "in.asc", "out.asc"}, "", 0,
             {{"out.asc", native_lines(exact_halved)}}),
      script("double", {"--factor", ".5", "--format", "double", "--stats", "in.asc", "out.dbl"}, "", 0, {}),
      script("single", {"--factor", ".5", "-f:s", "in.asc", "--stats", "out.flt"}, "", 0, {}),
      script("the grid to standard output", {"--factor", ".5", "--stats", "in.asc", "-"}, exact_json, 0, {}),
      script("an infinity counted", {"--factor", "10", "--stats", "in.asc", "out.asc"}, "", 0, {}),
      script("no cells", {"--factor", "10", "--stats", "-f:d", "in.asc", "out.dbl"}, "", 0, {}),
      script("a row cut short", {"--factor", "2", "--stats", "in.asc", "out.asc"},
             "error reading from in.asc in row 2 (0 values read)\n", 5, {}),
      script("a missing input", {"--factor", "2", "--stats", "nothere.asc", "out.asc"},
             "could not open input file nothere.asc\n", 98, {}),
      refused("--stats takes no value", {"--stats=yes", "--factor", "2", "in.asc", "out.asc"},
              "option --stats takes no value" + kSeeHelp),
  };
  // clang-format on
  for (std::size_t i = 0; i < 4; ++i) cases[i].files = {{"in.asc", exact}};
  for (std::size_t i = 0; i < 3; ++i) cases[i].output = exact_json;
  cases[3].output = exact_halved;
  cases[4].files = {{"in.asc", huge}};
  cases[4].output =
      R"({"count":3,"minimum":10,"maximum":null,"sum":null,"mean":null,"standard_deviation":0})"s + "\n";
  // With no cell: the block's values, the extremes as they started.
  cases[5].files = {{"in.asc", empty}};
  cases[5].output = R"({"count":0,"minimum":0,"maximum":0,"sum":0,"mean":-9999,"standard_deviation":-9999})"s + "\n";
  cases[6].files = {{"in.asc", cut}};
  for (const RunCase& c : cases) check_run(c);
}

// On a grid of many cells, the JSON of each format holds the statistics block
// of the double output, and the statistics worked out here from its cells.
TEST(ScriptForm, StatisticsAsJsonMatchTheBlock) {
  using namespace script_form;
  ScratchFolder folder;
  write_file(folder / "in.asc", read_file(CELLSCALE_EXAMPLE_GRID));
  const char* const formats[] = {"double", "text", "single"};
  std::vector<std::vector<double>> reports;
  for (const char* format : formats) {
    SCOPED_TRACE(format);
    const ToolResult result =
        run_tool(folder.path(), {"--factor", "-1.7", "--stats", "--format", format, "in.asc", "out"}, kUnread);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.errors, "");
    reports.push_back(statistics_of_json(result.output));
    ASSERT_EQ(reports.back().size(), 6U) << result.output;
    if (reports.size() == 1) write_file(folder / "double.out", read_file(folder / "out"));
  }
  const std::vector<double> values = binary_values(8, read_file(folder / "double.out"));
  ASSERT_GT(values.size(), 12U);
  const std::vector<double> block(values.begin() + 6, values.begin() + 12);
  for (std::size_t f = 0; f < reports.size(); ++f) {
    SCOPED_TRACE(formats[f]);
    for (std::size_t i = 0; i < 6; ++i) {
      EXPECT_TRUE(cellscale::reference::same_value(reports[f][i], block[i])) << i << ": " << reports[f][i];
    }
  }
  // The cells above nodata + 1, counted, summed in row order, and their exact spread.
  std::vector<double> counted;
  double sum = 0;
  for (auto cell = values.begin() + 12; cell != values.end(); ++cell) {
    if (*cell > -9998.0) {
      counted.push_back(*cell);
      sum += *cell;
    }
  }
  ASSERT_GT(counted.size(), 2U);
  const std::vector<double>& report = reports[1];
  EXPECT_EQ(report[0], static_cast<double>(counted.size()));
  EXPECT_EQ(report[1], *std::min_element(counted.begin(), counted.end()));
  EXPECT_EQ(report[2], *std::max_element(counted.begin(), counted.end()));
  EXPECT_EQ(report[3], sum);
  EXPECT_EQ(report[4], sum / static_cast<double>(counted.size()));
  const auto deviation = static_cast<double>(exact_standard_deviation(counted));
  EXPECT_NEAR(report[5], deviation, deviation * 1e-10);
}

TEST(ScriptForm, HelpAndVersion) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--help"}, {"--factor", "2", "--help", "in.asc"}, {"--help", "--bogus"}}) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    ScratchFolder folder;
    const ToolResult result = run_tool(folder.path(), arguments, script_form::kUnread);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.errors, "");
    // Both forms, each with its options.
    EXPECT_NE(result.output.find("usage: cellscale --factor F [--format text|double|single]"), std::string::npos);
    EXPECT_NE(result.output.find("cellscale <inputgrid> <outputgrid> [-f:t|s|d]"), std::string::npos);
    for (const char* option : {"--quiet", "--digits", "--stats", "--output-dir", "--version", "--help"}) {
      EXPECT_NE(result.output.find(option), std::string::npos) << option;
    }
  }
  ScratchFolder folder;
  expect_ended(run_tool(folder.path(), {"--version"}, script_form::kUnread),
               std::string("cellscale ") + CELLSCALE_PROJECT_VERSION + "\n", 0);
}

// Many grids into one folder (--output-dir): each written as its single run
// writes it, with its projection file; a failed grid named with its
// messages, its output removed, the others done; a summary line; the status
// of the first grid listed that failed.
namespace many_grids {

const std::string kProjection = "PROJCS[\"UTM 32N\"]\n";
const std::string kCut = script_form::kHeader + "1 2 3\n";

// A grid's output in the folder as the tool names it in a message.
std::string in_folder(const std::string& folder, const std::string& name) {
  return folder + (target_is_windows() ? "\\" : "/") + name;
}

RunCase many(std::string name, std::map<std::string, std::string> files, std::vector<std::string> grids,
             std::string errors, int status, std::map<std::string, std::optional<std::string>> results) {
  std::vector<std::string> arguments = {"--factor", "2", "--output-dir", "out"};
  arguments.insert(arguments.end(), grids.begin(), grids.end());
  return {.name = std::move(name),
          .files = std::move(files),
          .arguments = std::move(arguments),
          .input = script_form::kUnread,
          .errors = std::move(errors),
          .status = status,
          .results = std::move(results)};
}

}  // namespace many_grids

TEST(ManyGrids, EachGridIntoTheFolderAndEachFailureOnItsOwn) {
  using namespace many_grids;
  const std::string junk = "not a grid\n";
  // clang-format off
  std::vector<RunCase> cases = {
      many("two grids and a projection that goes with its grid",
           {{"a.asc", kGrid}, {"b.asc", kGrid}, {"a.prj", kProjection}}, {"a.asc", "a.prj", "b.asc"},
           "2 grids scaled into out\n", 0,
           {{"out/a.asc", kGridDoubled}, {"out/b.asc", kGridDoubled}, {"out/a.prj", kProjection},
            {"out/b.prj", std::nullopt}}),
      many("grids in other folders, into a folder made for them",
           {{"in/a.asc", kGrid}, {"in/b.asc.gz", gzip_members(kGrid)}}, {"in/a.asc", "in/b.asc.gz"},
           "2 grids scaled into out\n", 0, {{"out/a.asc", kGridDoubled}}),
      // The first failure listed gives the status, though the later one's is
      // larger; a cut grid's partial output goes, an output that a failed run
      // never opened stays as it was, and the grids after them are done.
      many("failures among the grids", {{"a.asc", kGrid}, {"cut.asc", kCut}, {"junk.asc", junk}, {"z.asc", kGrid},
                                        {"out/junk.asc", "older\n"}},
           {"a.asc", "cut.asc", "junk.asc", "z.asc"},
           "cut.asc: error reading from cut.asc in row 2 (0 values read)\n"
           "junk.asc: could not recognise file format (ascii, single or double) for junk.asc\n"
           "cellscale: junk.asc is text that does not begin with \"ncols\" in lower case, as a text grid does\n"
           "2 of 4 grids scaled into out; 2 failed\n", 5,
           {{"out/a.asc", kGridDoubled}, {"out/cut.asc", std::nullopt}, {"out/junk.asc", "older\n"},
            {"out/z.asc", kGridDoubled}}),
      many("a listed projection without its grid is no grid", {{"a.asc", kGrid}, {"b.prj", kProjection}},
           {"b.prj", "a.asc"},
           "b.prj: could not recognise file format (ascii, single or double) for b.prj\n"
           "1 of 2 grids scaled into out; 1 failed\n", 98, {{"out/a.asc", kGridDoubled}, {"out/b.prj", std::nullopt}}),
      many("the folder holds the grids", {{"out/a.asc", kGrid}}, {"out/a.asc"},
           "out/a.asc: error opening output grid " + in_folder("out", "a.asc") + ": it is the input grid\n"
           "0 of 1 grid scaled into out; 1 failed\n", 1, {{"out/a.asc", kGrid}}),
      many("two grids of one name", {{"a/x.asc", kGrid}, {"b/x.asc", kGrid}}, {"a/x.asc", "b/x.asc"},
           "grids a/x.asc and b/x.asc would both be written to " + in_folder("out", "x.asc") + "\n", 1,
           {{"out", std::nullopt}}),
      many("standard input", kInGrid, {"in.asc", "-"},
           "standard input cannot be one of the grids of --output-dir: name the grids" + script_form::kSeeHelp, 1,
           {{"out", std::nullopt}}),
      many("no grid", kInGrid, {}, "option --output-dir needs at least one grid" + script_form::kSeeHelp, 1,
           {{"out", std::nullopt}}),
  };
  // clang-format on
  cases.back().arguments.emplace_back("--quiet");
  // The shell expands wildcards on POSIX systems; a Windows program expands
  // them itself, in name order.
  cases.push_back(many("a wildcard", {{"b.asc", kGrid}, {"a.asc", kGrid}, {"a.prj", kProjection}}, {"*.asc"}, "", 0,
                       {{"out/a.asc", kGridDoubled}, {"out/b.asc", kGridDoubled}, {"out/a.prj", kProjection}}));
  if (target_is_windows()) {
    cases.back().errors = "2 grids scaled into out\n";
  } else {
    cases.back().errors = "*.asc: could not open input file *.asc\n0 of 1 grid scaled into out; 1 failed\n";
    cases.back().status = 98;
    cases.back().results = {{"out/a.asc", std::nullopt}};
  }
  for (const RunCase& c : cases) check_run(c);
}

// A grid whose output fills the disk fails alone: its partial output is
// removed, and the grid after it is still written.
TEST(ManyGrids, AnOutputThatFillsTheDiskIsRemoved) {
  using namespace many_grids;
  ScratchFolder folder;
  std::string big = text_header("100", "100", "0", "0", "1", "-9999");
  for (int cell = 0; cell < 100 * 100; ++cell) big += "123.25 ";
  write_file(folder / "big.asc", big);
  write_file(folder / "small.asc", kGrid);
  const ToolResult result = run_tool(folder.path(), {"--factor", "2", "--output-dir", "out", "big.asc", "small.asc"},
                                     std::nullopt, {.file_size_limit = 4096});
  // The grid fits in the blocks held back: the loss shows when they are written at the end.
  expect_ended(result, "", 4,
               "big.asc: error writing into " + in_folder("out", "big.asc") +
                   " \n1 of 2 grids scaled into out; 1 failed\n");
  EXPECT_FALSE(std::filesystem::exists(folder / "out" / "big.asc"));
  EXPECT_EQ(read_file(folder / "out" / "small.asc"), kGridDoubled);
}

// The statistics of each grid, one line each in the order listed, named, as
// a single run's --stats gives them; and many grids of several sizes, more
// than the run hands out at once, each written with its cells scaled.
TEST(ManyGrids, StatisticsAndManyGridsInOrder) {
  using namespace many_grids;
  ScratchFolder folder;
  std::vector<std::string> arguments = {"--factor", "1.5", "--stats", "--format", "double", "--output-dir", "out"};
  constexpr int kGrids = 150;
  // Grid i has 1 + 2i columns and 3 rows: some whole in one batch, some
  // over many. Its cell c holds 2c, or nodata where c is a multiple of 7:
  // scaled, 3c exactly.
  const auto columns_of = [](int grid) { return 1 + grid * 2; };
  const auto name_of = [](int grid) {
    char name[32];
    std::snprintf(name, sizeof name, "g%d.asc", grid);
    return std::string(name);
  };
  for (int i = 0; i < kGrids; ++i) {
    std::string grid = text_header(std::to_string(columns_of(i)), "3", "0", "0", "1", "-9999");
    for (int cell = 0; cell < columns_of(i) * 3; ++cell) {
      grid += std::to_string(cell % 7 == 0 ? -9999 : cell * 2) + " ";
    }
    write_file(folder / name_of(i), grid);
    arguments.push_back(name_of(i));
  }
  const ToolResult result = run_tool(folder.path(), arguments, std::nullopt);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, native_lines(std::to_string(kGrids) + " grids scaled into out\n"));
  std::istringstream lines(result.output);
  std::string line;
  for (int i = 0; i < kGrids; ++i) {
    SCOPED_TRACE(name_of(i));
    const int cells = columns_of(i) * 3;
    std::vector<double> expected;
    for (int cell = 0; cell < cells; ++cell) expected.push_back(cell % 7 == 0 ? -9999.0 : cell * 3.0);
    const std::vector<double> values = binary_values(8, read_file(folder / "out" / name_of(i)));
    ASSERT_EQ(values.size(), 12 + expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), values.begin() + 12));
    // The line names the grid and counts its cells; a few lines whole against their single runs.
    ASSERT_TRUE(std::getline(lines, line));
    const int counted = cells - (cells + 6) / 7;
    std::string named = "{\"grid\":\"";
    named.append(name_of(i)).append("\",");
    EXPECT_TRUE(line.starts_with(named + "\"count\":" + std::to_string(counted) + ",")) << line;
    if (i % 50 == 7) {
      const ToolResult single =
          run_tool(folder.path(), {"--factor", "1.5", "--stats", "-f:d", name_of(i), "single.dbl"}, std::nullopt);
      // The line as the tool wrote it: a CR before its line end on Windows.
      EXPECT_EQ(line + "\n", named.append(single.output.substr(1)));
    }
  }
  EXPECT_FALSE(std::getline(lines, line)) << "a line too many: " << line;
}

}  // namespace
