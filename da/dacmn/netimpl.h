// What the backup and the restore network processes share: their report
// numbers, the forwarding of reports to the parent, the media agent's
// description, the connection to the agent and the data segment.
#pragma once

#include <vector>

#include "cmn/erh.h"
#include "cmn/strmsg.h"
#include "cmn/sysio.h"
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

// One event on the pipe of a file variant, whose loop waits on nothing else.
// A received message is parsed: a format error goes to the console,
// MSG_ABORT ends the process, any other code goes to `onMessage(code, msg)`;
// then (unless the step ends the process) the next receive is armed, a
// failure reported under `prog`. A completed send lets a due MSG_STOP go,
// ends the process once it went, and otherwise goes to `onSent()`. Both
// handlers give the step to take.
template <class OnMessage, class OnSent>
NetStep NetOnFilePipe(IpcHandle pipe, const char* prog, NetStop* stop, OnMessage&& onMessage,
                      OnSent&& onSent);

// At a completed send on the pipe: when the message `code` is due under
// `state`, it goes now (`state` becomes kSent; a send that cannot be started
// shows in NetSendCode's result, given in *sent when not null). True when it
// was due.
bool NetSendWhenDue(IpcHandle pipe, NetStop* state, int code, bool* sent = nullptr);

// A message `code` for the parent under `state`, at most once: sent now
// when the pipe takes a send (kSent), else due (kDue) for the next completed
// send. False when a send could not be started.
bool NetSendOnce(IpcHandle pipe, NetStop* state, int code);

// The report of a failed read or write on a link (set 80, number 1005) under
// `prog`, with the error state's text.
void NetReportIpc(const char* prog);
// Arms the pipe's next receive at the end of a handled message: kGoOn, or
// kExitIpc after NetReportIpc.
NetStep NetRearmPipe(IpcHandle pipe, const char* prog);

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

// The start both network processes share: the stream's network load; a
// file stream (neither agent host nor port) runs `fileMain` on its path in
// this process instead; the pipe's receive buffer grows with its messages.
// kGoOn to go on, else the step that ends the process (after a report under
// `prog` when the pipe cannot be set up).
NetStep NetStartProcess(DacmnPtd* ctx, IpcHandle pipe, const char* prog,
                        void (*fileMain)(const char*));

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
NetStep NetOnFilePipe(IpcHandle pipe, const char* prog, NetStop* stop, OnMessage&& onMessage,
                      OnSent&& onSent) {
  switch (IpcGetLastIpcHandleEvent(pipe)) {
    case IPC_EVENT_RECEIVED: {
      StrMsg* in = IpcGetReceiveStrMsg(pipe);
      const int code = StrParseStartL(in, nullptr);
      if (code == -1) {
        ErhToConsole("NET MSG format error\n");
      } else if (code == MSG_ABORT) {
        return NetStep::kExitAbort;
      } else if (const NetStep rc = onMessage(code, in); rc != NetStep::kGoOn) {
        return rc;
      }
      return NetRearmPipe(pipe, prog);
    }
    case IPC_EVENT_SENT:
      if (bool sent = false; NetSendWhenDue(pipe, stop, MSG_STOP, &sent)) {
        return sent ? NetStep::kGoOn : NetStep::kExitIpc;
      }
      if (*stop == NetStop::kSent) return NetStep::kExitStop;
      return onSent();
    case IPC_EVENT_CLOSED: ErhToConsole("NET close\n"); return NetStep::kExitIpc;
    case IPC_EVENT_ERROR: ErhToConsole("NET read error\n"); return NetStep::kExitIpc;
    default: return NetStep::kGoOn;
  }
}

// What both file variants keep: the pipe to the parent, the file and the
// segment of its buffers, and the parent's stop.
class NetFileVariant {
 public:
  NetFileVariant(DacmnPtd* ctx, const char* path)
      : ctx_(ctx), pipe_(ctx->maIpcHandle), path_(path) {}

 protected:
  // Opens the file with VEK_OpenFile's `mode` and `flags`: kGoOn, or
  // kExitSetup after a report under `prog`.
  NetStep OpenFile(const char* prog, int mode, int flags);
  // The segment of `count` buffers of `size` bytes unless the environment
  // says otherwise (NetFileGeometry), with `spare` bytes behind them
  // (NetFileStart): kGoOn, or the step that ends the process.
  NetStep StartSegment(const char* prog, int DacmnPtd::*asyncFlag, int size, int count, int spare);
  // One event on the pipe (NetOnFilePipe under `prog`); the segment is
  // marked for removal first once the parent has attached it.
  template <class OnMessage, class OnSent>
  NetStep OnPipe(const char* prog, OnMessage&& onMessage, OnSent&& onSent) {
    if (!segmentRemoved_) segmentRemoved_ = NetRemoveWhenShared(key_);
    return NetOnFilePipe(pipe_, prog, &stop_, onMessage, onSent);
  }
  char* Buffer(int id) const { return base_ + std::size_t(id) * std::size_t(size_); }

  DacmnPtd* ctx_;
  IpcHandle pipe_;
  const char* path_;
  cmn::UniqueFd fd_;
  char* base_ = nullptr;
  int size_ = 0;
  int count_ = 0;
  int key_ = -1;
  bool segmentRemoved_ = false;
  NetStop stop_ = NetStop::kNone;
};

}  // namespace dacmn_detail
