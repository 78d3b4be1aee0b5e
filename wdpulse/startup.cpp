#include "startup.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "feed.h"

// The system call (Linux 5.9) is older than the C library's wrapper for it
// (glibc 2.34), so it is made directly; its number is the same on every
// architecture.
#ifndef SYS_close_range
#define SYS_close_range 436
#endif

namespace wdpulse {

namespace {

// A root that cannot be entered shows up in the path probe instead.
void change_to_root() {
  if (chdir("/") != 0) return;
}

// Whatever the launcher left open beyond the standard three must not live
// as long as the board: a lock it held would never come free, and whoever
// reads a pipe it left would never see the end.  Kernels before close_range
// get a loop up to the descriptor limit; neither way allocates.
void close_inherited() {
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  for (rlim_t fd = 3; fd < limit.rlim_cur; ++fd) close(static_cast<int>(fd));
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

// The budget is read the way atol reads a number, but as a 32-bit value that
// saturates, so a board and a build machine agree on every input.  Digits
// accumulate towards the sign's limit so no wider type is needed.
int32_t to_int32(const char* s) {
  while (is_space(*s)) ++s;
  bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  int32_t value = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    int32_t digit = *s - '0';
    if (negative)
      value = value < (INT32_MIN + digit) / 10 ? INT32_MIN : value * 10 - digit;
    else
      value = value > (INT32_MAX - digit) / 10 ? INT32_MAX : value * 10 + digit;
  }
  return value;
}

namespace {

struct Options {
  int32_t budget;       // unchanged passes in a row that end the keeper; 0: never
  const char* watched;  // nullptr when none
  char** paths;         // probe paths, inside the process's own argv
  int npaths;
};

// Nothing on the command line can stop the keeper: unknown options are
// skipped, and an option missing its value just ends the scan.
Options scan_options(int argc, char** argv) {
  Options o{0, nullptr, nullptr, 0};
  int i = argc > 0 ? 1 : 0;
  while (i < argc && argv[i][0] == '-') {
    char letter = argv[i][1];
    ++i;
    if (letter == '-') break;
    if (letter != 'c' && letter != 'f') continue;
    if (i == argc) break;
    if (letter == 'c')
      o.budget = to_int32(argv[i]);
    else
      o.watched = argv[i];
    ++i;
  }
  o.paths = argv + i;
  o.npaths = argc - i;
  return o;
}

// Drops (and marks) the paths that cannot be examined; returns how many are
// left.  A rejected path is marked with "!" in the argument memory, so whoever
// reads the keeper's command line can see what it gave up on; the last
// entry fills the gap.  An empty argument has no byte of its own to mark:
// writing over its end would join it to the next argument.
int vet_paths(char** paths, int npaths) {
  int i = 0;
  while (i < npaths) {
    if (path_check(paths[i], false)) {
      ++i;
      continue;
    }
    if (paths[i][0] != '\0') paths[i][0] = '!';
    paths[i] = paths[--npaths];
  }
  return npaths;
}

}  // namespace

int run(int argc, char** argv) {
  // A launcher may leave SIGCHLD ignored, and then the probe child would be
  // reaped behind our back and waitpid would report a healthy system as sick.
  signal(SIGCHLD, SIG_DFL);
  Options o = scan_options(argc, argv);
  // Vet paths as the probes will see them, from "/", where the daemon stays.
  change_to_root();
  o.npaths = vet_paths(o.paths, o.npaths);
  // Started as the leader of a terminal's session, the keeper's exit would
  // hang up the daemon before it has a session of its own; ignore that
  // until then, and leave the launcher's choice in place afterwards.
  // Without a fork the started process keeps the watchdog fed itself.
  sighandler_t hangup = signal(SIGHUP, SIG_IGN);
  if (fork() > 0) return 0;
  close_inherited();
  close(2);
  close(1);
  close(0);
  setsid();
  signal(SIGHUP, hangup);
  feed_loop(o.budget, o.watched, o.paths, o.npaths);
}

}  // namespace wdpulse
