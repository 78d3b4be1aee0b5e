// Logic of the monitor: command line, reading the text, counter
// differences, rates, the filter, and the report layouts byte for byte.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "monitor.h"
#include "support.h"

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
      {5, 3, two32 - 2},
      {two32, UINT64_MAX, UINT64_MAX - two32},
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
      // Either side of the products that fit 32 bits.
      {true, 53687091, 1000, 429496, 7},
      {true, 53687092, 1000, 429496, 7},
      {false, 429497, 3000, 143165, 6},
      {true, 1ULL << 40, 3ULL << 32, 682, 6},  // elapsed past 32 bits
      // Products past 64 bits are taken modulo 2^64.
      {false, UINT64_MAX, 1, 18446744073709550616ULL, 6},
  };
  for (const auto& c : cases) {
    Rate r = c.bytes ? kbit_rate(c.d, elapsed_of(c.e)) : packet_rate(c.d, elapsed_of(c.e));
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
    EXPECT_EQ(filter_wants(s, c.name, strlen(c.name)), c.wanted) << "[" << c.name << "]";
  }
}

const std::string border =
    "+----------------------------------------------------------------------+\n";
const std::string column_header =
    "| IF      |Input                         |Output                       |\n";

const std::string& headings = ts::stats_headings;

std::string iface_line(const char* name, uint64_t rxb, uint64_t rxp, uint64_t txb,
                       uint64_t txp) {
  return ts::stats_line({name, rxb, rxp, txb, txp});
}

// Runs one whole pass over the given lines as the monitor does, the text
// read from a file.
std::string run_pass(Sampler& s, const PassState& pass, const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l;
  int fd = memfd_create("dev", 0);
  EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  lseek(fd, 0, SEEK_SET);
  std::string out = capture_stdout([&] { EXPECT_TRUE(flowtally::run_pass(s, fd, pass)); });
  close(fd);
  return out;
}

// The text arrives in the chunks given, one per read, as the kernel hands
// out its text a page at a time.
TEST(Reading, CutsPiecesAsALineReaderWould) {
  struct Case {
    const char* what;
    std::vector<std::string> chunks;
    std::vector<std::string> pieces;
    size_t unread_chunks;  // left to a later pass
  };
  const std::string x1022(1022, 'x'), x1023(1023, 'x');
  std::string lines120;
  for (int i = 0; i < 120; ++i) lines120 += "l" + std::to_string(i) + "\n";
  std::vector<std::string> first99;
  for (int i = 0; i < 99; ++i) first99.push_back("l" + std::to_string(i) + "\n");
  const std::vector<Case> cases = {
      {"lines", {"a\nb\n"}, {"a\n", "b\n"}, 0},
      {"last line without a newline", {"a\nb"}, {"a\n", "b"}, 0},
      {"a line across reads", {"ab", "c\nd", "\n"}, {"abc\n", "d\n"}, 0},
      {"no text", {}, {}, 0},
      {"empty lines", {"\n\n"}, {"\n", "\n"}, 0},
      {"longest line in one piece", {x1022 + "\n"}, {x1022 + "\n"}, 0},
      {"its newline alone", {x1023 + "\n"}, {x1023, "\n"}, 0},
      {"long line in pieces", {x1023 + x1023 + "yz\n"}, {x1023, x1023, "yz\n"}, 0},
      {"pieces across reads", {x1022, "xx\n"}, {x1023, "x\n"}, 0},
      {"a string end inside is kept", {std::string("a\0b:1\n", 6)}, {std::string("a\0b:1\n", 6)}, 0},
      {"99 pieces at most, read no further", {lines120.substr(0, lines120.find("l99")), "l99\n"},
       first99, 1},
  };
  static Text text;
  for (const auto& c : cases) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    for (const auto& chunk : c.chunks)
      ASSERT_EQ(send(sv[1], chunk.data(), chunk.size(), 0), static_cast<ssize_t>(chunk.size()));
    shutdown(sv[1], SHUT_WR);
    read_text(sv[0], text);
    std::vector<std::string> got;
    for (int k = 0; k < text.pieces; ++k)
      got.emplace_back(&text.bytes[text.start[static_cast<size_t>(k)]],
                       text.start[static_cast<size_t>(k) + 1] - text.start[static_cast<size_t>(k)]);
    EXPECT_EQ(got, c.pieces) << c.what;
    size_t unread = 0;
    char buf[4096];
    while (recv(sv[0], buf, sizeof buf, MSG_DONTWAIT) > 0) ++unread;
    EXPECT_EQ(unread, c.unread_chunks) << c.what;
    close(sv[0]);
    close(sv[1]);
  }
}

