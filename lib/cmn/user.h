// Process environment: effective user and group names, the cluster switch,
// the machine description, the client's cell-server host file, changing user,
// and running external programs in a child process.
#pragma once

#include <signal.h>

#include <cstddef>

#include "cmn/defines.h"

inline constexpr size_t kCmnUserNameMax = 60;

// Effective user and group names ("unnamed" until CmnGetUserInfo found them).
extern char cmnEun[kCmnUserNameMax + 1];
extern char cmnEgn[kCmnUserNameMax + 1];
// Both 1 when VEKSGENABLED is exactly "1" (UxCheckCluster).
extern int cmnClus;
extern int cmnClusLibLoaded;
// Set by the command-mode interrupt handler; cleared when command mode ends.
extern volatile sig_atomic_t commandModeSet;

// Copies the effective user and group names into cmnEun and cmnEgn; a failed
// lookup leaves "unnamed" and writes a line to debug.log. Returns 0.
int CmnGetUserInfo();
// Apply the cluster switch. Return 0.
int UxCheckCluster();
int CmnCheckAndUpdateEnvironment();
// Platform set-up and clean-up around start-up; nothing to do here. Return 0.
int CmnInitializeEnvironment();
int CmnCleanupEnvironment();
void CmnSetProcessTitle();
void CmnVoidAlarmHandler(int signal);

// "sysname nodename release version machine " from uname, or "UNKNOWN".
inline constexpr size_t kCmnMachineInfoSize = 400;
// Writes into buf (size bytes, always terminated); returns buf.
char* CmnGetMachineInfoString(char* buf, size_t size = kCmnMachineInfoSize);

// The first line of the client's "cell_server" file that names a resolvable
// host: 0 and *host a heap copy (free with safe_free) of its canonical name;
// -1 with 2001 marked when the file is missing or has no such line.
int CliReadCSHost(char** host);

// Installs CliCommandModeIntr for SIGINT (without restarting system calls,
// so a waiting read sees the interrupt).
void CliSetCommandModeIntr();
// SIGINT handler of command mode: sets commandModeSet.
void CliCommandModeIntr(int signal);

// Switches the process to `user` (the global options' default script user
// when `user` is unknown): supplementary groups (when privileged), group,
// then user. 1 done; 0 neither user exists; -1 a switch failed.
int CmnSetUid(const char* user);

// Flags of the script runner.
inline constexpr int kRunNoOutputTrace = 0x800;  // output lines are not traced
inline constexpr int kRunNoOutputRead = 0x1000;  // output is not read; only wait
inline constexpr int kRunSameProcess = 0x2000;   // exec in place, no fork
inline constexpr int kRunNoInputTrace = 0x8000;  // the stdin text is not traced

// Results of the script runner (see CmnRunScriptExAsUser).
inline constexpr int kRunOk = 0;
inline constexpr int kRunError = -1;
inline constexpr int kRunTimeout = -2;
inline constexpr int kRunExecFailed = -3;
inline constexpr int kRunNoProgram = -4;

// Runs argv[0] with the arguments argv[0..argc-1] (argv[0] is passed as
// given). The program is "<dir>/<argv[0]>" when dir is given, argv[0] when it
// is absolute, else in the lbin install directory. `input` (may be null) is
// written to the program's standard input; its output lines go to the
// console hook (ErhToConsole).
//
// timeout (seconds; VEKEXECTIMEOUT replaces a non-negative one): above 0 it is
// the longest silence allowed between output lines, and then the longest wait
// for the child's exit; 0 or negative means no limit. A child that runs over
// is killed and reaped, and the result is -2.
// With kRunNoOutputRead and timeout -1 the program is started detached (no
// zombie is left) and the call returns 0 at once.
//
// Result, with *retVal (may be null; left as it was where not said):
//   0  the child ended normally; *retVal its exit code
//  -1  pipe, fork or wait failed (*retVal errno), the child died by a signal
//      (*retVal signal + 100), or the standard-input text could not be
//      written (*retVal errno; the child is still reaped)
//  -2  time-out
//  -3  the program could not be executed (*retVal the errno the child
//      reported, -1 for a malformed report), also when the child had
//      already been reaped before its report was read: the result does
//      not depend on that race
//  -4  no program given (*retVal 0)
// One run at a time per process: SIGCHLD is handled by the runner while it
// runs and put back afterwards; in a host process the host's SIGCHLD action
// is never touched (SIGCHLD stays blocked in the calling thread for the run).
int CmnRunScriptExAsUser(const char* dir, int argc, const char* const* argv, const char* input,
                         int timeout, int flags, const char* user, void* reserved, int* retVal);
int CmnRunScriptEx(const char* dir, int argc, const char* const* argv, const char* input,
                   int timeout, int flags, int* retVal);
