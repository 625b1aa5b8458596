#pragma once
// Command line of the station: none, or three or four positional arguments
//   SETTINGS_DIR/ JSON_PORT SPECTR_PORT [ARRAY_ADDRESS[:RTSP_PORT]]
// plus -h/--help and --version alone, and --check [SETTINGS_DIR/] (check the settings, start nothing). Pure parsing;
// main prints and decides the exit status.

#include <string>
#include <vector>

struct TStationArgs {
  std::string SettingsDir;  // prefix of the settings files, normally ending with '/'
  int JsonPort = 33377;     // result port; bound modulo 65536
  int SpectrPort = 33399;   // spectrum port; bound modulo 65536
  std::string ArrayAddress; // dotted IPv4 address of the array's RTSP server
  int ArrayPort = 554;      // RTSP port, 1..65535
};

enum class TArgsOutcome { Run, Help, Version, Check, UsageError };

struct TArgsResult {
  TArgsOutcome Outcome = TArgsOutcome::Run;
  TStationArgs Args; // meaningful for Run (and SettingsDir for Check)
  std::string Error; // one-line reason for UsageError
};

// `args` are the arguments after the program name. The defaults are passed in so this library carries no
// compiled-in path.
TArgsResult ParseStationArgs(const std::vector<std::string> &args, const std::string &default_settings_dir,
                             const std::string &default_array_address);

// The one-line usage, without a line end.
std::string StationUsage(const std::string &program);

// Converts a port the way std::stoi does (leading white space, optional sign, decimal digits, the rest
// ignored), without exceptions: false when there is no digit or the value does not fit an int.
bool ParsePortText(const std::string &text, int &port);

// Parses ADDRESS[:PORT]: a dotted-quad IPv4 address and an optional port of 1..65535 (default 554).
bool ParseArrayEndpoint(const std::string &text, std::string &address, int &port);
