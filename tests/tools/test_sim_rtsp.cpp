// RTSP texts, RTP header layout and the command line of the virtual array (no sockets).

#include "tools/array_sim/options.h"
#include "tools/array_sim/rtp_packet.h"
#include "tools/array_sim/rtsp_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

const std::string kUa = "User - Agent : Lavf60.20.100";
const std::string kAuth = "Authorization : Basic QWNjdDpEZXZQd2Qx";

std::string StationLine(const std::string &method, int channel) {
  return method + " rtsp ://192.168.1.100:554/channel=" + std::to_string(channel) + " RTSP/1.0\n";
}

// The station's own way of finding the session identifier in a SETUP reply: line-feed pieces (no empty last
// piece), the second-to-last one, its part before ';', its last space-separated word.
std::string StationSessionId(const std::string &reply) {
  std::vector<std::string> lines;
  std::istringstream in(reply);
  for (std::string piece; std::getline(in, piece, '\n');) {
    lines.push_back(piece);
  }
  std::string part = lines.at(lines.size() - 2);
  part = part.substr(0, part.find(';'));
  return part.substr(part.rfind(' ') + 1);
}

} // namespace

TEST(ParseRtspRequest, ReadsEachOfTheStationsRequests) {
  array_sim::TRtspRequest r;
  std::string error;
  ASSERT_TRUE(array_sim::ParseRtspRequest(StationLine("OPTIONS", 2) + "CSeq: 1\n" + kUa, r, error)) << error;
  EXPECT_EQ(r.method, "OPTIONS");
  EXPECT_EQ(r.url, "rtsp://192.168.1.100:554/channel=2");
  EXPECT_EQ(r.version, "RTSP/1.0");
  EXPECT_EQ(r.channel, 2);
  EXPECT_EQ(r.cseq, "1");
  ASSERT_NE(r.Header("user-agent"), nullptr);
  EXPECT_EQ(*r.Header("user-agent"), "Lavf60.20.100");

  ASSERT_TRUE(array_sim::ParseRtspRequest(
      StationLine("DESCRIBE", 3) + "Accept: application / sdp\n" + "CSeq : 3\n" + kUa + "\n" + kAuth, r, error));
  EXPECT_EQ(r.method, "DESCRIBE");
  EXPECT_EQ(r.cseq, "3");
  EXPECT_EQ(r.channel, 3);
  ASSERT_NE(r.Header("authorization"), nullptr);

  // The Transport line starts with a space: it is a header of its own, not a continuation of the request line.
  ASSERT_TRUE(array_sim::ParseRtspRequest(StationLine("SETUP", 1) +
                                              " Transport: RTP / AVP / UDP; unicast; client_port = 33712 - 33713\n" +
                                              "CSeq: 4\n" + kUa + "\n" + kAuth,
                                          r, error));
  EXPECT_EQ(r.url, "rtsp://192.168.1.100:554/channel=1");
  ASSERT_NE(r.Header("transport"), nullptr);
  array_sim::TTransport t;
  ASSERT_TRUE(array_sim::ParseTransport(*r.Header("transport"), t, error)) << error;
  EXPECT_EQ(t.rtpPort, 33712);
  EXPECT_EQ(t.rtcpPort, 33713);

  ASSERT_TRUE(array_sim::ParseRtspRequest(StationLine("PLAY", 4) + "Range: npt = 0.000 -\n" + "CSeq : 5\n" + kUa +
                                              "\n" + "Session : 0123ABCD\n" + kAuth,
                                          r, error));
  EXPECT_EQ(r.cseq, "5");
  EXPECT_EQ(r.channel, 4);
  ASSERT_NE(r.Header("session"), nullptr);
  EXPECT_EQ(*r.Header("session"), "0123ABCD");
}

TEST(ParseRtspRequest, ReadsOrdinaryCrlfRequestsAndRejectsGarbage) {
  array_sim::TRtspRequest r;
  std::string error;
  ASSERT_TRUE(array_sim::ParseRtspRequest("SET_PARAMETER rtsp://h:8554/channel=1/trackID=0 RTSP/1.0\r\nCSeq: 12\r\n"
                                          "Content-Type: text/parameters\r\nContent-Length: 9\r\n\r\nvolume: 1",
                                          r, error));
  EXPECT_EQ(r.channel, 1);
  EXPECT_EQ(r.cseq, "12");
  EXPECT_EQ(r.body, "volume: 1");
  for (const char *url : {"rtsp://h/channel=5", "rtsp://h/channel=12", "rtsp://h/channel=", "rtsp://h/stream"}) {
    ASSERT_TRUE(array_sim::ParseRtspRequest(std::string("DESCRIBE ") + url + " RTSP/1.0\r\nCSeq: 1\r\n\r\n", r, error));
    EXPECT_EQ(r.channel, 0) << url;
  }
  ASSERT_TRUE(array_sim::ParseRtspRequest("OPTIONS * RTSP/1.0\r\nCSeq: x1\r\n\r\n", r, error));
  EXPECT_TRUE(r.cseq.empty()); // not a number: the server answers 400
  EXPECT_FALSE(array_sim::ParseRtspRequest("\r\n\r\n", r, error));
  EXPECT_FALSE(array_sim::ParseRtspRequest("HELLO\r\n\r\n", r, error));
}

