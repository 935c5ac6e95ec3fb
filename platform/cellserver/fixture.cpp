// Fixture of the stand-in cell server: what it answers, the data it starts
// with and the faults it injects, read from a small line-oriented text.
//
// Fixture file syntax
// -------------------
// One directive per line. Blank lines and lines whose first non-blank
// character is '#' are ignored. Words are separated by blanks or tabs. A word
// in double quotes may hold blanks and the escapes \\ \" \n \r \t and \xHH;
// \x00 is accepted only in stored values (item, file, custom, certificate),
// never in items that travel inside a message. Numbers are decimal; access
// rights and installation flags may also be 0x-hexadecimal.
//
//   login <rights> <item2> <item3> <item4> <install-flags> <item6>
//       The six items behind the login result. Default:
//       0xFFFFFFFF 0 "tarn cell server" "" 0 "".
//   inet-reply <text>
//       Second item of the port reply 109 (default "0").
//   protocol <type> <version> <module-version> <module-subversion> <sender> <flags>
//       Protocol data of every 267 reply (default 22 100 600 "100"
//       "tarn-cellserver" 1).
//   option <name> <value>
//       One name/value pair of the global options reply 120; pairs keep their
//       order, a name may repeat.
//   item <group> <name> <value> [utf16]
//   file <number> <value> [utf16]
//   custom <group> <name> <value> [utf16]
//   certificate <name> <value>
//       Stored data, written into the state directory at start-up (replacing
//       what is there). With utf16 the value (UTF-8) is stored as UTF-16
//       little-endian behind the byte-order mark FF FE.
//   list <request-id> <item>...
//       Items appended to the reply message of a query request (209, 210, 211,
//       212, 213, 225, 238, 244, 254, 266, 270, 271, 272, 275, 1090), behind
//       what the stand-in generates itself. Repeated lines append.
//   answer <request-id> <item>...
//       Items behind the result of that request, in place of the stand-in's
//       own (on success and on an injected error alike). Repeated lines append.
//   fault <request-id> <kind> [<argument>...] [after=<m>] [times=<n>]
//       Injected into every request with that id (inet port request 2, login 0,
//       negotiation 267 included), or only into the next n of them; with
//       after=, the first m of them are left alone.
//       Kinds:
//         error <code> [<level>]   answer with this packed error (level 2)
//         delay <milliseconds>     wait before answering (at most 600000)
//         close-mid                send half of the first reply packet, close
//         wrong-id <code>          the first reply message carries this code
//         missing-items <count>    the first reply message keeps only <count>
//                                  items (a result keeps its error items when
//                                  <count> is 4)
//         oversized-header [<length>]  send only a header announcing <length>
//                                  bytes (default 4294967280), then close
//         port0                    the port item of the answer (109, 205,
//                                  207, 283) is "0"
//         chunk-length <length>    the first MSG_DATA header of a bulk reply
//                                  announces <length> bytes; its raw packet
//                                  stays as it is
//         dead-port                the port item of a 205 answer is a port
//                                  on which nobody listens
//   guids braced
//       Session GUIDs are written in braces, 38 characters in all.
//
// The session manager on the session ports:
//   baropt connect [<word>...]
//   baropt wait <seconds>
//   baropt abort <code>
//       The answer to the next object request (MSG_BAROPT, 51), taken in
//       order over all sessions: MSG_CONNECT (45) with the option words,
//       MSG_WAIT (64) with the seconds, or MSG_ABORT (1) with the code. In the
//       words ${lport} becomes the reconnect port, ${host} the address the
//       stand-in listens on, ${session} the session key, ${guid} its GUID
//       and, in a restore session, ${da} the data-path id of the stream of
//       the requested version: the one the request's version id names,
//       else the object's newest version of the request's session, else its
//       newest version (0 when none is known).
//       With every answer used up, requests get MSG_CONNECT without words.
//   sm-abort <code> connect
//   sm-abort <code> status <n>
//   sm-abort <code> report <n>
//   sm-drop status <n>
//   sm-drop report <n>
//       Once, the session manager sends MSG_ABORT with <code> by itself: right
//       after a MSG_CONNECT, or after the n-th status (33) or report line (15)
//       of an object. sm-drop closes the connection there instead, as a
//       link that broke.
//   session-timeout <milliseconds>
//       A session nobody is attached to ends after this long (default
//       600000); until then 283 re-attaches it.
//   catalogue <set> <number> <text>
//   literal <number> <text>
//       Texts the report lines are expanded with.
//   key <entity> <key-id> <store-id> <type> <flag> <key-data>
//       A key of the key service: ids of 16 bytes and key data of 32 bytes,
//       each in hexadecimal. Unknown entities get a new random key.
//
// The catalogue that catalogue sessions (session type 2) are answered from;
// backups the session manager stores are added to it:
//   cat-object <name> <type>
//       An object with no version (yet).
//   cat-version <version-id> <object-name> <session-id> <time> <options>
//               [type=<n>] [size=<n>] [level=<n>] [copy=<n>] [version=<n>] [da=<n>]
//       A version of an object: its object-version id (1 or more, unique),
//       its backup session, its time (seconds since 1970) and the stored
//       options text ("-backupId \"<id>\" -trees \"/db\"..."). level 0 is a
//       full backup; versions of one backup id with different copy numbers
//       are copies of one another. version counts the object's versions
//       (default: its place among them). da is the data-path id of the
//       media agent's stream that holds the version.
//   cat-item <version-id> <name> <size> <modified> [<owner> <group> <mode>]
//       An item (file) of a version, by its full path; the mode in octal
//       (default 644).
//   cat-medium <version-id> <medium-id> <description> <label> [<pool>]
//       A medium holding a version; the id at most 32 characters.
//   cat-protection <version-id> <protection> <value>
//       The protection of a version, as a protection change sets it.
//
// Example:
//   login 0x800 1 "Cell Manager host" "" 0 ""
//   option BindTimeout 5
//   item 80 "config/DB2/host1%inst1" "Username=db2inst1\n" utf16
//   fault 205 port0 times=1
#include "cellserver/fixture.h"

