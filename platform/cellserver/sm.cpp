// The stand-in session manager: the conversation on a session port after the
// identity, and what its conversations share (the fixture's script, the key
// service and the catalogue records of stored objects).
#include "cellserver/sm.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <random>

#include "cellserver/protocol.h"
#include "cellserver/server.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/sm.cpp");

namespace tarn::cellserver {

using standin::Message;
using standin::ParseDecimal;

namespace {

// While a stop waits for the media agent, its events file is read this often.
constexpr std::chrono::milliseconds kStreamPoll{50};
constexpr std::chrono::milliseconds kSessionCheck{1000};
// At most this much of the events file is read at once.
constexpr std::size_t kEventsChunk = 1 << 20;
// The media agent's start lines lie in this much of the events file's head.
constexpr std::size_t kEventsHead = 4096;
constexpr std::size_t kMaxRandomBytes = 4096;
constexpr std::size_t kKeyIdBytes = 16;
constexpr std::size_t kKeyDataBytes = 32;
// Nesting of packed messages followed when expanding.
constexpr int kMaxNesting = 8;

bool IsLowerHex(const std::string& text, std::size_t bytes) {
  return text.size() == 2 * bytes && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = text.find(separator, at);
    parts.emplace_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) return parts;
    at = end + 1;
  }
}

// "[a:b]" or "[a]" at the start of `text`; the numbers in `out`.
bool Bracketed(std::string_view text, std::vector<int>& out) {
  if (text.size() < 3 || text.front() != '[' || text.back() != ']') return false;
  for (const std::string& part : Split(text.substr(1, text.size() - 2), ':')) {
    const auto n = ParseDecimal(part, 0, 999999);
    if (!n) return false;
    out.push_back(static_cast<int>(*n));
  }
  return true;
}

std::string ExpandPacked(const std::vector<std::string>& items, const Fixture& fixture, int depth);

// Appends `line` and a line feed in one write, so that lines of concurrent
// sessions never interleave.
bool AppendLine(const std::string& path, std::string line) {
  line.push_back('\n');
  const standin::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  return fd.valid() &&
         ::write(fd.get(), line.data(), line.size()) == static_cast<ssize_t>(line.size());
}

// The items of a packed message whose NULs became 0x03: the code item "15"
// and the blank before each item go, an empty end goes.
std::vector<std::string> SplitFlattened(std::string_view text) {
  std::vector<std::string> parts = Split(text, '\x03');
  while (!parts.empty() && parts.back().empty()) parts.pop_back();
  if (!parts.empty() && parts.front() == "15") parts.erase(parts.begin());
  for (std::string& part : parts)
    if (part.starts_with(' ')) part.erase(0, 1);
  return parts;
}

std::string ExpandArgument(const std::string& item, const Fixture& fixture, int depth) {
  if (item.size() < 2 || item[0] != '\x07') return item;
  const std::string_view rest = std::string_view(item).substr(2);
  switch (item[1]) {
    case '\x01':
      if (depth < kMaxNesting) return ExpandPacked(SplitFlattened(item), fixture, depth + 1);
      return std::string(rest);
    case '\x02': {
      std::vector<int> n;
      if (Bracketed(rest, n) && n.size() == 1) {
        const auto it = fixture.literals.find(n[0]);
        if (it != fixture.literals.end()) return it->second;
      }
      return std::string(rest);
    }
    case '\x06': return std::string(rest.substr(0, rest.find('S')));
    case '\x04':
    case '\x05':
    case '\x22': return std::string(rest);
    default: return item;
  }
}

