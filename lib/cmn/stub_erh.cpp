// Temporary minimal error state so the library links while the real error
// module is written. Deleted by the error module's change.
#include "cmn/erh.h"

namespace {
int code = 0;
int sysErrno = 0;
int level = 0;
}  // namespace

void ErhInit(int) {}
void ErhExit() {}
void ErhMarkM(int c, int e, const char*, int l, const char*, int) {
  if (code != 0) return;
  code = c;
  sysErrno = e;
  level = l;
}
void ErhSetMarkLocation(const char*, const char*, int) {}
void ErhPromoteErrorM(int c, const char*, int) { code = c; }
void ErhClearErrorM(const char*, int) { code = sysErrno = 0; }
void ErhReportM(const char*, const char*, int) {}
void ErhFullReportM(const char*, int, const char*, const char*, int) {}
void ErhFullReportPackedM(const char*, int, const char*, const char*, int) {}
void ErhPackM(const char*, const char*, int) {}
void ErhAssertM(const char*, int, const char*, int) {}
void ErhAssertPackedM(const char*, int, const char*, int) {}
int ErhErrno() { return code; }
int ErhSysErrno() { return sysErrno; }
int ErhErrnoLevel() { return level; }
const char* ErhSysErrorStr() { return ""; }
void ErhSetSysErrorStr(const char*) {}
void ErhSetErrorInfo(const char*) {}
const char* ErhGetErrorInfo() { return ""; }
void ErhSetReportLevel(int) {}
int ErhReportLevel() { return 0; }
void ErhSetHooks(ErhHooks*, ErhHookFn, ErhHookFn) {}
void ErhToConsole(const char*) {}
const char* ErhSysErrnoToText(int) { return ""; }
const char* ErhErrnoToText() { return ""; }
int ErhPackMsg() { return 0; }
int ErhPackMsgL(StrMsg*) { return 0; }
int ErhUnpackMsg() { return 0; }
int ErhUnpackMsgL(StrMsg*) { return 0; }
char* ErhFormatCmnInitFailure() { return nullptr; }
