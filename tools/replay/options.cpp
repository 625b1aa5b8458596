#include "tools/replay/options.h"

#include <charconv>

namespace replay {

namespace {

bool ParseBlocks(const std::string &text, std::int64_t &out) {
  const char *end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, out);
  return ec == std::errc() && ptr == end && out >= 0;
}

} // namespace

EReplayParse ParseReplayArgs(const std::vector<std::string> &args, TReplayOptions &out, std::string &error) {
  TReplayOptions o;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string &a = args[i];
    if (a == "-h" || a == "--help") {
      return EReplayParse::Help;
    }
    if (a == "--trace") {
      o.trace = true;
      continue;
    }
    if (a == "--offset-blocks" || a.rfind("--offset-blocks=", 0) == 0) {
      std::string value;
      if (a.size() > std::string("--offset-blocks").size()) {
        value = a.substr(a.find('=') + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        error = "--offset-blocks needs a value";
        return EReplayParse::Error;
      }
      if (!ParseBlocks(value, o.offsetBlocks)) {
        error = "--offset-blocks takes a whole number of blocks >= 0, not '" + value + "'";
        return EReplayParse::Error;
      }
      continue;
    }
    if (a.size() > 1 && a[0] == '-') {
      error = "unknown option " + a;
      return EReplayParse::Error;
    }
    positional.push_back(a);
  }
  if (positional.size() != 2) {
    error = "expected SETTINGS_DIR/ and FILE.wav, got " + std::to_string(positional.size()) + " argument(s)";
    return EReplayParse::Error;
  }
  o.settingsDir = positional[0];
  o.wavPath = positional[1];
  out = o;
  return EReplayParse::Run;
}

std::string ReplayUsage(const std::string &program, bool denseBinWeights) {
  return "usage: " + program +
         " SETTINGS_DIR/ FILE.wav [--trace] [--offset-blocks N]\n"
         "Runs the station's detection and direction finding over a recording, as fast as the processor allows,\n"
         "and prints every result message as one JSON line:\n"
         "  {\"t\":SECONDS,\"sample\":INDEX,\"alert\":...,\"brd\":...,\"dots\":[...],\"dirs\":[...]}\n"
         "where INDEX (counted from 0 in the file) is the sample whose processing completed the record of four\n"
         "scores. The recording's rate, time-to-processing ratio and any unread tail go to standard error.\n"
         "  SETTINGS_DIR/       directory of detect.json and dir_def.json (and the training file they name)\n"
         "  FILE.wav            four channels of 16-bit PCM, channel k = reader channel k (array channel 4, 1, 2,\n"
         "                      3), as ormelin_array_sim --record writes; only whole 400-sample blocks are used\n"
         "  --trace             also print {\"score\":S,\"channel\":C,\"sample\":INDEX} for every channel score and\n"
         "                      {\"direction\":DEGREES,\"sample\":INDEX} for every direction average\n"
         "  --offset-blocks N   skip the first N blocks of 400 samples (default 0)\n"
         "Classifier bin-weight lookup: " +
         (denseBinWeights ? std::string("dense table (as ormelin_station2)")
                          : std::string("sorted index search (as ormelin_station)")) +
         ".\n"
         "Exit status: 0 done, 1 refused settings or recording or a processing failure, 2 bad command line.\n";
}

} // namespace replay
