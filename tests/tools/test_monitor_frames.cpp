// The monitor's reading of the station's two frame formats: reassembly from a byte stream cut anywhere,
// the result text's meaning, the spectrum levels and the JSON lines printed for scripts. Frames are made by
// the station's own encoders and, where the exact bytes matter, by hand.

#include "app/frames.h"
#include "app/results_group.h"
#include "tools/station_client/frame_decoder.h"
#include "tools/station_client/messages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using station_client::EDecodeStatus;
using station_client::TFrameDecoder;

constexpr float kInf = std::numeric_limits<float>::infinity();
const std::string kTestMessage = R"({"alert":-1,"brd":5.0,"dots":[1.0,2.0,3.0,4.0],"dirs":[10.0,45.0]})";

std::vector<std::uint8_t> ResultStream(const std::vector<std::string> &texts) {
  std::vector<std::uint8_t> stream;
  for (const std::string &t : texts) {
    std::string frame;
    EXPECT_TRUE(EncodeResultFrame(t, frame));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  return stream;
}

std::vector<std::uint8_t> SpectrumStream(const std::vector<std::vector<float>> &frames) {
  std::vector<std::uint8_t> stream;
  for (const auto &levels : frames) {
    std::vector<std::uint8_t> frame;
    EncodeSpectrumFrame(levels.data(), static_cast<std::uint16_t>(levels.size()), frame);
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  return stream;
}

// Feeds `stream` in pieces ending at the given cut positions and collects every frame's payload.
std::vector<std::vector<std::uint8_t>> DecodeInPieces(TFrameDecoder decoder, const std::vector<std::uint8_t> &stream,
                                                      const std::vector<std::size_t> &cuts) {
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<std::uint8_t> payload;
  std::size_t count = 0;
  std::size_t from = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(stream.size());
  for (const std::size_t to : ends) {
    decoder.Feed(stream.data() + from, to - from);
    from = to;
    EDecodeStatus status;
    while ((status = decoder.Next(payload, count)) == EDecodeStatus::Frame) {
      frames.push_back(payload);
    }
    EXPECT_EQ(status, EDecodeStatus::NeedMore);
  }
  EXPECT_EQ(decoder.Buffered(), 0U);
  return frames;
}

std::string AsText(const std::vector<std::uint8_t> &payload) { return {payload.begin(), payload.end()}; }

std::vector<float> Levels(const std::vector<std::uint8_t> &payload) {
  std::vector<float> levels;
  station_client::DecodeLevels(payload.data(), payload.size() / 4, levels);
  return levels;
}

// Bit-exact comparison, so NaN payloads and the sign of zero count too.
void ExpectSameBits(const std::vector<float> &got, const std::vector<float> &want) {
  ASSERT_EQ(got.size(), want.size());
  EXPECT_EQ(std::memcmp(got.data(), want.data(), 4 * got.size()), 0);
}

TEST(TFrameDecoder, ResultFramesSurviveEveryCutPositionAndByteByByteDelivery) {
  const std::vector<std::string> texts = {
      kTestMessage, TResultsGroup({0.01, 0.2, 3e-7, 1.5}, {-123.25, 45.0}, 2.0, 0.05).ConvToJSON_Str(), "x"};
  const std::vector<std::uint8_t> stream = ResultStream(texts);
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    const auto frames = DecodeInPieces(TFrameDecoder::ForResults(), stream, {cut});
    ASSERT_EQ(frames.size(), texts.size()) << "cut at " << cut;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(AsText(frames[i]), texts[i]) << "cut at " << cut;
    }
  }
  std::vector<std::size_t> everyByte;
  for (std::size_t i = 1; i < stream.size(); ++i) {
    everyByte.push_back(i);
  }
  const auto frames = DecodeInPieces(TFrameDecoder::ForResults(), stream, everyByte);
  ASSERT_EQ(frames.size(), texts.size());
  EXPECT_EQ(AsText(frames[1]), texts[1]);
}

TEST(TFrameDecoder, SpectrumFramesSurviveEveryCutPositionWithExactLevels) {
  std::vector<float> wide(385);
  for (std::size_t k = 0; k < wide.size(); ++k) {
    wide[k] = 20.0F + 0.37F * static_cast<float>(k) - 1e-3F * static_cast<float>(k * k);
  }
  wide[0] = -kInf; // a bin of magnitude 0
  wide[1] = -0.0F;
  wide[2] = std::numeric_limits<float>::denorm_min();
  const std::vector<std::vector<float>> sent = {wide, {41.25F}, {-kInf, -kInf}};
  const std::vector<std::uint8_t> stream = SpectrumStream(sent);
  ASSERT_EQ(stream.size(), (2 + 4 * 385) + (2 + 4) + (2 + 8));
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    const auto frames = DecodeInPieces(TFrameDecoder::ForSpectra(), stream, {cut});
    ASSERT_EQ(frames.size(), sent.size()) << "cut at " << cut;
    for (std::size_t i = 0; i < sent.size(); ++i) {
      ExpectSameBits(Levels(frames[i]), sent[i]);
    }
  }
  // Three pieces: each cut inside the first frame's levels against each inside the others'.
  for (std::size_t a = 1; a < 1542; a += 97) {
    for (std::size_t b = 1542; b < stream.size(); ++b) {
      const auto frames = DecodeInPieces(TFrameDecoder::ForSpectra(), stream, {a, b});
      ASSERT_EQ(frames.size(), sent.size()) << "cuts at " << a << ", " << b;
      ExpectSameBits(Levels(frames[2]), sent[2]);
    }
  }
}

