// Test helper that runs the stand-in media agent for one test.
#include "mediaagent/testing/mediaagent_standin.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "codec/rcsid.h"

TARN_RCSID("platform/mediaagent/testing/mediaagent_standin.cpp");

namespace tarn::test {

namespace {

constexpr char kProgram[] = TARN_MEDIAAGENT_PROGRAM;

}  // namespace

MediaAgentStandIn::MediaAgentStandIn() : MediaAgentStandIn(Options{}) {}

MediaAgentStandIn::MediaAgentStandIn(const Options& options)
    : runDir_(std::make_unique<TempDir>()), options_(options) {
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
  if (options.trafficEvery) args.push_back("--traffic-every");
  args.insert(args.end(), options.args.begin(), options.args.end());
  const Placement where = TestHosts().mediaAgent;
  if (!where.prefix.empty()) {
    args.insert(args.end(), {"--bind", where.address});
    args.insert(args.begin(), where.prefix.begin(), where.prefix.end());
  }
  const auto ready = [&](const std::string& text) {
    std::istringstream ports(text);
    std::string word;
    int value = 0;
    while (ports >> word >> value) {
      if (word == "port") port_ = value;
    }
    return port_ > 0;
  };
  if (!program_.Start(std::move(args), eventsPath_, portFile, ready, options.startTimeout,
                      "the stand-in media agent")) {
    port_ = -1;
  }
}

std::string MediaAgentStandIn::metadata(int da) const {
  return ReadFile(storeDir_ + "/da-" + std::to_string(da) + ".meta");
}

std::string MediaAgentStandIn::blocks(int da) const {
  return ReadFile(storeDir_ + "/da-" + std::to_string(da) + ".blocks");
}

std::vector<std::string> MediaAgentStandIn::events() const {
  return FileLines(eventsPath_);
}

bool MediaAgentStandIn::waitForEvent(std::string_view text,
                                     std::chrono::milliseconds timeout) const {
  return WaitForFileText(eventsPath_, text, timeout);
}

std::vector<std::string> MediaAgentStandIn::traffic() const {
  return FileLines(trafficPath_);
}

bool MediaAgentStandIn::waitForTraffic(std::string_view text,
                                       std::chrono::milliseconds timeout) const {
  return WaitForFileText(trafficPath_, text, timeout);
}

bool MediaAgentStandIn::restart() {
  stop();
  std::filesystem::remove(runDir_->path() + "/port");
  Options again = options_;
  again.storeDir = storeDir_;
  start(again);
  return ready();
}

namespace {

// Connection label -> whether it is open (and whether held), by the log.
std::map<std::string, bool> Connections(const std::vector<std::string>& traffic, bool held) {
  std::map<std::string, bool> state;
  for (const std::string& line : traffic) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    const std::string label = line.substr(0, blank);
    const std::string_view rest = std::string_view(line).substr(blank + 1);
    if (rest.starts_with("close") || rest.starts_with("reset")) {
      state[label] = false;
    } else if (!held && rest.starts_with("open ")) {
      state[label] = true;
    } else if (held && rest.starts_with("fault hold ")) {
      state[label] = true;
    } else if (held && rest.starts_with("fault released ")) {
      state[label] = false;
    }
  }
  return state;
}

int CountTrue(const std::map<std::string, bool>& state) {
  return static_cast<int>(
      std::count_if(state.begin(), state.end(), [](const auto& e) { return e.second; }));
}

}  // namespace

int MediaAgentStandIn::held() const {
  return CountTrue(Connections(traffic(), true));
}

int MediaAgentStandIn::openConnections() const {
  return CountTrue(Connections(traffic(), false));
}

void MediaAgentStandIn::release() {
  const std::string path = storeDir_ + "/release";
  const std::string count = ReadFile(path);
  const long long next = (count.empty() ? 0 : std::atoll(count.c_str())) + 1;
  WriteFile(path + ".tmp", std::to_string(next));
  std::filesystem::rename(path + ".tmp", path);
}

int MediaAgentStandIn::stop() {
  port_ = -1;
  return program_.Stop();
}

}  // namespace tarn::test
