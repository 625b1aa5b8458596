#pragma once
// RTP datagrams of the virtual array: a 12-byte header (version 2, no padding, extension or CSRC, payload type
// 96) and 400 big-endian 16-bit samples, 812 bytes in all, one channel per datagram.

#include <cstddef>
#include <cstdint>

namespace array_sim {

constexpr std::size_t kSamplesPerPacket = 400;
constexpr std::size_t kRtpHeaderBytes = 12;
constexpr std::size_t kPacketBytes = kRtpHeaderBytes + 2 * kSamplesPerPacket; // 812
constexpr std::uint8_t kPayloadType = 96;

inline void PutBe16(std::uint8_t *p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

inline void PutBe32(std::uint8_t *p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

inline void WriteRtpHeader(std::uint8_t *p, std::uint16_t seq, std::uint32_t timestamp, std::uint32_t ssrc) {
  p[0] = 0x80;         // V=2, P=0, X=0, CC=0
  p[1] = kPayloadType; // M=0
  PutBe16(p + 2, seq);
  PutBe32(p + 4, timestamp);
  PutBe32(p + 8, ssrc);
}

inline void WriteBigEndianSamples(std::uint8_t *p, const std::int16_t *samples, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    PutBe16(p + 2 * i, static_cast<std::uint16_t>(samples[i]));
  }
}

} // namespace array_sim