#include <limits>
#include <stdexcept>

#include "codec/message.h"
#include "codec/rcsid.h"

TARN_RCSID("platform/cellserver/fixture.cpp");

namespace tarn::cellserver {

namespace {

using standin::ParseDecimal;

struct Word {
  std::string text;
  bool quoted = false;
};

class LineError {
 public:
  explicit LineError(std::string reason) : reason_(std::move(reason)) {}
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<Word> SplitWords(std::string_view line) {
  std::vector<Word> words;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    Word word;
    if (line[i] != '"') {
      const std::size_t end = line.find_first_of(" \t", i);
      word.text = std::string(
          line.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
      if (word.text.find('"') != std::string::npos)
        throw LineError("quote inside an unquoted word");
      i = end == std::string_view::npos ? line.size() : end;
      words.push_back(std::move(word));
      continue;
    }
    word.quoted = true;
    ++i;
    bool closed = false;
    while (i < line.size()) {
      const char c = line[i++];
      if (c == '"') {
        closed = true;
        break;
      }
      if (c != '\\') {
        word.text.push_back(c);
        continue;
      }
      if (i >= line.size()) throw LineError("escape at the end of the line");
      const char e = line[i++];
      switch (e) {
        case '\\': word.text.push_back('\\'); break;
        case '"': word.text.push_back('"'); break;
        case 'n': word.text.push_back('\n'); break;
        case 'r': word.text.push_back('\r'); break;
        case 't': word.text.push_back('\t'); break;
        case 'x': {
          const int hi = i < line.size() ? HexDigit(line[i]) : -1;
          const int lo = i + 1 < line.size() ? HexDigit(line[i + 1]) : -1;
          if (hi < 0 || lo < 0) throw LineError("\\x needs two hexadecimal digits");
          word.text.push_back(static_cast<char>(hi * 16 + lo));
          i += 2;
          break;
        }
        default: throw LineError(std::string("unknown escape \\") + e);
      }
    }
    if (!closed) throw LineError("unterminated quoted word");
    if (i < line.size() && line[i] != ' ' && line[i] != '\t')
      throw LineError("text right after a closing quote");
    words.push_back(std::move(word));
  }
  return words;
}

class Directive {
 public:
  explicit Directive(std::vector<Word> words) : words_(std::move(words)) {}

