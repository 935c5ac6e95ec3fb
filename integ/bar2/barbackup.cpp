// Backup sessions, objects and items.
#include "bar2/barbackup.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bar2/bar2.h"
#include "bar2/barcodec.h"
#include "bar2/barimpl.h"
#include "bar2/baropt.h"
#include "bar2/barprofmsg.h"
#include "bar2/barrc.h"
#include "bar2/bartransform.h"
#include "barutil/barmsg.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/objname.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/sysio.h"
#include "cmn/vekfile.h"
#include "dacmn/bm.h"
#include "dacmn/dacmn.h"
#include "ipc/ipc.h"
#include "vekdf/daformat.h"
#include "vekdf/rm.h"

TARN_RCSID("integ/bar2/barbackup.cpp");

using bar2_detail::CopyText;
using bar2_detail::Now;
using bar2_detail::ParamFail;

namespace {

constexpr int kLevel = 1;

constexpr std::size_t kNameTailMax = 1900;
constexpr int kLevelData = 199;
constexpr int kObjectKind = 5;
constexpr char kProgramName[] = "VEKBAR";
constexpr std::size_t kObjOptTextMax = 255;
constexpr std::size_t kMapNameMax = 500;
constexpr std::size_t kTreeMax = 1023;

bool NoData(int backupType) {
  return backupType == kBarBackupNoData1 || backupType == kBarBackupNoData2;
}

std::string Slashes(std::string text) {
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

// The option text of the backup MSG_BAROPT.
std::string BarOptText(const char* const* trees, const ObjectBackupOptions* options) {
  std::string text;
  if (options != nullptr && options->trees != nullptr && options->trees[0] != '\0') {
    text = "-trees " + Slashes(options->trees);
  } else if (trees != nullptr && trees[0] != nullptr) {
    text = "-trees ";
    for (const char* const* t = trees; *t != nullptr; ++t) {
      std::string tree(*t, strnlen(*t, kTreeMax));
      text += "\"" + Slashes(std::move(tree)) + "\" ";
    }
  }
  if (options != nullptr && options->extOpts != nullptr && options->extOpts[0] != '\0') {
    text += " -baropt \"external = {";
    text += options->extOpts;
    text += "};\"";
  }
  return text;
}

// The data path's receive from the session manager, reconnecting.
int SmReceive(IpcHandle handle, char* buffer, int capacity) {
  return RcIpcReceiveData(handle, buffer, capacity);
}

// Ends what an object start set up before a failure: the data path, the
// codecs, then the session manager learns of the failure.
int FailObjectStart(BarContext* ctx, int rc, bool dataPathOpen) {
  if (dataPathOpen) {
    BmExit(1);
    BmSetSmReceive(nullptr);
  }
  return bar2_detail::AbortObjectStart(ctx, rc);
}

// Writes the pending partly filled data record of the item. 0 or -2.
int FlushPending(BarContext* ctx) {
  if (ctx->item.dataRecord == nullptr) return 0;
  const int filled = ctx->item.recSize - ctx->item.recSpaceLeft;
  if (filled <= 0) {
    ctx->item.DropDataRecord();
    return 0;
  }
  const auto offset = static_cast<std::uint64_t>(ctx->item.itemOffset);
  if (VEK_BmWriteData(ctx, filled, static_cast<std::uint32_t>(offset),
                      static_cast<std::uint32_t>(offset >> 32)) == 0)
    return BarFail(ctx, BAR_ECOMM);
  ctx->item.itemOffset += filled;
  return 0;
}

int ZeroCopyFail(BarContext* ctx, const char* fn) {
  ErhFullReportPacked(fn, kErhMinor, NlsPackMessage(kBarMsgSet, kBarMsgZeroCopyFailed));
  return BarFail(ctx, BAR_ECOMM);
}

}  // namespace

int BarCutDescription(char* text, int room, int* trimmed) {
  *trimmed = 1;
  if (room < 0) room = 0;
  if (static_cast<int>(std::strlen(text)) <= room) return static_cast<int>(std::strlen(text));
  text[room] = '\0';
  for (char c : {'\r', '\n', ' '}) {
    if (char* at = std::strrchr(text, c); at != nullptr) {
      *at = '\0';
      return static_cast<int>(at - text);
    }
  }
  *trimmed = 0;
  return room;
}

// ---------------------------------------------------------------- session

int VEK_StartBackup(BarContext* ctx, const char* barlist) {
  static const char kFn[] = "VEK_StartBackup";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_IDLE) != 0) return BAR_ESEQUENCE;
  if (barlist == nullptr || barlist[0] == '\0' || std::strlen(barlist) > kBarListMax)
    return ParamFail(ctx, kFn, "!StrIsEmptyA(barList) && StrLen(barList)<= 255");
  bar2_detail::ClearLastResult(ctx);
  if (barlist != ctx->session.barlist) CopyText(ctx->session.barlist, barlist);
  DbgPlain(kLevel, "[%s] Checking backup permissions for %s.%s@%s", kFn, ctx->appType, ctx->appName,
           cmnHostname);
  if ((ctx->access & 3u) == 0) {
    DbgPlain(kLevel,
             "[%s] User %s.%s@%s does not have permissions to start backup (acl:%d). Error: %s",
             kFn, ctx->appType, ctx->appName, cmnHostname, static_cast<int>(ctx->access),
             "no backup rights");
    ErhFullReportPacked(kFn, kErhMajor,
                        NlsPackMessage(kBarMsgSet, kBarMsgNoBackupRights, ctx->appType,
                                       ctx->appName, static_cast<const char*>(cmnHostname)));
    return BarFail(ctx, BAR_EPERM);
  }
  bar2_detail::InstallSessionHooks();
  const SessionConnectOptions options = bar2_detail::SessionOptionsOf(ctx, kBarSessionBackup);
  const int rc = VEK_ConnectSession(ctx, kBarSessionBackup, &options);
  if (rc != 0) return rc;
  ctx->mode = BAR_MODE_BACKUP;
  return 0;
}

