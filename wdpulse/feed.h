// The daemon's life once it has detached: feed the watchdog, then check
// that the system can still do the few things a healthy one must.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

namespace wdpulse {

constexpr unsigned heap_probe_size = 4096;

// The two records of the watched file live here for the life of the process;
// nothing is allocated for them.
struct Staleness {
  int32_t budget;
  int32_t remaining;
  struct stat previous;
  struct stat current;
};

bool path_check(const char* path, bool must_succeed);
void feed(int* fd);
void heap_probe();
void process_probe();
int path_probe(char* const* paths, int npaths, int next);
void read_record(const char* path, struct stat* rec);
bool staleness_expired(Staleness* s, const char* watched);
[[noreturn]] void feed_loop(int32_t budget, const char* watched, char* const* paths, int npaths);

}  // namespace wdpulse
