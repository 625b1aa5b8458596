#pragma once
// Byte layout of the two output channels, kept apart from the sockets so it can be checked byte for byte.
// Pure functions; any thread may call them with its own output buffer.
//
// Result frame: text length in bytes (2 bytes, least significant first), then the JSON text without a
// terminator. Spectrum frame: number of levels (2 bytes, least significant first), then each level as an
// IEEE-754 single-precision float, least significant byte first.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Largest text a result frame can carry: the length field has 16 bits.
inline constexpr std::size_t kMaxResultTextBytes = 65535;

// Writes the frame of `text` into `out` (its capacity is reused). A text longer than kMaxResultTextBytes
// cannot be framed without wrapping its length: returns false and leaves `out` empty.
bool EncodeResultFrame(const std::string &text, std::string &out);

// Writes the frame of `count` levels into `out` (its capacity is reused, so a steady caller does not allocate).
void EncodeSpectrumFrame(const float *levels, std::uint16_t count, std::vector<std::uint8_t> &out);
