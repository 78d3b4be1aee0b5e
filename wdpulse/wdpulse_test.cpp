// End-to-end tests of the real wdpulse binary.  Each run gets a /dev of its
// own (ts::with_dev), where a FIFO stands in for the watchdog; this process
// is a child subreaper, so the detached daemon is re-parented to it and its
// exit status can be collected.  The preload shim shortens the one-second
// sleep, logs the daemon's calls and injects failures.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

using ts::Strings;
using ts::Watchdog;

constexpr int no_daemon = -2;  // no detached daemon was there to end

// Numeric field n (from 4 on, numbered as in proc(5)) of /proc/<pid>/stat.
int stat_field(pid_t pid, int n) {
  std::string s = ts::read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t at = s.rfind(')');
  if (at == std::string::npos) return 0;
  std::istringstream in(s.substr(at + 1));
  std::string field;
  for (int i = 3; i <= n; ++i) in >> field;
  return atoi(field.c_str());
}

// The daemon re-parented to this process once the started process ended.
pid_t adopted_child() {
  DIR* d = opendir("/proc");
  pid_t found = -1;
  while (dirent* e = d ? readdir(d) : nullptr) {
    pid_t pid = atoi(e->d_name);
    if (pid > 0 && stat_field(pid, 4) == getpid()) found = pid;
  }
  if (d) closedir(d);
  return found;
}

struct Launch {
  Strings args;
  Strings env;  // shim settings
  Watchdog device = Watchdog::standard;
  std::string cwd = "/";
  bool leave_pipe_and_lock = false;  // on descriptors 3 and 9
  bool hold = false;  // look at the daemon in its first sleep, then kill it
};

struct Outcome {
  int started = -1;         // what the caller sees
  int daemon = no_daemon;   // the detached daemon's status, -1 for a signal
  std::string fed;          // keep-alive bytes the stand-in received
  std::string output;
  int library_exits = 0;        // processes that ended through exit()
  Strings start_up;             // shim log lines before the daemonising fork
  std::vector<Strings> passes;  // shim log lines of each pass begun
  std::string held, cmdline;    // seen while held (see inspect)
  bool hung = false;            // killed when its log stood still
};

Strings lines_after(const Strings& lines, const std::string& prefix) {
  Strings v;
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) v.push_back(l.substr(prefix.size()));
  return v;
}

// How far the lines' brk calls moved the break in all: 0 when they left it
// where they found it.
long long break_moved(const Strings& lines) {
  long long sum = 0;
  for (const auto& n : lines_after(lines, "brk ")) sum += std::stoll(n);
  return sum;
}

// The first "fork" is the daemonising one; every "sleep" ends a pass.
void split_log(const Strings& log, Outcome& o) {
  bool daemon = false;
  for (const auto& line : log) {
    if (line == "exit") {
      ++o.library_exits;
    } else if (!daemon) {
      daemon = line == "fork";
      if (daemon) o.passes.emplace_back();
      if (!daemon) o.start_up.push_back(line);
    } else if (line.rfind("sleep", 0) == 0) {
      // Sleeping longer could outlast the watchdog's timeout.
      EXPECT_EQ(line, "sleep 1");
      o.passes.emplace_back();
    } else {
      o.passes.back().push_back(line);
    }
  }
  if (!o.passes.empty() && o.passes.back().empty()) o.passes.pop_back();
}

// The daemon's descriptors, directory and session, the signals it left
// ignored (but 32 and 33, which the C library's posix_spawn leaves ignored
// in every child it starts), and whether it still holds what the launcher
// left open: "fd 0 /dev/watchdog, in /, leads its session, ignores 0".
void inspect(pid_t pid, int pipe_read, const std::string& lock, Outcome& o) {
  const std::string dir = "/proc/" + std::to_string(pid), status = ts::read_file(dir + "/status");
  if (DIR* d = opendir((dir + "/fd").c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.')
        o.held += "fd " + (e->d_name + (" " + ts::link_text(dir + "/fd/" + e->d_name))) + ", ";
    closedir(d);
  }
  const size_t at = status.find("SigIgn:");
  const auto ignored = at == std::string::npos ? 0 : stoull(status.substr(at + 7), nullptr, 16);
  o.held += "in " + ts::link_text(dir + "/cwd") +
            (stat_field(pid, 6) == pid ? ", leads its session" : ", in another's session") +
            ", ignores " + std::to_string(ignored & ~(3ULL << 31));
  char c;
  if (pipe_read >= 0) o.held += read(pipe_read, &c, 1) == 0 ? ", pipe ended" : ", pipe held";
  const int fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) o.held += flock(fd, LOCK_EX | LOCK_NB) == 0 ? ", lock free" : ", lock held";
  if (fd >= 0) close(fd);
  o.cmdline = ts::read_file(dir + "/cmdline");
}

