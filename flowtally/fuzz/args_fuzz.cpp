// flowtally's command-line scan on arbitrary arguments (the input split at
// NUL bytes, the first piece being the program name).
#include <stdlib.h>

#include "fuzz_input.h"
#include "monitor.h"

extern "C" FZ_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::Argv args(data, size);
  flowtally::Options opts;
  flowtally::Parse r = flowtally::parse_args(args.argc(), args.argv(), opts);
  if (r == flowtally::Parse::ok && (opts.interval_s < 1 || opts.interval_s > 60)) abort();
  free(opts.filter.list);
  return 0;
}
