#pragma once
// Forced into dsp/fourier.cpp in the fuzz build only (tests/fuzz/CMakeLists.txt): that file uses GCC's
// __builtin_shuffle(vector, mask), which clang does not have. This gives clang the same element selection
// (GCC's rule: each mask element taken modulo the vector length), so the transform computes the same values;
// the fuzz build only needs the library to build, and the default g++ build never sees this header.

#if defined(__clang__)
template <typename V, typename M> inline V OrmelinFuzzShuffle(V v, M mask) {
  constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(v[0]));
  V out = v;
  for (int i = 0; i < kLanes; ++i) {
    out[i] = v[static_cast<int>(mask[i]) & (kLanes - 1)];
  }
  return out;
}
#define __builtin_shuffle(v, mask) OrmelinFuzzShuffle((v), (mask))
#endif
