#pragma once
// Choice of the recordings held out of training. Whole recordings are held out, never interleaved vectors:
// neighbouring feature vectors of one recording overlap in time and would flatter the held-out figures.
// Deterministic for a given seed on every platform (own Fisher-Yates over std::mt19937, whose output sequence
// the standard fixes, unlike std::shuffle's use of it).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace train {

// Indices (ascending) of the recordings to hold out of `count`: round(share * count), but at least one and at
// most count - 1 when share > 0 and count >= 2; none when share is 0 or count < 2.
std::vector<std::size_t> ChooseHoldout(std::size_t count, double share, std::uint32_t seed);

} // namespace train
