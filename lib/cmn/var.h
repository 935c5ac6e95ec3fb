// Variants: the common library's self-describing value (integer, text, range,
// array, keyed list) and its text form, INI files and command lines.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "cmn/defines.h"

struct CmnVarClass;
struct CmnVarEntry;

// A tagged value passed and returned by value. `klass` null means undefined.
// A variant owns what its payload points at, except a text made by
// CmnVarConstText (capacity 0), which borrows the caller's storage.
struct CmnVar {
  const CmnVarClass* klass;
  union {
    int64_t integer;
    struct {
      int32_t first;
      int32_t second;
    } range;
    struct {
      size_t capacity;  // bytes allocated; 0 = not owned
      size_t length;    // without the NUL
      char* data;       // NUL-terminated, or null for an empty text without storage
    } text;
    struct {
      size_t capacity;  // bytes allocated for the elements
      size_t count;
      CmnVar* items;
    } array;
    struct {
      size_t capacity;  // bytes allocated for the entries
      size_t count;
      CmnVarEntry* entries;
    } list;
  } u;
};

// One entry of a keyed list. The key is an owned heap copy (may be null).
struct CmnVarEntry {
  uint32_t hash;  // hashfn_itstring(key)
  char* key;
  CmnVar value;
};

enum CmnVarKind : int {
  VAR_KIND_UNDEF = 0,
  VAR_KIND_INT = 1,
  VAR_KIND_TEXT = 2,
  VAR_KIND_RANGE = 3,
  VAR_KIND_ARRAY = 4,
  VAR_KIND_LIST = 5,
};

// Position of an iteration (IterNew); the variant must not change meanwhile.
struct CmnVarIter {
  CmnVar var;
  int started;
  int index;
};

// Pack options (null means all zero). `tabs`, when given, holds 16 strings:
// the indentation of nesting levels 0 to 15.
struct CmnVarPackOptions {
  int flags;
  const char* const* tabs;
};

// Unpack state (null means all zero). After a syntax error `error` has bit
// VAR_UNPACK_ERROR set and `column`, `line` and `token` tell where and what.
struct CmnVarUnpackState {
  int flags;
  int error;
  int column;
  int line;
  const char* token;  // static name of the token found, e.g. "number"
};

enum CmnVarFlags : int {
  VAR_PACK_NOTABS = 1,    // no indentation
  VAR_PACK_NOLF = 2,      // no line breaks
  VAR_PACK_NOBRACES = 4,  // outermost list without braces (and parsed so)
  VAR_PACK_BASE64 = 32,   // the whole text base64-encoded (and decoded so)
};
inline constexpr int VAR_UNPACK_ERROR = 1;

// The parser refuses a container nested deeper than this (the outermost value
// is at depth 0) with a syntax error; deeper values can be packed but not read.
inline constexpr int kCmnVarMaxParseDepth = 64;

using CmnVarCtorFn = void (*)(CmnVar* self, va_list args);
using CmnVarFreeFn = void (*)(CmnVar* self);
using CmnVarCopyFn = CmnVar (*)(CmnVar self);
using CmnVarPackFn = int (*)(CmnVar self, CmnVar* out, int depth, const CmnVarPackOptions* options);
using CmnVarNextFn = int (*)(CmnVarIter* it);
using CmnVarAtFn = CmnVar* (*)(CmnVar self, int index);
using CmnVarIterKeyFn = CmnVar (*)(const CmnVarIter* it);
using CmnVarIterValFn = CmnVar* (*)(const CmnVarIter* it);
using CmnVarCmpFn = int (*)(CmnVar a, CmnVar b);

// One static record per kind; a null operation means the kind has none.
struct CmnVarClass {
  int kind;
  CmnVarCtorFn construct;
  CmnVarFreeFn free;
  CmnVarCopyFn copy;  // null: copied word by word
  CmnVarPackFn pack;  // 0, or -1 when memory ran out
  CmnVarNextFn next;
  CmnVarAtFn at;
  CmnVarIterKeyFn iteratorKey;
  CmnVarIterValFn iteratorValue;
  CmnVarCmpFn compare;
};

extern const CmnVarClass* const var_class_int;
extern const CmnVarClass* const var_class_string;
extern const CmnVarClass* const var_class_range;
extern const CmnVarClass* const var_class_array;
extern const CmnVarClass* const var_class_list;

inline constexpr CmnVar VarUndef{};

// Kind number of a variant (0 for undefined).
int CmnVarKindOf(CmnVar var);

// ---- Makers and basic operations -------------------------------------------

