#include "tools/replay/wav_blocks.h"

#include <sndfile.h>

namespace replay {

void TSndFileCloser::operator()(sf_private_tag *f) const { sf_close(f); }

bool TWavBlockReader::Open(const std::string &path, std::string &error) {
  file_.reset();
  error_.clear();
  SF_INFO info{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) {
    error = path + ": cannot open: " + sf_strerror(nullptr);
    return false;
  }
  std::unique_ptr<sf_private_tag, TSndFileCloser> holder(f);
  if (info.channels != kChannels) {
    error = path + ": has " + std::to_string(info.channels) + " channel(s); the array's recording has 4";
    return false;
  }
  // Other sample formats would have to be rescaled or rounded: the station never sees such samples.
  if ((info.format & SF_FORMAT_SUBMASK) != SF_FORMAT_PCM_16) {
    error = path + ": samples are not 16-bit PCM (the array sends 16-bit samples)";
    return false;
  }
  if (info.samplerate <= 0 || info.frames < 0) {
    error = path + ": no usable sample rate or length";
    return false;
  }
  file_ = std::move(holder);
  path_ = path;
  rate_ = static_cast<double>(info.samplerate);
  frames_ = info.frames;
  next_ = 0;
  return true;
}

bool TWavBlockReader::SkipBlocks(std::int64_t blocks, std::string &error) {
  if (WholeBlocks() == 0) {
    error = path_ + ": holds " + std::to_string(frames_) + " samples per channel, less than one block of 400";
    return false;
  }
  if (blocks < 0 || blocks >= WholeBlocks()) {
    error = path_ + ": --offset-blocks " + std::to_string(blocks) + " leaves nothing to replay (the file has " +
            std::to_string(WholeBlocks()) + " whole blocks of 400 samples)";
    return false;
  }
  const sf_count_t frame = blocks * kBlockSamples;
  if (sf_seek(file_.get(), frame, SEEK_SET) != frame) {
    error = path_ + ": cannot seek to block " + std::to_string(blocks) + ": " + sf_strerror(file_.get());
    return false;
  }
  next_ = frame;
  return true;
}

bool TWavBlockReader::ReadBlock(TBlock &block) {
  if (!file_ || next_ + kBlockSamples > frames_) {
    return false;
  }
  const sf_count_t got = sf_readf_short(file_.get(), interleaved_.data(), kBlockSamples);
  if (got != kBlockSamples) {
    // The header promised more frames than the file holds (a truncated copy) or the read failed.
    error_ = path_ + ": read failed at sample " + std::to_string(next_ + (got > 0 ? got : 0)) + " of " +
             std::to_string(frames_) + ": " + sf_strerror(file_.get());
    return false;
  }
  next_ += kBlockSamples;
  constexpr auto kStride = static_cast<std::size_t>(kChannels);
  for (std::size_t c = 0; c < kStride; ++c) {
    std::vector<double> &v = block[c];
    v.resize(kBlockSamples);
    for (std::size_t i = 0; i < v.size(); ++i) {
      v[i] = interleaved_[i * kStride + c];
    }
  }
  return true;
}

} // namespace replay
