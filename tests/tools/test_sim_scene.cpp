// Scene synthesis of the virtual array, checked against closed forms computed here: propagation delays from
// the geometry, phases by least-squares fits, levels by direct sums.

#include "tools/sim/random.h"
#include "tools/sim/scene.h"
#include "tools/sim/sinc.h"
#include "tools/sim/wav_io.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <numbers>
#include <stdexcept>

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kFs = 37500.0;
constexpr double kSound = 343.0;

// Three microphones in the x-y plane 120 degrees apart and one on top: delays in all three axes.
TDirDefParams TestGeometry() {
  TDirDefParams g;
  g.FSampling = kFs;
  g.VSound = kSound;
  g.Mics = {{10.0, 0.0, 90.0}, {10.0, 120.0, 90.0}, {10.0, 240.0, 90.0}, {10.0, 0.0, 0.0}};
  return g;
}

// Square in the x-y plane: microphones on +x, +y, -x, -y.
TDirDefParams SquareGeometry() {
  TDirDefParams g = TestGeometry();
  g.Mics = {{10.0, 0.0, 90.0}, {10.0, 90.0, 90.0}, {10.0, 180.0, 90.0}, {10.0, 270.0, 90.0}};
  return g;
}

struct TVec {
  double x, y, z;
};

TVec Spherical(double r, double azDeg, double polDeg) {
  const double a = azDeg * kPi / 180.0;
  const double p = polDeg * kPi / 180.0;
  return {r * std::sin(p) * std::cos(a), r * std::sin(p) * std::sin(a), r * std::cos(p)};
}

double Dist(TVec a, TVec b) {
  return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
}

// Closed-form delay of microphone m relative to the origin, in samples.
double ExpectedDelay(const TDirDefParams &g, int m, double distance, double azDeg, double polDeg) {
  const auto &mic = g.Mics[static_cast<std::size_t>(m)];
  const TVec p = Spherical(mic.L / 100.0, mic.Fi, mic.Tetta);
  const TVec s = Spherical(distance, azDeg, polDeg);
  return (Dist(s, p) - distance) / g.VSound * g.FSampling;
}

// Least-squares fit x[i] ~ a cos(w (i0 + i)) + b sin(w (i0 + i)); returns amplitude and phase (of a cos(. - phase)).
std::pair<double, double> FitTone(const std::vector<double> &x, std::size_t from, std::size_t n, double hz) {
  const double w = 2.0 * kPi * hz / kFs;
  double cc = 0, ss = 0, cs = 0, xc = 0, xs = 0;
  for (std::size_t i = from; i < from + n; ++i) {
    const double c = std::cos(w * static_cast<double>(i));
    const double s = std::sin(w * static_cast<double>(i));
    cc += c * c;
    ss += s * s;
    cs += c * s;
    xc += x[i] * c;
    xs += x[i] * s;
  }
  const double det = cc * ss - cs * cs;
  const double a = (xc * ss - xs * cs) / det;
  const double b = (xs * cc - xc * cs) / det;
  return {std::hypot(a, b), std::atan2(b, a)};
}

double WrapPi(double a) { return a - 2.0 * kPi * std::round(a / (2.0 * kPi)); }

double Rms(const std::vector<double> &v, std::size_t from = 0, std::size_t to = std::string::npos) {
  to = std::min(to, v.size());
  double e = 0.0;
  for (std::size_t i = from; i < to; ++i) {
    e += v[i] * v[i];
  }
  return std::sqrt(e / static_cast<double>(to - from));
}

std::array<std::vector<double>, 4> RenderAll(const sim::TSceneConfig &cfg, const TDirDefParams &g, std::size_t n) {
  sim::TScene scene(cfg, g);
  std::array<std::vector<double>, 4> out;
  scene.Render(n, out);
  return out;
}

sim::TSceneConfig ToneConfig(double hz, double az, double pol) {
  sim::TSceneConfig cfg;
  cfg.source.kind = sim::ESourceKind::Tone;
  cfg.source.toneHz = hz;
  cfg.azimuthDeg = az;
  cfg.polarDeg = pol;
  cfg.snrDb = std::numeric_limits<double>::infinity();
  return cfg;
}

