// The real flowtally binary: over fixture statistics text in a private mount
// namespace (clocks and sleeps scripted by the test shim), and over real
// traffic on a veth pair in a private network namespace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "flowtally_report.h"
#include "support.h"

namespace flowtally {
namespace {

using ts::Strings;
const std::string bin = FLOWTALLY_BIN;

// lo moves 987 * 2 bytes and 30 packets each way between the two texts;
// eth0's 32-bit receive byte counter wraps after 496 bytes.
const std::string pass1_text =
    ts::stats_text({{"lo", 10000, 100, 10000, 100}, {"eth0", 4294967000, 5000, 800000, 4000}});
const std::string pass2_text =
    ts::stats_text({{"lo", 11974, 130, 11974, 130}, {"eth0", 200, 5001, 800000, 4000}});

// Passes start 2 s apart on the monotonic clock, each lasting 40 ms; line
// mode reads the wall clock once a pass.  Readings late in their
// millisecond or second still count in the one they are in.
const std::string steady = "SHIM_MONO_MS=1000000,1000040.999999,1002000,1002040";
const std::string wall = "SHIM_CLOCK_MS=1700000000000,1700000002999";

// Statistics texts for successive passes: texts[k] is what the k-th sleep
// puts in place.
struct Fixture {
  ts::TempDir dir;
  explicit Fixture(const Strings& texts) {
    for (size_t k = 0; k < texts.size(); ++k)
      ts::write_file(dir.path + (k == 0 ? "/dev" : "/dev." + std::to_string(k)), texts[k]);
  }
  // Runs flowtally on scripted clocks until its passes-th sleep.
  ts::Result run(const Strings& args, const Strings& env, const ts::RunOpts& opts = {},
                 int passes = 2) {
    const Strings shim = {ts::shim_env(), "SHIM_STOP_AFTER_SLEEPS=" + std::to_string(passes),
                          "SHIM_SWAP_DIR=" + dir.path, "SHIM_LOG=" + dir.path + "/shim.log"};
    return ts::run(ts::with_net_fixture(dir.path, ts::cat({env, shim}), ts::cat({{bin}, args})),
                   opts);
  }
  // What the run logged from its first sleep on: an allocation or an open
  // past start-up shows.
  std::string sleeps() {
    std::string log = ts::read_file(dir.path + "/shim.log");
    return log.erase(0, std::min(log.find("usleep"), log.size()));
  }
};

// The rates follow the monotonic clock whatever the wall clock does, which
// only the time column shows; each pass sleeps to the next grid point from
// its start on the monotonic clock.
TEST(FixtureRun, PassesByteForByte) {
  REQUIRE_ENV(ts::can_unshare(), "root and unshare");
  struct Case {
    const char* what;
    Strings args, env;
    std::string want;
    ts::RunOpts opts = {};
    Strings texts = {pass1_text, pass2_text};
    std::string sleeps = "usleep 1960000\nusleep 1960000\nexit\n";
  };
  const std::string header = header_line({"lo", "eth0"});
  const std::string rates = " 7.8 15.0 7.8 15.0  1.9 0.5 0.0 0.0 \n";
  auto screen_of = [&](const std::string& labels, const std::string& rows) {
    return "\33[H\33[JCalculating rates for 2 seconds...\n" + table_top + labels + border +
           "\33[H\33[JAverages for the last 2000 msec\n" + table_top + rows + border;
  };
  const std::string screen = screen_of(
      "| lo      \n| eth0    \n",
      "| lo      |      7.8 kbps|     15.0 pk/s||      7.8 kbps|     15.0 pk/s|\n"
      "| eth0    |      1.9 kbps|      0.5 pk/s||      0.0 kbps|      0.0 pk/s|\n");
  // A 1500-byte line without a colon arrives as two pieces: of 120
  // interfaces, if0 to if94 make up the rest of a pass's 99 lines.
  std::string lines120 = ts::stats_headings + std::string(1500, '#') + "\n", labels, rows, zeros;
  Strings first95;
  for (int i = 0; i < 120; ++i) lines120 += "if" + std::to_string(i) + ": 1 2 3 4 5 6 7 8 9 10\n";
  for (int i = 0; i < 95; ++i) {
    const std::string name = first95.emplace_back("if" + std::to_string(i));
    const std::string label = "| " + name + std::string(8 - name.size(), ' ');
    labels += label + "\n";
    rows += label + "|      0.0 kbps|      0.0 pk/s||      0.0 kbps|      0.0 pk/s|\n";
    zeros += " 0.0 0.0 0.0 0.0 ";
  }
  // A pass that stops at its line limit leaves the rest of the file unread;
  // every pass must read the counters afresh all the same.
  auto long_text = [](uint64_t eth0_bytes) {
    std::string t = ts::stats_headings + ts::stats_line({"eth0", eth0_bytes});
    for (int i = 0; i < 100; ++i) t += "  if" + std::to_string(i) + ": 0 0 0 0 0 0 0 0 0 0\n";
    return t;
  };
  const Strings line = {"-l", "2"}, named = {"-i", "eth0", "-i", "lo", "2"};
  const std::vector<Case> cases = {
      {"line mode", line, {steady, wall}, header + "1700000002" + rates},
      // The first pass's output was held up for ten seconds (a stopped
      // terminal): the rates still cover the whole time between the two
      // readings of the counters, the next grid point's 12 seconds.
      {"line mode, writing stalled", line,
       {"SHIM_MONO_MS=1000000,1010040,1012000,1012040",
        "SHIM_CLOCK_MS=1700000000000,1700000012000"},
       header + "1700000012 1.3 2.5 1.3 2.5  0.3 0.0 0.0 0.0 \n"},
      {"line mode, date set back an hour", line,
       {steady, "SHIM_CLOCK_MS=1700000000000,1699996402000"}, header + "1699996402" + rates},
      {"line mode, date set on an hour", line,
       {steady, "SHIM_CLOCK_MS=1700000000000,1700003602000"}, header + "1700003602" + rates},
      {"line mode, date set past 2038", line, {steady, "SHIM_CLOCK_MS=3000000000000,3000000002000"},
       header + "3000000002" + rates},
      {"line mode, date set past 2106: the time column keeps 32 bits of the seconds", line,
       {steady, "SHIM_CLOCK_MS=5000000000000,5000000002000"}, header + " 705032706" + rates},
      {"line mode, standard input closed", line, {steady, wall}, header + "1700000002" + rates,
       {.no_stdin = true}},
      {"line mode, a file longer than a pass reads", {"-l", "-i", "eth0", "1"},
       {"SHIM_MONO_MS=0,0,1000,1000,2000,2000", "SHIM_CLOCK_MS=0,1000,2000"},
       header_line({"eth0"}) + "         1 8.0 0.0 0.0 0.0 \n         2 16.0 0.0 0.0 0.0 \n", {},
       {long_text(0), long_text(1000), long_text(3000)},
       "usleep 1000000\nusleep 1000000\nusleep 1000000\nexit\n"},
      {"line mode, 99 lines counting pieces", line, {steady, wall},
       header_line(first95) + "1700000002" + zeros + "\n", {}, {lines120, lines120}},
      {"screen mode on a pipe", named, {steady}, screen},
      {"screen mode, 99 lines counting pieces", {"2"}, {steady}, screen_of(labels, rows), {},
       {lines120, lines120}},
      {"screen mode on a terminal", named, {steady}, screen, {.out = ts::Out::pty}},
      {"screen mode, date set back an hour", named,
       {steady, "SHIM_CLOCK_MS=1700000000000,1699996400000"}, screen},
  };
  for (const auto& c : cases) {
    Fixture fx(c.texts);
    ts::Result r = fx.run(c.args, c.env, c.opts, static_cast<int>(c.texts.size()));
    EXPECT_EQ(r.status, 99) << c.what << ": " << r.err;
    EXPECT_EQ(r.err, "") << c.what;
    EXPECT_EQ(r.out, c.want) << c.what;
    EXPECT_EQ(fx.sleeps(), c.sleeps) << c.what;
  }
}

// Runs that end with status 1, saying why on standard error: before a
// pass, or at the close of a pass that cannot carry on.
TEST(FixtureRun, FailuresExitOne) {
  REQUIRE_ENV(ts::can_unshare(), "root and unshare");
  const std::string usage =
      "Usage: flowtally [-l] [ -i ifname ]* [interval_in_seconds] (1..60, default 3)\n";
  const std::string gone = "flowtally: cannot write to standard output\n";
  struct Case {
    Strings args;
    std::string err;
    Strings env;
    Strings texts = {pass1_text, pass2_text};  // none: no statistics file to open
    std::string out;
    bool fifo = false;  // the file a FIFO: read like it once, it cannot be rewound
    ts::RunOpts opts = {};
    bool later = false;  // the pass that cannot carry on is not the first
  };
  // Nobody left to read the report (a launcher may leave SIGPIPE ignored):
  // line mode writes every pass, screen mode once a pipe's buffer is full,
  // several passes on.
  const Strings no_reader = {steady, "SHIM_IGNORE_SIGNAL=13"};
  const ts::RunOpts closed = {.out = ts::Out::closed}, reader_gone = {.out = ts::Out::reader_gone};
  const std::vector<Case> cases = {
      {{"0"}, usage}, {{"61"}, usage}, {{"abc"}, usage}, {{"-5"}, usage}, {{"-"}, usage},
      {{"-x"}, usage}, {{"-i"}, usage}, {{"-l", "-i", "eth0", "-i"}, usage},
      {{"--", "-5"}, usage}, {{"--", "0"}, usage}, {{"4294967297"}, usage}, {{"-l", "99"}, usage},
      {{"-l"}, "Can not open file:\"/proc/net/dev\"", {}, {}},
      {{"-l", "-i", "eth0"}, "flowtally: out of memory\n", {"SHIM_FAIL_ALLOC_AT=1"}},
      {{"-i", "lo", "-i", "eth0"}, "flowtally: out of memory\n", {"SHIM_FAIL_ALLOC_AT=2"}},
      {{"-l"}, "Can not fseek to the start of the file /proc/net/dev\n", {}, {},
       "#   time   lo(ikb ipk okb opk) eth0(ikb ipk okb opk) ", true},
      {{"-l"}, gone, {steady}, {pass1_text}, "", false, closed},
      {{"-l"}, gone, no_reader, {pass1_text}, "", false, reader_gone},
      {{}, gone, {steady}, {pass1_text}, "", false, closed, true},
      {{}, gone, no_reader, {pass1_text}, "", false, reader_gone, true},
  };
  const int passes = 40;
  for (const auto& c : cases) {
    Fixture fx(c.texts);
    const std::string dev = fx.dir.path + "/dev";
    pid_t writer = 0;  // the FIFO's, a process of its own as the kernel is to /proc
    if (c.fifo) {
      ASSERT_EQ(mkfifo(dev.c_str(), 0600), 0);
      writer = ts::start({"/bin/sh", "-c", "printf '%s' \"$1\" > \"$0\"", dev, pass1_text}, 1);
    }
    ts::Result r = fx.run(c.args, c.env, c.opts, passes);
    const std::string label = testing::PrintToString(c.args) + testing::PrintToString(c.env);
    EXPECT_EQ(r.status, 1) << label;
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(r.err, c.err) << label;
    const int sleeps = ts::count_of(fx.sleeps(), "usleep");
    EXPECT_TRUE(c.later ? sleeps > 0 && sleeps < passes - 1 : sleeps == 0) << label << sleeps;
    if (writer <= 0) continue;
    // A writer still waiting for its reader is let go.
    const int release = open(dev.c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_EQ(ts::wait_for(writer, 10000).status, 0);
    close(release);
  }
}

// Many passes of text whose lines change shape, order and length from pass
// to pass: each pass gives one well-formed line with a rate for each field
// 0, 1, 8 and 9 of the lines read, after a new header line whenever the
// names read change, and a line that keeps its place keeps exact rates.
TEST(FixtureRun, ShiftingTextOverManyPasses) {
  REQUIRE_ENV(ts::can_unshare(), "root and unshare");
  constexpr int passes = 150;
  std::mt19937 rng(20240611);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* tokens[] = {"0", "17", "4294967295", "18446744073709551615",
                          "99999999999999999999999", "-5", "0x1f", "abc", "12e3"};
  Strings texts;
  std::string want, header;  // all the passes write, each rate an R
  for (uint64_t p = 0; p < passes; ++p) {
    // The anchor at position 2 moves 12345 bytes and 77 packets each way in
    // each pass's 500 ms; after it a mix of lines of any name, count of
    // fields and token, lines without a colon, blank lines, past 99 lines.
    const std::string b = std::to_string(5000000 + 12345 * p), k = std::to_string(7000 + 77 * p);
    Strings lines = {"h1\n", "h2\n",
                     "  anchor: " + b + " " + k + " 0 0 0 0 0 0 " + b + " " + k + "\n"};
    for (int i = 20 + pick(95); i > 0; --i) {
      const int kind = pick(10);
      std::string l = kind == 0 ? "no colon " + std::string(static_cast<size_t>(pick(500)), '#')
                                : "";
      if (kind > 1) {
        l = std::string(static_cast<size_t>(pick(4)), ' ') +
            std::string(static_cast<size_t>(1 + pick(35)), static_cast<char>('a' + pick(26))) +
            (pick(4) == 0 ? " x:" : ":");  // a blank inside the name
        for (int f = pick(26); f > 0; --f)
          l += std::string(pick(3) == 0 ? "\t" : " ") + tokens[pick(9)];
      }
      lines.push_back(l + "\n");
    }
    Strings names;
    std::string text, rates;
    for (size_t i = 0; i < lines.size(); ++i) {
      text += lines[i];
      const size_t colon = lines[i].find(':');
      if (i >= 99 || colon == std::string::npos) continue;
      const size_t name = lines[i].find_first_not_of(" \t");
      names.push_back(lines[i].substr(name, colon - name));
      std::istringstream fields(lines[i].substr(colon + 1));
      int n = 0;
      for (std::string t; n < 10 && fields >> t;) n += 1;
      rates += " ";
      for (int f : {0, 1, 8, 9}) rates += f < n ? "R " : "";
    }
    texts.push_back(text);
    if (p == 0 || header_line(names) != header) want += header = header_line(names);
    if (p > 0) want += std::to_string(1700000000 + p / 2) + rates + "\n";
  }
  Fixture fx(texts);
  ts::Result r = fx.run(
      {"-l", "1"}, {"SHIM_MONO_MS=1000000,1000250", "SHIM_CLOCK_MS=1700000000000,1700000000500"},
      {}, passes);
  ASSERT_EQ(r.status, 99) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(std::regex_replace(r.out, std::regex("[0-9]+\\.[0-9]"), "R"), want);
  EXPECT_EQ(ts::count_of(r.out, " 197.5 154.0 197.5 154.0 "), passes - 1) << "the anchor's rates";
}

// --- Real traffic --------------------------------------------------------

void sh(const std::string& cmd) { ASSERT_EQ(system(cmd.c_str()), 0) << cmd; }

// Sends count raw broadcast frames of frame_len bytes out of ifname, from a
// local address with a local experimental EtherType.
void send_frames(const char* ifname, int count, size_t frame_len) {
  int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  ASSERT_GE(fd, 0) << strerror(errno);
  sockaddr_ll addr = {.sll_family = AF_PACKET,
                      .sll_ifindex = static_cast<int>(if_nametoindex(ifname)),
                      .sll_halen = ETH_ALEN};
  std::vector<unsigned char> frame(frame_len, 0x5a);
  const unsigned char head[14] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0, 1, 0x88, 0xb5};
  memcpy(frame.data(), head, sizeof head);
  memcpy(addr.sll_addr, head, ETH_ALEN);
  for (int i = 0; i < count; ++i)
    ASSERT_EQ(sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                     sizeof addr),
              static_cast<ssize_t>(frame_len))
        << strerror(errno);
  close(fd);
}

TEST(TrafficRun, RatesMatchFramesSentOnAVethPair) {
  REQUIRE_ENV(ts::is_root() && ts::have_command("ip"), "root and iproute2");
  // A private network namespace holds the pair; the monitor started from
  // here reads that namespace's counters.
  ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
  sh("echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6");
  // The peer is named by a rename: busybox's ip, a board's usual one, ignores
  // "peer name", and in this fresh namespace the kernel calls the peer veth0.
  sh("ip link add ftva type veth && ip link set veth0 name ftvb && ip link set ftva up && "
     "ip link set ftvb up");

  // Three passes two real seconds apart.  The shim adds a byte to a file at
  // each sleep: once the second sleep has begun, a burst goes out, and the
  // third pass accounts for all of it.
  ts::TempDir dir;
  const std::string sleeps = dir.path + "/sleeps";
  const ts::RunOpts opts = {.env = {ts::shim_env(), "SHIM_SLEEP_MS=2000",
                                    "SHIM_STOP_AFTER_SLEEPS=3", "SHIM_TOUCH=" + sleeps}};
  ts::Result r;
  std::thread monitor([&] { r = ts::run({bin, "-l", "-i", "ftva", "-i", "ftvb", "2"}, opts); });
  EXPECT_TRUE(ts::eventually([&] { return ts::read_file(sleeps).size() >= 2; }, 20000));
  constexpr int frames = 400;
  constexpr size_t frame_len = 1000;
  send_frames("ftva", frames, frame_len);
  monitor.join();
  EXPECT_EQ(r.status, 99) << r.err;

  Strings lines = ts::lines_of(r.out);
  ASSERT_EQ(lines.size(), 3U) << r.out;
  // Interfaces come in the kernel's order, whatever the order of the -i.
  size_t a_at = lines[0].find("ftva("), b_at = lines[0].find("ftvb(");
  ASSERT_NE(a_at, std::string::npos) << lines[0];
  ASSERT_NE(b_at, std::string::npos) << lines[0];
  const size_t a = a_at < b_at ? 1 : 5, b = a_at < b_at ? 5 : 1;  // first rate of each
  // The time, then per interface: ikb ipk okb opk.
  auto numbers_of = [](const std::string& line) {
    std::istringstream in(line);
    return std::vector<double>(std::istream_iterator<double>(in), {});
  };
  std::vector<double> idle = numbers_of(lines[1]), v = numbers_of(lines[2]);
  ASSERT_EQ(v.size(), 9U) << lines[2];
  EXPECT_EQ(idle, std::vector<double>({idle[0], 0, 0, 0, 0, 0, 0, 0, 0})) << "idle: " << lines[1];
  // The elapsed time is about two seconds (the sleep and the pass's own few
  // milliseconds): 25% either way for a loaded machine.  The checks after
  // these do not depend on the elapsed time at all.
  const double pps = frames / 2.0, kbps = frames * frame_len * 8 / 2000.0;
  EXPECT_NEAR(v[a + 2], kbps, kbps * 0.25) << lines[2];  // ftva sends
  EXPECT_NEAR(v[a + 3], pps, pps * 0.25) << lines[2];
  EXPECT_NEAR(v[b], kbps, kbps * 0.25) << lines[2];  // ftvb receives
  EXPECT_NEAR(v[b + 1], pps, pps * 0.25) << lines[2];
  // Whatever the exact elapsed time, bits per packet are the frame's own.
  EXPECT_NEAR(v[a + 2] / v[a + 3], frame_len * 8 / 1000.0, 0.05) << lines[2];
  EXPECT_DOUBLE_EQ(v[a + 2], v[b]) << "what one end sent the other received: " << lines[2];
  EXPECT_DOUBLE_EQ(v[a + 3], v[b + 1]) << lines[2];
  // Nothing went the other way.
  EXPECT_EQ(v[a], 0.0) << lines[2];
  EXPECT_EQ(v[b + 3], 0.0) << lines[2];
}

}  // namespace
}  // namespace flowtally
