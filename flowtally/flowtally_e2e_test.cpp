// The real flowtally binary: over fixture statistics text in a private mount
// namespace (clock and sleeps scripted by the test shim), and over real
// traffic on a veth pair in a private network namespace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

const std::string bin = FLOWTALLY_BIN;
const std::string usage_text =
    "Usage: flowtally [-l] [ -i ifname ]* [interval_in_seconds] (1..60, default 3)\n";
const std::string border =
    "+----------------------------------------------------------------------+\n";
const std::string column_header =
    "| IF      |Input                         |Output                       |\n";

const std::string& headings = ts::stats_headings;

std::string pass1_text() {
  return ts::stats_text({{"lo", 10000, 100, 10000, 100}, {"eth0", 4294967000, 5000, 800000, 4000}});
}

// A pass later: lo moved 987 * 2 bytes and 30 packets each way; eth0's
// 32-bit receive byte counter wrapped after 496 bytes.
std::string pass2_text() {
  return ts::stats_text({{"lo", 11974, 130, 11974, 130}, {"eth0", 200, 5001, 800000, 4000}});
}

// Passes start at 1700000000.000 and 1700000002.000, each lasting 40 ms.
const std::string steady_clock =
    "SHIM_CLOCK_MS=1700000000000,1700000000040,1700000002000,1700000002040";

struct Fixture {
  ts::TempDir dir;
  std::string log;
  Fixture(const std::string& first, const std::string& second) {
    ts::write_file(dir.path + "/dev", first);
    if (!second.empty()) ts::write_file(dir.path + "/dev.1", second);
    log = dir.path + "/shim.log";
  }
  // Runs flowtally on a scripted clock until its passes-th sleep.
  ts::Result run(const std::vector<std::string>& args, ts::Out out = ts::Out::pipe,
                 const std::string& clock = steady_clock, int passes = 2) {
    std::vector<std::string> argv = {bin};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = {ts::shim_env(), clock,
                                    "SHIM_STOP_AFTER_SLEEPS=" + std::to_string(passes),
                                    "SHIM_SWAP_DIR=" + dir.path, "SHIM_LOG=" + log};
    ts::RunOpts opts;
    opts.out = out;
    return ts::run(ts::with_net_fixture(dir.path, env, argv), opts);
  }
};

bool can_use_namespaces() { return ts::is_root() && ts::have_command("unshare"); }

TEST(FixtureRun, LineModeTwoPassesByteForByte) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  struct Case {
    const char* what;
    std::string clock;
    std::string second_line;
  };
  const std::vector<Case> cases = {
      {"steady", steady_clock, "1700000002 7.8 15.0 7.8 15.0  1.9 0.5 0.0 0.0 \n"},
      // The first pass's output was held up for ten seconds (a stopped
      // terminal): the rates still cover the whole time between the two
      // readings of the counters, the next grid point's 12 seconds.
      {"writing stalled",
       "SHIM_CLOCK_MS=1700000000000,1700000010040,1700000012000,1700000012040",
       "1700000012 1.3 2.5 1.3 2.5  0.3 0.0 0.0 0.0 \n"},
  };
  for (const auto& c : cases) {
    Fixture fx(pass1_text(), pass2_text());
    ts::Result r = fx.run({"-l", "2"}, ts::Out::pipe, c.clock);
    EXPECT_EQ(r.status, 99) << c.what << ": " << r.err;
    EXPECT_EQ(r.err, "") << c.what;
    EXPECT_EQ(r.out, "#   time   lo(ikb ipk okb opk) eth0(ikb ipk okb opk) \n" + c.second_line)
        << c.what;
    // Each pass sleeps to the next two-second grid point from its start,
    // and allocates nothing: the buffers come from start-up.
    std::string log = ts::read_file(fx.log);
    size_t first_sleep = log.find("usleep");
    EXPECT_EQ(log.substr(first_sleep), "usleep 1960000\nusleep 1960000\n") << c.what;
    EXPECT_LE(ts::count_of(log.substr(0, first_sleep), "alloc\n"), 4) << log;
  }
}

