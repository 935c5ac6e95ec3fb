// Variants: the kinds with their class records, the makers and basic
// operations, text editing, arrays, keyed lists and iteration.
#include "cmn/var.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/hash.h"
#include "cmn/str.h"
#include "cmn/var_impl.h"

TARN_RCSID("lib/cmn/var.cpp");

namespace {

constexpr size_t kArrayGrowth = 16;
constexpr size_t kListGrowth = 16;

// safe_free traces a null pointer as a fault; empty containers hold null.
void Release(void* pointer) {
  if (pointer != nullptr) safe_free(pointer, TARN_HERE);
}

// ---- text storage ---------------------------------------------------------

// Makes sure an owned buffer of at least `need` bytes backs the text, growing
// to the larger of twice the capacity and `need`. Bytes past the old length
// are zero.
bool TextReserve(CmnVar* v, size_t need) {
  auto& t = v->u.text;
  if (t.capacity >= need && t.data != nullptr) return true;
  size_t capacity = std::max(t.capacity * 2, need);
  if (t.capacity > 0) {
    auto* grown = static_cast<char*>(safe_realloc(t.data, capacity, TARN_HERE));
    if (grown == nullptr) return false;
    std::memset(grown + t.capacity, 0, capacity - t.capacity);
    t.data = grown;
  } else {
    // A borrowed or missing text: take an owned copy first.
    auto* owned = static_cast<char*>(safe_calloc(1, capacity, TARN_HERE));
    if (owned == nullptr) return false;
    if (t.data != nullptr && t.length > 0) std::memcpy(owned, t.data, t.length);
    t.data = owned;
  }
  t.capacity = capacity;
  return true;
}

// Turns an undefined variant into an empty one of the kind; false when it is
// of another kind.
bool MakeKind(CmnVar* v, const CmnVarClass* klass) {
  if (v->klass == nullptr) *v = cmnvar::EmptyOf(klass);
  return v->klass == klass;
}

void SetOwnedText(CmnVar* self, const char* text, size_t length) {
  self->u.text = {};
  if (text == nullptr) return;
  auto* copy = static_cast<char*>(safe_malloc(length + 1, TARN_HERE));
  if (copy == nullptr) return;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  self->u.text.capacity = length + 1;
  self->u.text.length = length;
  self->u.text.data = copy;
}

// ---- class operations -------------------------------------------------------

void integer_ctor(CmnVar* self, va_list args) {
  self->u.integer = va_arg(args, long long);
}

void string_ctor(CmnVar* self, va_list args) {
  const char* text = va_arg(args, const char*);
  SetOwnedText(self, text, text != nullptr ? std::strlen(text) : 0);
}

void range_ctor(CmnVar* self, va_list args) {
  self->u.range.first = va_arg(args, int);
  self->u.range.second = va_arg(args, int);
}

void string_free(CmnVar* self) {
  if (self->u.text.capacity > 0) safe_free(self->u.text.data, TARN_HERE);
}

void array_free(CmnVar* self) {
  for (size_t i = 0; i < self->u.array.count; ++i) CmnVarFree(&self->u.array.items[i]);
  Release(self->u.array.items);
}

void list_free(CmnVar* self) {
  for (size_t i = 0; i < self->u.list.count; ++i) {
    Release(self->u.list.entries[i].key);
    CmnVarFree(&self->u.list.entries[i].value);
  }
  Release(self->u.list.entries);
}

CmnVar string_copy(CmnVar self) {
  CmnVar copy = cmnvar::EmptyOf(var_class_string);
  SetOwnedText(&copy, self.u.text.data, self.u.text.length);
  return copy;
}

CmnVar array_copy(CmnVar self) {
  CmnVar copy = cmnvar::EmptyOf(var_class_array);
  const size_t count = self.u.array.count;
  if (count == 0) return copy;
  auto* items = static_cast<CmnVar*>(safe_calloc(count, sizeof(CmnVar), TARN_HERE));
  if (items == nullptr) return copy;
  for (size_t i = 0; i < count; ++i) items[i] = CmnVarCopy(self.u.array.items[i]);
  copy.u.array = {count * sizeof(CmnVar), count, items};
  return copy;
}

CmnVar list_copy(CmnVar self) {
  CmnVar copy = cmnvar::EmptyOf(var_class_list);
  const size_t count = self.u.list.count;
  if (count == 0) return copy;
  auto* entries = static_cast<CmnVarEntry*>(safe_calloc(count, sizeof(CmnVarEntry), TARN_HERE));
  if (entries == nullptr) return copy;
  for (size_t i = 0; i < count; ++i) {
    const CmnVarEntry& from = self.u.list.entries[i];
    entries[i].hash = from.hash;
    entries[i].key = from.key != nullptr ? CmnStrNDup(from.key, std::strlen(from.key)) : nullptr;
    entries[i].value = CmnVarCopy(from.value);
  }
  copy.u.list = {count * sizeof(CmnVarEntry), count, entries};
  return copy;
}

int SequenceNext(CmnVarIter* it, size_t count) {
  if (!it->started) {
    it->started = 1;
    it->index = 0;
  } else if (static_cast<size_t>(it->index) < count) {
    ++it->index;
  }
  return static_cast<size_t>(it->index) < count ? 1 : 0;
}

int array_next(CmnVarIter* it) {
  return SequenceNext(it, it->var.u.array.count);
}
int list_next(CmnVarIter* it) {
  return SequenceNext(it, it->var.u.list.count);
}

CmnVar* array_at(CmnVar self, int index) {
  const auto count = static_cast<long long>(self.u.array.count);
  long long i = index < 0 ? count + index : index;
  if (i < 0 || i >= count) return nullptr;
  return &self.u.array.items[i];
}

CmnVar* list_at(CmnVar self, int index) {
  if (index < 0 || static_cast<size_t>(index) >= self.u.list.count) return nullptr;
  return &self.u.list.entries[index].value;
}

CmnVar array_iterator_key(const CmnVarIter* it) {
  return CmnVarInt64(it->index);
}

CmnVar list_iterator_key(const CmnVarIter* it) {
  if (it->index < 0 || static_cast<size_t>(it->index) >= it->var.u.list.count) return VarUndef;
  return CmnVarConstText(it->var.u.list.entries[it->index].key);
}

CmnVar* array_iterator_value(const CmnVarIter* it) {
  return it->index >= 0 ? array_at(it->var, it->index) : nullptr;
}
CmnVar* list_iterator_value(const CmnVarIter* it) {
  return list_at(it->var, it->index);
}

int Sign(long long v) {
  return (v > 0) - (v < 0);
}

int integer_cmp(CmnVar a, CmnVar b) {
  return (a.u.integer > b.u.integer) - (a.u.integer < b.u.integer);
}

int string_cmp(CmnVar a, CmnVar b) {
  const size_t n = std::min(a.u.text.length, b.u.text.length);
  const int c = n > 0 ? std::memcmp(a.u.text.data, b.u.text.data, n) : 0;
  if (c != 0) return Sign(c);
  return (a.u.text.length > b.u.text.length) - (a.u.text.length < b.u.text.length);
}

int range_cmp(CmnVar a, CmnVar b) {
  if (a.u.range.first != b.u.range.first) return a.u.range.first < b.u.range.first ? -1 : 1;
  return (a.u.range.second > b.u.range.second) - (a.u.range.second < b.u.range.second);
}

int array_cmp(CmnVar a, CmnVar b) {
  const size_t n = std::min(a.u.array.count, b.u.array.count);
  for (size_t i = 0; i < n; ++i) {
    const int c = CmnVarCmp(a.u.array.items[i], b.u.array.items[i]);
    if (c != 0) return c;
  }
  return (a.u.array.count > b.u.array.count) - (a.u.array.count < b.u.array.count);
}

int list_cmp(CmnVar a, CmnVar b) {
  const size_t n = std::min(a.u.list.count, b.u.list.count);
  for (size_t i = 0; i < n; ++i) {
    const CmnVarEntry& x = a.u.list.entries[i];
    const CmnVarEntry& y = b.u.list.entries[i];
    const int k = StrICmpA(x.key, y.key);
    if (k != 0) return Sign(k);
    const int c = CmnVarCmp(x.value, y.value);
    if (c != 0) return c;
  }
  return (a.u.list.count > b.u.list.count) - (a.u.list.count < b.u.list.count);
}

const CmnVarClass _class_int_ = {VAR_KIND_INT, integer_ctor, nullptr, nullptr, cmnvar::IntegerPack,
                                 nullptr,      nullptr,      nullptr, nullptr, integer_cmp};
const CmnVarClass _class_string_ = {
    VAR_KIND_TEXT, string_ctor, string_free, string_copy, cmnvar::StringPack,
    nullptr,       nullptr,     nullptr,     nullptr,     string_cmp};
const CmnVarClass _class_range_ = {VAR_KIND_RANGE, range_ctor, nullptr, nullptr, cmnvar::RangePack,
                                   nullptr,        nullptr,    nullptr, nullptr, range_cmp};
const CmnVarClass _class_array_ = {VAR_KIND_ARRAY,       nullptr,    array_free, array_copy,
                                   cmnvar::ArrayPack,    array_next, array_at,   array_iterator_key,
                                   array_iterator_value, array_cmp};
const CmnVarClass _class_list_ = {VAR_KIND_LIST,       nullptr,   list_free, list_copy,
                                  cmnvar::ListPack,    list_next, list_at,   list_iterator_key,
                                  list_iterator_value, list_cmp};

// ---- arrays and lists ----------------------------------------------------------

CmnVarEntry* FindEntry(CmnVar list, const char* key) {
  if (list.klass != var_class_list) return nullptr;
  const uint32_t hash = hashfn_itstring(key);
  for (size_t i = 0; i < list.u.list.count; ++i) {
    CmnVarEntry& e = list.u.list.entries[i];
    if (e.hash == hash && cmnvar::KeyEquals(e.key, key)) return &e;
  }
  return nullptr;
}

// Calls step(key) for each non-empty component of a '/'-separated path until
// it returns null; returns the last result, or null for a path without keys.
template <typename Step>
CmnVar* WalkPath(const char* path, Step step) {
  if (path == nullptr) return nullptr;
  CmnVar* at = nullptr;
  for (const char* p = path; *p != '\0';) {
    const char* end = std::strchr(p, '/');
    const size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
    if (n > 0) {
      char* key = CmnStrNDup(p, n);
      if (key == nullptr) return nullptr;
      at = step(key);
      Release(key);
      if (at == nullptr) return nullptr;
    }
    if (end == nullptr) break;
    p = end + 1;
  }
  return at;
}

bool TextEquals(const CmnVar* v, const char* text) {
  if (v == nullptr || v->klass != var_class_string) return false;
  const size_t n = std::strlen(text);
  return v->u.text.length == n && (n == 0 || std::memcmp(v->u.text.data, text, n) == 0);
}

}  // namespace

