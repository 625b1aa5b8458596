#pragma once
// Helpers of the replay tests: temporary directories, settings directories derived from the shipped ones,
// synthetic four-channel recordings written with libsndfile, and running a program with its output captured.

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace replay_test {

namespace fs = std::filesystem;

inline const std::string kShippedSettings = std::string(ORMELIN_SOURCE_DIR) + "/settings/";
inline const std::string kReplayProgram = std::string(ORMELIN_BINARY_DIR) + "/tools/replay/ormelin_replay";
inline const std::string kReplay2Program = std::string(ORMELIN_BINARY_DIR) + "/tools/replay/ormelin_replay2";
inline constexpr int kRate = 37500;

// A fresh directory under the system's temporary directory, removed with everything in it on destruction.
class TTempDir {
public:
  explicit TTempDir(const std::string &tag) {
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    path_ = fs::temp_directory_path() /
            ("ormelin_replay_" + tag + "_" + (info != nullptr ? std::string(info->name()) : std::string("x")) + "_" +
             std::to_string(::getpid()));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TTempDir(const TTempDir &) = delete;
  TTempDir &operator=(const TTempDir &) = delete;

  std::string Path(const std::string &name = "") const { return (path_ / name).string(); }

private:
  fs::path path_;
};

inline std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteText(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Copies the shipped settings file `name` into `dir`, letting `edit` change the parsed document first.
inline void CopySettings(const std::string &dir, const std::string &name,
                         const std::function<void(rapidjson::Document &)> &edit = {}) {
  rapidjson::Document doc;
  doc.Parse(ReadText(kShippedSettings + name).c_str());
  ASSERT_FALSE(doc.HasParseError()) << name;
  if (edit) {
    edit(doc);
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
  doc.Accept(w);
  WriteText(dir + "/" + name, std::string(buffer.GetString(), buffer.GetSize()));
}

// A private copy of the shipped settings directory (returned with its trailing '/'), with detect.json and
// dir_def.json edited as asked. Tests never read the shipped files while they run: those may be retuned
// meanwhile, and programs started at different times must see the same settings.
inline std::string MakeSettings(const TTempDir &tmp, const std::function<void(rapidjson::Document &)> &editDetect = {},
                                const std::function<void(rapidjson::Document &)> &editDirDef = {}) {
  const std::string dir = tmp.Path("settings");
  fs::create_directories(dir);
  for (const auto &entry : fs::directory_iterator(kShippedSettings)) {
    if (entry.is_regular_file()) {
      fs::copy_file(entry.path(), fs::path(dir) / entry.path().filename(), fs::copy_options::overwrite_existing);
    }
  }
  CopySettings(dir, "detect.json", editDetect);
  CopySettings(dir, "dir_def.json", editDirDef);
  return dir + "/";
}

// Writes `channels` (all the same length) as one sound file of the given libsndfile format.
inline void WriteSound(const std::string &path, int rate, const std::vector<std::vector<double>> &channels,
                       int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = static_cast<int>(channels.size());
  info.format = format;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  const std::size_t frames = channels.empty() ? 0 : channels[0].size();
  std::vector<short> interleaved(frames * channels.size());
  for (std::size_t i = 0; i < frames; ++i) {
    for (std::size_t c = 0; c < channels.size(); ++c) {
      interleaved[i * channels.size() + c] = static_cast<short>(channels[c][i]);
    }
  }
  EXPECT_EQ(sf_writef_short(f, interleaved.data(), static_cast<sf_count_t>(frames)), static_cast<sf_count_t>(frames));
  sf_close(f);
}

// Four channels of a broadband source arriving with different delays (so the direction finder has something
// to measure), a tone, and independent noise per microphone; whole 16-bit values.
inline std::vector<std::vector<double>> SyntheticChannels(std::size_t frames, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> source(0.0, 2000.0);
  std::normal_distribution<double> noise(0.0, 150.0);
  const int delays[4] = {0, 3, 7, 2}; // samples
  const std::size_t lead = 16;
  std::vector<double> s(frames + lead);
  for (double &v : s) {
    v = source(gen);
  }
  std::vector<std::vector<double>> ch(4, std::vector<double>(frames));
  for (std::size_t c = 0; c < 4; ++c) {
    for (std::size_t i = 0; i < frames; ++i) {
      const double tone = 800.0 * std::sin(2.0 * 3.141592653589793 * 5200.0 * static_cast<double>(i) / kRate);
      ch[c][i] = std::round(s[i + lead - static_cast<std::size_t>(delays[c])] + tone + noise(gen));
    }
  }
  return ch;
}

struct TRun {
  int status = -1; // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

inline std::string Quote(const std::string &s) {
  std::string q = "'";
  for (const char c : s) {
    q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  }
  return q + "'";
}

// Runs `program` with `args` through the shell, stdout and stderr captured in files of `tmp`.
inline TRun RunProgram(const TTempDir &tmp, const std::string &program, const std::vector<std::string> &args) {
  std::string cmd = Quote(program);
  for (const std::string &a : args) {
    cmd += " " + Quote(a);
  }
  const std::string outPath = tmp.Path("run.out");
  const std::string errPath = tmp.Path("run.err");
  cmd += " >" + Quote(outPath) + " 2>" + Quote(errPath) + " </dev/null";
  const int raw = std::system(cmd.c_str());
  TRun r;
  r.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  r.out = ReadText(outPath);
  r.err = ReadText(errPath);
  return r;
}

inline std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Names of the members of a JSON object line, in order; empty when the line is not a JSON object.
inline std::vector<std::string> MemberNames(const rapidjson::Document &doc) {
  std::vector<std::string> names;
  if (doc.IsObject()) {
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
      names.emplace_back(it->name.GetString());
    }
  }
  return names;
}

} // namespace replay_test
