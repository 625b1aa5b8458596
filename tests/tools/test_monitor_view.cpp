// The monitor's live view, piece by piece (alert names, compass rose, score bars, spectrum line), the whole
// view's fit in the terminal, and the command line.

#include "tools/monitor/options.h"
#include "tools/monitor/view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

struct TCell {
  int row = -1;
  int col = -1;
};

TCell Find(const std::vector<std::string> &lines, char c) {
  for (std::size_t r = 0; r < lines.size(); ++r) {
    if (const auto col = lines[r].find(c); col != std::string::npos) {
      return {static_cast<int>(r), static_cast<int>(col)};
    }
  }
  return {};
}

bool Contains(const std::vector<std::string> &lines, const std::string &text) {
  for (const std::string &l : lines) {
    if (l.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST(AlertName, NamesEveryLevelAndMarker) {
  EXPECT_EQ(monitor::AlertName(0), "NO_Drone");
  EXPECT_EQ(monitor::AlertName(1), "Probably_Drone");
  EXPECT_EQ(monitor::AlertName(2), "Detected_Drone");
  EXPECT_EQ(monitor::AlertName(-1), "no array (test message)");
  EXPECT_EQ(monitor::AlertName(-2), "autocalibration");
  EXPECT_EQ(monitor::AlertName(3), "unknown alert 3");
  EXPECT_EQ(monitor::AlertName(-7), "unknown alert -7");
}

TEST(RenderCompass, PointsAlongTheArrayAxesSeenFromAbove) {
  // +x (0) to the right, +y (90) up; -90 is the same direction as 270, 450 the same as 90.
  const struct {
    double deg;
    int dxSign;
    int dySign; // rows grow downwards
  } cases[] = {{0, 1, 0},    {90, 0, -1}, {180, -1, 0},  {270, 0, 1},  {-90, 0, 1}, {360, 1, 0},
               {450, 0, -1}, {45, 1, -1}, {135, -1, -1}, {225, -1, 1}, {315, 1, 1}};
  for (const auto &c : cases) {
    const std::vector<std::string> rose = monitor::RenderCompass(c.deg);
    const TCell centre = Find(rose, monitor::kCompassCentre);
    const TCell marker = Find(rose, monitor::kCompassMarker);
    ASSERT_GE(centre.row, 0);
    ASSERT_GE(marker.row, 0) << c.deg;
    const auto sign = [](int v) { return (v > 0) - (v < 0); };
    EXPECT_EQ(sign(marker.col - centre.col), c.dxSign) << c.deg;
    EXPECT_EQ(sign(marker.row - centre.row), c.dySign) << c.deg;
    for (const std::string &l : rose) {
      EXPECT_EQ(l.size(), rose.front().size());
    }
  }
  // The pointer runs from the centre to the marker: at 0 degrees, every cell between them on the centre row.
  const std::vector<std::string> east = monitor::RenderCompass(0.0);
  const TCell c = Find(east, monitor::kCompassCentre);
  const TCell m = Find(east, monitor::kCompassMarker);
  EXPECT_EQ(east[static_cast<std::size_t>(c.row)].substr(static_cast<std::size_t>(c.col) + 1,
                                                         static_cast<std::size_t>(m.col - c.col - 1)),
            std::string(static_cast<std::size_t>(m.col - c.col - 1), '*'));
  // The labels sit where they belong.
  EXPECT_NE(east.front().find("90"), std::string::npos);
  EXPECT_NE(east.back().find("270"), std::string::npos);
  EXPECT_EQ(east[static_cast<std::size_t>(c.row)].rfind("180", 0), 0U);
  // No azimuth: the rose without a pointer.
  const std::vector<std::string> none = monitor::RenderCompass(std::numeric_limits<double>::quiet_NaN());
  EXPECT_LT(Find(none, monitor::kCompassMarker).row, 0);
  EXPECT_LT(Find(none, '*').row, 0);
}

TEST(NormalizeAzimuth, BringsAnyAngleIntoOneTurn) {
  EXPECT_DOUBLE_EQ(monitor::NormalizeAzimuth(-90.0), 270.0);
  EXPECT_DOUBLE_EQ(monitor::NormalizeAzimuth(720.5), 0.5);
  EXPECT_DOUBLE_EQ(monitor::NormalizeAzimuth(359.9), 359.9);
  EXPECT_EQ(monitor::NormalizeAzimuth(-1e-18), 0.0);
  EXPECT_TRUE(std::isnan(monitor::NormalizeAzimuth(std::numeric_limits<double>::infinity())));
}

TEST(RenderScoreBar, DrawsScoresOnTwiceTheBorderWithTheBorderInTheMiddle) {
  // Width 10, border 0.05: scale 0.1, one cell per 0.01, the border mark in cell 5.
  EXPECT_EQ(monitor::RenderScoreBar(0.0, 0.05, 1.0, 10), "[     |    ]");
  EXPECT_EQ(monitor::RenderScoreBar(0.035, 0.05, 1.0, 10), "[###  |    ]");
  EXPECT_EQ(monitor::RenderScoreBar(0.075, 0.05, 1.0, 10), "[#####|#   ]");
  EXPECT_EQ(monitor::RenderScoreBar(0.1, 0.05, 1.0, 10), "[#####|####]");
  EXPECT_EQ(monitor::RenderScoreBar(3.0, 0.05, 1.0, 10), "[#####|###>]");
  EXPECT_EQ(monitor::RenderScoreBar(-0.5, 0.05, 1.0, 10), "[     |    ]");
  EXPECT_EQ(monitor::RenderScoreBar(std::nan(""), 0.05, 1.0, 10), "[     |    ]");
  // Without a positive border there is no mark and the fallback scale applies.
  EXPECT_EQ(monitor::RenderScoreBar(2.0, -1.0, 4.0, 10), "[#####     ]");
  EXPECT_EQ(monitor::RenderScoreBar(2.0, std::nan(""), 4.0, 10), "[#####     ]");
}

TEST(RenderSpectrumBars, OneCharacterPerBinOrPerGroupShowingTheStrongest) {
  const float inf = std::numeric_limits<float>::infinity();
  // Ramp " .:-=+*#%@" from 0 dB to 90 dB: ten dB per step; finite levels show at least '.'.
  EXPECT_EQ(monitor::RenderSpectrumBars({0.0F, 20.0F, 44.0F, 90.0F, -inf, 200.0F, -50.0F}, 80, 0.0, 90.0), ".:=@ @.");
  // 385 values in 77 columns: five bins per column; one strong bin lights its own column only.
  std::vector<float> levels(385, 0.0F);
  levels[300] = 60.0F;
  const std::string line = monitor::RenderSpectrumBars(levels, 77, 0.0, 60.0);
  ASSERT_EQ(line.size(), 77U);
  EXPECT_EQ(monitor::SpectrumColumn(300, 385, 77), 60);
  EXPECT_EQ(line[60], '@');
  EXPECT_EQ(line.find('@'), line.rfind('@'));
  EXPECT_EQ(monitor::SpectrumColumn(384, 385, 77), 76);
  // A flat frame (floor equals top) shows every finite bin at full height.
  EXPECT_EQ(monitor::RenderSpectrumBars({5.0F, 5.0F, -inf}, 10, 5.0, 5.0), "@@ ");
}

monitor::TViewState FullState() {
  monitor::TViewState s;
  s.host = "127.0.0.1";
  s.jsonPort = 33377;
  s.spectrPort = 33399;
  s.resultConnected = s.spectrumConnected = true;
  s.result = station_client::TResultMessage{2, 0.05, {0.12, 0.01, std::nan(""), 0.06}, {-236.6, 45.0}};
  s.levels.assign(385, 10.0F);
  s.levels[44] = 41.25F;
  s.firstBin = 256;
  s.haveSpectrum = true;
  s.peak = station_client::FindSpectrumPeak(s.levels, s.firstBin);
  s.results = 12;
  s.spectra = 7;
  s.status = "12:00:00 connected to the spectrum port 127.0.0.1:33399";
  return s;
}

TEST(RenderView, ShowsAlertScoresAzimuthAndSpectrumWithinTheWidth) {
  const monitor::TViewState s = FullState();
  for (const int width : {40, 66, 80, 132}) {
    const std::vector<std::string> lines = monitor::RenderView(s, width, false);
    for (const std::string &l : lines) {
      EXPECT_LE(static_cast<int>(l.size()), width) << l;
    }
    if (width >= 66) {
      EXPECT_TRUE(Contains(lines, "Alert    Detected_Drone (2)")) << width;
      EXPECT_TRUE(Contains(lines, "Azimuth  123.4 deg")) << width;
      EXPECT_TRUE(Contains(lines, "peak 4687.5 Hz at 41.2 dB")) << width;
      EXPECT_TRUE(Contains(lines, "Score 0  [")) << width;
      EXPECT_TRUE(Contains(lines, "0.12    over")) << width;
      EXPECT_TRUE(Contains(lines, "n/a")) << width; // the score the station wrote as null
    }
  }
  // A small border's scores fill their column ("0.009175") and still stand apart from "over".
  monitor::TViewState small = s;
  small.result->brd = 0.002923;
  small.result->dots = {0.009175, 0.0012, 0.0, 0.0};
  EXPECT_TRUE(Contains(monitor::RenderView(small, 80, false), "0.009175 over"));
  EXPECT_TRUE(Contains(monitor::RenderView(small, 80, false), "0.0012  "));

  // The spectrum line runs from the frame's median (a flat floor of '.') to its peak ('@', with '^' under it).
  const std::vector<std::string> lines = monitor::RenderView(s, 80, false);
  const auto bar = std::find_if(lines.begin(), lines.end(), [](const std::string &l) { return l.rfind('|', 0) == 0; });
  ASSERT_NE(bar, lines.end());
  ASSERT_NE(bar + 1, lines.end());
  const std::size_t at = bar->find('@');
  EXPECT_EQ(at, bar->rfind('@'));
  EXPECT_EQ(std::count(bar->begin(), bar->end(), '.'), static_cast<std::ptrdiff_t>(bar->size()) - 3);
  ASSERT_NE(bar + 2, lines.end());
  EXPECT_EQ((bar + 1)->find('^'), at);
  EXPECT_EQ((bar + 1)->find("4687.5 Hz"), at + 2);
  EXPECT_EQ((bar + 2)->rfind("4.00 kHz", 0), 0U);
  EXPECT_NE((bar + 2)->find("10.00 kHz"), std::string::npos);

  // Colour escapes take no room: the coloured view clips at the same visible width.
  const std::vector<std::string> coloured = monitor::RenderView(s, 80, true);
  EXPECT_TRUE(Contains(coloured, "\x1b[1;31mDetected_Drone (2)\x1b[0m"));
  EXPECT_EQ(monitor::ClipToWidth("\x1b[32mabcdef\x1b[0mgh", 4), "\x1b[32mabcd\x1b[0m");

  monitor::TViewState empty;
  empty.host = "10.0.0.1";
  const std::vector<std::string> waiting = monitor::RenderView(empty, 80, false);
  EXPECT_TRUE(Contains(waiting, "(no result message yet)"));
  EXPECT_TRUE(Contains(waiting, "Spectrum (no frame yet)"));
  EXPECT_TRUE(Contains(waiting, "results :0 waiting"));
}

TEST(ParseMonitorOptions, ReadsEveryOptionAndRefusesBadValues) {
  monitor::TMonitorOptions o;
  std::string error;
  ASSERT_EQ(monitor::ParseMonitorOptions({"m"}, o, error), monitor::EMonitorParse::Run);
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.jsonPort, 33377);
  EXPECT_EQ(o.spectrPort, 33399);
  EXPECT_FALSE(o.json);
  EXPECT_EQ(o.fminHz, 4000.0);

  ASSERT_EQ(monitor::ParseMonitorOptions({"m", "--host", "localhost", "--json-port=1", "--spectr-port", "65535",
                                          "--json", "--count", "5", "--seconds=2.5", "--settings", "conf"},
                                         o, error),
            monitor::EMonitorParse::Run)
      << error;
  EXPECT_EQ(o.host, "localhost");
  EXPECT_EQ(o.jsonPort, 1);
  EXPECT_EQ(o.spectrPort, 65535);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.count, 5);
  EXPECT_EQ(o.seconds, 2.5);
  EXPECT_EQ(o.settingsDir, "conf/");
  EXPECT_EQ(monitor::ParseMonitorOptions({"m", "-h"}, o, error), monitor::EMonitorParse::Help);

  const std::vector<std::vector<std::string>> bad = {{"m", "--json-port", "0"},
                                                     {"m", "--json-port", "65536"},
                                                     {"m", "--spectr-port", "12a"},
                                                     {"m", "--count", "0"},
                                                     {"m", "--count", "-3"},
                                                     {"m", "--seconds", "-1"},
                                                     {"m", "--seconds", "nan"},
                                                     {"m", "--fmin", "32000"},
                                                     {"m", "--fmin", "1", "--settings", "d"},
                                                     {"m", "--host"},
                                                     {"m", "--bogus"},
                                                     {"m", "extra"},
                                                     {"m", "--json=1"},
                                                     {"m", "--json-port", "33399"},
                                                     {"m", "--host="}};
  for (const auto &args : bad) {
    error.clear();
    EXPECT_EQ(monitor::ParseMonitorOptions(args, o, error), monitor::EMonitorParse::Error) << args.back();
    EXPECT_FALSE(error.empty());
  }
}

} // namespace
