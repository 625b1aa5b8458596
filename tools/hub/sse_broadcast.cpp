#include "tools/hub/sse_broadcast.h"

#include <algorithm>
#include <cassert>

namespace hub {

TSseBroadcast::TSseBroadcast(std::size_t capacity) : ring_(std::max<std::size_t>(capacity, 1)) {}

void TSseBroadcast::Publish(std::string message) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ring_[next_ % ring_.size()] = std::move(message);
    ++next_;
  }
  published_.notify_all();
}

std::uint64_t TSseBroadcast::Tail() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return next_;
}

TSseBroadcast::ENext TSseBroadcast::Next(std::uint64_t &position, std::string &out, std::chrono::milliseconds timeout,
                                         std::uint64_t &skipped) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!published_.wait_for(lock, timeout, [&] { return stopped_ || position < next_; })) {
    return ENext::Timeout;
  }
  if (stopped_) {
    return ENext::Stopped;
  }
  const std::uint64_t oldest = next_ > ring_.size() ? next_ - ring_.size() : 0;
  if (position < oldest) {
    skipped += oldest - position;
    position = oldest;
  }
  assert(position < next_);
  out = ring_[position % ring_.size()];
  ++position;
  return ENext::Message;
}

void TSseBroadcast::Stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  published_.notify_all();
}

} // namespace hub
