// Restore sessions, objects and items: the object request and the restore
// data path of each object, and the record walk that gives back each item's
// attributes, extended attributes and data.
#include "bar2/barrestore.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barcodec.h"
#include "bar2/barimpl.h"
#include "bar2/baropt.h"
#include "bar2/barprofmsg.h"
#include "bar2/bartransform.h"
#include "barutil/barmsg.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "dacmn/rbm.h"
#include "ipc/ipc.h"
#include "vekdf/daformat.h"
#include "vekdf/daview.h"

TARN_RCSID("integ/bar2/barrestore.cpp");

using bar2_detail::CopyText;
using bar2_detail::ParamFail;

namespace {

constexpr int kLevel = 1;
constexpr int kLevelData = 199;
constexpr std::uint32_t kAclPrivateObjects = 0x80000;
constexpr std::uint32_t kAclRestore = 0x20;
constexpr char kRestoreWords[] = "-save /my/soul -to /dev/null";
// Results of the item calls beside the BarResult codes.
constexpr int kNoRecord = -1;
constexpr int kEndOfObject = -6;
constexpr int kCallbackFailed = -7;

// The record VEK_RbmNextRecord made current; empty when there is none.
std::span<std::uint8_t> Current(const BarContext* ctx) {
  if (ctx->item.restoreRecord == nullptr) return {};
  return {static_cast<std::uint8_t*>(ctx->item.restoreRecord), ctx->item.recBytes};
}

// Records are at least a header long (VEK_RbmNextRecord checks).
std::uint32_t TypeOf(std::span<const std::uint8_t> record) {
  DaRecHeader header;
  std::memcpy(&header, record.data(), sizeof header);
  return header.type;
}

std::span<std::uint8_t> Step(BarContext* ctx) {
  VEK_RbmNextRecord(ctx);
  return Current(ctx);
}

bool IsAttribute(std::uint32_t type) {
  return type == DA_REC_OBJ_ATTR || type == DA_REC_OBJ_NOCAT || type == DA_REC_OBJ_NT_ATTR ||
         type == DA_REC_OBJ_NT_NOCAT;
}

bool IsItemEnd(std::uint32_t type) {
  return type == DA_REC_OBJ_END || type == DA_REC_OBJ_ERR;
}

// Item id and completion code of an item end or item error record.
bool ReadItemEnd(std::span<const std::uint8_t> record, std::uint32_t* itemId, std::uint32_t* code) {
  if (TypeOf(record) == DA_REC_OBJ_END) {
    DaObjEndView view{};
    if (!DaViewObjEnd(record, &view)) return false;
    *itemId = view.itemId;
    *code = view.code;
    return true;
  }
  DaErrView view{};
  if (!DaViewErr(record, &view)) return false;
  *itemId = view.itemId;
  *code = view.code;
  return true;
}

// Traces of a record of another item than the current one.
constexpr char kMismatchRead[] = "[%s] Mismatched ItemID: record=%d, session=%d";
constexpr char kMismatchWalk[] = "[%s] Mismatched itemID: record=%d, session=%d";

int Damaged(BarContext* ctx, const char* fn, std::uint32_t type) {
  DbgPlain(kLevel, "[%s] Damaged record of type %d.", fn, static_cast<int>(type));
  return BarFail(ctx, BAR_ECOMM);
}

// 0 when `itemId` is the current item's; else traces `mismatch` and fails.
int CheckItem(BarContext* ctx, const char* fn, const char* mismatch, std::uint32_t itemId) {
  if (itemId == static_cast<std::uint32_t>(ctx->item.itemId)) return 0;
  DbgPlain(kLevel, mismatch, fn, static_cast<int>(itemId), ctx->item.itemId);
  return BarFail(ctx, BAR_ECOMM);
}

// The current item's end or error record: 0 and its completion code, or -2
// (traced) for a damaged record or one of another item.
int TakeItemEnd(BarContext* ctx, const char* fn, const char* mismatch,
                std::span<const std::uint8_t> record, std::uint32_t* code) {
  std::uint32_t itemId = 0;
  if (!ReadItemEnd(record, &itemId, code)) return Damaged(ctx, fn, TypeOf(record));
  return CheckItem(ctx, fn, mismatch, itemId);
}

// The current item's data record, whose data length fits an int: 0 and its
// view, or -2 (traced).
int TakeData(BarContext* ctx, const char* fn, const char* mismatch, std::span<std::uint8_t> record,
             DaDataView* view) {
  if (!DaViewData(record, view) || view->data.size() > static_cast<std::size_t>(INT_MAX))
    return Damaged(ctx, fn, TypeOf(record));
  return CheckItem(ctx, fn, mismatch, view->itemId);
}

// The part of the current data record not read yet.
std::span<std::uint8_t> Unread(const BarContext* ctx, const DaDataView& view) {
  const std::size_t left =
      std::min(view.data.size(), static_cast<std::size_t>(std::max(ctx->item.recSpaceLeft, 0)));
  return view.data.subspan(view.data.size() - left);
}

// Copies the extended attributes of a system record, at most `room` bytes.
void CopyExtAttr(std::span<const std::uint8_t> record, void* buffer, int* size) {
  DaSysView view{};
  if (!DaViewSys(record, &view) || view.format != kDaFmtSys || view.data.empty()) return;
  if (buffer == nullptr || size == nullptr) return;
  const std::size_t copied = DaCopySysData(
      view, std::span<std::uint8_t>(static_cast<std::uint8_t*>(buffer), kBarExtAttrMax));
  if (copied < view.data.size())
    DbgPlain(kLevel, "[VEK_StartItemRestoreEx] Extended attributes of %zu bytes cut to %zu.",
             view.data.size(), copied);
  *size = static_cast<int>(copied);
}

// Clears `item` and fills what both attribute record forms carry.
template <class View>
void FillItem(const View& view, VEK_Item* item) {
  *item = VEK_Item{};
  item->id = view.itemId;
  item->number2 = view.fileType;
  item->size = view.size;
  item->mtime = view.modifyTime;
  item->number9 = view.attributes;
}

// The item's name in the record, cut to its field.
void CopyInlineName(VEK_Item* item, std::string_view name) {
  const std::size_t n = std::min(name.size(), static_cast<std::size_t>(kVekNameMax));
  std::memcpy(item->name, name.data(), n);
  item->name[n] = '\0';
}

const char* ItemNameText(const BarContext* ctx) {
  const char* name = CmnVarCastText(ctx->item.itemName);
  return name != nullptr ? name : "";
}

// The compression library's write callback: hands the data on to the
// caller's, which the object's codecs hold while the library runs.
int DecompressWrite(void* data, int length, void* context) {
  const auto* ctx = static_cast<const BarContext*>(context);
  const VekWriteCallback write = ctx != nullptr ? ctx->object.codecs.decompressWrite : nullptr;
  return write != nullptr ? write(data, length, context) : -1;
}

}  // namespace

