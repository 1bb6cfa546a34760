#include "app/out_of_memory.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "app/console.h"

namespace cellscale {

namespace {

std::terminate_handler previous_terminate_handler = nullptr;

// May run on any thread. The message stream (where the progress dots go too)
// stays locked to this thread until the process ends, so that no progress
// dot of another thread follows the message.
[[noreturn]] void say_not_enough_memory() {
  std::FILE* const messages = message_stream();
#ifdef _WIN32
  _lock_file(messages);
#else
  flockfile(messages);
#endif
  std::fputs("not enough memory\n", messages);
  std::fflush(messages);
  std::_Exit(kStatusNotEnoughMemory);
}

// A std::bad_alloc that nothing catches ends the run as a failed operator
// new does; any other exception ends the process as it always has.
[[noreturn]] void end_on_uncaught_exception() {
  // Entered again on the same thread only when the rethrow below could not
  // have the memory for its exception.
  thread_local bool entered = false;
  if (entered) say_not_enough_memory();
  entered = true;
  if (const std::exception_ptr uncaught = std::current_exception()) {
    try {
      std::rethrow_exception(uncaught);
    } catch (const std::bad_alloc&) {
      say_not_enough_memory();
    } catch (...) {
    }
  }
  if (previous_terminate_handler != nullptr) previous_terminate_handler();
  std::abort();
}

}  // namespace

void end_run_when_memory_runs_out() {
  std::set_new_handler(say_not_enough_memory);
  previous_terminate_handler = std::set_terminate(end_on_uncaught_exception);
}

}  // namespace cellscale
