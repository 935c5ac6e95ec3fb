// Pipe pairs between a parent and the child it forks, on one IPC handle; and
// the SIGINT handler that gives the layer's resources back before exit.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "ipc/ipcasync.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipcpipe.cpp");

using namespace ipc_detail;

namespace {

enum PipeSide : int { kBothSides = 1, kParentSide = 2, kChildSide = 3 };

IpcEntry* PipeEntry(IpcHandle handle, const char* caller) {
  IpcEntry* entry = IpcGetEntry(handle, caller);
  if (entry != nullptr && entry->type != IPC_PIPE) {
    ErhMark(EIPCNOTPIPE, 0, caller, kErhMinor);
    return nullptr;
  }
  return entry;
}

struct sigaction savedSigInt;
bool sigIntInstalled = false;
int (*volatile intrCallback)() = nullptr;

}  // namespace

IpcHandle IpcOpenPipes() {
  static const char kFn[] = "IpcOpenPipes";
  IpcHandleGuard taken(IpcFindEmptyIpcHandle(), IpcReleaseIpcHandle);
  if (!taken) return -1;
  const IpcHandle handle = taken.get();
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  if (pipe2(entry->pipeA, O_CLOEXEC) != 0) {
    ErhMark(EIPCPIPE1, errno, kFn, kErhMinor);
    return -1;
  }
  if (pipe2(entry->pipeB, O_CLOEXEC) != 0) {
    const int err = errno;
    CloseFd(entry->pipeA[0]);
    CloseFd(entry->pipeA[1]);
    ErhMark(EIPCPIPE2, err, kFn, kErhMinor);
    return -1;
  }
  entry->type = IPC_PIPE;
  entry->pipeSide = kBothSides;
  DbgPlain(kLevel, "[%s] handle %d: pipes %d/%d and %d/%d", kFn, handle, entry->pipeA[0],
           entry->pipeA[1], entry->pipeB[0], entry->pipeB[1]);
  return taken.release();
}

int IpcPrepareParentPipesAfterFork(IpcHandle handle) {
  IpcEntry* entry = PipeEntry(handle, "IpcPrepareParentPipesAfterFork");
  if (entry == nullptr) return -1;
  CloseFd(entry->pipeA[1]);
  CloseFd(entry->pipeB[0]);
  entry->pipeRead = entry->pipeA[0];
  entry->pipeWrite = entry->pipeB[1];
  entry->pipeSide = kParentSide;
  return 0;
}

int IpcPrepareChildPipesAfterFork(IpcHandle handle) {
  IpcEntry* entry = PipeEntry(handle, "IpcPrepareChildPipesAfterFork");
  if (entry == nullptr) return -1;
  CloseFd(entry->pipeA[0]);
  CloseFd(entry->pipeB[1]);
  entry->pipeRead = entry->pipeB[0];
  entry->pipeWrite = entry->pipeA[1];
  entry->pipeSide = kChildSide;
  return 0;
}

int IpcClosePipes(IpcHandle handle) {
  IpcEntry* entry = PipeEntry(handle, "IpcClosePipes");
  if (entry == nullptr) return -1;
  if (entry->pipeSide == kBothSides || entry->pipeSide == kParentSide) {
    CloseFd(entry->pipeA[0]);
    CloseFd(entry->pipeB[1]);
  }
  if (entry->pipeSide == kBothSides || entry->pipeSide == kChildSide) {
    CloseFd(entry->pipeB[0]);
    CloseFd(entry->pipeA[1]);
  }
  entry->pipeRead = -1;
  entry->pipeWrite = -1;
  return IpcReleaseIpcHandle(handle);
}

int IpcTakePipeEnds(IpcHandle handle, int* readFd, int* writeFd) {
  static const char kFn[] = "IpcTakePipeEnds";
  IpcEntry* entry = PipeEntry(handle, kFn);
  if (entry == nullptr) return -1;
  if (readFd == nullptr || writeFd == nullptr ||
      (entry->pipeSide != kParentSide && entry->pipeSide != kChildSide)) {
    ErhMark(EIPCNOTPIPE, 0, kFn, kErhMinor);
    return -1;
  }
  // Bytes read ahead would be lost with the handle.
  if (HoldsBytes(*entry)) {
    ErhMark(EIPCRECVPENDING, 0, kFn, kErhMinor);
    return -1;
  }
  RestoreBlocking(*entry);
  *readFd = entry->pipeRead;
  *writeFd = entry->pipeWrite;
  for (int* fd : {&entry->pipeA[0], &entry->pipeA[1], &entry->pipeB[0], &entry->pipeB[1],
                  &entry->pipeRead, &entry->pipeWrite}) {
    *fd = -1;
  }
  DbgPlain(kLevel, "[%s] handle %d: ends %d/%d handed over", kFn, handle, *readFd, *writeFd);
  return IpcReleaseIpcHandle(handle);
}

