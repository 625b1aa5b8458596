#include "app/stop_signal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <stdexcept>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Shared with the signal handler, so lock-free atomics of plain values only.
std::atomic<int> g_event_fd{-1};
std::atomic<int> g_signals{0};
std::atomic<bool> g_requested{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

void WakeAll() {
  const std::uint64_t one = 1;
  const int fd = g_event_fd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    // write(2) is async-signal-safe; a full counter would only mean the waiters are already woken.
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
  }
}

extern "C" void OnStopSignal(int sig) {
  if (g_signals.fetch_add(1, std::memory_order_relaxed) >= 1) {
    ::_exit(128 + sig); // the second signal: the operator does not want to wait for the clean stop
  }
  const int saved = errno;
  g_requested.store(true, std::memory_order_release);
  WakeAll();
  errno = saved;
}

bool PollFor(int fd, int timeout_ms) {
  pollfd pfd{fd, POLLIN, 0};
  for (;;) {
    const int ready = ::poll(&pfd, 1, timeout_ms);
    if (ready >= 0 || errno != EINTR) {
      return ready > 0;
    }
    if (g_requested.load(std::memory_order_acquire)) {
      return true;
    }
  }
}

} // namespace

TStopSignal::TStopSignal() {
  // Semaphore-free eventfd left readable once written: every poller sees the request, none consumes it.
  Fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (Fd_ < 0) {
    throw std::runtime_error("cannot create the stop event");
  }
  int none = -1;
  if (!g_event_fd.compare_exchange_strong(none, Fd_)) {
    ::close(Fd_);
    throw std::runtime_error("a second stop signal handler");
  }
  g_signals.store(0, std::memory_order_relaxed);
  g_requested.store(false, std::memory_order_relaxed);
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
}

TStopSignal::~TStopSignal() {
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
  g_event_fd.store(-1, std::memory_order_relaxed);
  ::close(Fd_);
}

bool TStopSignal::Requested() const { return g_requested.load(std::memory_order_acquire); }

void TStopSignal::Raise() {
  g_requested.store(true, std::memory_order_release);
  WakeAll();
}

bool TStopSignal::WaitFor(std::chrono::milliseconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (Requested()) {
      return true;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    PollFor(Fd_, static_cast<int>(left.count()));
  }
}

void TStopSignal::Wait() const {
  while (!Requested()) {
    PollFor(Fd_, -1);
  }
}
