#include "micro4/microphone.h"

#include "micro4/block_assembler.h"
#include "micro4/rtsp_messages.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#define ORMELIN_MICRO4_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORMELIN_MICRO4_TSAN 1
#endif
#endif

#ifdef ORMELIN_MICRO4_TSAN
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
#endif

namespace micro4 {

namespace {

// Readers never report back to the receiver: a block stays readable because the receiver reuses a store entry only
// 70000 blocks and a pool buffer only 50000 datagrams later, and readers are required to stay well within that
// distance. ThreadSanitizer cannot see such a distance, so in its builds a reader releases what it read and the
// receiver acquires it before reusing it. Nothing happens in other builds.
inline void AnnounceReadDone([[maybe_unused]] const void *addr) {
#ifdef ORMELIN_MICRO4_TSAN
  __tsan_release(const_cast<void *>(addr));
#endif
}
inline void AnnounceReuse([[maybe_unused]] const void *addr) {
#ifdef ORMELIN_MICRO4_TSAN
  __tsan_acquire(const_cast<void *>(addr));
#endif
}

constexpr int kRtpHeaderBytes = 12;
// Only when no eventfd could be made for Stop(): how long the receiver waits for a datagram before it re-checks the
// stop flag. Normally it sleeps in poll until a datagram or Stop() wakes it.
constexpr int kReceivePollMs = 50;
// After the receiver has emptied its sockets it rests this long before it reads them again, in a poll on the
// stop event only, so Stop() still wakes it at once. Without the rest every datagram group of the array (one per
// 10.7 ms, its four channels sent a little apart) costs a wake-up or two of its own, and on a small or virtual
// machine a wake-up with its five system calls costs far more than the datagrams it reads (measured: about
// 90 us per round however many datagrams came); with it one wake-up reads about seventeen groups, each socket's share
// with one recvmmsg. The readers' batches of kReadBatchBlocks blocks (about 171 ms) come at about the same pace,
// and a socket's buffer holds about a second of datagrams. Only after datagrams came: once a round reads nothing
// the receiver sleeps in its poll on the sockets until the next datagram, so a silent array costs nothing.
constexpr int kReceiveRestMs = 180;
// The array's real-time pace: one datagram of 400 samples per socket every 10.7 ms at 37.5 kHz. The receiver
// rests only while, since its last rest began (or since it woke from silence), no socket has brought more than
// twice that pace: a faster stream (a replaying or catching-up sender, or one that waits for the receiver to
// keep up) is read on without rests, since its datagrams would overflow the sockets' buffers meanwhile.
constexpr std::int64_t kRealTimeDatagramNs = 10'666'667;
// Datagrams read from one socket by one recvmmsg call.
constexpr std::size_t kReceiveBatch = 32;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Progress lines of the set-up go out at once, also when standard output is a pipe.
void PrintLine(const char *text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Non-blocking connect bounded by kRtspTimeoutMs, then back to blocking mode with send and receive time-outs, so a
// dead or silent array fails the channel instead of hanging the start-up.
bool ConnectWithTimeout(int fd, const sockaddr_in &server) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    return false;
  }
  if (::connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof(server)) != 0) {
    if (errno != EINPROGRESS) {
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRtspTimeoutMs);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) {
        return false;
      }
      pollfd pfd{fd, POLLOUT, 0};
      const int ready = ::poll(&pfd, 1, static_cast<int>(left));
      if (ready > 0) {
        break;
      }
      if (ready < 0 && errno != EINTR) {
        return false;
      }
    }
    int error = 0;
    socklen_t len = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
      return false;
    }
  }
  if (::fcntl(fd, F_SETFL, flags) < 0) {
    return false;
  }
  timeval tv{};
  tv.tv_sec = kRtspTimeoutMs / 1000;
  tv.tv_usec = static_cast<suseconds_t>((kRtspTimeoutMs % 1000) * 1000);
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0 &&
         ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0;
}

