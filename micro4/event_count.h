#pragma once
// A wake-up counter for threads that sleep until "something new" happened: the notifying side publishes its data
// first and then calls Notify(); a waiting thread calls Prepare() before it looks for work and, finding none,
// Wait(seen) with the value Prepare() gave, which returns at once if a Notify() came in between. Any number of
// notifiers and waiters; spurious returns from Wait are possible, so waiters always re-check their condition.
//
// Built on the Linux futex directly rather than std::atomic::wait, whose library version spins and yields the
// processor several times before it sleeps: at a thousand waits a second that costs more than the work woken
// for. Notify() makes a system call only when a thread is asleep.

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>

namespace micro4 {

class TEventCount {
public:
  // Acquire: whatever the notifier published before its Notify() is visible once the new count is seen.
  std::uint32_t Prepare() const { return Count_.load(std::memory_order_acquire); }

  // Sleeps while the count still equals `seen` (the kernel compares it atomically before sleeping).
  void Wait(std::uint32_t seen) const {
    // seq_cst on Waiters_ and Count_ (here and in Notify): either Notify sees this waiter, or the kernel's
    // compare sees the new count and does not sleep.
    Waiters_.fetch_add(1, std::memory_order_seq_cst);
    if (Count_.load(std::memory_order_seq_cst) == seen) {
      ::syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&Count_), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
    }
    Waiters_.fetch_sub(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire); // pairs with Notify's release, as Prepare() does
  }

  // As Wait, but gives up after `limit` (false when it did; true when woken or the count had moved).
  bool WaitFor(std::uint32_t seen, std::chrono::nanoseconds limit) const {
    Waiters_.fetch_add(1, std::memory_order_seq_cst);
    bool woken = true;
    if (Count_.load(std::memory_order_seq_cst) == seen) {
      const auto secs = std::chrono::duration_cast<std::chrono::seconds>(limit);
      const timespec relative{static_cast<time_t>(secs.count()), static_cast<long>((limit - secs).count())};
      woken = ::syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&Count_), FUTEX_WAIT_PRIVATE, seen, &relative,
                        nullptr, 0) == 0 ||
              errno != ETIMEDOUT;
    }
    Waiters_.fetch_sub(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    return woken;
  }

  // Release: publishes the caller's earlier writes to the thread that sees the new count.
  void Notify() {
    Count_.fetch_add(1, std::memory_order_seq_cst);
    if (Waiters_.load(std::memory_order_seq_cst) != 0) {
      ::syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&Count_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr,
                0);
    }
  }

private:
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                    std::atomic<std::uint32_t>::is_always_lock_free,
                "the futex word is the atomic's own storage");
  mutable std::atomic<std::uint32_t> Count_{0};
  mutable std::atomic<std::uint32_t> Waiters_{0}; // threads inside Wait()
};

} // namespace micro4
