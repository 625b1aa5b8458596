#pragma once
// Azimuth helpers shared by the stream definer's smoothing and the engine's output averager. The direction
// finder reports the azimuth in (-pi/2, 3pi/2] radians; a source near 270 degrees therefore flips between
// about -pi/2 and 3pi/2 from one frame set to the next, and any mean over such values must be taken on
// unwrapped copies.

#include <cmath>

namespace dir_def_core {

inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kPi = 3.141592653589793;
// Upper end of the azimuth range, 3pi/2, as the definer compares it.
inline constexpr double kAzimuthTop = 4.71238898038469;

// Returns v moved by a whole number of turns so that it lies within pi of ref. Values already within pi are
// returned unchanged (bit for bit), so a mean of values that do not cross the wrap is the plain mean.
// Non-finite values pass through.
inline double UnwrapNear(double v, double ref) {
  const double diff = v - ref;
  if (diff > kPi || diff < -kPi) {
    return v - kTwoPi * std::round(diff / kTwoPi);
  }
  return v;
}

// Wraps an azimuth in radians into (-pi/2, 3pi/2]. Values already inside are returned unchanged; non-finite
// values pass through.
inline double WrapAzimuth(double phi) {
  if (phi > kAzimuthTop || phi <= -kPi / 2) {
    phi -= kTwoPi * std::floor((phi + kPi / 2) / kTwoPi);
    if (phi <= -kPi / 2) {
      phi += kTwoPi;
    }
    if (phi > kAzimuthTop) {
      phi -= kTwoPi;
    }
  }
  return phi;
}

} // namespace dir_def_core
