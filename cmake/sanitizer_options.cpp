// Linked into the programs and test binaries of a sanitizer build only.  The sanitizers read
// these defaults at start-up, before any environment variable, so they hold
// even for a program started with an environment of the test's choosing.

extern "C" {

// verify_asan_link_order=0: the tests preload their shim ahead of the ASan
// runtime so that its allocation failures can be scripted; the shim hands
// every allocation on to ASan's own allocator, so ASan still sees all of
// them.  abort_on_error=1: a finding ends the program by SIGABRT, which no
// test can take for one of the programs' own exit statuses.
const char* __asan_default_options() {
  return "verify_asan_link_order=0:abort_on_error=1:detect_stack_use_after_return=1";
}

const char* __ubsan_default_options() {
  return "print_stacktrace=1:abort_on_error=1";
}

// The programs' stderr is part of what the tests compare.
const char* __lsan_default_options() { return "print_suppressions=0"; }

// pegdir takes the entry path and the link text at start-up and never frees
// them, and flowtally's filter list lives as long: the process's end
// releases them.  In flowtally the list stays reachable from its static
// sampler, so it is suppressed only in the unit tests, whose samplers go out
// of scope without it.  Any other leak is still reported.
const char* __lsan_default_suppressions() {
#ifdef BOARDTOOLS_UNIT_TESTS
  return "leak:pegdir::run\nleak:flowtally::filter_append\n";
#else
  return "leak:pegdir::run\n";
#endif
}

}  // extern "C"
