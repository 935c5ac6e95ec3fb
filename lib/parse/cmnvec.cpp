// Indexed vector: growth of the offset table and the blob, the element
// operations, sorted search and insertion, and the trace dump.
#include "parse/cmnvec.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"

TARN_RCSID("lib/parse/cmnvec.cpp");

namespace {

constexpr long long kLinearStep = 8LL * 1024 * 1024;

// Grows the blob until `length` more bytes fit with one to spare. `data`, when
// it lies inside the blob, is moved along. False when memory or int sizes run out.
bool GrowData(CmnVec* vec, int length, const void** data) {
  const long long need = static_cast<long long>(vec->used) + length;
  if (need < vec->size) return true;
  if (need >= INT_MAX) return false;
  long long size = vec->size > 0 ? vec->size : 1;
  while (need >= size) size = size > kLinearStep ? size + kLinearStep : size * 2;
  if (size > INT_MAX) size = INT_MAX;
  const char* old = vec->data;
  const bool inside = data != nullptr && old != nullptr && *data >= static_cast<const void*>(old) &&
                      *data < static_cast<const void*>(old + vec->used);
  const std::ptrdiff_t offset = inside ? static_cast<const char*>(*data) - old : 0;
  auto* grown = static_cast<char*>(safe_realloc(vec->data, static_cast<size_t>(size), TARN_HERE));
  if (grown == nullptr) return false;
  vec->data = grown;
  vec->size = static_cast<int>(size);
  if (inside) *data = grown + offset;
  return true;
}

// Makes room in the offset table for one more element.
bool GrowIndex(CmnVec* vec) {
  if (vec->count < vec->entries) return true;
  if (vec->entries >= INT_MAX / 2) return false;
  const int entries = vec->entries > 0 ? vec->entries * 2 : 1;
  auto* grown = static_cast<int*>(
      safe_realloc(vec->index, static_cast<size_t>(entries) * sizeof(int), TARN_HERE));
  if (grown == nullptr) return false;
  vec->index = grown;
  vec->entries = entries;
  return true;
}

// Copies the bytes to the end of the blob (room was made) and returns the offset.
int Append(CmnVec* vec, const void* data, int length) {
  const int offset = vec->used;
  // memmove: a caller's source may run into the free part of the blob.
  if (length > 0) std::memmove(vec->data + offset, data, static_cast<size_t>(length));
  vec->used += length;
  return offset;
}

void FreeElement(const CmnVec* vec, int i) {
  if (vec->freefn != nullptr) vec->freefn(vec->data + vec->index[i]);
}

}  // namespace

int IVecInit(CmnVec* vec, int entries, int bytes, IVecFreeFn freefn) {
  if (vec == nullptr) return -1;
  *vec = CmnVec{};
  vec->freefn = freefn;
  if (entries < 0 || bytes < 0 || entries == INT_MAX || bytes == INT_MAX) return -1;
  vec->index =
      static_cast<int*>(safe_malloc((static_cast<size_t>(entries) + 1) * sizeof(int), TARN_HERE));
  vec->data = static_cast<char*>(safe_malloc(static_cast<size_t>(bytes) + 1, TARN_HERE));
  if (vec->index == nullptr || vec->data == nullptr) {
    IVecFree(vec);
    return -1;
  }
  vec->entries = entries + 1;
  vec->size = bytes + 1;
  return 0;
}

void IVecReset(CmnVec* vec) {
  if (vec == nullptr) return;
  vec->count = 0;
  vec->used = 0;
}

void IVecFree(CmnVec* vec) {
  if (vec == nullptr) return;
  if (vec->data != nullptr) {
    for (int i = 0; i < vec->count; ++i) FreeElement(vec, i);
  }
  if (vec->index != nullptr) safe_free(vec->index, TARN_HERE);
  if (vec->data != nullptr) safe_free(vec->data, TARN_HERE);
  const IVecFreeFn freefn = vec->freefn;
  *vec = CmnVec{};
  vec->freefn = freefn;
}

int IVecAdd(CmnVec* vec, const void* data, int length) {
  const bool ok = vec != nullptr && data != nullptr && length >= 0;
  ErhAssertM("IVecAdd", ok ? 1 : 0, TARN_HERE);
  if (!ok) return -1;
  if (!GrowData(vec, length, &data) || !GrowIndex(vec)) return -1;
  vec->index[vec->count] = Append(vec, data, length);
  return vec->count++;
}

