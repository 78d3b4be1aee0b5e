// Start-up of the keeper: read the command line, keep the probe paths that
// can be examined, detach, and hand over to the feed loop.
#pragma once

#include <stdint.h>

namespace wdpulse {

struct Options {
  int32_t budget;       // unchanged passes allowed for the watched file; 0: off
  const char* watched;  // nullptr when none
  char** paths;         // probe paths, inside the process's own argv
  int npaths;
};

int32_t budget_of(const char* s);
Options scan_options(int argc, char** argv);
int vet_paths(char** paths, int npaths);
int run(int argc, char** argv);

}  // namespace wdpulse
