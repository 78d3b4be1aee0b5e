// Unit tests of the keeper's start-up rules and staleness count, run in the
// test process against the same units the program links.
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "feed.h"
#include "fuzz_input.h"
#include "startup.h"
#include "support.h"

namespace {

// While set, stat fills in the named fields only and leaves every padding
// byte as it found it, as a C library converting from the kernel's layout may.
bool fields_only_stat = false;

}  // namespace

extern "C" int stat(const char* __restrict path, struct stat* __restrict buf) noexcept {
  if (!fields_only_stat) return fstatat(AT_FDCWD, path, buf, 0);
  struct stat full;
  if (fstatat(AT_FDCWD, path, &full, 0) != 0) return -1;
  buf->st_dev = full.st_dev;
  buf->st_ino = full.st_ino;
  buf->st_mode = full.st_mode;
  buf->st_nlink = full.st_nlink;
  buf->st_uid = full.st_uid;
  buf->st_gid = full.st_gid;
  buf->st_rdev = full.st_rdev;
  buf->st_size = full.st_size;
  buf->st_blksize = full.st_blksize;
  buf->st_blocks = full.st_blocks;
  buf->st_atim = full.st_atim;
  buf->st_mtim = full.st_mtim;
  buf->st_ctim = full.st_ctim;
  return 0;
}

namespace {

using ts::Strings;
using Argv = fz::Argv;

Strings strings_of(char* const* v, int n) { return Strings(v, v + n); }

// The budget is read the way atol reads a number, saturated to 32 bits:
// blanks and signs before every kind of body, against strtoll's reading.
TEST(WdpulseBudget, ReadsLikeAtolButSaturatesAt32Bits) {
  for (const char* lead : {"", " \t\n\v\f\r", "+", "-", " -", "--", "+-", "- ", "-000000000000"})
    for (const char* body : {"", "abc", "0", "42", "007", "12abc", "1 2", "3.9", "2147483647",
                             "2147483648", "2147483649", "4294967297", "99999999999999999999999"}) {
      std::string s = std::string(lead) + body;
      EXPECT_EQ(wdpulse::budget_of(s.c_str()), fz::saturating_atoi32(s.c_str())) << '"' << s << '"';
    }
}

TEST(WdpulseOptions, FollowsTheOptionRules) {
  struct Case {
    Strings args;  // after the program name
    int32_t budget;
    const char* watched;
    Strings paths;
  } cases[] = {
      {{}, 0, nullptr, {}},
      {{"/a", "/b"}, 0, nullptr, {"/a", "/b"}},
      {{"-c", "3", "-f", "w", "/a"}, 3, "w", {"/a"}},
      // a value written after the letter is not read; the next argument is
      {{"-c5", "2", "/a"}, 2, nullptr, {"/a"}},
      {{"-fx", "w", "/a"}, 0, "w", {"/a"}},
      {{"-cfoo", "-7"}, -7, nullptr, {}},
      // an option missing its value is consumed and ends the scan
      {{"-c", "3", "-c"}, 3, nullptr, {}},
      {{"-f", "w", "-f"}, 0, "w", {}},
      {{"-c"}, 0, nullptr, {}},
      {{"-f"}, 0, nullptr, {}},
      // repeats replace
      {{"-c", "1", "-c", "0", "-f", "v", "-f", "w"}, 0, "w", {}},
      // "--", and any argument whose second character is "-", end the options
      {{"--", "-c", "1"}, 0, nullptr, {"-c", "1"}},
      {{"--verbose", "-a"}, 0, nullptr, {"-a"}},
      {{"-c", "2", "--", "--"}, 2, nullptr, {"--"}},
      // unknown options and a lone "-" are skipped, one argument each
      {{"-", "-x", "-q", "/a"}, 0, nullptr, {"/a"}},
      {{"-x", "5", "/a"}, 0, nullptr, {"5", "/a"}},
      // the first argument without a dash ends the scan
      {{"/a", "-c", "1"}, 0, nullptr, {"/a", "-c", "1"}},
      {{"", "-c", "1"}, 0, nullptr, {"", "-c", "1"}},
      // the value of an option is taken whatever it looks like
      {{"-f", "-c", "/a"}, 0, "-c", {"/a"}},
      {{"-c", "-f", "/a"}, 0, nullptr, {"/a"}},
  };
  for (const auto& c : cases) {
    Strings full = {"wdpulse"};
    full.insert(full.end(), c.args.begin(), c.args.end());
    Argv a(full);
    wdpulse::Options o = wdpulse::scan_options(a.argc(), a.argv());
    std::string where = testing::PrintToString(c.args);
    EXPECT_EQ(o.budget, c.budget) << where;
    EXPECT_EQ(o.watched ? std::string(o.watched) : "(none)",
              c.watched ? std::string(c.watched) : "(none)")
        << where;
    EXPECT_EQ(strings_of(o.paths, o.npaths), c.paths) << where;
  }
}

TEST(WdpulseOptions, EmptyArgvHasNoPaths) {
  char* none[] = {nullptr};
  wdpulse::Options o = wdpulse::scan_options(0, none);
  EXPECT_EQ(o.npaths, 0);
}

TEST(WdpulseRecord, StartsFromZeroSoUntouchedBytesNeverDiffer) {
  ts::TempDir tmp;
  const std::string file = tmp.path + "/w";
  ts::write_file(file, "x");
  struct Case {
    std::string path;
    bool exists;
  } cases[] = {{file, true}, {tmp.path + "/missing", false}};
  for (const auto& c : cases) {
    struct stat want;
    memset(&want, 0, sizeof want);
    fields_only_stat = true;
    if (c.exists) ASSERT_EQ(stat(c.path.c_str(), &want), 0);
    struct stat got;
    memset(&got, 0xa5, sizeof got);
    wdpulse::read_record(c.path.c_str(), &got);
    fields_only_stat = false;
    EXPECT_EQ(memcmp(&got, &want, sizeof got), 0) << c.path;
  }
}

// A file past 2 GiB overflows a 32-bit board's record; it must still count
// as examined, and its growth as a change.
TEST(WdpulseRecord, FilesTooLargeForTheRecordStillCount) {
  ts::TempDir tmp;
  const std::string file = tmp.path + "/big.log";
  int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_LARGEFILE, 0644);
  ASSERT_GE(fd, 0);
  const off64_t three_gib = 3LL << 30;
  ASSERT_EQ(ftruncate64(fd, three_gib), 0);  // sparse: takes no space
  // The record is the platform's own: on the boards (this runs there too)
  // its 32-bit size cannot hold this file, and only there is the overflow met.
  struct stat plain;
  EXPECT_EQ(stat(file.c_str(), &plain) == 0, sizeof plain.st_size == 8);
  EXPECT_TRUE(wdpulse::path_check(file.c_str(), false));
  struct stat before, after, zero;
  memset(&zero, 0, sizeof zero);
  wdpulse::read_record(file.c_str(), &before);
  EXPECT_NE(memcmp(&before, &zero, sizeof zero), 0) << "read as missing";
  ASSERT_EQ(ftruncate64(fd, three_gib + 4096), 0);
  wdpulse::read_record(file.c_str(), &after);
  EXPECT_NE(memcmp(&before, &after, sizeof after), 0) << "growth not seen";
  close(fd);
}

