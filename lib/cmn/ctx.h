// Module context table: one process-wide table of slots, one per module, that
// holds every module's mutable state; and the tracked memory calls and
// environment readers every module uses.
#pragma once

#include <cstddef>

#include "cmn/defines.h"

// Describes one module's slot. One static record per module.
struct PtdDescriptor {
  const char* name;
  void* staticArea;  // used as the slot's data (zeroed on creation), or null
  unsigned size;     // byte size of the module's data record
  void (*AtInit)(void* data);
  void (*AtFork)(void* data);  // run in a forked child before the slot is dropped
  void (*AtFree)(void* data);
};

struct CmnContextSlot {
  const PtdDescriptor* descriptor;
  void* data;
};

inline constexpr int kCmnContextSlots = 24;

// Fixed slot numbers; every module passes its own constant.
enum CmnSlot : int {
  CMN_SLOT_DBGSTACK = 0,
  CMN_SLOT_DBGSTREAM = 1,
  CMN_SLOT_STRMSG = 2,
  CMN_SLOT_ERH = 3,
  CMN_SLOT_CMN = 4,
  CMN_SLOT_IPC = 5,
  CMN_SLOT_CSA = 7,
  CMN_SLOT_PARSER = 9,
  CMN_SLOT_RDA = 10,
  CMN_SLOT_BDA = 11,
  CMN_SLOT_DACMN = 12,
  CMN_SLOT_BAR = 19,
};

extern CmnContextSlot cmnMasterContext[kCmnContextSlots];
// The only way the code reaches the table; null makes every call a no-op.
extern CmnContextSlot* pcmnMasterContext;

// Returns the slot's data, creating it (zeroed, AtInit run) on first use.
// Null when the table pointer is null or the heap allocation failed.
void* CmnCreateContextEx(const PtdDescriptor* descriptor, int slot);
// The slot's current data, or null; never creates.
void* CmnGetContextEx(CmnContextSlot* table, int slot);
// Stores descriptor and data in the slot; returns data (null without a table).
void* CmnSetContextEx(const PtdDescriptor* descriptor, int slot, void* data);
// Runs AtFree and frees heap data; the descriptor stays in the slot.
void CmnFreeContextEx(CmnContextSlot* table, int slot);
void CmnFreeMasterContext();
// Called by a forked child first thing: every AtFork hook, then all slots freed.
void CmnContextAtFork();

// Tracked memory. `file` is the caller's rcsId, `line` its __LINE__.
void* safe_malloc(size_t size, const char* file, int line);
void* safe_calloc(size_t count, size_t elsize, const char* file, int line);
// Never loses the old block: on failure it is still owned by the caller.
void* safe_realloc(void* pointer, size_t size, const char* file, int line);
void safe_free(void* pointer, const char* file, int line);

using SafeMemMallocHookFn = void* (*)(size_t size);
using SafeMemReallocHookFn = void* (*)(void* pointer, size_t size);
// Installs the out-of-memory hooks; null installs the defaults, which report
// the error and end the process with status 3 (outside host-process mode).
void SafeMemHooks(SafeMemMallocHookFn mallocHook, SafeMemReallocHookFn reallocHook);
void* SafeMemMallocHook(size_t size);
void* SafeMemReallocHook(void* pointer, size_t size);

// 1 and stores the value when the variable holds a valid integer or boolean
// word; else 0 and the variable keeps its default.
int EnvReadInt(const char* name, int* variable);
int EnvGetBool(const char* name);
// New heap copy of the value (free with safe_free), or null when unset.
char* EnvGetString(const char* name);
