#include "dir_def_core/moving_averanger.h"

#include "dir_def_core/angles.h"

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
