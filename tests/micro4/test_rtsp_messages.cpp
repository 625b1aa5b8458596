// Pure parts of the array client: splitting of RTSP replies, the session identifier, sample byte conversions.

#include "micro4/microphone.h"
#include "micro4/rtsp_messages.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using micro4::TMicrophone;
using micro4::details::TRTSP_Messages;
using Pieces = std::vector<std::string>;

TEST(TRTSP_Messages, SplitStrFollowsLineReadSemantics) {
  EXPECT_EQ(TRTSP_Messages::SplitStr("a\nb\nc", '\n'), (Pieces{"a", "b", "c"}));
  EXPECT_EQ(TRTSP_Messages::SplitStr("a\n\nb", '\n'), (Pieces{"a", "", "b"}));
  EXPECT_EQ(TRTSP_Messages::SplitStr("a\nb\n", '\n'), (Pieces{"a", "b"}));
  EXPECT_EQ(TRTSP_Messages::SplitStr("\n", '\n'), (Pieces{""}));
  EXPECT_EQ(TRTSP_Messages::SplitStr("", '\n'), Pieces{});
  EXPECT_EQ(TRTSP_Messages::SplitStr("no delimiter", ';'), (Pieces{"no delimiter"}));
  EXPECT_EQ(TRTSP_Messages::SplitStr("x;;y;", ';'), (Pieces{"x", "", "y"}));
}

TEST(TRTSP_Messages, GetSessionIDTakesIdentifierOfSessionHeader) {
  const std::string reply = "RTSP/1.0 200 OK\r\nCSeq: 4\r\nTransport: RTP/AVP;unicast;client_port=33712-33713\r\n"
                            "Session: 66334873;timeout=60\r\n\r\n";
  EXPECT_EQ(TRTSP_Messages::GetSessionID(reply.data(), static_cast<int>(reply.size())), "66334873");

  // Without a parameter part the carriage return stays with the identifier.
  const std::string bare = "RTSP/1.0 200 OK\r\nSession: 66334873\r\n\r\n";
  EXPECT_EQ(TRTSP_Messages::GetSessionID(bare.data(), static_cast<int>(bare.size())), "66334873\r");

  // Only the first `length` bytes count: bytes of a later reply in the buffer are ignored.
  const std::string buffer = reply + "stale tail\nmore\n";
  EXPECT_EQ(TRTSP_Messages::GetSessionID(buffer.data(), static_cast<int>(reply.size())), "66334873");
}

TEST(TRTSP_Messages, GetSessionIDOfUnusableReplyIsEmpty) {
  const auto id = [](const std::string &text) {
    return TRTSP_Messages::GetSessionID(text.data(), static_cast<int>(text.size()));
  };
  EXPECT_EQ(id("R"), "");                      // one line only
  EXPECT_EQ(id(""), "");                       // nothing
  EXPECT_EQ(id("RTSP/1.0 200 OK\n"), "");      // one piece (a final line feed makes no empty piece)
  EXPECT_EQ(id("first\n\nlast"), "");          // second-to-last line empty
  EXPECT_EQ(id("first\n;timeout=60\n\n"), ""); // nothing before ';'
  EXPECT_EQ(id("first\n   \nlast"), "");       // only spaces before ';'
  EXPECT_EQ(TRTSP_Messages::GetSessionID(nullptr, 10), "");
  const std::string reply = "a\nSession: X;y\n\n";
  EXPECT_EQ(TRTSP_Messages::GetSessionID(reply.data(), -5), "");
}

TEST(TRTSP_Messages, RequestOneForTheArrayOnItsDefaultPort) {
  const auto requests = TRTSP_Messages::SetupRequests("192.168.1.100", 554, 2, 33714);
  ASSERT_EQ(requests.size(), 4U);
  EXPECT_EQ(requests[0], "OPTIONS rtsp ://192.168.1.100:554/channel=2 RTSP/1.0\nCSeq: 1\nUser - Agent : Lavf60.20.100");
}

TEST(TMicrophone, ConvertsBigEndianSignedSamplesUnscaled) {
  const unsigned char bytes[] = {0x80, 0x00, 0x7F, 0xFF, 0x01, 0x02, 0xFF, 0xFF, 0x00, 0x00};
  std::vector<double> values(1000, 5.0);
  TMicrophone::SetGroupDoubleValues(bytes, 5, values);
  EXPECT_EQ(values, (std::vector<double>{-32768.0, 32767.0, 258.0, -1.0, 0.0}));

  std::vector<short> shorts;
  TMicrophone::SetGroupInt16Values(bytes, 5, shorts);
  EXPECT_EQ(shorts, (std::vector<short>{-32768, 32767, 258, -1, 0}));

  TMicrophone::SetGroupDoubleValues(bytes, 0, values);
  EXPECT_TRUE(values.empty());

  short single = 0;
  TMicrophone::SetSingleInt16Value(bytes + 4, single);
  EXPECT_EQ(single, 258);
  TMicrophone::SetSingleInt16Value(bytes, single);
  EXPECT_EQ(single, -32768);
}

TEST(TMicrophone, BytesToUint32IsLittleEndian) {
  const unsigned char bytes[] = {0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(TMicrophone::BytesToUint32(bytes), 0x04030201U);
  const unsigned char high[] = {0xFF, 0x00, 0x00, 0x80};
  EXPECT_EQ(TMicrophone::BytesToUint32(high), 0x800000FFU);
}

} // namespace
