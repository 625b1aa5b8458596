// ormelin_replay (and ormelin_replay2): runs the station's detection and direction processing over a
// four-channel recording as fast as the processor allows and prints every result message as a JSON line.
// Exit status: 0 done, 1 refused settings or recording or a processing failure, 2 bad command line.

#include "detection/dtc_v2/variant.h"
#include "tools/replay/options.h"
#include "tools/replay/replayer.h"
#include "tools/replay/wav_blocks.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#ifndef ORMELIN_PROGRAM
#define ORMELIN_PROGRAM "ormelin_replay"
#endif

namespace {

int Fail(int status, const std::string &line) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", ORMELIN_PROGRAM, line.c_str());
  return status;
}

} // namespace

int main(int argc, char **argv) {
  const bool dense = dtc_v2::UseDenseBinWeights();
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  replay::TReplayOptions opt;
  std::string error;
  switch (replay::ParseReplayArgs(args, opt, error)) {
  case replay::EReplayParse::Help:
    std::fputs(replay::ReplayUsage(ORMELIN_PROGRAM, dense).c_str(), stdout);
    return 0;
  case replay::EReplayParse::Error:
    return Fail(2, error + " (see --help)");
  case replay::EReplayParse::Run:
    break;
  }

  replay::TReplaySettings settings;
  if (error = replay::LoadSettings(opt.settingsDir, dense, settings); !error.empty()) {
    return Fail(1, error);
  }
  replay::TWavBlockReader reader;
  if (!reader.Open(opt.wavPath, error)) {
    return Fail(1, error);
  }
  if (error = replay::CheckRecordingRate(reader.RateHz(), settings); !error.empty()) {
    return Fail(1, opt.wavPath + ": " + error);
  }
  if (!reader.SkipBlocks(opt.offsetBlocks, error)) {
    return Fail(1, error);
  }

  const auto start = std::chrono::steady_clock::now();
  std::int64_t block = opt.offsetBlocks;
  try {
    replay::TReplayer replayer(settings, dense, opt.trace, reader.RateHz());
    replay::TBlock samples;
    std::string out;
    out.reserve(1 << 16);
    while (reader.ReadBlock(samples)) {
      replayer.ProcessBlock(samples, block * replay::kBlockSamples, out);
      ++block;
      if (!out.empty()) {
        std::fwrite(out.data(), 1, out.size(), stdout);
        out.clear();
      }
    }
    if (!reader.Error().empty()) {
      return Fail(1, reader.Error());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
      return Fail(1, "cannot write the results to standard output");
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto blocks = block - opt.offsetBlocks;
    const double sound = static_cast<double>(blocks * replay::kBlockSamples) / reader.RateHz();
    const std::int64_t tail = reader.Frames() - reader.WholeBlocks() * replay::kBlockSamples;
    std::fprintf(stderr,
                 "%s: %.3f s of sound (%lld blocks from block %lld) processed in %.3f s: %.1f x real time; "
                 "%lld messages",
                 ORMELIN_PROGRAM, sound, static_cast<long long>(blocks), static_cast<long long>(opt.offsetBlocks),
                 seconds, seconds > 0.0 ? sound / seconds : 0.0, static_cast<long long>(replayer.Messages()));
    if (tail > 0) {
      std::fprintf(stderr, "; the last %lld samples (less than a block) were not replayed",
                   static_cast<long long>(tail));
    }
    std::fprintf(stderr, "\n");
  } catch (const std::exception &e) {
    return Fail(1, "at block " + std::to_string(block) + ": " + e.what());
  }
  return 0;
}
