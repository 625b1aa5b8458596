// The frame decoders of the monitor and the hub: the input's first byte picks the port (results or spectra)
// and the split seed; the rest is fed to TFrameDecoder in pieces of fuzz-chosen sizes, as a TCP stream
// arrives, and every frame taken out goes to ParseResultText (results) or DecodeLevels and the peak search
// (spectra), as the clients do.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/station_client/frame_decoder.h"
#include "tools/station_client/messages.h"

namespace {

using station_client::EDecodeStatus;

void Consume(station_client::TFrameDecoder &decoder, bool results) {
  std::vector<std::uint8_t> payload;
  std::size_t count = 0;
  for (;;) {
    const EDecodeStatus status = decoder.Next(payload, count);
    if (status != EDecodeStatus::Frame) {
      if (status == EDecodeStatus::Broken && decoder.Error().empty()) {
        std::abort(); // a broken stream always says why
      }
      return;
    }
    if (payload.size() != count * (results ? 1u : 4u)) {
      std::abort();
    }
    if (results) {
      const std::string_view text(reinterpret_cast<const char *>(payload.data()), payload.size());
      station_client::TResultMessage message;
      std::string error;
      if (station_client::ParseResultText(text, message, error)) {
        (void)station_client::ResultJsonLine(text);
      } else {
        (void)station_client::Excerpt(text);
      }
    } else {
      std::vector<float> levels;
      station_client::DecodeLevels(payload.data(), count, levels);
      if (levels.size() != count) {
        std::abort();
      }
      const auto peak = station_client::FindSpectrumPeak(levels, station_client::FirstSpectrumBin(200.0));
      (void)station_client::SpectrumJsonLine(count, peak);
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const bool results = (data[0] & 1) == 0;
  std::uint32_t split = data[0] >> 1; // seeds the piece sizes: 1..64 bytes, or everything at once for 0
  ++data;
  --size;
  auto decoder = results ? station_client::TFrameDecoder::ForResults() : station_client::TFrameDecoder::ForSpectra();
  std::size_t at = 0;
  while (at < size) {
    std::size_t piece = size - at;
    if (split != 0) {
      split = split * 1103515245u + 12345u;
      piece = std::min<std::size_t>(piece, 1 + (split >> 16) % 64);
    }
    decoder.Feed(data + at, piece);
    at += piece;
    Consume(decoder, results);
  }
  return 0;
}
