// Cell-server client: the client state of the process, binding to the cell
// server and further servers of the cell, the cell's global options, and the
// request/reply transport every request goes through.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cmn/defines.h"
#include "ipc/ipc.h"

struct StrMsg;
struct UserList;

// ---------------------------------------------------------------- limits

inline constexpr int kCsaMaxServers = 50;    // server slots; slot 0 is the cell server
inline constexpr int kCsaMaxSessions = 200;  // session entries
// Session entries are indexed by the IPC handle of the session connection, so
// only entries 0 to kIpcMaxHandles - 1 can ever be in use.
inline constexpr int kCsaSessionHandles = kIpcMaxHandles;
inline constexpr int kCsaChunkMax = 81920;           // largest bulk-data chunk either way
inline constexpr int kCsaRequestSize = 102400;       // buffer a request message starts with
inline constexpr std::size_t kCsaHostMax = 255;      // host names of slots, with no cut
inline constexpr std::size_t kCsaKeyMax = 63;        // session keys, with no cut
inline constexpr std::size_t kCsaGuidMax = 63;       // session ids (GUIDs), with no cut
inline constexpr std::size_t kCsaTextMax = 255;      // login reply items 3 and 4 (cut)
inline constexpr std::size_t kCsaShortTextMax = 64;  // login reply item 6 (cut)
inline constexpr int kCsaDefaultBindTimeout = 15;    // seconds, while BindTimeout is unknown
inline constexpr int kCsaDefaultReplyTimeout = 120;  // seconds a server may take to answer

// Message ids of the client's own exchanges (request ids: csa/csaops.h).
enum CsaMsgId : int {
  MSG_LOGIN = 0,            // login on the request port; identity on a session port
  MSG_PORT_REQUEST = 2,     // to the inet service; also the code of a session start message
  MSG_RESULT = 5,           // closes every request: the server's packed error
  MSG_DATA = 24,            // announces one raw bulk-data packet
  MSG_PORT_REPLY = 109,     // the inet service's answer: request port, one more item
  MSG_GLOBALS_REPLY = 120,  // global options: name and value items in pairs
  MSG_GLOBALS = 225,        // global options request
  MSG_PROTOCOL = 267,       // protocol negotiation
};

// The 267 reply, on the request port and on session ports alike, is one
// message: code 267; the packed error (code, level, function, system text);
// then the protocol data: type, version, module version, module subversion,
// sender name, flags. A client reads the error first and the protocol data
// only when the error is 0.
inline constexpr int kCsaProtocolReplyErrorItems = 4;
inline constexpr int kCsaProtocolReplyDataItems = 6;

// Values this client offers in MSG_PROTOCOL.
inline constexpr int kCsaProtocolType = 22;
inline constexpr int kCsaProtocolVersion = 100;
inline constexpr int kCsaModuleVersion = 600;
inline constexpr int kCsaProtocolFlags = 1;

// Error codes the client marks.
enum CsaError : int {
  ECSASESSIONS = 1000,       // 200 sessions in use
  ECSAARG = 1001,            // mode, type, file or group refused
  ECSANORIGHTS = 1002,       // the slot lacks the user-administration right
  ECSARANGE = 1004,          // slot or session out of range, or not in use
  ECSANOTFOUND = 1005,       // user entry not found
  ECSASTARTMSG = 1009,       // start message not usable
  ECSACONNECTION = 1011,     // connection to the server closed, failing or out of step
  ECSAPEERCLOSED = 1012,     // the session's peer closed
  ECSAEXISTS = 1013,         // user or group already there, or group not found
  ECSAPORTREPLY = 1601,      // port reply without its second item
  ECSANOHOST = 1602,         // no cell-server host, inet service or session manager unreachable
  ECSAPORT = 1603,           // port request not answered, wrong reply, or no usable port
  ECSACONNECT = 1604,        // connect to the request port failed
  ECSAINITIALIZED = 1612,    // client already initialised
  ECSANOTINIT = 1613,        // client not initialised
  ECSAINTERRUPTED = 1617,    // session read or write interrupted by a signal
  ECSAITEMNAME = 1620,       // item name refused
  ECSAFOREIGNSERVER = 1949,  // server already managed by another cell server
  ECSAEMPTYARG = 8002,       // a user field is empty
};

