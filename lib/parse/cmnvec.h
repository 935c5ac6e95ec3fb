// Indexed vector: a growable list of variable-length byte strings kept one
// after another in a single blob, addressed through an offset table.
#pragma once

#include <cstddef>

// Called on an element's bytes before the element is replaced or removed, and
// on every element when the vector is freed. It must not free the bytes
// themselves (they belong to the blob), only what they refer to.
using IVecFreeFn = void (*)(void* element);
// Negative when `element` sorts before `key`, 0 when equal, positive after.
using IVecCompareFn = int (*)(const void* element, const void* key);

// Plain record; a zeroed record is an empty vector. One owner frees it once
// with IVecFree. The blob is never compacted: replaced and removed elements
// keep their bytes until the vector is reset or freed.
struct CmnVec {
  int entries;  // elements the offset table can hold
  int count;    // elements
  int size;     // bytes allocated for the blob
  int used;     // bytes used in the blob
  int* index;   // blob offset of each element, in element order
  char* data;   // the blob
  IVecFreeFn freefn;
};

// Element i, or null outside 0 to count-1. Valid until the vector grows.
inline void* IVecGet(const CmnVec* vec, int i) {
  if (vec == nullptr || i < 0 || i >= vec->count) return nullptr;
  return vec->data + vec->index[i];
}

// Room for `entries` + 1 elements and `bytes` + 1 blob bytes, empty.
// 0, or -1 when memory runs out (the record is then empty).
int IVecInit(CmnVec* vec, int entries, int bytes, IVecFreeFn freefn);
// Count and used bytes become 0; storage stays. The free function is not run.
void IVecReset(CmnVec* vec);
// Runs the free function on every element, releases the storage and clears
// the sizes.
void IVecFree(CmnVec* vec);

// Appends a copy of `length` bytes. The new element's index, or -1 when
// memory runs out or the arguments are bad (the vector is then unchanged).
int IVecAdd(CmnVec* vec, const void* data, int length);
// IVecAdd of the text with its NUL.
int IVecAddStr(CmnVec* vec, const char* text);
// Inserts a copy before element `index` (0 to count). The stored copy, or
// null (vector unchanged).
void* IVecInsert(CmnVec* vec, int index, const void* data, int length);
// Replaces element `index` by a copy appended to the blob. Returns `length`,
// or -1 (vector unchanged).
int IVecUpdate(CmnVec* vec, int index, const void* data, int length);
// Removes element `index`; later elements move down one place. 0 or -1.
int IVecRemove(CmnVec* vec, int index);

// Halving search over elements sorted by `compare`. The equal element or null;
// *index (may be null) gets its position or the position to insert the key at.
void* IVecSortedFind(const CmnVec* vec, int* index, const void* key, IVecCompareFn compare);
// Inserts a copy of `data` where IVecSortedFind places it; the stored copy or
// null. *index gets the position.
void* IVecSortedInsert(CmnVec* vec, int* index, const void* data, IVecCompareFn compare,
                       int length);
// The same unless an equal element exists: that element is returned instead
// and nothing is stored.
void* IVecSortedInsertUnique(CmnVec* vec, int* index, const void* data, IVecCompareFn compare,
                             int length);

// Trace of a vector of texts at `level`.
void DbgDumpIVecStr(int level, const char* title, const CmnVec* vec);
