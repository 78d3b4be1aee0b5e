// The receive kilobit and packet rates of an interface that moved d bytes
// and d packets in elapsed_ms, as a pass works them out.
#pragma once

#include <array>

#include "sampler.h"

inline std::array<flowtally::Rate, 2> rates_of(uint64_t d, uint64_t elapsed_ms) {
  static flowtally::Rows before, now;
  for (flowtally::Rows* rows : {&before, &now}) {
    rows->n = 1;
    rows->row[0].name = rows->names.data();
    rows->row[0].counters = 2;
  }
  now.row[0].counter = {d, d};
  flowtally::work_out_rates(before, now, elapsed_ms);
  return {now.row[0].rate[0], now.row[0].rate[1]};
}
