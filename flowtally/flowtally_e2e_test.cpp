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
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

namespace flowtally {
extern const std::string border, column_header;
}

namespace {

using flowtally::border;
const std::string bin = FLOWTALLY_BIN;
const std::string& headings = ts::stats_headings;

// lo moves 987 * 2 bytes and 30 packets each way between the two texts;
// eth0's 32-bit receive byte counter wraps after 496 bytes.
const std::string pass1_text =
    ts::stats_text({{"lo", 10000, 100, 10000, 100}, {"eth0", 4294967000, 5000, 800000, 4000}});
const std::string pass2_text =
    ts::stats_text({{"lo", 11974, 130, 11974, 130}, {"eth0", 200, 5001, 800000, 4000}});

// Passes start 2 s apart on the monotonic clock, each lasting 40 ms; line
// mode reads the wall clock once a pass.
const std::string steady = "SHIM_MONO_MS=1000000,1000040,1002000,1002040";
const std::string wall = "SHIM_CLOCK_MS=1700000000000,1700000002000";

bool can_use_namespaces() { return ts::is_root() && ts::have_command("unshare"); }

// Statistics texts for successive passes: texts[k] is what the k-th sleep
// puts in place.
struct Fixture {
  ts::TempDir dir;
  explicit Fixture(const std::vector<std::string>& texts) {
    for (size_t k = 0; k < texts.size(); ++k)
      ts::write_file(dir.path + (k == 0 ? "/dev" : "/dev." + std::to_string(k)), texts[k]);
  }
  // Runs flowtally on scripted clocks until its passes-th sleep.
  ts::Result run(const std::vector<std::string>& args, std::vector<std::string> env,
                 ts::Out out = ts::Out::pipe, int passes = 2, bool no_stdin = false) {
    std::vector<std::string> argv = {bin};
    argv.insert(argv.end(), args.begin(), args.end());
    // Boot scripts start programs with descriptor 0 closed.
    if (no_stdin) argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&-"});
    env.insert(env.end(), {ts::shim_env(), "SHIM_STOP_AFTER_SLEEPS=" + std::to_string(passes),
                           "SHIM_SWAP_DIR=" + dir.path, "SHIM_LOG=" + dir.path + "/shim.log"});
    ts::RunOpts opts;
    opts.out = out;
    return ts::run(ts::with_net_fixture(dir.path, env, argv), opts);
  }
};

// Two passes: the rates follow the monotonic clock whatever the wall clock
// does, which only the time column shows; each pass sleeps to the next
// two-second grid point from its start on the monotonic clock.
TEST(FixtureRun, TwoPassesByteForByte) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  struct Case {
    const char* what;
    std::vector<std::string> args, env;
    std::string want;
    ts::Out out = ts::Out::pipe;
    bool no_stdin = false;
  };
  const std::string header = "#   time   lo(ikb ipk okb opk) eth0(ikb ipk okb opk) \n";
  const std::string rates = " 7.8 15.0 7.8 15.0  1.9 0.5 0.0 0.0 \n";
  const std::string screen =
      "\33[H\33[JCalculating rates for 2 seconds...\n" + border + flowtally::column_header +
      border + "| lo      \n| eth0    \n" + border + "\33[H\33[JAverages for the last 2000 msec\n" +
      border + flowtally::column_header + border +
      "| lo      |      7.8 kbps|     15.0 pk/s||      7.8 kbps|     15.0 pk/s|\n"
      "| eth0    |      1.9 kbps|      0.5 pk/s||      0.0 kbps|      0.0 pk/s|\n" + border;
  const std::vector<std::string> line = {"-l", "2"}, named = {"-i", "eth0", "-i", "lo", "2"};
  const std::vector<Case> cases = {
      {"line mode", line, {steady, wall}, header + "1700000002" + rates},
      // The first pass's output was held up for ten seconds (a stopped
      // terminal): the rates still cover the whole time between the two
      // readings of the counters, the next grid point's 12 seconds.
      {"line mode, writing stalled", line,
       {"SHIM_MONO_MS=1000000,1010040,1012000,1012040", "SHIM_CLOCK_MS=1700000000000,1700000012000"},
       header + "1700000012 1.3 2.5 1.3 2.5  0.3 0.0 0.0 0.0 \n"},
      {"line mode, date set back an hour", line,
       {steady, "SHIM_CLOCK_MS=1700000000000,1699996402000"}, header + "1699996402" + rates},
      {"line mode, date set on an hour", line,
       {steady, "SHIM_CLOCK_MS=1700000000000,1700003602000"}, header + "1700003602" + rates},
      {"line mode, date set past 2038", line, {steady, "SHIM_CLOCK_MS=3000000000000,3000000002000"},
       header + "3000000002" + rates},
      {"line mode, date set past 2106: 32-bit seconds, as on the boards", line,
       {steady, "SHIM_CLOCK_MS=5000000000000,5000000002000"}, header + " 705032706" + rates},
      {"line mode, standard input closed", line, {steady, wall}, header + "1700000002" + rates,
       ts::Out::pipe, true},
      {"screen mode on a pipe", named, {steady}, screen},
      {"screen mode on a terminal", named, {steady}, screen, ts::Out::pty},
      {"screen mode, date set back an hour", named,
       {steady, "SHIM_CLOCK_MS=1700000000000,1699996400000"}, screen},
  };
  for (const auto& c : cases) {
    Fixture fx({pass1_text, pass2_text});
    ts::Result r = fx.run(c.args, c.env, c.out, 2, c.no_stdin);
    EXPECT_EQ(r.status, 99) << c.what << ": " << r.err;
    EXPECT_EQ(r.err, "") << c.what;
    EXPECT_EQ(r.out, c.want) << c.what;
    // (A shell that closes descriptor 0 logs its own allocations first.)
    std::string log = ts::read_file(fx.dir.path + "/shim.log");
    EXPECT_EQ(log.erase(0, std::min(log.find("usleep"), log.size())),
              "usleep 1960000\nusleep 1960000\n")
        << c.what;
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
    Fixture fx({pass1_text, pass2_text});
    ts::Result r = fx.run(c.args, {steady}, c.out, passes);
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.err, "flowtally: cannot write to standard output\n") << c.what;
    int sleeps = ts::count_of(ts::read_file(fx.dir.path + "/shim.log"), "usleep");
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
  Fixture fx({text});
  ts::Result r = fx.run({"-l"}, {steady});
  EXPECT_EQ(r.status, 99) << r.err;
  std::vector<std::string> lines = ts::lines_of(r.out);
  ASSERT_EQ(lines.size(), 2U) << r.out;
  EXPECT_EQ(ts::count_of(lines[0], "(ikb ipk okb opk)"), 95);
  EXPECT_NE(lines[0].find(" if94(ikb"), std::string::npos);
  EXPECT_EQ(lines[0].find("if95("), std::string::npos);
  // The unchanged counters give zero rates for each of the 95.
  EXPECT_EQ(ts::count_of(lines[1], " 0.0 0.0 0.0 0.0 "), 95);
  // Screen mode: 95 rows in each pass, all the pass's output in one table.
  r = fx.run({}, {steady});
  EXPECT_EQ(r.status, 99) << r.err;
  EXPECT_EQ(ts::count_of(r.out, "\n| if"), 2 * 95) << r.out;
  EXPECT_EQ(ts::count_of(r.out, "\n| if94    |      0.0 kbps|      0.0 pk/s||      0.0 kbps|"
                                "      0.0 pk/s|\n" + border),
            1)
      << r.out;
  EXPECT_EQ(r.out.find("if95"), std::string::npos);
}

