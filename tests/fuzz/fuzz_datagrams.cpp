// The receiver's regrouping of datagrams into blocks (TBlockAssembler) over a small pool, driven as
// th_Recieve drives it: a batch of consecutive buffers is announced with BeforeReuse, then filled in order, and
// the next batch starts after the last filled one. Packets are 12 bytes (an RTP header) instead of 812.
//
// Input: byte 0 picks the pool size (1 + low nibble) and the batch size (1 + high nibble). Then one record per
// datagram: a head byte (bits 0-1 channel, bit 2 an explicit length byte follows, else the exact length; bit 3 a
// raw 4-byte timestamp follows, else the timestamp is bits 4-7, so groups meet often).
//
// A second, plain model of the pool (a scan over the slots, no map) says what each call must answer; every
// emitted block is also checked against the bytes in the pool.

#include "micro4/block_assembler.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

using micro4::EAccepted;
using micro4::TBlockAssembler;

constexpr std::size_t kPacket = 12;
constexpr std::size_t kMaxSlots = 16;

#define CHECK(condition)                                                                                               \
  do {                                                                                                                 \
    if (!(condition)) {                                                                                                \
      __builtin_trap();                                                                                                \
    }                                                                                                                  \
  } while (false)

// What the model knows of one buffer: the last datagram written into it, and whether a waiting group still
// holds it (accepted, not replaced by a later copy, not published, not dropped).
struct TSlot {
  bool Live = false;
  std::uint32_t Key = 0;
  std::size_t Channel = 0;
  std::uint32_t Sequence = 0; // datagram number, also written into the buffer's bytes 0..3
};

class TRun {
public:
  explicit TRun(std::size_t slots) : Slots_(slots), Assembler_(Pool_.data(), slots, kPacket) {}

  std::size_t Pending() const { return Assembler_.PendingGroups(); }

  void BeforeReuse(std::size_t slot) {
    const bool expected = Model_[slot].Live;
    if (expected) {
      // The whole group goes: every buffer that shares the key.
      const std::uint32_t key = Model_[slot].Key;
      for (std::size_t s = 0; s < Slots_; ++s) {
        if (Model_[s].Live && Model_[s].Key == key) {
          Model_[s].Live = false;
        }
      }
    }
    const std::uint64_t before = Assembler_.DroppedGroups();
    CHECK(Assembler_.BeforeReuse(slot) == expected);
    CHECK(Assembler_.DroppedGroups() == before + (expected ? 1 : 0));
    CheckPending();
  }

  void Receive(std::size_t slot, std::size_t channel, std::uint32_t key, std::size_t length) {
    ++Sequence_;
    // As recvmmsg writes it: at most the buffer's size; bytes past a short datagram keep their old content.
    std::array<unsigned char, kPacket> datagram{};
    std::memcpy(datagram.data(), &Sequence_, 4);
    std::memcpy(datagram.data() + 4, &key, 4);
    datagram[8] = static_cast<unsigned char>(channel);
    std::memcpy(Buffer(slot), datagram.data(), length < kPacket ? length : kPacket);

    const bool whole = length == kPacket;
    std::size_t peers[4] = {};
    bool complete = whole;
    if (whole) {
      for (std::size_t s = 0; s < Slots_; ++s) {
        if (Model_[s].Live && Model_[s].Key == key && Model_[s].Channel == channel) {
          Model_[s].Live = false; // replaced by this later copy
        }
      }
      Model_[slot] = TSlot{true, key, channel, Sequence_};
      for (std::size_t c = 0; c < 4; ++c) {
        bool found = false;
        for (std::size_t s = 0; s < Slots_ && !found; ++s) {
          if (Model_[s].Live && Model_[s].Key == key && Model_[s].Channel == c) {
            peers[c] = s;
            found = true;
          }
        }
        complete = complete && found;
      }
    } else {
      ++WrongLength_;
    }

    const TBlockAssembler::TAccepted got = Assembler_.Accept(channel, slot, length);
    CHECK(Assembler_.DroppedDatagrams() == WrongLength_);
    if (!whole) {
      CHECK(got.Outcome == EAccepted::Dropped);
    } else if (!complete) {
      CHECK(got.Outcome == EAccepted::Waiting);
    } else {
      CHECK(got.Outcome == EAccepted::Complete);
      for (std::size_t c = 0; c < 4; ++c) {
        const unsigned char *buffer = got.Block[c];
        CHECK(buffer != nullptr && buffer >= Pool_.data() && buffer < Pool_.data() + Slots_ * kPacket);
        CHECK(static_cast<std::size_t>(buffer - Pool_.data()) % kPacket == 0);
        CHECK(buffer == Buffer(peers[c]));
        // The bytes are still the datagram the model holds there: this timestamp, this channel, this copy.
        std::uint32_t sequence = 0;
        std::uint32_t stamp = 0;
        std::memcpy(&sequence, buffer, 4);
        std::memcpy(&stamp, buffer + 4, 4);
        CHECK(stamp == key && buffer[8] == c && sequence == Model_[peers[c]].Sequence);
        Model_[peers[c]].Live = false;
      }
    }
    if (got.Outcome != EAccepted::Complete) {
      for (const unsigned char *buffer : got.Block) {
        CHECK(buffer == nullptr);
      }
    }
    CheckPending();
  }

private:
  unsigned char *Buffer(std::size_t slot) { return Pool_.data() + slot * kPacket; }

  // One waiting group per distinct key among the held buffers; never more groups than buffers.
  void CheckPending() const {
    std::size_t groups = 0;
    for (std::size_t s = 0; s < Slots_; ++s) {
      bool first = Model_[s].Live;
      for (std::size_t t = 0; t < s && first; ++t) {
        first = !(Model_[t].Live && Model_[t].Key == Model_[s].Key);
      }
      groups += first ? 1 : 0;
    }
    CHECK(Assembler_.PendingGroups() == groups && groups <= Slots_);
  }

  std::size_t Slots_;
  std::array<unsigned char, kMaxSlots * kPacket> Pool_{};
  std::array<TSlot, kMaxSlots> Model_{};
  TBlockAssembler Assembler_;
  std::uint32_t Sequence_ = 0;
  std::uint64_t WrongLength_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t slots = 1 + (data[0] & 0x0F);
  const std::size_t batch = 1 + (data[0] >> 4);
  std::size_t at = 1;
  TRun run(slots);
  std::size_t poolIndex = 0;
  while (at < size) {
    const std::size_t count = batch < slots - poolIndex ? batch : slots - poolIndex;
    for (std::size_t m = 0; m < count; ++m) {
      run.BeforeReuse(poolIndex + m);
    }
    std::size_t got = 0;
    for (; got < count && at < size; ++got) {
      const std::uint8_t head = data[at++];
      std::size_t length = kPacket;
      if ((head & 0x04) != 0) {
        if (at >= size) {
          break;
        }
        length = data[at++];
      }
      std::uint32_t key = head >> 4;
      if ((head & 0x08) != 0) {
        if (size - at < 4) {
          at = size; // a cut-off record is no datagram
          break;
        }
        std::memcpy(&key, data + at, 4);
        at += 4;
      }
      run.Receive(poolIndex + got, head & 0x03, key, length);
    }
    poolIndex = (poolIndex + got) % slots;
  }
  // A full round of the pool without datagrams leaves nothing waiting.
  for (std::size_t s = 0; s < slots; ++s) {
    run.BeforeReuse((poolIndex + s) % slots);
  }
  CHECK(run.Pending() == 0);
  return 0;
}
