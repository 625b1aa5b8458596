#include "tools/monitor/view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>

namespace monitor {

namespace {

// Rose radii in character cells: terminal cells are about twice as tall as wide.
constexpr int kRoseRx = 6;
constexpr int kRoseRy = 3;
constexpr int kLeftBlockWidth = 46;
constexpr int kScoreBarWidth = 20;

std::string Format(const char *format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string FormatScore(double value) { return std::isfinite(value) ? Format("%.4g", value) : std::string("n/a"); }

std::string PadRight(std::string text, std::size_t width) {
  if (text.size() < width) {
    text.append(width - text.size(), ' ');
  }
  return text;
}

const char *AlertColour(int alert) {
  switch (alert) {
  case 0:
    return "\x1b[32m";
  case 1:
    return "\x1b[1;33m";
  case 2:
    return "\x1b[1;31m";
  default:
    return "\x1b[36m";
  }
}

// Characters a line takes on the terminal: ANSI colour escapes take none.
std::size_t VisibleWidth(std::string_view line) {
  std::size_t visible = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b') {
      const std::size_t end = line.find('m', i);
      i = end == std::string_view::npos ? line.size() : end;
    } else {
      ++visible;
    }
  }
  return visible;
}

std::string Hz(double hz) { return hz >= 1000.0 ? Format("%.2f kHz", hz / 1000.0) : Format("%.0f Hz", hz); }

// The left column: alert, border, the four scores and the azimuth.
std::vector<std::string> ResultBlock(const TViewState &s, bool colour) {
  std::vector<std::string> lines;
  if (!s.result) {
    lines.emplace_back("Alert    (no result message yet)");
    return lines;
  }
  const station_client::TResultMessage &r = *s.result;
  std::string alert = AlertName(r.alert) + " (" + std::to_string(r.alert) + ")";
  if (colour) {
    alert = AlertColour(r.alert) + alert + "\x1b[0m";
  }
  lines.push_back("Alert    " + alert);
  double fallback = 0.0;
  for (const double d : r.dots) {
    fallback = std::isfinite(d) ? std::max(fallback, d) : fallback;
  }
  fallback = fallback > 0.0 ? fallback : 1.0;
  const bool scaleByBorder = std::isfinite(r.brd) && r.brd > 0.0;
  lines.push_back("Border   " + FormatScore(r.brd) + "   (bars: 0 .. " +
                  FormatScore(scaleByBorder ? 2 * r.brd : fallback) + ")");
  for (std::size_t k = 0; k < r.dots.size(); ++k) {
    const double d = r.dots[k];
    const bool over = scaleByBorder && std::isfinite(d) && d >= r.brd;
    // Four significant digits of a small score fill the 8 columns ("0.009175"): then one blank still parts it
    // from "over".
    const std::string value = FormatScore(d);
    lines.push_back("Score " + std::to_string(k) + "  " + RenderScoreBar(d, r.brd, fallback, kScoreBarWidth) + " " +
                    (value.size() >= 8 ? value + " " : PadRight(value, 8)) + (over ? "over" : ""));
  }
  const double az = r.dirs.empty() ? std::nan("") : NormalizeAzimuth(r.dirs[0]);
  // Without a detection the direction finder still reports where the loudest sound comes from.
  lines.push_back("Azimuth  " + (std::isfinite(az) ? Format("%.1f deg", az) : std::string("--")) +
                  (r.alert == 0 ? "  (no drone detected)" : ""));
  return lines;
}

// Appends `text` broken at spaces into lines of at most `width` characters (a longer word is cut), so news
// lines are read whole instead of clipped.
void WrapInto(std::vector<std::string> &lines, std::string_view text, int width) {
  const auto w = static_cast<std::size_t>(std::max(width, 1));
  while (text.size() > w) {
    std::size_t cut = text.rfind(' ', w);
    if (cut == std::string_view::npos || cut == 0) {
      cut = w;
    }
    lines.emplace_back(text.substr(0, cut));
    text.remove_prefix(cut);
    while (!text.empty() && text.front() == ' ') {
      text.remove_prefix(1);
    }
  }
  lines.emplace_back(text);
}

} // namespace

std::string AlertName(int alert) {
  switch (alert) {
  case 0:
    return "NO_Drone";
  case 1:
    return "Probably_Drone";
  case 2:
    return "Detected_Drone";
  case -1:
    return "no array (test message)";
  case -2:
    return "autocalibration";
  default:
    return "unknown alert " + std::to_string(alert);
  }
}

double NormalizeAzimuth(double degrees) {
  if (!std::isfinite(degrees)) {
    return std::nan("");
  }
  double a = std::fmod(degrees, 360.0);
  if (a < 0.0) {
    a += 360.0;
  }
  return a >= 360.0 ? 0.0 : a; // fmod of a tiny negative value can round up to 360
}

