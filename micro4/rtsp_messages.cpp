#include "micro4/rtsp_messages.h"

#include <sstream>

namespace micro4::details {

namespace {

// The array's wire format: spaces around ':' and '-' and "rtsp ://" are what its firmware accepts.
constexpr const char *kUserAgent = "User - Agent : Lavf60.20.100";
constexpr const char *kAuthorization = "Authorization : Basic QWNjdDpEZXZQd2Qx";

std::string RequestLine(const char *method, const std::string &address, int rtspPort, int channel) {
  return std::string(method) + " rtsp ://" + address + ":" + std::to_string(rtspPort) +
         "/channel=" + std::to_string(channel) + " RTSP/1.0\n";
}

} // namespace

std::vector<std::string> TRTSP_Messages::SplitStr(std::string text, char delimiter) {
  std::vector<std::string> pieces;
  std::istringstream stream(std::move(text));
  std::string piece;
  while (std::getline(stream, piece, delimiter)) {
    pieces.push_back(piece);
  }
  return pieces;
}

std::string TRTSP_Messages::GetSessionID(const char *reply, int length) {
  if (reply == nullptr || length <= 0) {
    return {};
  }
  const auto lines = SplitStr(std::string(reply, static_cast<std::size_t>(length)), '\n');
  if (lines.size() < 2) {
    return {};
  }
  const auto beforeParams = SplitStr(lines[lines.size() - 2], ';');
  if (beforeParams.empty()) {
    return {};
  }
  const auto words = SplitStr(beforeParams.front(), ' ');
  if (words.empty()) {
    return {};
  }
  return words.back();
}

std::vector<std::string> TRTSP_Messages::SetupRequests(const std::string &address, int rtspPort, int channel,
                                                       int clientPort) {
  const std::string ua = kUserAgent;
  const std::string auth = kAuthorization;
  std::vector<std::string> requests;
  requests.reserve(4);
  requests.push_back(RequestLine("OPTIONS", address, rtspPort, channel) + "CSeq: 1\n" + ua);
  requests.push_back(RequestLine("OPTIONS", address, rtspPort, channel) + "CSeq: 2\n" + ua + "\n" + auth);
  requests.push_back(RequestLine("DESCRIBE", address, rtspPort, channel) + "Accept: application / sdp\n" +
                     "CSeq : 3\n" + ua + "\n" + auth);
  requests.push_back(RequestLine("SETUP", address, rtspPort, channel) +
                     " Transport: RTP / AVP / UDP; unicast; client_port = " + std::to_string(clientPort) + " - " +
                     std::to_string(clientPort + 1) + "\n" + "CSeq: 4\n" + ua + "\n" + auth);
  return requests;
}

std::string TRTSP_Messages::PlayRequest(const std::string &address, int rtspPort, int channel,
                                        const std::string &sessionId) {
  return RequestLine("PLAY", address, rtspPort, channel) + "Range: npt = 0.000 -\n" + "CSeq : 5\n" + kUserAgent + "\n" +
         "Session : " + sessionId + "\n" + kAuthorization;
}

std::string TRTSP_Messages::TeardownRequest(const std::string &address, int rtspPort, int channel,
                                            const std::string &sessionId) {
  return RequestLine("TEARDOWN", address, rtspPort, channel) + "CSeq : 6\n" + kUserAgent + "\n" +
         "Session : " + sessionId + "\n" + kAuthorization;
}

} // namespace micro4::details