TEST(FindRequestEnd, SplitsOnEmptyLineAndBody) {
  EXPECT_EQ(array_sim::FindRequestEnd(StationLine("OPTIONS", 1) + "CSeq: 1\n" + kUa), 0U); // the station's: no end
  const std::string a = "OPTIONS rtsp://h/channel=1 RTSP/1.0\r\nCSeq: 1\r\n\r\n";
  const std::string b = "SETUP rtsp://h/channel=1 RTSP/1.0\r\nCSeq: 2\r\n\r\n";
  EXPECT_EQ(array_sim::FindRequestEnd(a + b), a.size()); // pipelined: one at a time
  const std::string lfOnly = "OPTIONS * RTSP/1.0\nCSeq: 1\n\n";
  EXPECT_EQ(array_sim::FindRequestEnd(lfOnly + "GET"), lfOnly.size());
  const std::string withBody = "SET_PARAMETER rtsp://h/channel=1 RTSP/1.0\r\nCSeq: 3\r\nContent-Length: 5\r\n\r\n";
  EXPECT_EQ(array_sim::FindRequestEnd(withBody + "ab"), 0U); // body not complete yet
  EXPECT_EQ(array_sim::FindRequestEnd(withBody + "abcdeXYZ"), withBody.size() + 5);
}

