#include "engines/hybrid_steps.h"

#include "dir_def_core/direction_settings.h"

#include <stdexcept>

namespace {

// The definer, the framers and the averagers cannot work with refused settings (a division by zero, frames
// that never correlate); refusing them here gives the engine thread and the tools one clear failure line.
const TDirDefParams &Checked(const TDirDefParams &p) {
  if (std::string reason = dir_def_core::CheckDirectionSettings(p); !reason.empty()) {
    throw std::invalid_argument(reason);
  }
  return p;
}

} // namespace

TDirectionHalf::TDirectionHalf(const TDirDefParams &params)
    : Mics_(Checked(params).Mics), PhiAvg_(params.OutAvgLen), ThetaAvg_(params.OutAvgLen), BetaAvg_(params.OutAvgLen) {
  const int frameSize = params.FrameSize;
  Definer_ = std::make_unique<dir_def_core::TStreamDirDefinerX4>(
      params.FSampling, params.SM_Disp, params.VSound, params.VinerWnd, params.EnableViner, Mics_, params.PairRefine);
  Pre_.Init(4, frameSize, frameSize / 2, params.F_flt_min, params.F_flt_max, params.FSampling);
}

bool TDirectionHalf::StepFrameSet() {
  const std::vector<double> &s = Definer_->ProcFrame(Frames_, Gains_);
  ++FrameSets_;
  double phi = 0.0;
  double theta = 0.0;
  double beta = 0.0;
  const bool p = PhiAvg_.Push(s[0], phi);
  const bool t = ThetaAvg_.Push(s[1], theta);
  const bool b = BetaAvg_.Push(s[2], beta);
  if (!(p && t && b)) {
    return false; // the three block means complete together; only the azimuth is reported
  }
  AzimuthDeg_ = phi * 180.0 / std::numbers::pi;
  HasAzimuth_ = true;
  return true;
}

THybridResults::THybridResults(double border)
    : Border_(border), Record_({1.0, 2.0, 3.0, 4.0}, {0.0, 45.0}, 0.0, border) {}

std::string THybridResults::OnScores(const std::array<double, 4> &q) {
  Record_.dots.assign(q.begin(), q.end());
  Record_.alert = Desc_.Update(q, Border_); // alert always equals the maker's level
  return Record_.ConvToJSON_Str();
}

TAutocalibrResults::TAutocalibrResults(double border) : Record_({1.0, 2.0, 3.0, 4.0}, {0.0, 45.0}, -2.0, border) {}

std::string TAutocalibrResults::OnScores(const std::array<double, 4> &q) {
  for (const double v : q) {
    if (v > Max_) { // a NaN never compares greater
      Max_ = v;
    }
  }
  Record_.dots.assign(q.begin(), q.end());
  Record_.brd = 1.05 * Max_;
  return Record_.ConvToJSON_Str();
}
