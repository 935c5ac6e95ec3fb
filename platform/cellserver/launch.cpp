// The session manager's start of an agent through the client service.
#include "cellserver/launch.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "cellserver/server.h"
#include "cellserver/session.h"
#include "codec/agentlaunch.h"
#include "codec/message.h"
#include "codec/wire.h"

namespace tarn::cellserver {

namespace {

constexpr int kBackupSessionType = 7;
// Time beyond the agent's own for the service to answer.
constexpr auto kAnswerMargin = std::chrono::seconds(30);

const char* EndName(standin::LaunchResult::End end) {
  switch (end) {
    case standin::LaunchResult::End::kExited: return "exit";
    case standin::LaunchResult::End::kKilled: return "killed";
    case standin::LaunchResult::End::kTimedOut: return "timeout";
    default: return "not-started";
  }
}

// Launches run side by side; each record is appended whole.
std::mutex appendMutex;

void Append(const std::string& path, const std::string& text) {
  std::lock_guard lock(appendMutex);
  std::ofstream(path, std::ios::app) << text;
}

// The agent's answer from the client service, or nothing when the service
// cannot be reached or does not answer in time.
std::optional<standin::LaunchResult> Ask(const LaunchSpec& spec,
                                         const standin::LaunchRequest& request) {
  std::string why;
  standin::Fd fd = standin::ConnectTcp(spec.clientAddress, spec.clientPort,
                                       standin::Deadline::After(std::chrono::seconds(10)), &why);
  if (!fd.valid()) return std::nullopt;
  const std::string data = standin::EncodeMessage(standin::EncodeLaunchRequest(request));
  if (standin::WriteFrame(fd.get(), data, standin::Deadline::After(std::chrono::seconds(10)), -1) !=
      standin::Io::kOk)
    return std::nullopt;
  standin::Message answer;
  const auto wait = std::chrono::seconds(spec.timeoutSeconds) + kAnswerMargin;
  if (standin::ReadMessage(fd.get(), &answer, standin::kLaunchOutputMax + 4096,
                           standin::Deadline::After(wait), kAnswerMargin, -1,
                           &why) != standin::Io::kOk)
    return std::nullopt;
  return standin::ParseLaunchResult(answer);
}

}  // namespace

std::optional<LaunchSpec> ParseLaunchSpec(const std::string& text, std::string* why) {
  LaunchSpec spec;
  std::istringstream in(text);
  auto fail = [why](const std::string& reason) -> std::optional<LaunchSpec> {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  };
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    // No message item can carry a NUL byte: such a launch could never be sent.
    if (line.find('\0') != std::string::npos) return fail("a launch line holds a NUL byte");
    const std::size_t blank = line.find(' ');
    const std::string key = line.substr(0, blank);
    const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
    if (key == "barlist")
      spec.barlist = value;
    else if (key == "application")
      spec.application = value;
    else if (key == "appname")
      spec.appname = value;
    else if (key == "clienthost")
      spec.clientHost = value;
    else if (key == "program")
      spec.program = value;
    else if (key == "arg")
      spec.args.push_back(value);
    else if (key == "env")
      spec.env.push_back(value);
    else if (key == "input")
      spec.input = value;
    else if (key == "client") {
      const std::size_t sep = value.find(' ');
      const auto port = sep == std::string::npos
                            ? std::nullopt
                            : standin::ParseDecimal(value.substr(sep + 1), 1, 65535);
      if (!port) return fail("client takes an address and a port");
      spec.clientAddress = value.substr(0, sep);
      spec.clientPort = static_cast<int>(*port);
    } else if (key == "timeout") {
      const auto seconds = standin::ParseDecimal(value, 1, standin::kLaunchTimeoutMax);
      if (!seconds) return fail("timeout takes 1 to 86400 seconds");
      spec.timeoutSeconds = static_cast<int>(*seconds);
    } else {
      return fail("unknown launch line " + key);
    }
  }
  if (spec.barlist.empty() || spec.appname.empty() || spec.program.empty() || spec.clientPort == 0)
    return fail("barlist, appname, client and program are required");
  if (spec.clientHost.empty()) spec.clientHost = spec.clientAddress;
  return spec;
}

void RunLaunch(Server& server, const LaunchSpec& spec, const std::string& resultFile) {
  SessionInfo info;
  info.type = kBackupSessionType;
  info.name = spec.application + " " + spec.barlist;
  std::string why;
  const std::shared_ptr<Session> session = server.startSession(std::move(info), &why);
  if (!session) {
    Append(resultFile,
           "launch " + spec.barlist + " key= end=not-started status=0 outcome=failed\n");
    return;
  }
  std::optional<standin::LaunchResult> result;
  {
    // Held while the agent runs, so the session does not end for want of
    // attached connections.
    AttachedConnection held(*session);
    standin::LaunchRequest request;
    request.program = spec.program;
    request.args = spec.args;
    request.input = spec.input + "\n";
    request.timeoutSeconds = spec.timeoutSeconds;
    request.env = {"VEKAPPNAME=" + spec.appname, "VEKBARLIST=" + spec.barlist,
                   "VEKBARHOSTNAME=" + spec.clientHost,
                   "VEKOPTS=-server " + server.bindAddress() + " -session " + session->info().key};
    request.env.insert(request.env.end(), spec.env.begin(), spec.env.end());
    result = Ask(spec, request);
  }
  const bool completed =
      result && result->end == standin::LaunchResult::End::kExited && result->status == 0;
  if (result) Append(resultFile + ".out", result->output);
  Append(resultFile, "launch " + spec.barlist + " key=" + session->info().key +
                         " end=" + (result ? EndName(result->end) : "unreachable") +
                         " status=" + std::to_string(result ? result->status : 0) +
                         " outcome=" + (completed ? "completed" : "failed") + "\n");
  session->end();
}

void LaunchWhenAsked(Server& server, const std::string& specFile, const std::string& resultFile,
                     const std::atomic<bool>& stop) {
  std::vector<std::thread> running;
  while (!stop) {
    std::ifstream in(specFile);
    if (!in) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string why;
    std::optional<LaunchSpec> spec = ParseLaunchSpec(text.str(), &why);
    // Gone before the run, so a new request may be written while it runs,
    // and run beside it, as two sessions of a cell server run.
    std::remove(specFile.c_str());
    if (spec)
      running.emplace_back(
          [&server, spec = std::move(*spec), resultFile] { RunLaunch(server, spec, resultFile); });
    else
      Append(resultFile, "launch - refused " + why + "\n");
  }
  for (std::thread& t : running) t.join();
}

}  // namespace tarn::cellserver
