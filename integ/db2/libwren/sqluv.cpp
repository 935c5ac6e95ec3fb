// The five entry points DB2 calls in its backup and restore processes: one
// vendor session per process becomes one integration session with one object
// holding one item, the DB2 image as a byte stream. Runs as a guest in DB2's
// process: nothing here ends the process, touches the host's signals or lets
// an exception out.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barbackup.h"
#include "bar2/barquery.h"
#include "bar2/barrestore.h"
#include "barutil/buenv.h"
#include "barutil/vekquery.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/defines.h"
#include "cmn/objname.h"
#include "cmn/str.h"
#include "libwren/wren.h"

TARN_RCSID("integ/db2/libwren/sqluv.cpp");

#define WREN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kTrace = 30;
// Completion code of the ends of a session DB2 aborted without an error of
// its own in the integration context.
constexpr int kAbortCode = -1;

int SetCode(Return_code* rc, int code) {
  if (rc != nullptr) rc->return_code = code;
  return code;
}

// Every entry point starts the common library the way a guest must.
int StartAsGuest() {
  cmnDefine_ORACLE8 = 1;
  cmnDefine_ORACLE_SIGNALS = 1;
  cmnDefine_NOATEXIT = 1;
  return CmnInitDLL("VEKBAR");
}

// The Vendor_info records handed to DB2, kept reachable for the process's life
// (DB2 keeps them and never frees them).
struct VendorInfoStore {
  std::vector<std::unique_ptr<Vendor_info>> infos;
  std::vector<std::unique_ptr<char[]>> texts;
};

char* EmptyText(VendorInfoStore& store) {
  store.texts.push_back(std::make_unique<char[]>(1));
  return store.texts.back().get();
}

void FillOutput(Init_output* out) {
  static auto* store = new VendorInfoStore;
  auto info = std::make_unique<Vendor_info>();
  info->vendor_id = EmptyText(*store);
  info->version = EmptyText(*store);
  info->release = EmptyText(*store);
  info->level = EmptyText(*store);
  info->server_id = EmptyText(*store);
  out->vendor_session = info.get();
  store->infos.push_back(std::move(info));
}

const char* Text(const char* s) {
  return s != nullptr ? s : "(null)";
}

// The control blocks handed to DB2 and not yet ended. Only these are ever
// dereferenced: a block DB2 hands back after its end (or one that was never
// ours) is refused untouched.
std::vector<const VendorControlBlock*>& LiveBlocks() {
  static auto* live = new std::vector<const VendorControlBlock*>;
  return *live;
}

VendorControlBlock* LiveBlock(void* pVendorCB) {
  for (const VendorControlBlock* cb : LiveBlocks())
    if (cb == pVendorCB) return static_cast<VendorControlBlock*>(pVendorCB);
  return nullptr;
}

void ForgetBlock(const VendorControlBlock* cb) {
  std::erase(LiveBlocks(), cb);
}

int StaleBlock(const char* fn, Return_code* rc) {
  DbgPlain(kDbgUnexpected, "[%s] Called with a control block that is not open", fn);
  return SetCode(rc, SQLUV_INV_DEV_HANDLE);
}

// DB2's list of the image's objects, which DB2 owns with its count.
void PrintObjectList(const char* fn, const DB2_object_list* list) {
  DbgPlain(kTrace, "[%s] list of objects:", fn);
  if (list == nullptr) {
    DbgPlain(kTrace, "[%s]          NULL", fn);
    return;
  }
  DbgPlain(kTrace, "   obj_list->num_of_entries = %d \n", list->num_of_entries);
  if (list->entries == nullptr) return;
  for (std::int32_t i = 0; i < list->num_of_entries; ++i)
    DbgPlain(kTrace, "[%s]      %d object = %s", fn, i, Text(list->entries[i].name));
}

