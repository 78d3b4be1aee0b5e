// Logic of the monitor: command line, schedule, reading the text, the
// arithmetic against the plain formulas, the layouts byte for byte, and
// passes over text that changes from pass to pass.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "flowtally_report.h"
#include "fuzz/rates_match.h"
#include "fuzz_input.h"
#include "monitor.h"
#include "support.h"

namespace flowtally {

namespace {

TEST(CommandLine, ScansArgumentsAsDocumented) {
  const Parse ok = Parse::ok, usage = Parse::usage;
  struct Case {
    ts::Strings args;
    Parse result;
    int32_t interval = 3;         // when ok
    const char* filter = nullptr;  // nullptr: absent
    bool line_mode = false;
  };
  const std::vector<Case> cases = {
      {{}, ok}, {{"-l"}, ok, 3, nullptr, true}, {{"-lx"}, ok, 3, nullptr, true}, {{"7"}, ok, 7},
      {{"7abc"}, ok, 7}, {{"  +9"}, ok, 9}, {{"60"}, ok, 60}, {{"1"}, ok, 1}, {{"0"}, usage},
      {{"61"}, usage}, {{"abc"}, usage}, {{"-5"}, usage}, {{"-"}, usage}, {{"-x"}, usage},
      {{"--"}, ok}, {{"--", "5"}, ok, 5}, {{"--", "-5"}, usage}, {{"--", "5", "-x"}, ok, 5},
      {{"--foo", "5"}, ok, 5}, {{"5", "-x", "junk"}, ok, 5}, {{"4294967297"}, usage},
      {{"-i"}, usage}, {{"-i", "eth0", "-i", "wlan0", "10"}, ok, 10, ",eth0,wlan0,"},
      {{"-ixyz", "eth0"}, ok, 3, ",eth0,"}, {{"-i", "-l"}, ok, 3, ",-l,"},
      {{"-i", ""}, ok, 3, ",,"}, {{"-i", "eth0", "-i", "eth0"}, ok, 3, ",eth0,eth0,"},
      {{"-l", "-i", "eth0", "-i"}, usage, 3, ",eth0,", true},
      {{"-l", "-i", "eth0", "--"}, ok, 3, ",eth0,", true},
  };
  for (const auto& c : cases) {
    fz::Argv argv(ts::cat({{"flowtally"}, c.args}));
    const std::string label = testing::PrintToString(c.args);
    Options opts;
    EXPECT_EQ(parse_args(argv.argc(), argv.argv(), opts), c.result) << label;
    EXPECT_EQ(opts.line_mode, c.line_mode) << label;
    if (c.result == Parse::ok) EXPECT_EQ(opts.interval_s, c.interval) << label;
    EXPECT_STREQ(opts.filter.list, c.filter) << label;
    EXPECT_EQ(opts.filter.len, c.filter == nullptr ? 0 : strlen(c.filter)) << label;
    free(opts.filter.list);
  }
}

TEST(Schedule, SleepKeepsPassesOnTheGrid) {
  struct Case {
    uint64_t start, end, interval, want;
  };
  const std::vector<Case> cases = {
      {10000, 10000, 3000, 3000}, {10000, 10250, 3000, 2750}, {10000, 12999, 3000, 1},
      {10000, 13000, 3000, 3000},  // exactly one interval: a full sleep
      {10000, 16000, 3000, 3000},  // exactly two intervals
      {10000, 14000, 3000, 2000},  // overran one grid point: skip it
      {10000, 17500, 3000, 1500}, {0, 60000, 60000, 60000},
  };
  for (const auto& c : cases)
    EXPECT_EQ(sleep_after_pass(c.start, c.end, c.interval), c.want)
        << c.start << " " << c.end << " " << c.interval;
}

// The text arrives in the chunks given, one per read, as the kernel hands
// out its text a page at a time.
TEST(Reading, CutsPiecesAsALineReaderWould) {
  struct Case {
    const char* what;
    ts::Strings chunks, pieces;
    size_t unread_chunks;  // left to a later pass
  };
  const std::string x1022(1022, 'x'), x1023(1023, 'x'), nul_inside("a\0b:1\n", 6);
  const std::string odd = std::string(20, '\xa0') + "\t\v\x01" + std::string(20, '\xff');
  std::string lines99;
  ts::Strings first99;
  for (int i = 0; i < 99; ++i) lines99 += first99.emplace_back("l" + std::to_string(i) + "\n");
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
      {"a string end inside is kept", {nul_inside}, {nul_inside}, 0},
      {"bytes below 0x20 and past 0x9F", {odd + "\n" + odd}, {odd + "\n", odd}, 0},
      {"99 pieces at most, read no further", {lines99, "l99\n"}, first99, 1},
  };
  static Text text;
  for (const auto& c : cases) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    for (const auto& chunk : c.chunks)
      ASSERT_EQ(send(sv[1], chunk.data(), chunk.size(), 0), static_cast<ssize_t>(chunk.size()));
    shutdown(sv[1], SHUT_WR);
    read_text(sv[0], text);
    ts::Strings got;
    for (size_t k = 0; k < static_cast<size_t>(text.lines); ++k)
      got.emplace_back(&text.bytes[text.start[k]], text.start[k + 1] - text.start[k]);
    EXPECT_EQ(got, c.pieces) << c.what;
    size_t unread = 0;
    char buf[4096];
    while (recv(sv[0], buf, sizeof buf, MSG_DONTWAIT) > 0) ++unread;
    EXPECT_EQ(unread, c.unread_chunks) << c.what;
    for (int fd : sv) close(fd);
  }
}

