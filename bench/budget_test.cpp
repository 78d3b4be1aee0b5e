// The exact budgets of a steady pass of each long-running program: its
// system calls, counted with strace, and its allocations, logged by the test
// shim.  The shim's sleep is a real 1 ms nanosleep, the call the program's
// own sleep makes, and it makes no call of its own while SHIM_LOG is unset:
// what strace sees between two sleeps is the pass alone.  The first pass
// (it carries start-up) and the cut-off last one are left out.  Each figure
// is printed as a "syscalls" or "allocs" line for bench/run's table.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

using ts::Strings;
using Calls = std::map<std::string, int>;

constexpr int passes = 6;  // so passes 2 to 5 are steady
// A count left to the program, which may differ from pass to pass: the
// kernel's text comes in pieces of its choosing, and a screen on a pipe is
// handed over whenever the stream's buffer is full.
constexpr int any = -1;
const std::string strace = "/usr/bin/strace";

// One name per call whatever the architecture or C library calls it.
std::string folded(const std::string& name) {
  static const std::map<std::string, std::string> fold = {
      {"openat", "open"},   {"newfstatat", "stat"}, {"fstatat64", "stat"}, {"stat64", "stat"},
      {"statx", "stat"},    {"clone", "fork"},      {"clone3", "fork"},     {"wait4", "wait"},
      {"waitid", "wait"},   {"nanosleep", "sleep"}, {"clock_nanosleep", "sleep"},
      {"clock_nanosleep_time64", "sleep"},          {"_llseek", "lseek"}};
  auto it = fold.find(name);
  return it == fold.end() ? name : it->second;
}

struct Trace {
  std::vector<Calls> steady;  // per steady pass of the process that sleeps
  int exit_status = -1;       // that process's
  int others_failed = 0;      // the others (wrappers, probe children) not ending with 0
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
    if (all.size() < 2) {  // not the process that runs the passes
      t.others_failed += exits.count(pid) == 0 || exits[pid] != 0;
      continue;
    }
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
  ts::Result r = ts::run(ts::cat({{strace, "-f", "-o", log}, argv}));
  EXPECT_FALSE(r.timed_out) << r.err;
  ts::reap_adopted();
  return ts::read_file(log);
}

// What a row runs: flowtally over fixture text with n interfaces, or over
// the kernel's own text with n veth pairs; wdpulse with its device.
enum class Where { text, veth, watchdog, misc_watchdog, no_watchdog };

struct Row {
  const char* name;
  Where where;
  int n;
  Strings args;
  Calls pass;
};

Strings command(const Row& r, const std::string& dir, const Strings& env) {
  const bool keeper = r.where != Where::text && r.where != Where::veth;
  const Strings argv = ts::cat({{keeper ? WDPULSE_BIN : FLOWTALLY_BIN}, r.args});
  if (r.where == Where::text) {
    mkdir((dir + "/net").c_str(), 0755);
    ts::write_file(dir + "/net/dev", ts::stats_text(ts::busy_ifaces(r.n)));
    return ts::with_net_fixture(dir + "/net", env, argv);
  }
  if (r.where == Where::veth)
    return ts::cat({{"/usr/bin/unshare", "--net", "/bin/sh", "-c",
                     "for i in $(seq $0); do ip link add va$i type veth peer name vb$i || exit 1; "
                     "done && exec /usr/bin/env \"$@\"",
                     std::to_string(r.n)},
                    env, argv});
  close(ts::make_dev(dir + "/dev", r.where == Where::watchdog        ? ts::Watchdog::standard
                                   : r.where == Where::misc_watchdog ? ts::Watchdog::misc
                                                                     : ts::Watchdog::none));
  return ts::with_dev(dir + "/dev", env, argv);
}

// Calls per pass, the mean of the passes given.
std::string show(const std::vector<Calls>& passes) {
  std::map<std::string, double> sum;
  for (const auto& pass : passes)
    for (const auto& [name, n] : pass) sum[name] += n == any ? 0 : n;
  std::string s;
  char figure[32];
  for (const auto& [name, n] : sum) {
    double mean = n / static_cast<double>(passes.size());
    snprintf(figure, sizeof figure, mean == static_cast<int>(mean) ? "%.0f" : "%.1f", mean);
    auto first = passes[0].find(name);
    bool open = first != passes[0].end() && first->second == any;
    s += (s.empty() ? "" : ", ") + name + " " + (open ? "(any)" : figure);
  }
  return s;
}

// The pass's calls but those whose count the budget leaves open.
Calls budgeted(Calls pass, const Calls& budget) {
  for (const auto& [name, n] : budget)
    if (n == any) pass.erase(name);
  return pass;
}

