// The request port of the stand-in cell server: negotiation, login and every
// request the client makes, one conversation per connection.
#include "cellserver/requests.h"

#include <algorithm>

#include <limits>

#include "cellserver/server.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/requests.cpp");

namespace tarn::cellserver {

using standin::Message;
using standin::PackedError;
using standin::ParseDecimal;

namespace {

// Largest bulk transfer a client may send in one request.
constexpr std::size_t kMaxBulk = 64u << 20;
constexpr long long kMaxNumber = 999999;
constexpr long long kIntMax = std::numeric_limits<int>::max();

// Session signals that end the session they are sent to.
bool EndsSession(unsigned signal) {
  return signal == 2 || signal == 9 || signal == 15;
}

std::optional<int> IntAt(const Message& m, std::size_t i, long long min, long long max) {
  if (i >= m.items.size()) return std::nullopt;
  const auto value = ParseDecimal(m.items[i], min, max);
  if (!value) return std::nullopt;
  return static_cast<int>(*value);
}

// Items of the semaphore control request by operation (after the operation).
int SemaphoreItems(int operation) {
  switch (operation) {
    case 1: return 3;
    case 2: return 1;
    case 3: return 3;
    case 4:
    case 5:
    case 6: return 2;
    case 7: return 0;
    default: return -1;
  }
}

}  // namespace

void RequestConversation::run() {
  Message request;
  for (;;) {
    switch (link_.receive(request)) {
      case Link::Got::kMessage:
        if (!serve(request)) return;
        continue;
      case Link::Got::kBad:
        SendReply(link_, Reply::Result(ServerError(kErrProtocol, -1), {"malformed packet"}), {});
        link_.close("bad input");
        return;
      case Link::Got::kClosed: link_.close("by peer"); return;
      case Link::Got::kTimeout: link_.close("idle"); return;
      case Link::Got::kStopped: link_.close("stopped"); return;
    }
  }
}

Reply RequestConversation::refuse(int code, int id, const std::string& why) {
  link_.note("refuse", std::to_string(id) + " " + Traffic::Quote(why));
  return Reply::Result(ServerError(code, id), {why});
}

bool RequestConversation::serve(const Message& request) {
  const int id = request.code;
  const std::optional<RequestSpec> spec = FindRequest(id);
  const ActiveFaults faults = server_.faults().take(id);
  if (!spec) return SendReply(link_, refuse(kErrProtocol, id, "unknown request"), faults);

  // Bulk data follows its request whatever the answer; it is read first so the
  // connection stays in step.
  std::string bulk;
  if (spec->shape == Shape::kClientBulk && !readBulk(id, bulk)) return false;

  if (!loggedIn_ && id != kMsgIdentity && id != standin::kMsgProtocol) {
    return SendReply(link_, refuse(kErrProtocol, id, "no login yet"), faults);
  }
  if (spec->items >= 0 && request.items.size() != static_cast<std::size_t>(spec->items)) {
    return SendReply(link_,
                     refuse(kErrProtocol, id,
                            std::string(spec->name) + " takes " + std::to_string(spec->items) +
                                " items, not " + std::to_string(request.items.size())),
                     faults);
  }
  if (faults.error) {
    const PackedError error =
        ServerError(static_cast<int>(faults.error->value), id, faults.error->level);
    if (spec->shape == Shape::kProtocol) {
      return SendReply(link_, Reply::Of(ProtocolReply(error, server_.fixture().protocol)), faults);
    }
    const auto answers = server_.fixture().answers.find(id);
    return SendReply(
        link_,
        Reply::Result(error, answers == server_.fixture().answers.end() ? std::vector<std::string>{}
                                                                        : answers->second),
        faults);
  }
  return SendReply(link_, dispatch(*spec, request, std::move(bulk), faults), faults);
}

bool RequestConversation::readBulk(int requestId, std::string& bytes) {
  const auto fail = [&](const std::string& why) {
    link_.note("bad", why);
    SendReply(link_, Reply::Result(ServerError(kErrProtocol, requestId), {why}), {});
    link_.close("bad bulk data");
    return false;
  };
  for (;;) {
    Message header;
    const Link::Got got = link_.receive(header);
    if (got == Link::Got::kBad) return fail("malformed packet in bulk data");
    if (got != Link::Got::kMessage) {
      link_.close("inside bulk data");
      return false;
    }
    const auto chunk = standin::ParseClientDataHeader(header);
    if (!chunk) return fail("MSG_DATA with last-chunk flag and length of at most 81920 expected");
    if (chunk->length > kMaxBulk - bytes.size())
      return fail("bulk data longer than " + std::to_string(kMaxBulk));
    if (chunk->length > 0) {
      std::string part;
      const Link::Got raw = link_.receiveRaw(part, chunk->length);
      if (raw == Link::Got::kBad) return fail("raw packet does not match its MSG_DATA");
      if (raw != Link::Got::kMessage) {
        link_.close("inside bulk data");
        return false;
      }
      if (bytes.empty()) {
        bytes.swap(part);
      } else {
        bytes += part;
      }
    }
    if (chunk->last) return true;
  }
}

Reply RequestConversation::dispatch(const RequestSpec& spec, const Message& request,
                                    std::string bulk, const ActiveFaults& faults) {
  switch (spec.id) {
    case kMsgIdentity: return login(request);
    case standin::kMsgProtocol: return Reply::Of(ProtocolReply({}, server_.fixture().protocol));
    case 202:
    case 214:
    case 259:
    case 263:
    case 1092: return getStored(spec, request);
    case 203:
    case 215:
    case 256:
    case 257:
    case 260:
    case 1091: return putStored(spec, request, std::move(bulk));
    case 216:
    case 219:
    case 264: return removeOrRename(spec, request);
    case 205: return startSession(request, std::move(bulk), faults);
    case 207:
    case 283: return attachSession(spec, request, faults);
    case 236: return signalSession(request);
    default: break;
  }
  return spec.shape == Shape::kQuery ? query(spec, request) : answer(spec, request);
}

Reply RequestConversation::login(const Message& request) {
  if (!ParseDecimal(request.items[4], 0, kIntMax))
    return refuse(kErrProtocol, kMsgIdentity, "process id is not a number");
  loggedIn_ = true;
  const Fixture& f = server_.fixture();
  return Reply::Result(
      {}, {std::to_string(f.accessRights), std::to_string(f.loginItem2), f.loginItem3, f.loginItem4,
           std::to_string(f.installFlags), f.loginItem6});
}

namespace {

// Where a stored-data request keeps its value, from its leading items.
std::optional<Key> KeyOf(int id, const Message& request) {
  switch (id) {
    case 202:
    case 203:
    case 256: {
      const auto number = IntAt(request, 0, 0, kMaxNumber);
      if (!number) return std::nullopt;
      return Key{Area::kFile, *number, {}};
    }
    case 214:
    case 215:
    case 216:
    case 219:
    case 257:
    case 263:
    case 259:
    case 260:
    case 264: {
      const auto group = IntAt(request, 0, 0, kMaxNumber);
      if (!group) return std::nullopt;
      const bool custom = id == 259 || id == 260 || id == 264;
      return Key{custom ? Area::kCustom : Area::kItem, *group, request.items[1]};
    }
    case 1091:
    case 1092: return Key{Area::kCertificate, 0, request.items[0]};
    default: return std::nullopt;
  }
}

std::string Describe(const Key& key) {
  switch (key.area) {
    case Area::kFile: return "single file " + std::to_string(key.group);
    case Area::kItem: return "item " + std::to_string(key.group) + "/" + key.name;
    case Area::kCustom: return "custom file " + std::to_string(key.group) + "/" + key.name;
    case Area::kCertificate: return "certificate " + key.name;
  }
  return "?";
}

}  // namespace

Reply RequestConversation::getStored(const RequestSpec& spec, const Message& request) {
  const auto key = KeyOf(spec.id, request);
  if (!key) return refuse(kErrRefused, spec.id, "group or file number out of range");
  Outcome outcome = Outcome::kOk;
  std::optional<std::string> bytes = server_.store().get(*key, &outcome);
  // Every single file exists on a cell server; one never written reads empty.
  if (!bytes && outcome == Outcome::kMissing && key->area == Area::kFile) bytes.emplace();
  if (!bytes) return refuse(kErrRefused, spec.id, Describe(*key) + ": " + OutcomeName(outcome));
  return Reply::Bulk(std::move(*bytes));
}

Reply RequestConversation::putStored(const RequestSpec& spec, const Message& request,
                                     std::string bulk) {
  const auto key = KeyOf(spec.id, request);
  if (!key) return refuse(kErrRefused, spec.id, "group or file number out of range");
  const auto announced = ParseDecimal(request.items.back(), -1, kIntMax);
  if (!announced) return refuse(kErrRefused, spec.id, "length is not a number");
  if (*announced != static_cast<long long>(bulk.size())) {
    link_.note("bulk", "announced " + std::to_string(*announced) + " bytes, received " +
                           std::to_string(bulk.size()));
  }
  const Outcome outcome = server_.store().put(*key, bulk);
  if (outcome != Outcome::kOk)
    return refuse(kErrRefused, spec.id, Describe(*key) + ": " + OutcomeName(outcome));
  return Reply::Result({});
}

Reply RequestConversation::removeOrRename(const RequestSpec& spec, const Message& request) {
  const auto key = KeyOf(spec.id, request);
  if (!key) return refuse(kErrRefused, spec.id, "group out of range");
  const Outcome outcome = spec.id == 219 ? server_.store().rename(*key, request.items[2])
                                         : server_.store().remove(*key);
  if (outcome != Outcome::kOk)
    return refuse(kErrRefused, spec.id, Describe(*key) + ": " + OutcomeName(outcome));
  return Reply::Result({});
}

Reply RequestConversation::startSession(const Message& request, std::string bulk,
                                        const ActiveFaults& faults) {
  const auto type = IntAt(request, 0, 0, 19);
  if (!type) return refuse(kErrRefused, 205, "session type out of range");
  SessionInfo info;
  info.type = *type;
  info.name = request.items[1];
  info.debugRanges = request.items[2];
  info.debugPostfix = request.items[3];
  info.debugSelect = request.items[4];
  info.language = request.items[5];
  if (const auto start = standin::ParseMessage(bulk)) {
    std::string text = std::to_string(start->code);
    for (const std::string& item : start->items) text += " " + Traffic::Quote(item);
    link_.note("bulk", "start message " + text);
  } else {
    link_.note("bulk",
               "start message of " + std::to_string(bulk.size()) + " bytes is no message text");
  }
  info.startMessage = std::move(bulk);
  std::string why;
  const std::shared_ptr<Session> session = server_.startSession(std::move(info), &why);
  if (!session) return refuse(kErrSessionStart, 205, why);
  const SessionInfo& s = session->info();
  link_.note("session", "start " + s.key + " " + s.guid + " port " + std::to_string(s.port) +
                            " type " + std::to_string(s.type));
  std::string port = faults.port0 ? "0" : std::to_string(s.port);
  if (faults.deadPort) {
    // A port that was free a moment ago: a connect to it is refused.
    std::string why;
    standin::Fd probe = standin::ListenTcp("127.0.0.1", 0, &why);
    if (probe.valid()) port = std::to_string(standin::LocalPort(probe.get()));
    link_.note("fault", "dead-port " + port);
  }
  return Reply::Result({}, {port, s.key, s.guid});
}

Reply RequestConversation::attachSession(const RequestSpec& spec, const Message& request,
                                         const ActiveFaults& faults) {
  const bool byKey = spec.id == 207;
  const std::shared_ptr<Session> session = byKey ? server_.sessions().byKey(request.items[0])
                                                 : server_.sessions().byGuid(request.items[0]);
  if (!session)
    return refuse(kErrUnknownSession, spec.id, "no running session " + request.items[0]);
  const SessionInfo& s = session->info();
  const std::string port = faults.port0 ? "0" : std::to_string(s.port);
  if (byKey) return Reply::Result({}, {std::to_string(s.type), port});
  return Reply::Result({}, {std::to_string(s.type), port, s.key});
}

Reply RequestConversation::signalSession(const Message& request) {
  const std::shared_ptr<Session> session = server_.sessions().byKey(request.items[0]);
  if (!session) return refuse(kErrUnknownSession, 236, "no running session " + request.items[0]);
  const auto signal = ParseDecimal(request.items[1], 0, std::numeric_limits<std::uint32_t>::max());
  if (!signal) return refuse(kErrRefused, 236, "signal is not a number");
  session->addSignal(static_cast<unsigned>(*signal));
  link_.note("session", "signal " + session->info().key + " " + std::to_string(*signal));
  if (EndsSession(static_cast<unsigned>(*signal))) {
    session->end();
    link_.note("session", "end " + session->info().key);
  }
  return Reply::Result({});
}

// Rows of the session overview (101), seven items per running session:
// GUID, status (0 = running), session type, port, start time (seconds since
// the epoch), name, key. The session status (103) gives the same seven items
// for one session.
Reply RequestConversation::query(const RequestSpec& spec, const Message& request) {
  Message reply{spec.replyId, {}};
  const auto addSession = [&reply](const SessionInfo& s) {
    reply.items.insert(reply.items.end(),
                       {s.guid, "0", std::to_string(s.type), std::to_string(s.port),
                        std::to_string(static_cast<long long>(s.started)), s.name, s.key});
  };
  switch (spec.id) {
    case 225:
      for (const auto& [name, value] : server_.fixture().options) {
        reply.items.push_back(name);
        reply.items.push_back(value);
      }
      break;
    case 209: {
      // Sessions that share a key show as one row, the first of them.
      std::vector<std::string> keys;
      for (const auto& session : server_.sessions().running()) {
        if (std::find(keys.begin(), keys.end(), session->info().key) != keys.end()) continue;
        keys.push_back(session->info().key);
        addSession(session->info());
      }
      break;
    }
    case 210: {
      auto session = server_.sessions().byKey(request.items[0]);
      if (!session) session = server_.sessions().byGuid(request.items[0]);
      if (!session)
        return refuse(kErrUnknownSession, 210, "no running session " + request.items[0]);
      addSession(session->info());
      break;
    }
    case 211: {
      const auto group = IntAt(request, 0, 0, kMaxNumber);
      if (!group) return refuse(kErrRefused, 211, "group out of range");
      reply.items = server_.store().names(Area::kItem, *group);
      break;
    }
    case 1090: reply.items = server_.store().names(Area::kCertificate, 0); break;
    case 213:
    case 275:
      if (!IntAt(request, 0, std::numeric_limits<int>::min(), kIntMax)) {
        return refuse(kErrRefused, spec.id, "argument is not a number");
      }
      break;
    default: break;
  }
  const auto extra = server_.fixture().lists.find(spec.id);
  if (extra != server_.fixture().lists.end()) {
    reply.items.insert(reply.items.end(), extra->second.begin(), extra->second.end());
  }
  return Reply::Query(std::move(reply));
}

Reply RequestConversation::answer(const RequestSpec& spec, const Message& request) {
  const Fixture& f = server_.fixture();
  std::vector<std::string> items;
  switch (spec.id) {
    case 234:  // exec: the command's value
    case 303:  // host id
      items = {"0"};
      break;
    case 265:  // client info
      items = {""};
      break;
    case 273: {  // group path
      const auto group = IntAt(request, 0, 0, kMaxNumber);
      if (!group) return refuse(kErrRefused, 273, "group out of range");
      items = {server_.store().groupPath(Area::kItem, *group)};
      break;
    }
    case 282:  // impersonate: the new access rights
      items = {std::to_string(f.accessRights)};
      break;
    case 281: {  // semaphore control: the resource number for a create
      const auto operation = IntAt(request, 0, 1, 7);
      if (!operation ||
          request.items.size() != static_cast<std::size_t>(1 + SemaphoreItems(*operation))) {
        return refuse(kErrProtocol, 281, "unknown semaphore operation or wrong item count");
      }
      items = {*operation == 1 ? std::to_string(server_.nextResource()) : "0"};
      break;
    }
    default: break;
  }
  const auto fixed = f.answers.find(spec.id);
  if (fixed != f.answers.end()) items = fixed->second;
  return Reply::Result({}, std::move(items));
}

}  // namespace tarn::cellserver
