// End-to-end runs of the real pegdir binary in scratch directories, and its
// number and id formatting on values no run reaches.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "pegdir.h"
#include "support.h"

namespace {

using ts::Strings;

const std::string usage = "Usage: pegdir [ -d ] [ -p prefix ] <directory> [data]\n";

ts::Result peg(const Strings& args, const ts::RunOpts& opts = {}) {
  return ts::run(ts::cat({{PEGDIR_BIN}, args}), opts);
}

// Our own pid: pegdir started by ts::run is our child.
std::string our_proc() { return "/proc/" + std::to_string(getpid()); }

// 'l' link, 'd' directory, 'f' other, '-' nothing there.
char kind_of(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return '-';
  return S_ISLNK(st.st_mode) ? 'l' : S_ISDIR(st.st_mode) ? 'd' : 'f';
}

void expect_created(const ts::Result& r, const std::string& path) {
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, path + "\n");
  EXPECT_EQ(r.err, "");
}

// Entries under dir, at any depth.
size_t entries(const std::string& dir) {
  using It = std::filesystem::recursive_directory_iterator;
  return static_cast<size_t>(std::distance(It(dir), It()));
}

// dir's entry numbered n under the default prefix.
std::string lock_path(const std::string& dir, unsigned n) {
  char name[32];
  snprintf(name, sizeof name, "/.lock.%08X", n);
  return dir + name;
}

// A prefix of our own, to keep clear of anything else in "/".
const std::string own_prefix = ".pegdir-test." + std::to_string(getpid()) + ".";

// "D" alone or before "/" stands for the directory dir.
std::string in(const std::string& dir, const std::string& s) {
  return s == "D" || s.rfind("D/", 0) == 0 ? dir + s.substr(1) : s;
}

// Every hex digit in each place and ids of every length up to the 32-bit
// limit, as printf writes them.
TEST(pegdirFormat, NumbersAndParentIdsAsPrintfWritesThem) {
  std::vector<uint64_t> values = {0x1234ABCD, 4194304, UINT32_MAX};
  for (uint64_t d = 0; d < 16; ++d) values.push_back(d * 0x11111111);
  for (uint64_t p = 10; p <= UINT32_MAX; p *= 10) values.insert(values.end(), {p - 1, p, p + 2});
  for (auto v64 : values) {
    const auto v = static_cast<uint32_t>(v64);
    char want[32], number[] = "########", text[pegdir::link_text_size];
    pegdir::put_hex(number, v);
    snprintf(want, sizeof want, "%08X", v);
    EXPECT_STREQ(number, want);
    memset(text, '#', sizeof text);
    pegdir::put_parent_text(text, v);
    snprintf(want, sizeof want, "/proc/%u", v);
    EXPECT_STREQ(text, want);
  }
}

TEST(pegdir, ParentOutsideNamespaceGivesProcZero) {
  REQUIRE_ENV(ts::can_unshare(), "root and unshare for a pid namespace");
  ts::TempDir t;
  // The forked pid 1 of a new namespace sees its parent as id 0.
  auto r = ts::run({"/usr/bin/unshare", "--pid", "--fork", PEGDIR_BIN, t.path});
  expect_created(r, t.path + "/.lock.00000000");
  EXPECT_EQ(ts::link_text(t.path + "/.lock.00000000"), "/proc/0");
}

TEST(pegdir, DirectoryModeIs0700UnderUmask) {
  const struct {
    mode_t umask, want;
  } cases[] = {{022, 0700}, {0277, 0500}};
  for (const auto& c : cases) {
    ts::TempDir t;
    mode_t old = umask(c.umask);
    auto r = peg({"-d", t.path});
    umask(old);
    std::string path = t.path + "/.lock.00000000";
    expect_created(r, path);
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, c.want) << std::oct << c.umask;
  }
}

