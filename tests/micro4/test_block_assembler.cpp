// Regrouping of datagrams into blocks, on the assembler directly: a pool of a few 812-byte buffers, datagrams
// written into them as recvmmsg would.

#include "micro4/block_assembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using micro4::EAccepted;
using micro4::TBlockAssembler;

constexpr std::size_t kPacket = 812;

class TBlockAssemblerTest : public ::testing::Test {
protected:
  static constexpr std::size_t kSlots = 6;

  unsigned char *Buffer(std::size_t slot) { return Pool.data() + slot * kPacket; }
  // Writes a datagram with timestamp `key` (host byte order) into `slot` and hands it over.
  TBlockAssembler::TAccepted Put(std::size_t slot, std::size_t channel, uint32_t key, std::size_t length = kPacket) {
    std::memcpy(Buffer(slot) + 4, &key, sizeof(key));
    return Assembler.Accept(channel, slot, length);
  }

  std::vector<unsigned char> Pool = std::vector<unsigned char>(kSlots * kPacket, 0);
  TBlockAssembler Assembler{Pool.data(), kSlots, kPacket};
};

TEST_F(TBlockAssemblerTest, CompletesAGroupInAnyChannelOrderAndFreesItsBuffers) {
  std::array<std::size_t, 4> order{0, 1, 2, 3};
  uint32_t key = 1;
  do {
    // The n-th arrival lies in slot n, so the block must map each channel back to its own buffer.
    for (std::size_t n = 0; n < 4; ++n) {
      const auto got = Put(n, order[n], key);
      ASSERT_EQ(got.Outcome, n < 3 ? EAccepted::Waiting : EAccepted::Complete);
      if (n == 3) {
        for (std::size_t m = 0; m < 4; ++m) {
          EXPECT_EQ(got.Block[order[m]], Buffer(m));
        }
      }
    }
    EXPECT_EQ(Assembler.PendingGroups(), 0U);
    ++key;
  } while (std::next_permutation(order.begin(), order.end()));
  for (std::size_t s = 0; s < kSlots; ++s) {
    EXPECT_FALSE(Assembler.BeforeReuse(s)); // a published block holds no buffer for a pending group
  }
  EXPECT_EQ(Assembler.DroppedGroups(), 0U);
}

TEST_F(TBlockAssemblerTest, DuplicateReplacesTheEarlierCopy) {
  Put(0, 1, 50);
  Put(1, 1, 50);
  Put(2, 0, 50);
  EXPECT_EQ(Assembler.PendingGroups(), 1U);
  // The replaced copy's buffer is free: reusing it must not drop the group.
  EXPECT_FALSE(Assembler.BeforeReuse(0));
  Put(3, 2, 50);
  const auto got = Put(4, 3, 50);
  ASSERT_EQ(got.Outcome, EAccepted::Complete);
  EXPECT_EQ(got.Block[1], Buffer(1));
  EXPECT_EQ(Assembler.DroppedGroups(), 0U);
}

TEST_F(TBlockAssemblerTest, WrongLengthIsCountedAndNeverGrouped) {
  Put(0, 0, 60);
  Put(1, 1, 60);
  Put(2, 2, 60);
  // The right timestamp, but truncated, too long, shorter than the header, empty.
  for (const std::size_t length :
       {std::size_t{500}, kPacket - 1, kPacket + 1, std::size_t{65535}, std::size_t{4}, std::size_t{0}}) {
    EXPECT_EQ(Put(3, 3, 60, length).Outcome, EAccepted::Dropped) << length;
  }
  EXPECT_EQ(Assembler.DroppedDatagrams(), 6U);
  EXPECT_EQ(Assembler.PendingGroups(), 1U);
  const auto got = Put(4, 3, 60);
  ASSERT_EQ(got.Outcome, EAccepted::Complete);
  EXPECT_EQ(got.Block[3], Buffer(4));
}

TEST_F(TBlockAssemblerTest, ReusingABufferDropsItsWaitingGroupOnce) {
  Put(0, 0, 7);
  Put(1, 1, 7);
  Put(2, 0, 8);
  EXPECT_FALSE(Assembler.BeforeReuse(5)); // nothing in it
  EXPECT_TRUE(Assembler.BeforeReuse(1));
  EXPECT_EQ(Assembler.DroppedGroups(), 1U);
  EXPECT_EQ(Assembler.PendingGroups(), 1U);
  EXPECT_FALSE(Assembler.BeforeReuse(0)); // the dropped group let go of all its buffers
  EXPECT_EQ(Assembler.DroppedGroups(), 1U);

  // Late datagrams of the dropped timestamp start a new group instead of completing the old one.
  Put(3, 2, 7);
  EXPECT_EQ(Put(4, 3, 7).Outcome, EAccepted::Waiting);
  EXPECT_EQ(Assembler.PendingGroups(), 2U);

  // A buffer overwritten without BeforeReuse loses its group too: its data is gone.
  EXPECT_EQ(Put(2, 1, 9).Outcome, EAccepted::Waiting);
  EXPECT_EQ(Assembler.DroppedGroups(), 2U);
  EXPECT_EQ(Assembler.PendingGroups(), 2U); // 7 (channels 2, 3) and 9
}

TEST_F(TBlockAssemblerTest, InterleavedTimestampsCompleteIndependently) {
  // Channel 0 runs one timestamp ahead: 200 arrives on it before 100 is complete.
  Put(0, 1, 100);
  Put(1, 0, 200);
  Put(2, 2, 100);
  Put(3, 3, 100);
  EXPECT_EQ(Assembler.PendingGroups(), 2U);
  const auto first = Put(4, 0, 100);
  ASSERT_EQ(first.Outcome, EAccepted::Complete);
  EXPECT_EQ(first.Block, (TBlockAssembler::TBlock{Buffer(4), Buffer(0), Buffer(2), Buffer(3)}));
  EXPECT_EQ(Assembler.PendingGroups(), 1U);
  // Raw timestamps: only equality counts, so wrap-around neighbours are different groups.
  EXPECT_EQ(Put(5, 1, 0xFFFFFFFF).Outcome, EAccepted::Waiting);
  EXPECT_EQ(Assembler.PendingGroups(), 2U);
}

} // namespace
