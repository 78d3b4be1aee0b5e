// The number and id formatting, checked on values no end-to-end run can
// reach (numbers past 0x11, ids up to the 32-bit limit).
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

}  // namespace
