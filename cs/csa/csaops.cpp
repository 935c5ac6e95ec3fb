// Cell-server requests: one table row per request (id, completion, reply id,
// request items), one core that checks, builds and completes a request, and
// one thin function per request for its own argument checks and results. The
// items a function hands to its request are checked against the row's
// signature when it compiles.
#include "csa/csaops.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <string_view>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "csa/csa.h"
#include "csa/csaimpl.h"
#include "csa/csasignature.h"

TARN_RCSID("cs/csa/csaops.cpp");

using namespace csa_detail;

namespace {

// How a request is completed (see SarAnswer, SarQuery, SarSendbuf, SarReceivebuf).
enum class Done { kAnswer, kQuery, kSend, kReceive };

struct Request {
  std::string_view function;
  int id;
  Done done;
  int replyId;        // kQuery only
  const char* items;  // request items (StrMsgFAppend); null: chosen per call (CallWith)
};

constexpr Request kCatalogue[] = {
    {"MCsaGetSingleFile", 202, Done::kReceive, 0, "%d"},
    {"MCsaPutSingleFile", 203, Done::kSend, 0, "%d%d"},
    {"MCsaPutSingleFileAndPushToMoM", 256, Done::kSend, 0, "%d%d"},
    {"MCsaGetCustomFile", 259, Done::kReceive, 0, "%d%s"},
    {"MCsaPutCustomFile", 260, Done::kSend, 0, "%d%s%d"},
    {"MCsaRemoveCustomFile", 264, Done::kAnswer, 0, "%d%s"},
    {"MCsaGetGroupItem", 214, Done::kReceive, 0, "%d%s"},
    {"MCsaGetBinaryGroupItem", 263, Done::kReceive, 0, "%d%s"},
    {"MCsaPutGroupItem", 215, Done::kSend, 0, "%d%s%d"},
    {"MCsaPutBinaryGroupItem", 257, Done::kSend, 0, "%d%s%d"},
    {"MCsaRemoveGroupItem", 216, Done::kAnswer, 0, "%d%s"},
    {"MCsaRenameGroupItem", 219, Done::kAnswer, 0, "%d%s%s"},
    {"MCsaGetGroupPath", 273, Done::kAnswer, 0, "%d"},
    {"MCsaGetGroupList", 211, Done::kQuery, 102, "%d"},
    {"MCsaListCertificates", 1090, Done::kQuery, 102, ""},
    {"MCsaGetCertificate", 1092, Done::kReceive, 0, "%s"},
    {"MCsaAddCertificate", 1091, Done::kSend, 0, "%s%d"},
    {"MCsaGetDatalists", 212, Done::kQuery, 104, ""},
    {"MCsaGetTemplates", 238, Done::kQuery, 104, ""},
    {"MCsaGetFilteredDatalists", 275, Done::kQuery, 104, "%d"},
    {"MCsaGetBackups", 213, Done::kQuery, 105, "%d"},
    {"MCsaGetNotifications", 244, Done::kQuery, 113, ""},
    {"MCsaGetAmos", 266, Done::kQuery, 114, ""},
    {"MCsaGetBackupFileList", 254, Done::kQuery, 115, ""},
    {"MCsaGetScheduledCopySpecs", 270, Done::kQuery, 116, ""},
    {"MCsaGetScheduledConsolidationSpecs", 271, Done::kQuery, 117, ""},
    {"MCsaGetScheduledVerificationSpecs", 272, Done::kQuery, 118, ""},
    {"MCsaGetSessionOverview", 209, Done::kQuery, 101, ""},
    {"MCsaGetSessionStatus", 210, Done::kQuery, 103, "%s"},
    {"MCsaGetClientInfo", 265, Done::kAnswer, 0, "%s%s"},
    {"MCsaRedebug", 227, Done::kAnswer, 0, "%s%s%s"},
    {"MCsaExec", 234, Done::kAnswer, 0, "%s"},
    {"MCsaIsRunning", 235, Done::kAnswer, 0, "%d"},
    {"MCsaImportHost", 228, Done::kAnswer, 0, "%s%d"},
    {"MCsaExportHostEx", 229, Done::kAnswer, 0, "%s%u"},
    {"MCsaUpdateHostEx", 231, Done::kAnswer, 0, "%s%u"},
    {"MCsaImportCluster", 246, Done::kAnswer, 0, "%s"},
    {"MCsaImportClusterNode", 247, Done::kAnswer, 0, "%s%s"},
    {"MCsaImportClusterVS", 248, Done::kAnswer, 0, "%s%s"},
    {"MCsaExportCluster", 249, Done::kAnswer, 0, "%s"},
    {"MCsaExportClusterNode", 250, Done::kAnswer, 0, "%s%s"},
    {"MCsaExportClusterVS", 251, Done::kAnswer, 0, "%s%s"},
    {"MCsaImportInstallServer", 261, Done::kAnswer, 0, "%s"},
    {"MCsaExportInstallServer", 262, Done::kAnswer, 0, "%s"},
    {"MCsaImportNDMPHost", 258, Done::kAnswer, 0, "%s%d%d%s%s%d"},
    {"MCsaImportAppServer", 302, Done::kAnswer, 0, "%s%d%d%d%s%s%s"},
    {"MCsaGetHostId", 303, Done::kAnswer, 0, "%s%d%s%s%s%s"},
    {"MCsaEventLogTrigger", 304, Done::kAnswer, 0, "%d%s"},
    {"MCsaSemaphoreControl", 281, Done::kAnswer, 0, nullptr},
    {"MCsaImpersonate", 282, Done::kAnswer, 0, "%s%s%s%s%s"},
};

constexpr bool UniqueIds() {
  for (const Request& a : kCatalogue) {
    int same = 0;
    for (const Request& b : kCatalogue) same += a.id == b.id ? 1 : 0;
    if (same != 1) return false;
  }
  return true;
}
static_assert(UniqueIds(), "every request id appears once in the catalogue");

consteval bool WellFormedRows() {
  for (const Request& r : kCatalogue) {
    if (r.items != nullptr && !WellFormedSignature(r.items)) return false;
  }
  return true;
}
static_assert(WellFormedRows(), "every request signature is made of known conversions");

// The row of a request, found at compile time.
consteval const Request& R(std::string_view function) {
  for (const Request& r : kCatalogue) {
    if (r.function == function) return r;
  }
  throw "request missing from the catalogue";
}

// A text known at compile time, as a template argument.
template <std::size_t N>
struct Name {
  char text[N] = {};
  consteval Name(const char (&literal)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
  }
  consteval std::string_view view() const { return {text, N - 1}; }
  consteval const char* c_str() const { return text; }
};

// A request chosen by its function name when the caller compiles: the calls
// below that take one check their items against its row. It stands for its
// row wherever a row is wanted.
template <Name name>
struct Req {
  static constexpr const Request& row = R(name.view());
  static constexpr std::string_view function = row.function;
  constexpr operator const Request&() const { return row; }
};
template <Name name>
constexpr Req<name> kReq{};

// What a request takes beyond its items and what it gives back.
struct Io {
  char** text = nullptr;        // kQuery: the reply; kReceive: the data
  int raw = 0;                  // kSend, kReceive
  const void* bytes = nullptr;  // kSend
  int length = 0;               // kSend: bytes to send; kReceive: bytes received
  bool replied = false;         // kAnswer: a MSG_RESULT came back
  const char* after = nullptr;  // kAnswer: the item behind the result, or null
  int hold = 0;                 // kAnswer: seconds the server may hold the answer back
};

int CallV(const Request& r, int slot, Io* io, const char* signature, va_list items) {
  const char* fn = r.function.data();
  DbgFcnInEx(TARN_HERE, fn, kLevel, "slot=%d request=%d", slot, r.id);
  CsaServerSlot* s = ReadySlot(fn, slot);
  int rc = -1;
  if (s != nullptr && StartMessageV(fn, r.id, signature, items) == 0) {
    switch (r.done) {
      case Done::kAnswer: {
        const Outcome outcome = SlotAnswer(*s, fn, ReplyTimeout() + io->hold);
        if (outcome != Outcome::kFailed) {
          io->replied = true;
          io->after = StrParseNextL(Msg());
        }
        rc = outcome == Outcome::kOk ? 0 : -1;
        break;
      }
      case Done::kQuery: rc = SlotQuery(*s, fn, io->text, r.replyId); break;
      case Done::kSend: rc = SlotSendbuf(*s, fn, io->bytes, io->length, io->raw); break;
      case Done::kReceive:
        rc = SlotReceivebuf(*s, fn, io->text, io->raw);
        if (rc >= 0) {
          io->length = rc;
          rc = 0;
        }
        break;
    }
  }
  DbgFcnOutEx(TARN_HERE, fn, kLevel, "%s is exiting with return value %d", fn, rc);
  return rc;
}

// The request with items of `signature`, unchecked: only the checked calls
// below use it.
int CallUnchecked(const Request& r, int slot, Io* io, const char* signature, ...) {
  va_list items;
  va_start(items, signature);
  const int rc = CallV(r, slot, io, signature, items);
  va_end(items);
  return rc;
}

// The request with its table items.
template <Name name, typename... Items>
int Call(Req<name> r, int slot, Io* io, Items... items) {
  static_assert(r.row.items != nullptr, "the request's items are chosen per call: use CallWith");
  static_assert(SignatureTakes<Items...>(r.row.items),
                "the items do not match the request's signature in the catalogue");
  return CallUnchecked(r, slot, io, r.row.items, items...);
}

// The request with items of a signature chosen by the caller.
template <Name signature, Name name, typename... Items>
int CallWith(Req<name> r, int slot, Io* io, Items... items) {
  static_assert(r.row.items == nullptr, "the request has its items in the catalogue: use Call");
  static_assert(SignatureTakes<Items...>(signature.c_str()),
                "the items do not match the signature of the call");
  return CallUnchecked(r, slot, io, signature.c_str(), items...);
}

// Output texts start null so that a failure leaves nothing to free.
void Clear(char** text) {
  if (text != nullptr) *text = nullptr;
}

// Query and receive completions write through io->text; a caller's null
// pointer is refused before anything is sent.
bool Output(char** text, const Request& r) {
  if (text != nullptr) {
    *text = nullptr;
    return true;
  }
  ErhMark(ECSARANGE, 0, r.function.data(), kErhMajor);
  return false;
}

template <Name name>
int Query(Req<name> r, int slot, char** reply) {
  if (!Output(reply, r)) return -1;
  Io io;
  io.text = reply;
  return Call(r, slot, &io);
}

// A copy of the item behind the result into *text (may be null), when the
// server answered with one.
void CopyAfter(const Io& io, char** text) {
  if (text != nullptr && io.replied && io.after != nullptr) *text = StrNewCopy(io.after);
}

bool Checks(const Request& r, int slot) {
  return ReadySlot(r.function.data(), slot) != nullptr;
}

int TextLength(const char* text) {
  const std::size_t n = StrLen(text);
  return n > static_cast<std::size_t>(INT32_MAX) ? -1 : static_cast<int>(n);
}

bool RawGroup(int group) {
  return group == kCsaGroupRawA || group == kCsaGroupRawB;
}

// Group and name of a group-item read: a valid group, and a name unless the
// group is 80.
bool GroupItemReadable(const Request& r, int group, const char* name) {
  if (CmnValidGroup(group) != 0) return false;
  if (group != kCsaGroupNoName && (name == nullptr || *name == '\0')) {
    ErhMark(ERH_INVALID_NAME, 0, r.function.data(), kErhNormal);
    return false;
  }
  return true;
}

bool GroupItemWritable(int group, const char* name) {
  return CmnValidGroup(group) == 0 && (group == kCsaGroupNoName || CmnValidItemName(name) == 0);
}

bool Mode(const Request& r, bool valid) {
  if (!valid) ErhMark(ECSAARG, 0, r.function.data(), kErhWarning);
  return valid;
}

template <Name name, typename... Items>
int Receive(Req<name> r, int slot, char** text, int raw, int* length, Items... items) {
  Io io;
  io.text = text;
  io.raw = raw;
  const int rc = Call(r, slot, &io, items...);
  if (rc == 0 && length != nullptr) *length = io.length;
  return rc;
}

}  // namespace

