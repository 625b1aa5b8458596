// Tests of ormelin_replay: the replayer against a channel-by-channel computation with the station's own
// classes, the program's output lines (members, order, indices, trace), determinism, the block offset, the
// autocalibration mode, the second variant, and the refusal of bad recordings, settings and command lines.

#include "test_replay_support.h"

#include "detection/channel_detector.h"
#include "engines/hybrid_steps.h"
#include "tools/replay/replayer.h"
#include "tools/replay/wav_blocks.h"

#include <algorithm>
#include <array>
#include <map>

namespace {

using namespace replay_test;

constexpr double kBorder = 0.05;

void SetDetect(rapidjson::Document &d, const char *group, const char *key, double value) {
  d[group][key].SetDouble(value);
}
void SetDetectInt(rapidjson::Document &d, const char *group, const char *key, int value) {
  d[group][key].SetInt(value);
}

// Shipped settings with the border pinned, so the expectations do not follow a retrained file.
std::string PinnedSettings(const TTempDir &tmp, double border = kBorder, int outAvgLen = 8, int frameSize = 1024) {
  return MakeSettings(
      tmp, [border](rapidjson::Document &d) { SetDetect(d, "detect", "border", border); },
      [outAvgLen, frameSize](rapidjson::Document &d) {
        d["OutAvgLen"].SetInt(outAvgLen);
        d["FrameSize"].SetInt(frameSize);
      });
}

// Full precision: the lines' numbers are the shortest texts that read back as the exact doubles.
rapidjson::Document Parse(const std::string &line) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseFullPrecisionFlag>(line.c_str());
  return doc;
}

// The part of a message line that the station's own text supplies: from "alert" on, with the opening brace.
std::string StationPart(const std::string &line) {
  const auto at = line.find(",\"alert\":");
  return at == std::string::npos ? std::string() : "{" + line.substr(at + 1);
}

bool IsMessage(const rapidjson::Document &d) { return d.IsObject() && d.HasMember("alert"); }

// ---- the replayer in-process ------------------------------------------------------------------------------

TEST(TWavBlockReader, DeliversUnscaledSamplesPerChannelInWholeBlocks) {
  TTempDir tmp("reader");
  const std::size_t frames = 2 * replay::kBlockSamples + 57;
  std::vector<std::vector<double>> ch(4, std::vector<double>(frames));
  for (std::size_t i = 0; i < frames; ++i) {
    for (std::size_t c = 0; c < 4; ++c) {
      ch[c][i] = static_cast<double>(static_cast<int>(c * 1000 + i) % 700 - 350);
    }
  }
  ch[0][5] = -32768.0;
  ch[3][401] = 32767.0;
  WriteSound(tmp.Path("r.wav"), kRate, ch);

  replay::TWavBlockReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(tmp.Path("r.wav"), error)) << error;
  EXPECT_EQ(reader.WholeBlocks(), 2);
  ASSERT_TRUE(reader.SkipBlocks(1, error)) << error;
  replay::TBlock block;
  ASSERT_TRUE(reader.ReadBlock(block));
  for (std::size_t c = 0; c < 4; ++c) {
    ASSERT_EQ(block[c].size(), 400U);
    for (std::size_t i = 0; i < 400; ++i) {
      ASSERT_EQ(block[c][i], ch[c][400 + i]) << "channel " << c << " sample " << i;
    }
  }
  EXPECT_EQ(block[3][1], 32767.0);
  EXPECT_FALSE(reader.ReadBlock(block)) << "the 57-sample tail is not a block";
  EXPECT_TRUE(reader.Error().empty());

  ASSERT_TRUE(reader.Open(tmp.Path("r.wav"), error));
  ASSERT_TRUE(reader.ReadBlock(block));
  EXPECT_EQ(block[0][5], -32768.0);
}

struct TScoreAt {
  std::int64_t sample;
  double score;
};

