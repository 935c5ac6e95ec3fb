// Utility calls of the integration: the result line for a parent process,
// console output, start-up dumps with secrets masked, the signal handler that
// jumps back to a saved point, library loading and temporary file names.
#pragma once

#include <csetjmp>
#include <csignal>
#include <cstdio>

// ---- result line

// Writes the result line "*RETVAL*<code>\n" to `stream` (and traces
// "[VEK_UtilReport] *RETVAL*<code>"), then the error state's system error
// text and `text`, each with a newline, to the console when not empty. A
// negative code is replaced by the error state's code, or by 1007 when no
// error is marked, so a failure never reads "*RETVAL*0". Returns the code
// written.
int VEK_UtilReport(FILE* stream, int code, const char* text);
// Formats and writes to the console (standard output). Returns the bytes
// written, or -1.
int VEK_ConPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- start-up dumps

// Traces at `level` "Startup arguments", "argv[%d] %s" per argument,
// "Environment" and "envp[%d] %s" per entry of `envp` (null: the process
// environment). Secrets never reach the trace: the value of a variable or
// "name=value" argument with a secret name (BU_IsSecretName) and the word
// after an option with a secret name ("-password x") are shown as "****".
void VEK_DumpArgs(int level, int argc, const char* const* argv, const char* const* envp);
// The same under "Dump startup parameters"; in addition every argument that
// begins with `secretPrefix` (case ignored) is shown as "****", and so is the
// word after an argument that is the prefix itself.
void VEK_DumpArgsEx(int level, int argc, const char* const* argv, const char* const* envp,
                    const char* secretPrefix);

// ---- signals

// The point VEK_ExceptionHandler jumps back to. A program saves it before the
// guarded work and arms it:
//   if (sigsetjmp(vekExceptionJump, 1) != 0) { /* signal vekExceptionSignal */ }
//   vekExceptionArmed = 1;  ... guarded work ...  vekExceptionArmed = 0;
extern sigjmp_buf vekExceptionJump;
extern volatile sig_atomic_t vekExceptionArmed;
extern volatile sig_atomic_t vekExceptionSignal;
// Signal handler: traces "UX Signal received: %d!" and the call stack, then
// jumps back to vekExceptionJump with the signal number (disarming it). When
// no point is armed the signal's default action is put back and the signal
// raised again, so a fault is never ignored. Install it only in a program of
// our own, never in a host process.
void VEK_ExceptionHandler(int signal);

// ---- libraries

// dlopen with `mode` (VEK_LoadLibrary: RTLD_NOW). On failure traces "[VEK_
// LoadLibrary] Error loading %s: %s", marks 1026 at "dlopen" (severity 2)
// with "<name>: <loader message>" as system error text, and returns null. A
// null or empty name fails the same way.
void* VEK_LoadLibraryEx(const char* name, int mode);
void* VEK_LoadLibrary(const char* name);

// ---- temporary files

// "<dir>/<prefix><time><pid>0<random>.<ext>" with the directory cleaned
// (default: the installation's tmp directory), prefix default "vek" and
// extension default "tmp"; caller-owned (safe_free). Null when the prefix or
// extension holds '/' or the name would exceed 1023 characters. The name is
// guessable: create the file only with O_CREAT|O_EXCL (VEK_CreateTempFile).
char* VEK_GetTempFileName(const char* dir, const char* prefix, const char* ext);
// Creates a new temporary file (O_CREAT|O_EXCL, mode 0600) under a name from
// VEK_GetTempFileName, trying fresh names while one exists. The open
// descriptor, *path (caller-owned) its name; -1 (*path null) on failure.
int VEK_CreateTempFile(const char* dir, const char* prefix, const char* ext, char** path);