  std::size_t size() const { return words_.size(); }
  const std::string& name() const { return words_[0].text; }

  void expectCount(std::size_t min, std::size_t max) const {
    const std::size_t args = words_.size() - 1;
    if (args < min || args > max) {
      throw LineError(
          name() + " takes " +
          (min == max ? std::to_string(min) : std::to_string(min) + " to " + std::to_string(max)) +
          " arguments, not " + std::to_string(args));
    }
  }

  // A text that may travel inside a message: no NUL byte.
  std::string itemText(std::size_t i) const {
    const std::string& text = words_.at(i).text;
    if (text.find('\0') != std::string::npos) throw LineError("message item holds \\x00");
    return text;
  }
  const std::string& bytes(std::size_t i) const { return words_.at(i).text; }

  long long number(std::size_t i, long long min, long long max) const {
    const auto value = ParseDecimal(words_.at(i).text, min, max);
    if (!value)
      throw LineError("not a number in " + std::to_string(min) + ".." + std::to_string(max) + ": " +
                      words_.at(i).text);
    return *value;
  }

  std::uint32_t word32(std::size_t i) const {
    const std::string& text = words_.at(i).text;
    if (text.starts_with("0x") || text.starts_with("0X")) {
      if (text.size() < 3 || text.size() > 10)
        throw LineError("not a 32-bit hexadecimal number: " + text);
      std::uint32_t value = 0;
      for (std::size_t k = 2; k < text.size(); ++k) {
        const int d = HexDigit(text[k]);
        if (d < 0) throw LineError("not a 32-bit hexadecimal number: " + text);
        value = value * 16 + static_cast<std::uint32_t>(d);
      }
      return value;
    }
    return static_cast<std::uint32_t>(number(i, 0, std::numeric_limits<std::uint32_t>::max()));
  }

