// Catalogue queries of the integration: the catalogue session and the typed
// row and array forms over the query engine.
#include "barutil/vekquery.h"

#include <cstring>
#include <string>
#include <unordered_map>

#include "barutil/barmsg.h"
#include "barutil/vekhost.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "csa/csa.h"
#include "csa/csasession.h"

TARN_RCSID("integ/barutil/vekquery.cpp");

namespace {

constexpr int kLevel = 30;
// Catalogue messages of the integration.

enum Request : int {
  kListObjects = 1022,
  kListPartOfObject = 1069,
  kListOverOfAppBackup = 1083,
  kListVerOfObject = 1024,
  kListCatalog = 1032,
  kPatternSearch = 1036,
  kFbListFileVers = 1060,
  kFbListDir = 1054,
  kFbListAllOver = 1050,
  kListMediaOfOver = 1612,
  kChangeOverProt = 1601,
  kGetOver = 1001,
  kListFileNames = 1033,
};

int DescriptionFilter(void* record, VEK_Catalog* c) {
  return std::strcmp(static_cast<VEK_Object*>(record)->description, c->info.filter) == 0 ? 1 : 0;
}

// Runs an opened request into `out`, unpacking every row into a Record. With
// `onePerBackupId`, a version whose backup id was seen replaces the kept one
// only when its rank field is lower.
template <class Record>
int Collect(VEK_Catalog* c, bool opened, array_t* out, VEK_UnpackFn unpack, ArrayFreeFn freeRecord,
            bool onePerBackupId = false) {
  if (out != nullptr && out->blksz == 0) array_init(out, ARRAY_VALUES, sizeof(Record), freeRecord);
  if (!opened) return kVekQueryFailed;
  c->info.unpack = unpack;
  std::unordered_map<std::string, int> seen;
  Record record{};
  while (VEK_QueryFetch(c, &record)) {
    if (out == nullptr) {
      if (freeRecord != nullptr) freeRecord(&record);
      continue;
    }
    if (onePerBackupId) {
      const VEK_Version& v = *reinterpret_cast<VEK_Version*>(&record);
      auto [it, fresh] = seen.try_emplace(v.backupId, out->count);
      if (!fresh) {
        auto* kept = static_cast<VEK_Version*>(array_get(out, it->second));
        if (v.value[kVekVersionRankField] < kept->value[kVekVersionRankField]) {
          freeRecord(kept);
          array_set(out, it->second, &record);
        } else {
          freeRecord(&record);
        }
        record = Record{};
        continue;
      }
    }
    if (array_push(out, &record) == nullptr) {
      if (freeRecord != nullptr) freeRecord(&record);
      c->query.error = kQueryBadMessage;
      break;
    }
    record = Record{};
  }
  const int rc = VEK_QueryRetval(c);
  VEK_QueryClose(c);
  return rc;
}

// Moves the array's block to the caller.
template <class Record>
int Hand(int rc, array_t* a, int* count, Record** records) {
  *count = 0;
  *records = nullptr;
  if (rc != 0) {
    array_free(a);
    return rc;
  }
  *count = a->count;
  *records = static_cast<Record*>(a->data);
  *a = array_t{};
  return 0;
}

}  // namespace

int VEK_IpcRead(IpcHandle handle, char** message, int timeout) {
  static const char kFn[] = "VEK_IpcRead";
  *message = nullptr;
  StrMsg msg;
  StrMsgInitL(&msg);
  const int n = IpcReceiveStrMsgExL(handle, &msg, timeout);
  if (n <= 0) {
    StrMsgFreeL(&msg);
    if (n == 0)
      ErhMark(ECSAPEERCLOSED, 0, kFn, 2);
    else
      ErhPromoteError(ErhErrno() == EIPCINTR ? ECSAINTERRUPTED : ECSACONNECTION);
    return -1;
  }
  char* text = StrMsgDetachRBufL(&msg);
  if (text == nullptr) {
    text = static_cast<char*>(safe_malloc(static_cast<std::size_t>(n) + 2, TARN_HERE));
    if (text != nullptr) {
      std::memcpy(text, StrMsgGetRBufL(&msg), static_cast<std::size_t>(n));
      text[n] = text[n + 1] = '\0';
    }
  }
  StrMsgFreeL(&msg);
  *message = text;
  return text != nullptr ? 0 : -1;
}

int VEK_IpcWrite(IpcHandle handle, const char* message) {
  StrMsg msg;
  StrMsgInitL(&msg);
  int rc = StrMsgCopyNew(message, 0, &msg) == 0 ? IpcSendStrMsgL(handle, &msg) : -1;
  if (rc < 0) ErhPromoteError(ErhErrno() == EIPCINTR ? ECSAINTERRUPTED : ECSACONNECTION);
  StrMsgFreeL(&msg);
  return rc < 0 ? -1 : 0;
}

