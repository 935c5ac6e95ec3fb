// Data path shared by backup and restore: the per-process contexts, the
// messages between a buffer manager and its media side, the local-or-remote
// choice, the network process's start and end, protocol negotiation, key
// relay for the encryption library and pre- and post-execution commands.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cmn/global.h"
#include "csa/csa.h"  // MSG_DATA and MSG_PROTOCOL are shared with the cell-server client
#include "ipc/ipc.h"

// ---------------------------------------------------------------- messages

// Ids of the string messages on the media-side handle and of the key relay
// on the session-manager link. MSG_DATA (24) and MSG_PROTOCOL (267) come
// from csa/csa.h.
enum DaMsgId : int {
  MSG_ABORT = 1,                 // either way; the receiver aborts
  MSG_MSG = 4,                   // network process to buffer manager: a report line
  MSG_STOP = 6,                  // either way: orderly end
  MSG_CON = 9,                   // network process to buffer manager: console text
  MSG_LISTEN = 10,               // key, size, section, count, buffer size, offset
  MSG_MSGFMT = 15,               // a packed catalogue message, forwarded like MSG_MSG
  MSG_OPEN = 27,                 // buffer manager to media side
  MSG_DATA_NOMEMCPY = 600,       // "%d%u": buffer id, the caller's own buffer id
  MSG_OPEN_NOMEMCPY = 601,       // "%d%s%s": DA id, zero-copy name, companion string
  MSG_KEYGET = 1116,             // key request to the key service
  MSG_KEYGET_REPLY = 1117,       // its answer
  MSG_KEYRANDBYTES = 1123,       // random-bytes request
  MSG_KEYRANDBYTES_REPLY = 1124  // its answer
};

// This side's MSG_PROTOCOL answer: "%d%d%d%s%s%d" type, version, agent,
// build text, program name, flags.
inline constexpr int kDaProtocolType = 27;
inline constexpr int kDaProtocolAgent = 600;
inline constexpr int kDaProtocolFlagOk = 2;  // in an offer: the peer can negotiate
// Offers answered before DaProtocolCheck gives up on a peer that never
// offers a version this side supports.
inline constexpr int kDaProtocolMaxRounds = 16;

// Protocol versions this side accepts, ended by -1.
extern const int suppProt[];

// Encryption algorithms by name; the table ends with an empty name.
struct DaEncrAlgo {
  const char* name;
  int type;
};
extern const DaEncrAlgo encrAlgoType[];
// Number of the named algorithm (3 for "aes256"), 0 when unknown or null.
int GetEncryptOption(const char* name);

// ---------------------------------------------------------------- contexts

inline constexpr std::size_t kDaHostSize = 64;    // media-agent and reconnect hosts
inline constexpr std::size_t kDaPathSize = 1024;  // file path of the file variant
inline constexpr int kDaSmBufferSize = 102400;    // session-manager receive buffer
inline constexpr int kDaNetReconnected = 2;       // bit of DacmnPtd::netFlags

// Shared data-path context (slot 12). Its at-init hook sets both handles to
// -1. A network process keeps the parent's values through its restart of
// the common library, except the session-manager fields, which it never uses.
struct DacmnPtd {
  IpcHandle maIpcHandle;  // pipe pair to the network process, or local agent socket
  int reserved;
  int waitForStop;     // backup exit waits for the session manager's stop
  IpcHandle smHandle;  // session-manager handle given to the buffer manager
  char* smBuffer;      // its receive buffer (kDaSmBufferSize bytes, the caller's)
  double netLoad;      // share of the network the stream may use
  int daId;            // id the session manager gave the data stream
  char maHost[kDaHostSize];
  int maPort;
  char filePath[kDaPathSize];  // empty unless the stream goes to or comes from a file
  int netIO;                   // 1 network process, 0 local agent's shared memory
  int netPid;                  // the network process's pid; 0 when unknown or none
  int savedReconnectPort;
  IpcHandle conIpcHandle;  // session-manager connection that reconnection replaces
  char reconnectHost[kDaHostSize];
  int reconnectPort;  // 0: reconnection off
  int reconnectId;
  // State of a network process.
  int asyncReport;         // backup: set-up complete, reports go asynchronously
  int restoreAsyncReport;  // the same for the restore process
  int netFlags;            // kDaNetReconnected
};

