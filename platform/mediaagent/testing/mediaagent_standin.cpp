// Test helper that runs the stand-in media agent for one test.
#include "mediaagent/testing/mediaagent_standin.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <thread>

#include "codec/rcsid.h"

TARN_RCSID("platform/mediaagent/testing/mediaagent_standin.cpp");

namespace tarn::test {

namespace {

constexpr char kProgram[] = TARN_MEDIAAGENT_PROGRAM;

constexpr int kStillRunning = -1;

// Waits for `pid` at most `timeout`: its wait status, kStillRunning, or -2
// when it was reaped elsewhere.
int WaitFor(pid_t pid, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno == ECHILD) return -2;
    if (std::chrono::steady_clock::now() >= end) return kStillRunning;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool WaitForText(const std::string& path, std::string_view text,
                 std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (ReadFile(path).find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

MediaAgentStandIn::MediaAgentStandIn() : MediaAgentStandIn(Options{}) {}

MediaAgentStandIn::MediaAgentStandIn(const Options& options)
    : runDir_(std::make_unique<TempDir>()) {
  start(options);
}

MediaAgentStandIn::~MediaAgentStandIn() {
  const int status = stop();
  if (status != -1 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    ADD_FAILURE() << "the stand-in media agent ended with wait status " << status;
  }
}

void MediaAgentStandIn::start(const Options& options) {
  const std::string run = runDir_->path();
  storeDir_ = options.storeDir.empty() ? run + "/store" : options.storeDir;
  trafficPath_ = run + "/traffic.log";
  eventsPath_ = run + "/events";
  const std::string portFile = run + "/port";
  std::vector<std::string> args = {kProgram,    "--store",    storeDir_,    "--port-file", portFile,
                                   "--traffic", trafficPath_, "--lifetime", "900"};
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) {
    ADD_FAILURE() << "fork failed for the stand-in media agent";
    return;
  }
  if (pid_ == 0) {
    // The stand-in ends with the test even when the test dies without a word.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    const int events = open(eventsPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (events >= 0) dup2(events, STDOUT_FILENO);
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
      ADD_FAILURE() << "the stand-in media agent ended at start (status " << status << ")";
      return;
    }
    std::istringstream ports(ReadFile(portFile));
    std::string word;
    int value = 0;
    while (ports >> word >> value) {
      if (word == "port") port_ = value;
    }
    if (port_ > 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ADD_FAILURE() << "the stand-in media agent did not become ready";
  stop();
}

std::string MediaAgentStandIn::metadata(int da) const {
  return ReadFile(storeDir_ + "/da-" + std::to_string(da) + ".meta");
}

std::string MediaAgentStandIn::blocks(int da) const {
  return ReadFile(storeDir_ + "/da-" + std::to_string(da) + ".blocks");
}

std::vector<std::string> MediaAgentStandIn::events() const {
  return Lines(ReadFile(eventsPath_));
}

bool MediaAgentStandIn::waitForEvent(std::string_view text,
                                     std::chrono::milliseconds timeout) const {
  return WaitForText(eventsPath_, text, timeout);
}

std::vector<std::string> MediaAgentStandIn::traffic() const {
  return Lines(ReadFile(trafficPath_));
}

bool MediaAgentStandIn::waitForTraffic(std::string_view text,
                                       std::chrono::milliseconds timeout) const {
  return WaitForText(trafficPath_, text, timeout);
}

int MediaAgentStandIn::stop() {
  if (pid_ <= 0) return -1;
  int status = WaitFor(pid_, std::chrono::milliseconds(0));
  if (status == kStillRunning) {
    kill(pid_, SIGTERM);
    status = WaitFor(pid_, std::chrono::seconds(10));
  }
  if (status == kStillRunning) {
    ADD_FAILURE() << "the stand-in media agent ignored SIGTERM; killed";
    kill(pid_, SIGKILL);
    status = WaitFor(pid_, std::chrono::seconds(10));
  }
  pid_ = -1;
  port_ = -1;
  return status < 0 ? -1 : status;
}

}  // namespace tarn::test
