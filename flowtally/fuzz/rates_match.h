// Whether a pass works out the receive kilobit and packet rates of an
// interface that moved d bytes and d packets in e ms as the plain 64-bit
// formulas have them (and 0.0 when no time passed).
#pragma once

#include "sampler.h"

inline bool rates_match_formulas(uint64_t d, uint64_t e) {
  static flowtally::Rows before, now;
  before.n = now.n = 1;
  before.row[0].counters = now.row[0].counters = 2;
  now.row[0].counter = {d, d};
  flowtally::work_out_rates(before, now, e);
  const flowtally::Rate k = now.row[0].rate[0], p = now.row[0].rate[1];
  if (e == 0) return k.whole == 0 && k.tenths == 0 && p.whole == 0 && p.tenths == 0;
  return k.whole == d * 8 / e && k.tenths == d * 80 / e % 10 && p.whole == d * 1000 / e &&
         p.tenths == d * 1000 * 10 / e % 10;
}