// ---------------------------------------------------------------- session

int VEK_StartRestoreEx(BarContext* ctx, const SessionConnectOptions* options) {
  static const char kFn[] = "VEK_StartRestoreEx";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  const char* barlist = options != nullptr && options->barlist != nullptr ? options->barlist : "";
  DbgPlain(kLevel, "barlist: %s", barlist);
  if (BarCheckMode(ctx, kFn, BAR_MODE_IDLE) != 0) return BAR_ESEQUENCE;
  const char* denied = nullptr;
  if ((ctx->access & kAclPrivateObjects) == 0)
    denied = "[%s] User (%s.%s@%s) does not have permissions to see private objects (aclInfo: %d).";
  else if ((ctx->access & kAclRestore) == 0)
    denied = "[%s] User (%s.%s@%s) does not have permissions to start restore (aclInfo: %d).";
  if (denied != nullptr) {
    DbgPlain(kLevel, denied, kFn, ctx->appType, ctx->appName, static_cast<const char*>(cmnHostname),
             static_cast<int>(ctx->access));
    ErhFullReportPacked(kFn, kErhMajor,
                        NlsPackMessage(kBarMsgSet, kBarMsgNoRestoreRights, ctx->appType,
                                       ctx->appName, static_cast<const char*>(cmnHostname)));
    return BarFail(ctx, BAR_EPERM);
  }
  if (barlist != ctx->session.barlist) CopyText(ctx->session.barlist, barlist);
  ctx->session.sessId[0] = '\0';
  bar2_detail::InstallSessionHooks();
  SessionConnectOptions connect = options != nullptr ? *options : SessionConnectOptions{};
  connect.barlist = ctx->session.barlist;
  if (VEK_ConnectSession(ctx, kBarSessionRestore, &connect) != 0) return BarFail(ctx, BAR_ECOMM);
  ctx->mode = BAR_MODE_RESTORE;
  return 0;
}