TEST(TFrameDecoder, ReadsHandBuiltLittleEndianBytes) {
  // A 100-byte text travels as 0x64 0x00 and the text.
  std::vector<std::uint8_t> result = {0x64, 0x00};
  result.insert(result.end(), 100, 'a');
  auto frames = DecodeInPieces(TFrameDecoder::ForResults(), result, {});
  ASSERT_EQ(frames.size(), 1U);
  EXPECT_EQ(frames[0].size(), 100U);

  // 385 values start with 0x81 0x01; 1.0f is 00 00 80 3f and -2.5f is 00 00 20 c0, least significant first.
  std::vector<std::uint8_t> spectrum = {0x81, 0x01};
  for (int k = 0; k < 385; ++k) {
    const std::uint8_t one[] = {0x00, 0x00, 0x80, 0x3f};
    const std::uint8_t minus[] = {0x00, 0x00, 0x20, 0xc0};
    const std::uint8_t *v = k == 7 ? minus : one;
    spectrum.insert(spectrum.end(), v, v + 4);
  }
  frames = DecodeInPieces(TFrameDecoder::ForSpectra(), spectrum, {1, 700});
  ASSERT_EQ(frames.size(), 1U);
  const std::vector<float> levels = Levels(frames[0]);
  ASSERT_EQ(levels.size(), 385U);
  EXPECT_EQ(levels[0], 1.0F);
  EXPECT_EQ(levels[7], -2.5F);
  EXPECT_EQ(levels[384], 1.0F);
}

TEST(TFrameDecoder, EmptyFrameIsAFrameAndTheNextOneFollows) {
  std::vector<std::uint8_t> stream = {0x00, 0x00};
  const std::vector<std::uint8_t> next = ResultStream({kTestMessage});
  stream.insert(stream.end(), next.begin(), next.end());
  const auto frames = DecodeInPieces(TFrameDecoder::ForResults(), stream, {1});
  ASSERT_EQ(frames.size(), 2U);
  EXPECT_TRUE(frames[0].empty());
  EXPECT_EQ(AsText(frames[1]), kTestMessage);
}

TEST(TFrameDecoder, AbsurdCountBreaksTheStreamAtOnceUntilReset) {
  TFrameDecoder decoder = TFrameDecoder::ForResults();
  std::vector<std::uint8_t> payload;
  std::size_t count = 0;
  // The limit itself is believed (and waits for its bytes); one more is not, and is known from 2 bytes alone.
  const std::uint8_t atLimit[] = {0x00, 0x10}; // 4096
  decoder.Feed(atLimit, 2);
  EXPECT_EQ(decoder.Next(payload, count), EDecodeStatus::NeedMore);
  decoder.Reset();
  const std::uint8_t above[] = {0x01, 0x10, '{', '}'}; // 4097
  decoder.Feed(above, sizeof above);
  EXPECT_EQ(decoder.Next(payload, count), EDecodeStatus::Broken);
  EXPECT_NE(decoder.Error().find("4097"), std::string::npos) << decoder.Error();
  // Nothing fed afterwards is taken for a frame.
  const std::vector<std::uint8_t> good = ResultStream({kTestMessage});
  decoder.Feed(good.data(), good.size());
  EXPECT_EQ(decoder.Next(payload, count), EDecodeStatus::Broken);
  decoder.Reset();
  decoder.Feed(good.data(), good.size());
  ASSERT_EQ(decoder.Next(payload, count), EDecodeStatus::Frame);
  EXPECT_EQ(AsText(payload), kTestMessage);

  TFrameDecoder spectra = TFrameDecoder::ForSpectra();
  const std::uint8_t tooMany[] = {0x01, 0x08}; // 2049 values: more than a 2048-point transform has
  spectra.Feed(tooMany, 2);
  EXPECT_EQ(spectra.Next(payload, count), EDecodeStatus::Broken);
}

