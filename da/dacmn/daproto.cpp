// Protocol negotiation with the media side, and the relay of the encryption
// library's key requests to the key service through the session manager.
#include <charconv>
#include <cstring>
#include <string>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "dacmn/dacmn.h"
#include "dacmn/daimpl.h"

TARN_RCSID("da/dacmn/daproto.cpp");

using namespace dacmn_detail;

namespace {

constexpr std::size_t kProtocolTextSize = 256;

bool Supported(int version) {
  for (const int* v = suppProt; *v != -1; ++v) {
    if (*v == version) return true;
  }
  return false;
}

// Decodes a hex item into exactly `size` bytes.
bool DecodeHex(const char* text, unsigned char* out, std::size_t size) {
  if (std::strlen(text) != 2 * size) return false;
  std::size_t count = 0;
  return StrHexToBytes(text, out, size, &count) == 0 && count == size;
}

// A whole item as an int.
bool ParseInt(const char* text, int* value) {
  const char* end = text + std::strlen(text);
  const auto [last, error] = std::from_chars(text, end, *value);
  return error == std::errc() && last == end;
}

// The next item, or null at the end; an empty item counts as absent.
const char* OptionalItem(StrMsg* msg) {
  const char* item = StrParseNextL(msg);
  return item != nullptr && item[0] != '\0' ? item : nullptr;
}

}  // namespace

int DaProtocolCheck(IpcHandle handle, char* buffer) {
  static const char kFn[] = "DaProtocolCheck";
  DbgFcnInEx(TARN_HERE, kFn, kLevel, "(handle %d)", handle);
  const TracedExit done(TARN_HERE, kFn);
  StrMsg* send = IpcGetStrMsg(handle);
  StrMsg* receive = IpcGetReceiveStrMsg(handle);
  if (send == nullptr || receive == nullptr) {
    DbgPlain(kLevel,
             "%s: IpcGet[Receive]StrMsg returned error, checking protocol will not be possible",
             kFn);
    ErhClearError();
    return done(-1);
  }
  if (StrParseStartL(receive, buffer) != MSG_PROTOCOL) return done(1);

  for (int round = 0; round < kDaProtocolMaxRounds; ++round) {
    int type = 0;
    int version = 0;
    int agent = 0;
    int flags = 0;
    char subversion[kProtocolTextSize] = "";
    char name[kProtocolTextSize] = "";
    if (StrParseMessageFL(receive, "%d%d%d%s%s%d", &type, &version, &agent, subversion,
                          sizeof subversion, name, sizeof name, &flags) != 0) {
      DbgPlain(kLevel, "%s: malformed MSG_PROTOCOL from NET", kFn);
      return done(-1);
    }
    DbgPlain(kLevel,
             "Protocol info from: %s\n  Type: %d\n  Version: %d\n  Agent: %d\n  Subversion: %s\n"
             "  Flags: %d",
             name, type, version, agent, subversion, flags);
    if ((flags & kDaProtocolFlagOk) == 0) {
      DbgPlain(kLevel, "Protocol negotiation error flagged by NET.");
      return done(-1);
    }
    // A borrowed first message must not stand in the way of the next receive.
    if (round == 0 && buffer != nullptr) StrMsgParseDoneL(receive);
    const bool agreed = Supported(version);
    if (StrMsgStartExL(send, nullptr, 0, MSG_PROTOCOL, 0) != 0 ||
        StrMsgFAppendL(send, "%d%d%d%s%s%d", kDaProtocolType, version, kDaProtocolAgent, kTarnBuild,
                       CmnGetProgname(), agreed ? kDaProtocolFlagOk : 0) != 0 ||
        IpcSendStrMsg(handle) <= 0) {
      DbgPlain(kLevel, "Error sending MSG_PROTOCOL to NET.");
      return done(-1);
    }
    if (IpcReceiveData(handle, nullptr, 0) <= 0) {
      DbgPlain(kLevel, "Error receiving MSG_PROTOCOL from NET.");
      return done(-1);
    }
    const int code = StrParseStartL(receive, nullptr);
    if (agreed) {
      if (code < 0) {
        DbgPlain(kLevel, "%s: the message after the negotiation is no message", kFn);
        return done(-1);
      }
      DbgPlain(kLevel, "%s: protocol version %d agreed", kFn, version);
      return done(0);
    }
    if (code != MSG_PROTOCOL) {
      DbgPlain(kLevel, "%s: NET left the negotiation with message %d", kFn, code);
      return done(-1);
    }
  }
  DbgPlain(kLevel, "%s: no supported version after %d offers", kFn, kDaProtocolMaxRounds);
  return done(-1);
}

