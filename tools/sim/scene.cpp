#include "tools/sim/scene.h"

#include "tools/sim/random.h"
#include "tools/sim/wav_io.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numbers>
#include <sstream>
#include <stdexcept>

namespace sim {

namespace {

constexpr double kDegToRad = std::numbers::pi / 180.0;

std::string Num(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

// Loads a recording at the scene's rate; throws std::invalid_argument with one line on failure. The file's
// rate is taken as `speedUp` times what it says: played that much faster (resampled only when the rates differ).
TWavData LoadRecording(const std::string &path, double rateHz, double speedUp = 1.0) {
  TWavData data;
  std::string error;
  if (!ReadSoundFile(path, data, error)) {
    throw std::invalid_argument(error);
  }
  data.rate *= speedUp;
  if (std::fabs(data.rate - rateHz) > 1e-9 * rateHz) {
    for (auto &ch : data.channels) {
      ch = Resample(ch, data.rate, rateHz);
    }
    data.rate = rateHz;
  }
  return data;
}

double Rms(const std::vector<double> &v) {
  double e = 0.0;
  for (const double x : v) {
    e += x * x;
  }
  return v.empty() ? 0.0 : std::sqrt(e / static_cast<double>(v.size()));
}

} // namespace

double TPresence::Gain(double t) const {
  if (intervals.empty()) {
    return 1.0;
  }
  if (periodS > 0.0) {
    t -= std::floor(t / periodS) * periodS;
  }
  for (const auto &[start, end] : intervals) {
    if (t >= start && t < end) {
      const double fade = std::min(fadeS, (end - start) / 2.0);
      if (fade <= 0.0) {
        return 1.0;
      }
      const double x = std::min({1.0, (t - start) / fade, (end - t) / fade});
      return 0.5 - 0.5 * std::cos(std::numbers::pi * x);
    }
  }
  return 0.0;
}

bool ParseSchedule(std::string_view text, TPresence &out, std::string &error) {
  const auto colon = text.find(':');
  double on = 0.0;
  double off = 0.0;
  if (colon == std::string_view::npos || !ParseDouble(text.substr(0, colon), on) ||
      !ParseDouble(text.substr(colon + 1), off) || on <= 0.0 || off <= 0.0) {
    error = "bad schedule '" + std::string(text) + "': ON_S:OFF_S needs two positive durations in seconds";
    return false;
  }
  TPresence p;
  p.fadeS = out.fadeS;
  p.intervals = {{0.0, on}};
  p.periodS = on + off;
  out = p;
  return true;
}

bool ParsePresentList(std::string_view text, TPresence &out, std::string &error) {
  TPresence p;
  p.fadeS = out.fadeS;
  const auto fail = [&](const std::string &why) {
    error = "bad presence list '" + std::string(text) + "': " + why;
    return false;
  };
  if (text.empty()) {
    return fail("START-END,... needs at least one interval");
  }
  std::string_view rest = text;
  while (true) {
    const auto comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const auto dash = item.find('-', item.empty() ? 0 : 1); // a leading '-' would be a sign
    double start = 0.0;
    double end = std::numeric_limits<double>::infinity();
    if (dash == std::string_view::npos || !ParseDouble(item.substr(0, dash), start)) {
      return fail("each interval is START-END in seconds");
    }
    const std::string_view endText = item.substr(dash + 1);
    const bool last = comma == std::string_view::npos;
    if (!(endText.empty() && last) && (!ParseDouble(endText, end) || end <= start)) {
      return fail("each interval is START-END with START < END (END may be left out in the last one)");
    }
    if (!p.intervals.empty() && start < p.intervals.back().second) {
      return fail("intervals must be ascending and must not overlap");
    }
    p.intervals.emplace_back(start, end);
    if (last) {
      break;
    }
    rest = rest.substr(comma + 1);
  }
  out = p;
  return true;
}

std::array<std::array<double, 3>, 4> MicrophonePositionsM(const TDirDefParams &geometryInCmDeg) {
  std::array<std::array<double, 3>, 4> p{};
  for (std::size_t m = 0; m < 4 && m < geometryInCmDeg.Mics.size(); ++m) {
    const auto &mic = geometryInCmDeg.Mics[m];
    const double l = mic.L / 100.0;
    const double f = mic.Fi * kDegToRad;
    const double t = mic.Tetta * kDegToRad;
    p[m] = {l * std::sin(t) * std::cos(f), l * std::sin(t) * std::sin(f), l * std::cos(t)};
  }
  return p;
}

std::string CheckSceneConfig(const TSceneConfig &c, const TDirDefParams &g) {
  const double fs = g.FSampling;
  if (g.Mics.size() != 4) {
    return "the geometry must list four microphones";
  }
  if (!std::isfinite(fs) || fs < 1000.0 || fs > 1e6) {
    return "FSampling " + Num(fs) + " Hz is not a usable sampling rate";
  }
  if (!std::isfinite(g.VSound) || g.VSound <= 0.0) {
    return "VSound " + Num(g.VSound) + " m/s is not a usable speed of sound";
  }
  double radius = 0.0;
  for (const auto &mic : g.Mics) {
    if (!std::isfinite(mic.L) || !std::isfinite(mic.Fi) || !std::isfinite(mic.Tetta) || mic.L < 0.0) {
      return "a microphone location is not a finite position";
    }
    radius = std::max(radius, mic.L / 100.0);
  }
  if (radius / g.VSound * fs > 100000.0) {
    return "the microphones are " + Num(radius / g.VSound * fs) + " samples apart: check L and VSound";
  }
  if (!std::isfinite(c.azimuthDeg)) {
    return "azimuth must be a finite number of degrees";
  }
  if (!std::isfinite(c.polarDeg) || c.polarDeg < 0.0 || c.polarDeg > 180.0) {
    return "polar angle must lie in 0 .. 180 degrees";
  }
  if (!std::isfinite(c.distanceM) || c.distanceM <= radius) {
    return "distance must be a finite number of metres beyond the farthest microphone (" + Num(radius) + " m)";
  }
  if (!std::isfinite(c.rotateDegPerS)) {
    return "rotation must be a finite number of degrees per second";
  }
  if (std::isnan(c.snrDb) || c.snrDb == -std::numeric_limits<double>::infinity()) {
    return "SNR must be a number of dB (or +infinity for no sensor noise)";
  }
  if (!std::isfinite(c.sbrDb)) {
    return "SBR must be a finite number of dB";
  }
  if (!std::isfinite(c.levelRms) || c.levelRms <= 0.0 || c.levelRms > 32767.0) {
    return "source level must lie in (0, 32767]";
  }
  if (!(c.pitchFactor >= 0.5 && c.pitchFactor <= 2.0)) {
    return "pitch factor must lie in 0.5 .. 2";
  }
  if (c.pitchFactor != 1.0 && c.source.kind != ESourceKind::Wav) {
    return "a pitch factor needs a wav: source (a drone's pitch is drone:FACTOR)";
  }
  const double nyquist = fs / 2.0;
  switch (c.source.kind) {
  case ESourceKind::Tone:
    if (!(c.source.toneHz > 0.0 && c.source.toneHz < nyquist)) {
      return "tone frequency must lie between 0 and " + Num(nyquist) + " Hz";
    }
    break;
  case ESourceKind::Noise:
    if (c.source.noiseHighHz > nyquist || c.source.noiseLowHz < 0.0 ||
        (c.source.noiseHighHz > 0.0 && c.source.noiseLowHz >= c.source.noiseHighHz)) {
      return "noise band must lie within 0 .. " + Num(nyquist) + " Hz";
    }
    break;
  case ESourceKind::Drone:
    if (!(c.source.rotorSpeedFactor >= 0.2 && c.source.rotorSpeedFactor <= 5.0)) {
      return "drone rotor speed factor must lie in 0.2 .. 5";
    }
    break;
  case ESourceKind::Wav:
    if (c.source.wavPath.empty()) {
      return "wav source needs a file name";
    }
    break;
  case ESourceKind::Silence:
    break;
  }
  for (const auto &[start, end] : c.presence.intervals) {
    if (!std::isfinite(start) || std::isnan(end) || end <= start) {
      return "presence intervals need START < END";
    }
  }
  if (!std::isfinite(c.presence.periodS) || c.presence.periodS < 0.0 || !std::isfinite(c.presence.fadeS) ||
      c.presence.fadeS < 0.0) {
    return "presence period and fade must be finite and not negative";
  }
  return {};
}

struct TScene::TImpl {
  static constexpr std::int64_t kChunk = 256; // emitted samples generated per refill

