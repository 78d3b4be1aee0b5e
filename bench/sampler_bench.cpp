// The per-line work of a monitor pass, timed: the sampler with the report
// layout, against a floor that reads the same 99 lines the same way and only
// converts the four fields a report uses.  Run with standard output on
// /dev/null (the layout writes there) and the figures in --benchmark_out.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sampler.h"

namespace {

constexpr int lines = 99;

std::string stats_text() {
  std::string t =
      "Inter-|   Receive                                                |  Transmit\n"
      " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets "
      "errs drop fifo colls carrier compressed\n";
  char line[256];
  for (int i = 0; i < lines - 2; ++i) {
    snprintf(line, sizeof line,
             "%6s: %10d %7d    0    0    0     0          0         0 %10d %7d    0    0    0"
             "     0       0          0\n",
             ("eth" + std::to_string(i)).c_str(), 1234567 * i, 1043 * i, 7654321 * i, 987 * i);
    t += line;
  }
  return t;
}

// Both sides read the text through stdio, line by line, as a pass does.
struct Text {
  std::string text = stats_text();
  FILE* in = fmemopen(text.data(), text.size(), "r");
  char line[1024];
  ~Text() { fclose(in); }
};

const char* skip_field(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n') ++p;
  return p;
}

void BM_Floor(benchmark::State& state) {
  Text t;
  for (auto _ : state) {
    rewind(t.in);
    for (int pos = 0; pos < lines && fgets(t.line, sizeof t.line, t.in) != nullptr; ++pos) {
      const char* p = strchr(t.line, ':');
      if (p == nullptr) continue;
      ++p;
      uint64_t f[4];
      char* end;
      f[0] = strtoull(p, &end, 10);
      f[1] = strtoull(end, &end, 10);
      p = end;
      for (int k = 2; k < 8; ++k) p = skip_field(p);
      f[2] = strtoull(p, &end, 10);
      f[3] = strtoull(end, &end, 10);
      benchmark::DoNotOptimize(f);
    }
  }
  state.SetItemsProcessed(state.iterations() * lines);
}

// Arg 1: line mode, 0: screen mode.  Every line after the first pass prints
// its four rates.
void BM_Sampler(benchmark::State& state) {
  Text t;
  static flowtally::Sampler sampler;
  flowtally::PassState pass;
  pass.line_mode = state.range(0) == 1;
  pass.elapsed_ms = 1000;
  for (auto _ : state) {
    rewind(t.in);
    for (int pos = 0; pos < lines && fgets(t.line, sizeof t.line, t.in) != nullptr; ++pos)
      flowtally::sample_line(sampler, t.line, pos, pass);
    pass.first_pass = false;
  }
  state.SetItemsProcessed(state.iterations() * lines);
}

BENCHMARK(BM_Floor);
BENCHMARK(BM_Sampler)->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
