#include "tools/sim/sources.h"

#include "tools/sim/random.h"
#include "tools/sim/sinc.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <complex>
#include <numbers>
#include <sstream>

namespace sim {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

// Gaussian noise through an optional FIR; scaled so its RMS is 1 (or `rms`).
class TNoiseGen final : public TSourceGen {
public:
  TNoiseGen(std::vector<double> fir, double rms, std::uint64_t seed, std::uint64_t stream)
      : fir_(std::move(fir)), rng_(seed, stream) {
    double energy = 1.0;
    if (!fir_.empty()) {
      energy = 0.0;
      for (const double h : fir_) {
        energy += h * h;
      }
      hist_.assign(2 * fir_.size(), 0.0);
    }
    scale_ = (energy > 0.0) ? rms / std::sqrt(energy) : 0.0;
  }

  void Generate(double *out, std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = Next();
    }
  }

  double Next() {
    const double w = rng_.Gaussian();
    if (fir_.empty()) {
      return scale_ * w;
    }
    // Mirrored history: the newest fir_.size() samples are contiguous at hist_[pos_ .. pos_ + size).
    const std::size_t len = fir_.size();
    pos_ = (pos_ == 0) ? len - 1 : pos_ - 1;
    hist_[pos_] = w;
    hist_[pos_ + len] = w;
    const double *x = &hist_[pos_];
    double acc = 0.0;
    for (std::size_t k = 0; k < len; ++k) {
      acc += fir_[k] * x[k];
    }
    return scale_ * acc;
  }

private:
  std::vector<double> fir_;
  std::vector<double> hist_;
  std::size_t pos_ = 0;
  double scale_ = 1.0;
  TRandom rng_;
};

class TToneGen final : public TSourceGen {
public:
  TToneGen(double fs, double hz) : fs_(fs), hz_(hz) {}
  void Generate(double *out, std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) {
      // Phase from the sample count, not an accumulator: no drift over hours.
      const double cycles = std::fmod(hz_ * static_cast<double>(count_++), fs_) / fs_;
      out[i] = std::numbers::sqrt2 * std::sin(kTwoPi * cycles);
    }
  }

private:
  double fs_;
  double hz_;
  std::int64_t count_ = 0;
};

class TSilenceGen final : public TSourceGen {
public:
  void Generate(double *out, std::size_t n) override { std::fill(out, out + n, 0.0); }
};

class TLoopGen final : public TSourceGen {
public:
  explicit TLoopGen(std::vector<double> samples) : samples_(std::move(samples)) {
    double energy = 0.0;
    for (const double v : samples_) {
      energy += v * v;
    }
    const double rms = samples_.empty() ? 0.0 : std::sqrt(energy / static_cast<double>(samples_.size()));
    if (rms > 0.0) {
      for (double &v : samples_) {
        v /= rms;
      }
    }
  }
  void Generate(double *out, std::size_t n) override {
    if (samples_.empty()) {
      std::fill(out, out + n, 0.0);
      return;
    }
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = samples_[pos_];
      pos_ = (pos_ + 1 == samples_.size()) ? 0 : pos_ + 1;
    }
  }

private:
  std::vector<double> samples_;
  std::size_t pos_ = 0;
};

// One rotor of the synthetic multirotor.
struct TRotor {
  double rotHz = 100.0;           // nominal rotation rate, rev/s
  double wanderDepth[2] = {0, 0}; // relative speed wander, two slow sinusoids
  double wanderHz[2] = {0, 0};
  double wanderPhase[2] = {0, 0};
  double amRevDepth = 0.0; // modulation once per revolution (blade imbalance)
  double amRevPhase = 0.0;
  double amSlowDepth = 0.0; // slow modulation (gusts, control)
  double amSlowHz = 0.0;
  double amSlowPhase = 0.0;
  double theta = 0.0;          // rotation angle, rad
  double currentHz = 100.0;    // rotation rate of the current sub-block
  std::vector<double> sinCoef; // harmonic k+1: sinCoef[k] * sin((k+1) * bp) + cosCoef[k] * cos(...)
  std::vector<double> cosCoef;
};