int VEK_CatalogStart(VEK_Catalog* c) {
  static const char kFn[] = "VEK_StartQueries";
  if (c == nullptr) return kVekQueryNoContext;
  query_setio(VEK_IpcRead, VEK_IpcWrite);
  if (c->handle >= 0) {
    DbgPlain(kLevel, "[%s] dbsm is already connected on handle %d", kFn, c->handle);
    return 0;
  }
  // The session connection must survive the stop of a client started here,
  // so the IPC layer is started here when nobody runs it.
  if (!IpcIsInitialized() && IpcInit() != 0) return kVekQuerySessionFailed;
  const bool started = !CsaIsInitialized();
  if (started && MCsaInit(VEK_CellServer()) != 0) return kVekQuerySessionFailed;
  char buffer[64];
  StrMsg start;
  StrMsgInitL(&start);
  IpcHandle handle = -1;
  if (StrMsgStartExL(&start, buffer, sizeof buffer, kVekCatalogSession, 1) == 0)
    handle = MCsaStartSession(0, kVekCatalogSession, StrMsgGetBufL(&start));
  if (handle < 0) {
    DbgPlain(kLevel, "[%s] CsaStartSession (DBSM) failed. Error: %s", kFn, ErhErrnoToText());
    ErhFullReportPacked(kFn, kErhMinor,
                        NlsPackMessage(kBarMsgSet, kBarMsgCatalogSession, ErhErrnoToText()));
    if (started) CsaExitEx(kCsaStartedIpc);
    return kVekQuerySessionFailed;
  }
  if (started) CsaExitEx(kCsaStartedIpc);
  c->handle = handle;
  if (c->mirror != nullptr) *c->mirror = handle;
  DbgPlain(kLevel, "[%s] dbCsaHandle=%d", kFn, handle);
  return 0;
}

int VEK_CatalogEnd(VEK_Catalog* c) {
  static const char kFn[] = "VEK_EndQueries";
  if (c == nullptr) return kVekQueryNoContext;
  if (c->handle < 0) {
    DbgPlain(kLevel, "[%s] Session already disconnected.", kFn);
    return 0;
  }
  query_close(&c->query);
  if (MCsaDisconnectSession(c->handle) != 0) IpcShutdownAndCloseConnection(c->handle);
  c->handle = -1;
  if (c->mirror != nullptr) *c->mirror = -1;
  return 0;
}

int VEK_QueryOpenV(VEK_Catalog* c, int id, const char* format, va_list args) {
  static const char kFn[] = "VEK_QueryOpen";
  c->info = VEK_QueryInfo{};
  c->query.strict = 1;
  if (c->handle < 0) {
    DbgPlain(kLevel, "[%s] No catalogue session.", kFn);
    ErhMark(ECSACONNECTION, 0, kFn, kErhMinor);
    c->query = query_t{};
    c->query.error = kQueryWriteFailed;
    return kVekQueryFailed;
  }
  if (!query_openv(&c->query, c->handle, id, format, args)) {
    DbgPlain(kLevel, "[%s] request %d failed: %d", kFn, id, c->query.error);
    ErhFullReportPacked(kFn, kErhMinor,
                        NlsPackMessage(kBarMsgSet, kBarMsgCatalogStart, ErhErrnoToText()));
    return kVekQueryFailed;
  }
  return 0;
}

int VEK_QueryOpen(VEK_Catalog* c, int id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int rc = VEK_QueryOpenV(c, id, format, args);
  va_end(args);
  return rc;
}

bool VEK_QueryRead(VEK_Catalog* c) {
  static const char kFn[] = "VEK_QueryRead";
  if (query_read(&c->query)) return true;
  switch (c->query.error) {
    case kQueryBadMessage:
      ErhFullReportPacked(kFn, kErhMinor,
                          NlsPackMessage(kBarMsgSet, kBarMsgCatalogParse, ErhErrnoToText()));
      break;
    case kQueryEndedWithError:
      ErhFullReportPacked(kFn, kErhMinor,
                          NlsPackMessage(kBarMsgSet, kBarMsgCatalogQuery, ErhErrnoToText()));
      break;
    case kQueryReadFailed:
      ErhFullReportPacked(kFn, kErhMinor,
                          NlsPackMessage(kBarMsgSet, kBarMsgCatalogRead, ErhErrnoToText()));
      break;
    case kQueryUnexpected:
      ErhFullReportPacked(kFn, kErhMinor,
                          NlsPackMessage(kBarMsgSet, kBarMsgCatalogUnexpected, c->query.lastId));
      break;
    default: break;
  }
  return false;
}

