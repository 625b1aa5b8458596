// The virtual array over loopback: a tiny RTSP client speaking the station's exact script (and ordinary RTSP)
// against the server and sender run in-process, receiving and checking the RTP datagrams.

#include "tools/array_sim/rtsp_server.h"
#include "tools/array_sim/streamer.h"
#include "tools/sim/scene.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

namespace {

using array_sim::TFd;
using namespace std::chrono_literals;

TDirDefParams Geometry() {
  TDirDefParams g;
  g.FSampling = 37500.0;
  g.VSound = 343.0;
  g.Mics = {{10.0, 0.0, 0.0}, {10.0, 0.0, 90.0}, {10.0, 120.0, 90.0}, {10.0, 240.0, 90.0}};
  return g;
}

sim::TSceneConfig NoiseScene() {
  sim::TSceneConfig cfg;
  cfg.source.kind = sim::ESourceKind::Noise;
  cfg.azimuthDeg = 40;
  cfg.snrDb = 20;
  cfg.seed = 11;
  return cfg;
}

// Scene, sender and RTSP server on 127.0.0.1 with a free port; stopped and joined on destruction.
class TSimUnderTest {
public:
  explicit TSimUnderTest(const array_sim::TRtpStreamer::TSettings &settings,
                         const sim::TSceneConfig &cfg = NoiseScene())
      : streamer_(sim::TScene(cfg, Geometry()), settings, sim::TWavWriter(), nullptr),
        server_(streamer_, nullptr, 37500, settings.seed) {
    std::string error;
    EXPECT_TRUE(streamer_.Open(error)) << error;
    EXPECT_TRUE(server_.Listen("127.0.0.1", 0, error)) << error;
    streamer_.Start();
    server_.Start();
  }
  ~TSimUnderTest() {
    server_.Stop();
    streamer_.Stop();
  }
  int Port() const { return server_.Port(); }

private:
  array_sim::TRtpStreamer streamer_;
  array_sim::TRtspServer server_;
};

class TUdpReceiver {
public:
  TUdpReceiver() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_.Get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd_.Get(), reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    const int big = 4 << 20;
    ::setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  }
  int Port() const { return port_; }
  // One datagram, or an empty vector after `wait`.
  std::vector<std::uint8_t> Receive(std::chrono::milliseconds wait) {
    pollfd p{fd_.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) {
      return {};
    }
    std::vector<std::uint8_t> buf(2000);
    const auto n = ::recv(fd_.Get(), buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
  }
  void Drain() {
    while (!Receive(0ms).empty()) {
    }
  }

private:
  TFd fd_;
  int port_ = 0;
};

struct TRtp {
  std::size_t length;
  int version, payloadType;
  std::uint16_t seq;
  std::uint32_t ts, ssrc;
  std::vector<std::int16_t> samples;
};

TRtp Decode(const std::vector<std::uint8_t> &d) {
  TRtp r{d.size(), 0, 0, 0, 0, 0, {}};
  if (d.size() < 12) {
    return r;
  }
  r.version = d[0] >> 6;
  r.payloadType = d[1] & 0x7F;
  r.seq = static_cast<std::uint16_t>(d[2] << 8 | d[3]);
  r.ts = static_cast<std::uint32_t>(d[4]) << 24 | static_cast<std::uint32_t>(d[5]) << 16 |
         static_cast<std::uint32_t>(d[6]) << 8 | d[7];
  r.ssrc = static_cast<std::uint32_t>(d[8]) << 24 | static_cast<std::uint32_t>(d[9]) << 16 |
           static_cast<std::uint32_t>(d[10]) << 8 | d[11];
  for (std::size_t i = 12; i + 1 < d.size(); i += 2) {
    r.samples.push_back(static_cast<std::int16_t>(d[i] << 8 | d[i + 1]));
  }
  return r;
}

class TRtspClient {
public:
  explicit TRtspClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd_.Get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  }
  // Sends one write and collects `replies` complete replies (head, empty line, Content-Length body).
  std::string Exchange(const std::string &request, int replies = 1) {
    EXPECT_EQ(::send(fd_.Get(), request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (CompleteReplies(got) < replies && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_.Get(), POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        char buf[4096];
        const auto n = ::recv(fd_.Get(), buf, sizeof buf, 0);
        if (n <= 0) {
          break;
        }
        got.append(buf, static_cast<std::size_t>(n));
      }
    }
    return got;
  }
  void Close() { fd_.Reset(); }

private:
  static int CompleteReplies(const std::string &s) {
    int count = 0;
    std::size_t pos = 0;
    while (true) {
      const auto end = s.find("\r\n\r\n", pos);
      if (end == std::string::npos) {
        return count;
      }
      std::size_t body = 0;
      const auto cl = s.find("Content-Length: ", pos);
      if (cl != std::string::npos && cl < end) {
        body = std::stoul(s.substr(cl + 16));
      }
      if (s.size() < end + 4 + body) {
        return count;
      }
      ++count;
      pos = end + 4 + body;
    }
  }
  TFd fd_;
};

// The station's five requests, byte for byte (line feeds only, no final line feed).
const std::string kUa = "User - Agent : Lavf60.20.100";
const std::string kAuth = "Authorization : Basic QWNjdDpEZXZQd2Qx";
std::string Line(const std::string &method, int c) {
  return method + " rtsp ://127.0.0.1:554/channel=" + std::to_string(c) + " RTSP/1.0\n";
}
std::vector<std::string> StationRequests(int c, int port) {
  return {Line("OPTIONS", c) + "CSeq: 1\n" + kUa, Line("OPTIONS", c) + "CSeq: 2\n" + kUa + "\n" + kAuth,
          Line("DESCRIBE", c) + "Accept: application / sdp\n" + "CSeq : 3\n" + kUa + "\n" + kAuth,
          Line("SETUP", c) + " Transport: RTP / AVP / UDP; unicast; client_port = " + std::to_string(port) + " - " +
              std::to_string(port + 1) + "\n" + "CSeq: 4\n" + kUa + "\n" + kAuth};
}
std::string StationPlay(int c, const std::string &session) {
  return Line("PLAY", c) + "Range: npt = 0.000 -\n" + "CSeq : 5\n" + kUa + "\n" + "Session : " + session + "\n" + kAuth;
}
// The station's reading of a SETUP reply: second-to-last line-feed piece, before ';', last word.
std::string StationSessionId(const std::string &reply) {
  std::vector<std::string> pieces;
  std::istringstream in(reply);
  for (std::string p; std::getline(in, p, '\n');) {
    pieces.push_back(p);
  }
  if (pieces.size() < 2) {
    return {};
  }
  std::string part = pieces[pieces.size() - 2];
  part = part.substr(0, part.find(';'));
  return part.substr(part.rfind(' ') + 1);
}

// Runs the station's script for channel c; returns false on any reply that is not 200 with the right CSeq.
bool StationSetup(TRtspClient &client, int c, int udpPort) {
  const auto requests = StationRequests(c, udpPort);
  std::string reply;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    reply = client.Exchange(requests[i]);
    if (reply.rfind("RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(i + 1) + "\r\n", 0) != 0) {
      ADD_FAILURE() << "request " << i + 1 << " of channel " << c << " got: " << reply;
      return false;
    }
  }
  const std::string play = client.Exchange(StationPlay(c, StationSessionId(reply)));
  EXPECT_EQ(play.rfind("RTSP/1.0 200 OK\r\nCSeq: 5\r\n", 0), 0U) << play;
  return play.rfind("RTSP/1.0 200 OK", 0) == 0;
}

std::vector<TRtp> Collect(TUdpReceiver &rx, std::size_t count, std::chrono::milliseconds within) {
  std::vector<TRtp> out;
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (out.size() < count && std::chrono::steady_clock::now() < deadline) {
    auto d = rx.Receive(50ms);
    if (!d.empty()) {
      out.push_back(Decode(d));
    }
  }
  return out;
}

array_sim::TRtpStreamer::TSettings Paced(double speed = 1.0) {
  array_sim::TRtpStreamer::TSettings s;
  s.speed = speed;
  s.seed = 11;
  return s;
}

} // namespace

