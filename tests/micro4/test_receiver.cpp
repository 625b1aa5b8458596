// Block store reads and the receiver thread, fed with crafted RTP datagrams over loopback (ports chosen by the
// system, so no fixed port is needed).

#include "micro4/microphone.h"
#include "micro4_test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace {

using micro4::TMicrophone;
using namespace micro4::test;

class TMicrophoneLoopback : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Mic.StartReceiver({0, 0, 0, 0}));
    for (int c = 1; c <= 4; ++c) {
      Ports[static_cast<std::size_t>(c - 1)] = Mic.UdpPort(c);
      ASSERT_NE(Ports[static_cast<std::size_t>(c - 1)], 0);
    }
  }

  // Sends one datagram of array channel `arrayChannel` (1..4) and counts it.
  void Send(int arrayChannel, const std::vector<unsigned char> &datagram) {
    Sender.Send(Ports[static_cast<std::size_t>(arrayChannel - 1)], datagram);
    ++Sent;
  }
  void SendMarked(int arrayChannel, uint32_t key, int tag = 0) {
    Send(arrayChannel, MarkedDatagram(arrayChannel, key, tag));
  }
  void SendGroup(uint32_t key, int tag = 0) {
    for (int c = 1; c <= 4; ++c) {
      SendMarked(c, key, tag);
    }
  }
  // Waits until the receiver has taken every datagram sent so far.
  void Drain() {
    ASSERT_TRUE(WaitUntil([&] { return Mic.ReceivedDatagrams() >= Sent; }))
        << "receiver took " << Mic.ReceivedDatagrams() << " of " << Sent;
  }
  // Markers of block `index`, reader channels 0..3.
  std::array<TMarker, 4> Markers(int index) {
    std::vector<double> v0, v1, v2, v3;
    EXPECT_TRUE(Mic.NonBlockReadAllCH(v0, v1, v2, v3, index));
    return {ReadMarker(v0), ReadMarker(v1), ReadMarker(v2), ReadMarker(v3)};
  }
  void ExpectBlockOfKey(int index, uint32_t key) {
    const auto markers = Markers(index);
    const int arrayChannelOfReader[4] = {4, 1, 2, 3};
    for (int k = 0; k < 4; ++k) {
      EXPECT_EQ(markers[static_cast<std::size_t>(k)].ArrayChannel, arrayChannelOfReader[k]) << "reader " << k;
      EXPECT_EQ(markers[static_cast<std::size_t>(k)].Key, key) << "block " << index << " reader " << k;
    }
  }

  TMicrophone Mic{"127.0.0.1", 554};
  std::array<int, 4> Ports{};
  TUdpSender Sender;
  uint64_t Sent = 0;
};

// ---- reads -------------------------------------------------------------------------------------------------------

TEST_F(TMicrophoneLoopback, ReadsFillEveryVectorWithExactly400Samples) {
  SendGroup(1000);
  Drain();
  std::vector<double> empty, three(3, 9.0), large(1000, 9.0), exact(400, 9.0);
  ASSERT_TRUE(Mic.NonBlockReadAllCH(empty, three, large, exact, 0));
  EXPECT_EQ(empty.size(), 400U);
  EXPECT_EQ(three.size(), 400U);
  EXPECT_EQ(large.size(), 400U);
  EXPECT_EQ(exact.size(), 400U);

  std::vector<double> selected(1000, 9.0);
  Mic.ReadSelectedSignalsBS400(selected, 0, 2);
  EXPECT_EQ(selected.size(), 400U);
  EXPECT_EQ(selected, large); // reader channel 2 both ways

  std::vector<double> a(5), b(2000), c, d(1);
  Mic.ReadAllCH(a, b, c, d, 0);
  EXPECT_EQ(a, empty);
  EXPECT_EQ(b, three);
  EXPECT_EQ(c, large);
  EXPECT_EQ(d, exact);
}

