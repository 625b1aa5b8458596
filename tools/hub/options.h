#pragma once
// Command line of ormelin_hub. Pure parsing; main reports errors and decides the exit status.

#include <string>
#include <vector>

namespace hub {

struct THubOptions {
  std::string station; // station address: dotted IPv4 or a host name (required)
  int jsonPort = 33377;
  int spectrPort = 33399;
  std::string settingsDir; // when set, F_min (the spectrum's lower edge) is read from its detect.json
  std::string httpHost = "127.0.0.1";
  int httpPort = 8080;
  std::string mqttHost; // empty: no MQTT
  int mqttPort = 1883;
  std::string id;        // empty: the host name
  std::string db;        // empty: events.db in $STATE_DIRECTORY (set by systemd) or the working directory
  std::string tokenFile; // empty: no token asked
  int keepDays = 90;
  std::string webDir; // empty: the files beside the program, then the installed ones
};

enum class EHubParse { Run, Help, Error };

// args[0] is the program name. Options take their value as the next argument or after '='. On Error,
// `error` holds one line.
EHubParse ParseHubOptions(const std::vector<std::string> &args, THubOptions &out, std::string &error);

std::string HubUsage();

// Splits "HOST:PORT" (a host name, a dotted IPv4 address or "[v6]") into its parts; false when malformed.
bool SplitHostPort(const std::string &text, std::string &host, int &port);

// The token in a token file's text: the first line, surrounding white space removed. False when empty.
bool TokenFromFile(const std::string &text, std::string &token);

} // namespace hub