// The hand-written arithmetic against the plain formulas and the C library,
// over the values where it changes course: the products that fit 32 or 64
// bits, the numbers past 32 bits, a number's count of digits.
TEST(Arithmetic, BoundarySweepMatchesThePlainFormulas) {
  std::vector<uint64_t> edges = {UINT32_MAX / 80, UINT32_MAX / 10000, UINT64_MAX / 80,
                                 UINT64_MAX / 10000, 987, 15};
  for (int b = 0; b < 64; ++b) edges.push_back(1ULL << b);
  for (uint64_t p = 10; p <= UINT64_MAX / 10; p *= 10) edges.push_back(p);
  for (size_t i = 0, n = edges.size(); i < n; ++i)
    for (uint64_t v : {edges[i] - 1, edges[i] + 1}) edges.push_back(v);
  edges.push_back(UINT64_MAX);

  int wrong = 0;
  auto check_rates = [&](uint64_t d, uint64_t e) {
    if (!rates_match_formulas(d, e) && ++wrong < 10)
      ADD_FAILURE() << "rates of " << d << " over " << e;
  };
  // Every elapsed time up to 70 s over the counter values either side of
  // the fast path's limits; every edge over the elapsed times' edges.
  const uint64_t limits[] = {0, 1, 987, UINT32_MAX / 80, UINT32_MAX / 80 + 1, UINT32_MAX / 10000,
                             UINT32_MAX / 10000 + 1, UINT32_MAX, UINT64_MAX / 80 + 1, UINT64_MAX};
  for (uint64_t e = 0; e <= 70000; ++e)
    for (uint64_t d : limits) check_rates(d, e);
  for (uint64_t e : edges)
    for (uint64_t d : edges) check_rates(d, e);

  for (uint64_t v : edges) {
    for (int width : {0, 1, 7, 10, 21}) {
      char want[32], got[32];
      int n = snprintf(want, sizeof want, "%*llu", width, static_cast<unsigned long long>(v));
      EXPECT_EQ(std::string(got, put_number(got, v, width)), std::string(want, n)) << width;
    }
    // A token as the kernel or a stranger writes it, past 64 bits too.
    for (const char* head : {"", "+", "-", "\v\f", "00"}) {
      for (const char* tail : {"", "0", "kb", "\t"}) {
        const std::string token = head + std::to_string(v) + tail;
        char text[64] = {};  // and the word_room that follows a token
        token.copy(text, token.size());
        uint64_t value = 0;
        const char* end = read_token(text, value);
        EXPECT_EQ(value, strtoull(text, nullptr, 10)) << "[" << token << "]";
        EXPECT_TRUE(end >= text && end <= text + token.size()) << token;
      }
    }
  }
  // The interval as atoi reads it on a board: 32 bits, saturated.
  const std::pair<const char*, int32_t> intervals[] = {
      {"", 0}, {"0", 0}, {"7", 7}, {"-7", -7}, {" \t\n\v\f\r+9 days", 9}, {"- 5", 0}, {"+-5", 0},
      {"x5", 0}, {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX},
      {"4294967297", INT32_MAX}, {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN},
      {"-99999999999999999999999", INT32_MIN}, {"000000000000000000000000060", 60},
  };
  for (const auto& [text, want] : intervals) EXPECT_EQ(to_int32(text), want) << "[" << text << "]";
}

