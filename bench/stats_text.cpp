// stats_text N K: the kernel's interface statistics text with N busy
// interfaces, their counters as they stand at pass K: bench/run's fixture,
// laid out by the tests' own builder.
#include <cstdio>
#include <cstdlib>

#include "support.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::string text = ts::stats_text(ts::busy_ifaces(atoi(argv[1]), strtoull(argv[2], nullptr, 10)));
  return fputs(text.c_str(), stdout) < 0 ? 1 : 0;
}
