#include "tools/hub/options.h"
#include "tools/station_client/whole_number.h"

namespace hub {

namespace {

bool ParsePort(const std::string &text, int &out) {
  long long value = 0;
  if (!station_client::ParseWholeNumber(text, 1, 65535, value)) {
    return false;
  }
  out = static_cast<int>(value);
  return true;
}

} // namespace

std::string HubUsage() {
  return "usage: ormelin_hub --station HOST [options]\n"
         "Client of a running Ormelin station that serves everyone else: a live web dashboard, a JSON API, an\n"
         "event stream, Prometheus metrics, the history of detection events (SQLite) and MQTT. Reconnects by\n"
         "itself when the station goes away. Read-only: nothing on the web changes the station.\n"
         "  --station HOST        station address (required)\n"
         "  --json-port PORT      station's result port (default 33377)\n"
         "  --spectr-port PORT    station's spectrum port (default 33399)\n"
         "  --settings DIR/       read F_min (the spectrum's lower edge) from DIR/detect.json (default 4000 Hz)\n"
         "  --http ADDR:PORT      where the web server listens (default 127.0.0.1:8080)\n"
         "  --mqtt HOST:PORT      publish state and events to this MQTT broker\n"
         "  --id NAME             station name in MQTT topics and on the page (default: the host name)\n"
         "  --db FILE             event database (default: events.db in $STATE_DIRECTORY or the working directory)\n"
         "  --keep-days N         delete events older than N days (default 90)\n"
         "  --token-file FILE     require 'Authorization: Bearer TOKEN' (or ?token=TOKEN) on every request;\n"
         "                        the token is the file's first line (default: $CREDENTIALS_DIRECTORY/hub.token\n"
         "                        when systemd passes one with LoadCredential=hub.token:FILE)\n"
         "  --web DIR             dashboard files (default: beside the program, else /usr/share/ormelin/hub/web)\n"
         "Pages: / (dashboard), /events (Server-Sent Events), /api/status, /api/events?since=ISO8601, /metrics.\n"
         "Exit status: 0 stopped by SIGINT/SIGTERM, 1 cannot start (port taken, database unusable), 2 bad options.\n";
}

bool SplitHostPort(const std::string &text, std::string &host, int &port) {
  std::string h;
  std::string p;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return false;
    }
    h = text.substr(1, close - 1);
    p = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      return false;
    }
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
  }
  if (h.empty() || !ParsePort(p, port)) {
    return false;
  }
  for (const char c : h) {
    if (c == ' ' || c == '/' || c == '\t') {
      return false;
    }
  }
  host = h;
  return true;
}

bool TokenFromFile(const std::string &text, std::string &token) {
  const std::size_t lineEnd = text.find('\n');
  std::string line = text.substr(0, lineEnd);
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!line.empty() && blank(line.back())) {
    line.pop_back();
  }
  std::size_t first = 0;
  while (first < line.size() && blank(line[first])) {
    ++first;
  }
  token = line.substr(first);
  return !token.empty();
}

EHubParse ParseHubOptions(const std::vector<std::string> &args, THubOptions &out, std::string &error) {
  THubOptions o;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    if (name == "-h" || name == "--help") {
      return EHubParse::Help;
    }
    const std::size_t eq = name.find('=');
    const bool inlineValue = name.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inlineValue) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    static const char *const kNames[] = {"--station",   "--json-port",  "--spectr-port", "--settings",
                                         "--http",      "--mqtt",       "--id",          "--db",
                                         "--keep-days", "--token-file", "--web"};
    bool known = false;
    for (const char *k : kNames) {
      known = known || name == k;
    }
    if (!known) {
      error = "unknown option '" + name + "'";
      return EHubParse::Error;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return EHubParse::Error;
      }
      value = args[++i];
    }
    if (name == "--station") {
      if (value.empty()) {
        error = "--station needs an address";
        return EHubParse::Error;
      }
      o.station = value;
    } else if (name == "--json-port" || name == "--spectr-port") {
      if (!ParsePort(value, name == "--json-port" ? o.jsonPort : o.spectrPort)) {
        error = name + " takes a port 1 .. 65535, not '" + value + "'";
        return EHubParse::Error;
      }
    } else if (name == "--settings") {
      if (value.empty()) {
        error = "--settings needs a folder";
        return EHubParse::Error;
      }
      o.settingsDir = value.back() == '/' ? value : value + "/";
    } else if (name == "--http") {
      if (!SplitHostPort(value, o.httpHost, o.httpPort)) {
        error = "--http takes ADDR:PORT (e.g. 127.0.0.1:8080 or 0.0.0.0:8080), not '" + value + "'";
        return EHubParse::Error;
      }
    } else if (name == "--mqtt") {
      if (!SplitHostPort(value, o.mqttHost, o.mqttPort)) {
        error = "--mqtt takes HOST:PORT (e.g. 127.0.0.1:1883), not '" + value + "'";
        return EHubParse::Error;
      }
    } else if (name == "--id") {
      if (value.empty() || value.size() > 64) {
        error = "--id takes a name of 1 .. 64 characters";
        return EHubParse::Error;
      }
      o.id = value;
    } else if (name == "--db") {
      if (value.empty()) {
        error = "--db needs a file name";
        return EHubParse::Error;
      }
      o.db = value;
    } else if (name == "--keep-days") {
      long long days = 0;
      if (!station_client::ParseWholeNumber(value, 1, 36500, days)) {
        error = "--keep-days takes a whole number of days 1 .. 36500, not '" + value + "'";
        return EHubParse::Error;
      }
      o.keepDays = static_cast<int>(days);
    } else if (name == "--token-file") {
      if (value.empty()) {
        error = "--token-file needs a file name";
        return EHubParse::Error;
      }
      o.tokenFile = value;
    } else if (name == "--web") {
      if (value.empty()) {
        error = "--web needs a folder";
        return EHubParse::Error;
      }
      o.webDir = value.back() == '/' ? value : value + "/";
    }
  }
  if (o.station.empty()) {
    error = "--station HOST is required";
    return EHubParse::Error;
  }
  out = o;
  return EHubParse::Run;
}

} // namespace hub