  TSceneConfig cfg;
  double fs = 0.0;
  double soundSpeed = 0.0;
  std::array<std::array<double, 3>, 4> mics{};
  double level = 0.0; // source RMS at the origin

  // Placed source: emitted signal e[j] (j = scene sample index at the origin) in a mirrored ring, so that any
  // 2H consecutive samples are contiguous at ring[(j & mask)].
  std::unique_ptr<TSourceGen> source;
  TFractionalDelay delay;
  std::vector<double> ring;
  std::int64_t ringSize = 0;
  std::int64_t genEnd = 0; // e[j] exists for j < genEnd
  std::int64_t lead = 0;   // e must exist up to n + lead before sample n is rendered
  std::vector<double> chunk;

  bool moving = false;
  std::array<double, 4> delays{}; // samples, relative to the origin
  std::array<double, 4> gains{};

  // Four-channel recording played as recorded.
  bool fourChannel = false;
  std::array<std::vector<double>, 4> recording;
  std::size_t recordingPos = 0;

  double sigma = 0.0;
  std::vector<TRandom> noise;

  std::vector<double> background; // unit RMS, mono
  double backgroundGain = 0.0;
  std::array<std::size_t, 4> backgroundPos{};

  std::int64_t next = 0; // index of the next sample to render

  TImpl(const TSceneConfig &config, const TDirDefParams &g) : cfg(config) {
    if (const std::string why = CheckSceneConfig(config, g); !why.empty()) {
      throw std::invalid_argument(why);
    }
    fs = g.FSampling;
    soundSpeed = g.VSound;
    mics = MicrophonePositionsM(g);
    level = cfg.levelRms;
    moving = cfg.rotateDegPerS != 0.0;

    switch (cfg.source.kind) {
    case ESourceKind::Drone:
      source = MakeDroneSource(fs, cfg.source.rotorSpeedFactor, cfg.seed);
      break;
    case ESourceKind::Tone:
      source = MakeToneSource(fs, cfg.source.toneHz);
      break;
    case ESourceKind::Noise:
      source = MakeNoiseSource(fs, cfg.source.noiseLowHz, cfg.source.noiseHighHz, cfg.seed);
      break;
    case ESourceKind::Silence:
      source = MakeSilenceSource();
      break;
    case ESourceKind::Wav: {
      TWavData rec = LoadRecording(cfg.source.wavPath, fs, cfg.pitchFactor);
      const std::size_t nch = rec.channels.size();
      if (nch == 4 && cfg.pitchFactor != 1.0) {
        throw std::invalid_argument(cfg.source.wavPath +
                                    " has 4 channels: a pitch factor needs a mono recording (a four-channel "
                                    "recording is played as recorded)");
      }
      if (nch == 1) {
        if (Rms(rec.channels[0]) == 0.0) {
          throw std::invalid_argument(cfg.source.wavPath + " is silent (all samples zero)");
        }
        source = MakeLoopSource(std::move(rec.channels[0]));
      } else if (nch == 4) {
        fourChannel = true;
        double power = 0.0;
        for (std::size_t k = 0; k < 4; ++k) {
          const double r = Rms(rec.channels[k]);
          power += r * r / 4.0;
          recording[k] = std::move(rec.channels[k]);
        }
        level = std::sqrt(power);
        if (level == 0.0) {
          throw std::invalid_argument(cfg.source.wavPath + " is silent (all samples zero)");
        }
      } else {
        throw std::invalid_argument(cfg.source.wavPath + " has " + std::to_string(nch) +
                                    " channels: a mono recording or a four-channel array recording is needed");
      }
      break;
    }
    }

    if (!fourChannel) {
      double radius = 0.0;
      for (const auto &p : mics) {
        radius = std::max(radius, std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]));
      }
      const auto maxDelay = static_cast<std::int64_t>(std::ceil(radius / soundSpeed * fs));
      const std::int64_t h = delay.HalfTaps();
      lead = maxDelay + h + 2;
      ringSize = 1;
      while (ringSize < 2 * lead + 2 * kChunk + 2 * h) {
        ringSize *= 2;
      }
      ring.assign(static_cast<std::size_t>(2 * ringSize), 0.0);
      chunk.resize(kChunk);
      // The source has been sounding before t = 0, so the first samples already hear it at every microphone.
      genEnd = -lead - h - 1;
      UpdateGeometry(0.0);
    }

