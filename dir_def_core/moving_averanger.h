#pragma once
// Block averagers of the direction output. The union engine owns three of them (azimuth, polar angle,
// offset) on its thread and feeds each returned solution of the stream definer; every `AvgLen` values a
// block mean is ready. Not thread-safe: one owner thread.

#include <cstdint>

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
