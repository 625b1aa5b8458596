#pragma once
// Reads a four-channel 16-bit PCM recording (WAV or any container libsndfile opens) block by block, the way
// the array delivers sound to the station: whole blocks of 400 samples per channel, channel k of the file
// being reader channel k. Samples come out unscaled (the signed 16-bit values as doubles), like the station's
// block store. Move-only; the file is closed on destruction. Used by one thread at a time.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sf_private_tag;

namespace replay {

inline constexpr int kBlockSamples = 400; // samples per channel in one block of the array
inline constexpr int kChannels = 4;

// One block: kChannels vectors of kBlockSamples doubles each.
using TBlock = std::array<std::vector<double>, kChannels>;

struct TSndFileCloser {
  void operator()(sf_private_tag *f) const;
};

class TWavBlockReader {
public:
  TWavBlockReader() = default;

  // Opens `path` and checks it: four channels of 16-bit PCM at a positive rate. Returns false with one line
  // in `error` ("FILE: ...") otherwise.
  bool Open(const std::string &path, std::string &error);

  double RateHz() const { return rate_; }
  std::int64_t Frames() const { return frames_; }                      // samples per channel in the file
  std::int64_t WholeBlocks() const { return frames_ / kBlockSamples; } // blocks the station would receive

  // Moves to the start of block `blocks` (counted from the file's start). False with `error` set when that
  // block is not a whole block of the file or the file cannot seek.
  bool SkipBlocks(std::int64_t blocks, std::string &error);

  // Fills `block` (resized to kBlockSamples per channel) with the next whole block. Returns false at the end
  // of the file (a last part shorter than a block is left unread) or on a read error, which Error() names.
  bool ReadBlock(TBlock &block);

  // "" unless a read failed.
  const std::string &Error() const { return error_; }

private:
  std::unique_ptr<sf_private_tag, TSndFileCloser> file_;
  std::string path_;
  double rate_ = 0.0;
  std::int64_t frames_ = 0;
  std::int64_t next_ = 0; // frame index of the next read
  std::vector<std::int16_t> interleaved_ = std::vector<std::int16_t>(kBlockSamples * kChannels);
  std::string error_;
};

} // namespace replay
