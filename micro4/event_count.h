#pragma once
// A wake-up counter for threads that sleep until "something new" happened: the notifying side publishes its data
// first and then calls Notify(); a waiting thread calls Prepare() before it looks for work and, finding none,
// Wait(seen) with the value Prepare() gave, which returns at once if a Notify() came in between. Any number of
// notifiers and waiters; spurious returns from Wait are possible, so waiters always re-check their condition.

#include <atomic>
#include <cstdint>

namespace micro4 {

class TEventCount {
public:
  // Acquire: whatever the notifier published before its Notify() is visible once the new count is seen.
  std::uint32_t Prepare() const { return Count_.load(std::memory_order_acquire); }
  // Sleeps (futex, no polling) while the count still equals `seen`.
  void Wait(std::uint32_t seen) const { Count_.wait(seen, std::memory_order_acquire); }
  // Release: publishes the caller's earlier writes to the thread that sees the new count.
  void Notify() {
    Count_.fetch_add(1, std::memory_order_release);
    Count_.notify_all();
  }

private:
  std::atomic<std::uint32_t> Count_{0};
};

} // namespace micro4
