// End-to-end runs of the real pegdir binary in scratch directories.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support.h"

namespace {

const std::string usage =
    "Usage: pegdir [ -d ] [ -p prefix ] <directory> [data]\n";

ts::Result peg(std::vector<std::string> args, const ts::RunOpts& opts = {}) {
  args.insert(args.begin(), PEGDIR_BIN);
  return ts::run(args, opts);
}

// Our own pid: pegdir started by ts::run is our child.
std::string our_proc() { return "/proc/" + std::to_string(getpid()); }

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> v;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return v;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") v.push_back(n);
  }
  closedir(d);
  std::sort(v.begin(), v.end());
  return v;
}

// 'l' link, 'd' directory, 'f' other, '-' nothing there.
char kind_of(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return '-';
  if (S_ISLNK(st.st_mode)) return 'l';
  if (S_ISDIR(st.st_mode)) return 'd';
  return 'f';
}

std::string link_text(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
}

void expect_created(const ts::Result& r, const std::string& path) {
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, path + "\n");
  EXPECT_EQ(r.err, "");
}

void expect_failed(const ts::Result& r) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// Starts argv with stdout on out_fd. With a gate pipe the child first waits
// until the gate's last writer is gone, so many can be released at once;
// it drops its own copy of the write end for that to happen.
pid_t spawn(const std::vector<std::string>& argv, int out_fd,
            int gate_read = -1, int gate_write = -1) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (gate_read >= 0) {
      close(gate_write);
      char c;
      while (read(gate_read, &c, 1) > 0) {
      }
    }
    // An ignored SIGPIPE would be inherited and hide the broken-pipe case.
    signal(SIGPIPE, SIG_DFL);
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(out_fd, 1);
    dup2(devnull, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Waits for every pid until deadline_ms; the rest are killed. Returns the
// wait status of each, -1 for those that had to be killed.
std::vector<int> reap(const std::vector<pid_t>& pids, int deadline_ms) {
  std::vector<int> st(pids.size(), -1);
  std::vector<bool> done(pids.size(), false);
  size_t left = pids.size();
  for (int waited = 0; left > 0 && waited < deadline_ms; waited += 5) {
    for (size_t i = 0; i < pids.size(); ++i) {
      if (done[i]) continue;
      int s = 0;
      if (waitpid(pids[i], &s, WNOHANG) == pids[i]) {
        st[i] = s;
        done[i] = true;
        --left;
      }
    }
    if (left > 0) {
      timespec t{0, 5 * 1000 * 1000};
      nanosleep(&t, nullptr);
    }
  }
  for (size_t i = 0; i < pids.size(); ++i) {
    if (done[i]) continue;
    kill(pids[i], SIGKILL);
    waitpid(pids[i], nullptr, 0);
  }
  return st;
}

bool can_unshare_mounts() {
  if (!ts::is_root() || !ts::have_command("unshare")) return false;
  return ts::run({"/usr/bin/unshare", "-m", "/bin/true"}).status == 0;
}

TEST(pegdir, DefaultEntryIsLinkToParentProc) {
  ts::TempDir t;
  for (const char* n : {"00000000", "00000001"}) {
    std::string path = t.path + "/.lock." + n;
    expect_created(peg({t.path}), path);
    EXPECT_EQ(kind_of(path), 'l');
    EXPECT_EQ(link_text(path), our_proc());
  }
  EXPECT_EQ(names_in(t.path).size(), 2u);
}

TEST(pegdir, ParentOutsideNamespaceGivesProcZero) {
  REQUIRE_ENV(ts::is_root() && ts::have_command("unshare"),
              "root and unshare for a pid namespace");
  ts::TempDir t;
  // The forked pid 1 of a new namespace sees its parent as id 0.
  auto r = ts::run({"/usr/bin/unshare", "--pid", "--fork", PEGDIR_BIN, t.path});
  expect_created(r, t.path + "/.lock.00000000");
  EXPECT_EQ(link_text(t.path + "/.lock.00000000"), "/proc/0");
}

TEST(pegdir, DirectoryModeIs0700UnderUmask) {
  const struct {
    mode_t umask, want;
  } cases[] = {{022, 0700}, {077, 0700}, {027, 0700},
               {0277, 0500}, {0577, 0200}, {0777, 0}};
  for (const auto& c : cases) {
    ts::TempDir t;
    mode_t old = umask(c.umask);
    auto r = peg({"-d", t.path});
    umask(old);
    std::string path = t.path + "/.lock.00000000";
    expect_created(r, path);
    struct stat st{};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, c.want) << std::oct << c.umask;
  }
}

