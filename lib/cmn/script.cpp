// Running external programs and scripts in a child process: standard-input
// text, line-by-line relay of the output, time-outs and the exit status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nls.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/sysio.h"
#include "cmn/user.h"

TARN_RCSID("lib/cmn/script.cpp");

namespace {

constexpr char kFn[] = "CmnRunScriptExAsUser";
constexpr char kCookie[] = "Cookie_error";
constexpr size_t kLineMax = 1023;
constexpr size_t kReadChunk = 4096;
constexpr int kChildSetUidFailed = 13;
constexpr int kWaitInterrupted = 4;
// How often a runner without its SIGCHLD handler looks for the child's end.
constexpr int64_t kChildPollMs = 50;

// The one child being run. Written by ChildExit while SIGCHLD is unblocked,
// which happens only inside ppoll; the parent reads them with SIGCHLD blocked.
volatile pid_t chldPid = 0;
volatile int chldStatus = 0;
volatile int chldErrno = 0;
volatile sig_atomic_t chldExitFlag = 0;

// Reaps the recorded child if it has ended. Async-signal-safe.
void ReapNoHang() {
  if (chldExitFlag || chldPid <= 0) return;
  int status = 0;
  const pid_t r = cmn::RetryEintr([&] { return waitpid(chldPid, &status, WNOHANG); });
  if (r == chldPid) {
    chldStatus = status;
    chldErrno = 0;
    chldExitFlag = 1;
  } else if (r == -1) {
    chldErrno = errno;
    chldExitFlag = 1;
  }
}

void ChildExit(int) {
  const int saved = errno;
  ReapNoHang();
  errno = saved;
}

int64_t NowMs() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Pipe {
  cmn::UniqueFd read;
  cmn::UniqueFd write;
  // 0, or errno.
  int Make() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno;
    read.reset(fds[0]);
    write.reset(fds[1]);
    return 0;
  }
};

// SIGCHLD and SIGPIPE are blocked for the run: SIGCHLD so ChildExit runs only
// inside ppoll, SIGPIPE so a child that closed its input turns our write into
// EPIPE instead of ending the caller. Everything is put back at the end.
// Without handleChild (a detached run, or a guest in a host process, whose
// SIGCHLD action belongs to the host) SIGCHLD stays blocked throughout and the
// runner looks for the child's end itself.
class SignalScope {
 public:
  explicit SignalScope(bool handleChild) : handleChild_(handleChild) {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    pipePendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigaddset(&block, SIGPIPE);
    sigprocmask(SIG_BLOCK, &block, &oldMask_);
    waitMask_ = oldMask_;
    if (handleChild_) sigdelset(&waitMask_, SIGCHLD);
    sigaddset(&waitMask_, SIGPIPE);
    if (handleChild_) {
      struct sigaction action {};
      action.sa_handler = ChildExit;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_NOCLDSTOP;
      sigaction(SIGCHLD, &action, &oldChild_);
      DbgPlain(kDbgDetail, "SIGCHLD set to ChildExit.\n");
    }
  }
  ~SignalScope() {
    if (handleChild_) {
      sigaction(SIGCHLD, &oldChild_, nullptr);
      DbgPlain(kDbgDetail, "SIGCHLD reset.\n");
    }
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    if (!pipePendingBefore_ && sigismember(&pending, SIGPIPE) == 1) {
      sigset_t only;
      sigemptyset(&only);
      sigaddset(&only, SIGPIPE);
      const struct timespec zero {};
      sigtimedwait(&only, nullptr, &zero);
    }
    sigprocmask(SIG_SETMASK, &oldMask_, nullptr);
  }
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;

  const sigset_t* waitMask() const { return &waitMask_; }
  bool handlesChild() const { return handleChild_; }
  // The caller's mask, with the two signals a program expects unblocked.
  sigset_t ChildMask() const {
    sigset_t mask = oldMask_;
    sigdelset(&mask, SIGCHLD);
    sigdelset(&mask, SIGPIPE);
    return mask;
  }

 private:
  bool handleChild_;
  bool pipePendingBefore_ = false;
  sigset_t oldMask_;
  sigset_t waitMask_;
  struct sigaction oldChild_ {};
};

struct ChildSetup {
  const char* path;
  char* const* args;
  int outFd;  // -1: output to /dev/null
  int inFd;   // -1: standard input inherited
  const char* user;
  bool detached;
  sigset_t mask;
};