std::vector<std::string> RenderCompass(double azimuthDeg) {
  const int w = 2 * kRoseRx + 1;
  const int h = 2 * kRoseRy + 1;
  std::vector<std::string> grid(static_cast<std::size_t>(h), std::string(static_cast<std::size_t>(w), ' '));
  const auto put = [&](int x, int y, char c) { grid[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] = c; };
  for (int deg = 0; deg < 360; deg += 10) {
    const double a = deg * std::numbers::pi / 180.0;
    put(kRoseRx + static_cast<int>(std::lround(kRoseRx * std::cos(a))),
        kRoseRy - static_cast<int>(std::lround(kRoseRy * std::sin(a))), '.');
  }
  put(kRoseRx, kRoseRy, kCompassCentre);
  if (std::isfinite(azimuthDeg)) {
    const double a = NormalizeAzimuth(azimuthDeg) * std::numbers::pi / 180.0;
    const double dx = kRoseRx * std::cos(a);
    const double dy = kRoseRy * std::sin(a);
    const int rimX = kRoseRx + static_cast<int>(std::lround(dx));
    const int rimY = kRoseRy - static_cast<int>(std::lround(dy));
    constexpr int kSteps = 4 * kRoseRx;
    for (int i = 1; i < kSteps; ++i) {
      const double t = static_cast<double>(i) / kSteps;
      const int x = kRoseRx + static_cast<int>(std::lround(t * dx));
      const int y = kRoseRy - static_cast<int>(std::lround(t * dy));
      if ((x != kRoseRx || y != kRoseRy) && (x != rimX || y != rimY)) {
        put(x, y, '*');
      }
    }
    put(rimX, rimY, kCompassMarker);
  }
  // Labels: "90" over the centre column, "270" under it, "180" left and "0" right of the centre row.
  const std::string left(4, ' ');
  std::vector<std::string> lines;
  lines.push_back(PadRight(left + std::string(static_cast<std::size_t>(kRoseRx), ' ') + "90", left.size() + w + 2));
  for (int y = 0; y < h; ++y) {
    const bool centre = y == kRoseRy;
    lines.push_back((centre ? std::string("180 ") : left) + grid[static_cast<std::size_t>(y)] + (centre ? " 0" : "  "));
  }
  lines.push_back(
      PadRight(left + std::string(static_cast<std::size_t>(kRoseRx - 1), ' ') + "270", left.size() + w + 2));
  return lines;
}

std::string RenderScoreBar(double score, double border, double fallbackScale, int width) {
  const bool byBorder = std::isfinite(border) && border > 0.0;
  const double scale = byBorder ? 2.0 * border : fallbackScale;
  std::string cells(static_cast<std::size_t>(width), ' ');
  if (std::isfinite(score) && scale > 0.0) {
    const double filled = std::floor(score / scale * width);
    const int n = static_cast<int>(std::clamp(filled, 0.0, static_cast<double>(width)));
    std::fill(cells.begin(), cells.begin() + n, '#');
    if (score > scale) {
      cells.back() = '>';
    }
  }
  if (byBorder) {
    cells[static_cast<std::size_t>(width / 2)] = '|';
  }
  return "[" + cells + "]";
}

int SpectrumColumn(std::size_t index, std::size_t count, int width) {
  if (count <= static_cast<std::size_t>(width)) {
    return static_cast<int>(index);
  }
  return static_cast<int>(index * static_cast<std::size_t>(width) / count);
}

std::string RenderSpectrumBars(const std::vector<float> &levels, int width, double floorDb, double topDb) {
  const std::size_t n = levels.size();
  if (n == 0 || width <= 0) {
    return {};
  }
  const int columns = n <= static_cast<std::size_t>(width) ? static_cast<int>(n) : width;
  std::vector<double> best(static_cast<std::size_t>(columns), -std::numeric_limits<double>::infinity());
  std::vector<bool> any(static_cast<std::size_t>(columns), false);
  for (std::size_t k = 0; k < n; ++k) {
    if (std::isfinite(levels[k])) {
      const auto c = static_cast<std::size_t>(SpectrumColumn(k, n, width));
      best[c] = std::max(best[c], static_cast<double>(levels[k]));
      any[c] = true;
    }
  }
  const double span = topDb - floorDb;
  const int top = static_cast<int>(kLevelRamp.size()) - 1;
  std::string line(static_cast<std::size_t>(columns), ' ');
  for (std::size_t c = 0; c < line.size(); ++c) {
    if (!any[c]) {
      continue;
    }
    // Every finite level shows at least the lowest mark, so the band's extent stays visible.
    const double x = span > 1e-9 ? (best[c] - floorDb) / span : 1.0;
    const int step = std::clamp(static_cast<int>(std::lround(x * top)), 1, top);
    line[c] = kLevelRamp[static_cast<std::size_t>(step)];
  }
  return line;
}

