// Reconnection of the data path to the session manager: when the link
// breaks and a reconnect port is known (the -lport option), a new
// connection is opened to it, announced with MSG_RECONNECT and confirmed by
// MSG_RECONNECTED. The send and receive wrappers below reconnect on their own.
#pragma once

#include "ipc/ipc.h"

struct StrMsg;

enum BarReconnectMsgId : int {
  MSG_RECONNECT = 66,    // "%s%s%d%d%d": program name, short version, DA id, 0, 0
  MSG_RECONNECTED = 67,  // the session manager's answer; its items are not read
};

// Defaults of VEKRECONNECT_RETRY (seconds during which connecting is retried)
// and VEKRECONNECT_ACK (seconds to wait for MSG_RECONNECTED). A missing
// value, or one that reads as 0, keeps the default.
inline constexpr int kRcRetryDefault = 1200;
inline constexpr int kRcAckDefault = 300;
inline constexpr int kRcPauseSeconds = 10;  // between two connect attempts

// Results of the wrappers beside those of the IPC layer.
inline constexpr int kRcReconnected = -2;  // RcIpcReceiveData: wait for the next message
inline constexpr int kRcLost = -3;         // reconnecting failed: the session manager is lost

// Replaces the data path's session-manager connection (DaConIpcHandle) by a
// new one. `handle` must be that connection. 1 reconnected; -1 failed, and
// the connection handle is then -1.
int Reconnect(IpcHandle handle);
// IpcSendData; on failure with reconnection on, reconnects and sends again
// on the new connection while reconnecting succeeds. The send result, or -3.
int RcIpcSendData(IpcHandle handle, const void* data, int length);
// One IpcReceiveData; on a result of 0 or less with reconnection on,
// reconnects: -2 when that worked (nothing was received), -3 when not.
int RcIpcReceiveData(IpcHandle handle, void* buffer, int capacity);
// RcIpcSendData of the message text with its final NUL.
int RcIpcSendMsg(IpcHandle handle, StrMsg* msg);
// IpcReceiveStrMsgL; on a result of 0 or less with reconnection on,
// reconnects and receives again while reconnecting succeeds. The receive
// result, or -3.
int RcIpcReceiveMsg(IpcHandle handle, StrMsg* msg);
