#pragma once
// The monitor's live terminal view, rendered as plain text lines (with optional ANSI colour on the alert
// name). Pure: the caller owns the terminal, decides when to redraw and writes the text. Main thread only.

#include "tools/station_client/messages.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace monitor {

// "NO_Drone", "Probably_Drone", "Detected_Drone", "no array (test message)", "autocalibration", or
// "unknown alert N" for any other value.
std::string AlertName(int alert);

// An azimuth in degrees brought into [0, 360); NaN stays NaN.
double NormalizeAzimuth(double degrees);

// A small compass rose of the array's x-y plane seen from above: +x (0 degrees) to the right, +y (90) up,
// labelled with 0/90/180/270. The azimuth is marked '@' on the rim with '*' from the centre towards it; a
// non-finite azimuth draws the rose without a pointer. All lines have the same width.
std::vector<std::string> RenderCompass(double azimuthDeg);
inline constexpr char kCompassMarker = '@';
inline constexpr char kCompassCentre = '+';

// One score against the border: `width` cells between brackets, filled with '#' up to the score on a scale of
// twice the border (the border is the '|' in the middle); a score beyond the scale ends in '>'. With a border
// that is not positive the scale is `fallbackScale`. A non-finite score leaves the bar empty.
std::string RenderScoreBar(double score, double border, double fallbackScale, int width);

// The spectrum as one line of `width` characters or fewer: each character stands for a group of
// neighbouring bins and shows the group's strongest level on the ramp " .:-=+*#%@", from `floorDb` to
// `topDb`. Non-finite levels are blank.
std::string RenderSpectrumBars(const std::vector<float> &levels, int width, double floorDb, double topDb);
inline constexpr std::string_view kLevelRamp = " .:-=+*#%@";

// Column (0-based) of the bar line that shows frame position `index`, for a frame of `count` levels drawn in
// `width` characters.
int SpectrumColumn(std::size_t index, std::size_t count, int width);

// Everything the view shows, kept up to date by the monitor's loop.
struct TViewState {
  std::string host;
  int jsonPort = 0;
  int spectrPort = 0;
  bool resultConnected = false;
  bool spectrumConnected = false;
  std::optional<station_client::TResultMessage> result;
  double resultAgeS = 0.0;   // seconds since the latest result message
  std::vector<float> levels; // latest spectrum frame
  bool haveSpectrum = false;
  int firstBin = 0;
  station_client::TSpectrumPeak peak;
  std::uint64_t results = 0;
  std::uint64_t spectra = 0;
  std::uint64_t badFrames = 0;
  std::string status;    // connection news, one line
  std::string lastError; // latest bad frame, one line
};

// The whole view for a terminal `width` columns wide, one string per line, none wider than `width`
// (colour escapes do not count).
std::vector<std::string> RenderView(const TViewState &state, int width, bool colour);

// Cuts a line to `width` visible characters, skipping ANSI colour escapes when counting.
std::string ClipToWidth(std::string_view line, int width);

} // namespace monitor
