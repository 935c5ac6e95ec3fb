// Start and end of the network processes that carry a data stream to or from
// a media agent on another host: the pipe pair, the fork, the child's restart
// of the common library, its main loop and its exit.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/sysio.h"
#include "dacmn/bdanet.h"
#include "dacmn/dacmn.h"
#include "dacmn/daimpl.h"
#include "dacmn/rdanet.h"
#include "ipc/ipcasync.h"

TARN_RCSID("da/dacmn/danet.cpp");

using namespace dacmn_detail;

namespace {

DaNetMainFn bdaNetMain = NetMain;
DaNetMainFn rdaNetMain = RNetMain;
DaForkFn netProcessFork = fork;
// Set in a forked network process; only there may the process be ended.
int netProcess = 0;

struct NetKind {
  const char* progname;
  const char* function;
  DaNetMainFn* main;
};

const NetKind kBackupNet = {"BDA-NET", "VEK_CreateBDANetIO", &bdaNetMain};
const NetKind kRestoreNet = {"RDA-NET", "VEK_CreateRDANetIO", &rdaNetMain};

// The child's own copies of the start-up texts: the parent's may lie in
// context slots that the restart releases (DbgGetRanges, for one).
struct StartArgs {
  std::optional<std::string> additionalId, postfix, ranges, select;
  int reportLevel = 0;
};

std::optional<std::string> Keep(const char* text) {
  return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

const char* Pass(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

[[noreturn]] void EndNetProcess(int code) {
  if (DacmnPtd* ctx = static_cast<DacmnPtd*>(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_DACMN));
      ctx != nullptr && ctx->maIpcHandle != kIpcNoHandle) {
    IpcCloseConnection(ctx->maIpcHandle);
    ctx->maIpcHandle = kIpcNoHandle;
  }
  IpcExit();
  CmnExit();
  // Never exit(): that would run the parent program's exit handlers and
  // flush the stdio buffers this process inherited.
  _exit(code);
}

// The child's side of the fork; never returns.
[[noreturn]] void RunNetProcess(const NetKind& kind, const StartArgs& args, IpcHandle handle) {
  // The inherited hooks write to the parent's links.
  ErhSetHooks(nullptr, nullptr, nullptr);
  int readFd = -1;
  int writeFd = -1;
  if (IpcPrepareChildPipesAfterFork(handle) != 0 ||
      IpcTakePipeEnds(handle, &readFd, &writeFd) != 0) {
    ErhFullReportPacked(kind.function, kErhMajor,
                        NlsPackMessage(kSetDataPath, kDaMsgPipes, ErhErrnoToText()));
    _exit(DA_NET_EXIT_SETUP);
  }

  // Stop the common library inherited from the parent: every module's fork
  // hook runs (the IPC layer closes, never shuts down, the parent's other
  // connections) and every slot is released. The shared context is carried
  // over the restart by value.
  DacmnPtd saved{};
  if (const DacmnPtd* ctx = DacmnGetContext()) saved = *ctx;
  const bool inherited = CmnIsInitialized() != 0;
  CmnContextAtFork();
  if (inherited && cmnUsageCount > 0) --cmnUsageCount;
  netProcess = 1;

  if (CmnInit(kind.progname, Pass(args.additionalId), Pass(args.postfix), Pass(args.ranges),
              Pass(args.select), args.reportLevel) != 0) {
    DbgPlain(kDbgUnexpected, "%s: CmnInit failed! Exiting.", kind.function);
    close(readFd);
    close(writeFd);
    _exit(DA_NET_EXIT_SETUP);
  }
  DacmnPtd* ctx = DacmnGetContext();
  if (ctx == nullptr) {
    close(readFd);
    close(writeFd);
    EndNetProcess(DA_NET_EXIT_SETUP);
  }
  *ctx = saved;
  ctx->maIpcHandle = kIpcNoHandle;
  ctx->smHandle = kIpcNoHandle;
  ctx->smBuffer = nullptr;
  ctx->conIpcHandle = kIpcNoHandle;
  ctx->asyncReport = 0;
  ctx->restoreAsyncReport = 0;
  ctx->netFlags = 0;
  if (IpcInit() != 0) {
    close(readFd);
    close(writeFd);
    ErhFullReportPacked(kind.function, kErhMajor,
                        NlsPackMessage(kSetDataPath, kDaMsgPipes, ErhErrnoToText()));
    EndNetProcess(DA_NET_EXIT_SETUP);
  }
  // Detached from the host by the double fork: the signals are this
  // process's own now, so SIGPIPE is blocked once and not around every write.
  IpcOwnSignals();
  ctx->maIpcHandle = IpcAttachPipes(readFd, writeFd);
  if (ctx->maIpcHandle == kIpcNoHandle) {
    ErhFullReportPacked(kind.function, kErhMajor,
                        NlsPackMessage(kSetDataPath, kDaMsgPipes, ErhErrnoToText()));
    EndNetProcess(DA_NET_EXIT_SETUP);
  }
  DbgPlain(kLevel, "%s: network process %d started, maIpcHandle=%d", kind.progname,
           static_cast<int>(getpid()), ctx->maIpcHandle);

  const DaNetMainFn main = *kind.main;
  if (main == nullptr) {
    DbgPlain(kDbgUnexpected, "%s: no main loop installed", kind.progname);
    EndNetProcess(DA_NET_EXIT_SETUP);
  }
  main();
  DbgPlain(kDbgUnexpected, "%s: main loop returned", kind.progname);
  EndNetProcess(DA_NET_EXIT_IPC);
}

// The network process is started by a short-lived intermediate child and so
// becomes init's child: it is never collected by us, yet never left a zombie,
// and no signal disposition is touched (in a host process SIGCHLD is the
// host's, and every caller keeps waiting for its own children). The
// intermediate only forks, writes the network process's pid into `pidPipe`
// (when it has one) and ends: its exit code is 0, or the errno of its failed
// fork. Returns the intermediate's pid, or -1 with errno set.
pid_t StartDetached(const NetKind& kind, const StartArgs& args, IpcHandle handle,
                    const int pidPipe[2]) {
  const pid_t starter = fork();
  if (starter != 0) return starter;
  if (pidPipe[0] >= 0) close(pidPipe[0]);
  const pid_t pid = netProcessFork();
  if (pid == 0) {
    if (pidPipe[1] >= 0) close(pidPipe[1]);
    RunNetProcess(kind, args, handle);
  }
  const int err = errno;
  if (pid > 0 && pidPipe[1] >= 0) {
    // The pipe is empty and far larger than a pid: the write is whole.
    [[maybe_unused]] const ssize_t n = write(pidPipe[1], &pid, sizeof pid);
  }
  _exit(pid > 0 ? 0 : (err > 0 && err < 256 ? err : EAGAIN));
}

// The pid the intermediate wrote, once it has ended; 0 when it wrote none.
pid_t ReadNetPid(int fd) {
  pid_t pid = 0;
  if (fd < 0 || cmn::RetryEintr([&] { return read(fd, &pid, sizeof pid); }) !=
                    static_cast<ssize_t>(sizeof pid)) {
    return 0;
  }
  return pid;
}

// Collects the intermediate child: null when it started the network process,
// or when it was collected elsewhere (by a host's own SIGCHLD handler, or
// because the host ignores SIGCHLD), where a network process that did not
// start shows as its pipe closing; else why it failed.
const char* ReapStarter(pid_t starter) {
  int status = 0;
  if (cmn::RetryEintr([&] { return waitpid(starter, &status, 0); }) < 0) {
    const int err = errno;
    if (err != ECHILD) return ErhSysErrnoToText(err);
    DbgPlain(kLevel, "process %d was collected elsewhere", static_cast<int>(starter));
    return nullptr;
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status) == 0 ? nullptr : ErhSysErrnoToText(WEXITSTATUS(status));
  }
  DbgPlain(kDbgUnexpected, "process %d ended with wait status %d", static_cast<int>(starter),
           status);
  return "the starting process was killed";
}

int CreateNetIO(const NetKind& kind, const StartArgs& args) {
  const char* fn = kind.function;
  DacmnPtd* ctx = DacmnGetContext();
  if (ctx == nullptr) return 0;
  const IpcHandle handle = IpcOpenPipes();
  if (handle == kIpcNoHandle) {
    ErhFullReportPacked(fn, kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgPipes, ErhErrnoToText()));
    ErhClearError();
    return 0;
  }
  ctx->maIpcHandle = handle;
  DbgPlain(kLevel, "%s: maIpcHandle=%d", fn, handle);