int VEK_EndBackup(BarContext* ctx, int code) {
  static const char kFn[] = "VEK_EndBackup";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_IDLE, BAR_MODE_BACKUP) != 0) return BAR_ESEQUENCE;
  BarEndSession(ctx, code);
  ctx->mode = BAR_MODE_IDLE;
  ctx->session.sessGuid[0] = '\0';
  return 0;
}

// ---------------------------------------------------------------- object

int VEK_StartObjectBackupEx(BarContext* ctx, int backupType, const char* objectName,
                            const char* const* trees, const ObjectBackupOptions* options) {
  static const char kFn[] = "VEK_StartObjectBackupEx";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  DbgPlain(kLevel, "backupType:%d objectname:%s", backupType,
           objectName != nullptr ? objectName : "(null)");
  if (BarCheckMode(ctx, kFn, BAR_MODE_BACKUP) != 0) return BAR_ESEQUENCE;
  if (objectName == nullptr || objectName[0] == '\0' || std::strlen(objectName) > kBarObjNameMax)
    return ParamFail(ctx, kFn,
                     "!StrIsEmptyA(objectname) && StrLen(objectname)<= (10+1+64+1+1023+4 +80+1)");
  const ObjectBackupOptions none{1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  const ObjectBackupOptions& o = options != nullptr ? *options : none;
  auto len = [](const char* s) { return s == nullptr ? 0 : std::strlen(s); };
  if (len(o.resType) > kObjOptTextMax)
    return ParamFail(ctx, kFn, "StrLen(options->resType) <= (255)");
  if (len(o.mapLibName) > kMapNameMax)
    return ParamFail(ctx, kFn, "StrLen(options->mapLibName) <= (500)");
  if (len(o.mapShmName) > kMapNameMax)
    return ParamFail(ctx, kFn, "StrLen(options->mapShmName) <= (500)");
  if (backupType < 0 || backupType > kBarBackupTypeMax)
    return ParamFail(ctx, kFn, "(backupType >= 0 && backupType <= 27)");

  CopyText(ctx->object.objName, objectName);
  ctx->object.backupType = backupType;
  IVecReset(&ctx->object.trees);
  for (const char* const* t = trees; t != nullptr && *t != nullptr; ++t) {
    if (IVecAddStr(&ctx->object.trees, *t) < 0) return BarFail(ctx, BAR_ENOMEM);
  }
  ctx->object.longNameWarned = 0;
  ctx->item.Reset();
  ctx->erhErrno = 0;
  const std::string optText = BarOptText(trees, options);

  OptHolder held;
  IntegOptions& opts = *held.get();
  if (ctx->smLink != 0) {
    StrMsg request;
    StrMsgInitL(&request);
    StrMsgStartExL(&request, nullptr, 0, MSG_BAROPT, 0);
    const std::string type = std::to_string(backupType);
    const std::string host = std::string("-host ") + cmnHostname;
    StrMsgNAppendL(&request, ctx->appName, objectName, "3", "0", "1", "0",
                   o.resType != nullptr ? o.resType : "", optText.c_str(), type.c_str(),
                   host.c_str(), nullptr);
    if ((o.flags & kObjOptBalancing) != 0) StrMsgNAppendL(&request, "-balancing 1", nullptr);
    if (o.deviceFilter != nullptr && o.deviceFilter[0] != '\0') {
      const std::string filter = std::string("-devicefilter ") + o.deviceFilter;
      StrMsgNAppendL(&request, filter.c_str(), nullptr);
    }
    const int rc = VEK_RequestObject(ctx, kBarSessionBackup, &request, &opts);
    StrMsgFreeL(&request);
    if (rc != 0) {
      return BarFail(ctx, rc);
    }
    if (opts.dbgRanges[0] != '\0') CopyText(ctx->dbgRanges, opts.dbgRanges);
    if (opts.reportLevel != 0) ctx->reportLevel = opts.reportLevel;
  }

  ctx->object.counters.objBeginTime = Now();
  VEK_RestartDebugging(ctx, opts.dbgPostfix, opts.dbgRanges, opts.dbgSelect);
  bar2_detail::TakeObjectOptions(ctx, opts);
  CopyText(ctx->session.sessId, opts.sessId);

  std::string description = std::string("-backupId \"") + ctx->session.sessId + "\" " + optText;
  DbgPlain(kLevel, "opts set to '%s'", description.c_str());

  int rc = BarStartBackupTransforms(ctx, opts.encode, opts.encrAlgo, opts.compress);
  if (rc != 0) {
    return FailObjectStart(ctx, rc, false);
  }
  if (NoData(backupType)) {
    ctx->object.objText = description;
    ctx->mode = BAR_MODE_OBJECT_BACKUP;
    return 0;
  }

  ctx->object.maLocal = IpcIPIsLocal(ctx->object.maHost) != 0 ? 1 : 0;
  DbgPlain(kLevel, "[%s] About to execute BmInit.", kFn);
  BmSetSmReceive(SmReceive);
  const char* mapLib = o.mapLibName != nullptr ? o.mapLibName : "";
  const char* mapShm = o.mapShmName != nullptr ? o.mapShmName : "";
  if (BmInit(ctx->reportName, ctx->dbgRanges, ctx->dbgPostfix.get(), ctx->dbgSelect,
             ctx->reportLevel, ctx->smLink, ctx->session.smHandle, nullptr, ctx->object.daId,
             ctx->object.maHost, opts.maPort, opts.output, opts.netLoad, mapLib, mapShm,
             &opts.mirror) == 0) {
    DbgPlain(kLevel,
             "[%s] BmInit returned error. Error: %s\n\treportName: %s\n\tdbgRanges: %s\n"
             "\treportLevel: %d\n\tsmLink: %d\n\tsmHandle: %d\n\tdaId: %d\n\tmaHost: %s\n"
             "\tmaPort: %d\n\tnetLoad: %f\n\tmapLibName: %s\n\tmapShmName: %s",
             kFn, ErhGetErrorInfo(), ctx->reportName, ctx->dbgRanges, ctx->reportLevel, ctx->smLink,
             ctx->session.smHandle, ctx->object.daId, ctx->object.maHost, opts.maPort, opts.netLoad,
             mapLib, mapShm);
    for (int i = 0; i < opts.mirror.count; ++i)
      DbgPlain(kLevel, "\tmirror option [%d]: %s", i,
               static_cast<const char*>(IVecGet(&opts.mirror, i)));
    BmSetSmReceive(nullptr);
    return FailObjectStart(ctx, BAR_ECOMM, false);
  }
  bar2_detail::ReportObject(kFn, kBarMsgBackupStarted, ctx->object.objName, false);
  BmGetParams(&ctx->object.maBlockSize, &ctx->object.recOffset);

  const int room = ctx->object.maBlockSize - kBarDescriptionReserve;
  if (static_cast<int>(description.size()) > room) {
    DbgPlain(kLevel, "[%s] External options too large: available:%d (opt:%d): %s", kFn, room,
             static_cast<int>(description.size()), description.c_str());
    int trimmed = 0;
    const int cut = BarCutDescription(description.data(), room, &trimmed);
    description.resize(static_cast<std::size_t>(cut));
    if (trimmed != 0)
      DbgPlain(kLevel, "[%s] Cut options to %d characters.", kFn, cut);
    else
      DbgPlain(kLevel, "[%s] Unable to trim external opts.", kFn);
  }
  ctx->object.objText = description;

  DbgPlain(kLevel, "[%s] About to execute RmWriteStart.", kFn);
  const char* longName = opts.longObjName[0] != '\0' ? opts.longObjName : ctx->object.objName;
  if (RmWriteStart(
          static_cast<std::uint32_t>(ctx->object.daId),
          static_cast<std::uint32_t>(ctx->object.startTime),
          static_cast<std::uint32_t>(ctx->object.sinceTime), kObjectKind,
          static_cast<std::uint32_t>(backupType), static_cast<std::uint32_t>(opts.accsType),
          static_cast<std::uint32_t>(opts.accsValue), static_cast<std::uint32_t>(opts.protType),
          static_cast<std::uint32_t>(opts.protValue), longName, description.c_str(), kProgramName,
          VEK_Global.shortVersion) == 0) {
    DbgPlain(kLevel,
             "[%s] BmWriteStart returned error. Error: %s\n\tdaId: %d\n\tstartTime: %d\n"
             "\tsinceTime: %d\n\tbackupType: %d\n\tobjName: %s\n\tdescription: %s",
             kFn, ErhGetErrorInfo(), ctx->object.daId, ctx->object.startTime, ctx->object.sinceTime,
             backupType, longName, description.c_str());
    return FailObjectStart(ctx, BAR_ECOMM, true);
  }
  ctx->mode = BAR_MODE_OBJECT_BACKUP;
  return 0;
}

int VEK_EndObjectBackup(BarContext* ctx, int code) {
  static const char kFn[] = "VEK_EndObjectBackup";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  DbgPlain(kLevel, "completionCode : 0x%x\n", code);
  // The mode comes first: a call out of order must leave the object as it is.
  if (BarCheckMode(ctx, kFn, BAR_MODE_OBJECT_BACKUP) != 0) return BAR_ESEQUENCE;
  ctx->object.maLocal = -1;
  ctx->object.maBlockSize = -1;
  ctx->object.recOffset = -1;
  ctx->object.endTime = bar2_detail::WallSeconds();
  int setCC = code;
  if (!NoData(ctx->object.backupType)) {
    DbgPlain(kLevel, "[%s] About to execute RmWriteEnd.", kFn);
    if (RmWriteEnd(static_cast<std::uint32_t>(ctx->object.daId),
                   static_cast<std::uint32_t>(ctx->object.startTime),
                   static_cast<std::uint32_t>(ctx->object.endTime),
                   static_cast<std::uint32_t>(setCC), 0) == 0) {
      setCC = 2;
      DbgPlain(kLevel,
               "[%s] RmWriteEnd failed. Error: %s\n\tts->sessionOpts.daID: %d\n"
               "\tts->sessionOpts.objStartTime: %d\n\ttime: %d\n\tsetCC: %d",
               kFn, ErhGetErrorInfo(), ctx->object.daId, ctx->object.startTime, ctx->object.endTime,
               setCC);
    }
    DbgPlain(kLevel, "[%s] About to execute BmFlush.", kFn);
    if (BmFlush() == 0) {
      setCC = 2;
      DbgPlain(kLevel, "[%s] BmFlush failed. Error: %s\n", kFn, ErhGetErrorInfo());
    }
    bar2_detail::LinkUpdateStatus(ctx, 0, 1);
    if (ctx->object.profile != 0) {
      DbgPlain(kLevel, "[%s] Writing profile report.", kFn);
      bar2_detail::ReportProfile(kFn, kBarOptMsgSet, kBarOptMsgBackupProfile, ctx);
    }
    ctx->object.counters = {};
    DbgPlain(kLevel, "[%s] About to execute BmExit.", kFn);
    // A stream the media agent did not end with its stop is not backed up,
    // whatever the caller's code said.
    if (BmExit(setCC != 0 ? 1 : 0) != 1) {
      DbgPlain(kLevel, "[%s] BmExit failed. Error: %s\n", kFn, ErhGetErrorInfo());
      if (setCC == 0) setCC = 2;
    }
    BmSetSmReceive(nullptr);
    bar2_detail::ReportObject(kFn, kBarMsgBackupCompleted, ctx->object.objName, false);
  }
  bar2_detail::ClearLastResult(ctx);
  BarEndTransforms(ctx);
  const int restart = bar2_detail::ReopenSession(ctx, kFn, setCC, VEK_StartBackup);
  if (setCC == 0 && restart == 0) return 0;
  return BarFail(ctx, BAR_ECOMM);
}

// ---------------------------------------------------------------- items

int VEK_SetDAExtAttrRec(std::uint8_t* record, std::uint32_t recSize, std::uint32_t itemId,
                        const void* attr, std::uint32_t size) {
  if (record == nullptr || size > 0xFFFFu || recSize < kBarExtAttrOffset + size) return 0;
  DaRecSys rec{};
  rec.h.magic = kDaRecMagic;
  rec.h.type = DA_REC_OBJ_SYS;
  rec.h.format = kDaFmtSys;
  rec.h.version = kDaRecVersion;
  std::uint32_t* seq = BmRecSeqNo();
  rec.h.seqNo = seq != nullptr ? (*seq)++ : 0;
  rec.h.length = recSize;
  rec.kind = itemId;
  rec.length = static_cast<std::uint16_t>(size);
  rec.offset = kBarExtAttrOffset;
  std::memcpy(record, &rec, sizeof rec);
  if (size != 0) std::memcpy(record + kBarExtAttrOffset, attr, size);
  return 1;
}

int VEK_WriteObjAttr(BarContext* ctx, DaItemAttr* item, int flags) {
  static const char kFn[] = "VEK_WriteObjAttr";
  int type = (flags & 1) != 0 ? DA_REC_OBJ_NOCAT : DA_REC_OBJ_ATTR;
  item->itemId = static_cast<std::uint32_t>(ctx->item.itemId);
  const char* name = item->longName != nullptr ? item->longName : item->name;
  const std::size_t nameLength = name != nullptr ? std::strlen(name) : 0;
  if (nameLength > kBarItemNameMax) {
    if (ctx->object.longNameWarned == 0) {
      const char* tail = name + (nameLength > kNameTailMax ? nameLength - kNameTailMax : 0);
      ErhFullReportPacked(kFn, kErhNormal,
                          NlsPackMessage(kBarMsgSet, kBarMsgItemNameTooLong, tail));
      ctx->object.longNameWarned = 1;
    }
    DbgPlain(kLevel, "[%s] Item will not be written in the catalog", kFn);
    type = DA_REC_OBJ_NOCAT;
  }
  if (RmWriteObjAttribute(type, *item) == 0) {
    DbgPlain(kLevel, "[%s] Cannot write attributes - error: %s", kFn, ErhGetErrorInfo());
    return BarFail(ctx, BAR_ECOMM);
  }
  if (ctx->object.codecs.encrypt != 0 && VEK_WriteEncryptRecord(ctx, item) != 0)
    return BarFail(ctx, BAR_ECOMM);
  return 0;
}

int VEK_StartItemBackup(BarContext* ctx, DaItemAttr* item, const void* extAttr, int extAttrSize,
                        int flags) {
  static const char kFn[] = "VEK_StartItemBackup";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_OBJECT_BACKUP) != 0) return BAR_ESEQUENCE;
  if (item == nullptr) return ParamFail(ctx, kFn, "item != ((void *)0)");
  const char* name = item->longName != nullptr ? item->longName : item->name;
  if (name == nullptr || name[0] == '\0') return ParamFail(ctx, kFn, "!StrIsEmptyA(itemName)");
  if (extAttrSize > kBarExtAttrMax) return ParamFail(ctx, kFn, "extAttrSize <= 1024");
  if (extAttrSize > 0 && extAttr == nullptr) return ParamFail(ctx, kFn, "extAttr != ((void *)0)");
  DbgPlain(kLevel, "[%s] itemName: %s", kFn, name);
  CmnVarFree(&ctx->item.itemName);
  ctx->item.itemName = CmnVarText(name);
  if (int rc = VEK_WriteObjAttr(ctx, item, flags); rc != 0) return rc;
  if (extAttrSize > 0) {
    const auto recSize = static_cast<std::uint32_t>(extAttrSize + kBarExtAttrOffset);
    std::uint32_t granted = 0;
    std::uint8_t* rec = BmAlloc(recSize, recSize, &granted);
    if (rec == nullptr) {
      DbgPlain(kLevel, "[%s] BmAlloc returned NULL. Error: %s\n\treqSize: %d\n\trecSize: %d\n", kFn,
               ErhGetErrorInfo(), extAttrSize, static_cast<int>(recSize));
      return BarFail(ctx, BAR_ECOMM);
    }
    VEK_SetDAExtAttrRec(rec, recSize, item->itemId, extAttr,
                        static_cast<std::uint32_t>(extAttrSize));
    if (BmWrite(recSize) == 0) {
      DbgPlain(kLevel, "[%s] BmWrite returned NULL. Error: %s\n\trecSize: %d\n", kFn,
               ErhGetErrorInfo(), static_cast<int>(recSize));
      return BarFail(ctx, BAR_ECOMM);
    }
  }
  ctx->object.counters.items++;
  ctx->object.counters.objItems++;
  ctx->item.itemOffset = 0;
  ctx->mode = BAR_MODE_ITEM_BACKUP;
  return 0;
}

