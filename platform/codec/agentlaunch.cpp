// The client service's request and answer as messages.
#include "codec/agentlaunch.h"

#include <algorithm>
#include <array>

namespace tarn::standin {

namespace {

constexpr std::size_t kMaxArgs = 1024;
constexpr std::array<const char*, 4> kEnds = {"exit", "killed", "timeout", "not-started"};

}  // namespace

Message EncodeLaunchRequest(const LaunchRequest& request) {
  Message m{kMsgLaunch,
            {request.program, std::to_string(request.timeoutSeconds), request.input,
             std::to_string(request.args.size())}};
  m.items.insert(m.items.end(), request.args.begin(), request.args.end());
  m.items.insert(m.items.end(), request.env.begin(), request.env.end());
  return m;
}

std::optional<LaunchRequest> ParseLaunchRequest(const Message& message) {
  const auto& items = message.items;
  if (message.code != kMsgLaunch || items.size() < 4 || items[0].empty()) return std::nullopt;
  const auto timeout = ParseDecimal(items[1], 1, kLaunchTimeoutMax);
  const auto count = ParseDecimal(items[3], 0, kMaxArgs);
  if (!timeout || !count || items.size() < 4 + static_cast<std::size_t>(*count))
    return std::nullopt;
  LaunchRequest r;
  r.program = items[0];
  r.timeoutSeconds = static_cast<int>(*timeout);
  r.input = items[2];
  const auto args = items.begin() + 4;
  r.args.assign(args, args + *count);
  r.env.assign(args + *count, items.end());
  for (const std::string& e : r.env)
    if (e.find('=') == std::string::npos || e.front() == '=') return std::nullopt;
  return r;
}

Message EncodeLaunchResult(const LaunchResult& result) {
  std::string output = result.output.substr(0, kLaunchOutputMax);
  std::replace(output.begin(), output.end(), '\0', '?');
  return {kMsgLaunchResult,
          {kEnds[static_cast<std::size_t>(result.end)], std::to_string(result.status), output}};
}

std::optional<LaunchResult> ParseLaunchResult(const Message& message) {
  const auto& items = message.items;
  if (message.code != kMsgLaunchResult || items.size() != 3) return std::nullopt;
  const auto end = std::find(kEnds.begin(), kEnds.end(), items[0]);
  const auto status = ParseDecimal(items[1], -1000, 1000);
  if (end == kEnds.end() || !status) return std::nullopt;
  return LaunchResult{static_cast<LaunchResult::End>(end - kEnds.begin()),
                      static_cast<int>(*status), items[2]};
}

}  // namespace tarn::standin
