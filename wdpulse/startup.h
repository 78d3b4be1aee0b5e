// Start-up of the keeper: read the command line, keep the probe paths that
// can be examined from "/", detach, and hand over to the feed loop.
#pragma once

#include <stdint.h>

namespace wdpulse {

struct Options {
  int32_t budget;       // unchanged passes in a row that end the keeper; 0: never
  const char* watched;  // nullptr when none
  char** paths;         // probe paths, inside the process's own argv
  int npaths;
};

// A number as atol reads it, saturated to 32 bits.
int32_t to_int32(const char* s);
Options scan_options(int argc, char** argv);
// Drops (and marks) the paths that cannot be examined; returns how many are left.
int vet_paths(char** paths, int npaths);
// Returns 0 in the caller once the daemon is forked off; the daemon (the
// caller itself when the fork fails) never returns.
int run(int argc, char** argv);

}  // namespace wdpulse
