// Utility calls of the integration: result line, console, start-up dumps,
// the jump-back signal handler, library loading and temporary files.
#include "barutil/vekutil.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <string_view>

#include "barutil/buenv.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/sysio.h"

extern char** environ;

TARN_RCSID("integ/barutil/vekutil.cpp");

sigjmp_buf vekExceptionJump;
volatile sig_atomic_t vekExceptionArmed = 0;
volatile sig_atomic_t vekExceptionSignal = 0;

namespace {

constexpr int kTempAttempts = 100;

bool Given(const char* text) {
  return text != nullptr && text[0] != '\0';
}

// The option name of an argument: "-password" of "-password=x", "Password"
// of "Password=x".
std::string_view NameOf(std::string_view arg) {
  return arg.substr(0, arg.find('='));
}

// An argument as the dump may show it. `maskNext` tells the caller that the
// following word is the value of a secret option.
std::string Shown(const char* arg, const char* prefix, bool* maskNext) {
  *maskNext = false;
  if (arg == nullptr) return "(null)";
  const std::string_view text(arg);
  if (Given(prefix) && strncasecmp(arg, prefix, std::strlen(prefix)) == 0) {
    *maskNext = strcasecmp(arg, prefix) == 0;
    return kBuMasked;
  }
  const std::string name(NameOf(text));
  if (!BU_IsSecretName(name.c_str())) return std::string(text);
  if (name.size() == text.size()) {
    *maskNext = name[0] == '-';
    return std::string(text);
  }
  return name + "=" + kBuMasked;
}

void Dump(const char* title, int level, int argc, const char* const* argv, const char* const* envp,
          const char* prefix) {
  DbgPlain(level, "%s", title);
  bool maskThis = false;
  for (int i = 0; argv != nullptr && i < argc; ++i) {
    bool maskNext = false;
    const std::string shown = Shown(argv[i], prefix, &maskNext);
    DbgPlain(level, "argv[%d] %s", i, maskThis ? kBuMasked : shown.c_str());
    maskThis = maskNext;
  }
  DbgPlain(level, "Environment");
  const char* const* env = envp != nullptr ? envp : environ;
  for (int i = 0; env != nullptr && env[i] != nullptr; ++i) {
    bool ignored = false;
    DbgPlain(level, "envp[%d] %s", i, Shown(env[i], nullptr, &ignored).c_str());
  }
}

std::minstd_rand& Generator() {
  static std::minstd_rand generator(
      static_cast<std::minstd_rand::result_type>(std::time(nullptr) ^ (getpid() << 16)));
  return generator;
}

}  // namespace

int VEK_UtilReport(FILE* stream, int code, const char* text) {
  if (code < 0) {
    const int marked = ErhErrno();
    code = marked != ERH_NONE ? marked : ERH_INTERNAL;
  }
  DbgPlain(kDbgDetail, "[VEK_UtilReport] *RETVAL*%d", code);
  if (stream != nullptr) {
    std::fprintf(stream, "*RETVAL*%d\n", code);
    std::fflush(stream);
  }
  const char* sysText = ErhSysErrorStr();
  if (Given(sysText)) ConPrintf("%s\n", sysText);
  if (Given(text)) ConPrintf("%s\n", text);
  return code;
}

int VEK_ConPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = FPrintVA(stdout, format, args);
  va_end(args);
  return written;
}

void VEK_DumpArgs(int level, int argc, const char* const* argv, const char* const* envp) {
  Dump("Startup arguments", level, argc, argv, envp, nullptr);
}

void VEK_DumpArgsEx(int level, int argc, const char* const* argv, const char* const* envp,
                    const char* secretPrefix) {
  Dump("Dump startup parameters", level, argc, argv, envp, secretPrefix);
}

void VEK_ExceptionHandler(int signal) {
  DbgPlain(kDbgAlways, "UX Signal received: %d!", signal);
  DbgDumpStack(kDbgAlways);
  if (vekExceptionArmed) {
    vekExceptionArmed = 0;
    vekExceptionSignal = signal;
    siglongjmp(vekExceptionJump, signal);
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void* VEK_LoadLibraryEx(const char* name, int mode) {
  void* handle = Given(name) ? dlopen(name, mode) : nullptr;
  if (handle != nullptr) return handle;
  const char* reason = Given(name) ? dlerror() : "no library name";
  if (reason == nullptr) reason = "unknown error";
  const char* shown = name != nullptr ? name : "";
  DbgPlain(kDbgUnexpected, "[VEK_LoadLibrary] Error loading %s: %s", shown, reason);
  // The first marked error wins: only our own mark gets our text.
  if (ErhErrno() == ERH_NONE) {
    ErhMark(ERH_SYSTEM, 0, "dlopen", kErhMinor);
    const std::string text = std::string(shown) + ": " + reason;
    ErhSetSysErrorStr(text.c_str());
  }
  return nullptr;
}

void* VEK_LoadLibrary(const char* name) {
  return VEK_LoadLibraryEx(name, RTLD_NOW);
}

char* VEK_GetTempFileName(const char* dir, const char* prefix, const char* ext) {
  const char* base = Given(prefix) ? prefix : "vek";
  const char* suffix = Given(ext) ? ext : "tmp";
  if (std::strchr(base, '/') != nullptr || std::strchr(suffix, '/') != nullptr) return nullptr;
  char cleaned[kStrPathMax + 1];
  StrCleanPathnameR(Given(dir) ? dir : cmnFenTmp, '/', cleaned);
  const unsigned random = static_cast<unsigned>(Generator()());
  char name[kStrPathMax];
  const int n = std::snprintf(name, sizeof name, "%s/%s%ld%d%d%u.%s", cleaned, base,
                              static_cast<long>(std::time(nullptr)), static_cast<int>(getpid()), 0,
                              random, suffix);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof name) return nullptr;
  return StrNewCopy(name);
}

int VEK_CreateTempFile(const char* dir, const char* prefix, const char* ext, char** path) {
  if (path == nullptr) return -1;
  *path = nullptr;
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    char* name = VEK_GetTempFileName(dir, prefix, ext);
    if (name == nullptr) return -1;
    const int fd = cmn::OpenRetry(name, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      *path = name;
      return fd;
    }
    const int err = errno;
    safe_free(name, TARN_HERE);
    if (err != EEXIST) {
      DbgPlain(kDbgUnexpected, "[VEK_CreateTempFile] open() failed, errcode=%d", err);
      return -1;
    }
  }
  return -1;
}
