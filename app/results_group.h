#pragma once
// The result message record that the union engine (or main, without an array) keeps, updates in place and
// serialises for the result client. Used by its owner's thread only.

#include <cstdint>
#include <string>
#include <vector>

class TResultsGroup {
public:
  std::vector<double> dots; // four channel scores, reader channel 0 first
  std::vector<double> dirs; // direction values in degrees: averaged azimuth, then 45.0
  std::int32_t alert = 0;   // 0..2 alert level, -1 no array, -2 autocalibration
  double brd = 0.0;         // border in force

  // `alert` is truncated toward zero; NaN reads as 0 and values outside the 32-bit range saturate.
  TResultsGroup(std::vector<double> dots_, std::vector<double> dirs_, double alert_, double brd_);

  // Compact JSON text {"alert":..,"brd":..,"dots":[..],"dirs":[..]}; a non-finite number is written as null.
  std::string ConvToJSON_Str() const;
};
