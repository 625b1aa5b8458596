// Start-up checks: every setting or training value the chain cannot run on is refused with one line naming
// the file and the key; the shipped settings pass.

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "detection/detection_check.h"
#include "detection_test_support.h"

namespace {

using detection::CheckDetectionSetup;
using detection::TDetectConfig;
using dtc_v2::TTrainingRes;

TTrainingRes GoodTraining() {
  TTrainingRes t;
  t.maxX.assign(8, 0.0);
  t.minX.assign(8, 1.0);
  t.X0.assign(8, 0.0);
  t.x00 = {0.0, 0.0};
  t.w = {std::vector<double>(16, 0.1), std::vector<double>(16, -0.1)};
  t.PowCount = 2;
  t.aabb = {-1.0, -1.0, 1.0, 1.0};
  t.NM = 16;
  t.M = 2;
  t.ind = {3, 17, 200};
  t.pp = {1, 2, 3};
  return t;
}

struct TCase {
  const char *name;
  std::function<void(TDetectConfig &, TTrainingRes &, bool &)> change;
  const char *file; // "detect" or "train"
  const char *key;  // quoted in the message
};

class CheckDetectionSetupTest : public testing::Test {
protected:
  dtest::TTempFile train_{"check_train.json", "{}"};

  std::string Check(const TDetectConfig &c, const TTrainingRes &t, bool dense) {
    return CheckDetectionSetup(c, t, dense, "settings/detect.json", train_.Path());
  }
};

TEST_F(CheckDetectionSetupTest, AcceptsConsistentSettingsForBothLookups) {
  TDetectConfig c = dtest::ShippedConfig();
  EXPECT_EQ(Check(c, GoodTraining(), false), "");
  EXPECT_EQ(Check(c, GoodTraining(), true), "");
  c.IsDynamicNet = true;
  TTrainingRes t = GoodTraining();
  for (int e = 0; e < 2 * 17; ++e) {
    t.mh.push_back(e % 17);
  }
  EXPECT_EQ(Check(c, t, false), "");
}

TEST_F(CheckDetectionSetupTest, RefusesEachBadValueNamingFileAndKey) {
  const std::vector<TCase> cases = {
      {"NFFT not a power of two", [](auto &c, auto &, auto &) { c.NFFT = 1000; }, "detect", "NFFT"},
      {"NFFT below 8", [](auto &c, auto &, auto &) { c.NFFT = 4; }, "detect", "NFFT"},
      {"OverlapFFT 1", [](auto &c, auto &, auto &) { c.OverlapFFT = 1.0; }, "detect", "OverlapFFT"},
      {"OverlapFFT negative", [](auto &c, auto &, auto &) { c.OverlapFFT = -0.1; }, "detect", "OverlapFFT"},
      {"OverlapFFT leaves bands empty", [](auto &c, auto &, auto &) { c.OverlapFFT = 0.25; }, "detect", "OverlapFFT"},
      {"F_Smp absent", [](auto &c, auto &, auto &) { c.F_Smp = 0; }, "detect", "F_Smp"},
      {"F_mid below F_min (compiled-in 100)", [](auto &c, auto &, auto &) { c.F_mid = 100; }, "detect", "F_mid"},
      {"F_mid above F_max", [](auto &c, auto &, auto &) { c.F_mid = 11000; }, "detect", "F_mid"},
      {"F_max above Nyquist", [](auto &c, auto &, auto &) { c.F_max = 20000; }, "detect", "F_max"},
      {"F_min negative", [](auto &c, auto &, auto &) { c.F_min = -5; }, "detect", "F_min"},
      {"JJ 1", [](auto &c, auto &, auto &) { c.JJ = 1; }, "detect", "JJ"},
      {"N_MFCC above JJ - 1", [](auto &c, auto &, auto &) { c.N_MFCC = 12; }, "detect", "N_MFCC"},
      {"N_MFCC negative", [](auto &c, auto &, auto &) { c.N_MFCC = -1; }, "detect", "N_MFCC"},
      {"MF_Wnd too wide", [](auto &c, auto &, auto &) { c.MF_Wnd = 700; }, "detect", "MF_Wnd"},
      {"MF_Wnd negative", [](auto &c, auto &, auto &) { c.MF_Wnd = -1; }, "detect", "MF_Wnd"},
      {"band edge at NBins",
       [](auto &c, auto &t, auto &) {
         c.JJ = 2;
         c.N_MFCC = 1;
         c.F_min = 250;
         c.F_mid = 2625;
         c.F_max = 5000;
         t.maxX.resize(3);
         t.minX.resize(3);
         t.X0.resize(3);
       },
       "detect", "JJ"},
      {"M 0", [](auto &c, auto &, auto &) { c.M = 0; }, "detect", "M"},
      {"KK 0", [](auto &c, auto &, auto &) { c.KK = 0; }, "detect", "KK"},
      {"NN 0", [](auto &c, auto &, auto &) { c.NN = 0; }, "detect", "NN"},
      {"KN omitted (0)", [](auto &c, auto &, auto &) { c.KN = 0; }, "detect", "KN"},
      {"window too long", [](auto &c, auto &, auto &) { c.KN = 2000000; }, "detect", "KN"},
      {"no training file name", [](auto &c, auto &, auto &) { c.js_train_fname.clear(); }, "detect", "js_train_fname"},
      {"maxX short", [](auto &, auto &t, auto &) { t.maxX.resize(7); }, "train", "maxX"},
      {"minX short", [](auto &, auto &t, auto &) { t.minX.clear(); }, "train", "minX"},
      {"minX zero divisor", [](auto &, auto &t, auto &) { t.minX[5] = 0.0; }, "train", "minX"},
      {"X0 short", [](auto &, auto &t, auto &) { t.X0.resize(3); }, "train", "X0"},
      {"x00 short", [](auto &, auto &t, auto &) { t.x00.resize(1); }, "train", "x00"},
      {"w rows fewer than M", [](auto &, auto &t, auto &) { t.w.resize(1); }, "train", "w"},
      {"w rows unequal", [](auto &, auto &t, auto &) { t.w[1].resize(8); }, "train", "w"},
      {"w rows not a multiple of X0",
       [](auto &, auto &t, auto &) {
         t.w[0].resize(12);
         t.w[1].resize(12);
         t.PowCount = 1;
       },
       "train", "w"},
      {"w rows shorter than X0 (PowCount 0)",
       [](auto &, auto &t, auto &) {
         t.w[0].resize(4);
         t.w[1].resize(4);
         t.PowCount = 0;
       },
       "train", "w"},
      {"aabb short", [](auto &, auto &t, auto &) { t.aabb.resize(3); }, "train", "aabb"},
      {"aabb inverted", [](auto &, auto &t, auto &) { t.aabb[2] = -2.0; }, "train", "aabb"},
      {"NM 0", [](auto &, auto &t, auto &) { t.NM = 0; }, "train", "NM"},
      {"bins beyond 32 bits", [](auto &, auto &t, auto &) { t.NM = 50000; }, "train", "NM"},
      {"mh short",
       [](auto &c, auto &t, auto &) {
         c.IsDynamicNet = true;
         t.mh.assign(20, 0.0);
       },
       "train", "mh"},
      {"mh descending",
       [](auto &c, auto &t, auto &) {
         c.IsDynamicNet = true;
         for (int e = 0; e < 34; ++e) {
           t.mh.push_back(e == 20 ? -5.0 : e % 17);
         }
       },
       "train", "mh"},
      {"pp longer than ind", [](auto &, auto &t, auto &) { t.pp.push_back(1); }, "train", "pp"},
      {"pp sums to 0",
       [](auto &, auto &t, auto &) {
         t.pp = {1, -1, 0};
       },
       "train", "pp"},
      {"pp and ind empty",
       [](auto &, auto &t, auto &) {
         t.pp.clear();
         t.ind.clear();
       },
       "train", "pp"},
      {"ind descending (sorted lookup)",
       [](auto &, auto &t, auto &) {
         t.ind = {17, 3, 200};
       },
       "train", "ind"},
      {"ind repeated (sorted lookup)",
       [](auto &, auto &t, auto &) {
         t.ind = {3, 3, 200};
       },
       "train", "ind"},
      {"ind beyond NM^M (dense)",
       [](auto &, auto &t, auto &dense) {
         dense = true;
         t.ind = {3, 17, 256};
       },
       "train", "ind"},
      {"ind negative (dense)",
       [](auto &, auto &t, auto &dense) {
         dense = true;
         t.ind = {-1, 17, 200};
       },
       "train", "ind"},
      {"dense table too large",
       [](auto &, auto &t, auto &dense) {
         dense = true;
         t.NM = 5000;
       },
       "train", "NM"},
  };
  for (const TCase &k : cases) {
    SCOPED_TRACE(k.name);
    TDetectConfig c = dtest::ShippedConfig();
    TTrainingRes t = GoodTraining();
    bool dense = false;
    k.change(c, t, dense);
    const std::string why = Check(c, t, dense);
    const std::string file = std::string(k.file) == "detect" ? "settings/detect.json: " : train_.Path() + ": ";
    EXPECT_EQ(why.rfind(file, 0), 0U) << why;
    EXPECT_NE(why.find("\"" + std::string(k.key) + "\""), std::string::npos) << why;
    EXPECT_EQ(why.find('\n'), std::string::npos) << why;
  }
}

TEST_F(CheckDetectionSetupTest, NamesTheValueInTheMessage) {
  TDetectConfig c = dtest::ShippedConfig();
  c.NFFT = 1000;
  EXPECT_EQ(CheckDetectionSetup(c, GoodTraining(), false, "detect.json", train_.Path())
                .rfind("detect.json: \"NFFT\" 1000 must be a power of two >= 8", 0),
            0U);
}

TEST_F(CheckDetectionSetupTest, RefusesAMissingOrEmptyTrainingFile) {
  const TDetectConfig c = dtest::ShippedConfig();
  const std::string missing = CheckDetectionSetup(c, TTrainingRes(), false, "detect.json", "/nonexistent/t.json");
  EXPECT_EQ(missing.rfind("/nonexistent/t.json: training file cannot be opened", 0), 0U) << missing;
  const std::string empty = Check(c, TTrainingRes(), false);
  EXPECT_NE(empty.find("holds no training data"), std::string::npos) << empty;
}

TEST_F(CheckDetectionSetupTest, ShippedSettingsAndTrainingFilePass) {
  const std::string dir = std::string(ORMELIN_SOURCE_DIR) + "/settings/";
  TDetectConfig c = dtest::ShippedConfig();
  if (std::filesystem::exists(dir + "detect.json")) {
    c.ReadFromJson(dir + "detect.json");
  }
  TTrainingRes t;
  ASSERT_TRUE(t.Load(dir + "train.json", c.IsDynamicNet));
  EXPECT_EQ(CheckDetectionSetup(c, t, false, "detect.json", dir + "train.json"), "");
  EXPECT_EQ(CheckDetectionSetup(c, t, true, "detect.json", dir + "train.json"), "");
}

TEST(ResolveTrainingPath, FallsBackToTheSettingsDirectoryForRelativeNames) {
  const auto dir = std::filesystem::temp_directory_path() / ("ormelin_resolve_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string settings = dir.string() + "/";
  std::ofstream(settings + "only_in_settings.json") << "{}";
  const std::string local = "ormelin_resolve_local_" + std::to_string(::getpid()) + ".json";
  std::ofstream(local) << "{}";
  std::ofstream(settings + local) << "{}";

  EXPECT_EQ(detection::ResolveTrainingPath("only_in_settings.json", settings), settings + "only_in_settings.json");
  EXPECT_EQ(detection::ResolveTrainingPath(local, settings), local) << "the working directory comes first";
  EXPECT_EQ(detection::ResolveTrainingPath("nowhere.json", settings), "nowhere.json");
  const std::string absolute = settings + "nowhere.json";
  EXPECT_EQ(detection::ResolveTrainingPath(absolute, "/other/"), absolute);
  EXPECT_EQ(detection::ResolveTrainingPath("", settings), "");

  std::filesystem::remove(local);
  std::filesystem::remove_all(dir);
}

} // namespace
