#include "tools/train/audio.h"

#include "tools/train/resample.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace train {
namespace {

struct TSndCloser {
  void operator()(SNDFILE *f) const { sf_close(f); }
};
using TSndFile = std::unique_ptr<SNDFILE, TSndCloser>;

} // namespace

bool ReadChannel(const std::string &path, int channel, int rateHz, std::vector<double> &samples, TAudioInfo &info,
                 std::string &error) {
  SF_INFO sfInfo{};
  TSndFile file(sf_open(path.c_str(), SFM_READ, &sfInfo));
  if (!file) {
    error = path + ": cannot read sound file (" + sf_strerror(nullptr) + ")";
    return false;
  }
  info = TAudioInfo{};
  info.rateHz = sfInfo.samplerate;
  info.channels = sfInfo.channels;
  info.frames = static_cast<long long>(sfInfo.frames);
  if (sfInfo.channels < 1 || sfInfo.samplerate < 1) {
    error = path + ": sound file without channels or sampling rate";
    return false;
  }
  if (sfInfo.channels == 1) {
    info.channel = 0;
  } else if (channel < 0) {
    error = path + ": has " + std::to_string(sfInfo.channels) + " channels; choose one with --channel K";
    return false;
  } else if (channel >= sfInfo.channels) {
    error = path + ": has " + std::to_string(sfInfo.channels) + " channels, no channel " + std::to_string(channel);
    return false;
  } else {
    info.channel = channel;
  }
  if (sfInfo.frames <= 0) {
    error = path + ": holds no samples";
    return false;
  }

  // Integer formats read normalised to [-1, 1); float formats as stored.
  std::vector<double> raw;
  raw.reserve(static_cast<std::size_t>(sfInfo.frames));
  constexpr sf_count_t kChunkFrames = 4096;
  std::vector<double> chunk(static_cast<std::size_t>(kChunkFrames) * static_cast<std::size_t>(sfInfo.channels));
  for (;;) {
    const sf_count_t got = sf_readf_double(file.get(), chunk.data(), kChunkFrames);
    for (sf_count_t f = 0; f < got; ++f) {
      raw.push_back(chunk[static_cast<std::size_t>(f * sfInfo.channels + info.channel)]);
    }
    if (got < kChunkFrames) {
      break;
    }
  }
  if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
    error = path + ": read error (" + sf_strerror(file.get()) + ")";
    return false;
  }
  if (raw.empty()) {
    error = path + ": holds no samples";
    return false;
  }
  if (sfInfo.samplerate != rateHz) {
    raw = TSincResampler(sfInfo.samplerate, rateHz).Process(raw);
    info.resampled = true;
  }
  samples.resize(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const double v = std::isfinite(raw[i]) ? std::round(raw[i] * 32768.0) : 0.0;
    samples[i] = std::clamp(v, -32768.0, 32767.0);
  }
  return true;
}

} // namespace train
