#pragma once
// Texts of the fixed RTSP dialogue with the microphone array, and the one thing read back from it: the session
// identifier. Pure functions, callable from any thread.

#include <string>
#include <vector>

namespace micro4::details {

class TRTSP_Messages {
public:
  // Pieces between successive `delimiter`s, as getline over a string stream gives them: adjacent delimiters give an
  // empty piece, a delimiter at the very end gives no empty last piece, an empty text gives no piece.
  static std::vector<std::string> SplitStr(std::string text, char delimiter);

  // Session identifier of a SETUP reply: second-to-last line, its part before the first ';', its last space-separated
  // word. Nothing is trimmed (a line without ';' keeps its carriage return). A reply with too few lines or an empty
  // part yields "" (identifier unknown). A null `reply` or a negative `length` is taken as an empty reply.
  static std::string GetSessionID(const char *reply, int length);

  // Requests 1 to 4 of the dialogue of array channel `channel` (OPTIONS, OPTIONS with credential, DESCRIBE, SETUP
  // announcing `clientPort` and `clientPort` + 1), exactly as the array expects them: line feeds only, spaced
  // header texts, no line break after the last header.
  static std::vector<std::string> SetupRequests(const std::string &address, int rtspPort, int channel, int clientPort);
  // Request 5 (PLAY) carrying `sessionId` unchanged.
  static std::string PlayRequest(const std::string &address, int rtspPort, int channel, const std::string &sessionId);
  // TEARDOWN of the session `sessionId`, in the dialogue's own style, when the station stops.
  static std::string TeardownRequest(const std::string &address, int rtspPort, int channel,
                                     const std::string &sessionId);
};

} // namespace micro4::details