[[noreturn]] void RunChild(const ChildSetup& setup) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGCHLD, &dfl, nullptr);
  sigaction(SIGPIPE, &dfl, nullptr);
  sigprocmask(SIG_SETMASK, &setup.mask, nullptr);

  if (setup.detached) {
    // The intermediate child ends at once and is reaped by the caller; the
    // program runs on as a child of init and leaves no zombie behind.
    const pid_t pid = fork();
    if (pid < 0) _exit(errno);
    if (pid > 0) _exit(0);
  }
  DbgPlain(kDbgDetail, "Entering child");
  int outFd = setup.outFd;
  if (outFd < 0) outFd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (outFd >= 0) {
    if (dup2(outFd, STDOUT_FILENO) < 0) {
      const int err = errno;
      DbgPlain(kDbgUnexpected, "dup failed, err=%d", err);
      _exit(err);
    }
    if (dup2(STDOUT_FILENO, STDERR_FILENO) < 0) {
      const int err = errno;
      DbgPlain(kDbgUnexpected, "STDERR dup failed, err=%d", err);
      _exit(err);
    }
  }
  if (setup.inFd >= 0 && dup2(setup.inFd, STDIN_FILENO) < 0) {
    const int err = errno;
    DbgPlain(kDbgUnexpected, "dup failed, err=%d", err);
    _exit(err);
  }
  DbgPlain(kDbgDetail, "Username to start script: %s", setup.user != nullptr ? setup.user : "NULL");
  if (setup.user != nullptr) {
    const int rc = CmnSetUid(setup.user);
    if (rc < 1) {
      DbgPlain(kDbgDetail, "CmnSetUid() returns %d, err=%d!", rc, errno);
      dprintf(STDOUT_FILENO, "%s\n", NlsGetMessage(61, 10004, setup.user));
      _exit(kChildSetUidFailed);
    }
  }
  DbgPlain(kDbgDetail, "execvp (%s)", setup.path);
  execvp(setup.path, setup.args);
  const int err = errno;
  DbgPlain(kDbgUnexpected, "execvp failed! (%s) errno=%d\nArg list:", setup.path, err);
  for (char* const* arg = setup.args; *arg != nullptr; ++arg)
    DbgPlain(kDbgUnexpected, "\t%s", *arg);
  dprintf(STDOUT_FILENO, "%s %d\n", kCookie, err);
  _exit(err);
}

// Status of an ended child: 0 and its exit code; -1 (signal + 100 or the exit
// code) or -2 (wait interrupted) otherwise.
int CheckStatus(int waitErrno, int status, int* retVal) {
  if (waitErrno == 0 && WIFEXITED(status)) {
    *retVal = WEXITSTATUS(status);
    DbgPlain(kDbgDetail, "CheckStatus 2: sys_err:%d", waitErrno);
    return 0;
  }
  DbgPlain(kDbgDetail, "CheckStatus 1");
  *retVal = waitErrno == EINTR ? kWaitInterrupted : (WIFEXITED(status) ? WEXITSTATUS(status) : 0);
  if (waitErrno == 0 && WIFSIGNALED(status)) *retVal = WTERMSIG(status) + 100;
  return *retVal == kWaitInterrupted && waitErrno == EINTR ? -2 : -1;
}

// One run of a program in a child: feeds its input, relays its output and
// collects its status.
class ScriptRun {
 public:
  ScriptRun(const SignalScope& signals, int flags, int timeout, int* value)
      : signals_(signals), flags_(flags), timeout_(timeout), value_(value) {}

  cmn::UniqueFd& out() { return out_; }
  cmn::UniqueFd& in() { return in_; }
  void SetInput(const char* input) { input_ = input != nullptr ? input : ""; }

