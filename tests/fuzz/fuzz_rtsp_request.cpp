// The virtual array's RTSP request parser over a connection's byte stream: complete requests are cut off
// with FindRequestEnd as the server does, and what is left is parsed as one request of the station's dialect
// (the server takes a pause as its end). Each parsed request's Transport header goes through ParseTransport
// and its CSeq into a reply, as the server answers it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/array_sim/rtsp_text.h"

namespace {

void HandleOne(std::string_view text) {
  array_sim::TRtspRequest request;
  std::string error;
  if (!array_sim::ParseRtspRequest(text, request, error)) {
    if (error.empty()) {
      std::abort(); // a refusal always says why
    }
    return;
  }
  if (request.channel < 0 || request.channel > 4) {
    std::abort();
  }
  if (const std::string *transport = request.Header("transport"); transport != nullptr) {
    array_sim::TTransport t;
    std::string why;
    if (array_sim::ParseTransport(*transport, t, why) && (t.rtpPort < 1 || t.rtpPort > 65535)) {
      std::abort();
    }
  }
  (void)array_sim::BuildReply(200, "OK", request.cseq, {{"Session", "1;timeout=60"}}, request.body);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view buffer(reinterpret_cast<const char *>(data), size);
  while (!buffer.empty()) {
    const std::size_t end = array_sim::FindRequestEnd(buffer);
    if (end > buffer.size()) {
      std::abort(); // a request end beyond the buffered bytes
    }
    if (end == 0) {
      break;
    }
    HandleOne(buffer.substr(0, end));
    buffer.remove_prefix(end);
  }
  if (!buffer.empty()) {
    HandleOne(buffer);
  }
  return 0;
}