// Sets the class and runs its constructor: int takes a long long, text a
// const char* (copied), range two ints. A class without constructor gives an
// empty value of that kind.
CmnVar CmnVarNew(const CmnVarClass* klass, ...);
CmnVar CmnVarVNew(const CmnVarClass* klass, va_list args);
CmnVar CmnVarInt64(int64_t value);
// Owned copy; null gives an empty text without storage.
CmnVar CmnVarText(const char* text);
// Owned copy of `length` bytes (NULs among them are kept).
CmnVar CmnVarTextN(const char* text, size_t length);
CmnVar CmnVarRange(int32_t first, int32_t second);
// Moves the values in, up to the first undefined one.
CmnVar CmnVarArray(CmnVar value, ...);
// Pairs of (const char* key, CmnVar value) up to a null key; values are moved in.
CmnVar CmnVarList(const char* key, ...);
// Borrows `text`: the caller keeps it alive and unchanged while the variant lives.
CmnVar CmnVarConstText(const char* text);
CmnVar CmnVarAsciiText(const char* text);
CmnVar CmnVarUtf8Text(const char* text);
// Stores the UTF-8 form of the NUL-terminated UTF-16 text `wide` in *var,
// which must be undefined or a text; returns var, or null for another kind.
CmnVar* CmnVarCopyW2S(CmnVar* var, const char16_t* wide);

// Frees what the variant owns; *var becomes VarUndef.
void CmnVarFree(CmnVar* var);
// Deep copy (a borrowed text becomes owned).
CmnVar CmnVarCopy(CmnVar var);
// -1 when the kinds differ, 0 when both are undefined, else the kind's order
// (negative, 0, positive).
int CmnVarCmp(CmnVar a, CmnVar b);
// 1 for undefined, integer 0, an empty text, an empty array or list, and a
// range; else 0.
int CmnVarIsEmpty(CmnVar var);
// Integer value; a text is read as a decimal number (0 when it is none or out
// of range); other kinds 0.
int64_t CmnVarCastInt64(CmnVar var);
// Text of a text variant ("" when it has no storage); an integer in decimal
// in StrFromOFF_T64's area, which the next call of either overwrites; other
// kinds null.
const char* CmnVarCastText(CmnVar var);
size_t CmnVarStrLen(CmnVar var);
// Sets the length of a text (storage grows, new bytes are zero) and returns the
// old one. An undefined variant becomes a text; other kinds give 0 unchanged.
size_t CmnVarSetLen(CmnVar* var, size_t length);
// Appends formatted text; an undefined variant becomes a text. Returns *var
// (same storage, not a second owner), or VarUndef for another kind.
CmnVar CmnVarCat(CmnVar* var, const char* format, ...) __attribute__((format(printf, 2, 3)));
CmnVar CmnVarVCat(CmnVar* var, const char* format, va_list args);
// As CmnVarCat, replacing the text instead of appending.
CmnVar CmnVarFormat(CmnVar* var, const char* format, ...) __attribute__((format(printf, 2, 3)));
CmnVar CmnVarVFormat(CmnVar* var, const char* format, va_list args);
// Replaces every occurrence of `needle` (null `with` removes it); returns the
// number replaced (0 for a non-text or an empty needle).
int CmnVarReplace(CmnVar* var, const char* needle, const char* with);

// Heap copy (caller frees with safe_free) of at most n characters, zero-filled
// to n+1 bytes; null text gives n+1 zero bytes.
char* CmnStrNDup(const char* text, size_t n);
// Heap copy of n bytes; null data gives n zero bytes.
void* CmnMemDup(const void* data, size_t n);

// ---- Containers --------------------------------------------------------------

// Element or entry count; 0 for other kinds.
int CmnVarLength(CmnVar var);
// Element i of an array (negative counts from the end) or the value of entry i
// of a list; null when out of range. Valid until the container changes.
CmnVar* CmnVarAt(CmnVar var, int index);
// An undefined arr becomes an array. Grows to index+1 elements and stores
// value at index WITHOUT freeing what was there (free it first). Returns the
// stored element, or null (value not taken) for another kind or a bad index.
CmnVar* CmnVarArraySet(CmnVar* arr, int index, CmnVar value);
CmnVar* CmnVarPush(CmnVar* arr, CmnVar value);
// Pushes values up to the first undefined one; returns the number pushed.
int CmnVarPushs(CmnVar* arr, ...);
// Sorts an array's elements in place; returns arr, or null for a non-array.
CmnVar* CmnVarSort(CmnVar* arr, int (*cmp)(const CmnVar* a, const CmnVar* b));
// An undefined list becomes a list. Appends (key copied, value moved in) and
// returns the stored value; null (value not taken) for another kind.
CmnVar* CmnVarListAdd(CmnVar* list, const char* key, CmnVar value);
// Value of the first entry whose key equals `key` ignoring case, or null.
CmnVar* CmnVarGet(CmnVar list, const char* key);
// Key of entry i (may be null), or null when out of range.
const char* CmnVarKey(CmnVar list, int index);
// Frees and replaces the first matching entry's value, else adds.
CmnVar* CmnVarSet(CmnVar* list, const char* key, CmnVar value);
// CmnVarGet, else adds an undefined value under key and returns it.
CmnVar* CmnVarFind(CmnVar* list, const char* key);
// Removes the first matching entry and moves the last entry into its place.
// 1 removed, 0 not found.
int CmnVarListDel(CmnVar* list, const char* key);
// Walks the '/'-separated keys with CmnVarFind, making missing levels lists;
// null for an empty path or when a level is not a list.
CmnVar* CmnVarFindPath(CmnVar* list, const char* path);
// The same walk with CmnVarGet; null when any level is missing.
CmnVar* CmnVarGetPath(CmnVar list, const char* path);
// *var itself when it is a text equal to `text`; for an array or list the first
// element that is such a text (or, with a non-empty path, whose value at path
// is); else null.
CmnVar* CmnVarFindText(CmnVar* var, const char* text, const char* path);

