#pragma once

// A run that cannot have the memory it needs ends with the message
// "not enough memory" and status 3, on whichever thread the memory was asked
// for: never with an abort. The output keeps what was written to it.

namespace cellscale {

inline constexpr int kStatusNotEnoughMemory = 3;

// Makes a failed operator new, and a std::bad_alloc that nothing catches
// (std::bad_array_new_length among them), print the message on standard
// output after what is already there and end the process at once, without
// running destructors or waiting for threads. Called first in main. Memory
// from malloc and calloc is not concerned: a null there is the caller's to
// handle.
void end_run_when_memory_runs_out();

}  // namespace cellscale