const CmnVarClass* const var_class_int = &_class_int_;
const CmnVarClass* const var_class_string = &_class_string_;
const CmnVarClass* const var_class_range = &_class_range_;
const CmnVarClass* const var_class_array = &_class_array_;
const CmnVarClass* const var_class_list = &_class_list_;

namespace cmnvar {

bool Append(CmnVar* out, const char* data, size_t n) {
  if (!MakeKind(out, var_class_string)) return false;
  auto& t = out->u.text;
  if (n == 0 && t.data != nullptr) return true;
  if (!TextReserve(out, t.length + n + 1)) return false;
  if (n > 0) std::memcpy(t.data + t.length, data, n);
  t.length += n;
  t.data[t.length] = '\0';
  return true;
}

bool AppendText(CmnVar* out, const char* text) {
  return Append(out, text, std::strlen(text));
}

bool KeyEquals(const char* a, const char* b) {
  return StrICmpA(a, b) == 0;
}

}  // namespace cmnvar

int CmnVarKindOf(CmnVar var) {
  return var.klass != nullptr ? var.klass->kind : VAR_KIND_UNDEF;
}

// ---- makers ---------------------------------------------------------------------

CmnVar CmnVarVNew(const CmnVarClass* klass, va_list args) {
  CmnVar v = VarUndef;
  v.klass = klass;
  if (klass != nullptr && klass->construct != nullptr) klass->construct(&v, args);
  return v;
}

