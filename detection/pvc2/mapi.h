#pragma once
// Small numerical helpers of the feature processor. Pure functions, callable from any thread.

#include <cstdint>
#include <vector>

namespace pvc2::mapi {

// Normalised histogram of |values[first .. last]| (both inclusive): A = floor(2 (n n)^0.2) with n the
// number of values, A - 1 equal bins spanning [min - 1e-9, max + 1e-9], scaled so that the bins sum to A.
// `hist` is resized (never shrinks its capacity, so steady use does not allocate). A value whose bin would
// fall outside the histogram (only possible for non-finite or extreme values) is put in the nearest end bin.
void Calc_ENTR2(const std::vector<double> &values, int first, int last, std::vector<double> &hist);

// Mean over the histogram's bins of g(h) = 2^-(h log2 h), with g(0) = 1: the band entropy feature.
double MeanBinEntropy(const std::vector<double> &hist);

// MeanBinEntropy of Calc_ENTR2's histogram of the fixed range values[first .. last], the same bits, faster: each
// bin holds count * A / n for a whole count, so g takes at most n + 1 values, tabulated at construction (for up
// to 256 bins, about 185000 values; longer ranges take the two calls). Not thread-safe: one owner.
class TBandEntropy {
public:
  TBandEntropy(int first, int last); // 0 <= first <= last
  double operator()(const std::vector<double> &values);

private:
  int First;
  int Last;
  std::int32_t NBins;
  std::vector<double> G;     // g(c A / n) for counts c = 0 .. n; empty: the long way
  std::vector<double> hist_; // the long way's histogram
};

} // namespace pvc2::mapi