int VEK_StartRestore(BarContext* ctx, const char* barlist) {
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  SessionConnectOptions options{};
  options.barlist = barlist;
  const int rc = VEK_StartRestoreEx(ctx, &options);
  ctx->lastCode = rc;
  return rc;
}

int VEK_EndRestore(BarContext* ctx, int code) {
  static const char kFn[] = "VEK_EndRestore";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_RESTORE, BAR_MODE_IDLE) != 0)
    return BarFail(ctx, BAR_ESEQUENCE);
  bar2_detail::ClearLastResult(ctx);
  ErhClearError();
  if (ctx->session.smHandle != kIpcNoHandle || ctx->session.sessGuid[0] != '\0')
    DbgPlain(kLevel, "[%s] Disconnecting from Session Manager.", kFn);
  BarEndSession(ctx, code);
  ctx->mode = BAR_MODE_IDLE;
  ctx->session.sessGuid[0] = '\0';
  return 0;
}

// ---------------------------------------------------------------- object

int VEK_StartObjectRestoreEx(BarContext* ctx, const char* objectName, const char* sessionId,
                             const char* tree, int versionId) {
  static const char kFn[] = "VEK_StartObjectRestoreEx";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  DbgPlain(kLevel, "objectname: %s\nsessionID : %s\ntree      : %s\novID      : %d\n",
           objectName != nullptr ? objectName : "(null)", sessionId != nullptr ? sessionId : "",
           tree != nullptr ? tree : "", versionId);
  if (BarCheckMode(ctx, kFn, BAR_MODE_RESTORE) != 0) return BAR_ESEQUENCE;
  if (objectName == nullptr || objectName[0] == '\0' || std::strlen(objectName) > kBarObjNameMax)
    return ParamFail(ctx, kFn,
                     "!StrIsEmptyA(objectname) && StrLen(objectname)<= (10+1+64+1+1023+4 +80+1)");
  if (versionId < 0) return ParamFail(ctx, kFn, "ovID>=0");
  CopyText(ctx->object.objName, objectName);
  CopyText(ctx->session.sessId, sessionId != nullptr ? sessionId : "");
  bar2_detail::ClearLastResult(ctx);
  ErhClearError();

  OptHolder held;
  IntegOptions& opts = *held.get();
  if (ctx->smLink != 0) {
    const SessionConnectOptions connect = bar2_detail::SessionOptionsOf(ctx, kBarSessionRestore);
    if (ctx->session.smHandle == kIpcNoHandle &&
        VEK_ConnectSession(ctx, kBarSessionRestore, &connect) != 0)
      return BarFail(ctx, BAR_ECOMM);
    StrMsg request;
    StrMsgInitL(&request);
    const std::string version = std::to_string(versionId);
    int rc = StrMsgStartExL(&request, nullptr, 0, MSG_BAROPT, 0) == 0 &&
                     StrMsgNAppendL(&request, ctx->appName, ctx->object.objName,
                                    ctx->session.sessId, "0", tree != nullptr ? tree : "",
                                    version.c_str(), kRestoreWords, nullptr) == 0
                 ? 0
                 : BAR_EPARAM;
    if (rc == 0) {
      DbgPlain(kLevel, "[%s] Receiving message from RSM.", kFn);
      rc = VEK_RequestObject(ctx, kBarSessionRestore, &request, &opts);
    }
    StrMsgFreeL(&request);
    if (rc != 0) {
      return BarFail(ctx, rc);
    }
  }

  ctx->object.counters.objBeginTime = bar2_detail::Now();
  VEK_RestartDebugging(ctx, opts.dbgPostfix, opts.dbgRanges, opts.dbgSelect);
  if (int rc = BarStartRestoreTransforms(ctx); rc != 0) {
    return bar2_detail::AbortObjectStart(ctx, rc);
  }

  ctx->item.Reset();
  const char* postfix = ctx->dbgPostfix != nullptr ? ctx->dbgPostfix.get() : "";
  DbgPlain(kLevel, "[%s] About to execute RbmInit.", kFn);
  if (RbmInit(ctx->reportName, ctx->dbgRanges, postfix, ctx->dbgSelect, ctx->reportLevel,
              ctx->smLink, ctx->session.smHandle, nullptr, opts.daId, opts.maHost, opts.maPort,
              opts.output, opts.netLoad) == 0) {
    DbgPlain(kLevel,
             "[%s] RbmInit returned error. Error: %s\n\treportName: %s\n\tdbgRanges: %s\n"
             "\tdbgPostfix: %s\n\tdbgSelect: %s\n\treportLevel: %d\n\tsmLink: %d\n"
             "\tsmHandle: %d\n\tdaId: %d\n\tmaHost: %s\n\tmaPort: %d\n\toutput: %s\n"
             "\tnetLoad: %f",
             kFn, ErhGetErrorInfo(), ctx->reportName, ctx->dbgRanges, postfix, ctx->dbgSelect,
             ctx->reportLevel, ctx->smLink, ctx->session.smHandle, opts.daId, opts.maHost,
             opts.maPort, opts.output != nullptr ? opts.output : "", opts.netLoad);
    return bar2_detail::AbortObjectStart(ctx, BAR_ECOMM);
  }
  bar2_detail::TakeObjectOptions(ctx, opts);
  ctx->object.maLocal = IpcIPIsLocal(ctx->object.maHost) != 0 ? 1 : 0;
  bar2_detail::ReportObject(kFn, kBarMsgRestoreStarted, ctx->object.objName, true);
  ctx->mode = BAR_MODE_OBJECT_RESTORE;
  return 0;
}

