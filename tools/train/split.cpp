#include "tools/train/split.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

namespace train {

std::vector<std::size_t> ChooseHoldout(std::size_t count, double share, std::uint32_t seed) {
  if (count < 2 || !(share > 0.0)) {
    return {};
  }
  auto take = static_cast<std::size_t>(std::lround(share * static_cast<double>(count)));
  take = std::clamp<std::size_t>(take, 1, count - 1);
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::mt19937 gen(seed);
  for (std::size_t i = count - 1; i > 0; --i) {
    // Modulo bias is negligible for a few hundred recordings against 2^32.
    const std::size_t j = gen() % (i + 1);
    std::swap(order[i], order[j]);
  }
  order.resize(take);
  std::sort(order.begin(), order.end());
  return order;
}

} // namespace train
