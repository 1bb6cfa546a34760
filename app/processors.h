#pragma once

// How many processors the tool may run on: those of its affinity mask, which
// a user narrows with the system's own tools (`taskset -c 0 cellscale ...`,
// `start /affinity 1 cellscale ...`). The tool reads no setting of its own
// for it.

namespace cellscale {

// The processors of the process's affinity mask, at least 1. Where the mask
// cannot be read, 1: the run then takes one thread.
[[nodiscard]] int usable_processors();

}  // namespace cellscale
