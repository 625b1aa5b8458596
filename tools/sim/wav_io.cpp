#include "tools/sim/wav_io.h"

#include <sndfile.h>

namespace sim {

void TSndFileCloser::operator()(sf_private_tag *f) const { sf_close(f); }

bool ReadSoundFile(const std::string &path, TWavData &out, std::string &error) {
  SF_INFO info{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) {
    error = "cannot open " + path + ": " + sf_strerror(nullptr);
    return false;
  }
  const std::unique_ptr<SNDFILE, TSndFileCloser> holder(f);
  if (info.frames <= 0 || info.channels <= 0 || info.samplerate <= 0) {
    error = path + " holds no samples";
    return false;
  }
  // Recordings are held in memory as doubles; refuse what would not fit comfortably.
  constexpr sf_count_t kMaxSamples = 100'000'000;
  if (info.frames > kMaxSamples / info.channels) {
    error = path + " is too long (" + std::to_string(info.frames / info.samplerate) + " s of " +
            std::to_string(info.channels) + " channels; at most 100 million samples)";
    return false;
  }
  // Normalised reads give +-1.0 full scale for every sample format; 16-bit samples come back exactly.
  sf_command(f, SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
  const auto frames = static_cast<std::size_t>(info.frames);
  const auto nch = static_cast<std::size_t>(info.channels);
  std::vector<double> interleaved(frames * nch);
  const sf_count_t got = sf_readf_double(f, interleaved.data(), info.frames);
  if (got <= 0) {
    error = "cannot read " + path + ": " + sf_strerror(f);
    return false;
  }
  out.rate = info.samplerate;
  out.channels.assign(nch, std::vector<double>(static_cast<std::size_t>(got)));
  for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
    for (std::size_t c = 0; c < nch; ++c) {
      out.channels[c][i] = interleaved[i * nch + c] * 32768.0;
    }
  }
  return true;
}

bool TWavWriter::Open(const std::string &path, int rateHz, int channels, std::string &error) {
  SF_INFO info{};
  info.samplerate = rateHz;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (f == nullptr) {
    error = "cannot write " + path + ": " + sf_strerror(nullptr);
    return false;
  }
  file_.reset(f);
  sf_command(f, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  return true;
}

bool TWavWriter::Write(const std::int16_t *interleaved, std::size_t frames) {
  if (!file_) {
    return false;
  }
  const sf_count_t n = sf_writef_short(file_.get(), interleaved, static_cast<sf_count_t>(frames));
  return n == static_cast<sf_count_t>(frames);
}

void TWavWriter::Close() { file_.reset(); }

} // namespace sim
