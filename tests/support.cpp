#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ts {

bool in_ci() {
  const char* ci = getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

static long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

namespace {

// The caller's environment with the "NAME=value" entries of env added, each
// in place of an entry of the same name.
Strings child_env(const Strings& env) {
  Strings v;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& add : env)
      replaced = replaced || entry.compare(0, add.find('=') + 1, add, 0, add.find('=') + 1) == 0;
    if (!replaced) v.push_back(entry);
  }
  v.insert(v.end(), env.begin(), env.end());
  return v;
}

// Closes in the child every descriptor of ours from first on.  A C library
// without the action for that (glibc before 2.34) is told each one open now.
void close_from(posix_spawn_file_actions_t* fa, int first) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
  posix_spawn_file_actions_addclosefrom_np(fa, first);
#else
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) {
    ADD_FAILURE() << "cannot list /proc/self/fd: " << strerror(errno);
    return;
  }
  for (dirent* e; (e = readdir(d)) != nullptr;) {
    int fd = atoi(e->d_name);
    if (e->d_name[0] != '.' && fd >= first && fd != dirfd(d))
      posix_spawn_file_actions_addclose(fa, fd);
  }
  closedir(d);
#endif
}

// Starts argv (a path first) with standard output on out_fd (closed when
// -1), standard error on err_fd and the descriptors of hand_on; nothing
// else of ours reaches it.  Spawned rather than forked, so that none of the
// test process's own code runs in the child between its creation and exec.
pid_t spawn(const Strings& argv, const RunOpts& opts, int out_fd, int err_fd) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (opts.no_stdin)
    posix_spawn_file_actions_addclose(&fa, 0);
  else
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0)
    posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
  else
    posix_spawn_file_actions_addclose(&fa, 1);
  posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
  int first_closed = 3;
  for (auto [ours, theirs] : opts.hand_on) {
    posix_spawn_file_actions_adddup2(&fa, ours, theirs);
    first_closed = std::max(first_closed, theirs + 1);
  }
  for (int fd = 3; fd < first_closed; ++fd) {
    bool kept = false;
    for (auto fds : opts.hand_on) kept = kept || fds.second == fd;
    if (!kept) posix_spawn_file_actions_addclose(&fa, fd);
  }
  close_from(&fa, first_closed);
  if (!opts.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, opts.cwd.c_str());
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  Strings envs = child_env(opts.env);
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) ADD_FAILURE() << "cannot start " << argv[0] << ": " << strerror(rc);
  return rc == 0 ? pid : -1;
}

}  // namespace

pid_t start(const Strings& argv, int out_fd, const RunOpts& opts) {
  return spawn(argv, opts, out_fd, 2);
}

Result wait_for(pid_t pid, int timeout_ms) {
  Result res;
  int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  pollfd p = {fd, POLLIN, 0};
  if (fd >= 0 && poll(&p, 1, std::max(timeout_ms, 0)) == 0) {
    res.timed_out = true;
    kill(pid, SIGKILL);
  }
  if (fd >= 0) close(fd);
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return res;
  if (WIFEXITED(st)) res.status = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) res.signal = WTERMSIG(st);
  return res;
}