class TDroneGen final : public TSourceGen {
public:
  TDroneGen(double fs, double speedFactor, std::uint64_t seed)
      : fs_(fs), noise_(DesignBandPass(fs, 1000.0, std::min(12000.0, 0.45 * fs), 101), 1.0, seed, 2) {
    TRandom rng(seed, 1);
    const double topHz = std::min(12000.0, 0.45 * fs);
    double tonalPower = 0.0;
    for (auto &r : rotors_) {
      r.rotHz = rng.Uniform(85.0, 115.0) * speedFactor;
      for (int i = 0; i < 2; ++i) {
        r.wanderDepth[i] = rng.Uniform(0.01, 0.035);
        r.wanderHz[i] = rng.Uniform(0.05, 0.4);
        r.wanderPhase[i] = rng.Uniform(0.0, kTwoPi);
      }
      r.amRevDepth = rng.Uniform(0.1, 0.3);
      r.amRevPhase = rng.Uniform(0.0, kTwoPi);
      r.amSlowDepth = rng.Uniform(0.05, 0.15);
      r.amSlowHz = rng.Uniform(0.5, 3.0);
      r.amSlowPhase = rng.Uniform(0.0, kTwoPi);
      r.theta = rng.Uniform(0.0, kTwoPi);
      r.currentHz = r.rotHz;
      const double bladePassHz = kBlades * r.rotHz;
      const double maxWander = 1.0 + r.wanderDepth[0] + r.wanderDepth[1];
      const int harmonics = std::clamp(static_cast<int>(topHz / (bladePassHz * maxWander)), 1, 400);
      for (int k = 1; k <= harmonics; ++k) {
        const double f = k * bladePassHz;
        double shape = 1.0; // flat across 2-10 kHz, rising 6 dB/oct below, falling 24 dB/oct above
        if (f < 2000.0) {
          shape = std::max(0.15, f / 2000.0);
        } else if (f > 10000.0) {
          shape = std::pow(10000.0 / f, 4.0);
        }
        const double amp = shape * std::pow(10.0, rng.Uniform(-6.0, 6.0) / 20.0);
        const double phase = rng.Uniform(0.0, kTwoPi);
        r.sinCoef.push_back(amp * std::cos(phase));
        r.cosCoef.push_back(amp * std::sin(phase));
        tonalPower += amp * amp / 2.0 * (1.0 + r.amRevDepth * r.amRevDepth / 2.0 + r.amSlowDepth * r.amSlowDepth / 2.0);
      }
    }
    noiseLevel_ = 0.1 * std::sqrt(tonalPower); // broadband 20 dB below the tones
    // Unit RMS: measure a copy of this generator over two seconds (the modulations make a closed form loose).
    TDroneGen probe = *this;
    std::vector<double> buf(static_cast<std::size_t>(2.0 * fs));
    probe.Generate(buf.data(), buf.size());
    double energy = 0.0;
    for (const double v : buf) {
      energy += v * v;
    }
    const double rms = std::sqrt(energy / static_cast<double>(buf.size()));
    gain_ = (rms > 0.0) ? 1.0 / rms : 0.0;
  }

  TDroneGen(const TDroneGen &) = default;
  TDroneGen &operator=(const TDroneGen &) = delete;

  void Generate(double *out, std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) {
      if (count_ % kSubBlock == 0) {
        UpdateSpeeds();
      }
      double acc = 0.0;
      for (auto &r : rotors_) {
        r.theta += kTwoPi * r.currentHz / fs_;
        if (r.theta >= kTwoPi) {
          r.theta -= kTwoPi;
        }
        const double bp = kBlades * r.theta;
        const std::complex<double> z1(std::cos(bp), std::sin(bp));
        std::complex<double> z = z1;
        double tone = 0.0;
        const std::size_t nh = r.sinCoef.size();
        for (std::size_t k = 0; k < nh; ++k) {
          tone += r.sinCoef[k] * z.imag() + r.cosCoef[k] * z.real();
          z *= z1;
        }
        const double t = static_cast<double>(count_) / fs_;
        const double am = 1.0 + r.amRevDepth * std::sin(r.theta + r.amRevPhase) +
                          r.amSlowDepth * std::sin(kTwoPi * r.amSlowHz * t + r.amSlowPhase);
        acc += am * tone;
      }
      acc += noiseLevel_ * noise_.Next();
      out[i] = gain_ * acc;
      ++count_;
    }
  }

private:
  static constexpr int kRotors = 4;
  static constexpr double kBlades = 2.0;
  static constexpr std::int64_t kSubBlock = 16; // rotor speeds are updated every 16 samples

  void UpdateSpeeds() {
    const double t = static_cast<double>(count_) / fs_;
    for (auto &r : rotors_) {
      double rel = 1.0;
      for (int i = 0; i < 2; ++i) {
        rel += r.wanderDepth[i] * std::sin(kTwoPi * r.wanderHz[i] * t + r.wanderPhase[i]);
      }
      r.currentHz = r.rotHz * rel;
    }
  }

  double fs_;
  TRotor rotors_[kRotors];
  TNoiseGen noise_;
  double noiseLevel_ = 0.0;
  double gain_ = 1.0;
  std::int64_t count_ = 0;
};

} // namespace

bool ParseDouble(std::string_view text, double &value) {
  text = Trim(text);
  if (text.empty()) {
    return false;
  }
  if (text.front() == '+') {
    text.remove_prefix(1);
  }
  double v = 0.0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(v)) {
    return false;
  }
  value = v;
  return true;
}