// The replayer's messages equal what the station's classes give when each part runs on its own over the
// whole recording: every channel chain alone, records formed from the n-th score of each channel (completed
// by the latest of them), the direction half alone, and each record carrying the last average at or before
// its sample. OutAvgLen 1 makes averages so frequent that some complete on a record's very sample.
TEST(TReplayer, MatchesChannelByChannelComputation) {
  TTempDir tmp("core");
  const std::string dir = PinnedSettings(tmp, kBorder, 1);
  const auto channels = SyntheticChannels(static_cast<std::size_t>(kRate) * 3 + 250, 7);
  WriteSound(tmp.Path("s.wav"), kRate, channels);

  replay::TReplaySettings s;
  ASSERT_EQ(replay::LoadSettings(dir, false, s), "");
  replay::TWavBlockReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(tmp.Path("s.wav"), error)) << error;
  const std::size_t whole = static_cast<std::size_t>(reader.WholeBlocks()) * replay::kBlockSamples;

  std::string out;
  {
    replay::TReplayer replayer(s, false, false, kRate);
    replay::TBlock block;
    for (std::int64_t b = 0; reader.ReadBlock(block); ++b) {
      replayer.ProcessBlock(block, b * replay::kBlockSamples, out);
    }
    EXPECT_GT(replayer.Directions(), 0);
  }

  // Independent computation.
  std::vector<std::vector<TScoreAt>> scores(4);
  for (std::size_t c = 0; c < 4; ++c) {
    detection::TChannelDetector chain(s.Detect, s.Training, false);
    for (std::size_t i = 0; i < whole; ++i) {
      double score = 0.0;
      if (chain.PushSample(channels[c][i], score)) {
        scores[c].push_back({static_cast<std::int64_t>(i), score});
      }
    }
  }
  std::vector<std::pair<std::int64_t, double>> directions;
  {
    TDirectionHalf half(s.DirDef);
    std::array<std::vector<double>, 4> block;
    for (std::size_t first = 0; first < whole; first += replay::kBlockSamples) {
      for (std::size_t c = 0; c < 4; ++c) {
        block[c].assign(channels[c].begin() + static_cast<std::ptrdiff_t>(first),
                        channels[c].begin() + static_cast<std::ptrdiff_t>(first + replay::kBlockSamples));
      }
      half.ProcessBlock(block[0], block[1], block[2], block[3],
                        [&](int i, double deg) { directions.emplace_back(static_cast<std::int64_t>(first) + i, deg); });
    }
  }
  THybridResults results(kBorder);
  std::vector<std::pair<std::int64_t, std::string>> expected;
  std::size_t nextDirection = 0;
  int coincident = 0;
  const std::size_t records = std::min({scores[0].size(), scores[1].size(), scores[2].size(), scores[3].size()});
  for (std::size_t n = 0; n < records; ++n) {
    std::int64_t sample = 0;
    std::array<double, 4> q{};
    for (std::size_t c = 0; c < 4; ++c) {
      sample = std::max(sample, scores[c][n].sample);
      q[c] = scores[c][n].score;
    }
    for (; nextDirection < directions.size() && directions[nextDirection].first <= sample; ++nextDirection) {
      coincident += directions[nextDirection].first == sample ? 1 : 0;
      results.SetDirection(directions[nextDirection].second);
    }
    expected.emplace_back(sample, results.OnScores(q));
  }
  ASSERT_GE(expected.size(), 5U);
  EXPECT_GT(coincident, 0) << "no direction average completed on a record's own sample; the case is untested";

  const auto lines = Lines(out);
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const auto doc = Parse(lines[k]);
    ASSERT_TRUE(IsMessage(doc)) << lines[k];
    EXPECT_EQ(doc["sample"].GetInt64(), expected[k].first) << "message " << k;
    EXPECT_EQ(doc["t"].GetDouble(), static_cast<double>(expected[k].first) / kRate) << "message " << k;
    EXPECT_EQ(StationPart(lines[k]), expected[k].second) << "message " << k;
  }
}

