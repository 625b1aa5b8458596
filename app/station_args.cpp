#include "app/station_args.h"

#include <cctype>
#include <climits>

#include <arpa/inet.h>

namespace {

constexpr int kDefaultRtspPort = 554;

bool IsAllDigits(const std::string &s) {
  if (s.empty()) {
    return false;
  }
  for (const char c : s) {
    if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
      return false;
    }
  }
  return true;
}

} // namespace

std::string StationUsage(const std::string &program) {
  return "usage: " + program +
         " [SETTINGS_DIR/ JSON_PORT SPECTR_PORT [ARRAY_ADDRESS[:RTSP_PORT]]] | --check [SETTINGS_DIR/]";
}

bool ParsePortText(const std::string &text, int &port) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  std::size_t digits = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0; ++i, ++digits) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) {
      return false;
    }
  }
  if (digits == 0) {
    return false;
  }
  value = negative ? -value : value;
  if (value < INT_MIN || value > INT_MAX) {
    return false;
  }
  port = static_cast<int>(value);
  return true;
}

bool ParseArrayEndpoint(const std::string &text, std::string &address, int &port) {
  const std::size_t colon = text.find(':');
  const std::string host = text.substr(0, colon);
  int parsed_port = kDefaultRtspPort;
  if (colon != std::string::npos) {
    const std::string port_text = text.substr(colon + 1);
    if (!IsAllDigits(port_text) || port_text.size() > 5) {
      return false;
    }
    parsed_port = std::stoi(port_text);
    if (parsed_port < 1 || parsed_port > 65535) {
      return false;
    }
  }
  // inet_pton accepts exactly the dotted-quad form: four decimal parts of 0..255.
  in_addr probe{};
  if (::inet_pton(AF_INET, host.c_str(), &probe) != 1) {
    return false;
  }
  address = host;
  port = parsed_port;
  return true;
}

TArgsResult ParseStationArgs(const std::vector<std::string> &args, const std::string &default_settings_dir,
                             const std::string &default_array_address) {
  TArgsResult result;
  result.Args.SettingsDir = default_settings_dir;
  result.Args.ArrayAddress = default_array_address;
  result.Args.ArrayPort = kDefaultRtspPort;

  if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
    result.Outcome = TArgsOutcome::Help;
    return result;
  }
  if (args.size() == 1 && args[0] == "--version") {
    result.Outcome = TArgsOutcome::Version;
    return result;
  }
  if (!args.empty() && args[0] == "--check") {
    if (args.size() > 2) {
      result.Outcome = TArgsOutcome::UsageError;
      result.Error = "--check takes at most one settings directory";
      return result;
    }
    result.Outcome = TArgsOutcome::Check;
    if (args.size() == 2) {
      result.Args.SettingsDir = args[1];
    }
    return result;
  }
  if (args.empty()) {
    return result;
  }
  result.Outcome = TArgsOutcome::UsageError;
  if (args.size() < 3 || args.size() > 4) {
    result.Error = "expected no argument, or 3 or 4 arguments, got " + std::to_string(args.size());
    return result;
  }
  result.Args.SettingsDir = args[0];
  if (!ParsePortText(args[1], result.Args.JsonPort)) {
    result.Error = "result port '" + args[1] + "' is not a valid port number";
    return result;
  }
  if (!ParsePortText(args[2], result.Args.SpectrPort)) {
    result.Error = "spectrum port '" + args[2] + "' is not a valid port number";
    return result;
  }
  if (args.size() == 4 && !ParseArrayEndpoint(args[3], result.Args.ArrayAddress, result.Args.ArrayPort)) {
    result.Error = "array address '" + args[3] + "' is not IPv4 ADDRESS[:PORT] with a port of 1..65535";
    return result;
  }
  result.Outcome = TArgsOutcome::Run;
  return result;
}
