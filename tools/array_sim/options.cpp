#include "tools/array_sim/options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>

namespace array_sim {

namespace {

bool ParseProbability(const std::string &text, double &p) { return sim::ParseDouble(text, p) && p >= 0.0 && p <= 1.0; }

bool ParseListen(const std::string &text, std::string &address, int &port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) {
    return false;
  }
  const std::string addr = text.substr(0, colon);
  const std::string portText = text.substr(colon + 1);
  in_addr parsed{};
  if (inet_pton(AF_INET, addr.c_str(), &parsed) != 1) {
    return false;
  }
  int v = 0;
  const auto [p, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), v);
  if (ec != std::errc() || p != portText.data() + portText.size() || v < 1 || v > 65535) {
    return false;
  }
  address = addr;
  port = v;
  return true;
}

bool ParseStall(const std::string &text, TStall &stall) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) {
    return false;
  }
  const std::string ch = text.substr(0, colon);
  std::string rest = text.substr(colon + 1);
  const auto at = rest.find('@');
  if (at != std::string::npos) {
    if (!sim::ParseDouble(rest.substr(at + 1), stall.afterS) || stall.afterS < 0.0) {
      return false;
    }
    rest = rest.substr(0, at);
  }
  if (ch.size() != 1 || ch[0] < '1' || ch[0] > '4') {
    return false;
  }
  stall.channel = ch[0] - '0';
  return sim::ParseDouble(rest, stall.seconds) && stall.seconds > 0.0;
}

} // namespace

std::string ArraySimUsage(const std::string &defaultSettingsDir) {
  return "usage: ormelin_array_sim [options]\n"
         "Virtual four-microphone array: serves /channel=1 .. /channel=4 over RTSP and sends each channel as RTP\n"
         "(812-byte datagrams, 400 big-endian 16-bit samples, payload type 96) in real time.\n"
         "  --listen ADDRESS:PORT      RTSP address (default 127.0.0.1:8554)\n"
         "  --settings DIR             directory of dir_def.json: geometry, FSampling, VSound (default " +
         defaultSettingsDir +
         ")\n"
         "  --source KIND              drone[:SPEED_FACTOR] | tone:HZ | noise[:LO-HI] | silence | wav:FILE\n"
         "                             (default drone; a four-channel wav is played as recorded)\n"
         "  --pitch FACTOR             play a mono wav: source FACTOR times faster, every frequency times FACTOR\n"
         "                             (0.5..2, default 1; a drone's is drone:FACTOR)\n"
         "  --azimuth DEG              source azimuth, x-y plane from +x towards +y (default 0)\n"
         "  --polar DEG                source polar angle from +z, 0..180 (default 90)\n"
         "  --distance M               source distance from the array centre (default 10)\n"
         "  --rotate DEG_PER_S         move the source around the z axis (default 0)\n"
         "  --snr DB|off               source power at the array over each microphone's noise power (default 30)\n"
         "  --level RMS                source RMS at the array, 16-bit scale (default 3000)\n"
         "  --background FILE          recording mixed into every microphone (own stretch each)\n"
         "  --sbr DB                   source-to-background ratio (default 10)\n"
         "  --schedule ON_S:OFF_S      source present ON_S seconds, absent OFF_S seconds, repeating\n"
         "  --present START-END,...    source present only in these intervals of seconds (last END optional)\n"
         "  --seed N                   random seed: same seed, same sound (default 1)\n"
         "  --speed X                  play X times faster than real time (default 1)\n"
         "  --seconds N                stop after N seconds of sound (default: run until stopped)\n"
         "  --record FILE.wav          write the sound as a 4-channel 16-bit WAV, channel k = reader channel k\n"
         "                             (array channel 4, 1, 2, 3)\n"
         "faults, per datagram and session: --loss P --dup P --reorder P --short P (probabilities 0..1)\n"
         "  --stall CHANNEL:SECONDS[@AFTER]  channel stops sending for SECONDS, AFTER seconds (default 1) after\n"
         "                             each of its sessions starts playing\n"
         "Exit status: 0 done or stopped by a signal, 1 runtime failure, 2 bad options.\n";
}

