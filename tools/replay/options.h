#pragma once
// Command line of ormelin_replay. Pure parsing; main reports errors and decides the exit status.

#include <cstdint>
#include <string>
#include <vector>

namespace replay {

struct TReplayOptions {
  std::string settingsDir;       // holds detect.json and dir_def.json
  std::string wavPath;           // four-channel 16-bit recording
  bool trace = false;            // also print every channel score and every direction average
  std::int64_t offsetBlocks = 0; // whole 400-sample blocks skipped at the start of the file
};

enum class EReplayParse { Run, Help, Error };

// `args` excludes the program name. Options may come anywhere; "--offset-blocks" takes its value as the next
// argument or after '='. On Error, `error` holds one line.
EReplayParse ParseReplayArgs(const std::vector<std::string> &args, TReplayOptions &out, std::string &error);

// The help text; `denseBinWeights` names the classifier lookup this program was built with.
std::string ReplayUsage(const std::string &program, bool denseBinWeights);

} // namespace replay