  // Reads the output until its end; 0, -1, -2 (silence longer than the
  // time-out) or -3 (exec failure report).
  int Relay() {
    int64_t deadline = timeout_ > 0 ? NowMs() + int64_t{timeout_} * 1000 : -1;
    for (;;) {
      if (chldExitFlag) {
        DbgPlain(kDbgDetail, "Child died, quitting read...");
        return Drain();
      }
      const int64_t wait = deadline < 0 ? -1 : deadline - NowMs();
      if (deadline >= 0 && wait <= 0) {
        DbgPlain(kDbgDetail, "[%s] TIMEOUT!", kFn);
        return -2;
      }
      struct pollfd fds[2] = {{out_.get(), POLLIN, 0}, {in_.get(), POLLOUT, 0}};
      const nfds_t count = in_ ? 2 : 1;
      if (!Wait(fds, count, wait)) continue;
      if (count == 2 && fds[1].revents != 0) WriteSome();
      if (fds[0].revents == 0) continue;
      char chunk[kReadChunk];
      const ssize_t n = read(out_.get(), chunk, sizeof chunk);
      if (n > 0) {
        int lines = 0;
        const int rc = Take(std::string_view(chunk, static_cast<size_t>(n)), &lines);
        if (rc != 0) return rc;
        if (lines > 0 && deadline >= 0) deadline = NowMs() + int64_t{timeout_} * 1000;
      } else if (n == 0) {
        return FlushPartial();
      } else if (errno != EINTR && errno != EAGAIN) {
        *value_ = errno;
        DbgPlain(kDbgUnexpected, "File error, errno=%d", errno);
        return -1;
      }
    }
  }

  // Waits until the child is reaped, feeding its input meanwhile. 0, or -2
  // when it did not end within the time-out (it is then killed and reaped).
  int AwaitChild() {
    const int64_t deadline = timeout_ > 0 ? NowMs() + int64_t{timeout_} * 1000 : -1;
    while (!chldExitFlag) {
      const int64_t wait = deadline < 0 ? -1 : deadline - NowMs();
      if (deadline >= 0 && wait <= 0) {
        DbgPlain(kDbgDetail, "SIGCHILD timeout");
        return -2;
      }
      struct pollfd fds[1] = {{in_.get(), POLLOUT, 0}};
      const nfds_t count = in_ ? 1 : 0;
      if (Wait(fds, count, wait) && count == 1 && fds[0].revents != 0) WriteSome();
    }
    DbgPlain(kDbgDetail, "SIGCHLD OK");
    return 0;
  }

  // Writes the whole input (blocking), for a child nobody waits for.
  void FeedAll() {
    while (in_) {
      struct pollfd fds[1] = {{in_.get(), POLLOUT, 0}};
      if (Wait(fds, 1, -1) && fds[0].revents != 0) WriteSome();
    }
  }

  void KillAndReap() {
    ReapNoHang();
    if (chldExitFlag) return;
    kill(chldPid, SIGKILL);
    int status = 0;
    const pid_t r = cmn::RetryEintr([&] { return waitpid(chldPid, &status, 0); });
    chldStatus = status;
    chldErrno = r == -1 ? errno : 0;
    chldExitFlag = 1;
  }

  void CloseInput() {
    if (in_ && in_.close() != 0)
      DbgPlain(kDbgUnexpected, "[%s] close(pipeToChild[1]) failed.", kFn);
  }

  // errno of the failed input write, or 0.
  int writeError() const { return writeError_; }

 private:
  // ppoll with SIGCHLD deliverable; false when interrupted or nothing ready.
  // Without the handler the wait is cut into short slices after each of which
  // the child is looked for.
  bool Wait(struct pollfd* fds, nfds_t count, int64_t waitMs) {
    const bool polling = !signals_.handlesChild();
    if (polling && (waitMs < 0 || waitMs > kChildPollMs)) waitMs = kChildPollMs;
    struct timespec limit {};
    if (waitMs >= 0) {
      limit.tv_sec = static_cast<time_t>(waitMs / 1000);
      limit.tv_nsec = static_cast<long>(waitMs % 1000) * 1000000L;
    }
    const int rc = ppoll(fds, count, waitMs >= 0 ? &limit : nullptr, signals_.waitMask());
    if (polling) ReapNoHang();
    return rc > 0;
  }