EParseResult ParseArraySimOptions(const std::vector<std::string> &args, const std::string &defaultSettingsDir,
                                  TArraySimOptions &out, std::string &error) {
  TArraySimOptions o;
  o.settingsDir = defaultSettingsDir;
  bool haveSchedule = false;
  bool havePresent = false;
  bool haveSbr = false;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    if (name == "-h" || name == "--help") {
      return EParseResult::Help;
    }
    if (name.rfind("--", 0) != 0) {
      error = "unexpected argument '" + name + "'";
      return EParseResult::Error;
    }
    static const char *const kKnown[] = {
        "--listen", "--settings",   "--source", "--azimuth",  "--polar",   "--distance", "--rotate", "--snr",
        "--level",  "--background", "--sbr",    "--schedule", "--present", "--seed",     "--speed",  "--seconds",
        "--record", "--loss",       "--dup",    "--reorder",  "--short",   "--stall",    "--pitch"};
    if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) {
      error = "unknown option " + name;
      return EParseResult::Error;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        error = "option " + name + " needs a value";
        return EParseResult::Error;
      }
      value = args[++i];
    }
    const auto bad = [&](const std::string &what) {
      error = "bad value '";
      error.append(value).append("' for ").append(name).append(": ").append(what);
      return EParseResult::Error;
    };
    double num = 0.0;
    if (name == "--listen") {
      if (!ParseListen(value, o.listenAddress, o.listenPort)) {
        return bad("expected IPV4_ADDRESS:PORT");
      }
    } else if (name == "--settings") {
      if (value.empty()) {
        return bad("expected a directory");
      }
      o.settingsDir = value;
    } else if (name == "--source") {
      if (!sim::ParseSourceSpec(value, o.scene.source, error)) {
        return EParseResult::Error;
      }
    } else if (name == "--azimuth" || name == "--polar" || name == "--distance" || name == "--rotate" ||
               name == "--sbr" || name == "--level" || name == "--pitch") {
      if (!sim::ParseDouble(value, num)) {
        return bad("expected a number");
      }
      if (name == "--azimuth") {
        o.scene.azimuthDeg = num;
      } else if (name == "--polar") {
        o.scene.polarDeg = num;
      } else if (name == "--distance") {
        o.scene.distanceM = num;
      } else if (name == "--rotate") {
        o.scene.rotateDegPerS = num;
      } else if (name == "--pitch") {
        o.scene.pitchFactor = num;
      } else if (name == "--sbr") {
        o.scene.sbrDb = num;
        haveSbr = true;
      } else {
        o.scene.levelRms = num;
      }
    } else if (name == "--snr") {
      if (value == "off" || value == "inf") {
        o.scene.snrDb = std::numeric_limits<double>::infinity();
      } else if (!sim::ParseDouble(value, o.scene.snrDb)) {
        return bad("expected a number of dB or 'off'");
      }
    } else if (name == "--seed") {
      std::uint64_t seed = 0;
      const auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), seed);
      if (ec != std::errc() || p != value.data() + value.size()) {
        return bad("expected a whole number from 0 to 18446744073709551615");
      }
      o.scene.seed = seed;
    } else if (name == "--speed") {
      if (!sim::ParseDouble(value, o.speed) || o.speed <= 0.0 || o.speed > 1000.0) {
        return bad("expected a factor above 0 and at most 1000");
      }
    } else if (name == "--seconds") {
      if (!sim::ParseDouble(value, o.seconds) || o.seconds <= 0.0) {
        return bad("expected a positive number of seconds");
      }
    } else if (name == "--record") {
      if (value.empty()) {
        return bad("expected a file name");
      }
      o.recordPath = value;
    } else if (name == "--background") {
      if (value.empty()) {
        return bad("expected a file name");
      }
      o.scene.backgroundPath = value;
    } else if (name == "--schedule") {
      haveSchedule = true;
      if (!sim::ParseSchedule(value, o.scene.presence, error)) {
        return EParseResult::Error;
      }
    } else if (name == "--present") {
      havePresent = true;
      if (!sim::ParsePresentList(value, o.scene.presence, error)) {
        return EParseResult::Error;
      }
    } else if (name == "--loss" || name == "--dup" || name == "--reorder" || name == "--short") {
      if (!ParseProbability(value, num)) {
        return bad("expected a probability from 0 to 1");
      }
      (name == "--loss"      ? o.faults.loss
       : name == "--dup"     ? o.faults.dup
       : name == "--reorder" ? o.faults.reorder
                             : o.faults.truncate) = num;
    } else if (name == "--stall") {
      TStall stall;
      if (!ParseStall(value, stall)) {
        return bad("expected CHANNEL:SECONDS[@AFTER] with CHANNEL 1..4 and SECONDS > 0");
      }
      o.faults.stalls.push_back(stall);
    } else {
      error = "unknown option " + name;
      return EParseResult::Error;
    }
  }
  if (haveSchedule && havePresent) {
    error = "--schedule and --present cannot be combined";
    return EParseResult::Error;
  }
  if (haveSbr && o.scene.backgroundPath.empty()) {
    error = "--sbr needs --background";
    return EParseResult::Error;
  }
  out = std::move(o);
  return EParseResult::Run;
}

} // namespace array_sim