int VEK_WriteItemData(BarContext* ctx, const void* buffer, int length) {
  static const char kFn[] = "VEK_WriteItemData";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_ITEM_BACKUP) != 0) return BAR_ESEQUENCE;
  if (buffer == nullptr) return ParamFail(ctx, kFn, "bufPtr!=((void *)0)");
  if (length < 0) return ParamFail(ctx, kFn, "length >= 0");
  const auto* from = static_cast<const std::uint8_t*>(buffer);
  int left = length;
  while (left > 0) {
    if (ctx->item.dataRecord == nullptr) {
      std::uint32_t granted = 0;
      std::uint8_t* rec = RmGetObjDataBuf(kBarMaxRecSize, &granted);
      if (rec == nullptr || granted == 0) {
        DbgPlain(kLevel,
                 "[%s] RmGetObjDataBuf returned NULL. Error: %s\n\tMAX_REC_SIZE: %d\n"
                 "\tts->sessionOpts.recSize: %d\n",
                 kFn, ErhGetErrorInfo(), kBarMaxRecSize, ctx->item.recSize);
        return BarFail(ctx, BAR_ECOMM);
      }
      ctx->item.dataRecord = rec;
      ctx->item.recSize = static_cast<int>(granted);
      ctx->item.recSpaceLeft = static_cast<int>(granted);
    }
    const int n = std::min(left, ctx->item.recSpaceLeft);
    std::memcpy(static_cast<std::uint8_t*>(ctx->item.dataRecord) +
                    (ctx->item.recSize - ctx->item.recSpaceLeft),
                from, static_cast<std::size_t>(n));
    from += n;
    left -= n;
    ctx->item.recSpaceLeft -= n;
    DbgPlain(kLevelData, "[%s] Record space left: %d (of %d)", kFn, ctx->item.recSpaceLeft,
             ctx->item.recSize);
    if (ctx->item.recSpaceLeft == 0 && FlushPending(ctx) != 0) return BAR_ECOMM;
  }
  return length;
}