// How options, prefix and data combine. "D" stands for the directory.
TEST(pegdir, ArgumentRules) {
  const struct {
    std::vector<std::string> args;
    const char* name;  // entry created under D
    char kind;
    const char* text;  // link text; null for ours
  } cases[] = {
      {{"D"}, ".lock.00000000", 'l', nullptr},
      {{"-p", "", "D"}, "00000000", 'l', nullptr},
      {{"-p", "-d", "D"}, "-d00000000", 'l', nullptr},
      {{"-p", "a.", "-p", "b.", "D"}, "b.00000000", 'l', nullptr},
      {{"-p", "x", "-d", "D"}, "x00000000", 'd', nullptr},
      {{"-d", "-p", "x", "D"}, "x00000000", 'd', nullptr},
      {{"-d", "-d", "D"}, ".lock.00000000", 'd', nullptr},
      {{"--", "D"}, ".lock.00000000", 'l', nullptr},
      {{"-x", "-", "--", "-dd", "-pp", "D"}, ".lock.00000000", 'l', nullptr},
      {{"D", "-d"}, ".lock.00000000", 'l', "-d"},
      {{"D", "-p", "x"}, ".lock.00000000", 'l', "-p"},
      {{"D", "owner 42", "extra"}, ".lock.00000000", 'l', "owner 42"},
      {{"-d", "D", "ignored"}, ".lock.00000000", 'd', nullptr},
      {{"-p", "p/", "D"}, "p/00000000", 'l', nullptr},
  };
  for (const auto& c : cases) {
    ts::TempDir t;
    mkdir((t.path + "/p").c_str(), 0755);
    std::vector<std::string> args = c.args;
    std::replace(args.begin(), args.end(), std::string("D"), t.path);
    std::string path = t.path + "/" + c.name;
    SCOPED_TRACE(c.name);
    expect_created(peg(args), path);
    EXPECT_EQ(kind_of(path), c.kind);
    if (c.kind == 'l') EXPECT_EQ(link_text(path), c.text ? c.text : our_proc());
  }
}

TEST(pegdir, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-d"},
      {"-p"},
      {"-d", "-p"},
      {"-p", "dir"},
      {"-p", "x", "-d"},
      {"--"},
      {"-x", "-", "--", "-dd"},
      {"-d", "-p", "a", "-p"},
  };
  for (const auto& args : cases) {
    ts::TempDir t;
    ts::RunOpts o;
    o.cwd = t.path;
    auto r = peg(args, o);
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage);
    EXPECT_TRUE(names_in(t.path).empty());
  }
}