// ---- the program ------------------------------------------------------------------------------------------

class ReplayProgram : public ::testing::Test {
protected:
  ReplayProgram() : tmp_("prog") {}

  // A synthetic recording of `seconds` (plus a tail shorter than a block) and pinned settings.
  void SetUp() override {
    settings_ = PinnedSettings(tmp_);
    WriteSound(Wav(), kRate, SyntheticChannels(static_cast<std::size_t>(kRate * 4) + 123, 3));
  }
  std::string Wav() const { return tmp_.Path("rec.wav"); }

  TTempDir tmp_;
  std::string settings_;
};

TEST_F(ReplayProgram, PrintsMessageLinesWithTimeAndSampleInFront) {
  const TRun r = RunProgram(tmp_, kReplayProgram, {settings_, Wav()});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_GE(lines.size(), 10U);
  const std::vector<std::string> order = {"t", "sample", "alert", "brd", "dots", "dirs"};
  std::int64_t previous = -1;
  for (const std::string &line : lines) {
    const auto doc = Parse(line);
    ASSERT_EQ(MemberNames(doc), order) << line;
    const std::int64_t sample = doc["sample"].GetInt64();
    EXPECT_GT(sample, previous) << line;
    EXPECT_LT(sample, 4 * kRate) << "the tail after the last whole block is not replayed";
    previous = sample;
    EXPECT_EQ(doc["t"].GetDouble(), static_cast<double>(sample) / kRate) << line;
    EXPECT_EQ(doc["brd"].GetDouble(), kBorder);
    EXPECT_EQ(doc["dots"].Size(), 4U);
    ASSERT_EQ(doc["dirs"].Size(), 2U);
    EXPECT_EQ(doc["dirs"][1].GetDouble(), 45.0);
    EXPECT_GE(doc["alert"].GetInt(), 0);
    EXPECT_LE(doc["alert"].GetInt(), 2);
  }
  // One summary line: the speed, and the samples that did not fill a block.
  const auto err = Lines(r.err);
  ASSERT_EQ(err.size(), 1U) << r.err;
  EXPECT_NE(err[0].find("x real time"), std::string::npos) << err[0];
  EXPECT_NE(err[0].find("the last 123 samples"), std::string::npos) << err[0];
}

TEST_F(ReplayProgram, TraceAddsScoresAndDirectionsInSampleOrder) {
  const TRun plain = RunProgram(tmp_, kReplayProgram, {settings_, Wav()});
  const TRun r = RunProgram(tmp_, kReplayProgram, {"--trace", settings_, Wav()});
  ASSERT_EQ(r.status, 0) << r.err;

  std::string messagesOnly;
  std::array<double, 4> latest{-1, -1, -1, -1};
  std::array<std::int64_t, 4> latestAt{-1, -1, -1, -1};
  double lastDirection = 0.0;
  std::int64_t previous = -1;
  int scoreLines = 0;
  int directionLines = 0;
  for (const std::string &line : Lines(r.out)) {
    const auto doc = Parse(line);
    ASSERT_TRUE(doc.IsObject()) << line;
    const std::int64_t sample = doc["sample"].GetInt64();
    EXPECT_GE(sample, previous) << "lines out of sample order: " << line;
    previous = sample;
    const auto names = MemberNames(doc);
    if (names == std::vector<std::string>{"score", "channel", "sample"}) {
      const int c = doc["channel"].GetInt();
      ASSERT_TRUE(c >= 0 && c < 4) << line;
      latest[static_cast<std::size_t>(c)] = doc["score"].GetDouble();
      latestAt[static_cast<std::size_t>(c)] = sample;
      ++scoreLines;
    } else if (names == std::vector<std::string>{"direction", "sample"}) {
      lastDirection = doc["direction"].GetDouble();
      ++directionLines;
    } else {
      ASSERT_TRUE(IsMessage(doc)) << line;
      messagesOnly += line + "\n";
      // The record holds the latest score of every channel, the last of which arrived at the message's sample,
      // and the latest direction average printed before it.
      for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(doc["dots"][static_cast<rapidjson::SizeType>(c)].GetDouble(), latest[c]) << line;
      }
      EXPECT_EQ(*std::max_element(latestAt.begin(), latestAt.end()), sample) << line;
      EXPECT_EQ(doc["dirs"][0].GetDouble(), lastDirection) << line;
    }
  }
  EXPECT_GT(directionLines, 10);
  EXPECT_EQ(scoreLines % 4, 0);
  EXPECT_EQ(messagesOnly, plain.out) << "--trace must only add lines";
}

