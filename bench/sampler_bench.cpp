// A monitor pass, timed: reading the kernel's 99 lines, rows and rates, and
// the layout, against a floor that reads the same text and only converts
// the four fields a report uses.  Run with standard output on /dev/null
// (the layout writes there) and the figures in --benchmark_out.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "monitor.h"
#include "support.h"

namespace {

constexpr int lines = 99;
constexpr int texts = 16;

// The text of busy interfaces at pass k.
int stats_file(uint64_t k) {
  std::string text = ts::stats_text(ts::busy_ifaces(lines - 2, k));
  int fd = memfd_create("dev", 0);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
  return fd;
}

// Passes cycle through the texts; one pass in each cycle sees the counters
// go back (a reset).
struct Files {
  std::vector<int> fds;
  Files() {
    for (uint64_t k = 0; k < texts; ++k) fds.push_back(stats_file(k));
  }
  ~Files() {
    for (int fd : fds) close(fd);
  }
  int at(int64_t pass) {
    int fd = fds[static_cast<size_t>(pass % texts)];
    lseek(fd, 0, SEEK_SET);
    return fd;
  }
};

const char* skip_field(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n') ++p;
  return p;
}

void BM_Floor(benchmark::State& state) {
  Files files;
  static char text[16384];
  int64_t pass = 0;
  for (auto _ : state) {
    ssize_t n = read(files.at(pass++), text, sizeof text - 1);
    text[n > 0 ? n : 0] = '\0';
    const char* line = text;
    for (int pos = 0; pos < lines && *line != '\0'; ++pos) {
      const char* p = strchr(line, ':');
      const char* end = strchr(line, '\n');
      line = end != nullptr ? end + 1 : line + strlen(line);
      if (p == nullptr || p > line) continue;
      ++p;
      uint64_t f[4];
      char* after;
      f[0] = strtoull(p, &after, 10);
      f[1] = strtoull(after, &after, 10);
      p = after;
      for (int k = 2; k < 8; ++k) p = skip_field(p);
      f[2] = strtoull(p, &after, 10);
      f[3] = strtoull(after, &after, 10);
      benchmark::DoNotOptimize(f);
    }
  }
  state.SetItemsProcessed(state.iterations() * lines);
}

// Arg 1: line mode, 0: screen mode.  A pass as the monitor makes it, its
// output handed to standard output.
void BM_Pass(benchmark::State& state) {
  Files files;
  static flowtally::Run r;
  static flowtally::Text text;
  static flowtally::Output out;
  r.opts.line_mode = state.range(0) == 1;
  int64_t n = 0;
  for (auto _ : state) {
    const flowtally::Laid laid = flowtally::pass(r, files.at(n++), text, 1000, 0, out.data());
    if (!laid.rewound) abort();
    fwrite(out.data(), 1, static_cast<size_t>(laid.end - out.data()), stdout);
    if (r.opts.line_mode) fflush(stdout);
  }
  state.SetItemsProcessed(state.iterations() * lines);
}

BENCHMARK(BM_Floor);
BENCHMARK(BM_Pass)->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
