#include "tools/array_sim/rtsp_text.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace array_sim {

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

std::string WithoutBlanks(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    if (c != ' ' && c != '\t' && c != '\r') {
      out.push_back(c);
    }
  }
  return out;
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool ParsePort(std::string_view s, int &port) {
  int v = 0;
  const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < 1 || v > 65535) {
    return false;
  }
  port = v;
  return true;
}

int ChannelOf(std::string_view url) {
  const auto at = url.rfind("channel=");
  if (at == std::string_view::npos) {
    return 0;
  }
  std::string_view rest = url.substr(at + 8);
  std::size_t digits = 0;
  while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits])) != 0) {
    ++digits;
  }
  // "channel=1", "channel=1/", "channel=1/trackID=0" are channel 1; "channel=12" or "channel=1x" are not.
  if (digits != 1 || (rest.size() > 1 && rest[1] != '/' && rest[1] != '?')) {
    return 0;
  }
  const int c = rest[0] - '0';
  return (c >= 1 && c <= 4) ? c : 0;
}

} // namespace

const std::string *TRtspRequest::Header(std::string_view name) const {
  for (const auto &[n, v] : headers) {
    if (n == name) {
      return &v;
    }
  }
  return nullptr;
}

std::size_t FindRequestEnd(std::string_view buffer) {
  std::size_t headEnd = std::string_view::npos;
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    if (buffer[i] != '\n') {
      continue;
    }
    // An empty line: LF LF or LF CR LF.
    if (i + 1 < buffer.size() && buffer[i + 1] == '\n') {
      headEnd = i + 2;
      break;
    }
    if (i + 2 < buffer.size() && buffer[i + 1] == '\r' && buffer[i + 2] == '\n') {
      headEnd = i + 3;
      break;
    }
  }
  if (headEnd == std::string_view::npos) {
    return 0;
  }
  // Skip empty lines before the request line (keep-alive CR LFs some clients send).
  if (Trim(buffer.substr(0, headEnd)).empty()) {
    return headEnd;
  }
  TRtspRequest head;
  std::string error;
  std::size_t bodyLength = 0;
  if (ParseRtspRequest(buffer.substr(0, headEnd), head, error)) {
    if (const std::string *cl = head.Header("content-length")) {
      std::size_t v = 0;
      const auto [p, ec] = std::from_chars(cl->data(), cl->data() + cl->size(), v);
      if (ec == std::errc() && p == cl->data() + cl->size()) {
        bodyLength = v;
      }
    }
  }
  if (buffer.size() - headEnd < bodyLength) {
    return 0;
  }
  return headEnd + bodyLength;
}

bool ParseRtspRequest(std::string_view text, TRtspRequest &out, std::string &error) {
  out = TRtspRequest{};
  // The body, if any, follows the first empty line.
  std::string_view head = text;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && i > 0) {
      const std::size_t next = (i + 1 < text.size() && text[i + 1] == '\r') ? i + 2 : i + 1;
      if (next < text.size() && text[next] == '\n' && !Trim(text.substr(0, i)).empty()) {
        head = text.substr(0, i + 1);
        out.body = std::string(text.substr(next + 1));
        break;
      }
    }
  }
  bool first = true;
  std::size_t pos = 0;
  while (pos < head.size()) {
    std::size_t eol = head.find('\n', pos);
    if (eol == std::string_view::npos) {
      eol = head.size();
    }
    const std::string_view raw = head.substr(pos, eol - pos);
    pos = eol + 1;
    const std::string_view line = Trim(raw);
    if (line.empty()) {
      continue;
    }
    if (first) {
      first = false;
      // METHOD URL VERSION, where the station's URL itself holds a space ("rtsp ://").
      const auto sp = line.find(' ');
      const auto lastSp = line.rfind(' ');
      if (sp == std::string_view::npos || lastSp == sp) {
        error = "malformed request line '" + std::string(line) + "'";
        return false;
      }
      out.method = std::string(line.substr(0, sp));
      out.version = std::string(line.substr(lastSp + 1));
      out.url = WithoutBlanks(line.substr(sp + 1, lastSp - sp - 1));
      out.channel = ChannelOf(out.url);
      continue;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue; // not a header: ignored, as RTSP servers do
    }
    std::string name = Lower(WithoutBlanks(line.substr(0, colon)));
    std::string value(Trim(line.substr(colon + 1)));
    if (name == "cseq" && out.cseq.empty()) {
      const std::string digits = WithoutBlanks(value);
      if (!digits.empty() && digits.size() <= 10 &&
          std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        out.cseq = digits;
      }
    }
    out.headers.emplace_back(std::move(name), std::move(value));
  }
  if (first) {
    error = "empty request";
    return false;
  }
  return true;
}