TEST(WdpulseStaleness, CountsUnchangedPassesAndWrapsNegativeBudgets) {
  ts::TempDir tmp;
  const std::string file = tmp.path + "/w";
  ts::write_file(file, "x");
  struct Case {
    int32_t budget, remaining;
    bool changed;
    int32_t remaining_after;
    bool expired;
  } cases[] = {
      {3, 3, true, 3, false},
      {3, 1, true, 3, false},
      {3, 3, false, 2, false},
      {3, 1, false, 0, true},
      {1, 1, false, 0, true},
      {-1, -1, false, -2, false},
      {-1, INT32_MIN, false, INT32_MAX, false},
      {INT32_MAX, INT32_MAX, false, INT32_MAX - 1, false},
      {-5, 7, true, -5, false},
  };
  for (const auto& c : cases) {
    static wdpulse::Staleness s;
    memset(&s, 0, sizeof s);
    s.budget = c.budget;
    s.remaining = c.remaining;
    if (!c.changed) wdpulse::read_record(file.c_str(), &s.previous);
    EXPECT_EQ(wdpulse::staleness_expired(&s, file.c_str()), c.expired) << c.remaining;
    EXPECT_EQ(s.remaining, c.remaining_after) << c.remaining;
    EXPECT_EQ(memcmp(&s.previous, &s.current, sizeof s.current), 0);
  }
}

}  // namespace