// ---------------------------------------------------------------- single files

int MCsaGetSingleFile(int slot, int file, char** text, int mode) {
  constexpr auto r = kReq<"MCsaGetSingleFile">;
  if (!Output(text, r) || !Checks(r, slot) || CmnValidSingleFile(file) != 0 ||
      !Mode(r, mode == 0 || mode == 1)) {
    return -1;
  }
  return Receive(r, slot, text, file == kCsaFileRaw ? 1 : 0, nullptr, file);
}

namespace {

// Request 203 or 256: the length item is -1 for no text, and no text goes
// out as empty bulk data.
template <Name name>
int PutFile(Req<name> r, int slot, int file, const char* text) {
  if (!Checks(r, slot) || CmnValidSingleFile(file) != 0) return -1;
  Io io;
  io.bytes = text;
  io.length = text != nullptr ? TextLength(text) : 0;
  return Call(r, slot, &io, file, text != nullptr ? io.length : -1);
}

}  // namespace

int MCsaPutSingleFile(int slot, int file, const char* text) {
  return PutFile(kReq<"MCsaPutSingleFile">, slot, file, text);
}

int MCsaPutSingleFileAndPushToMoM(int slot, int file, const char* text) {
  return PutFile(kReq<"MCsaPutSingleFileAndPushToMoM">, slot, file, text);
}

