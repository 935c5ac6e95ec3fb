// Parameter lists: typed access to the entries of a keyed variant list, and
// the brace-less text form in which the lists are stored.
#include "barutil/bp.h"

#include <cstring>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"

TARN_RCSID("integ/barutil/bp.cpp");

namespace {

bool IsList(CmnVar var) {
  return CmnVarKindOf(var) == VAR_KIND_LIST;
}

bool HasName(const char* name) {
  return name != nullptr && name[0] != '\0';
}

bool KindInRange(int kind) {
  return kind >= BP_KIND_INT && kind <= BP_KIND_LIST;
}

// Kinds that can be added or changed: ranges cannot be made from a value.
bool KindAddable(int kind) {
  return kind == BP_KIND_INT || kind == BP_KIND_STR || kind == BP_KIND_STRLIST ||
         kind == BP_KIND_LIST;
}

int Hand(CmnVar* found, int kind, void* out) {
  if (found == nullptr) return kBpNotFound;
  if (BP_TypeOf(*found) != kind) return kBpWrongKind;
  switch (kind) {
    case BP_KIND_INT: *static_cast<int64_t*>(out) = found->u.integer; break;
    case BP_KIND_STR: *static_cast<const char**>(out) = CmnVarCastText(*found); break;
    default: *static_cast<CmnVar**>(out) = found; break;
  }
  return kBpOk;
}

// A new value of an addable kind; VarUndef for a kind that BP_Add refuses.
CmnVar MakeValue(int kind, const void* value) {
  switch (kind) {
    case BP_KIND_INT:
      return CmnVarInt64(value != nullptr ? *static_cast<const int32_t*>(value) : 0);
    case BP_KIND_STR: return CmnVarText(static_cast<const char*>(value));
    case BP_KIND_STRLIST: return CmnVarNew(var_class_array);
    case BP_KIND_LIST: return CmnVarNew(var_class_list);
    default: return VarUndef;
  }
}

bool CanGrow(const BpList* list) {
  return list != nullptr && (list->klass == nullptr || IsList(*list));
}

}  // namespace

int BP_TypeOf(CmnVar value) {
  const int kind = CmnVarKindOf(value);
  return KindInRange(kind) ? kind : BP_KIND_NONE;
}

int BP_GetByName(BpList list, int kind, const char* name, int byPath, void* out) {
  if (!IsList(list) || !HasName(name) || !KindInRange(kind) || out == nullptr) return kBpBadArg;
  return Hand(byPath ? CmnVarGetPath(list, name) : CmnVarGet(list, name), kind, out);
}

int BP_GetIntByName(BpList list, const char* name, int64_t* out) {
  return BP_GetByName(list, BP_KIND_INT, name, 0, out);
}

int BP_GetStrByName(BpList list, const char* name, const char** out) {
  return BP_GetByName(list, BP_KIND_STR, name, 0, out);
}

int BP_GetStrListByName(BpList list, const char* name, CmnVar** out) {
  return BP_GetByName(list, BP_KIND_STRLIST, name, 0, out);
}

int BP_GetListByName(BpList list, const char* name, CmnVar** out) {
  return BP_GetByName(list, BP_KIND_LIST, name, 0, out);
}

int BP_GetListByPath(BpList list, const char* path, CmnVar** out) {
  return BP_GetByName(list, BP_KIND_LIST, path, 1, out);
}

int BP_GetAt(BpList list, int kind, int position, void* out) {
  if (!IsList(list) || position < 0 || !KindInRange(kind) || out == nullptr) return kBpBadArg;
  return Hand(CmnVarAt(list, position), kind, out);
}

int BP_GetIntAt(BpList list, int position, int64_t* out) {
  return BP_GetAt(list, BP_KIND_INT, position, out);
}

int BP_GetStrAt(BpList list, int position, const char** out) {
  return BP_GetAt(list, BP_KIND_STR, position, out);
}

CmnVar* BP_GetOptAt(BpList list, int position) {
  CmnVar* found = nullptr;
  return BP_GetAt(list, BP_KIND_LIST, position, &found) == kBpOk ? found : nullptr;
}

const char* BP_GetStr(BpList list, const char* name) {
  const char* text = nullptr;
  return BP_GetStrByName(list, name, &text) == kBpOk ? text : nullptr;
}

char* BP_GetStrCopy(BpList list, const char* name) {
  const char* text = BP_GetStr(list, name);
  return text != nullptr ? StrNewCopy(text) : nullptr;
}

int BP_StrListCount(CmnVar strList) {
  return BP_TypeOf(strList) == BP_KIND_STRLIST ? CmnVarLength(strList) : 0;
}

const char* BP_StrListAt(CmnVar strList, int position) {
  if (BP_TypeOf(strList) != BP_KIND_STRLIST || position < 0) return nullptr;
  CmnVar* item = CmnVarAt(strList, position);
  if (item == nullptr || BP_TypeOf(*item) != BP_KIND_STR) return nullptr;
  return CmnVarCastText(*item);
}