bool ParseSourceSpec(std::string_view text, TSourceSpec &out, std::string &error) {
  const auto colon = text.find(':');
  const std::string_view name = text.substr(0, colon);
  const bool hasArg = colon != std::string_view::npos;
  const std::string_view arg = hasArg ? text.substr(colon + 1) : std::string_view{};
  TSourceSpec source;
  if (name == "drone") {
    source.kind = ESourceKind::Drone;
    if (hasArg && (!ParseDouble(arg, source.rotorSpeedFactor) || source.rotorSpeedFactor < 0.2 ||
                   source.rotorSpeedFactor > 5.0)) {
      error = "bad source '" + std::string(text) + "': drone:FACTOR needs a rotor speed factor from 0.2 to 5";
      return false;
    }
  } else if (name == "tone") {
    source.kind = ESourceKind::Tone;
    if (!hasArg || !ParseDouble(arg, source.toneHz) || source.toneHz <= 0.0) {
      error = "bad source '" + std::string(text) + "': tone:HZ needs a positive frequency in Hz";
      return false;
    }
  } else if (name == "noise") {
    source.kind = ESourceKind::Noise;
    if (hasArg) {
      const auto dash = arg.find('-');
      if (dash == std::string_view::npos || !ParseDouble(arg.substr(0, dash), source.noiseLowHz) ||
          !ParseDouble(arg.substr(dash + 1), source.noiseHighHz) || source.noiseLowHz < 0.0 ||
          source.noiseHighHz <= source.noiseLowHz) {
        error = "bad source '" + std::string(text) + "': noise:LO-HI needs 0 <= LO < HI in Hz";
        return false;
      }
    }
  } else if (name == "silence" && !hasArg) {
    source.kind = ESourceKind::Silence;
  } else if (name == "wav") {
    source.kind = ESourceKind::Wav;
    source.wavPath = std::string(arg);
    if (source.wavPath.empty()) {
      error = "bad source '" + std::string(text) + "': wav:FILE needs a file name";
      return false;
    }
  } else {
    error = "unknown source '" + std::string(text) + "' (drone[:FACTOR], tone:HZ, noise[:LO-HI], silence, wav:FILE)";
    return false;
  }
  out = source;
  return true;
}

std::string DescribeSource(const TSourceSpec &source) {
  std::ostringstream s;
  switch (source.kind) {
  case ESourceKind::Drone:
    s << "drone (rotor speed x" << source.rotorSpeedFactor << ")";
    break;
  case ESourceKind::Tone:
    s << "tone " << source.toneHz << " Hz";
    break;
  case ESourceKind::Noise:
    if (source.noiseHighHz > 0.0) {
      s << "noise " << source.noiseLowHz << "-" << source.noiseHighHz << " Hz";
    } else {
      s << "white noise";
    }
    break;
  case ESourceKind::Silence:
    s << "silence";
    break;
  case ESourceKind::Wav:
    s << "recording " << source.wavPath;
    break;
  }
  return s.str();
}

std::vector<double> DesignBandPass(double sampleRateHz, double lowHz, double highHz, int taps) {
  const int half = taps / 2;
  const double f1 = lowHz / sampleRateHz; // cycles per sample
  const double f2 = highHz / sampleRateHz;
  const double beta = 8.0;
  const double i0 = BesselI0(beta);
  std::vector<double> h(static_cast<std::size_t>(2 * half + 1));
  auto lowpass = [](double f, int n) { return (n == 0) ? 2.0 * f : std::sin(kTwoPi * f * n) / (std::numbers::pi * n); };
  for (std::size_t i = 0; i < h.size(); ++i) {
    const int n = static_cast<int>(i) - half;
    const double r = static_cast<double>(n) / (half + 1);
    const double w = BesselI0(beta * std::sqrt(1.0 - r * r)) / i0;
    h[i] = (lowpass(f2, n) - lowpass(f1, n)) * w;
  }
  return h;
}

std::unique_ptr<TSourceGen> MakeDroneSource(double sampleRateHz, double speedFactor, std::uint64_t seed) {
  return std::make_unique<TDroneGen>(sampleRateHz, speedFactor, seed);
}

std::unique_ptr<TSourceGen> MakeToneSource(double sampleRateHz, double frequencyHz) {
  return std::make_unique<TToneGen>(sampleRateHz, frequencyHz);
}

std::unique_ptr<TSourceGen> MakeNoiseSource(double sampleRateHz, double lowHz, double highHz, std::uint64_t seed) {
  std::vector<double> fir;
  if (highHz > 0.0) {
    fir = DesignBandPass(sampleRateHz, lowHz, highHz, 255);
  }
  return std::make_unique<TNoiseGen>(std::move(fir), 1.0, seed, 3);
}

std::unique_ptr<TSourceGen> MakeSilenceSource() { return std::make_unique<TSilenceGen>(); }

std::unique_ptr<TSourceGen> MakeLoopSource(std::vector<double> samples) {
  return std::make_unique<TLoopGen>(std::move(samples));
}

} // namespace sim
