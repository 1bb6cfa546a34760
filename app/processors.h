#pragma once

// How many processors the tool may run on: those of its affinity mask, which
// a user narrows with the system's own tools (`taskset -c 0 cellscale ...`,
// `start /affinity 1 cellscale ...`), and on Linux no more than the CPU quota
// of its control group allows (a container started with `--cpus=2`). The
// tool reads no setting of its own for it.

#include <cstdint>
#include <string>

#include "formats/grid_format.h"

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

// How many threads a run takes beside its own, the one rule for every
// grid. The run's own thread reads, takes the batches back in order and
// writes, and works on batches while it waits; a worker beside it for each
// other processor, up to kMostWorkers, where the cells take work that pays
// for handing them from thread to thread: scanning a text input's numbers,
// formatting a text output's (about 50 instructions a cell). A binary grid
// scaled into a binary one takes a few instructions a cell, and measured
// slower with workers than without (bench/threads.sh): none. Nor does a
// grid of fewer than kSmallestGridWithWorkers cells, where starting threads
// costs more than it saves. The test build with small batches takes two
// workers for every grid, so that every grid crosses threads.
inline constexpr std::uint64_t kSmallestGridWithWorkers = std::uint64_t{1} << 17;
// Reading the input and writing the output through the system take about a
// tenth of the time one thread takes on a text grid: beyond eight workers
// the run waits on that.
inline constexpr int kMostWorkers = 8;
[[nodiscard]] int cell_workers(FormatName input, FormatName output, std::uint64_t cells, int processors);

// The workers that compress a gzip output's blocks beside the run's own
// thread, which compresses too while it waits: one for each other
// processor (compressing takes longer than making the text), none on a
// small grid.
[[nodiscard]] int compressing_workers(std::uint64_t cells, int processors);

}  // namespace cellscale