std::string ExpandPacked(const std::vector<std::string>& items, const Fixture& fixture, int depth) {
  std::vector<int> ref;
  if (items.empty() || items[0].size() < 2 || items[0][0] != '\x07' || items[0][1] != '\x01' ||
      !Bracketed(std::string_view(items[0]).substr(2), ref) || ref.size() != 2) {
    // Not a format reference: the items as they are.
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : " ") + item;
    return text;
  }
  std::vector<std::string> args;
  for (std::size_t i = 1; i < items.size(); ++i)
    args.push_back(ExpandArgument(items[i], fixture, depth));
  const auto it = fixture.catalogue.find({ref[0], ref[1]});
  if (it == fixture.catalogue.end()) {
    std::string text = "[" + std::to_string(ref[0]) + ":" + std::to_string(ref[1]) + "]";
    for (const std::string& arg : args) text += " " + arg;
    return text;
  }
  const std::string& format = it->second;
  std::string text;
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      text.push_back(format[i]);
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      text.push_back('%');
      ++i;
      continue;
    }
    // Flags, width, precision, length, then the conversion letter; "n$" picks
    // the argument.
    std::size_t j = i + 1;
    std::size_t digits = j;
    while (digits < format.size() && format[digits] >= '0' && format[digits] <= '9') ++digits;
    std::size_t index = next;
    if (digits > j && digits < format.size() && format[digits] == '$') {
      index =
          static_cast<std::size_t>(
              ParseDecimal(std::string_view(format).substr(j, digits - j), 1, 999).value_or(1)) -
          1;
      j = digits + 1;
    } else {
      ++next;
    }
    while (j < format.size() &&
           std::string_view("-+ #0123456789.*hlLqjzt").find(format[j]) != std::string_view::npos)
      ++j;
    if (j >= format.size()) break;
    if (index < args.size()) text += args[index];
    i = j;
  }
  return text;
}

}  // namespace

SmStep SessionManagerBook::nextStep() {
  std::lock_guard lock(mutex_);
  if (nextStep_ >= steps_.size()) return SmStep{};
  return steps_[nextStep_++];
}

std::optional<SmAbort> SessionManagerBook::takeAbort(SmAbortPoint point, int count) {
  std::lock_guard lock(mutex_);
  for (auto it = aborts_.begin(); it != aborts_.end(); ++it) {
    if (it->point == point && it->count == count) {
      const SmAbort taken = *it;
      aborts_.erase(it);
      return taken;
    }
  }
  return std::nullopt;
}

KeyRecord SessionManagerBook::keyOf(const std::string& entity) {
  std::lock_guard lock(mutex_);
  for (const KeyRecord& key : keys_)
    if (key.entity == entity) return key;
  keys_.push_back(KeyRecord{entity, RandomHex(kKeyIdBytes), RandomHex(kKeyIdBytes), 0, 0,
                            RandomHex(kKeyDataBytes)});
  return keys_.back();
}

std::optional<KeyRecord> SessionManagerBook::keyById(const std::string& keyId,
                                                     const std::string& storeId) const {
  std::lock_guard lock(mutex_);
  for (const KeyRecord& key : keys_)
    if (key.keyId == keyId && key.storeId == storeId) return key;
  return std::nullopt;
}

std::string RandomHex(std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device device;
  std::string text;
  text.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned byte = device() & 0xFF;
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xF]);
  }
  return text;
}

std::string ExpandReport(const std::vector<std::string>& items, const Fixture& fixture) {
  // A flattened packed message arrives as one item with 0x03 between its items.
  if (items.size() == 1 && items[0].find('\x03') != std::string::npos)
    return ExpandPacked(SplitFlattened(items[0]), fixture, 0);
  return ExpandPacked(items, fixture, 0);
}

std::vector<std::string> ExpandWords(const std::vector<std::string>& words, int reconnectPort,
                                     const std::string& host, const SessionInfo& session,
                                     int daId) {
  const std::pair<std::string_view, std::string> names[] = {
      {"${lport}", std::to_string(reconnectPort)},
      {"${host}", host},
      {"${session}", session.key},
      {"${guid}", session.guid},
      {"${da}", std::to_string(daId)}};
  std::vector<std::string> out;
  for (std::string word : words) {
    for (const auto& [name, value] : names) {
      for (std::size_t at = word.find(name); at != std::string::npos;
           at = word.find(name, at + value.size()))
        word.replace(at, name.size(), value);
    }
    out.push_back(std::move(word));
  }
  return out;
}

