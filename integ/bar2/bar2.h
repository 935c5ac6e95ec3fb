// Integration API: the per-process integration context, its creation and
// release, the call-order machine, the process-wide record VEK_Global, the
// report hooks that copy every report line to the session manager, and the
// pre- and post-execution script runner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>

#include "cmn/strmsg.h"
#include "cmn/var.h"
#include "parse/cmnvec.h"

// ---------------------------------------------------------------- results

enum BarResult : int {
  BAR_OK = 0,
  BAR_ECOMM = -2,        // cell server or session manager unreachable
  BAR_ESESSION = -3,     // a backup or restore session is still open
  BAR_EPARAM = -4,       // bad parameter
  BAR_ESEQUENCE = -5,    // wrong call sequence
  BAR_ENOMEM = -7,       // out of memory, or closing a connection failed
  BAR_EPERM = -8,        // denied by the user's access rights
  BAR_EABORTED = -17,    // aborted by the session manager
  BAR_EQUERY = -18,      // a catalogue query failed
  BAR_EWAIT = -19,       // waiting for the session manager timed out
  BAR_ENOCONTEXT = -21,  // no integration context
  BAR_EEXISTS = -22,     // a context already exists
};

// Call-order modes of a context.
enum SessionMode : int {
  BAR_MODE_NONE = 0,  // being set up
  BAR_MODE_IDLE = 1,
  BAR_MODE_BACKUP = 2,
  BAR_MODE_OBJECT_BACKUP = 3,
  BAR_MODE_ITEM_BACKUP = 4,
  BAR_MODE_RESTORE = 5,
  BAR_MODE_OBJECT_RESTORE = 6,
  BAR_MODE_ITEM_RESTORE = 7,
};

// ---------------------------------------------------------------- context

inline constexpr std::size_t kBarHostMax = 64;
inline constexpr std::size_t kBarSessIdMax = 16;
inline constexpr std::size_t kBarGuidMax = 38;
inline constexpr std::size_t kBarObjNameMax = 1184;
inline constexpr std::size_t kBarListMax = 255;
inline constexpr std::size_t kBarModuleMax = 255;
inline constexpr std::size_t kBarDbgMax = 255;
inline constexpr std::size_t kBarAppMax = 80;
inline constexpr std::size_t kBarComposedNameMax = 2047;
inline constexpr std::size_t kBarDatabaseIdMax = 400;
// Most bytes of extended attributes an item carries: the backup refuses
// more, and a restore never gives back more.
inline constexpr int kBarExtAttrMax = 1024;

// The encryption library's handle: opaque, owned by the library.
struct DaeContext;

// Key entity under which the key server keeps an object's key (kind 2).
inline constexpr std::size_t kBarKeyEntityNameMax = 512;
struct BarKeyEntity {
  int kind;  // 0: none made
  char name[kBarKeyEntityNameMax];
  int length;
};

// Called with every report line (a message text with NUL separators) before
// it is shown or sent.
using BarReportCallback = void (*)(const char* message);

// Frees a text of the common library's allocator (safe_malloc, StrNewCopy).
struct BarTextFree {
  void operator()(char* text) const;
};

struct VEK_Catalog;
// Frees a catalogue state; its session is closed by VEK_EndQueries, not here.
struct BarCatalogDelete {
  void operator()(VEK_Catalog* catalog) const;
};

// The codecs of one object: which transforms its data get, the libraries
// started for it, its encryption handle and key entity. Set up at the object
// start and cleared at its end (BarEndTransforms): nothing carries over to
// the next object.
struct BarCodecs {
  int encode;
  int encrypt;
  int compress;
  int transformId;
  int compressionId;
  int codecsStarted;       // kBarCodec... bits of the libraries to end
  int decryptReady;        // 1 once the current item's key has been checked
  DaeContext* encrHandle;  // null while no encryption runs
  BarKeyEntity keyEntity;  // made when encryption starts for backup
  // The caller's write callback while the compression library drives a
  // restore item's data; null otherwise.
  int (*decompressWrite)(const void* data, int length, void* context);

  // Clears every transform flag and id; the libraries and the handle are
  // BarEndTransforms' to end.
  void ClearTransforms();
};

