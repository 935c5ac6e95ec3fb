// IPC state of the process and its handle table: start and stop of the layer,
// the fork hook, SIGPIPE, handles and their accessors.
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <new>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "ipc/ipc.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipchandle.cpp");

using namespace ipc_detail;

int IpcNetBandw = 100;

namespace {

constexpr int kDefaultNetBandw = 100;

// Set while IpcAtExit runs: a missing layer is then expected.
int IpcAtExitFlag = 0;
bool atExitRegistered = false;

struct sigaction savedSigPipe;
bool sigPipeSaved = false;

void IpcInstanceAtInit(void* data) {
  new (data) IpcInstance();
}
void IpcInstanceAtFree(void* data) {
  static_cast<IpcInstance*>(data)->~IpcInstance();
}

const PtdDescriptor IpcInstancePtd = {"IpcInstance",     nullptr,           sizeof(IpcInstance),
                                      IpcInstanceAtInit, IpcInstanceAtFork, IpcInstanceAtFree};

void DeleteMessages(IpcEntry& entry) {
  if (entry.receiveMsg != entry.sendMsg) StrMsgDelete(&entry.receiveMsg);
  StrMsgDelete(&entry.sendMsg);
  entry.receiveMsg = nullptr;
  entry.sendMsg = nullptr;
}

}  // namespace

IpcEntry::IpcEntry() {
  StrMsg* global = StrMsgGetGlobal();
  sendMsg = global;
  receiveMsg = global;
}

IpcEntry::~IpcEntry() {
  DeleteMessages(*this);
}

// ---------------------------------------------------------------- start and stop

IpcInstance* IpcMyInstance() {
  return static_cast<IpcInstance*>(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_IPC));
}

int IpcIsInitialized() {
  return IpcMyInstance() != nullptr ? 1 : 0;
}

IpcInstance* IpcGetInstance(const char* caller) {
  IpcInstance* instance = IpcMyInstance();
  if (instance == nullptr && IpcAtExitFlag == 0) {
    DbgPlain(kDbgUnexpected, "%s: EIPCNOTINIT, returning NULL to %s", "IpcGetInstance",
             caller != nullptr ? caller : "");
    DbgDumpStack(-2);
    ErhMark(EIPCNOTINIT, 0, caller, kErhMinor);
  }
  return instance;
}

int IpcInit() {
  static const char kFn[] = "IpcInit";
  if (IpcMyInstance() != nullptr) return 0;
  DbgFcnInEx(TARN_HERE, kFn, kLevel, " ");
  if (CmnCreateContextEx(&IpcInstancePtd, CMN_SLOT_IPC) == nullptr) {
    DbgFcnOutEx(TARN_HERE, kFn, kLevel, "(int) %d", -1);
    return -1;
  }
  IpcSetMaxNetLoad(0);
  int bandwidth = kDefaultNetBandw;
  EnvReadInt("VEKIPCNETBANDW", &bandwidth);
  // A unit of 0 would divide by zero in the throttle, a negative one would
  // make it sleep a negative time.
  IpcNetBandw = bandwidth > 0 ? bandwidth : kDefaultNetBandw;
  IpcIgnoreSigPipe();
  if (!atExitRegistered && !CmnInHostProcess()) {
    atExitRegistered = true;
    CmnSetAtAxit(IpcAtExit);
  }
  DbgPlain(kLevel, "%s() done", kFn);
  DbgFcnOutEx(TARN_HERE, kFn, kLevel, "(int) %d", 0);
  return 0;
}