int VEK_BackupItemCB(BarContext* ctx, VekReadCallback read) {
  static const char kFn[] = "VEK_BackupItemCB";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_ITEM_BACKUP) != 0) return BAR_ESEQUENCE;
  if (read == nullptr) return ParamFail(ctx, kFn, "CBRead != ((void *)0)");
  if (FlushPending(ctx) != 0) return BAR_ECOMM;
  if (ctx->object.codecs.compress != 0) {
    DbgPlain(kLevel, "[%s] Compressing data...", kFn);
    // The compressed bytes come back through BDcWrite into data records.
    const int rc = DcCompress2(read, BDcWrite, ctx);
    bar2_detail::LinkUpdateStatus(ctx, 0, 1);
    if (rc != 0) {
      DbgPlain(kLevel, "[%s] Compression failed (%d)", kFn, rc);
      return BarFail(ctx, BAR_ECOMM);
    }
    return 0;
  }
  for (;;) {
    std::uint32_t granted = 0;
    std::uint8_t* rec = RmGetObjDataBuf(kBarMaxRecSize, &granted);
    if (rec == nullptr || granted == 0) return BarFail(ctx, BAR_ECOMM);
    ctx->item.dataRecord = rec;
    ctx->item.recSize = static_cast<int>(granted);
    ctx->item.recSpaceLeft = static_cast<int>(granted);
    const int got = read(rec, static_cast<int>(granted), ctx);
    if (got == 0) {
      ctx->item.DropDataRecord();
      bar2_detail::LinkUpdateStatus(ctx, 0, 1);
      DbgPlain(kLevel, "[%s] No more data.", kFn);
      return 0;
    }
    if (got < 0 || got > static_cast<int>(granted)) {
      DbgPlain(kLevel, "[%s] Callback failed (%d).", kFn, got);
      ctx->item.DropDataRecord();
      return BarFail(ctx, BAR_ECOMM);
    }
    ctx->item.recSpaceLeft = static_cast<int>(granted) - got;
    if (FlushPending(ctx) != 0) return BAR_ECOMM;
  }
}