// Waits while the daemon lives and shows life (held, until its first sleep):
// each pass adds lines to the shim's log, so a log that stands still for
// five seconds means a hung keeper.  False then.
bool follow(pid_t daemon, const std::string& log, bool hold) {
  std::string seen;
  for (int still = 0; still < 500; usleep(10000)) {
    siginfo_t end{};  // its si_pid is set once the daemon has ended
    waitid(P_PID, static_cast<id_t>(daemon), &end, WEXITED | WNOHANG | WNOWAIT);
    if (end.si_pid == daemon) return true;
    const std::string now = ts::read_file(log);
    if (hold && now.find("sleep") != std::string::npos) return true;
    still = now.size() == seen.size() ? still + 1 : 0;
    seen = now;
  }
  return false;
}

Outcome run_keeper(const Launch& l) {
  Outcome o;
  ts::TempDir tmp;
  const std::string log = tmp.path + "/shim.log", lock = tmp.path + "/boot.lock";
  int device = ts::make_dev(tmp.path + "/dev", l.device);
  Strings env = ts::cat({{ts::shim_env(), "SHIM_LOG=" + log}, l.env});
  if (l.hold) env.push_back("SHIM_SLEEP_MS=60000");
  ts::RunOpts opts = {.cwd = l.cwd};
  // What a boot script may leave open for the keeper: the write end of a
  // pipe someone reads, on 3, and a lock it holds, on 9.
  int left[2] = {-1, -1}, held = -1;
  if (l.leave_pipe_and_lock) {
    EXPECT_EQ(pipe2(left, O_CLOEXEC | O_NONBLOCK), 0);
    held = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_EQ(flock(held, LOCK_EX), 0);
    // Moved above the numbers they are handed on at, so none is overwritten.
    for (int* fd : {&left[1], &held}) {
      int high = fcntl(*fd, F_DUPFD_CLOEXEC, 10);
      close(*fd);
      *fd = high;
    }
    opts.hand_on = {{left[1], 3}, {held, 9}};
  }
  const Strings argv = ts::cat({{WDPULSE_BIN}, l.args});
  ts::Result r = ts::run(ts::with_dev(tmp.path + "/dev", env, argv), opts);
  for (int fd : {left[1], held})
    if (fd >= 0) close(fd);
  o.started = r.status;
  o.output = r.out + r.err;
  if (pid_t daemon = adopted_child(); daemon > 0) {
    o.hung = !follow(daemon, log, l.hold);
    EXPECT_FALSE(o.hung) << "the daemon hung: its log stood still for 5 s";
    if (l.hold && !o.hung) {
      EXPECT_NE(ts::read_file(log).find("sleep"), std::string::npos)
          << "the daemon ended before its first sleep";
      inspect(daemon, left[0], lock, o);
    }
    if (l.hold || o.hung) kill(daemon, SIGKILL);
    o.daemon = ts::wait_for(daemon, 10000).status;
  }
  // A probe child left behind by a killed daemon comes to us as well.
  for (pid_t stray; (stray = adopted_child()) > 0;) ts::wait_for(stray, 10000);
  o.fed = ts::read_all(device);
  if (left[0] >= 0) close(left[0]);
  split_log(ts::lines_of(ts::read_file(log)), o);
  return o;
}

// Files for test tables, each "$x" (x a letter) standing for the file x in
// the test's own directory: a, b, c, w (the watched file), rel, only-here
// and z exist, m and n do not; z is what a 32-bit record cannot hold, 3 GiB
// (sparse) and stamped in 2040.  "!$x" is x as the keeper marks it
// rejected, its first byte replaced.
struct Files {
  ts::TempDir dir;
  Files() {
    for (const char* f : {"a", "b", "c", "w", "rel", "only-here", "z"})
      ts::write_file(dir.path + "/" + f, "x");
    EXPECT_EQ(truncate((dir.path + "/z").c_str(), 3LL << 30), 0);
    EXPECT_TRUE(ts::stamp_in_2040(dir.path + "/z"));
  }
  std::string operator()(std::string s) const {
    for (size_t at; (at = s.find('$')) != std::string::npos;)
      s.replace(at, 1, (at > 0 && s[at - 1] == '!' ? dir.path.substr(1) : dir.path) + "/");
    return s;
  }
  Strings operator()(Strings v) const {
    for (auto& s : v) s = (*this)(s);
    return v;
  }
};

