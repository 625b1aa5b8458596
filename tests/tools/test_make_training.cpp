// Test of scripts/make_training on a user's own small recording set: the manifest it writes keeps every
// recording and all its versions in one fold (the trainer's own parser checks the grouping), every recording
// gets its augmented versions within the stated ranges, the eval scenes are four-channel recordings of the
// virtual array, and a second run over the same work directory renders nothing again.

#include "tools/train/manifest.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

void WriteMono(const fs::path &path, const std::vector<double> &s, int rate) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  std::vector<short> frames(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    frames[i] = static_cast<short>(std::lround(std::clamp(s[i], -32768.0, 32767.0)));
  }
  sf_writef_short(f, frames.data(), static_cast<sf_count_t>(frames.size()));
  sf_close(f);
}

int Channels(const std::string &path) {
  SF_INFO info{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (f == nullptr) {
    return 0;
  }
  sf_close(f);
  return info.channels;
}

std::string Slurp(const fs::path &p) {
  std::ifstream in(p);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The value after `--option ` in a rendered scene's command line, or NaN.
double OptionValue(const std::string &cmd, const std::string &option) {
  const auto at = cmd.find(option + " ");
  return at == std::string::npos ? std::nan("") : std::atof(cmd.c_str() + at + option.size() + 1);
}

class MakeTraining : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("ormelin_make_training_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "t");
    fs::create_directories(dir_ / "b");
    std::mt19937 gen(5);
    std::normal_distribution<double> noise(0.0, 1500.0);
    for (int i = 0; i < 3; ++i) {
      std::vector<double> t(std::size_t{3} * 44100), b(std::size_t{3} * 37500);
      for (std::size_t n = 0; n < t.size(); ++n) {
        t[n] = 6000.0 * std::sin(2.0 * std::numbers::pi * (150.0 + 40.0 * i) * static_cast<double>(n) / 44100.0);
      }
      for (double &v : b) {
        v = noise(gen);
      }
      WriteMono(dir_ / "t" / ("drone" + std::to_string(i) + ".wav"), t, 44100);
      WriteMono(dir_ / "b" / ("site" + std::to_string(i) + ".wav"), b, 37500);
    }
  }
  void TearDown() override { fs::remove_all(dir_); }

  int Run(const std::string &extra, std::string &output) {
    const fs::path log = dir_ / "log.txt";
    const std::string cmd = std::string(ORMELIN_SOURCE_DIR) + "/scripts/make_training --build-dir " +
                            ORMELIN_BINARY_DIR + " --target " + (dir_ / "t").string() + " --background " +
                            (dir_ / "b").string() + " --no-free --manifest-only --work-dir " + (dir_ / "w").string() +
                            " " + extra + " >" + log.string() + " 2>&1";
    const int status = std::system(cmd.c_str());
    output = Slurp(log);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path dir_;
};

TEST_F(MakeTraining, OwnRecordingsGetFoldedAugmentedScenesAndReuseThem) {
  std::string out;
  ASSERT_EQ(Run("--augment 2 --aug-snr 20-30 --aug-sbr 3-9 --aug-mix 1", out), 0) << out;
  std::vector<train::TManifestEntry> m;
  std::string error;
  ASSERT_TRUE(train::ParseManifest(Slurp(dir_ / "w" / "manifest.txt"), m, error)) << error;
  EXPECT_EQ(train::FoldCount(m), 3);

  std::map<std::string, int> versions; // rendered training scenes per recording
  std::set<std::string> raw;
  for (const auto &e : m) {
    if (!e.category.starts_with("user-")) {
      continue; // the synthetic drone and noise scenes stay beside own recordings
    }
    if (!e.train) {
      EXPECT_EQ(Channels(e.path), 4) << e.path;
      continue;
    }
    if (e.path.ends_with(".wav") && fs::path(e.path).parent_path() == dir_ / "w") {
      ++versions[e.groups[0]];
      const std::string cmd = Slurp(fs::path(e.path).replace_extension(".cmd"));
      const double pitch = OptionValue(cmd, "--pitch");
      EXPECT_GE(pitch, 0.9) << cmd;
      EXPECT_LE(pitch, 1.1) << cmd;
      const double snr = OptionValue(cmd, "--snr");
      EXPECT_GE(snr, 20.0) << cmd;
      EXPECT_LE(snr, 30.0) << cmd;
      if (e.target) {
        // Every target version is mixed (share 1) with a background of its own fold, 3 to 9 dB below it.
        ASSERT_EQ(e.groups.size(), 2U) << e.path;
        EXPECT_GE(OptionValue(cmd, "--sbr"), 3.0) << cmd;
        EXPECT_LE(OptionValue(cmd, "--sbr"), 9.0) << cmd;
      }
    } else {
      raw.insert(e.groups[0]); // the recording itself, read by the trainer as it is
    }
  }
  EXPECT_EQ(versions.size(), 6U);
  for (const auto &[group, n] : versions) {
    EXPECT_EQ(n, 2) << group;
  }
  EXPECT_EQ(raw.size(), 6U);

  ASSERT_EQ(Run("--augment 2 --aug-snr 20-30 --aug-sbr 3-9 --aug-mix 1", out), 0) << out;
  EXPECT_NE(out.find("(0 rendered,"), std::string::npos) << out;
}

TEST_F(MakeTraining, RefusesTooFewRecordingsAndBadRanges) {
  std::string out;
  fs::remove(dir_ / "t" / "drone1.wav");
  fs::remove(dir_ / "t" / "drone2.wav");
  EXPECT_EQ(Run("--augment 1", out), 1) << out;
  EXPECT_NE(out.find("at least 2 are needed"), std::string::npos) << out;
  EXPECT_EQ(Run("--aug-snr 30-20", out), 2) << out;
  EXPECT_NE(out.find("--aug-snr takes LO-HI"), std::string::npos) << out;
  EXPECT_EQ(Run("--aug-mix 2", out), 2) << out;
  EXPECT_NE(out.find("--aug-mix takes a share"), std::string::npos) << out;
}

} // namespace
