#pragma once
// RTSP texts of the virtual array: parsing of requests and building of replies and the session description.
// Accepts both the station's own dialect (line feeds only, "rtsp ://", "User - Agent :", "CSeq : 3", spaces
// around '=' and '-' in the Transport line, no empty line at the end) and ordinary RTSP/1.0 with CR LF line
// ends and an empty line after the headers. Pure functions; used by the RTSP server thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace array_sim {

struct TRtspRequest {
  std::string method;  // as sent, e.g. "SETUP"
  std::string url;     // spaces removed ("rtsp ://1.2.3.4:554/channel=1" -> "rtsp://1.2.3.4:554/channel=1")
  std::string version; // "RTSP/1.0"
  int channel = 0;     // N of "channel=N" in the URL when N is 1..4, else 0
  std::string cseq;    // digits of the CSeq header; empty when absent or not a number
  // Header names are lower-cased with every space and tab removed ("User - Agent " -> "user-agent"); values are
  // trimmed. Lines are never folded: the station starts its Transport line with a space.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // Value of the first header with this (normalised) name, or nullptr.
  const std::string *Header(std::string_view name) const;
};

// Length of the first complete request in `buffer` when it ends with an empty line (plus the body its
// Content-Length announces); 0 when no such end is there yet. Requests of the station's dialect have no
// end marker: the server takes a pause in the stream as their end.
std::size_t FindRequestEnd(std::string_view buffer);

// Parses one request. False with a one-line reason when there is no request line.
bool ParseRtspRequest(std::string_view text, TRtspRequest &out, std::string &error);

struct TTransport {
  int rtpPort = 0;  // client's RTP port
  int rtcpPort = 0; // client's RTCP port (announced; the virtual array sends no RTCP)
};

// Picks the first acceptable alternative of a Transport header: RTP/AVP or RTP/AVP/UDP, unicast, with a
// client_port of 1..65535 ("client_port=5000-5001", "client_port = 33712 - 33713" or a single port).
// False with a reason for TCP interleaving, multicast or a missing port.
bool ParseTransport(std::string_view value, TTransport &out, std::string &error);

// "RTSP/1.0 CODE REASON", "CSeq: N" (when known), the headers in the given order, Content-Length when there
// is a body, the empty line and the body; CR LF line ends. Callers put "Session" last where the station reads
// it from the second-to-last line.
std::string BuildReply(int code, std::string_view reason, std::string_view cseq,
                       const std::vector<std::pair<std::string, std::string>> &headers, std::string_view body = {});

// Session description of one channel: 16-bit linear audio, one channel, at rateHz, payload type 96.
std::string BuildSdp(int channel, int rateHz, std::string_view serverAddress, std::uint64_t sessionId);

} // namespace array_sim