StreamEnd StreamEnded(const std::string& path, std::uint64_t& offset, int daId) {
  const standin::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return StreamEnd::kNone;
  std::string data(kEventsChunk, '\0');
  const ssize_t n = ::pread(fd.get(), data.data(), data.size(), static_cast<off_t>(offset));
  if (n <= 0) return StreamEnd::kNone;
  data.resize(static_cast<std::size_t>(n));
  const std::string wanted = "STREAM_END da=" + std::to_string(daId) + " ";
  std::size_t at = 0;
  for (std::size_t end; (end = data.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string_view line = std::string_view(data).substr(at, end - at);
    const std::size_t found = line.find(wanted);
    // A stream that waits for its client to reconnect goes on.
    if (found != std::string_view::npos && !line.ends_with(" resumable")) {
      offset += end + 1;
      return line.substr(found + wanted.size()).starts_with("status=stop") ? StreamEnd::kStop
                                                                           : StreamEnd::kAbort;
    }
  }
  // A line longer than a whole chunk is skipped rather than read forever.
  offset += at == 0 && data.size() == kEventsChunk ? data.size() : at;
  return StreamEnd::kNone;
}

std::optional<long> MediaAgentPid(const std::string& path) {
  const standin::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string data(kEventsHead, '\0');
  const ssize_t n = ::pread(fd.get(), data.data(), data.size(), 0);
  if (n <= 0) return std::nullopt;
  data.resize(static_cast<std::size_t>(n));
  std::size_t at = 0;
  for (std::size_t end; (end = data.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string_view line = std::string_view(data).substr(at, end - at);
    if (line.starts_with("pid "))
      if (const auto pid = ParseDecimal(line.substr(4), 1, std::numeric_limits<pid_t>::max()))
        return static_cast<long>(*pid);
  }
  return std::nullopt;
}

void SessionManagerConversation::run(Link& link, Session& session) {
  const auto idle = link.timeouts().idle;
  auto quietSince = std::chrono::steady_clock::now();
  Message message;
  for (;;) {
    const bool stopDue = session.withObject(
        [](const ObjectState& o) { return o.open && o.daId >= 0 && !o.stopSent; });
    const bool watching = stopDue && !server_.mediaEventsPath().empty();
    // A reconnected client's connection does not see the session's stop
    // descriptor: it looks at the session between waits.
    if (session.ended()) {
      link.close("session ended");
      return;
    }
    switch (link.wait(watching ? kStreamPoll : std::min(idle, kSessionCheck))) {
      case Link::Got::kMessage: break;
      case Link::Got::kTimeout:
        if (watching && !watchStream(link, session)) return;
        if (std::chrono::steady_clock::now() - quietSince >= idle) {
          link.close("idle");
          return;
        }
        continue;
      case Link::Got::kStopped: link.close("stopped"); return;
      case Link::Got::kClosed:
      case Link::Got::kBad: link.close("by peer"); return;
    }
    switch (link.receive(message)) {
      case Link::Got::kMessage: break;
      case Link::Got::kClosed: link.close("by peer"); return;
      case Link::Got::kTimeout: link.close("idle"); return;
      case Link::Got::kStopped: link.close("stopped"); return;
      case Link::Got::kBad: link.close("bad input"); return;
    }
    quietSince = std::chrono::steady_clock::now();
    if (!handle(link, session, message)) return;
  }
}

bool SessionManagerConversation::handle(Link& link, Session& session, const Message& message) {
  switch (message.code) {
    case kMsgBaropt: return objectRequest(link, session, message);
    case kMsgStatus: return status(link, session, message);
    case kMsgReport: return report(link, session, message);
    case kMsgAbort:
    case kMsgStop: return endFromClient(link, session, message);
    case kMsgKeyGet: return keyRequest(link, message);
    case kMsgKeyRandBytes: return randomBytes(link, message);
    default: link.note("unexpected", std::to_string(message.code)); return true;
  }
}

bool SessionManagerConversation::objectRequest(Link& link, Session& session,
                                               const Message& message) {
  if (message.items.size() < 2) {
    link.note("bad", "object request without an object name");
    return link.send(Message{kMsgAbort, {std::to_string(kBadRequestAbortCode)}});
  }
  const bool restore = session.info().type == 8;
  link.note("object", (restore ? "restore " : "backup ") + Traffic::Quote(message.items[1]));
  const SmStep step = server_.smBook().nextStep();
  if (step.answer == SmAnswer::kWait)
    return link.send(Message{kMsgWait, {std::to_string(step.value)}});
  if (step.answer == SmAnswer::kAbort)
    return link.send(Message{kMsgAbort, {std::to_string(step.value)}});

  std::vector<std::string> words =
      ExpandWords(step.words, server_.reconnectPort(), server_.bindAddress(), session.info(),
                  restore ? RestoreDa(server_.smBook(), message) : 0);
  ObjectState object;
  object.open = true;
  object.name = message.items[1];
  object.optionText = !restore && message.items.size() > 7 ? message.items[7] : "";
  object.sessionId = session.info().key;
  object.connected = std::time(nullptr);
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] == "-daid") {
      if (const auto id = ParseDecimal(words[i + 1], 0, std::numeric_limits<int>::max()))
        object.daId = static_cast<int>(*id);
    } else if (words[i] == "-sess") {
      object.sessionId = words[i + 1];
    }
  }
  if (!server_.mediaEventsPath().empty()) {
    struct stat st {};
    if (::stat(server_.mediaEventsPath().c_str(), &st) == 0)
      object.eventsOffset = static_cast<std::uint64_t>(st.st_size);
  }
  session.withObject([&object](ObjectState& o) { o = object; });
  // Before the answer: the client opens the stream only once it has it.
  if (!server_.mediaRequestsPath().empty() && object.daId >= 0 &&
      !AppendLine(server_.mediaRequestsPath(),
                  "OBJECT da=" + std::to_string(object.daId) + (restore ? " restore" : " backup")))
    link.note("bad", "cannot append to " + server_.mediaRequestsPath());
  if (!link.send(Message{kMsgConnect, std::move(words)})) return false;
  return abortIfDue(link, session, SmAbortPoint::kConnect, 0);
}