int VEK_QueryUnpack(VEK_Catalog* c, void* record) {
  if (c->info.unpack == nullptr) return 0;
  if (c->info.unpack(c->query.fields.data(), static_cast<int>(c->query.fields.size()), record) == 0)
    return 0;
  c->query.error = kQueryBadMessage;
  return -1;
}

bool VEK_QueryFetch(VEK_Catalog* c, void* record) {
  for (;;) {
    if (!VEK_QueryRead(c)) return false;
    if (c->info.unpack == nullptr) return true;
    if (VEK_QueryUnpack(c, record) != 0) return false;
    if (c->info.post == nullptr || c->info.post(record, c) != 0) return true;
  }
}

int VEK_QueryRetval(VEK_Catalog* c) {
  return c->query.error != 0 ? kVekQueryFailed : 0;
}

void VEK_QueryClose(VEK_Catalog* c) {
  static const char kFn[] = "VEK_QueryClose";
  const bool inStep = query_close(&c->query);
  c->info = VEK_QueryInfo{};
  if (!inStep && c->handle >= 0) {
    DbgPlain(kLevel, "[%s] Catalogue session out of step; closing it.", kFn);
    VEK_CatalogEnd(c);
  }
}

int VEK_QueryObjects2(VEK_Catalog* c, int type, const char* filter, array_t* out) {
  const bool opened = VEK_QueryOpen(c, kListObjects, "%d", type) == 0;
  if (filter != nullptr && filter[0] != '\0') {
    StrCopy(c->info.filter, filter, kVekQueryFilterMax);
    c->info.post = DescriptionFilter;
  }
  return Collect<VEK_Object>(c, opened, out, VEK_ObjectUnpack, nullptr);
}

int VEK_QueryObjectsPartName2(VEK_Catalog* c, int type, const char* part, const char* filter,
                              array_t* out) {
  const bool opened =
      VEK_QueryOpen(c, kListPartOfObject, "%d%s", type, part != nullptr ? part : "") == 0;
  if (filter != nullptr && filter[0] != '\0') {
    StrCopy(c->info.filter, filter, kVekQueryFilterMax);
    c->info.post = DescriptionFilter;
  }
  return Collect<VEK_Object>(c, opened, out, VEK_ObjectUnpack, nullptr);
}

int VEK_QueryObjectsOfSessionEx2(VEK_Catalog* c, const char* a, const char* b, const char* d,
                                 int onePerBackupId, array_t* out) {
  const bool opened = VEK_QueryOpen(c, kListOverOfAppBackup, "%s%s%s", a, b, d) == 0;
  return Collect<VEK_ObjectVersion>(c, opened, out, VEK_ObjectVersionUnpack, VEK_ObjectVersionFree,
                                    onePerBackupId != 0);
}

int VEK_QueryObjectVersionsEx2(VEK_Catalog* c, const char* object, int onePerBackupId,
                               array_t* out) {
  const bool opened = VEK_QueryOpen(c, kListVerOfObject, "%s%d%d", object, 0, 0) == 0;
  return Collect<VEK_Version>(c, opened, out, VEK_VersionUnpack, VEK_VersionFree,
                              onePerBackupId != 0);
}

int VEK_QueryObjectVersionsFast2(VEK_Catalog* c, const char* object, int number, array_t* out) {
  const bool opened = VEK_QueryOpen(c, kListVerOfObject, "%s%d%d", object, 0, number) == 0;
  return Collect<VEK_Version>(c, opened, out, VEK_VersionUnpack, VEK_VersionFree);
}

int VEK_QueryGetObjectVersion(VEK_Catalog* c, int versionId, VEK_ObjectVersion* out) {
  *out = VEK_ObjectVersion{};
  if (VEK_QueryOpen(c, kGetOver, "%d", versionId) != 0) return kVekQueryFailed;
  // The record comes with the MSG_RESULT, so the read ends with false.
  VEK_QueryRead(c);
  int rc = VEK_QueryRetval(c);
  if (rc == 0 && (c->query.fields.empty() ||
                  VEK_ObjectVersionUnpack(c->query.fields.data(),
                                          static_cast<int>(c->query.fields.size()), out) != 0)) {
    c->query.error = kQueryBadMessage;
    rc = kVekQueryFailed;
  }
  VEK_QueryClose(c);
  return rc;
}

int VEK_QueryCatalog2(VEK_Catalog* c, int number, array_t* out) {
  return Collect<VEK_Item>(c, VEK_QueryOpen(c, kListCatalog, "%d", number) == 0, out,
                           VEK_ItemUnpack, nullptr);
}

int VEK_QueryFileNames(VEK_Catalog* c, int number, const char* a, const char* b, array_t* out) {
  return Collect<VEK_FileName>(c, VEK_QueryOpen(c, kListFileNames, "%d%s%s", number, a, b) == 0,
                               out, VEK_FileNameUnpack, nullptr);
}

