#pragma once
// A loopback TCP port for a test to hand to a program it starts. Taken outside the kernel's ephemeral range
// (32768-60999 by default), from a block of 32 that depends on this process's id: a port picked from the
// ephemeral range and released can be handed by the kernel to the very next bind(0) of any process, and with
// tests running side by side that was another test's fake station, which the started program's client then
// reached instead. The port was free when tested; nothing listens on it afterwards.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace ormelin_test {

inline bool CanBindLoopback(int port, int &bound) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t len = sizeof a;
  const bool ok = ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0;
  ::close(fd);
  bound = ok ? ntohs(a.sin_port) : -1;
  return ok;
}

// -1 when even the kernel's choice fails.
inline int PickFreePort() {
  static int next = 0; // the tests that pick ports run on one thread
  const int base = 10000 + static_cast<int>(::getpid() % 700) * 32;
  int bound = -1;
  for (int tries = 0; tries < 32; ++tries) {
    if (CanBindLoopback(base + next++ % 32, bound)) {
      return bound;
    }
  }
  return CanBindLoopback(0, bound) ? bound : -1;
}

} // namespace ormelin_test
