#pragma once
// One-client TCP push server of an output channel (result port or spectrum port). main creates it, calls
// InitAsServer and AcceptNewConn on its own thread before any engine starts; from then on exactly one thread
// (the union engine or main for results, the spectrum engine for spectra) calls SendFrame/SendResult. The
// station never reads from its client.
//
// Writes never block in the kernel: the socket's send buffer is the queue, so a client that keeps reading
// costs the writer nothing. Only when that buffer is full does SendFrame wait for room, and the send timeout
// is a budget for waiting while the client frees no room, not per partial write nor per frame: it is shared by
// consecutive frames and renewed only when the client reads (poll reports room, or a frame goes into the
// buffer without waiting). A client that goes away, or uses up the budget, is closed, so a client that stops
// reading delays the writer by at most the send timeout in total. The next client waiting in the listen queue
// is taken by a later SendFrame without ever blocking the writer. Frames written while no client is connected
// are dropped. Short writes are completed, so a client that keeps its connection always sees whole frames.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <netinet/in.h>

class TTcpSenderSrv {
public:
  // The writer is an engine thread, so a client that stops reading may delay the processing of samples by at
  // most this much, once, before it is dropped.
  static constexpr std::chrono::milliseconds kDefaultSendTimeout{500};

  // `send_timeout`: how long, in total, a client that does not read may keep the writer waiting before it is
  // dropped.
  explicit TTcpSenderSrv(std::chrono::milliseconds send_timeout = kDefaultSendTimeout);
  ~TTcpSenderSrv();
  TTcpSenderSrv(const TTcpSenderSrv &) = delete;
  TTcpSenderSrv &operator=(const TTcpSenderSrv &) = delete;

  int ListenSock = -1; // listening socket, -1 when none
  int ConnSock = -1;   // the one connected client, -1 when none

  // Creates, configures (SO_REUSEADDR, SO_REUSEPORT), binds to every local address on the low 16 bits of
  // `port` and listens (backlog 5). Progress and failure are printed on standard output. Also makes sure a
  // broken connection can never end the process through SIGPIPE.
  void InitAsServer(int port);

  // Blocks until a client connects (or the accept fails, or the stop descriptor becomes readable) and stores
  // its descriptor, or -1, in `conn`; the caller passes ConnSock. Prints "new tcp conn" or "server accept
  // failed..." (nothing when stopped).
  void AcceptNewConn(int &conn, sockaddr_in &addr);

  // Writes the whole of `data` to the client. Returns false when the frame was dropped: no client (after one
  // non-blocking look for a waiting one), the write failed, or it stayed blocked for the send timeout; in the
  // last two cases the connection is closed.
  bool SendFrame(const void *data, std::size_t len);

  // `fd` (not owned, -1 for none) becoming readable ends a wait for a client and a frame blocked by a full
  // client window at once. Set before the waits begin.
  void SetStopFd(int fd) { stop_fd_ = fd; }

  // For the operator's status line, from any thread: frames written whole so far, and whether a client is
  // connected now (relaxed counters: a snapshot, nothing is published through them).
  std::uint64_t FramesSent() const { return frames_sent_.load(std::memory_order_relaxed); }
  bool HasClient() const { return has_client_.load(std::memory_order_relaxed); }

  // Sends `text` in a result frame. Texts too long for the 16-bit length field are refused (false).
  bool SendResult(const std::string &text);

private:
  bool TryAcceptWaiting();
  void DropConnection();

  using Clock = std::chrono::steady_clock;

  std::chrono::milliseconds send_timeout_;
  // Writer thread only: time spent waiting for room since the client last freed some.
  Clock::duration waited_{};
  int stop_fd_ = -1;
  std::atomic<std::uint64_t> frames_sent_{0};
  std::atomic<bool> has_client_{false};
  std::string result_frame_; // reused by SendResult so the writer does not allocate per message
};
