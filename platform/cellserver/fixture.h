// Fixture of the stand-in cell server: what it answers at login and in
// negotiation, its global options, the data it starts with, and the faults it
// injects per request id. The syntax is described in fixture.cpp.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarn::cellserver {

enum class FaultKind {
  kError,            // answer with this error instead (value = code, level)
  kDelay,            // wait before the answer (value = milliseconds)
  kCloseMid,         // send half of the first reply packet, then close
  kWrongId,          // the first reply message gets this code (value)
  kMissingItems,     // the first reply message keeps only `value` items
  kOversizedHeader,  // send a header announcing `value` bytes, then close
  kPort0,            // the port item of the answer is "0"
  // Added for the cell-server client's checks of bulk data and session starts.
  kChunkLength,  // the first MSG_DATA header announces `value` bytes
  kDeadPort,     // the port item of a 205 answer is a port nobody listens on
};

struct Fault {
  FaultKind kind = FaultKind::kError;
  long long value = 0;
  int level = 2;
  int times = -1;  // requests it hits; -1: every one
  int after = 0;   // requests it leaves alone before it hits

  bool operator==(const Fault&) const = default;
};

// Stored data: bytes under a group (or file number) and a name.
struct StoredValue {
  int group = 0;
  std::string name;
  std::string bytes;

  bool operator==(const StoredValue&) const = default;
};

// Items of the 267 reply after the packed error.
struct ProtocolData {
  int type = 22;
  int version = 100;
  int moduleVersion = 600;
  std::string moduleSubversion = "100";
  std::string sender = "tarn-cellserver";
  int flags = 1;
};

// The session manager's answer to one object request (MSG_BAROPT).
enum class SmAnswer { kConnect, kWait, kAbort };
struct SmStep {
  SmAnswer answer = SmAnswer::kConnect;
  std::vector<std::string> words;  // kConnect: option words, placeholders not yet expanded
  int value = 0;                   // kWait: seconds; kAbort: code

  bool operator==(const SmStep&) const = default;
};

// Where the session manager aborts an object by itself: right after its
// MSG_CONNECT, or after the object's n-th status or report line.
enum class SmAbortPoint { kConnect, kStatus, kReport };
struct SmAbort {
  int code = 0;
  SmAbortPoint point = SmAbortPoint::kConnect;
  int count = 0;
  bool drop = false;  // sm-drop: close the connection instead of aborting

  bool operator==(const SmAbort&) const = default;
};

// One key of the stand-in key service; byte fields in lowercase hexadecimal.
struct KeyRecord {
  std::string entity;
  std::string keyId;    // 16 bytes: 32 digits
  std::string storeId;  // 16 bytes: 32 digits
  int type = 0;
  int flag = 0;
  std::string keyData;  // 32 bytes: 64 digits

  bool operator==(const KeyRecord&) const = default;
};

// The catalogue the session manager answers catalogue sessions from (session
// type 2). Objects are known by their catalogue name; a version by its
// object-version id (see protocol.h for where it travels).
struct CatObject {
  std::string name;
  int type = 0;

  bool operator==(const CatObject&) const = default;
};

struct CatVersion {
  long long versionId = 0;
  std::string objectName;
  int type = 0;
  std::string sessionId;
  int version = 0;  // counts the stored versions of the object from 1
  std::time_t time = 0;
  std::string options;  // -backupId "<session id>" and the request's option text
  long long size = 0;
  int level = 0;  // 0 full, 1 incremental
  int copy = 0;   // 0: the original; one backup id keeps its smallest copy
  int protection = 0;
  long long protectionValue = 0;
  int daId = 0;  // the media agent's stream of this version; 0: unknown
  // A protection change to none gave the version up: the object and version
  // lists a restore searches leave it out, a look-up by its id still finds it.
  bool givenUp = false;

  bool operator==(const CatVersion&) const = default;
};

struct CatItem {
  long long versionId = 0;
  std::string name;  // full path
  long long size = 0;
  std::time_t modified = 0;
  int owner = 0;
  int group = 0;
  int mode = 0644;

  bool operator==(const CatItem&) const = default;
};

struct CatMedium {
  long long versionId = 0;
  std::string mediumId;  // at most 32 characters
  std::string description;
  std::string label;
  int pool = 0;

  bool operator==(const CatMedium&) const = default;
};

// A protection change of a version, applied in order after the versions.
struct CatProtection {
  long long versionId = 0;
  int protection = 0;
  long long value = 0;

  bool operator==(const CatProtection&) const = default;
};

struct Fixture {
  // The six items that follow the login result.
  std::uint32_t accessRights = 0xFFFFFFFFu;
  int loginItem2 = 0;
  std::string loginItem3 = "tarn cell server";
  std::string loginItem4;
  std::uint32_t installFlags = 0;
  std::string loginItem6;
  // Second item of the port reply.
  std::string inetReplyItem = "0";
  ProtocolData protocol;
  // Name/value pairs of the global options reply, in order.
  std::vector<std::pair<std::string, std::string>> options;
  // Written into the state directory at start, replacing what is there.
  std::vector<StoredValue> items;
  std::vector<StoredValue> files;  // group = file number
  std::vector<StoredValue> customs;
  std::vector<StoredValue> certificates;  // group unused
  // Items appended to the reply message of a query request, by request id.
  std::map<int, std::vector<std::string>> lists;
  // Items that follow the result of a request, by request id.
  std::map<int, std::vector<std::string>> answers;
  // Faults by request id, applied together to one request.
  std::map<int, std::vector<Fault>> faults;
  // Session GUIDs in braces (38 characters) instead of the bare 36.
  bool bracedGuids = false;
  // Session manager: answers to the object requests in order, the points at
  // which it aborts, how long a session waits for a re-attach, the catalogue
  // texts and literals it expands report lines with, and the keys it knows.
  std::vector<SmStep> baropt;
  std::vector<SmAbort> smAborts;
  long long sessionTimeoutMs = 600000;
  std::map<std::pair<int, int>, std::string> catalogue;
  std::map<int, std::string> literals;
  std::vector<KeyRecord> keys;
  // Catalogue: objects, versions, items and media of versions.
  std::vector<CatObject> catObjects;
  std::vector<CatVersion> catVersions;
  std::vector<CatItem> catItems;
  std::vector<CatMedium> catMedia;
  std::vector<CatProtection> catProtections;
};

// Reads fixture text. Nothing on any error, with "line N: reason" in *why.
std::optional<Fixture> ParseFixture(std::string_view text, std::string* why);

// `text` as one quoted fixture word, readable back by ParseFixture.
std::string QuoteFixtureWord(std::string_view text);

// `utf8` as UTF-16 little-endian behind the byte-order mark FF FE; nothing when
// `utf8` is not valid UTF-8.
std::optional<std::string> Utf8ToUtf16LeWithMark(std::string_view utf8);

}  // namespace tarn::cellserver
