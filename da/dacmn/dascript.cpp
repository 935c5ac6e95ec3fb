// Pre- and post-execution commands: the switch that turns them off, the
// rule that a bare name runs from the installation's lbin directory, and
// the run through the common library's script runner.
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/user.h"
#include "dacmn/dacmn.h"
#include "dacmn/daimpl.h"

TARN_RCSID("da/dacmn/dascript.cpp");

using namespace dacmn_detail;

namespace {

constexpr int kDefaultTimeout = 86400;
constexpr int kRefused = 7;
constexpr char kInetLog[] = "inet.log";

void LogNotExecuted(int execOff, const char* command) {
  DbgLogPlain(kInetLog, "VEKOEXECOFF=%d, command \"%s\" specified but not executed.", execOff,
              command);
}

// The words of a command line, freed on every way out.
struct Words {
  int argc = 0;
  char** argv = nullptr;
  ~Words() { FreeStrToArg(&argc, &argv); }
};

}  // namespace

int DaRunScript(const char* command, int timeout) {
  static const char kFn[] = "DaRunScript";
  const char* cmd = command != nullptr ? command : "";
  DbgPlain(kLevel, "[%s] Entering (cmd: %s, timeout %d)", kFn, cmd, timeout);
  if (timeout < 1) {
    timeout = 0;
    EnvReadInt("VEKSCRIPTTIMEOUT", &timeout);
    if (timeout < 1) timeout = kDefaultTimeout;
  }

  int execOff = 0;
  EnvReadInt("VEKOEXECOFF", &execOff);
  if (execOff != 0 && execOff != 2) {
    ErhFullReportPacked(kFn, kErhNormal, NlsPackMessage(kSetDataPath, kDaMsgExecOff));
    LogNotExecuted(execOff, cmd);
    return 0;
  }

  Words words;
  if (StrToArgEx(nullptr, cmd, &words.argc, &words.argv, 1) != 0 || words.argc < 1) {
    DbgPlain(kLevel, "[%s] Exiting (no program in \"%s\")!", kFn, cmd);
    return -1;
  }
  char cleaned[kStrPathMax + 1];
  StrCleanPathnameR(words.argv[0], '/', cleaned);
  const bool bare = std::string(StrBasename(cleaned)) == cleaned;
  if ((execOff == 2 && !bare) || (bare && StrExecIsNotSecure(cleaned) != 0)) {
    ErhFullReportPacked(kFn, kErhWarning, NlsPackMessage(kSetDataPath, kDaMsgExecRefused, cmd));
    LogNotExecuted(execOff, cmd);
    return kRefused;
  }

  // The runner looks for a relative name in lbin; a relative path given
  // by the user means the current directory.
  const char* dir = bare ? cmnFenLBin : cleaned[0] == '/' ? nullptr : ".";
  const std::string path = dir != nullptr ? std::string(dir) + "/" + cleaned : cleaned;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    const int err = errno;
    DbgPlain(kLevel, "[%s] Exiting (stat returns %d)!", kFn, -1);
    ErhFullReportPacked(
        kFn, kErhMajor,
        NlsPackMessage(kSetScript, kMsgNoProgram, ErhSysErrnoToText(err), path.c_str()));
    return -1;
  }

  std::vector<const char*> argv(words.argv, words.argv + words.argc);
  argv[0] = cleaned;
  argv.push_back(nullptr);
  int status = 0;
  const int rc = CmnRunScriptEx(dir, words.argc, argv.data(), nullptr, timeout, 0, &status);
  DbgPlain(kLevel, "[%s] Exiting (runner %d, status %d)", kFn, rc, status);
  return rc == kRunOk ? status : rc;
}
