#pragma once
// Block averagers of the direction output. The union engine owns three of them (azimuth, polar angle,
// offset) on its thread and feeds each returned solution of the stream definer; every `AvgLen` values a
// block mean is ready. Not thread-safe: one owner thread.

#include <cstddef>
#include <cstdint>
#include <vector>

// Non-overlapping block mean: one mean per `AvgLen` values, not a sliding average.
class TMovingAveranger {
public:
  // avgLen: values per block, at least 1 (std::invalid_argument otherwise).
  explicit TMovingAveranger(int avgLen);

  // Adds v; returns true and the block mean in `mean` when this value completes a block.
  bool Push(double v, double &mean);

  int Length() const { return AvgLen; }

private:
  std::int32_t Count = 0;
  std::int32_t AvgLen;
  double Sum = 0.0;
};

// Block mean of an azimuth in radians. Each value is unwrapped relative to the block's first value before it
// is summed (so a block mixing -89 and 271 degrees averages to about 270, not 91), and the mean is wrapped
// back into (-pi/2, 3pi/2]. Without a crossing of the wrap the mean equals TMovingAveranger's.
namespace dir_def_core {

// Robust mean of one block's azimuths (radians, any turn): the circular median (the azimuth with the least sum
// of angular distances to the others) when there are three or more, else the first; then the mean of those
// within halfWidthRad of it, unwrapped around it and wrapped into (-pi/2, 3pi/2]. halfWidthRad <= 0 takes every
// azimuth (the mean unwrapped around the first, as TAngleAveranger). Returns false, leaving `mean` alone, when
// phi is empty or fewer than `quorum` azimuths lie in the band. No allocation.
bool RobustAzimuthMean(const std::vector<double> &phi, double halfWidthRad, std::size_t quorum, double &mean);

} // namespace dir_def_core

class TAngleAveranger {
public:
  explicit TAngleAveranger(int avgLen);

  bool Push(double phi, double &mean);

  int Length() const { return AvgLen; }

private:
  std::int32_t Count = 0;
  std::int32_t AvgLen;
  double Sum = 0.0;
  double First = 0.0; // first value of the current block, radians
};
