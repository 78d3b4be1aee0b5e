#include "support.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/sysmacros.h>
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
std::vector<std::string> child_env(const std::vector<std::string>& env) {
  std::vector<std::string> v;
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

// Starts argv (a path first) with standard input from /dev/null, standard
// output on out_fd (closed when out_fd is -1) and standard error on err_fd.
// Spawned rather than forked, so that none of the test process's own code
// runs in the child between its creation and the exec.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& cwd, int out_fd, int err_fd, bool ignore_sigpipe,
            const std::vector<int>& also_close) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
  } else {
    posix_spawn_file_actions_addclose(&fa, 1);
  }
  posix_spawn_file_actions_adddup2(&fa, err_fd, 2);
  for (int fd : also_close) posix_spawn_file_actions_addclose(&fa, fd);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envs = child_env(env);
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  // An ignored signal stays ignored in the child and across its exec:
  // SIGPIPE is ignored here only while the child is made.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  if (ignore_sigpipe) sigaction(SIGPIPE, &ignore, &old);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data());
  if (ignore_sigpipe) sigaction(SIGPIPE, &old, nullptr);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    ADD_FAILURE() << "cannot start " << argv[0] << ": " << strerror(rc);
    return -1;
  }
  return pid;
}

}  // namespace

pid_t start(const std::vector<std::string>& argv, int out_fd) {
  return spawn(argv, {}, "", out_fd, 2, false, {});
}

Result run(const std::vector<std::string>& argv, const RunOpts& opts) {
  Result res;
  int out[2] = {-1, -1}, err[2];
  std::vector<int> also_close;
  if (opts.out == Out::pty) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty: " << strerror(errno);
      return res;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    out[0] = master;
    out[1] = slave;
    also_close = {master, slave};
  } else if (opts.out != Out::closed && pipe2(out, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return res;
  }
  if (opts.out == Out::reader_gone) {
    close(out[0]);
    out[0] = -1;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return res;
  }
  pid_t pid = spawn(argv, opts.env, opts.cwd, out[1], err[1], opts.out == Out::reader_gone,
                    also_close);
  if (out[1] >= 0) close(out[1]);
  close(err[1]);
  if (pid < 0) {
    for (int fd : {out[0], err[0]})
      if (fd >= 0) close(fd);
    return res;
  }
  long long deadline = now_ms() + opts.timeout_ms;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&res.out, &res.err};
  int open_fds = out[0] >= 0 ? 2 : 1;
  while (open_fds > 0) {
    long long left = deadline - now_ms();
    if (left <= 0) {
      res.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) < 0) break;
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
  int st = 0;
  waitpid(pid, &st, 0);
  if (WIFEXITED(st)) {
    res.status = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    res.signal = WTERMSIG(st);
  }
  return res;
}

std::vector<std::string> with_net_fixture(const std::string& dir,
                                          const std::vector<std::string>& env,
                                          const std::vector<std::string>& argv) {
  std::vector<std::string> v = {
      "/usr/bin/unshare", "-m", "/bin/sh", "-c",
      "mount --make-rprivate / && mount --bind \"$1\" /proc/$$/net && "
      "shift && exec /usr/bin/env \"$@\"",
      "sh", dir};
  v.insert(v.end(), env.begin(), env.end());
  v.insert(v.end(), argv.begin(), argv.end());
  return v;
}

const std::string stats_headings =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

std::string stats_line(const Iface& i) {
  char line[256];
  snprintf(line, sizeof line,
           "%6s:%8llu %7llu    0    0    0     0          0         0 %8llu %7llu    0    0    0"
           "     0       0          0\n",
           i.name.c_str(), static_cast<unsigned long long>(i.rx_bytes),
           static_cast<unsigned long long>(i.rx_packets),
           static_cast<unsigned long long>(i.tx_bytes),
           static_cast<unsigned long long>(i.tx_packets));
  return line;
}

std::string stats_text(const std::vector<Iface>& ifaces) {
  std::string t = stats_headings;
  for (const auto& i : ifaces) t += stats_line(i);
  return t;
}

std::string shim_env() { return std::string("LD_PRELOAD=") + TEST_SHIM_PATH; }

bool is_root() { return geteuid() == 0; }

bool private_dev() {
  // The chain stops at the first failure, so the tmpfs is never mounted
  // unless the namespace is private.
  static int ready = -1;
  if (ready < 0)
    ready = is_root() && prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 && unshare(CLONE_NEWNS) == 0 &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("boardtools-test", "/dev", "tmpfs", 0, "mode=755") == 0 &&
            mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) == 0;
  return ready == 1;
}

bool have_command(const std::string& name) {
  std::string cmd = "command -v " + name + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/boardtools-test.XXXXXX";
  char* p = mkdtemp(tmpl);
  if (p == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
  } else {
    path = p;
  }
}

TempDir::~TempDir() {
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
  if (!f) ADD_FAILURE() << "cannot write " << path;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      v.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) v.push_back(cur);
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