std::string TempPath(const std::string &name) {
  return (std::filesystem::temp_directory_path() / ("ormelin_test_sim_" + name)).string();
}

void WriteWav(const std::string &path, int rate, const std::vector<std::vector<double>> &channels) {
  sim::TWavWriter w;
  std::string error;
  ASSERT_TRUE(w.Open(path, rate, static_cast<int>(channels.size()), error)) << error;
  std::vector<std::int16_t> inter;
  for (std::size_t i = 0; i < channels[0].size(); ++i) {
    for (const auto &ch : channels) {
      inter.push_back(sim::ToInt16(ch[i]));
    }
  }
  ASSERT_TRUE(w.Write(inter.data(), channels[0].size()));
}

} // namespace

TEST(TFractionalDelay, InterpolatesSampledSinesAtFractionalPositions) {
  const sim::TFractionalDelay fd;
  const int taps = fd.Taps();
  for (const double f : {0.02, 0.13, 0.27, 0.40}) { // cycles per sample
    std::vector<double> x(static_cast<std::size_t>(taps));
    for (const double mu : {0.0, 0.01, 0.25, 0.5, 0.731, 0.999}) {
      const double phase0 = 0.3;
      for (int k = 0; k < taps; ++k) { // x[k] is sample i - H + 1 + k; take i = 0
        x[static_cast<std::size_t>(k)] = std::sin(2 * kPi * f * (k - fd.HalfTaps() + 1) + phase0);
      }
      const double exact = std::sin(2 * kPi * f * mu + phase0);
      // An amplitude error e corresponds at most to a delay error e / (2 pi f) samples: ask for 0.001 sample.
      EXPECT_NEAR(fd.Interpolate(x.data(), mu), exact, 2 * kPi * f * 1e-3) << "f=" << f << " mu=" << mu;
    }
  }
}

TEST(Resample, ReproducesToneAtNewRate) {
  for (const double rateIn : {48000.0, 22050.0, 37500.0}) {
    const double hz = 1234.5;
    std::vector<double> in(static_cast<std::size_t>(rateIn * 0.5));
    for (std::size_t i = 0; i < in.size(); ++i) {
      in[i] = 1000.0 * std::sin(2 * kPi * hz * static_cast<double>(i) / rateIn);
    }
    const auto out = sim::Resample(in, rateIn, kFs);
    ASSERT_NEAR(static_cast<double>(out.size()), 0.5 * kFs, 2.0);
    double worst = 0.0;
    for (std::size_t n = 200; n + 200 < out.size(); ++n) { // away from the edges
      worst = std::max(worst, std::fabs(out[n] - 1000.0 * std::sin(2 * kPi * hz * static_cast<double>(n) / kFs)));
    }
    EXPECT_LT(worst, 0.5) << rateIn; // 0.05 % of the amplitude
  }
}

TEST(TScene, ToneDelaysMatchGeometryToHundredthOfSample) {
  const TDirDefParams g = TestGeometry();
  struct TCase {
    double hz, az, pol, dist;
  };
  for (const TCase c :
       {TCase{500, 30, 90, 10}, TCase{3000, 200, 60, 5}, TCase{9000, 300, 120, 50}, TCase{14000, 75, 20, 2}}) {
    sim::TSceneConfig cfg = ToneConfig(c.hz, c.az, c.pol);
    cfg.distanceM = c.dist;
    const auto out = RenderAll(cfg, g, 8000);
    const auto ref = FitTone(out[0], 1000, 6000, c.hz);
    const double t0 = ExpectedDelay(g, 0, c.dist, c.az, c.pol);
    for (int m = 0; m < 4; ++m) {
      const auto fit = FitTone(out[static_cast<std::size_t>(m)], 1000, 6000, c.hz);
      const double tm = ExpectedDelay(g, m, c.dist, c.az, c.pol);
      // A later arrival is a phase lag: phase_m - phase_0 = w (tm - t0).
      const double w = 2 * kPi * c.hz / kFs;
      const double errSamples = WrapPi(fit.second - ref.second - w * (tm - t0)) / w;
      EXPECT_LT(std::fabs(errSamples), 0.002) << "hz=" << c.hz << " mic " << m;
      // Spherical spreading relative to the origin; the tone's RMS at the origin is the level.
      const double gain = c.dist / (c.dist + tm * kSound / kFs);
      EXPECT_NEAR(fit.first, std::sqrt(2.0) * cfg.levelRms * gain, 1e-3 * fit.first) << "mic " << m;
    }
  }
}

