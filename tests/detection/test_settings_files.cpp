// Reading detect.json and the training file: the format's quirks, and broken files that must read as
// absent instead of crashing.

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <utility>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "detection/detect_config.h"
#include "detection/dtc_v2/json_file.h"
#include "detection/dtc_v2/training_res.h"
#include "detection_test_support.h"

namespace {

using detection::TDetectConfig;
using dtc_v2::TTrainingRes;
using dtest::TTempFile;

const char *kFullDetect = R"({
  "pvcalk": {"NFFT": 1024, "OverlapFFT": 0.5, "N_MFCC": 6, "JJ": 12, "F_max": 10000, "F_mid": 7000,
             "F_min": 4000, "F_Smp": 37500, "MF_Wnd": 30},
  "detect": {"js_train_fname": "train.json", "border": 0.001, "KK": 10, "KN": 12, "NN": 11, "M": 2,
             "IsDynamicNet": 0}
})";

TDetectConfig ReadDetect(const std::string &text) {
  TTempFile f("detect.json", text);
  TDetectConfig c;
  c.ReadFromJson(f.Path());
  return c;
}

TEST(TDetectConfig, ReadsEveryKeyOfACompleteFile) {
  const TDetectConfig c = ReadDetect(kFullDetect);
  EXPECT_EQ(c.NFFT, 1024);
  EXPECT_DOUBLE_EQ(c.OverlapFFT, 0.5);
  EXPECT_EQ(c.N_MFCC, 6);
  EXPECT_EQ(c.JJ, 12);
  EXPECT_EQ(c.F_max, 10000);
  EXPECT_EQ(c.F_mid, 7000);
  EXPECT_EQ(c.F_min, 4000);
  EXPECT_EQ(c.F_Smp, 37500);
  EXPECT_EQ(c.MF_Wnd, 30);
  EXPECT_EQ(c.js_train_fname, "train.json");
  EXPECT_DOUBLE_EQ(c.border, 0.001);
  EXPECT_EQ(c.KK, 10);
  EXPECT_EQ(c.KN, 12);
  EXPECT_EQ(c.NN, 11);
  EXPECT_EQ(c.M, 2);
  EXPECT_FALSE(c.IsDynamicNet);
}

TEST(TDetectConfig, AbsentKeyReadsAsZeroNotDefault) {
  const TDetectConfig c = ReadDetect(R"({"pvcalk": {"NFFT": 512}, "detect": {"NN": 11, "border": 1}})");
  EXPECT_EQ(c.KN, 0) << "omitted \"KN\" must not keep its default 12";
  EXPECT_EQ(c.NFFT, 512);
  EXPECT_EQ(c.JJ, 0);
  EXPECT_DOUBLE_EQ(c.OverlapFFT, 0.0);
  EXPECT_EQ(c.js_train_fname, "");
  EXPECT_DOUBLE_EQ(c.border, 1.0) << "an integer border reads as a double";
}

TEST(TDetectConfig, IsDynamicNetIsOnOnlyForTheInteger1) {
  EXPECT_TRUE(ReadDetect(R"({"detect": {"IsDynamicNet": 1}})").IsDynamicNet);
  EXPECT_FALSE(ReadDetect(R"({"detect": {"IsDynamicNet": true}})").IsDynamicNet);
  EXPECT_FALSE(ReadDetect(R"({"detect": {"IsDynamicNet": 1.0}})").IsDynamicNet);
  EXPECT_FALSE(ReadDetect(R"({"detect": {"IsDynamicNet": 2}})").IsDynamicNet);
  EXPECT_FALSE(ReadDetect(R"({"detect": {"IsDynamicNet": "1"}})").IsDynamicNet);
}

TEST(TDetectConfig, WrongTypesReadAsAbsent) {
  const TDetectConfig c = ReadDetect(R"({
    "pvcalk": {"NFFT": 1024.0, "OverlapFFT": "0.5", "N_MFCC": 6.7, "JJ": 4294967296, "F_max": [1], "F_Smp": null},
    "detect": {"js_train_fname": 17, "border": true, "KK": {"a": 1}, "M": -3}})");
  EXPECT_EQ(c.NFFT, 0) << "a non-integer number at an integer key reads as absent";
  EXPECT_DOUBLE_EQ(c.OverlapFFT, 0.0);
  EXPECT_EQ(c.N_MFCC, 0);
  EXPECT_EQ(c.JJ, 0) << "an integer beyond 32 bits reads as absent";
  EXPECT_EQ(c.F_max, 0);
  EXPECT_EQ(c.F_Smp, 0);
  EXPECT_EQ(c.js_train_fname, "");
  EXPECT_DOUBLE_EQ(c.border, 0.0);
  EXPECT_EQ(c.KK, 0);
  EXPECT_EQ(c.M, -3) << "a negative integer is still an integer";
}