TEST(TArraySim, StationScriptOnFourChannelsGivesAlignedRtpOfTheScene) {
  TSimUnderTest sim(Paced());
  std::map<int, std::unique_ptr<TUdpReceiver>> rx;
  std::vector<std::unique_ptr<TRtspClient>> clients;
  for (int c = 1; c <= 4; ++c) { // in the station's order, one connection per channel
    rx[c] = std::make_unique<TUdpReceiver>();
    clients.push_back(std::make_unique<TRtspClient>(sim.Port()));
    ASSERT_TRUE(StationSetup(*clients.back(), c, rx[c]->Port()));
  }
  // Channel 4 played last, so its first timestamp is one all four carry.
  std::map<int, std::vector<TRtp>> got;
  got[4] = Collect(*rx[4], 30, 3s);
  ASSERT_EQ(got[4].size(), 30U);
  const std::uint32_t common = got[4].front().ts;
  std::set<std::uint32_t> ssrcs;
  for (int c = 1; c <= 4; ++c) {
    while (c != 4 && (got[c].empty() || got[c].back().ts != common + 29 * 400)) {
      auto more = Collect(*rx[c], 1, 2s);
      ASSERT_EQ(more.size(), 1U) << "channel " << c << " stopped before timestamp " << common + 29 * 400;
      got[c].push_back(more.front());
    }
    for (std::size_t i = 0; i < got[c].size(); ++i) {
      const TRtp &p = got[c][i];
      EXPECT_EQ(p.length, 812U);
      EXPECT_EQ(p.version, 2);
      EXPECT_EQ(p.payloadType, 96);
      EXPECT_EQ(p.ssrc, got[c][0].ssrc);
      if (i > 0) {
        EXPECT_EQ(static_cast<std::uint16_t>(p.seq - got[c][i - 1].seq), 1) << "channel " << c;
        EXPECT_EQ(p.ts - got[c][i - 1].ts, 400U) << "channel " << c;
      }
    }
    ssrcs.insert(got[c][0].ssrc);
  }
  EXPECT_EQ(ssrcs.size(), 4U);
  // The datagrams of one timestamp carry the same 400-sample span: each payload is the scene's reader channel
  // of that block (array channel c is reader channel c mod 4).
  ASSERT_EQ(common % 400, 0U);
  sim::TScene reference(NoiseScene(), Geometry());
  std::array<std::vector<double>, 4> block;
  for (std::uint32_t b = 0; b <= common / 400; ++b) {
    reference.Render(400, block);
  }
  for (int c = 1; c <= 4; ++c) {
    const auto it = std::find_if(got[c].begin(), got[c].end(), [&](const TRtp &p) { return p.ts == common; });
    ASSERT_NE(it, got[c].end()) << "channel " << c << " has no datagram for timestamp " << common;
    for (std::size_t i = 0; i < 400; ++i) {
      ASSERT_EQ(it->samples[i], sim::ToInt16(block[static_cast<std::size_t>(c % 4)][i])) << "channel " << c;
    }
  }
}