CmnVar CmnVarNew(const CmnVarClass* klass, ...) {
  va_list args;
  va_start(args, klass);
  CmnVar v = CmnVarVNew(klass, args);
  va_end(args);
  return v;
}

CmnVar CmnVarInt64(int64_t value) {
  CmnVar v = cmnvar::EmptyOf(var_class_int);
  v.u.integer = value;
  return v;
}

CmnVar CmnVarText(const char* text) {
  return CmnVarTextN(text, text != nullptr ? std::strlen(text) : 0);
}

CmnVar CmnVarTextN(const char* text, size_t length) {
  CmnVar v = cmnvar::EmptyOf(var_class_string);
  SetOwnedText(&v, text, length);
  return v;
}

CmnVar CmnVarRange(int32_t first, int32_t second) {
  CmnVar v = cmnvar::EmptyOf(var_class_range);
  v.u.range.first = first;
  v.u.range.second = second;
  return v;
}

CmnVar CmnVarArray(CmnVar value, ...) {
  CmnVar arr = cmnvar::EmptyOf(var_class_array);
  va_list args;
  va_start(args, value);
  for (CmnVar v = value; v.klass != nullptr; v = va_arg(args, CmnVar)) {
    if (CmnVarPush(&arr, v) == nullptr) CmnVarFree(&v);
  }
  va_end(args);
  return arr;
}

