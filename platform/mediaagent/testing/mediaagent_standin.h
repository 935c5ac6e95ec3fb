// Test helper that runs the stand-in media agent for one test: a free loopback
// port, a temporary store, and a stop that always happens.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tarn_test.h"

namespace tarn::test {

// Starts tarn-mediaagent and waits until it listens. The stand-in also ends
// when the thread that made this object ends, so make it on the test's own
// thread. Usage:
//
//   tarn::test::MediaAgentStandIn ma({.args = {"--buffer-count", "4"}});
//   ASSERT_TRUE(ma.ready());
//   ... back up to 127.0.0.1:ma.port() ...
//   EXPECT_TRUE(ma.waitForEvent("STREAM_END da=7 status=stop"));
class MediaAgentStandIn {
 public:
  struct Options {
    std::vector<std::string> args;  // further command-line arguments (see mediaagent/config.h)
    std::string storeDir;           // empty: a temporary directory removed at the end
    std::chrono::seconds startTimeout{10};
    // Every message and raw packet in the traffic log (--traffic-every), as
    // tests read it; a benchmark turns it off.
    bool trafficEvery = true;
  };

  MediaAgentStandIn();
  explicit MediaAgentStandIn(const Options& options);
  // Stops the stand-in (SIGTERM, then SIGKILL after 10 s) and fails the test
  // when it did not end cleanly.
  ~MediaAgentStandIn();
  MediaAgentStandIn(const MediaAgentStandIn&) = delete;
  MediaAgentStandIn& operator=(const MediaAgentStandIn&) = delete;

  // True once the stand-in listens; a failed start is also reported to the test.
  bool ready() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return program_.pid(); }
  const std::string& storeDir() const { return storeDir_; }
  const std::string& trafficPath() const { return trafficPath_; }
  // The file its printed lines go to; the stand-in cell server reads it
  // (--media-events) to learn when a stream has ended.
  const std::string& eventsPath() const { return eventsPath_; }

  // The stored stream of `da`: its metadata text and its blocks file.
  std::string metadata(int da) const;
  std::string blocks(int da) const;
  // Lines the stand-in printed (STREAM_END and the start lines).
  std::vector<std::string> events() const;
  // Waits until a printed line contains `text`; false after `timeout`.
  bool waitForEvent(std::string_view text,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // The traffic log's lines so far, and a wait for one containing `text`.
  std::vector<std::string> traffic() const;
  bool waitForTraffic(std::string_view text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Stops the stand-in now; returns its wait status (-1 when it was not running).
  int stop();
  // Starts it again on the same store with the same options, as after a
  // crash (its dead self's wait status is not judged); false when it does
  // not come up.
  bool restart();

  // With the hold fault: how many connections wait at their held block now,
  // and how many are open, by the traffic log; release() lets every stream
  // held so far go on.
  int held() const;
  int openConnections() const;
  void release();

 private:
  void start(const Options& options);

  std::unique_ptr<TempDir> runDir_;
  Options options_;
  std::string storeDir_;
  std::string trafficPath_;
  std::string eventsPath_;
  ServerProgram program_;
  int port_ = -1;
};

}  // namespace tarn::test
