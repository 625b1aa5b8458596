#include "tools/monitor/options.h"

#include "tools/station_client/messages.h"
#include "tools/station_client/whole_number.h"

#include <cmath>
#include <cstdlib>

namespace monitor {

namespace {

bool ParseNumber(const std::string &text, double &out) {
  if (text.empty()) {
    return false;
  }
  char *end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(out);
}

} // namespace

std::string MonitorUsage() {
  return "usage: ormelin_monitor [options]\n"
         "Live view of a running Ormelin station: alert level, the four scores against the border, the azimuth\n"
         "and the spectrum. Reconnects by itself when the station goes away or restarts.\n"
         "  --host ADDRESS       station address (default 127.0.0.1)\n"
         "  --json-port PORT     result port (default 33377)\n"
         "  --spectr-port PORT   spectrum port (default 33399)\n"
         "  --json               print one JSON line per message instead of the live view: each result message\n"
         "                       as received, and {\"spectrum\":{\"count\":N,\"peak_hz\":F,\"peak_db\":L}} per\n"
         "                       spectrum frame; connection news and bad frames go to standard error\n"
         "  --count N            stop after N result messages\n"
         "  --seconds S          stop after S seconds\n"
         "  --fmin HZ            F_min of the station's detect.json, the spectrum's lower edge (default 4000)\n"
         "  --settings DIR/      read F_min from DIR/detect.json instead\n"
         "Exit status: 0 done or stopped by SIGINT/SIGTERM, 1 fewer than --count messages within --seconds\n"
         "or standard output closed, 2 bad options.\n";
}

EMonitorParse ParseMonitorOptions(const std::vector<std::string> &args, TMonitorOptions &out, std::string &error) {
  TMonitorOptions o;
  bool haveFmin = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inlineValue = true;
    }
    if (name == "-h" || name == "--help") {
      return EMonitorParse::Help;
    }
    if (name == "--json") {
      if (inlineValue) {
        error = "--json takes no value";
        return EMonitorParse::Error;
      }
      o.json = true;
      continue;
    }
    if (name != "--host" && name != "--json-port" && name != "--spectr-port" && name != "--count" &&
        name != "--seconds" && name != "--fmin" && name != "--settings") {
      error = name.rfind('-', 0) == 0 ? "unknown option " + name : "unexpected argument '" + name + "'";
      return EMonitorParse::Error;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return EMonitorParse::Error;
      }
      value = args[++i];
    }
    long long integer = 0;
    if (name == "--host") {
      if (value.empty()) {
        error = "--host needs an address";
        return EMonitorParse::Error;
      }
      o.host = value;
    } else if (name == "--json-port" || name == "--spectr-port") {
      if (!station_client::ParseWholeNumber(value, 1, 65535, integer)) {
        error = name;
        error += " takes a port 1..65535, not '" + value + "'";
        return EMonitorParse::Error;
      }
      (name == "--json-port" ? o.jsonPort : o.spectrPort) = static_cast<int>(integer);
    } else if (name == "--count") {
      if (!station_client::ParseWholeNumber(value, 1, 999'999'999'999LL, integer)) {
        error = "--count takes a whole number of at least 1, not '" + value + "'";
        return EMonitorParse::Error;
      }
      o.count = integer;
    } else if (name == "--seconds") {
      if (!ParseNumber(value, o.seconds) || o.seconds <= 0.0 || o.seconds > 1e9) {
        error = "--seconds takes a number of seconds above 0, not '" + value + "'";
        return EMonitorParse::Error;
      }
    } else if (name == "--fmin") {
      // The station's transform has 2048 bins of 15.625 Hz; a band must start inside it.
      if (!ParseNumber(value, o.fminHz) || o.fminHz < 0.0 || o.fminHz >= 2048 * station_client::kSpectrumBinHz) {
        error = "--fmin takes a frequency 0 .. 31999 Hz, not '" + value + "'";
        return EMonitorParse::Error;
      }
      haveFmin = true;
    } else {
      if (value.empty()) {
        error = "--settings needs a directory";
        return EMonitorParse::Error;
      }
      o.settingsDir = value.back() == '/' ? value : value + "/";
    }
  }
  if (haveFmin && !o.settingsDir.empty()) {
    error = "--fmin and --settings cannot be combined";
    return EMonitorParse::Error;
  }
  if (o.jsonPort == o.spectrPort) {
    error = "the result port and the spectrum port must differ";
    return EMonitorParse::Error;
  }
  out = o;
  return EMonitorParse::Run;
}

} // namespace monitor
