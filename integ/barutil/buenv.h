// Environment helpers of the integration: reading settings with defaults,
// setting variables, and exporting a parameter list into the environment.
#pragma once

#include "barutil/bp.h"

// A caller-owned copy (safe_free) of the variable's value, or null when it is
// unset (or the name is null).
char* BU_GetEnv(const char* name);
// A caller-owned copy of the value, else of `defaultValue` (null stays null).
char* BU_EnvGetStrValue(const char* name, const char* defaultValue);
// Reads a number or boolean word ("yes", "on", "true" and their opposites)
// into *value: 1 when a valid value was taken; 0 when the variable is absent
// or invalid, *value then keeping its default.
int BU_EnvGetIntValue(const char* name, int* value);
// Sets name=value (value null: empty). 0, or -1 for a null or empty name or
// one that holds '='.
int BU_PutEnv(const char* name, const char* value);
// One environment variable per text or integer (in decimal) entry of the
// list, named by the entry; other kinds and entries whose name cannot be a
// variable name are skipped. 0, or 5 when `list` is not a list.
int BU_ExportToEnv(BpList list);

// 1 when a variable or option name looks like it holds a secret (password,
// key, secret, credential, token; case ignored), so its value must not be
// traced. PWD and OLDPWD are directories, not secrets.
int BU_IsSecretName(const char* name);
// What a trace shows in place of a secret.
inline constexpr char kBuMasked[] = "****";
