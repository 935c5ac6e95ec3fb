// Cell-server sessions: starting a session through a bound server slot,
// attaching to a running one by key or by session id, signalling it, and the
// plain string messages on the session connection.
#pragma once

#include "csa/csa.h"

struct StrMsg;

// Session types MCsaStartSessionEx accepts: 0 to 8, 10 to 14, 16, 17, 19.
// Types 7 (backup) and 8 (restore) carry a "-bar" start message.
inline constexpr int kCsaSessionBackup = 7;
inline constexpr int kCsaSessionRestore = 8;

// Request ids of this module.
enum CsaSessionRequest : int {
  kCsaReqStartSession = 205,
  kCsaReqConnectSession = 207,
  kCsaReqSignalSession = 236,
  kCsaReqReconnectSession = 283,
};

// MCsaStartSessionEx with the process's own debug ranges, postfix and select.
IpcHandle MCsaStartSession(int slot, int type, const char* startMsg);
// Starts a session of `type` with the start message `startMsg` (a complete
// message text with code 2; null takes the process-wide message), connects to
// its session manager and announces this process. Returns the session's handle,
// which names the session in the calls below, or -1 (1613, 1004, 1011, 1001,
// 1000, 1009, 1602, or the server's error).
IpcHandle MCsaStartSessionEx(int slot, int type, const char* startMsg, const char* ranges,
                             const char* postfix, const char* select);
// Attaches to a running session by its key. The handle, or -1.
IpcHandle MCsaConnectSession(int slot, const char* key);
// Attaches again to a session by its id (GUID). The handle, or -1 (1005 from
// the server when no such session runs).
IpcHandle MCsaReconnectSession(int slot, const char* sessionId);
// Runs the disconnect hook for a signalled session, shuts the connection down
// and frees the entry. 0, or -1 (1613; 1004 for a handle that is no session).
int MCsaDisconnectSession(IpcHandle handle);
// Request 236 with the session's key and `signal`; marks the entry signalled.
int MCsaSignalSession(int slot, IpcHandle handle, unsigned signal);
// The entry's key and session id; null with 1613 or 1004 (no such session).
// Valid while the entry is in use.
const char* MCsaGetSessionKey(IpcHandle handle);
const char* MCsaGetSessionGuid(IpcHandle handle);
// Receives one message on the connection; *message becomes a heap copy of
// its text (free with safe_free). 0, or -1 (1012 when the peer closed, 1617
// when interrupted, else 1011).
int MCsaRead(IpcHandle handle, char** message);
// Sends the message text (StrMsgTSize bytes) as one packet. 0 or -1.
int MCsaWrite(IpcHandle handle, const char* message);
// Fills `record` with the identity message (code 0, program name, short
// version) in a buffer of its own; free it with StrMsgFreeL. 0 or -1.
int CsaComposeID(StrMsg* record);