std::string stop_after(int passes) { return "SHIM_STOP_AFTER_SLEEPS=" + std::to_string(passes); }

// The daemon as it sleeps after its first whole pass: descriptor 0 is the
// device and nothing else is open, it leads its own session at "/", it has
// marked the paths it rejected in its own command line, and what a launcher
// left behind neither ended it nor is kept by it: SIGCHLD ignored (the
// probe child would be reaped behind waitpid's back), a hangup reaching it
// before it has left the caller's session (its parent led a terminal's
// session and has just exited), or descriptors left open (a lock that would
// never come free, a pipe whose reader would never see the end), on kernels
// with and without close_range.
TEST(WdpulseDetach, DaemonHoldsTheDeviceAloneAndMarksRejectedPaths) {
  REQUIRE_ENV(ts::adopt_daemons(), "root and unshare");
  Files f;
  const std::string sigchld = "SHIM_IGNORE_SIGNAL=" + std::to_string(SIGCHLD);
  struct Case {
    Strings args, cmdline;  // the arguments as the system shows them afterwards
    Strings env = {};
    bool leave_pipe_and_lock = false;
  } cases[] = {
      {{}, {}}, {{"$m", "$a"}, {"!$m", "$a"}},
      {{"$a", "$m", "$n"}, {"$a", "!$m", "!$n"}}, {{"$m", "$a", "$n"}, {"!$m", "$a", "!$n"}},
      // an empty argument is dropped but has no byte to mark
      {{"", "$a"}, {"", "$a"}},
      // relative paths are vetted from "/", not from the caller's directory
      {{"only-here", "tmp"}, {"!nly-here", "tmp"}},
      {{"--", "-m"}, {"--", "!m"}},
      // option values are not paths: a missing watched file is not marked
      {{"-f", "$m", "-c5", "$n"}, {"-f", "$m", "-c5", "$n"}},
      {{}, {}, {sigchld}}, {{}, {}, {"SHIM_RAISE_BEFORE_SETSID=1"}},
      {{}, {}, {}, true}, {{}, {}, {"SHIM_NO_CLOSE_RANGE=1"}, true},
  };
  for (const auto& c : cases) {
    Outcome o = run_keeper({.args = f(c.args), .env = c.env, .cwd = f.dir.path,
                            .leave_pipe_and_lock = c.leave_pipe_and_lock, .hold = true});
    std::string where = testing::PrintToString(c.args) + testing::PrintToString(c.env);
    ASSERT_FALSE(o.hung) << where;
    EXPECT_EQ(o.started, 0) << where;
    EXPECT_EQ(o.daemon, -1) << where << ": not the kill that ended it";
    EXPECT_EQ(o.passes.size(), 1u) << where;
    EXPECT_EQ(o.fed, "/") << where;
    EXPECT_EQ(o.output, "") << where;
    // Nothing is left ignored: no hangup once detached, no lost children.
    EXPECT_EQ(o.held, "fd 0 /dev/watchdog, in /, leads its session, ignores 0" +
                          std::string(c.leave_pipe_and_lock ? ", pipe ended, lock free" : ""))
        << where;
    std::string want = std::string(WDPULSE_BIN) + '\0';
    for (const auto& a : f(c.cmdline)) want += a + '\0';
    EXPECT_EQ(o.cmdline, want) << where;
  }
}

