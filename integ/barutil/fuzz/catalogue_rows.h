// Fields of catalogue rows as the cell server's catalogue sends them, for the
// seeds of the query fuzz targets.
#pragma once

#include <string>
#include <vector>

#include "barutil/queryrec.h"
#include "cmn/objname.h"

namespace barutil_fuzz {

// An object whose description (its name's label) is `label`.
inline std::vector<std::string> ObjectFields(const char* label = "DB2 full") {
  char name[kObjNameSize];
  StrToObjectNameEx(1, "db2host.example.com", "/db2inst1/SAMPLE/0", label, name);
  return {name, "1"};
}

// The 27 fields of a version: numbers where the reader wants them, the
// version text, the stored options and the session id.
inline std::vector<std::string> VersionFields() {
  std::vector<std::string> v(kVekVersionFields, "0");
  v[kVekVersionIdField] = "101";
  v[kVekVersionTimeField] = "1700000000";
  v[5] = "4096";
  for (const int text : {1, 12, 13, 17, 18, 20, 21}) v[text] = "t";
  v[kVekVersionTextField] = "A.01.00";
  v[kVekVersionOptionsField] =
      "-backupId 2026/12/09-7 -trees \"/db2inst1/SAMPLE/\" \"/db2inst1/SAMPLE/TS1/\" -baropt "
      "\"-table\" -mp_bhost db2host";
  v[kVekVersionSessionField] = "2026/12/09-7";
  return v;
}

// The ten fields of an item (eleven with `more`).
inline std::vector<std::string> ItemFields(bool more = false) {
  std::vector<std::string> f = {"/db2inst1/SAMPLE/0", "1", "0", "100", "100", "416", "4096", "0",
                                "1700000000",         "0"};
  if (more) f.push_back("7");
  return f;
}

inline std::vector<std::string> MediumFields() {
  std::vector<std::string> f(22, "");
  f[0] = "pool";
  f[1] = "label";
  f[3] = "DB2 pool";
  f[5] = "0";
  f[7] = "0a0b0c0d:12345678:1234:0001";
  f[18] = "1";
  return f;
}

inline std::vector<std::string> Join(std::vector<std::string> a,
                                     const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace barutil_fuzz
