// System V semaphores: the processes of the system pace one another through
// one-semaphore sets found by a file path and a small number.
#pragma once

#include <cstddef>

#include "cmn/defines.h"

struct sembuf;

// Whether the system reverses an operation when the process that made it
// ends. A wait and a release made with undo by the same process balance out;
// a permit handed from one process to another must be taken and given without
// undo on both sides, or the exit of either process changes the count again
// (an undone release loses the permit, an undone wait duplicates it).
enum CmnSemUndo : int {
  CMN_SEM_UNDO_DEFAULT = 0,  // as the process flags say (undo unless bit 1)
  CMN_SEM_UNDO = 1,
  CMN_SEM_NO_UNDO = 2,
};

// Bit of CmnSemFlags: CMN_SEM_UNDO_DEFAULT means no undo.
inline constexpr int kCmnSemFlagNoUndo = 1;
// Time-outs that wait without limit (the two largest unsigned 32-bit values).
inline constexpr unsigned kCmnSemForever = 0xFFFFFFFFu;
inline constexpr unsigned kCmnSemForever2 = 0xFFFFFFFEu;

// Creates (or, without bit 1 of `exclusive`, also opens) the set whose key is
// ftok(path, id + 1) with permissions 0777, and sets its value to `value`.
// A null path makes a private set, reachable only through the returned id.
// The path must exist. Returns the set id, or -1; with bit 1 of `exclusive`
// an existing set is a failure (errno EEXIST), and so is always an existing
// set of more than one semaphore (another key colliding with this one).
int CmnSemCreate(const char* path, int id, int value, int exclusive);
// The existing set of (path, id); -1 for a null path, when there is none or
// when the key's set holds more than one semaphore (errno EEXIST).
int CmnSemOpen(const char* path, int id);
// Takes `n` (0 to 32767; 0 takes nothing) from the semaphore, waiting at most
// `timeout` milliseconds (kCmnSemForever or kCmnSemForever2: without limit).
// A signal does not end the wait early. 0 done, -2 time-out, -1 error.
int CmnSemWait(int id, int n, unsigned timeout, CmnSemUndo undo);
// Makes the operations `ops[0..count)` on the set at once, as CmnSemWait
// waits: at most `timeout` milliseconds (0: only when they can be made at
// once). 0 done, -2 time-out, -1 error (errno kept: EIDRM or EINVAL when the
// set is gone).
int CmnSemOperate(int id, struct sembuf* ops, std::size_t count, unsigned timeout);
// Adds `n` (0 to 32767) to the semaphore; `n` 0 makes no system call.
// 0 or -1.
int CmnSemRelease(int id, int n, CmnSemUndo undo);
// Removes the set; 0 or -1. Waiters in other processes fail at once.
int CmnSemDelete(int id);
// 1 unless `id` is -1.
int CmnSemIsValid(int id);
// With `query` nonzero the process flags; otherwise sets them to `value` and
// returns the old ones. Default 0 (operations with undo).
int CmnSemFlags(int value, int query);

// A mutex: a set of value 1; waits and releases follow the process flags.
// A new set that must not exist yet; -1 when it does.
int CmnMutexCreate(const char* path, int id);
int CmnMutexOpen(const char* path, int id);
// Creates the mutex, or opens it when it exists already.
int CmnMutexAttach(const char* path, int id);
int CmnMutexWait(int id, unsigned timeout);
int CmnMutexRelease(int id);
int CmnMutexDelete(int id);
int CmnMutexIsValid(int id);

// Tests only: nonzero makes timed waits poll as on a system without a timed
// semaphore operation.
void CmnSemForcePolling(int force);
