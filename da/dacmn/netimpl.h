// What the backup and the restore network processes share: their report
// numbers, the forwarding of reports to the parent, the media agent's
// description, the connection to the agent and the data segment.
#pragma once

#include <vector>

#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "dacmn/dacmn.h"
#include "dacmn/daimpl.h"
#include "dacmn/dashm.h"
#include "ipc/ipc.h"
#include "vekdf/damsg.h"

namespace dacmn_detail {

// What an event handler of a network process asks for: go on waiting, or end
// the process with that exit code.
enum class NetStep : int {
  kGoOn = -1,
  kExitStop = DA_NET_EXIT_STOP,
  kExitAbort = DA_NET_EXIT_ABORT,
  kExitSetup = DA_NET_EXIT_SETUP,
  kExitIpc = DA_NET_EXIT_IPC,
};

// The exit code a handler's step ends the process with; DA_NET_EXIT_IPC for
// kGoOn, which must never reach the end of a process.
inline int NetExitCode(NetStep step) {
  return step == NetStep::kGoOn ? DA_NET_EXIT_IPC : static_cast<int>(step);
}

// A message to the parent that ends a phase (MSG_STOP, MSG_ABORT): not yet
// asked for, due once the pipe takes a send, sent.
enum class NetStop { kNone, kDue, kSent };

// One event on the pipe of a file variant, whose loop waits on nothing else:
// a received message goes to `onMessage`; a completed send lets a due
// MSG_STOP go, ends the process once it went, and otherwise goes to
// `onSent`. Both give the step to take.
template <class OnMessage, class OnSent>
NetStep NetOnFilePipe(IpcHandle pipe, NetStop* stop, OnMessage&& onMessage, OnSent&& onSent);

// Seconds a report waits for the pipe to take it.
constexpr int kNetFlushSeconds = 60;

// Sends `text` to the parent as the one item of a message `code` (MSG_MSG,
// MSG_MSGFMT or MSG_CON): synchronously until the context's flag
// `asyncFlag` is set, then behind a pending send and flushed. 1, or -1.
int NetSendToParent(int code, const char* text, int DacmnPtd::*asyncFlag);
// The report hooks' work: a packed catalogue message goes as MSG_MSGFMT,
// any other report line as MSG_MSG, a console text as MSG_CON.
void NetForwardReport(const char* message, int DacmnPtd::*asyncFlag);
void NetForwardConsole(const char* message, int DacmnPtd::*asyncFlag);

// The frame of a network process: `Net`, made from the context and `args`,
// runs (Run() gives the step that ends it) to its exit code with `report` and `console` as the
// report hooks; the hooks are off again before the process ends through `exit` (BdaNetExit or
// RdaNetExit). Without a context it ends with DA_NET_EXIT_SETUP.
template <class Net, class... Args>
void NetRunProcess(void (*exit)(int), ErhHookFn report, ErhHookFn console, Args... args) {
  DacmnPtd* ctx = DacmnGetContext();
  if (ctx == nullptr) {
    exit(DA_NET_EXIT_SETUP);
    return;
  }
  ErhSetHooks(nullptr, report, console);
  int code = DA_NET_EXIT_IPC;
  {
    Net net(ctx, args...);
    code = NetExitCode(net.Run());
  }
  ErhSetHooks(nullptr, nullptr, nullptr);
  exit(code);
}

// How a process names itself when it connects to the agent.
struct NetAgentSide {
  const char* prog;         // function name of reports and traces
  const char* forceRemote;  // variable that makes a local agent count as remote
  const char* forcedTrace;  // traced when it does
  const char* abortTrace;   // traced when the agent refuses the stream; null: nothing
};
// Connects to the agent of the context, gives the connection its own
// messages, receives the agent's first message and negotiates. kGoOn when
// connected: *ma is the connection, its receive message holds the
// description with the parse past its code, and *remote says whether the
// buffers travel over the socket. Otherwise the step that ends the process, after a
// report where one is due; *ma is then the connection when there is one.
NetStep NetConnectAgent(DacmnPtd* ctx, const NetAgentSide& side, IpcHandle* ma, bool* remote);

// The segment the parent shares: a local agent's own segment (key and
// segment size of `g`) attached on the pipe, or for a remote agent a new one
// of g->segmentSize bytes, whose key replaces the agent's. g->address is set
// to where it lies here. False on failure (not reported).
bool NetSetUpSegment(IpcHandle pipe, bool remote, BmShmDescription* g);
// Tells the parent where the buffers are: MSG_LISTEN with key, segment size,
// section, count, buffer size and offset, sent synchronously. False on failure.
bool NetSendListen(IpcHandle pipe, const BmShmDescription& g);

// The buffers of a file: `size` and `count` keep their defaults unless
// VEKDABLOCKSIZE lies in 8192 .. 1048576 and VEKDABLOCKSPERDA in 1 .. 32
// (values outside are traced with `prog` and ignored).
void NetFileGeometry(const char* prog, int* size, int* count);

// The file variant's start: a new segment for the buffers g describes (count,
// size and segment size), announced to the parent with MSG_LISTEN; reports
// then go behind the pipe's sends (the context's `asyncFlag`) and the pipe
// receives. kGoOn when started (g has the segment's key and address), else the
// step that ends the process, after a report under `prog`.
NetStep NetFileStart(DacmnPtd* ctx, const char* prog, int DacmnPtd::*asyncFlag,
                     BmShmDescription* g);

// A private segment is marked for removal once the parent has attached it
// too: it then goes with the last of the two processes, however they end.
// True once done (or when there is nothing to do: the parent may have marked
// it already, and a segment under `key` that this process did not make is
// never touched).
bool NetRemoveWhenShared(int key);
// Marks the private segment under `key` for removal now, when this process
// made it.
void NetRemoveOwnSegment(int key);

// Sends message `code` with the one item `id`, or none for a negative id,
// asynchronously. False when it could not be started.
bool NetSendCode(IpcHandle handle, int code, int id);
// NetSendCode followed by `length` bytes of `block` as a packet of their
// own, both in one write where the descriptor takes them. `block` must stay
// unchanged until the send completes.
bool NetSendCodeWithBlock(IpcHandle handle, int code, int id, const void* block, int length);
// The parent's MSG_STOP in `msg` as it came, for the agent; a bare MSG_STOP
// when its bytes cannot be had.
std::vector<char> NetRelayedStop(StrMsg* msg);
// Reads one int item from the parse of `msg` in progress.
bool NetReadInt(StrMsg* msg, int* value);

template <class OnMessage, class OnSent>
NetStep NetOnFilePipe(IpcHandle pipe, NetStop* stop, OnMessage&& onMessage, OnSent&& onSent) {
  switch (IpcGetLastIpcHandleEvent(pipe)) {
    case IPC_EVENT_RECEIVED: return onMessage();
    case IPC_EVENT_SENT:
      if (*stop == NetStop::kDue) {
        *stop = NetStop::kSent;
        return NetSendCode(pipe, MSG_STOP, -1) ? NetStep::kGoOn : NetStep::kExitIpc;
      }
      if (*stop == NetStop::kSent) return NetStep::kExitStop;
      return onSent();
    case IPC_EVENT_CLOSED: ErhToConsole("NET close\n"); return NetStep::kExitIpc;
    case IPC_EVENT_ERROR: ErhToConsole("NET read error\n"); return NetStep::kExitIpc;
    default: return NetStep::kGoOn;
  }
}

}  // namespace dacmn_detail