int VEK_EndItemBackup(BarContext* ctx, int code) {
  static const char kFn[] = "VEK_EndItemBackup";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (BarCheckMode(ctx, kFn, BAR_MODE_ITEM_BACKUP) != 0) return BAR_ESEQUENCE;
  DbgPlain(kLevel, "[%s] item (%d): completionCode: %d", kFn, ctx->item.itemId, code);
  ctx->mode = BAR_MODE_OBJECT_BACKUP;
  if (ctx->item.dataRecord != nullptr) {
    DbgPlain(kLevel, "[%s] Flushing unflushed data...", kFn);
    if (FlushPending(ctx) != 0) return BAR_ECOMM;
  }
  DaItemAttr item{};
  item.itemId = static_cast<std::uint32_t>(ctx->item.itemId);
  if (RmWriteObjEnd(item, static_cast<std::uint32_t>(code)) == 0) {
    DbgPlain(kLevel, "[%s] RmWriteObjEnd failed - error: %s, completionCode %d", kFn,
             ErhGetErrorInfo(), code);
    return BarFail(ctx, BAR_ECOMM);
  }
  ctx->item.itemId++;
  return 0;
}

int VEK_BackupEmptyItem(BarContext* ctx, const char* itemName, int fileType) {
  DaItemAttr item{};
  item.name = itemName;
  item.fileType = static_cast<std::uint32_t>(fileType);
  if (int rc = VEK_StartItemBackup(ctx, &item, nullptr, 0, 0); rc != 0) return rc;
  return VEK_EndItemBackup(ctx, 0);
}