struct Shown {
  std::string name;
  int counters;
  std::array<Rate, 4> rate;
};

// Rows as the sampler hands them over.
const Rows& rows_of(const std::vector<Shown>& shown) {
  static Rows rows;
  rows.n = 0;
  char* names = rows.names.data();
  for (const auto& s : shown) {
    Row& row = rows.row[static_cast<size_t>(rows.n++)];
    row.name = names;
    row.name_len = s.name.size();
    names = std::copy(s.name.begin(), s.name.end(), names);
    row.counters = s.counters;
    row.rate = s.rate;
  }
  return rows;
}

TEST(Layout, PassesByteForByte) {
  struct Case {
    const char* what;
    bool line_mode, first_pass, names_changed;
    uint64_t ms;  // elapsed in screen mode, the wall clock in line mode
    std::vector<Shown> rows;
    std::string want;
  };
  const std::vector<Shown> lo_eth0 = {{"lo", 4, {{{7, 8}, {15, 0}, {1, 0}, {0, 5}}}},
                                      {"eth0", 4, {{{493827, 1}, {3, 5}, {0, 0}, {0, 0}}}}};
  const std::vector<Case> cases = {
      {"screen, first pass", false, true, true, 0, lo_eth0,
       "\33[H\33[JCalculating rates for 2 seconds...\n" + table_top + "| lo      \n| eth0    \n" +
           border},
      {"screen", false, false, false, 2000, lo_eth0,
       "\33[H\33[JAverages for the last 2000 msec\n" + table_top +
           "| lo      |      7.8 kbps|     15.0 pk/s||      1.0 kbps|      0.5 pk/s|\n"
           "| eth0    | 493827.1 kbps|      3.5 pk/s||      0.0 kbps|      0.0 pk/s|\n" + border},
      {"screen rows widen rather than cut", false, false, false, 1000,
       {{"averylongname0", 4, {{{16000000, 0}}}}, {"x", 2, {{{8, 0}, {1, 0}}}}},
       "\33[H\33[JAverages for the last 1000 msec\n" + table_top +
           "| averylongname0|16000000.0 kbps|      0.0 pk/s||      0.0 kbps|      0.0 pk/s|\n"
           "| x       |      8.0 kbps|      1.0 pk/s|\n" + border},
      {"screen, no interface wanted", false, false, false, 3000, {},
       "\33[H\33[JAverages for the last 3000 msec\n" + table_top + border},
      {"line, first pass", true, true, true, 1700000000123, lo_eth0,
       "#   time   lo(ikb ipk okb opk) eth0(ikb ipk okb opk) \n"},
      {"line", true, false, false, 1700000003999, lo_eth0,
       "1700000003 7.8 15.0 1.0 0.5  493827.1 3.5 0.0 0.0 \n"},
      {"line, names changed", true, false, true, 1000, {{"x", 2, {{{8, 0}, {1, 0}}}}},
       "#   time   x(ikb ipk okb opk) \n         1 8.0 1.0 \n"},
      {"line, no interface wanted", true, false, false, 5000, {}, "         5\n"},
      {"line, first pass, no interface wanted", true, true, true, 5000, {}, "#   time   \n"},
  };
  static Output out;
  for (const auto& c : cases) {
    const Rows& rows = rows_of(c.rows);
    char* end = c.line_mode ? lay_out_lines(out.data(), c.names_changed, !c.first_pass, c.ms, rows)
                            : lay_out_screen(out.data(), c.first_pass, 2, c.ms, rows);
    end = lay_out_footer(end, c.line_mode);
    EXPECT_EQ(std::string(out.data(), end), c.want) << c.what;
  }
}