TEST(TScene, RotatingSourceFollowsItsPathInTime) {
  const TDirDefParams g = TestGeometry();
  sim::TSceneConfig cfg = ToneConfig(3000, 10, 70);
  cfg.rotateDegPerS = 90.0;
  sim::TScene scene(cfg, g);
  std::array<std::vector<double>, 4> out;
  scene.Render(static_cast<std::size_t>(kFs), out);
  EXPECT_NEAR(scene.SourceAzimuthDeg(), 100.0, 1e-9);
  EXPECT_NEAR(scene.DelaySamples(1), ExpectedDelay(g, 1, cfg.distanceM, 100.0, 70.0), 1e-9);
  const double w = 2 * kPi * 3000 / kFs;
  for (const std::size_t centre : {3000UL, 15000UL, 30000UL}) {
    const double az = 10.0 + 90.0 * static_cast<double>(centre) / kFs;
    const auto ref = FitTone(out[0], centre - 100, 200, 3000);
    for (int m = 1; m < 4; ++m) {
      const auto fit = FitTone(out[static_cast<std::size_t>(m)], centre - 100, 200, 3000);
      const double expect = ExpectedDelay(g, m, cfg.distanceM, az, 70.0) - ExpectedDelay(g, 0, cfg.distanceM, az, 70.0);
      EXPECT_LT(std::fabs(WrapPi(fit.second - ref.second - w * expect) / w), 0.01) << "t=" << centre << " mic " << m;
    }
  }
}

// Lag (samples) at which channel b best matches channel a: negative when b hears the sound first.
int BestLag(const std::vector<double> &a, const std::vector<double> &b, int maxLag) {
  int best = 0;
  double bestValue = -1e300;
  for (int lag = -maxLag; lag <= maxLag; ++lag) {
    double acc = 0.0;
    for (std::size_t n = 100; n + 100 < a.size(); ++n) {
      acc += a[n] * b[static_cast<std::size_t>(static_cast<long>(n) + lag)];
    }
    if (acc > bestValue) {
      bestValue = acc;
      best = lag;
    }
  }
  return best;
}

TEST(TScene, AzimuthAndPolarFollowStationConvention) {
  struct TCase {
    TDirDefParams g;
    double az, pol;
    int first; // the microphone that hears the source first
  };
  const TCase cases[] = {
      {SquareGeometry(), 90, 90, 1},  // +y: the microphone with the largest y
      {SquareGeometry(), 0, 90, 0},   // +x
      {SquareGeometry(), 180, 90, 2}, // -x
      {TestGeometry(), 0, 0, 3},      // straight above: the top microphone
  };
  for (const auto &c : cases) {
    sim::TSceneConfig cfg;
    cfg.source.kind = sim::ESourceKind::Noise;
    cfg.source.noiseLowHz = 500;
    cfg.source.noiseHighHz = 12000;
    cfg.azimuthDeg = c.az;
    cfg.polarDeg = c.pol;
    cfg.snrDb = 40;
    const auto out = RenderAll(cfg, c.g, 6000);
    int earliest = -1;
    int earliestLag = 1000;
    for (int m = 0; m < 4; ++m) {
      const int lag = BestLag(out[0], out[static_cast<std::size_t>(m)], 60);
      if (lag < earliestLag) {
        earliestLag = lag;
        earliest = m;
      }
    }
    EXPECT_EQ(earliest, c.first) << "az " << c.az << " polar " << c.pol;
  }
  // Opposite microphones 20 cm apart along the source direction: 0.2 / 343 s = 21.9 samples.
  sim::TSceneConfig cfg;
  cfg.source.kind = sim::ESourceKind::Noise;
  cfg.azimuthDeg = 90;
  cfg.distanceM = 1000;
  const auto out = RenderAll(cfg, SquareGeometry(), 6000);
  EXPECT_EQ(BestLag(out[3], out[1], 60), -22);
}

