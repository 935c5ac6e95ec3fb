// Growable array: one block of slots that grows to exactly the size asked
// for; slots left behind by array_pop stay owned until reused or freed.
#include "cmn/array.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <numeric>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/str.h"

TARN_RCSID("lib/cmn/array.cpp");

namespace {

bool KnownMode(int mode) {
  return mode == ARRAY_VALUES || mode == ARRAY_POINTERS || mode == ARRAY_BLOCKS ||
         mode == ARRAY_STRINGS;
}

bool PointerSlots(const array_t* a) {
  return (a->mode & ARRAY_BIT_POINTER) != 0;
}

std::size_t SlotSize(const array_t* a) {
  if (PointerSlots(a)) return sizeof(void*);
  return a->blksz > 0 ? static_cast<std::size_t>(a->blksz) : 0;
}

// Slots that hold storage: the live ones and those popped behind them.
int HeldSlots(const array_t* a) {
  const std::size_t slot = SlotSize(a);
  return slot == 0 || a->capacity <= 0
             ? 0
             : static_cast<int>(static_cast<std::size_t>(a->capacity) / slot);
}

void** Pointers(const array_t* a) {
  return static_cast<void**>(a->data);
}

unsigned char* Element(const array_t* a, int i) {
  return static_cast<unsigned char*>(a->data) + static_cast<std::size_t>(i) * SlotSize(a);
}

// Releases what slot `i` holds, by mode, and leaves it zero.
void ReleaseSlot(array_t* a, int i) {
  if (PointerSlots(a)) {
    void*& p = Pointers(a)[i];
    if (p != nullptr && (a->mode & ARRAY_BIT_OWNS) != 0) {
      if (a->mode == ARRAY_BLOCKS && a->freefn != nullptr) a->freefn(p);
      safe_free(p, TARN_HERE);
    }
    p = nullptr;
    return;
  }
  unsigned char* e = Element(a, i);
  if (a->freefn != nullptr) a->freefn(e);
  std::memset(e, 0, SlotSize(a));
}

// Makes room for `slots` slots; the new part is zeroed. `value` is moved along
// when it points into the block being reallocated.
bool Reserve(array_t* a, int slots, const void** value) {
  const std::size_t slot = SlotSize(a);
  const int held = HeldSlots(a);
  if (slots <= held) return true;
  const std::size_t bytes = static_cast<std::size_t>(slots) * slot;
  if (bytes / slot != static_cast<std::size_t>(slots) ||
      bytes > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    DbgPlain(kDbgUnexpected, "array_set: %d elements of %d bytes are too many", slots,
             static_cast<int>(slot));
    return false;
  }
  const auto* oldBlock = static_cast<const unsigned char*>(a->data);
  const auto* v = static_cast<const unsigned char*>(*value);
  const bool inside = v != nullptr && oldBlock != nullptr && std::less_equal<>()(oldBlock, v) &&
                      std::less<>()(v, oldBlock + a->capacity);
  const std::size_t offset = inside ? static_cast<std::size_t>(v - oldBlock) : 0;
  void* block = safe_realloc(a->data, bytes, TARN_HERE);
  if (block == nullptr) return false;
  std::memset(static_cast<unsigned char*>(block) + static_cast<std::size_t>(held) * slot, 0,
              bytes - static_cast<std::size_t>(held) * slot);
  a->data = block;
  a->capacity = static_cast<int>(bytes);
  if (inside) *value = static_cast<unsigned char*>(block) + offset;
  return true;
}

// Stores `value` in slot `i` by mode and returns the element; false when
// memory runs out.
bool Store(array_t* a, int i, const void* value, void** element) {
  const std::size_t size = SlotSize(a);
  switch (a->mode) {
    case ARRAY_VALUES: {
      unsigned char* e = Element(a, i);
      *element = e;
      if (value == e) return true;
      if (a->freefn != nullptr) a->freefn(e);
      if (value != nullptr) {
        std::memmove(e, value, size);
      } else {
        std::memset(e, 0, size);
      }
      return true;
    }
    case ARRAY_POINTERS:
      Pointers(a)[i] = const_cast<void*>(value);
      *element = Pointers(a)[i];
      return true;
    case ARRAY_BLOCKS: {
      void*& block = Pointers(a)[i];
      const std::size_t blksz = static_cast<std::size_t>(a->blksz);
      if (value != nullptr && value == block) {
        *element = block;
        return true;
      }
      if (block == nullptr) {
        block = safe_malloc(blksz, TARN_HERE);
        if (block == nullptr) return false;
      } else if (a->freefn != nullptr) {
        a->freefn(block);
      }
      if (value != nullptr) {
        std::memmove(block, value, blksz);
      } else {
        std::memset(block, 0, blksz);
      }
      *element = block;
      return true;
    }
    case ARRAY_STRINGS: {
      // Copy before releasing: `value` may be the very string being replaced.
      char* copy = value != nullptr ? StrNewCopy(static_cast<const char*>(value)) : nullptr;
      if (value != nullptr && copy == nullptr) return false;
      void*& p = Pointers(a)[i];
      if (p != nullptr) safe_free(p, TARN_HERE);
      p = copy;
      *element = copy;
      return true;
    }
    default: return false;
  }
}

}  // namespace

