// Load throttle of the IPC layer: keeps socket writes below a share of the
// network bandwidth by sleeping after each write; and the layer's sleep.
#include <chrono>
#include <cmath>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/sysio.h"
#include "ipc/ipc.h"
#include "ipc/ipchooks.h"
#include "ipc/ipcimpl.h"

TARN_RCSID("lib/ipc/ipcload.cpp");

namespace {

constexpr double kBandwidthUnit = 104857.6;  // bytes per second of one IpcNetBandw unit

// Unless a test installed another function, the layer sleeps on the process
// clock.
void ClockSleep(long seconds, long microseconds) {
  if (seconds < 0 || microseconds < 0) return;
  cmn::SleepFor(std::chrono::seconds(seconds) + std::chrono::microseconds(microseconds));
}

IpcSleepFn sleepFunction = ClockSleep;

// A percentage of 1 to 100 from the environment, as a fraction; else `fraction`.
double PercentFromEnv(const char* name, double fraction) {
  int value = 0;
  if (EnvReadInt(name, &value) == 1 && value >= 1 && value <= 100) return value / 100.0;
  return fraction;
}

}  // namespace

IpcSleepFn IpcSetSleepFunction(IpcSleepFn sleep) {
  const IpcSleepFn previous = sleepFunction;
  sleepFunction = sleep != nullptr ? sleep : ClockSleep;
  return previous;
}

void ipc_detail::Sleep(long seconds, long microseconds) {
  sleepFunction(seconds, microseconds);
}

void IpcSleep(long seconds, long microseconds) {
  ipc_detail::Sleep(seconds, microseconds);
}

int IpcSetMaxNetLoad(double fraction) {
  static const char kFn[] = "IpcSetMaxNetLoad";
  IpcInstance* instance = IpcGetInstance(kFn);
  if (instance == nullptr) return -1;
  fraction = PercentFromEnv(fraction == 0 ? "VEKIPCNETLOADMAX" : "VEKIPCNETLOAD", fraction);
  if (!(fraction > 0 && fraction <= 1.0)) return -1;
  instance->load = fraction;
  DbgPlain(ipc_detail::kLevel, "[%s] load fraction %f", kFn, fraction);
  return 0;
}

void IpcDecreaseLoad(IpcHandle handle, int bytes) {
  IpcInstance* instance = IpcMyInstance();
  if (instance == nullptr || bytes <= 0 || instance->load >= 1.0) return;
  IpcEntry* entry = IpcGetEntry(handle, "IpcDecreaseLoad");
  if (entry == nullptr || entry->type != IPC_SOCKET) return;
  const double seconds = (1.0 / instance->load - 1.0) * bytes / (IpcNetBandw * kBandwidthUnit);
  const double whole = std::floor(seconds);
  const long microseconds = std::lround((seconds - whole) * 1e6);
  ipc_detail::Sleep(static_cast<long>(whole), microseconds);
}