// How a keeper's life goes from its command line and what befalls it: the
// options read and the paths vetted at start-up (a rejected one's place
// taken by the last), those probed (one a pass, in turn; as a cycle of each
// pass's stat calls, the watched file's last), how it ends (the shim stops
// it at status 99 after `limit` passes) and after how many passes.
TEST(WdpulseProbes, OptionsVettingRotationStalenessAndFailedForks) {
  REQUIRE_ENV(ts::adopt_daemons(), "root and unshare");
  constexpr int limit = 8;
  struct Case {
    Strings args, env, vetted, probed;
    int daemon = 99;
    size_t passes = limit;
    int started = 0;
    Watchdog device = Watchdog::standard;
  } cases[] = {
      // no arguments, not even the program's name, as kernels before 5.18 allow
      {{}, {}, {}, {"/"}}, {{}, {"SHIM_NO_ARGS=1"}, {}, {"/"}},
      {{"$a", "$b", "$c"}, {}, {"$a", "$b", "$c"}, {"$a", "$b", "$c"}},
      {{"$m", "$b", "$c"}, {}, {"$m", "$c", "$b"}, {"$c", "$b"}},
      {{"$a", "$m", "$c"}, {}, {"$a", "$m", "$c"}, {"$a", "$c"}},
      {{"$m", "$n", "$c"}, {}, {"$m", "$c", "$n"}, {"$c"}},
      {{"$a", "$b", "$m"}, {}, {"$a", "$b", "$m"}, {"$a", "$b"}},
      {{"$m", "$a", "$n"}, {}, {"$m", "$n", "$a"}, {"$a"}},
      {{"$m", "$n"}, {}, {"$m", "$n"}, {"/"}},
      {{"$a", ""}, {}, {"$a", ""}, {"$a"}}, {{"", "-c", "1"}, {}, {"", "1", "-c"}, {"/"}},
      {{"rel", "etc"}, {}, {"rel", "etc"}, {"etc"}},
      // "--", and any argument whose second character is "-", end the
      // options; unknown ones and a lone "-" are skipped, one argument each
      {{"--", "-x", "$a"}, {}, {"-x", "$a"}, {"$a"}},
      {{"--x", "-y", "$a"}, {}, {"-y", "$a"}, {"$a"}},
      {{"-c", "2", "--", "--"}, {}, {"--"}, {"/"}},
      {{"-", "-q", "$a"}, {}, {"$a"}, {"$a"}}, {{"-x", "5", "$a"}, {}, {"5", "$a"}, {"$a"}},
      {{"$a", "-c", "1"}, {}, {"$a", "-c", "1"}, {"$a"}},
      // an option takes the next argument whatever it looks like, not what
      // follows its letter; one missing its value ends the scan
      {{"-c5", "$b", "$a"}, {}, {"$a"}, {"$a"}}, {{"-c", "-f", "$a"}, {}, {"$a"}, {"$a"}},
      {{"-c"}, {}, {}, {"/"}}, {{"-f"}, {}, {}, {"/"}},
      // a probe path removed after start-up ends it on its turn
      {{"$a", "$b", "$c"}, {"SHIM_UNLINK=$b"}, {"$a", "$b", "$c"}, {"$a", "$b", "$c"}, 1, 2},
      {{"$a", "$b", "$c"}, {"SHIM_UNLINK=$c"}, {"$a", "$b", "$c"}, {"$a", "$b", "$c"}, 1, 3},
      {{"$a", "$b", "$c"}, {"SHIM_UNLINK=$a"}, {"$a", "$b", "$c"}, {"$a", "$b", "$c"}, 1, 4},
      {{"$a", "$b", "$c"}, {"SHIM_UNLINK=$c"}, {"$a", "$b", "$c"}, {"$a", "$b", "$c"}, 1, 3, 0,
       Watchdog::none},
      // staleness: the first comparison is against zeros, so an existing
      // file counts as changed on pass 1
      {{"-c", "1", "-f", "$w"}, {}, {}, {"/ $w"}, 1, 2},
      {{"-c", "3", "-f", "$w", "$a"}, {}, {"$a"}, {"$a $w"}, 1, 4},
      {{"-c", "3", "-f", "$m"}, {}, {}, {"/ $m"}, 1, 3},
      {{"-c", "1", "-f", "$m"}, {}, {}, {"/ $m"}, 1, 1},
      {{"-c", "1", "-f", "-c", "$a"}, {}, {"$a"}, {"$a -c"}, 1, 1},
      {{"-fx", "$w", "-c", "1", "$a"}, {}, {"$a"}, {"$a $w"}, 1, 2},
      {{"-c", "1", "-f", "$w"}, {"SHIM_TOUCH=$w"}, {}, {"/ $w"}},
      {{"-c", "2", "-f", "$w"}, {"SHIM_TOUCH=$w"}, {}, {"/ $w"}},
      // a change of its times alone is a change; z, too large and too late
      // for a 32-bit record, is examined and watched as any other file
      {{"-c", "1", "-f", "$z", "$z"}, {"SHIM_TOUCH_TIME=$z"}, {"$z"}, {"$z $z"}},
      // removed before pass 3: that pass counts as a change
      {{"-c", "2", "-f", "$w"}, {"SHIM_UNLINK=$w", "SHIM_UNLINK_AT=2"}, {}, {"/ $w"}, 1, 5},
      // relative watched files are looked up from "/"
      {{"-c", "1", "-f", "w"}, {}, {}, {"/ w"}, 1, 1},
      // a negative budget counts on down, wrapping past INT32_MIN (on pass 2 here)
      {{"-c", "-1", "-f", "$w"}, {}, {}, {"/ $w"}},
      {{"-c", "-2147483648", "-f", "$w"}, {}, {}, {"/ $w"}},
      {{"-c", "4294967297", "-f", "$w"}, {}, {}, {"/ $w"}},
      {{"-c", " \t+2x", "-f", "$w"}, {}, {}, {"/ $w"}, 1, 3},
      {{"-c5", "2", "-f", "$w"}, {}, {}, {"/ $w"}, 1, 3},
      {{"-f", "$m", "-f", "$w", "-c", "1"}, {}, {}, {"/ $w"}, 1, 2},
      {{"-c", "1", "-f", "$w", "-f"}, {}, {}, {"/ $w"}, 1, 2},
      // a budget of 0, or no watched file, turns the staleness probe off
      {{"-c", "0", "-f", "$w"}, {}, {}, {"/"}}, {{"-c", "abc", "-f", "$m"}, {}, {}, {"/"}},
      {{"-c", "1", "-c", "0", "-f", "$w"}, {}, {}, {"/"}}, {{"-f", "$w", "-c"}, {}, {}, {"/"}},
      {{"-c", "1"}, {}, {}, {"/"}},
      // a failed daemonising fork leaves the started process as the daemon
      {{}, {"SHIM_FAIL_FORK_AT=1"}, {}, {"/"}, no_daemon, limit, 99},
      {{"$a", "$b"}, {"SHIM_FAIL_FORK_AT=1", "SHIM_UNLINK=$b"}, {"$a", "$b"}, {"$a", "$b"},
       no_daemon, 2, 1},
      // a failed probe fork, or a wait that does not return the probe
      // child, ends the daemon in that pass, before its path probe (so no
      // cycle of paths is given)
      {{}, {"SHIM_FAIL_FORK_AT=2"}, {}, {}, 1, 1},
      {{}, {"SHIM_FAIL_FORK_AT=4"}, {}, {}, 1, 3}, {{}, {"SHIM_FAIL_WAITPID_AT=3"}, {}, {}, 1, 3},
  };
  for (const auto& c : cases) {
    Files f;
    Outcome o = run_keeper({.args = f(c.args), .env = ts::cat({f(c.env), {stop_after(limit)}}),
                            .device = c.device, .cwd = f.dir.path});
    std::string where = testing::PrintToString(c.args) + testing::PrintToString(c.env);
    ASSERT_FALSE(o.hung) << where;
    EXPECT_EQ(o.started, c.started) << where;
    EXPECT_EQ(o.daemon, c.daemon) << where;
    ASSERT_EQ(o.passes.size(), c.passes) << where;
    EXPECT_EQ(o.fed, std::string(c.device == Watchdog::none ? 0 : c.passes, '/')) << where;
    EXPECT_EQ(o.output, "") << where;
    EXPECT_EQ(lines_after(o.start_up, "stat "), f(c.vetted)) << where;
    // Every check hands its scratch back: the break ends where it started.
    EXPECT_EQ(break_moved(o.start_up), 0) << where;
    for (size_t i = 0; i < o.passes.size(); ++i) {
      std::string pass = where + " pass " + std::to_string(i + 1), probed;
      for (const auto& p : lines_after(o.passes[i], "stat "))
        probed += (probed.empty() ? "" : " ") + p;
      if (!c.probed.empty()) EXPECT_EQ(probed, f(c.probed[i % c.probed.size()])) << pass;
      EXPECT_EQ(break_moved(o.passes[i]), 0) << pass;
    }
  }
}