TEST(TDetectConfig, BrokenDocumentsReadAsEmpty) {
  for (const char *text : {R"({"pvcalk": {"NFFT": 1024,)", "[1, 2, 3]", R"({"pvcalk": 5, "detect": [1]})",
                           "\"just a string\"", "{}", "\x01\x02garbage"}) {
    SCOPED_TRACE(text);
    const TDetectConfig c = ReadDetect(text);
    EXPECT_EQ(c.NFFT, 0);
    EXPECT_EQ(c.KN, 0);
    EXPECT_DOUBLE_EQ(c.border, 0.0);
    EXPECT_EQ(c.js_train_fname, "");
  }
}

TEST(TDetectConfig, UnopenableFileKeepsDefaultsAndSaysSo) {
  TDetectConfig c;
  testing::internal::CaptureStderr();
  c.ReadFromJson("/nonexistent/dir/detect.json");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not open file for reading!\n");
  EXPECT_EQ(c.KN, 12);
  EXPECT_EQ(c.js_train_fname, "train.json");

  testing::internal::CaptureStderr();
  c.ReadFromJson(std::filesystem::temp_directory_path().string()); // a directory
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not open file for reading!\n");
  EXPECT_EQ(c.NFFT, 1024);
}

TTrainingRes LoadTraining(const std::string &text, bool dynamic = false) {
  TTempFile f("train.json", text);
  TTrainingRes t;
  EXPECT_TRUE(t.Load(f.Path(), dynamic));
  return t;
}

rapidjson::Document ParseText(const std::string &text) {
  TTempFile f("parse.json", text);
  rapidjson::Document doc;
  EXPECT_TRUE(dtc_v2::json::ParseFile(f.Path(), doc));
  return doc;
}

// rapidjson's own full-precision conversion reached undefined behaviour on these: a zero significand with an
// exponent or a long fraction (zero passed to clz), and a value below the subnormals with 13 or more digits
// (cached power looked up out of bounds).
TEST(JsonParseFile, ZerosAndTinyValuesThatBrokeTheConverterReadAsZero) {
  const std::string zero43 = "0." + std::string(43, '0');
  for (const std::string &text : {std::string("0e38"), std::string("0e-23"), std::string("0.00e92"), zero43,
                                  std::string("0.1111111111111e-336"), std::string("1e-400")}) {
    SCOPED_TRACE(text);
    const rapidjson::Document doc = ParseText("[" + text + ", -" + text + "]");
    ASSERT_TRUE(doc.IsArray());
    ASSERT_EQ(doc.Size(), 2U);
    EXPECT_TRUE(doc[0].IsDouble() && doc[0].GetDouble() == 0.0 && !std::signbit(doc[0].GetDouble()));
    EXPECT_TRUE(doc[1].IsDouble() && doc[1].GetDouble() == 0.0 && std::signbit(doc[1].GetDouble()));
  }
  // The shortest inputs the fuzzer reduced to, inside files that are otherwise read as usual.
  const TDetectConfig c = ReadDetect(R"({"detect": {"border": 0e38, "KK": 10}})");
  EXPECT_EQ(c.border, 0.0);
  EXPECT_EQ(c.KK, 10);
  EXPECT_EQ(LoadTraining(R"({"maxX": [0.92, 0e273, -0.0000000000000000000000000000000000000000000]})").maxX,
            (std::vector<double>{0.92, 0.0, -0.0}));
}