int IpcExit() {
  static const char kFn[] = "IpcExit";
  IpcInstance* instance = IpcMyInstance();
  if (instance == nullptr) return 0;
  DbgFcnInEx(TARN_HERE, kFn, kLevel, " ");
  // Unblocked while still ignored: a SIGPIPE left pending meets no handler.
  ReleaseSigPipe();
  IpcEnableSigPipe();
  for (int handle = 0; handle < kIpcMaxHandles; ++handle) {
    if (instance->table[handle] == nullptr) continue;
    const bool errorPending = ErhErrno() != 0;
    IpcCloseConnection(handle);
    if (!errorPending && ErhErrno() != 0) ErhClearError();
  }
  if (instance->listenSocket >= 0) CloseFd(instance->listenSocket);
  CmnFreeContextEx(pcmnMasterContext, CMN_SLOT_IPC);
  DbgFcnOutEx(TARN_HERE, kFn, kLevel, "(int) %d", 0);
  return 0;
}

void IpcAtExit() {
  IpcAtExitFlag = 1;
  IpcExit();
  IpcAtExitFlag = 0;
}

void IpcInstanceAtFork(void* data) {
  auto* instance = static_cast<IpcInstance*>(data);
  if (instance == nullptr) return;
  for (auto& slot : instance->table) {
    if (slot == nullptr) continue;
    IpcEntry& entry = *slot;
    // Every descriptor the child inherited: a pipe end left open here would
    // keep the parent's peer from ever seeing the end of the pipe.
    if (entry.writeFd != entry.readFd) CloseFd(entry.writeFd);
    CloseFd(entry.readFd);
    for (int* fd : {&entry.pipeA[0], &entry.pipeA[1], &entry.pipeB[0], &entry.pipeB[1]}) {
      CloseFd(*fd);
    }
    if (entry.shmAttached != 0 && entry.shmAddress != nullptr) shmdt(entry.shmAddress);
    entry.shmAttached = 0;
    slot.reset();
  }
  instance->inUse = 0;
  instance->highWater = 0;
  if (instance->listenSocket >= 0) CloseFd(instance->listenSocket);
  instance->listenPort = kIpcNoPort;
}

