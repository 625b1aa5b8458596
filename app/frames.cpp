#include "app/frames.h"

#include <cstring>

bool EncodeResultFrame(const std::string &text, std::string &out) {
  out.clear();
  if (text.size() > kMaxResultTextBytes) {
    return false;
  }
  const auto len = static_cast<std::uint16_t>(text.size());
  out.push_back(static_cast<char>(len & 0xFFU));
  out.push_back(static_cast<char>(len >> 8U));
  out.append(text);
  return true;
}

void EncodeSpectrumFrame(const float *levels, std::uint16_t count, std::vector<std::uint8_t> &out) {
  static_assert(sizeof(float) == 4, "levels travel as 32-bit floats");
  out.resize(2 + 4 * static_cast<std::size_t>(count));
  out[0] = static_cast<std::uint8_t>(count & 0xFFU);
  out[1] = static_cast<std::uint8_t>(count >> 8U);
  std::uint8_t *p = out.data() + 2;
  for (std::uint16_t k = 0; k < count; ++k) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &levels[k], sizeof bits);
    // Byte order made explicit so the wire stays little-endian whatever the host.
    p[0] = static_cast<std::uint8_t>(bits & 0xFFU);
    p[1] = static_cast<std::uint8_t>((bits >> 8U) & 0xFFU);
    p[2] = static_cast<std::uint8_t>((bits >> 16U) & 0xFFU);
    p[3] = static_cast<std::uint8_t>(bits >> 24U);
    p += 4;
  }
}