  // The child closes its copy of the trace stream; nothing may be pending in it.
  if (FILE* trace = DbgGetFd()) std::fflush(trace);

  // Without the pid the network process is only unknown, not missing.
  int pidPipe[2] = {-1, -1};
  if (pipe2(pidPipe, O_CLOEXEC) != 0) pidPipe[0] = pidPipe[1] = -1;
  ctx->netPid = 0;
  const pid_t starter = StartDetached(kind, args, handle, pidPipe);
  const int forkErr = errno;
  if (pidPipe[1] >= 0) close(pidPipe[1]);
  const char* failed = starter < 0 ? ErhSysErrnoToText(forkErr) : ReapStarter(starter);
  if (failed == nullptr) ctx->netPid = ReadNetPid(pidPipe[0]);
  if (pidPipe[0] >= 0) close(pidPipe[0]);
  if (failed != nullptr) {
    ErhFullReportPacked(fn, kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgFork, failed));
    IpcClosePipes(handle);
    ctx->maIpcHandle = kIpcNoHandle;
    return 0;
  }

  if (IpcPrepareParentPipesAfterFork(handle) != 0) {
    ErhFullReportPacked(fn, kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgPipes, ErhErrnoToText()));
    ErhClearError();
    IpcClosePipes(handle);
    ctx->maIpcHandle = kIpcNoHandle;
    return 0;
  }
  DbgPlain(kLevel, "%s: %s started through process %d", fn, kind.progname,
           static_cast<int>(starter));
  return 1;
}