int MCsaSingleFileLock(int slot, int, int mode) {
  static const char kFn[] = "MCsaSingleFileLock";
  if (ReadySlot(kFn, slot) == nullptr) return -1;
  if (mode != 1 && mode != 2) {
    ErhMark(ECSAARG, 0, kFn, kErhWarning);
    return -1;
  }
  return 0;
}

int MCsaGetCustomFile(int slot, int group, const char* name, char** text) {
  constexpr auto r = kReq<"MCsaGetCustomFile">;
  if (!Output(text, r)) return -1;
  return Receive(r, slot, text, 0, nullptr, group, name);
}

int MCsaPutCustomFile(int slot, int group, const char* name, const char* text) {
  Io io;
  io.bytes = text;
  io.length = TextLength(text);
  return Call(kReq<"MCsaPutCustomFile">, slot, &io, group, name, io.length);
}

int MCsaRemoveCustomFile(int slot, int group, const char* name) {
  Io io;
  return Call(kReq<"MCsaRemoveCustomFile">, slot, &io, group, name);
}

// ---------------------------------------------------------------- group items

int MCsaGetGroupItem(int slot, int group, const char* name, char** text, int mode) {
  constexpr auto r = kReq<"MCsaGetGroupItem">;
  if (!Output(text, r) || !Checks(r, slot) || !GroupItemReadable(r, group, name) ||
      !Mode(r, mode <= 1))
    return -1;
  return Receive(r, slot, text, RawGroup(group) ? 1 : 0, nullptr, group, name);
}