// The longest names and the widest rates: the largest pass there can be
// fills the output buffer in screen mode, and line mode's fits it.
TEST(Layout, LargestPassFitsTheOutputBuffer) {
  std::vector<Shown> widest;
  const Rate r = {UINT64_MAX, 9};
  for (size_t k = 0; k < max_lines; ++k)
    widest.push_back({std::string(name_max, static_cast<char>('a' + k % 26)), 4, {r, r, r, r}});
  const Rows& rows = rows_of(widest);
  // Laid out with room to spare: an output buffer too small fails here
  // rather than overrunning.
  static std::array<char, sizeof(Output) + 4096> out;
  const std::string w = "18446744073709551615.9";
  const std::string last_row = "| " + std::string(name_max, static_cast<char>('a' + 98 % 26)) +
                               "|" + w + " kbps|" + w + " pk/s||" + w + " kbps|" + w + " pk/s|\n";
  char* end = lay_out_footer(lay_out_screen(out.data(), false, 60, UINT64_MAX, rows), false);
  ASSERT_EQ(static_cast<size_t>(end - out.data()), sizeof(Output));
  EXPECT_EQ(std::string(out.data(), 54),
            "\33[H\33[JAverages for the last 18446744073709551615 msec\n");
  EXPECT_EQ(std::string(end - border.size() - last_row.size(), end), last_row + border);
  std::string numbers = "4294967295";
  for (size_t k = 0; k < max_lines; ++k) numbers += " " + w + " " + w + " " + w + " " + w + " ";
  numbers += "\n";
  end = lay_out_footer(lay_out_lines(out.data(), true, true, 4294967295999, rows), true);
  const size_t header = 11 + max_lines * (name_max + 18) + 1;
  ASSERT_EQ(static_cast<size_t>(end - out.data()), header + numbers.size());
  EXPECT_LE(static_cast<size_t>(end - out.data()), sizeof(Output));
  EXPECT_EQ(std::string(end - numbers.size(), end), numbers);
}

// Passes over a file holding each of the given texts in turn, a second
// apart, the wall clock at k seconds on the k-th; with listed, -i names.
// Returns all they wrote.
std::string passes(const ts::Strings& listed, const ts::Strings& texts, uint64_t elapsed_ms) {
  auto r = std::make_unique<Run>();
  r->opts.line_mode = true;
  for (const auto& name : listed) EXPECT_TRUE(filter_append(r->opts.filter, name.c_str()));
  static Text text;
  static Output out;
  const int fd = memfd_create("dev", 0);
  std::string written;
  for (size_t k = 0; k < texts.size(); ++k) {
    const std::string& t = texts[k];
    const auto size = static_cast<ssize_t>(t.size());
    EXPECT_TRUE(pwrite(fd, t.data(), t.size(), 0) == size && ftruncate(fd, size) == 0);
    const Laid laid = pass(*r, fd, text, elapsed_ms, k * 1000, out.data());
    EXPECT_TRUE(laid.rewound);
    written.append(out.data(), laid.end);
  }
  close(fd);
  free(r->opts.filter.list);
  return written;
}

