#include "engines/hybrid_steps.h"

#include "dir_def_core/direction_settings.h"

#include <limits>
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
    : Mics_(Checked(params).Mics), PhiAvg_(params.OutAvgLen), ThetaAvg_(params.OutAvgLen), BetaAvg_(params.OutAvgLen),
      FitGate_(params.FitGate), RobustRad_(params.RobustAvg * std::numbers::pi / 180.0) {
  BlockPhi_.reserve(static_cast<std::size_t>(params.OutAvgLen));
  const int frameSize = params.FrameSize;
  Definer_ = std::make_unique<dir_def_core::TStreamDirDefinerX4>(
      params.FSampling, params.SM_Disp, params.VSound, params.VinerWnd, params.EnableViner, Mics_, params.PairRefine);
  Pre_.Init(4, frameSize, frameSize / 2, params.F_flt_min, params.F_flt_max, params.FSampling);
}

bool TDirectionHalf::StepFrameSet() {
  const std::vector<double> &s = Definer_->ProcFrame(Frames_, Gains_);
  ++FrameSets_;
  if (FitGate_ > 0.0 || RobustRad_ > 0.0) {
    return RobustBlock(s[0], Definer_->LastMisfitSamples());
  }
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

bool TDirectionHalf::RobustBlock(double phi, double misfitSamples) {
  BlockFinite_ = BlockFinite_ || std::isfinite(phi);
  // A NaN misfit (no delays) or azimuth never passes.
  if (std::isfinite(phi) && (FitGate_ <= 0.0 || misfitSamples <= FitGate_)) {
    BlockPhi_.push_back(phi); // within the capacity reserved for a whole block
  }
  if (++BlockCount_ < PhiAvg_.Length()) {
    return false;
  }
  // One azimuth per block, as the plain mean gives: the robust mean; else, when fewer than half of the block's
  // frame sets fit and agree (the drone drowned by the background for a moment), the last mean again for at most
  // kHoldBlocks blocks; else no direction (NaN, as a silent block gives).
  const std::size_t quorum = RobustRad_ > 0.0 ? static_cast<std::size_t>(PhiAvg_.Length() + 1) / 2 : 1;
  double mean = 0.0;
  if (dir_def_core::RobustAzimuthMean(BlockPhi_, RobustRad_, quorum, mean)) {
    AzimuthDeg_ = mean * 180.0 / std::numbers::pi;
    Held_ = 0;
  } else if (BlockFinite_ && std::isfinite(AzimuthDeg_) && HasAzimuth_ && Held_ < kHoldBlocks) {
    ++Held_;
  } else {
    AzimuthDeg_ = std::numeric_limits<double>::quiet_NaN();
  }
  BlockPhi_.clear();
  BlockCount_ = 0;
  BlockFinite_ = false;
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
