#include "app/dir_def_params.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

class TDirDefParamsTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string tmpl = testing::TempDir() + "dir_def_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string &text) {
    std::string path = (dir_ / "dir_def.json").string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // Loads `text` into a record whose fields all hold non-zero marks, so "left unchanged" and "read as zero"
  // cannot be confused.
  TDirDefParams Load(const std::string &text) {
    TDirDefParams p = Marked();
    p.LoadJS(Write(text));
    return p;
  }

  static TDirDefParams Marked() {
    TDirDefParams p;
    p.ColorBrd = 9.0;
    p.RecOutFolder = "rec_mark";
    p.OfflinInFolder = "in_mark";
    p.CurrActType = 1;
    p.FSampling = 9.0;
    p.VSound = 9.0;
    p.SM_Disp = 9;
    p.FrameSize = 9;
    p.FrameOverlapPercent = 9.0;
    p.F_flt_min = 9.0;
    p.F_flt_max = 9.0;
    p.VinerWnd = 9;
    p.OutAvgLen = 9;
    p.EnableViner = true;
    p.PairRefine = true;
    p.FitGate = 9.0;
    p.RobustAvg = 9.0;
    for (auto &m : p.Mics) {
      m = {9.0, 9.0, 9.0};
    }
    return p;
  }

  fs::path dir_;
};

void ExpectEveryNumberZero(const TDirDefParams &p) {
  EXPECT_EQ(p.ColorBrd, 0.0);
  EXPECT_EQ(p.CurrActType, 0);
  EXPECT_EQ(p.FSampling, 0.0);
  EXPECT_EQ(p.VSound, 0.0);
  EXPECT_EQ(p.SM_Disp, 0);
  EXPECT_EQ(p.FrameSize, 0);
  EXPECT_EQ(p.FrameOverlapPercent, 0.0);
  EXPECT_EQ(p.F_flt_min, 0.0);
  EXPECT_EQ(p.F_flt_max, 0.0);
  EXPECT_EQ(p.VinerWnd, 0);
  EXPECT_EQ(p.OutAvgLen, 0);
  EXPECT_FALSE(p.EnableViner);
  EXPECT_FALSE(p.PairRefine);
  EXPECT_EQ(p.FitGate, 0.0);
  EXPECT_EQ(p.RobustAvg, 0.0);
  ASSERT_EQ(p.Mics.size(), 4U);
  for (const auto &m : p.Mics) {
    EXPECT_EQ(m.L, 0.0);
    EXPECT_EQ(m.Fi, 0.0);
    EXPECT_EQ(m.Tetta, 0.0);
  }
}

TEST_F(TDirDefParamsTest, ReadsShippedSettingsFile) {
  TDirDefParams p = Marked();
  p.LoadJS(ORMELIN_SOURCE_DIR "/settings/dir_def.json");
  EXPECT_EQ(p.FSampling, 37500.0);
  EXPECT_EQ(p.VSound, 343.0);
  EXPECT_EQ(p.SM_Disp, 24);
  EXPECT_EQ(p.FrameSize, 1024);
  EXPECT_EQ(p.FrameOverlapPercent, 50.0);
  EXPECT_EQ(p.F_flt_min, 4000.0);
  EXPECT_EQ(p.F_flt_max, 20000.0);
  EXPECT_EQ(p.VinerWnd, 16);
  EXPECT_FALSE(p.EnableViner);
  EXPECT_EQ(p.OutAvgLen, 8);
  EXPECT_TRUE(p.PairRefine);
  EXPECT_EQ(p.FitGate, 0.5);
  EXPECT_EQ(p.RobustAvg, 10.0);
  EXPECT_EQ(p.CurrActType, 0);
  EXPECT_EQ(p.ColorBrd, 0.5);
  EXPECT_EQ(p.RecOutFolder, "rec_folder");
  EXPECT_EQ(p.OfflinInFolder, "in_offlin_folder");
  const double fi[] = {0.0, 0.0, 120.0, 240.0};
  const double tetta[] = {0.0, 90.0, 90.0, 90.0};
  for (std::size_t m = 0; m < 4; ++m) {
    EXPECT_EQ(p.Mics[m].L, 10.0) << "mic " << m;
    EXPECT_EQ(p.Mics[m].Fi, fi[m]) << "mic " << m;
    EXPECT_EQ(p.Mics[m].Tetta, tetta[m]) << "mic " << m;
  }
}

TEST_F(TDirDefParamsTest, FlagsAreOnOnlyForTheInteger1) {
  EXPECT_TRUE(Load(R"({"EnableViner":1,"PairRefine":1})").EnableViner);
  EXPECT_TRUE(Load(R"({"EnableViner":1,"PairRefine":1})").PairRefine);
  for (const char *off : {"0", "2", "-1", "true", "1.0", "\"1\""}) {
    const std::string text = std::string(R"({"EnableViner":)") + off + R"(,"PairRefine":)" + off + "}";
    const TDirDefParams p = Load(text);
    EXPECT_FALSE(p.EnableViner) << off;
    EXPECT_FALSE(p.PairRefine) << off;
  }
}