bool SessionManagerConversation::status(Link& link, Session& session, const Message& message) {
  static constexpr const char* kNames[] = {"now",   "worst",       "level0", "errors",
                                           "items", "objectItems", "sizeKB", "doneKB"};
  if (message.items.size() != std::size(kNames)) {
    link.note("bad", "status with " + std::to_string(message.items.size()) + " items");
    return true;
  }
  std::string text;
  for (std::size_t i = 0; i < message.items.size(); ++i) {
    if (!ParseDecimal(message.items[i], std::numeric_limits<long long>::min(),
                      std::numeric_limits<long long>::max())) {
      link.note("bad", std::string("status item ") + kNames[i] + " is not a number");
      return true;
    }
    text += (i == 0 ? "" : " ") + std::string(kNames[i]) + "=" + message.items[i];
  }
  link.note("status", text);
  const int count = session.withObject([](ObjectState& o) { return o.open ? ++o.statuses : 0; });
  return count == 0 || abortIfDue(link, session, SmAbortPoint::kStatus, count);
}

bool SessionManagerConversation::report(Link& link, Session& session, const Message& message) {
  link.note("report", Traffic::Quote(ExpandReport(message.items, server_.fixture())));
  const int count = session.withObject([](ObjectState& o) { return o.open ? ++o.reports : 0; });
  return count == 0 || abortIfDue(link, session, SmAbortPoint::kReport, count);
}

bool SessionManagerConversation::endFromClient(Link& link, Session& session,
                                               const Message& message) {
  const bool abort = message.code == kMsgAbort;
  const std::string code = abort && !message.items.empty() ? message.items[0] : "";
  const std::optional<ObjectState> ended = session.withObject([](ObjectState& o) {
    std::optional<ObjectState> was;
    if (o.open) was = o;
    o = ObjectState{};
    return was;
  });
  if (!ended) {
    link.note("session",
              std::string(abort ? "abort " + code : "stop") + " ends " + session.info().key);
    session.end();
    server_.sessions().forget(session);
    link.close("session ended");
    return false;
  }
  if (abort) {
    link.note("object", "aborted " + Traffic::Quote(ended->name) + " code " + code);
    return true;
  }
  if (ended->abortSent) {
    // The session manager aborted the object: its stream is not complete.
    link.note("object",
              "stop after the session manager's abort: not stored " + Traffic::Quote(ended->name));
    return true;
  }
  link.note("object", "stopped " + Traffic::Quote(ended->name));
  if (session.info().type != 8) {
    std::string options = "-backupId \"" + ended->sessionId + "\"";
    if (!ended->optionText.empty()) options += " " + ended->optionText;
    const CatalogueRecord record = server_.smBook().store(
        ended->name, ended->sessionId, ended->connected, std::move(options), ended->daId,
        server_.mediaEventsPath().empty() ? std::vector<CatItem>{}
                                          : StreamItems(server_.mediaEventsPath(), ended->daId));
    link.note("catalogue", Traffic::Quote(record.objectName) + " version " +
                               std::to_string(record.version) + " session " + record.sessionId +
                               " time " + std::to_string(record.time) + " options " +
                               Traffic::Quote(record.options));
  }
  return true;
}