TEST(Layout, ScreenModePassesByteForByte) {
  static Sampler s;
  s = Sampler{};
  PassState pass;
  pass.interval_s = 2;
  std::vector<std::string> lines = {headings, iface_line("lo", 1000, 10, 1000, 10),
                                    iface_line("eth0", 5000, 50, 9000, 90)};
  EXPECT_EQ(run_pass(s, pass, lines),
            "\33[H\33[JCalculating rates for 2 seconds...\n" + border + column_header + border +
                "| lo      \n| eth0    \n" + border);

  pass.first_pass = false;
  pass.elapsed_ms = 2000;
  lines[1] = iface_line("lo", 1000 + 987 * 2, 10 + 30, 1000 + 250, 10 + 1);
  lines[2] = iface_line("eth0", 5000 + 123456789, 50 + 7, 9000, 90);
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
  std::vector<std::string> lines = {headings, iface_line("lo", 1000, 10, 1000, 10),
                                    iface_line("eth1", 1, 1, 1, 1),
                                    iface_line("eth0", 5000, 50, 9000, 90)};
  EXPECT_EQ(run_pass(s, pass, lines), "#   time   lo(ikb ipk okb opk) eth0(ikb ipk okb opk) \n");

  pass.first_pass = false;
  pass.start_ms = 1700000003999;
  pass.elapsed_ms = 1000;
  lines[1] = iface_line("lo", 1987, 25, 1000, 10);
  lines[3] = iface_line("eth0", 5000, 50, 9125, 93);
  EXPECT_EQ(run_pass(s, pass, lines), "1700000003 7.8 15.0 0.0 0.0  0.0 0.0 1.0 3.0 \n");
}