// Base of the state records that free what they hold: never copied.
struct BarOwner {
  BarOwner() = default;
  BarOwner(const BarOwner&) = delete;
  BarOwner& operator=(const BarOwner&) = delete;
};

// The session-manager session of a backup or restore: open from its start
// call to its end call, re-attached through its GUID after each object.
struct BarSessionState : BarOwner {
  ~BarSessionState();

  int smHandle = -1;  // session-manager connection, -1 none
  StrMsg smMsg;       // receive buffer of the session-manager link
  char sessId[kBarSessIdMax + 1];
  char sessGuid[kBarGuidMax + 1];
  char barlist[kBarListMax + 1];
  int abortCode;
  int abortWording;
};

// One object, from its start call to its end call: what the session manager
// handed out for it, its data path, its codecs and its counters.
struct BarObjectState : BarOwner {
  ~BarObjectState();

  char objName[kBarObjNameMax + 1];
  int backupType;
  CmnVec trees;  // texts
  int longNameWarned;
  int daId;
  char maHost[kBarHostMax + 1];
  int maLocal = -1;  // 1 local agent, 0 remote, -1 no object open
  int maBlockSize;
  int recOffset;
  std::string objText;
  int sparse;
  int profile;
  int startTime;
  int endTime;
  int sinceTime;
  BarCodecs codecs;
  // Times, progress and report counts; back to 0 at each object end.
  struct Counters {
    int objBeginTime;
    int objElapsed;
    time_t lastStatus;
    int worstLevel;
    int level0Reports;
    int errorReports;
    int items;
    int objItems;
    int64_t objSize;
    int64_t bytesDone;
  } counters;
};

// The current item: its id and name, and the data record being filled
// (backup) or the record being read (restore). Records are the data path's:
// dropped, never freed.
struct BarItemState : BarOwner {
  ~BarItemState();

  int itemId;  // backup numbers the object's items from 0
  CmnVar itemName;
  int64_t itemOffset;  // item bytes already in data records
  void* dataRecord;
  void* restoreRecord;
  uint32_t recBytes;  // bytes of restoreRecord, 0 without one
  int recSize;
  int recSpaceLeft;
  int64_t bytesRead;     // read from the item's file for a backup
  int64_t bytesWritten;  // written to the item's file on restore

  // An object's start: no item yet, the next one numbered 0.
  void Reset();
  // Forgets the current restore record: none, and no data left to read.
  void DropRestoreRecord();
  // Forgets the backup data record being filled (given up, not written).
  void DropDataRecord();
};

// The integration context (slot 19): what lives as long as the process's
// context, and the session, object and item state, each with its own
// lifetime. Its slot's AtInit constructs it in the zeroed slot memory and
// its AtFree destroys it.
struct BarContext {
  int mode;  // SessionMode
  int lastCode;
  int erhErrno;
  int lastError;
  int output;           // 0: report lines are neither printed nor sent
  int dbsmHandle = -1;  // catalogue session of queries, -1 none
  uint32_t access;      // access rights; 0 means none
  BarReportCallback reportCallback;
  int smLink;  // 0: no session-manager session, reports stay local
  char module[kBarModuleMax + 1];
  std::unique_ptr<char, BarTextFree> dbgPostfix;  // null: none
  char dbgRanges[kBarDbgMax + 1];
  char dbgSelect[kBarDbgMax + 1];
  int reportLevel;
  int spareHandle = -1;
  char appType[kBarAppMax + 1];
  char appName[kBarAppMax + 1];
  char reportName[kBarAppMax + 1];
  int integSpecific;
  int dmpContext;
  char composedName[kBarComposedNameMax + 1];
  char databaseId[kBarDatabaseIdMax + 1];
  int cmnStarted;
  int ipcStarted;
  int csaStarted;
  int stdinTerminal = -1;  // -1 until the report hook first asked
  // The catalogue state of the context's queries (VEK_ContextCatalog), made
  // by the first one and freed with the context.
  std::unique_ptr<VEK_Catalog, BarCatalogDelete> catalog;

  BarSessionState session;
  BarObjectState object;
  BarItemState item;
};