TEST_F(TMicrophoneLoopback, ReadsConvertBigEndianSamplesOfTheDatagram) {
  // Array channel 4 is reader channel 0.
  const std::vector<int> head = {0x8000, 0x7FFF, 0x0102, 0xFFFF, 0x0000};
  const auto datagram = MakeDatagram(77, [&](int i) { return i < 5 ? head[static_cast<std::size_t>(i)] : i * 3; });
  SendMarked(1, 77);
  SendMarked(2, 77);
  SendMarked(3, 77);
  Send(4, datagram);
  Drain();

  std::vector<double> v;
  Mic.ReadSelectedSignalsBS400(v, 0, 0);
  ASSERT_EQ(v.size(), 400U);
  EXPECT_EQ(v[0], -32768.0);
  EXPECT_EQ(v[1], 32767.0);
  EXPECT_EQ(v[2], 258.0);
  EXPECT_EQ(v[3], -1.0);
  EXPECT_EQ(v[4], 0.0);
  EXPECT_EQ(v[399], 399.0 * 3);

  std::vector<short> s0, s1, s2, s3;
  Mic.ReadAsInt16(s0, s1, s2, s3);
  ASSERT_EQ(s0.size(), 400U);
  EXPECT_EQ(s0[0], -32768);
  EXPECT_EQ(s0[3], -1);
  EXPECT_EQ(s1[0], 1); // reader channel 1 is array channel 1
  EXPECT_EQ(s3[0], 3);

  SendGroup(78); // ReadAsInt16 follows its own cursor to the next block
  Mic.ReadAsInt16(s0, s1, s2, s3);
  EXPECT_EQ(s0[0], 4);
  EXPECT_EQ(static_cast<uint16_t>(s2[2]), 78);
}

TEST_F(TMicrophoneLoopback, ReaderChannelsAreArrayChannels4123) {
  SendGroup(5);
  Drain();
  ASSERT_EQ(Mic.CurrentWriteBlock(), 1);
  ExpectBlockOfKey(0, 5);

  std::vector<double> v;
  Mic.ReadSelectedSignalsBS400(v, 0, 0);
  EXPECT_EQ(ReadMarker(v).ArrayChannel, 4);
  Mic.ReadSelectedSignalsBS400(v, 0, 1);
  EXPECT_EQ(ReadMarker(v).ArrayChannel, 1);

  // A channel outside 0..3 leaves the vector as it was.
  std::vector<double> untouched{1.0, 2.0, 3.0};
  Mic.ReadSelectedSignalsBS400(untouched, 0, 4);
  Mic.ReadSelectedSignalsBS400(untouched, 0, -1);
  EXPECT_EQ(untouched, (std::vector<double>{1.0, 2.0, 3.0}));
}

TEST_F(TMicrophoneLoopback, NonBlockReadOfUnpublishedBlockLeavesVectorsUntouched) {
  const std::vector<double> a0{1.0}, b0(3, 2.0), c0, d0(1000, 4.0);
  std::vector<double> a = a0, b = b0, c = c0, d = d0;
  EXPECT_FALSE(Mic.NonBlockReadAllCH(a, b, c, d, 0)); // the entry being written
  SendGroup(10);
  Drain();
  EXPECT_FALSE(Mic.NonBlockReadAllCH(a, b, c, d, 1));     // next entry, not yet published
  EXPECT_FALSE(Mic.NonBlockReadAllCH(a, b, c, d, 5));     // ahead of the receiver, never written
  EXPECT_FALSE(Mic.NonBlockReadAllCH(a, b, c, d, -1));    // outside the ring
  EXPECT_FALSE(Mic.NonBlockReadAllCH(a, b, c, d, 70000)); // outside the ring
  EXPECT_EQ(a, a0);
  EXPECT_EQ(b, b0);
  EXPECT_EQ(c, c0);
  EXPECT_EQ(d, d0);

  EXPECT_TRUE(Mic.NonBlockReadAllCH(a, b, c, d, 0));
  SendGroup(11);
  Drain();
  EXPECT_TRUE(Mic.NonBlockReadAllCH(a, b, c, d, 1));
  EXPECT_EQ(ReadMarker(a).Key, 11U);
}