int MCsaGetBinaryGroupItem(int slot, int group, const char* name, char** bytes, int* length,
                           int mode) {
  constexpr auto r = kReq<"MCsaGetBinaryGroupItem">;
  if (length != nullptr) *length = 0;
  if (!Output(bytes, r) || !Checks(r, slot) || !GroupItemReadable(r, group, name) ||
      !Mode(r, mode <= 1))
    return -1;
  return Receive(r, slot, bytes, 1, length, group, name);
}

int MCsaPutGroupItem(int slot, int group, const char* name, const char* text, int mode) {
  constexpr auto r = kReq<"MCsaPutGroupItem">;
  if (!Checks(r, slot) || !GroupItemWritable(group, name) || !Mode(r, mode == 1 || mode == 2))
    return -1;
  Io io;
  io.bytes = text;
  io.length = TextLength(text);
  io.raw = RawGroup(group) ? 1 : 0;
  return Call(r, slot, &io, group, name, io.length);
}

int MCsaPutBinaryGroupItem(int slot, int group, const char* name, const void* bytes, int length,
                           int mode) {
  constexpr auto r = kReq<"MCsaPutBinaryGroupItem">;
  if (!Checks(r, slot) || !GroupItemWritable(group, name) || !Mode(r, mode == 1 || mode == 2) ||
      !Mode(r, length >= 0 && (length == 0 || bytes != nullptr))) {
    return -1;
  }
  Io io;
  io.bytes = bytes;
  io.length = length;
  io.raw = 1;
  return Call(r, slot, &io, group, name, length);
}