// The shared-memory segment of data buffers and the buffer in hand, as both
// buffer managers keep them.
struct DaShmBuffers {
  int shmemKey;
  int shmemSize;
  int shmemSection;
  char* shmemBasePtr;
  int bufID;
  int bufNum;
  char* bufPtr;
  int bufSize;
  int bufOffset;
};

// The open stream of a buffer manager: owned by its context slot, freed with
// the stream's end or with the slot.
struct BmStream;
struct RbmStream;

// Backup buffer manager context (slot 11). Its at-init hook sets the IPC
// abort switch to 1.
struct BdaPtd {
  int ipcAbortSwitch;
  DaShmBuffers shm;
  QueRec freeBufQue;
  char* blkPtr;  // null when no block is held
  int blkSize;
  int blkOffset;
  int blkIndex;
  IpcHandle lastHandle;  // last handle with an event
  int zeroCopy;
  unsigned zeroCopyBufID;
  int recSeqNo;
  BmStream* stream;  // null while no stream is open
};

// Restore buffer manager context (slot 10); no at-init hook.
struct RdaPtd {
  DaShmBuffers shm;
  QueRec filledBufQue;
  char* blkPtr;  // null when no block is held
  int blkSize;
  int readOffset;
  int blkIndex;  // expected block sequence number
  int blkUsed;
  int recSeqNo;  // expected record sequence number
  int lastState;
  void* currentRecord;
  RbmStream* stream;  // null while no stream is open
};

// The contexts of this process, created on first use; null only without a
// context table or memory. Valid until the slot is freed (CmnContextAtFork).
DacmnPtd* DacmnGetContext();
BdaPtd* BdaGetContext();
RdaPtd* RdaGetContext();

// Accessors of the shared context.
IpcHandle MaIpcHandle();
// Address of the session-manager connection handle (reconnection replaces
// it in place); null without a context.
IpcHandle* DaConIpcHandle();
void DaSetReconnectID(int id);
// Keeps at most kDaHostSize - 1 characters; null empties it.
void DaSetReconnectHost(const char* host);
// The context's own text ("" without a context).
const char* DaGetReconnectHost();
void DaSetReconnectPort(int port);
int DaGetReconnectPort();

// ---------------------------------------------------------------- local or remote

enum DaSide : int { DA_BACKUP = 0, DA_RESTORE = 1 };

// The buffer managers' choice of carrier, stored as the context's netIO:
// with a media-agent host, a network process unless the host is this one;
// VEKBDANET (backup) or VEKRDANET (restore), when set to an integer, then
// replaces the choice (0 writes straight into the agent's shared memory).
// Without a host the stream goes to or from `filePath` through a network
// process, whatever the variables say. Returns 1 (network process) or 0
// (local agent); -1 when neither a host nor a path is given (set 80, number
// 1006 reported at severity 3).
int DaChooseNetIO(DaSide side, const char* maHost, const char* filePath);

// ---------------------------------------------------------------- network process

// Exit codes of a network process.
enum DaNetExitCode : int {
  DA_NET_EXIT_STOP = 0,   // orderly stop
  DA_NET_EXIT_ABORT = 1,  // abort by the parent or the agent, or reconnection given up
  DA_NET_EXIT_SETUP = 2,  // agent, shared memory, file or the process's own start-up
  DA_NET_EXIT_IPC = 3,    // IPC or protocol failure
};

// The body of a network process. It ends the process through BdaNetExit or
// RdaNetExit; one that returns ends it with DA_NET_EXIT_IPC.
using DaNetMainFn = void (*)();
// Install the main loop the backup (restore) network process runs; null
// uninstalls it, and a process then started ends with DA_NET_EXIT_SETUP.
// The backup side starts with NetMain (dacmn/bdanet.h) installed. Return the
// previous one.
DaNetMainFn DaSetBdaNetMain(DaNetMainFn main);
DaNetMainFn DaSetRdaNetMain(DaNetMainFn main);

