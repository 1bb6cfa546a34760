#include "app/many_grids.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <system_error>

#include "app/console.h"
#include "app/file_names.h"
#include "app/processors.h"
#include "app/projection_file.h"
#include "app/scaling_run.h"
#include "threads/ordered_jobs.h"

namespace cellscale {

namespace {

constexpr int kStatusUsage = 1;
constexpr int kStatusStatisticsNotWritten = 4;

// Grids handed to the ring ahead of the first one not yet reported: each
// holds only its messages, so many can wait, and a long grid at the front
// keeps no processor idle behind it.
constexpr std::size_t kGridsAhead = 64;

#ifdef _WIN32
constexpr char kSeparator = '\\';
constexpr const char* kSeparators = "/\\:";
#else
constexpr char kSeparator = '/';
constexpr const char* kSeparators = "/";
#endif

// The last part of a name as it is shown: its file name.
std::string shown_file_name(const std::string& shown) {
  const std::size_t separator = shown.find_last_of(kSeparators);
  return separator == std::string::npos ? shown : shown.substr(separator + 1);
}

// The grid's output: the folder and the grid's file name.
FileName output_in(const FileName& folder, const FileName& grid) {
  std::string shown = folder.shown;
  if (!shown.empty() && std::string_view(kSeparators).find(shown.back()) == std::string_view::npos) {
    shown += kSeparator;
  }
  return {shown + shown_file_name(grid.shown), folder.path / grid.path.filename()};
}

// Letters of a name compared as the system's files compare them: in any
// letter case on Windows.
std::string as_compared(std::string name) {
#ifdef _WIN32
  for (char& c : name) c = ascii_lower(c);
#endif
  return name;
}

// Whether the name ends in ".prj" in any letter case; then `name` becomes
// the name with ".prj" in lower case, as projection_file_name writes it.
bool is_projection_name(std::string& name) {
  if (name.size() < 4) return false;
  std::string extension = name.substr(name.size() - 4);
  for (char& c : extension) c = ascii_lower(c);
  if (extension != ".prj") return false;
  name.replace(name.size() - 4, 4, extension);
  return true;
}

// The listed files that are to be scaled: all but the projection files of
// listed grids, which their grids' runs copy.
std::vector<FileName> grids_to_scale(const std::vector<FileName>& listed) {
  std::set<std::string> projections;
  for (const FileName& file : listed) {
    std::string name = file.shown;
    if (!is_projection_name(name)) projections.insert(as_compared(projection_file_name(file).shown));
  }
  std::vector<FileName> grids;
  for (const FileName& file : listed) {
    std::string name = file.shown;
    if (!is_projection_name(name) || projections.count(as_compared(name)) == 0) grids.push_back(file);
  }
  return grids;
}

// What a grid's run left to be reported, in the grids' order.
struct GridJob {
  std::size_t grid = 0;
  int status = 0;
  std::string messages{};
  std::string statistics{};
};

// Scales one grid as one run of the form for scripts does, keeping what it
// says: a failure ends this grid's run, not the process, and removes the
// output it opened. Runs on any thread of the ring.
void scale_one(const ManyGrids& settings, const FileName& grid, const FileName& output, GridJob& job) {
  bool output_opened = false;
  {
    const KeptMessages kept;
    try {
      job.status = run_scaling({.input = grid,
                                .output = output,
                                .output_format = settings.output_format,
                                .text_digits = settings.text_digits,
                                .factor = settings.factor,
                                .ask_for_output_name = false,
                                .dots = nullptr,
                                .report_statistics = settings.report_statistics,
                                .kept_statistics = &job.statistics,
                                .output_opened = &output_opened});
    } catch (const RunEnded& ended) {
      job.status = ended.status;
    }
    job.messages = kept.text();
  }
  // The run's files are closed by now: its objects went with the exception.
  if (job.status != 0 && output_opened) remove_file(output);
}

// The grid's messages, each line after the grid's name; a failure's reason
// (app/console.h), which names the file itself, as it is.
void report_messages(const FileName& grid, const std::string& messages) {
  std::string named;
  std::size_t start = 0;
  while (start < messages.size()) {
    std::size_t end = messages.find('\n', start);
    end = end == std::string::npos ? messages.size() : end + 1;
    const std::string line = messages.substr(start, end - start);
    named += line.starts_with("cellscale: ") ? line : grid.shown + ": " + line;
    start = end;
  }
  if (!named.empty() && named.back() != '\n') named += '\n';
  std::fputs(named.c_str(), stderr);
}

std::string grids_word(std::size_t count) { return count == 1 ? " grid" : " grids"; }

}  // namespace

int run_many_grids(const ManyGrids& settings) {
  const std::vector<FileName> grids = grids_to_scale(settings.grids);
  std::vector<FileName> outputs;
  std::map<std::string, const FileName*> written;  // an output's name and the grid written there
  for (const FileName& grid : grids) {
    outputs.push_back(output_in(settings.folder, grid));
    const auto [place, added] = written.emplace(as_compared(outputs.back().shown), &grid);
    if (!added) {
      fail(kStatusUsage, "grids %s and %s would both be written to %s\n", place->second->shown.c_str(),
           grid.shown.c_str(), outputs.back().shown.c_str());
    }
  }
  std::error_code error;
  std::filesystem::create_directories(settings.folder.path, error);
  if (error) {
    fail(kStatusUsage, "error creating output folder %s: %s\n", settings.folder.shown.c_str(),
         error.message().c_str());
  }

  std::vector<GridJob> jobs(std::clamp<std::size_t>(grids.size(), 1, kGridsAhead));
  const int at_once = static_cast<int>(std::min(grids.size(), static_cast<std::size_t>(usable_processors())));
  OrderedJobs ring(jobs.size(), std::max(at_once - 1, 0), [&](std::size_t slot) {
    GridJob& job = jobs[slot];
    scale_one(settings, grids[job.grid], outputs[job.grid], job);
  });
  int status = 0;
  std::size_t failed = 0;
  const auto report_oldest = [&] {
    const GridJob& job = jobs[ring.take_back()];
    report_messages(grids[job.grid], job.messages);
    std::fputs(job.statistics.c_str(), stdout);
    if (job.status != 0) {
      ++failed;
      if (status == 0) status = job.status;
    }
    ring.release();
  };
  for (std::size_t grid = 0; grid < grids.size(); ++grid) {
    if (ring.full()) report_oldest();
    jobs[ring.acquire()] = {.grid = grid};
    ring.submit();
  }
  while (!ring.empty()) report_oldest();

  const std::string folder = settings.folder.shown;
  if (failed == 0) {
    std::fprintf(stderr, "%zu%s scaled into %s\n", grids.size(), grids_word(grids.size()).c_str(), folder.c_str());
  } else {
    std::fprintf(stderr, "%zu of %zu%s scaled into %s; %zu failed\n", grids.size() - failed, grids.size(),
                 grids_word(grids.size()).c_str(), folder.c_str(), failed);
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    fail(status != 0 ? status : kStatusStatisticsNotWritten, "error writing the statistics\n");
  }
  return status;
}

}  // namespace cellscale