// A pass that stops at its line limit leaves the rest of the file unread;
// every pass must read the counters afresh all the same.
TEST(FixtureRun, EveryPassRereadsAFileLongerThanItsLineLimit) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  auto text = [](uint64_t eth0_bytes) {
    std::string t = headings + "  eth0: " + std::to_string(eth0_bytes) + " 0 0 0 0 0 0 0 0 0\n";
    for (int i = 0; i < 100; ++i) t += "  if" + std::to_string(i) + ": 0 0 0 0 0 0 0 0 0 0\n";
    return t;
  };
  Fixture fx({text(0), text(1000), text(3000)});
  ts::Result r = fx.run({"-l", "-i", "eth0", "1"},
                        {"SHIM_MONO_MS=0,0,1000,1000,2000,2000", "SHIM_CLOCK_MS=0,1000,2000"},
                        ts::Out::pipe, 3);
  EXPECT_EQ(r.status, 99) << r.err;
  EXPECT_EQ(r.out, "#   time   eth0(ikb ipk okb opk) \n"
                   "         1 8.0 0.0 0.0 0.0 \n"
                   "         2 16.0 0.0 0.0 0.0 \n");
}

// Runs that end before their first pass: status 1, nothing on standard
// output, and why on standard error.
TEST(FixtureRun, FailuresAtStartExitOne) {
  REQUIRE_ENV(can_use_namespaces(), "root and unshare");
  const std::string usage =
      "Usage: flowtally [-l] [ -i ifname ]* [interval_in_seconds] (1..60, default 3)\n";
  struct Case {
    std::vector<std::string> args;
    std::string err;
    std::vector<std::string> env;
    bool text = true;  // a statistics file to open
  };
  const std::vector<Case> cases = {
      {{"0"}, usage}, {{"61"}, usage}, {{"abc"}, usage}, {{"-5"}, usage}, {{"-"}, usage},
      {{"-x"}, usage}, {{"-i"}, usage}, {{"-l", "-i", "eth0", "-i"}, usage},
      {{"--", "-5"}, usage}, {{"--", "0"}, usage}, {{"4294967297"}, usage}, {{"-l", "99"}, usage},
      {{"-l"}, "Can not open file:\"/proc/net/dev\"", {}, false},
      {{"-l", "-i", "eth0"}, "flowtally: out of memory\n", {"SHIM_FAIL_ALLOC_AT=1"}},
      {{"-i", "lo", "-i", "eth0"}, "flowtally: out of memory\n", {"SHIM_FAIL_ALLOC_AT=2"}},
  };
  for (const auto& c : cases) {
    Fixture fx(c.text ? std::vector<std::string>{pass1_text} : std::vector<std::string>{});
    ts::Result r = fx.run(c.args, c.env);
    std::string label = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(r.status, 1) << label;
    EXPECT_EQ(r.out, "") << label;
    EXPECT_EQ(r.err, c.err) << label;
  }
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

// --- Real traffic --------------------------------------------------------

void sh(const std::string& cmd) { ASSERT_EQ(system(cmd.c_str()), 0) << cmd; }

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
  ts::RunOpts opts;
  opts.env = {ts::shim_env(), "SHIM_SLEEP_MS=2000", "SHIM_STOP_AFTER_SLEEPS=3",
              "SHIM_TOUCH=" + sleeps};
  ts::Result r;
  std::thread monitor([&] { r = ts::run({bin, "-l", "-i", "ftva", "-i", "ftvb", "2"}, opts); });
  struct stat st {};
  for (int i = 0; i < 2000 && (stat(sleeps.c_str(), &st) != 0 || st.st_size < 2); ++i)
    usleep(10000);
  constexpr int frames = 400;
  constexpr size_t frame_len = 1000;
  EXPECT_EQ(st.st_size, 2);
  send_frames("ftva", frames, frame_len);
  monitor.join();
  EXPECT_EQ(r.status, 99) << r.err;

  std::vector<std::string> lines = ts::lines_of(r.out);
  ASSERT_EQ(lines.size(), 3U) << r.out;
  // Interfaces come in the kernel's order, whatever the order of the -i.
  size_t a_at = lines[0].find("ftva("), b_at = lines[0].find("ftvb(");
  ASSERT_NE(a_at, std::string::npos) << lines[0];
  ASSERT_NE(b_at, std::string::npos) << lines[0];
  const size_t a = a_at < b_at ? 1 : 5, b = a_at < b_at ? 5 : 1;  // first rate of each
  // The time, then per interface: ikb ipk okb opk.
  std::vector<double> idle = numbers_of(lines[1]), v = numbers_of(lines[2]);
  ASSERT_EQ(v.size(), 9U) << lines[2];
  EXPECT_EQ(idle, std::vector<double>({idle[0], 0, 0, 0, 0, 0, 0, 0, 0})) << "idle: " << lines[1];
  // The elapsed time is about two seconds (the sleep and the pass's own few
  // milliseconds): allow 25% either way for a loaded machine.  The checks
  // after these do not depend on the elapsed time at all.
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