int VEK_WriteItemData_NMC(BarContext* ctx, int key, char* base, int offset, int shmSize,
                          int length) {
  static const char kFn[] = "VEK_WriteItemData_NMC";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  DbgPlain(kLevel, "[%s] dataOffset:%d, shmemSize:%d", kFn, offset, shmSize);
  // Checked before the fallback, so that a remote agent never copies from a
  // bad address. The key and the segment's size only matter to a local
  // agent: a caller writing to a remote one need not have them.
  if (BarCheckMode(ctx, kFn, BAR_MODE_ITEM_BACKUP) != 0) return BAR_ESEQUENCE;
  if (base == nullptr) return ParamFail(ctx, kFn, "shmemBasePtr != ((void *)0)");
  if (offset < 0 || length < 0) return ParamFail(ctx, kFn, "sizes >= 0");
  if (ctx->object.maLocal != 1) {
    DbgPlain(kLevel, "[%s] Media agent is not local -> calling VEK_WriteItemData.", kFn);
    return VEK_WriteItemData(ctx, base + offset, length);
  }
  if (key == 0) return ParamFail(ctx, kFn, "shmemKey != 0");
  if (shmSize < 0) return ParamFail(ctx, kFn, "sizes >= 0");
  if (offset < ctx->object.recOffset) {
    DbgPlain(kLevel, "[%s] dataOffset is smaller that daRecOffset", kFn);
    return ZeroCopyFail(ctx, kFn);
  }
  if (static_cast<std::int64_t>(offset) + length > shmSize) {
    DbgPlain(kLevel, "[%s] insufficient shared memory size, required: size + offset = %d + %d", kFn,
             length, offset);
    return ZeroCopyFail(ctx, kFn);
  }
  if (shmSize != ctx->object.maBlockSize) {
    DbgPlain(kLevel, "[%s] shmemSize != maBlkSize", kFn);
    return ZeroCopyFail(ctx, kFn);
  }
  if (ctx->item.dataRecord != nullptr) {
    DbgPlain(kLevel, "[%s] Flushing data in MA's shared memory.", kFn);
    if (FlushPending(ctx) != 0) return BAR_ECOMM;
  }
  std::uint32_t room = 0;
  std::uint8_t* rec = BmAllocShm(base, static_cast<unsigned>(key), &room);
  const auto dataOffset = static_cast<std::uint32_t>(offset - ctx->object.recOffset);
  if (rec == nullptr || dataOffset < kDaDataHeaderSize ||
      std::uint64_t{dataOffset} + static_cast<std::uint32_t>(length) > room) {
    DbgPlain(kLevel, "[%s] BMAlloc returned NULL.", kFn);
    return ZeroCopyFail(ctx, kFn);
  }
  DaRecData r{};
  r.h.magic = kDaRecMagic;
  r.h.type = DA_REC_OBJ_DATA;
  r.h.format = kDaFmtData;
  r.h.version = kDaRecVersion;
  std::uint32_t* seq = BmRecSeqNo();
  r.h.seqNo = seq != nullptr ? (*seq)++ : 0;
  r.h.length = dataOffset + static_cast<std::uint32_t>(length);
  r.itemId = static_cast<std::uint32_t>(ctx->item.itemId);
  const auto itemOffset = static_cast<std::uint64_t>(ctx->item.itemOffset);
  r.offsetLow = static_cast<std::uint32_t>(itemOffset);
  r.offsetHigh = static_cast<std::uint32_t>(itemOffset >> 32);
  r.lengthLow = static_cast<std::uint16_t>(length);
  r.lengthHigh = static_cast<std::uint16_t>(static_cast<std::uint32_t>(length) >> 16);
  r.dataOffset = static_cast<std::uint16_t>(dataOffset);
  r.compressionId = static_cast<std::uint32_t>(ctx->object.codecs.compressionId);
  // The bytes went to the agent untouched: never marked as transformed.
  r.transformId = kDaTransformNone;
  std::memcpy(rec, &r, sizeof r);
  if (BmWrite(r.h.length) == 0) return ZeroCopyFail(ctx, kFn);
  bar2_detail::LinkUpdateStatus(ctx, length, 0);
  ctx->item.itemOffset += length;
  return length;
}

