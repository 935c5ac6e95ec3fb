// The stand-in cell server: its inet service, its request port and the ports of
// its sessions, a thread per connection, and a clean stop.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cellserver/fixture.h"
#include "cellserver/link.h"
#include "cellserver/session.h"
#include "cellserver/sm.h"
#include "cellserver/store.h"
#include "cellserver/traffic.h"
#include "codec/wire.h"

namespace tarn::cellserver {

struct ServerOptions {
  std::string bindAddress = "127.0.0.1";
  int inetPort = 0;     // 0: the system picks one
  int requestPort = 0;  // 0: the system picks one
  Timeouts timeouts;
  // Beyond this many connections the oldest idle inet or request connection
  // is cut for a new one; with none idle the new one is closed at once.
  std::size_t maxConnections = 256;
  ConversationFactory conversation;  // empty: the session manager's conversation
  std::string mediaEvents;           // the media agent's events file; empty: none
  std::string mediaRequests;         // object requests for the media agent; empty: none
  std::time_t clockAt = 0;           // sessions start at this time; 0: the wall clock's
};

class Server {
 public:
  // `store` and `traffic` must outlive the server.
  Server(ServerOptions options, Fixture fixture, Store& store, Traffic& traffic);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Opens both ports and starts serving. False with the reason in *why.
  bool start(std::string* why);
  // Ends every wait, closes every port and connection, joins every thread.
  // Idempotent.
  void stop();

  int inetPort() const { return inetPort_; }
  int requestPort() const { return requestPort_; }
  // Where reconnecting clients (-lport) connect.
  int reconnectPort() const { return reconnectPort_; }
  const std::string& bindAddress() const { return options_.bindAddress; }
  const std::string& mediaEventsPath() const { return options_.mediaEvents; }
  const std::string& mediaRequestsPath() const { return options_.mediaRequests; }
  SessionManagerBook& smBook() { return smBook_; }

  // For the conversations.
  const Fixture& fixture() const { return fixture_; }
  Store& store() { return store_; }
  FaultBook& faults() { return faults_; }
  SessionRegistry& sessions() { return sessions_; }
  const Timeouts& timeouts() const { return options_.timeouts; }
  // Opens a session port and records the session. Nothing with the reason in
  // *why when no port can be opened or too many sessions run.
  std::shared_ptr<Session> startSession(SessionInfo info, std::string* why);
  // The next resource number of the semaphore control.
  unsigned nextResource() { return ++resources_; }

 private:
  // Accepts on `listener` until `stopFd` fires, serving each connection on a
  // thread of its own with `serve`. False when the server is stopping.
  struct Loop {
    std::string service;
    int stopFd = -1;
    Timeouts timeouts;
    std::function<void(Link&)> serve;
    bool cuttable = false;          // its idle connections may be cut for new ones
    std::function<bool()> expired;  // checked between accepts; true ends the loop
    std::function<void()> atEnd;    // run once the loop has ended
  };
  bool acceptLoop(standin::Fd listener, Loop loop);
  // Cuts the connection idle the longest among the cuttable ones.
  bool cutOldestIdle();
  bool spawn(std::function<void()> body);
  void reap();
  std::string nextLabel(std::string_view service);
  void serveInet(Link& link);

  ServerOptions options_;
  Fixture fixture_;
  Store& store_;
  Traffic& traffic_;
  FaultBook faults_;
  SessionRegistry sessions_;
  standin::StopSignal stop_;
  int inetPort_ = -1;
  int requestPort_ = -1;
  int reconnectPort_ = -1;
  SessionManagerBook smBook_;
  std::mutex cuttableMutex_;
  std::list<Link*> cuttable_;
  std::atomic<unsigned> connections_{0};
  std::atomic<unsigned> labels_{0};
  std::atomic<unsigned> resources_{0};

  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::mutex workersMutex_;
  std::list<Worker> workers_;
  bool stopping_ = false;
};

}  // namespace tarn::cellserver
