// Growable array of the common library: inline elements, borrowed pointers,
// owned blocks or owned strings, chosen by the array's mode.
#pragma once

#include <cstddef>

// Mode bits: slots hold pointers; the array owns what they point at; the
// elements are strings.
enum ArrayModeBits : int { ARRAY_BIT_POINTER = 1, ARRAY_BIT_OWNS = 2, ARRAY_BIT_STRING = 4 };

// The four modes.
//  ARRAY_VALUES  (0): each slot is the element itself (element size bytes).
//  ARRAY_POINTERS(1): each slot is a borrowed pointer; nothing is freed.
//  ARRAY_BLOCKS  (3): each slot points at an owned block of element size.
//  ARRAY_STRINGS (7): each slot points at an owned heap string (or is null).
enum ArrayMode : int { ARRAY_VALUES = 0, ARRAY_POINTERS = 1, ARRAY_BLOCKS = 3, ARRAY_STRINGS = 7 };

// Clean-up of one element (modes 0 and 3): gets the element's storage; it must
// release what the element refers to, not the storage itself, and must accept
// an all-zero element.
using ArrayFreeFn = void (*)(void* element);

// Plain record, embedded by value in its owner. Not copyable in a meaningful
// way: one owner frees it once with array_free.
struct array_t {
  int mode;
  int blksz;     // bytes of one element (modes 0 and 3)
  int count;     // valid indexes are 0 to count-1
  int capacity;  // bytes allocated for `data`
  void* data;
  ArrayFreeFn freefn;  // modes 0 and 3 only; may be null
};

// Clears the record and sets the mode (modes 1 and 7).
void array_init(array_t* a, int mode);
// The same for modes 0 and 3, with the element size and the element clean-up.
void array_init(array_t* a, int mode, int blksz, ArrayFreeFn freefn);
array_t array_new(int mode);
array_t array_new(int mode, int blksz, ArrayFreeFn freefn);

// Element `i`: mode 0 a pointer into the array's block, pointer modes the
// stored pointer. Null outside 0 to count-1. Valid until the array changes.
void* array_get(const array_t* a, int i);

// Grows the array to at least i+1 elements (new ones zero) and stores `value`
// by mode: modes 0 and 3 copy element-size bytes (zeros for null), mode 1
// keeps the pointer, mode 7 keeps a heap copy of the string (null for null).
// Returns the element (mode 0 and 3 its storage, mode 1 `value`, mode 7 the
// copy); null for a negative index, an unknown mode or when memory runs out.
void* array_set(array_t* a, int i, const void* value);
void* array_push(array_t* a, const void* value);
// Pushes each argument up to the terminating null; stops at a failed push.
// Returns the number pushed.
int array_pushs(array_t* a, ...) __attribute__((sentinel));

// Removes the last element and returns it (null when empty). The array still
// owns it: the pointer stays valid until that index is set again or the array
// is freed, and the caller must not free it.
void* array_pop(array_t* a);

// Cleans every element by mode (popped ones included) and releases the block;
// the record keeps its mode and element size and can be used again.
void array_free(array_t* a);

using ArrayKeyFn = const char* (*)(const void* element);
using ArrayMatchFn = int (*)(const void* element, const void* arg);
using ArrayCmpFn = int (*)(const void* x, const void* y);

// First element whose text (the element, or key(element) when `key` is given)
// equals `text`; null counts as "". Null when none.
void* array_findstr(const array_t* a, ArrayKeyFn key, const char* text);
// First element for which match(element, arg) returns 0; null when none.
void* array_find(const array_t* a, ArrayMatchFn match, const void* arg);
// Stable sort; `cmp` gets what array_get returns for two elements. Sorts nest
// safely (nothing is kept in process state).
void array_sort(array_t* a, ArrayCmpFn cmp);
void array_reverse(array_t* a);

// Mode 7 only: new heap text (free with safe_free) of all elements with `sep`
// between them (null elements count as ""); null for an empty array or
// another mode.
char* array_join(const array_t* a, const char* sep);
// New mode-7 array of the tokens of `text` split at any of `delimiters`.
array_t array_split(const char* text, const char* delimiters);
// Pushes each string of a list that ends with an empty string (double NUL);
// returns the number pushed.
int array_multisz(array_t* a, const char* list);

// Debug dump at `level`; mode 7 arrays list their elements.
void array_dump(int level, const char* name, const array_t* a);