int MCsaRemoveGroupItem(int slot, int group, const char* name, int) {
  constexpr auto r = kReq<"MCsaRemoveGroupItem">;
  if (!Checks(r, slot) || CmnValidGroup(group) != 0) return -1;
  Io io;
  return Call(r, slot, &io, group, name);
}

int MCsaRenameGroupItem(int slot, int group, const char* oldName, const char* newName) {
  constexpr auto r = kReq<"MCsaRenameGroupItem">;
  if (!Checks(r, slot) || CmnValidGroup(group) != 0 || CmnValidItemName(newName) != 0) return -1;
  Io io;
  return Call(r, slot, &io, group, oldName, newName);
}

int MCsaGroupItemLock(int slot, int, const char*, int) {
  return ReadySlot("MCsaGroupItemLock", slot) != nullptr ? 0 : -1;
}

int MCsaGetGroupPath(int slot, int group, char* path, std::size_t size) {
  constexpr auto r = kReq<"MCsaGetGroupPath">;
  if (path == nullptr || size == 0) {
    ErhMark(ECSARANGE, 0, r.function.data(), kErhMajor);
    return -1;
  }
  path[0] = '\0';
  Io io;
  const int rc = Call(r, slot, &io, group);
  if (rc == 0) CopyCut(path, size, io.after);
  return rc;
}

int MCsaGetGroupList(int slot, int group, char** reply) {
  constexpr auto r = kReq<"MCsaGetGroupList">;
  if (!Output(reply, r)) return -1;
  Io io;
  io.text = reply;
  return Call(r, slot, &io, group);
}

namespace {

// Group and item of a type item, or false with 1620 marked.
bool TypeItem(const char* kind, const char* typeAndName, int* group, char* name) {
  return CmnItemFromTname(group, name, kind != nullptr ? kind : "",
                          typeAndName != nullptr ? typeAndName : "") == 0;
}

}  // namespace

int MCsaGetTypeItem(int slot, const char* kind, const char* typeAndName, char** text, int mode) {
  Clear(text);
  int group = -1;
  char name[kCmnItemNameMax + 1];
  if (!TypeItem(kind, typeAndName, &group, name)) return -1;
  return MCsaGetGroupItem(slot, group, name, text, mode);
}

int MCsaPutTypeItem(int slot, const char* kind, const char* typeAndName, const char* text,
                    int mode) {
  int group = -1;
  char name[kCmnItemNameMax + 1];
  if (!TypeItem(kind, typeAndName, &group, name)) return -1;
  return MCsaPutGroupItem(slot, group, name, text, mode);
}

int MCsaRemoveTypeItem(int slot, const char* kind, const char* typeAndName, int mode) {
  int group = -1;
  char name[kCmnItemNameMax + 1];
  if (!TypeItem(kind, typeAndName, &group, name)) return -1;
  return MCsaRemoveGroupItem(slot, group, name, mode);
}

