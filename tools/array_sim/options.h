#pragma once
// Command line of ormelin_array_sim. Pure parsing; main reports errors and decides the exit status.

#include "tools/sim/scene.h"

#include <string>
#include <vector>

namespace array_sim {

// One channel going quiet for a while after it starts playing (each session of that channel, once).
struct TStall {
  int channel = 0;      // array channel 1..4
  double seconds = 0.0; // length of the silence
  double afterS = 1.0;  // seconds of scene time after the session's first datagram
};

// Faults applied to every datagram sent, independently per session, from the seed.
struct TFaults {
  double loss = 0.0;     // probability that a datagram is not sent
  double dup = 0.0;      // probability that it is sent twice
  double reorder = 0.0;  // probability that it is held back and sent after the next one
  double truncate = 0.0; // probability that only 1 .. 811 of its bytes are sent
  std::vector<TStall> stalls;
};

struct TArraySimOptions {
  std::string listenAddress = "127.0.0.1"; // dotted IPv4
  int listenPort = 8554;
  std::string settingsDir; // holds dir_def.json
  sim::TSceneConfig scene;
  double speed = 1.0;   // scene seconds per wall-clock second
  double seconds = 0.0; // stop after this much sound; 0: run until stopped
  std::string recordPath;
  TFaults faults;
};

enum class EParseResult { Run, Help, Error };

// argv[0] is skipped. Options take their value as the next argument or after '='. On Error, `error` holds one
// line. Values that depend on the settings (angles against the geometry, tone against the rate) are checked
// later by sim::CheckSceneConfig.
EParseResult ParseArraySimOptions(const std::vector<std::string> &args, const std::string &defaultSettingsDir,
                                  TArraySimOptions &out, std::string &error);

std::string ArraySimUsage(const std::string &defaultSettingsDir);

} // namespace array_sim