// Whichever move of the break fails, or leaves memory that faults when
// touched (a board out of memory: the break moves, the page is not there),
// the keeper ends then and there, at start-up or detached, and feeds no more:
// with status 1, or by the fault.
TEST(WdpulseProbes, EveryFailedOrUnusableBreakMoveEndsTheKeeper) {
  REQUIRE_ENV(ts::adopt_daemons(), "root and unshare");
  constexpr int limit = 6;
  for (std::string fault : {"SHIM_FAIL_BRK_AT=", "SHIM_SPOIL_BRK_AT="}) {
    // The start-up's check of one path and each pass's probes move it.
    for (int n = 1; n <= 10; ++n) {
      Files f;
      const std::string where = fault + std::to_string(n);
      Outcome o = run_keeper({.args = {f("$a")}, .env = {where, stop_after(limit)}});
      ASSERT_FALSE(o.hung) << where;
      int ended = o.daemon == no_daemon ? o.started : o.daemon;
      EXPECT_EQ(ended, fault == "SHIM_FAIL_BRK_AT=" ? 1 : -1) << where;
      EXPECT_LT(o.passes.size(), static_cast<size_t>(limit)) << where;
      EXPECT_EQ(o.fed, std::string(o.passes.size(), '/')) << where;
      EXPECT_EQ(o.output, "") << where;
    }
  }
}