CmnVar CmnVarList(const char* key, ...) {
  CmnVar list = cmnvar::EmptyOf(var_class_list);
  va_list args;
  va_start(args, key);
  for (const char* k = key; k != nullptr; k = va_arg(args, const char*)) {
    CmnVar v = va_arg(args, CmnVar);
    if (CmnVarListAdd(&list, k, v) == nullptr) CmnVarFree(&v);
  }
  va_end(args);
  return list;
}

CmnVar CmnVarConstText(const char* text) {
  CmnVar v = cmnvar::EmptyOf(var_class_string);
  if (text != nullptr) {
    v.u.text.length = std::strlen(text);
    v.u.text.data = const_cast<char*>(text);
  }
  return v;
}

CmnVar CmnVarAsciiText(const char* text) {
  return CmnVarText(text);
}
CmnVar CmnVarUtf8Text(const char* text) {
  return CmnVarText(text);
}

// ---- basic operations -----------------------------------------------------------

void CmnVarFree(CmnVar* var) {
  if (var == nullptr) return;
  if (var->klass != nullptr && var->klass->free != nullptr) var->klass->free(var);
  *var = VarUndef;
}

CmnVar CmnVarCopy(CmnVar var) {
  if (var.klass == nullptr) return VarUndef;
  if (var.klass->copy == nullptr) return var;
  return var.klass->copy(var);
}

int CmnVarCmp(CmnVar a, CmnVar b) {
  if (a.klass != b.klass) return -1;
  if (a.klass == nullptr) return 0;
  return a.klass->compare != nullptr ? a.klass->compare(a, b) : 0;
}

int CmnVarIsEmpty(CmnVar var) {
  switch (CmnVarKindOf(var)) {
    case VAR_KIND_INT: return var.u.integer == 0 ? 1 : 0;
    case VAR_KIND_TEXT: return var.u.text.length == 0 ? 1 : 0;
    case VAR_KIND_ARRAY: return var.u.array.count == 0 ? 1 : 0;
    case VAR_KIND_LIST: return var.u.list.count == 0 ? 1 : 0;
    default: return 1;
  }
}