    if (std::isfinite(cfg.snrDb)) {
      sigma = level / std::pow(10.0, cfg.snrDb / 20.0);
    }
    for (std::uint64_t m = 0; m < 4; ++m) {
      noise.emplace_back(cfg.seed, 100 + m);
    }

    if (!cfg.backgroundPath.empty()) {
      TWavData bg = LoadRecording(cfg.backgroundPath, fs);
      background.assign(bg.Frames(), 0.0);
      for (const auto &ch : bg.channels) {
        for (std::size_t i = 0; i < ch.size(); ++i) {
          background[i] += ch[i] / static_cast<double>(bg.channels.size());
        }
      }
      const double rms = Rms(background);
      if (rms == 0.0) {
        throw std::invalid_argument(cfg.backgroundPath + " is silent (all samples zero)");
      }
      for (double &v : background) {
        v /= rms;
      }
      backgroundGain = level / std::pow(10.0, cfg.sbrDb / 20.0);
      // Each microphone hears its own stretch of the recording: an ambience without a direction.
      TRandom rng(cfg.seed, 50);
      const std::size_t len = background.size();
      const auto start = static_cast<std::size_t>(rng.Uniform() * static_cast<double>(len)) % len;
      for (std::size_t m = 0; m < 4; ++m) {
        backgroundPos[m] = (start + m * len / 4) % len;
      }
    }
  }

