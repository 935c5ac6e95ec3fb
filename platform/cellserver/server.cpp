// The stand-in cell server: its inet service, its request port and the ports of
// its sessions, a thread per connection, and a clean stop.
#include "cellserver/server.h"

#include <exception>

#include "cellserver/protocol.h"
#include "cellserver/requests.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/server.cpp");

namespace tarn::cellserver {

using standin::Deadline;
using standin::Fd;
using standin::Io;
using standin::Message;

Server::Server(ServerOptions options, Fixture fixture, Store& store, Traffic& traffic)
    : options_(std::move(options)),
      fixture_(std::move(fixture)),
      store_(store),
      traffic_(traffic),
      faults_(fixture_.faults),
      smBook_(fixture_, store.ok() ? store.root() + "/catalogue" : std::string()) {
  sessions_.setBracedGuids(fixture_.bracedGuids);
  if (options_.clockAt != 0) sessions_.setClock([at = options_.clockAt] { return at; });
  for (const CatalogueRecord& version : smBook_.catalogue()) sessions_.reserve(version.sessionId);
}

Server::~Server() {
  stop();
}

bool Server::start(std::string* why) {
  if (stop_.fd() < 0) {
    if (why != nullptr) *why = "no stop pipe";
    return false;
  }
  Fd inet = standin::ListenTcp(options_.bindAddress, options_.inetPort, why);
  if (!inet.valid()) return false;
  Fd request = standin::ListenTcp(options_.bindAddress, options_.requestPort, why);
  if (!request.valid()) return false;
  Fd reconnect = standin::ListenTcp(options_.bindAddress, 0, why);
  if (!reconnect.valid()) return false;
  inetPort_ = standin::LocalPort(inet.get());
  requestPort_ = standin::LocalPort(request.get());
  reconnectPort_ = standin::LocalPort(reconnect.get());
  // The inet service answers one request at once: no idle wait.
  const Timeouts inetTimeouts{options_.timeouts.io, options_.timeouts.io};
  if (!acceptLoop(std::move(inet), Loop{.service = "inet",
                                        .stopFd = stop_.fd(),
                                        .timeouts = inetTimeouts,
                                        .serve = [this](Link& link) { serveInet(link); },
                                        .cuttable = true}) ||
      !acceptLoop(std::move(request),
                  Loop{.service = "request",
                       .stopFd = stop_.fd(),
                       .timeouts = options_.timeouts,
                       .serve = [this](Link& link) { RequestConversation(*this, link).run(); },
                       .cuttable = true}) ||
      !acceptLoop(std::move(reconnect),
                  Loop{.service = "reconnect",
                       .stopFd = stop_.fd(),
                       .timeouts = options_.timeouts,
                       .serve = [this](Link& link) { ServeReconnect(*this, link); }})) {
    if (why != nullptr) *why = "stopped";
    return false;
  }
  traffic_.event("server", "start",
                 "inet " + std::to_string(inetPort_) + " request " + std::to_string(requestPort_) +
                     " reconnect " + std::to_string(reconnectPort_));
  return true;
}

void Server::stop() {
  {
    std::lock_guard lock(workersMutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  stop_.raise();
  sessions_.endAll();
  std::list<Worker> all;
  {
    std::lock_guard lock(workersMutex_);
    all.swap(workers_);
  }
  for (Worker& worker : all) worker.thread.join();
  traffic_.event("server", "stop");
}

bool Server::spawn(std::function<void()> body) {
  std::lock_guard lock(workersMutex_);
  if (stopping_) return false;
  auto done = std::make_shared<std::atomic<bool>>(false);
  workers_.push_back(Worker{std::thread([body = std::move(body), done] {
                              body();
                              *done = true;
                            }),
                            done});
  return true;
}

void Server::reap() {
  std::list<Worker> finished;
  {
    std::lock_guard lock(workersMutex_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto next = std::next(it);
      if (*it->done) finished.splice(finished.end(), workers_, it);
      it = next;
    }
  }
  for (Worker& worker : finished) worker.thread.join();
}

std::string Server::nextLabel(std::string_view service) {
  return "c" + std::to_string(++labels_) + " " + std::string(service);
}

bool Server::cutOldestIdle() {
  std::lock_guard lock(cuttableMutex_);
  Link* oldest = nullptr;
  for (Link* link : cuttable_) {
    if (link->idle() && (oldest == nullptr || link->idleSince() < oldest->idleSince()))
      oldest = link;
  }
  if (oldest == nullptr || !oldest->cutIfIdle()) return false;
  oldest->note("cut", "idle the longest while all connections are taken");
  return true;
}

bool Server::acceptLoop(Fd listener, Loop loop) {
  auto owned = std::make_shared<Fd>(std::move(listener));
  return spawn([this, owned, loop = std::move(loop)] {
    // A loop with a check wakes often enough to end near its time.
    const auto slice =
        loop.expired ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
    for (;;) {
      if (loop.expired && loop.expired()) break;
      Io status = Io::kError;
      std::string peer;
      Fd fd = standin::AcceptTcp(owned->get(), Deadline::After(slice), loop.stopFd, &status, &peer);
      if (status == Io::kStopped) break;
      if (!fd.valid()) {
        // Out of descriptors or similar: give the system a moment.
        if (status == Io::kError &&
            !standin::PauseUnlessStopped(std::chrono::milliseconds(50), loop.stopFd))
          break;
        continue;
      }
      reap();
      if (connections_ >= options_.maxConnections && !(loop.cuttable && cutOldestIdle())) {
        traffic_.event(loop.service, "refused", peer + " (too many connections)");
        continue;
      }
      ++connections_;
      auto conn = std::make_shared<Fd>(std::move(fd));
      const bool started = spawn([this, conn, label = nextLabel(loop.service), peer, loop] {
        {
          Link link(std::move(*conn), label, traffic_, loop.stopFd, loop.timeouts);
          link.note("open", peer);
          std::list<Link*>::iterator listed;
          if (loop.cuttable) {
            std::lock_guard lock(cuttableMutex_);
            listed = cuttable_.insert(cuttable_.end(), &link);
          }
          try {
            loop.serve(link);
          } catch (const std::exception& error) {
            link.note("bad", std::string("internal: ") + error.what());
          }
          if (loop.cuttable) {
            std::lock_guard lock(cuttableMutex_);
            cuttable_.erase(listed);
          }
        }
        --connections_;
      });
      if (!started) --connections_;
    }
    owned->reset();
    traffic_.event(loop.service, "listen closed");
    if (loop.atEnd) loop.atEnd();
  });
}

void Server::serveInet(Link& link) {
  Message request;
  const Link::Got got = link.receive(request);
  if (got != Link::Got::kMessage) {
    link.close(got == Link::Got::kTimeout ? "idle" : "no request");
    return;
  }
  const ActiveFaults faults = faults_.take(kMsgPortRequest);
  Reply reply;
  const bool wellFormed = request.code == kMsgPortRequest && request.items.size() == 6 &&
                          request.items[1] == "0" && request.items[5] == "15";
  if (!wellFormed) {
    link.note("bad", "port request expected: code 2, host, \"0\", user, group, language, \"15\"");
    reply = Reply::Result(ServerError(kErrProtocol, request.code));
  } else if (faults.error) {
    reply = Reply::Result(
        ServerError(static_cast<int>(faults.error->value), request.code, faults.error->level));
  } else {
    reply = Reply::Of(
        Message{kMsgPortReply,
                {faults.port0 ? "0" : std::to_string(requestPort_), fixture_.inetReplyItem}});
  }
  reply.closeAfter = true;
  SendReply(link, std::move(reply), faults);
}

std::shared_ptr<Session> Server::startSession(SessionInfo info, std::string* why) {
  Fd listener = standin::ListenTcp(options_.bindAddress, 0, why);
  if (!listener.valid()) return nullptr;
  info.port = standin::LocalPort(listener.get());
  std::shared_ptr<Session> session = sessions_.add(std::move(info), why);
  if (!session) return nullptr;
  const std::string service = "session:" + session->info().key;
  const std::chrono::milliseconds unattended(fixture_.sessionTimeoutMs);
  // The loop and its connections hold the session (and so its stop pipe)
  // until they end; the registry lets go of it when the loop ends.
  const bool serving = acceptLoop(
      std::move(listener),
      Loop{.service = service,
           .stopFd = session->stopFd(),
           .timeouts = options_.timeouts,
           .serve =
               [this, session](Link& link) {
                 const ConversationFactory& factory = options_.conversation;
                 ServeSessionConnection(
                     link, *session, fixture_, faults_,
                     factory ? factory
                             : ConversationFactory(
                                   [this](Session& s) -> std::unique_ptr<SessionConversation> {
                                     if (s.info().type == kCatalogueSessionType)
                                       return std::make_unique<CatalogueConversation>(*this);
                                     return std::make_unique<SessionManagerConversation>(*this);
                                   }));
               },
           .expired =
               [this, session, unattended, service] {
                 if (!session->unattendedFor(unattended)) return false;
                 traffic_.event(service, "session", "ends unattended " + session->info().key);
                 session->end();
                 return true;
               },
           .atEnd =
               [this, session] {
                 session->end();
                 sessions_.forget(*session);
               }});
  if (!serving) {
    session->end();
    if (why != nullptr) *why = "stopping";
    return nullptr;
  }
  return session;
}

}  // namespace tarn::cellserver