// How options, prefix, data, the directory's form, names already taken and
// failures combine.  "D" stands for a scratch directory, also the working
// directory, holding a/b/, p/ and a file "file".  The entry must be where the
// printed path says, of its kind, and nothing else may appear; a usage error
// prints the usage text.
TEST(pegdir, ArgumentsAndOutcomes) {
  // An empty directory would land in "/": own_prefix shows it.
  const std::string longest(247, 'x'), too_long(248, 'x'), huge(120000, 'x');
  std::string too_deep = "D";
  for (int i = 0; i < 2100; ++i) too_deep += "/.";
  auto alloc = [](int n) { return Strings{"SHIM_FAIL_ALLOC_AT=" + std::to_string(n)}; };
  const struct {
    int status;
    Strings args;
    std::string out;  // the path printed, "" for none
    char kind = 'l';
    const char* text = nullptr;  // link text; null for ours
    Strings env = {};            // shim settings
    char taken = 0;  // kind of what holds 00000000 and 00000001 already
  } cases[] = {
      {0, {"D"}, "D/.lock.00000000"}, {0, {"-p", "", "D"}, "D/00000000"},
      {0, {"-p", "-d", "D"}, "D/-d00000000"}, {0, {"-p", "a.", "-p", "b.", "D"}, "D/b.00000000"},
      {0, {"-p", "x", "-d", "D"}, "D/x00000000", 'd'}, {0, {"--", "D"}, "D/.lock.00000000"},
      {0, {"-d", "-p", "x", "D"}, "D/x00000000", 'd'},
      {0, {"-d", "-d", "D"}, "D/.lock.00000000", 'd'},
      {0, {"-x", "-", "--", "-dd", "-pp", "D"}, "D/.lock.00000000"},
      {0, {"D", "-d"}, "D/.lock.00000000", 'l', "-d"},
      {0, {"D", "-p", "x"}, "D/.lock.00000000", 'l', "-p"},
      {0, {"D", "owner 42", "extra"}, "D/.lock.00000000", 'l', "owner 42"},
      {0, {"-d", "D", "ignored"}, "D/.lock.00000000", 'd'},
      {0, {"-p", "p/", "D"}, "D/p/00000000"},
      {0, {"-p", longest, "D"}, "D/" + longest + "00000000"},
      // trailing slashes go, others stay; a relative directory prints relative
      {0, {"D//"}, "D/.lock.00000000"}, {0, {"a"}, "a/.lock.00000000"},
      {0, {"a/"}, "a/.lock.00000000"}, {0, {"a///"}, "a/.lock.00000000"},
      {0, {"a//b//"}, "a//b/.lock.00000000"}, {0, {"./a/./b"}, "./a/./b/.lock.00000000"},
      {0, {"."}, "./.lock.00000000"},
      // any existing name is taken, even a link whose target is gone, and
      // left as it is, whatever its times (stamped in 2040)
      {0, {"D"}, "D/.lock.00000002", 'l', nullptr, {}, 'f'},
      {0, {"D"}, "D/.lock.00000002", 'l', nullptr, {}, 'd'},
      {0, {"D"}, "D/.lock.00000002", 'l', nullptr, {}, 'l'},
      {0, {"-d", "D"}, "D/.lock.00000002", 'd', nullptr, {}, 'f'},
      {0, {"-d", "D"}, "D/.lock.00000002", 'd', nullptr, {}, 'd'},
      {0, {"-d", "D"}, "D/.lock.00000002", 'd', nullptr, {}, 'l'},
      {1, {}, ""}, {1, {"-d"}, ""}, {1, {"-p"}, ""}, {1, {"-d", "-p"}, ""}, {1, {"-p", "dir"}, ""},
      {1, {"-p", "x", "-d"}, ""}, {1, {"--"}, ""}, {1, {"-x", "-", "--", "-dd"}, ""},
      {1, {"-d", "-p", "a", "-p"}, ""},
      {2, {"D/missing"}, ""}, {2, {"-d", "D/missing"}, ""}, {2, {"-p", own_prefix, ""}, ""},
      {2, {"D/file"}, ""}, {2, {"D", ""}, ""}, {2, {"-p", too_long, "D"}, ""},
      {2, {"-d", "-p", too_long, "D"}, ""}, {2, {"-p", huge, "D"}, ""}, {2, {too_deep}, ""},
      // the entry path's buffer; there is no second, not for the link text
      {2, {"D"}, "", 'l', nullptr, alloc(1)}, {2, {"-d", "D"}, "", 'l', nullptr, alloc(1)},
      {0, {"D"}, "D/.lock.00000000", 'l', nullptr, alloc(2)},
  };
  for (const auto& c : cases) {
    ts::TempDir t;
    for (const char* d : {"/a", "/a/b", "/p"}) mkdir((t.path + d).c_str(), 0755);
    ts::write_file(t.path + "/file", "x");
    for (const char* n : {"/.lock.00000000", "/.lock.00000001"}) {
      if (c.taken == 'f') ts::write_file(t.path + n, "x");
      if (c.taken == 'd') mkdir((t.path + n).c_str(), 0755);
      if (c.taken == 'l') ASSERT_EQ(symlink("/nonexistent/target", (t.path + n).c_str()), 0);
      if (c.taken) ASSERT_TRUE(ts::stamp_in_2040(t.path + n));
    }
    const size_t before = entries(t.path);
    Strings args;
    for (const auto& a : c.args) args.push_back(in(t.path, a));
    auto r = peg(args, {.env = c.env.empty() ? c.env : ts::cat({{ts::shim_env()}, c.env}),
                        .cwd = t.path});
    SCOPED_TRACE(::testing::PrintToString(c.args).substr(0, 200) + ::testing::PrintToString(c.env));
    const std::string out = in(t.path, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, out.empty() ? "" : out + "\n");
    EXPECT_EQ(r.err, c.status == 1 ? usage : "");
    EXPECT_EQ(entries(t.path), before + (c.status == 0 ? 1 : 0));
    if (c.taken) EXPECT_EQ(kind_of(t.path + "/.lock.00000000"), c.taken);
    if (out.empty()) continue;
    const std::string path = out[0] == '/' ? out : t.path + "/" + out;
    EXPECT_EQ(kind_of(path), c.kind);
    if (c.kind == 'l') EXPECT_EQ(ts::link_text(path), c.text ? c.text : our_proc());
  }
  EXPECT_EQ(kind_of("/" + own_prefix + "00000000"), '-');
}

