#include "tools/array_sim/streamer.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>

namespace array_sim {

TRtpStreamer::TRtpStreamer(sim::TScene scene, TSettings settings, sim::TWavWriter record, const TEventLog *log)
    : scene_(std::move(scene)), settings_(std::move(settings)), record_(std::move(record)), log_(log),
      rateHz_(scene_.SampleRateHz()) {
  sim::TRandom rng(settings_.seed, 400);
  for (auto &s : ssrc_) {
    s = static_cast<std::uint32_t>(rng.NextU64());
  }
  for (auto &r : rendered_) {
    r.reserve(kSamplesPerPacket);
  }
  interleaved_.resize(4 * kSamplesPerPacket);
}

TRtpStreamer::~TRtpStreamer() { Stop(); }

bool TRtpStreamer::Open(std::string &error) {
  for (std::size_t c = 0; c < 4; ++c) {
    TFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
      error = std::string("cannot create an RTP socket: ") + std::strerror(errno);
      return false;
    }
    sockaddr_in addr{};
    if (!MakeAddress(settings_.sendAddress, 0, addr) ||
        ::bind(fd.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
      error = "cannot bind an RTP socket to " + settings_.sendAddress + ": " + std::strerror(errno);
      return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr *>(&addr), &len);
    ports_[c] = ntohs(addr.sin_port);
    const int sendBuffer = 1 << 20; // bursts at high --speed
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockets_[c] = std::move(fd);
  }
  return true;
}

void TRtpStreamer::Start() {
  stop_.store(false, std::memory_order_relaxed);
  thread_ = std::thread([this] { Run(); });
}

void TRtpStreamer::Stop() {
  stop_.store(true, std::memory_order_relaxed);
  if (thread_.joinable()) {
    thread_.join();
  }
}

std::string TRtpStreamer::Failure() const {
  const std::lock_guard lock(failureMutex_);
  return failure_;
}

void TRtpStreamer::Fail(const std::string &why) {
  {
    const std::lock_guard lock(failureMutex_);
    failure_ = why;
  }
  done_.store(true, std::memory_order_release);
}

std::int64_t TRtpStreamer::Play(std::uint64_t session, int channel, const sockaddr_in &dest, std::uint16_t firstSeq) {
  // The block in progress may have taken its commands already: start with the next one, so the first block
  // announced is exactly the first block sent.
  const std::int64_t first = currentBlock_.load(std::memory_order_acquire) + 1;
  TCommand c;
  c.kind = ECommand::Play;
  c.session = session;
  c.channel = channel;
  c.dest = dest;
  c.firstBlock = first;
  c.firstSeq = firstSeq;
  const std::lock_guard lock(commandsMutex_);
  commands_.push_back(c);
  return first;
}

void TRtpStreamer::Pause(std::uint64_t session) {
  TCommand c;
  c.kind = ECommand::Pause;
  c.session = session;
  const std::lock_guard lock(commandsMutex_);
  commands_.push_back(c);
}

void TRtpStreamer::Remove(std::uint64_t session) {
  TCommand c;
  c.kind = ECommand::Remove;
  c.session = session;
  const std::lock_guard lock(commandsMutex_);
  commands_.push_back(c);
}

void TRtpStreamer::ApplyCommands() {
  std::vector<TCommand> pending;
  {
    const std::lock_guard lock(commandsMutex_);
    pending.swap(commands_);
  }
  for (const TCommand &c : pending) {
    auto it = std::find_if(targets_.begin(), targets_.end(), [&](const TTarget &t) { return t.session == c.session; });
    switch (c.kind) {
    case ECommand::Play:
      if (it == targets_.end()) {
        TTarget t;
        t.session = c.session;
        t.seq = c.firstSeq;
        t.faults = sim::TRandom(settings_.seed, 1000 + targetCount_++);
        targets_.push_back(t);
        it = targets_.end() - 1;
      }
      it->channel = c.channel;
      it->dest = c.dest;
      it->firstBlock = c.firstBlock;
      it->playing = true;
      break;
    case ECommand::Pause:
      if (it != targets_.end()) {
        it->playing = false;
        it->holding = false;
      }
      break;
    case ECommand::Remove:
      if (it != targets_.end()) {
        targets_.erase(it);
      }
      break;
    }
  }
}

void TRtpStreamer::RenderBlock() {
  scene_.Render(kSamplesPerPacket, rendered_);
  std::int64_t clipped = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    for (std::size_t i = 0; i < kSamplesPerPacket; ++i) {
      const double v = rendered_[k][i];
      clipped += (v > 32767.5 || v < -32768.5) ? 1 : 0;
      samples_[k][i] = sim::ToInt16(v);
      interleaved_[4 * i + k] = samples_[k][i];
    }
  }
  // Reader channel k is array channel 4, 1, 2, 3: array channel c sends reader channel c mod 4.
  for (std::size_t c = 1; c <= 4; ++c) {
    WriteBigEndianSamples(payload_[c - 1].data(), samples_[c % 4].data(), kSamplesPerPacket);
  }
  if (clipped > 0 && clipped_.load(std::memory_order_relaxed) == 0 && log_ != nullptr) {
    log_->Print("warning: the sound clips at 16 bits (lower --level or raise --snr/--sbr)");
  }
  clipped_.fetch_add(clipped, std::memory_order_relaxed);
}

