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
