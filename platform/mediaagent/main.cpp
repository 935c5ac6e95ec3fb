// tarn-mediaagent: the stand-in media agent that tests start on loopback. It
// takes backup streams into its store and serves them back until SIGTERM.
//
//   tarn-mediaagent --store <dir> [options]   (see kUsage in config.h)
//
// Port 0 (the default) lets the system choose. When ready it prints
// "port <port>", "pid <pid>" and "ready" on standard output (the session
// manager of the stand-in cell server reads the pid to learn that an agent
// died with a stream open) and, with --port-file, writes
// "port <port>" and "pid <pid>" to that file, which appears whole. Each
// stream's end is printed as one line "STREAM_END da=<id> status=stop|abort
// blocks=<n>", followed by " resumable" when the stream waits to be resumed,
// after one "ITEM ..." line (codec/itemevent.h) for each catalogued item the
// stream carried. The traffic log (default <store>/traffic.log) has the line
// forms of cellserver/traffic.h with connections named "c<n>" and the events
// open, segment, negotiated, transfer, fault, abort, event (the STREAM_END
// line), timeout, bad, counts, reset and close. Of the messages and raw
// packets it logs the first of each kind per connection and, before the
// connection's close or reset, one "counts" line ("< 24 x1000, < raw x1000
// 262144000 bytes, > 24 x1000": how many of each kind seen more than once);
// with --traffic-every it logs each of them. It stops on SIGTERM, SIGINT or
// SIGHUP, removing its segments, and on its own after --lifetime seconds
// (default 3600). Exit status: 0 after a stop, 2 for a bad command line, 1
// when it cannot start.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "cellserver/traffic.h"
#include "codec/rcsid.h"
#include "mediaagent/agent.h"
#include "mediaagent/config.h"

TARN_RCSID("platform/mediaagent/main.cpp");

namespace {

bool WriteFileWhole(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarn::mediaagent;
  std::string why;
  const auto config = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &why);
  if (!config) {
    std::cerr << "tarn-mediaagent: " << why << "\n" << kUsage;
    return 2;
  }
  if (::mkdir(config->storeDir.c_str(), 0700) != 0 && errno != EEXIST) {
    std::cerr << "tarn-mediaagent: cannot create " << config->storeDir << "\n";
    return 1;
  }
  tarn::cellserver::Traffic traffic(config->traffic.empty() ? config->storeDir + "/traffic.log"
                                                            : config->traffic);
  if (!traffic.ok()) {
    std::cerr << "tarn-mediaagent: cannot open the traffic log\n";
    return 1;
  }

  // Every thread inherits the blocked set; only sigtimedwait below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int stopSignal : {SIGTERM, SIGINT, SIGHUP}) {
    sigaddset(&stopSignals, stopSignal);
    // An ignored signal would never reach sigtimedwait: a parent may have left one so.
    signal(stopSignal, SIG_DFL);
  }
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::mutex outMutex;
  Agent agent(*config, traffic, [&outMutex](const std::string& line) {
    std::lock_guard lock(outMutex);
    std::cout << line << std::endl;
  });
  if (!agent.start(&why)) {
    std::cerr << "tarn-mediaagent: " << why << "\n";
    return 1;
  }
  const std::string port = "port " + std::to_string(agent.port()) + "\n";
  if (!config->portFile.empty() &&
      !WriteFileWhole(config->portFile, port + "pid " + std::to_string(getpid()) + "\n")) {
    std::cerr << "tarn-mediaagent: cannot write " << config->portFile << "\n";
    agent.stop();
    return 1;
  }
  {
    std::lock_guard lock(outMutex);
    std::cout << port << "pid " << getpid() << "\nready" << std::endl;
  }

  const timespec slice{1, 0};
  for (long long left = config->lifetime.count(); left > 0; --left) {
    const int got = sigtimedwait(&stopSignals, nullptr, &slice);
    if (got > 0) break;
    if (got < 0 && errno == EINTR) ++left;
  }
  agent.stop();
  return 0;
}
