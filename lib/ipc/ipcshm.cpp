// System V shared-memory segments on IPC handles: creation under a
// process-wide key counter, attach by key with waiting, detach and removal.
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "ipc/ipcasync.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipcshm.cpp");

using namespace ipc_detail;

namespace {

constexpr std::uint32_t kFirstKey = 0x6A501994;
// The segments carry backup data: readable and writable by their owner only.
constexpr int kShmemPerm = 0600;
constexpr int kAttachRetries = 100;

// Each creation attempt takes the next key; per process.
std::uint32_t SharedMemoryKey = kFirstKey;

// Maps the first `size` bytes of an attached segment in for writing at once:
// a stream writes every buffer many times, and a page fault per page on its
// first pass costs more than one call here. A kernel without the call leaves
// the faults to the data path.
void Populate(void* at, int size) {
  if (size <= 0) return;
  const int saved = errno;
  madvise(at, static_cast<std::size_t>(size), MADV_POPULATE_WRITE);
  errno = saved;
}

// Attaches at the wanted address when given and free, else anywhere, and
// populates `size` bytes.
void* Attach(int id, void* wanted, int size) {
  void* at = reinterpret_cast<void*>(-1);
  if (wanted != nullptr) {
    at = shmat(id, wanted, 0);
    if (at == reinterpret_cast<void*>(-1)) {
      DbgPlain(kLevel, "[IpcShmem] shmat(%d, %p) failed (errno=%d), attaching elsewhere", id,
               wanted, errno);
    }
  }
  if (at == reinterpret_cast<void*>(-1)) at = shmat(id, nullptr, 0);
  if (at != reinterpret_cast<void*>(-1)) Populate(at, size);
  return at;
}

// The entry of a handle with a segment attached; null (EIPCSHMNONE) without.
IpcEntry* AttachedEntry(IpcHandle handle, const char* caller) {
  IpcEntry* entry = IpcGetEntry(handle, caller);
  if (entry != nullptr && entry->shmAttached == 0) {
    ErhMark(EIPCSHMNONE, 0, caller, kErhMinor);
    return nullptr;
  }
  return entry;
}

void Record(IpcEntry& entry, int owner, int size, int id, void* address, int key) {
  entry.shmAttached = 1;
  entry.shmOwner = owner;
  entry.shmCreator = owner != 0 ? getpid() : 0;
  entry.shmSize = size;
  entry.shmId = id;
  entry.shmAddress = address;
  entry.shmKey = key;
  if (entry.type == IPC_TYPE_NONE) entry.type = IPC_SHMEM;
}

}  // namespace

int IpcAllocShmem(IpcHandle handle, void** address, int size) {
  static const char kFn[] = "IpcAllocShmem";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (size < 1 || entry->shmAttached != 0) {
    ErhMark(EIPCSHMCREATE, size < 1 ? EINVAL : EBUSY, kFn, kErhMinor);
    return -1;
  }
  int id;
  int key;
  for (;;) {
    ++SharedMemoryKey;
    key = static_cast<int>(SharedMemoryKey);
    id = shmget(key, static_cast<std::size_t>(size), IPC_CREAT | IPC_EXCL | kShmemPerm);
    if (id >= 0) break;
    const int err = errno;
    if (err != EEXIST || SharedMemoryKey == kFirstKey) {
      DbgPlain(kDbgUnexpected,
               "[%s] shmget(%d, %d, IPC_CREAT|IPC_EXCL|IPC_SHMEM_PERM) failed (err=%d)", kFn, key,
               size, err);
      ErhMark(EIPCSHMCREATE, err, kFn, kErhMinor);
      return -1;
    }
  }
  DbgPlain(kLevel, "Created shared memory: ShmHandle=%lx ShmKey=%lx BuffSize=%d",
           static_cast<unsigned long>(id), static_cast<unsigned long>(static_cast<unsigned>(key)),
           size);
  DbgPlain(kLevel, "\tcreation flags 0x%X",
           static_cast<unsigned>(IPC_CREAT | IPC_EXCL | kShmemPerm));
  void* at = Attach(id, address != nullptr ? *address : nullptr, size);
  if (at == reinterpret_cast<void*>(-1)) {
    const int err = errno;
    // Nobody else knows the new segment yet; it would be left behind.
    shmctl(id, IPC_RMID, nullptr);
    ErhMark(EIPCSHMATTACH, err, kFn, kErhMinor);
    return -1;
  }
  Record(*entry, 1, size, id, at, key);
  if (address != nullptr) *address = at;
  return 0;
}

int IpcAttachShmem(IpcHandle handle, int key, void** address, int size) {
  static const char kFn[] = "IpcAttachShmem";
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (size < 0 || entry->shmAttached != 0) {
    ErhMark(EIPCSHMATTACH, size < 0 ? EINVAL : EBUSY, kFn, kErhMinor);
    return -1;
  }
  int id;
  for (int retry = 0;; ++retry) {
    id = shmget(key, static_cast<std::size_t>(size), kShmemPerm);
    if (id >= 0) break;
    const int err = errno;
    if (err == ENOENT && retry < kAttachRetries) {
      Sleep(1, 0);
      continue;
    }
    DbgPlain(kDbgUnexpected, "[%s] shmget(%d, %d, IPC_SHMEM_PERM) failed (err=%d)", kFn, key, size,
             err);
    ErhMark(EIPCSHMATTACH, err, kFn, kErhMinor);
    return -1;
  }
  void* at = Attach(id, address != nullptr ? *address : nullptr, size);
  if (at == reinterpret_cast<void*>(-1)) {
    ErhMark(EIPCSHMATTACH, errno, kFn, kErhMinor);
    return -1;
  }
  Record(*entry, 0, size, id, at, key);
  if (address != nullptr) *address = at;
  return 0;
}

int IpcDetachShmem(IpcHandle handle) {
  static const char kFn[] = "IpcDetachShmem";
  IpcEntry* entry = AttachedEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (shmdt(entry->shmAddress) != 0) {
    ErhMark(EIPCNOEVENT, errno, kFn, kErhMinor);
    return -1;
  }
  if (!OwnsSegment(*entry)) RemoveIfOrphaned(entry->shmId);
  entry->shmAttached = 0;
  entry->shmAddress = nullptr;
  return 0;
}

int IpcFreeShmem(IpcHandle handle) {
  static const char kFn[] = "IpcFreeShmem";
  IpcEntry* entry = AttachedEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (!OwnsSegment(*entry)) {
    ErhMark(EIPCSHMFREE, 0, kFn, kErhMinor);
    return -1;
  }
  // A removal that failed before left the segment detached.
  if (entry->shmAddress != nullptr && shmdt(entry->shmAddress) != 0) {
    ErhMark(EIPCNOEVENT, errno, kFn, kErhMinor);
    return -1;
  }
  entry->shmAddress = nullptr;
  if (shmctl(entry->shmId, IPC_RMID, nullptr) != 0) {
    ErhMark(EIPCSHMFREE, errno, kFn, kErhMinor);
    return -1;
  }
  entry->shmAttached = 0;
  return 0;
}

int IpcGetShmemKey(IpcHandle handle) {
  static const char kFn[] = "IpcGetShmemKey";
  IpcEntry* entry = AttachedEntry(handle, kFn);
  if (entry == nullptr) return -1;
  return entry->shmKey;
}