int MCsaGetListForType(int slot, const char* type, const char* kind, char** reply) {
  Clear(reply);
  int group = -1;
  char name[kCmnItemNameMax + 1];
  char text[kCmnItemNameMax + 8];
  StrCopy(text, type != nullptr ? type : "", kCmnItemNameMax);
  StrCatNS(text, " dummy", sizeof text - 1);
  if (!TypeItem(kind, text, &group, name)) return -1;
  return MCsaGetGroupList(slot, group, reply);
}

// ---------------------------------------------------------------- certificates

int MCsaListCertificates(int slot, char** reply) {
  return Query(kReq<"MCsaListCertificates">, slot, reply);
}

int MCsaGetCertificate(int slot, const char* name, char** text) {
  constexpr auto r = kReq<"MCsaGetCertificate">;
  if (!Output(text, r)) return -1;
  return Receive(r, slot, text, 0, nullptr, name);
}

int MCsaAddCertificate(int slot, const char* name, const char* text) {
  Io io;
  io.bytes = text;
  io.length = TextLength(text);
  return Call(kReq<"MCsaAddCertificate">, slot, &io, name, io.length);
}

// ---------------------------------------------------------------- lists and queries

int MCsaGetDatalists(int slot, char** reply) {
  return Query(kReq<"MCsaGetDatalists">, slot, reply);
}
int MCsaGetTemplates(int slot, char** reply) {
  return Query(kReq<"MCsaGetTemplates">, slot, reply);
}
int MCsaGetNotifications(int slot, char** reply) {
  return Query(kReq<"MCsaGetNotifications">, slot, reply);
}
int MCsaGetAmos(int slot, char** reply) {
  return Query(kReq<"MCsaGetAmos">, slot, reply);
}
int MCsaGetBackupFileList(int slot, char** reply) {
  return Query(kReq<"MCsaGetBackupFileList">, slot, reply);
}
int MCsaGetScheduledCopySpecs(int slot, char** reply) {
  return Query(kReq<"MCsaGetScheduledCopySpecs">, slot, reply);
}
int MCsaGetScheduledConsolidationSpecs(int slot, char** reply) {
  return Query(kReq<"MCsaGetScheduledConsolidationSpecs">, slot, reply);
}
int MCsaGetScheduledVerificationSpecs(int slot, char** reply) {
  return Query(kReq<"MCsaGetScheduledVerificationSpecs">, slot, reply);
}
int MCsaGetSessionOverview(int slot, char** reply) {
  return Query(kReq<"MCsaGetSessionOverview">, slot, reply);
}

int MCsaGetFilteredDatalists(int slot, int filter, char** reply) {
  constexpr auto r = kReq<"MCsaGetFilteredDatalists">;
  if (!Output(reply, r)) return -1;
  Io io;
  io.text = reply;
  return Call(r, slot, &io, filter);
}

int MCsaGetBackups(int slot, int kind, char** reply) {
  constexpr auto r = kReq<"MCsaGetBackups">;
  if (!Output(reply, r)) return -1;
  Io io;
  io.text = reply;
  return Call(r, slot, &io, kind);
}

int MCsaGetSessionStatus(int slot, const char* session, char** reply) {
  constexpr auto r = kReq<"MCsaGetSessionStatus">;
  if (!Output(reply, r)) return -1;
  Io io;
  io.text = reply;
  return Call(r, slot, &io, session);
}

// ---------------------------------------------------------------- commands

int MCsaGetClientInfo(int slot, const char* a, const char* b, char** text) {
  Clear(text);
  Io io;
  const int rc = Call(kReq<"MCsaGetClientInfo">, slot, &io, a, b);
  if (rc == 0 && text != nullptr) *text = StrNewCopy(io.after);
  return rc;
}