TEST(TArraySim, OrdinaryRtspClientDescribesSetsUpPlaysAndTearsDown) {
  TSimUnderTest sim(Paced());
  TUdpReceiver rx;
  TRtspClient client(sim.Port());
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(sim.Port()) + "/channel=3";
  // Two pipelined requests in one write get two replies, in order.
  const std::string both = client.Exchange("OPTIONS " + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\nDESCRIBE " + url +
                                               " RTSP/1.0\r\nCSeq: 2\r\nAccept: application/sdp\r\n\r\n",
                                           2);
  EXPECT_EQ(both.rfind("RTSP/1.0 200 OK\r\nCSeq: 1\r\nPublic: ", 0), 0U) << both;
  const auto second = both.find("RTSP/1.0 200 OK\r\nCSeq: 2\r\n");
  ASSERT_NE(second, std::string::npos) << both;
  const std::string describe = both.substr(second);
  EXPECT_NE(describe.find("Content-Type: application/sdp\r\n"), std::string::npos);
  EXPECT_NE(describe.find("m=audio 0 RTP/AVP 96\r\n"), std::string::npos);
  EXPECT_NE(describe.find("a=rtpmap:96 L16/37500/1\r\n"), std::string::npos);
  const std::string p = std::to_string(rx.Port());
  const std::string setup = client.Exchange("SETUP " + url +
                                            "/ RTSP/1.0\r\nCSeq: 3\r\nTransport: RTP/AVP;unicast;"
                                            "client_port=" +
                                            p + "-" + std::to_string(rx.Port() + 1) + "\r\n\r\n");
  EXPECT_EQ(setup.rfind("RTSP/1.0 200 OK\r\nCSeq: 3\r\n", 0), 0U) << setup;
  EXPECT_NE(setup.find("client_port=" + p + "-"), std::string::npos);
  const std::string id = StationSessionId(setup);
  ASSERT_EQ(id.size(), 16U) << setup;
  EXPECT_NE(setup.find("\r\nSession: " + id + ";timeout=60\r\n\r\n"), std::string::npos);
  const std::string play =
      client.Exchange("PLAY " + url + "/ RTSP/1.0\r\nCSeq: 4\r\nSession: " + id + "\r\nRange: npt=0.000-\r\n\r\n");
  ASSERT_EQ(play.rfind("RTSP/1.0 200 OK\r\nCSeq: 4\r\n", 0), 0U) << play;
  const auto first = Collect(rx, 5, 2s);
  ASSERT_EQ(first.size(), 5U);
  // RTP-Info announces exactly the first datagram.
  EXPECT_NE(play.find(";seq=" + std::to_string(first[0].seq) + ";rtptime=" + std::to_string(first[0].ts)),
            std::string::npos)
      << play;
  const std::string teardown =
      client.Exchange("TEARDOWN " + url + "/ RTSP/1.0\r\nCSeq: 5\r\nSession: " + id + "\r\n\r\n");
  EXPECT_EQ(teardown.rfind("RTSP/1.0 200 OK\r\nCSeq: 5\r\n", 0), 0U);
  std::this_thread::sleep_for(100ms);
  rx.Drain();
  EXPECT_TRUE(rx.Receive(300ms).empty()) << "datagrams after TEARDOWN";
}