TEST(pegdir, SlashesAndRelativeDirectories) {
  const struct {
    const char* arg;  // relative to the scratch directory, our cwd
    const char* out;
  } cases[] = {
      {"a", "a/.lock.00000000"},
      {"a/", "a/.lock.00000000"},
      {"a///", "a/.lock.00000000"},
      {"a//b//", "a//b/.lock.00000000"},
      {"./a/./b", "./a/./b/.lock.00000000"},
      {".", "./.lock.00000000"},
  };
  for (const auto& c : cases) {
    ts::TempDir t;
    ASSERT_EQ(mkdir((t.path + "/a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((t.path + "/a/b").c_str(), 0755), 0);
    ts::RunOpts o;
    o.cwd = t.path;
    SCOPED_TRACE(c.arg);
    expect_created(peg({c.arg}, o), c.out);
    EXPECT_EQ(kind_of(t.path + "/" + c.out), 'l');
  }
  ts::TempDir t;
  expect_created(peg({t.path + "//"}), t.path + "/.lock.00000000");
}

// The root directory, given as slashes alone. A prefix of our own keeps
// clear of anything else in "/".
TEST(pegdir, RootDirectory) {
  std::string prefix = ".pegdir-test." + std::to_string(getpid()) + ".";
  REQUIRE_ENV(access("/", W_OK) == 0, "a writable /");
  for (const char* dir : {"/", "///"}) {
    std::string path = "/" + prefix + "00000000";
    auto r = peg({"-p", prefix, dir});
    char kind = kind_of(path);
    unlink(path.c_str());
    SCOPED_TRACE(std::string("dir '") + dir + "'");
    expect_created(r, path);
    EXPECT_EQ(kind, 'l');
  }
}

TEST(pegdir, TakenNamesAreSkipped) {
  const struct {
    const char* what;
    void (*make)(const std::string&);
  } takers[] = {
      {"file", [](const std::string& p) { ts::write_file(p, "x"); }},
      {"directory", [](const std::string& p) { mkdir(p.c_str(), 0755); }},
      {"dangling link",
       [](const std::string& p) {
         ASSERT_EQ(symlink("/nonexistent/target", p.c_str()), 0);
       }},
  };
  for (const auto& tk : takers) {
    for (bool dir_mode : {false, true}) {
      ts::TempDir t;
      tk.make(t.path + "/.lock.00000000");
      tk.make(t.path + "/.lock.00000001");
      std::vector<std::string> args = {t.path};
      if (dir_mode) args.insert(args.begin(), "-d");
      SCOPED_TRACE(std::string(tk.what) + (dir_mode ? " -d" : ""));
      std::string path = t.path + "/.lock.00000002";
      expect_created(peg(args), path);
      EXPECT_EQ(kind_of(path), dir_mode ? 'd' : 'l');
      EXPECT_EQ(names_in(t.path).size(), 3u);
    }
  }
}

TEST(pegdir, NumbersCountInHexAndFillGaps) {
  ts::TempDir t;
  const std::string base = t.path + "/.lock.";
  const char* want[] = {"00000000", "00000001", "00000002", "00000003",
                        "00000004", "00000005", "00000006", "00000007",
                        "00000008", "00000009", "0000000A", "0000000B",
                        "0000000C", "0000000D", "0000000E", "0000000F",
                        "00000010"};
  for (const char* n : want) expect_created(peg({t.path}), base + n);

  // Freed numbers are taken lowest first, then the count carries on.
  ASSERT_EQ(unlink((base + "0000000A").c_str()), 0);
  ASSERT_EQ(unlink((base + "00000003").c_str()), 0);
  for (const char* n : {"00000003", "0000000A", "00000011"})
    expect_created(peg({t.path}), base + n);
}

TEST(pegdir, CreationFailuresExitTwoSilently) {
  ts::TempDir t;
  ts::write_file(t.path + "/file", "x");
  // An empty directory would land in "/": a prefix of our own to look for.
  const std::string root_prefix = ".pegdir-test." + std::to_string(getpid()) + ".";
  const struct {
    const char* what;
    std::vector<std::string> args;
  } cases[] = {
      {"missing directory", {t.path + "/missing"}},
      {"empty directory", {"-p", root_prefix, ""}},
      {"missing directory, -d", {"-d", t.path + "/missing"}},
      {"file as directory", {t.path + "/file"}},
      {"empty link text", {t.path, ""}},
      {"name too long", {"-p", std::string(248, 'x'), t.path}},
      {"name too long, -d", {"-d", "-p", std::string(248, 'x'), t.path}},
      {"huge prefix", {"-p", std::string(120000, 'x'), t.path}},
      {"path too long", {[&] {
         std::string d = t.path;
         for (int i = 0; i < 2100; ++i) d += "/.";
         return d;
       }()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    expect_failed(peg(c.args));
    EXPECT_EQ(names_in(t.path), std::vector<std::string>{"file"});
  }
  EXPECT_EQ(kind_of("/" + root_prefix + "00000000"), '-');
  // The longest name the file system takes still works.
  std::string prefix(247, 'x');
  expect_created(peg({"-p", prefix, t.path}), t.path + "/" + prefix + "00000000");
}

TEST(pegdir, ReadOnlyDirectoryExitsTwo) {
  REQUIRE_ENV(can_unshare_mounts(), "root and unshare -m for a bind mount");
  for (const char* mode : {"", "-d"}) {
    ts::TempDir t;
    auto r = ts::run(
        {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
         "mount --make-rprivate / && mount --bind \"$2\" \"$2\" && "
         "mount -o remount,bind,ro \"$2\" && exec \"$0\" $1 \"$2\"",
         PEGDIR_BIN, mode, t.path});
    SCOPED_TRACE(mode);
    expect_failed(r);
    EXPECT_TRUE(names_in(t.path).empty());
  }
}

TEST(pegdir, MemoryFailureCreatesNothing) {
  const struct {
    std::vector<std::string> args;  // "D" is the directory
    int fail_at;
    int status;
  } cases[] = {
      {{"D"}, 1, 2},  // entry path
      {{"D"}, 2, 2},  // link text
      {{"D"}, 3, 0},  // there is no third buffer
      {{"D", "data"}, 1, 2},
      {{"D", "data"}, 2, 0},
      {{"-d", "D"}, 1, 2},
      {{"-d", "D"}, 2, 0},
  };
  for (const auto& c : cases) {
    ts::TempDir t;
    std::vector<std::string> args = c.args;
    std::replace(args.begin(), args.end(), std::string("D"), t.path);
    ts::RunOpts o;
    o.env = {ts::shim_env(), "SHIM_FAIL_ALLOC_AT=" + std::to_string(c.fail_at)};
    SCOPED_TRACE(::testing::PrintToString(c.args) + " alloc " +
                 std::to_string(c.fail_at));
    auto r = peg(args, o);
    if (c.status == 0) {
      expect_created(r, t.path + "/.lock.00000000");
    } else {
      expect_failed(r);
      EXPECT_TRUE(names_in(t.path).empty());
    }
  }
}

TEST(pegdir, LostStandardOutputStillSucceeds) {
  ts::TempDir closed;
  auto r = ts::run({"/bin/sh", "-c", "exec \"$0\" \"$1\" >&-", PEGDIR_BIN,
                    closed.path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(kind_of(closed.path + "/.lock.00000000"), 'l');

  // A reader that has gone: the write fails with EPIPE.
  ts::TempDir broken;
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  close(p[0]);
  pid_t pid = spawn({PEGDIR_BIN, broken.path}, p[1]);
  close(p[1]);
  std::vector<int> st = reap({pid}, 20000);
  EXPECT_TRUE(WIFEXITED(st[0]) && WEXITSTATUS(st[0]) == 0) << st[0];
  EXPECT_EQ(kind_of(broken.path + "/.lock.00000000"), 'l');
}

// Many callers at once: each number goes to exactly one of them, each
// entry is printed once, none is lost.
void expect_distinct_entries(int callers) {
  ts::TempDir t;
  int out[2], gate[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
  std::vector<pid_t> pids;
  for (int i = 0; i < callers; ++i) {
    pid_t pid = spawn({PEGDIR_BIN, t.path}, out[1], gate[0], gate[1]);
    if (pid < 0) break;  // still release the ones already waiting
    pids.push_back(pid);
  }
  EXPECT_EQ(pids.size(), static_cast<size_t>(callers));
  // All are started and waiting; closing the gate releases them together.
  close(gate[1]);
  close(gate[0]);
  close(out[1]);
  // A thousand callers on an emulated board take over a minute.
  std::vector<int> st = reap(pids, 240000);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<size_t>(n));
  close(out[0]);

  int ok = 0;
  for (int s : st) ok += WIFEXITED(s) && WEXITSTATUS(s) == 0;
  EXPECT_EQ(ok, callers);

  std::map<std::string, int> printed;
  for (const auto& l : ts::lines_of(text)) ++printed[l];
  EXPECT_EQ(printed.size(), static_cast<size_t>(callers));
  char name[32];
  for (int i = 0; i < callers; ++i) {
    snprintf(name, sizeof name, "/.lock.%08X", i);
    std::string path = t.path + name;
    EXPECT_EQ(printed[path], 1) << path;
    EXPECT_EQ(link_text(path), our_proc()) << path;
  }
  EXPECT_EQ(names_in(t.path).size(), static_cast<size_t>(callers));
}

TEST(pegdir, ConcurrentCallersGetDistinctEntries) { expect_distinct_entries(200); }

// The load a busy board's boot scripts could put on one lock directory:
// every caller tries every lower number first, so the last of them meets
// 999 taken names.
TEST(pegdir, StressThousandCallersGetDistinctEntries) {
  timespec start{}, end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  expect_distinct_entries(1000);
  clock_gettime(CLOCK_MONOTONIC, &end);
  RecordProperty("elapsed_ms", static_cast<int>((end.tv_sec - start.tv_sec) * 1000 +
                                                (end.tv_nsec - start.tv_nsec) / 1000000));
}

}  // namespace