TEST_F(TMicrophoneLoopback, BlockingReadWaitsUntilItsBlockIsPublished) {
  SendGroup(20);
  Drain();
  std::vector<double> v0, v1, v2, v3;
  Mic.ReadAllCH(v0, v1, v2, v3, 0); // published: returns at once
  EXPECT_EQ(ReadMarker(v0).Key, 20U);

  std::atomic<bool> returned{false};
  std::vector<double> w0, w1, w2, w3;
  std::thread reader([&] {
    Mic.ReadAllCH(w0, w1, w2, w3, 1);
    returned.store(true, std::memory_order_release);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load(std::memory_order_acquire));
  SendGroup(21);
  reader.join();
  EXPECT_EQ(ReadMarker(w0).Key, 21U);
  EXPECT_EQ(ReadMarker(w3).Key, 21U);
}

TEST_F(TMicrophoneLoopback, StopReleasesBlockedReadersWithVectorsUntouched) {
  const std::vector<double> sentinel{7.0, 8.0};
  std::vector<double> v = sentinel;
  std::vector<short> s0{1}, s1, s2, s3;
  std::thread reader([&] { Mic.ReadSelectedSignalsBS400(v, 0, 0); });
  std::thread int16Reader([&] { Mic.ReadAsInt16(s0, s1, s2, s3); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Mic.Stop();
  reader.join();
  int16Reader.join();
  EXPECT_EQ(v, sentinel);
  EXPECT_EQ(s0, std::vector<short>{1});
  EXPECT_FALSE(Mic.StartReceiver({0, 0, 0, 0})); // stopping is final
}

TEST_F(TMicrophoneLoopback, TheListenerWakesAtTheBatchEndOnlyAndBatchReadersNeverHang) {
  constexpr auto kBatch = static_cast<uint32_t>(micro4::kReadBatchBlocks);
  micro4::TEventCount wake;
  ASSERT_TRUE(Mic.SetBlockListener(&wake));
  const std::uint32_t before = wake.Prepare();
  std::atomic<bool> awaited{false};
  std::thread batchReader([&] {
    Mic.AwaitBlock(static_cast<int>(kBatch) - 1);
    awaited.store(true, std::memory_order_release);
  });
  for (uint32_t key = 40; key < 40 + kBatch - 1; ++key) { // every block of the batch but its last
    SendGroup(key);
  }
  Drain();
  ASSERT_TRUE(WaitUntil([&] { return Mic.CurrentWriteBlock() == static_cast<int>(kBatch) - 1; }));
  EXPECT_EQ(wake.Prepare(), before) << "listener notified before the batch's last block";
  SendGroup(40 + kBatch - 1); // the batch's last block
  batchReader.join();
  ASSERT_TRUE(WaitUntil([&] { return wake.Prepare() == before + 1; }));

  micro4::TEventCount other;
  ASSERT_TRUE(Mic.SetBlockListener(&other)); // replaces the first one
  for (uint32_t key = 40 + kBatch; key < 40 + 2 * kBatch; ++key) {
    SendGroup(key);
  }
  Drain();
  ASSERT_TRUE(WaitUntil([&] { return other.Prepare() == 1U; }));
  ASSERT_TRUE(Mic.SetBlockListener(nullptr));
  for (uint32_t key = 40 + 2 * kBatch; key < 40 + 3 * kBatch; ++key) {
    SendGroup(key);
  }
  Drain();
  static_assert(3 * kBatch < 100, "block 100 is never sent");
  Mic.AwaitBlock(100); // never comes: gives up once the stream has paused for the source's patience
  std::vector<double> untouched;
  std::thread stopped([&] { Mic.ReadSelectedSignalsBS400(untouched, 100, 0); }); // released by Stop
  Mic.Stop();
  stopped.join();
  EXPECT_TRUE(untouched.empty());
  EXPECT_TRUE(awaited.load(std::memory_order_acquire));
  EXPECT_EQ(wake.Prepare(), before + 1);
  EXPECT_EQ(other.Prepare(), 1U) << "a removed listener is never notified again";
}

// ---- grouping ----------------------------------------------------------------------------------------------------

TEST_F(TMicrophoneLoopback, LostPacketSkipsOnlyItsGroup) {
  SendGroup(100);
  // Array channel 3 loses timestamp 200.
  SendMarked(1, 200);
  SendMarked(2, 200);
  SendMarked(4, 200);
  SendGroup(300);
  SendGroup(400);
  SendGroup(500);
  Drain();
  // Every complete group is out without further traffic, although channel 3 now delivers one datagram fewer.
  EXPECT_EQ(Mic.CurrentWriteBlock(), 4);
  ExpectBlockOfKey(0, 100);
  ExpectBlockOfKey(1, 300);
  ExpectBlockOfKey(2, 400);
  ExpectBlockOfKey(3, 500);
  EXPECT_EQ(Mic.PendingGroups(), 1U); // group 200 waits for its missing packet
}

TEST_F(TMicrophoneLoopback, ChannelRunningAheadIsRegroupedByTimestamp) {
  // Array channel 1 delivers T-2, T-1, T while the others deliver T, T+1, T+2.
  const uint32_t t = 4000;
  for (uint32_t cycle = 0; cycle < 3; ++cycle) {
    SendMarked(1, t - 2 + cycle);
    SendMarked(2, t + cycle);
    SendMarked(3, t + cycle);
    SendMarked(4, t + cycle);
  }
  Drain();
  EXPECT_EQ(Mic.CurrentWriteBlock(), 1);
  ExpectBlockOfKey(0, t);
  EXPECT_EQ(Mic.PendingGroups(), 4U); // T-2, T-1 (channel 1 only) and T+1, T+2 (without channel 1)

  SendMarked(1, t + 1);
  SendMarked(1, t + 2);
  Drain();
  EXPECT_EQ(Mic.CurrentWriteBlock(), 3);
  ExpectBlockOfKey(1, t + 1);
  ExpectBlockOfKey(2, t + 2);
}

TEST_F(TMicrophoneLoopback, DuplicateBeforeCompletionPublishesLaterCopy) {
  SendMarked(1, 50);
  SendMarked(2, 50, 1);
  SendMarked(2, 50, 2);
  Drain();
  EXPECT_EQ(Mic.PendingGroups(), 1U);
  SendMarked(3, 50);
  SendMarked(4, 50);
  Drain();
  ASSERT_EQ(Mic.CurrentWriteBlock(), 1);
  EXPECT_EQ(Markers(0)[2].Tag, 2); // reader channel 2 is array channel 2
  EXPECT_EQ(Mic.PendingGroups(), 0U);
}

TEST_F(TMicrophoneLoopback, DatagramsThatAreNot812BytesAreNeverPublished) {
  SendMarked(1, 60);
  SendMarked(2, 60);
  SendMarked(4, 60);
  // Array channel 3's datagram arrives truncated, then too long: both carry the right timestamp and would complete
  // the group.
  auto shortDatagram = MarkedDatagram(3, 60, 9);
  shortDatagram.resize(500);
  auto longDatagram = MarkedDatagram(3, 60, 9);
  longDatagram.resize(900, 0xAB);
  Send(3, shortDatagram);
  Send(3, longDatagram);
  Send(3, std::vector<unsigned char>(4, 0)); // shorter than the header
  Drain();
  EXPECT_EQ(Mic.CurrentWriteBlock(), 0);
  EXPECT_EQ(Mic.DroppedDatagrams(), 3U);

  const auto good = MarkedDatagram(3, 60, 0);
  Send(3, good);
  Drain();
  ASSERT_EQ(Mic.CurrentWriteBlock(), 1);
  std::vector<double> v, expected;
  Mic.ReadSelectedSignalsBS400(v, 0, 3);
  TMicrophone::SetGroupDoubleValues(good.data() + 12, 400, expected);
  EXPECT_EQ(v, expected); // no byte of the dropped datagrams left in the published one
}

TEST_F(TMicrophoneLoopback, SustainedLossKeepsPendingGroupsBoundedAndBlocksConsistent) {
  // 5 % of the datagrams are lost, independently per channel. Groups that cannot complete stay pending only until
  // their pool buffers are about to be reused (50000 datagrams later), so the pending count levels off instead of
  // growing with every loss; every published block holds four datagrams of one timestamp.
  constexpr int kCycles = 20000;
  constexpr uint64_t kInFlight = 128; // keeps the socket queues far from overflowing
  std::mt19937 rng(12345);
  struct TCycleRecord {
    uint64_t FirstDatagram; // index of the cycle's first sent datagram
    bool Complete;
    uint32_t Key;
    unsigned LostChannels; // bit c - 1 set when array channel c was lost
  };
  std::vector<TCycleRecord> cycles;
  cycles.reserve(kCycles);
  std::vector<uint32_t> expectedKeys;
  std::size_t nextExpected = 0;
  int cursor = 0;
  std::vector<double> v0, v1, v2, v3;

  const auto readPublished = [&] {
    while (Mic.NonBlockReadAllCH(v0, v1, v2, v3, cursor)) {
      ASSERT_LT(nextExpected, expectedKeys.size()) << "published a group that was never complete";
      const uint32_t key = expectedKeys[nextExpected++];
      for (const auto *v : {&v0, &v1, &v2, &v3}) {
        ASSERT_EQ(ReadMarker(*v).Key, key);
      }
      cursor = (cursor + 1) % Mic.BlocksCount();
    }
  };

  for (int n = 0; n < kCycles; ++n) {
    const uint32_t key = 400U * static_cast<uint32_t>(n + 1);
    bool any = false;
    TCycleRecord record{0, true, key, 0};
    for (int c = 1; c <= 4; ++c) {
      if (rng() % 100 < 5) {
        record.Complete = false;
        record.LostChannels |= 1U << (c - 1);
        continue;
      }
      if (!any) {
        record.FirstDatagram = Sent;
        any = true;
      }
      SendMarked(c, key);
    }
    if (!any) {
      continue; // all four lost: no group at all
    }
    cycles.push_back(record);
    if (record.Complete) {
      expectedKeys.push_back(key);
    }
    ASSERT_TRUE(WaitUntil([&] { return Mic.ReceivedDatagrams() + kInFlight >= Sent; }));
    readPublished();
  }
  Drain();
  readPublished();

  EXPECT_EQ(nextExpected, expectedKeys.size()) << "complete groups missing from the store";
  EXPECT_GT(Mic.DroppedGroups(), 0U);
  // A stale group is dropped when its oldest buffer is reused. Groups entirely within the last 50000 datagrams
  // must still be pending; groups entirely before them must be gone. The reading order may differ from the sending
  // order by the datagrams in flight.
  const uint64_t window = 50000;
  const uint64_t displacement = 2 * kInFlight;
  std::size_t mustPend = 0, mayPend = 0, incomplete = 0;
  for (const auto &record : cycles) {
    if (record.Complete) {
      continue;
    }
    ++incomplete;
    if (record.FirstDatagram + window >= Sent + displacement) {
      ++mustPend;
    }
    if (record.FirstDatagram + window + displacement >= Sent) {
      ++mayPend;
    }
  }
  EXPECT_GE(Mic.PendingGroups(), mustPend);
  EXPECT_LE(Mic.PendingGroups(), mayPend);
  EXPECT_LT(mayPend, incomplete); // older incomplete groups are gone

  // The missing datagrams of the oldest incomplete groups finally arrive. Those groups' buffers have been reused,
  // so they must not be published (they would point at newer packets); each late datagram starts a new group.
  const int32_t before = Mic.CurrentWriteBlock();
  int late = 0;
  for (const auto &record : cycles) {
    if (record.Complete || late == 20) {
      continue;
    }
    ++late;
    for (int c = 1; c <= 4; ++c) {
      if ((record.LostChannels & (1U << (c - 1))) != 0) {
        SendMarked(c, record.Key);
      }
    }
  }
  Drain();
  EXPECT_EQ(Mic.CurrentWriteBlock(), before);
}

TEST_F(TMicrophoneLoopback, WriteBlockWrapsAfter70000Blocks) {
  // Blocks 0 .. 70001: the ring wraps once and entries 0 and 1 are overwritten by blocks 70000 and 70001.
  constexpr uint32_t kBlocks = 70002;
  constexpr uint64_t kInFlight = 128;
  for (uint32_t n = 0; n < kBlocks; ++n) {
    SendGroup(n + 1);
    ASSERT_TRUE(WaitUntil([&] { return Mic.ReceivedDatagrams() + kInFlight >= Sent; }));
  }
  Drain();
  EXPECT_EQ(Mic.CurrentWriteBlock(), 2);
  EXPECT_EQ(Mic.DroppedGroups(), 0U);
  ExpectBlockOfKey(0, 70001);
  ExpectBlockOfKey(1, 70002);
  std::vector<double> v0, v1, v2, v3;
  EXPECT_FALSE(Mic.NonBlockReadAllCH(v0, v1, v2, v3, 2));    // the entry being written
  EXPECT_TRUE(Mic.NonBlockReadAllCH(v0, v1, v2, v3, 69999)); // after the wrap every other entry holds a block
}

TEST(TMicrophoneReceiver, RefusesPortInUseAndSecondStart) {
  TMicrophone first("127.0.0.1", 554);
  ASSERT_TRUE(first.StartReceiver({0, 0, 0, 0}));
  EXPECT_FALSE(first.StartReceiver({0, 0, 0, 0}));
  EXPECT_FALSE(first.Start());

  TMicrophone second("127.0.0.1", 554);
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(second.StartReceiver({0, first.UdpPort(2), 0, 0}));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("bind failed"), std::string::npos) << err;
}

} // namespace
