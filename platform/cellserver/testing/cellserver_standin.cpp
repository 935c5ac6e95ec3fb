// Test helper that runs the stand-in cell server for one test: free loopback
// ports, a temporary state directory, and a stop that always happens.
#include "cellserver/testing/cellserver_standin.h"

#include <sys/wait.h>

#include <cstdlib>
#include <sstream>

#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/testing/cellserver_standin.cpp");

namespace tarn::test {

namespace {

constexpr char kProgram[] = TARN_CELLSERVER_PROGRAM;

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
  const Placement where = TestHosts().cellServer;
  if (!where.prefix.empty()) {
    args.insert(args.end(), {"--bind", where.address});
    args.insert(args.begin(), where.prefix.begin(), where.prefix.end());
  }
  const auto ready = [&](const std::string& text) {
    std::istringstream ports(text);
    std::string word;
    int value = 0;
    inetPort_ = requestPort_ = -1;
    while (ports >> word >> value) {
      if (word == "inet") inetPort_ = value;
      if (word == "request") requestPort_ = value;
    }
    return inetPort_ > 0 && requestPort_ > 0;
  };
  if (!program_.Start(std::move(args), "", portsFile, ready, options.startTimeout,
                      "the stand-in cell server")) {
    inetPort_ = requestPort_ = -1;
  }
}

void CellServerStandIn::exportInetPort() {
  if (!exported_) {
    if (const char* old = std::getenv("TARN_INET_PORT")) oldInetPort_ = old;
    exported_ = true;
  }
  setenv("TARN_INET_PORT", std::to_string(inetPort_).c_str(), 1);
}

std::vector<std::string> CellServerStandIn::traffic() const {
  return FileLines(trafficPath_);
}

bool CellServerStandIn::waitForTraffic(std::string_view text,
                                       std::chrono::milliseconds timeout) const {
  return WaitForFileText(trafficPath_, text, timeout);
}

int CellServerStandIn::stop() {
  inetPort_ = requestPort_ = -1;
  return program_.Stop();
}

int CellServerStandIn::waitForExit(std::chrono::milliseconds timeout) {
  const int status = program_.WaitForExit(timeout);
  if (status != -1) inetPort_ = requestPort_ = -1;
  return status;
}

}  // namespace tarn::test