void PrintData(const char* fn, const Data* d) {
  DbgPlain(kTrace, "[%s] Data structure contains following information", fn);
  DbgPlain(kTrace, "obj_num = %d\nbuff_size = %d\nactual_buf_size = %d\ndataptr = %p", d->obj_num,
           d->buff_size, d->actual_buf_size, static_cast<const void*>(d->dataptr));
}

void PrintInput(const char* fn, const Init_input* in) {
  const DB2_info* i = in->DB2_session;
  DbgPlain(kTrace, "[%s] Init_Input structure contains  following information:", fn);
  DbgPlain(kTrace, "[%s] DB2_Info:", fn);
  DbgPlain(kTrace,
           "DB2_id = %s\nversion = %s\nrelease = %s\nlevel = %s\naction = %s\nfilename = %s\n"
           "server_id = %s\ndb2instance = %s\ntype = %s\ndbname = %s\nalias = %s\n"
           "timestamp = %s\nsequence = %s\nmax_bytes_per_txn = %d\nnodename = %s\n"
           "nodenumber = %d\nowner = %s\nmcNameP = %s",
           Text(i->DB2_id), Text(i->version), Text(i->release), Text(i->level), Text(i->action),
           Text(i->filename), Text(i->server_id), Text(i->db2instance), Text(i->type),
           Text(i->dbname), Text(i->alias), Text(i->timestamp), Text(i->sequence),
           i->max_bytes_per_txn, Text(i->nodename), i->nodeNum, Text(i->owner), Text(i->mcNameP));
  PrintObjectList(fn, i->obj_list);
  DbgPlain(kTrace, "[%s] DB size: low order = %u, hi_order = %u", fn, in->size_LOW_order,
           in->size_HI_order);
  DbgPlain(kTrace, "[%s] prompt level = %s", fn, Text(in->prompt_lng));
  DbgPlain(kTrace, "[%s] number of sessions = %d", fn, in->num_sessions);
}

void PrintVendorOpts(const char* fn, const VendorOptions& o) {
  DbgPlain(kTrace, "[%s] Vendor options contains following information:", fn);
  DbgPlain(kTrace,
           "variables \t= %s\nbarlist \t= %s\nmode\t= %d\nbackup type \t= %d\ndataTree \t=%s\n",
           o.variables.c_str(), o.barlist.c_str(), o.mode, o.reserved,
           o.hasTree ? o.dataTree.c_str() : "");
}

// The entry and exit lines of one entry point; the exit closes the function
// stack entry only when the entry was made.
class EntryTrace {
 public:
  explicit EntryTrace(const char* fn) : fn_(fn) {}
  void Enter() {
    if (entered_) return;
    DbgFcnInEx(TARN_HERE, fn_, kTrace, "%s", "");
    entered_ = true;
  }
  int Exit(int result) {
    DbgPlain(kTrace, "%s is exiting with return value %d", fn_, result);
    if (entered_) DbgFcnOutEx(TARN_HERE, fn_, kTrace, "%d", result);
    return result;
  }

 private:
  const char* fn_;
  bool entered_ = false;
};

