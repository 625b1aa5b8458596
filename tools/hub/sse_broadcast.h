#pragma once
// Fan-out of live-stream messages to every open /events stream without ever making the producer wait: the
// station thread publishes into a ring of the latest messages; each HTTP thread serving a stream keeps its own
// position and takes what it has not sent yet. A reader that falls more than the ring behind (a stalled
// browser) skips ahead to the oldest message still held. Publish: the hub's station thread; Next: HTTP threads;
// Stop: the main thread. One mutex guards the ring; the condition variable wakes the readers.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace hub {

class TSseBroadcast {
public:
  explicit TSseBroadcast(std::size_t capacity = 256);

  void Publish(std::string message);

  // Position a new reader starts at: the next message published.
  std::uint64_t Tail() const;

  enum class ENext { Message, Timeout, Stopped };
  // Waits up to `timeout` for the message at `position`, copies it into `out` and advances `position`;
  // `skipped` counts messages that were overwritten before this reader got them.
  ENext Next(std::uint64_t &position, std::string &out, std::chrono::milliseconds timeout, std::uint64_t &skipped);

  // Wakes every reader for good.
  void Stop();

private:
  mutable std::mutex mutex_;
  std::condition_variable published_;
  std::vector<std::string> ring_; // message n lives at ring_[n % capacity]
  std::uint64_t next_ = 0;        // sequence number of the next message to publish
  bool stopped_ = false;
};

} // namespace hub
