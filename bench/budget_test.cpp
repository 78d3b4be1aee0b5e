// The exact budgets of a steady pass: the system calls each long-running
// program makes, counted with strace, and the allocations it asks for,
// logged by the test shim.  The shim shortens each sleep to a real 1 ms
// nanosleep (SHIM_SLEEP_MS=1), the same call the program's own sleep makes,
// and ends the run after a fixed number of passes.  With SHIM_LOG unset the
// shim itself makes no system call, so what strace sees between two sleeps
// is the program's pass alone; the allocation runs set SHIM_LOG and read its
// log instead.  The first pass (it carries start-up) and the cut-off last one
// are left out.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

using Strings = std::vector<std::string>;
using Calls = std::map<std::string, int>;

constexpr int passes = 6;  // so passes 2 to 5 are steady
const std::string strace = "/usr/bin/strace";

// One name per call whatever the architecture or C library calls it.
std::string folded(const std::string& name) {
  static const std::map<std::string, std::string> fold = {
      {"openat", "open"},       {"newfstatat", "stat"},
      {"fstatat64", "stat"},    {"stat64", "stat"},
      {"statx", "stat"},        {"clone", "fork"},
      {"clone3", "fork"},       {"wait4", "wait"},
      {"waitid", "wait"},       {"nanosleep", "sleep"},
      {"clock_nanosleep", "sleep"}, {"clock_nanosleep_time64", "sleep"},
      {"_llseek", "lseek"}};
  auto it = fold.find(name);
  return it == fold.end() ? name : it->second;
}

struct Trace {
  std::vector<Calls> steady;  // per steady pass of the process that sleeps
  int exit_status = -1;       // that process's
};

// Reads "strace -f -o" output: "PID name(args) = result", with calls that
// another process interrupted split into "<unfinished ...>" and
// "<... name resumed>" lines (only the first counts).
Trace parse(const std::string& log) {
  std::map<int, Strings> calls;
  std::map<int, int> exits;
  for (const auto& line : ts::lines_of(log)) {
    std::istringstream in(line);
    int pid = 0;
    std::string rest;
    if (!(in >> pid) || !std::getline(in >> std::ws, rest)) continue;
    int status = 0;
    if (sscanf(rest.c_str(), "+++ exited with %d +++", &status) == 1) exits[pid] = status;
    size_t paren = rest.find('(');
    if (rest.rfind("<...", 0) == 0 || rest.rfind("+++", 0) == 0 || rest.rfind("---", 0) == 0 ||
        paren == std::string::npos)
      continue;
    calls[pid].push_back(folded(rest.substr(0, paren)));
  }
  Trace t;
  for (const auto& [pid, names] : calls) {
    std::vector<Calls> all(1);
    for (const auto& n : names) {
      ++all.back()[n];
      if (n == "sleep") all.emplace_back();
    }
    if (all.size() < 2) continue;  // not the process that runs the passes
    t.steady.assign(all.begin() + 1, all.end() - 1);
    t.exit_status = exits.count(pid) ? exits[pid] : -1;
  }
  return t;
}

// Runs argv under "strace -f", which also waits for every process the run
// starts, a detached daemon included; the exit that matters is read from
// the trace.
std::string traced(const Strings& argv) {
  ts::TempDir dir;
  const std::string log = dir.path + "/strace.log";
  Strings v = {strace, "-f", "-o", log};
  v.insert(v.end(), argv.begin(), argv.end());
  ts::Result r = ts::run(v);
  EXPECT_FALSE(r.timed_out) << r.err;
  return ts::read_file(log);
}

