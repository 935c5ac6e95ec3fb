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
      faults_(fixture_.faults) {
  sessions_.setBracedGuids(fixture_.bracedGuids);
}

Server::~Server() {
  stop();
}

bool Server::start(std::string* why) {
  Fd inet = standin::ListenTcp(options_.bindAddress, options_.inetPort, why);
  if (!inet.valid()) return false;
  Fd request = standin::ListenTcp(options_.bindAddress, options_.requestPort, why);
  if (!request.valid()) return false;
  inetPort_ = standin::LocalPort(inet.get());
  requestPort_ = standin::LocalPort(request.get());
  // The inet service answers one request at once: no idle wait.
  const Timeouts inetTimeouts{options_.timeouts.io, options_.timeouts.io};
  if (!acceptLoop(std::move(inet), "inet", stop_.fd(), inetTimeouts,
                  [this](Link& link) { serveInet(link); }) ||
      !acceptLoop(std::move(request), "request", stop_.fd(), options_.timeouts,
                  [this](Link& link) { RequestConversation(*this, link).run(); })) {
    if (why != nullptr) *why = "stopped";
    return false;
  }
  traffic_.event("server", "start",
                 "inet " + std::to_string(inetPort_) + " request " + std::to_string(requestPort_));
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

bool Server::acceptLoop(Fd listener, std::string service, int stopFd, Timeouts timeouts,
                        std::function<void(Link&)> serve) {
  auto owned = std::make_shared<Fd>(std::move(listener));
  return spawn(
      [this, owned, service = std::move(service), stopFd, timeouts, serve = std::move(serve)] {
        for (;;) {
          Io status = Io::kError;
          std::string peer;
          Fd fd = standin::AcceptTcp(owned->get(), Deadline::After(std::chrono::seconds(1)), stopFd,
                                     &status, &peer);
          if (status == Io::kStopped) break;
          if (!fd.valid()) {
            // Out of descriptors or similar: give the system a moment.
            if (status == Io::kError &&
                !standin::PauseUnlessStopped(std::chrono::milliseconds(50), stopFd))
              break;
            continue;
          }
          reap();
          if (connections_ >= options_.maxConnections) {
            traffic_.event(service, "refused", peer + " (too many connections)");
            continue;
          }
          ++connections_;
          auto conn = std::make_shared<Fd>(std::move(fd));
          const bool started =
              spawn([this, conn, label = nextLabel(service), peer, stopFd, timeouts, serve] {
                {
                  Link link(std::move(*conn), label, traffic_, stopFd, timeouts);
                  link.note("open", peer);
                  try {
                    serve(link);
                  } catch (const std::exception& error) {
                    link.note("bad", std::string("internal: ") + error.what());
                  }
                }
                --connections_;
              });
          if (!started) --connections_;
        }
        owned->reset();
        traffic_.event(service, "listen closed");
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
  std::shared_ptr<Session> session = sessions_.add(std::move(info));
  if (!session) {
    if (why != nullptr) *why = "too many sessions";
    return nullptr;
  }
  const std::string service = "session:" + session->info().key;
  const bool serving =
      acceptLoop(std::move(listener), service, session->stopFd(), options_.timeouts,
                 [this, session](Link& link) {
                   ServeSessionConnection(link, *session, fixture_, faults_, options_.conversation);
                 });
  if (!serving) {
    session->end();
    if (why != nullptr) *why = "stopping";
    return nullptr;
  }
  return session;
}

}  // namespace tarn::cellserver
