// The keeper's checks and its life once detached: each pass feeds the
// watchdog, then checks that the system can still do the few things a
// healthy one must, and the first failed check ends the process.  The path
// check also vets the probe paths at start-up.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

namespace wdpulse {

// The staleness probe's state: its budget, the unchanged passes in a row
// still to come before it ends the keeper, and the watched file's records of
// the last change and of this pass.  Kept in static storage by the loop.
struct Staleness {
  int32_t budget;
  int32_t remaining;
  struct stat previous;
  struct stat current;
};

// Whether stat succeeds on path, into scratch taken above the program break
// and handed back; with must_succeed a failure ends the process instead.
bool path_check(const char* path, bool must_succeed);
// The file's status record, all zeros when it cannot be examined.
void read_record(const char* path, struct stat* rec);
// Reads the watched file into s->current; true once the budget's count of
// unchanged passes in a row is reached.
bool staleness_expired(Staleness* s, const char* watched);
[[noreturn]] void feed_loop(int32_t budget, const char* watched, char* const* paths, int npaths);

}  // namespace wdpulse