TEST_F(ReplayProgram, TwoRunsAreIdentical) {
  const TRun a = RunProgram(tmp_, kReplayProgram, {settings_, Wav(), "--trace"});
  const TRun b = RunProgram(tmp_, kReplayProgram, {settings_, Wav(), "--trace"});
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_FALSE(a.out.empty());
  EXPECT_EQ(a.out, b.out);
}

// Skipping k blocks is the same as replaying a copy without them, with sample indices still counted from the
// start of the file.
TEST_F(ReplayProgram, OffsetSkipsWholeBlocksAndKeepsFileIndices) {
  constexpr std::ptrdiff_t kSkip = 37;
  auto channels = SyntheticChannels(static_cast<std::size_t>(kRate * 4) + 123, 3);
  for (auto &c : channels) {
    c.erase(c.begin(), c.begin() + kSkip * replay::kBlockSamples);
  }
  WriteSound(tmp_.Path("cut.wav"), kRate, channels);

  const TRun skipped = RunProgram(tmp_, kReplayProgram, {settings_, Wav(), "--offset-blocks", std::to_string(kSkip)});
  const TRun cut = RunProgram(tmp_, kReplayProgram, {settings_, tmp_.Path("cut.wav")});
  ASSERT_EQ(skipped.status, 0) << skipped.err;
  ASSERT_EQ(cut.status, 0) << cut.err;
  const auto a = Lines(skipped.out);
  const auto b = Lines(cut.out);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_FALSE(a.empty());
  for (std::size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(Parse(a[k])["sample"].GetInt64(), Parse(b[k])["sample"].GetInt64() + kSkip * replay::kBlockSamples);
    EXPECT_EQ(StationPart(a[k]), StationPart(b[k]));
  }
  // The equals form of the option is the same option.
  const TRun equals = RunProgram(tmp_, kReplayProgram, {settings_, Wav(), "--offset-blocks=" + std::to_string(kSkip)});
  EXPECT_EQ(equals.out, skipped.out);
}

// With ascending bin indices the dense table of the second variant scores exactly like the sorted search.
TEST_F(ReplayProgram, SecondVariantGivesTheSameMessagesAndSaysWhichLookup) {
  const TRun one = RunProgram(tmp_, kReplayProgram, {settings_, Wav()});
  const TRun two = RunProgram(tmp_, kReplay2Program, {settings_, Wav()});
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_EQ(one.out, two.out);

  const TRun help1 = RunProgram(tmp_, kReplayProgram, {"--help"});
  const TRun help2 = RunProgram(tmp_, kReplay2Program, {"-h"});
  EXPECT_EQ(help1.status, 0);
  EXPECT_NE(help1.out.find("sorted index search"), std::string::npos) << help1.out;
  EXPECT_NE(help2.out.find("dense table"), std::string::npos) << help2.out;
}

