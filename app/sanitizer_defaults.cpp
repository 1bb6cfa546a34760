// Linked only into sanitizer builds (CELLSCALE_SANITIZE,
// CELLSCALE_THREAD_SANITIZER): the default settings of the sanitizers for
// every program of such a build, so that a plain `ctest` or a direct run
// behaves like the suite.
//
// - Every report ends the process (halt_on_error): a run with a report can
//   never pass as a success.
// - A row larger than 1 GiB is refused by the allocator instead of being
//   granted: AddressSanitizer marks the shadow of every large block as it
//   maps it, so a header asking for 2147483647 columns would make it touch
//   gigabytes. The tool then takes the refusal as any failed allocation and
//   reports the column count; the allocator says so in one warning line.
//
// ThreadSanitizer takes the same two settings: every report ends the process,
// and a refused allocation is reported as the tool reports any. Threads left
// unjoined are not reported: a run that fails ends the process without
// waiting for its threads, on purpose (one may be waiting for input).
//
// Settings in ASAN_OPTIONS, TSAN_OPTIONS and UBSAN_OPTIONS still take precedence.

extern "C" {

__attribute__((used, visibility("default"))) const char* __asan_default_options() {
  return "halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:"
         "strict_init_order=1:allocator_may_return_null=1:max_allocation_size_mb=1024";
}

__attribute__((used, visibility("default"))) const char* __tsan_default_options() {
  return "halt_on_error=1:report_thread_leaks=0:allocator_may_return_null=1";
}

__attribute__((used, visibility("default"))) const char* __ubsan_default_options() {
  return "halt_on_error=1:print_stacktrace=1";
}

}  // extern "C"
