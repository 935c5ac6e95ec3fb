// Catalogue records: what the rows and results of catalogue requests are
// unpacked into, the reader of a version's stored options text, and the
// order of versions by time.
#pragma once

#include <cstdint>

#include "cmn/array.h"
#include "cmn/objname.h"

inline constexpr int kVekDescriptionMax = 80;
inline constexpr int kVekNameMax = 1023;
inline constexpr int kVekBackupIdMax = 16;
inline constexpr int kVekSessionIdMax = 16;
inline constexpr int kVekVersionTextMax = 32;
inline constexpr int kVekMediumIdMax = 32;

// Fields of a version that follow the object or item part of a row. Field v0
// is the object-version id, the id FUN_GETOVER and FUN_CHANGEOVERPROT take.
inline constexpr int kVekVersionFields = 27;
inline constexpr int kVekVersionIdField = 0;
inline constexpr int kVekVersionTimeField = 2;
inline constexpr int kVekVersionRankField = 7;  // the lower one wins among equal backup ids
inline constexpr int kVekVersionTextField = 22;
inline constexpr int kVekVersionOptionsField = 25;
inline constexpr int kVekVersionSessionField = 26;

struct VEK_Object {
  int type;
  char description[kVekDescriptionMax + 1];
  char host[kObjNameHostMax + 1];
  char mountPoint[kObjNameMpointMax + 1];
};

// Plain record copied into arrays; the owned parts are freed with
// VEK_VersionFree.
struct VEK_Version {
  // The numbers of the version by field: v0, v2, v3, v4, v7 to v11, v14 to
  // v16, v19, v23, v24 (others stay 0).
  std::int64_t value[kVekVersionFields];
  std::uint64_t size;  // v5 low, v6 high
  char backupId[kVekBackupIdMax + 1];
  char sessionId[kVekSessionIdMax + 1];
  char text[kVekVersionTextMax + 1];
  char* options;  // owned; null when the stored text is empty
  array_t trees;  // strings
  char* barOpt;   // owned; null without -baropt
};
inline std::int64_t VEK_VersionId(const VEK_Version& v) {
  return v.value[kVekVersionIdField];
}
inline std::int64_t VEK_VersionTime(const VEK_Version& v) {
  return v.value[kVekVersionTimeField];
}

// The version comes first so that the comparators order every version record.
struct VEK_ObjectVersion {
  VEK_Version version;
  VEK_Object object;
};

struct VEK_Item {
  char name[kVekNameMax + 1];
  std::int64_t id;
  std::int64_t number2;
  std::int64_t uid;
  std::int64_t gid;
  std::int64_t mode;
  std::uint64_t size;  // fields 6 (low) and 7 (high)
  std::int64_t mtime;
  std::int64_t number9;
  std::int64_t number10;  // rows of 11 fields or more
};

struct VEK_ItemVersion {
  VEK_Version version;
  VEK_Item item;
};

struct VEK_FileName {
  char name[kVekNameMax + 1];
  std::int64_t number[3];
};

struct VEK_Medium {
  char id[kVekMediumIdMax + 1];
  char description[kVekDescriptionMax + 1];
  char label[kVekDescriptionMax + 32];
  std::int64_t number;
};

// Unpackers: fill the record from `count` fields of a row; 0, or -1 when a
// field is missing, too long for its place or not a number (the record is
// then left empty, never half filled).
using VEK_UnpackFn = int (*)(const char* const* fields, int count, void* record);
int VEK_ObjectUnpack(const char* const* fields, int count, void* record);
int VEK_VersionUnpack(const char* const* fields, int count, void* record);
int VEK_ObjectVersionUnpack(const char* const* fields, int count, void* record);
int VEK_ItemUnpack(const char* const* fields, int count, void* record);
int VEK_ItemVersionUnpack(const char* const* fields, int count, void* record);
int VEK_FileNameUnpack(const char* const* fields, int count, void* record);
int VEK_MediumUnpack(const char* const* fields, int count, void* record);

// Reads a stored options text into the version: -backupId <id>, -tree/-trees
// followed by quoted trees, -baropt <text>, -mp_bhost <word>; any other word
// ends the reading. 0, or -1 for a backup id over 16 characters or an
// unterminated quote.
int VEK_ReadVersionOptions(const char* text, VEK_Version* version);

// Release the owned parts; accept an all-zero record.
void VEK_VersionFree(void* version);
void VEK_ObjectVersionFree(void* record);
void VEK_ItemVersionFree(void* record);

// Order version records (VEK_Version, VEK_ObjectVersion, VEK_ItemVersion) by
// time: newest first, oldest first.
int cmp_version_desc(const void* x, const void* y);
int cmp_version_asc(const void* x, const void* y);

// Frees a record block handed out by the array forms: `freeRecord` (may be
// null) on each of the `count` records of `size` bytes, then the block.
void VEK_FreeArray(int count, void* records, int size, void (*freeRecord)(void*));