// The expected doubles are the same texts as C++ literals, which the compiler rounds correctly; the last one
// lies so near a halfway point that rapidjson's own conversion rounded it the wrong way.
TEST(JsonParseFile, NumbersReadAsTheNearestDoubleWithRapidjsonsIntegerTypes) {
  const std::pair<const char *, double> doubles[] = {{"0.1", 0.1},
                                                     {"1e-5", 1e-5},
                                                     {"1E2", 1E2},
                                                     {"-0.0", -0.0},
                                                     {"2.2250738585072014e-308", 2.2250738585072014e-308},
                                                     {"4.9406564584124654e-324", 4.9406564584124654e-324},
                                                     {"1.7976931348623157e308", 1.7976931348623157e308},
                                                     {"1.7976931348623158e308", 1.7976931348623158e308},
                                                     {"18446744073709551616", 18446744073709551616.0},
                                                     {"1.98752625478139467011829e-15", 1.98752625478139467011829e-15}};
  for (const auto &[text, expected] : doubles) {
    SCOPED_TRACE(text);
    const rapidjson::Document doc = ParseText(text);
    ASSERT_TRUE(doc.IsDouble());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(doc.GetDouble()), std::bit_cast<std::uint64_t>(expected));
  }

  // Integers take the narrowest of rapidjson's types, which decides whether an integer key accepts them.
  const rapidjson::Document ints = ParseText(R"([-0, -2147483648, 2147483648, -2147483649, 4294967296,
      -9223372036854775808, 18446744073709551615, -9223372036854775809])");
  ASSERT_TRUE(ints.IsArray() && ints.Size() == 8U);
  EXPECT_TRUE(ints[0].IsInt() && ints[0].GetInt() == 0) << "-0 is the integer 0";
  EXPECT_TRUE(ints[1].IsInt() && ints[1].GetInt() == std::numeric_limits<std::int32_t>::min());
  EXPECT_TRUE(!ints[2].IsInt() && ints[2].IsUint() && ints[2].GetUint() == 2147483648U);
  EXPECT_TRUE(!ints[3].IsInt() && ints[3].IsInt64() && ints[3].GetInt64() == -2147483649LL);
  EXPECT_TRUE(!ints[4].IsUint() && ints[4].IsUint64() && ints[4].GetUint64() == 4294967296ULL);
  EXPECT_TRUE(ints[5].IsInt64() && ints[5].GetInt64() == std::numeric_limits<std::int64_t>::min());
  EXPECT_TRUE(!ints[6].IsInt64() && ints[6].GetUint64() == std::numeric_limits<std::uint64_t>::max());
  EXPECT_TRUE(ints[7].IsDouble() && ints[7].GetDouble() == -9223372036854775809.0);
}

// 1e400 the reader itself refuses; 1.8e308 passes its check but is no double either, and is refused alike.
TEST(JsonParseFile, NumberBeyondTheLargestDoubleMakesTheFileReadAsEmpty) {
  for (const char *number : {"1e400", "-1e400", "1.8e308", "1.7976931348623159e308", "0.1234567890123456789e325"}) {
    SCOPED_TRACE(number);
    const rapidjson::Document doc = ParseText(std::string(R"({"pvcalk": {"NFFT": 1024}, "x": )") + number + "}");
    EXPECT_TRUE(doc.IsObject() && doc.ObjectEmpty());
  }
  const TDetectConfig c = ReadDetect(R"({"pvcalk": {"NFFT": 1024}, "detect": {"border": 1e400}})");
  EXPECT_EQ(c.NFFT, 0);
  EXPECT_EQ(c.border, 0.0);
}

TEST(TTrainingRes, ReadsArraysWithTheirConversions) {
  const TTrainingRes t = LoadTraining(R"({
    "maxX": [1, 2.5, -3], "minX": [1, 1, 1], "X0": [0, 0, 0, 0, 0, 0, 0, 0], "x00": [0.5, 4294967296],
    "w": [[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16], [0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0]],
    "aabb": [-1, -1, 1, 1], "NM": 16.9, "M": 2, "pp": [3, 2.7, -2.7, 1e3], "ind": [1, 5, 9, 12],
    "mh": [0, 1, 2]})");
  EXPECT_EQ(t.maxX, (std::vector<double>{1.0, 2.5, -3.0}));
  EXPECT_EQ(t.x00, (std::vector<double>{0.5, 4294967296.0}));
  ASSERT_EQ(t.w.size(), 2U);
  EXPECT_EQ(t.w[0].size(), 16U);
  EXPECT_EQ(t.PowCount, 2) << "rows of 16 over X0 of 8";
  EXPECT_EQ(t.NM, 16) << "truncated toward zero";
  EXPECT_EQ(t.M, 2);
  EXPECT_EQ(t.pp, (std::vector<std::int32_t>{3, 2, -2, 1000}));
  EXPECT_EQ(t.ind, (std::vector<std::int32_t>{1, 5, 9, 12}));
  EXPECT_TRUE(t.mh.empty()) << "\"mh\" is read only for the dynamic net";
  EXPECT_EQ(LoadTraining(R"({"mh": [0, 1, 2]})", true).mh, (std::vector<double>{0, 1, 2}));
  EXPECT_TRUE(LoadTraining(R"({"maxX": [1]})", true).mh.empty());
}