// Process-wide record, filled once by VEK_InitGlobals.
inline constexpr unsigned kVekCapCompress = 1;
inline constexpr unsigned kVekCapEncode = 2;
inline constexpr unsigned kVekCapEncrypt = 4;
inline constexpr int kVekFlagClustering = 1;   // host name from VEKBARHOSTNAME
inline constexpr int kVekFlagStopStarted = 2;  // VEK_Exit stops only what VEK_Init started
inline constexpr int kVekUpdateDefault = 20;
inline constexpr int kVekUpdateMin = 2;
inline constexpr int kVekUpdateMax = 300;

struct VekGlobalRecord {
  char cmHost[kBarHostMax + 1];
  char shortVersion[256];
  int update;  // status interval in seconds
  unsigned char capability;
  int flags;
};
extern VekGlobalRecord VEK_Global;

// ---------------------------------------------------------------- start and stop

// Opens the process's context: installs the report hooks, starts whatever of
// the common library, the IPC layer and the cell-server client is not
// running, applies VEKOPTS and reads the user's access rights. 0 and *out;
// -22 (and *out the existing context), -4, -7, -2 or -8 (no context).
int VEK_Init(const char* appType, const char* appName, const char* module, int spare,
             BarContext** out);
// Releases the context in mode 1 (0) and, answering -5, in modes 3, 4, 6, 7
// after ending what is open; refuses in modes 2 and 5 (-3) and 0 (-5).
// Stops the layers VEK_Init started (all of them when VEK_Global's flags
// lack kVekFlagStopStarted). 0 without a context.
int VEK_Exit(BarContext* ctx);
// The process's context (slot 19), or null.
BarContext* VEK_GetContext();

// Fills VEK_Global once per process. Returns 0.
int VEK_InitGlobals();
// Takes VEKBARHOSTNAME as the process host name when set and not empty.
void VEK_InitClustering();
void VEK_SetFlags(int flags);
// The cell-manager host, from VEK_CellServer when not yet known; "" when
// none can be found.
const char* VEK_GetCMHost();
// Starts the cell-server client for the session-manager link (embedded).
// 0 or the client's error; -21 without context.
int VEK_InitCsa();

// ---------------------------------------------------------------- call order

// Trace level of the call-order flow, and of the texts of refused calls.
inline constexpr int kBarLevelFlow = 1;

// 0 when the context is in `mode` (or, when `other` is not -1, in `other`);
// else traces the call-sequence text for `function` at `level`, stores -5 as
// the last code and returns -5. Changes nothing else.
int BarCheckMode(BarContext* ctx, const char* function, int mode, int other = -1,
                 int level = kBarLevelFlow);
// Stores a failure: last code and last error := code, error number :=
// ErhErrno(). Returns code.
int BarFail(BarContext* ctx, int code);
// Resolves a null context to the process's own; null when there is none.
BarContext* BarResolve(BarContext* ctx);

// ---------------------------------------------------------------- hooks of later layers

// What the context calls in the session-manager link and the data path.
// Null members keep the built-in behaviour named beside them.
struct BarLinkHooks {
  // Aborts the session-manager session with `code`. Built in: VEK_Abort.
  int (*abort)(BarContext* ctx, int code);
  // Progress status. Built in: VEK_UpdateStatus.
  int (*updateStatus)(BarContext* ctx, int64_t bytes, int force);
  // Sends a report message (message text with NUL separators) to the
  // session manager, reconnecting where it can; 0 or -1. Built in:
  // RcIpcSendMsg on the session-manager handle.
  int (*sendReport)(BarContext* ctx, char* message);
  // VEK_Exit with an object or item open: end the data path, abort the
  // session-manager session and end the codecs. Built in: abort the
  // session with code 8003 and forget its GUID.
  void (*endOpenWork)(BarContext* ctx);
  // VEK_End's object end in mode 3 or 6 (VEK_EndObjectBackup,
  // VEK_EndObjectRestore). Built in: close the session-manager connection
  // and step back to mode 2 or 5.
  int (*endObject)(BarContext* ctx, int code);
  // VEK_End's session end in mode 2 or 5 (VEK_EndBackup, VEK_EndRestore).
  // Built in: BarEndSession with the code and mode 1.
  int (*endSession)(BarContext* ctx, int code);
  // RbmRead: the next record of the restore data path in host order. 1 and
  // *record; 0 at the end; -1 on failure. Built in: RbmRead (a missing
  // record is a failure).
  int (*rbmRead)(BarContext* ctx, std::span<std::uint8_t>* record);
  // VEK_WriteItemData and VEK_ReadItemData for the compression callbacks:
  // the count written or read, 0 on failure. Built in: 0 until a backup or
  // restore session starts, which installs those two calls.
  int (*writeItemData)(BarContext* ctx, const void* data, int length);
  int (*readItemData)(BarContext* ctx, void* buffer, int length);
};
// Installs hooks (null: all built in). Returns the previous set.
BarLinkHooks BarSetLinkHooks(const BarLinkHooks* hooks);

