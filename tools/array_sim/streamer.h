#pragma once
// The virtual array's sender: one thread that runs the scene clock, renders 400 samples of the four
// microphones per block, optionally records them, and sends each playing session its channel's RTP datagram
// of the block. All sessions are fed from the same block, so the four channels of one time span carry the
// same RTP timestamp (400 x block index) whatever the order and time of their PLAYs.
//
// Threads: the RTSP server thread calls Play/Pause/Remove and the const getters; the sender thread runs Run;
// the owner (main or a test) calls Open, Start and Stop. Commands cross over in a mutex-guarded queue that the
// sender drains at the start of every block.

#include "tools/array_sim/net.h"
#include "tools/array_sim/options.h"
#include "tools/array_sim/rtp_packet.h"
#include "tools/sim/random.h"
#include "tools/sim/scene.h"
#include "tools/sim/wav_io.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace array_sim {

class TRtpStreamer {
public:
  struct TSettings {
    double speed = 1.0;   // scene seconds per wall-clock second
    double seconds = 0.0; // stop after this much sound (0: never)
    TFaults faults;
    std::uint64_t seed = 1;
    std::string sendAddress = "127.0.0.1"; // local address of the RTP sockets
  };

  TRtpStreamer(sim::TScene scene, TSettings settings, sim::TWavWriter record, const TEventLog *log);
  ~TRtpStreamer();
  TRtpStreamer(const TRtpStreamer &) = delete;
  TRtpStreamer &operator=(const TRtpStreamer &) = delete;

  // Creates and binds the four sending sockets. False with one line on failure.
  bool Open(std::string &error);
  void Start();
  void Stop(); // stops and joins the sender thread; idempotent

  // RTSP thread. Starts (or resumes) sending array channel `channel` (1..4) of the scene to `dest`, from the
  // block that returns, with `firstSeq` as the first sequence number of a new session.
  std::int64_t Play(std::uint64_t session, int channel, const sockaddr_in &dest, std::uint16_t firstSeq);
  void Pause(std::uint64_t session);
  void Remove(std::uint64_t session);

  std::uint32_t Ssrc(int channel) const { return ssrc_[static_cast<std::size_t>(channel - 1)]; }
  int ServerPort(int channel) const { return ports_[static_cast<std::size_t>(channel - 1)]; }

  // True once --seconds of sound have been sent or the sender failed (Failure() then says why).
  bool Done() const { return done_.load(std::memory_order_acquire); }
  std::string Failure() const;
  std::int64_t BlocksSent() const { return blocks_.load(std::memory_order_relaxed); }
  std::int64_t DatagramsSent() const { return datagrams_.load(std::memory_order_relaxed); }
  std::int64_t ClippedSamples() const { return clipped_.load(std::memory_order_relaxed); }

private:
  enum class ECommand { Play, Pause, Remove };
  struct TCommand {
    ECommand kind = ECommand::Play;
    std::uint64_t session = 0;
    int channel = 0;
    sockaddr_in dest{};
    std::int64_t firstBlock = 0;
    std::uint16_t firstSeq = 0;
  };
  // A session's sending state; owned by the sender thread.
  struct TTarget {
    std::uint64_t session = 0;
    int channel = 0;
    sockaddr_in dest{};
    bool playing = false;
    std::int64_t firstBlock = 0;
    std::int64_t startedBlock = -1; // block of its first datagram, for the stall windows
    std::uint16_t seq = 0;
    sim::TRandom faults{0};
    bool stalled = false;
    bool holding = false; // a datagram held back for reordering
    std::size_t heldLength = 0;
    std::array<std::uint8_t, kPacketBytes> held{};
  };

  void Run();
  void ApplyCommands();
  void RenderBlock();
  void SendBlock(TTarget &t);
  void SendDatagram(const TTarget &t, const std::uint8_t *data, std::size_t length);
  void Fail(const std::string &why);

  sim::TScene scene_;
  TSettings settings_;
  sim::TWavWriter record_;
  const TEventLog *log_;
  double rateHz_;

  std::array<TFd, 4> sockets_;
  std::array<int, 4> ports_{};
  std::array<std::uint32_t, 4> ssrc_{};

  std::mutex commandsMutex_;
  std::vector<TCommand> commands_; // guarded by commandsMutex_; RTSP thread appends, sender drains

  // Sender thread only.
  std::vector<TTarget> targets_;
  std::int64_t block_ = 0;
  std::array<std::vector<double>, 4> rendered_;
  std::array<std::array<std::int16_t, kSamplesPerPacket>, 4> samples_{};
  std::array<std::array<std::uint8_t, kPacketBytes - kRtpHeaderBytes>, 4> payload_{};
  std::vector<std::int16_t> interleaved_;
  std::uint64_t targetCount_ = 0;

  // Written by the sender with release at the start of each block, read by the RTSP thread with acquire: the
  // block whose commands may already have been applied.
  std::atomic<std::int64_t> currentBlock_{-1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<std::int64_t> blocks_{0};
  std::atomic<std::int64_t> datagrams_{0};
  std::atomic<std::int64_t> clipped_{0};
  mutable std::mutex failureMutex_;
  std::string failure_; // guarded by failureMutex_

  std::thread thread_;
};

} // namespace array_sim
