// The client service's one exchange: the session manager asks the service on
// a client host to run a program with arguments, settings and one text on
// its standard input; the service answers how the program ended and what it
// printed. Each travels as one framed message.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "codec/message.h"

namespace tarn::standin {

inline constexpr int kMsgLaunch = 7001;        // request
inline constexpr int kMsgLaunchResult = 7002;  // answer
// Longest program output the answer carries; more is cut.
inline constexpr std::size_t kLaunchOutputMax = 1 << 20;
inline constexpr int kLaunchTimeoutMax = 86400;

struct LaunchRequest {
  std::string program;            // absolute path on the client host
  std::vector<std::string> args;  // without the program name
  std::vector<std::string> env;   // NAME=value, added to the service's own
  std::string input;              // written to standard input, which is then closed
  int timeoutSeconds = 60;        // 1 to kLaunchTimeoutMax; then the program is killed

  bool operator==(const LaunchRequest&) const = default;
};

// How the program ended: its exit status, or killed (by the time-out or a
// signal), or not started.
struct LaunchResult {
  enum class End { kExited, kKilled, kTimedOut, kNotStarted };
  End end = End::kNotStarted;
  int status = 0;      // exit status, or the signal
  std::string output;  // standard output and error, NUL bytes as '?'

  bool operator==(const LaunchResult&) const = default;
};

// Items: program, timeout, input, argument count, the arguments, the settings.
Message EncodeLaunchRequest(const LaunchRequest& request);
// Nothing for a message of another code, a count that does not match, a
// timeout out of range or a setting without '='.
std::optional<LaunchRequest> ParseLaunchRequest(const Message& message);

// Items: end ("exit", "killed", "timeout", "not-started"), status, output.
Message EncodeLaunchResult(const LaunchResult& result);
std::optional<LaunchResult> ParseLaunchResult(const Message& message);

}  // namespace tarn::standin
