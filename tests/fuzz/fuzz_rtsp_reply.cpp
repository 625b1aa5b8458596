// The array client's handling of an RTSP reply: the SETUP reply (at most kRtspReplyBytes, as one recv gives
// it) is searched for the session identifier, which then goes unchanged into the PLAY and TEARDOWN requests.
// The client reads nothing else from a reply (no status line, CSeq or Transport check).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "micro4/microphone.h"
#include "micro4/rtsp_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using micro4::details::TRTSP_Messages;
  // The client's reply buffer is kRtspReplyBytes long, so no longer reply ever reaches the parser.
  const std::size_t length = size < micro4::kRtspReplyBytes ? size : micro4::kRtspReplyBytes;
  const std::vector<char> reply(data, data + length);
  const std::string id = TRTSP_Messages::GetSessionID(reply.data(), static_cast<int>(reply.size()));
  if (id.size() > length) {
    std::abort(); // the identifier is a piece of the reply
  }
  (void)TRTSP_Messages::PlayRequest("192.168.1.100", 554, 1, id);
  (void)TRTSP_Messages::TeardownRequest("192.168.1.100", 554, 1, id);
  (void)TRTSP_Messages::SplitStr(std::string(reply.begin(), reply.end()), '\n');
  return 0;
}
