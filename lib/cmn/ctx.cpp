// Module context table, tracked memory and environment readers.
#include "cmn/ctx.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cmn/cmninit.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/ctx.cpp");

int cmnDefine_ORACLE8 = 0;
int cmnDefine_ORACLE_SIGNALS = 0;
int cmnDefine_NOATEXIT = 0;
int cmnDefine_DISABLE_DBG_UNEXPECTED = 0;

bool CmnInHostProcess() {
  return cmnDefine_ORACLE8 != 0;
}

CmnContextSlot cmnMasterContext[kCmnContextSlots];
CmnContextSlot* pcmnMasterContext = cmnMasterContext;

namespace {

bool ValidSlot(int slot) {
  return slot >= 0 && slot < kCmnContextSlots;
}

enum : int { kLevelMalloc = 501, kLevelRealloc = 502, kLevelFree = 503, kLevelCalloc = 504 };

SafeMemMallocHookFn mallocHook = SafeMemMallocHook;
SafeMemReallocHookFn reallocHook = SafeMemReallocHook;

void MarkOutOfMemory(const char* function, const char* callerFunction, int sysErrno,
                     const char* file, int line) {
  ErhMarkM(ERH_NOMEM, sysErrno, function, kErhMajor, TARN_HERE);
  ErhSetMarkLocation(callerFunction, file, line);
}

}  // namespace

void* CmnCreateContextEx(const PtdDescriptor* descriptor, int slot) {
  if (pcmnMasterContext == nullptr || descriptor == nullptr || !ValidSlot(slot)) return nullptr;
  CmnContextSlot& entry = pcmnMasterContext[slot];
  if (entry.data != nullptr) return entry.data;
  entry.descriptor = descriptor;
  void* data;
  if (descriptor->staticArea != nullptr) {
    std::memset(descriptor->staticArea, 0, descriptor->size);
    data = descriptor->staticArea;
  } else {
    // Plain calloc: the tracked allocator traces and marks errors, which would
    // recurse into the very slots being created.
    data = std::calloc(1, descriptor->size > 0 ? descriptor->size : 1);
  }
  entry.data = data;
  // A failed allocation leaves null; the module must see null, not run AtInit.
  if (data != nullptr && descriptor->AtInit != nullptr) descriptor->AtInit(data);
  return data;
}

void* CmnGetContextEx(CmnContextSlot* table, int slot) {
  if (table == nullptr || !ValidSlot(slot)) return nullptr;
  return table[slot].data;
}

void* CmnSetContextEx(const PtdDescriptor* descriptor, int slot, void* data) {
  if (pcmnMasterContext == nullptr || !ValidSlot(slot)) return nullptr;
  pcmnMasterContext[slot].descriptor = descriptor;
  pcmnMasterContext[slot].data = data;
  return data;
}

void CmnFreeContextEx(CmnContextSlot* table, int slot) {
  if (table == nullptr || !ValidSlot(slot)) return;
  CmnContextSlot& entry = table[slot];
  if (entry.data == nullptr || entry.descriptor == nullptr) return;
  void* data = entry.data;
  if (entry.descriptor->AtFree != nullptr) entry.descriptor->AtFree(data);
  if (entry.descriptor->staticArea == nullptr) std::free(data);
  entry.data = nullptr;
}

void CmnFreeMasterContext() {
  for (int slot = 0; slot < kCmnContextSlots; ++slot) CmnFreeContextEx(pcmnMasterContext, slot);
}

void CmnContextAtFork() {
  if (pcmnMasterContext == nullptr) return;
  for (int slot = 0; slot < kCmnContextSlots; ++slot) {
    CmnContextSlot& entry = pcmnMasterContext[slot];
    if (entry.descriptor != nullptr && entry.data != nullptr &&
        entry.descriptor->AtFork != nullptr) {
      entry.descriptor->AtFork(entry.data);
    }
  }
  CmnFreeMasterContext();
}

void* safe_malloc(size_t size, const char* file, int line) {
  DbgMessageM(file, line, kLevelMalloc, nullptr);
  void* p = std::malloc(size > 0 ? size : 1);
  if (p != nullptr) {
    DbgPlain(kLevelMalloc, "MALLOC Size=%d  Address=%p\n", static_cast<int>(size), p);
    return p;
  }
  const int err = errno;
  DbgPlain(kLevelMalloc, "MALLOC failed Size=%d\n", static_cast<int>(size));
  MarkOutOfMemory("safe_malloc", "MALLOC CALL", err, file, line);
  DbgLogFull(TARN_HERE, CmnGetProgname(), static_cast<int>(getpid()), 0, nullptr,
             "MALLOC failed Size=%d, errcode=%d", static_cast<int>(size), err);
  return mallocHook != nullptr ? mallocHook(size) : nullptr;
}