int MCsaRedebug(int slot, const char* ranges, const char* postfix, const char* select) {
  Io io;
  return Call(kReq<"MCsaRedebug">, slot, &io, ranges, postfix, select);
}

int MCsaExec(int slot, const char* command, int* value) {
  if (value != nullptr) *value = 0;
  Io io;
  const int rc = Call(kReq<"MCsaExec">, slot, &io, command);
  long long number = 0;
  if (rc == 0 && value != nullptr && ItemToNumber(io.after, INT32_MIN, INT32_MAX, &number)) {
    *value = static_cast<int>(number);
  }
  return rc;
}

int MCsaIsRunning(int slot, int n) {
  Io io;
  return Call(kReq<"MCsaIsRunning">, slot, &io, n);
}

namespace {

// Host and cluster requests: the server's explanation on failure.
template <Name name, typename... Items>
int Explained(Req<name> r, int slot, char** text, Items... items) {
  Clear(text);
  Io io;
  const int rc = Call(r, slot, &io, items...);
  if (rc != 0) CopyAfter(io, text);
  return rc;
}

}  // namespace

int MCsaImportHost(int slot, const char* host, int flags, char** text) {
  return Explained(kReq<"MCsaImportHost">, slot, text, host, flags);
}

int MCsaExportHostEx(int slot, const char* host, unsigned flags, char** text) {
  return Explained(kReq<"MCsaExportHostEx">, slot, text, host, flags);
}

int MCsaUpdateHostEx(int slot, const char* host, unsigned flags, char** text) {
  const int rc = Explained(kReq<"MCsaUpdateHostEx">, slot, text, host, flags);
  DbgPlain(kLevel, "error=%d", ErhErrno());
  return rc;
}

int MCsaImportCluster(int slot, const char* cluster, char** text) {
  return Explained(kReq<"MCsaImportCluster">, slot, text, cluster);
}

int MCsaImportClusterNode(int slot, const char* cluster, const char* node, char** text) {
  return Explained(kReq<"MCsaImportClusterNode">, slot, text, node, cluster);
}

int MCsaImportClusterVS(int slot, const char* cluster, const char* server, char** text) {
  return Explained(kReq<"MCsaImportClusterVS">, slot, text, server, cluster);
}

int MCsaExportCluster(int slot, const char* cluster, char** text) {
  return Explained(kReq<"MCsaExportCluster">, slot, text, cluster);
}

int MCsaExportClusterNode(int slot, const char* cluster, const char* node, char** text) {
  return Explained(kReq<"MCsaExportClusterNode">, slot, text, node, cluster);
}

int MCsaExportClusterVS(int slot, const char* cluster, const char* server, char** text) {
  return Explained(kReq<"MCsaExportClusterVS">, slot, text, server, cluster);
}

int MCsaImportInstallServer(int slot, const char* host, char** text) {
  return Explained(kReq<"MCsaImportInstallServer">, slot, text, host);
}

int MCsaExportInstallServer(int slot, const char* host, char** text) {
  return Explained(kReq<"MCsaExportInstallServer">, slot, text, host);
}

int MCsaImportNDMPHost(int slot, const char* host, int type, int port, const char* user,
                       const char* password, int flag, char** text) {
  constexpr auto r = kReq<"MCsaImportNDMPHost">;
  DbgPlain(kLevel, "[%s] host=%s, ndmp_type=%d, port=%d, user=%s, pass=(censored)",
           r.function.data(), host != nullptr ? host : "", type, port, user != nullptr ? user : "");
  return Explained(r, slot, text, host, type, port, user, password, flag);
}

int MCsaImportAppServer(int slot, const char* host, int type, int subType, int port,
                        const char* user, const char* password, const char* cert, char** text) {
  constexpr auto r = kReq<"MCsaImportAppServer">;
  DbgPlain(kLevel, "[%s] host=%s, type=%d, subType=%d, port=%d, user=%s, pass=(censored), cert=%s",
           r.function.data(), host != nullptr ? host : "", type, subType, port,
           user != nullptr ? user : "", cert != nullptr ? cert : "");
  return Explained(r, slot, text, host, type, subType, port, user, password, cert);
}

