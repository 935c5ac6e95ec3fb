// tarn-cellserver: the stand-in cell server that tests start on loopback. It
// serves the inet service, the request port and session ports until SIGTERM.
//
//   tarn-cellserver --state <dir> [--inet-port <n>] [--request-port <n>]
//                   [--bind <address>] [--fixture <file>] [--ports-file <file>]
//                   [--traffic <file>] [--idle-timeout <s>] [--io-timeout <s>]
//                   [--lifetime <s>] [--media-events <file>] [--media-requests <file>]
//                   [--max-connections <n>] [--launch <file>] [--clock <seconds>]
//
// --clock fixes the start time of every session (seconds since the epoch),
// and with it the date of their keys, so tests need not read today's date.
// --launch names a file that, once it appears, asks for one start of an agent
// for a barlist, the way the session manager starts it (the file's lines:
// cellserver/launch.h); its end is recorded in <state>/launches.
// --media-events names the file the stand-in media agent prints its
// STREAM_END lines to; the session manager ends an object with MSG_STOP only
// once that file shows a stopped end of the object's stream (a resumable one
// goes on), and aborts it when the stream ends otherwise or the agent dies.
// --media-requests names a file to which the session manager appends one line
// "OBJECT da=<id> backup|restore" per object request with a DA id, before its
// answer; the stand-in media agent (--requests) takes each stream's direction
// from it.
// Ports 0 (the default) let the system choose. When ready it prints
// "inet <port>", "request <port>" and "ready" on standard output and, with
// --ports-file, writes the same lines (with "pid <pid>") to that file, which
// appears whole. The traffic log defaults to <state>/traffic.log. It stops on
// SIGTERM, SIGINT or SIGHUP, and on its own after --lifetime seconds (default
// 3600) so that no forgotten stand-in outlives a test run. Exit status: 0
// after a stop, 2 for a bad command line or fixture, 1 when it cannot start.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <atomic>
#include <string>
#include <thread>

#include "cellserver/fixture.h"
#include "cellserver/launch.h"
#include "cellserver/server.h"
#include "cellserver/store.h"
#include "cellserver/traffic.h"
#include "codec/message.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/main.cpp");

namespace {

using namespace tarn::cellserver;

constexpr std::size_t kMaxFixtureBytes = 64u << 20;

int Usage(const std::string& why) {
  std::cerr
      << "tarn-cellserver: " << why << "\n"
      << "usage: tarn-cellserver --state <dir> [--inet-port <n>] [--request-port <n>] [--bind "
         "<address>]\n"
      << "       [--fixture <file>] [--ports-file <file>] [--traffic <file>] [--idle-timeout <s>]\n"
      << "       [--io-timeout <s>] [--lifetime <s>] [--media-events <file>]\n"
      << "       [--media-requests <file>] [--max-connections <n>] [--launch <file>]\n"
      << "       [--clock <seconds>]\n";
  return 2;
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *out = text.str();
  return !in.bad();
}

bool WriteFileWhole(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

bool Seed(Store& store, const Fixture& fixture, std::string* why) {
  const auto put = [&](const Key& key, const std::string& bytes) {
    const Outcome outcome = store.put(key, bytes);
    if (outcome != Outcome::kOk)
      *why = std::string("cannot store fixture data: ") + OutcomeName(outcome);
    return outcome == Outcome::kOk;
  };
  for (const StoredValue& v : fixture.items)
    if (!put({Area::kItem, v.group, v.name}, v.bytes)) return false;
  for (const StoredValue& v : fixture.customs)
    if (!put({Area::kCustom, v.group, v.name}, v.bytes)) return false;
  for (const StoredValue& v : fixture.files)
    if (!put({Area::kFile, v.group, {}}, v.bytes)) return false;
  for (const StoredValue& v : fixture.certificates)
    if (!put({Area::kCertificate, 0, v.name}, v.bytes)) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> args;
  for (int i = 1; i < argc; i += 2) {
    const std::string name = argv[i];
    static const char* const kKnown[] = {
        "--state",        "--inet-port",       "--request-port",  "--bind",       "--fixture",
        "--ports-file",   "--traffic",         "--idle-timeout",  "--io-timeout", "--lifetime",
        "--media-events", "--max-connections", "--media-requests", "--launch",
        "--clock"};
    if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown))
      return Usage("unknown option " + name);
    if (i + 1 >= argc) return Usage(name + " needs a value");
    args[name] = argv[i + 1];
  }
  const auto number = [&](const char* name, long long min, long long max,
                          long long fallback) -> long long {
    const auto it = args.find(name);
    if (it == args.end()) return fallback;
    const auto value = tarn::standin::ParseDecimal(it->second, min, max);
    return value ? *value : -1;
  };
  if (args["--state"].empty()) return Usage("--state is required");
  ServerOptions options;
  options.bindAddress = args.count("--bind") != 0 ? args["--bind"] : "127.0.0.1";
  const long long inetPort = number("--inet-port", 0, 65535, 0);
  const long long requestPort = number("--request-port", 0, 65535, 0);
  const long long idle = number("--idle-timeout", 1, 86400, 600);
  const long long io = number("--io-timeout", 1, 3600, 30);
  const long long lifetime = number("--lifetime", 1, 7 * 86400, 3600);
  const long long maxConnections = number("--max-connections", 1, 100000, 256);
  const long long clockAt = number("--clock", 1, 253402300799, 0);
  if (inetPort < 0 || requestPort < 0 || idle < 0 || io < 0 || lifetime < 0 ||
      maxConnections < 0 || clockAt < 0)
    return Usage("bad number");
  options.clockAt = static_cast<std::time_t>(clockAt);
  options.maxConnections = static_cast<std::size_t>(maxConnections);
  if (args.count("--media-events") != 0) options.mediaEvents = args["--media-events"];
  if (args.count("--media-requests") != 0) options.mediaRequests = args["--media-requests"];
  options.inetPort = static_cast<int>(inetPort);
  options.requestPort = static_cast<int>(requestPort);
  options.timeouts = Timeouts{std::chrono::seconds(idle), std::chrono::seconds(io)};

