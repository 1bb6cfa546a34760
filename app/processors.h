#pragma once

// How many processors the tool may run on: those of its affinity mask, which
// a user narrows with the system's own tools (`taskset -c 0 cellscale ...`,
// `start /affinity 1 cellscale ...`), and on Linux no more than the CPU quota
// of its control group allows (a container started with `--cpus=2`). The
// tool reads no setting of its own for it.

#include <string>

namespace cellscale {

// The processors of the process's affinity mask, at least 1, and no more
// than cpu_quota_processors("/") where that is not 0. Where the mask cannot
// be read, 1: the run then takes one thread.
[[nodiscard]] int usable_processors();

// The processors that the CPU quota of the process's control group allows:
// the quota over its period, rounded up, the smallest one found from the
// group up to the root of its hierarchy (cgroup v2 `cpu.max`, v1
// `cpu.cfs_quota_us` and `cpu.cfs_period_us`). The group and the hierarchy's
// mount come from `proc/self/cgroup` and `proc/self/mountinfo` under `root`,
// the files from under `root` too: "/" on the running system, another folder
// holding the same layout in the tests. 0 when no quota is set or none can
// be read.
[[nodiscard]] int cpu_quota_processors(const std::string& root);

// The system's load average over the last minute (the tasks running or
// waiting to run, on average): the first field of `proc/loadavg` under
// `root` ("0.20 0.18 0.12 1/80 11206" holds 0.20). Negative when it cannot
// be read, and on systems other than Linux.
[[nodiscard]] double load_average(const std::string& root);

}  // namespace cellscale
