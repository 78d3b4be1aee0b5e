#include "monitor.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace flowtally {

namespace {

constexpr const char* stats_path = "/proc/net/dev";

[[noreturn]] void usage() {
  fputs("Usage: flowtally [-l] [ -i ifname ]* [interval_in_seconds] (1..60, default 3)\n",
        stderr);
  exit(1);
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int32_t to_int32(const char* s) {
  while (is_space(*s)) ++s;
  bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  // Accumulate below the limit so that saturation needs no wider type.
  constexpr int64_t limit_pos = INT32_MAX;
  constexpr int64_t limit_neg = -static_cast<int64_t>(INT32_MIN);
  const int64_t limit = negative ? limit_neg : limit_pos;
  int64_t value = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    value = value * 10 + (*s - '0');
    if (value > limit) {
      value = limit;
      break;
    }
  }
  return static_cast<int32_t>(negative ? -value : value);
}

Parse parse_args(int argc, char** argv, Options& opts, Sampler& sampler) {
  const char* interval = nullptr;
  for (int i = 1; i < argc && interval == nullptr; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-') {
      interval = arg;
      break;
    }
    switch (arg[1]) {
      case 'l':
        opts.line_mode = true;
        break;
      case 'i':
        if (i + 1 >= argc) return Parse::usage;
        if (!filter_append(sampler, argv[++i])) return Parse::no_memory;
        break;
      case '-':
        // Whatever follows the end of options is the interval, even "-5".
        if (i + 1 < argc) interval = argv[i + 1];
        i = argc;
        break;
      default:
        return Parse::usage;
    }
  }
  if (interval != nullptr) opts.interval_s = to_int32(interval);
  if (opts.interval_s < 1 || opts.interval_s > 60) return Parse::usage;
  return Parse::ok;
}

uint64_t now_ms() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000 + static_cast<uint64_t>(tv.tv_usec) / 1000;
}

uint64_t sleep_after_pass(uint64_t start_ms, uint64_t end_ms, uint64_t interval_ms) {
  // A wall clock stepped back during the pass: wait one interval rather
  // than the size of the step, which could freeze the monitor.
  if (end_ms < start_ms) return interval_ms;
  uint64_t d = end_ms - start_ms;
  if (d < interval_ms) return interval_ms - d;
  // Skip the grid points an overlong pass has overrun; never catch up.
  return interval_ms - d % interval_ms;
}

void read_text(int fd, Text& text) {
  size_t used = 0;  // bytes read
  size_t at = 0;    // where the next piece starts
  bool ended = false;
  int n = 0;
  text.start[0] = 0;
  while (n < max_lines) {
    size_t left = used - at;
    const char* from = &text.bytes[at];
    const void* newline = memchr(from, '\n', left < piece_max ? left : piece_max);
    size_t len = 0;
    if (newline != nullptr) {
      len = static_cast<size_t>(static_cast<const char*>(newline) - from) + 1;
    } else if (left >= piece_max) {
      len = piece_max;
    } else if (ended) {
      if (left == 0) break;
      len = left;
    } else {
      // Only when no whole piece is left: a pass that has its lines stops
      // reading there.  The room never runs out first, as it holds
      // max_lines pieces of the longest kind.
      ssize_t got = read(fd, &text.bytes[used], text.bytes.size() - 1 - used);
      if (got > 0) {
        used += static_cast<size_t>(got);
      } else {
        ended = true;
      }
      continue;
    }
    at += len;
    text.start[static_cast<size_t>(++n)] = at;
  }
  text.pieces = n;
}

bool run_pass(Sampler& sampler, int fd, const PassState& pass) {
  read_text(fd, begin_pass(sampler));
  sample(sampler, pass.elapsed_ms);
  const Shown* rows = sampler.shown.data();
  if (pass.line_mode) {
    print_lines(pass.first_pass || sampler.names_changed, !pass.first_pass, pass.start_ms, rows,
                sampler.shown_count);
  } else {
    print_screen(pass.first_pass, pass.interval_s, pass.elapsed_ms, rows, sampler.shown_count);
  }
  // The file stays open; rewinding it is what makes the kernel hand out
  // fresh counters next pass.
  if (lseek(fd, 0, SEEK_SET) != 0) return false;
  print_pass_footer(pass.line_mode);
  return true;
}

int run(int argc, char** argv) {
  static Sampler sampler;
  static char output_buffer[BUFSIZ];

  Options opts;
  switch (parse_args(argc, argv, opts, sampler)) {
    case Parse::ok:
      break;
    case Parse::usage:
      usage();
    case Parse::no_memory:
      fputs("flowtally: out of memory\n", stderr);
      return 1;
  }

  int fd = open(stats_path, O_RDONLY);
  if (fd < 0) {
    fputs("Can not open file:\"/proc/net/dev\"", stderr);
    return 1;
  }
  // Standard output gets its buffer now rather than from the allocator at
  // the first pass's first line; buffered as the C library would have it.
  setvbuf(stdout, output_buffer, isatty(STDOUT_FILENO) != 0 ? _IOLBF : _IOFBF, sizeof output_buffer);

  const uint64_t interval_ms = static_cast<uint64_t>(opts.interval_s) * 1000;
  PassState pass;
  pass.line_mode = opts.line_mode;
  pass.interval_s = opts.interval_s;
  uint64_t previous_start = 0;
  for (;;) {
    // Rates run from one pass's start to the next one's, the moments the
    // counters are read: a pass held up writing its report counts in full.
    pass.start_ms = now_ms();
    pass.elapsed_ms = pass.start_ms - previous_start;
    previous_start = pass.start_ms;
    if (!run_pass(sampler, fd, pass)) {
      fputs("Can not fseek to the start of the file /proc/net/dev\n", stderr);
      return 1;
    }
    // Nobody reads the report any more.
    if (ferror(stdout) != 0) {
      fputs("flowtally: cannot write to standard output\n", stderr);
      return 1;
    }
    uint64_t end = now_ms();
    // At most 60 000 000 microseconds: fits the 32-bit useconds_t.
    usleep(static_cast<useconds_t>(sleep_after_pass(pass.start_ms, end, interval_ms) * 1000));
    pass.first_pass = false;
  }
}

}  // namespace flowtally
