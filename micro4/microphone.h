#pragma once
// Client of the four-microphone array: one RTSP session per array channel, one receiver thread that regroups the
// four RTP/UDP streams by timestamp, and the block store that every sound consumer reads from.
//
// Threads: the owner (main, or a test) constructs, calls Start() or StartReceiver(), Stop() and destroys it. The
// receiver thread (th_Recieve) is the only writer of the block store. Any number of reader threads may call the read
// operations; ReadAsInt16 must not run on two threads at once.

#include "micro4/event_count.h"
#include "micro4/samples_src.h"
#include "micro4/unique_fd.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef ORMELIN_ARRAY_ADDRESS
#error "ORMELIN_ARRAY_ADDRESS (the array's IPv4 address) comes from the ormelin_micro4 target"
#endif

namespace micro4 {

inline constexpr int kBlockSamples = 400;  // samples of one channel in one block (one RTP payload)
inline constexpr int kBlocksCount = 70000; // entries of the block store ring
static_assert(kBlocksCount % kReadBatchBlocks == 0, "batches never straddle the ring's end");
inline constexpr int kPoolBuffers = 50000;                      // datagram buffers of the receiver, reused in turn
inline constexpr std::chrono::milliseconds kBatchPatience{400}; // a batch takes about 171 ms to arrive
inline constexpr int kClientPortBase = 33710;         // client RTP port of array channel c is kClientPortBase + 2c
inline constexpr int kRtspTimeoutMs = 3000;           // connect, write and read of the RTSP dialogue give up after this
inline constexpr std::size_t kRtspReplyBytes = 70000; // reply buffer of one channel's dialogue

// Receive side of one array channel: the UDP socket and the address of the last sender (written by the receiver).
struct TUdpChannel {
  TUniqueFd Socket;
  sockaddr_in Addr{};
  socklen_t AddrLen = sizeof(sockaddr_in);
};

// Gives the receiver's datagram pool mapping back (its length is kept with the pointer).
struct TPoolUnmap {
  std::size_t Bytes = 0;
  void operator()(unsigned char *pool) const;
};

class TMicrophone : public TAbstractSamplesSrc {
public:
  // `arrayAddress` is the array's IPv4 address in dotted decimal, `rtspPort` its RTSP port. Nothing is opened here.
  explicit TMicrophone(std::string arrayAddress = ORMELIN_ARRAY_ADDRESS, int rtspPort = 554);
  // Stops and joins the receiver, then closes every socket.
  ~TMicrophone();
  TMicrophone(const TMicrophone &) = delete;
  TMicrophone &operator=(const TMicrophone &) = delete;
  TMicrophone(TMicrophone &&) = delete;
  TMicrophone &operator=(TMicrophone &&) = delete;

  // Reader protocol: each reader keeps a cursor from 0, advancing it modulo BlocksCount() after each successful
  // read. Blocking reads sleep until block `index` is published (the receiver wakes them after each block); they
  // also return, leaving the vectors untouched, once Stop() was called. An index outside 0 .. BlocksCount() - 1 is
  // never read.
  void ReadAllCH(std::vector<double> &ch0, std::vector<double> &ch1, std::vector<double> &ch2, std::vector<double> &ch3,
                 int index) override;
  bool NonBlockReadAllCH(std::vector<double> &ch0, std::vector<double> &ch1, std::vector<double> &ch2,
                         std::vector<double> &ch3, int index) override;
  void ReadSelectedSignalsBS400(std::vector<double> &v, int index, int channel) override;
  int BlocksCount() override { return kBlocksCount; }
  // RTSP dialogue for array channels 1 to 4, each followed by binding its UDP client port (33710 + 2c), then starts
  // the receiver. False at the first channel that fails; channels set up before it stay open. Refused (false) once
  // a receiver was started or the object was stopped.
  bool Start() override;
  // Waits for a batch's last block at most kBatchPatience: when the stream stops inside a batch, the reader
  // then goes on block by block and so still works off the blocks that did come.
  void AwaitBlock(int index) override;
  // The listener is notified (under a lock, so removing it is final) after each batch-ending block and on Stop().
  bool SetBlockListener(TEventCount *listener) override;

  // Reads the next block (own cursor) of the four reader channels as raw 16-bit values.
  void ReadAsInt16(std::vector<short> &ch0, std::vector<short> &ch1, std::vector<short> &ch2, std::vector<short> &ch3);

  // Big-endian signed 16-bit samples to values; `count` samples from `bytes` (2 * count bytes).
  static void SetGroupInt16Values(const unsigned char *bytes, int count, std::vector<short> &out);
  static void SetGroupDoubleValues(const unsigned char *bytes, int count, std::vector<double> &out);
  static void SetSingleInt16Value(const unsigned char *bytes, short &out);
  // Little-endian unsigned 32-bit value of 4 bytes.
  static uint32_t BytesToUint32(const unsigned char *bytes);

  // One array channel's RTSP dialogue (OPTIONS, OPTIONS, DESCRIBE, SETUP, PLAY) announcing `clientPort`. Each
  // connect, write or read gives up after kRtspTimeoutMs. The connection stays open until destruction.
  bool StartUdpStream(int channel, int clientPort);

