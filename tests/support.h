// Helpers for tests that run the real program binaries.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace ts {

using Strings = std::vector<std::string>;

// Under CI=true a missing facility is a failure, elsewhere a skip.
bool in_ci();
#define REQUIRE_ENV(cond, why)                            \
  do {                                                    \
    if (!(cond)) {                                        \
      if (::ts::in_ci()) FAIL() << "CI lacks: " << (why); \
      GTEST_SKIP() << (why);                              \
    }                                                     \
  } while (0)

// Where the child's standard output goes.
enum class Out {
  pipe,         // a pipe the run reads
  pty,          // a raw pseudo-terminal the run reads
  closed,       // nowhere: descriptor 1 is closed
  reader_gone,  // a pipe whose reader has gone (SIGPIPE as the caller has it)
};

struct RunOpts {
  Strings env;       // "NAME=value", added to the environment
  std::string cwd;   // working directory of the child, if set
  Out out = Out::pipe;
  bool no_stdin = false;  // descriptor 0 closed, as boot scripts leave it; else /dev/null
  // {ours, theirs}: descriptors handed on at the child's numbers; every
  // other one above 2 is closed in the child.
  std::vector<std::pair<int, int>> hand_on;
};

struct Result {
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the signal that ended it
  bool timed_out = false;
  std::string out, err;
};

// Runs argv[0] (a path) with argv; collects both output streams until the
// child exits, or kills it after 20 s.
Result run(const Strings& argv, const RunOpts& opts = {});
// Starts argv with standard output on out_fd (opts.out aside) and returns
// at once: its id, or -1.
pid_t start(const Strings& argv, int out_fd, const RunOpts& opts = {});
// Waits for the child pid (started or adopted) until timeout_ms, then kills
// it; the status fields of the result are set.
Result wait_for(pid_t pid, int timeout_ms);
// What fd holds up to its end (or, when it would block, for now); closes it.
std::string read_all(int fd);
// Polls pred until it holds (true) or timeout_ms have passed (false).
bool eventually(const std::function<bool()>& pred, int timeout_ms = 10000);

// The lists one after another.
Strings cat(std::initializer_list<Strings> lists);
// argv for running argv in a mount namespace of its own once the shell
// commands mounts (in which "$1" is dir) ran (tests/with_dev.sh -m); env
// entries are set for argv alone, not for the shell and mount tools between.
Strings with_mounts(const std::string& mounts, const std::string& dir, const Strings& env,
                    const Strings& argv);
// argv for running argv in a mount namespace of its own whose /proc/net/dev
// is the file "dev" in dir (tests/with_net.sh); env entries as above.
Strings with_net_fixture(const std::string& dir, const Strings& env, const Strings& argv);

// The kernel's interface statistics text (/proc/net/dev): an interface
// with the counters a report uses; the others are 0.
struct Iface {
  std::string name;
  uint64_t rx_bytes = 0, rx_packets = 0, tx_bytes = 0, tx_packets = 0;
};
// Its two heading lines.
extern const std::string stats_headings;
// One interface's line, laid out as the kernel lays it out.
std::string stats_line(const Iface& iface);
// The headings, then a line per interface.
std::string stats_text(const std::vector<Iface>& ifaces);
// n interfaces eth0, eth1, ... as busy ones stand at pass k: each counter
// moves on by its own amount every pass.
std::vector<Iface> busy_ifaces(int n, uint64_t k = 0);

// "LD_PRELOAD=<shim>" for the environment of a program under test.
std::string shim_env();

bool is_root();
bool have_command(const std::string& name);
// Root, and unshare makes a mount namespace: the fixtures can be laid out.
bool can_unshare();

// Makes this process a child subreaper, so that a daemon it starts is
// re-parented to it; false unless with_dev can work as well.
bool adopt_daemons();
// Reaps every adopted child that has ended.
void reap_adopted();

// Where a watchdog stand-in (a FIFO) sits in a /dev made by make_dev.
enum class Watchdog { standard, misc, none };
// Makes dir, emptied of any earlier stand-in, a /dev for with_dev with a
// FIFO at watchdog or misc/watchdog (or none); returns a reader of it that
// keeps every byte written, or -1.
int make_dev(const std::string& dir, Watchdog where);
// argv for running argv in a mount namespace of its own whose /dev is dir
// (tests/with_dev.sh); env entries are set for argv alone.
Strings with_dev(const std::string& dir, const Strings& env, const Strings& argv);

// A fresh directory under /tmp, removed with its contents when it goes.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
};

void write_file(const std::string& path, const std::string& data);
std::string read_file(const std::string& path);
// Stamps path (a link itself, not what it names) in 2040, later than a
// 32-bit time can say; true when done.
bool stamp_in_2040(const std::string& path);
// What the symbolic link at path holds, "" when it is none.
std::string link_text(const std::string& path);
Strings lines_of(const std::string& text);
int count_of(const std::string& text, const std::string& needle);

}  // namespace ts
