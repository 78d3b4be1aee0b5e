// wdpulse's option scan and budget reading on arbitrary arguments (the
// input split at NUL bytes, the first piece being the program name).  The
// path vetting that follows in the program moves the break and is left out.
#include <stdlib.h>

#include "fuzz_input.h"
#include "startup.h"

extern "C" FZ_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::Argv args(data, size);
  wdpulse::Options o = wdpulse::scan_options(args.argc(), args.argv());
  // The paths are the tail of argv, never the program name.
  const int first_path = args.argc() - o.npaths;
  if (o.npaths < 0 || (args.argc() > 0 && first_path < 1) || o.paths != args.argv() + first_path)
    abort();
  // Every argument as a budget: UBSan ends the run on an overflow on the way.
  for (int i = 0; i < args.argc(); ++i) wdpulse::to_int32(args.argv()[i]);
  return 0;
}
