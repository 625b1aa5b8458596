#include "dir_def_core/direction_settings.h"

#include "test_signals.h"

#include <gtest/gtest.h>

#include <functional>

using dir_def_core::CheckDirectionSettings;

namespace {

TDirDefParams Shipped() { // microphones in cm and degrees, as read from the file
  TDirDefParams p;
  p.FSampling = 37500;
  p.VSound = 343;
  p.SM_Disp = 24;
  p.FrameSize = 1024;
  p.F_flt_min = 4000;
  p.F_flt_max = 20000;
  p.OutAvgLen = 8;
  p.VinerWnd = 1; // unused while EnableViner is off
  p.EnableViner = false;
  p.Mics = ddc_test::ShippedMics();
  return p;
}

} // namespace

TEST(CheckDirectionSettings, AcceptsWorkableSettingsAtTheirLimits) {
  EXPECT_EQ(CheckDirectionSettings(Shipped()), "");
  TDirDefParams p = Shipped();
  p.EnableViner = true;
  p.VinerWnd = 2;
  p.SM_Disp = 506; // 5 + 506 = 1024/2 - 1
  EXPECT_EQ(CheckDirectionSettings(p), "");
  p.SM_Disp = 20; // the widest pair (17.3 cm) needs 0.1732 * 37500 / 343 + 1 = 19.94 samples
  EXPECT_EQ(CheckDirectionSettings(p), "");
  p.FitGate = 0.5; // the robust block mean's two settings, off (0) up to their widest
  p.RobustAvg = 180;
  EXPECT_EQ(CheckDirectionSettings(p), "");
}

TEST(CheckDirectionSettings, RefusesWithOneLineNamingKeyAndValue) {
  struct Case {
    std::function<void(TDirDefParams &)> change;
    std::string keyAndValue;
  };
  const std::vector<Case> cases{
      {[](TDirDefParams &p) { p.FrameSize = 1000; }, "\"FrameSize\" = 1000 "},
      {[](TDirDefParams &p) { p.FrameSize = 4; }, "\"FrameSize\" = 4 "},
      {[](TDirDefParams &p) { p.SM_Disp = -1; }, "\"SM_Disp\" = -1 "},
      {[](TDirDefParams &p) { p.SM_Disp = 507; }, "\"SM_Disp\" = 507 "},
      {[](TDirDefParams &p) { p.FrameSize = 32; }, "\"SM_Disp\" = 24 "},    // 5 + 24 > 15
      {[](TDirDefParams &p) { p.SM_Disp = 19; }, "\"SM_Disp\" = 19 "},      // below 19.94
      {[](TDirDefParams &p) { p.VSound = 250; }, "\"SM_Disp\" = 24 "},      // 0.1732 * 37500 / 250 + 1 = 27
      {[](TDirDefParams &p) { p.FSampling = 48000; }, "\"SM_Disp\" = 24 "}, // 25.2
      {[](TDirDefParams &p) { p.OutAvgLen = 0; }, "\"OutAvgLen\" = 0 "},
      {[](TDirDefParams &p) { p.EnableViner = true; }, "\"VinerWnd\" = 1 "},
      {[](TDirDefParams &p) { p.FSampling = 0; }, "\"FSampling\" = 0 "},
      {[](TDirDefParams &p) { p.FSampling = std::nan(""); }, "\"FSampling\" = nan "},
      {[](TDirDefParams &p) { p.VSound = -343; }, "\"VSound\" = -343 "},
      {[](TDirDefParams &p) { p.F_flt_max = 4000; }, "\"F_flt_max\" = 4000 "},
      {[](TDirDefParams &p) { p.Mics[2].Fi = std::nan(""); }, "\"Mic3_Fi\" = nan "},
      {[](TDirDefParams &p) { p.Mics = std::vector<TSrcMirophoneLocation>(4); }, "\"Mic2_L\" = 0 "},
      {[](TDirDefParams &p) { p.FitGate = -0.5; }, "\"FitGate\" = -0.5 "},
      {[](TDirDefParams &p) { p.FitGate = std::nan(""); }, "\"FitGate\" = nan "},
      {[](TDirDefParams &p) { p.RobustAvg = 181; }, "\"RobustAvg\" = 181 "},
      {[](TDirDefParams &p) { p.RobustAvg = -1; }, "\"RobustAvg\" = -1 "},
  };
  for (const Case &c : cases) {
    TDirDefParams p = Shipped();
    c.change(p);
    const std::string line = CheckDirectionSettings(p);
    EXPECT_NE(line.find(c.keyAndValue), std::string::npos) << c.keyAndValue << " got: " << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}
