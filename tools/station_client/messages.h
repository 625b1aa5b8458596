#pragma once
// Meaning of the frames the monitor receives: the result message's JSON text and the spectrum's float levels,
// plus the one-line JSON the monitor prints for scripts. Pure functions; the monitor's main thread calls them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace station_client {

// Width of one spectrum bin, Hz: fixed by the station's 2048-point transform, not derived from the sample rate.
inline constexpr double kSpectrumBinHz = 15.625;

// One result message. A member the station wrote as null (a value that was not finite) reads as NaN.
struct TResultMessage {
  int alert = 0;
  double brd = 0.0;
  std::vector<double> dots; // the four channel scores, reader channel 0 first
  std::vector<double> dirs; // averaged azimuth in degrees, then 45.0
};

// Parses a result text: an object with an integer "alert", a number "brd" and arrays "dots" and "dirs" of
// numbers (null allowed wherever a number is). Other members are ignored. On failure `error` holds one line.
bool ParseResultText(std::string_view text, TResultMessage &out, std::string &error);

// Decodes `count` little-endian IEEE-754 single-precision floats from `bytes` (4 x count bytes) into `out`.
void DecodeLevels(const std::uint8_t *bytes, std::size_t count, std::vector<float> &out);

// First bin of the spectrum frames for a band starting at `fminHz` (the station truncates toward zero).
int FirstSpectrumBin(double fminHz);

// The strongest finite level of a frame; `found` is false when no level is finite (for example all -inf).
struct TSpectrumPeak {
  bool found = false;
  std::size_t index = 0; // position in the frame
  double hz = 0.0;       // (firstBin + index) x 15.625
  double db = 0.0;
};
TSpectrumPeak FindSpectrumPeak(const std::vector<float> &levels, int firstBin);

// {"spectrum":{"count":N,"peak_hz":F,"peak_db":L}}; the peak members are null without a finite level, and
// the level is rounded to 0.01 dB.
std::string SpectrumJsonLine(std::size_t count, const TSpectrumPeak &peak);

// The line printed for a valid result text: the text as received, or, when it spans several lines, the same
// document written compactly so that every message stays one line.
std::string ResultJsonLine(std::string_view text);

// Quotes a received text for an error line: at most `maxChars` characters, control and non-ASCII bytes
// escaped as \xNN.
std::string Excerpt(std::string_view text, std::size_t maxChars = 48);

} // namespace station_client