int VEK_EndObjectRestore(BarContext* ctx, int code) {
  static const char kFn[] = "VEK_EndObjectRestore";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  DbgPlain(kLevel, "[%s] completionCode: %d", kFn, code);
  if (BarCheckMode(ctx, kFn, BAR_MODE_OBJECT_RESTORE) != 0) return BAR_ESEQUENCE;
  bar2_detail::ClearLastResult(ctx);
  ErhClearError();
  bar2_detail::LinkUpdateStatus(ctx, 0, 1);
  if (ctx->object.profile == 0) {
    DbgPlain(kLevel, "[%s] profile option not set.", kFn);
  } else {
    DbgPlain(kLevel, "[%s] profile option set. Displaying statistics.", kFn);
    bar2_detail::ReportProfile(kFn, kBarRestoreMsgSet, kBarRestoreMsgProfile, ctx);
  }
  ctx->object.counters = {};
  BarEndTransforms(ctx);
  RbmExit(0);
  ctx->item.DropRestoreRecord();
  bar2_detail::ReportObject(kFn, kBarMsgRestoreCompleted, ctx->object.objName, true);
  const int rc = bar2_detail::ReopenSession(ctx, kFn, code, VEK_StartRestore);
  ctx->object.maLocal = -1;
  return rc;
}