// One request/reply exchange: the whole request in one send, then one read of whatever the array answered.
// MSG_NOSIGNAL: a connection reset by the array must fail the channel, not kill the station with SIGPIPE.
bool Exchange(int fd, const std::string &request, std::vector<char> &reply, int &replyLength) {
  ssize_t sent = -1;
  do {
    sent = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(request.size())) {
    return false;
  }
  ssize_t got = -1;
  do {
    got = ::recv(fd, reply.data(), reply.size(), 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    return false;
  }
  replyLength = static_cast<int>(got);
  return true;
}

inline short BigEndianInt16(const unsigned char *bytes) {
  // Modular conversion of the 16-bit pattern to a signed value (well defined since C++20).
  return static_cast<short>(static_cast<uint16_t>((bytes[0] << 8) | bytes[1]));
}

} // namespace

TMicrophone::TMicrophone(std::string arrayAddress, int rtspPort)
    : Blocks(kBlocksCount, TBlock{}), ArrayAddress_(std::move(arrayAddress)), RtspPort_(rtspPort) {}

TMicrophone::~TMicrophone() { Stop(); }

void TMicrophone::Stop() {
  StopRequested_.store(true, std::memory_order_release);
  WakeReaders(true);
  if (StopEvent_) {
    const std::uint64_t one = 1;
    // A full counter (never reached here) would only mean the receiver is already woken.
    [[maybe_unused]] const ssize_t n = ::write(StopEvent_.Get(), &one, sizeof(one));
  }
  if (RecvThread.joinable()) {
    RecvThread.join();
  }
}

// ---- reads -------------------------------------------------------------------------------------------------------

bool TMicrophone::IsPublished(int index) const {
  if (index < 0 || index >= kBlocksCount) {
    return false;
  }
  const int32_t write = WriteBlock.load(std::memory_order_acquire);
  if (index == write) {
    return false;
  }
  // Entries at and after WriteBlock hold blocks only once the ring has wrapped; before that they were never written.
  return index < write || Wrapped_.load(std::memory_order_acquire);
}

bool TMicrophone::WaitForBlock(int index) const {
  if (index < 0 || index >= kBlocksCount) {
    return false;
  }
  for (;;) {
    // Read the count before looking, so a block published after the look still ends the wait below.
    // A batch's last block has a counter of its own, so batch readers are not woken for every block.
    const TEventCount &wake = index % kReadBatchBlocks == kReadBatchBlocks - 1 ? BatchPublished_ : Published_;
    const std::uint32_t seen = wake.Prepare();
    if (IsPublished(index)) {
      return true;
    }
    if (StopRequested_.load(std::memory_order_acquire)) {
      return false;
    }
    wake.Wait(seen);
  }
}

void TMicrophone::AwaitBlock(int index) {
  if (index < 0 || index >= kBlocksCount) {
    return;
  }
  const auto deadline = std::chrono::steady_clock::now() + kBatchPatience;
  const TEventCount &wake = index % kReadBatchBlocks == kReadBatchBlocks - 1 ? BatchPublished_ : Published_;
  for (;;) {
    const std::uint32_t seen = wake.Prepare();
    if (IsPublished(index) || StopRequested_.load(std::memory_order_acquire)) {
      return;
    }
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::nanoseconds::zero() || !wake.WaitFor(seen, left)) {
      return; // the stream has paused inside this batch
    }
  }
}

bool TMicrophone::SetBlockListener(TEventCount *listener) {
  const std::lock_guard<std::mutex> lock(ListenerMutex_);
  Listener_ = listener;
  return true;
}

void TMicrophone::WakeReaders(bool batchEnd) {
  Published_.Notify(); // a system call only while a reader of a mid-batch block sleeps
  if (!batchEnd) {
    return;
  }
  BatchPublished_.Notify();
  const std::lock_guard<std::mutex> lock(ListenerMutex_);
  if (Listener_ != nullptr) {
    Listener_->Notify();
  }
}

void TMicrophone::FillDouble(const TBlock &block, int readerChannel, std::vector<double> &out) const {
  // Reader channel k is array channel 4, 1, 2, 3 for k = 0..3, i.e. entry element (k + 3) mod 4.
  const unsigned char *datagram = block[static_cast<std::size_t>((readerChannel + 3) % 4)];
  SetGroupDoubleValues(datagram + kRtpHeaderBytes, PayloadSize / 2, out);
  AnnounceReadDone(datagram);
  AnnounceReadDone(&block);
}

