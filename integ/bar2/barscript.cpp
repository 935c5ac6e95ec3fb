// Pre- and post-execution scripts of a session: a command from the
// installation's bin directory, run as a given user with a time-out.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bar2/bar2.h"
#include "barutil/barmsg.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/user.h"

TARN_RCSID("integ/bar2/barscript.cpp");

namespace {

constexpr int kLevelFlow = 1;

struct Words {
  int argc = 0;
  char** argv = nullptr;
  ~Words() { FreeStrToArg(&argc, &argv); }
};

// A name that climbs out of the bin directory.
bool LeavesBin(std::string_view name) {
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

int VEK_ExecuteScript(BarContext* ctx, const char* script, int preExec, const char* user,
                      const char* password, int timeout) {
  static const char fn[] = "VEK_ExecuteScript";
  ctx = BarResolve(ctx);
  if (ctx == nullptr) return BAR_ENOCONTEXT;
  (void)password;  // the runner takes no password; it is never traced
  DbgPlain(kLevelFlow, "[%s] script: '%s' preExec: %d user: '%s' timeout: %d", fn,
           script != nullptr ? script : "(null)", preExec, user != nullptr ? user : "(null)",
           timeout);
  if (script == nullptr || script[0] == '\0') {
    DbgPlain(kLevelFlow, "[%s] No script.", fn);
    return 0;
  }
  if (timeout < 0) timeout = 0;

  std::string_view text(script);
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  std::string_view name;
  std::string_view args;
  if (!text.empty() && text.front() == '\'') {
    text.remove_prefix(1);
    const std::size_t quote = text.find('\'');
    name = text.substr(0, quote);
    if (quote != std::string_view::npos) args = text.substr(quote + 1);
  } else {
    const std::size_t blank = text.find(' ');
    name = text.substr(0, blank);
    if (blank != std::string_view::npos) args = text.substr(blank + 1);
  }
  if (name.empty() || LeavesBin(name)) {
    DbgPlain(kLevelFlow, "[%s] Condition not fulfilled: %s", fn, "script name inside bin");
    return BarFail(ctx, BAR_EPARAM);
  }
  // The whole name is one argument: a quoted name may hold blanks.
  const std::string path = std::string(cmnFenBin) + "/" + std::string(name);
  const std::string argText(args);
  DbgPlain(kLevelFlow, "[%s] Modified script: '%s' | '%s'", fn, path.c_str(), argText.c_str());

  Words words;
  if (StrToArgEx(path.c_str(), argText.c_str(), &words.argc, &words.argv, 0) != 0 ||
      words.argc < 1) {
    return BarFail(ctx, BAR_ENOMEM);
  }
  ErhFullReportPacked(
      fn, kErhCritical,
      NlsPackMessage(kBarMsgSet, preExec != 0 ? kBarMsgPreExec : kBarMsgPostExec, path.c_str()));

  int retVal = 0;
  const int rc = CmnRunScriptExAsUser(nullptr, words.argc, words.argv, nullptr, timeout, 0, user,
                                      nullptr, &retVal);
  if (rc == kRunOk && retVal == 0) {
    ErhFullReportPacked(fn, kErhCritical, NlsPackMessage(kBarMsgSet, kBarMsgScriptOk));
    return 0;
  }
  DbgPlain(kLevelFlow, "[%s] result = %d, retVal = %d", fn, rc, retVal);
  const int level = preExec != 0 ? kErhMinor : kErhWarning;
  switch (rc) {
    case kRunError:
      ErhFullReportPacked(fn, level, NlsPackMessage(kBarMsgSet, kBarMsgScriptFailed, retVal));
      break;
    case kRunTimeout:
      ErhFullReportPacked(fn, level, NlsPackMessage(kBarMsgSet, kBarMsgScriptTimeout));
      break;
    case kRunNoProgram:
      ErhFullReportPacked(fn, level, NlsPackMessage(kBarMsgSet, kBarMsgScriptNoStart));
      break;
    default:
      ErhFullReportPacked(fn, level, NlsPackMessage(kBarMsgSet, kBarMsgScriptAbnormal, retVal));
      break;
  }
  return rc != kRunOk ? rc : -1;
}