TEST_F(TDirDefParamsTest, OutAvgLenTakesAnyNumberTruncated) {
  EXPECT_EQ(Load(R"({"OutAvgLen":7.9})").OutAvgLen, 7);
  EXPECT_EQ(Load(R"({"OutAvgLen":7})").OutAvgLen, 7);
  EXPECT_EQ(Load(R"({"OutAvgLen":-3.7})").OutAvgLen, -3);
  EXPECT_EQ(Load(R"({"OutAvgLen":1e30})").OutAvgLen, std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(Load(R"({"OutAvgLen":-1e30})").OutAvgLen, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(Load(R"({"OutAvgLen":"8"})").OutAvgLen, 0);
}

TEST_F(TDirDefParamsTest, CurrActTypeStoresOnlyKnownTypes) {
  EXPECT_EQ(Load(R"({"CurrActType":2})").CurrActType, 2);
  EXPECT_EQ(Load(R"({"CurrActType":5})").CurrActType, 1);   // unchanged
  EXPECT_EQ(Load(R"({"CurrActType":-1})").CurrActType, 1);  // unchanged
  EXPECT_EQ(Load(R"({})").CurrActType, 0);                  // absent reads as 0, which is stored
  EXPECT_EQ(Load(R"({"CurrActType":2.0})").CurrActType, 0); // not an integer: absent
}

TEST_F(TDirDefParamsTest, NumbersOfAnyKindAndIntegersOnlyAsIntegers) {
  const TDirDefParams p = Load(R"({"FSampling":48000,"VSound":343.5,"F_flt_min":4294967296,
                                   "SM_Disp":30,"FrameSize":2048.0,"VinerWnd":4294967296,"Mic3_Fi":90})");
  EXPECT_EQ(p.FSampling, 48000.0);
  EXPECT_EQ(p.VSound, 343.5);
  EXPECT_EQ(p.F_flt_min, 4294967296.0);
  EXPECT_EQ(p.SM_Disp, 30);
  EXPECT_EQ(p.FrameSize, 0); // a double where an integer belongs reads as absent
  EXPECT_EQ(p.VinerWnd, 0);  // does not fit 32 bits: absent
  EXPECT_EQ(p.Mics[2].Fi, 90.0);
}

TEST_F(TDirDefParamsTest, AbsentKeysReadAsZeroAndFoldersKeepTheirValue) {
  const TDirDefParams p = Load("{}");
  ExpectEveryNumberZero(p);
  EXPECT_EQ(p.RecOutFolder, "rec_mark");
  EXPECT_EQ(p.OfflinInFolder, "in_mark");
}

TEST_F(TDirDefParamsTest, SkipsUtf8ByteOrderMark) {
  EXPECT_EQ(Load("\xEF\xBB\xBF{\"FSampling\":48000}").FSampling, 48000.0);
}

TEST_F(TDirDefParamsTest, FoldersAreCopiedUpToTheirFirstNul) {
  const TDirDefParams p = Load(R"({"RecOutFolder":"out\u0000tail","OfflinInFolder":""})");
  EXPECT_EQ(p.RecOutFolder, "out");
  EXPECT_EQ(p.OfflinInFolder, "");
}

TEST_F(TDirDefParamsTest, SyntaxErrorOrNonObjectReadsEveryKeyAsAbsent) {
  for (const char *text :
       {R"({"FSampling":37500,)", R"({"FSampling":37500} trailing)", "[1,2,3]", "42", "", R"({"FSampling":NaN})"}) {
    const TDirDefParams p = Load(text);
    ExpectEveryNumberZero(p);
    EXPECT_EQ(p.RecOutFolder, "rec_mark") << text;
  }
}

TEST_F(TDirDefParamsTest, WrongTypesAtEveryKeyNeverCrash) {
  const TDirDefParams p = Load(R"({"CurrActType":"x","EnableViner":[1],"OutAvgLen":{},"F_flt_min":null,
      "F_flt_max":"1","FSampling":true,"VSound":[],"SM_Disp":1.5,"FrameSize":"1024","VinerWnd":false,
      "FrameOverlapPercent":{},"RecOutFolder":7,"OfflinInFolder":null,"ColorBrd":"0.5","PairRefine":{},
      "Mic1_L":"10","Mic1_Fi":[],"Mic1_Tetta":{},"Mic2_L":null,"Mic2_Fi":true,"Mic2_Tetta":"",
      "Mic3_L":[10],"Mic3_Fi":{"a":1},"Mic3_Tetta":false,"Mic4_L":"a","Mic4_Fi":null,"Mic4_Tetta":[]})");
  ExpectEveryNumberZero(p);
  EXPECT_EQ(p.RecOutFolder, "rec_mark");
  EXPECT_EQ(p.OfflinInFolder, "in_mark");
}

TEST_F(TDirDefParamsTest, UnopenableFileReportsAndKeepsEveryField) {
  for (const std::string &path : {(dir_ / "missing.json").string(), dir_.string()}) {
    TDirDefParams p = Marked();
    testing::internal::CaptureStderr();
    p.LoadJS(path);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not open file for reading!\n") << path;
    EXPECT_EQ(p.FSampling, 9.0);
    EXPECT_EQ(p.SM_Disp, 9);
    EXPECT_EQ(p.OutAvgLen, 9);
    EXPECT_TRUE(p.EnableViner);
    EXPECT_EQ(p.CurrActType, 1);
    EXPECT_EQ(p.RecOutFolder, "rec_mark");
    EXPECT_EQ(p.Mics[3].Tetta, 9.0);
  }
}

} // namespace
