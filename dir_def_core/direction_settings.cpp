#include "dir_def_core/direction_settings.h"

#include "dir_def_core/stream_dir_definer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <sstream>

namespace dir_def_core {
namespace {

template <typename T> std::string Refuse(const std::string &key, T value, const std::string &why) {
  std::ostringstream line;
  line.precision(10);
  line << "Direction setting \"" << key << "\" = " << value << " refused: " << why;
  return line.str();
}

constexpr double kMinSpacing_m = 0.001;

bool PowerOfTwo(int v) { return v > 0 && (v & (v - 1)) == 0; }

} // namespace

std::string CheckDirectionSettings(const TDirDefParams &p) {
  if (!std::isfinite(p.FSampling) || p.FSampling <= 0) {
    return Refuse("FSampling", p.FSampling, "must be a positive sampling rate in Hz");
  }
  if (!std::isfinite(p.VSound) || p.VSound <= 0) {
    return Refuse("VSound", p.VSound, "must be a positive speed of sound in m/s");
  }
  if (!PowerOfTwo(p.FrameSize) || p.FrameSize < 8 || p.FrameSize > kMaxFrameSize) {
    return Refuse("FrameSize", p.FrameSize, "must be a power of two from 8 to " + std::to_string(kMaxFrameSize));
  }
  const int maxLag = p.FrameSize / 2 - 6; // 5 + SM_Disp <= FrameSize/2 - 1
  if (p.SM_Disp < 0 || p.SM_Disp > maxLag) {
    return Refuse("SM_Disp", p.SM_Disp,
                  "must be from 0 to \"FrameSize\"/2 - 6 = " + std::to_string(maxLag) + " samples");
  }
  if (p.Mics.size() != 4) {
    return Refuse("Mics", p.Mics.size(), "four microphone locations required");
  }
  std::array<std::array<double, 3>, 4> xyz{};
  constexpr double kDegToRad = 0.017453292519943295;
  for (std::size_t m = 0; m < 4; ++m) {
    const TSrcMirophoneLocation &loc = p.Mics[m];
    const std::string prefix = "Mic" + std::to_string(m + 1);
    if (!std::isfinite(loc.L)) {
      return Refuse(prefix + "_L", loc.L, "must be a finite distance in cm");
    }
    if (!std::isfinite(loc.Fi)) {
      return Refuse(prefix + "_Fi", loc.Fi, "must be a finite angle in degrees");
    }
    if (!std::isfinite(loc.Tetta)) {
      return Refuse(prefix + "_Tetta", loc.Tetta, "must be a finite angle in degrees");
    }
    const double l = loc.L / 100;
    const double fi = loc.Fi * kDegToRad;
    const double te = loc.Tetta * kDegToRad;
    xyz[m] = {l * std::sin(te) * std::cos(fi), l * std::sin(te) * std::sin(fi), l * std::cos(te)};
  }
  double widest_m = 0.0;
  for (std::size_t a = 0; a < 4; ++a) {
    for (std::size_t b = a + 1; b < 4; ++b) {
      const double dx = xyz[a][0] - xyz[b][0];
      const double dy = xyz[a][1] - xyz[b][1];
      const double dz = xyz[a][2] - xyz[b][2];
      const double dist_m = std::sqrt(dx * dx + dy * dy + dz * dz);
      // Two microphones at one place (for example all twelve keys absent) give no delay to measure.
      if (dist_m < kMinSpacing_m) {
        return Refuse("Mic" + std::to_string(b + 1) + "_L", p.Mics[b].L,
                      "microphone " + std::to_string(b + 1) + " lies within 1 mm of microphone " +
                          std::to_string(a + 1));
      }
      widest_m = std::max(widest_m, dist_m);
    }
  }
  // A pair's delay can reach widest * FSampling / VSound samples; one more sample of margin keeps the peak
  // inside the search window.
  const double needed = widest_m * p.FSampling / p.VSound + 1.0;
  if (p.SM_Disp < needed) {
    std::ostringstream why;
    why.precision(4);
    why << "the microphones lie up to " << widest_m * 100 << " cm apart, which needs at least " << needed
        << R"( samples (distance x "FSampling" / "VSound" + 1))";
    return Refuse("SM_Disp", p.SM_Disp, why.str());
  }
  if (p.OutAvgLen < 1) {
    return Refuse("OutAvgLen", p.OutAvgLen, "must be at least 1 frame set");
  }
  if (p.EnableViner && (p.VinerWnd < 2 || p.VinerWnd > kMaxSmoothWnd)) {
    return Refuse("VinerWnd", p.VinerWnd,
                  "must be from 2 to " + std::to_string(kMaxSmoothWnd) + " frame sets when \"EnableViner\" is 1");
  }
  if (!std::isfinite(p.FitGate) || p.FitGate < 0) {
    return Refuse("FitGate", p.FitGate, "must be 0 (off) or a positive misfit in samples of path");
  }
  if (!std::isfinite(p.RobustAvg) || p.RobustAvg < 0 || p.RobustAvg > 180) {
    return Refuse("RobustAvg", p.RobustAvg, "must be 0 (off) or a half-width in degrees up to 180");
  }
  if (!std::isfinite(p.F_flt_min) || p.F_flt_min < 0) {
    return Refuse("F_flt_min", p.F_flt_min, "must be a frequency of at least 0 Hz");
  }
  if (!std::isfinite(p.F_flt_max) || p.F_flt_max <= p.F_flt_min) {
    return Refuse("F_flt_max", p.F_flt_max, "must be above \"F_flt_min\" (the filter would pass nothing)");
  }
  return {};
}

} // namespace dir_def_core
