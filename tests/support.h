// Helpers for tests that run the real program binaries.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ts {

// Under CI=true a missing facility is a failure, elsewhere a skip.
bool in_ci();
#define REQUIRE_ENV(cond, why)                                  \
  do {                                                          \
    if (!(cond)) {                                              \
      if (::ts::in_ci()) FAIL() << "CI lacks: " << (why);       \
      GTEST_SKIP() << (why);                                    \
    }                                                           \
  } while (0)

// Where the child's standard output goes.
enum class Out {
  pipe,         // a pipe the run reads
  pty,          // a raw pseudo-terminal the run reads
  closed,       // nowhere: descriptor 1 is closed
  reader_gone,  // a pipe whose reader has gone, with SIGPIPE ignored
};

struct RunOpts {
  std::vector<std::string> env;  // "NAME=value", added to the environment
  std::string cwd;               // working directory of the child, if set
  Out out = Out::pipe;
  int timeout_ms = 20000;        // then the child is killed with SIGKILL
};

struct Result {
  int status = -1;  // exit status, or -1 when ended by a signal
  int signal = 0;   // the signal that ended it
  bool timed_out = false;
  std::string out, err;
};

// Runs argv[0] (a path) with argv, standard input from /dev/null; collects
// both output streams until the child exits.
Result run(const std::vector<std::string>& argv, const RunOpts& opts = {});

// Starts argv[0] (a path) with argv, standard input from /dev/null and
// standard output on out_fd, and returns at once: its id, or -1.
pid_t start(const std::vector<std::string>& argv, int out_fd);

// argv for running a program in a private mount namespace whose
// /proc/net/dev is the file "dev" in dir; env entries are set for the
// program alone (not for the shell and mount tools in between).
std::vector<std::string> with_net_fixture(const std::string& dir,
                                          const std::vector<std::string>& env,
                                          const std::vector<std::string>& argv);

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

// "LD_PRELOAD=<shim>" for the environment of a program under test.
std::string shim_env();

bool is_root();

// Once per process: makes this process a child subreaper (a detached daemon
// it starts is re-parented to it) in a private mount namespace whose /dev is
// a fresh tmpfs holding only a null device, so a watchdog stand-in can be
// put there without touching the machine's /dev.  False when that cannot be
// done (not root, or no namespaces).
bool private_dev();
bool have_command(const std::string& name);

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
std::vector<std::string> lines_of(const std::string& text);
int count_of(const std::string& text, const std::string& needle);

}  // namespace ts
