// The number and id formatting and the path sizing, checked on values no
// end-to-end run can reach (wrap-around ids, sizes near SIZE_MAX).
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>

#include "pegdir.h"

namespace {

TEST(pegdirFormat, NumberIsEightUpperHexDigits) {
  const struct {
    std::uint32_t n;
    const char* want;
  } cases[] = {
      {0, "00000000"},          {9, "00000009"},
      {0xA, "0000000A"},        {0x10, "00000010"},
      {0xC7, "000000C7"},       {0x1234ABCD, "1234ABCD"},
      {0x80000000, "80000000"}, {0xFFFFFFFF, "FFFFFFFF"},
  };
  for (const auto& c : cases) {
    char buf[pegdir::digit_count + 1] = "########";
    pegdir::put_number(buf, c.n);
    EXPECT_EQ(std::string(buf), c.want) << c.n;
  }
}

TEST(pegdirFormat, ParentTextHasNoLeadingZeros) {
  const struct {
    std::uint32_t pid;
    const char* want;
  } cases[] = {
      {0, "/proc/0"},  // decided: a parent outside the namespace
      {1, "/proc/1"},
      {10, "/proc/10"},
      {100, "/proc/100"},
      {1002, "/proc/1002"},
      {999999999, "/proc/999999999"},
      {1000000000, "/proc/1000000000"},
      {4194304, "/proc/4194304"},
      {4294967295u, "/proc/4294967295"},
  };
  for (const auto& c : cases) {
    char buf[pegdir::link_text_size];
    memset(buf, '#', sizeof buf);
    pegdir::put_parent_text(buf, c.pid);
    EXPECT_EQ(std::string(buf), c.want) << c.pid;
  }
}

TEST(pegdirFormat, PathSizeNeverOverflows) {
  const struct {
    std::size_t dir, prefix, want;
  } cases[] = {
      {0, 0, 11},
      {4, 6, 21},
      {SIZE_MAX - 11, 0, SIZE_MAX},
      {0, SIZE_MAX - 11, SIZE_MAX},
      {SIZE_MAX - 10, 0, 0},
      {0, SIZE_MAX - 10, 0},
      {SIZE_MAX / 2, SIZE_MAX / 2, 0},
      {SIZE_MAX, SIZE_MAX, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(pegdir::entry_path_size(c.dir, c.prefix), c.want)
        << c.dir << " + " << c.prefix;
}

TEST(pegdirFormat, TrailingSlashesOnlyAreStripped) {
  const struct {
    const char* in;
    const char* want;
  } cases[] = {
      {"d", "d"},       {"d/", "d"},      {"d///", "d"},
      {"/a//b/", "/a//b"}, {"/", ""},   {"///", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string s = c.in;
    pegdir::strip_trailing_slashes(s.data());
    EXPECT_STREQ(s.c_str(), c.want) << c.in;
  }
}

}  // namespace