// The root directory, given as slashes alone.
TEST(pegdir, RootDirectory) {
  REQUIRE_ENV(access("/", W_OK) == 0, "a writable /");
  for (const char* dir : {"/", "///"}) {
    std::string path = "/" + own_prefix + "00000000";
    auto r = peg({"-p", own_prefix, dir});
    char kind = kind_of(path);
    unlink(path.c_str());
    SCOPED_TRACE(std::string("dir '") + dir + "'");
    expect_created(r, path);
    EXPECT_EQ(kind, 'l');
  }
}

// Freed numbers are taken lowest first, then the count carries on.
TEST(pegdir, NumbersCountInHexAndFillGaps) {
  ts::TempDir t;
  auto path_of = [&](unsigned n) { return lock_path(t.path, n); };
  for (unsigned n = 0; n <= 0x10; ++n) {
    expect_created(peg({t.path}), path_of(n));
    EXPECT_EQ(ts::link_text(path_of(n)), our_proc());
  }
  ASSERT_EQ(unlink(path_of(0xA).c_str()), 0);
  ASSERT_EQ(unlink(path_of(3).c_str()), 0);
  for (unsigned n : {3, 0xA, 0x11}) expect_created(peg({t.path}), path_of(n));
}

TEST(pegdir, ReadOnlyDirectoryExitsTwo) {
  REQUIRE_ENV(ts::can_unshare(), "root and unshare -m for a bind mount");
  const std::string read_only = "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\"";
  for (const Strings& mode : {Strings{}, Strings{"-d"}}) {
    ts::TempDir t;
    const Strings argv = ts::cat({{PEGDIR_BIN}, mode, {t.path}});
    auto r = ts::run(ts::with_mounts(read_only, t.path, {}, argv));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(entries(t.path), 0u);
  }
}

// The entry is the lock, whether or not anybody reads its path: standard
// output closed, or a reader gone with SIGPIPE at its default.
TEST(pegdir, LostStandardOutputStillSucceeds) {
  for (ts::Out where : {ts::Out::closed, ts::Out::reader_gone}) {
    ts::TempDir t;
    auto r = peg({t.path}, {.out = where});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(kind_of(t.path + "/.lock.00000000"), 'l');
  }
}

// Many callers at once, the load a busy board's boot scripts could put on
// one lock directory: each number goes to exactly one of them, each entry is
// printed once, none is lost.  Every caller tries every lower number first,
// so the last of them meets 999 taken names.
TEST(pegdir, StressThousandCallersGetDistinctEntries) {
  constexpr int callers = 1000;
  ts::TempDir t;
  int out[2], gate[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
  // Each caller waits before its main until the gate's last writer is gone.
  const ts::RunOpts gated = {.env = {ts::shim_env(), "SHIM_GATE_FD=3"}, .hand_on = {{gate[0], 3}}};
  std::vector<pid_t> pids;
  for (int i = 0; i < callers; ++i) {
    pid_t pid = ts::start({PEGDIR_BIN, t.path}, out[1], gated);
    if (pid < 0) break;  // still release the ones already waiting
    pids.push_back(pid);
  }
  EXPECT_EQ(pids.size(), static_cast<size_t>(callers));
  // All are started and waiting; closing the gate releases them together.
  for (int fd : {gate[1], gate[0], out[1]}) close(fd);
  // A thousand callers on an emulated board take minutes.
  int ok = 0;
  for (pid_t pid : pids) ok += ts::wait_for(pid, 240000).status == 0;
  EXPECT_EQ(ok, callers);
  std::map<std::string, int> printed;
  for (const auto& l : ts::lines_of(ts::read_all(out[0]))) ++printed[l];
  EXPECT_EQ(printed.size(), static_cast<size_t>(callers));
  for (int i = 0; i < callers; ++i) {
    const std::string path = lock_path(t.path, static_cast<unsigned>(i));
    EXPECT_EQ(printed[path], 1) << path;
    EXPECT_EQ(ts::link_text(path), our_proc()) << path;
  }
  EXPECT_EQ(entries(t.path), static_cast<size_t>(callers));
}

}  // namespace