int BP_Add(BpList* list, const char* name, int kind, const void* value, CmnVar** entry) {
  if (!CanGrow(list) || !HasName(name) || !KindAddable(kind)) return kBpBadArg;
  CmnVar stored = MakeValue(kind, value);
  CmnVar* added = CmnVarListAdd(list, name, stored);
  if (added == nullptr) {
    CmnVarFree(&stored);
    return kBpBadArg;
  }
  if (entry != nullptr) *entry = added;
  return kBpOk;
}

int BP_AddInt(BpList* list, const char* name, int32_t value) {
  return BP_Add(list, name, BP_KIND_INT, &value, nullptr);
}

int BP_AddStr(BpList* list, const char* name, const char* text) {
  return BP_Add(list, name, BP_KIND_STR, text, nullptr);
}

int BP_AddStrList(BpList* list, const char* name, CmnVar** entry) {
  return BP_Add(list, name, BP_KIND_STRLIST, nullptr, entry);
}

int BP_AddList(BpList* list, const char* name, CmnVar** entry) {
  return BP_Add(list, name, BP_KIND_LIST, nullptr, entry);
}

int BP_Change(BpList* list, const char* name, int kind, const void* value) {
  if (!CanGrow(list) || !HasName(name) || !KindAddable(kind)) return kBpBadArg;
  CmnVar* found = list->klass != nullptr ? CmnVarGet(*list, name) : nullptr;
  if (found == nullptr) return BP_Add(list, name, kind, value, nullptr);
  if (BP_TypeOf(*found) != kind) return kBpWrongKind;
  CmnVarFree(found);
  *found = MakeValue(kind, value);
  return kBpOk;
}

int BP_ChangeInt(BpList* list, const char* name, int32_t value) {
  return BP_Change(list, name, BP_KIND_INT, &value);
}

int BP_ChangeStr(BpList* list, const char* name, const char* text) {
  return BP_Change(list, name, BP_KIND_STR, text);
}

int BP_ChangeStrListAdd(BpList* list, const char* name, const char* text) {
  if (list == nullptr || !IsList(*list) || !HasName(name)) return kBpBadArg;
  CmnVar* found = CmnVarGet(*list, name);
  if (found == nullptr) return kBpNotFound;
  if (BP_TypeOf(*found) != BP_KIND_STRLIST) return kBpBadArg;
  CmnVar item = CmnVarText(text);
  if (CmnVarPush(found, item) == nullptr) {
    CmnVarFree(&item);
    return kBpBadArg;
  }
  return kBpOk;
}

int BP_RemoveOptByName(BpList* list, const char* name) {
  if (list == nullptr || !IsList(*list) || !HasName(name)) return kBpBadArg;
  return CmnVarListDel(list, name) == 1 ? kBpOk : kBpNotFound;
}

int BP_InitAsList(BpList* out) {
  if (out == nullptr) return kBpBadArg;
  CmnVarFree(out);
  *out = CmnVarNew(var_class_list);
  return kBpOk;
}

int BP_AddListByPath(BpList* list, const char* path, CmnVar** out) {
  if (!CanGrow(list) || !HasName(path)) return kBpBadArg;
  if (list->klass == nullptr) *list = CmnVarNew(var_class_list);
  CmnVar* found = CmnVarFindPath(list, path);
  if (found == nullptr) return kBpBadArg;
  const int kind = CmnVarKindOf(*found);
  // Another kind already stored there is the caller's data: it is not replaced.
  if (kind != VAR_KIND_UNDEF && kind != VAR_KIND_LIST) return kBpBadArg;
  CmnVarFree(found);
  *found = CmnVarNew(var_class_list);
  if (out != nullptr) *out = found;
  return kBpOk;
}

char* BP_Pack(BpList list, int flags) {
  if (!IsList(list)) return nullptr;
  const CmnVarPackOptions options{flags | VAR_PACK_NOBRACES, nullptr};
  char* text = CmnVarPackEx(list, &options);
  // An empty list packs to no text at all; its stored form is the empty text.
  if (text == nullptr && CmnVarLength(list) == 0) text = StrNewCopy("");
  return text;
}

int BP_Unpack(BpList* out, const char* text, int flags) {
  if (out == nullptr || text == nullptr) return kBpBadArg;
  CmnVarFree(out);
  CmnVarUnpackState state{flags | VAR_PACK_NOBRACES, 0, 0, 0, nullptr};
  CmnVar parsed = CmnVarUnpackEx(text, &state);
  if ((state.error & VAR_UNPACK_ERROR) != 0 || !IsList(parsed)) {
    DbgPlain(kDbgParse, "[BP_Unpack] Text not parsed (line %d, column %d)", state.line,
             state.column);
    CmnVarFree(&parsed);
    return kBpParseFailed;
  }
  *out = parsed;
  return kBpOk;
}

int BP_ParseBuffer(const char* text, BpList* out) {
  if (text == nullptr) {
    if (out != nullptr) CmnVarFree(out);
    return kBpParseFailed;
  }
  const int rc = BP_Unpack(out, text, kBpStored);
  return rc == kBpOk ? kBpOk : kBpParseFailed;
}