  // Test and tool seam: binds the four UDP sockets (wildcard address) to `ports` (array channels 1 to 4; 0 lets the
  // system choose, see UdpPort) and starts the receiver, without any RTSP dialogue. Same refusals as Start().
  bool StartReceiver(const std::array<int, 4> &ports = {kClientPortBase + 2, kClientPortBase + 4, kClientPortBase + 6,
                                                        kClientPortBase + 8});
  // Local port of array channel `channel`'s UDP socket, 0 when it is not open.
  int UdpPort(int channel) const;

  // Without progress lines of the RTSP dialogue (a station retrying a lost array says so once itself). Owner
  // thread, before Start().
  void SetQuiet(bool quiet) { Quiet_ = quiet; }

  // Time since the receiver last published a complete block, and since array channel `channel` (1..4) last
  // delivered a datagram (max for another channel); both count from the receiver's start. Any thread.
  std::chrono::nanoseconds SinceLastBlock() const;
  std::chrono::nanoseconds SinceLastDatagram(int channel) const;

  // Sends TEARDOWN for every session the dialogue set up and waits up to `limit` for the replies; returns how
  // many answered. Owner thread, after Stop() or before; each session is torn down once.
  int Teardown(std::chrono::milliseconds limit);

  // Stops the receiver thread and joins it; blocking reads then return. Final: the object cannot be started again.
  void Stop();

  // Index of the entry the receiver publishes next.
  int32_t CurrentWriteBlock() const { return WriteBlock.load(std::memory_order_acquire); }
  // Receiver statistics, for tests and diagnostics; each is a plain counter of the receiver thread.
  uint64_t ReceivedDatagrams() const { return ReceivedDatagrams_.load(std::memory_order_acquire); }
  uint64_t DroppedDatagrams() const { return DroppedDatagrams_.load(std::memory_order_acquire); }
  uint64_t DroppedGroups() const { return DroppedGroups_.load(std::memory_order_acquire); }
  std::size_t PendingGroups() const { return PendingGroups_.load(std::memory_order_acquire); }
  uint64_t PublishedBlocks() const { return PublishedBlocks_.load(std::memory_order_relaxed); }

private:
  using TBlock = std::array<unsigned char *, 4>; // element j: whole datagram of array channel j + 1

  // Receiver thread body: until Stop(), takes datagrams from whichever sockets have one, groups them by RTP
  // timestamp and publishes complete groups.
  void th_Recieve();
  bool OpenUdpChannel(int channel, int port);
  void StartReceiverThread();
  // True when block `index` has been published and is not the entry being written.
  bool IsPublished(int index) const;
  // Sleeps until `index` is published (true) or Stop() was called (false).
  bool WaitForBlock(int index) const;
  // Wakes the blocking readers after each published block; at a batch's last block (and on Stop()) also the
  // batch readers and the listener.
  void WakeReaders(bool batchEnd);
  void Say(const char *line) const; // a progress line unless quiet
  void FillDouble(const TBlock &block, int readerChannel, std::vector<double> &out) const;

  const int32_t PacketSize = 812;       // 12 bytes RTP header + 800 bytes payload
  const int32_t PayloadSize = 800;      // 400 samples
  std::array<TUniqueFd, 4> RtspSockets; // RTSP connection of array channel 1..4 (owner thread only)
  bool Quiet_ = false;
  // Steady-clock nanoseconds of the last published block and of each array channel's last datagram. Stored
  // relaxed by the receiver, loaded relaxed by the supervising thread: only the times matter, no data is
  // published through them.
  std::atomic<std::int64_t> LastBlockNs_{0};
  std::array<std::atomic<std::int64_t>, 4> LastDatagramNs_{};
  std::array<std::string, 4> SessionIds_; // session of array channel 1..4 once playing (owner thread only)
  std::array<TUdpChannel, 4> UdpChannels;
  std::thread RecvThread; // runs th_Recieve; joined by Stop()
  // The block store ring. Writer: receiver thread, which fills entry WriteBlock and then advances WriteBlock with
  // release. Readers: any thread, after loading WriteBlock with acquire. Entries point into Pool_.
  std::vector<TBlock> Blocks;
  std::atomic<int32_t> WriteBlock{0};
  int32_t Int16ReadBlock = 0; // cursor of ReadAsInt16 (its single calling thread only)

  std::string ArrayAddress_;
  int RtspPort_;
  // Set (release) together with the first wrap of WriteBlock: from then on every entry holds a published block.
  std::atomic<bool> Wrapped_{false};
  std::atomic<bool> StopRequested_{false};
  // Bumped by the receiver after each published block (Published_), after each batch-ending one
  // (BatchPublished_), and by Stop(); blocking readers sleep on the one of the block they wait for.
  TEventCount Published_;
  TEventCount BatchPublished_;
  std::mutex ListenerMutex_;        // guards Listener_ against removal while the receiver notifies it
  TEventCount *Listener_ = nullptr; // not owned; set by SetBlockListener
  TUniqueFd StopEvent_;             // eventfd written by Stop() to wake the receiver's poll
  // kPoolBuffers datagram buffers of PacketSize bytes. Mapped before the receiver starts and kept until
  // destruction, so published blocks stay readable after Stop(). Written only by the receiver thread.
  std::unique_ptr<unsigned char[], TPoolUnmap> Pool_;
  std::atomic<uint64_t> ReceivedDatagrams_{0};
  std::atomic<uint64_t> DroppedDatagrams_{0};
  std::atomic<uint64_t> DroppedGroups_{0};
  std::atomic<std::size_t> PendingGroups_{0};
  std::atomic<uint64_t> PublishedBlocks_{0}; // complete blocks published since the start (never wraps)
};

} // namespace micro4
