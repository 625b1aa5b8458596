// ormelin_array_sim: the virtual four-microphone array. Serves the array's RTSP dialogue and RTP streams from
// a synthetic scene so the station runs end to end without the device. Exit status: 0 when done or stopped by
// SIGINT/SIGTERM, 1 on a runtime failure, 2 on bad options.

#include "app/dir_def_params.h"
#include "tools/array_sim/net.h"
#include "tools/array_sim/options.h"
#include "tools/array_sim/rtsp_server.h"
#include "tools/array_sim/streamer.h"
#include "tools/sim/scene.h"
#include "tools/sim/wav_io.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef ORMELIN_SETTINGS_DIR
#define ORMELIN_SETTINGS_DIR "settings/"
#endif

namespace {

int Fail(int status, const std::string &line) {
  std::fprintf(stderr, "ormelin_array_sim: %s\n", line.c_str());
  return status;
}

std::string JoinPath(const std::string &dir, const std::string &name) {
  return (!dir.empty() && dir.back() != '/') ? dir + "/" + name : dir + name;
}

} // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::signal(SIGPIPE, SIG_IGN); // a closed stdout pipe must not kill the array mid-session
  const std::vector<std::string> args(argv, argv + argc);
  array_sim::TArraySimOptions opt;
  std::string error;
  switch (array_sim::ParseArraySimOptions(args, ORMELIN_SETTINGS_DIR, opt, error)) {
  case array_sim::EParseResult::Help:
    std::fputs(array_sim::ArraySimUsage(ORMELIN_SETTINGS_DIR).c_str(), stdout);
    return 0;
  case array_sim::EParseResult::Error:
    return Fail(2, error + " (see --help)");
  case array_sim::EParseResult::Run:
    break;
  }

  // The station reads the same file; the array must not silently fall back to other numbers.
  const std::string settingsPath = JoinPath(opt.settingsDir, "dir_def.json");
  if (!std::ifstream(settingsPath)) {
    return Fail(1, "cannot read " + settingsPath);
  }
  TDirDefParams geometry;
  geometry.LoadJS(settingsPath);
  const double rate = geometry.FSampling;
  if (!std::isfinite(rate) || rate < 1000.0 || rate > 1e6 || std::fabs(rate - std::round(rate)) > 1e-9) {
    return Fail(1, settingsPath + ": FSampling must be a whole number of Hz for RTP, not " + std::to_string(rate));
  }
  // The default scene fits any sane array, so what it finds is wrong with the settings, not the options.
  if (const std::string why = sim::CheckSceneConfig(sim::TSceneConfig{}, geometry); !why.empty()) {
    return Fail(1, settingsPath + ": " + why);
  }
  if (const std::string why = sim::CheckSceneConfig(opt.scene, geometry); !why.empty()) {
    return Fail(2, why);
  }

  std::unique_ptr<sim::TScene> scene;
  try {
    scene = std::make_unique<sim::TScene>(opt.scene, geometry);
  } catch (const std::invalid_argument &e) {
    return Fail(1, e.what());
  }

  sim::TWavWriter record;
  if (!opt.recordPath.empty() && !record.Open(opt.recordPath, static_cast<int>(std::lround(rate)), 4, error)) {
    return Fail(1, error);
  }

  // Signals are taken synchronously by this thread; the two worker threads inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const array_sim::TEventLog log(stdout);
  array_sim::TRtpStreamer::TSettings settings;
  settings.speed = opt.speed;
  settings.seconds = opt.seconds;
  settings.faults = opt.faults;
  settings.seed = opt.scene.seed;
  settings.sendAddress = opt.listenAddress;
  array_sim::TRtpStreamer streamer(std::move(*scene), settings, std::move(record), &log);
  if (!streamer.Open(error)) {
    return Fail(1, error);
  }
  array_sim::TRtspServer server(streamer, &log, static_cast<int>(std::lround(rate)), opt.scene.seed);
  if (!server.Listen(opt.listenAddress, opt.listenPort, error)) {
    return Fail(1, error);
  }

  std::ostringstream banner;
  banner << "virtual array on rtsp://" << opt.listenAddress << ":" << server.Port() << "/channel=1..4, " << rate
         << " Hz, settings " << settingsPath << "; source " << sim::DescribeSource(opt.scene.source) << " at azimuth "
         << opt.scene.azimuthDeg << " polar " << opt.scene.polarDeg << " distance " << opt.scene.distanceM << " m";
  if (opt.scene.pitchFactor != 1.0) {
    banner << " played x" << opt.scene.pitchFactor << " faster";
  }
  if (opt.scene.rotateDegPerS != 0.0) {
    banner << " rotating " << opt.scene.rotateDegPerS << " deg/s";
  }
  banner << ", SNR " << opt.scene.snrDb << " dB";
  if (!opt.scene.backgroundPath.empty()) {
    banner << ", background " << opt.scene.backgroundPath << " at SBR " << opt.scene.sbrDb << " dB";
  }
  if (!opt.scene.presence.Always()) {
    banner << ", present on schedule";
  }
  banner << ", seed " << opt.scene.seed << ", speed x" << opt.speed;
  log.Print(banner.str());

  streamer.Start();
  server.Start();

  int status = 0;
  const timespec tick{0, 100'000'000};
  while (true) {
    const int sig = sigtimedwait(&signals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) {
      log.Print(std::string("stopped by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
      break;
    }
    if (streamer.Done()) {
      if (const std::string why = streamer.Failure(); !why.empty()) {
        std::fprintf(stderr, "ormelin_array_sim: %s\n", why.c_str());
        status = 1;
      }
      break;
    }
  }
  server.Stop();
  streamer.Stop();
  std::ostringstream summary;
  summary << "done: " << static_cast<double>(streamer.BlocksSent()) * 400.0 / rate << " s of sound ("
          << streamer.BlocksSent() << " blocks), " << streamer.DatagramsSent() << " datagrams sent";
  if (streamer.ClippedSamples() > 0) {
    summary << ", " << streamer.ClippedSamples() << " samples clipped";
  }
  if (!opt.recordPath.empty()) {
    summary << ", recorded to " << opt.recordPath;
  }
  log.Print(summary.str());
  return status;
}
