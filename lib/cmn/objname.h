// Catalogue object names: the text "TT host:mountpoint // label" under which
// objects are stored and found, and its user form.
#pragma once

#include <cstddef>

// Field limits of a parsed name (characters, without the terminator).
inline constexpr size_t kObjNameHostMax = 64;
inline constexpr size_t kObjNameMpointMax = 1023;
inline constexpr size_t kObjNameLabelMax = 80;
// Room a caller gives StrToObjectName and StrObjectNameToUserObjectName:
// the widest type, every separator, all three fields and the terminator.
inline constexpr size_t kObjNameSize =
    11 + 1 + kObjNameHostMax + 1 + kObjNameMpointMax + 4 + kObjNameLabelMax + 1;

// Writes "%02d %s:%s // %s" (type, host, clean mount point, label cut to 80)
// into dst (kObjNameSize bytes). NULL fields count as "". Refuses (-1, dst
// "") a host over 64 characters or holding a blank or colon, and a clean
// mount point over 1023 characters, because the name would not parse back.
int StrToObjectName(int type, const char* host, const char* mpoint, const char* label, char* dst);
// The same without mount-point clean-up; also refuses a mount point holding
// " // ".
int StrToObjectNameEx(int type, const char* host, const char* mpoint, const char* label, char* dst);
// Splits a name at its first blank, first colon and first " // ". Every output
// may be NULL: host holds 65 bytes, mpoint 1024, label 81. 0, or -1 with a
// level -2 line naming what is wrong (outputs then untouched).
int StrFromObjectName(int* type, char* host, char* mpoint, char* label, const char* text);
// host:mountpoint "label" into dst (kObjNameSize bytes); 0, or -1 when the
// text does not parse.
int StrObjectNameToUserObjectName(char* dst, const char* text);