void TMicrophone::ReadAllCH(std::vector<double> &ch0, std::vector<double> &ch1, std::vector<double> &ch2,
                            std::vector<double> &ch3, int index) {
  if (!WaitForBlock(index)) {
    return;
  }
  const TBlock &block = Blocks[static_cast<std::size_t>(index)];
  FillDouble(block, 0, ch0);
  FillDouble(block, 1, ch1);
  FillDouble(block, 2, ch2);
  FillDouble(block, 3, ch3);
}

bool TMicrophone::NonBlockReadAllCH(std::vector<double> &ch0, std::vector<double> &ch1, std::vector<double> &ch2,
                                    std::vector<double> &ch3, int index) {
  if (!IsPublished(index)) {
    return false;
  }
  const TBlock &block = Blocks[static_cast<std::size_t>(index)];
  FillDouble(block, 0, ch0);
  FillDouble(block, 1, ch1);
  FillDouble(block, 2, ch2);
  FillDouble(block, 3, ch3);
  return true;
}

void TMicrophone::ReadSelectedSignalsBS400(std::vector<double> &v, int index, int channel) {
  if (!WaitForBlock(index)) {
    return;
  }
  if (channel < 0 || channel > 3) {
    return;
  }
  FillDouble(Blocks[static_cast<std::size_t>(index)], channel, v);
}

void TMicrophone::ReadAsInt16(std::vector<short> &ch0, std::vector<short> &ch1, std::vector<short> &ch2,
                              std::vector<short> &ch3) {
  if (!WaitForBlock(Int16ReadBlock)) {
    return;
  }
  const TBlock &block = Blocks[static_cast<std::size_t>(Int16ReadBlock)];
  std::array<std::vector<short> *, 4> outs{&ch0, &ch1, &ch2, &ch3};
  for (int k = 0; k < 4; ++k) {
    const unsigned char *datagram = block[static_cast<std::size_t>((k + 3) % 4)];
    SetGroupInt16Values(datagram + kRtpHeaderBytes, PayloadSize / 2, *outs[static_cast<std::size_t>(k)]);
    AnnounceReadDone(datagram);
  }
  AnnounceReadDone(&block);
  Int16ReadBlock = (Int16ReadBlock + 1) % kBlocksCount;
}

void TMicrophone::SetGroupInt16Values(const unsigned char *bytes, int count, std::vector<short> &out) {
  const auto n = static_cast<std::size_t>(count > 0 ? count : 0);
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = BigEndianInt16(bytes + 2 * i);
  }
}

void TMicrophone::SetGroupDoubleValues(const unsigned char *bytes, int count, std::vector<double> &out) {
  const auto n = static_cast<std::size_t>(count > 0 ? count : 0);
  out.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<double>(BigEndianInt16(bytes + 2 * i));
  }
}

void TMicrophone::SetSingleInt16Value(const unsigned char *bytes, short &out) { out = BigEndianInt16(bytes); }

uint32_t TMicrophone::BytesToUint32(const unsigned char *bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// ---- set-up ------------------------------------------------------------------------------------------------------

bool TMicrophone::Start() {
  if (RecvThread.joinable() || StopRequested_.load(std::memory_order_acquire)) {
    std::fputs("array client already started or stopped\n", stderr);
    return false;
  }
  for (int c = 1; c <= 4; ++c) {
    const int port = kClientPortBase + 2 * c;
    if (!StartUdpStream(c, port)) {
      return false;
    }
    if (!OpenUdpChannel(c, port)) {
      return false;
    }
  }
  StartReceiverThread();
  return true;
}

bool TMicrophone::StartReceiver(const std::array<int, 4> &ports) {
  if (RecvThread.joinable() || StopRequested_.load(std::memory_order_acquire)) {
    std::fputs("array client already started or stopped\n", stderr);
    return false;
  }
  for (int c = 1; c <= 4; ++c) {
    if (!OpenUdpChannel(c, ports[static_cast<std::size_t>(c - 1)])) {
      return false;
    }
  }
  StartReceiverThread();
  return true;
}

bool TMicrophone::OpenUdpChannel(int channel, int port) {
  TUdpChannel &ch = UdpChannels[static_cast<std::size_t>(channel - 1)];
  ch.Socket.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!ch.Socket) {
    std::perror("socket creation failed");
    return false;
  }
  ch.AddrLen = sizeof(sockaddr_in);
  std::memset(&ch.Addr, 0, sizeof(ch.Addr));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (port < 0 || port > 65535 ||
      ::bind(ch.Socket.Get(), reinterpret_cast<const sockaddr *>(&local), sizeof(local)) != 0) {
    if (port < 0 || port > 65535) {
      errno = EINVAL;
    }
    std::perror("bind failed");
    ch.Socket.Reset();
    return false;
  }
  return true;
}

