// The data path's three context slots, their accessors, the protocol and
// algorithm tables, and the choice between a local agent and a network process.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <utility>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "dacmn/dacmn.h"
#include "dacmn/daimpl.h"

TARN_RCSID("da/dacmn/dactx.cpp");

using namespace dacmn_detail;

const int suppProt[] = {100, -1};

const DaEncrAlgo encrAlgoType[] = {
    {"aes256", 3},
    {"", 0},
};

namespace {

DacmnPtd dacmnPtdProto;
BdaPtd bdaPtdProto;
RdaPtd rdaPtdProto;

void DacmnPtdAtInit(void* data) {
  auto* ctx = static_cast<DacmnPtd*>(data);
  ctx->maIpcHandle = kIpcNoHandle;
  ctx->conIpcHandle = kIpcNoHandle;
}

void BdaPtdAtInit(void* data) {
  static_cast<BdaPtd*>(data)->ipcAbortSwitch = 1;
}

void BdaPtdAtFree(void* data) {
  auto* bda = static_cast<BdaPtd*>(data);
  QueCleanup(&bda->freeBufQue);
  BmFreeStream(std::exchange(bda->stream, nullptr));
}

void RdaPtdAtFree(void* data) {
  auto* rda = static_cast<RdaPtd*>(data);
  QueCleanup(&rda->filledBufQue);
  RbmFreeStream(std::exchange(rda->stream, nullptr));
}

const PtdDescriptor DacmnPtdDescriptor = {"DacmnPtd",     &dacmnPtdProto, sizeof(DacmnPtd),
                                          DacmnPtdAtInit, nullptr,        nullptr};
const PtdDescriptor BdaPtdDescriptor = {"BdaPtd",     &bdaPtdProto, sizeof(BdaPtd),
                                        BdaPtdAtInit, nullptr,      BdaPtdAtFree};
const PtdDescriptor RdaPtdDescriptor = {"RdaPtd", &rdaPtdProto, sizeof(RdaPtd),
                                        nullptr,  nullptr,      RdaPtdAtFree};

template <std::size_t N>
void CopyText(char (&dst)[N], const char* src) {
  std::snprintf(dst, N, "%s", src != nullptr ? src : "");
}

}  // namespace

DacmnPtd* DacmnGetContext() {
  return static_cast<DacmnPtd*>(CmnCreateContextEx(&DacmnPtdDescriptor, CMN_SLOT_DACMN));
}

BdaPtd* BdaGetContext() {
  return static_cast<BdaPtd*>(CmnCreateContextEx(&BdaPtdDescriptor, CMN_SLOT_BDA));
}

RdaPtd* RdaGetContext() {
  return static_cast<RdaPtd*>(CmnCreateContextEx(&RdaPtdDescriptor, CMN_SLOT_RDA));
}

IpcHandle MaIpcHandle() {
  const DacmnPtd* ctx = DacmnGetContext();
  return ctx != nullptr ? ctx->maIpcHandle : kIpcNoHandle;
}

IpcHandle* DaConIpcHandle() {
  DacmnPtd* ctx = DacmnGetContext();
  return ctx != nullptr ? &ctx->conIpcHandle : nullptr;
}

void DaSetReconnectID(int id) {
  if (DacmnPtd* ctx = DacmnGetContext()) ctx->reconnectId = id;
}

void DaSetReconnectHost(const char* host) {
  if (DacmnPtd* ctx = DacmnGetContext()) CopyText(ctx->reconnectHost, host);
}

const char* DaGetReconnectHost() {
  const DacmnPtd* ctx = DacmnGetContext();
  return ctx != nullptr ? ctx->reconnectHost : "";
}

void DaSetReconnectPort(int port) {
  if (DacmnPtd* ctx = DacmnGetContext()) ctx->reconnectPort = port;
}

int DaGetReconnectPort() {
  const DacmnPtd* ctx = DacmnGetContext();
  return ctx != nullptr ? ctx->reconnectPort : 0;
}

int GetEncryptOption(const char* name) {
  if (name == nullptr) return 0;
  for (const DaEncrAlgo* row = encrAlgoType; row->name[0] != '\0'; ++row) {
    if (strcasecmp(row->name, name) == 0) return row->type;
  }
  return 0;
}

int DaChooseNetIO(DaSide side, const char* maHost, const char* filePath) {
  static const char kFn[] = "DaChooseNetIO";
  DacmnPtd* ctx = DacmnGetContext();
  const bool haveHost = maHost != nullptr && maHost[0] != '\0';
  if (!haveHost) {
    // Only a network process can write or read the file; without a file
    // there is nowhere for the stream to go.
    if (filePath == nullptr || filePath[0] == '\0') {
      DbgPlain(kLevel, "[%s] neither a media agent host nor a file path", kFn);
      ErhFullReportPacked(kFn, kErhMajor, NlsPackMessage(kSetDataPath, kDaMsgNoTarget));
      return -1;
    }
    DbgPlain(kLevel, "[%s] no media agent host: stream through file %s", kFn, filePath);
    if (ctx != nullptr) ctx->netIO = 1;
    return 1;
  }

  int netIO = 1;
  const int local = IpcIPIsLocal(maHost);
  if (local < 0) {
    DbgPlain(kLevel, "IpcIPIsLocal failed! errno %d\n", ErhErrno());
    ErhClearError();
  } else {
    netIO = local == 1 ? 0 : 1;
    DbgPlain(kLevel, "Local host backup for %s => %s\n", maHost, local == 1 ? "TRUE" : "FALSE");
  }
  int forced = 0;
  if (EnvReadInt(side == DA_RESTORE ? "VEKRDANET" : "VEKBDANET", &forced) == 1) {
    netIO = forced != 0 ? 1 : 0;
    DbgPlain(kLevel, "Local backup overridden by environment option => NetIO=%d\n", netIO);
  }
  if (ctx != nullptr) ctx->netIO = netIO;
  return netIO;
}
