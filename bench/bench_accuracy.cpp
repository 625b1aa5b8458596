// Accuracy of the station's direction finding against the virtual array. A plain program, not a timed test: it
// renders four-microphone scenes with the scene simulator (sources at azimuths 0..345 degrees in 15-degree steps,
// polar angle 90 and 60 degrees, the synthetic drone and white noise, SNR 20, 10, 0 and -5 dB), rounds them to
// 16-bit samples as the array would, runs them block by block through the engine's own direction half
// (preprocessor, stream definer, block averagers: TDirectionHalf), and prints, per SNR and source, the RMS and
// 95th-percentile error of the block-averaged azimuth and the share of averaged azimuths within 5 degrees. The
// settings come from dir_def.json; the two settings of "PairRefine" run side by side on the same samples.
//
//   bench_accuracy [--settings PATH] [--quick] [--seconds S] [--skip K] [--snr LIST] [--distance M] [--detail]

#include "app/dir_def_params.h"
#include "engines/hybrid_steps.h"
#include "tools/sim/scene.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifndef ORMELIN_SOURCE_DIR
#define ORMELIN_SOURCE_DIR "."
#endif

namespace {

constexpr int kBlock = 400;      // samples per channel per block, as the array delivers them
constexpr int kSettingCount = 2; // column 0: PairRefine 0 (designed), column 1: PairRefine 1
constexpr double kWithinDeg = 5.0;

struct TOptions {
  std::string settings = std::string(ORMELIN_SOURCE_DIR) + "/settings/dir_def.json";
  double seconds = 4.0; // sound per scene
  int skip = 2;         // averaged azimuths dropped at the start of each scene (start-up transient)
  double azStepDeg = 15.0;
  double distanceM = 100.0; // the locator's model range, so the numbers measure the estimator, not the model
  std::vector<double> snrs{20.0, 10.0, 0.0, -5.0};
  bool detail = false;
  // Real drones over real backgrounds: the flights and outdoor backgrounds of this directory.
  std::string realDir = std::string(ORMELIN_SOURCE_DIR) + "/../shared/sounds";
  bool realOnly = false;
  bool realToo = false;
  std::vector<double> sbrs{6.0, 0.0};
  std::vector<std::pair<std::string, double>> sets; // --set KEY=VALUE for the second column of the real rows
};

struct TSource {
  const char *name;
  sim::ESourceKind kind;
};
constexpr std::array<TSource, 2> kSources{{{"drone", sim::ESourceKind::Drone}, {"noise", sim::ESourceKind::Noise}}};
constexpr std::array<double, 2> kPolarsDeg{90.0, 60.0};

void Usage() {
  std::printf("usage: bench_accuracy [--settings PATH] [--quick] [--seconds S] [--skip K] [--snr LIST]\n"
              "                      [--distance M] [--detail]\n"
              "  --settings PATH  dir_def.json to use (default: the shipped settings/dir_def.json)\n"
              "  --quick          azimuths every 45 degrees, 2 s per scene\n"
              "  --seconds S      seconds of sound per scene (default 4)\n"
              "  --skip K         averaged azimuths dropped at the start of each scene (default 2)\n"
              "  --snr LIST       comma-separated SNRs in dB (default 20,10,0,-5)\n"
              "  --distance M     source distance in metres (default 100, the locator's model range)\n"
              "  --detail         also print the mean and RMS error of every scene\n"
              "  --real           also real drone flights (target/sv_drone_*) over real outdoor backgrounds\n"
              "                   (background/sv_background_*, each microphone its own stretch) of --real-dir\n"
              "  --real-only      only those rows\n"
              "  --real-dir DIR   directory of the recordings (default ../shared/sounds beside the sources)\n"
              "  --sbr LIST       drone-to-background ratios of the real rows, dB (default 6,0)\n"
              "  --set KEY=VALUE  real rows: the second column's settings differ from the file's by this\n"
              "                   (FitGate, RobustAvg, F_flt_min, F_flt_max, OutAvgLen; repeatable); without\n"
              "                   --set the columns are the file's settings with FitGate and RobustAvg 0, and\n"
              "                   the file's settings\n");
}

bool ParseNumber(std::string_view text, double &out) {
  const std::string s(text);
  char *end = nullptr;
  out = std::strtod(s.c_str(), &end);
  return !s.empty() && end == s.c_str() + s.size() && std::isfinite(out);
}

// A comma-separated list of dB values into out; returns "" or the reason it is refused.
std::string ParseDbList(std::string_view option, const char *text, std::vector<double> &out) {
  out.clear();
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    double v = 0.0;
    if (!ParseNumber(item, v)) {
      return std::string(option) + ": '" + item + "' is not a number of dB";
    }
    out.push_back(v);
  }
  if (out.empty()) {
    return std::string(option) + " needs at least one value";
  }
  return "";
}

