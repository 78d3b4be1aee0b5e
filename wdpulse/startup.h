// Start-up of the keeper: read the command line, keep the probe paths that
// can be examined from "/", detach, and hand over to the feed loop.
#pragma once

#include <stdint.h>

namespace wdpulse {

// A number as atol reads it, saturated to 32 bits.
int32_t to_int32(const char* s);
// Returns 0 in the caller once the daemon is forked off; the daemon (the
// caller itself when the fork fails) never returns.
int run(int argc, char** argv);

}  // namespace wdpulse