TEST(Budget, SteadyPassesMakeTheBudgetedCallsAndNoAllocation) {
  REQUIRE_ENV(ts::adopt_daemons() && ts::have_command(strace) && ts::have_command("ip"),
              "root, unshare, strace and ip");
  ts::TempDir files;
  for (const char* f : {"a", "b", "w"}) ts::write_file(files.path + "/" + f, "x");
  const std::string a = files.path + "/a", b = files.path + "/b", w = files.path + "/w";
  const std::string log = files.path + "/shim.log";
  const Strings shim = {ts::shim_env(), "SHIM_SLEEP_MS=1",
                        "SHIM_STOP_AFTER_SLEEPS=" + std::to_string(passes)};

  const Calls keeper = {{"write", 1}, {"brk", 4},  {"fork", 1},
                        {"wait", 1},  {"stat", 1}, {"sleep", 1}};
  Calls watched = keeper;
  watched["stat"] = 2;
  Calls unfed = watched;
  unfed.erase("write");
  unfed["open"] = 2;
  // flowtally's pass: reads and writes as given, one rewind, one sleep.
  auto flow = [](int reads, int writes) {
    return Calls{{"read", reads}, {"lseek", 1}, {"write", writes}, {"sleep", 1}};
  };
  // The text's room, 99 of the longest lines, takes all 99 lines of the
  // fixture in one read; the 99th line ends the pass before the end of file
  // is met.  Each pass still rewinds the file, for the next to read it
  // afresh from its start.
  const Row rows[] = {
      {"flowtally -l, 99 lines", Where::text, 97, {"-l", "1"}, flow(1, 1)},
      {"flowtally -l -i eth1, 4 lines", Where::text, 2, {"-l", "-i", "eth1"}, flow(2, 1)},
      {"flowtally screen, 99 lines", Where::text, 97, {"1"}, flow(1, any)},
      {"flowtally -l, the kernel's 99 lines (veth)", Where::veth, 48, {"-l", "1"}, flow(any, 1)},
      {"wdpulse, no paths", Where::watchdog, 0, {}, keeper},
      {"wdpulse -c -f w a b", Where::watchdog, 0, {"-c", "1000", "-f", w, a, b}, watched},
      {"wdpulse, device at its second path", Where::misc_watchdog, 0, {"-c", "1000", "-f", w, a},
       watched},
      {"wdpulse, no device", Where::no_watchdog, 0, {"-c", "1000", "-f", w, a}, unfed},
  };
  int seen_at_start = 0;
  for (const auto& r : rows) {
    Trace t = parse(traced(command(r, files.path, shim)));
    EXPECT_EQ(t.exit_status, 99) << r.name << ": the run did not end as scripted";
    // The keeper's probe children among them end with status 0.
    EXPECT_EQ(t.others_failed, 0) << r.name;
    ASSERT_EQ(t.steady.size(), static_cast<size_t>(passes - 2)) << r.name;
    for (size_t i = 0; i < t.steady.size(); ++i)
      EXPECT_EQ(budgeted(t.steady[i], r.pass), budgeted(r.pass, r.pass))
          << r.name << ", pass " << i + 2 << ": " << show({t.steady[i]});
    printf("syscalls\t%s\t%s\t%s\n", r.name, show(t.steady).c_str(), show({r.pass}).c_str());

    unlink(log.c_str());
    traced(command(r, files.path, ts::cat({shim, {"SHIM_LOG=" + log}})));
    std::string events = ts::read_file(log);
    size_t first_sleep = events.find("sleep ");
    ASSERT_NE(first_sleep, std::string::npos) << r.name;
    EXPECT_EQ(ts::count_of(events, "sleep "), passes) << r.name;
    // "malloc", "calloc" and "realloc" lines alike.
    int at_start = ts::count_of(events.substr(0, first_sleep), "alloc\n");
    int later = ts::count_of(events.substr(first_sleep), "alloc\n");
    const bool is_keeper = std::string(r.name).rfind("wdpulse", 0) == 0;
    EXPECT_EQ(later, 0) << r.name << ":\n" << events;
    if (is_keeper) EXPECT_EQ(at_start, 0) << r.name << ":\n" << events;
    seen_at_start += at_start;
    printf("allocs\t%s\t%d up to the first sleep, %d after\t%s\n", r.name, at_start, later,
           is_keeper ? "none" : "none after start-up");
  }
  // flowtally's filter list is allocated at start-up: had the shim seen no
  // allocation at all, the checks above could never fail.
  EXPECT_GT(seen_at_start, 0);
}

}  // namespace