  int integer(std::size_t i) const {
    return static_cast<int>(
        number(i, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
  }

  int requestId(std::size_t i) const {
    return static_cast<int>(number(i, 0, std::numeric_limits<int>::max()));
  }

  // A stored value with its optional trailing "utf16".
  std::string storedValue(std::size_t i) const {
    if (words_.size() == i + 2) {
      if (words_[i + 1].quoted || words_[i + 1].text != "utf16")
        throw LineError("unexpected word after the value: " + words_[i + 1].text);
      const auto wide = Utf8ToUtf16LeWithMark(words_[i].text);
      if (!wide) throw LineError("utf16 value is not valid UTF-8");
      return *wide;
    }
    return words_.at(i).text;
  }

  // `bytes` bytes written as lowercase hexadecimal digits (upper case is taken).
  std::string hex(std::size_t i, std::size_t bytes) const {
    std::string text = words_.at(i).text;
    if (text.size() != 2 * bytes)
      throw LineError("expected " + std::to_string(2 * bytes) + " hexadecimal digits: " + text);
    for (char& c : text) {
      if (HexDigit(c) < 0) throw LineError("not hexadecimal: " + words_.at(i).text);
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
  }

  std::vector<std::string> itemsFrom(std::size_t first) const {
    std::vector<std::string> items;
    for (std::size_t i = first; i < words_.size(); ++i) items.push_back(itemText(i));
    return items;
  }

 private:
  std::vector<Word> words_;
};

constexpr int kMaxGroup = 999999;
constexpr long long kMaxDelayMs = 600000;
constexpr long long kMaxCode = std::numeric_limits<int>::max();

void ParseBaropt(const Directive& d, Fixture& f) {
  if (d.size() < 2) throw LineError("baropt takes connect, wait or abort");
  const std::string& kind = d.bytes(1);
  SmStep step;
  if (kind == "connect") {
    step.answer = SmAnswer::kConnect;
    step.words = d.itemsFrom(2);
  } else if (kind == "wait") {
    d.expectCount(2, 2);
    step.answer = SmAnswer::kWait;
    step.value = static_cast<int>(d.number(2, -1000000, 86400));
  } else if (kind == "abort") {
    d.expectCount(2, 2);
    step.answer = SmAnswer::kAbort;
    step.value = static_cast<int>(d.number(2, 0, kMaxCode));
  } else {
    throw LineError("baropt answer is connect, wait or abort, not " + kind);
  }
  f.baropt.push_back(std::move(step));
}

constexpr long long kMaxId = std::numeric_limits<int>::max();
constexpr long long kMaxSize = std::numeric_limits<long long>::max();
constexpr long long kMaxTime = std::numeric_limits<std::int32_t>::max();

void ParseCatVersion(const Directive& d, Fixture& f) {
  if (d.size() < 6) throw LineError("cat-version takes at least 5 arguments");
  CatVersion v;
  v.versionId = d.number(1, 1, kMaxId);
  v.objectName = d.itemText(2);
  v.sessionId = d.itemText(3);
  v.time = static_cast<std::time_t>(d.number(4, 0, kMaxTime));
  v.options = d.itemText(5);
  int count = 0;
  for (const CatVersion& other : f.catVersions) {
    if (other.versionId == v.versionId)
      throw LineError("version id " + std::to_string(v.versionId) + " given twice");
    if (other.objectName == v.objectName) ++count;
  }
  v.version = count + 1;
  for (std::size_t i = 6; i < d.size(); ++i) {
    const std::string& word = d.bytes(i);
    const std::size_t eq = word.find('=');
    if (eq == std::string::npos) throw LineError("cat-version: <key>=<number> expected: " + word);
    const std::string_view key = std::string_view(word).substr(0, eq);
    const auto value = ParseDecimal(std::string_view(word).substr(eq + 1), 0, kMaxSize);
    if (!value) throw LineError("cat-version: not a number in " + word);
    const auto small = [&] {
      if (*value > kMaxCode) throw LineError("cat-version: too large: " + word);
      return static_cast<int>(*value);
    };
    if (key == "type")
      v.type = small();
    else if (key == "size")
      v.size = *value;
    else if (key == "level")
      v.level = small();
    else if (key == "copy")
      v.copy = small();
    else if (key == "version")
      v.version = small();
    else if (key == "da")
      v.daId = small();
    else
      throw LineError("cat-version: unknown key " + std::string(key));
  }
  f.catVersions.push_back(std::move(v));
}

Fault ParseFault(const Directive& d) {
  std::size_t end = d.size();
  Fault fault;
  if (end > 3 && d.bytes(end - 1).starts_with("times=")) {
    const auto times = ParseDecimal(std::string_view(d.bytes(end - 1)).substr(6), 1, 1000000);
    if (!times) throw LineError("times= needs a count of 1 or more");
    fault.times = static_cast<int>(*times);
    --end;
  }
  if (end > 3 && d.bytes(end - 1).starts_with("after=")) {
    const auto after = ParseDecimal(std::string_view(d.bytes(end - 1)).substr(6), 1, 1000000);
    if (!after) throw LineError("after= needs a count of 1 or more");
    fault.after = static_cast<int>(*after);
    --end;
  }
  if (end < 3) throw LineError("fault takes a request id and a kind");
  const std::string& kind = d.bytes(2);
  const std::size_t args = end - 3;
  const auto expect = [&](std::size_t min, std::size_t max) {
    if (args < min || args > max) throw LineError("fault " + kind + ": wrong number of arguments");
  };
  if (kind == "error") {
    expect(1, 2);
    fault.kind = FaultKind::kError;
    fault.value = d.number(3, 1, std::numeric_limits<int>::max());
    if (args == 2) fault.level = static_cast<int>(d.number(4, -1, 3));
  } else if (kind == "delay") {
    expect(1, 1);
    fault.kind = FaultKind::kDelay;
    fault.value = d.number(3, 0, kMaxDelayMs);
  } else if (kind == "close-mid") {
    expect(0, 0);
    fault.kind = FaultKind::kCloseMid;
  } else if (kind == "wrong-id") {
    expect(1, 1);
    fault.kind = FaultKind::kWrongId;
    fault.value = d.integer(3);
  } else if (kind == "missing-items") {
    expect(1, 1);
    fault.kind = FaultKind::kMissingItems;
    fault.value = d.number(3, 0, 1000);
  } else if (kind == "oversized-header") {
    expect(0, 1);
    fault.kind = FaultKind::kOversizedHeader;
    fault.value = args == 1 ? static_cast<long long>(d.word32(3)) : 4294967280LL;
  } else if (kind == "port0") {
    expect(0, 0);
    fault.kind = FaultKind::kPort0;
  } else if (kind == "chunk-length") {
    expect(1, 1);
    fault.kind = FaultKind::kChunkLength;
    fault.value = static_cast<long long>(d.word32(3));
  } else if (kind == "dead-port") {
    expect(0, 0);
    fault.kind = FaultKind::kDeadPort;
  } else {
    throw LineError("unknown fault kind: " + kind);
  }
  return fault;
}

void Apply(const Directive& d, Fixture& f) {
  const std::string& name = d.name();
  if (name == "login") {
    d.expectCount(6, 6);
    f.accessRights = d.word32(1);
    f.loginItem2 = d.integer(2);
    f.loginItem3 = d.itemText(3);
    f.loginItem4 = d.itemText(4);
    f.installFlags = d.word32(5);
    f.loginItem6 = d.itemText(6);
  } else if (name == "inet-reply") {
    d.expectCount(1, 1);
    f.inetReplyItem = d.itemText(1);
  } else if (name == "protocol") {
    d.expectCount(6, 6);
    f.protocol = ProtocolData{d.integer(1),  d.integer(2),  d.integer(3),
                              d.itemText(4), d.itemText(5), d.integer(6)};
  } else if (name == "option") {
    d.expectCount(2, 2);
    f.options.emplace_back(d.itemText(1), d.itemText(2));
  } else if (name == "item" || name == "custom") {
    d.expectCount(3, 4);
    StoredValue value{static_cast<int>(d.number(1, 0, kMaxGroup)), d.itemText(2), d.storedValue(3)};
    (name == "item" ? f.items : f.customs).push_back(std::move(value));
  } else if (name == "file") {
    d.expectCount(2, 3);
    f.files.push_back(
        StoredValue{static_cast<int>(d.number(1, 0, kMaxGroup)), "", d.storedValue(2)});
  } else if (name == "certificate") {
    d.expectCount(2, 2);
    f.certificates.push_back(StoredValue{0, d.itemText(1), d.bytes(2)});
  } else if (name == "list" || name == "answer") {
    if (d.size() < 2) throw LineError(name + " takes a request id");
    auto& items = (name == "list" ? f.lists : f.answers)[d.requestId(1)];
    for (std::string& item : d.itemsFrom(2)) items.push_back(std::move(item));
  } else if (name == "fault") {
    if (d.size() < 3) throw LineError("fault takes a request id and a kind");
    f.faults[d.requestId(1)].push_back(ParseFault(d));
  } else if (name == "baropt") {
    ParseBaropt(d, f);
  } else if (name == "sm-abort") {
    d.expectCount(2, 3);
    SmAbort abort{static_cast<int>(d.number(1, 0, kMaxCode)), SmAbortPoint::kConnect, 0};
    const std::string& point = d.bytes(2);
    if (point == "connect") {
      d.expectCount(2, 2);
    } else if (point == "status" || point == "report") {
      d.expectCount(3, 3);
      abort.point = point == "status" ? SmAbortPoint::kStatus : SmAbortPoint::kReport;
      abort.count = static_cast<int>(d.number(3, 1, 1000000));
    } else {
      throw LineError("sm-abort point is connect, status or report, not " + point);
    }
    f.smAborts.push_back(abort);
  } else if (name == "sm-drop") {
    d.expectCount(2, 2);
    const std::string& point = d.bytes(1);
    if (point != "status" && point != "report")
      throw LineError("sm-drop point is status or report, not " + point);
    f.smAborts.push_back(SmAbort{0,
                                 point == "status" ? SmAbortPoint::kStatus : SmAbortPoint::kReport,
                                 static_cast<int>(d.number(2, 1, 1000000)), true});
  } else if (name == "session-timeout") {
    d.expectCount(1, 1);
    f.sessionTimeoutMs = d.number(1, 1, 86400000);
  } else if (name == "catalogue") {
    d.expectCount(3, 3);
    f.catalogue[{static_cast<int>(d.number(1, 0, kMaxGroup)),
                 static_cast<int>(d.number(2, 0, kMaxGroup))}] = d.itemText(3);
  } else if (name == "literal") {
    d.expectCount(2, 2);
    f.literals[static_cast<int>(d.number(1, 0, kMaxGroup))] = d.itemText(2);
  } else if (name == "key") {
    d.expectCount(6, 6);
    f.keys.push_back(KeyRecord{d.itemText(1), d.hex(2, 16), d.hex(3, 16),
                               static_cast<int>(d.number(4, 0, kMaxCode)),
                               static_cast<int>(d.number(5, 0, kMaxCode)), d.hex(6, 32)});
  } else if (name == "cat-object") {
    d.expectCount(2, 2);
    f.catObjects.push_back(CatObject{d.itemText(1), d.integer(2)});
  } else if (name == "cat-version") {
    ParseCatVersion(d, f);
  } else if (name == "cat-item") {
    if (d.size() != 5 && d.size() != 8) throw LineError("cat-item takes 4 or 7 arguments");
    CatItem item{d.number(1, 1, kMaxId), d.itemText(2), d.number(3, 0, kMaxSize),
                 static_cast<std::time_t>(d.number(4, 0, kMaxTime))};
    if (d.size() == 8) {
      item.owner = static_cast<int>(d.number(5, 0, kMaxCode));
      item.group = static_cast<int>(d.number(6, 0, kMaxCode));
      item.mode = 0;
      const std::string& mode = d.bytes(7);
      if (mode.empty() || mode.size() > 5 ||
          mode.find_first_not_of("01234567") != std::string::npos)
        throw LineError("cat-item: the mode is 1 to 5 octal digits: " + mode);
      for (const char c : mode) item.mode = item.mode * 8 + (c - '0');
    }
    f.catItems.push_back(std::move(item));
  } else if (name == "cat-medium") {
    d.expectCount(4, 5);
    CatMedium medium{d.number(1, 1, kMaxId), d.itemText(2), d.itemText(3), d.itemText(4)};
    if (medium.mediumId.size() > 32) throw LineError("a medium id has at most 32 characters");
    if (d.size() == 6) medium.pool = static_cast<int>(d.number(5, 0, kMaxCode));
    f.catMedia.push_back(std::move(medium));
  } else if (name == "cat-protection") {
    d.expectCount(3, 3);
    f.catProtections.push_back(
        CatProtection{d.number(1, 1, kMaxId), d.integer(2),
                      d.number(3, std::numeric_limits<long long>::min(), kMaxSize)});
  } else if (name == "guids") {
    d.expectCount(1, 1);
    if (d.bytes(1) != "braced") throw LineError("guids takes the word braced");
    f.bracedGuids = true;
  } else {
    throw LineError("unknown directive: " + name);
  }
}

}  // namespace

std::string QuoteFixtureWord(std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += "\\x";
          out.push_back(kDigits[byte >> 4]);
          out.push_back(kDigits[byte & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::optional<std::string> Utf8ToUtf16LeWithMark(std::string_view utf8) {
  std::string out = "\xFF\xFE";
  out.reserve(2 + utf8.size() * 2);
  const auto put = [&out](std::uint32_t unit) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  };
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    std::size_t length = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if (b0 < 0x80) {
      length = 1, cp = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      length = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      length = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      length = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (utf8.size() - i < length) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto b = static_cast<unsigned char>(utf8[i + k]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    if (cp >= 0x10000) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
    i += length;
  }
  return out;
}

std::optional<Fixture> ParseFixture(std::string_view text, std::string* why) {
  Fixture fixture;
  std::size_t lineNo = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    ++lineNo;
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    try {
      std::vector<Word> words = SplitWords(line);
      if (words[0].quoted) throw LineError("a directive name is never quoted");
      Apply(Directive(std::move(words)), fixture);
    } catch (const LineError& error) {
      if (why != nullptr) *why = "line " + std::to_string(lineNo) + ": " + error.reason();
      return std::nullopt;
    } catch (const std::out_of_range&) {
      if (why != nullptr) *why = "line " + std::to_string(lineNo) + ": an argument is missing";
      return std::nullopt;
    }
  }
  return fixture;
}

}  // namespace tarn::cellserver
