#include "feed.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace wdpulse {

namespace {

constexpr unsigned heap_probe_size = 4096;

// The staleness probe's state: its budget, the unchanged passes in a row
// still to come before it ends the keeper, and the watched file's records of
// the last change and of this pass.  Kept in static storage by the loop.
struct Staleness {
  int32_t budget;
  int32_t remaining;
  struct stat previous;
  struct stat current;
};

// sbrk(0) reports failure as (void*)-1, never as a null pointer.
char* current_break() {
  void* top = sbrk(0);
  if (reinterpret_cast<intptr_t>(top) == -1) exit(1);
  return static_cast<char*>(top);
}

// musl's brk() always fails, its allocator keeping the break to itself; the
// keeper never allocates, so there it asks the kernel, which answers with
// the break it has, the one asked for only on success.
bool move_break(char* to) {
#ifdef __GLIBC__
  return brk(to) == 0;
#else
  return syscall(SYS_brk, to) == reinterpret_cast<intptr_t>(to);
#endif
}

// Once the standard descriptors are closed the device lands on 0, so only -1
// means "not open".  A short write may mean the driver went away: reopen.
void feed(int* fd) {
  if (*fd == -1) {
    *fd = open("/dev/watchdog", O_RDWR);
    if (*fd == -1) *fd = open("/dev/misc/watchdog", O_RDWR);
    if (*fd == -1) return;
  }
  if (write(*fd, "/", 1) != 1) {
    close(*fd);
    *fd = -1;
  }
}

void heap_probe() {
  char* base = current_break();
  if (!move_break(base + heap_probe_size)) exit(1);
  memset(base, 0, heap_probe_size);
  if (!move_break(base)) exit(1);
}

// The child leaves through the library's exit so that its whole shutdown
// path is exercised; reaping anything but that child means something else
// is wrong.
void process_probe() {
  pid_t child = fork();
  if (child < 0) exit(1);
  if (child == 0) exit(0);
  if (waitpid(child, nullptr, 0) != child) exit(1);
}

// One path per pass, in turn; "/" stands in when there are none.
int path_probe(char* const* paths, int npaths, int next) {
  if (npaths == 0) {
    path_check("/", true);
    return 0;
  }
  path_check(paths[next], true);
  return next + 1 == npaths ? 0 : next + 1;
}

// Cleared first so that bytes a stat leaves alone never differ between two
// passes; a file that cannot be examined reads as all zeros.
void read_record(const char* path, struct stat* rec) {
  memset(rec, 0, sizeof *rec);
  if (stat(path, rec) != 0) memset(rec, 0, sizeof *rec);
}

// The count runs in unsigned arithmetic: a negative budget wraps rather than
// overflowing, and so reaches 0 only after more than 2^31 unchanged passes.
bool staleness_expired(Staleness* s, const char* watched) {
  read_record(watched, &s->current);
  if (memcmp(&s->current, &s->previous, sizeof(struct stat)) != 0) {
    memcpy(&s->previous, &s->current, sizeof(struct stat));
    s->remaining = s->budget;
    return false;
  }
  s->remaining = static_cast<int32_t>(static_cast<uint32_t>(s->remaining) - 1U);
  return s->remaining == 0;
}

}  // namespace

// The record is scratch taken above the break and handed back at once, so
// the check works even where the allocator no longer would.  The break starts
// page-aligned and only ever moves by multiples of 8, so the record is aligned.
bool path_check(const char* path, bool must_succeed) {
  char* base = current_break();
  if (!move_break(base + sizeof(struct stat))) exit(1);
  memset(base, 0, sizeof(struct stat));
  bool examined = stat(path, reinterpret_cast<struct stat*>(base)) == 0;
  if (!move_break(base)) exit(1);
  if (!examined && must_succeed) exit(1);
  return examined;
}

[[noreturn]] void feed_loop(int32_t budget, const char* watched, char* const* paths, int npaths) {
  static Staleness stale;
  int fd = -1;
  int next = 0;

  stale.budget = budget;
  stale.remaining = budget;
  for (;;) {
    feed(&fd);
    heap_probe();
    process_probe();
    next = path_probe(paths, npaths, next);
    if (watched != nullptr && budget != 0 && staleness_expired(&stale, watched)) exit(1);
    sleep(1);
  }
}

}  // namespace wdpulse