std::string ClipToWidth(std::string_view line, int width) {
  std::string out;
  int visible = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b') {
      const std::size_t end = line.find('m', i);
      const std::size_t stop = end == std::string_view::npos ? line.size() : end + 1;
      out.append(line.substr(i, stop - i));
      i = stop - 1;
      continue;
    }
    if (visible < width) {
      out += line[i];
      ++visible;
    }
  }
  return out;
}

std::vector<std::string> RenderView(const TViewState &s, int width, bool colour) {
  std::vector<std::string> lines;
  const auto state = [](bool up) { return up ? "connected" : "waiting"; };
  lines.push_back("Station " + s.host + "  results :" + std::to_string(s.jsonPort) + " " + state(s.resultConnected) +
                  "  spectrum :" + std::to_string(s.spectrPort) + " " + state(s.spectrumConnected));
  std::string counts = "Received " + std::to_string(s.results) + " results";
  if (s.result) {
    counts += Format(" (latest %.1f s ago)", s.resultAgeS);
  }
  counts += ", " + std::to_string(s.spectra) + " spectra, " + std::to_string(s.badFrames) + " bad frames";
  lines.push_back(counts);
  lines.emplace_back();

  const std::vector<std::string> left = ResultBlock(s, colour);
  const double az = s.result && !s.result->dirs.empty() ? s.result->dirs[0] : std::nan("");
  const std::vector<std::string> rose = RenderCompass(az);
  const int roseWidth = static_cast<int>(rose.front().size());
  if (width >= kLeftBlockWidth + roseWidth) {
    // Side by side; the left lines are padded by their visible width (colour escapes take no room).
    for (std::size_t i = 0; i < std::max(left.size(), rose.size()); ++i) {
      std::string l = i < left.size() ? left[i] : std::string();
      const std::size_t visible = VisibleWidth(l);
      if (visible < kLeftBlockWidth) {
        l.append(kLeftBlockWidth - visible, ' ');
      }
      lines.push_back(l + (i < rose.size() ? rose[i] : std::string()));
    }
  } else {
    lines.insert(lines.end(), left.begin(), left.end());
    lines.insert(lines.end(), rose.begin(), rose.end());
  }
  lines.emplace_back();

  if (!s.haveSpectrum) {
    lines.emplace_back("Spectrum (no frame yet)");
  } else {
    const std::size_t n = s.levels.size();
    const double loHz = s.firstBin * station_client::kSpectrumBinHz;
    const double hiHz = (s.firstBin + static_cast<double>(n) - 1.0) * station_client::kSpectrumBinHz;
    // The peak first: on a narrow terminal the end of the line is what gets cut.
    std::string head = "Spectrum ";
    if (s.peak.found) {
      head += "peak " + Format("%.1f Hz", s.peak.hz) + " at " + Format("%.1f dB", s.peak.db);
    } else {
      head += "without a finite level";
    }
    head += ", " + std::to_string(n) + " values";
    lines.push_back(head);
    const int barWidth = std::max(8, std::min(width - 2, 100));
    // From the frame's median level to its peak: the noise floor shows as '.', and the lines above it stand out.
    std::vector<float> finite;
    for (const float v : s.levels) {
      if (std::isfinite(v)) {
        finite.push_back(v);
      }
    }
    double floorDb = 0.0;
    if (!finite.empty()) {
      const auto middle = finite.begin() + static_cast<std::ptrdiff_t>(finite.size() / 2);
      std::nth_element(finite.begin(), middle, finite.end());
      floorDb = *middle;
    }
    const double topDb = s.peak.found ? s.peak.db : 0.0;
    const std::string bars = RenderSpectrumBars(s.levels, barWidth, floorDb, topDb);
    lines.push_back("|" + bars + "|");
    std::string axis(bars.size() + 2, ' ');
    const std::string loText = Hz(loHz);
    const std::string hiText = Hz(hiHz);
    if (axis.size() >= loText.size() + hiText.size() + 2) {
      axis.replace(0, loText.size(), loText);
      axis.replace(axis.size() - hiText.size(), hiText.size(), hiText);
    }
    if (s.peak.found) {
      // The peak's own line: '^' under its column, its frequency beside it on whichever side has room.
      const std::size_t at = 1 + static_cast<std::size_t>(SpectrumColumn(s.peak.index, n, barWidth));
      std::string marker(axis.size(), ' ');
      marker[at] = '^';
      const std::string text = Format("%.1f Hz", s.peak.hz);
      if (at + 2 + text.size() <= marker.size()) {
        marker.replace(at + 2, text.size(), text);
      } else if (at >= text.size() + 1) {
        marker.replace(at - 1 - text.size(), text.size(), text);
      }
      lines.push_back(marker);
    }
    lines.push_back(axis);
  }
  lines.emplace_back();
  WrapInto(lines, "Status   " + (s.status.empty() ? std::string("-") : s.status), width);
  if (!s.lastError.empty()) {
    WrapInto(lines, "Bad frame " + s.lastError, width);
  }
  for (std::string &l : lines) {
    l = ClipToWidth(l, width);
  }
  return lines;
}

} // namespace monitor