// Returns "" or the one-line reason the command line is refused.
std::string ParseOptions(int argc, char **argv, TOptions &o, bool &help) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    const auto value = [&](double &out) -> std::string {
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], out)) {
        return std::string(a) + " needs a number";
      }
      ++i;
      return "";
    };
    double v = 0.0;
    std::string err;
    if (a == "--help" || a == "-h") {
      help = true;
    } else if (a == "--quick") {
      o.azStepDeg = 45.0;
      o.seconds = 2.0;
    } else if (a == "--detail") {
      o.detail = true;
    } else if (a == "--settings") {
      if (i + 1 >= argc) {
        return "--settings needs a path";
      }
      o.settings = argv[++i];
    } else if (a == "--seconds") {
      if (!(err = value(v)).empty()) {
        return err;
      }
      if (v < 0.5 || v > 600) {
        return "--seconds must be between 0.5 and 600";
      }
      o.seconds = v;
    } else if (a == "--skip") {
      if (!(err = value(v)).empty()) {
        return err;
      }
      if (v < 0 || v > 1000 || v != std::floor(v)) {
        return "--skip must be a whole number from 0 to 1000";
      }
      o.skip = static_cast<int>(v);
    } else if (a == "--distance") {
      if (!(err = value(v)).empty()) {
        return err;
      }
      o.distanceM = v; // the scene refuses distances inside the array
    } else if (a == "--real") {
      o.realToo = true;
    } else if (a == "--real-only") {
      o.realOnly = true;
    } else if (a == "--real-dir") {
      if (i + 1 >= argc) {
        return "--real-dir needs a directory";
      }
      o.realDir = argv[++i];
    } else if (a == "--set") {
      if (i + 1 >= argc) {
        return "--set needs KEY=VALUE";
      }
      const std::string kv = argv[++i];
      const auto eq = kv.find('=');
      if (eq == std::string::npos || !ParseNumber(std::string_view(kv).substr(eq + 1), v)) {
        return "--set: '" + kv + "' is not KEY=NUMBER";
      }
      const std::string key = kv.substr(0, eq);
      if (key != "FitGate" && key != "RobustAvg" && key != "F_flt_min" && key != "F_flt_max" && key != "OutAvgLen") {
        return "--set: unknown key '" + key + "'";
      }
      o.sets.emplace_back(key, v);
    } else if (a == "--sbr" || a == "--snr") {
      if (i + 1 >= argc) {
        return std::string(a) + " needs a comma-separated list of dB values";
      }
      if (!(err = ParseDbList(a, argv[++i], a == "--sbr" ? o.sbrs : o.snrs)).empty()) {
        return err;
      }
    } else {
      return "unknown option '" + std::string(a) + "' (try --help)";
    }
  }
  return "";
}

// Azimuth error in degrees, taken modulo 360 into (-180, 180].
double AzimuthError(double estimateDeg, double truthDeg) {
  double e = std::fmod(estimateDeg - truthDeg, 360.0);
  if (e > 180.0) {
    e -= 360.0;
  } else if (e <= -180.0) {
    e += 360.0;
  }
  return e;
}

