#include "app/processors.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

#include <bit>
#elif defined(__linux__)
#include <sched.h>

#include <cerrno>
#else
#include <thread>
#endif

namespace cellscale {

namespace {

// The whole of a small text file (the kernel's files under /proc and /sys
// report no size), or "" when it cannot be read.
std::string read_small_file(const std::string& path) {
  std::string text;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return text;
  char block[4096];
  std::size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0 && text.size() < (std::size_t{1} << 20)) {
    text.append(block, got);
  }
  std::fclose(file);
  return text;
}

// "/" as "", so that root + "/proc/..." names the file once.
std::string without_trailing_slash(const std::string& root) {
  return !root.empty() && root.back() == '/' ? root.substr(0, root.size() - 1) : root;
}

// The fields of `line` separated by `separator`.
std::vector<std::string_view> split(std::string_view line, char separator) {
  std::vector<std::string_view> fields;
  while (true) {
    const std::size_t end = line.find(separator);
    fields.push_back(line.substr(0, end));
    if (end == std::string_view::npos) return fields;
    line.remove_prefix(end + 1);
  }
}

bool contains(const std::vector<std::string_view>& words, std::string_view word) {
  for (const std::string_view w : words) {
    if (w == word) return true;
  }
  return false;
}

// A hierarchy holding the cpu controller, as mounted.
struct CpuHierarchy {
  bool version2 = false;
  std::string group;       // the process's group, from proc/self/cgroup
  std::string mount_root;  // the group that the mount shows at its mount point
  std::string mount_point;
};

// Finds, for each hierarchy with the cpu controller that the process is in,
// where it is mounted: mountinfo lines read "id parent major:minor root
// mount-point options [optional fields] - type source super-options".
std::vector<CpuHierarchy> cpu_hierarchies(const std::string& root) {
  std::vector<CpuHierarchy> hierarchies;
  const std::string groups = read_small_file(root + "/proc/self/cgroup");
  const std::string mounts = read_small_file(root + "/proc/self/mountinfo");
  for (const std::string_view line : split(groups, '\n')) {
    // "hierarchy-id:controllers:group"; v2 has id 0 and no controllers.
    const std::vector<std::string_view> fields = split(line, ':');
    if (fields.size() != 3) continue;
    const bool version2 = fields[0] == "0" && fields[1].empty();
    if (!version2 && !contains(split(fields[1], ','), "cpu")) continue;
    for (const std::string_view mount : split(mounts, '\n')) {
      const std::vector<std::string_view> words = split(mount, ' ');
      std::size_t dash = 6;
      while (dash < words.size() && words[dash] != "-") ++dash;
      if (dash + 3 >= words.size()) continue;
      const bool matches = version2 ? words[dash + 1] == "cgroup2"
                                    : words[dash + 1] == "cgroup" && contains(split(words[dash + 3], ','), "cpu");
      if (!matches) continue;
      hierarchies.push_back({version2, std::string(fields[2]), std::string(words[3]), std::string(words[4])});
      break;
    }
  }
  return hierarchies;
}

// Processors that a quota of `quota` microseconds in every `period` allows,
// rounded up; 0 for no quota ("max", -1) or text that is not one.
int processors_of(std::string_view quota, std::string_view period) {
  const std::string quota_text(quota);
  const std::string period_text(period);
  char* quota_end = nullptr;
  char* period_end = nullptr;
  const long long quota_us = std::strtoll(quota_text.c_str(), &quota_end, 10);
  const long long period_us = std::strtoll(period_text.c_str(), &period_end, 10);
  if (quota_end == quota_text.c_str() || period_end == period_text.c_str() || quota_us <= 0 || period_us <= 0) {
    return 0;
  }
  const long long processors = (quota_us + period_us - 1) / period_us;
  return processors > 4096 ? 4096 : static_cast<int>(processors);
}

// The quota of one group's folder, 0 where it sets none.
int group_quota(const std::string& folder, bool version2) {
  if (version2) {
    // "max 100000" or "200000 100000"
    const std::string text = read_small_file(folder + "/cpu.max");
    const std::vector<std::string_view> fields = split(text, ' ');
    return fields.size() == 2 ? processors_of(fields[0], fields[1]) : 0;
  }
  return processors_of(read_small_file(folder + "/cpu.cfs_quota_us"), read_small_file(folder + "/cpu.cfs_period_us"));
}

}  // namespace

int cpu_quota_processors(const std::string& root) {
  const std::string base = without_trailing_slash(root);
  int smallest = 0;
  for (const CpuHierarchy& hierarchy : cpu_hierarchies(base)) {
    // The group's path below the mount point: in a container the mount
    // shows the container's own group, and the path names it from the
    // hierarchy's root.
    std::string_view below(hierarchy.group);
    std::string_view mount_root = hierarchy.mount_root;
    if (mount_root == "/") mount_root = {};
    if (below.substr(0, mount_root.size()) != mount_root) continue;
    below.remove_prefix(mount_root.size());
    if (below == "/") below = "";
    if (!below.empty() && below.front() != '/') continue;  // a group beside the mounted one
    // From the group's folder up to the mount point: every group on the way limits it.
    std::string folder = base + hierarchy.mount_point + std::string(below);
    const std::size_t top = base.size() + hierarchy.mount_point.size();
    while (true) {
      const int processors = group_quota(folder, hierarchy.version2);
      if (processors > 0 && (smallest == 0 || processors < smallest)) smallest = processors;
      const std::size_t slash = folder.rfind('/');
      if (folder.size() <= top || slash == std::string::npos || slash < top) break;
      folder.resize(slash);
    }
  }
  return smallest;
}

int usable_processors() {
#if defined(_WIN32)
  // The mask of the processor group the process runs in: up to 64
  // processors, which is more than the run takes.
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) == 0) return 1;
  const int count = std::popcount(static_cast<unsigned long long>(process_mask));
#elif defined(__linux__)
  // The kernel refuses a mask smaller than its own (EINVAL): the size is
  // doubled until the mask fits.
  int count = 1;
  for (int processors = 1024; processors <= (1 << 20); processors *= 2) {
    cpu_set_t* mask = CPU_ALLOC(processors);
    if (mask == nullptr) return 1;
    const std::size_t bytes = CPU_ALLOC_SIZE(processors);
    const bool read = sched_getaffinity(0, bytes, mask) == 0;
    const bool too_small = !read && errno == EINVAL;
    if (read) count = CPU_COUNT_S(bytes, mask);
    CPU_FREE(mask);
    if (!too_small) break;
  }
  const int quota = cpu_quota_processors("/");
  if (quota > 0 && quota < count) count = quota;
#else
  const int count = static_cast<int>(std::thread::hardware_concurrency());
#endif
  return count < 1 ? 1 : count;
}

int cell_workers(FormatName input, FormatName output, std::uint64_t cells, int processors) {
#ifdef CELLSCALE_TEST_SMALL_BATCHES
  (void)input, (void)output, (void)processors;
  return cells > 0 ? 2 : 0;
#else
  const bool text_work = input == FormatName::ascii_text || output == FormatName::ascii_text;
  if (!text_work || cells < kSmallestGridWithWorkers) return 0;
  return std::min(processors - 1, kMostWorkers);
#endif
}

int compressing_workers(std::uint64_t cells, int processors) {
#ifdef CELLSCALE_TEST_SMALL_BATCHES
  (void)cells, (void)processors;
  return 2;
#else
  if (cells < kSmallestGridWithWorkers) return 0;
  return std::min(processors - 1, kMostWorkers);
#endif
}

}  // namespace cellscale
