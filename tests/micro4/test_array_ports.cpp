// The array client on its fixed client ports 33712 .. 33718: the whole Start() against a fake array, and the receive
// path fed by an independent RTP sender (GStreamer).

#include "fake_rtsp_server.h"
#include "micro4/microphone.h"
#include "micro4_test_support.h"

#include <sndfile.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern char **environ;

namespace {

using micro4::TMicrophone;
using namespace micro4::test;

int CountOf(const std::string &text, const std::string &piece) {
  int n = 0;
  for (auto pos = text.find(piece); pos != std::string::npos; pos = text.find(piece, pos + 1)) {
    ++n;
  }
  return n;
}

TEST(TMicrophoneStart, SetsUpChannels1To4ThenReceives) {
  TFakeRtspServer server;
  TMicrophone mic("127.0.0.1", server.Port());
  ::testing::internal::CaptureStdout();
  const bool ok = mic.Start();
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(ok) << out;
  EXPECT_EQ(CountOf(out, "Socket successfully created..\nconnected to the server..\nSessID=4F2A9C11\n"), 4) << out;

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4U);
  for (int c = 1; c <= 4; ++c) {
    const auto &dialogue = requests[static_cast<std::size_t>(c - 1)];
    ASSERT_EQ(dialogue.size(), 5U);
    const int port = 33710 + 2 * c;
    EXPECT_NE(dialogue[3].find("/channel=" + std::to_string(c) +
                               " RTSP/1.0\n Transport: RTP / AVP / UDP; unicast; "
                               "client_port = " +
                               std::to_string(port) + " - " + std::to_string(port + 1) + "\n"),
              std::string::npos)
        << dialogue[3];
    EXPECT_EQ(mic.UdpPort(c), port);
  }

  TUdpSender sender;
  for (int c = 1; c <= 4; ++c) {
    sender.Send(33710 + 2 * c, MarkedDatagram(c, 123));
  }
  std::vector<double> v0, v1, v2, v3;
  mic.ReadAllCH(v0, v1, v2, v3, 0);
  EXPECT_EQ(ReadMarker(v0).ArrayChannel, 4);
  EXPECT_EQ(ReadMarker(v1).ArrayChannel, 1);
  EXPECT_EQ(ReadMarker(v3).Key, 123U);
}

TEST(TMicrophoneStart, StopsAtTheFirstFailingChannel) {
  TRtspScript failing;
  failing.Mode = TRtspScript::EMode::CloseAfter;
  failing.CloseAfterRequest = 2;
  TFakeRtspServer server({TRtspScript{}, TRtspScript{}, failing});
  TMicrophone mic("127.0.0.1", server.Port());
  ::testing::internal::CaptureStdout();
  const bool ok = mic.Start();
  (void)::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(ok);
  EXPECT_EQ(server.Connections(), 3); // channel 4 is never contacted
  EXPECT_EQ(mic.UdpPort(1), 33712);   // channels set up before the failure stay bound
  EXPECT_EQ(mic.UdpPort(2), 33714);
  EXPECT_EQ(mic.UdpPort(3), 0);
  EXPECT_EQ(mic.UdpPort(4), 0);
  EXPECT_EQ(mic.ReceivedDatagrams(), 0U);
}

// ---- GStreamer as the array --------------------------------------------------------------------------------------

