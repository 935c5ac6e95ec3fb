// Report and console hooks of a process with an integration context: every
// report line is counted, handed to the caller's callback and sent to the
// session manager, or printed when there is no session-manager link.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/barimpl.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/utf.h"
#include "dacmn/dacmn.h"
#include "ipc/ipc.h"

TARN_RCSID("integ/bar2/barreport.cpp");

using namespace bar2_detail;

namespace {

constexpr int kLevelFlow = 1;

// A writable copy of a report line as a message text, two more NULs closing
// it. A packed catalogue line is a message already (code kNlsPackedCode,
// then its items, each behind a blank): its separators turn back into NULs.
// A plain text line becomes the one item of such a message, since the
// session manager reads every line as a message.
std::vector<char> Unflatten(const char* message) {
  const std::size_t n = std::strlen(message);
  const std::string code = std::to_string(kNlsPackedCode);
  const bool packed = n > code.size() && std::strncmp(message, code.c_str(), code.size()) == 0 &&
                      message[code.size()] == kNlsSeparator;
  if (packed) {
    std::vector<char> text(n + 3, '\0');
    std::memcpy(text.data(), message, n);
    StrConvertCharToNull(text.data());
    return text;
  }
  const std::string head = code + '\0' + ' ';
  std::vector<char> text(head.size() + n + 3, '\0');
  std::memcpy(text.data(), head.data(), head.size());
  std::replace_copy(message, message + n, text.data() + head.size(), kNlsSeparator, ' ');
  return text;
}

bool LinkOpen(const BarContext* ctx) {
  return ctx->smLink != 0 && ctx->session.smHandle != kIpcNoHandle;
}

// The send may have reconnected; the data path holds the current handle.
void TakeHandleBack(BarContext* ctx) {
  if (const IpcHandle* con = DaConIpcHandle(); con != nullptr && *con != kIpcNoHandle)
    ctx->session.smHandle = *con;
}

}  // namespace

int BAR2ReportHook(const char* message) {
  static const char fn[] = "BAR2ReportHook";
  if (message == nullptr) return 0;
  BarContext* ctx = VEK_GetContext();
  if (ctx == nullptr) {
    PrintPackedMessage(message);
    return 0;
  }
  if (ctx->stdinTerminal < 0) ctx->stdinTerminal = VEK_IsConsole();
  std::vector<char> text = Unflatten(message);
  if (ctx->reportCallback != nullptr) ctx->reportCallback(text.data());
  const int level = ErhErrnoLevel();
  if (level == 0) {
    ++ctx->object.counters.level0Reports;
  } else if (level >= 1 && level <= 3) {
    ++ctx->object.counters.errorReports;
  }
  if (ctx->output == 0) return 0;
  if (!LinkOpen(ctx)) {
    PrintPackedMessage(message);
    return 0;
  }
  if (level != kErhCritical && level > ctx->object.counters.worstLevel) {
    ctx->object.counters.worstLevel = level;
    LinkUpdateStatus(ctx, 0, 1);
  }
  DbgPlain(kLevelFlow, "[%s] BAR2 --> MSG_MSG --> SM (%d).", fn, ctx->session.smHandle);
  LinkSendReport(ctx, text.data());
  TakeHandleBack(ctx);
  if (ctx->stdinTerminal == 1) PrintPackedMessage(message);
  return 0;
}

int BAR2ConsoleHook(const char* message) {
  if (message == nullptr) return 0;
  BarContext* ctx = VEK_GetContext();
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  if (ctx->output == 0) return 0;
  std::vector<char> text = Unflatten(message);
  if (LinkOpen(ctx)) {
    LinkSendReport(ctx, text.data());
    TakeHandleBack(ctx);
  } else {
    PrintPackedMessage(message);
  }
  return 0;
}

void BAR2ReportHookFn(const char* message) {
  BAR2ReportHook(message);
}

void BAR2ConsoleHookFn(const char* message) {
  BAR2ConsoleHook(message);
}
