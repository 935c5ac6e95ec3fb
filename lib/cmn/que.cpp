// Bounded ring of integers used by the data path for free and filled buffer
// numbers: one slot stays empty so that full and empty can be told apart.
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/global.h"

TARN_RCSID("lib/cmn/que.cpp");

namespace {

bool Usable(const QueRec* queue) {
  return queue != nullptr && queue->entries != nullptr && queue->size > 1 && queue->front >= 0 &&
         queue->front < queue->size && queue->rear >= 0 && queue->rear < queue->size;
}

int Next(const QueRec* queue, int slot) {
  return slot + 1 == queue->size ? 0 : slot + 1;
}
int Previous(const QueRec* queue, int slot) {
  return slot == 0 ? queue->size - 1 : slot - 1;
}

}  // namespace

int QueInit(QueRec* queue, int n) {
  if (queue == nullptr) return -1;
  *queue = QueRec{};
  if (n < 1 || n == 0x7fffffff) return -1;
  auto* entries =
      static_cast<int*>(safe_calloc(static_cast<size_t>(n) + 1, sizeof(int), TARN_HERE));
  if (entries == nullptr) return -1;
  *queue = QueRec{entries, n + 1, 0, 0};
  return 0;
}

int QuePut(QueRec* queue, int value) {
  if (!Usable(queue)) return 0;
  const int next = Next(queue, queue->rear);
  if (next == queue->front) return 0;
  queue->entries[next] = value;
  queue->rear = next;
  return 1;
}

int QueGet(QueRec* queue, int* value) {
  if (!Usable(queue) || queue->front == queue->rear) return 0;
  queue->front = Next(queue, queue->front);
  if (value != nullptr) *value = queue->entries[queue->front];
  return 1;
}

int QueUnget(QueRec* queue, int value) {
  if (!Usable(queue)) return 0;
  const int previous = Previous(queue, queue->front);
  if (previous == queue->rear) return 0;
  queue->entries[queue->front] = value;
  queue->front = previous;
  return 1;
}

int QueCount(const QueRec* queue) {
  if (!Usable(queue)) return 0;
  const int n = queue->rear - queue->front;
  return n >= 0 ? n : n + queue->size;
}

void QueDump(const QueRec* queue) {
  if (!Usable(queue)) return;
  // Free slots (front is the empty one), then the queued values in order.
  for (int slot = Next(queue, queue->rear);; slot = Next(queue, slot)) {
    DbgPlain(25, "QUE[%d] = %d\n", slot, queue->entries[slot]);
    if (slot == queue->front) break;
  }
  for (int slot = queue->front; slot != queue->rear;) {
    slot = Next(queue, slot);
    DbgPlain(25, "QUE[%d] = %d\n", slot, queue->entries[slot]);
  }
}

void QueCleanup(QueRec* queue) {
  if (queue == nullptr) return;
  if (queue->entries != nullptr) safe_free(queue->entries, TARN_HERE);
  *queue = QueRec{};
}