void array_init(array_t* a, int mode) {
  array_init(a, mode, 0, nullptr);
}

void array_init(array_t* a, int mode, int blksz, ArrayFreeFn freefn) {
  if (a == nullptr) return;
  *a = array_t{};
  a->mode = mode;
  if ((mode & ARRAY_BIT_POINTER) == 0 || mode == ARRAY_BLOCKS) {
    a->blksz = blksz;
    a->freefn = freefn;
  }
}

array_t array_new(int mode) {
  return array_new(mode, 0, nullptr);
}

array_t array_new(int mode, int blksz, ArrayFreeFn freefn) {
  array_t a;
  array_init(&a, mode, blksz, freefn);
  return a;
}

void* array_get(const array_t* a, int i) {
  if (a == nullptr || i < 0 || i >= a->count || a->data == nullptr) return nullptr;
  if (PointerSlots(a)) return Pointers(a)[i];
  return Element(a, i);
}

void* array_set(array_t* a, int i, const void* value) {
  if (a == nullptr || i < 0) return nullptr;
  if (!KnownMode(a->mode)) {
    DbgPlain(kDbgUnexpected, "array_set: unknown array type: %d", a->mode);
    return nullptr;
  }
  if (SlotSize(a) == 0) {
    DbgPlain(kDbgUnexpected, "array_set: element size %d of array type %d", a->blksz, a->mode);
    return nullptr;
  }
  if (i == std::numeric_limits<int>::max()) return nullptr;
  const int oldCount = a->count;
  const int oldHeld = HeldSlots(a);
  if (i >= oldCount && !Reserve(a, i + 1, &value)) return nullptr;
  void* element = nullptr;
  if (!Store(a, i, value, &element)) return nullptr;
  if (i >= oldCount) {
    // Popped slots skipped over read as zero from now on; what they held is
    // released only after the store, which may have copied from one of them.
    for (int j = oldCount; j < std::min(i, oldHeld); ++j) ReleaseSlot(a, j);
    a->count = i + 1;
  }
  return element;
}

void* array_push(array_t* a, const void* value) {
  if (a == nullptr) return nullptr;
  return array_set(a, a->count, value);
}

int array_pushs(array_t* a, ...) {
  va_list args;
  va_start(args, a);
  int pushed = 0;
  for (const void* value = va_arg(args, const void*); value != nullptr;
       value = va_arg(args, const void*)) {
    if (array_push(a, value) == nullptr) break;
    ++pushed;
  }
  va_end(args);
  return pushed;
}

void* array_pop(array_t* a) {
  if (a == nullptr || a->count <= 0) return nullptr;
  void* element = array_get(a, a->count - 1);
  --a->count;
  return element;
}

void array_free(array_t* a) {
  if (a == nullptr) return;
  if (a->data != nullptr && KnownMode(a->mode) && SlotSize(a) > 0) {
    const int held = HeldSlots(a);
    for (int j = 0; j < held; ++j) ReleaseSlot(a, j);
  }
  if (a->data != nullptr) safe_free(a->data, TARN_HERE);
  a->data = nullptr;
  a->count = 0;
  a->capacity = 0;
}

void* array_findstr(const array_t* a, ArrayKeyFn key, const char* text) {
  if (a == nullptr) return nullptr;
  for (int i = 0; i < a->count; ++i) {
    void* e = array_get(a, i);
    const char* s = key != nullptr ? key(e) : static_cast<const char*>(e);
    if (StrCmpNSA(s, text) == 0) return e;
  }
  return nullptr;
}