TEST(FixtureRun, ScreenModeTwoPassesByteForByte) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  Fixture fx(pass1_text(), pass2_text());
  const std::string table_top = border + column_header + border;
  for (ts::Out out : {ts::Out::pipe, ts::Out::pty}) {
    ts::Result r = fx.run({"-i", "eth0", "-i", "lo"}, out);
    EXPECT_EQ(r.status, 99) << r.err;
    EXPECT_EQ(r.out, "\33[H\33[JCalculating rates for 3 seconds...\n" + table_top +
                         "| lo      \n| eth0    \n" + border +
                         "\33[H\33[JAverages for the last 2000 msec\n" + table_top +
                         "| lo      |      7.8 kbps|     15.0 pk/s||      7.8 kbps|     15.0 pk/s|\n"
                         "| eth0    |      1.9 kbps|      0.5 pk/s||      0.0 kbps|      0.0 pk/s|\n" +
                         border)
        << (out == ts::Out::pty ? "on a terminal" : "on a pipe");
    // The fixture is back at its first state for the next round.
    ts::write_file(fx.dir.path + "/dev", pass1_text());
  }
}

// With nobody left to read the report, the monitor ends at the close of
// the pass whose output could not be written.
TEST(FixtureRun, OutputGoneEndsTheRun) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  struct Case {
    const char* what;
    std::vector<std::string> args;
    ts::Out out;
    bool first_pass;  // the first pass fails, or a later one
  };
  const std::vector<Case> cases = {
      {"line mode, standard output closed", {"-l"}, ts::Out::closed, true},
      {"line mode, reader gone, SIGPIPE ignored", {"-l"}, ts::Out::reader_gone, true},
      // A pipe's buffer takes several passes before it is written.
      {"screen mode, reader gone", {}, ts::Out::reader_gone, false},
      {"screen mode, standard output closed", {}, ts::Out::closed, false},
  };
  const int passes = 40;
  for (const auto& c : cases) {
    Fixture fx(pass1_text(), pass2_text());
    ts::Result r = fx.run(c.args, c.out, steady_clock, passes);
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.err, "flowtally: cannot write to standard output\n") << c.what;
    int sleeps = ts::count_of(ts::read_file(fx.log), "usleep");
    if (c.first_pass) {
      EXPECT_EQ(sleeps, 0) << c.what;
    } else {
      EXPECT_GT(sleeps, 0) << c.what;
      EXPECT_LT(sleeps, passes - 1) << c.what;
    }
  }
}

TEST(FixtureRun, ReadsAtMostNinetyNineLinesCountingPieces) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  // A 1500-byte line without a colon arrives as two pieces, so the
  // interfaces start at position 4 and the last one read is at 98.
  std::string text = headings + std::string(1500, '#') + "\n";
  for (int i = 0; i < 120; ++i) text += "if" + std::to_string(i) + ": 1 2 3 4 5 6 7 8 9 10\n";
  Fixture fx(text, "");
  ts::Result r = fx.run({"-l"});
  EXPECT_EQ(r.status, 99) << r.err;
  std::vector<std::string> lines = ts::lines_of(r.out);
  ASSERT_EQ(lines.size(), 2U) << r.out;
  EXPECT_EQ(ts::count_of(lines[0], "(ikb ipk okb opk)"), 95);
  EXPECT_NE(lines[0].find(" if94(ikb"), std::string::npos);
  EXPECT_EQ(lines[0].find("if95("), std::string::npos);
  // The unchanged counters give zero rates for each of the 95.
  EXPECT_EQ(ts::count_of(lines[1], " 0.0 0.0 0.0 0.0 "), 95);
}

