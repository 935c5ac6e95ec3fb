// Sessions of the stand-in cell server: each has a key, a GUID and a listen port
// of its own, and one conversation object per connection to that port.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cellserver/link.h"
#include "codec/wire.h"

namespace tarn::cellserver {

struct SessionInfo {
  int type = 0;
  std::string name;  // the name item of the start request
  std::string debugRanges;
  std::string debugPostfix;
  std::string debugSelect;
  std::string language;
  std::string startMessage;  // the bulk data of the start request, as received
  std::string key;           // e.g. "2024/05/01-3"; at most 17 characters
  std::string guid;          // 36 characters, 8-4-4-4-12 hexadecimal digits (38 in braces)
  int port = 0;
  std::time_t started = 0;
};

// The object a session works on, between the answer MSG_CONNECT and the
// client's MSG_STOP or MSG_ABORT. Kept by the session, not by a connection,
// so that a reconnected client carries on where it broke off.
struct ObjectState {
  bool open = false;
  std::string name;
  std::string optionText;  // of the backup object request
  std::string sessionId;   // the -sess word of MSG_CONNECT, else the key
  int daId = -1;           // the -daid word of MSG_CONNECT; -1: none
  std::time_t connected = 0;
  std::uint64_t eventsOffset = 0;  // where the media agent's events of this object start
  bool stopSent = false;
  bool abortSent = false;
  int statuses = 0;
  int reports = 0;
};

class Session {
 public:
  explicit Session(SessionInfo info) : info_(std::move(info)) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const SessionInfo& info() const { return info_; }
  bool ended() const { return ended_; }
  // Ends the session: its port closes, its connections end, re-attaching fails.
  void end();
  // Readable once the session has ended; every wait of its connections uses it.
  int stopFd() const { return stop_.fd(); }
  // False when the stop pipe could not be made: such a session must not run.
  bool stoppable() const { return stop_.fd() >= 0; }
  void addSignal(unsigned number);
  std::vector<unsigned> signals() const;

  // Connections of the session manager's conversation currently on it.
  void attach();
  void detach();
  // True when nobody has been attached for `span` or longer.
  bool unattendedFor(std::chrono::milliseconds span) const;

  // The open object, under the session's lock.
  template <typename F>
  auto withObject(F&& f) {
    std::lock_guard lock(mutex_);
    return f(object_);
  }

 private:
  SessionInfo info_;
  standin::StopSignal stop_;
  std::atomic<bool> ended_{false};
  mutable std::mutex mutex_;
  std::vector<unsigned> signals_;
  int attached_ = 0;
  std::chrono::steady_clock::time_point unattendedSince_ = std::chrono::steady_clock::now();
  ObjectState object_;
};

// The session manager's side of one connection to a session port, run after
// the identity message. A later session-manager conversation plugs in here.
class SessionConversation {
 public:
  virtual ~SessionConversation() = default;
  // Serves the connection until it is to close. Every receive on `link` ends
  // when the session ends or the server stops.
  virtual void run(Link& link, Session& session) = 0;
};

// Counts a connection as attached to the session for its lifetime.
class AttachedConnection {
 public:
  explicit AttachedConnection(Session& session) : session_(session) { session_.attach(); }
  ~AttachedConnection() { session_.detach(); }
  AttachedConnection(const AttachedConnection&) = delete;
  AttachedConnection& operator=(const AttachedConnection&) = delete;

 private:
  Session& session_;
};

// A session id as "YYYY/MM/DD-N" (the session key) or as "YYYY/MM/DD NNNN"
// (the form backup agents write): its date and number, or nothing.
std::optional<std::pair<std::string, long long>> SessionIdParts(std::string_view id);

using ConversationFactory = std::function<std::unique_ptr<SessionConversation>(Session& session)>;

// Keeps the connection, logging what arrives, until the peer closes, the idle
// time-out passes, the session ends or the server stops. Answers nothing.
class HoldConversation final : public SessionConversation {
 public:
  void run(Link& link, Session& session) override;
};

class SessionRegistry {
 public:
  static constexpr std::size_t kMaxRunning = 200;

  SessionRegistry();
  // Records a session whose port is open, giving it key, GUID and start time.
  // A backup session (type 7) whose name ("<application> <barlist>") a
  // running backup session has takes that session's key.
  // Nothing, with the reason in *why, when kMaxRunning sessions run already
  // or the session cannot be stopped.
  std::shared_ptr<Session> add(SessionInfo info, std::string* why = nullptr);
  // Keys made later for the date of `sessionId` (either form of
  // SessionIdParts) number past it, so that a server started again on its
  // state never reuses a key its catalogue holds. Other ids are ignored.
  void reserve(std::string_view sessionId);
  // Drops an ended session, and with it its descriptors once nothing else holds it.
  void forget(const Session& session);
  // Running sessions only; nothing for an unknown or ended one.
  std::shared_ptr<Session> byKey(std::string_view key) const;
  std::shared_ptr<Session> byGuid(std::string_view guid) const;
  std::vector<std::shared_ptr<Session>> running() const;
  void endAll();
  // GUIDs of later sessions in braces (38 characters).
  void setBracedGuids(bool braced) { braced_ = braced; }
  // What later sessions take as their start time, and their key its date;
  // the wall clock by default.
  void setClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Session>> sessions_;
  unsigned serial_ = 0;
  std::map<std::string, unsigned, std::less<>> reserved_;  // date: highest number taken
  std::mt19937_64 random_;
  bool braced_ = false;
  std::function<std::time_t()> clock_ = [] { return std::time(nullptr); };
};

// Reads the opening of a session connection (an optional 267, then the
// identity message: code 0, program name and short version) and hands the
// connection to the conversation the factory makes.
void ServeSessionConnection(Link& link, Session& session, const Fixture& fixture, FaultBook& faults,
                            const ConversationFactory& factory);

}  // namespace tarn::cellserver