// Autocalibration (negative border): "brd" is 1.05 x the largest score so far, "alert" -2, "dirs" [0,45], no
// direction finding at all, so direction settings the hybrid mode refuses do not matter.
TEST_F(ReplayProgram, AutocalibrationReportsTheRunningMaximum) {
  TTempDir other("autocal");
  const std::string dir = PinnedSettings(other, -1.0, 8, 1000);
  const TRun r = RunProgram(tmp_, kReplayProgram, {dir, Wav(), "--trace"});
  ASSERT_EQ(r.status, 0) << r.err;
  double maxScore = 0.0;
  int messages = 0;
  for (const std::string &line : Lines(r.out)) {
    const auto doc = Parse(line);
    ASSERT_FALSE(doc.HasMember("direction")) << line;
    if (doc.HasMember("score")) {
      maxScore = std::max(maxScore, doc["score"].GetDouble());
      continue;
    }
    ++messages;
    EXPECT_EQ(doc["alert"].GetInt(), -2);
    EXPECT_EQ(doc["brd"].GetDouble(), 1.05 * maxScore) << line;
    EXPECT_EQ(doc["dirs"][0].GetDouble(), 0.0);
    EXPECT_EQ(doc["dirs"][1].GetDouble(), 45.0);
  }
  EXPECT_GE(messages, 10);
}

// Silence gives the direction finder nothing to measure: its averages are not numbers. They are printed as
// null, as the station's messages do, so every line still parses.
TEST_F(ReplayProgram, SilenceGivesNullDirectionsInValidLines) {
  WriteSound(tmp_.Path("silence.wav"), kRate,
             std::vector<std::vector<double>>(4, std::vector<double>(std::size_t{2} * kRate)));
  const TRun r = RunProgram(tmp_, kReplayProgram, {settings_, tmp_.Path("silence.wav"), "--trace"});
  ASSERT_EQ(r.status, 0) << r.err;
  int messages = 0;
  for (const std::string &line : Lines(r.out)) {
    const auto doc = Parse(line);
    ASSERT_TRUE(doc.IsObject()) << line;
    if (doc.HasMember("direction")) {
      EXPECT_TRUE(doc["direction"].IsNull()) << line;
    } else if (IsMessage(doc)) {
      ++messages;
      EXPECT_EQ(doc["alert"].GetInt(), 0) << line;
      EXPECT_TRUE(doc["dirs"][0].IsNull()) << line;
    }
  }
  EXPECT_GE(messages, 2);
}

struct TBadCase {
  std::string name;
  std::function<std::vector<std::string>(const TTempDir &, const std::string &settings, const std::string &wav)> args;
  std::string says; // a piece of the one error line
};