// ---------------------------------------------------------------- session-manager link

// Messages between the integration API and the session manager. MSG_ABORT
// (1), MSG_STOP (6) and MSG_MSGFMT (15) are the data path's (dacmn/dacmn.h).
enum BarSmMsgId : int {
  MSG_OPTIONS = 2,     // inside the session start: "-bar", "<appType> <barlist>", option words
  MSG_BDASTATUS = 33,  // six "%d", then two 64-bit decimals: see VEK_UpdateStatus
  MSG_CONNECT = 45,    // option words of the object (IntegOptions)
  MSG_BAROPT = 51,     // object request
  MSG_WAIT = 64,       // "%d": seconds to wait before asking again
};

inline constexpr int kBarSessionBackup = 7;
inline constexpr int kBarSessionRestore = 8;
// Pause after a MSG_WAIT whose seconds are missing or below 1.
inline constexpr int kBarWaitDefault = 20;
// Abort code sent when a message from the session manager cannot be parsed.
inline constexpr int kBarAbortBadMessage = 8004;
// The word the restore flag of SessionConnectOptions adds to MSG_OPTIONS.
inline constexpr char kBarRestoreFlagWord[] = "-restore_session";

// The third argument of VEK_ConnectSession; zero it for none.
struct SessionConnectOptions {
  const char* barlist;
  int diskOnly;                // backup: "-disk_only" when VEKDISKONLY is a non-zero number
  int restoreFlag;             // restore: kBarRestoreFlagWord
  int noAutoDeviceSelection;   // restore: "-no_auto_device_selection"
  const char* const* devices;  // restore: pairs of texts, each pair after "-changedevice"
  int deviceCount;
};

// Opens a session of type 7 (backup) or 8 (restore) with MSG_OPTIONS, or,
// while the context holds a GUID, re-attaches to it. Retries for
// VEKRECONNECT_RETRY seconds (0 or unset: 600), 10 s apart; a re-attach the
// server refuses with 1005 is not retried. 0 (also without a session-manager
// link); -4 bad type; -2 after report 131/12.
int VEK_ConnectSession(BarContext* ctx, int type, const SessionConnectOptions* options);
// Closes the session-manager connection; the GUID stays for a re-attach.
// 0, -7 when closing failed, -21.
int VEK_CloseSession(BarContext* ctx);
// Sends a message on the link, reconnecting through -lport where it can.
// 0; -2 after report 131/23 (the connection is closed then); -21.
int VEK_SendMessage(BarContext* ctx, StrMsg* msg);
// Waits for one message (timeout in seconds, -1 none) in slices of at most
// the status interval, sending a forced status after each empty slice, and
// reads it into `msg` (null: the process-wide buffer) with its parse
// started. The message code; -19 timed out; -2 after a report (a message
// that cannot be parsed also aborts the session with kBarAbortBadMessage);
// -21 without context or connection.
int VEK_ReceiveMessageEx(BarContext* ctx, int timeout, StrMsg* msg);
int VEK_ReceiveMessage(BarContext* ctx, StrMsg* msg);
// Adds `bytes` to the bytes done and sends MSG_BDASTATUS when forced or
// when the status interval has passed on the process clock. 0, -2.
int VEK_UpdateStatus(BarContext* ctx, int64_t bytes, int force);
// Sends MSG_ABORT with `code` (no reconnection), then closes the session.
int VEK_SendAbort(BarContext* ctx, int code);
// Reports the abort (131/33, or 131/32 with the abort wording), then
// VEK_SendAbort.
int VEK_Abort(BarContext* ctx, int code);
// Handles a received MSG_ABORT whose parse is at its first item: keeps the
// code, reports it (131/27 or 131/17) and answers with the same code.
// Returns -17.
int VEK_OnAbortM(BarContext* ctx, StrMsg* received, const char* file, const char* function,
                 int line);