void* safe_calloc(size_t count, size_t elsize, const char* file, int line) {
  DbgMessageM(file, line, kLevelCalloc, nullptr);
  void* p = std::calloc(count > 0 ? count : 1, elsize > 0 ? elsize : 1);
  if (p != nullptr) {
    DbgPlain(kLevelCalloc, "CALLOC nelem=%d elsize=%d  Address=%p\n", static_cast<int>(count),
             static_cast<int>(elsize), p);
    return p;
  }
  const int err = errno;
  DbgPlain(kLevelCalloc, "CALLOC failed nelem=%d elsize=%d\n", static_cast<int>(count),
           static_cast<int>(elsize));
  MarkOutOfMemory("safe_calloc", "CALLOC CALL", err, file, line);
  DbgLogFull(TARN_HERE, CmnGetProgname(), static_cast<int>(getpid()), 0, nullptr,
             "CALLOC failed nelem=%d elsize=%d, errcode=%d", static_cast<int>(count),
             static_cast<int>(elsize), err);
  return nullptr;
}

// GCC cannot see that a failed realloc leaves the old block valid.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
void* safe_realloc(void* pointer, size_t size, const char* file, int line) {
  DbgMessageM(file, line, kLevelRealloc, nullptr);
  if (size == 0) {
    DbgPlain(kLevelRealloc, "REALLOC as FREE\n");
    safe_free(pointer, file, line);
    return nullptr;
  }
  if (pointer == nullptr) {
    DbgPlain(kLevelRealloc, "REALLOC as MALLOC\n");
    return safe_malloc(size, file, line);
  }
  // The old address is only printed, never used, once realloc has run.
  const auto oldAddress = reinterpret_cast<uintptr_t>(pointer);
  void* p = std::realloc(pointer, size);
  if (p != nullptr) {
    DbgPlain(kLevelRealloc, "REALLOC Size=%d  OldAddress=%p  Address=%p\n", static_cast<int>(size),
             reinterpret_cast<void*>(oldAddress), p);
    return p;
  }
  // The old block is untouched and still the caller's.
  const int err = errno;
  MarkOutOfMemory("safe_realloc", "REALLOC CALL", err, file, line);
  DbgLogFull(TARN_HERE, CmnGetProgname(), static_cast<int>(getpid()), 0, nullptr,
             "REALLOC failed Size=%d, errcode=%d", static_cast<int>(size), err);
  return reallocHook != nullptr ? reallocHook(pointer, size) : nullptr;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void safe_free(void* pointer, const char* file, int line) {
  if (pointer == nullptr) {
    DbgMessageM(TARN_HERE, kLevelFree, "NULL pointer in FREE");
    return;
  }
  DbgMessageM(file, line, kLevelFree, nullptr);
  DbgPlain(kLevelFree, "FREE  Address=%p\n", pointer);
  std::free(pointer);
}

void SafeMemHooks(SafeMemMallocHookFn newMallocHook, SafeMemReallocHookFn newReallocHook) {
  mallocHook = newMallocHook != nullptr ? newMallocHook : SafeMemMallocHook;
  reallocHook = newReallocHook != nullptr ? newReallocHook : SafeMemReallocHook;
}

void* SafeMemMallocHook(size_t) {
  ErhReportM("MALLOC CALL", TARN_HERE);
  // A guest in a host process fails the call instead of ending the host.
  if (!CmnInHostProcess()) CmnExitProcess(3);
  return nullptr;
}

void* SafeMemReallocHook(void*, size_t) {
  ErhReportM("REALLOC CALL", TARN_HERE);
  if (!CmnInHostProcess()) CmnExitProcess(3);
  return nullptr;
}

int EnvReadInt(const char* name, int* variable) {
  static const char kFn[] = "EnvReadInt";
  const char* text = name != nullptr ? std::getenv(name) : nullptr;
  if (text != nullptr) {
    int value = 0;
    const bool valid = StrAtoBool(text, &value, nullptr) == 1;
    DbgPlain(18, "%s: %s found in environment (\"%s\", valid=%d)\n", kFn, name, text,
             valid ? 1 : 0);
    if (valid) {
      DbgPlain(18, "Value = %d", value);
      if (variable != nullptr) *variable = value;
      return 1;
    }
  }
  DbgPlain(18, "%s: no valid %s found\nKeeping default value (%d)\n", kFn,
           name != nullptr ? name : "", variable != nullptr ? *variable : 0);
  return 0;
}

int EnvGetBool(const char* name) {
  int value = 0;
  EnvReadInt(name, &value);
  return value;
}

char* EnvGetString(const char* name) {
  static const char kFn[] = "EnvGetString";
  const char* text = name != nullptr ? std::getenv(name) : nullptr;
  if (text == nullptr) {
    DbgPlain(18, "%s: no valid %s found\nReturning NULL\n", kFn, name != nullptr ? name : "");
    return nullptr;
  }
  DbgPlain(18, "%s: %s found in environment\n", kFn, name);
  DbgPlain(18, "Value = \"%s\"", text);
  const size_t n = std::strlen(text) + 1;
  char* copy = static_cast<char*>(safe_malloc(n, TARN_HERE));
  if (copy != nullptr) std::memcpy(copy, text, n);
  return copy;
}