struct TStats {
  double rms = 0.0;
  double p95 = 0.0;    // 95th percentile of |error|, nearest rank
  double within = 0.0; // share of |error| <= kWithinDeg
  std::size_t count = 0;
  std::size_t noDirection = 0; // averaged azimuths that were NaN
};

TStats Summarise(std::vector<double> errors) {
  TStats s;
  s.count = errors.size();
  if (errors.empty()) {
    return s;
  }
  // A block without a direction (NaN: silence, or a robust mean without agreement) is a miss for "within"
  // and stays out of the RMS and the percentile.
  const std::size_t all = errors.size();
  std::erase_if(errors, [](double e) { return !std::isfinite(e); });
  s.noDirection = all - errors.size();
  if (errors.empty()) {
    return s;
  }
  double sum2 = 0.0;
  std::size_t within = 0;
  for (double &e : errors) {
    e = std::fabs(e);
    sum2 += e * e;
    within += e <= kWithinDeg ? 1 : 0;
  }
  std::sort(errors.begin(), errors.end());
  const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(errors.size())));
  s.rms = std::sqrt(sum2 / static_cast<double>(errors.size()));
  s.p95 = errors[std::max<std::size_t>(rank, 1) - 1];
  s.within = static_cast<double>(within) / static_cast<double>(all);
  return s;
}

// Runs one scene through both settings; appends the averaged azimuths' errors (degrees) per setting.
void RunScene(const sim::TSceneConfig &cfg, const std::array<TDirDefParams, kSettingCount> &params, const TOptions &o,
              std::array<std::vector<double>, kSettingCount> &errors) {
  sim::TScene scene(cfg, params[0]);
  std::array<std::unique_ptr<TDirectionHalf>, kSettingCount> halves;
  for (int s = 0; s < kSettingCount; ++s) {
    halves[static_cast<std::size_t>(s)] = std::make_unique<TDirectionHalf>(params[static_cast<std::size_t>(s)]);
  }
  std::array<std::vector<double>, 4> rendered;
  std::array<std::vector<double>, 4> block;
  const auto blocks = static_cast<long>(std::ceil(o.seconds * scene.SampleRateHz() / kBlock));
  std::array<int, kSettingCount> seen{};
  std::array<std::vector<double>, kSettingCount> scene_errors;
  for (long b = 0; b < blocks; ++b) {
    const double truth = scene.SourceAzimuthDeg(); // the source does not move
    scene.Render(kBlock, rendered);
    for (std::size_t c = 0; c < 4; ++c) {
      block[c].resize(kBlock);
      for (std::size_t i = 0; i < kBlock; ++i) {
        block[c][i] = sim::ToInt16(rendered[c][i]);
      }
    }
    for (std::size_t s = 0; s < kSettingCount; ++s) {
      halves[s]->ProcessBlock(block[0], block[1], block[2], block[3], [&](int, double deg) {
        if (seen[s]++ >= o.skip) {
          scene_errors[s].push_back(AzimuthError(deg, truth));
        }
      });
    }
  }
  for (std::size_t s = 0; s < kSettingCount; ++s) {
    if (o.detail) {
      double mean = 0.0;
      double sum2 = 0.0;
      for (const double e : scene_errors[s]) {
        mean += e;
        sum2 += e * e;
      }
      const auto n = static_cast<double>(std::max<std::size_t>(scene_errors[s].size(), 1));
      std::printf("  az %6.1f  polar %4.1f  PairRefine %zu: mean error %+8.3f deg, RMS %7.3f deg (%zu)\n",
                  cfg.azimuthDeg, cfg.polarDeg, s, mean / n, std::sqrt(sum2 / n), scene_errors[s].size());
    }
    errors[s].insert(errors[s].end(), scene_errors[s].begin(), scene_errors[s].end());
  }
}

