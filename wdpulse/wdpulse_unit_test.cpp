// Unit tests of the keeper's budget and its records of the watched file,
// run in the test process against the same units the program links.
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "feed.h"
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

// The budget is read the way atol reads a number, saturated to 32 bits.
TEST(WdpulseBudget, ReadsLikeAtolButSaturatesAt32Bits) {
  const struct {
    const char* s;
    int32_t want;
  } cases[] = {
      {"", 0}, {"abc", 0}, {"0", 0}, {"42", 42}, {"007", 7}, {"12abc", 12}, {"1 2", 1}, {"3.9", 3},
      {" \t\n\v\f\r42", 42}, {"+42", 42}, {"-42", -42}, {" -42", -42}, {"-0", 0}, {"--42", 0},
      {"+-42", 0}, {"- 42", 0}, {"+", 0}, {"-", 0}, {"-000000000042", -42},
      {"4294967297", INT32_MAX}, {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX},
      {"2147483650", INT32_MAX}, {"-2147483647", -INT32_MAX}, {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN}, {"-2147483650", INT32_MIN},
      {"99999999999999999999999", INT32_MAX}, {"-99999999999999999999999", INT32_MIN},
  };
  for (const auto& c : cases) EXPECT_EQ(wdpulse::to_int32(c.s), c.want) << '"' << c.s << '"';
}

TEST(WdpulseOptions, EmptyArgvHasNoPaths) {
  char* none[] = {nullptr};
  wdpulse::Options o = wdpulse::scan_options(0, none);
  EXPECT_EQ(o.npaths, 0);
}

// The count of unchanged passes, in unsigned arithmetic so that a negative
// budget wraps.  A record starts from zeros, so that bytes stat leaves as
// they were never differ between passes, and a missing file reads as zeros;
// z, 3 GiB and stamped in 2040, is more than a 32-bit record holds.
TEST(WdpulseStaleness, CountsUnchangedPassesAndWrapsNegativeBudgets) {
  ts::TempDir tmp;
  for (const char* f : {"/w", "/z"}) ts::write_file(tmp.path + f, "x");
  ASSERT_EQ(truncate((tmp.path + "/z").c_str(), 3LL << 30), 0);
  ASSERT_TRUE(ts::stamp_in_2040(tmp.path + "/z"));
  EXPECT_TRUE(wdpulse::path_check((tmp.path + "/z").c_str(), false));
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
      {1, 1, true, 1, false, "z"}, {1, 1, false, 0, true, "z"},
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