Strings shim(const Strings& extra) {
  Strings env = {"/usr/bin/env", ts::shim_env(), "SHIM_SLEEP_MS=1",
                 "SHIM_STOP_AFTER_SLEEPS=" + std::to_string(passes)};
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

// The kernel's text with n interfaces: two headings and n lines.
std::string stats_text(int n) {
  std::vector<ts::Iface> ifaces;
  for (uint64_t i = 0; i < static_cast<uint64_t>(n); ++i)
    ifaces.push_back({"eth" + std::to_string(i), 1000 * i, i, 2000 * i, 2 * i});
  return ts::stats_text(ifaces);
}

// flowtally over fixture text in its own mount namespace.
Strings flowtally(const std::string& dir, const Strings& env, const Strings& args) {
  Strings argv = {FLOWTALLY_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  Strings e = shim(env);
  return ts::with_net_fixture(dir, Strings(e.begin() + 1, e.end()), argv);
}

void reap_adopted() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

enum class Device { standard, misc, none };

void make_device(Device d) {
  unlink("/dev/watchdog");
  unlink("/dev/misc/watchdog");
  rmdir("/dev/misc");
  if (d == Device::none) return;
  if (d == Device::misc) mkdir("/dev/misc", 0755);
  const char* path = d == Device::standard ? "/dev/watchdog" : "/dev/misc/watchdog";
  // Opened read-write, the daemon is its own reader: writes never block.
  if (mkfifo(path, 0600) != 0) ADD_FAILURE() << "mkfifo " << path;
}

Strings wdpulse(const Strings& env, const Strings& args) {
  Strings argv = shim(env);
  argv.push_back(WDPULSE_BIN);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

bool can_trace() { return ts::private_dev() && ts::have_command(strace); }

std::string show(const Calls& c) {
  std::string s;
  for (const auto& [name, n] : c) s += name + "=" + std::to_string(n) + " ";
  return s;
}

TEST(Budget, SteadyPassMakesExactlyTheBudgetedSystemCalls) {
  REQUIRE_ENV(can_trace(), "root, a private mount namespace and strace");
  ts::TempDir files;
  for (const char* f : {"a", "b", "w"}) ts::write_file(files.path + "/" + f, "x");
  const std::string a = files.path + "/a", b = files.path + "/b", w = files.path + "/w";
  ts::TempDir big, small;
  ts::write_file(big.path + "/dev", stats_text(97));
  ts::write_file(small.path + "/dev", stats_text(2));

  const Calls keeper = {{"write", 1}, {"brk", 4}, {"fork", 1}, {"wait", 1}, {"stat", 1}, {"sleep", 1}};
  Calls watched = keeper;
  watched["stat"] = 2;
  Calls unfed = watched;
  unfed.erase("write");
  unfed["open"] = 2;
  struct Case {
    const char* name;
    Device device;
    Strings argv;
    Calls pass;
  } cases[] = {
      // The 16 KiB stream buffer takes all 99 lines in one read; the 99th
      // line ends the pass before the end of file is met.  The rewind must
      // still make the next pass read: served from the buffer, it would
      // leave every later pass with the counters of the second.
      {"flowtally -l, 99 lines", Device::none, flowtally(big.path, {}, {"-l", "1"}),
       {{"read", 1}, {"lseek", 1}, {"write", 1}, {"sleep", 1}}},
      {"flowtally -l -i, 4 lines", Device::none, flowtally(small.path, {}, {"-l", "-i", "eth1"}),
       {{"read", 2}, {"lseek", 1}, {"write", 1}, {"sleep", 1}}},
      {"wdpulse, no paths", Device::standard, wdpulse({}, {}), keeper},
      {"wdpulse, paths and a watched file", Device::standard,
       wdpulse({}, {"-c", "1000", "-f", w, a, b}), watched},
      {"wdpulse, device at its second path", Device::misc, wdpulse({}, {"-c", "1000", "-f", w, a}),
       watched},
      {"wdpulse, no device", Device::none, wdpulse({}, {"-c", "1000", "-f", w, a}), unfed},
  };
  for (const auto& c : cases) {
    make_device(c.device);
    Trace t = parse(traced(c.argv));
    reap_adopted();
    EXPECT_EQ(t.exit_status, 99) << c.name << ": the run did not end as scripted";
    ASSERT_EQ(t.steady.size(), static_cast<size_t>(passes - 2)) << c.name;
    for (size_t i = 0; i < t.steady.size(); ++i)
      EXPECT_EQ(t.steady[i], c.pass) << c.name << ", pass " << i + 2 << ": " << show(t.steady[i]);
  }
}

TEST(Budget, AllocatorIsLeftAloneInEveryPass) {
  REQUIRE_ENV(can_trace(), "root, a private mount namespace and strace");
  ts::TempDir dir;
  const std::string log = dir.path + "/shim.log", w = dir.path + "/w";
  ts::write_file(dir.path + "/dev", stats_text(97));
  ts::write_file(w, "x");
  const Strings logged = {"SHIM_LOG=" + log};
  struct Case {
    const char* name;
    Strings argv;
    bool start_up_too;  // no allocation before the first sleep either
  } cases[] = {
      {"flowtally -l", flowtally(dir.path, logged, {"-l", "1"}), false},
      {"flowtally screen, two names", flowtally(dir.path, logged, {"-i", "eth3", "-i", "eth9"}),
       false},
      {"wdpulse", wdpulse(logged, {"-c", "1000", "-f", w, w, "/"}), true},
  };
  make_device(Device::standard);
  for (const auto& c : cases) {
    unlink(log.c_str());
    traced(c.argv);
    reap_adopted();
    std::string events = ts::read_file(log);
    size_t first_sleep = events.find("sleep ");
    ASSERT_NE(first_sleep, std::string::npos) << c.name;
    EXPECT_EQ(ts::count_of(events, "sleep "), passes) << c.name;
    std::string counted = c.start_up_too ? events : events.substr(first_sleep);
    // "malloc", "calloc" and "realloc" lines alike.
    EXPECT_EQ(ts::count_of(counted, "alloc\n"), 0)
        << c.name << ":\n" << events;
  }
}

}  // namespace