// ---------------------------------------------------------------- records

struct CsaServerSlot {
  int connected;
  std::uint32_t acl;           // access rights from the login reply
  char host[kCsaHostMax + 1];  // the expanded name the slot was bound to
  int port;                    // the request port
  IpcHandle handle;
  int loginItem2;
  char loginItem3[kCsaTextMax + 1];
  char loginItem6[kCsaShortTextMax + 1];
  char loginItem4[kCsaTextMax + 1];
  int instFlags;    // installation flags, login reply item 5
  UserList* users;  // the server's user list once loaded (csa/csaops.h)
  int usersLoaded;  // users holds the list read (null for an empty one)
  // The server accepted and then did not answer within its bound; cleared
  // by the next login. Such a slot is not bound again within one reply
  // time-out of silentSince (steady-clock milliseconds).
  int silent;
  std::int64_t silentSince;
};

struct CsaSessionEntry {
  int inUse;
  int type;
  int port;       // the session manager's port
  int signalled;  // set by MCsaSignalSession; the disconnect hook runs then
  char key[kCsaKeyMax + 1];
  char guid[kCsaGuidMax + 1];
};

using CsaDisconnectHook = void (*)(IpcHandle handle);

// Bit of CsaContext::flags.
inline constexpr int kCsaStartedIpc = 1;

struct CsaContext {
  StrMsg* message;  // every request and reply of the process goes through it
  int initialised;
  int embedded;
  CsaDisconnectHook disconnectHook;
  CsaServerSlot slots[kCsaMaxServers];
  int boundSlots;  // one above the highest slot bound so far
  CsaSessionEntry sessions[kCsaMaxSessions];
  int sessionCount;
  char shortVersion[256];
  char identity[640];  // the identity message (code 0, program name, short version)
  int flags;
};

// Protocol data of a MSG_PROTOCOL reply.
struct CsaProtocolData {
  int type;
  int version;
  int moduleVersion;
  char moduleSubversion[33];
  char sender[kCsaHostMax + 1];
  int flags;
};

// When set before MCsaInit, the client uses the process-wide message buffer
// instead of one of its own.
extern int csaUseGlobalStrMsg;

// ---------------------------------------------------------------- start and stop

// Starts the client and binds slot 0 to `cellHost`: starts the IPC layer when
// it is not running, binds, and (unless embedded) applies the cell's global
// options. 0, or -1 with 1612 (already running), 1602 (no host) or the bind's
// error; a failed start leaves the client stopped.
int MCsaInit(const char* cellHost);
// Stops the client. With bit kCsaStartedIpc in `flags` the IPC layer is
// stopped only if the client started it; without, unless the client is
// embedded. When the IPC layer keeps running, the slots' connections are
// closed and session connections stay open.
void CsaExitEx(int flags);
void CsaExit();
int CsaIsInitialized();
// 1 when the pending error says that a server took the connection and then
// gave no answer within the client's bound (1603 or 1011 marked with
// ETIMEDOUT: a frozen or hung server, or a slot given up for that), else 0.
// Unlike a refused or unreachable server, trying such a server again at once
// only waits out the bound again.
int CsaServerSilent();
// The embedded flag: set it (1) for a client hosted by another client layer
// before MCsaInit; it keeps the IPC layer running at exit, skips the global
// options and leaves the slots' connections out of IpcWaitForIpcEvent.
int CsaEmbedded();
void CsaSetEmbedded(int flag);
// Called with the session's handle when a signalled session is disconnected.
void CsaSetDisconnectHook(CsaDisconnectHook hook);
// The session table (kCsaMaxSessions entries), or null without a context table.
CsaSessionEntry* CsaSessions();
// The client state, or null without a context table. Read only for callers.
CsaContext* CsaGetContext();

// ---------------------------------------------------------------- binding

