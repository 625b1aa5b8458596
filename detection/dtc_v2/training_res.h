#pragma once
// The trained data of the histogram classifier, as read from (and written to) the training file. Loaded by
// each detector thread at its start (or by an offline tool), copied into that thread's classifier, and not
// shared between threads.

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

namespace dtc_v2 {

class TTrainingRes {
public:
  std::vector<double> maxX;           // per feature element: subtracted from the element
  std::vector<double> minX;           // per feature element: divisor of the element
  std::vector<double> X0;             // per feature element: offset subtracted after scaling
  std::vector<double> x00;            // per projected dimension: bias
  std::vector<std::vector<double>> w; // one row per projected dimension, PowCount blocks of weights
  std::int32_t PowCount = 0;          // length of w[0] / length of X0 (0 when either is missing)
  std::vector<double> aabb;           // M lower bounds, then M upper bounds
  std::vector<std::int32_t> pp;       // weight of each trained bin, parallel to ind
  std::vector<std::int32_t> ind;      // linear index of each trained bin
  std::int32_t NM = 0;                // bins per projected dimension
  std::int32_t M = 0;                 // projected dimensions at training time (informative only)
  std::vector<double> mh;             // NM + 1 bin edges per dimension, dimension after dimension (dynamic net)

  // Appends to `out` every element of the array member `key` of the root object, as double. Nothing is
  // appended when the key is absent, is not an array, or holds anything but numbers (reads as absent).
  static void ExtractDoubleArray(const char *key, const rapidjson::Document &doc, std::vector<double> &out);

  // Replaces the content with the training file at `path` ("mh" only when `isDynamicNet`). Returns false,
  // with "Could not open file for reading!\n" on standard error and the content left empty, when the file
  // cannot be opened. A syntax error or a key of the wrong type reads as absent (empty / 0) and is not an
  // error here; the start-up check refuses data the classifier cannot use.
  bool Load(const std::string &path, bool isDynamicNet);

  // Writes every key (and "mh" when not empty) to `path` through a temporary file that is renamed into
  // place, so a failed write never leaves a partial file. Returns false when the file cannot be written or
  // a value is not finite.
  bool Save(const std::string &path) const;
};

} // namespace dtc_v2