TEST_F(ReplayProgram, RefusesBadRecordingsAndSettingsWithOneLine) {
  const std::vector<TBadCase> cases = {
      {"missing recording",
       [](const TTempDir &t, const std::string &s, const std::string &) {
         return std::vector<std::string>{s, t.Path("absent.wav")};
       },
       "cannot open"},
      {"not a sound file",
       [](const TTempDir &t, const std::string &s, const std::string &) {
         WriteText(t.Path("text.wav"), "RIFF but not really\n");
         return std::vector<std::string>{s, t.Path("text.wav")};
       },
       "cannot open"},
      {"two channels",
       [](const TTempDir &t, const std::string &s, const std::string &) {
         WriteSound(t.Path("stereo.wav"), kRate, std::vector<std::vector<double>>(2, std::vector<double>(4000)));
         return std::vector<std::string>{s, t.Path("stereo.wav")};
       },
       "has 2 channel(s)"},
      {"24-bit samples",
       [](const TTempDir &t, const std::string &s, const std::string &) {
         WriteSound(t.Path("p24.wav"), kRate, std::vector<std::vector<double>>(4, std::vector<double>(4000)),
                    SF_FORMAT_WAV | SF_FORMAT_PCM_24);
         return std::vector<std::string>{s, t.Path("p24.wav")};
       },
       "not 16-bit PCM"},
      {"float samples",
       [](const TTempDir &t, const std::string &s, const std::string &) {
         WriteSound(t.Path("f.wav"), kRate, std::vector<std::vector<double>>(4, std::vector<double>(4000)),
                    SF_FORMAT_WAV | SF_FORMAT_FLOAT);
         return std::vector<std::string>{s, t.Path("f.wav")};
       },
       "not 16-bit PCM"},
      {"other sample rate",
       [](const TTempDir &t, const std::string &s, const std::string &) {
         WriteSound(t.Path("48k.wav"), 48000, std::vector<std::vector<double>>(4, std::vector<double>(4000)));
         return std::vector<std::string>{s, t.Path("48k.wav")};
       },
       "differs from \"F_Smp\" 37500"},
      {"less than a block",
       [](const TTempDir &t, const std::string &s, const std::string &) {
         WriteSound(t.Path("short.wav"), kRate, std::vector<std::vector<double>>(4, std::vector<double>(399)));
         return std::vector<std::string>{s, t.Path("short.wav")};
       },
       "less than one block"},
      {"offset past the end",
       [](const TTempDir &, const std::string &s, const std::string &w) {
         return std::vector<std::string>{s, w, "--offset-blocks", "375"};
       },
       "leaves nothing to replay"},
      {"no settings files",
       [](const TTempDir &t, const std::string &, const std::string &w) {
         return std::vector<std::string>{t.Path(), w};
       },
       "detect.json: cannot be opened"},
      {"refused feature settings",
       [](const TTempDir &t, const std::string &, const std::string &w) {
         return std::vector<std::string>{
             MakeSettings(t, [](rapidjson::Document &d) { SetDetectInt(d, "pvcalk", "NFFT", 1000); }), w};
       },
       "\"NFFT\""},
      {"missing training file",
       [](const TTempDir &t, const std::string &, const std::string &w) {
         return std::vector<std::string>{
             MakeSettings(t,
                          [](rapidjson::Document &d) { d["detect"]["js_train_fname"].SetString("absent_train.json"); }),
             w};
       },
       "training file cannot be opened"},
      {"refused direction settings",
       [](const TTempDir &t, const std::string &, const std::string &w) {
         return std::vector<std::string>{
             MakeSettings(t, {}, [](rapidjson::Document &d) { d["FrameSize"].SetInt(1000); }), w};
       },
       "dir_def.json: "},
  };
  for (const TBadCase &c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir t("bad");
    const TRun r = RunProgram(t, kReplayProgram, c.args(t, settings_, Wav()));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty()) << r.out;
    const auto err = Lines(r.err);
    ASSERT_EQ(err.size(), 1U) << r.err;
    EXPECT_EQ(err[0].rfind("ormelin_replay: ", 0), 0U) << err[0];
    EXPECT_NE(err[0].find(c.says), std::string::npos) << err[0];
  }
}

TEST_F(ReplayProgram, RejectsBadCommandLinesWithUsageStatus) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {settings_},
      {settings_, Wav(), "extra"},
      {settings_, Wav(), "--speed"},
      {settings_, Wav(), "--offset-blocks"},
      {settings_, Wav(), "--offset-blocks", "-1"},
      {settings_, Wav(), "--offset-blocks", "3x"},
  };
  for (const auto &args : cases) {
    const TRun r = RunProgram(tmp_, kReplayProgram, args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(Lines(r.err).size(), 1U) << r.err;
  }
}

// A directory named without its trailing separator is the same directory.
TEST_F(ReplayProgram, AcceptsSettingsDirectoryWithoutTrailingSeparator) {
  const TRun with = RunProgram(tmp_, kReplayProgram, {settings_, Wav()});
  const TRun without = RunProgram(tmp_, kReplayProgram, {settings_.substr(0, settings_.size() - 1), Wav()});
  ASSERT_EQ(without.status, 0) << without.err;
  EXPECT_EQ(with.out, without.out);
}

} // namespace