bool OnPath(const std::string &program) {
  const char *path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

// Runs a program with arguments, waits for it; its exit status, or -1 when it could not be run.
int RunProgram(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  argv.reserve(args.size() + 1);
  for (const auto &a : args) {
    argv.push_back(const_cast<char *>(a.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return -1;
    }
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Deterministic, block-distinct test sound: every sample of every channel differs from block to block.
int16_t TestSample(int frame, int channel) {
  uint32_t x = static_cast<uint32_t>(frame) * 2654435761U + static_cast<uint32_t>(channel) * 40503U + 12345U;
  x ^= x >> 15;
  x *= 2246822519U;
  x ^= x >> 13;
  return static_cast<int16_t>(x & 0xFFFF);
}

TEST(TMicrophoneGStreamer, PublishesTheSamplesOfAFourChannelWavBlockForBlock) {
  if (!OnPath("gst-launch-1.0")) {
    GTEST_SKIP() << "gst-launch-1.0 is not installed (Debian: gstreamer1.0-tools, gstreamer1.0-plugins-base, "
                    "gstreamer1.0-plugins-good)";
  }
  constexpr int kBlocks = 200; // 2.1 s at 37500 Hz, sent in real time
  constexpr int kRate = 37500;
  const std::string wavPath =
      std::string(ORMELIN_BINARY_DIR) + "/test_micro4_gst_" + std::to_string(::getpid()) + ".wav";
  {
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 4;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *file = sf_open(wavPath.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    std::vector<short> frames(static_cast<std::size_t>(kBlocks) * 400 * 4);
    for (int f = 0; f < kBlocks * 400; ++f) {
      for (int k = 0; k < 4; ++k) {
        frames[static_cast<std::size_t>(f) * 4 + static_cast<std::size_t>(k)] = TestSample(f, k);
      }
    }
    const sf_count_t frameCount = sf_count_t{kBlocks} * 400;
    const sf_count_t written = sf_writef_short(file, frames.data(), frameCount);
    sf_close(file);
    ASSERT_EQ(written, frameCount);
  }

  TMicrophone mic("127.0.0.1", 554);
  ASSERT_TRUE(mic.StartReceiver()); // 33712, 33714, 33716, 33718 for array channels 1 .. 4

  // WAV channel k is reader channel k, that is array channel 4, 1, 2, 3, sent to port 33710 + 2 x array channel.
  const int portOfWavChannel[4] = {33718, 33712, 33714, 33716};
  std::vector<std::string> args = {"gst-launch-1.0", "-q",    "filesrc", "location=" + wavPath, "!", "wavparse", "!",
                                   "deinterleave",   "name=d"};
  for (int k = 0; k < 4; ++k) {
    const std::vector<std::string> branch = {"d.src_" + std::to_string(k),
                                             "!",
                                             "queue",
                                             "!",
                                             "audioconvert",
                                             "!",
                                             "rtpL16pay",
                                             "mtu=812",
                                             "min-ptime=10666667",
                                             "timestamp-offset=0",
                                             "pt=96",
                                             "!",
                                             "udpsink",
                                             "host=127.0.0.1",
                                             "port=" + std::to_string(portOfWavChannel[k]),
                                             "sync=true"};
    args.insert(args.end(), branch.begin(), branch.end());
  }
  const int status = RunProgram(args);
  ::unlink(wavPath.c_str());
  ASSERT_EQ(status, 0) << "gst-launch-1.0 failed";

  // Everything sent is queued on loopback by now; wait until the receiver has taken it all.
  uint64_t seen = mic.ReceivedDatagrams();
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const uint64_t now = mic.ReceivedDatagrams();
        const bool settled = now == seen && now > 0;
        seen = now;
        return settled;
      },
      std::chrono::seconds(20)));
  EXPECT_EQ(mic.DroppedDatagrams(), 0U);

  const int published = mic.CurrentWriteBlock();
  ASSERT_GT(published, kBlocks / 2) << "too few blocks arrived";
  std::vector<std::vector<double>> read(4);
  ASSERT_TRUE(mic.NonBlockReadAllCH(read[0], read[1], read[2], read[3], 0));
  // The first published block is the first one sent after the sockets were bound: find it by its samples.
  int first = -1;
  for (int b = 0; b < kBlocks && first < 0; ++b) {
    if (read[0][0] == TestSample(b * 400, 0) && read[0][1] == TestSample(b * 400 + 1, 0)) {
      first = b;
    }
  }
  ASSERT_GE(first, 0) << "first published block matches no block of the WAV";
  EXPECT_EQ(published, kBlocks - first) << "blocks lost after the first one";

  int mismatches = 0;
  for (int i = 0; i < published && i + first < kBlocks; ++i) {
    ASSERT_TRUE(mic.NonBlockReadAllCH(read[0], read[1], read[2], read[3], i));
    for (int k = 0; k < 4; ++k) {
      for (int s = 0; s < 400; ++s) {
        if (read[static_cast<std::size_t>(k)][static_cast<std::size_t>(s)] != TestSample((first + i) * 400 + s, k)) {
          ++mismatches;
        }
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

} // namespace