bool SessionManagerConversation::keyRequest(Link& link, const Message& message) {
  const auto& items = message.items;
  std::optional<KeyRecord> key;
  if (items.size() == 6) {
    const auto action = ParseDecimal(items[1], 1, 2);
    if (action == 1 && !items[3].empty()) {
      key = server_.smBook().keyOf(items[3]);
    } else if (action == 2) {
      const std::string keyId = Lower(items[4]), storeId = Lower(items[5]);
      if (IsLowerHex(keyId, kKeyIdBytes) && IsLowerHex(storeId, kKeyIdBytes))
        key = server_.smBook().keyById(keyId, storeId);
    }
  }
  if (!key) {
    link.note("key", "no key for this request");
    return link.send(Message{kMsgKeyReply, {}});
  }
  return link.send(Message{kMsgKeyReply,
                           {key->keyId, key->storeId, std::to_string(key->type),
                            std::to_string(key->flag), key->keyData}});
}

bool SessionManagerConversation::randomBytes(Link& link, const Message& message) {
  const auto count =
      message.items.size() == 2
          ? ParseDecimal(message.items[1], 1, static_cast<long long>(kMaxRandomBytes))
          : std::nullopt;
  if (!count) {
    link.note("key", "random bytes: bad count");
    return link.send(Message{kMsgKeyRandReply, {}});
  }
  return link.send(Message{kMsgKeyRandReply, {RandomHex(static_cast<std::size_t>(*count))}});
}

bool SessionManagerConversation::watchStream(Link& link, Session& session) {
  const std::string& events = server_.mediaEventsPath();
  // Read before the events, so that an agent that ended the stream and then
  // exited is not taken for one that died.
  const std::optional<long> pid = MediaAgentPid(events);
  const bool agentGone = pid && ::kill(static_cast<pid_t>(*pid), 0) != 0 && errno == ESRCH;
  StreamEnd end = StreamEnd::kNone;
  const std::optional<int> daId = session.withObject([&](ObjectState& o) -> std::optional<int> {
    if (!o.open || o.stopSent || o.daId < 0) return std::nullopt;
    end = StreamEnded(events, o.eventsOffset, o.daId);
    if (end == StreamEnd::kNone && !agentGone) return std::nullopt;
    o.stopSent = true;
    if (end != StreamEnd::kStop) o.abortSent = true;
    return o.daId;
  });
  if (!daId) return true;
  if (end == StreamEnd::kStop) {
    link.note("object", "stream of DA " + std::to_string(*daId) + " ended");
    return link.send(Message{kMsgStop, {}});
  }
  // The stream is not complete: the client must not take the object as stored.
  link.note("object", "stream of DA " + std::to_string(*daId) +
                          (end == StreamEnd::kAbort ? " aborted" : ": the media agent died"));
  return link.send(Message{kMsgAbort, {std::to_string(kMediaAbortCode)}});
}

bool SessionManagerConversation::abortIfDue(Link& link, Session& session, SmAbortPoint point,
                                            int count) {
  const std::optional<SmAbort> abort = server_.smBook().takeAbort(point, count);
  if (!abort) return true;
  if (abort->drop) {
    link.close("dropped by the fixture");
    return false;
  }
  session.withObject([](ObjectState& o) { o.abortSent = true; });
  link.note("object", "aborted by the session manager, code " + std::to_string(abort->code));
  return link.send(Message{kMsgAbort, {std::to_string(abort->code)}});
}

void ServeReconnect(Server& server, Link& link) {
  Message message;
  if (link.receive(message) != Link::Got::kMessage) {
    link.close("before reconnect");
    return;
  }
  const auto daId = message.code == kMsgReconnect && message.items.size() == 5
                        ? ParseDecimal(message.items[2], 0, std::numeric_limits<int>::max())
                        : std::nullopt;
  if (!daId) {
    link.note("bad", "MSG_RECONNECT with five items expected");
    link.close("bad reconnect");
    return;
  }
  std::shared_ptr<Session> found;
  for (const auto& session : server.sessions().running()) {
    if (session->withObject([&](const ObjectState& o) { return o.open && o.daId == *daId; })) {
      found = session;
      break;
    }
  }
  if (!found) {
    link.note("bad", "no open object with DA id " + std::to_string(*daId));
    link.close("unknown DA id");
    return;
  }
  link.note("reconnect", "DA " + std::to_string(*daId) + " session " + found->info().key);
  const AttachedConnection attached(*found);
  if (!link.send(Message{kMsgReconnected, {}})) return;
  SessionManagerConversation(server).run(link, *found);
}

}  // namespace tarn::cellserver