// Unwinds a vendor session from the state it reached, handing `code` (0 for
// success) to every end; once an end fails, the ends after it get a failure
// too, so nothing is committed above a part that failed. The block goes with
// `cb`. 0 when every end worked.
int cleanup(std::unique_ptr<VendorControlBlock> cb, int code) {
  BarContext* h = cb->handle;
  int result = 0;
  DbgPlain(kTrace, "action=%d", cb->action);
  const auto failed = [&](const char* what) {
    DbgPlain(kDbgUnexpected, "%s failed", what);
    result = -1;
    if (code == 0) code = VEK_GetErrno(h) != 0 ? VEK_GetErrno(h) : kAbortCode;
  };
  if (cb->action == WREN_ACTION_RESTORE) {
    if (cb->firstRead != 0) VEK_EndQueries(h);
    switch (cb->state) {
      case WREN_STATE_ITEM: {
        int status = 0;
        if (VEK_EndItemRestore(h, &status) != 0) failed("VEK_EndItemRestore");
        [[fallthrough]];
      }
      case WREN_STATE_OBJECT:
        if (VEK_EndObjectRestore(h, code) != 0) failed("VEK_EndObjectRestore");
        [[fallthrough]];
      case WREN_STATE_SESSION:
        if (VEK_EndRestore(h, code) != 0) failed("VEK_EndRestore");
        [[fallthrough]];
      case WREN_STATE_INIT: VEK_Exit(h); break;
      default: break;
    }
  } else if (cb->action == WREN_ACTION_BACKUP) {
    // A session that never reached its end handshake counts itself out, so
    // the node's coordinator and the other sessions go on.
    if (cb->state < WREN_STATE_OBJECT) DB2PaceWithdraw(&cb->pace);
    switch (cb->state) {
      case WREN_STATE_ITEM:
        if (VEK_EndItemBackup(h, code) != 0) failed("VEK_EndItemBackup");
        [[fallthrough]];
      case WREN_STATE_OBJECT:
        DbgPlain(kTrace, "[cleanup] We are ready for EndObjectBackup");
        DbgPlain(kTrace, "[cleanup] wait for canStart");
        // An object given up has no end to pace with the node's others, and
        // waiting for the permit would keep DB2 waiting as long as a session
        // of the node that never arrived keeps the coordinator waiting.
        // Without a permit in time the node's coordinator is gone: the object
        // is not committed.
        if (code != 0)
          DB2PaceWithdraw(&cb->pace);
        else if (DB2PaceEndBegin(&cb->pace) < 0)
          failed("DB2PaceEndBegin");
        if (VEK_EndObjectBackup(h, code) != 0) failed("VEK_EndObjectBackup");
        DB2PaceEndEnd(&cb->pace);
        DbgPlain(kTrace, "[cleanup] EndObjectBackup is finished. release finishedEnd");
        [[fallthrough]];
      case WREN_STATE_SESSION:
        if (VEK_EndBackup(h, code) != 0) failed("VEK_EndBackup");
        [[fallthrough]];
      case WREN_STATE_INIT: VEK_Exit(h); break;
      default: break;
    }
  } else if (cb->state != WREN_STATE_NONE) {
    VEK_Exit(h);
  }
  ForgetBlock(cb.get());
  return result;
}

int StartBackup(VendorControlBlock* cb, const DB2_info* info, const VendorOptions& opts) {
  const char* fn = "sqluvint";
  BarContext* h = cb->handle;
  if (VEK_StartBackup(h, opts.barlist.c_str()) != 0) {
    DbgPlain(kDbgUnexpected, "VEK_StartBackup failed");
    return SQLUV_INIT_FAILED;
  }
  cb->state = WREN_STATE_SESSION;
  DbgPlain(kTrace, "initInput->DB2_session->type=%s", info->type);
  const char typeChar = Db2TypeChar(info->type);
  const int backupType = Db2BackupType(typeChar);
  const std::string name = Db2ObjectName(info->db2instance, info->alias, info->nodeNum,
                                         info->timestamp, typeChar, info->sequence);
  DbgPlain(kTrace, "Starting VEK_StartObjectBackup, objectName: \"%s\"", name.c_str());

  DbgPlain(kTrace, "[%s] We are ready for StartObjectBackup", fn);
  DbgPlain(kTrace, "[%s] wait for canStart", fn);
  if (DB2PaceStartBegin(&cb->pace) < 0) {
    DB2PaceStartEnd(&cb->pace);
    return SQLUV_INIT_FAILED;
  }
  const std::string extOpts = "DBtree=" + opts.dataTree;
  DbgPlain(kTrace, "Set External Options:%s", extOpts.c_str());
  char* filter = BU_GetEnv("VEKDEVICEFILTER");
  const ObjectBackupOptions options{1, extOpts.c_str(), "", "", "", "", filter};
  const char* objectName = VEK_Objectname(name.c_str(), nullptr);
  const int started = objectName != nullptr
                          ? VEK_StartObjectBackupEx(h, backupType, objectName, nullptr, &options)
                          : BAR_EPARAM;
  safe_free(filter, rcsId, __LINE__);
  DB2PaceStartEnd(&cb->pace);
  DbgPlain(kTrace, "[%s] StartObjectBackup is finished. release finishedStart", fn);
  if (started != 0) {
    DbgPlain(kDbgUnexpected, "VEK_StartObjectBackup failed");
    return SQLUV_INIT_FAILED;
  }
  cb->state = WREN_STATE_OBJECT;
  DaItemAttr item{};
  item.name = kDb2ItemName;
  if (VEK_StartItemBackup(h, &item, nullptr, 0, 0) != 0) {
    DbgPlain(kDbgUnexpected, "VEK_StartItemBackup failed");
    return SQLUV_INIT_FAILED;
  }
  cb->state = WREN_STATE_ITEM;
  return SQLUV_OK;
}