const char* VEK_ObjectnameEx(int type, const char* host, const char* name, const char* appType) {
  BarContext* ctx = VEK_GetContext();
  if (ctx == nullptr) return nullptr;
  if (host == nullptr || host[0] == '\0') host = cmnHostname;
  if (appType == nullptr) appType = ctx->appType;
  static_assert(kBarComposedNameMax + 1 >= kObjNameSize);
  if (StrToObjectName(type, host, name != nullptr ? name : "", appType, ctx->composedName) != 0)
    return nullptr;
  return ctx->composedName;
}

const char* VEK_Objectname(const char* name, const char* host) {
  return VEK_ObjectnameEx(kObjectKind, host, name, nullptr);
}

const char* VEK_BackupTypeToText(BarContext* ctx, int backupType) {
  ctx = BarResolve(ctx);
  const char* text = ctx != nullptr
                         ? CmnGetIntegBackupTypeStr(CmnGetIntegType(ctx->appType), backupType)
                         : nullptr;
  return text != nullptr ? text : "<unknown>";
}

int VEK_StartObjectBackupFullName(BarContext* ctx, const char* fullName, int backupType,
                                  const char* trees, const char* resType, unsigned flags,
                                  const char* mapLibName, const char* mapShmName) {
  const ObjectBackupOptions options{
      flags, nullptr, resType, mapLibName, mapShmName, trees, std::getenv("VEKDEVICEFILTER")};
  return VEK_StartObjectBackupEx(ctx, backupType, fullName, nullptr, &options);
}

int VEK_StartObjectBackup(BarContext* ctx, int objType, const char* host, const char* name,
                          int backupType, const char* trees, const char* resType, unsigned flags,
                          const char* mapLibName, const char* mapShmName) {
  const char* composed = VEK_ObjectnameEx(objType, host, name, nullptr);
  if (composed == nullptr) {
    ctx = BarResolve(ctx);
    return ctx == nullptr ? BAR_ENOCONTEXT : BarFail(ctx, BAR_EPARAM);
  }
  char full[kBarComposedNameMax + 1];
  CopyText(full, composed);
  return VEK_StartObjectBackupFullName(ctx, full, backupType, trees, resType, flags, mapLibName,
                                       mapShmName);
}

int VEK_StatToItem(const VEK_Stat* stat, DaItemAttr* item) {
  if (stat == nullptr || item == nullptr) return BAR_EPARAM;
  item->fileType = static_cast<std::uint32_t>(stat->type);
  item->mode = stat->mode;
  item->uid = stat->uid;
  item->gid = stat->gid;
  item->size = stat->size64.value();
  item->quantity = stat->size64.value();
  item->time[kDaAttrModifyTime] = static_cast<std::uint32_t>(stat->mtime);
  return 0;
}