void IpcIgnoreSigPipe() {
  // The host's SIGPIPE handler stays; our writes never raise the signal.
  if (CmnInHostProcess()) {
    DbgPlain(kLevel, "[%s] host process: SIGPIPE left to the host", "IpcIgnoreSigPipe");
    return;
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction previous {};
  if (sigaction(SIGPIPE, &ignore, &previous) != 0) {
    DbgPlain(kDbgUnexpected, "[%s] sigaction(SIGPIPE, %p, %p) failed (errno=%d)",
             "IpcIgnoreSigPipe", static_cast<void*>(&ignore), static_cast<void*>(&previous), errno);
    return;
  }
  // A second call must not replace the action to restore by "ignore".
  if (!sigPipeSaved) {
    savedSigPipe = previous;
    sigPipeSaved = true;
  }
}

void IpcEnableSigPipe() {
  if (!sigPipeSaved) return;
  if (sigaction(SIGPIPE, &savedSigPipe, nullptr) != 0) {
    DbgPlain(kDbgUnexpected, "[%s] sigaction(SIGPIPE, %p, NULL) failed (errno=%d)",
             "IpcEnableSigPipe", static_cast<void*>(&savedSigPipe), errno);
    return;
  }
  sigPipeSaved = false;
}

// ---------------------------------------------------------------- handle table

IpcEntry* IpcGetEntry(IpcHandle handle, const char* caller) {
  IpcInstance* instance = IpcGetInstance(caller);
  if (instance == nullptr) return nullptr;
  if (handle < 0 || handle >= kIpcMaxHandles) {
    DbgPlain(kLevel, "%s: IpcHandle %d out of range (0..%d)", caller, handle, kIpcMaxHandles);
  } else if (instance->table[handle] == nullptr) {
    DbgPlain(kLevel, "%s: IpcHandle %d referenced but is not in use", caller, handle);
  } else {
    return instance->table[handle].get();
  }
  DbgDumpStack(kLevel);
  ErhMark(EIPCBADHANDLE, 0, caller, kErhMinor);
  instance->lastEvent = IPC_EVENT_ERROR;
  instance->lastEventHandle = handle;
  return nullptr;
}

IpcEntry* ipc_detail::IdleSendEntry(IpcHandle handle, const char* caller) {
  IpcEntry* entry = IpcGetEntry(handle, caller);
  if (entry != nullptr && entry->tx.state != TX_IDLE) {
    ErhMark(EIPCSENDPENDING, 0, caller, kErhMinor);
    return nullptr;
  }
  return entry;
}

IpcEntry* ipc_detail::IdleReceiveEntry(IpcHandle handle, const char* caller) {
  IpcEntry* entry = IpcGetEntry(handle, caller);
  if (entry != nullptr && entry->rx.state != RX_IDLE) {
    ErhMark(EIPCRECVPENDING, 0, caller, kErhMinor);
    return nullptr;
  }
  return entry;
}

IpcEntry* ipc_detail::SocketEntry(IpcHandle handle, const char* caller) {
  IpcEntry* entry = IpcGetEntry(handle, caller);
  if (entry != nullptr && entry->type != IPC_SOCKET) {
    ErhMark(EIPCNOTSOCKET, 0, caller, kErhMinor);
    return nullptr;
  }
  return entry;
}

int IpcTestIpcHandle(IpcHandle handle) {
  IpcInstance* instance = IpcMyInstance();
  if (instance == nullptr || handle < 0 || handle >= kIpcMaxHandles) return -1;
  return instance->table[handle] != nullptr ? 0 : -1;
}

IpcHandle IpcFindEmptyIpcHandle() {
  static const char kFn[] = "IpcFindEmptyIpcHandle";
  IpcInstance* instance = IpcGetInstance(kFn);
  if (instance == nullptr) return -1;
  for (int handle = 0; handle < kIpcMaxHandles; ++handle) {
    if (instance->table[handle] != nullptr) continue;
    instance->table[handle] = std::make_unique<IpcEntry>();
    ++instance->inUse;
    if (instance->highWater < handle + 1) instance->highWater = handle + 1;
    return handle;
  }
  DbgPlain(kLevel, "%s: IpcHandleTable is full (%d)", kFn, kIpcMaxHandles);
  ErhMark(EIPCTABLEFULL, 0, kFn, kErhMinor);
  IpcSetEvent(-1, IPC_EVENT_ERROR);
  return -1;
}

int IpcReleaseIpcHandle(IpcHandle handle) {
  static const char kFn[] = "IpcReleaseIpcHandle";
  if (IpcGetEntry(handle, kFn) == nullptr) return -1;
  IpcSetEvent(handle, IPC_EVENT_NONE);
  IpcInstance* instance = IpcMyInstance();
  instance->table[handle].reset();
  --instance->inUse;
  if (handle + 1 == instance->highWater) {
    while (instance->highWater > 0 && instance->table[instance->highWater - 1] == nullptr) {
      --instance->highWater;
    }
  }
  return 0;
}

void IpcSetEvent(IpcHandle handle, int event) {
  static const char kFn[] = "IpcSetEvent";
  IpcInstance* instance = IpcGetInstance(kFn);
  if (instance == nullptr) return;
  if (handle != -1) {
    IpcEntry* entry = IpcGetEntry(handle, kFn);
    if (entry == nullptr) return;
    entry->lastEvent = event;
  }
  instance->lastEvent = event;
  instance->lastEventHandle = handle;
}

int IpcGetLastIpcEvent() {
  IpcInstance* instance = IpcMyInstance();
  return instance != nullptr ? instance->lastEvent : -1;
}

int IpcGetLastIpcHandleEvent(IpcHandle handle) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcGetLastIpcHandleEvent");
  return entry != nullptr ? entry->lastEvent : -1;
}

int IpcGetLastIncomingHandle() {
  IpcInstance* instance = IpcGetInstance("IpcGetLastIncomingHandle");
  return instance != nullptr ? instance->lastIncoming : -1;
}

