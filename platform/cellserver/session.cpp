// Sessions of the stand-in cell server: each has a key, a GUID and a listen port
// of its own, and one conversation object per connection to that port.
#include "cellserver/session.h"

#include <algorithm>
#include <cstdio>

#include "cellserver/protocol.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/session.cpp");

namespace tarn::cellserver {

using standin::Message;

namespace {

constexpr int kBackupSessionType = 7;
// The number of a key has at most five digits, which keeps a key within 17
// characters.
constexpr unsigned kKeyNumbers = 100000;

std::string DateOf(std::time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return text;
}

std::string NewGuid(std::mt19937_64& random) {
  const std::uint64_t a = random();
  const std::uint64_t b = random();
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xFFFF),
                static_cast<unsigned>(0x4000 | (a & 0x0FFF)),
                static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3FFF)),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  return text;
}

// A running backup session of the same barlist ("<application> <barlist>"):
// the sessions of one barlist share its key while it runs, as the session
// manager joins them into one.
std::shared_ptr<Session> SharedKeySession(const std::vector<std::shared_ptr<Session>>& sessions,
                                          const SessionInfo& info) {
  if (info.type != kBackupSessionType || info.name.empty()) return nullptr;
  for (const auto& s : sessions)
    if (!s->ended() && s->info().type == info.type && s->info().name == info.name) return s;
  return nullptr;
}

}  // namespace

std::optional<std::pair<std::string, long long>> SessionIdParts(std::string_view id) {
  const std::size_t at = id.find_first_of(" -");
  if (at != 10 || id.size() <= at + 1) return std::nullopt;
  const auto number = standin::ParseDecimal(id.substr(at + 1), 0, 99999999);
  if (!number) return std::nullopt;
  return std::make_pair(std::string(id.substr(0, at)), static_cast<long long>(*number));
}

void Session::end() {
  ended_ = true;
  stop_.raise();
}

void Session::addSignal(unsigned number) {
  std::lock_guard lock(mutex_);
  signals_.push_back(number);
}

std::vector<unsigned> Session::signals() const {
  std::lock_guard lock(mutex_);
  return signals_;
}

void Session::attach() {
  std::lock_guard lock(mutex_);
  ++attached_;
}

void Session::detach() {
  std::lock_guard lock(mutex_);
  if (--attached_ == 0) unattendedSince_ = std::chrono::steady_clock::now();
}

bool Session::unattendedFor(std::chrono::milliseconds span) const {
  std::lock_guard lock(mutex_);
  return attached_ == 0 && std::chrono::steady_clock::now() - unattendedSince_ >= span;
}

void HoldConversation::run(Link& link, Session&) {
  Message message;
  for (;;) {
    switch (link.receive(message)) {
      case Link::Got::kMessage: continue;
      case Link::Got::kClosed: link.close("by peer"); return;
      case Link::Got::kTimeout: link.close("idle"); return;
      case Link::Got::kStopped: link.close("stopped"); return;
      case Link::Got::kBad: link.close("bad input"); return;
    }
  }
}

SessionRegistry::SessionRegistry() : random_(std::random_device{}()) {}

std::shared_ptr<Session> SessionRegistry::add(SessionInfo info, std::string* why) {
  std::lock_guard lock(mutex_);
  // An ended session holds its stop pipe for as long as it is listed here.
  std::erase_if(sessions_, [](const std::shared_ptr<Session>& s) { return s->ended(); });
  if (sessions_.size() >= kMaxRunning) {
    if (why != nullptr) *why = "too many sessions";
    return nullptr;
  }
  info.started = clock_();
  const std::shared_ptr<Session> sibling = SharedKeySession(sessions_, info);
  if (sibling != nullptr) {
    info.key = sibling->info().key;
  } else {
    const std::string date = DateOf(info.started);
    unsigned number = ++serial_ % kKeyNumbers;
    const auto taken = reserved_.find(date);
    if (taken != reserved_.end() && number <= taken->second) number = serial_ = taken->second + 1;
    info.key = date + "-" + std::to_string(number);
  }
  info.guid = braced_ ? "{" + NewGuid(random_) + "}" : NewGuid(random_);
  auto session = std::make_shared<Session>(std::move(info));
  if (!session->stoppable()) {
    if (why != nullptr) *why = "no stop pipe for the session";
    return nullptr;
  }
  sessions_.push_back(session);
  return session;
}

void SessionRegistry::reserve(std::string_view sessionId) {
  const auto parts = SessionIdParts(sessionId);
  // A number no key of ours can carry leaves the numbering alone.
  if (!parts || parts->second + 1 >= kKeyNumbers) return;
  std::lock_guard lock(mutex_);
  unsigned& highest = reserved_[parts->first];
  highest = std::max(highest, static_cast<unsigned>(parts->second));
}

void SessionRegistry::forget(const Session& session) {
  std::lock_guard lock(mutex_);
  std::erase_if(sessions_, [&session](const std::shared_ptr<Session>& s) {
    return s.get() == &session && s->ended();
  });
}

std::shared_ptr<Session> SessionRegistry::byKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  for (const auto& session : sessions_) {
    if (!session->ended() && session->info().key == key) return session;
  }
  return nullptr;
}

std::shared_ptr<Session> SessionRegistry::byGuid(std::string_view guid) const {
  std::lock_guard lock(mutex_);
  for (const auto& session : sessions_) {
    if (!session->ended() && session->info().guid == guid) return session;
  }
  return nullptr;
}

std::vector<std::shared_ptr<Session>> SessionRegistry::running() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<Session>> result;
  for (const auto& session : sessions_) {
    if (!session->ended()) result.push_back(session);
  }
  return result;
}

void SessionRegistry::endAll() {
  std::lock_guard lock(mutex_);
  for (const auto& session : sessions_) session->end();
}

void ServeSessionConnection(Link& link, Session& session, const Fixture& fixture, FaultBook& faults,
                            const ConversationFactory& factory) {
  const AttachedConnection attached(session);
  Message message;
  Link::Got got = link.receive(message);
  if (got == Link::Got::kMessage && message.code == standin::kMsgProtocol) {
    const ActiveFaults active = faults.take(standin::kMsgProtocol);
    const standin::PackedError error = active.error
                                           ? ServerError(static_cast<int>(active.error->value),
                                                         standin::kMsgProtocol, active.error->level)
                                           : standin::PackedError{};
    if (!SendReply(link, Reply::Of(ProtocolReply(error, fixture.protocol)), active)) return;
    got = link.receive(message);
  }
  if (got != Link::Got::kMessage) {
    link.close("before identity");
    return;
  }
  if (message.code != kMsgIdentity || message.items.size() != 2) {
    link.note("bad", "identity message expected");
    link.close("bad identity");
    return;
  }
  link.note("identity", Traffic::Quote(message.items[0]) + " " + Traffic::Quote(message.items[1]));
  const std::unique_ptr<SessionConversation> conversation =
      factory ? factory(session) : std::make_unique<HoldConversation>();
  conversation->run(link, session);
}

}  // namespace tarn::cellserver