// Sixty passes against a device that keeps failing (writes failing for a
// while or for good, the device missing, or found at its second path):
// it is opened on the first pass and after each failed write only, every
// pass still runs every probe, and the bytes the device gets are exactly
// those of the writes that worked before the failed check (path b, removed
// after pass 59, on its turn in pass 60) ended it.
TEST(WdpulseFeed, ProbesGoOnUnderDeviceFailuresAndNoFeedFollowsAFailedCheck) {
  REQUIRE_ENV(ts::adopt_daemons(), "root and unshare");
  constexpr int last_pass = 60;
  const std::string device = "/dev/watchdog", misc = "/dev/misc/watchdog";
  struct Case {
    const char* name;
    Watchdog device;
    int after, times;  // writes that work first, then failures (-1: for ever)
  } cases[] = {
      {"writes fail for good", Watchdog::standard, 5, -1},
      {"writes fail forty times", Watchdog::standard, 3, 40},
      {"fallback device, writes fail thirty times", Watchdog::misc, 10, 30},
      {"device missing", Watchdog::none, 0, 0},
  };
  for (const auto& c : cases) {
    Files f;
    Strings env = {f("SHIM_UNLINK=$b"), "SHIM_UNLINK_AT=" + std::to_string(last_pass - 1),
                   stop_after(last_pass + 5)};
    if (c.device != Watchdog::none)
      env.insert(env.end(), {"SHIM_FAIL_WRITE_FD=0",
                             "SHIM_FAIL_WRITE_AFTER=" + std::to_string(c.after),
                             "SHIM_FAIL_WRITE_TIMES=" + std::to_string(c.times)});
    Outcome o = run_keeper({.args = f(Strings{"$a", "$b"}), .env = env, .device = c.device});
    ASSERT_FALSE(o.hung) << c.name;
    EXPECT_EQ(o.started, 0) << c.name;
    EXPECT_EQ(o.daemon, 1) << c.name;
    EXPECT_EQ(o.output, "") << c.name;
    ASSERT_EQ(o.passes.size(), static_cast<size_t>(last_pass)) << c.name;
    // Each probe child, the daemon and the started process end through exit().
    EXPECT_EQ(o.library_exits, last_pass + 2) << c.name;
    // Writes after the first c.after fail, c.times of them; the device is
    // opened again on the pass after a failed one.
    bool was_open = false;
    int writes = 0, fed = 0;
    for (int i = 0; i < last_pass; ++i) {
      const Strings& pass = o.passes[static_cast<size_t>(i)];
      std::string where = std::string(c.name) + " pass " + std::to_string(i + 1);
      const Strings opens = was_open                            ? Strings{}
                            : c.device == Watchdog::standard ? Strings{device}
                                                             : Strings{device, misc};
      was_open = c.device != Watchdog::none &&
                 !(++writes > c.after && (c.times < 0 || writes <= c.after + c.times));
      fed += was_open;
      EXPECT_EQ(lines_after(pass, "open "), opens) << where;
      EXPECT_EQ(lines_after(pass, "fork"), Strings{""}) << where;
      EXPECT_EQ(lines_after(pass, "stat "), Strings{f(i % 2 == 0 ? "$a" : "$b")}) << where;
    }
    EXPECT_EQ(o.fed, std::string(static_cast<size_t>(fed), '/')) << c.name;
  }
}

}  // namespace