// The objects of an image whose names begin with `part`, sorted by name.
int FindObjects(BarContext* h, const std::string& part, VEK_Object** list, const char* fn) {
  int count = 0;
  VEK_Object* found = nullptr;
  const int rc = VEK_QueryObjectsPartName(VEK_ContextCatalog(h), kDb2ObjectType, part.c_str(),
                                          kDb2Label, &count, &found);
  if (rc != 0) DbgPlain(kTrace, "[%s] VEK_QueryObjectPartName failed with the result = %d", fn, rc);
  int kept = 0;
  for (int i = 0; i < count; ++i)
    if (Db2PartMatches(found[i].mountPoint, part)) found[kept++] = found[i];
  if (kept == 0) {
    VEK_FreeArray(count, found, sizeof(VEK_Object), nullptr);
    found = nullptr;
  } else {
    std::qsort(found, static_cast<std::size_t>(kept), sizeof(VEK_Object), compare);
  }
  *list = found;
  return kept;
}

// The objects of the image `info` names for `instance`: those under the part
// name with the node, else those under the older part name; *part is the
// name searched last.
int FindImage(BarContext* h, const std::string& instance, const DB2_info* info, VEK_Object** list,
              std::string* part, const char* fn) {
  *part = Db2PartName(instance, info->alias, info->nodeNum, info->timestamp);
  int count = FindObjects(h, *part, list, fn);
  if (count == 0) {
    DbgPlain(kTrace, "[%s] No object found for part name %s - try to find old style object name",
             fn, part->c_str());
    *part = Db2OlderPartName(instance, info->alias, info->timestamp);
    count = FindObjects(h, *part, list, fn);
  }
  return count;
}

// The versions of the image object at host and mount point, whose name is
// written to `name` (kObjNameSize bytes); 0 and no list when there is none.
int FindVersions(BarContext* h, const char* host, const char* mountPoint, char* name,
                 VEK_Version** versions) {
  int count = 0;
  *versions = nullptr;
  if (StrToObjectName(kDb2ObjectType, host, mountPoint, kDb2Label, name) == 0)
    VEK_QueryObjectVersionsEx(VEK_ContextCatalog(h), name, 1, &count, versions);
  if (count == 0) {
    VEK_FreeArray(count, *versions, sizeof(VEK_Version), VEK_VersionFree);
    *versions = nullptr;
  }
  return count;
}

