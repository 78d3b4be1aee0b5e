// Unit tests of the keeper's budget and its records of the watched file,
// run in the test process against the same units the program links.
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "feed.h"
#include "fuzz_input.h"
#include "startup.h"
#include "support.h"

// stat as a C library converting from the kernel's layout may have it: the
// named fields filled in, every padding byte left as it was.
extern "C" int stat(const char* __restrict path, struct stat* __restrict buf) noexcept {
  struct stat full;
  if (fstatat(AT_FDCWD, path, &full, 0) != 0) return -1;
#define COPY(field) buf->field = full.field;
  COPY(st_dev) COPY(st_ino) COPY(st_mode) COPY(st_nlink) COPY(st_uid) COPY(st_gid) COPY(st_rdev)
  COPY(st_size) COPY(st_blksize) COPY(st_blocks) COPY(st_atim) COPY(st_mtim) COPY(st_ctim)
#undef COPY
  return 0;
}

namespace {

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

TEST(WdpulseOptions, EmptyArgvHasNoPaths) {
  char* none[] = {nullptr};
  wdpulse::Options o = wdpulse::scan_options(0, none);
  EXPECT_EQ(o.npaths, 0);
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

// The count of unchanged passes, in unsigned arithmetic so that a negative
// budget wraps.  A record starts from zeros, so that bytes stat leaves as
// they were never differ between passes, and a missing file reads as zeros.
TEST(WdpulseStaleness, CountsUnchangedPassesAndWrapsNegativeBudgets) {
  ts::TempDir tmp;
  ts::write_file(tmp.path + "/w", "x");
  struct Case {
    int32_t budget, remaining;
    bool changed;
    int32_t remaining_after;
    bool expired;
    const char* file = "w";
  } cases[] = {
      {3, 3, true, 3, false}, {3, 1, true, 3, false}, {3, 3, false, 2, false},
      {3, 1, false, 0, true}, {1, 1, false, 0, true}, {2, 2, false, 1, false, "missing"},
      {-1, -1, false, -2, false}, {-1, INT32_MIN, false, INT32_MAX, false},
      {INT32_MAX, INT32_MAX, false, INT32_MAX - 1, false}, {-5, 7, true, -5, false},
  };
  for (const auto& c : cases) {
    static wdpulse::Staleness s;
    memset(&s, 0, sizeof s);
    memset(&s.current, 0xa5, sizeof s.current);
    s.budget = c.budget;
    s.remaining = c.remaining;
    const std::string file = tmp.path + "/" + c.file;
    if (!c.changed) wdpulse::read_record(file.c_str(), &s.previous);
    EXPECT_EQ(wdpulse::staleness_expired(&s, file.c_str()), c.expired) << c.remaining;
    EXPECT_EQ(s.remaining, c.remaining_after) << c.remaining;
    EXPECT_EQ(memcmp(&s.previous, &s.current, sizeof s.current), 0);
  }
}

}  // namespace