  Fixture fixture;
  if (args.count("--fixture") != 0) {
    std::string text;
    if (!ReadFile(args["--fixture"], &text))
      return Usage("cannot read fixture " + args["--fixture"]);
    if (text.size() > kMaxFixtureBytes) return Usage("fixture larger than 64 MiB");
    std::string why;
    auto parsed = ParseFixture(text, &why);
    if (!parsed) return Usage("fixture " + args["--fixture"] + ": " + why);
    fixture = std::move(*parsed);
  }

  Store store(args["--state"]);
  if (!store.ok()) {
    std::cerr << "tarn-cellserver: cannot use state directory " << args["--state"] << "\n";
    return 1;
  }
  std::string why;
  if (!Seed(store, fixture, &why)) {
    std::cerr << "tarn-cellserver: " << why << "\n";
    return 1;
  }
  Traffic traffic(args.count("--traffic") != 0 ? args["--traffic"]
                                               : args["--state"] + "/traffic.log");
  if (!traffic.ok()) {
    std::cerr << "tarn-cellserver: cannot open the traffic log\n";
    return 1;
  }

  // Every thread inherits the blocked set; only sigtimedwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  // An ignored signal would never reach sigtimedwait: a parent may have left one so.
  for (const int stopSignal : {SIGTERM, SIGINT, SIGHUP}) signal(stopSignal, SIG_DFL);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Server server(options, std::move(fixture), store, traffic);
  if (!server.smBook().catalogueError().empty())
    std::cerr << "tarn-cellserver: catalogue: " << server.smBook().catalogueError() << "\n";
  if (!server.start(&why)) {
    std::cerr << "tarn-cellserver: " << why << "\n";
    return 1;
  }
  const std::string ports = "inet " + std::to_string(server.inetPort()) + "\nrequest " +
                            std::to_string(server.requestPort()) + "\n";
  if (args.count("--ports-file") != 0 &&
      !WriteFileWhole(args["--ports-file"], ports + "pid " + std::to_string(getpid()) + "\n")) {
    std::cerr << "tarn-cellserver: cannot write " << args["--ports-file"] << "\n";
    server.stop();
    return 1;
  }
  std::cout << ports << "ready" << std::endl;
  std::atomic<bool> stopLaunch{false};
  std::thread launch;
  if (args.count("--launch") != 0)
    launch = std::thread(LaunchWhenAsked, std::ref(server), args["--launch"],
                         args["--state"] + "/launches", std::cref(stopLaunch));

  const timespec slice{1, 0};
  for (long long left = lifetime; left > 0; --left) {
    const int got = sigtimedwait(&stopSignals, nullptr, &slice);
    if (got > 0) break;
    if (got < 0 && errno == EINTR) ++left;
  }
  stopLaunch = true;
  server.stop();
  if (launch.joinable()) launch.join();
  return 0;
}
