// The session manager's start of an agent for a barlist: it opens the
// barlist's backup session and has the client service of the agent's host
// start the agent with the session's settings and its one option line, then
// records how the agent ended and the session's outcome.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace tarn::cellserver {

class Server;

// What to start, from a launch file of "<keyword> <value>" lines:
//   barlist <name>          the barlist to run (required)
//   application <type>      default DB2
//   appname <name>          VEKAPPNAME, e.g. the DB2 instance (required)
//   client <address> <port> the client service (required)
//   clienthost <name>       VEKBARHOSTNAME (default: the client address)
//   program <path>          the agent on the client host (required)
//   arg <word>              one argument of its command line (repeatable)
//   env <NAME=value>        one more setting (repeatable)
//   input <text>            the option line (the rest of the line)
//   timeout <seconds>       how long the agent may run (default 600)
struct LaunchSpec {
  std::string barlist, application = "DB2", appname;
  std::string clientAddress, clientHost;
  int clientPort = 0;
  std::string program;
  std::vector<std::string> args, env;
  std::string input;
  int timeoutSeconds = 600;
};

// Nothing, with the reason in *why, for an unknown keyword, a bad number or
// a missing required line.
std::optional<LaunchSpec> ParseLaunchSpec(const std::string& text, std::string* why);

// Runs one launch to its end and appends its record to `resultFile`:
//   launch <barlist> key=<session key> end=<exit|killed|timeout|not-started|unreachable>
//     status=<n> outcome=<completed|failed>
// (one line); the agent's output goes to `resultFile` + ".out". The session
// stays open, so the agent's vendor sessions join it, until the agent ended.
void RunLaunch(Server& server, const LaunchSpec& spec, const std::string& resultFile);

// Until `stop` is set: waits for the file `specFile` (checked every 100 ms),
// removes it and runs the launch it described beside those still running
// (all are waited for at the end); a file that does not parse is recorded as
// "launch - refused <why>". Write the file whole (rename it into place); the
// next one may be written once the previous one is gone.
void LaunchWhenAsked(Server& server, const std::string& specFile, const std::string& resultFile,
                     const std::atomic<bool>& stop);

}  // namespace tarn::cellserver