int64_t CmnVarCastInt64(CmnVar var) {
  if (var.klass == var_class_int) return var.u.integer;
  if (var.klass != var_class_string || var.u.text.data == nullptr) return 0;
  int64_t value = 0;
  return StrAtoOFF_T64(var.u.text.data, &value, nullptr) == 1 ? value : 0;
}

const char* CmnVarCastText(CmnVar var) {
  if (var.klass == var_class_string) return var.u.text.data != nullptr ? var.u.text.data : "";
  return var.klass == var_class_int ? StrFromOFF_T64(var.u.integer) : nullptr;
}

size_t CmnVarStrLen(CmnVar var) {
  return var.klass == var_class_string ? var.u.text.length : 0;
}

size_t CmnVarSetLen(CmnVar* var, size_t length) {
  if (var == nullptr || !MakeKind(var, var_class_string)) return 0;
  const size_t old = var->u.text.length;
  if (length == SIZE_MAX || !TextReserve(var, length + 1)) return old;
  // Bytes beyond the new end are cleared so a later growth shows zeros.
  if (length < old) std::memset(var->u.text.data + length, 0, old - length);
  var->u.text.length = length;
  var->u.text.data[length] = '\0';
  return old;
}

CmnVar CmnVarVCat(CmnVar* var, const char* format, va_list args) {
  if (var == nullptr || format == nullptr || !MakeKind(var, var_class_string)) return VarUndef;
  va_list probe;
  va_copy(probe, args);
  const int n = std::vsnprintf(nullptr, 0, format, probe);
  va_end(probe);
  if (n < 0) return *var;
  auto& t = var->u.text;
  if (!TextReserve(var, t.length + static_cast<size_t>(n) + 1)) return *var;
  std::vsnprintf(t.data + t.length, static_cast<size_t>(n) + 1, format, args);
  t.length += static_cast<size_t>(n);
  return *var;
}

CmnVar CmnVarCat(CmnVar* var, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CmnVar v = CmnVarVCat(var, format, args);
  va_end(args);
  return v;
}

CmnVar CmnVarVFormat(CmnVar* var, const char* format, va_list args) {
  if (var == nullptr || format == nullptr || !MakeKind(var, var_class_string)) return VarUndef;
  if (var->u.text.capacity == 0) {
    var->u.text = {};  // drop a borrowed text rather than copy it
  } else {
    var->u.text.length = 0;
    var->u.text.data[0] = '\0';
  }
  return CmnVarVCat(var, format, args);
}

CmnVar CmnVarFormat(CmnVar* var, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CmnVar v = CmnVarVFormat(var, format, args);
  va_end(args);
  return v;
}

int CmnVarReplace(CmnVar* var, const char* needle, const char* with) {
  if (var == nullptr || var->klass != var_class_string || needle == nullptr || *needle == '\0' ||
      var->u.text.data == nullptr) {
    return 0;
  }
  const size_t needleLen = std::strlen(needle);
  const size_t withLen = with != nullptr ? std::strlen(with) : 0;
  const char* text = var->u.text.data;
  const size_t length = var->u.text.length;
  CmnVar result = VarUndef;
  int count = 0;
  size_t from = 0;
  for (;;) {
    const char* hit =
        static_cast<const char*>(memmem(text + from, length - from, needle, needleLen));
    if (hit == nullptr) break;
    const auto at = static_cast<size_t>(hit - text);
    if (!cmnvar::Append(&result, text + from, at - from) ||
        !cmnvar::Append(&result, with, withLen)) {
      CmnVarFree(&result);
      return 0;
    }
    from = at + needleLen;
    ++count;
  }
  if (count == 0) return 0;
  if (!cmnvar::Append(&result, text + from, length - from)) {
    CmnVarFree(&result);
    return 0;
  }
  CmnVarFree(var);
  *var = result;
  return count;
}

