// The stand-in media agent: its listening port, a thread per data-path
// connection, the backup streams that may still resume, and a clean stop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "cellserver/traffic.h"
#include "codec/dastream.h"
#include "codec/wire.h"
#include "mediaagent/config.h"
#include "mediaagent/store.h"

namespace tarn::mediaagent {

// A backup stream between its MSG_OPEN and its MSG_STOP; kept after an abort
// so that a reconnecting client can resume it.
struct BackupStream {
  int da = 0;
  std::unique_ptr<StreamWriter> writer;  // null in sink mode
  standin::dastream::StreamDecoder decoder;
  std::uint32_t received = 0;  // blocks taken (stored, or counted in sink mode)
  std::uint32_t acks = 0;      // acknowledgements sent
  std::vector<int> unacked;    // buffer ids of blocks stored but not acknowledged
};

class Agent {
 public:
  // `traffic` must outlive the agent; `event` gets each STREAM_END line and
  // may be called from any connection's thread.
  Agent(Config config, cellserver::Traffic& traffic, std::function<void(const std::string&)> event);
  ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // Opens the port and starts serving. False with the reason in *why.
  bool start(std::string* why);
  // Ends every wait, closes the port and every connection, joins every thread
  // (which removes every segment). Idempotent.
  void stop();
  int port() const { return port_; }

  // For the conversations.
  const Config& config() const { return config_; }
  cellserver::Traffic& traffic() { return traffic_; }
  int stopFd() const { return stop_.fd(); }
  void event(const std::string& line) { event_(line); }
  // True once when the once-per-process fault in `slot` is set to `block`;
  // it is cleared then.
  bool fires(std::optional<std::uint32_t> Faults::*slot, std::uint32_t block);
  bool refuseOnce();
  // A new backup stream for `da`; null when that DA id is in use.
  std::shared_ptr<BackupStream> beginBackup(int da, std::string* why);
  // The interrupted stream of `da`, now in use again; null when there is none.
  // A connection that still holds the stream gets the I/O time-out to let it
  // go: a client that sees its link break may reconnect before the agent's
  // side of the old link has ended.
  std::shared_ptr<BackupStream> resumeBackup(int da);
  // Ends the use of a stream; an interrupted one is kept for resumption.
  void endBackup(const std::shared_ptr<BackupStream>& stream, bool interrupted);
  // The link of `da`'s stream is about to be broken by this side; the stream
  // counts as waiting to be resumed from now on.
  void breakingLink(int da);
  // True while a backup stream waits to be resumed: a new connection may be
  // its client reconnecting, which takes no offer and expects the
  // description first.
  bool resumePending();
  // Marks `da` in use by a restore; false when it is in use already.
  bool beginRestore(int da);
  void endRestore(int da);

 private:
  void acceptLoop();
  void reap();

  Config config_;
  cellserver::Traffic& traffic_;
  std::function<void(const std::string&)> event_;
  standin::StopSignal stop_;
  standin::Fd listener_;
  int port_ = -1;
  std::thread acceptor_;

  std::mutex faultsMutex_;
  Faults faults_;

  std::mutex streamsMutex_;
  std::condition_variable streamsChanged_;
  std::set<int> active_;
  std::map<int, std::shared_ptr<BackupStream>> interrupted_;
  std::set<int> breaking_;

  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex workersMutex_;
  std::list<Worker> workers_;
  std::atomic<unsigned> labels_{0};
  bool stopped_ = false;
};

// Serves one data-path connection from its set-up to its end.
void Converse(Agent& agent, standin::Fd fd, std::string label);

}  // namespace tarn::mediaagent
