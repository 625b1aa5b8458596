#pragma once
// Regrouping of the array's four RTP streams into blocks, without sockets, threads or clocks: the receiver hands
// it every datagram it has read into one of its pool buffers and learns when the four channels of one RTP
// timestamp are all there. The receiver keeps the sockets, the block store ring, the shared counters and the
// wake-ups.
//
// Thread: one at a time. In the station that is the receiver thread (TMicrophone::th_Recieve), which owns it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace micro4 {

enum class EAccepted : std::uint8_t {
  Dropped,  // not grouped: wrong length (or a channel or slot out of range: asserted, dropped in release builds)
  Waiting,  // grouped, the group still misses a channel
  Complete, // the datagram completed its group, which has left the assembler
};

class TBlockAssembler {
public:
  using TBlock = std::array<unsigned char *, 4>; // element j: whole datagram of array channel j + 1

  struct TAccepted {
    EAccepted Outcome = EAccepted::Dropped;
    TBlock Block{}; // the four datagrams when Outcome is Complete, else all null
  };

  // `pool`: `slots` buffers of `packetBytes` bytes each, back to back (not owned; it outlives the assembler).
  // Only datagrams of exactly `packetBytes` bytes are grouped, so it must be at least 8 (the RTP timestamp lies
  // at bytes 4..7); with fewer every datagram is dropped. Allocates its per-slot tables here, once.
  TBlockAssembler(unsigned char *pool, std::size_t slots, std::size_t packetBytes);

  // Called for each buffer about to be handed to the socket: a group still waiting in it could never complete
  // with valid data, so it is dropped and counted. True when a group was dropped.
  bool BeforeReuse(std::size_t slot);

  // The datagram of array channel `channel` + 1 (0..3) that was just received into buffer `slot`; `length` is
  // its real length (beyond the buffer's size when it was truncated). Groups are keyed by the raw timestamp
  // bytes; a second datagram of a channel for a waiting group replaces the first. The caller is expected to have
  // called BeforeReuse(slot) first; when it did not, the group the buffer belonged to is dropped here, since its
  // data is gone. Allocates only the map node of a new group.
  TAccepted Accept(std::size_t channel, std::size_t slot, std::size_t length);

  std::size_t PendingGroups() const { return Pending_.size(); }
  std::uint64_t DroppedDatagrams() const { return DroppedDatagrams_; }
  std::uint64_t DroppedGroups() const { return DroppedGroups_; }

private:
  std::size_t SlotOf(const unsigned char *buffer) const {
    return static_cast<std::size_t>(buffer - Pool_) / PacketBytes_;
  }
  void Release(const TBlock &group);

  unsigned char *Pool_;
  std::size_t Slots_;
  std::size_t PacketBytes_;
  // Groups waiting for their other channels, keyed by the raw RTP timestamp (only equality matters).
  std::map<std::uint32_t, TBlock> Pending_;
  // For every pool buffer: whether a pending group points at it, and that group's key.
  std::vector<std::uint8_t> SlotPending_;
  std::vector<std::uint32_t> SlotKey_;
  std::uint64_t DroppedDatagrams_ = 0;
  std::uint64_t DroppedGroups_ = 0;
};

} // namespace micro4