TEST(TScene, SensorNoiseHasRequestedSnrAndIsIndependent) {
  const TDirDefParams g = TestGeometry();
  sim::TSceneConfig cfg = ToneConfig(2000, 45, 80);
  cfg.distanceM = 1000; // spreading differences negligible
  const auto clean = RenderAll(cfg, g, 200000);
  cfg.snrDb = 10.0;
  sim::TScene scene(cfg, g);
  std::array<std::vector<double>, 4> noisy;
  scene.Render(200000, noisy);
  EXPECT_NEAR(scene.NoiseSigma(), cfg.levelRms / std::sqrt(10.0), 1e-9);
  std::array<std::vector<double>, 4> noise;
  for (std::size_t m = 0; m < 4; ++m) {
    EXPECT_NEAR(Rms(clean[m]), cfg.levelRms, 0.002 * cfg.levelRms); // source level at the array
    noise[m].resize(noisy[m].size());
    for (std::size_t i = 0; i < noisy[m].size(); ++i) {
      noise[m][i] = noisy[m][i] - clean[m][i];
    }
    const double snr = 20 * std::log10(cfg.levelRms / Rms(noise[m]));
    EXPECT_NEAR(snr, 10.0, 0.05) << "mic " << m;
  }
  for (std::size_t a = 0; a < 4; ++a) {
    for (std::size_t b = a + 1; b < 4; ++b) {
      double ab = 0.0;
      for (std::size_t i = 0; i < noise[a].size(); ++i) {
        ab += noise[a][i] * noise[b][i];
      }
      const double rho = ab / (static_cast<double>(noise[a].size()) * Rms(noise[a]) * Rms(noise[b]));
      EXPECT_LT(std::fabs(rho), 0.02) << a << "," << b;
    }
  }
}

TEST(TScene, DroneHasItsLevelAndTonalEnergyInTwoToTenKilohertz) {
  sim::TSceneConfig cfg;
  cfg.snrDb = std::numeric_limits<double>::infinity();
  cfg.distanceM = 1000;
  const auto out = RenderAll(cfg, TestGeometry(), 75000);
  EXPECT_NEAR(20 * std::log10(Rms(out[0]) / cfg.levelRms), 0.0, 0.5);
  // Energy per band by a direct DFT on 2048 samples at 100 Hz steps.
  double inBand = 0.0;
  double total = 0.0;
  for (double f = 100; f < 18000; f += 100) {
    double re = 0, im = 0;
    for (std::size_t i = 20000; i < 22048; ++i) {
      re += out[0][i] * std::cos(2 * kPi * f * static_cast<double>(i) / kFs);
      im += out[0][i] * std::sin(2 * kPi * f * static_cast<double>(i) / kFs);
    }
    const double p = re * re + im * im;
    total += p;
    if (f >= 2000 && f <= 10000) {
      inBand += p;
    }
  }
  EXPECT_GT(inBand / total, 0.6);
}

TEST(TScene, SameSeedGivesSameSamplesHoweverSplit) {
  const TDirDefParams g = TestGeometry();
  sim::TSceneConfig cfg; // drone with sensor noise: every random stream is used
  cfg.rotateDegPerS = 20;
  cfg.seed = 7;
  const auto whole = RenderAll(cfg, g, 3000);
  sim::TScene pieces(cfg, g);
  std::array<std::vector<double>, 4> part;
  std::size_t done = 0;
  for (const std::size_t n : {1UL, 399UL, 400UL, 1000UL, 1200UL}) {
    pieces.Render(n, part);
    for (std::size_t m = 0; m < 4; ++m) {
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(part[m][i], whole[m][done + i]) << "mic " << m << " sample " << done + i;
      }
    }
    done += n;
  }
  cfg.seed = 8;
  const auto other = RenderAll(cfg, g, 3000);
  EXPECT_NE(other[0], whole[0]);
}