// Iteration in index order: while (IterNext(&it)) { IterKey(&it); IterVal(&it); }
CmnVarIter IterNew(CmnVar var);
int IterNext(CmnVarIter* it);
// Integer index of an array element, borrowed key text of a list entry.
CmnVar IterKey(const CmnVarIter* it);
CmnVar* IterVal(const CmnVarIter* it);

// ---- Escaping of quoted texts ------------------------------------------------

enum StrEscapeOptions : int {
  STR_ESCAPE_QUOTE = 1,      // ' as 0x01 'q'
  STR_ESCAPE_DQUOTE = 2,     // " as 0x01 'Q'
  STR_ESCAPE_SLASH = 4,      // / as 0x01 's'
  STR_ESCAPE_BACKSLASH = 8,  // \ as 0x01 'b'
  STR_ESCAPE_COLON = 16,     // : as 0x01 'c'
};

// `length`, when given, holds the input length on entry (the text may then
// hold NULs) and the result's length on return; null means strlen(text).
// Returns `text` itself when nothing needs escaping, else a NUL-terminated text
// in an area shared with StrUnescape that the next call of either overwrites.
const char* StrEscape(const char* text, size_t* length, int options);
// Reverses every escape sequence whatever the options were. An invalid one
// marks error 8002 and gives null.
const char* StrUnescape(const char* text, size_t* length);

// ---- Text form ---------------------------------------------------------------

// New heap text (caller frees with safe_free) of the text form (empty for an
// undefined value); null when memory runs out.
char* CmnVarPackEx(CmnVar var, const CmnVarPackOptions* options);
char* CmnVarPack(CmnVar var);
// Appends the text form of var at nesting depth to the text variant *out (an
// undefined *out becomes a text); 0, or -1 when memory ran out (*out then
// holds a partial text).
int CmnVarSerialize(CmnVar* out, CmnVar var, int depth, const CmnVarPackOptions* options);
// Parses a text form (state->flags: VAR_PACK_NOBRACES, VAR_PACK_BASE64); the
// input is not modified. A syntax error, an unterminated quote, a number out of
// range, nesting past kCmnVarMaxParseDepth or an invalid escape (8002) stops
// the parse: the result is then undefined or a partly built list, error 1008
// is marked (its system-error text is the message) and the state's error bit
// is set, so callers that care pass a state and test it.
CmnVar CmnVarUnpackEx(const char* text, CmnVarUnpackState* state);
CmnVar CmnVarUnpack(const char* text);
// Writes the text form at debug `level`.
void CmnVarDbgDump(int level, const CmnVar* var);

// ---- Files and command lines -------------------------------------------------

// Writes the brace-less text form; 0 or -1 (error marked).
int CmnVarPutFile(CmnVar var, const char* path);
// Reads a file written by CmnVarPutFile (a UTF-16 file with a byte-order mark
// is converted first); undefined when it cannot be read, partly built after a
// syntax error (error 1008 marked).
CmnVar CmnVarGetFile(const char* path);
// Array of the file's non-empty lines (split at CR and LF); undefined when the
// file cannot be read. `flags` is reserved.
CmnVar CmnVarLoadFile(const char* path, int flags);
// Writes each text element of an array or list and a line feed; 0 or -1.
int CmnVarSaveFile(CmnVar var, const char* path);
// Keyed list of an INI file's sections (entries before the first section at
// the top, comment lines as entries without key); undefined when it cannot be
// read. `flags` is reserved.
CmnVar CmnVarLoadIniFile(const char* path, int flags);
// Appends the INI form of a list to the text variant *out; 0, or -1 for a
// non-list.
int CmnVarPackIni(CmnVar var, CmnVar* out);
int CmnVarSaveIniFile(CmnVar var, const char* path);
// New heap text (caller frees) of the command-line form of a list; null for a
// non-list.
char* CmnVarToCmdline(CmnVar list);