bool ParseTransport(std::string_view value, TTransport &out, std::string &error) {
  const std::string all = WithoutBlanks(value);
  std::string_view rest = all;
  error = "no transport offered";
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view alt = rest.substr(0, comma);
    rest = (comma == std::string_view::npos) ? std::string_view{} : rest.substr(comma + 1);
    bool rtpOverUdp = false;
    bool multicast = false;
    bool interleaved = false;
    TTransport t;
    bool havePort = false;
    std::size_t pos = 0;
    bool firstParam = true;
    while (pos <= alt.size()) {
      auto semi = alt.find(';', pos);
      if (semi == std::string_view::npos) {
        semi = alt.size();
      }
      const std::string lowered = Lower(std::string(alt.substr(pos, semi - pos)));
      pos = semi + 1;
      if (firstParam) {
        firstParam = false;
        rtpOverUdp = lowered == "rtp/avp" || lowered == "rtp/avp/udp";
        interleaved = lowered == "rtp/avp/tcp";
        continue;
      }
      if (lowered == "multicast") {
        multicast = true;
      } else if (lowered.rfind("interleaved", 0) == 0) {
        interleaved = true;
      } else if (lowered.rfind("client_port=", 0) == 0) {
        const std::string_view ports = std::string_view(lowered).substr(12);
        const auto dash = ports.find('-');
        havePort = ParsePort(ports.substr(0, dash), t.rtpPort);
        t.rtcpPort = t.rtpPort + 1;
        if (havePort && dash != std::string_view::npos) {
          havePort = ParsePort(ports.substr(dash + 1), t.rtcpPort);
        }
      }
    }
    if (interleaved) {
      error = "RTP over the RTSP connection is not offered; use RTP/AVP over UDP";
    } else if (!rtpOverUdp) {
      error = "only RTP/AVP over UDP is offered";
    } else if (multicast) {
      error = "only unicast is offered";
    } else if (!havePort) {
      error = "no usable client_port";
    } else {
      out = t;
      error.clear();
      return true;
    }
  }
  return false;
}

std::string BuildReply(int code, std::string_view reason, std::string_view cseq,
                       const std::vector<std::pair<std::string, std::string>> &headers, std::string_view body) {
  std::string r = "RTSP/1.0 " + std::to_string(code) + " " + std::string(reason) + "\r\n";
  if (!cseq.empty()) {
    r += "CSeq: " + std::string(cseq) + "\r\n";
  }
  if (!body.empty()) {
    r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  for (const auto &[name, value] : headers) {
    r.append(name).append(": ").append(value).append("\r\n");
  }
  r += "\r\n";
  r += body;
  return r;
}

std::string BuildSdp(int channel, int rateHz, std::string_view serverAddress, std::uint64_t sessionId) {
  const std::string addr(serverAddress);
  std::string s;
  s += "v=0\r\n";
  s += "o=- " + std::to_string(sessionId) + " 1 IN IP4 " + addr + "\r\n";
  s += "s=Ormelin virtual array channel " + std::to_string(channel) + "\r\n";
  s += "c=IN IP4 0.0.0.0\r\n";
  s += "t=0 0\r\n";
  s += "m=audio 0 RTP/AVP 96\r\n";
  s += "a=rtpmap:96 L16/" + std::to_string(rateHz) + "/1\r\n";
  s += "a=control:*\r\n";
  return s;
}

} // namespace array_sim