  void WriteSome() {
    const size_t left = input_.size() - written_;
    if (left > 0) {
      const int flags = fcntl(in_.get(), F_GETFL);
      if (flags >= 0 && (flags & O_NONBLOCK) == 0) fcntl(in_.get(), F_SETFL, flags | O_NONBLOCK);
      const ssize_t n = write(in_.get(), input_.data() + written_, left);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        writeError_ = errno;
        DbgPlain(kDbgUnexpected, "Write to pipe failed! err=%d", writeError_);
        CloseInput();
        return;
      }
      written_ += static_cast<size_t>(n);
    }
    if (written_ == input_.size()) CloseInput();
  }

  // Splits new output into lines of at most kLineMax characters.
  int Take(std::string_view data, int* lines) {
    pending_.append(data);
    size_t start = 0;
    for (;;) {
      const size_t end = pending_.find('\n', start);
      const size_t available = (end == std::string::npos ? pending_.size() : end) - start;
      if (end == std::string::npos && available < kLineMax) break;
      const size_t length = std::min(available, kLineMax);
      const int rc = Line(std::string_view(pending_).substr(start, length));
      ++*lines;
      start += length;
      if (start == end) ++start;  // the line feed that ended this line
      if (rc != 0) {
        pending_.erase(0, start);
        return rc;
      }
    }
    pending_.erase(0, start);
    return 0;
  }

  int FlushPartial() {
    if (pending_.empty()) return 0;
    std::string rest;
    rest.swap(pending_);
    return Line(rest);
  }

  // Reads what the dead child left in the pipe without waiting for more.
  int Drain() {
    const int flags = fcntl(out_.get(), F_GETFL);
    if (flags < 0) {
      DbgPlain(kDbgUnexpected, "fcntl(F_GETFL) failed, errcode=%d", errno);
    } else if (fcntl(out_.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
      DbgPlain(kDbgUnexpected, "fcntl(F_SETFL) failed, errcode=%d", errno);
    }
    char chunk[kReadChunk];
    for (;;) {
      const ssize_t n = cmn::ReadRetry(out_.get(), chunk, sizeof chunk);
      if (n > 0) {
        int lines = 0;
        const int rc = Take(std::string_view(chunk, static_cast<size_t>(n)), &lines);
        if (rc != 0) return rc;
        continue;
      }
      return FlushPartial();
    }
  }

  // One output line: the child's exec-failure report, or console text.
  int Line(std::string_view text) {
    const std::string line(text);
    if ((flags_ & kRunNoOutputTrace) == 0) DbgPlain(kDbgDetail, "Got -%s-", line.c_str());
    if (line.compare(0, sizeof kCookie - 1, kCookie) != 0) {
      ErhToConsole(line.c_str());
      return 0;
    }
    DbgPlain(kDbgDetail, "COOKIE STR received, str=%s", line.c_str());
    const size_t blank = line.find(' ');
    int reported = -1;
    if (blank == std::string::npos || StrAtoi(line.c_str() + blank + 1, &reported, nullptr) != 1) {
      DbgPlain(kDbgDetail, "WRONG FORMAT OF COOKIE STR!!");
      reported = -1;
    }
    *value_ = reported;
    return -3;
  }

  const SignalScope& signals_;
  int flags_;
  int timeout_;
  int* value_;
  cmn::UniqueFd out_;
  cmn::UniqueFd in_;
  std::string_view input_;
  size_t written_ = 0;
  int writeError_ = 0;
  std::string pending_;
};

std::string ProgramPath(const char* dir, const char* program) {
  if (dir != nullptr && dir[0] != '\0') return std::string(dir) + "/" + program;
  if (program[0] == '/') return program;
  return std::string(cmnFenLBin) + "/" + program;
}

void TraceCall(const char* dir, const char* path, int argc, const char* const* argv,
               const char* input, int flags) {
  DbgPlain(kDbgDetail, "[%s] Entering...", kFn);
  DbgPlain(kDbgDetail, "\tDirectory: %s, executable: %s", dir != nullptr ? dir : "<null>", path);
  DbgPlain(kDbgDetail, "\tNumber of arguments = %d", argc);
  DbgPlain(kDbgDetail, "\tArgument list:");
  for (int i = 0; i < argc && argv != nullptr; ++i)
    DbgPlain(kDbgDetail, "\t%s", argv[i] != nullptr ? argv[i] : "<null>");
  if ((flags & kRunNoInputTrace) == 0)
    DbgPlain(kDbgDetail, "\tStdin parms=\n\t%s", input != nullptr ? input : "");
}

int Finish(int result, int value, int* retVal) {
  DbgPlain(kDbgDetail, "SETRETVAL");
  if (retVal != nullptr) *retVal = value;
  DbgPlain(kDbgDetail, "[%s] Exiting (res=%d, retVal=%d)", kFn, result, value);
  return result;
}

}  // namespace

