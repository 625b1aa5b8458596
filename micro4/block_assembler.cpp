#include "micro4/block_assembler.h"

#include <cassert>
#include <cstring>

namespace micro4 {

namespace {
constexpr std::size_t kKeyOffset = 4; // RTP timestamp, compared as it lies in the datagram (host byte order)
} // namespace

TBlockAssembler::TBlockAssembler(unsigned char *pool, std::size_t slots, std::size_t packetBytes)
    : Pool_(pool), Slots_(slots), PacketBytes_(packetBytes), SlotPending_(slots, 0), SlotKey_(slots, 0) {
  assert(packetBytes >= kKeyOffset + sizeof(std::uint32_t));
}

void TBlockAssembler::Release(const TBlock &group) {
  for (const unsigned char *buffer : group) {
    if (buffer != nullptr) {
      SlotPending_[SlotOf(buffer)] = 0;
    }
  }
}

bool TBlockAssembler::BeforeReuse(std::size_t slot) {
  if (slot >= Slots_ || SlotPending_[slot] == 0) {
    return false;
  }
  SlotPending_[slot] = 0;
  const auto it = Pending_.find(SlotKey_[slot]);
  if (it == Pending_.end()) {
    return false;
  }
  Release(it->second);
  Pending_.erase(it);
  ++DroppedGroups_;
  return true;
}

TBlockAssembler::TAccepted TBlockAssembler::Accept(std::size_t channel, std::size_t slot, std::size_t length) {
  assert(channel < 4 && slot < Slots_);
  if (channel >= 4 || slot >= Slots_) {
    ++DroppedDatagrams_;
    return {};
  }
  BeforeReuse(slot); // nothing to do when the caller called it; otherwise the buffer's old group is lost
  if (length != PacketBytes_ || length < kKeyOffset + sizeof(std::uint32_t)) {
    // The buffer is left unused: no group points at it.
    ++DroppedDatagrams_;
    return {};
  }
  unsigned char *const buffer = Pool_ + slot * PacketBytes_;
  std::uint32_t key = 0;
  std::memcpy(&key, buffer + kKeyOffset, sizeof(key));

  const auto it = Pending_.try_emplace(key).first;
  TBlock &group = it->second;
  if (group[channel] != nullptr) {
    SlotPending_[SlotOf(group[channel])] = 0; // a duplicate replaces the earlier copy
  }
  group[channel] = buffer;
  SlotPending_[slot] = 1;
  SlotKey_[slot] = key;

  if (group[0] == nullptr || group[1] == nullptr || group[2] == nullptr || group[3] == nullptr) {
    return {EAccepted::Waiting, {}};
  }
  const TAccepted complete{EAccepted::Complete, group};
  Release(group);
  Pending_.erase(it);
  return complete;
}

} // namespace micro4
