// Logic of the monitor: command line, conversions, counter differences,
// rates, the filter, and the report layouts byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "monitor.h"

namespace flowtally {
namespace {

// Runs f with standard output sent to a temporary file; returns the text.
template <typename F>
std::string capture_stdout(F f) {
  fflush(stdout);
  FILE* tmp = tmpfile();
  int saved = dup(1);
  dup2(fileno(tmp), 1);
  f();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string text;
  rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) text.append(buf, n);
  fclose(tmp);
  return text;
}

struct ParseCase {
  std::vector<const char*> args;
  Parse result;
  bool line_mode;
  int32_t interval;
  const char* filter;  // nullptr: absent
};

TEST(CommandLine, ScansArgumentsAsDocumented) {
  const std::vector<ParseCase> cases = {
      {{}, Parse::ok, false, 3, nullptr},
      {{"-l"}, Parse::ok, true, 3, nullptr},
      {{"-lx"}, Parse::ok, true, 3, nullptr},
      {{"7"}, Parse::ok, false, 7, nullptr},
      {{"7abc"}, Parse::ok, false, 7, nullptr},
      {{"  +9"}, Parse::ok, false, 9, nullptr},
      {{"60"}, Parse::ok, false, 60, nullptr},
      {{"1"}, Parse::ok, false, 1, nullptr},
      {{"0"}, Parse::usage, false, 0, nullptr},
      {{"61"}, Parse::usage, false, 61, nullptr},
      {{"abc"}, Parse::usage, false, 0, nullptr},
      {{"-5"}, Parse::usage, false, 3, nullptr},
      {{"-"}, Parse::usage, false, 3, nullptr},
      {{"-x"}, Parse::usage, false, 3, nullptr},
      {{"--"}, Parse::ok, false, 3, nullptr},
      {{"--", "5"}, Parse::ok, false, 5, nullptr},
      {{"--", "-5"}, Parse::usage, false, -5, nullptr},
      {{"--", "5", "-x"}, Parse::ok, false, 5, nullptr},
      {{"--foo", "5"}, Parse::ok, false, 5, nullptr},
      {{"5", "-x", "junk"}, Parse::ok, false, 5, nullptr},
      {{"-i"}, Parse::usage, false, 3, nullptr},
      {{"-i", "eth0", "-i", "wlan0", "10"}, Parse::ok, false, 10, ",eth0,wlan0,"},
      {{"-ixyz", "eth0"}, Parse::ok, false, 3, ",eth0,"},
      {{"-i", "-l"}, Parse::ok, false, 3, ",-l,"},
      {{"-i", ""}, Parse::ok, false, 3, ",,"},
      {{"-i", "eth0", "-i", "eth0"}, Parse::ok, false, 3, ",eth0,eth0,"},
      {{"-l", "-i", "eth0", "-i"}, Parse::usage, true, 3, ",eth0,"},
      {{"-l", "-i", "eth0", "--"}, Parse::ok, true, 3, ",eth0,"},
      {{"4294967297"}, Parse::usage, false, INT32_MAX, nullptr},
  };
  for (const auto& c : cases) {
    std::vector<char*> argv = {const_cast<char*>("flowtally")};
    for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    Options opts;
    static Sampler s;  // large: keep it off the stack
    s = Sampler{};
    std::string label;
    for (const char* a : c.args) label += std::string("[") + a + "]";
    Parse r = parse_args(static_cast<int>(argv.size() - 1), argv.data(), opts, s);
    EXPECT_EQ(r, c.result) << label;
    EXPECT_EQ(opts.line_mode, c.line_mode) << label;
    if (r == Parse::ok) EXPECT_EQ(opts.interval_s, c.interval) << label;
    if (c.filter == nullptr) {
      EXPECT_EQ(s.filter, nullptr) << label;
    } else {
      ASSERT_NE(s.filter, nullptr) << label;
      EXPECT_STREQ(s.filter, c.filter) << label;
      EXPECT_EQ(s.filter_len, strlen(c.filter)) << label;
    }
  }
}

TEST(CommandLine, IntervalConvertsAsSigned32BitSaturating) {
  const std::vector<std::pair<const char*, int32_t>> cases = {
      {"", 0},
      {"abc", 0},
      {"12", 12},
      {" \t\n\v\f\r12", 12},
      {"+12", 12},
      {"-12", -12},
      {"- 12", 0},
      {"+-1", 0},
      {"7 days", 7},
      {"0012", 12},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"4294967297", INT32_MAX},  // wraps to 1 with a 64-bit atoi
      {"99999999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"-99999999999999999999999", INT32_MIN},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(to_int32(text), want) << "[" << text << "]";
}

TEST(Schedule, SleepKeepsPassesOnTheGrid) {
  struct Case {
    uint64_t start, end, interval, want;
  };
  const std::vector<Case> cases = {
      {10000, 10000, 3000, 3000},
      {10000, 10250, 3000, 2750},
      {10000, 12999, 3000, 1},
      {10000, 13000, 3000, 3000},  // exactly one interval: a full sleep
      {10000, 16000, 3000, 3000},  // exactly two intervals
      {10000, 14000, 3000, 2000},  // overran one grid point: skip it
      {10000, 17500, 3000, 1500},
      {0, 60000, 60000, 60000},
      {10000, 9000, 3000, 3000},  // clock stepped back during the pass
      {10000, 0, 60000, 60000},
  };
  for (const auto& c : cases)
    EXPECT_EQ(sleep_after_pass(c.start, c.end, c.interval), c.want)
        << c.start << " " << c.end << " " << c.interval;
}

TEST(Counters, DifferenceAllowsFor32BitWrap) {
  struct Case {
    uint64_t previous, current, want;
  };
  const uint64_t two32 = 1ULL << 32;
  const std::vector<Case> cases = {
      {100, 100, 0},
      {100, 350, 250},
      {two32 - 296, 200, 496},
      {two32 - 1, 0, 1},
      {two32, 5, 5 - two32},       // a 64-bit counter that went down
      {two32 + 10, two32, UINT64_MAX - 9},
      {UINT64_MAX, 0, 1},
      {0, UINT64_MAX, UINT64_MAX},
  };
  for (const auto& c : cases)
    EXPECT_EQ(counter_diff(c.previous, c.current), c.want) << c.previous << " -> " << c.current;
}

TEST(Counters, RatesTruncateToTenths) {
  struct Case {
    bool bytes;
    uint64_t d, e, whole, tenths;
  };
  const std::vector<Case> cases = {
      {true, 987, 1000, 7, 8},
      {false, 15, 1000, 15, 0},
      {false, 1, 300, 3, 3},
      {true, 0, 1000, 0, 0},
      {true, 125, 1000, 1, 0},
      {true, 1, 3000, 0, 0},
      {true, 1000000, 2000, 4000, 0},
      {false, 2, 3000, 0, 6},
      {true, 5, 0, 0, 0},  // no time passed: no division
      {false, 5, 0, 0, 0},
  };
  for (const auto& c : cases) {
    Rate r = c.bytes ? kbit_rate(c.d, c.e) : packet_rate(c.d, c.e);
    EXPECT_EQ(r.whole, c.whole) << c.d << "/" << c.e;
    EXPECT_EQ(r.tenths, c.tenths) << c.d << "/" << c.e;
  }
}

TEST(Filter, MatchesWholeNamesBetweenCommas) {
  struct Case {
    std::vector<const char*> listed;
    const char* name;
    bool wanted;
  };
  const char* long29 = "abcdefghijklmnopqrstuvwxyz012";  // 29 characters
  const std::vector<Case> cases = {
      {{}, "eth0", true},
      {{}, "", true},
      {{"eth0"}, "eth0", true},
      {{"eth0"}, "eth1", false},
      {{"eth0"}, "veth0", false},
      {{"eth0"}, "eth", false},
      {{"eth0", "wlan0"}, "wlan0", true},
      {{"eth0", "wlan0"}, "lo", false},
      {{""}, "", true},
      {{""}, "eth0", false},
      {{"eth0", "eth0"}, "eth0", true},
      // From 29 characters the key loses its closing comma: any listed name
      // beginning with those 29 characters matches.
      {{"abcdefghijklmnopqrstuvwxyz0123"}, long29, true},
      {{"abcdefghijklmnopqrstuvwxyz012"}, "abcdefghijklmnopqrstuvwxyz012XYZ", true},
      {{"abcdefghijklmnopqrstuvwxyz01"}, "abcdefghijklmnopqrstuvwxyz01", true},
      {{"abcdefghijklmnopqrstuvwxyz01"}, "abcdefghijklmnopqrstuvwxyz012", false},
  };
  for (const auto& c : cases) {
    static Sampler s;
    s = Sampler{};
    for (const char* n : c.listed) ASSERT_TRUE(filter_append(s, n));
    EXPECT_EQ(filter_wants(s, c.name), c.wanted) << "[" << c.name << "]";
  }
}

TEST(Layout, FormatTableHoldsEachKindForEachMode) {
  EXPECT_STREQ(format_for(Item::label, false), "| %-8s");
  EXPECT_STREQ(format_for(Item::label, true), " ");
  EXPECT_STREQ(format_for(Item::kbit_rate, false), "|%7llu.%1llu kbps");
  EXPECT_STREQ(format_for(Item::kbit_rate, true), "%llu.%1llu ");
  EXPECT_STREQ(format_for(Item::packet_rate, false), "|%7llu.%1llu pk/s|");
  EXPECT_STREQ(format_for(Item::packet_rate, true), "%llu.%1llu ");
}

const std::string border =
    "+----------------------------------------------------------------------+\n";
const std::string column_header =
    "| IF      |Input                         |Output                       |\n";

// Lines as the kernel writes them, with their headings.
const char* const heading0 =
    "Inter-|   Receive                                                |  Transmit\n";
const char* const heading1 =
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

std::string iface_line(const char* name, uint64_t rxb, uint64_t rxp, uint64_t txb,
                       uint64_t txp) {
  char buf[256];
  snprintf(buf, sizeof buf, "%6s: %llu %llu 0 0 0 0 0 0 %llu %llu 0 0 0 0 0 0\n", name,
           static_cast<unsigned long long>(rxb), static_cast<unsigned long long>(rxp),
           static_cast<unsigned long long>(txb), static_cast<unsigned long long>(txp));
  return buf;
}

// Runs one whole pass over the given lines as the monitor does.
std::string run_pass(Sampler& s, PassState& pass, const std::vector<std::string>& lines) {
  return capture_stdout([&] {
    print_pass_header(pass);
    begin_pass(s);
    int pos = 0;
    for (const auto& l : lines) {
      char buf[1024];
      snprintf(buf, sizeof buf, "%s", l.c_str());
      sample_line(s, buf, pos++, pass);
    }
    print_pass_footer(pass.line_mode);
  });
}

TEST(Layout, ScreenModePassesByteForByte) {
  static Sampler s;
  s = Sampler{};
  PassState pass;
  pass.interval_s = 2;
  std::vector<std::string> lines = {heading0, heading1, iface_line("lo", 1000, 10, 1000, 10),
                                    iface_line("eth0", 5000, 50, 9000, 90)};
  EXPECT_EQ(run_pass(s, pass, lines),
            "\33[H\33[JCalculating rates for 2 seconds...\n" + border + column_header + border +
                "| lo      \n| eth0    \n" + border);

  pass.first_pass = false;
  pass.elapsed_ms = 2000;
  lines[2] = iface_line("lo", 1000 + 987 * 2, 10 + 30, 1000 + 250, 10 + 1);
  lines[3] = iface_line("eth0", 5000 + 123456789, 50 + 7, 9000, 90);
  EXPECT_EQ(run_pass(s, pass, lines),
            "\33[H\33[JAverages for the last 2000 msec\n" + border + column_header + border +
                "| lo      |      7.8 kbps|     15.0 pk/s||      1.0 kbps|      0.5 pk/s|\n"
                "| eth0    | 493827.1 kbps|      3.5 pk/s||      0.0 kbps|      0.0 pk/s|\n" +
                border);
  EXPECT_EQ(border.size(), 73U);
  EXPECT_EQ(column_header.size(), 73U);
}

TEST(Layout, ScreenRowsWidenRatherThanCut) {
  static Sampler s;
  s = Sampler{};
  PassState pass;
  std::vector<std::string> lines = {iface_line("averylongname0", 0, 0, 0, 0)};
  run_pass(s, pass, lines);
  pass.first_pass = false;
  pass.elapsed_ms = 1000;
  lines[0] = iface_line("averylongname0", 2000000000, 0, 0, 0);
  std::string out = run_pass(s, pass, lines);
  EXPECT_NE(out.find("| averylongname0|16000000.0 kbps|      0.0 pk/s|"), std::string::npos)
      << out;
}

TEST(Layout, LineModePassesByteForByte) {
  static Sampler s;
  s = Sampler{};
  ASSERT_TRUE(filter_append(s, "eth0"));
  ASSERT_TRUE(filter_append(s, "lo"));
  PassState pass;
  pass.line_mode = true;
  pass.start_ms = 1700000000123;
  std::vector<std::string> lines = {heading0, heading1, iface_line("lo", 1000, 10, 1000, 10),
                                    iface_line("eth1", 1, 1, 1, 1),
                                    iface_line("eth0", 5000, 50, 9000, 90)};
  EXPECT_EQ(run_pass(s, pass, lines), "#   time   lo(ikb ipk okb opk) eth0(ikb ipk okb opk) \n");

  pass.first_pass = false;
  pass.start_ms = 1700000003999;
  pass.elapsed_ms = 1000;
  lines[2] = iface_line("lo", 1987, 25, 1000, 10);
  lines[4] = iface_line("eth0", 5000, 50, 9125, 93);
  EXPECT_EQ(run_pass(s, pass, lines), "1700000003 7.8 15.0 0.0 0.0  0.0 0.0 1.0 3.0 \n");
}

TEST(Layout, NoWantedInterfaceStillFramesThePass) {
  static Sampler s;
  s = Sampler{};
  ASSERT_TRUE(filter_append(s, "none"));
  std::vector<std::string> lines = {heading0, heading1, iface_line("eth0", 1, 1, 1, 1)};
  PassState pass;
  pass.first_pass = false;
  pass.elapsed_ms = 3000;
  EXPECT_EQ(run_pass(s, pass, lines), "\33[H\33[JAverages for the last 3000 msec\n" + border +
                                          column_header + border + border);
  pass.line_mode = true;
  pass.start_ms = 5000;
  EXPECT_EQ(run_pass(s, pass, lines), "         5\n");
  pass.first_pass = true;
  EXPECT_EQ(run_pass(s, pass, lines), "#   time   \n");
}

TEST(Layout, LaterScreenMessageShowsElapsedSigned) {
  static Sampler s;
  s = Sampler{};
  PassState pass;
  pass.first_pass = false;
  pass.elapsed_ms = static_cast<uint64_t>(-1040);  // the clock stepped back
  std::string out = run_pass(s, pass, {});
  EXPECT_EQ(out.substr(0, out.find('\n') + 1), "\33[H\33[JAverages for the last -1040 msec\n");
}

TEST(Layout, LineModeTimeIs32BitSeconds) {
  static Sampler s;
  s = Sampler{};
  PassState pass;
  pass.line_mode = true;
  pass.first_pass = false;
  pass.start_ms = (5000000000ULL) * 1000;  // past 2^32 seconds
  EXPECT_EQ(run_pass(s, pass, {}), " 705032704\n");
}

// Rows that cannot be differenced print zero rates and are stored, so the
// following pass is right again.
TEST(Rows, WithoutPreviousCountersPrintZeroThenRecover) {
  struct Case {
    const char* what;
    std::vector<std::string> pass1, pass2, pass3;
    std::string want2, want3;
  };
  const std::vector<Case> cases = {
      {"interface appears below the others",
       {heading0, heading1, iface_line("eth0", 0, 0, 0, 0)},
       {heading0, heading1, iface_line("eth0", 1000, 10, 0, 0), iface_line("eth1", 500, 5, 0, 0)},
       {heading0, heading1, iface_line("eth0", 2000, 20, 0, 0), iface_line("eth1", 1500, 15, 0, 0)},
       "1 8.0 10.0 0.0 0.0  0.0 0.0 0.0 0.0 \n",
       "2 8.0 10.0 0.0 0.0  8.0 10.0 0.0 0.0 \n"},
      {"interface at a position changes",
       {heading0, heading1, iface_line("eth0", 0, 0, 0, 0), iface_line("eth1", 100, 1, 0, 0)},
       {heading0, heading1, iface_line("eth1", 1100, 11, 0, 0)},
       {heading0, heading1, iface_line("eth1", 2100, 21, 0, 0)},
       "1 0.0 0.0 0.0 0.0 \n",
       "2 8.0 10.0 0.0 0.0 \n"},
      {"interface away from its position for a pass",
       {heading0, heading1, iface_line("eth0", 0, 0, 0, 0), iface_line("eth1", 0, 0, 0, 0)},
       {heading0, heading1, iface_line("eth1", 1000, 10, 0, 0)},
       {heading0, heading1, iface_line("eth0", 2000, 20, 0, 0), iface_line("eth1", 2000, 20, 0, 0)},
       "1 0.0 0.0 0.0 0.0 \n",
       "2 0.0 0.0 0.0 0.0  0.0 0.0 0.0 0.0 \n"},
      {"line gains fields",
       {heading0, heading1, "eth0: 0 0\n"},
       {heading0, heading1, iface_line("eth0", 1000, 10, 1000, 10)},
       {heading0, heading1, iface_line("eth0", 2000, 20, 2000, 20)},
       "1 8.0 10.0 0.0 0.0 \n",
       "2 8.0 10.0 8.0 10.0 \n"},
  };
  for (const auto& c : cases) {
    static Sampler s;
    s = Sampler{};
    PassState pass;
    pass.line_mode = true;
    run_pass(s, pass, c.pass1);
    pass.first_pass = false;
    pass.elapsed_ms = 1000;
    pass.start_ms = 1000;
    EXPECT_EQ(run_pass(s, pass, c.pass2), "         " + c.want2) << c.what;
    pass.start_ms = 2000;
    EXPECT_EQ(run_pass(s, pass, c.pass3), "         " + c.want3) << c.what;
  }
}

TEST(Rows, KeepAtMostTwentyCounters) {
  static Sampler s;
  s = Sampler{};
  PassState pass;
  std::string line = "x:";
  for (int k = 0; k < 25; ++k) line += " " + std::to_string(100 + k);
  run_pass(s, pass, {line + "\n"});
  EXPECT_EQ(s.rows[0].fields, max_fields);
  EXPECT_EQ(s.rows[0].counter[max_fields - 1], 119U);
}

TEST(Rows, ZeroElapsedPrintsZeroRatesForEveryField) {
  static Sampler s;
  s = Sampler{};
  PassState pass;
  pass.line_mode = true;
  run_pass(s, pass, {iface_line("a", 0, 0, 0, 0), iface_line("b", 0, 0, 0, 0)});
  pass.first_pass = false;
  pass.elapsed_ms = 0;
  EXPECT_EQ(run_pass(s, pass, {iface_line("a", 9, 9, 9, 9), iface_line("b", 9, 9, 9, 9)}),
            "         0 0.0 0.0 0.0 0.0  0.0 0.0 0.0 0.0 \n");
  // The counters were stored all the same.
  pass.elapsed_ms = 1000;
  EXPECT_EQ(run_pass(s, pass, {iface_line("a", 134, 9, 9, 10), iface_line("b", 9, 9, 9, 9)}),
            "         0 1.0 0.0 0.0 1.0  0.0 0.0 0.0 0.0 \n");
}

TEST(Rows, LineTextIsParsedLeniently) {
  struct Case {
    const char* what;
    const char* first;
    const char* second;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"no colon: ignored", "no colon here\n", "still none\n", "\n"},
      {"blanks around the name", " \t eth0 : 0 0\n", " \t eth0 : 1000 1\n", " 8.0 1.0 \n"},
      {"tokens without digits count as zero", "x: 50 abc\n", "x: 100 xyz\n", " 0.4 0.0 \n"},
      {"trailing characters ignored", "x: 10kb 1\n", "x: 20kb 2\n", " 0.0 1.0 \n"},
      {"CR and tabs delimit", "x:\t0\r0\r\n", "x:\t1000\r3\r\n", " 8.0 3.0 \n"},
      {"fields past twenty ignored",
       "x: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n",
       "x: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 99 99\n", " 0.0 0.0 0.0 0.0 \n"},
      {"empty name", ": 0\n", ": 125\n", " 1.0 \n"},
      {"cut at the first colon", "a:b: 0 0\n", "a:b: 1000 2:7\n", " 0.0 1000.0 \n"},
      {"colon inside the counters", "a: 0 0:9\n", "a: 1000 2:7\n", " 8.0 2.0 \n"},
  };
  for (const auto& c : cases) {
    static Sampler s;
    s = Sampler{};
    PassState pass;
    pass.line_mode = true;
    run_pass(s, pass, {c.first});
    pass.first_pass = false;
    pass.elapsed_ms = 1000;
    pass.start_ms = 0;
    EXPECT_EQ(run_pass(s, pass, {c.second}), "         0" + c.want) << c.what;
  }
}

}  // namespace
}  // namespace flowtally