TEST(TArraySim, AnswersBadRequestsWithStatusAndKeepsTheConnection) {
  TSimUnderTest sim(Paced());
  TRtspClient client(sim.Port());
  const auto status = [&](const std::string &request) {
    const std::string r = client.Exchange(request);
    return r.substr(0, r.find("\r\n"));
  };
  const std::string url = "rtsp://127.0.0.1/channel=1";
  EXPECT_EQ(status("DESCRIBE rtsp://127.0.0.1/channel=9 RTSP/1.0\r\nCSeq: 1\r\n\r\n"), "RTSP/1.0 404 Not Found");
  EXPECT_EQ(status("SETUP " + url + " RTSP/1.0\r\nCSeq: 2\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n"),
            "RTSP/1.0 461 Unsupported Transport");
  EXPECT_EQ(status("PLAY " + url + " RTSP/1.0\r\nCSeq: 3\r\nSession: 0000000000000BAD\r\n\r\n"),
            "RTSP/1.0 454 Session Not Found");
  EXPECT_EQ(status("OPTIONS " + url + " RTSP/1.0\r\nUser-Agent: x\r\n\r\n"), "RTSP/1.0 400 Bad Request");
  EXPECT_EQ(status("RECORD " + url + " RTSP/1.0\r\nCSeq: 5\r\n\r\n"), "RTSP/1.0 501 Not Implemented");
  EXPECT_EQ(status("OPTIONS " + url + " RTSP/2.0\r\nCSeq: 6\r\n\r\n"), "RTSP/1.0 505 RTSP Version Not Supported");
  EXPECT_EQ(status("OPTIONS " + url + " RTSP/1.0\r\nCSeq: 7\r\n\r\n"), "RTSP/1.0 200 OK");
}

TEST(TArraySim, DisconnectedClientIsDroppedAndTheNextOneIsServed) {
  TSimUnderTest sim(Paced());
  TUdpReceiver rx;
  std::uint32_t lastTs = 0;
  {
    TRtspClient first(sim.Port());
    ASSERT_TRUE(StationSetup(first, 1, rx.Port()));
    const auto got = Collect(rx, 5, 2s);
    ASSERT_EQ(got.size(), 5U);
    first.Close(); // the station died
    std::this_thread::sleep_for(100ms);
    rx.Drain();
    EXPECT_TRUE(rx.Receive(300ms).empty()) << "still sending to a client that is gone";
    lastTs = got.back().ts;
  }
  TRtspClient second(sim.Port()); // the station restarted
  ASSERT_TRUE(StationSetup(second, 1, rx.Port()));
  const auto got = Collect(rx, 5, 2s);
  ASSERT_EQ(got.size(), 5U);
  EXPECT_GT(got.front().ts, lastTs); // the scene clock ran on
}

TEST(TArraySim, FaultsLoseDuplicateReorderAndTruncateDatagrams) {
  auto settings = Paced(8.0);
  settings.faults.loss = 0.1;
  settings.faults.dup = 0.1;
  settings.faults.reorder = 0.1;
  settings.faults.truncate = 0.1;
  TSimUnderTest sim(settings);
  TUdpReceiver rx;
  TRtspClient client(sim.Port());
  ASSERT_TRUE(StationSetup(client, 2, rx.Port()));
  const auto got = Collect(rx, 400, 5s);
  ASSERT_EQ(got.size(), 400U);
  int shortOnes = 0;
  int duplicates = 0;
  int late = 0;
  std::set<std::uint16_t> seen;
  std::uint16_t newest = got.front().seq;
  const TRtp *anchor = nullptr;
  for (const TRtp &p : got) {
    if (p.length != 812) {
      EXPECT_LT(p.length, 812U);
      ++shortOnes;
      continue;
    }
    if (anchor == nullptr) {
      anchor = &p;
    }
    // However a datagram travels, its sequence number and timestamp stay tied to its block.
    EXPECT_EQ(p.ts - anchor->ts, 400U * static_cast<std::uint16_t>(p.seq - anchor->seq));
    duplicates += seen.count(p.seq) > 0 ? 1 : 0;
    seen.insert(p.seq);
    if (static_cast<std::int16_t>(p.seq - newest) < 0) {
      ++late;
    } else {
      newest = p.seq;
    }
  }
  const int span = static_cast<std::uint16_t>(newest - got.front().seq) + 1;
  const int missing = span - static_cast<int>(seen.size());
  EXPECT_GT(shortOnes, 10);
  EXPECT_GT(duplicates, 10);
  EXPECT_GT(late, 10);
  EXPECT_GT(missing, 10); // lost ones, and the truncated ones whose header may be cut
}

