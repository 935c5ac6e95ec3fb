// Fuzz target of the string parsers that read outside input: object names,
// rc file lines, URL texts, argument lines, times, session and user texts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "cmn/objname.h"
#include "cmn/str.h"
#include "fuzz/fuzzseed.h"

TARN_RCSID("lib/cmn/fuzz/strparse_fuzz.cpp");

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);  // cut at an inner NUL
  const char* t = text.c_str();

  // An object name that parses is written back to the same fields.
  int type = 0;
  char host[kObjNameHostMax + 1];
  char mpoint[kObjNameMpointMax + 1];
  char label[kObjNameLabelMax + 1];
  if (StrFromObjectName(&type, host, mpoint, label, t) == 0) {
    tarn::fuzz::Accepted();
    char name[kObjNameSize];
    if (std::strpbrk(host, " :") == nullptr && std::strstr(mpoint, " // ") == nullptr &&
        StrToObjectNameEx(type, host, mpoint, label, name) == 0) {
      int type2 = 0;
      char host2[kObjNameHostMax + 1];
      char mpoint2[kObjNameMpointMax + 1];
      char label2[kObjNameLabelMax + 1];
      if (StrFromObjectName(&type2, host2, mpoint2, label2, name) != 0 || type2 != type ||
          std::strcmp(host, host2) != 0 || std::strcmp(mpoint, mpoint2) != 0 ||
          std::strcmp(label, label2) != 0) {
        std::abort();
      }
    }
  }
  char user[kObjNameSize];
  StrObjectNameToUserObjectName(user, t);

  std::string rc = text;
  char* cursor = rc.data();
  char* name = nullptr;
  char* value = nullptr;
  while (ParseTarnRcFormat(&cursor, &name, &value) == 0) {
  }

  // URL escaping round trip.
  const char* url = StrToUrl(t);
  if (url == nullptr) std::abort();
  const std::string escaped = url;
  const char* plain = StrFromUrl(escaped.c_str());
  if (plain == nullptr || std::strcmp(plain, t) != 0) std::abort();

  int argc = 0;
  char** argv = nullptr;
  if (StrToArgEx("prog", t, &argc, &argv, 0) == 0) FreeStrToArg(&argc, &argv);

  StrToTime(t);
  StrFromUserSessionId(t);
  StrToUserSessionId(t);
  std::string out(size + 1, '\0');
  StrFromKID(out.data(), t);
  char u[61];
  char g[61];
  char h[65];
  StrFromVEKUser(t, u, g, h);
  long side = 0;
  StrFromPhyLocation(t, out.data(), &side);
  char* expanded = StrExpandString(
      t, [](const char*, void*) { return StrNewCopy("v"); }, nullptr);
  safe_free(expanded, TARN_HERE);
  char clean[kStrPathMax + 1];
  StrCleanPathnameExR(t, static_cast<int>(size & 15), clean);
  return 0;
}

// Object names as the writer builds them.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  const struct {
    int type;
    const char* host;
    const char* mpoint;
    const char* label;
  } kNames[] = {
      {1, "db2host.example.com", "/db2inst1/SAMPLE/0", "DB2 database"},
      {12, "client", "/var/opt/db2/log/S0000001.LOG", ""},
  };
  int n = 0;
  for (const auto& o : kNames) {
    char name[kObjNameSize];
    if (StrToObjectNameEx(o.type, o.host, o.mpoint, o.label, name) != 0) std::abort();
    seeds->Add("object" + std::to_string(n++), name);
  }
}