void* array_find(const array_t* a, ArrayMatchFn match, const void* arg) {
  if (a == nullptr || match == nullptr) return nullptr;
  for (int i = 0; i < a->count; ++i) {
    void* e = array_get(a, i);
    if (match(e, arg) == 0) return e;
  }
  return nullptr;
}

void array_sort(array_t* a, ArrayCmpFn cmp) {
  if (a == nullptr || cmp == nullptr || a->count < 2 || a->data == nullptr) return;
  auto less = [cmp](const void* x, const void* y) { return cmp(x, y) < 0; };
  if (PointerSlots(a)) {
    std::stable_sort(Pointers(a), Pointers(a) + a->count, less);
    return;
  }
  // Inline elements of any size: sort their indexes, then lay them out anew.
  const std::size_t size = SlotSize(a);
  std::vector<int> order(static_cast<std::size_t>(a->count));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int x, int y) { return less(Element(a, x), Element(a, y)); });
  std::vector<unsigned char> sorted(size * order.size());
  for (std::size_t k = 0; k < order.size(); ++k)
    std::memcpy(&sorted[k * size], Element(a, order[k]), size);
  std::memcpy(a->data, sorted.data(), sorted.size());
}

void array_reverse(array_t* a) {
  if (a == nullptr || a->count < 2 || a->data == nullptr) return;
  if (PointerSlots(a)) {
    std::reverse(Pointers(a), Pointers(a) + a->count);
    return;
  }
  const std::size_t size = SlotSize(a);
  for (int lo = 0, hi = a->count - 1; lo < hi; ++lo, --hi) {
    std::swap_ranges(Element(a, lo), Element(a, lo) + size, Element(a, hi));
  }
}

char* array_join(const array_t* a, const char* sep) {
  if (a == nullptr || a->mode != ARRAY_STRINGS || a->count == 0) return nullptr;
  if (sep == nullptr) sep = "";
  const std::size_t sepLength = std::strlen(sep);
  std::size_t total = 1;
  for (int i = 0; i < a->count; ++i) {
    const auto* s = static_cast<const char*>(array_get(a, i));
    total += (s != nullptr ? std::strlen(s) : 0) + (i > 0 ? sepLength : 0);
  }
  auto* out = static_cast<char*>(safe_malloc(total, TARN_HERE));
  if (out == nullptr) return nullptr;
  char* o = out;
  for (int i = 0; i < a->count; ++i) {
    if (i > 0) o = static_cast<char*>(std::memcpy(o, sep, sepLength)) + sepLength;
    const auto* s = static_cast<const char*>(array_get(a, i));
    const std::size_t n = s != nullptr ? std::strlen(s) : 0;
    if (n > 0) o = static_cast<char*>(std::memcpy(o, s, n)) + n;
  }
  *o = '\0';
  return out;
}

array_t array_split(const char* text, const char* delimiters) {
  array_t a = array_new(ARRAY_STRINGS);
  char* copy = StrNewCopy(text);
  if (copy == nullptr) return a;
  char* save = nullptr;
  for (char* token = StrTokR(copy, delimiters, &save); token != nullptr;
       token = StrTokR(nullptr, delimiters, &save)) {
    if (array_push(&a, token) == nullptr) break;
  }
  safe_free(copy, TARN_HERE);
  return a;
}

int array_multisz(array_t* a, const char* list) {
  if (a == nullptr || list == nullptr) return 0;
  int pushed = 0;
  for (const char* s = list; *s != '\0'; s += std::strlen(s) + 1) {
    if (array_push(a, s) == nullptr) break;
    ++pushed;
  }
  return pushed;
}

void array_dump(int level, const char* name, const array_t* a) {
  if (a == nullptr) return;
  DbgPlain(level, "%s: array_dump(this: %p, type: %d, blksz: %d, count: %d, data: %p)",
           name != nullptr ? name : "", static_cast<const void*>(a), a->mode, a->blksz, a->count,
           a->data);
  if (a->mode != ARRAY_STRINGS) return;
  for (int i = 0; i < a->count; ++i) {
    const auto* s = static_cast<const char*>(array_get(a, i));
    DbgPlain(level, "\t|array_t[%d]='%s'", i, s != nullptr ? s : "(null)");
  }
}