  double AzimuthRad(double t) const { return (cfg.azimuthDeg + cfg.rotateDegPerS * t) * kDegToRad; }

  void DelaysAt(double t, std::array<double, 4> &d, std::array<double, 4> &gain) const {
    const double az = AzimuthRad(t);
    const double pol = cfg.polarDeg * kDegToRad;
    const double r = cfg.distanceM;
    const double s[3] = {r * std::sin(pol) * std::cos(az), r * std::sin(pol) * std::sin(az), r * std::cos(pol)};
    for (std::size_t m = 0; m < 4; ++m) {
      const double dx = s[0] - mics[m][0];
      const double dy = s[1] - mics[m][1];
      const double dz = s[2] - mics[m][2];
      const double dist = std::sqrt(dx * dx + dy * dy + dz * dz);
      d[m] = (dist - r) / soundSpeed * fs;
      gain[m] = cfg.sphericalSpreading ? r / dist : 1.0;
    }
  }

  void UpdateGeometry(double t) { DelaysAt(t, delays, gains); }

  void Refill() {
    source->Generate(chunk.data(), chunk.size());
    const std::int64_t mask = ringSize - 1;
    for (std::int64_t i = 0; i < kChunk; ++i) {
      const std::int64_t j = genEnd + i;
      double v = level * chunk[static_cast<std::size_t>(i)];
      if (!cfg.presence.Always()) {
        v *= cfg.presence.Gain(static_cast<double>(j) / fs);
      }
      const std::int64_t pos = j & mask;
      ring[static_cast<std::size_t>(pos)] = v;
      ring[static_cast<std::size_t>(pos + ringSize)] = v;
    }
    genEnd += kChunk;
  }

