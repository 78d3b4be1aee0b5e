// The keeper's budget reading, run in the test process against the same
// units the program links.
#include <stdint.h>

#include "startup.h"
#include "support.h"

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

}  // namespace