// Files of `dir` whose names start with `prefix`, sorted.
std::vector<std::string> Recordings(const std::string &dir, const std::string &prefix) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(prefix, 0) == 0) {
      out.push_back(e.path().string());
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

void ApplySet(TDirDefParams &p, const std::string &key, double v) {
  if (key == "FitGate") {
    p.FitGate = v;
  } else if (key == "RobustAvg") {
    p.RobustAvg = v;
  } else if (key == "F_flt_min") {
    p.F_flt_min = v;
  } else if (key == "F_flt_max") {
    p.F_flt_max = v;
  } else if (key == "OutAvgLen") {
    p.OutAvgLen = static_cast<std::int32_t>(v);
  }
}

// Every real flight over a real background (flight i with background i + 7, so no pair shares a recording
// session), azimuths every 45 degrees (--quick: 90) at polar 90, the scene's length the flight's 10 s; one row
// per drone-to-background ratio. Returns false when the recordings are missing.
bool RunRealRows(const TDirDefParams &shipped, const TOptions &o) {
  const auto flights = Recordings(o.realDir + "/target", "sv_drone_");
  const auto backgrounds = Recordings(o.realDir + "/background", "sv_background_");
  if (flights.empty() || backgrounds.empty()) {
    std::fprintf(stderr, "bench_accuracy: no sv_drone_* in %s/target or no sv_background_* in %s/background\n",
                 o.realDir.c_str(), o.realDir.c_str());
    return false;
  }
  std::array<TDirDefParams, kSettingCount> params{shipped, shipped};
  if (o.sets.empty()) {
    params[0].FitGate = 0.0;
    params[0].RobustAvg = 0.0;
  } else {
    for (const auto &[key, v] : o.sets) {
      ApplySet(params[1], key, v);
    }
  }
  std::printf("\nReal drones (%zu flights) over real outdoor backgrounds, diffuse, sensor noise SNR 30 dB; "
              "column A: %s, column B: %s\n\n",
              flights.size(), o.sets.empty() ? "FitGate 0, RobustAvg 0" : "the file's settings",
              o.sets.empty() ? "the file's settings" : "with --set");
  std::printf("| drone/background dB | averaged azimuths | RMS A | RMS B | p95 A | p95 B | within 5 deg A |"
              " within 5 deg B | no direction A | B | scenes with an error > 20 deg A | B |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|\n");
  const double step = o.azStepDeg >= 45.0 ? 90.0 : 45.0;
  std::uint64_t seed = 1000;
  for (const double sbr : o.sbrs) {
    std::array<std::vector<double>, kSettingCount> errors;
    std::array<int, kSettingCount> jumps{};
    for (std::size_t f = 0; f < flights.size(); ++f) {
      for (double az = 0.0; az < 360.0 - 1e-9; az += step) {
        sim::TSceneConfig cfg;
        cfg.source.kind = sim::ESourceKind::Wav;
        cfg.source.wavPath = flights[f];
        cfg.azimuthDeg = az;
        cfg.polarDeg = 90.0;
        cfg.distanceM = o.distanceM;
        cfg.snrDb = 30.0;
        cfg.backgroundPath = backgrounds[(f + 7) % backgrounds.size()];
        cfg.sbrDb = sbr;
        cfg.seed = seed++;
        std::array<std::vector<double>, kSettingCount> scene;
        TOptions real = o;
        real.seconds = 10.0;
        RunScene(cfg, params, real, scene);
        for (std::size_t s = 0; s < kSettingCount; ++s) {
          const bool jump = std::any_of(scene[s].begin(), scene[s].end(), [](double e) { return std::fabs(e) > 20; });
          jumps[s] += jump ? 1 : 0;
          errors[s].insert(errors[s].end(), scene[s].begin(), scene[s].end());
        }
      }
    }
    const TStats a = Summarise(errors[0]);
    const TStats b = Summarise(errors[1]);
    std::printf("| %g | %zu | %.3f | %.3f | %.3f | %.3f | %.1f%% | %.1f%% | %zu | %zu | %d | %d |\n", sbr, a.count,
                a.rms, b.rms, a.p95, b.p95, 100.0 * a.within, 100.0 * b.within, a.noDirection, b.noDirection, jumps[0],
                jumps[1]);
    std::fflush(stdout);
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  TOptions o;
  bool help = false;
  if (const std::string err = ParseOptions(argc, argv, o, help); !err.empty()) {
    std::fprintf(stderr, "bench_accuracy: %s\n", err.c_str());
    return 2;
  }
  if (help) {
    Usage();
    return 0;
  }
  std::error_code ec;
  if (!std::filesystem::is_regular_file(o.settings, ec)) {
    std::fprintf(stderr, "bench_accuracy: cannot read settings file %s\n", o.settings.c_str());
    return 1;
  }
  TDirDefParams shipped;
  shipped.LoadJS(o.settings);
  std::array<TDirDefParams, kSettingCount> params{shipped, shipped};
  params[0].PairRefine = false;
  params[1].PairRefine = true;

  std::printf("Direction accuracy against the virtual array\n");
  std::printf("settings %s: FSampling %g Hz, VSound %g m/s, FrameSize %d, SM_Disp %d, F_flt %g..%g, OutAvgLen %d,"
              " EnableViner %d\n",
              o.settings.c_str(), shipped.FSampling, shipped.VSound, shipped.FrameSize, shipped.SM_Disp,
              shipped.F_flt_min, shipped.F_flt_max, shipped.OutAvgLen, shipped.EnableViner ? 1 : 0);
  std::printf("scenes: azimuth 0..%g step %g deg, polar 90 and 60 deg, %g m, %g s each, first %d averaged "
              "azimuths dropped; errors of the block-averaged azimuth in degrees\n\n",
              360.0 - o.azStepDeg, o.azStepDeg, o.distanceM, o.seconds, o.skip);

  if (o.realOnly) {
    try {
      return RunRealRows(shipped, o) ? 0 : 1;
    } catch (const std::exception &e) {
      std::fprintf(stderr, "bench_accuracy: %s\n", e.what());
      return 1;
    }
  }
  std::printf("| SNR dB | source | averaged azimuths | RMS designed | RMS PairRefine | p95 designed | p95 PairRefine |"
              " within 5 deg designed | within 5 deg PairRefine |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  std::uint64_t seed = 1;
  try {
    for (const double snr : o.snrs) {
      for (const TSource &src : kSources) {
        std::array<std::vector<double>, kSettingCount> errors;
        for (const double polar : kPolarsDeg) {
          for (double az = 0.0; az < 360.0 - 1e-9; az += o.azStepDeg) {
            sim::TSceneConfig cfg;
            cfg.source.kind = src.kind;
            cfg.azimuthDeg = az;
            cfg.polarDeg = polar;
            cfg.distanceM = o.distanceM;
            cfg.snrDb = snr;
            cfg.seed = seed++;
            if (o.detail) {
              std::printf("%s, SNR %g dB:\n", src.name, snr);
            }
            RunScene(cfg, params, o, errors);
          }
        }
        const TStats d = Summarise(errors[0]);
        const TStats r = Summarise(errors[1]);
        std::printf("| %g | %s | %zu | %.3f | %.3f | %.3f | %.3f | %.1f%% | %.1f%% |\n", snr, src.name, d.count, d.rms,
                    r.rms, d.p95, r.p95, 100.0 * d.within, 100.0 * r.within);
        std::fflush(stdout);
      }
    }
    if (o.realToo && !RunRealRows(shipped, o)) {
      return 1;
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "bench_accuracy: %s\n", e.what());
    return 1;
  }
  return 0;
}
