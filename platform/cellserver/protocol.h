// What the stand-in cell server speaks: message ids, the shape of every request
// it serves, the error codes it answers with and the 267 reply layout.
#pragma once

#include <optional>
#include <string_view>

#include "codec/message.h"

namespace tarn::cellserver {

// Messages outside the request table.
inline constexpr int kMsgIdentity = 0;     // login on the request port; identity on a session port
inline constexpr int kMsgPortRequest = 2;  // inet service: host, "0", user, group, language, "15"
inline constexpr int kMsgPortReply = 109;  // inet service: request port, inet reply item
inline constexpr int kMsgGlobalOptions = 120;
inline constexpr int kMsgStartMessageCode = 2;  // code of the start message sent with request 205

// The session manager's conversation on a session port, after the identity.
// Every item is text; numbers are decimal.
inline constexpr int kMsgAbort = 1;         // both ways: code
inline constexpr int kMsgStop = 6;          // both ways: no items
inline constexpr int kMsgReport = 15;       // to it: a packed catalogue message (see below)
inline constexpr int kMsgStatus = 33;       // to it: eight numbers (see below)
inline constexpr int kMsgConnect = 45;      // from it: the object's option words
inline constexpr int kMsgBaropt = 51;       // to it: the object request
inline constexpr int kMsgWait = 64;         // from it: seconds
inline constexpr int kMsgReconnect = 66;    // to the reconnect port: program, version, DA id, 0, 0
inline constexpr int kMsgReconnected = 67;  // from the reconnect port: no items
inline constexpr int kMsgKeyGet = 1116;     // to it: 0, action, 3, entity, key id, store id
inline constexpr int kMsgKeyReply = 1117;   // from it: key id, store id, type, flag, key data
inline constexpr int kMsgKeyRandBytes = 1123;  // to it: 0, count
inline constexpr int kMsgKeyRandReply = 1124;  // from it: the random bytes

// Layouts of the session-manager conversation that both sides must share:
// - The session start message (MSG_OPTIONS, code 2) is the bulk data of
//   request 205, as the message text with its final NUL.
// - Object request 51, backup: application name, object name, "3", "0", "1",
//   "0", resource type, option text, backup type, "-host <name>", then
//   optionally "-balancing 1" and "-devicefilter <filter>"; restore:
//   application name, object name, session id, "0", tree, version id,
//   "-save /my/soul -to /dev/null". The session type of 205 (7 backup,
//   8 restore) tells them apart. Fewer than two items: answered with
//   MSG_ABORT 2.
// - Status 33: now, worst level, level-0 reports, error reports, items, items
//   of the object, object size in KB, KB done; exactly eight decimal items.
// - Report line 15: the first item is the format reference 0x07 0x01
//   "[<set>:<number>]", the others its arguments in order. Typed arguments
//   0x07 0x02 "[<n>]" (a literal) and 0x07 0x22 <text> are expanded; every
//   printf conversion of the catalogue text takes the next argument as text.
// - Key service: every byte field travels as lowercase hexadecimal digits,
//   two per byte: key id and store id 32 digits, key data 64 digits, random
//   data two per byte asked for. Action 1 looks the key up by entity (a new
//   random key for an unknown one), action 2 by key id and store id; an
//   unknown key id or a malformed request gets 1117 without items.
//   Random data: 1 to 4096 bytes; any other count gets 1124 without items.
// - MSG_WAIT below 1 second means: wait 20 seconds.
// - MSG_STOP from the session manager ends an object: it is sent once the
//   media agent has reported the end of the object's stream. MSG_STOP or
//   MSG_ABORT from the client while an object is open ends that object and
//   keeps the session for a re-attach (283); without an open object they end
//   the session.
// - Reconnect port (-lport): the first message must be 66 with five items
//   whose third is the DA id of an open object; the answer is 67 and the
//   conversation of that session goes on over the new connection. Anything
//   else closes the connection.
// The catalogue session (session type 2): after the identity, requests whose
// code is the request id and whose items are the request's arguments as
// decimal or text. Listings answer one message per row, coded with the row
// reply id, carrying exactly the request's field count; every request ends
// with MSG_RESULT: the packed error, then the result fields (none on error).
// A listing that found nothing ends with error 1245 at level 0; an unknown
// request gets error 8002, a request with the wrong item count or a number
// that does not parse gets 8010, an unknown version id 1252 (level 0: an
// empty answer, not a failure) for a listing and kErrRefused for a change.
//
// The object-version id travels in the first field of the version part (v0):
// field 0 of a 1024 row, field 2 of 1083, 1026, 1050 rows and of the 1001
// result, field 10 of a 1060 row. The same id is the argument of 1001, 1032,
// 1033, 1054, 1612 and the first argument of 1601. Version part fields:
//   v0 version id, v1 the object's version count, v2 time, v3 status (0),
//   v4 level (0 full, 1 incremental), v5/v6 size in bytes low/high 32 bits,
//   v7 copy number, v8 protection, v9 protection value, v10 object type,
//   v22 the session id (32 characters at most), v25 the options text,
//   v26 the session id (only where the row has 27 version fields); other
//   numbers are 0 and other texts empty.
// Item fields: 0 name, 1 item id, 2 1 (a file), 3 owner, 4 group, 5 mode,
// 6/7 size low/high, 8 modification time, 9 0, 10 the version id.
// Medium fields: 0 label prefix (empty), 1 label text, 3 description,
// 5 label flags (0), 7 medium id, 18 pool; other fields 0.
// Request 1601: version id, protection, protection value.
inline constexpr int kCatalogueSessionType = 2;
inline constexpr int kCatVersionIdField = 0;  // index in the version part
inline constexpr int kCatListObjects = 1022;
inline constexpr int kCatListPartOfObject = 1069;
inline constexpr int kCatListOverOfAppBackup = 1083;
inline constexpr int kCatListOverOfSession = 1026;
inline constexpr int kCatListVerOfObject = 1024;
inline constexpr int kCatListCatalog = 1032;
inline constexpr int kCatFilePatternSearch = 1036;
inline constexpr int kCatFbListFileVers = 1060;
inline constexpr int kCatFbListDir = 1054;
inline constexpr int kCatFbListAllOver = 1050;
inline constexpr int kCatListMediaOfOver = 1612;
inline constexpr int kCatChangeOverProt = 1601;
inline constexpr int kCatGetOver = 1001;
inline constexpr int kCatListFileNames = 1033;
inline constexpr int kCatErrUnknownRequest = 8002;
inline constexpr int kCatErrBadRequest = 8010;
inline constexpr int kCatEndNoRows = 1245;
inline constexpr int kCatEndNotFound = 1252;
inline constexpr int kCatVersionFields = 27;

struct CatRequestSpec {
  int id;
  int args;
  int rowId;  // 0: no rows
  int fields;
  int resultFields;
};
// The catalogue requests the stand-in serves; nothing for the others.
std::optional<CatRequestSpec> FindCatalogueRequest(int id);

inline constexpr int kDefaultWaitSeconds = 20;
inline constexpr int kBadRequestAbortCode = 2;
// The session manager's abort of an object whose stream the media agent
// aborted, or whose media agent died.
inline constexpr int kMediaAbortCode = 2;

// Errors the stand-in packs into its results (level kErrorLevel).
inline constexpr int kErrSessionStart = 1000;    // no session port, or too many sessions
inline constexpr int kErrRefused = 1001;         // item, file or argument missing or refused
inline constexpr int kErrUnknownSession = 1005;  // no running session with that key or GUID
inline constexpr int kErrProtocol = 1007;        // unknown id, malformed request, no login yet
inline constexpr int kErrorLevel = 2;

// How a request is completed on the wire.
enum class Shape {
  kAnswer,      // result; items may follow the result
  kQuery,       // one reply message with `replyId`, then the result
  kClientBulk,  // request, bulk data from the client in chunks, then the result
  kServerBulk,  // bulk data to the client in chunks, then the result
  kProtocol,    // one 267 message carrying the packed error and the protocol data
};

struct RequestSpec {
  int id;
  Shape shape;
  int replyId;  // kQuery only
  int items;    // the request's item count; -1: checked by its handler
  std::string_view name;
};

// The request, or nothing for an id the stand-in does not serve.
std::optional<RequestSpec> FindRequest(int id);

// The 267 reply, on the request port and on session ports alike, is one
// message: code 267; the packed error (code, level, function, system text);
// then the protocol data: type, version, module version, module subversion,
// sender name, flags. A client reads the error first and the protocol data
// only when the error is 0.
inline constexpr int kProtocolReplyErrorItems = 4;
inline constexpr int kProtocolReplyDataItems = 6;

struct ProtocolData;
// The 267 reply in that layout.
standin::Message ProtocolReply(const standin::PackedError& error, const ProtocolData& data);

}  // namespace tarn::cellserver
