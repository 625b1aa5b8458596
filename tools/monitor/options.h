#pragma once
// Command line of ormelin_monitor. Pure parsing; main reports errors and decides the exit status.

#include <string>
#include <vector>

namespace monitor {

struct TMonitorOptions {
  std::string host = "127.0.0.1"; // station address: dotted IPv4 or a host name
  int jsonPort = 33377;
  int spectrPort = 33399;
  bool json = false;       // one JSON line per message instead of the live view
  long long count = 0;     // stop after this many result messages; 0: no limit
  double seconds = 0.0;    // stop after this many seconds; 0: no limit
  double fminHz = 4000.0;  // lower edge of the station's spectrum band (F_min of detect.json)
  std::string settingsDir; // when set, F_min is read from its detect.json instead
};

enum class EMonitorParse { Run, Help, Error };

// args[0] is the program name. Options take their value as the next argument or after '='. On Error,
// `error` holds one line.
EMonitorParse ParseMonitorOptions(const std::vector<std::string> &args, TMonitorOptions &out, std::string &error);

std::string MonitorUsage();

} // namespace monitor