// ---------------------------------------------------------------- items

int VEK_ReadObjAttr(BarContext* ctx, std::span<const std::uint8_t> record, VEK_Item* item) {
  DaAttrView view{};
  if (!DaViewAttr(record, &view)) return BarFail(ctx, BAR_ECOMM);
  FillItem(view, item);
  item->uid = view.uid;
  item->gid = view.gid;
  item->mode = view.mode;
  item->number10 = static_cast<std::int64_t>(view.quantity);
  CmnVarFree(&ctx->item.itemName);
  ctx->item.itemName = CmnVarTextN(view.name.data(), view.name.size());
  CopyInlineName(item, view.name);
  return 0;
}

int VEK_ReadNtObjAttr(BarContext* ctx, std::span<const std::uint8_t> record, VEK_Item* item) {
  DaNtAttrView view{};
  if (!DaViewNtAttr(record, &view)) return BarFail(ctx, BAR_ECOMM);
  FillItem(view, item);
  item->mode = view.attrBits;
  // The name's units are little-endian and need not be aligned in the record.
  std::vector<char16_t> wide(view.nameUtf16.size() / 2 + 1, u'\0');
  for (std::size_t i = 0; i + 1 < view.nameUtf16.size(); i += 2)
    wide[i / 2] = static_cast<char16_t>(view.nameUtf16[i] | view.nameUtf16[i + 1] << 8);
  CmnVarFree(&ctx->item.itemName);
  if (CmnVarCopyW2S(&ctx->item.itemName, wide.data()) == nullptr) return BarFail(ctx, BAR_ECOMM);
  CopyInlineName(item, ItemNameText(ctx));
  return 0;
}

int VEK_StartItemRestoreEx(BarContext* ctx, const char* name, VEK_Item* item, void* attrBuffer,
                           int* attrSize) {
  static const char kFn[] = "VEK_StartItemRestoreEx";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_OBJECT_RESTORE) != 0) return BAR_ESEQUENCE;
  if (name != nullptr) return ParamFail(ctx, kFn, "name == ((void *)0)");
  if (item == nullptr) return ParamFail(ctx, kFn, "item != ((void *)0)");
  bar2_detail::ClearLastResult(ctx);
  ErhClearError();
  // The size is only an output: what was copied, 0 for an item without
  // extended attributes.
  if (attrBuffer != nullptr && attrSize != nullptr) *attrSize = 0;

  bool haveAttr = false;
  for (std::span<std::uint8_t> rec = Step(ctx);; rec = Step(ctx)) {
    if (rec.empty()) {
      DbgPlain(kLevel, "[%s] Got unexpected data from tape. Error: %s", kFn, ErhGetErrorInfo());
      return BarFail(ctx, BAR_ECOMM);
    }
    const std::uint32_t type = TypeOf(rec);
    // The extended attributes follow the attribute record (and its
    // encryption record): they still belong to the item's head.
    if (haveAttr && type != DA_REC_OBJ_CRYPT && type != DA_REC_OBJ_SYS) break;
    switch (type) {
      case DA_REC_OBJ_ATTR:
      case DA_REC_OBJ_NOCAT:
        DbgPlain(kLevel,
                 type == DA_REC_OBJ_ATTR ? "[%s] Got DA_REC_OBJ_ATTR" : "[%s] Got DA_REC_OBJ_NOCAT",
                 kFn);
        if (VEK_ReadObjAttr(ctx, rec, item) != 0) return Damaged(ctx, kFn, type);
        ctx->item.itemId = static_cast<int>(item->id);
        haveAttr = true;
        break;
      case DA_REC_OBJ_NT_ATTR:
      case DA_REC_OBJ_NT_NOCAT:
        DbgPlain(kLevel,
                 type == DA_REC_OBJ_NT_ATTR ? "[%s] Got DA_REC_OBJ_NT_ATTR"
                                            : "[%s] Got DA_REC_OBJ_NT_NOCAT",
                 kFn);
        if (VEK_ReadNtObjAttr(ctx, rec, item) != 0) return Damaged(ctx, kFn, type);
        ctx->item.itemId = static_cast<int>(item->id);
        haveAttr = true;
        break;
      case DA_REC_OBJ_SYS:
        DbgPlain(kLevel, "[%s] Got DA_REC_OBJ_SYS", kFn);
        CopyExtAttr(rec, attrBuffer, attrSize);
        break;
      case DA_REC_END:
        DbgPlain(kLevel, "[%s] Got DA_REC_END", kFn);
        return BarFail(ctx, kEndOfObject);
      case DA_REC_OBJ_CRYPT:
        DbgPlain(kLevel, "[%s] Got DA_REC_OBJ_CRYPT", kFn);
        if (ctx->object.codecs.encrHandle == nullptr && VEK_InitEncryption(ctx, 0) != 0)
          return BarFail(ctx, BAR_ECOMM);
        if (VEK_ProcessEncryptMetaData(ctx, rec) != 0) {
          DbgPlain(kLevel,
                   "[%s] VEK_ProcessEncryptMetaData failed: Got unexpected data from tape. "
                   "Error: %s",
                   kFn, ErhGetErrorInfo());
          return BarFail(ctx, BAR_ECOMM);
        }
        break;
      default: break;
    }
  }
  ctx->mode = BAR_MODE_ITEM_RESTORE;
  DbgPlain(kLevel, "[%s] itemname=%s", kFn, ItemNameText(ctx));
  return 0;
}