int DaeGetKeyInfo(IpcHandle handle, char* buffer, DaKeyInfo* info, int action) {
  static const char kFn[] = "DaeGetKeyInfo";
  if (buffer == nullptr || info == nullptr) {
    DbgPlain(kLevel, "[%s] no buffer or key record", kFn);
    return -1;
  }
  // Over the caller's buffer; frees whatever a parse may have allocated.
  struct LocalMsg {
    StrMsg msg;
    LocalMsg() { StrMsgInitL(&msg); }
    ~LocalMsg() { StrMsgFreeL(&msg); }
  } local;
  StrMsg& msg = local.msg;
  int built = -1;
  switch (action) {
    case DA_KEY_BY_ENTITY: {
      const std::string entity(info->entity, strnlen(info->entity, sizeof info->entity));
      built = StrMsgStartExL(&msg, buffer, kDaSmBufferSize, MSG_KEYGET, 1);
      if (built == 0) built = StrMsgFAppendL(&msg, "%d%d%d%s%s%s", 0, 1, 3, entity.c_str(), "", "");
      break;
    }
    case DA_KEY_BY_ID: {
      char keyId[2 * kDaKeyIdSize + 1];
      char storeId[2 * kDaKeyIdSize + 1];
      StrBytesToHex(info->keyId, kDaKeyIdSize, keyId, sizeof keyId);
      StrBytesToHex(info->storeId, kDaKeyIdSize, storeId, sizeof storeId);
      built = StrMsgStartExL(&msg, buffer, kDaSmBufferSize, MSG_KEYGET, 1);
      if (built == 0) built = StrMsgFAppendL(&msg, "%d%d%d%s%s%s", 0, 2, 3, "", keyId, storeId);
      break;
    }
    case DA_KEY_RANDBYTES: {
      int wanted = 0;
      std::memcpy(&wanted, reinterpret_cast<const unsigned char*>(info) + kDaRandSize,
                  sizeof wanted);
      built = StrMsgStartExL(&msg, buffer, kDaSmBufferSize, MSG_KEYRANDBYTES, 1);
      if (built == 0) built = StrMsgFAppendL(&msg, "%d%d", 0, wanted);
      break;
    }
    default: DbgPlain(kLevel, "[%s] Got invalid action from DA/BAR agent", kFn); return -1;
  }
  if (built != 0) {
    DbgPlain(kLevel, "[%s] the request does not fit into the buffer", kFn);
    return -1;
  }

  const int sent = IpcSendData(handle, buffer, static_cast<int>(msg.length) + 1);
  if (sent <= 0) {
    DbgPlain(kLevel, "[%s] IpcSendData failed, err=%d", kFn, ErhErrno());
    return -1;
  }
  const int length = IpcReceiveData(handle, buffer, kDaSmBufferSize);
  if (length <= 0) {
    DbgPlain(kLevel, "[%s] Got invalid IPC input, IpcReceiveData() returned %d", kFn, length);
    return -1;
  }
  const int code = StrParseStartNL(&msg, buffer, static_cast<std::size_t>(length));
  const bool wantKey = action != DA_KEY_RANDBYTES;
  if (code != MSG_KEYGET_REPLY && code != MSG_KEYRANDBYTES_REPLY) {
    DbgPlain(kLevel, "[%s] Got invalid response from KMS (through session manager)", kFn);
    return -1;
  }
  if ((code == MSG_KEYGET_REPLY) != wantKey) {
    DbgPlain(kLevel, "[%s] Got incorrect response from KMS (through session manager)", kFn);
    return -1;
  }

  if (!wantKey) {
    unsigned char random[kDaRandSize];
    const char* data = OptionalItem(&msg);
    if (data == nullptr || !DecodeHex(data, random, sizeof random)) {
      DbgPlain(kLevel, "[%s] Got incorrect response from KMS while fetching rand data", kFn);
      return -1;
    }
    std::memcpy(info, random, sizeof random);
    return length;
  }

  // Decoded into a copy first: a reply that fails half-way leaves the
  // caller's record as it was.
  DaKeyInfo result = *info;
  if (const char* item = OptionalItem(&msg); item != nullptr) {
    if (!DecodeHex(item, result.keyId, kDaKeyIdSize)) {
      DbgPlain(kLevel, "[%s] Got incorrect response from KMS while fetching keyId", kFn);
      return -1;
    }
  }
  if (const char* item = OptionalItem(&msg); item != nullptr) {
    if (!DecodeHex(item, result.storeId, kDaKeyIdSize)) {
      DbgPlain(kLevel, "[%s] Got incorrect response from KMS while fetching storeId", kFn);
      return -1;
    }
  }
  for (int* field : {&result.keyType, &result.keyFlag}) {
    const char* item = OptionalItem(&msg);
    if (item == nullptr) continue;
    if (!ParseInt(item, field)) {
      DbgPlain(kLevel, "[%s] Got incorrect response from KMS: key type or flag \"%s\"", kFn, item);
      return -1;
    }
  }
  if (const char* item = OptionalItem(&msg); item != nullptr) {
    if (!DecodeHex(item, result.key, kDaKeySize)) {
      DbgPlain(kLevel, "[%s] Got incorrect response from KMS while fetching key data", kFn);
      return -1;
    }
  }
  *info = result;
  return length;
}
