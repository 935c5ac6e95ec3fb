// First-in first-out queues of buffer ids, as the network processes keep
// them: the backup process's rings hold 64 ids (IdRing, dacmn/bdanet.h), the
// restore process's 256 (dacmn/rdanet.h).
#pragma once

// A ring of `Capacity` slots. The indices always lie in 0 .. Capacity - 1.
template <int Capacity>
struct IdRingOf {
  static_assert(Capacity > 0);
  static constexpr int kCapacity = Capacity;
  int idBuffer[Capacity];
  int idHead;  // slot the next id is written to
  int idTail;  // slot the next id is taken from
  int idSize;  // ids held, 0 to Capacity

  static constexpr int Next(int slot) { return slot == Capacity - 1 ? 0 : slot + 1; }
  static constexpr int Previous(int slot) { return slot == 0 ? Capacity - 1 : slot - 1; }
};

// Resets the indices; the slots keep their ids (NetRewData relies on it).
template <int Capacity>
void NetClrID(IdRingOf<Capacity>* ring) {
  ring->idHead = 0;
  ring->idTail = 0;
  ring->idSize = 0;
}

// 1 when the ring holds no id.
template <int Capacity>
int NetEmptyID(const IdRingOf<Capacity>* ring) {
  return ring->idSize == 0 ? 1 : 0;
}

// 0, or -1 when the ring is full.
template <int Capacity>
int NetPutID(IdRingOf<Capacity>* ring, int id) {
  if (ring->idSize >= Capacity) return -1;
  ring->idBuffer[ring->idHead] = id;
  ring->idHead = IdRingOf<Capacity>::Next(ring->idHead);
  ++ring->idSize;
  return 0;
}

// The oldest id, or -1 when empty.
template <int Capacity>
int NetGetID(IdRingOf<Capacity>* ring) {
  if (ring->idSize <= 0) return -1;
  const int id = ring->idBuffer[ring->idTail];
  ring->idTail = IdRingOf<Capacity>::Next(ring->idTail);
  --ring->idSize;
  return id;
}