// Binds a server to a slot and logs in: a connected slot of the same host
// (case ignored) is returned as it is (*reused = 1), an unconnected one is
// connected again (not within one reply time-out after its server was found
// silent: 1011 with ETIMEDOUT at once), else the next free slot is taken. Returns the slot, or -1
// (1613, 1602, 1603, 1601, 1604, 1004 when all slots are taken, 1011 for a
// bad login reply, or the server's error). `reused` may be null.
int MCsaBindServerEx(const char* host, int* reused);
// With a non-zero flag closes the slot's connection; the slot keeps its host
// name and is connected again by the next bind of that host.
void MCsaUnbindServer(int slot, int flag);
// Unbinds slots 1 and up; with a non-zero `all` slot 0 too.
void MCsaUnbindAllServers(int all);
// The slot's access rights and installation flags. 0, or -1 (1613, 1004).
int MCsaGetAcl(int slot, std::uint32_t* rights);
int MCsaGetInstFlags(int slot, int* flags);
// Request 282: the server answers with the slot's new access rights. Null s4
// and s5 are sent as empty texts. 0 or -1.
int MCsaImpersonate(int slot, const char* s1, const char* s2, const char* s3, const char* s4,
                    const char* s5);
// Rebuilds the identity message with `name` as the program name. 0, or -1
// (1613; or 1004 when the name does not fit).
int MCsaSetProgname(const char* name);
// Fetches the global options from slot 0 and applies them (GlobalDispatch).
int HandleGlobals();
// HandleGlobals when the client runs and is not embedded; else 0.
int MCsaReInitGlobals();
// Asks the inet service of `host` for its request port; the whole exchange
// is bounded by the bind time-out (VEKCSBINDTIMEOUT, else BindTimeout). The
// port (1 to 65535), or -1 (1602, 1603, 1601).
int GetCSport(const char* host);

// ---------------------------------------------------------------- transport
// Every call works on the client's message and the slot's connection, and
// waits for each send and each reply at most VEKCSREPLYTIMEOUT seconds
// (kCsaDefaultReplyTimeout when unset); a time-out is a failure of the
// connection (1011 with ETIMEDOUT). The
// slot must be bound and connected (else 1004 or 1011 before anything is
// sent). A failure of the connection, and a reply that breaks the protocol,
// mark 1011 and close the slot's connection (the next bind of its host
// reconnects); a server's error is unpacked into the error state and leaves
// the connection open.

// The message as one packet. 0 or -1.
int SendMsg(int slot);
// One packet into the message, which is then being parsed (the code is the
// value of StrParseStartL). 0 or -1.
int ReceiveMsg(int slot);
// One raw packet. SendData: 0 or -1. ReceiveData: the length, or -1.
int SendData(int slot, const void* bytes, int length);
int ReceiveData(int slot, void* buffer, int size);
// Sends the request and receives its MSG_RESULT. 0 when the server's error is
// 0; the items behind the result can then be read with StrParseNextL.
int SarAnswer(int slot);
// Sends the request and receives a reply with `expectedId` and its MSG_RESULT.
// On success *reply is the reply's text, a received message that ends in two
// NULs (free with safe_free); otherwise null.
int SarQuery(int slot, char** reply, int expectedId);
// Sends the request, then `length` bytes in chunks of at most kCsaChunkMax
// (unless `raw`, a leading UTF-16 byte-order mark is not sent), then receives
// the MSG_RESULT. 0 or -1.
int SarSendbuf(int slot, const void* bytes, int length, int raw);
// Sends the request and receives bulk data up to the MSG_RESULT. *buffer gets
// a heap block (free with safe_free) holding the data and a NUL: as received
// with `raw`, else converted from UTF-16 to native text when it starts with a
// byte-order mark. Returns the data length, or -1 (*buffer null).
int SarReceivebuf(int slot, char** buffer, int raw);
// Non-negative when a message waits on the handle, else -1 (1613 when the
// client does not run).
int CsaIsMessage(IpcHandle handle);
// Reads the kCsaProtocolReplyDataItems protocol items of a MSG_PROTOCOL reply
// that is being parsed (behind its packed error). 0, or -1 when one is missing or not a number.
int CsaParseProtocolData(CsaProtocolData* record);