int StartRestore(VendorControlBlock* cb, const DB2_info* info, const VendorOptions& opts,
                 Init_output* out) {
  const char* fn = "sqluvint";
  BarContext* h = cb->handle;
  if (VEK_StartRestore(h, opts.barlist.c_str()) != 0) {
    DbgPlain(kDbgUnexpected, "VEK_StartRestore failed");
    return SQLUV_INIT_FAILED;
  }
  cb->state = WREN_STATE_SESSION;
  cb->firstRead = 1;
  const std::string instance =
      !opts.restoreInstance.empty() ? opts.restoreInstance : std::string(info->db2instance);
  if (int rc = VEK_StartQueries(h); rc != 0)
    DbgPlain(kTrace, "[%s] VEK_StartQueries failed with the result = %d", fn, rc);
  std::string part;
  const int count = FindImage(h, instance, info, &cb->objects, &part, fn);
  if (count == 0) {
    DbgPlain(kDbgUnexpected, "[%s] No objects found for part name %s", fn, part.c_str());
    VEK_EndQueries(h);
    cb->firstRead = 0;
    return SQLUV_OBJ_NOT_FOUND;
  }
  cb->objectCount = count;
  DbgPlain(kTrace, "[%s] %d objects for partObjName %s have been found", fn, count, part.c_str());
  out->vendor_session->num_objects_in_backup = count;
  return SQLUV_OK;
}

int Init(Init_input* in, Init_output* out, Return_code* rc, EntryTrace& trace) {
  const char* fn = "sqluvint";
  DbgPlain(kTrace, "[%s] entering", fn);
  if (in == nullptr || out == nullptr) return SetCode(rc, SQLUV_INIT_FAILED);
  if (const char* missing = WrenMissingField(in->DB2_session)) {
    DbgPlain(kDbgUnexpected, "[%s] DB2 gave no %s", fn, missing);
    return SetCode(rc, SQLUV_INIT_FAILED);
  }
  const DB2_info* info = in->DB2_session;
  const bool backup = info->action[0] == 'W';
  VendorOptions opts;
  if (WrenReadOptions(in, backup, &opts) != 0) return SetCode(rc, SQLUV_INIT_FAILED);
  VendorOptionsExportVariables(opts.variables);

  BarContext* handle = nullptr;
  if (VEK_Init("DB2", info->db2instance, "DB2LIB", 0, &handle) < 0) {
    DbgPlain(kDbgUnexpected, "VEK_Init failed");
    return SetCode(rc, SQLUV_INIT_FAILED);
  }
  trace.Enter();
  auto cb = std::make_unique<VendorControlBlock>();
  cb->handle = handle;
  cb->action = backup ? WREN_ACTION_BACKUP : WREN_ACTION_RESTORE;
  cb->restoreHost = opts.restoreHost;
  cb->state = WREN_STATE_INIT;
  cb->node = info->nodeNum;
  cb->pace.node = info->nodeNum;
  FillOutput(out);
  PrintVendorOpts(fn, opts);
  PrintInput(fn, in);

  int code = SQLUV_OK;
  if (info->action[0] == 'W')
    code = StartBackup(cb.get(), info, opts);
  else if (info->action[0] == 'R')
    code = StartRestore(cb.get(), info, opts, out);
  if (code != SQLUV_OK) {
    DbgPlain(kTrace, "[%s] sqluvint failed with error: %d", fn, code);
    SetCode(rc, code);
    cleanup(std::move(cb), VEK_GetErrno(handle) != 0 ? VEK_GetErrno(handle) : kAbortCode);
    return code;
  }
  LiveBlocks().push_back(cb.get());
  // DB2 holds the block from here until it hands it back to sqluvend.
  out->pVendorCB = cb.release();
  return SetCode(rc, SQLUV_OK);
}

