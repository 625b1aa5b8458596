#include "tools/array_sim/net.h"

#include <arpa/inet.h>

namespace array_sim {

std::string FormatAddress(const sockaddr_in &addr) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool MakeAddress(const std::string &dottedIpv4, int port, sockaddr_in &out) {
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = htons(static_cast<std::uint16_t>(port));
  return inet_pton(AF_INET, dottedIpv4.c_str(), &out.sin_addr) == 1;
}

void TEventLog::Print(const std::string &text) const {
  if (out_ == nullptr) {
    return;
  }
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::fprintf(out_, "[%9.3f] %s\n", t, text.c_str());
}

} // namespace array_sim