char* CmnStrNDup(const char* text, size_t n) {
  auto* copy = static_cast<char*>(safe_calloc(1, n + 1, TARN_HERE));
  if (copy != nullptr && text != nullptr) std::memcpy(copy, text, strnlen(text, n));
  return copy;
}

void* CmnMemDup(const void* data, size_t n) {
  void* copy = safe_calloc(1, n, TARN_HERE);
  if (copy != nullptr && data != nullptr && n > 0) std::memcpy(copy, data, n);
  return copy;
}

// ---- containers -----------------------------------------------------------------

int CmnVarLength(CmnVar var) {
  if (var.klass == var_class_array) return static_cast<int>(var.u.array.count);
  if (var.klass == var_class_list) return static_cast<int>(var.u.list.count);
  return 0;
}

CmnVar* CmnVarAt(CmnVar var, int index) {
  if (var.klass == nullptr || var.klass->at == nullptr) return nullptr;
  return var.klass->at(var, index);
}

CmnVar* CmnVarArraySet(CmnVar* arr, int index, CmnVar value) {
  if (arr == nullptr || index < 0 || index == INT_MAX || !MakeKind(arr, var_class_array))
    return nullptr;
  auto& a = arr->u.array;
  const auto i = static_cast<size_t>(index);
  if ((i + 1) * sizeof(CmnVar) > a.capacity) {
    const size_t elements = i + 1 + kArrayGrowth;
    auto* grown = static_cast<CmnVar*>(safe_realloc(a.items, elements * sizeof(CmnVar), TARN_HERE));
    if (grown == nullptr) return nullptr;
    const size_t had = a.capacity / sizeof(CmnVar);
    std::fill(grown + had, grown + elements, VarUndef);
    a.items = grown;
    a.capacity = elements * sizeof(CmnVar);
  }
  if (i >= a.count) a.count = i + 1;
  a.items[i] = value;
  return &a.items[i];
}

CmnVar* CmnVarPush(CmnVar* arr, CmnVar value) {
  if (arr == nullptr) return nullptr;
  if (arr->klass == var_class_array && arr->u.array.count >= INT_MAX) return nullptr;
  const int index = arr->klass == var_class_array ? static_cast<int>(arr->u.array.count) : 0;
  return CmnVarArraySet(arr, index, value);
}

int CmnVarPushs(CmnVar* arr, ...) {
  va_list args;
  va_start(args, arr);
  int pushed = 0;
  for (CmnVar v = va_arg(args, CmnVar); v.klass != nullptr; v = va_arg(args, CmnVar)) {
    if (CmnVarPush(arr, v) == nullptr) break;
    ++pushed;
  }
  va_end(args);
  return pushed;
}

CmnVar* CmnVarSort(CmnVar* arr, int (*cmp)(const CmnVar* a, const CmnVar* b)) {
  if (arr == nullptr || arr->klass != var_class_array) return nullptr;
  if (cmp == nullptr || arr->u.array.count < 2) return arr;
  std::stable_sort(arr->u.array.items, arr->u.array.items + arr->u.array.count,
                   [cmp](const CmnVar& a, const CmnVar& b) { return cmp(&a, &b) < 0; });
  return arr;
}

CmnVar* CmnVarListAdd(CmnVar* list, const char* key, CmnVar value) {
  if (list == nullptr || !MakeKind(list, var_class_list)) return nullptr;
  auto& l = list->u.list;
  if ((l.count + 1) * sizeof(CmnVarEntry) > l.capacity) {
    const size_t entries = l.count + kListGrowth;
    auto* grown = static_cast<CmnVarEntry*>(
        safe_realloc(l.entries, entries * sizeof(CmnVarEntry), TARN_HERE));
    if (grown == nullptr) return nullptr;
    l.entries = grown;
    l.capacity = entries * sizeof(CmnVarEntry);
  }
  char* ownKey = nullptr;
  if (key != nullptr) {
    ownKey = CmnStrNDup(key, std::strlen(key));
    if (ownKey == nullptr) return nullptr;
  }
  CmnVarEntry& e = l.entries[l.count++];
  e.hash = hashfn_itstring(key);
  e.key = ownKey;
  e.value = value;
  return &e.value;
}