TEST(ParseResultText, ReadsStationMessagesWithNullAsNaN) {
  station_client::TResultMessage m;
  std::string error;
  ASSERT_TRUE(station_client::ParseResultText(kTestMessage, m, error)) << error;
  EXPECT_EQ(m.alert, -1);
  EXPECT_EQ(m.brd, 5.0);
  EXPECT_EQ(m.dots, (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
  EXPECT_EQ(m.dirs, (std::vector<double>{10.0, 45.0}));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::string text = TResultsGroup({0.1, nan, 0.3, 0.4}, {nan, 45.0}, 2.0, 0.05).ConvToJSON_Str();
  ASSERT_TRUE(station_client::ParseResultText(text, m, error)) << error << " in " << text;
  EXPECT_EQ(m.alert, 2);
  EXPECT_TRUE(std::isnan(m.dots[1]));
  EXPECT_TRUE(std::isnan(m.dirs[0]));
  EXPECT_EQ(m.dots[3], 0.4);

  // Members in another order, extra members and white space are all fine.
  ASSERT_TRUE(station_client::ParseResultText(R"( {"dirs":[],"x":{"y":1},"dots":[],"brd":-1e-3,"alert":0} )", m, error));
  EXPECT_EQ(m.brd, -0.001);
  EXPECT_TRUE(m.dots.empty());
}

TEST(ParseResultText, RejectsTextsThatAreNotResultMessages) {
  const struct {
    const char *text;
    const char *why;
  } cases[] = {
      {"", "invalid JSON"},
      {R"({"alert":-1,"brd":5.0,"dots":[1.0,2.0)", "invalid JSON"},
      {"\x01\x02garbage", "invalid JSON"},
      {"[1,2,3]", "not a JSON object"},
      {R"({"brd":5.0,"dots":[],"dirs":[]})", "alert"},
      {R"({"alert":1.5,"brd":5.0,"dots":[],"dirs":[]})", "alert"},
      {R"({"alert":"2","brd":5.0,"dots":[],"dirs":[]})", "alert"},
      {R"({"alert":0,"brd":"5","dots":[],"dirs":[]})", "brd"},
      {R"({"alert":0,"brd":5.0,"dots":3,"dirs":[]})", "dots"},
      {R"({"alert":0,"brd":5.0,"dots":[1,"2"],"dirs":[]})", "dots"},
      {R"({"alert":0,"brd":5.0,"dots":[]})", "dirs"},
  };
  for (const auto &c : cases) {
    station_client::TResultMessage m;
    std::string error;
    EXPECT_FALSE(station_client::ParseResultText(c.text, m, error)) << c.text;
    EXPECT_NE(error.find(c.why), std::string::npos) << c.text << " -> " << error;
  }
}

TEST(SpectrumPeak, FrequencyIsFirstBinPlusIndexTimesBinWidth) {
  // The station truncates F_min / 15.625: 4000 and 4015.6 Hz both start at bin 256.
  EXPECT_EQ(station_client::FirstSpectrumBin(4000.0), 256);
  EXPECT_EQ(station_client::FirstSpectrumBin(4015.6), 256);
  EXPECT_EQ(station_client::FirstSpectrumBin(0.0), 0);

  std::vector<float> levels(385, 10.0F);
  levels[44] = 41.25F;
  levels[45] = 41.0F;
  auto peak = station_client::FindSpectrumPeak(levels, 256);
  ASSERT_TRUE(peak.found);
  EXPECT_EQ(peak.index, 44U);
  EXPECT_DOUBLE_EQ(peak.hz, 300 * 15.625); // 4687.5 Hz
  EXPECT_EQ(station_client::SpectrumJsonLine(levels.size(), peak),
            R"({"spectrum":{"count":385,"peak_hz":4687.5,"peak_db":41.25}})");

  // Non-finite levels never win: -inf is an empty bin, +inf and NaN are not levels.
  levels = {-kInf, kInf, std::numeric_limits<float>::quiet_NaN(), -80.5F, -90.0F};
  peak = station_client::FindSpectrumPeak(levels, 0);
  ASSERT_TRUE(peak.found);
  EXPECT_EQ(peak.index, 3U);
  EXPECT_DOUBLE_EQ(peak.hz, 3 * 15.625);

  levels.assign(4, -kInf);
  peak = station_client::FindSpectrumPeak(levels, 256);
  EXPECT_FALSE(peak.found);
  EXPECT_EQ(station_client::SpectrumJsonLine(4, peak), R"({"spectrum":{"count":4,"peak_hz":null,"peak_db":null}})");
}

TEST(ResultJsonLine, KeepsOneLineTextsAsReceivedAndCompactsOthers) {
  EXPECT_EQ(station_client::ResultJsonLine(kTestMessage), kTestMessage);
  EXPECT_EQ(station_client::ResultJsonLine("{\"alert\":0,\n \"brd\":0.5,\"dots\":[],\r\n\"dirs\":[]}"),
            R"({"alert":0,"brd":0.5,"dots":[],"dirs":[]})");
  EXPECT_EQ(station_client::Excerpt("a\nb\\c\x7f", 10), "a\\x0ab\\x5cc\\x7f");
  EXPECT_EQ(station_client::Excerpt("abcdef", 3), "abc...");
}

} // namespace
