#pragma once
// Small numerical helpers of the feature processor. Pure functions, callable from any thread.

#include <vector>

namespace pvc2::mapi {

// Normalised histogram of |values[first .. last]| (both inclusive): A = floor(2 (n n)^0.2) with n the
// number of values, A - 1 equal bins spanning [min - 1e-9, max + 1e-9], scaled so that the bins sum to A.
// `hist` is resized (never shrinks its capacity, so steady use does not allocate). A value whose bin would
// fall outside the histogram (only possible for non-finite or extreme values) is put in the nearest end bin.
void Calc_ENTR2(const std::vector<double> &values, int first, int last, std::vector<double> &hist);

// Mean over the histogram's bins of g(h) = 2^-(h log2 h), with g(0) = 1: the band entropy feature.
double MeanBinEntropy(const std::vector<double> &hist);

} // namespace pvc2::mapi
