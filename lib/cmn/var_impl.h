// Variants, internal: the pieces the variant sources share with each other.
// Not for use outside the var*.cpp files.
#pragma once

#include <cstddef>

#include "cmn/var.h"

namespace cmnvar {

// An empty value of a kind: 0, "", [0,0], () or {} without storage.
inline CmnVar EmptyOf(const CmnVarClass* klass) {
  CmnVar v = VarUndef;
  v.klass = klass;
  return v;
}

// Appends n bytes to a text variant (an undefined one becomes a text); false
// when memory runs out, the text then unchanged.
bool Append(CmnVar* out, const char* data, size_t n);
bool AppendText(CmnVar* out, const char* text);

// Class pack operations (var_pack.cpp).
int IntegerPack(CmnVar self, CmnVar* out, int depth, const CmnVarPackOptions* options);
int StringPack(CmnVar self, CmnVar* out, int depth, const CmnVarPackOptions* options);
int RangePack(CmnVar self, CmnVar* out, int depth, const CmnVarPackOptions* options);
int ArrayPack(CmnVar self, CmnVar* out, int depth, const CmnVarPackOptions* options);
int ListPack(CmnVar self, CmnVar* out, int depth, const CmnVarPackOptions* options);

// Parses `length` bytes of text form (var_parse.cpp); a NUL byte among them is
// a syntax error. The state (may be null) is not reset.
CmnVar ParseText(const char* text, size_t length, CmnVarUnpackState* state, int flags);

// Case-insensitive key equality with null as the empty key.
bool KeyEquals(const char* a, const char* b);

}  // namespace cmnvar
