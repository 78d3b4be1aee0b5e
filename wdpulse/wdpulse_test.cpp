// End-to-end tests of the real wdpulse binary.  Each test process owns a
// mount namespace with a tmpfs over /dev, where a FIFO stands in for the
// watchdog; the process is a child subreaper, so the detached daemon is
// re-parented to it and its exit status can be collected.  The preload shim
// shortens the one-second sleep, logs the daemon's fork, brk, open and stat
// calls, and injects failures.
#include <dirent.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

using Strings = std::vector<std::string>;

constexpr int wait_limit_ms = 10000;
constexpr const char* device_path = "/dev/watchdog";
constexpr const char* misc_path = "/dev/misc/watchdog";
const std::string record = std::to_string(sizeof(struct stat));
// How one pass moves the break: the heap probe, then the path check.
const Strings pass_moves = {"4096", "-4096", record, "-" + record};

void pause_ms(int ms) {
  timespec t = {0, ms * 1000000L};
  nanosleep(&t, nullptr);
}

// Exit status, or -1 when a signal ended it; a process that outlives the
// limit is killed and counted as a failure.
int wait_status(pid_t pid) {
  int st = 0;
  for (int waited = 0; waitpid(pid, &st, WNOHANG) == 0; waited += 2) {
    if (waited >= wait_limit_ms) {
      ADD_FAILURE() << "process " << pid << " still running";
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      break;
    }
    pause_ms(2);
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

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

std::string link_of(const std::string& path) {
  char target[4096];
  ssize_t n = readlink(path.c_str(), target, sizeof target);
  return std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
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

std::string drain(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  if (fd >= 0) close(fd);
  return s;
}

enum class Device { standard, misc, none };

// The stand-in for this run, with a reader that keeps every keep-alive byte.
int make_device(Device d) {
  unlink(device_path);
  unlink(misc_path);
  rmdir("/dev/misc");
  if (d == Device::none) return -1;
  const char* path = d == Device::standard ? device_path : misc_path;
  if (d == Device::misc) mkdir("/dev/misc", 0755);
  if (mkfifo(path, 0600) != 0) ADD_FAILURE() << "mkfifo " << path;
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

struct Launch {
  Strings args;
  Strings env;  // shim settings
  Device device = Device::standard;
  std::string cwd = "/";
  bool ignore_sigchld = false;
  bool leave_pipe_and_lock = false;  // on descriptors 3 and 9
  bool old_kernel = false;           // no close_range
  bool hold = false;  // look at the daemon in its first sleep, then kill it
};

struct Outcome {
  int started = -1;  // what the caller sees
  bool adopted = false;
  int daemon = -1;  // the detached daemon's status
  std::string fed;  // keep-alive bytes the stand-in received
  std::string output;
  int library_exits = 0;        // processes that ended through exit()
  Strings start_up;             // shim log lines before the daemonising fork
  Strings vetted;               // the paths stat'ed among them
  std::vector<Strings> passes;  // shim log lines of each pass begun
  // Seen while held:
  Strings fds;
  std::string cwd, cmdline;
  bool session_leader = false;
  unsigned long long ignored_signals = 0;
  bool pipe_ended = false;  // the launcher's pipe has no writer left
  bool lock_free = false;   // the launcher's lock can be taken
};

Strings lines_after(const Strings& lines, const std::string& prefix) {
  Strings v;
  for (const auto& l : lines)
    if (l.rfind(prefix, 0) == 0) v.push_back(l.substr(prefix.size()));
  return v;
}

// The first "fork" is the daemonising one; every "sleep" ends a pass.
void split_log(const Strings& log, Outcome& o) {
  bool daemon = false;
  for (const auto& line : log) {
    EXPECT_TRUE(line != "malloc" && line != "calloc" && line != "realloc") << "allocator called";
    if (line == "exit") {
      ++o.library_exits;
    } else if (!daemon) {
      if (line == "fork") {
        daemon = true;
        o.passes.emplace_back();
      } else {
        o.start_up.push_back(line);
      }
    } else if (line.rfind("sleep", 0) == 0) {
      // Sleeping longer could outlast the watchdog's timeout.
      EXPECT_EQ(line, "sleep 1");
      o.passes.emplace_back();
    } else {
      o.passes.back().push_back(line);
    }
  }
  if (!o.passes.empty() && o.passes.back().empty()) o.passes.pop_back();
  o.vetted = lines_after(o.start_up, "stat ");
}

bool log_has_sleep(const std::string& path) {
  for (int waited = 0; waited < wait_limit_ms; waited += 5) {
    if (ts::read_file(path).find("sleep") != std::string::npos) return true;
    pause_ms(5);
  }
  return false;
}

void inspect(pid_t pid, Outcome& o) {
  std::string dir = "/proc/" + std::to_string(pid);
  if (DIR* d = opendir((dir + "/fd").c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.')
        o.fds.push_back(e->d_name + (" " + link_of(dir + "/fd/" + e->d_name)));
    closedir(d);
  }
  o.cwd = link_of(dir + "/cwd");
  o.cmdline = ts::read_file(dir + "/cmdline");
  o.session_leader = stat_field(pid, 6) == pid;
  std::string status = ts::read_file(dir + "/status");
  size_t at = status.find("SigIgn:");
  if (at != std::string::npos) o.ignored_signals = std::stoull(status.substr(at + 7), nullptr, 16);
}

// close_range fails with ENOSYS from here on, as on kernels before 5.9.
bool without_close_range() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog = {static_cast<unsigned short>(std::size(code)), code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0 &&
         close_range(1000, 1000, 0) == -1 && errno == ENOSYS;
}

// What a boot script may leave open for the keeper: the write end of a pipe
// someone reads, on 3, and a lock it holds, on 9.
bool leave_pipe_and_lock(int pipe_end, const std::string& lock) {
  if (dup2(pipe_end, 3) != 3 || fcntl(3, F_SETFD, 0) != 0) return false;
  close_range(4, ~0U, 0);
  int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
  return fd >= 0 && flock(fd, LOCK_EX) == 0 && dup2(fd, 9) == 9 && close(fd) == 0;
}

Outcome run_keeper(const Launch& l) {
  Outcome o;
  ts::TempDir tmp;
  const std::string log = tmp.path + "/shim.log", lock = tmp.path + "/boot.lock";
  int device = make_device(l.device);
  int out[2], left[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
  if (l.leave_pipe_and_lock && pipe2(left, O_CLOEXEC | O_NONBLOCK) != 0) ADD_FAILURE() << "pipe";
  Strings args = {WDPULSE_BIN}, env = {ts::shim_env(), "SHIM_LOG=" + log, "SHIM_LOG_DETAIL=1"};
  args.insert(args.end(), l.args.begin(), l.args.end());
  env.insert(env.end(), l.env.begin(), l.env.end());
  if (l.hold) env.push_back("SHIM_SLEEP_MS=60000");
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    // Nothing else of ours should reach the daemon's descriptor table.
    if (!l.leave_pipe_and_lock)
      close_range(3, ~0U, 0);
    else if (!leave_pipe_and_lock(left[1], lock))
      _exit(125);
    if (l.old_kernel && !without_close_range()) _exit(125);
    if (chdir(l.cwd.c_str()) != 0) _exit(126);
    if (l.ignore_sigchld) signal(SIGCHLD, SIG_IGN);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  if (left[1] >= 0) close(left[1]);
  o.started = wait_status(pid);
  pid_t daemon = adopted_child();
  o.adopted = daemon > 0;
  if (o.adopted) {
    if (l.hold) {
      EXPECT_TRUE(log_has_sleep(log)) << "the daemon never reached its first sleep";
      inspect(daemon, o);
      char c;
      o.pipe_ended = left[0] >= 0 && read(left[0], &c, 1) == 0;
      int fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
      o.lock_free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
      if (fd >= 0) close(fd);
      kill(daemon, SIGKILL);
    }
    o.daemon = wait_status(daemon);
  }
  // A probe child left behind by a killed daemon comes to us as well.
  for (pid_t stray; (stray = adopted_child()) > 0;) wait_status(stray);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  o.output = drain(out[0]);
  o.fed = drain(device);
  if (left[0] >= 0) close(left[0]);
  split_log(ts::lines_of(ts::read_file(log)), o);
  return o;
}

// Placeholders in test tables, alone or after "NAME=": "$a".."$c" existing
// files, "$m"/"$n" missing ones, "$w" the watched file, all in the test's
// own directory.
struct Files {
  Files() {
    for (const char* f : {"a", "b", "c", "w"}) ts::write_file(dir.path + "/" + f, "x");
  }
  std::string operator()(const std::string& s) const {
    size_t n = s.size();
    bool placeholder = n >= 2 && s[n - 2] == '$' && (n == 2 || s[n - 3] == '=');
    return placeholder ? s.substr(0, n - 2) + dir.path + "/" + s[n - 1] : s;
  }
  Strings operator()(const Strings& v) const {
    Strings r;
    for (const auto& s : v) r.push_back((*this)(s));
    return r;
  }
  ts::TempDir dir;
};

std::string stop_after(int passes) { return "SHIM_STOP_AFTER_SLEEPS=" + std::to_string(passes); }

TEST(WdpulseFeed, WritesOneSlashEachPassAndReopensOnlyWhenNeeded) {
  REQUIRE_ENV(ts::private_dev(), "root and a private mount namespace");
  const Strings std_open = {device_path}, both_open = {device_path, misc_path};
  struct Case {
    const char* name;
    Device device;
    Strings env;
    std::string fed;
    std::vector<Strings> opens;  // per pass
  } cases[] = {
      {"kept open", Device::standard, {}, "////", {std_open, {}, {}, {}}},
      {"fallback path", Device::misc, {}, "////", {both_open, {}, {}, {}}},
      {"missing device retried",
       Device::none,
       {},
       "",
       {both_open, both_open, both_open, both_open}},
      {"failed write reopens",
       Device::standard,
       {"SHIM_FAIL_WRITE_FD=0", "SHIM_FAIL_WRITE_AFTER=1", "SHIM_FAIL_WRITE_TIMES=1"},
       "///",
       {std_open, {}, std_open, {}}},
  };
  for (const auto& c : cases) {
    Launch l;
    l.device = c.device;
    l.env = c.env;
    l.env.push_back(stop_after(4));
    Outcome o = run_keeper(l);
    EXPECT_EQ(o.started, 0) << c.name;
    EXPECT_TRUE(o.adopted) << c.name;
    EXPECT_EQ(o.daemon, 99) << c.name;
    EXPECT_EQ(o.fed, c.fed) << c.name;
    EXPECT_EQ(o.output, "") << c.name;
    ASSERT_EQ(o.passes.size(), c.opens.size()) << c.name;
    // Each probe child, the daemon and the started process end through exit().
    EXPECT_EQ(o.library_exits, static_cast<int>(o.passes.size()) + 2) << c.name;
    for (size_t i = 0; i < o.passes.size(); ++i) {
      EXPECT_EQ(lines_after(o.passes[i], "open "), c.opens[i]) << c.name << " pass " << i + 1;
      // The probes run whether or not the device was fed.
      EXPECT_EQ(lines_after(o.passes[i], "fork"), Strings{""}) << c.name << " pass " << i + 1;
      EXPECT_EQ(lines_after(o.passes[i], "brk "), pass_moves) << c.name << " pass " << i + 1;
      EXPECT_EQ(lines_after(o.passes[i], "stat "), Strings{"/"}) << c.name << " pass " << i + 1;
    }
  }
}

TEST(WdpulseDetach, DeviceIsDescriptorZeroInANewSessionAtRoot) {
  REQUIRE_ENV(ts::private_dev(), "root and a private mount namespace");
  Files f;
  Launch l;
  l.cwd = f.dir.path;
  l.hold = true;
  Outcome o = run_keeper(l);
  EXPECT_EQ(o.started, 0);
  ASSERT_TRUE(o.adopted);
  EXPECT_EQ(o.fds, Strings{"0 /dev/watchdog"});
  EXPECT_EQ(o.cwd, "/");
  EXPECT_TRUE(o.session_leader);
  // Nothing is left ignored: no hangup once detached, no lost children.
  EXPECT_EQ(o.ignored_signals, 0U);
  EXPECT_EQ(o.fed, "/");
  EXPECT_EQ(o.output, "");
}

TEST(WdpulseVetting, RejectedArgumentsAreMarkedInPlace) {
  REQUIRE_ENV(ts::private_dev(), "root and a private mount namespace");
  Files f;
  ts::write_file(f.dir.path + "/only-here", "");
  struct Case {
    Strings args, cmdline;  // the arguments as the system shows them afterwards
  } cases[] = {
      {{"$m", "$a"}, {"!" + f("$m").substr(1), f("$a")}},
      {{"$a", "$m", "$n"}, {f("$a"), "!" + f("$m").substr(1), "!" + f("$n").substr(1)}},
      // an empty argument is dropped but has no byte to mark
      {{"", "$a"}, {"", f("$a")}},
      // relative paths are vetted from "/", not from the caller's directory
      {{"only-here", "tmp"}, {"!nly-here", "tmp"}},
      {{"--", "-m"}, {"--", "!m"}},
      // option values are not paths: a missing watched file is not marked
      {{"-f", "$m", "-c5", "$n"}, {"-f", f("$m"), "-c5", f("$n")}},
  };
  for (const auto& c : cases) {
    Launch l;
    l.args = f(c.args);
    l.cwd = f.dir.path;
    l.hold = true;
    Outcome o = run_keeper(l);
    std::string want = std::string(WDPULSE_BIN) + '\0';
    for (const auto& a : c.cmdline) want += a + '\0';
    EXPECT_EQ(o.cmdline, want) << testing::PrintToString(c.args);
  }
}

TEST(WdpulseProbes, VettingOrderAndRotationOfProbePaths) {
  REQUIRE_ENV(ts::private_dev(), "root and a private mount namespace");
  Files f;
  ts::write_file(f.dir.path + "/rel", "");
  struct Case {
    Strings args, vetted, probed;  // probed: one path for each of four passes
  } cases[] = {
      {{}, {}, {"/", "/", "/", "/"}},
      {{"$a", "$b", "$c"}, {"$a", "$b", "$c"}, {"$a", "$b", "$c", "$a"}},
      {{"$m", "$b", "$c"}, {"$m", "$c", "$b"}, {"$c", "$b", "$c", "$b"}},
      {{"$a", "$m", "$c"}, {"$a", "$m", "$c"}, {"$a", "$c", "$a", "$c"}},
      {{"$m", "$n", "$c"}, {"$m", "$c", "$n"}, {"$c", "$c", "$c", "$c"}},
      {{"$m", "$n"}, {"$m", "$n"}, {"/", "/", "/", "/"}},
      {{"rel", "etc"}, {"rel", "etc"}, {"etc", "etc", "etc", "etc"}},
      {{"--", "-x", "$a"}, {"-x", "$a"}, {"$a", "$a", "$a", "$a"}},
      {{"--x", "-y", "$a"}, {"-y", "$a"}, {"$a", "$a", "$a", "$a"}},
      {{"-", "-q", "$a"}, {"$a"}, {"$a", "$a", "$a", "$a"}},
      {{"$a", "-c", "1"}, {"$a", "-c", "1"}, {"$a", "$a", "$a", "$a"}},
      {{"-c5", "$b", "$a"}, {"$a"}, {"$a", "$a", "$a", "$a"}},
      {{"-c"}, {}, {"/", "/", "/", "/"}},
      {{"-f"}, {}, {"/", "/", "/", "/"}},
  };
  for (const auto& c : cases) {
    Launch l;
    l.args = f(c.args);
    l.cwd = f.dir.path;
    l.env = {stop_after(4)};
    Outcome o = run_keeper(l);
    std::string where = testing::PrintToString(c.args);
    EXPECT_EQ(o.started, 0) << where;
    EXPECT_EQ(o.daemon, 99) << where;
    EXPECT_EQ(o.vetted, f(c.vetted)) << where;
    // Every check hands its scratch back: the break ends where it started.
    Strings vet_moves;
    for (size_t i = 0; i < c.vetted.size(); ++i)
      vet_moves.insert(vet_moves.end(), {record, "-" + record});
    EXPECT_EQ(lines_after(o.start_up, "brk "), vet_moves) << where;
    Strings probed;
    for (const auto& pass : o.passes) {
      EXPECT_EQ(lines_after(pass, "brk "), pass_moves) << where;
      Strings s = lines_after(pass, "stat ");
      probed.push_back(s.size() == 1 ? s[0] : "(" + std::to_string(s.size()) + " stats)");
    }
    EXPECT_EQ(probed, f(c.probed)) << where;
  }
}

TEST(WdpulseProbes, PathRemovedAfterStartUpEndsItOnItsTurn) {
  REQUIRE_ENV(ts::private_dev(), "root and a private mount namespace");
  struct Case {
    std::string removed;
    Device device;
    size_t last_pass;
  } cases[] = {
      {"$b", Device::standard, 2},
      {"$c", Device::standard, 3},
      {"$a", Device::standard, 4},
      {"$c", Device::none, 3},
  };
  for (const auto& c : cases) {
    Files f;
    Launch l;
    l.args = f(Strings{"$a", "$b", "$c"});
    l.device = c.device;
    l.env = {f("SHIM_UNLINK=" + c.removed), "SHIM_UNLINK_AT=1", stop_after(8)};
    Outcome o = run_keeper(l);
    EXPECT_EQ(o.started, 0) << c.removed;
    EXPECT_EQ(o.daemon, 1) << c.removed;
    EXPECT_EQ(o.passes.size(), c.last_pass) << c.removed;
    EXPECT_EQ(o.fed, std::string(c.device == Device::none ? 0 : c.last_pass, '/')) << c.removed;
  }
}

TEST(WdpulseStaleness, BudgetCountsUnchangedPassesExactly) {
  REQUIRE_ENV(ts::private_dev(), "root and a private mount namespace");
  constexpr int limit = 8;
  struct Case {
    Strings args;
    Strings env;
    int status;
    size_t passes;
    bool watching;  // the watched file is examined each pass
  } cases[] = {
      {{"-c", "1", "-f", "$w"}, {}, 1, 2, true},
      {{"-c", "3", "-f", "$w"}, {}, 1, 4, true},
      {{"-c", "3", "-f", "$m"}, {}, 1, 3, true},
      {{"-c", "1", "-f", "$m"}, {}, 1, 1, true},
      {{"-c", "1", "-f", "$w"}, {"SHIM_TOUCH=$w"}, 99, limit, true},
      {{"-c", "2", "-f", "$w"}, {"SHIM_TOUCH=$w"}, 99, limit, true},
      // a change of its times alone is a change
      {{"-c", "1", "-f", "$w"}, {"SHIM_TOUCH_TIME=$w"}, 99, limit, true},
      // removed before pass 3: that pass counts as a change
      {{"-c", "2", "-f", "$w"}, {"SHIM_UNLINK=$w", "SHIM_UNLINK_AT=2"}, 1, 5, true},
      // relative watched files are looked up from "/"
      {{"-c", "1", "-f", "w"}, {}, 1, 1, true},
      {{"-c", "-1", "-f", "$w"}, {}, 99, limit, true},
      {{"-c", "4294967297", "-f", "$w"}, {}, 99, limit, true},
      {{"-c", " \t+2x", "-f", "$w"}, {}, 1, 3, true},
      {{"-c5", "2", "-f", "$w"}, {}, 1, 3, true},
      {{"-f", "$m", "-f", "$w", "-c", "1"}, {}, 1, 2, true},
      {{"-c", "1", "-f", "$w", "-f"}, {}, 1, 2, true},
      {{"-c", "0", "-f", "$w"}, {}, 99, limit, false},
      {{"-c", "abc", "-f", "$m"}, {}, 99, limit, false},
      {{"-c", "1", "-c", "0", "-f", "$w"}, {}, 99, limit, false},
      {{"-f", "$w", "-c"}, {}, 99, limit, false},
      {{"-c", "1"}, {}, 99, limit, false},
  };
  for (const auto& c : cases) {
    Files f;
    Launch l;
    l.args = f(c.args);
    l.cwd = f.dir.path;
    l.env = f(c.env);
    l.env.push_back(stop_after(limit));
    Outcome o = run_keeper(l);
    std::string where = testing::PrintToString(c.args) + testing::PrintToString(c.env);
    EXPECT_EQ(o.daemon, c.status) << where;
    EXPECT_EQ(o.passes.size(), c.passes) << where;
    EXPECT_EQ(o.fed, std::string(c.passes, '/')) << where;
    for (const auto& pass : o.passes)
      EXPECT_EQ(lines_after(pass, "stat ").size(), c.watching ? 2u : 1u) << where;
  }
}

TEST(WdpulseFailures, ForkAndBrkFailuresEndWithStatusOne) {
  REQUIRE_ENV(ts::private_dev(), "root and a private mount namespace");
  struct Case {
    Strings args, env;
    int started;   // the caller's view
    bool adopted;  // whether a detached daemon existed
    int daemon;
    size_t passes;
  } cases[] = {
      // a failed daemonising fork leaves the started process as the daemon
      {{}, {"SHIM_FAIL_FORK_AT=1"}, 99, false, -1, 3},
      {{"$a", "$b"}, {"SHIM_FAIL_FORK_AT=1", "SHIM_UNLINK=$b"}, 1, false, -1, 2},
      {{}, {"SHIM_FAIL_FORK_AT=2"}, 0, true, 1, 1},
      {{}, {"SHIM_FAIL_FORK_AT=4"}, 0, true, 1, 3},
      // vetting one path moves the break twice, before the fork
      {{"$a"}, {"SHIM_FAIL_BRK_AT=1"}, 1, false, -1, 0},
      {{"$a"}, {"SHIM_FAIL_BRK_AT=2"}, 1, false, -1, 0},
      // then each pass: heap probe up and down, path check up and down
      {{"$a"}, {"SHIM_FAIL_BRK_AT=3"}, 0, true, 1, 1},
      {{"$a"}, {"SHIM_FAIL_BRK_AT=4"}, 0, true, 1, 1},
      {{"$a"}, {"SHIM_FAIL_BRK_AT=5"}, 0, true, 1, 1},
      {{"$a"}, {"SHIM_FAIL_BRK_AT=6"}, 0, true, 1, 1},
      {{"$a"}, {"SHIM_FAIL_BRK_AT=7"}, 0, true, 1, 2},
      {{}, {"SHIM_FAIL_BRK_AT=1"}, 0, true, 1, 1},
  };
  for (const auto& c : cases) {
    Files f;
    Launch l;
    l.args = f(c.args);
    l.env = f(c.env);
    l.env.push_back(stop_after(3));
    Outcome o = run_keeper(l);
    std::string where = testing::PrintToString(c.args) + testing::PrintToString(c.env);
    EXPECT_EQ(o.started, c.started) << where;
    EXPECT_EQ(o.adopted, c.adopted) << where;
    EXPECT_EQ(o.daemon, c.daemon) << where;
    EXPECT_EQ(o.passes.size(), c.passes) << where;
    EXPECT_EQ(o.fed, std::string(c.passes, '/')) << where;
    EXPECT_EQ(o.output, "") << where;
  }
}

// What a launcher leaves behind must neither end a healthy keeper nor be
// kept by it: SIGCHLD ignored (the probe child would be reaped behind
// waitpid's back), a hangup reaching the daemon before it has left the
// caller's session (its parent led a terminal's session and has just
// exited), or descriptors left open (a lock that would never come free, a
// pipe whose reader would never see the end), on kernels with and without
// close_range.  Each is looked at once the daemon has slept after a whole pass.
TEST(WdpulseFailures, SurvivesWhatALauncherLeavesBehind) {
  REQUIRE_ENV(ts::private_dev(), "root and a private mount namespace");
  struct Case {
    const char* name;
    bool ignore_sigchld, leave_pipe_and_lock, old_kernel;
    Strings env;
  } cases[] = {
      {"SIGCHLD ignored", true, false, false, {}},
      {"hangup before its own session", false, false, false, {"SHIM_RAISE_BEFORE_SETSID=1"}},
      {"a pipe and a lock", false, true, false, {}},
      {"a pipe and a lock, no close_range", false, true, true, {}},
  };
  for (const auto& c : cases) {
    Launch l;
    l.ignore_sigchld = c.ignore_sigchld;
    l.leave_pipe_and_lock = c.leave_pipe_and_lock;
    l.old_kernel = c.old_kernel;
    l.env = c.env;
    l.hold = true;
    Outcome o = run_keeper(l);
    EXPECT_EQ(o.started, 0) << c.name;
    ASSERT_TRUE(o.adopted) << c.name;
    EXPECT_EQ(o.passes.size(), 1u) << c.name;
    EXPECT_EQ(o.fed, "/") << c.name;
    EXPECT_EQ(o.fds, Strings{"0 /dev/watchdog"}) << c.name;
    if (c.leave_pipe_and_lock) {
      EXPECT_TRUE(o.pipe_ended) << c.name;
      EXPECT_TRUE(o.lock_free) << c.name;
    }
  }
}

// Sixty passes against a device that keeps failing (writes failing for a
// while or for good, the device missing): every pass still runs every
// probe and reopens the device after each failed write, and the bytes the
// device gets are exactly those of the writes that worked before the failed
// check (path b, removed after pass 59, on its turn in pass 60) ended it.
TEST(WdpulseStress, ProbesGoOnUnderDeviceFailuresAndNoFeedFollowsAFailedCheck) {
  REQUIRE_ENV(ts::private_dev(), "root and a private mount namespace");
  constexpr int last_pass = 60;
  struct Case {
    const char* name;
    Device device;
    int after, times;  // writes that work first, then failures (-1: for ever)
  } cases[] = {
      {"writes fail for good", Device::standard, 5, -1},
      {"writes fail forty times", Device::standard, 3, 40},
      {"fallback device, writes fail thirty times", Device::misc, 10, 30},
      {"device missing", Device::none, 0, 0},
  };
  for (const auto& c : cases) {
    Files f;
    Launch l;
    l.args = f(Strings{"$a", "$b"});
    l.device = c.device;
    l.env = {f("SHIM_UNLINK=$b"), "SHIM_UNLINK_AT=" + std::to_string(last_pass - 1),
             stop_after(last_pass + 5)};
    if (c.device != Device::none)
      l.env.insert(l.env.end(), {"SHIM_FAIL_WRITE_FD=0", "SHIM_FAIL_WRITE_AFTER=" + std::to_string(c.after),
                                 "SHIM_FAIL_WRITE_TIMES=" + std::to_string(c.times)});
    Outcome o = run_keeper(l);
    EXPECT_EQ(o.started, 0) << c.name;
    EXPECT_EQ(o.daemon, 1) << c.name;
    ASSERT_EQ(o.passes.size(), static_cast<size_t>(last_pass)) << c.name;
    // The device is opened on the first pass and after each failed write.
    bool open = false;
    int writes = 0, failures = 0, fed = 0;
    for (int i = 0; i < last_pass; ++i) {
      const Strings& pass = o.passes[static_cast<size_t>(i)];
      std::string where = std::string(c.name) + " pass " + std::to_string(i + 1);
      Strings opens;
      if (c.device == Device::none) {
        opens = {device_path, misc_path};
      } else {
        if (!open) opens = c.device == Device::standard ? Strings{device_path} : Strings{device_path, misc_path};
        open = true;
        if (++writes > c.after && (c.times < 0 || failures < c.times)) {
          ++failures;
          open = false;
        } else {
          ++fed;
        }
      }
      EXPECT_EQ(lines_after(pass, "open "), opens) << where;
      EXPECT_EQ(lines_after(pass, "fork"), Strings{""}) << where;
      EXPECT_EQ(lines_after(pass, "brk "), pass_moves) << where;
      EXPECT_EQ(lines_after(pass, "stat "), Strings{f(i % 2 == 0 ? "$a" : "$b")}) << where;
    }
    EXPECT_EQ(o.fed, std::string(static_cast<size_t>(fed), '/')) << c.name;
  }
}

// The binary imports none of the allocator's functions (a host-side check,
// wdpulse.links_libc_only); here the shim must see allocations when a program
// makes them, or the log check in run_keeper could never fail.  This test
// binary itself allocates.
TEST(WdpulseMemory, ShimSeesAllocationsWhenAProgramMakesThem) {
  ts::TempDir tmp;
  std::string self = link_of("/proc/self/exe");
  ts::Result r = ts::run({self, "--gtest_list_tests"},
                         {{ts::shim_env(), "SHIM_LOG=" + tmp.path + "/log"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_GT(ts::count_of(ts::read_file(tmp.path + "/log"), "malloc\n"), 0);
}

}  // namespace