// A pass that stops at its line limit leaves the top of the file in the
// stream's buffer; every pass must read the counters afresh all the same.
TEST(FixtureRun, EveryPassRereadsAFileLongerThanItsLineLimit) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  auto text = [](uint64_t eth0_bytes) {
    std::string t = headings + "  eth0: " + std::to_string(eth0_bytes) + " 0 0 0 0 0 0 0 0 0\n";
    for (int i = 0; i < 100; ++i) t += "  if" + std::to_string(i) + ": 0 0 0 0 0 0 0 0 0 0\n";
    return t;
  };
  ts::TempDir dir;
  ts::write_file(dir.path + "/dev", text(0));
  ts::write_file(dir.path + "/dev.1", text(1000));
  ts::write_file(dir.path + "/dev.2", text(3000));
  std::vector<std::string> env = {ts::shim_env(), "SHIM_CLOCK_MS=0,0,1000,1000,2000,2000",
                                  "SHIM_STOP_AFTER_SLEEPS=3", "SHIM_SWAP_DIR=" + dir.path};
  ts::Result r = ts::run(ts::with_net_fixture(dir.path, env, {bin, "-l", "-i", "eth0", "1"}));
  EXPECT_EQ(r.status, 99) << r.err;
  EXPECT_EQ(r.out, "#   time   eth0(ikb ipk okb opk) \n"
                   "         1 8.0 0.0 0.0 0.0 \n"
                   "         2 16.0 0.0 0.0 0.0 \n");
}

// A board keeps running past 2038: the clock must still read right there.
TEST(FixtureRun, ClockReadsPast2038) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  ts::TempDir dir;
  ts::write_file(dir.path + "/dev", headings + "  eth0: 0 0 0 0 0 0 0 0 0 0\n");
  ts::write_file(dir.path + "/dev.1", headings + "  eth0: 1000 0 0 0 0 0 0 0 0 0\n");
  std::vector<std::string> env = {ts::shim_env(),
                                  "SHIM_CLOCK_MS=3000000000000,3000000000000,3000000001000",
                                  "SHIM_STOP_AFTER_SLEEPS=2", "SHIM_SWAP_DIR=" + dir.path};
  ts::Result r = ts::run(ts::with_net_fixture(dir.path, env, {bin, "-l", "1"}));
  EXPECT_EQ(r.status, 99) << r.err;
  EXPECT_EQ(r.out, "#   time   eth0(ikb ipk okb opk) \n3000000001 8.0 0.0 0.0 0.0 \n");
}

