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
#ifdef BOARDTOOLS_NO_LEAK_CHECK
  // Every allocation of this program is a start-up buffer it keeps until it
  // ends, so a leak check could only report those, and at ~0.1 s a process
  // it would dominate the tests that start a thousand of them.
  return "verify_asan_link_order=0:abort_on_error=1:detect_stack_use_after_return=1:"
         "detect_leaks=0";
#else
  return "verify_asan_link_order=0:abort_on_error=1:detect_stack_use_after_return=1";
#endif
}

const char* __ubsan_default_options() {
  return "print_stacktrace=1:abort_on_error=1";
}

// The programs' stderr is part of what the tests compare.
const char* __lsan_default_options() { return "print_suppressions=0"; }

}  // extern "C"