TEST(TTrainingRes, BadValuesReadAsAbsentWithoutShiftingParallelArrays) {
  const TTrainingRes t = LoadTraining(R"({
    "maxX": [1, "2", 3], "minX": 5, "X0": [1, 2], "w": [[1, 2], "row"], "aabb": [1, null],
    "NM": "16", "M": 1e12, "pp": [1, 2, 3e10], "ind": [1, 2, 3]})");
  EXPECT_TRUE(t.maxX.empty());
  EXPECT_TRUE(t.minX.empty());
  EXPECT_EQ(t.X0.size(), 2U);
  EXPECT_TRUE(t.w.empty()) << "one bad row makes \"w\" absent";
  EXPECT_EQ(t.PowCount, 0) << "cannot be formed without \"w\"";
  EXPECT_TRUE(t.aabb.empty());
  EXPECT_EQ(t.NM, 0);
  EXPECT_EQ(t.M, 0) << "outside the 32-bit range";
  EXPECT_TRUE(t.pp.empty()) << "an element outside the 32-bit range makes the key absent";
  EXPECT_EQ(t.ind.size(), 3U);

  const TTrainingRes noX0 = LoadTraining(R"({"w": [[1, 2]], "X0": []})");
  EXPECT_EQ(noX0.PowCount, 0) << "no division by an empty X0";
  const TTrainingRes broken = LoadTraining(R"({"maxX": [1, 2)");
  EXPECT_TRUE(broken.maxX.empty());
}

TEST(TTrainingRes, ExtractDoubleArrayAppendsAndConvertsEveryIntegerKind) {
  rapidjson::Document doc;
  doc.Parse(R"({"a": [1, -2, 3000000000, -5000000000, 18446744073709551615, 0.25], "s": "x"})");
  std::vector<double> out{7.0};
  TTrainingRes::ExtractDoubleArray("a", doc, out);
  ASSERT_EQ(out.size(), 7U);
  EXPECT_EQ(out[0], 7.0) << "not cleared first";
  EXPECT_EQ(out[3], 3000000000.0);
  EXPECT_EQ(out[4], -5000000000.0);
  EXPECT_EQ(out[5], 18446744073709551615.0);
  EXPECT_EQ(out[6], 0.25);
  TTrainingRes::ExtractDoubleArray("missing", doc, out);
  TTrainingRes::ExtractDoubleArray("s", doc, out);
  EXPECT_EQ(out.size(), 7U);
  rapidjson::Document notObject;
  notObject.Parse("[1, 2]");
  TTrainingRes::ExtractDoubleArray("a", notObject, out);
  EXPECT_EQ(out.size(), 7U);
}

TEST(TTrainingRes, UnopenableFileReportsAndStaysEmpty) {
  TTrainingRes t;
  t.maxX = {1.0};
  testing::internal::CaptureStderr();
  EXPECT_FALSE(t.Load("/nonexistent/train.json", false));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not open file for reading!\n");
  EXPECT_TRUE(t.maxX.empty());
}

TEST(TTrainingRes, SaveThenLoadRestoresEveryValueExactly) {
  TTrainingRes t;
  t.maxX = {0.1, -1e-300, 123456.789, 1.0 / 3.0};
  t.minX = {1, 2, 3, 4};
  t.X0 = {0.5, 0.5, 0.5, 0.5};
  t.x00 = {std::nextafter(1.0, 2.0)};
  t.w = {{1, 2, 3, 4, 5, 6, 7, 8}};
  t.aabb = {-1.5, 2.25};
  t.pp = {1, -7, 2147483647};
  t.ind = {0, 3, 9};
  t.NM = 10;
  t.M = 1;
  t.mh = {0.0, 0.5, 1.0};
  TTempFile f("saved.json");
  ASSERT_TRUE(t.Save(f.Path()));
  TTrainingRes r;
  ASSERT_TRUE(r.Load(f.Path(), true));
  EXPECT_EQ(r.maxX, t.maxX);
  EXPECT_EQ(r.x00, t.x00);
  EXPECT_EQ(r.w, t.w);
  EXPECT_EQ(r.PowCount, 2);
  EXPECT_EQ(r.aabb, t.aabb);
  EXPECT_EQ(r.pp, t.pp);
  EXPECT_EQ(r.ind, t.ind);
  EXPECT_EQ(r.NM, 10);
  EXPECT_EQ(r.M, 1);
  EXPECT_EQ(r.mh, t.mh);
}

TEST(TTrainingRes, FailedSaveLeavesNoFileBehind) {
  TTrainingRes t;
  t.maxX = {1.0, std::numeric_limits<double>::quiet_NaN()};
  TTempFile f("nan.json");
  EXPECT_FALSE(t.Save(f.Path()));
  EXPECT_FALSE(std::filesystem::exists(f.Path()));
  EXPECT_FALSE(std::filesystem::exists(f.Path() + ".tmp"));

  // An existing good file survives a failed overwrite.
  TTrainingRes good;
  good.maxX = {2.0};
  ASSERT_TRUE(good.Save(f.Path()));
  EXPECT_FALSE(t.Save(f.Path()));
  TTrainingRes r;
  ASSERT_TRUE(r.Load(f.Path(), false));
  EXPECT_EQ(r.maxX, (std::vector<double>{2.0}));

  EXPECT_FALSE(good.Save("/nonexistent/dir/train.json"));
}

} // namespace