int IVecAddStr(CmnVec* vec, const char* text) {
  if (text == nullptr) return IVecAdd(vec, text, 0);
  const size_t n = std::strlen(text) + 1;
  if (n > INT_MAX) return -1;
  return IVecAdd(vec, text, static_cast<int>(n));
}

void* IVecInsert(CmnVec* vec, int index, const void* data, int length) {
  const bool ok =
      vec != nullptr && data != nullptr && length >= 0 && index >= 0 && index <= vec->count;
  ErhAssertM("IVecInsert()", ok ? 1 : 0, TARN_HERE);
  if (!ok) return nullptr;
  if (!GrowData(vec, length, &data) || !GrowIndex(vec)) return nullptr;
  std::memmove(vec->index + index + 1, vec->index + index,
               static_cast<size_t>(vec->count - index) * sizeof(int));
  vec->index[index] = Append(vec, data, length);
  ++vec->count;
  return vec->data + vec->index[index];
}

int IVecUpdate(CmnVec* vec, int index, const void* data, int length) {
  const bool ok =
      vec != nullptr && data != nullptr && length >= 0 && index >= 0 && index < vec->count;
  ErhAssertM("IVecUpdate()", ok ? 1 : 0, TARN_HERE);
  if (!ok) return -1;
  if (!GrowData(vec, length, &data)) return -1;
  // The new bytes are copied before the old element is released, so data
  // taken from the old element is still intact.
  const int offset = Append(vec, data, length);
  FreeElement(vec, index);
  vec->index[index] = offset;
  return length;
}

int IVecRemove(CmnVec* vec, int index) {
  const bool ok = vec != nullptr && index >= 0 && index < vec->count;
  ErhAssertM("IVecRemove()", ok ? 1 : 0, TARN_HERE);
  if (!ok) return -1;
  FreeElement(vec, index);
  std::memmove(vec->index + index, vec->index + index + 1,
               static_cast<size_t>(vec->count - index - 1) * sizeof(int));
  --vec->count;
  return 0;
}

void* IVecSortedFind(const CmnVec* vec, int* index, const void* key, IVecCompareFn compare) {
  int low = 0;
  int high = vec != nullptr && compare != nullptr ? vec->count : 0;
  while (low < high) {
    const int middle = low + (high - low) / 2;
    void* element = vec->data + vec->index[middle];
    const int c = compare(element, key);
    if (c < 0) {
      low = middle + 1;
    } else if (c > 0) {
      high = middle;
    } else {
      if (index != nullptr) *index = middle;
      return element;
    }
  }
  if (index != nullptr) *index = low;
  return nullptr;
}

void* IVecSortedInsert(CmnVec* vec, int* index, const void* data, IVecCompareFn compare,
                       int length) {
  int at = 0;
  IVecSortedFind(vec, &at, data, compare);
  if (index != nullptr) *index = at;
  return IVecInsert(vec, at, data, length);
}

void* IVecSortedInsertUnique(CmnVec* vec, int* index, const void* data, IVecCompareFn compare,
                             int length) {
  int at = 0;
  void* existing = IVecSortedFind(vec, &at, data, compare);
  if (index != nullptr) *index = at;
  if (existing != nullptr) return existing;
  return IVecInsert(vec, at, data, length);
}

void DbgDumpIVecStr(int level, const char* title, const CmnVec* vec) {
  if (!DbgMatch(level)) return;
  if (vec == nullptr) {
    DbgPlain(level, "CmnVec is NULL");
    return;
  }
  DbgPlain(level, "\n\n---\n%s:", title != nullptr ? title : "");
  for (int i = 0; i < vec->count; ++i) {
    // Elements need not be texts: never read past the used part of the blob.
    const char* element = vec->data + vec->index[i];
    const size_t room = static_cast<size_t>(vec->used - vec->index[i]);
    DbgPlain(level, "\t[%i] '%.*s'", i, static_cast<int>(strnlen(element, room)), element);
  }
  DbgPlain(level, "---\n\n");
}
