// Test helper that runs the stand-in cell server for one test: free loopback
// ports, a temporary state directory, and a stop that always happens.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarn_test.h"

namespace tarn::test {

// Starts tarn-cellserver and waits until it listens. The product's cell-server
// client finds it through TARN_INET_PORT (see exportInetPort). The stand-in
// also ends when the thread that made this object ends, so make it on the
// test's own thread. Usage:
//
//   tarn::test::CellServerStandIn cs({.fixture = "option BindTimeout 5\n"});
//   ASSERT_TRUE(cs.ready());
//   cs.exportInetPort();
//   ... MCsaInit("127.0.0.1") ...
//   EXPECT_TRUE(cs.waitForTraffic("request < 225"));
//
// The session manager on its session ports answers object requests from the
// fixture's script (baropt, sm-abort, session-timeout, key: see
// cellserver/fixture.cpp). It ends an object with MSG_STOP only once the
// stand-in media agent has printed a stopped end of the stream (an aborted
// end, or an agent that died, aborts the object), so give it the agent's
// events file: .args = {"--media-events", ma.eventsPath()}. With
// "--media-requests" <file> it writes its object requests for an agent
// started with "--requests" <file>, which then takes each stream's direction
// from them.
//
// Catalogue sessions (session type 2) end with their connection. They list
// the versions the session manager
// stored (kept in <state>/catalogue, so pass the same stateDir to a later
// stand-in to find them) and the fixture's cat-object, cat-version, cat-item
// and cat-medium lines; the reply layout is described in
// cellserver/protocol.h.
class CellServerStandIn {
 public:
  struct Options {
    std::string fixture;            // fixture text (syntax: cellserver/fixture.cpp); empty: none
    std::string stateDir;           // empty: a temporary directory removed at the end
    std::vector<std::string> args;  // further command-line arguments
    std::chrono::seconds startTimeout{10};
  };

  CellServerStandIn();
  explicit CellServerStandIn(Options options);
  // Stops the stand-in (SIGTERM, then SIGKILL after 10 s), fails the test
  // when it did not end cleanly, and puts back TARN_INET_PORT when
  // exportInetPort changed it.
  ~CellServerStandIn();
  CellServerStandIn(const CellServerStandIn&) = delete;
  CellServerStandIn& operator=(const CellServerStandIn&) = delete;

  // True once the stand-in listens; a failed start is also reported to the test.
  bool ready() const { return inetPort_ > 0; }
  int inetPort() const { return inetPort_; }
  int requestPort() const { return requestPort_; }
  pid_t pid() const { return program_.pid(); }
  const std::string& stateDir() const { return stateDir_; }
  const std::string& trafficPath() const { return trafficPath_; }

  // Sets TARN_INET_PORT to inetPort() for this process until destruction.
  void exportInetPort();
  // The traffic log's lines so far.
  std::vector<std::string> traffic() const;
  // Waits until a traffic line contains `text`; false after `timeout`.
  bool waitForTraffic(std::string_view text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Stops the stand-in now; returns its wait status (-1 when it was not running).
  int stop();
  // Waits for the stand-in to end by itself; its wait status, or -1 when it
  // still runs after `timeout` (it is then left running).
  int waitForExit(std::chrono::milliseconds timeout);

 private:
  void start(const Options& options);

  std::unique_ptr<TempDir> runDir_;
  std::string stateDir_;
  std::string trafficPath_;
  ServerProgram program_;
  int inetPort_ = -1;
  int requestPort_ = -1;
  bool exported_ = false;
  std::optional<std::string> oldInetPort_;
};

}  // namespace tarn::test
