#pragma once
// Command-line whole numbers of the station's clients (ports, counts, days). Pure; any thread.

#include <string>

namespace station_client {

// Digits only (no sign, no blanks, at most 18 of them), within [lo, hi].
inline bool ParseWholeNumber(const std::string &text, long long lo, long long hi, long long &out) {
  if (text.empty() || text.size() > 18) {
    return false;
  }
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
  }
  out = std::stoll(text);
  return out >= lo && out <= hi;
}

} // namespace station_client
