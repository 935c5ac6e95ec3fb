// Process-wide switches and source identification shared by every module.
// Included (directly or through ctx.h) by every source file of the product.
#pragma once

// Host-process mode. libwren runs inside DB2's own processes and sets these
// before it starts the common library. Every module must honour them:
//  - cmnDefine_ORACLE8: we are a guest in a foreign process. Never call exit,
//    abort, setlocale or atexit; never install or swap a signal handler the
//    host owns; a failure is returned to the caller instead of ending the
//    process.
//  - cmnDefine_ORACLE_SIGNALS: the host's signals interrupt our system calls;
//    EINTR is retried rather than treated as an error.
//  - cmnDefine_NOATEXIT: register no exit handlers (CmnSetAtAxit is a no-op).
//  - cmnDefine_DISABLE_DBG_UNEXPECTED: every trace call writes at level -1.
extern int cmnDefine_ORACLE8;
extern int cmnDefine_ORACLE_SIGNALS;
extern int cmnDefine_NOATEXIT;
extern int cmnDefine_DISABLE_DBG_UNEXPECTED;

// True when the process is a host process (any of the guest switches set).
bool CmnInHostProcess();

// Product version and build number shown in trace headers and version lines.
inline constexpr const char kTarnVersion[] = "A.01.00";
inline constexpr const char kTarnBuild[] = "100";

// Every source file declares its identification string once:
//   TARN_RCSID("lib/cmn/ctx.cpp");
// and passes `rcsId, __LINE__` to the memory and tracing calls. The trace shows
// the path and revision (see Get_FILE_from_rcsId).
#define TARN_RCSID(path) [[maybe_unused]] static const char rcsId[] = "$Source: /src/" path " 1.0 $"

// Shorthand for the caller's location in memory, trace and error calls.
#define TARN_HERE rcsId, __LINE__
