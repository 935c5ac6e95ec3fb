// Test helper that runs the stand-in cell server for one test: free loopback
// ports, a temporary state directory, and a stop that always happens.
#include "cellserver/testing/cellserver_standin.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/testing/cellserver_standin.cpp");

namespace tarn::test {

namespace {

constexpr char kProgram[] = TARN_CELLSERVER_PROGRAM;

constexpr int kStillRunning = -1;
constexpr int kNotAChild = -2;

// Waits for `pid` at most `timeout`: its wait status, kStillRunning, or
// kNotAChild when it was reaped elsewhere.
int WaitFor(pid_t pid, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno == ECHILD) return kNotAChild;
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

CellServerStandIn::CellServerStandIn() : CellServerStandIn(Options{}) {}

CellServerStandIn::CellServerStandIn(Options options) : runDir_(std::make_unique<TempDir>()) {
  start(options);
}

CellServerStandIn::~CellServerStandIn() {
  // A stand-in that did not end cleanly (a crash, a sanitizer report) fails the test.
  const int status = stop();
  if (status != -1 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    ADD_FAILURE() << "the stand-in cell server ended with wait status " << status;
  }
  if (exported_) {
    if (oldInetPort_) {
      setenv("TARN_INET_PORT", oldInetPort_->c_str(), 1);
    } else {
      unsetenv("TARN_INET_PORT");
    }
  }
}

void CellServerStandIn::start(const Options& options) {
  const std::string run = runDir_->path();
  stateDir_ = options.stateDir.empty() ? run + "/state" : options.stateDir;
  trafficPath_ = run + "/traffic.log";
  const std::string portsFile = run + "/ports";
  std::vector<std::string> args = {kProgram,       "--state",    stateDir_,
                                   "--ports-file", portsFile,    "--traffic",
                                   trafficPath_,   "--lifetime", "900"};
  if (!options.fixture.empty()) {
    WriteFile(run + "/fixture", options.fixture);
    args.insert(args.end(), {"--fixture", run + "/fixture"});
  }
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    ADD_FAILURE() << "fork failed for the stand-in cell server";
    return;
  }
  if (pid_ == 0) {
    // The stand-in ends with the test even when the test dies without a word.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, STDOUT_FILENO);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(kProgram, argv.data());
    _exit(127);
  }

  const auto end = std::chrono::steady_clock::now() + options.startTimeout;
  while (std::chrono::steady_clock::now() < end) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      ADD_FAILURE() << "the stand-in cell server ended at start (status " << status << ")";
      return;
    }
    std::istringstream ports(ReadFile(portsFile));
    std::string word;
    int value = 0;
    while (ports >> word >> value) {
      if (word == "inet") inetPort_ = value;
      if (word == "request") requestPort_ = value;
    }
    if (inetPort_ > 0 && requestPort_ > 0) return;
    inetPort_ = requestPort_ = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "the stand-in cell server did not become ready";
  stop();
}

void CellServerStandIn::exportInetPort() {
  if (!exported_) {
    if (const char* old = std::getenv("TARN_INET_PORT")) oldInetPort_ = old;
    exported_ = true;
  }
  setenv("TARN_INET_PORT", std::to_string(inetPort_).c_str(), 1);
}

std::vector<std::string> CellServerStandIn::traffic() const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(trafficPath_));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool CellServerStandIn::waitForTraffic(std::string_view text,
                                       std::chrono::milliseconds timeout) const {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (ReadFile(trafficPath_).find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int CellServerStandIn::stop() {
  if (pid_ <= 0) return -1;
  int status = WaitFor(pid_, std::chrono::milliseconds(0));
  if (status == kStillRunning) {
    kill(pid_, SIGTERM);
    status = WaitFor(pid_, std::chrono::seconds(10));
  }
  if (status == kStillRunning) {
    ADD_FAILURE() << "the stand-in cell server ignored SIGTERM; killed";
    kill(pid_, SIGKILL);
    status = WaitFor(pid_, std::chrono::seconds(10));
  }
  pid_ = -1;
  inetPort_ = requestPort_ = -1;
  return status < 0 ? -1 : status;
}

int CellServerStandIn::waitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const int status = WaitFor(pid_, timeout);
  if (status == kStillRunning) return -1;
  pid_ = -1;
  inetPort_ = requestPort_ = -1;
  return status < 0 ? -1 : status;
}

}  // namespace tarn::test
