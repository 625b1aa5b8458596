#include "tools/station_client/frame_decoder.h"

#include <cassert>

namespace station_client {

TFrameDecoder::TFrameDecoder(std::size_t unitBytes, std::size_t maxCount) : unitBytes_(unitBytes), maxCount_(maxCount) {
  assert(unitBytes_ > 0);
}

void TFrameDecoder::Feed(const std::uint8_t *data, std::size_t size) {
  if (broken_ || size == 0) {
    return;
  }
  // Drop what was consumed before growing: at most one partial frame is ever moved.
  if (head_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

EDecodeStatus TFrameDecoder::Next(std::vector<std::uint8_t> &payload, std::size_t &count) {
  if (broken_) {
    return EDecodeStatus::Broken;
  }
  if (Buffered() < 2) {
    return EDecodeStatus::NeedMore;
  }
  const std::size_t n = static_cast<std::size_t>(buffer_[head_]) | (static_cast<std::size_t>(buffer_[head_ + 1]) << 8);
  if (n > maxCount_) {
    broken_ = true;
    error_ = "frame count " + std::to_string(n) + " above the limit " + std::to_string(maxCount_) +
             "; the stream is out of step";
    return EDecodeStatus::Broken;
  }
  const std::size_t bytes = n * unitBytes_;
  if (Buffered() < 2 + bytes) {
    return EDecodeStatus::NeedMore;
  }
  const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(head_ + 2);
  payload.assign(first, first + static_cast<std::ptrdiff_t>(bytes));
  count = n;
  head_ += 2 + bytes;
  if (head_ == buffer_.size()) {
    buffer_.clear();
    head_ = 0;
  }
  return EDecodeStatus::Frame;
}

void TFrameDecoder::Reset() {
  buffer_.clear();
  head_ = 0;
  broken_ = false;
  error_.clear();
}

} // namespace station_client