// Opens the restore of object `index` and its item; 0, or -1 with
// return_code 11.
int DB2StartObjRestore(Return_code* rc, VendorControlBlock* cb, int index) {
  const VEK_Object& object = cb->objects[index];
  const VEK_Version& first = cb->versions[0];
  DbgPlain(kTrace, "Starting VEK_StartObjectRestore");
  const char* name = VEK_ObjectnameEx(kDb2ObjectType, object.host, object.mountPoint, nullptr);
  if (name == nullptr || VEK_StartObjectRestoreEx(cb->handle, name, first.sessionId, nullptr,
                                                  static_cast<int>(VEK_VersionId(first))) != 0) {
    DbgPlain(kDbgUnexpected, "VEK_StartObjectRestore failed");
    SetCode(rc, SQLUV_INIT_FAILED);
    return -1;
  }
  cb->state = WREN_STATE_OBJECT;
  DbgPlain(kTrace, "Starting VEK_StartItemRestore");
  VEK_Item item{};
  if (VEK_StartItemRestoreEx(cb->handle, nullptr, &item, nullptr, nullptr) != 0) {
    DbgPlain(kDbgUnexpected, "VEK_StartItemRestore failed");
    SetCode(rc, SQLUV_INIT_FAILED);
    return -1;
  }
  cb->state = WREN_STATE_ITEM;
  return 0;
}

int Get(void* pVendorCB, Data* data, Return_code* rc) {
  const char* fn = "sqluvget";
  if (pVendorCB != nullptr && LiveBlock(pVendorCB) == nullptr) return StaleBlock(fn, rc);
  auto* cb = static_cast<VendorControlBlock*>(pVendorCB);
  if (cb == nullptr || data == nullptr || data->buff_size < 0 ||
      (data->dataptr == nullptr && data->buff_size > 0) || cb->action != WREN_ACTION_RESTORE) {
    DbgPlain(kDbgUnexpected, "[%s] Called without a restore session or buffer", fn);
    return SetCode(rc, SQLUV_IO_ERROR);
  }
  // Nothing asked for, nothing done: the stream stays where it is.
  if (data->buff_size == 0) {
    data->actual_buf_size = 0;
    return SetCode(rc, SQLUV_MORE_DATA);
  }
  if (cb->firstRead != 0) {
    cb->firstRead = 0;
    if (data->obj_num < 0 || data->obj_num >= cb->objectCount) {
      DbgPlain(kDbgUnexpected, "[%s] No object %d among %d", fn, data->obj_num, cb->objectCount);
      VEK_EndQueries(cb->handle);
      return SetCode(rc, SQLUV_IO_ERROR);
    }
    const VEK_Object& object = cb->objects[data->obj_num];
    const char* host = !cb->restoreHost.empty() ? cb->restoreHost.c_str() : object.host;
    char name[kObjNameSize];
    VEK_Version* versions = nullptr;
    const int count = FindVersions(cb->handle, host, object.mountPoint, name, &versions);
    VEK_EndQueries(cb->handle);
    if (count == 0) {
      DbgPlain(kDbgUnexpected, "[%s] No versions found for object %s", fn, name);
      return SetCode(rc, -1);
    }
    cb->versions = versions;
    cb->versionCount = count;
    DbgPlain(kTrace, "[%s] %d versions of object %s have been found", fn, count, name);
    // DB2 learns why the object cannot be read, not a read error after it.
    if (DB2StartObjRestore(rc, cb, data->obj_num) != 0) return SQLUV_INIT_FAILED;
  }
  const int n = VEK_ReadItemData(cb->handle, data->dataptr, data->buff_size);
  if (n < 0) {
    DbgPlain(kDbgUnexpected, "[%s]VEK_ReadItemData failed\nto read %d \tbytesread  %d \tbytes", fn,
             data->buff_size, n);
    return SetCode(rc, SQLUV_IO_ERROR);
  }
  data->actual_buf_size = n;
  DbgPlain(kTrace, "[%s] %d bytes were readed", fn, n);
  PrintData(fn, data);
  if (n == 0) {
    DbgPlain(kTrace, "[%s] return_code = SQLUV_ENDOFMEDIA_NO_DATA", fn);
    return SetCode(rc, SQLUV_ENDOFMEDIA_NO_DATA);
  }
  if (n >= data->buff_size) {
    DbgPlain(kTrace, "[%s] return_code = SQLUV_MORE_DATA", fn);
    return SetCode(rc, SQLUV_MORE_DATA);
  }
  DbgPlain(kTrace, "[%s] return_code = SQLUV_ENDOFMEDIA", fn);
  return SetCode(rc, SQLUV_ENDOFMEDIA);
}

