// The fixed texts of flowtally's report as its tests expect them: what
// frames every screen-mode pass, and line mode's header line.
#pragma once

#include "support.h"

namespace flowtally {

inline const std::string border =
    "+----------------------------------------------------------------------+\n";
inline const std::string table_top =
    border + "| IF      |Input                         |Output                       |\n" + border;
inline std::string header_line(const ts::Strings& names) {
  std::string s = "#   time   ";
  for (const auto& n : names) s += n + "(ikb ipk okb opk) ";
  return s + "\n";
}

}  // namespace flowtally