TEST(Layout, NoWantedInterfaceStillFramesThePass) {
  static Sampler s;
  s = Sampler{};
  ASSERT_TRUE(filter_append(s, "none"));
  std::vector<std::string> lines = {headings, iface_line("eth0", 1, 1, 1, 1)};
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

// Line mode over three passes, one second apart: rows that cannot be
// differenced print 0.0 for a pass and are stored, so the next pass is
// right again; whenever the names shown change, a header line names them
// again.
TEST(Rows, ZeroForAPassThenRecover) {
  struct Case {
    const char* what;
    std::vector<std::string> pass1, pass2, pass3;
    std::string want2, want3;
  };
  const uint64_t two32 = 1ULL << 32;
  const std::string eth0 = "#   time   eth0(ikb ipk okb opk) \n";
  const std::string eth1 = "#   time   eth1(ikb ipk okb opk) \n";
  const std::string both = "#   time   eth0(ikb ipk okb opk) eth1(ikb ipk okb opk) \n";
  const std::vector<Case> cases = {
      {"interface appears below the others",
       {headings, iface_line("eth0", 0, 0, 0, 0)},
       {headings, iface_line("eth0", 1000, 10, 0, 0), iface_line("eth1", 500, 5, 0, 0)},
       {headings, iface_line("eth0", 2000, 20, 0, 0), iface_line("eth1", 1500, 15, 0, 0)},
       both + "         1 8.0 10.0 0.0 0.0  0.0 0.0 0.0 0.0 \n",
       "         2 8.0 10.0 0.0 0.0  8.0 10.0 0.0 0.0 \n"},
      {"interface at a position changes",
       {headings, iface_line("eth0", 0, 0, 0, 0), iface_line("eth1", 100, 1, 0, 0)},
       {headings, iface_line("eth1", 1100, 11, 0, 0)},
       {headings, iface_line("eth1", 2100, 21, 0, 0)},
       eth1 + "         1 0.0 0.0 0.0 0.0 \n",
       "         2 8.0 10.0 0.0 0.0 \n"},
      {"interface away from its position for a pass",
       {headings, iface_line("eth0", 0, 0, 0, 0), iface_line("eth1", 0, 0, 0, 0)},
       {headings, iface_line("eth1", 1000, 10, 0, 0)},
       {headings, iface_line("eth0", 2000, 20, 0, 0), iface_line("eth1", 2000, 20, 0, 0)},
       eth1 + "         1 0.0 0.0 0.0 0.0 \n",
       both + "         2 0.0 0.0 0.0 0.0  0.0 0.0 0.0 0.0 \n"},
      {"interface renamed in place",
       {headings, iface_line("eth0", 0, 0, 0, 0)},
       {headings, iface_line("eth1", 1000, 10, 0, 0)},
       {headings, iface_line("eth1", 2000, 20, 0, 0)},
       eth1 + "         1 0.0 0.0 0.0 0.0 \n",
       "         2 8.0 10.0 0.0 0.0 \n"},
      {"a line without a colon moves it: same names, no header",
       {headings, iface_line("eth0", 0, 0, 0, 0)},
       {headings, "junk\n", iface_line("eth0", 1000, 10, 0, 0)},
       {headings, "junk\n", iface_line("eth0", 2000, 20, 0, 0)},
       "         1 0.0 0.0 0.0 0.0 \n",
       "         2 8.0 10.0 0.0 0.0 \n"},
      {"line gains fields",
       {headings, "eth0: 0 0\n"},
       {headings, iface_line("eth0", 1000, 10, 1000, 10)},
       {headings, iface_line("eth0", 2000, 20, 2000, 20)},
       "         1 8.0 10.0 0.0 0.0 \n",
       "         2 8.0 10.0 8.0 10.0 \n"},
      // An interface deleted and made again between two passes starts its
      // counters afresh: the whole row shows 0.0 for that pass.
      {"re-created: both receive counters went down",
       {headings, iface_line("eth0", 5000, 50, 9000, 90)},
       {headings, iface_line("eth0", 100, 1, 9500, 95)},
       {headings, iface_line("eth0", 1100, 11, 10500, 105)},
       "         1 0.0 0.0 0.0 0.0 \n",
       "         2 8.0 10.0 8.0 10.0 \n"},
      {"re-created: both transmit counters went down",
       {headings, iface_line("eth0", 5000, 50, 9000, 90)},
       {headings, iface_line("eth0", 6000, 60, 10, 1)},
       {headings, iface_line("eth0", 7000, 70, 1010, 11)},
       "         1 0.0 0.0 0.0 0.0 \n",
       "         2 8.0 10.0 8.0 10.0 \n"},
      {"re-created: a counter went down from 2^32",
       {headings, iface_line("eth0", two32, 50, 9000, 90)},
       {headings, iface_line("eth0", 1000, 60, 10000, 100)},
       {headings, iface_line("eth0", 2000, 70, 11000, 110)},
       "         1 0.0 0.0 0.0 0.0 \n",
       "         2 8.0 10.0 8.0 10.0 \n"},
      {"re-created: a packet counter went down from past 2^32",
       {headings, iface_line("eth0", 9000, two32 + 7, 9000, 90)},
       {headings, iface_line("eth0", 10000, 10, 10000, 100)},
       {headings, iface_line("eth0", 11000, 20, 11000, 110)},
       "         1 0.0 0.0 0.0 0.0 \n",
       "         2 8.0 10.0 8.0 10.0 \n"},
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
    EXPECT_EQ(run_pass(s, pass, c.pass2), c.want2) << c.what;
    pass.start_ms = 2000;
    EXPECT_EQ(run_pass(s, pass, c.pass3), c.want3) << c.what;
  }
}

TEST(Rows, ConvertFieldsZeroOneEightAndNine) {
  static Sampler s;
  s = Sampler{};
  struct Case {
    int tokens, counters;
  };
  const std::vector<Case> cases = {{25, 4}, {10, 4}, {9, 3}, {8, 2}, {2, 2}, {1, 1}, {0, 0}};
  const std::array<uint64_t, 4> want = {100, 101, 108, 109};
  for (const auto& c : cases) {
    std::string line = "x:";
    for (int k = 0; k < c.tokens; ++k) line += " " + std::to_string(100 + k);
    Row row;
    parse_line(s, line.c_str(), row);
    EXPECT_EQ(row.counters, c.counters) << line;
    for (size_t i = 0; i < static_cast<size_t>(row.counters); ++i)
      EXPECT_EQ(row.counter[i], want[i]) << line;
  }
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

// Two passes a second apart in line mode: the second pass's rates.
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
      {"other blanks lead a number", "x: \v\f0 0\n", "x: \f\v125 +5\n", " 1.0 5.0 \n"},
      {"a sign", "x: +0 -0\n", "x: +125 +5\n", " 1.0 5.0 \n"},
      {"a minus counts back from 2^64", "x: -126 0\n", "x: -1 0\n", " 1.0 0.0 \n"},
      {"too large saturates", "x: 18446744073709551614 0\n", "x: 99999999999999999999999 1\n",
       " 0.0 1.0 \n"},
      {"fields past twenty ignored",
       "x: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n",
       "x: 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 99 99\n", " 0.0 0.0 0.0 0.0 \n"},
      {"empty name", ": 0\n", ": 125\n", " 1.0 \n"},
      {"cut at the first colon", "a:b: 0 0\n", "a:b: 1000 2:7\n", " 0.0 1000.0 \n"},
      {"colon inside the counters", "a: 0 0:9\n", "a: 1000 2:7\n", " 8.0 2.0 \n"},
      // A lone counter below 2^32 that went down wrapped at 32 bits.
      {"byte counter wrapped", "x: 4294967000 10\n", "x: 200 20\n", " 3.9 10.0 \n"},
      {"packet counter wrapped", "x: 1000 4294967295\n", "x: 2000 9\n", " 8.0 10.0 \n"},
      {"byte counter at 2^32 went down", "x: 4294967296 5\n", "x: 4294967290 6\n", " 0.0 0.0 \n"},
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
