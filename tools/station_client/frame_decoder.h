#pragma once
// Reassembles the station's length-prefixed frames from a TCP byte stream that arrives in arbitrary pieces.
// Both output channels use the same framing: a 16-bit count, least significant byte first, then count units
// (1 byte per unit for the result text, 4 bytes per unit for the spectrum levels). Pure: no sockets; one
// decoder per connection, used by the monitor's main thread only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace station_client {

// A result text is about 100 bytes; anything near the 16-bit limit means the stream is out of step.
inline constexpr std::size_t kMaxResultTextBytes = 4096;
// A spectrum frame holds bins of one 2048-point transform, so never more than 2048 values.
inline constexpr std::size_t kMaxSpectrumValues = 2048;

enum class EDecodeStatus {
  NeedMore, // no complete frame buffered yet
  Frame,    // one frame was taken out of the buffer
  Broken    // a count above the limit: the stream cannot be followed any further (see Error())
};

class TFrameDecoder {
public:
  // `unitBytes`: size of one counted unit; `maxCount`: largest count that is believed.
  TFrameDecoder(std::size_t unitBytes, std::size_t maxCount);

  static TFrameDecoder ForResults() { return {1, kMaxResultTextBytes}; }
  static TFrameDecoder ForSpectra() { return {4, kMaxSpectrumValues}; }

  // Appends received bytes. Bytes fed after the stream broke are ignored.
  void Feed(const std::uint8_t *data, std::size_t size);

  // Takes the next complete frame: `payload` receives its count x unitBytes bytes (without the count field)
  // and `count` its count. Once Broken, stays Broken until Reset().
  EDecodeStatus Next(std::vector<std::uint8_t> &payload, std::size_t &count);

  // Forgets everything buffered, for a new connection.
  void Reset();

  const std::string &Error() const { return error_; }
  std::size_t Buffered() const { return buffer_.size() - head_; }

private:
  std::size_t unitBytes_;
  std::size_t maxCount_;
  std::vector<std::uint8_t> buffer_;
  std::size_t head_ = 0; // first byte of buffer_ not yet consumed
  bool broken_ = false;
  std::string error_;
};

} // namespace station_client