int VEK_ReadItemData(BarContext* ctx, void* buffer, int length) {
  static const char kFn[] = "VEK_ReadItemData";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_ITEM_RESTORE) != 0) return BAR_ESEQUENCE;
  if (buffer == nullptr) return ParamFail(ctx, kFn, "bufPtr != ((void *)0)");
  if (length < 0) return ParamFail(ctx, kFn, "length >= 0");
  auto* out = static_cast<std::uint8_t*>(buffer);
  int done = 0;
  std::span<std::uint8_t> rec = Current(ctx);
  while (done < length) {
    if (rec.empty()) {
      DbgPlain(kLevel, "[%s] Null record. ts->sessionOpts.recPtr: NULL", kFn);
      return BarFail(ctx, BAR_ECOMM);
    }
    const std::uint32_t type = TypeOf(rec);
    if (IsAttribute(type) || type == DA_REC_END) {
      DbgPlain(kLevel, "[%s] Unexpected record type %d", kFn, static_cast<int>(type));
      return BarFail(ctx, BAR_ECOMM);
    }
    if (type == DA_REC_OBJ_DATA) {
      DaDataView view{};
      if (const int rc = TakeData(ctx, kFn, kMismatchRead, rec, &view); rc != 0) return rc;
      const std::span<std::uint8_t> unread = Unread(ctx, view);
      const std::size_t n = std::min(unread.size(), static_cast<std::size_t>(length - done));
      if (n != 0) std::memcpy(out + done, unread.data(), n);
      done += static_cast<int>(n);
      ctx->item.recSpaceLeft = static_cast<int>(unread.size() - n);
      if (ctx->item.recSpaceLeft == 0) rec = Step(ctx);
      continue;
    }
    if (IsItemEnd(type)) {
      std::uint32_t code = 0;
      const int rc = TakeItemEnd(ctx, kFn, kMismatchRead, rec, &code);
      return rc != 0 ? rc : done;
    }
    DbgPlain(kLevelData, "[%s] Skipping record type %d.", kFn, static_cast<int>(type));
    rec = Step(ctx);
  }
  return done;
}

