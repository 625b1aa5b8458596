// One channel's RTSP dialogue against a fake array on loopback: the bytes on the wire, the session identifier and
// every way the array can fail to answer.

#include "fake_rtsp_server.h"
#include "micro4/microphone.h"
#include "micro4/unique_fd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using micro4::TMicrophone;
using micro4::test::TFakeRtspServer;
using micro4::test::TRtspScript;
using EMode = TRtspScript::EMode;

const std::string kUa = "User - Agent : Lavf60.20.100";
const std::string kAuth = "Authorization : Basic QWNjdDpEZXZQd2Qx";
const std::string kConnectedLines = "Socket successfully created..\nconnected to the server..\n";

// Runs one channel's dialogue and returns its result together with what it printed.
struct TDialogue {
  bool Ok;
  std::string Out;
};
TDialogue RunDialogue(TMicrophone &mic, int channel, int clientPort) {
  ::testing::internal::CaptureStdout();
  const bool ok = mic.StartUdpStream(channel, clientPort);
  return {ok, ::testing::internal::GetCapturedStdout()};
}

TEST(TMicrophoneRtsp, SendsTheFiveRequestsByteExact) {
  TFakeRtspServer server;
  TMicrophone mic("127.0.0.1", server.Port());
  const auto run = RunDialogue(mic, 2, 33714);
  ASSERT_TRUE(run.Ok);
  EXPECT_EQ(run.Out, kConnectedLines + "SessID=4F2A9C11\n");

  const std::string url = "rtsp ://127.0.0.1:" + std::to_string(server.Port()) + "/channel=2 RTSP/1.0\n";
  const std::vector<std::string> expected = {
      "OPTIONS " + url + "CSeq: 1\n" + kUa,
      "OPTIONS " + url + "CSeq: 2\n" + kUa + "\n" + kAuth,
      "DESCRIBE " + url + "Accept: application / sdp\nCSeq : 3\n" + kUa + "\n" + kAuth,
      "SETUP " + url + " Transport: RTP / AVP / UDP; unicast; client_port = 33714 - 33715\nCSeq: 4\n" + kUa + "\n" +
          kAuth,
      "PLAY " + url + "Range: npt = 0.000 -\nCSeq : 5\n" + kUa + "\nSession : 4F2A9C11\n" + kAuth,
  };
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1U);
  EXPECT_EQ(requests[0], expected);
}

TEST(TMicrophoneRtsp, SendsSessionIdentifierBackAsTheArrayGaveIt) {
  TRtspScript oneByte;
  oneByte.Mode = EMode::OneByte; // each reply a single byte: accepted, identifier unknown
  TRtspScript bare;
  bare.SetupReply = "RTSP/1.0 200 OK\r\nSession: 77AB\r\n\r\n"; // no parameter part: carriage return kept
  TFakeRtspServer server({oneByte, bare});
  TMicrophone mic("127.0.0.1", server.Port());

  const auto first = RunDialogue(mic, 1, 33712);
  EXPECT_TRUE(first.Ok);
  EXPECT_EQ(first.Out, kConnectedLines + "SessID=\n");
  const auto second = RunDialogue(mic, 2, 33714);
  EXPECT_TRUE(second.Ok);

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2U);
  ASSERT_EQ(requests[0].size(), 5U);
  ASSERT_EQ(requests[1].size(), 5U);
  EXPECT_NE(requests[0][4].find("\nSession : \n"), std::string::npos);
  EXPECT_NE(requests[1][4].find("\nSession : 77AB\r\n"), std::string::npos);
}

TEST(TMicrophoneRtsp, ClosedConnectionFailsTheChannelWithoutMessage) {
  TRtspScript atAccept;
  atAccept.Mode = EMode::CloseAtAccept;
  TRtspScript afterDescribe;
  afterDescribe.Mode = EMode::CloseAfter;
  afterDescribe.CloseAfterRequest = 3;
  TRtspScript afterSetup;
  afterSetup.Mode = EMode::CloseAfter;
  afterSetup.CloseAfterRequest = 4;
  TFakeRtspServer server({atAccept, afterDescribe, afterSetup});
  TMicrophone mic("127.0.0.1", server.Port());

  auto run = RunDialogue(mic, 1, 33712);
  EXPECT_FALSE(run.Ok);
  EXPECT_EQ(run.Out, kConnectedLines);
  run = RunDialogue(mic, 1, 33712);
  EXPECT_FALSE(run.Ok);
  EXPECT_EQ(run.Out, kConnectedLines);
  run = RunDialogue(mic, 1, 33712);
  EXPECT_FALSE(run.Ok);
  EXPECT_EQ(run.Out, kConnectedLines);
  EXPECT_EQ(server.Requests()[2].size(), 4U); // PLAY was never sent
}

TEST(TMicrophoneRtsp, SilentArrayTimesOut) {
  TRtspScript silent;
  silent.Mode = EMode::Silent;
  TFakeRtspServer server({silent});
  TMicrophone mic("127.0.0.1", server.Port());
  const auto run = RunDialogue(mic, 3, 33716);
  EXPECT_FALSE(run.Ok);
  EXPECT_EQ(run.Out, kConnectedLines);
  EXPECT_EQ(server.Requests()[0].size(), 1U);
}

TEST(TMicrophoneRtsp, ConnectFailsWhenNothingListens) {
  // Take a free port from the system and release it again: nothing listens there.
  int port = 0;
  {
    micro4::TUniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof(addr)), 0);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(::getsockname(probe.Get(), reinterpret_cast<sockaddr *>(&addr), &len), 0);
    port = ntohs(addr.sin_port);
  }
  TMicrophone mic("127.0.0.1", port);
  const auto run = RunDialogue(mic, 1, 33712);
  EXPECT_FALSE(run.Ok);
  EXPECT_EQ(run.Out, "Socket successfully created..\nconnection with the server failed...\n");
}

TEST(TMicrophoneRtsp, RejectsBadAddressAndChannel) {
  TMicrophone badAddress("array.local", 554);
  auto run = RunDialogue(badAddress, 1, 33712);
  EXPECT_FALSE(run.Ok);
  EXPECT_NE(run.Out.find("invalid array address 'array.local'"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("connection with the server failed...\n"), std::string::npos) << run.Out;

  TMicrophone mic("127.0.0.1", 554);
  EXPECT_FALSE(RunDialogue(mic, 0, 33710).Ok);
  EXPECT_FALSE(RunDialogue(mic, 5, 33720).Ok);
}

} // namespace