int CmnRunScriptExAsUser(const char* dir, int argc, const char* const* argv, const char* input,
                         int timeout, int flags, const char* user, void*, int* retVal) {
  int value = retVal != nullptr ? *retVal : 0;
  const bool haveProgram = argc >= 1 && argv != nullptr && argv[0] != nullptr;
  const std::string path = haveProgram ? ProgramPath(dir, argv[0]) : std::string();
  TraceCall(dir, path.c_str(), argc, argv, input, flags);
  if (!haveProgram) return Finish(kRunNoProgram, 0, retVal);

  // execv takes non-const pointers but never writes through them.
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) args.push_back(const_cast<char*>(argv[i]));
  args.push_back(nullptr);

  if ((flags & kRunSameProcess) != 0) {
    DbgPlain(kDbgDetail, "[%s] RUN_SCRIPT_SAME_PROCESS...", kFn);
    execv(path.c_str(), args.data());
    return Finish(kRunExecFailed, errno, retVal);
  }
  DbgPlain(kDbgDetail, "[%s] fork & exec...", kFn);
  if (timeout >= 0) EnvReadInt("VEKEXECTIMEOUT", &timeout);
  const bool readOutput = (flags & kRunNoOutputRead) == 0;
  const bool detached = !readOutput && timeout == -1;

  Pipe toParent;
  Pipe toChild;
  int err = readOutput ? toParent.Make() : 0;
  if (err == 0 && input != nullptr) err = toChild.Make();
  if (err != 0) {
    DbgPlain(kDbgUnexpected, "[%s] pipe() failed, err=%d", kFn, err);
    return Finish(kRunError, err, retVal);
  }

  // A guest leaves the host's SIGCHLD action alone.
  SignalScope signals(!detached && !CmnInHostProcess());
  ScriptRun run(signals, flags, timeout, &value);
  run.SetInput(input);
  chldPid = 0;
  chldStatus = 0;
  chldErrno = 0;
  chldExitFlag = 0;

  ChildSetup setup{path.c_str(), args.data(), toParent.write.get(), toChild.read.get(),
                   user,         detached,    signals.ChildMask()};
  const pid_t pid = fork();
  if (pid < 0) {
    err = errno;
    DbgPlain(kDbgUnexpected, "[%s] fork() failed, err=%d", kFn, err);
    return Finish(kRunError, err, retVal);
  }
  if (pid == 0) RunChild(setup);

  chldPid = pid;
  DbgPlain(kDbgDetail, "Parent: chldPid=%d", static_cast<int>(pid));
  if (toParent.write.close() != 0)
    DbgPlain(kDbgUnexpected, "[%s] close(pipeToParent[1] failed.", kFn);
  if (toChild.read.close() != 0)
    DbgPlain(kDbgUnexpected, "[%s] close(pipeToChild[0]) failed.", kFn);
  run.out().reset(toParent.read.release());
  run.in().reset(toChild.write.release());
  if (run.in() && input[0] == '\0') run.CloseInput();

  int result = 0;
  if (detached) {
    int status = 0;
    cmn::RetryEintr([&] { return waitpid(pid, &status, 0); });
    chldExitFlag = 1;
    run.FeedAll();
  } else {
    if (readOutput) {
      result = run.Relay();
      if (result == -2) DbgPlain(kDbgDetail, "[%s] Timeout in ReadFromPipe.", kFn);
    }
    if (result == -2 || run.AwaitChild() == -2) {
      run.KillAndReap();
      result = -2;
    }
    run.CloseInput();
    DbgPlain(kDbgProcess, "Caught SIGCHLD! Waiting for pid %d", static_cast<int>(pid));
    if (chldErrno != 0) {
      DbgPlain(kDbgUnexpected, "[%s] waitpid (pid %d) failed! errno:%d", kFn, static_cast<int>(pid),
               chldErrno);
    } else if (!WIFEXITED(chldStatus)) {
      DbgPlain(kDbgDetail, "[%s] [ !WIFEXITED(chldStatus) ]: u:%d errno:%d", kFn,
               static_cast<int>(pid), chldErrno);
    } else {
      DbgPlain(
          kDbgDetail,
          "[%s] [ !(u <= 0 || !WIFEXITED(chldStatus)) ]: u:%d WIFEXITED(chldStatus):%d errno:%d",
          kFn, static_cast<int>(pid), 1, chldErrno);
    }
    if (result == 0) result = CheckStatus(chldErrno, chldStatus, &value);
  }
  if (run.writeError() != 0 && result != -2) {
    result = kRunError;
    value = run.writeError();
  }
  chldPid = 0;
  return Finish(result, value, retVal);
}

int CmnRunScriptEx(const char* dir, int argc, const char* const* argv, const char* input,
                   int timeout, int flags, int* retVal) {
  return CmnRunScriptExAsUser(dir, argc, argv, input, timeout, flags, nullptr, nullptr, retVal);
}