int VEK_RestoreItemCB(BarContext* ctx, VekWriteCallback write) {
  static const char kFn[] = "VEK_RestoreItemCB";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_ITEM_RESTORE) != 0) return BAR_ESEQUENCE;
  if (write == nullptr) return ParamFail(ctx, kFn, "CBWrite != ((void *)0)");
  bool wanted = true;
  for (std::span<std::uint8_t> rec = Current(ctx);; rec = Step(ctx)) {
    if (rec.empty()) {
      DbgPlain(kLevel, "[%s] Null record. ts->sessionOpts.recPtr: NULL", kFn);
      return BarFail(ctx, BAR_ECOMM);
    }
    const std::uint32_t type = TypeOf(rec);
    if (IsAttribute(type) || type == DA_REC_END) {
      DbgPlain(kLevel, "[%s] Unexpected record type: %d", kFn, static_cast<int>(type));
      return BarFail(ctx, BAR_ECOMM);
    }
    if (type == DA_REC_OBJ_DATA) {
      if (!wanted) continue;
      DaDataView view{};
      if (const int rc = TakeData(ctx, kFn, kMismatchWalk, rec, &view); rc != 0) return rc;
      if ((VEK_Global.capability & kVekCapCompress) != 0 && view.compressionId != 0 &&
          view.compressionId == static_cast<std::uint32_t>(ctx->object.codecs.compressionId)) {
        ctx->object.codecs.decompressWrite = write;
        const int ok = DcDecompress2(RDcRead, DecompressWrite, ctx);
        ctx->object.codecs.decompressWrite = nullptr;
        return ok != 0 ? 0 : BarFail(ctx, BAR_ECOMM);
      }
      const std::span<std::uint8_t> unread = Unread(ctx, view);
      ctx->item.recSpaceLeft = 0;
      // An empty record has nothing to pass on; a 0 would read as "no more".
      if (unread.empty()) continue;
      const int rc = write(unread.data(), static_cast<int>(unread.size()), ctx);
      if (rc < 0) {
        DbgPlain(kLevel, "[%s] write callback failed: error=%d", kFn, rc);
        return BarFail(ctx, kCallbackFailed);
      }
      if (rc == 0) wanted = false;
      continue;
    }
    if (IsItemEnd(type)) {
      std::uint32_t code = 0;
      return TakeItemEnd(ctx, kFn, kMismatchWalk, rec, &code);
    }
    DbgPlain(kLevelData, "[%s] Skipping record type %d", kFn, static_cast<int>(type));
  }
}

int VEK_EndItemRestore(BarContext* ctx, int* code) {
  static const char kFn[] = "VEK_EndItemRestore";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_ITEM_RESTORE) != 0) return BAR_ESEQUENCE;
  ctx->mode = BAR_MODE_OBJECT_RESTORE;
  for (std::span<std::uint8_t> rec = Current(ctx);; rec = Step(ctx)) {
    if (rec.empty()) return BarFail(ctx, kNoRecord);
    const std::uint32_t type = TypeOf(rec);
    if (IsAttribute(type)) {
      DbgPlain(kLevel, "[%s] Unexpected record type: %d", kFn, static_cast<int>(type));
      return BarFail(ctx, BAR_ECOMM);
    }
    if (IsItemEnd(type)) {
      std::uint32_t completion = 0;
      if (const int rc = TakeItemEnd(ctx, kFn, kMismatchWalk, rec, &completion); rc != 0) return rc;
      // An item error record is a failed item whatever code it carries.
      if (completion == 0 && type == DA_REC_OBJ_ERR) completion = static_cast<std::uint32_t>(-1);
      if (code != nullptr) *code = static_cast<int>(completion);
      return 0;
    }
    if (type == DA_REC_END) return BarFail(ctx, kEndOfObject);
    DbgPlain(kLevelData, "[%s] Skipping record type %d.", kFn, static_cast<int>(type));
  }
}