CmnVar* CmnVarGet(CmnVar list, const char* key) {
  CmnVarEntry* e = FindEntry(list, key);
  return e != nullptr ? &e->value : nullptr;
}

const char* CmnVarKey(CmnVar list, int index) {
  if (list.klass != var_class_list || index < 0 || static_cast<size_t>(index) >= list.u.list.count)
    return nullptr;
  return list.u.list.entries[index].key;
}

CmnVar* CmnVarSet(CmnVar* list, const char* key, CmnVar value) {
  if (list == nullptr) return nullptr;
  if (CmnVarEntry* e = FindEntry(*list, key)) {
    CmnVarFree(&e->value);
    e->value = value;
    return &e->value;
  }
  return CmnVarListAdd(list, key, value);
}

CmnVar* CmnVarFind(CmnVar* list, const char* key) {
  if (list == nullptr) return nullptr;
  if (CmnVar* found = CmnVarGet(*list, key)) return found;
  return CmnVarListAdd(list, key, VarUndef);
}

int CmnVarListDel(CmnVar* list, const char* key) {
  if (list == nullptr) return 0;
  CmnVarEntry* e = FindEntry(*list, key);
  if (e == nullptr) return 0;
  Release(e->key);
  CmnVarFree(&e->value);
  CmnVarEntry& last = list->u.list.entries[list->u.list.count - 1];
  if (e != &last) *e = last;
  last = {};
  --list->u.list.count;
  return 1;
}

CmnVar* CmnVarFindPath(CmnVar* list, const char* path) {
  if (list == nullptr || (list->klass != var_class_list && list->klass != nullptr)) return nullptr;
  CmnVar* level = list;
  return WalkPath(path, [&level](const char* key) -> CmnVar* {
    if (!MakeKind(level, var_class_list)) return nullptr;
    level = CmnVarFind(level, key);
    return level;
  });
}

CmnVar* CmnVarGetPath(CmnVar list, const char* path) {
  if (list.klass != var_class_list) return nullptr;
  CmnVar level = list;
  return WalkPath(path, [&level](const char* key) -> CmnVar* {
    CmnVar* next = CmnVarGet(level, key);
    if (next != nullptr) level = *next;
    return next;
  });
}

CmnVar* CmnVarFindText(CmnVar* var, const char* text, const char* path) {
  if (var == nullptr) return nullptr;
  if (text == nullptr) text = "";
  if (var->klass == var_class_string) return TextEquals(var, text) ? var : nullptr;
  if (var->klass != var_class_array && var->klass != var_class_list) return nullptr;
  const bool byPath = path != nullptr && *path != '\0';
  const int n = CmnVarLength(*var);
  for (int i = 0; i < n; ++i) {
    CmnVar* element = CmnVarAt(*var, i);
    const CmnVar* probe = byPath ? CmnVarGetPath(*element, path) : element;
    if (TextEquals(probe, text)) return element;
  }
  return nullptr;
}

// ---- iteration --------------------------------------------------------------------

CmnVarIter IterNew(CmnVar var) {
  return CmnVarIter{var, 0, 0};
}

int IterNext(CmnVarIter* it) {
  if (it == nullptr || it->var.klass == nullptr || it->var.klass->next == nullptr) return 0;
  return it->var.klass->next(it);
}

CmnVar IterKey(const CmnVarIter* it) {
  if (it == nullptr || it->var.klass == nullptr || it->var.klass->iteratorKey == nullptr)
    return VarUndef;
  return it->var.klass->iteratorKey(it);
}

CmnVar* IterVal(const CmnVarIter* it) {
  if (it == nullptr || it->var.klass == nullptr || it->var.klass->iteratorValue == nullptr)
    return nullptr;
  return it->var.klass->iteratorValue(it);
}
