#pragma once
// Sliding-window delay line: always holds the last N pushed values, oldest first, in one contiguous run,
// so a consumer can hand the whole window to an FFT or a dot product without reordering it.
// Pushing moves the window forward inside a larger block; the window is moved back to the block start
// only when it reaches the end, so a push is constant time on average and never allocates.
// Not thread-safe: each shifter belongs to the one thread that pushes into it.

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <vector>

namespace dsp {

template <typename T> class shifter {
public:
  shifter(std::size_t size, const T &value)
      : storage(size + std::max<std::size_t>(size, 100) + 1, value), length(size), first(storage.data()),
        lastFirst(storage.data() + storage.size() - size) {}

  shifter(const shifter &other) { *this = other; }
  shifter &operator=(const shifter &other) {
    if (this != &other) {
      storage = other.storage;
      length = other.length;
      first = storage.data() + (other.first - other.storage.data());
      lastFirst = storage.data() + storage.size() - length;
    }
    return *this;
  }
  shifter(shifter &&other) noexcept { *this = other; }
  shifter &operator=(shifter &&other) noexcept {
    *this = static_cast<const shifter &>(other);
    return *this;
  }
  ~shifter() = default;

  // Changes the window length; the newest values survive, right-aligned, the rest take `value`.
  void resize(std::size_t size, const T &value) {
    const std::size_t required = size + std::max<std::size_t>(size, 100) + 1;
    const std::size_t current = storage.size();
    std::size_t capacity = current;
    if (current < required) {
      capacity = required;
    } else if (size == length) {
      return;
    }
    if (size >= capacity) {
      throw std::invalid_argument("capacity must be greater than size");
    }
    std::vector<T> fresh(capacity, value);
    const std::size_t keep = std::min(length, size);
    std::copy(first + (length - keep), first + length, fresh.data() + (size - keep));
    storage.swap(fresh);
    length = size;
    first = storage.data();
    lastFirst = storage.data() + capacity - size;
  }

  void push(const T &x) {
    if (first != lastFirst) {
      first[length] = x;
      ++first;
    } else {
      T *start = storage.data();
      if (length > 0) {
        std::move(first + 1, first + length, start);
        start[length - 1] = x;
      }
      first = start;
    }
  }

  // The same as pushing x[0 .. n) one by one, copied in runs up to each move back to the block start.
  void push(const T *x, std::size_t n) {
    while (n > 0) {
      const auto room = static_cast<std::size_t>(lastFirst - first);
      if (room == 0) {
        push(*x);
        ++x;
        --n;
        continue;
      }
      const std::size_t take = std::min(n, room);
      std::copy(x, x + take, first + length);
      first += take;
      x += take;
      n -= take;
    }
  }

  const T *data() const { return first; }
  T *data() { return first; }
  std::size_t size() const { return length; }
  std::size_t capacity() const { return storage.size(); }
  const T &operator[](std::size_t i) const { return first[i]; }
  T &operator[](std::size_t i) { return first[i]; }

private:
  std::vector<T> storage;
  std::size_t length = 0;
  T *first = nullptr;
  T *lastFirst = nullptr;
};

} // namespace dsp