int TMicrophone::UdpPort(int channel) const {
  if (channel < 1 || channel > 4) {
    return 0;
  }
  const TUdpChannel &ch = UdpChannels[static_cast<std::size_t>(channel - 1)];
  if (!ch.Socket) {
    return 0;
  }
  sockaddr_in local{};
  socklen_t len = sizeof(local);
  if (::getsockname(ch.Socket.Get(), reinterpret_cast<sockaddr *>(&local), &len) != 0) {
    return 0;
  }
  return ntohs(local.sin_port);
}

bool TMicrophone::StartUdpStream(int channel, int clientPort) {
  if (channel < 1 || channel > 4) {
    Say(("invalid array channel " + std::to_string(channel)).c_str());
    return false;
  }
  TUniqueFd &sock = RtspSockets[static_cast<std::size_t>(channel - 1)];
  sock.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) {
    Say("socket creation failed...");
    return false;
  }
  Say("Socket successfully created..");

  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<uint16_t>(RtspPort_));
  const bool addressOk = ::inet_pton(AF_INET, ArrayAddress_.c_str(), &server.sin_addr) == 1;
  if (!addressOk) {
    Say(("invalid array address '" + ArrayAddress_ + "'").c_str());
  }
  if (!addressOk || RtspPort_ <= 0 || RtspPort_ > 65535 || !ConnectWithTimeout(sock.Get(), server)) {
    Say("connection with the server failed...");
    return false;
  }
  Say("connected to the server..");

  const auto requests = details::TRTSP_Messages::SetupRequests(ArrayAddress_, RtspPort_, channel, clientPort);
  std::vector<char> reply(kRtspReplyBytes, 0);
  int replyLength = 0;
  for (const auto &request : requests) {
    if (!Exchange(sock.Get(), request, reply, replyLength)) {
      return false;
    }
  }
  // The reply to SETUP (the last exchange) carries the session header on its second-to-last line.
  const std::string sessionId = details::TRTSP_Messages::GetSessionID(reply.data(), replyLength);
  Say(("SessID=" + sessionId).c_str());

  const std::string play = details::TRTSP_Messages::PlayRequest(ArrayAddress_, RtspPort_, channel, sessionId);
  if (!Exchange(sock.Get(), play, reply, replyLength)) {
    return false;
  }
  SessionIds_[static_cast<std::size_t>(channel - 1)] = sessionId;
  return true;
}

void TMicrophone::Say(const char *line) const {
  if (!Quiet_) {
    PrintLine(line);
  }
}

std::chrono::nanoseconds TMicrophone::SinceLastBlock() const {
  return std::chrono::nanoseconds(NowNs() - LastBlockNs_.load(std::memory_order_relaxed));
}

std::chrono::nanoseconds TMicrophone::SinceLastDatagram(int channel) const {
  if (channel < 1 || channel > 4) {
    return std::chrono::nanoseconds::max();
  }
  return std::chrono::nanoseconds(
      NowNs() - LastDatagramNs_[static_cast<std::size_t>(channel - 1)].load(std::memory_order_relaxed));
}

