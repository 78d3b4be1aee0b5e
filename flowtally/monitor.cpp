#include "monitor.h"

#include <fcntl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <bit>
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

// The first newline among the n bytes at p, or null.  Where words load at
// aligned addresses alone, the C library's memchr lacks the vector and
// byte-wise instructions that make it fast elsewhere: the text's own
// aligned words are searched instead, a block at a time.
const char* newline_in(const char* p, size_t n) {
  if constexpr (unaligned_loads) return static_cast<const char*>(memchr(p, '\n', n));
  constexpr size_t word = sizeof(size_t);
  // Once 0x60 is added to each byte of a word (with a carry or not), a
  // newline's top bit is clear, and so is that of the few other bytes below
  // 0x20 or past 0x9F: most blocks have none.
  constexpr size_t add = every_byte('\x60');
  static_assert(search_block == 4 * word);
  const char* const end = p + n;
  const auto before = reinterpret_cast<uintptr_t>(p) % word;
  const char* w = p - before;
  // The word that holds p, its bytes before p read as anything but a newline.
  size_t found = bytes_of(word_at(w) | ((size_t{1} << (8 * before)) - 1), '\n');
  while (found == 0) {
    w += word;
    while (w < end && (~((word_at(w) + add) & (word_at(w + word) + add) &
                         (word_at(w + 2 * word) + add) & (word_at(w + 3 * word) + add)) &
                       every_byte('\x80')) == 0)
      w += search_block;
    if (w >= end) return nullptr;
    // Such a byte in the block from w: its words are searched in turn.
    const char* const last = w + 3 * word;
    while ((found = bytes_of(word_at(w), '\n')) == 0 && w != last) w += word;
  }
  const char* at = w + std::countr_zero(found) / 8;
  return at < end ? at : nullptr;
}

}  // namespace

int32_t to_int32(const char* s) {
  while (is_space(*s)) ++s;
  bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  // Accumulated in 64 bits, which hold any 32-bit value and one more digit.
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

Parse parse_args(int argc, char** argv, Options& opts) {
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
        if (!filter_append(opts.filter, argv[++i])) return Parse::no_memory;
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
  opts.interval_s = interval != nullptr ? to_int32(interval) : 3;
  if (opts.interval_s < 1 || opts.interval_s > 60) return Parse::usage;
  return Parse::ok;
}

namespace {

// The clocks, in whole milliseconds.  The monotonic clock times the passes,
// which a step of the date must not disturb; the wall clock only shows in
// line mode's time column.
uint64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint32_t>(ts.tv_nsec) / 1000000;
}

uint64_t wall_ms() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000 + static_cast<uint32_t>(tv.tv_usec) / 1000;
}

}  // namespace

uint64_t sleep_after_pass(uint64_t start_ms, uint64_t end_ms, uint64_t interval_ms) {
  uint64_t d = end_ms - start_ms;
  if (d < interval_ms) return interval_ms - d;
  // Skip the grid points an overlong pass has overrun; never catch up.
  return interval_ms - d % interval_ms;
}

namespace {

// Cuts text.bytes[0, used) into lines, carrying on from those already cut;
// ended: nothing more is to be read.  True once the text has every line it
// takes, false while its next line needs more bytes.
bool cut_lines(Text& text, size_t used, bool ended) {
  while (text.lines < max_lines) {
    size_t at = text.start[static_cast<size_t>(text.lines)];
    size_t left = used - at;
    const char* newline = newline_in(&text.bytes[at], left < line_max ? left : line_max);
    size_t len = 0;
    if (newline != nullptr) {
      len = static_cast<size_t>(newline - &text.bytes[at]) + 1;
    } else if (left >= line_max || (ended && left > 0)) {
      len = left < line_max ? left : line_max;
    } else {
      return ended;
    }
    text.start[static_cast<size_t>(++text.lines)] = at + len;
  }
  return true;
}

}  // namespace

void read_text(int fd, Text& text) {
  text.lines = 0;
  text.start[0] = 0;
  size_t used = 0;
  bool ended = false;
  // Only when no whole line is left: a pass that has its lines reads no
  // further.  The room never runs out first, as it holds max_lines lines
  // of the longest kind.
  while (!cut_lines(text, used, ended)) {
    ssize_t got = read(fd, &text.bytes[used], text.bytes.size() - used);
    if (got > 0) {
      used += static_cast<size_t>(got);
    } else {
      ended = true;
    }
  }
}

Laid pass(Run& r, int fd, Text& text, uint64_t elapsed_ms, uint64_t wall_ms, char* out) {
  read_text(fd, text);
  // The file stays open; rewinding it is what makes the kernel make its
  // text afresh for the next pass.
  const bool rewound = lseek(fd, 0, SEEK_SET) == 0;
  r.latest ^= 1;
  Rows& rows = r.rows[r.latest];
  read_rows(r.opts.filter, text, rows);
  r.same_names = work_out_rates(r.rows[r.latest ^ 1], rows, elapsed_ms);
  const bool first = ++r.passes == 1;
  const bool line_mode = r.opts.line_mode;
  // The header line names the interfaces again whenever they change.
  out = line_mode ? lay_out_lines(out, first || !r.same_names, !first, wall_ms, rows)
                  : lay_out_screen(out, first, r.opts.interval_s, elapsed_ms, rows);
  return {rewound ? lay_out_footer(out, line_mode) : out, rewound};
}

int run(int argc, char** argv) {
  static Run r;
  static Text text;
  static Output out;
  static char output_buffer[BUFSIZ];

  switch (parse_args(argc, argv, r.opts)) {
    case Parse::ok:
      break;
    case Parse::usage:
      usage();
    case Parse::no_memory:
      fputs("flowtally: out of memory\n", stderr);
      return 1;
  }

  const int fd = open(stats_path, O_RDONLY);
  if (fd < 0) {
    fputs("Can not open file:\"/proc/net/dev\"", stderr);
    return 1;
  }
  // Standard output gets its buffer now rather than from the allocator at
  // the first pass; buffered as the C library would have it.
  setvbuf(stdout, output_buffer, isatty(STDOUT_FILENO) != 0 ? _IOLBF : _IOFBF,
          sizeof output_buffer);

  const bool line_mode = r.opts.line_mode;
  const uint64_t interval_ms = static_cast<uint64_t>(r.opts.interval_s) * 1000;
  uint64_t previous_start = 0;
  for (;;) {
    // Rates run from one pass's start to the next one's, the moments the
    // counters are read: a pass held up writing its report counts in full.
    const uint64_t start = monotonic_ms();
    const uint64_t elapsed = start - previous_start;
    previous_start = start;
    const uint64_t wall = line_mode ? wall_ms() : 0;
    const Laid laid = pass(r, fd, text, elapsed, wall, out.data());
    fwrite(out.data(), 1, static_cast<size_t>(laid.end - out.data()), stdout);
    if (!laid.rewound) {
      fputs("Can not fseek to the start of the file /proc/net/dev\n", stderr);
      return 1;
    }
    if (line_mode) fflush(stdout);
    // Nobody reads the report any more.
    if (ferror(stdout) != 0) {
      fputs("flowtally: cannot write to standard output\n", stderr);
      return 1;
    }
    // At most 60 000 000 microseconds: fits the 32-bit useconds_t.
    usleep(static_cast<useconds_t>(sleep_after_pass(start, monotonic_ms(), interval_ms) * 1000));
  }
}

}  // namespace flowtally
