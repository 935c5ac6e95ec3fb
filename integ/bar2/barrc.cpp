// Reconnection of the session-manager link and the wrappers that use it.
#include "bar2/barrc.h"

#include <chrono>
#include <cstdlib>

#include "bar2/bar2.h"
#include "bar2/barimpl.h"
#include "cmn/cmninit.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn/sysio.h"
#include "dacmn/dacmn.h"

TARN_RCSID("integ/bar2/barrc.cpp");

namespace {

constexpr int kLevel = 10;

bool ReconnectOn() {
  return DaGetReconnectPort() != 0;
}

// The connection handle after a reconnection, for the wrappers' next try.
IpcHandle Current() {
  const IpcHandle* con = DaConIpcHandle();
  return con != nullptr ? *con : kIpcNoHandle;
}

// Sends MSG_RECONNECT and waits for its answer on the new connection.
bool Announce(IpcHandle handle, int ackSeconds) {
  const DacmnPtd* da = DacmnGetContext();
  char version[256] = "";
  if (VEK_Global.shortVersion[0] != '\0') {
    StrSafeCopyA(version, VEK_Global.shortVersion, sizeof version - 1);
  } else {
    MakeShortVersionString(sizeof version, version);
  }
  StrMsg msg;
  StrMsgInitL(&msg);
  int rc = StrMsgStartExL(&msg, nullptr, 0, MSG_RECONNECT, 0);
  if (rc == 0)
    rc = StrMsgFAppendL(&msg, "%s%s%d%d%d", CmnGetProgname(), version,
                        da != nullptr ? da->reconnectId : 0, 0, 0);
  if (rc != 0 || IpcSendStrMsgL(handle, &msg) <= 0) {
    StrMsgFreeL(&msg);
    DbgPlain(kLevel, "Reconnect error!\nMSG_RECONNECT message not sent - IpcSendData failed\n");
    return false;
  }
  DbgPlain(kLevel, "Reconnect: Sending MSG_RECONNECT \n");
  if (IpcWaitForIpcEventOnHandle(handle, ackSeconds) < 0) {
    StrMsgFreeL(&msg);
    DbgPlain(kLevel, "Reconnect error!\nTimeout waiting for MSG_RECONNECTED!! \n");
    return false;
  }
  const int n = IpcReceiveStrMsgL(handle, &msg);
  if (n == 0) {
    StrMsgFreeL(&msg);
    DbgPlain(kLevel, "Reconnect error!\nSocket closed while waiting for MSG_RECONNECTED!! \n");
    return false;
  }
  if (n < 0) {
    StrMsgFreeL(&msg);
    DbgPlain(kLevel, "Reconnect error!\n  Error reading MSG_RECONNECTED!! \n");
    return false;
  }
  const int id = StrParseStartNL(&msg, StrMsgGetRBufL(&msg), static_cast<std::size_t>(n));
  StrMsgFreeL(&msg);
  if (id != MSG_RECONNECTED) {
    DbgPlain(kLevel, "Reconnect: Unexpected msg #%d. Should be MSG_RECONNECTED!\n", id);
    return false;
  }
  DbgPlain(kLevel, "Reconnect: Got MSG_RECONNECTED => reconnected successfully!\n");
  return true;
}

}  // namespace

namespace bar2_detail {
int EnvSeconds(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr) return fallback;
  const long value = std::strtol(text, nullptr, 10);
  if (value <= 0 || value > kEnvSecondsMax) return fallback;
  return static_cast<int>(value);
}
}  // namespace bar2_detail

int Reconnect(IpcHandle handle) {
  IpcHandle* con = DaConIpcHandle();
  if (con == nullptr || handle != *con) {
    DbgPlain(kLevel, "Reconnect: handle=%d != ConIpcHandle=%d", handle,
             con != nullptr ? *con : kIpcNoHandle);
    return -1;
  }
  const int retrySeconds = bar2_detail::EnvSeconds("VEKRECONNECT_RETRY", kRcRetryDefault);
  const int ackSeconds = bar2_detail::EnvSeconds("VEKRECONNECT_ACK", kRcAckDefault);
  DbgPlain(kLevel, "Reconnect: Closing old conection.\n");
  ErhClearError();
  if (handle != kIpcNoHandle) IpcCloseConnection(handle);
  // Until a new connection stands, nobody may use the old number.
  *con = kIpcNoHandle;
  DbgPlain(kLevel, "Reconnect: establishing new connection\n");

  const char* host = DaGetReconnectHost();
  const auto port = static_cast<unsigned>(DaGetReconnectPort());
  const auto deadline = cmn::ClockNow() + std::chrono::seconds(retrySeconds);
  IpcHandle fresh = kIpcNoHandle;
  while (cmn::ClockNow() < deadline) {
    fresh = IpcConnectToProcess(host, port, 0);
    if (fresh >= 0) break;
    ErhClearError();
    cmn::SleepFor(std::chrono::seconds(kRcPauseSeconds));
  }
  if (fresh < 0) {
    DbgPlain(kLevel, "Reconnect: Connect to process failed!\n");
    return -1;
  }
  DbgPlain(kLevel, "Reconnect: connection succeeded. New ConIpcHandle=%d\n", fresh);
  if (!Announce(fresh, ackSeconds)) {
    IpcCloseConnection(fresh);
    return -1;
  }
  *con = fresh;
  ErhClearError();
  return 1;
}

int RcIpcSendData(IpcHandle handle, const void* data, int length) {
  int rc = IpcSendData(handle, data, length);
  while (rc < 0 && ReconnectOn()) {
    DbgPlain(kLevel, "RcIpcSendData failed!\n");
    if (Reconnect(handle) < 0) return kRcLost;
    handle = Current();
    rc = IpcSendData(handle, data, length);
  }
  return rc;
}

int RcIpcReceiveData(IpcHandle handle, void* buffer, int capacity) {
  const int rc = IpcReceiveData(handle, buffer, capacity);
  if (rc > 0 || !ReconnectOn()) return rc;
  DbgPlain(kLevel, "RcIpcReceiveData failed!\n");
  return Reconnect(handle) > 0 ? kRcReconnected : kRcLost;
}

int RcIpcSendMsg(IpcHandle handle, StrMsg* msg) {
  const char* text = StrMsgGetBufL(msg);
  if (text == nullptr) return -1;
  return RcIpcSendData(handle, text, StrMsgTSize(text));
}

int RcIpcReceiveMsg(IpcHandle handle, StrMsg* msg) {
  int rc = IpcReceiveStrMsgL(handle, msg);
  while (rc <= 0 && ReconnectOn()) {
    DbgPlain(kLevel, "IpcReceiveStrMsgL failed!\n");
    if (Reconnect(handle) < 0) return kRcLost;
    handle = Current();
    rc = IpcReceiveStrMsgL(handle, msg);
  }
  return rc;
}
