#include "dir_def_core/moving_averanger.h"

#include "dir_def_core/angles.h"

#include <cmath>
#include <stdexcept>

namespace {

std::int32_t CheckedLength(int avgLen) {
  if (avgLen < 1) {
    throw std::invalid_argument("averaging length must be at least 1");
  }
  return avgLen;
}

} // namespace

TMovingAveranger::TMovingAveranger(int avgLen) : AvgLen(CheckedLength(avgLen)) {}

bool TMovingAveranger::Push(double v, double &mean) {
  ++Count;
  Sum += v;
  if (Count < AvgLen) {
    return false;
  }
  mean = Sum / AvgLen;
  Count = 0;
  Sum = 0.0;
  return true;
}

bool dir_def_core::RobustAzimuthMean(const std::vector<double> &phi, double halfWidthRad, std::size_t quorum,
                                     double &mean) {
  if (phi.empty()) {
    return false;
  }
  // One azimuth thrown far off (a gust, a passing car) moves the median by at most one place, where it moves
  // the mean by its whole error over the block length.
  double centre = phi[0];
  if (halfWidthRad > 0.0 && phi.size() > 2) {
    double least = HUGE_VAL;
    for (const double a : phi) {
      double sum = 0.0;
      for (const double b : phi) {
        sum += std::abs(UnwrapNear(b, a) - a);
      }
      if (sum < least) {
        least = sum;
        centre = a;
      }
    }
  }
  double total = 0.0;
  std::size_t used = 0;
  for (const double a : phi) {
    const double near = UnwrapNear(a, centre);
    if (halfWidthRad <= 0.0 || std::abs(near - centre) <= halfWidthRad) {
      total += near;
      ++used;
    }
  }
  if (used < quorum) {
    return false;
  }
  mean = WrapAzimuth(total / static_cast<double>(used));
  return true;
}

TAngleAveranger::TAngleAveranger(int avgLen) : AvgLen(CheckedLength(avgLen)) {}

bool TAngleAveranger::Push(double phi, double &mean) {
  if (Count == 0) {
    First = phi;
  }
  ++Count;
  Sum += dir_def_core::UnwrapNear(phi, First);
  if (Count < AvgLen) {
    return false;
  }
  mean = dir_def_core::WrapAzimuth(Sum / AvgLen);
  Count = 0;
  Sum = 0.0;
  return true;
}