TEST(FixtureRun, MissingStatisticsFileIsReported) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  ts::TempDir empty;
  ts::Result r = ts::run(ts::with_net_fixture(empty.path, {}, {bin, "-l"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Can not open file:\"/proc/net/dev\"");
}

TEST(FixtureRun, UnrewindableStatisticsFileIsReported) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  // A FIFO reads like the file once, then cannot be rewound.
  ts::TempDir dir;
  const std::string fifo = dir.path + "/dev";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The writer is a process of its own, as the kernel is to /proc.
  pid_t writer = ts::start({"/bin/sh", "-c", "printf '%s' \"$1\" > \"$0\"", fifo,
                            headings + "  eth0: 1 2 3 4 5 6 7 8 9 10\n"},
                           STDOUT_FILENO);
  ASSERT_GT(writer, 0);
  ts::Result r = ts::run(ts::with_net_fixture(dir.path, {}, {bin, "-l"}));
  // A writer still waiting for its reader is let go.
  int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  int st = 0;
  waitpid(writer, &st, 0);
  close(release);
  EXPECT_EQ(st, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Can not fseek to the start of the file /proc/net/dev\n");
  EXPECT_EQ(r.out, "#   time   eth0(ikb ipk okb opk) ");
}

TEST(CommandLineRun, UsageErrorsExitOneWithTheUsageText) {
  const std::vector<std::vector<std::string>> cases = {
      {"0"}, {"61"}, {"abc"}, {"-5"}, {"-"}, {"-x"}, {"-i"}, {"-l", "-i", "eth0", "-i"},
      {"--", "-5"}, {"--", "0"}, {"4294967297"}, {"-l", "99"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> argv = {bin};
    argv.insert(argv.end(), args.begin(), args.end());
    ts::Result r = ts::run(argv);
    std::string label = args[0] + (args.size() > 1 ? " " + args[1] : "");
    EXPECT_EQ(r.status, 1) << label;
    EXPECT_EQ(r.out, "") << label;
    EXPECT_EQ(r.err, usage_text) << label;
  }
}

// --- Real traffic --------------------------------------------------------

void sh(const std::string& cmd) {
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

// Sends count raw Ethernet frames of frame_len bytes out of ifname.
void send_frames(const char* ifname, int count, size_t frame_len) {
  int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
  ASSERT_GE(fd, 0) << strerror(errno);
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_ifindex = static_cast<int>(if_nametoindex(ifname));
  addr.sll_halen = ETH_ALEN;
  memset(addr.sll_addr, 0xff, ETH_ALEN);
  std::vector<unsigned char> frame(frame_len, 0x5a);
  memset(frame.data(), 0xff, ETH_ALEN);                          // broadcast
  const unsigned char src[ETH_ALEN] = {0x02, 0, 0, 0, 0, 1};  // local address
  memcpy(frame.data() + ETH_ALEN, src, ETH_ALEN);
  frame[12] = 0x88;  // local experimental EtherType
  frame[13] = 0xb5;
  for (int i = 0; i < count; ++i) {
    ssize_t n = sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                       sizeof addr);
    ASSERT_EQ(n, static_cast<ssize_t>(frame_len)) << strerror(errno);
  }
  close(fd);
}

std::vector<double> numbers_of(const std::string& line) {
  std::vector<double> v;
  std::istringstream in(line);
  double d;
  while (in >> d) v.push_back(d);
  return v;
}

// Reads one whole line from fd, waiting at most timeout_ms.
bool read_line(int fd, std::string& buffered, std::string& line, int timeout_ms) {
  for (;;) {
    size_t nl = buffered.find('\n');
    if (nl != std::string::npos) {
      line = buffered.substr(0, nl);
      buffered.erase(0, nl + 1);
      return true;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    buffered.append(buf, static_cast<size_t>(n));
  }
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

  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  pid_t pid = ts::start({bin, "-l", "-i", "ftva", "-i", "ftvb", "2"}, out[1]);
  close(out[1]);
  ASSERT_GT(pid, 0);
  std::string buffered, header, first, second;
  ASSERT_TRUE(read_line(out[0], buffered, header, 8000));
  // Interfaces come in the kernel's order, whatever the order of the -i.
  size_t a_at = header.find("ftva("), b_at = header.find("ftvb(");
  ASSERT_NE(a_at, std::string::npos) << header;
  ASSERT_NE(b_at, std::string::npos) << header;
  const size_t a = a_at < b_at ? 1 : 5, b = a_at < b_at ? 5 : 1;  // first rate of each
  // Right after a pass, send a burst; the next pass accounts for all of it.
  ASSERT_TRUE(read_line(out[0], buffered, first, 8000));  // the idle pass
  constexpr int frames = 400;
  constexpr size_t frame_len = 1000;
  send_frames("ftva", frames, frame_len);
  ASSERT_TRUE(read_line(out[0], buffered, second, 8000));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(out[0]);

  // The time, then per interface: ikb ipk okb opk.
  std::vector<double> v = numbers_of(second);
  ASSERT_EQ(v.size(), 9U) << second;
  EXPECT_EQ(numbers_of(first), std::vector<double>({numbers_of(first)[0], 0, 0, 0, 0, 0, 0, 0, 0}))
      << "idle pair: " << first;
  // The elapsed time is about two seconds (the interval less the pass's own
  // few milliseconds): allow 25% either way for a loaded machine.  The
  // checks after these do not depend on the elapsed time at all.
  const double pps = frames / 2.0, kbps = frames * frame_len * 8 / 2000.0;
  EXPECT_NEAR(v[a + 2], kbps, kbps * 0.25) << second;  // ftva sends
  EXPECT_NEAR(v[a + 3], pps, pps * 0.25) << second;
  EXPECT_NEAR(v[b], kbps, kbps * 0.25) << second;  // ftvb receives
  EXPECT_NEAR(v[b + 1], pps, pps * 0.25) << second;
  // Whatever the exact elapsed time, bits per packet are the frame's own.
  EXPECT_NEAR(v[a + 2] / v[a + 3], frame_len * 8 / 1000.0, 0.05) << second;
  EXPECT_DOUBLE_EQ(v[a + 2], v[b]) << "what one end sent the other received: " << second;
  EXPECT_DOUBLE_EQ(v[a + 3], v[b + 1]) << second;
  // Nothing went the other way.
  EXPECT_EQ(v[a], 0.0) << second;
  EXPECT_EQ(v[b + 3], 0.0) << second;
}

}  // namespace
