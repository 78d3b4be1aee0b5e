#include "monitor.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace flowtally {

namespace {

constexpr const char* stats_path = "/proc/net/dev";
constexpr int line_buffer_size = 1024;
// Room for all 99 lines of the kernel's text, so a pass is one read (and one
// that meets the end) rather than a dozen small ones.
constexpr size_t stream_buffer_size = 16384;

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

int run(int argc, char** argv) {
  static Sampler sampler;
  static char line[line_buffer_size];
  static char stream_buffer[stream_buffer_size];
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

  FILE* stats = fopen(stats_path, "r");
  if (stats == nullptr) {
    fprintf(stderr, "Can not open file:\"%s\"", stats_path);
    return 1;
  }
  setvbuf(stats, stream_buffer, _IOFBF, sizeof stream_buffer);
  // Standard output gets its buffer now rather than from the allocator at
  // the first pass's first line; buffered as the C library would have it.
  setvbuf(stdout, output_buffer, isatty(STDOUT_FILENO) != 0 ? _IOLBF : _IOFBF, sizeof output_buffer);

  const uint64_t interval_ms = static_cast<uint64_t>(opts.interval_s) * 1000;
  PassState pass;
  pass.line_mode = opts.line_mode;
  pass.interval_s = opts.interval_s;
  uint64_t previous_end = 0;
  for (;;) {
    pass.start_ms = now_ms();
    pass.elapsed_ms = pass.start_ms - previous_end;
    print_pass_header(pass);
    begin_pass(sampler);
    for (int pos = 0; pos < max_lines && fgets(line, line_buffer_size, stats) != nullptr;
         ++pos)
      sample_line(sampler, line, pos, pass);
    // The file stays open; rewinding it is what makes the kernel hand out
    // fresh counters next pass.  Dropping the buffer first matters: a pass
    // that stops at its line limit leaves the top of the file in the buffer,
    // and the seek would then serve last pass's text again.
    fflush(stats);
    if (fseek(stats, 0, SEEK_SET) != 0) {
      fprintf(stderr, "Can not fseek to the start of the file %s\n", stats_path);
      return 1;
    }
    print_pass_footer(pass.line_mode);
    uint64_t end = now_ms();
    previous_end = end;
    // At most 60 000 000 microseconds: fits the 32-bit useconds_t.
    usleep(static_cast<useconds_t>(sleep_after_pass(pass.start_ms, end, interval_ms) * 1000));
    pass.first_pass = false;
  }
}

}  // namespace flowtally