int Put(void* pVendorCB, Data* data, Return_code* rc) {
  const char* fn = "sqluvput";
  if (pVendorCB != nullptr && LiveBlock(pVendorCB) == nullptr) return StaleBlock(fn, rc);
  auto* cb = static_cast<VendorControlBlock*>(pVendorCB);
  if (cb == nullptr || data == nullptr || data->buff_size < 0 ||
      (data->dataptr == nullptr && data->buff_size > 0) || cb->action != WREN_ACTION_BACKUP) {
    DbgPlain(kDbgUnexpected, "[%s] Called without a backup session or buffer", fn);
    return SetCode(rc, SQLUV_IO_ERROR);
  }
  if (data->buff_size == 0) {
    data->actual_buf_size = 0;
    return SQLUV_OK;
  }
  const int n = VEK_WriteItemData(cb->handle, data->dataptr, data->buff_size);
  if (n < data->buff_size) {
    DbgPlain(kDbgUnexpected, "[%s]VEK_WriteItemData failed\nto write %d \tbyteswritten  %d \tbytes",
             fn, data->buff_size, n);
    return SetCode(rc, SQLUV_IO_ERROR);
  }
  DbgPlain(kTrace, "[%s] %d bytes where saved", fn, n);
  data->actual_buf_size = data->buff_size;
  return SQLUV_OK;
}

int End(std::int32_t action, void* pVendorCB, Return_code* rc) {
  const char* fn = "sqluvend";
  DbgPlain(kTrace, "[%s] action = %d", fn, action);
  if (pVendorCB != nullptr && LiveBlock(pVendorCB) == nullptr) return StaleBlock(fn, rc);
  // DB2 gives back the block sqluvint released to it.
  std::unique_ptr<VendorControlBlock> cb(static_cast<VendorControlBlock*>(pVendorCB));
  if (cb == nullptr) return SetCode(rc, action == SQLUV_COMMIT ? SQLUV_COMMIT_FAILED : SQLUV_OK);
  // An abort is never committed: the ends get a failure even when the
  // integration context saw no error of its own.
  int code = cb->handle != nullptr ? VEK_GetErrno(cb->handle) : 0;
  if (action != SQLUV_COMMIT && code == 0) code = kAbortCode;
  const int result = cleanup(std::move(cb), code);
  if (action == SQLUV_COMMIT && (result != 0 || code != 0)) {
    DbgPlain(kDbgUnexpected, "[%s] The commit failed", fn);
    return SetCode(rc, SQLUV_COMMIT_FAILED);
  }
  return SetCode(rc, SQLUV_OK);
}