int IpcHoldsReadAhead(IpcHandle handle) {
  const IpcEntry* entry = IpcGetEntry(handle, "IpcHoldsReadAhead");
  return entry != nullptr && HoldsBytes(*entry) ? 1 : 0;
}

int IpcGetReadSocket(IpcHandle handle) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcGetReadSocket");
  return entry != nullptr ? entry->readFd : -1;
}

int IpcGetWriteSocket(IpcHandle handle) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcGetWriteSocket");
  return entry != nullptr ? entry->writeFd : -1;
}

const char* IpcGetConnectionIP(IpcHandle handle) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcGetConnectionIP");
  return entry != nullptr ? entry->connectionIp : nullptr;
}

StrMsg* IpcGetStrMsg(IpcHandle handle) {
  IpcEntry* entry = IdleSendEntry(handle, "IpcGetStrMsg");
  return entry != nullptr ? entry->sendMsg : nullptr;
}

StrMsg* IpcGetReceiveStrMsg(IpcHandle handle) {
  IpcEntry* entry = IdleReceiveEntry(handle, "IpcGetReceiveStrMsg");
  return entry != nullptr ? entry->receiveMsg : nullptr;
}

int IpcSetStrMsg(IpcHandle handle, StrMsg* send, StrMsg* receive) {
  static const char kFn[] = "IpcSetStrMsg";
  IpcEntry* entry = IdleSendEntry(handle, kFn);
  if (entry == nullptr || IdleReceiveEntry(handle, kFn) == nullptr) return -1;
  StrMsg* global = StrMsgGetGlobal();
  // A message installed again must survive the deletion of the old ones.
  if (entry->sendMsg == send || entry->sendMsg == receive) entry->sendMsg = global;
  if (entry->receiveMsg == send || entry->receiveMsg == receive) entry->receiveMsg = global;
  DeleteMessages(*entry);
  entry->sendMsg = send != nullptr ? send : global;
  entry->receiveMsg = receive != nullptr ? receive : global;
  entry->flags &= ~IPC_FLAG_PEEKED;
  entry->peekedMsg = nullptr;
  return 0;
}

int IpcSetAsyncDynBuf(IpcHandle handle) {
  StrMsg* send = StrMsgNew();
  StrMsg* receive = StrMsgNew();
  if (send == nullptr || receive == nullptr || IpcSetStrMsg(handle, send, receive) != 0) {
    StrMsgDelete(&send);
    StrMsgDelete(&receive);
    return -1;
  }
  return 0;
}

unsigned IpcGetListenPort() {
  IpcInstance* instance = IpcMyInstance();
  return instance != nullptr ? instance->listenPort : kIpcNoPort;
}

int IpcGetListenSocket() {
  IpcInstance* instance = IpcGetInstance("IpcGetListenSocket");
  return instance != nullptr ? instance->listenSocket : -1;
}

int IpcSetEntryFlag(IpcHandle handle, unsigned bits) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcSetEntryFlag");
  if (entry == nullptr) return -1;
  entry->flags |= bits;
  return 0;
}

int IpcClearEntryFlag(IpcHandle handle, unsigned bits) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcClearEntryFlag");
  if (entry == nullptr) return -1;
  entry->flags &= ~bits;
  return 0;
}

int IpcGetReceivePacketSize(IpcHandle handle) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcGetReceivePacketSize");
  return entry != nullptr ? entry->rx.received : -1;
}
int IpcGetReadPacketSize(IpcHandle handle) {
  return IpcGetReceivePacketSize(handle);
}

int IpcGetSendPacketSize(IpcHandle handle) {
  IpcEntry* entry = IpcGetEntry(handle, "IpcGetSendPacketSize");
  return entry != nullptr ? entry->tx.sent : -1;
}
int IpcGetWritePacketSize(IpcHandle handle) {
  return IpcGetSendPacketSize(handle);
}