int MCsaGetHostId(int slot, const char* s1, int n, const char* s2, const char* s3, const char* s4,
                  const char* s5, char** text) {
  Clear(text);
  Io io;
  const int rc = Call(kReq<"MCsaGetHostId">, slot, &io, s1, n, s2, s3, s4, s5);
  if (rc == 0) CopyAfter(io, text);
  return rc;
}

int MCsaEventLogTrigger(int slot, int event, const char* packedMessage) {
  DbgPlain(kLevel, " Packed string: %s ", packedMessage != nullptr ? packedMessage : "");
  Io io;
  return Call(kReq<"MCsaEventLogTrigger">, slot, &io, event, packedMessage);
}

int MCsaImpersonate(int slot, const char* s1, const char* s2, const char* s3, const char* s4,
                    const char* s5) {
  Io io;
  const int rc = Call(kReq<"MCsaImpersonate">, slot, &io, s1, s2, s3, s4, s5);
  if (rc != 0) return rc;
  long long rights = 0;
  if (io.after != nullptr && !ItemToNumber(io.after, 0, UINT32_MAX, &rights)) rights = 0;
  Ctx()->slots[slot].acl = static_cast<std::uint32_t>(rights);
  return 0;
}

// ---------------------------------------------------------------- resources

int MCsaSemaphoreControl(int slot, int operation, ...) {
  constexpr auto r = kReq<"MCsaSemaphoreControl">;
  va_list args;
  va_start(args, operation);
  Io io;
  int rc = -1;
  switch (operation) {
    case 1: {
      const char* name = va_arg(args, const char*);
      const int a = va_arg(args, int);
      const int b = va_arg(args, int);
      rc = CallWith<"%d%s%d%d">(r, slot, &io, operation, name, a, b);
      break;
    }
    case 2: {
      const int a = va_arg(args, int);
      rc = CallWith<"%d%d">(r, slot, &io, operation, a);
      break;
    }
    case 3: {
      const int a = va_arg(args, int);
      const int b = va_arg(args, int);
      const int c = va_arg(args, int);
      rc = CallWith<"%d%d%d%d">(r, slot, &io, operation, a, b, c);
      break;
    }
    case 4:
    case 5:
    case 6: {
      const int a = va_arg(args, int);
      const int b = va_arg(args, int);
      // An acquire (4) is answered once it succeeds or its time-out passed.
      if (operation == 4 && b > 0) io.hold = std::min(b, 86400);
      rc = CallWith<"%d%d%d">(r, slot, &io, operation, a, b);
      break;
    }
    case 7: rc = CallWith<"%d">(r, slot, &io, operation); break;
    default:
      if (Checks(r, slot)) ErhMark(ECSAARG, 0, r.function.data(), kErhWarning);
      break;
  }
  va_end(args);
  if (rc != 0) return -1;
  long long value = 0;
  return ItemToNumber(io.after, INT32_MIN, INT32_MAX, &value) ? static_cast<int>(value) : 0;
}

int MCsaResourceCreate(int slot, const char* name, int a, int b) {
  return MCsaSemaphoreControl(slot, 1, name, a, b);
}

int MCsaResourceClose(int slot, int resource) {
  return MCsaSemaphoreControl(slot, 2, resource);
}

int MCsaResourceAcquire(int slot, int resource, int flag, int timeout) {
  return flag != 0 ? MCsaSemaphoreControl(slot, 6, resource, -1)
                   : MCsaSemaphoreControl(slot, 4, resource, timeout);
}

int MCsaResourceRelease(int slot, int resource) {
  return MCsaSemaphoreControl(slot, 5, resource, 1);
}

int MCsaResourceCleanup(int slot) {
  return MCsaSemaphoreControl(slot, 7);
}
