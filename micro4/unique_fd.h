#pragma once
// Move-only owner of one POSIX file descriptor (sockets of the array client). Closes it on destruction.

#include <unistd.h>

#include <utility>

namespace micro4 {

class TUniqueFd {
public:
  TUniqueFd() = default;
  explicit TUniqueFd(int fd) : Fd_(fd) {}
  TUniqueFd(const TUniqueFd &) = delete;
  TUniqueFd &operator=(const TUniqueFd &) = delete;
  TUniqueFd(TUniqueFd &&other) noexcept : Fd_(std::exchange(other.Fd_, -1)) {}
  TUniqueFd &operator=(TUniqueFd &&other) noexcept {
    if (this != &other) {
      Reset(std::exchange(other.Fd_, -1));
    }
    return *this;
  }
  ~TUniqueFd() { Reset(); }

  int Get() const { return Fd_; }
  bool Valid() const { return Fd_ >= 0; }
  explicit operator bool() const { return Valid(); }

  // Closes the descriptor held so far (if any) and takes ownership of `fd`.
  void Reset(int fd = -1) {
    if (Fd_ >= 0) {
      ::close(Fd_);
    }
    Fd_ = fd;
  }

private:
  int Fd_ = -1;
};

} // namespace micro4