  void Render(std::size_t n, std::array<std::vector<double>, 4> &out) {
    for (auto &ch : out) {
      ch.resize(n);
    }
    const std::int64_t h = delay.HalfTaps();
    const std::int64_t mask = ringSize - 1;
    for (std::size_t i = 0; i < n; ++i) {
      const std::int64_t ns = next++;
      std::array<double, 4> v{};
      if (fourChannel) {
        const double g = cfg.presence.Always() ? 1.0 : cfg.presence.Gain(static_cast<double>(ns) / fs);
        for (std::size_t k = 0; k < 4; ++k) {
          v[k] = g * recording[k][recordingPos];
        }
        recordingPos = (recordingPos + 1 == recording[0].size()) ? 0 : recordingPos + 1;
      } else {
        while (genEnd < ns + lead + 1) {
          Refill();
        }
        if (moving) {
          UpdateGeometry(static_cast<double>(ns) / fs);
        }
        for (std::size_t m = 0; m < 4; ++m) {
          const double x = static_cast<double>(ns) - delays[m];
          const double fl = std::floor(x);
          const auto i0 = static_cast<std::int64_t>(fl);
          const std::int64_t first = i0 - h + 1;
          assert(first + 2 * h <= genEnd && first >= genEnd - ringSize);
          v[m] = gains[m] * delay.Interpolate(&ring[static_cast<std::size_t>(first & mask)], x - fl);
        }
      }
      for (std::size_t m = 0; m < 4; ++m) {
        double s = v[m];
        if (sigma > 0.0) {
          s += sigma * noise[m].Gaussian();
        }
        if (!background.empty()) {
          s += backgroundGain * background[backgroundPos[m]];
          backgroundPos[m] = (backgroundPos[m] + 1 == background.size()) ? 0 : backgroundPos[m] + 1;
        }
        out[m][i] = s;
      }
    }
  }
};

TScene::TScene(const TSceneConfig &config, const TDirDefParams &geometryInCmDeg)
    : impl_(std::make_unique<TImpl>(config, geometryInCmDeg)) {}
TScene::~TScene() = default;
TScene::TScene(TScene &&) noexcept = default;
TScene &TScene::operator=(TScene &&) noexcept = default;

void TScene::Render(std::size_t n, std::array<std::vector<double>, 4> &out) { impl_->Render(n, out); }

double TScene::SampleRateHz() const { return impl_->fs; }
std::int64_t TScene::SamplesRendered() const { return impl_->next; }
double TScene::NoiseSigma() const { return impl_->sigma; }

double TScene::SourceAzimuthDeg() const {
  const double t = static_cast<double>(impl_->next) / impl_->fs;
  const double deg = impl_->AzimuthRad(t) / kDegToRad;
  const double wrapped = deg - 360.0 * std::floor(deg / 360.0);
  return wrapped >= 360.0 ? 0.0 : wrapped;
}

double TScene::DelaySamples(int readerChannel) const {
  if (impl_->fourChannel || readerChannel < 0 || readerChannel > 3) {
    return 0.0;
  }
  std::array<double, 4> d{};
  std::array<double, 4> g{};
  impl_->DelaysAt(static_cast<double>(impl_->next) / impl_->fs, d, g);
  return d[static_cast<std::size_t>(readerChannel)];
}

std::int16_t ToInt16(double v) {
  if (std::isnan(v)) {
    return 0;
  }
  if (v >= 32767.0) {
    return 32767;
  }
  if (v <= -32768.0) {
    return -32768;
  }
  return static_cast<std::int16_t>(std::lround(v));
}

} // namespace sim