int ShutdownNetIO(const char* fn) {
  DacmnPtd* ctx = DacmnGetContext();
  if (ctx == nullptr || ctx->maIpcHandle == kIpcNoHandle) return -1;
  DbgPlain(kLevel, "%s: closing maIpcHandle=%d", fn, ctx->maIpcHandle);
  const int rc = IpcClosePipes(ctx->maIpcHandle);
  ctx->maIpcHandle = kIpcNoHandle;
  ctx->netPid = 0;
  return rc;
}

void NetExit(const char* fn, int code) {
  if (netProcess == 0) {
    // Ending the process here would end the program, or the host that
    // loaded us.
    DbgPlain(kDbgUnexpected, "%s(%d) called outside a network process; ignored", fn, code);
    return;
  }
  DbgPlain(kLevel, "%s(%d)", fn, code);
  EndNetProcess(code);
}

}  // namespace

DaForkFn dacmn_detail::DaSetNetProcessFork(DaForkFn fork) {
  const DaForkFn previous = netProcessFork;
  netProcessFork = fork != nullptr ? fork : ::fork;
  return previous;
}

DaNetMainFn DaSetBdaNetMain(DaNetMainFn main) {
  const DaNetMainFn previous = bdaNetMain;
  bdaNetMain = main;
  return previous;
}

DaNetMainFn DaSetRdaNetMain(DaNetMainFn main) {
  const DaNetMainFn previous = rdaNetMain;
  rdaNetMain = main;
  return previous;
}

int VEK_CreateBDANetIO(const char* additionalId, const char* postfix, const char* ranges,
                       const char* select, int reportLevel) {
  return CreateNetIO(kBackupNet, StartArgs{Keep(additionalId), Keep(postfix), Keep(ranges),
                                           Keep(select), reportLevel});
}

int VEK_CreateRDANetIO(const char* additionalId, const char* postfix, const char* ranges,
                       const char* select, int reportLevel) {
  return CreateNetIO(kRestoreNet, StartArgs{Keep(additionalId), Keep(postfix), Keep(ranges),
                                            Keep(select), reportLevel});
}

int VEK_ShutdownBDANetIO() {
  return ShutdownNetIO("VEK_ShutdownBDANetIO");
}

int VEK_ShutdownRDANetIO() {
  return ShutdownNetIO("VEK_ShutdownRDANetIO");
}

void BdaNetExit(int code) {
  NetExit("BdaNetExit", code);
}

void RdaNetExit(int code) {
  NetExit("RdaNetExit", code);
}

int DaIsNetProcess() {
  return netProcess;
}
