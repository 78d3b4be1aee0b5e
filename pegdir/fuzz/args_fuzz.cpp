// pegdir's command-line scan on arbitrary arguments (the input split at NUL
// bytes, the first piece being the program name).
#include <stdlib.h>

#include "fuzz_input.h"
#include "pegdir.h"

extern "C" FZ_HARNESS int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::Argv args(data, size);
  pegdir::Options opt;
  if (!pegdir::parse_args(args.argc(), args.argv(), &opt)) return 0;
  // The directory is an argument not starting with "-", never the name.
  bool found = false;
  for (int i = 1; i < args.argc(); ++i) found = found || args.argv()[i] == opt.directory;
  if (!found || opt.directory[0] == '-' || opt.prefix == nullptr) abort();
  return 0;
}
