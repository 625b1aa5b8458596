#pragma once
// The pure steps of the union engine, shared by its thread (TMainUnionEngine) and by the offline replay tool so
// that both compute the same numbers from the same samples:
//
//  - TDirectionHalf: direction finding over blocks of the four channels. Per sample the preprocessor filters
//    and frames the channels; per completed frame set (every FrameSize/2 samples once the first frame is full)
//    the stream definer solves for the direction; every OutAvgLen frame sets the three block averagers
//    complete and a new averaged azimuth (degrees, in (-90, 270]) is reported.
//  - THybridResults: the hybrid mode's message record and alert logic; one call per record of four scores
//    returns the JSON text to send.
//  - TAutocalibrResults: the autocalibration mode's record: "brd" is 1.05 x the largest score seen, "alert" -2.
//
// None of them owns a thread, a socket or a clock; each is used by one thread at a time. The caller reads the
// blocks and the score records and decides where the texts go.

#include "app/dir_def_params.h"
#include "app/results_group.h"
#include "dir_def_core/moving_averanger.h"
#include "dir_def_core/preprocessor.h"
#include "dir_def_core/stream_dir_definer.h"
#include "engines/desc_maker.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

class TDirectionHalf {
public:
  // Copies the settings it needs. The definer converts the microphone locations in place (cm/deg to
  // m/rad); it does so on this object's own copy, so the caller's record keeps centimetres and degrees and may
  // be used to build another TDirectionHalf (a restarted engine, a second replay). Throws std::invalid_argument
  // with the one-line reason of dir_def_core::CheckDirectionSettings when the settings are refused.
  explicit TDirectionHalf(const TDirDefParams &params);

  TDirectionHalf(const TDirectionHalf &) = delete;
  TDirectionHalf &operator=(const TDirectionHalf &) = delete;

  // Runs one block of the four channels (normally 400 samples each; the shortest channel's length is used)
  // through the preprocessor and, per completed frame set, the definer and the averagers. For every new
  // averaged azimuth calls onAzimuth(sampleIndexInBlock, azimuthDeg), where sampleIndexInBlock is the index of
  // the sample whose processing completed it. Returns whether at least one new azimuth was produced.
  // Exceptions of the direction finder ("invalid FFT size", "BAD MATRS") pass through.
  template <typename OnAzimuth>
  bool ProcessBlock(const std::vector<double> &ch0, const std::vector<double> &ch1, const std::vector<double> &ch2,
                    const std::vector<double> &ch3, OnAzimuth &&onAzimuth) {
    const std::size_t n = std::min({ch0.size(), ch1.size(), ch2.size(), ch3.size()});
    bool produced = false;
    for (std::size_t i = 0; i < n;) {
      const double *at[4] = {ch0.data() + i, ch1.data() + i, ch2.data() + i, ch3.data() + i};
      bool framed = false;
      i += Pre_.PushSamples(at, n - i, Frames_, framed);
      if (framed && StepFrameSet()) {
        produced = true;
        onAzimuth(static_cast<int>(i) - 1, AzimuthDeg_);
      }
    }
    return produced;
  }

  bool HasAzimuth() const { return HasAzimuth_; }
  double AzimuthDeg() const { return AzimuthDeg_; }  // latest averaged azimuth, degrees; 0.0 before the first
  long long FrameSets() const { return FrameSets_; } // frame sets solved so far

private:
  bool StepFrameSet(); // definer + averagers on the frame set in Frames_; true when a new mean is ready
  // With "FitGate" or "RobustAvg" on: the block's azimuths are kept and judged when the block completes; true
  // when the block completes (its azimuth, possibly the last one again or NaN, is then in AzimuthDeg_).
  bool RobustBlock(double phi, double misfitSamples);

  std::vector<TSrcMirophoneLocation> Mics_; // this object's copy, m/rad once the definer is built
  dir_def_core::TUniversalPreprocessor Pre_;
  std::unique_ptr<dir_def_core::TStreamDirDefinerX4> Definer_;
  TAngleAveranger PhiAvg_; // unwraps the azimuth within each block before averaging
  TMovingAveranger ThetaAvg_;
  TMovingAveranger BetaAvg_;
  std::vector<std::vector<double>> Frames_ = std::vector<std::vector<double>>(4);
  std::vector<double> Gains_ = std::vector<double>(4, -1.0); // -1: leave the channels unscaled
  double FitGate_;                                           // samples of path; 0: off
  double RobustRad_;             // half-width around the block's circular median, radians; 0: off
  std::vector<double> BlockPhi_; // azimuths (rad) of the current block's usable frame sets; capacity OutAvgLen
  int BlockCount_ = 0;           // frame sets of the current block so far, usable or not
  bool BlockFinite_ = false;     // some frame set of the current block gave a finite azimuth
  int Held_ = 0;                 // blocks in a row that reported the last mean again
  // Blocks in a row (about 0.11 s each with the shipped frames) that may repeat the last mean before the half
  // says it has no direction: long enough to ride out a gust or a passing car, short enough that a drone
  // that has gone is not shown where it was.
  static constexpr int kHoldBlocks = 8;
  bool HasAzimuth_ = false;
  double AzimuthDeg_ = 0.0;
  long long FrameSets_ = 0;
};

// Hybrid mode: the message record starts as dots [1,2,3,4], dirs [0,45], alert 0, brd = border.
class THybridResults {
public:
  explicit THybridResults(double border);

  // Takes one record of four channel scores (reader channel 0 first): puts them in "dots", updates the alert
  // level and returns the JSON text of the record.
  std::string OnScores(const std::array<double, 4> &q);

  // Stores a new averaged azimuth (degrees) as the first "dirs" value; later messages carry it.
  void SetDirection(double azimuthDeg) { Record_.dirs[0] = azimuthDeg; }

  const TResultsGroup &Record() const { return Record_; }
  int Level() const { return Desc_.Level; }

private:
  double Border_;
  TDescMaker Desc_;
  TResultsGroup Record_;
};

// Autocalibration mode: "brd" = 1.05 x the largest score seen since start (0.0 while every score is <= 0 or
// NaN), "alert" always -2, "dirs" always [0,45].
class TAutocalibrResults {
public:
  explicit TAutocalibrResults(double border);

  std::string OnScores(const std::array<double, 4> &q);

  double MaxScore() const { return Max_; }
  const TResultsGroup &Record() const { return Record_; }

private:
  double Max_ = 0.0;
  TResultsGroup Record_;
};
