#pragma once
// Reading recordings into the scene and writing the virtual array's four-channel recordings (libsndfile).
// Samples are doubles in 16-bit integer scale (-32768 .. 32767) whatever the file's sample format.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sf_private_tag;

namespace sim {

// Deleter of libsndfile handles.
struct TSndFileCloser {
  void operator()(sf_private_tag *f) const;
};

struct TWavData {
  double rate = 0.0;                         // Hz
  std::vector<std::vector<double>> channels; // channels[c][frame], 16-bit integer scale
  std::size_t Frames() const { return channels.empty() ? 0 : channels[0].size(); }
};

// Reads a whole sound file (WAV, FLAC, ... whatever libsndfile opens). Returns false and sets `error` to one
// line ("cannot open FILE: reason", "FILE holds no samples", "FILE is too long ...") on failure.
bool ReadSoundFile(const std::string &path, TWavData &out, std::string &error);

// Four-channel 16-bit WAV writer. The header is brought up to date after every write, so a file whose writer
// is killed before Close is still a valid WAV of what was written. Move-only; closes on destruction.
// Used by one thread at a time.
class TWavWriter {
public:
  TWavWriter() = default;
  TWavWriter(const TWavWriter &) = delete;
  TWavWriter &operator=(const TWavWriter &) = delete;
  TWavWriter(TWavWriter &&) noexcept = default;
  TWavWriter &operator=(TWavWriter &&) noexcept = default;
  ~TWavWriter() = default;

  bool Open(const std::string &path, int rateHz, int channels, std::string &error);
  bool IsOpen() const { return file_ != nullptr; }
  // `interleaved` holds frames * channels samples. Returns false when the disk refuses the data.
  bool Write(const std::int16_t *interleaved, std::size_t frames);
  void Close();

private:
  std::unique_ptr<sf_private_tag, TSndFileCloser> file_;
};

} // namespace sim