Result run(const Strings& argv, const RunOpts& opts) {
  Result res;
  int out[2] = {-1, -1}, err[2];
  const bool pty = opts.out == Out::pty;
  if ((pty ? openpty(&out[0], &out[1], nullptr, nullptr, nullptr) != 0
           : opts.out != Out::closed && pipe2(out, O_CLOEXEC) != 0) ||
      pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return res;
  }
  termios raw{};
  if (pty && tcgetattr(out[1], &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(out[1], TCSANOW, &raw);
  }
  if (opts.out == Out::reader_gone) {
    close(out[0]);
    out[0] = -1;
  }
  pid_t pid = spawn(argv, opts, out[1], err[1]);
  if (out[1] >= 0) close(out[1]);
  close(err[1]);
  long long deadline = now_ms() + 20000;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&res.out, &res.err};
  int open_fds = pid < 0 ? 0 : out[0] >= 0 ? 2 : 1;
  while (open_fds > 0) {
    long long left = deadline - now_ms();
    if (left <= 0 || poll(fds, 2, static_cast<int>(left)) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        // A pty reports EIO once the last writer has gone.
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  if (pid < 0) return res;
  Result ended = wait_for(pid, static_cast<int>(deadline - now_ms()));
  ended.out = std::move(res.out);
  ended.err = std::move(res.err);
  return ended;
}

std::string read_all(int fd) {
  std::string s;
  char buf[4096];
  for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
    s.append(buf, static_cast<size_t>(n));
  if (fd >= 0) close(fd);
  return s;
}

bool eventually(const std::function<bool()>& pred, int timeout_ms) {
  for (long long end = now_ms() + timeout_ms; !pred(); usleep(5000))
    if (now_ms() > end) return false;
  return true;
}

Strings cat(std::initializer_list<Strings> lists) {
  Strings v;
  for (const auto& l : lists) v.insert(v.end(), l.begin(), l.end());
  return v;
}

Strings with_mounts(const std::string& mounts, const std::string& dir, const Strings& env,
                    const Strings& argv) {
  return cat({{"/bin/sh", WITH_DEV_SCRIPT, "-m", mounts, dir, "/usr/bin/env"}, env, argv});
}

Strings with_net_fixture(const std::string& dir, const Strings& env, const Strings& argv) {
  return cat({{"/bin/sh", WITH_NET_SCRIPT, dir, "/usr/bin/env"}, env, argv});
}

const std::string stats_headings =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

std::string stats_line(const Iface& i) {
  char line[256];
  snprintf(line, sizeof line,
           "%6s:%8" PRIu64 " %7" PRIu64 "    0    0    0     0          0         0 %8" PRIu64
           " %7" PRIu64 "    0    0    0     0       0          0\n",
           i.name.c_str(), i.rx_bytes, i.rx_packets, i.tx_bytes, i.tx_packets);
  return line;
}

std::string stats_text(const std::vector<Iface>& ifaces) {
  std::string t = stats_headings;
  for (const auto& i : ifaces) t += stats_line(i);
  return t;
}

std::vector<Iface> busy_ifaces(int n, uint64_t k) {
  std::vector<Iface> v;
  for (uint64_t i = 0; i < static_cast<uint64_t>(n); ++i)
    v.push_back({"eth" + std::to_string(i), 1000000 * i + 123457 * k * (i + 1),
                 1000 * i + 97 * k * (i + 1), 2000000 * i + 234567 * k * (i + 1),
                 2000 * i + 89 * k * (i + 1)});
  return v;
}

std::string shim_env() { return std::string("LD_PRELOAD=") + TEST_SHIM_PATH; }

bool is_root() { return geteuid() == 0; }

bool have_command(const std::string& name) {
  return system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

bool can_unshare() {
  static const bool ok = is_root() && have_command("unshare") &&
                         run(with_mounts("true", "/", {}, {"/bin/true"})).status == 0;
  return ok;
}

bool adopt_daemons() {
  static const bool ready = can_unshare() && prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 &&
                            run(with_dev(TempDir().path, {}, {"/bin/true"})).status == 0;
  return ready;
}

void reap_adopted() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) continue;
}

int make_dev(const std::string& dir, Watchdog where) {
  mkdir(dir.c_str(), 0755);
  unlink((dir + "/watchdog").c_str());
  unlink((dir + "/misc/watchdog").c_str());
  rmdir((dir + "/misc").c_str());
  if (where == Watchdog::none) return -1;
  if (where == Watchdog::misc) mkdir((dir + "/misc").c_str(), 0755);
  std::string path = dir + (where == Watchdog::misc ? "/misc/watchdog" : "/watchdog");
  if (mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo " << path;
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

Strings with_dev(const std::string& dir, const Strings& env, const Strings& argv) {
  return cat({{"/bin/sh", WITH_DEV_SCRIPT, dir, "/usr/bin/env"}, env, argv});
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/boardtools-test.XXXXXX";
  path = mkdtemp(tmpl) != nullptr ? tmpl : "";
  if (path.empty()) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
  if (!f) ADD_FAILURE() << "cannot write " << path;
}

// Read by hand: a process's file under /proc may go away mid-read, which
// a stream reports by throwing.
std::string read_file(const std::string& path) {
  return read_all(open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

bool stamp_in_2040(const std::string& path) {
  const timespec in_2040[2] = {{2208988800, 0}, {2208988800, 0}};
  return utimensat(AT_FDCWD, path.c_str(), in_2040, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string link_text(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

Strings lines_of(const std::string& text) {
  Strings v;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) v.push_back(line);
  return v;
}

int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos;
       pos = text.find(needle, pos + needle.size()))
    ++n;
  return n;
}

}  // namespace ts