IpcHandle IpcAttachPipes(int readFd, int writeFd) {
  static const char kFn[] = "IpcAttachPipes";
  if (readFd < 0 || writeFd < 0 || fcntl(readFd, F_GETFD) < 0 || fcntl(writeFd, F_GETFD) < 0) {
    const int err = readFd < 0 || writeFd < 0 ? EBADF : errno;
    if (readFd >= 0) CloseFd(readFd);
    if (writeFd >= 0) CloseFd(writeFd);
    ErhMark(EIPCBADFDS, err, kFn, kErhMinor);
    return -1;
  }
  const IpcHandle handle = IpcFindEmptyIpcHandle();
  if (handle < 0) {
    CloseFd(readFd);
    CloseFd(writeFd);
    return -1;
  }
  IpcEntry* entry = IpcGetEntry(handle, kFn);
  entry->type = IPC_PIPE;
  // The child's layout: it reads from pipe B and writes to pipe A.
  entry->pipeB[0] = readFd;
  entry->pipeA[1] = writeFd;
  entry->pipeRead = readFd;
  entry->pipeWrite = writeFd;
  entry->pipeSide = kChildSide;
  DbgPlain(kLevel, "[%s] handle %d: ends %d/%d", kFn, handle, readFd, writeFd);
  return handle;
}

void IpcInstallSigIntr(int (*callback)()) {
  static const char kFn[] = "IpcInstallSigIntr";
  // SIGINT belongs to the host process when we are its guest.
  if (CmnInHostProcess()) {
    DbgPlain(kLevel, "[%s] host process: SIGINT left to the host", kFn);
    return;
  }
  struct sigaction action {};
  action.sa_handler = IpcIntrCleanup;
  if (sigemptyset(&action.sa_mask) != 0) {
    DbgPlain(kDbgUnexpected, "[%s] sigemptyset(%p) failed (errno=%d)", kFn,
             static_cast<void*>(&action.sa_mask), errno);
  }
  struct sigaction previous {};
  if (sigaction(SIGINT, &action, &previous) != 0) {
    DbgPlain(kDbgUnexpected, "[%s] sigaction(SIGINT, %p, %p) failed (errno=%d)", kFn,
             static_cast<void*>(&action), static_cast<void*>(&previous), errno);
    return;
  }
  if (!sigIntInstalled) savedSigInt = previous;
  sigIntInstalled = true;
  intrCallback = callback;
}

void IpcRestoreSigIntr() {
  static const char kFn[] = "IpcRestoreSigIntr";
  if (!sigIntInstalled) return;
  if (sigaction(SIGINT, &savedSigInt, nullptr) != 0) {
    DbgPlain(kDbgUnexpected, "[%s] sigaction(SIGINT, %p, NULL) failed (errno=%d)", kFn,
             static_cast<void*>(&savedSigInt), errno);
  }
  sigIntInstalled = false;
  intrCallback = nullptr;
}

// Runs inside the signal handler: only close, shmdt, shmctl, write and _exit,
// no allocation, no tracing, no locks. Entries stay in the table with their
// descriptors set to -1; the next IpcExit frees them.
void IpcIntrCleanup(int) {
  static const char kText[] = "IPC - SIGINT caught! Exiting...\n";
  const int savedErrno = errno;
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, kText, sizeof kText - 1);
  if (IpcInstance* instance = IpcMyInstance()) {
    for (auto& slot : instance->table) {
      IpcEntry* entry = slot.get();
      if (entry == nullptr) continue;
      if (entry->writeFd != entry->readFd) CloseFd(entry->writeFd);
      CloseFd(entry->readFd);
      entry->writeFd = -1;
      for (int* fd : {&entry->pipeA[0], &entry->pipeA[1], &entry->pipeB[0], &entry->pipeB[1]}) {
        CloseFd(*fd);
      }
      entry->pipeRead = -1;
      entry->pipeWrite = -1;
      DropShmem(*entry);
    }
    CloseFd(instance->listenSocket);
    instance->listenPort = kIpcNoPort;
  }
  int (*callback)() = intrCallback;
  if (callback == nullptr || callback() != 0) _exit(1);
  errno = savedErrno;
}
