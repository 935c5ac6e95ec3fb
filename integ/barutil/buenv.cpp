// Environment helpers of the integration, and the rule that tells which
// settings hold secrets that traces must not show.
#include "barutil/buenv.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/str.h"

TARN_RCSID("integ/barutil/buenv.cpp");

namespace {

constexpr int kLevel = 30;

bool ValidName(const char* name) {
  return name != nullptr && name[0] != '\0' && std::strchr(name, '=') == nullptr;
}

// A whole decimal number in int range, or one of the boolean words. Trailing
// characters after a number make the setting invalid, not a smaller number.
bool ParseSetting(const char* text, int* value) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p)) != 0) ++p;
  if (*p != '-' && *p != '+' && std::isdigit(static_cast<unsigned char>(*p)) == 0)
    return StrAtoBool(text, value, nullptr) == 1;
  errno = 0;
  char* end = nullptr;
  const long n = std::strtol(p, &end, 10);
  if (end == p || errno != 0 || n < INT_MIN || n > INT_MAX) return false;
  while (std::isspace(static_cast<unsigned char>(*end)) != 0) ++end;
  if (*end != '\0') return false;
  *value = static_cast<int>(n);
  return true;
}

}  // namespace

char* BU_GetEnv(const char* name) {
  return name != nullptr ? EnvGetString(name) : nullptr;
}

char* BU_EnvGetStrValue(const char* name, const char* defaultValue) {
  if (char* value = BU_GetEnv(name)) return value;
  DbgPlain(kLevel, "Using default value '%s'", defaultValue != nullptr ? defaultValue : "");
  return defaultValue != nullptr ? StrNewCopy(defaultValue) : nullptr;
}

int BU_EnvGetIntValue(const char* name, int* value) {
  const char* text = name != nullptr ? std::getenv(name) : nullptr;
  const int keep = value != nullptr ? *value : 0;
  if (text == nullptr) {
    DbgPlain(kLevel, "Environment variable %s not found", name != nullptr ? name : "");
    DbgPlain(kLevel, "Keeping default value = %d", keep);
    return 0;
  }
  DbgPlain(kLevel, "Environment variable %s found", name);
  int parsed = 0;
  if (!ParseSetting(text, &parsed)) {
    DbgPlain(kLevel, "Invalid value, keeping default value = %d", keep);
    return 0;
  }
  DbgPlain(kLevel, "Valid value = %d", parsed);
  if (value != nullptr) *value = parsed;
  return 1;
}

int BU_PutEnv(const char* name, const char* value) {
  if (!ValidName(name)) return -1;
  return setenv(name, value != nullptr ? value : "", 1) == 0 ? 0 : -1;
}

int BU_ExportToEnv(BpList list) {
  if (BP_TypeOf(list) != BP_KIND_LIST) return kBpBadArg;
  for (int i = 0; i < CmnVarLength(list); ++i) {
    const char* name = CmnVarKey(list, i);
    CmnVar* value = CmnVarAt(list, i);
    const int kind = value != nullptr ? BP_TypeOf(*value) : BP_KIND_NONE;
    if (!ValidName(name) || (kind != BP_KIND_STR && kind != BP_KIND_INT)) continue;
    const char* text = CmnVarCastText(*value);
    DbgPlain(kLevel, "[BU_ExportToEnv] %s=%s", name, BU_IsSecretName(name) ? kBuMasked : text);
    BU_PutEnv(name, text);
  }
  return kBpOk;
}

int BU_IsSecretName(const char* name) {
  if (name == nullptr) return 0;
  if (strcasecmp(name, "PWD") == 0 || strcasecmp(name, "OLDPWD") == 0) return 0;
  static constexpr const char* kWords[] = {"passw", "pwd", "secret", "key", "credential", "token"};
  for (const char* word : kWords) {
    if (strcasestr(name, word) != nullptr) return 1;
  }
  return 0;
}