void TRtpStreamer::SendDatagram(const TTarget &t, const std::uint8_t *data, std::size_t length) {
  const auto sent = ::sendto(sockets_[static_cast<std::size_t>(t.channel - 1)].Get(), data, length, MSG_DONTWAIT,
                             reinterpret_cast<const sockaddr *>(&t.dest), sizeof t.dest);
  // A full buffer or a receiver that went away costs this datagram only; UDP makes no promise either way.
  if (sent == static_cast<ssize_t>(length)) {
    datagrams_.fetch_add(1, std::memory_order_relaxed);
  }
}

void TRtpStreamer::SendBlock(TTarget &t) {
  if (!t.playing || block_ < t.firstBlock) {
    return;
  }
  if (t.startedBlock < 0) {
    t.startedBlock = block_;
  }
  std::array<std::uint8_t, kPacketBytes> packet{};
  WriteRtpHeader(packet.data(), t.seq++, static_cast<std::uint32_t>(block_ * kSamplesPerPacket), Ssrc(t.channel));
  const auto &payload = payload_[static_cast<std::size_t>(t.channel - 1)];
  std::copy(payload.begin(), payload.end(), packet.begin() + kRtpHeaderBytes);

  const double blocksPerSecond = rateHz_ / static_cast<double>(kSamplesPerPacket);
  bool stalled = false;
  for (const TStall &s : settings_.faults.stalls) {
    const double since = static_cast<double>(block_ - t.startedBlock) / blocksPerSecond;
    stalled = stalled || (s.channel == t.channel && since >= s.afterS && since < s.afterS + s.seconds);
  }
  if (stalled != t.stalled && log_ != nullptr) {
    std::ostringstream line;
    line << "session " << std::hex << t.session << std::dec << ": channel " << t.channel
         << (stalled ? " stalls" : " resumes") << " at block " << block_;
    log_->Print(line.str());
  }
  t.stalled = stalled;
  const TFaults &f = settings_.faults;
  if (stalled || t.faults.Chance(f.loss)) {
    return; // the sequence number is spent: the receiver sees a gap
  }
  std::size_t length = kPacketBytes;
  if (t.faults.Chance(f.truncate)) {
    length = 1 + static_cast<std::size_t>(t.faults.Uniform() * (kPacketBytes - 1));
  }
  const int copies = t.faults.Chance(f.dup) ? 2 : 1;
  if (!t.holding && t.faults.Chance(f.reorder)) {
    std::copy(packet.begin(), packet.end(), t.held.begin());
    t.heldLength = length;
    t.holding = true;
    return;
  }
  for (int i = 0; i < copies; ++i) {
    SendDatagram(t, packet.data(), length);
  }
  if (t.holding) {
    SendDatagram(t, t.held.data(), t.heldLength);
    t.holding = false;
  }
}

void TRtpStreamer::Run() {
  using Clock = std::chrono::steady_clock;
  const double blockSeconds = static_cast<double>(kSamplesPerPacket) / rateHz_ / settings_.speed;
  const auto blockDuration = std::chrono::duration<double>(blockSeconds);
  const std::int64_t limit =
      settings_.seconds > 0.0
          ? static_cast<std::int64_t>(std::ceil(settings_.seconds * rateHz_ / static_cast<double>(kSamplesPerPacket)))
          : -1;
  auto start = Clock::now();
  while (!stop_.load(std::memory_order_relaxed)) {
    auto deadline = start + std::chrono::duration_cast<Clock::duration>(blockDuration * static_cast<double>(block_));
    auto now = Clock::now();
    while (now < deadline && !stop_.load(std::memory_order_relaxed)) {
      std::this_thread::sleep_until(std::min(deadline, now + std::chrono::milliseconds(50)));
      now = Clock::now();
    }
    if (stop_.load(std::memory_order_relaxed)) {
      break;
    }
    if (now - deadline > std::chrono::seconds(1)) {
      // Suspended or starved: carry on from now rather than bursting a second of datagrams.
      start += now - deadline;
      if (log_ != nullptr) {
        log_->Print("sender fell behind by " + std::to_string(std::chrono::duration<double>(now - deadline).count()) +
                    " s; the clock skips ahead");
      }
    }
    currentBlock_.store(block_, std::memory_order_release);
    ApplyCommands();
    RenderBlock();
    if (record_.IsOpen() && !record_.Write(interleaved_.data(), kSamplesPerPacket)) {
      Fail("cannot write the recording (disk full?)");
      break;
    }
    for (TTarget &t : targets_) {
      SendBlock(t);
    }
    ++block_;
    blocks_.store(block_, std::memory_order_relaxed);
    if (limit >= 0 && block_ >= limit) {
      done_.store(true, std::memory_order_release);
      break;
    }
  }
  record_.Close();
}

} // namespace array_sim