TEST(TArraySim, StalledChannelGoesQuietThenResumes) {
  auto settings = Paced(4.0);
  settings.faults.stalls.push_back({1, 0.4, 0.2});
  TSimUnderTest sim(settings);
  TUdpReceiver rx;
  TRtspClient client(sim.Port());
  ASSERT_TRUE(StationSetup(client, 1, rx.Port()));
  const auto got = Collect(rx, 60, 5s);
  ASSERT_EQ(got.size(), 60U);
  int gaps = 0;
  for (std::size_t i = 1; i < got.size(); ++i) {
    const std::uint32_t step = (got[i].ts - got[i - 1].ts) / 400;
    if (step != 1) {
      ++gaps;
      EXPECT_NEAR(step, 0.4 * 93.75 + 1, 1.0); // 0.4 s of blocks withheld
      EXPECT_NEAR(i, 0.2 * 93.75, 1.0);        // 0.2 s after the first datagram
    }
  }
  EXPECT_EQ(gaps, 1);
}

// The capture check that a person does with tshark, scripted: skipped where tshark is missing or may not capture.
TEST(TArraySim, TsharkDissectsTheStreamAsRtp) {
  if (std::system("command -v tshark > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "tshark is not installed";
  }
  TSimUnderTest sim(Paced());
  TUdpReceiver rx;
  const std::string file =
      (std::filesystem::temp_directory_path() / ("ormelin_sim_capture_" + std::to_string(::getpid()) + ".pcapng"))
          .string();
  const std::string port = std::to_string(rx.Port());
  FILE *capture =
      ::popen(("tshark -i lo -f 'udp dst port " + port + "' -c 100 -a duration:10 -w " + file + " 2>&1").c_str(), "r");
  ASSERT_NE(capture, nullptr);
  bool capturing = false;
  char line[512];
  while (!capturing && std::fgets(line, sizeof line, capture) != nullptr) {
    capturing = std::string(line).find("Capturing on") != std::string::npos;
  }
  if (!capturing) {
    ::pclose(capture);
    GTEST_SKIP() << "tshark cannot capture on lo here";
  }
  std::this_thread::sleep_for(200ms);
  TRtspClient client(sim.Port());
  ASSERT_TRUE(StationSetup(client, 1, rx.Port()));
  std::thread drain([&rx] { Collect(rx, 100, 4s); }); // a listener, as the station would be
  while (std::fgets(line, sizeof line, capture) != nullptr) {
  }
  ::pclose(capture);
  drain.join();
  FILE *dissect = ::popen(("tshark -r " + file + " -d udp.port==" + port +
                           ",rtp -T fields -e rtp.version -e rtp.p_type -e rtp.seq -e rtp.timestamp -e udp.length "
                           "2>/dev/null")
                              .c_str(),
                          "r");
  ASSERT_NE(dissect, nullptr);
  std::vector<std::array<long, 5>> rows;
  while (std::fgets(line, sizeof line, dissect) != nullptr) {
    std::array<long, 5> r{};
    if (std::sscanf(line, "%ld %ld %ld %ld %ld", &r[0], &r[1], &r[2], &r[3], &r[4]) == 5) {
      rows.push_back(r);
    }
  }
  ::pclose(dissect);
  std::filesystem::remove(file);
  ASSERT_EQ(rows.size(), 100U);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], 2);
    EXPECT_EQ(rows[i][1], 96);
    EXPECT_EQ(rows[i][4], 8 + 812); // UDP length: header and the 812-byte datagram
    if (i > 0) {
      EXPECT_EQ((rows[i][2] - rows[i - 1][2] + 65536) % 65536, 1);
      EXPECT_EQ(rows[i][3] - rows[i - 1][3], 400);
    }
  }
}