// What line mode shows over a few passes: which lines are interfaces, how
// their counters read, and when a row cannot be differenced it prints 0.0
// for a pass and is stored, so the next pass is right again; whenever the
// names shown change, a header line names them again.
TEST(Passes, LineModeShowsTheTextsRates) {
  struct Case {
    const char* what;
    ts::Strings listed, texts;
    std::string want;  // all the passes wrote
    uint64_t elapsed_ms = 1000;
  };
  const uint64_t two32 = 1ULL << 32;
  const std::string eth0 = header_line({"eth0"}), eth1 = header_line({"eth1"});
  const std::string both = header_line({"eth0", "eth1"}), x = header_line({"x"});
  // Their second passes' lines, to the first rate.
  const std::string x1 = x + "         1 ", eth0_1 = eth0 + "         1 ";
  // eth0 alone as the kernel lays it out, a pass for each state of its counters.
  auto eth0_at = [](std::vector<std::array<uint64_t, 4>> states) {
    ts::Strings t;
    for (const auto& c : states) t.push_back(ts::stats_text({{"eth0", c[0], c[1], c[2], c[3]}}));
    return t;
  };
  // 0.0 for a pass, then right again.
  const std::string reset = eth0 + "         1 0.0 0.0 0.0 0.0 \n         2 8.0 10.0 8.0 10.0 \n";
  const std::vector<Case> cases = {
      {"-i wants whole names", {"eth0", "lo"},
       {ts::stats_text({{"lo"}, {"eth1"}, {"veth0"}, {"eth"}, {"eth0"}})},
       header_line({"lo", "eth0"})},
      {"-i '' wants the empty name alone", {""}, {"eth0: 0\n: 0\n"}, header_line({""})},
      {"-i of 29 characters or more matches by the first 29",
       {"abcdefghijklmnopqrstuvwxyz0123"},
       {"abcdefghijklmnopqrstuvwxyz01: 0\nabcdefghijklmnopqrstuvwxyz012: 0\n"
        "abcdefghijklmnopqrstuvwxyz0124: 0\n"},
       header_line({"abcdefghijklmnopqrstuvwxyz012", "abcdefghijklmnopqrstuvwxyz0124"})},
      {"no colon: ignored", {}, {"no colon here\n", "still none\n"}, "#   time   \n         1\n"},
      {"blanks around the name", {}, {" \t eth0 : 0 0\n", " \t eth0 : 1000 1\n"},
       header_line({"eth0 "}) + "         1 8.0 1.0 \n"},
      {"tokens without digits count as zero", {}, {"x: 50 abc\n", "x: 100 xyz"}, x1 + "0.4 0.0 \n"},
      {"trailing characters ignored", {}, {"x: 10kb 1\n", "x: 20kb 2\n"}, x1 + "0.0 1.0 \n"},
      {"CR and tabs delimit", {}, {"x:\t0\r0\r\n", "x:\t1000\r3\r\n"}, x1 + "8.0 3.0 \n"},
      {"other blanks lead a number", {}, {"x: \v\f0 0\n", "x: \f\v125 +5\n"}, x1 + "1.0 5.0 \n"},
      {"a minus counts back from 2^64", {}, {"x: -126 0\n", "x: -1 0\n"}, x1 + "1.0 0.0 \n"},
      {"too large saturates", {}, {"x: 18446744073709551614 0\n", "x: 99999999999999999999999 1\n"},
       x1 + "0.0 1.0 \n"},
      {"fields 0, 1, 8 and 9 of twenty", {},
       {"x: 0 0 1 1 1 1 1 1 0 0 1 1 1 1 1 1 1 1 1 1 1 1\n",
        "x: 125 1 0 0 0 0 0 0 250 2 0 0 0 0 0 0 0 0 0 0 99 99\n"},
       x1 + "1.0 1.0 2.0 2.0 \n"},
      {"a line of nine fields", {}, {"x: 0 0 0 0 0 0 0 0 0\n", "x: 125 1 0 0 0 0 0 0 125\n"},
       x1 + "1.0 1.0 1.0 \n"},
      {"empty name", {}, {": 0\n", ": 125\n"}, header_line({""}) + "         1 1.0 \n"},
      {"cut at the first colon", {}, {"a:b: 0 0\n", "a:b: 1000 2:7\n"},
       header_line({"a"}) + "         1 0.0 1000.0 \n"},
      {"no time passed: 0.0", {}, {"x: 0 0\n", "x: 9 9\n"}, x1 + "0.0 0.0 \n", 0},
      {"a line cut at 1023 bytes ends there", {},
       {"y:" + std::string(1019, ' ') + "1234\n", "y:" + std::string(1019, ' ') + "3734\n"},
       header_line({"y"}) + "         1 0.2 \n"},
      {"interface appears below the others", {},
       {"eth0: 0 0\n", "eth0: 1000 10\neth1: 500 5\n", "eth0: 2000 20\neth1: 1500 15\n"},
       eth0 + both + "         1 8.0 10.0  0.0 0.0 \n         2 8.0 10.0  8.0 10.0 \n"},
      {"interface at a position changes", {},
       {"eth0: 0 0\neth1: 100 1\n", "eth1: 1100 11\n", "eth1: 2100 21\n"},
       both + eth1 + "         1 0.0 0.0 \n         2 8.0 10.0 \n"},
      {"interface away from its position for a pass", {},
       {"eth0: 0 0\neth1: 0 0\n", "eth1: 1000 10\n", "eth0: 2000 20\neth1: 2000 20\n"},
       both + eth1 + "         1 0.0 0.0 \n" + both + "         2 0.0 0.0  0.0 0.0 \n"},
      {"interface renamed in place", {}, {"eth0: 0 0\n", "eth1: 1000 10\n", "eth1: 2000 20\n"},
       eth0 + eth1 + "         1 0.0 0.0 \n         2 8.0 10.0 \n"},
      {"a row where the previous pass had it, in another order", {},
       {"a: 0\nb: 0\n", "x\nb: 125\nb: 0\n"},
       header_line({"a", "b"}) + header_line({"b", "b"}) + "         1 1.0  0.0 \n"},
      {"a line without a colon moves it: same names, no header", {},
       {"eth0: 0 0\n", "junk\neth0: 1000 10\n", "junk\neth0: 2000 20\n"},
       eth0 + "         1 0.0 0.0 \n         2 8.0 10.0 \n"},
      {"line gains fields", {},
       ts::cat({{ts::stats_headings + "eth0: 0 0\n"},
                eth0_at({{1000, 10, 1000, 10}, {2000, 20, 2000, 20}})}),
       eth0 + "         1 8.0 10.0 0.0 0.0 \n         2 8.0 10.0 8.0 10.0 \n"},
      // A lone counter below 2^32 that went down wrapped at 32 bits, when the
      // two differences still make packets of 1 to 65536 bytes.
      {"byte counter wrapped", {}, {"x: 4294967000 10\n", "x: 200 20\n"}, x1 + "3.9 10.0 \n"},
      {"packet counter wrapped", {}, {"x: 1000 4294967295\n", "x: 2000 9\n"},
       x1 + "8.0 10.0 \n"},
      {"transmit byte counter wrapped, 65536 bytes a packet", {},
       eth0_at({{0, 0, two32 - 65536, 7}, {0, 0, 65536, 9}}), eth0_1 + "0.0 0.0 1048.5 2.0 \n"},
      // Otherwise the interface was deleted and made again between two
      // passes and starts its counters afresh: the whole row shows 0.0 for
      // that pass.
      {"re-created: more packets, fewer bytes", {},
       eth0_at({{1000, 10, 0, 0}, {900, 12, 500, 5}, {1900, 22, 1500, 15}}), reset},
      {"re-created: fewer packets, more bytes", {},
       eth0_at({{9000, 90, 1000, 10}, {9000, 90, 1200, 3}, {9000, 90, 2200, 13}}),
       eth0 + "         1 0.0 0.0 0.0 0.0 \n         2 0.0 0.0 8.0 10.0 \n"},
      {"re-created: a wrap of bytes with no packet", {},
       {"x: 4294967000 10\n", "x: 200 10\n", "x: 1200 20\n"},
       x1 + "0.0 0.0 \n         2 8.0 10.0 \n"},
      {"re-created: a wrap of 65537 bytes a packet", {},
       eth0_at({{0, 0, two32 - 1, 7}, {0, 0, 65536, 8}}), eth0_1 + "0.0 0.0 0.0 0.0 \n"},
      {"re-created: a line of one field went down", {}, {"x: 4294967000\n", "x: 200\n"},
       x1 + "0.0 \n"},
      {"re-created: both receive counters went down", {},
       eth0_at({{5000, 50, 9000, 90}, {100, 1, 9500, 95}, {1100, 11, 10500, 105}}), reset},
      {"re-created: both transmit counters went down", {},
       eth0_at({{5000, 50, 9000, 90}, {6000, 60, 10, 1}, {7000, 70, 1010, 11}}), reset},
      {"re-created: a counter went down from 2^32", {},
       eth0_at({{two32, 50, 9000, 90}, {1000, 60, 10000, 100}, {2000, 70, 11000, 110}}), reset},
      {"re-created: a packet counter went down from past 2^32", {},
       eth0_at({{9000, two32 + 7, 9000, 90}, {10000, 10, 10000, 100}, {11000, 20, 11000, 110}}),
       reset},
  };
  for (const auto& c : cases) EXPECT_EQ(passes(c.listed, c.texts, c.elapsed_ms), c.want) << c.what;
}

}  // namespace
}  // namespace flowtally
