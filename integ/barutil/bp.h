// Parameter lists: a typed view of the common library's keyed variant lists,
// the form in which integrations keep their configuration, with its text form.
#pragma once

#include <cstdint>

#include "cmn/var.h"

// A parameter list is a keyed-list variant. Getters take it by value; calls
// that add, change or remove entries take its address, since the entries may
// move. Names compare without regard to letter case.
using BpList = CmnVar;

// Entry kinds as BP_TypeOf reports them.
enum BpKind : int {
  BP_KIND_NONE = 0,
  BP_KIND_INT = 1,      // 64-bit integer
  BP_KIND_STR = 2,      // text
  BP_KIND_RANGE = 3,    // range of two integers
  BP_KIND_STRLIST = 4,  // array of texts
  BP_KIND_LIST = 5,     // nested parameter list
};

// Results of the BP_ calls.
inline constexpr int kBpOk = 0;
inline constexpr int kBpBadArg = 5;     // not a list, no name, bad position or kind
inline constexpr int kBpNotFound = 6;   // no entry of that name or position
inline constexpr int kBpWrongKind = 7;  // the entry exists with another kind
// BP_ParseBuffer's result for a text that could not be parsed.
inline constexpr int kBpParseFailed = 2;

// Pack and parse flag of stored configuration texts, on top of the brace-less
// outermost list that every BP_ text form has.
inline constexpr int kBpStored = 8;

// 1 to 5 for the kinds above, 0 for an undefined value or anything else.
int BP_TypeOf(CmnVar value);

// ---- getters
// `out` by kind: 1 int64_t*, 2 const char** (points into the list, valid
// while the entry is unchanged), 3 CmnVar** (the range), 4 and 5 CmnVar**
// (the string list or nested list inside `list`, valid until `list` changes).
// With `byPath` set, `name` is a '/'-separated path of nested names. 0, 5, 6
// or 7; `out` is written only on success.
int BP_GetByName(BpList list, int kind, const char* name, int byPath, void* out);
int BP_GetIntByName(BpList list, const char* name, int64_t* out);
int BP_GetStrByName(BpList list, const char* name, const char** out);
int BP_GetStrListByName(BpList list, const char* name, CmnVar** out);
int BP_GetListByName(BpList list, const char* name, CmnVar** out);
int BP_GetListByPath(BpList list, const char* path, CmnVar** out);
// The same by position (from 0).
int BP_GetAt(BpList list, int kind, int position, void* out);
int BP_GetIntAt(BpList list, int position, int64_t* out);
int BP_GetStrAt(BpList list, int position, const char** out);
// The nested list at a position, or null.
CmnVar* BP_GetOptAt(BpList list, int position);
// The text of a text entry, or null (absent, another kind, not a list).
const char* BP_GetStr(BpList list, const char* name);
// A caller-owned copy of it (free with safe_free), or null.
char* BP_GetStrCopy(BpList list, const char* name);
// Number of elements of a string list (0 when `strList` is none); the text
// at a position (null out of range, for a non-text element or a non-array).
int BP_StrListCount(CmnVar strList);
const char* BP_StrListAt(CmnVar strList, int position);

// ---- adding and changing
// Appends an entry named `name` (an undefined *list becomes a list). `value`
// by kind: 1 const int32_t* (widened with its sign), 2 const char* text
// (copied; null is an empty text), 4 and 5 ignored (an empty string list or
// nested list). `entry` (may be null) gets the stored value, valid until the
// list changes. 0 or 5.
int BP_Add(BpList* list, const char* name, int kind, const void* value, CmnVar** entry);
int BP_AddInt(BpList* list, const char* name, int32_t value);
int BP_AddStr(BpList* list, const char* name, const char* text);
int BP_AddStrList(BpList* list, const char* name, CmnVar** entry);
int BP_AddList(BpList* list, const char* name, CmnVar** entry);
// Replaces the value of the named entry of the same kind (another kind: 7,
// the entry is left as it was), or appends the entry when absent. `value` as
// for BP_Add; kinds 4 and 5 are replaced by an empty value.
int BP_Change(BpList* list, const char* name, int kind, const void* value);
int BP_ChangeInt(BpList* list, const char* name, int32_t value);
int BP_ChangeStr(BpList* list, const char* name, const char* text);
// Appends a copy of `text` to the named string list: 6 when absent, 5 when
// the entry is not a string list.
int BP_ChangeStrListAdd(BpList* list, const char* name, const char* text);
// Removes the first entry of that name: 0, 6 when absent, 5 when not a list.
int BP_RemoveOptByName(BpList* list, const char* name);
// Makes *out an empty list (whatever it held is freed first). 0 or 5.
int BP_InitAsList(BpList* out);
// Makes the nested list at a '/'-separated path (missing levels become
// lists; an existing list there is emptied) and hands it out through `out`
// (may be null; valid until `list` changes). 5 when the path cannot be made
// (empty, or a level or the last entry is not a list).
int BP_AddListByPath(BpList* list, const char* path, CmnVar** out);

// ---- text form
// The list's text form with the outermost braces left out, plus `flags`
// (CmnVarFlags); caller-owned (safe_free). Null for a value that is not a
// list, or when memory ran out.
char* BP_Pack(BpList list, int flags);
// Parses a text form written by BP_Pack with the same flags into *out (freed
// first). 0; 2 when the text could not be parsed (*out then undefined); 5
// for a null out or text.
int BP_Unpack(BpList* out, const char* text, int flags);
// Parses a stored configuration text (BP_Unpack with kBpStored): 0, or 2.
int BP_ParseBuffer(const char* text, BpList* out);