int TMicrophone::Teardown(std::chrono::milliseconds limit) {
  // All requests first, then the replies under one deadline: an array that has gone must not hold the stop up.
  std::array<bool, 4> sent{};
  for (std::size_t j = 0; j < 4; ++j) {
    if (!RtspSockets[j] || SessionIds_[j].empty()) {
      continue;
    }
    const std::string request =
        details::TRTSP_Messages::TeardownRequest(ArrayAddress_, RtspPort_, static_cast<int>(j) + 1, SessionIds_[j]);
    const ssize_t n = ::send(RtspSockets[j].Get(), request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    sent[j] = n == static_cast<ssize_t>(request.size());
    SessionIds_[j].clear();
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int answered = 0;
  std::vector<char> reply(kRtspReplyBytes, 0);
  for (std::size_t j = 0; j < 4; ++j) {
    if (!sent[j]) {
      continue;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd pfd{RtspSockets[j].Get(), POLLIN, 0};
    if (left.count() > 0 && ::poll(&pfd, 1, static_cast<int>(left.count())) > 0 &&
        ::recv(RtspSockets[j].Get(), reply.data(), reply.size(), MSG_DONTWAIT) > 0) {
      ++answered;
    }
  }
  return answered;
}

// ---- receiver ----------------------------------------------------------------------------------------------------

void TPoolUnmap::operator()(unsigned char *pool) const { ::munmap(pool, Bytes); }

void TMicrophone::StartReceiverThread() {
  // Stop() writes to this eventfd so the receiver, asleep in poll, ends at once; without one it polls with a timeout.
  StopEvent_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  // Zero-filled pool, mapped here (before the thread exists) and unmapped only by the destructor. It is a mapping
  // of its own, in whole 2 MiB steps with transparent huge pages asked for: the receiver writes its 40 MB in
  // turn, each datagram into memory untouched for two minutes, and with 4 KiB pages almost every datagram costs
  // a TLB miss (a nested page walk on a virtual machine), measured at a third of the receiver's time. Where huge
  // pages are off the advice is ignored and the pool works as before. Touched once here, so the station's memory
  // is whole from the start rather than growing over the pool's first round.
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  const std::size_t bytes =
      (static_cast<std::size_t>(kPoolBuffers) * static_cast<std::size_t>(PacketSize) + kHugePage - 1) / kHugePage *
      kHugePage;
  void *const mapped = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    throw std::bad_alloc();
  }
  Pool_ = std::unique_ptr<unsigned char[], TPoolUnmap>(static_cast<unsigned char *>(mapped), TPoolUnmap{bytes});
  ::madvise(mapped, bytes, MADV_HUGEPAGE); // advice only: without huge pages the pool is as good as ever
  std::memset(mapped, 0, bytes);
  // The silence clocks start now: an array that never sends is as lost as one that stopped.
  const std::int64_t now = NowNs();
  LastBlockNs_.store(now, std::memory_order_relaxed);
  for (auto &t : LastDatagramNs_) {
    t.store(now, std::memory_order_relaxed);
  }
  RecvThread = std::thread(&TMicrophone::th_Recieve, this);
}

void TMicrophone::th_Recieve() {
  const auto packetBytes = static_cast<std::size_t>(PacketSize);
  unsigned char *const pool = Pool_.get();

  // Groups by RTP timestamp; its tables are allocated here, before the first datagram.
  TBlockAssembler assembler(pool, static_cast<std::size_t>(kPoolBuffers), packetBytes);

  // Entries 0..3: the array channels' sockets; entry 4: the stop event (a negative fd, ignored, when there is none).
  std::array<pollfd, 5> fds{};
  for (std::size_t j = 0; j < 4; ++j) {
    fds[j].fd = UdpChannels[j].Socket.Get();
    fds[j].events = POLLIN;
  }
  fds[4].fd = StopEvent_ ? StopEvent_.Get() : -1;
  fds[4].events = POLLIN;
  const int pollTimeoutMs = StopEvent_ ? -1 : kReceivePollMs;

  std::size_t poolIndex = 0;
  uint64_t received = 0;

  // One datagram of channel j, just received into the pool buffer at `slot` (length: its real length).
  const auto accept = [&](std::size_t j, std::size_t slot, std::size_t length) {
    ++received;
    LastDatagramNs_[j].store(NowNs(), std::memory_order_relaxed);
    const TBlockAssembler::TAccepted accepted = assembler.Accept(j, slot, length);
    if (accepted.Outcome == EAccepted::Dropped) {
      DroppedDatagrams_.store(assembler.DroppedDatagrams(), std::memory_order_relaxed);
      return;
    }
    if (accepted.Outcome == EAccepted::Complete) {
      const int32_t write = WriteBlock.load(std::memory_order_relaxed); // own index
      AnnounceReuse(&Blocks[static_cast<std::size_t>(write)]);
      Blocks[static_cast<std::size_t>(write)] = accepted.Block;
      int32_t next = write + 1;
      if (next == kBlocksCount) {
        next = 0;
        Wrapped_.store(true, std::memory_order_release);
      }
      WriteBlock.store(next, std::memory_order_release); // publishes the entry written above
      LastBlockNs_.store(NowNs(), std::memory_order_relaxed);
      PublishedBlocks_.fetch_add(1, std::memory_order_relaxed);
      WakeReaders(write % kReadBatchBlocks == kReadBatchBlocks - 1);
    }
  };

  // Every datagram waiting on channel j's socket, read kReceiveBatch at a time with one call each, in order;
  // returns how many came.
  std::array<mmsghdr, kReceiveBatch> messages{};
  std::array<iovec, kReceiveBatch> vectors{};
  const auto drain = [&](std::size_t j) {
    TUdpChannel &ch = UdpChannels[j];
    std::size_t total = 0;
    for (;;) {
      // Consecutive pool buffers from poolIndex on, never past the pool's end.
      const std::size_t count =
          std::min<std::size_t>(kReceiveBatch, static_cast<std::size_t>(kPoolBuffers) - poolIndex);
      for (std::size_t m = 0; m < count; ++m) {
        const std::size_t slot = poolIndex + m;
        if (assembler.BeforeReuse(slot)) {
          // The oldest buffers are reused: a group still waiting in one of them can no longer complete.
          DroppedGroups_.fetch_add(1, std::memory_order_relaxed);
        }
        AnnounceReuse(pool + slot * packetBytes);
        vectors[m] = iovec{pool + slot * packetBytes, packetBytes};
        messages[m] = mmsghdr{};
        messages[m].msg_hdr.msg_iov = &vectors[m];
        messages[m].msg_hdr.msg_iovlen = 1;
        messages[m].msg_hdr.msg_name = &ch.Addr;
        messages[m].msg_hdr.msg_namelen = sizeof(sockaddr_in);
      }
      // MSG_TRUNC: each length is the datagram's real one, so longer datagrams are recognised too.
      const int got =
          ::recvmmsg(ch.Socket.Get(), messages.data(), static_cast<unsigned>(count), MSG_TRUNC | MSG_DONTWAIT, nullptr);
      if (got <= 0) {
        return total; // nothing more (EAGAIN), interrupted, or a receive error: the next wake-up tries again
      }
      for (int m = 0; m < got; ++m) {
        accept(j, poolIndex + static_cast<std::size_t>(m), messages[m].msg_len);
      }
      poolIndex = (poolIndex + static_cast<std::size_t>(got)) % static_cast<std::size_t>(kPoolBuffers);
      total += static_cast<std::size_t>(got);
      PendingGroups_.store(assembler.PendingGroups(), std::memory_order_relaxed);
      ReceivedDatagrams_.store(received, std::memory_order_release);
      if (static_cast<std::size_t>(got) < count) {
        return total;
      }
    }
  };

  // The pace window: datagrams per socket since windowStartNs (the last rest's start, or the wake-up from silence).
  std::array<std::size_t, 4> sinceWindow{};
  std::int64_t windowStartNs = NowNs();
  bool idle = true;    // the last round read nothing: the receiver sleeps in poll until a datagram comes
  bool rested = false; // the last round ended in a rest: read again without polling
  while (!StopRequested_.load(std::memory_order_acquire)) {
    if (!rested) {
      const int ready = ::poll(fds.data(), fds.size(), pollTimeoutMs);
      if (ready <= 0 || StopRequested_.load(std::memory_order_acquire)) {
        continue; // interrupted, stopped (or, without a stop event, the time-out): re-check the stop flag
      }
      if (idle) {
        sinceWindow.fill(0); // the silence says nothing about the pace: it is measured from this datagram on
        windowStartNs = NowNs();
      }
    }
    std::size_t got = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const std::size_t n = drain(j);
      got += n;
      sinceWindow[j] += n;
    }
    const std::int64_t now = NowNs();
    const std::size_t most = *std::max_element(sinceWindow.begin(), sinceWindow.end());
    const auto paced = static_cast<std::size_t>(2 * (now - windowStartNs) / kRealTimeDatagramNs);
    idle = got == 0;
    rested = got > 0 && most <= paced;
    if (rested) {
      sinceWindow.fill(0);
      windowStartNs = now;
      ::poll(&fds[4], 1, kReceiveRestMs); // the sockets are empty: rest (Stop() ends it)
    }
  }
}

} // namespace micro4
