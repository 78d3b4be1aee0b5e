// The keeper's checks and its life once detached: each pass feeds the
// watchdog, then checks that the system can still do the few things a
// healthy one must, and the first failed check ends the process.  The path
// check also vets the probe paths at start-up.
#pragma once

#include <stdint.h>

namespace wdpulse {

// Whether stat succeeds on path, into scratch taken above the program break
// and handed back; with must_succeed a failure ends the process instead.
bool path_check(const char* path, bool must_succeed);
[[noreturn]] void feed_loop(int32_t budget, const char* watched, char* const* paths, int npaths);

}  // namespace wdpulse