int VEK_QueryFbVersions(VEK_Catalog* c, const char* name, int n1, int n2, array_t* out) {
  const bool opened = VEK_QueryOpen(c, kFbListAllOver, "%s%d%d%d%d%d", name, n1, n2, 0, 0, 0) == 0;
  return Collect<VEK_ObjectVersion>(c, opened, out, VEK_ObjectVersionUnpack, VEK_ObjectVersionFree);
}

int VEK_QueryFbDir(VEK_Catalog* c, int number, const char* dir, array_t* out) {
  return Collect<VEK_Item>(c, VEK_QueryOpen(c, kFbListDir, "%d%s", number, dir) == 0, out,
                           VEK_ItemUnpack, nullptr);
}

int VEK_QueryPatternSearch2(VEK_Catalog* c, const char* a, const char* b, const char* d, int n1,
                            int n2, int n3, array_t* out) {
  const bool opened =
      VEK_QueryOpen(c, kPatternSearch, "%s%s%s%d%d%d%d%d", a, b, d, n1, n2, n3, 0, 0) == 0;
  return Collect<VEK_Item>(c, opened, out, VEK_ItemUnpack, nullptr);
}

int VEK_QueryFileVersions2(VEK_Catalog* c, const char* name, array_t* out) {
  return Collect<VEK_ItemVersion>(c, VEK_QueryOpen(c, kFbListFileVers, "%d%s", 0, name) == 0, out,
                                  VEK_ItemVersionUnpack, VEK_ItemVersionFree);
}

int VEK_QueryMedia2(VEK_Catalog* c, int n1, int n2, array_t* out) {
  return Collect<VEK_Medium>(c, VEK_QueryOpen(c, kListMediaOfOver, "%d%d", n1, n2) == 0, out,
                             VEK_MediumUnpack, nullptr);
}

int VEK_QueryObjects(VEK_Catalog* c, int type, const char* filter, int* count,
                     VEK_Object** records) {
  array_t a{};
  return Hand(VEK_QueryObjects2(c, type, filter, &a), &a, count, records);
}

int VEK_QueryObjectsPartName(VEK_Catalog* c, int type, const char* part, const char* filter,
                             int* count, VEK_Object** records) {
  array_t a{};
  return Hand(VEK_QueryObjectsPartName2(c, type, part, filter, &a), &a, count, records);
}

int VEK_QueryObjectsOfSessionEx(VEK_Catalog* c, const char* x, const char* y, const char* z,
                                int onePerBackupId, int* count, VEK_ObjectVersion** records) {
  array_t a{};
  return Hand(VEK_QueryObjectsOfSessionEx2(c, x, y, z, onePerBackupId, &a), &a, count, records);
}

int VEK_QueryObjectVersionsEx(VEK_Catalog* c, const char* object, int onePerBackupId, int* count,
                              VEK_Version** records) {
  array_t a{};
  return Hand(VEK_QueryObjectVersionsEx2(c, object, onePerBackupId, &a), &a, count, records);
}

int VEK_QueryObjectVersionsFast(VEK_Catalog* c, const char* object, int number, int* count,
                                VEK_Version** records) {
  array_t a{};
  return Hand(VEK_QueryObjectVersionsFast2(c, object, number, &a), &a, count, records);
}

int VEK_QueryCatalog(VEK_Catalog* c, int number, int* count, VEK_Item** records) {
  array_t a{};
  return Hand(VEK_QueryCatalog2(c, number, &a), &a, count, records);
}

int VEK_QueryPatternSearch(VEK_Catalog* c, const char* x, const char* y, const char* z, int n1,
                           int n2, int n3, int* count, VEK_Item** records) {
  array_t a{};
  return Hand(VEK_QueryPatternSearch2(c, x, y, z, n1, n2, n3, &a), &a, count, records);
}

int VEK_QueryFileVersions(VEK_Catalog* c, const char* name, int* count, VEK_ItemVersion** records) {
  array_t a{};
  return Hand(VEK_QueryFileVersions2(c, name, &a), &a, count, records);
}

int VEK_QueryMedia(VEK_Catalog* c, int n1, int n2, int* count, VEK_Medium** records) {
  array_t a{};
  return Hand(VEK_QueryMedia2(c, n1, n2, &a), &a, count, records);
}

int VEK_ChangeOVProtection(VEK_Catalog* c, int versionId, int n2, int n3) {
  if (VEK_QueryOpen(c, kChangeOverProt, "%d%d%d", versionId, n2, n3) != 0) return kVekQueryFailed;
  while (VEK_QueryRead(c)) {
  }
  const int rc = VEK_QueryRetval(c);
  VEK_QueryClose(c);
  return rc;
}