// Open a pipe pair as the media-side handle and fork the network process.
// The child restarts the common library under "BDA-NET" ("RDA-NET") with
// CmnInit(name, additionalId, postfix, ranges, select, reportLevel), keeping
// only the pipe pair of all the parent's IPC handles (the others are closed,
// never shut down) and the shared context, then runs the main loop. The
// child is started through a short-lived intermediate process, which is
// collected before the return, and so belongs to init: the caller never
// waits for it, it leaves no zombie, and no signal disposition is changed
// (the caller's own children stay its to wait for). 1 in the parent on
// success; 0 after a report (set 80, number 1010 or 1011), with the pipe
// pair closed.
int VEK_CreateBDANetIO(const char* additionalId, const char* postfix, const char* ranges,
                       const char* select, int reportLevel);
int VEK_CreateRDANetIO(const char* additionalId, const char* postfix, const char* ranges,
                       const char* select, int reportLevel);
// Close the pipe pair of the media-side handle. 0, or -1 when there is none.
int VEK_ShutdownBDANetIO();
int VEK_ShutdownRDANetIO();

// In a network process: close the media-side handle, stop the IPC layer and
// the common library and end the process with `code` through _exit (no exit
// handler of the parent's program runs). Called in any other process it
// traces the misuse and returns without doing anything.
void BdaNetExit(int code);
void RdaNetExit(int code);
// 1 in a process started by VEK_CreateBDANetIO or VEK_CreateRDANetIO.
int DaIsNetProcess();

// ---------------------------------------------------------------- negotiation

// Run right after the media side's first message has been received on
// `handle`. `buffer` is that message's text, or null when it lies in the
// handle's receive message. 1: the message is no MSG_PROTOCOL (a peer without
// negotiation); its parse is started and it is the caller's. 0: negotiated;
// the next message has been received into the handle's receive message and
// its parse started. -1: failure (no message buffers, a refused or
// malformed offer, a transfer failure, or more than kDaProtocolMaxRounds
// offers).
int DaProtocolCheck(IpcHandle handle, char* buffer);

// ---------------------------------------------------------------- key relay

inline constexpr int kDaKeySize = 32;
inline constexpr int kDaKeyIdSize = 16;
inline constexpr int kDaRandSize = 16;
inline constexpr std::size_t kDaEntitySize = 256;

// What the encryption library asks for and gets back. For action 0 the
// record is read differently: the random bytes go into its first
// kDaRandSize bytes (keyType, keyFlag and the start of key), and the number
// of bytes wanted is the int that follows them.
struct DaKeyInfo {
  int keyType;
  int keyFlag;
  unsigned char key[kDaKeySize];
  unsigned char keyId[kDaKeyIdSize];
  unsigned char storeId[kDaKeyIdSize];
  char entity[kDaEntitySize];
};
// The random bytes and the count wanted lie in keyType, keyFlag and key.
static_assert(kDaRandSize + sizeof(int) <= offsetof(DaKeyInfo, keyId));

enum DaKeyAction : int {
  DA_KEY_RANDBYTES = 0,  // random bytes
  DA_KEY_BY_ENTITY = 1,  // key for the entity text
  DA_KEY_BY_ID = 2,      // key by key id and store id
};

// Key callback of the encryption library: sends one request through the
// session-manager `handle`, builds it in and receives the reply into `buffer`
// (kDaSmBufferSize bytes), and fills `info`. The reply's length, or -1.
int DaeGetKeyInfo(IpcHandle handle, char* buffer, DaKeyInfo* info, int action);

// ---------------------------------------------------------------- commands

// Runs a pre- or post-execution command line with a time-out in seconds
// (below 1: VEKSCRIPTTIMEOUT, else a day). A bare program name runs from the
// installation's lbin directory. The command's exit status; 0 when
// VEKOEXECOFF switches commands off; 7 when the command is refused
// (VEKOEXECOFF=2 and a path, or an unsafe name); -1 when the program does not
// exist; a negative result of the script runner (CmnRunScriptEx) when the
// command could not be run or timed out.
int DaRunScript(const char* command, int timeout);