TEST(TScene, SourceComesAndGoesOnSchedule) {
  sim::TSceneConfig cfg = ToneConfig(1000, 0, 90);
  std::string error;
  ASSERT_TRUE(sim::ParseSchedule("0.2:0.3", cfg.presence, error)) << error;
  const auto out = RenderAll(cfg, TestGeometry(), static_cast<std::size_t>(kFs));
  const auto at = [](double s) { return static_cast<std::size_t>(s * kFs); };
  EXPECT_NEAR(Rms(out[0], at(0.06), at(0.14)), cfg.levelRms, 0.02 * cfg.levelRms);
  EXPECT_LT(Rms(out[0], at(0.21), at(0.49)), 1.0);
  EXPECT_NEAR(Rms(out[0], at(0.56), at(0.64)), cfg.levelRms, 0.02 * cfg.levelRms);
  // The fade is smooth: no sample-to-sample jump larger than the tone itself makes.
  double jump = 0.0;
  for (std::size_t i = at(0.15); i < at(0.25); ++i) {
    jump = std::max(jump, std::fabs(out[0][i + 1] - out[0][i]));
  }
  EXPECT_LT(jump, std::sqrt(2.0) * cfg.levelRms * 2 * kPi * 1000 / kFs * 1.05);
}

TEST(TPresence, ParsesIntervalsAndRejectsBadOnes) {
  sim::TPresence p;
  std::string error;
  ASSERT_TRUE(sim::ParsePresentList("1-2.5,4-", p, error)) << error;
  ASSERT_EQ(p.intervals.size(), 2U);
  EXPECT_EQ(p.Gain(0.5), 0.0);
  EXPECT_EQ(p.Gain(2.0), 1.0);
  EXPECT_EQ(p.Gain(3.0), 0.0);
  EXPECT_EQ(p.Gain(1e6), 1.0);
  EXPECT_GT(p.Gain(1.01), 0.0);
  EXPECT_LT(p.Gain(1.01), 0.5);
  for (const char *bad : {"", "2-1", "1-3,2-4", "1-,3-4", "a-b", "5"}) {
    EXPECT_FALSE(sim::ParsePresentList(bad, p, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
  for (const char *bad : {"5", "0:1", "1:-1", "x:2"}) {
    EXPECT_FALSE(sim::ParseSchedule(bad, p, error)) << bad;
  }
  ASSERT_TRUE(sim::ParseSchedule("2:3", p, error));
  EXPECT_EQ(p.Gain(11.0), 1.0); // 11 s = 2 periods of 5 s + 1 s: present
  EXPECT_EQ(p.Gain(13.0), 0.0);
}

TEST(TScene, BackgroundIsMixedAtSbrWithoutDirection) {
  const std::string path = TempPath("background.wav");
  sim::TRandom rng(3);
  std::vector<double> bg(static_cast<std::size_t>(kFs));
  for (double &v : bg) {
    v = 3000 * rng.Gaussian();
  }
  WriteWav(path, static_cast<int>(kFs), {bg});
  sim::TSceneConfig cfg = ToneConfig(700, 0, 90);
  const auto clean = RenderAll(cfg, TestGeometry(), bg.size());
  cfg.backgroundPath = path;
  cfg.sbrDb = 6.0;
  const auto mixed = RenderAll(cfg, TestGeometry(), bg.size());
  std::array<std::vector<double>, 4> part;
  for (std::size_t m = 0; m < 4; ++m) {
    part[m].resize(bg.size());
    for (std::size_t i = 0; i < bg.size(); ++i) {
      part[m][i] = mixed[m][i] - clean[m][i];
    }
    // One whole loop of the recording: its RMS is exactly the scaled level (up to 16-bit rounding).
    EXPECT_NEAR(20 * std::log10(cfg.levelRms / Rms(part[m])), 6.0, 0.01);
  }
  EXPECT_NE(part[0], part[1]);
  std::filesystem::remove(path);
}

TEST(TScene, MonoRecordingAtAnotherRateIsPlacedInTheScene) {
  const std::string path = TempPath("mono48k.wav");
  std::vector<double> tone(48000);
  for (std::size_t i = 0; i < tone.size(); ++i) {
    tone[i] = 10000 * std::sin(2 * kPi * 1500 * static_cast<double>(i) / 48000);
  }
  WriteWav(path, 48000, {tone});
  sim::TSceneConfig cfg;
  cfg.source.kind = sim::ESourceKind::Wav;
  cfg.source.wavPath = path;
  cfg.azimuthDeg = 250;
  cfg.snrDb = std::numeric_limits<double>::infinity();
  const TDirDefParams g = TestGeometry();
  const auto out = RenderAll(cfg, g, 20000);
  const double w = 2 * kPi * 1500 / kFs;
  const auto ref = FitTone(out[0], 2000, 10000, 1500);
  EXPECT_NEAR(ref.first, std::sqrt(2.0) * cfg.levelRms, 0.01 * ref.first);
  for (int m = 1; m < 4; ++m) {
    const auto fit = FitTone(out[static_cast<std::size_t>(m)], 2000, 10000, 1500);
    const double expect = ExpectedDelay(g, m, 10, 250, 90) - ExpectedDelay(g, 0, 10, 250, 90);
    EXPECT_LT(std::fabs(WrapPi(fit.second - ref.second - w * expect) / w), 0.01) << "mic " << m;
  }
  std::filesystem::remove(path);
}

TEST(TScene, FourChannelRecordingPlaysAsRecordedAndLoops) {
  const std::string path = TempPath("four.wav");
  std::vector<std::vector<double>> chans(4, std::vector<double>(500));
  for (std::size_t k = 0; k < 4; ++k) {
    for (std::size_t i = 0; i < 500; ++i) {
      chans[k][i] = static_cast<double>(1000 * (k + 1)) + static_cast<double>(i % 37) - static_cast<double>(k);
    }
  }
  WriteWav(path, static_cast<int>(kFs), chans);
  sim::TSceneConfig cfg;
  cfg.source.kind = sim::ESourceKind::Wav;
  cfg.source.wavPath = path;
  cfg.snrDb = std::numeric_limits<double>::infinity();
  const auto out = RenderAll(cfg, TestGeometry(), 1200);
  for (std::size_t k = 0; k < 4; ++k) {
    for (std::size_t i = 0; i < 1200; ++i) {
      ASSERT_EQ(out[k][i], chans[k][i % 500]) << "channel " << k << " sample " << i;
    }
  }
  std::filesystem::remove(path);
}

// Frequency of a clean tone from its rising zero crossings (linearly interpolated) in [from, to), Hz.
double ZeroCrossingHz(const std::vector<double> &x, std::size_t from, std::size_t to) {
  double first = -1.0;
  double last = -1.0;
  int crossings = 0;
  for (std::size_t i = from; i + 1 < to; ++i) {
    if (x[i] < 0.0 && x[i + 1] >= 0.0) {
      const double t = static_cast<double>(i) + x[i] / (x[i] - x[i + 1]);
      if (first < 0.0) {
        first = t;
      }
      last = t;
      ++crossings;
    }
  }
  return crossings < 2 ? 0.0 : (crossings - 1) / (last - first) * kFs;
}

std::vector<double> ToneSamples(double hz, double rate, std::size_t n, double amplitude) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) {
    v[i] = amplitude * std::sin(2 * kPi * hz * static_cast<double>(i) / rate);
  }
  return v;
}

sim::TSceneConfig MonoWavConfig(const std::string &path, double pitch) {
  sim::TSceneConfig cfg;
  cfg.source.kind = sim::ESourceKind::Wav;
  cfg.source.wavPath = path;
  cfg.pitchFactor = pitch;
  cfg.distanceM = 1000;
  cfg.snrDb = std::numeric_limits<double>::infinity();
  return cfg;
}

TEST(TScene, PitchFactorPlaysMonoRecordingFasterAtItsLevel) {
  const std::string path = TempPath("pitch_tone.wav");
  WriteWav(path, static_cast<int>(kFs), {ToneSamples(1000, kFs, static_cast<std::size_t>(kFs), 10000)});
  for (const double pitch : {0.5, 0.9, 1.0, 1.1, 1.37, 2.0}) {
    // 16000 samples stay inside one pass of the 1 s recording even when it is halved: no loop seam measured.
    const auto out = RenderAll(MonoWavConfig(path, pitch), TestGeometry(), 16000);
    for (std::size_t m = 0; m < 4; ++m) {
      EXPECT_NEAR(ZeroCrossingHz(out[m], 1000, 15000), 1000.0 * pitch, 0.5) << "pitch " << pitch << " mic " << m;
    }
    EXPECT_NEAR(Rms(out[0], 1000, 15000), 3000.0, 0.01 * 3000.0) << "pitch " << pitch;
  }
  std::filesystem::remove(path);
}

TEST(TScene, PitchFactorOnlyResamplesWhenTheRatesDiffer) {
  // The same samples declared at 18750 Hz and played twice as fast are the 37500 Hz file played as it is:
  // neither is resampled, so the two scenes agree to the last bit.
  const std::string slow = TempPath("pitch_18750.wav");
  const std::string native = TempPath("pitch_37500.wav");
  sim::TRandom rng(11);
  std::vector<double> noise(20000);
  for (double &v : noise) {
    v = 2000 * rng.Gaussian();
  }
  WriteWav(slow, 18750, {noise});
  WriteWav(native, static_cast<int>(kFs), {noise});
  sim::TSceneConfig cfg = MonoWavConfig(native, 1.0);
  cfg.snrDb = 20; // the noise streams must not depend on the pitch either
  cfg.azimuthDeg = 77;
  cfg.distanceM = 12;
  const auto expected = RenderAll(cfg, TestGeometry(), 30000);
  cfg.source.wavPath = slow;
  cfg.pitchFactor = 2.0;
  const auto doubled = RenderAll(cfg, TestGeometry(), 30000);
  for (std::size_t m = 0; m < 4; ++m) {
    EXPECT_EQ(doubled[m], expected[m]) << "mic " << m;
  }
  std::filesystem::remove(slow);
  std::filesystem::remove(native);
}

TEST(TScene, PitchFactorLeavesTheBackgroundAlone) {
  const std::string source = TempPath("pitch_source.wav");
  const std::string background = TempPath("pitch_background.wav");
  WriteWav(source, static_cast<int>(kFs), {ToneSamples(3000, kFs, 37500, 8000)});
  WriteWav(background, static_cast<int>(kFs), {ToneSamples(700, kFs, 37500, 8000)});
  sim::TSceneConfig cfg = MonoWavConfig(source, 1.5);
  const auto clean = RenderAll(cfg, TestGeometry(), 16000);
  cfg.backgroundPath = background;
  cfg.sbrDb = 0.0;
  const auto mixed = RenderAll(cfg, TestGeometry(), 16000);
  for (std::size_t m = 0; m < 4; ++m) {
    std::vector<double> part(clean[m].size());
    for (std::size_t i = 0; i < part.size(); ++i) {
      part[i] = mixed[m][i] - clean[m][i];
    }
    EXPECT_NEAR(ZeroCrossingHz(part, 1000, 15000), 700.0, 0.5) << "mic " << m;
    EXPECT_NEAR(ZeroCrossingHz(clean[m], 1000, 15000), 4500.0, 0.5) << "mic " << m;
  }
  std::filesystem::remove(source);
  std::filesystem::remove(background);
}

TEST(TScene, RefusesPitchFactorsOutOfRangeOrWithoutMonoRecording) {
  const TDirDefParams g = TestGeometry();
  const std::string mono = TempPath("pitch_mono.wav");
  WriteWav(mono, static_cast<int>(kFs), {ToneSamples(1000, kFs, 4000, 5000)});
  for (const double bad : {0.0, -1.0, 0.49, 2.01, 10.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    const std::string why = sim::CheckSceneConfig(MonoWavConfig(mono, bad), g);
    EXPECT_NE(why.find("pitch factor must lie in 0.5 .. 2"), std::string::npos) << bad << ": " << why;
  }
  for (const double good : {0.5, 2.0}) {
    EXPECT_EQ(sim::CheckSceneConfig(MonoWavConfig(mono, good), g), "") << good;
  }
  sim::TSceneConfig drone;
  drone.pitchFactor = 1.1;
  EXPECT_NE(sim::CheckSceneConfig(drone, g).find("needs a wav: source"), std::string::npos);
  sim::TSceneConfig tone = ToneConfig(1000, 0, 90);
  tone.pitchFactor = 0.8;
  EXPECT_NE(sim::CheckSceneConfig(tone, g).find("needs a wav: source"), std::string::npos);

  const std::string four = TempPath("pitch_four.wav");
  WriteWav(four, static_cast<int>(kFs), std::vector<std::vector<double>>(4, std::vector<double>(300, 100.0)));
  std::string message;
  try {
    sim::TScene scene(MonoWavConfig(four, 1.2), g);
  } catch (const std::invalid_argument &e) {
    message = e.what();
  }
  EXPECT_NE(message.find("has 4 channels: a pitch factor needs a mono recording"), std::string::npos) << message;
  EXPECT_NO_THROW(sim::TScene(MonoWavConfig(four, 1.0), g)); // as recorded, as before
  std::filesystem::remove(mono);
  std::filesystem::remove(four);
}

TEST(TScene, RefusesUnusableRecordingsAndSettings) {
  const std::string two = TempPath("stereo.wav");
  WriteWav(two, static_cast<int>(kFs), {std::vector<double>(100, 5.0), std::vector<double>(100, 5.0)});
  sim::TSceneConfig cfg;
  cfg.source.kind = sim::ESourceKind::Wav;
  const TDirDefParams g = TestGeometry();
  const auto message = [&](const sim::TSceneConfig &c, const TDirDefParams &geo) -> std::string {
    try {
      sim::TScene scene(c, geo);
    } catch (const std::invalid_argument &e) {
      return e.what();
    }
    return {};
  };
  cfg.source.wavPath = two;
  EXPECT_NE(message(cfg, g).find("has 2 channels"), std::string::npos);
  cfg.source.wavPath = TempPath("does_not_exist.wav");
  EXPECT_NE(message(cfg, g).find("cannot open"), std::string::npos);
  cfg.backgroundPath.clear();
  cfg.source = {};
  cfg.distanceM = 0.05; // inside the 10 cm array
  EXPECT_NE(message(cfg, g).find("distance"), std::string::npos);
  cfg.distanceM = 10;
  cfg.polarDeg = 200;
  EXPECT_NE(message(cfg, g).find("polar"), std::string::npos);
  cfg.polarDeg = 90;
  cfg.source.kind = sim::ESourceKind::Tone;
  cfg.source.toneHz = 20000; // above Nyquist at 37.5 kHz
  EXPECT_NE(message(cfg, g).find("tone"), std::string::npos);
  cfg.source = {};
  TDirDefParams noSpeed = g;
  noSpeed.VSound = 0.0;
  EXPECT_NE(message(cfg, noSpeed).find("VSound"), std::string::npos);
  std::filesystem::remove(two);
}

TEST(ParseSourceSpec, AcceptsEveryKindAndRejectsMalformedText) {
  sim::TSourceSpec s;
  std::string error;
  ASSERT_TRUE(sim::ParseSourceSpec("tone:5000", s, error));
  EXPECT_EQ(s.kind, sim::ESourceKind::Tone);
  EXPECT_EQ(s.toneHz, 5000.0);
  ASSERT_TRUE(sim::ParseSourceSpec("drone:1.3", s, error));
  EXPECT_EQ(s.rotorSpeedFactor, 1.3);
  ASSERT_TRUE(sim::ParseSourceSpec("noise:2000-8000", s, error));
  EXPECT_EQ(s.noiseLowHz, 2000.0);
  EXPECT_EQ(s.noiseHighHz, 8000.0);
  ASSERT_TRUE(sim::ParseSourceSpec("wav:/tmp/a:b.wav", s, error));
  EXPECT_EQ(s.wavPath, "/tmp/a:b.wav");
  ASSERT_TRUE(sim::ParseSourceSpec("silence", s, error));
  for (const char *bad : {"tone", "tone:-5", "tone:5k", "drone:0", "noise:8000-2000", "wav:", "buzz", "silence:1"}) {
    EXPECT_FALSE(sim::ParseSourceSpec(bad, s, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(ToInt16, RoundsAndClips) {
  EXPECT_EQ(sim::ToInt16(1.5), 2);
  EXPECT_EQ(sim::ToInt16(-1.5), -2);
  EXPECT_EQ(sim::ToInt16(1.49), 1);
  EXPECT_EQ(sim::ToInt16(32766.6), 32767);
  EXPECT_EQ(sim::ToInt16(40000.0), 32767);
  EXPECT_EQ(sim::ToInt16(-40000.0), -32768);
  EXPECT_EQ(sim::ToInt16(std::nan("")), 0);
  EXPECT_EQ(sim::ToInt16(std::numeric_limits<double>::infinity()), 32767);
}