// Sends MSG_STOP (reconnecting), then closes the session.
int VEK_Stop(BarContext* ctx);
// Ends the session-manager session: stop for code 0, else abort with the
// code; the GUID is cleared so that the next connect opens a new session.
int BarEndSession(BarContext* ctx, int code);
// Starts tracing with debug options that came with MSG_CONNECT, unless
// tracing already runs or postfix or ranges are empty. 0, -21.
int VEK_RestartDebugging(BarContext* ctx, const char* postfix, const char* ranges,
                         const char* select);

// Closes whatever is open, each step in the mode the previous one left: an
// object in mode 3 or 6, the session in mode 2 or 5, then in mode 1 the
// context (VEK_Exit). The first non-zero result, or 0; 0 without context.
int VEK_End(BarContext* ctx, int code);

struct IntegOptions;
// The object request: sends `request` (a MSG_BAROPT) and reads the answer.
// MSG_CONNECT: its words are parsed into *opts (zeroed first; free with
// OptFreeOpts) and 0 is returned. MSG_WAIT: the session is ended with
// code 0, the process pauses the seconds given (kBarWaitDefault when
// below 1), connects a new session of `type` with the context's barlist and
// asks again. MSG_ABORT: VEK_OnAbortM, -17. Another code: report 131/28,
// -2. -2 for a failed send or receive.
int VEK_RequestObject(BarContext* ctx, int type, StrMsg* request, IntegOptions* opts);

// ---------------------------------------------------------------- reports

int BAR2ReportHook(const char* message);
int BAR2ConsoleHook(const char* message);
// The hook forms ErhSetHooks takes.
void BAR2ReportHookFn(const char* message);
void BAR2ConsoleHookFn(const char* message);
void VEK_DumpMessage(const char* message);
void VEK_DumpMessageL(StrMsg* msg);
// 1 when standard input is a terminal.
int VEK_IsConsole();

// Runs a pre- (preExec 1) or post-execution script from the bin directory:
// the script text is a command name (in single quotes when it holds blanks)
// and its arguments. Names holding ".." are refused (-4). 0; a negative
// runner result; -1 when the script's exit value was not 0; -21.
int VEK_ExecuteScript(BarContext* ctx, const char* script, int preExec, const char* user,
                      const char* password, int timeout);

// ---------------------------------------------------------------- accessors

int VEK_GetErrno(BarContext* ctx);                // -21 without context
int VEK_GetErhno(BarContext* ctx);                // -21
int VEK_GetLastError(BarContext* ctx);            // -21
int VEK_GetOutput(BarContext* ctx);               // -21
int VEK_GetSMHandle(BarContext* ctx);             // -1
int VEK_GetIntegSpecific(BarContext* ctx);        // 0
const char* VEK_GetSessionId(BarContext* ctx);    // null
const char* VEK_GetSessionGuid(BarContext* ctx);  // null
// The start time of the option "start"; 0 without a context.
int VEK_GetObjectStartTime(BarContext* ctx);
int VEK_GetMode(BarContext* ctx);          // -1
int VEK_IsMALocal(BarContext* ctx);        // -21
int VEK_MABlockSize(BarContext* ctx);      // -21
int VEK_DARecOffset(BarContext* ctx);      // -21
const char* VEK_AppType(BarContext* ctx);  // null
const char* VEK_AppName(BarContext* ctx);  // null
const char* VEK_BarList(BarContext* ctx);  // null
int VEK_NumErrors(BarContext* ctx);        // -21
CmnVec* VEK_GetTrees(BarContext* ctx);     // null
int VEK_DmpContext(BarContext* ctx);       // 0
int VEK_GetDaID(BarContext* ctx);          // -1

// Setters: 0, or -21 without context.
int VEK_SetErrno(BarContext* ctx, int code);
int VEK_SetLastError(BarContext* ctx, int code);
int VEK_SetOutput(BarContext* ctx, int output);
int VEK_SetIntegSpecific(BarContext* ctx, int word);
int VEK_SetAppTypeAppName(BarContext* ctx, const char* appType, const char* appName);
int VEK_SetObjectSize(BarContext* ctx, int64_t size);
int VEK_SetDatabaseId(BarContext* ctx, const char* id);