int Delete(Init_input* in, Init_output* /*out*/, Return_code* rc, EntryTrace& trace) {
  const char* fn = "sqluvdel";
  if (in == nullptr || WrenMissingField(in->DB2_session) != nullptr) {
    DbgPlain(kDbgUnexpected, "[%s] DB2 gave no image to delete", fn);
    SetCode(rc, SQLUV_INIT_FAILED);
    return -1;
  }
  const DB2_info* info = in->DB2_session;
  if (in->options != nullptr && WrenOptionsSize(*in) != 0) {
    VendorOptions opts;
    if (WrenReadOptions(in, false, &opts) != 0) {
      SetCode(rc, SQLUV_INIT_FAILED);
      return -1;
    }
    VendorOptionsExportVariables(opts.variables);
  }
  BarContext* h = nullptr;
  if (VEK_Init("DB2", info->db2instance, "DB2LIB", 0, &h) < 0) {
    DbgPlain(kDbgUnexpected, "VEK_Init failed");
    SetCode(rc, SQLUV_INIT_FAILED);
    return -1;
  }
  trace.Enter();
  PrintInput(fn, in);
  VEK_StartQueries(h);
  std::string part;
  VEK_Object* objects = nullptr;
  const int count = FindImage(h, info->db2instance, info, &objects, &part, fn);
  int result = 0;
  if (count == 0) {
    DbgPlain(kTrace, "[%s] No objects found for part name %s", fn, part.c_str());
    result = -1;
  }
  for (int i = 0; i < count; ++i) {
    char name[kObjNameSize];
    VEK_Version* versions = nullptr;
    const int n = FindVersions(h, objects[i].host, objects[i].mountPoint, name, &versions);
    if (n == 0) {
      DbgPlain(kDbgUnexpected, "[%s] No versions found for object %s", fn, name);
      result = -1;
      break;
    }
    DbgPlain(kTrace, "[%s] %d versions of object %s have been found", fn, n, name);
    VEK_ChangeOVProtection(VEK_ContextCatalog(h), static_cast<int>(VEK_VersionId(versions[0])), 0,
                           0);
    VEK_FreeArray(n, versions, sizeof(VEK_Version), VEK_VersionFree);
  }
  VEK_FreeArray(count, objects, sizeof(VEK_Object), nullptr);
  // The queries and the context end whatever was found, so that DB2 may
  // call again in the same process.
  VEK_EndQueries(h);
  VEK_Exit(h);
  SetCode(rc, result == 0 ? SQLUV_OK : SQLUV_OBJ_NOT_FOUND);
  return result;
}

// Runs an entry point between its entry and exit traces. `fail` gives the
// answer when `body` throws, and, untraced, when the entry points that may
// come first in a process (`opens`) cannot start the common library. Those
// open an integration context, which begins the trace with a fresh function
// stack: they enter the trace themselves once it runs.
template <class Body, class Fail>
int Traced(const char* fn, bool opens, Body body, Fail fail) {
  if (opens && StartAsGuest() < 0) return fail();
  EntryTrace trace(fn);
  if (!opens) trace.Enter();
  int result;
  try {
    result = body(trace);
  } catch (...) {
    result = fail();
  }
  return trace.Exit(result);
}

}  // namespace

WREN_EXPORT int sqluvint(Init_input* in, Init_output* out, Return_code* rc) {
  return Traced(
      "sqluvint", true, [&](EntryTrace& trace) { return Init(in, out, rc, trace); },
      [&] { return SetCode(rc, SQLUV_INIT_FAILED); });
}

WREN_EXPORT int sqluvget(void* pVendorCB, Data* data, Return_code* rc) {
  return Traced(
      "sqluvget", false, [&](EntryTrace&) { return Get(pVendorCB, data, rc); },
      [&] { return SetCode(rc, SQLUV_IO_ERROR); });
}

WREN_EXPORT int sqluvput(void* pVendorCB, Data* data, Return_code* rc) {
  return Traced(
      "sqluvput", false, [&](EntryTrace&) { return Put(pVendorCB, data, rc); },
      [&] { return SetCode(rc, SQLUV_IO_ERROR); });
}

WREN_EXPORT int sqluvend(std::int32_t action, void* pVendorCB, Init_output* /*out*/,
                         Return_code* rc) {
  return Traced(
      "sqluvend", false, [&](EntryTrace&) { return End(action, pVendorCB, rc); },
      [&] { return SetCode(rc, action == SQLUV_COMMIT ? SQLUV_COMMIT_FAILED : SQLUV_OK); });
}

WREN_EXPORT int sqluvdel(Init_input* in, Init_output* out, Return_code* rc) {
  return Traced(
      "sqluvdel", true, [&](EntryTrace& trace) { return Delete(in, out, rc, trace); },
      [&] {
        SetCode(rc, SQLUV_INIT_FAILED);
        return -1;
      });
}
