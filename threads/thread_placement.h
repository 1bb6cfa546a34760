#pragma once

// Where a new thread starts. The system places a new thread on the processor
// of the thread that made it, which is busy with the run, and moves it to an
// idle one only when it next balances the processors' loads; a thread woken
// is put back near where it last ran. A scheduler trace showed a statistics
// thread waiting 2 to 4 ms of a 30 ms run, and the three threads of a text
// run taking turns on one processor for 10 ms of 65, while the other
// processor was idle.

#include <thread>

namespace cellscale {

// Moves `thread` at once to the processors it may run on other than the
// calling thread's, then lets it run on all of them again, which leaves it
// where it was moved. Nothing where there is no other processor (or no such
// call: not on Windows).
void move_off_this_processor(std::thread& thread);

}  // namespace cellscale