TEST(ParseTransport, AcceptsUdpUnicastInAnySpacingAndRefusesTheRest) {
  array_sim::TTransport t;
  std::string error;
  ASSERT_TRUE(array_sim::ParseTransport("RTP/AVP;unicast;client_port=5000-5001", t, error));
  EXPECT_EQ(t.rtpPort, 5000);
  ASSERT_TRUE(array_sim::ParseTransport("RTP/AVP/UDP;unicast;client_port=7000", t, error));
  EXPECT_EQ(t.rtcpPort, 7001);
  ASSERT_TRUE(array_sim::ParseTransport("RTP/AVP/TCP;unicast;interleaved=0-1, RTP/AVP;unicast;client_port=6000-6001", t,
                                        error));
  EXPECT_EQ(t.rtpPort, 6000); // the first acceptable alternative
  for (const char *bad :
       {"RTP/AVP/TCP;unicast;interleaved=0-1", "RTP/AVP;multicast;client_port=5000-5001", "RTP/AVP;unicast",
        "RTP/AVP;unicast;client_port=70000-70001", "RAW/RAW/UDP;client_port=9", ""}) {
    EXPECT_FALSE(array_sim::ParseTransport(bad, t, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(BuildReply, SetupReplyEndsWithSessionLineTheStationCanRead) {
  const std::string reply = array_sim::BuildReply(
      200, "OK", "4", {{"Transport", "RTP/AVP;unicast;client_port=33712-33713"}, {"Session", "ABC123;timeout=60"}});
  EXPECT_EQ(reply.rfind("RTSP/1.0 200 OK\r\nCSeq: 4\r\n", 0), 0U);
  const std::string tail = "\r\nSession: ABC123;timeout=60\r\n\r\n";
  ASSERT_GE(reply.size(), tail.size());
  EXPECT_EQ(reply.substr(reply.size() - tail.size()), tail);
  EXPECT_EQ(StationSessionId(reply), "ABC123");
  const std::string body = array_sim::BuildSdp(2, 37500, "127.0.0.1", 7);
  const std::string described = array_sim::BuildReply(200, "OK", "3", {{"Content-Type", "application/sdp"}}, body);
  EXPECT_NE(described.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
  EXPECT_EQ(described.substr(described.size() - body.size()), body);
  EXPECT_NE(body.find("m=audio 0 RTP/AVP 96\r\n"), std::string::npos);
  EXPECT_NE(body.find("a=rtpmap:96 L16/37500/1\r\n"), std::string::npos);
}

TEST(WriteRtpHeader, LaysOutVersionTypeSequenceTimestampSsrcAndBigEndianSamples) {
  std::uint8_t p[array_sim::kPacketBytes] = {};
  array_sim::WriteRtpHeader(p, 0xBEEF, 0x01020304, 0xA1B2C3D4);
  const std::uint8_t expect[12] = {0x80, 96, 0xBE, 0xEF, 1, 2, 3, 4, 0xA1, 0xB2, 0xC3, 0xD4};
  EXPECT_TRUE(std::equal(expect, expect + 12, p));
  const std::int16_t samples[3] = {258, -1, -32768};
  array_sim::WriteBigEndianSamples(p + 12, samples, 3);
  const std::uint8_t bytes[6] = {0x01, 0x02, 0xFF, 0xFF, 0x80, 0x00};
  EXPECT_TRUE(std::equal(bytes, bytes + 6, p + 12));
  EXPECT_EQ(array_sim::kPacketBytes, 812U);
}

TEST(ParseArraySimOptions, ReadsEveryOptionAndRejectsBadValues) {
  array_sim::TArraySimOptions o;
  std::string error;
  const std::vector<std::string> good = {
      "sim",         "--listen", "127.0.0.2:9554", "--settings", "/s/",        "--source=tone:5000",
      "--azimuth",   "-30",      "--polar",        "60",         "--distance", "25",
      "--rotate",    "12.5",     "--snr",          "off",        "--seed",     "42",
      "--speed",     "4",        "--seconds",      "3",          "--record",   "/tmp/x.wav",
      "--loss",      "0.1",      "--dup",          "0.2",        "--reorder",  "0.3",
      "--short",     "0.4",      "--stall",        "3:2.5@4",    "--schedule", "20:10",
      "--pitch=1.25"};
  ASSERT_EQ(array_sim::ParseArraySimOptions(good, "/default/", o, error), array_sim::EParseResult::Run) << error;
  EXPECT_EQ(o.listenAddress, "127.0.0.2");
  EXPECT_EQ(o.listenPort, 9554);
  EXPECT_EQ(o.settingsDir, "/s/");
  EXPECT_EQ(o.scene.source.kind, sim::ESourceKind::Tone);
  EXPECT_EQ(o.scene.azimuthDeg, -30.0);
  EXPECT_EQ(o.scene.polarDeg, 60.0);
  EXPECT_EQ(o.scene.distanceM, 25.0);
  EXPECT_EQ(o.scene.rotateDegPerS, 12.5);
  EXPECT_TRUE(std::isinf(o.scene.snrDb));
  EXPECT_EQ(o.scene.seed, 42U);
  EXPECT_EQ(o.speed, 4.0);
  EXPECT_EQ(o.seconds, 3.0);
  EXPECT_EQ(o.recordPath, "/tmp/x.wav");
  EXPECT_EQ(o.faults.truncate, 0.4);
  ASSERT_EQ(o.faults.stalls.size(), 1U);
  EXPECT_EQ(o.faults.stalls[0].channel, 3);
  EXPECT_EQ(o.faults.stalls[0].seconds, 2.5);
  EXPECT_EQ(o.faults.stalls[0].afterS, 4.0);
  EXPECT_EQ(o.scene.presence.periodS, 30.0);
  EXPECT_EQ(o.scene.pitchFactor, 1.25);

  ASSERT_EQ(array_sim::ParseArraySimOptions({"sim"}, "/default/", o, error), array_sim::EParseResult::Run);
  EXPECT_EQ(o.settingsDir, "/default/");
  EXPECT_EQ(o.listenPort, 8554);
  EXPECT_EQ(array_sim::ParseArraySimOptions({"sim", "--help"}, "/d/", o, error), array_sim::EParseResult::Help);

  const std::vector<std::vector<std::string>> bad = {{"sim", "--listen", "localhost:8554"},
                                                     {"sim", "--listen", "127.0.0.1:0"},
                                                     {"sim", "--speed", "0"},
                                                     {"sim", "--loss", "1.5"},
                                                     {"sim", "--stall", "5:1"},
                                                     {"sim", "--stall", "1:0"},
                                                     {"sim", "--seed", "-1"},
                                                     {"sim", "--azimuth", "east"},
                                                     {"sim", "--pitch", "fast"},
                                                     {"sim", "--source", "tone"},
                                                     {"sim", "--frobnicate", "1"},
                                                     {"sim", "--seconds"},
                                                     {"sim", "extra"},
                                                     {"sim", "--sbr", "6"},
                                                     {"sim", "--schedule", "1:1", "--present", "0-1"}};
  for (const auto &args : bad) {
    error.clear();
    EXPECT_EQ(array_sim::ParseArraySimOptions(args, "/d/", o, error), array_sim::EParseResult::Error) << args[1];
    EXPECT_FALSE(error.empty()) << args[1];
  }
}
