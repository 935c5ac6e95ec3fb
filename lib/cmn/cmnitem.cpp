// Item names on the cell server and the table of integration types with their
// item codes, cell-server paths and backup types.
#include <strings.h>

#include <cstring>
#include <string_view>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"

TARN_RCSID("lib/cmn/cmnitem.cpp");

namespace {

// Line places of the 1620 mark: the catalogue number of the reason.
constexpr int kItemNameEmpty = 728;
constexpr int kItemNameForbidden = 769;

constexpr int kFull = 41;
constexpr int kIncr = 27;
constexpr int kDelta = 220;

constexpr CmnBackupType kVekTypes[] = {
    {nullptr, 0, 1, 1, kFull, "-full"},   {nullptr, 10, 1, 1, kIncr, "-incr"},
    {nullptr, 1, 1, 1, kIncr, "-incr 1"}, {nullptr, 2, 1, 1, kIncr, "-incr 2"},
    {nullptr, 3, 1, 1, kIncr, "-incr 3"}, {nullptr, 4, 1, 1, kIncr, "-incr 4"},
    {nullptr, 5, 1, 1, kIncr, "-incr 5"}, {nullptr, 6, 1, 1, kIncr, "-incr 6"},
    {nullptr, 7, 1, 1, kIncr, "-incr 7"}, {nullptr, 8, 1, 1, kIncr, "-incr 8"},
    {nullptr, 9, 1, 1, kIncr, "-incr 9"}, {nullptr, 0, 0, 0, 0, nullptr},
};
constexpr CmnBackupType kOracle8Types[] = {
    {"-full", 0, 1, 1, kFull, "-full"},
    {"-incr", 10, 1, 1, kIncr, "-incr"},
    {"-or8incr1", 1, 1, 1, kIncr, "-or8incr1"},
    {"-or8incr2", 2, 1, 1, kIncr, "-or8incr2"},
    {"-or8incr3", 3, 1, 1, kIncr, "-or8incr3"},
    {"-or8incr4", 4, 1, 1, kIncr, "-or8incr4"},
    {nullptr, 0, 0, 0, 0, nullptr},
};
constexpr CmnBackupType kInformixTypes[] = {
    {"-full", 0, 1, 1, kFull, "-full"},
    {"-inf_incr1", 1, 1, 1, kIncr, "-inf_incr1"},
    {"-inf_incr2", 2, 1, 1, kIncr, "-inf_incr2"},
    {nullptr, 0, 0, 0, 0, nullptr},
};
constexpr CmnBackupType kSybaseTypes[] = {
    {"-full", 0, 1, 1, kFull, "-full"},
    {"-trans", 18, 1, 1, 0, "-trans"},
    {nullptr, 0, 0, 0, 0, nullptr},
};
constexpr CmnBackupType kMssqlTypes[] = {
    {"-full", 0, 1, 1, kFull, "-full"},
    {"-diff", 13, 1, 1, 0, "-diff"},
    {"-trans", 18, 1, 1, 0, "-trans"},
    {nullptr, 0, 0, 0, 0, nullptr},
};
constexpr CmnBackupType kFullIncrTypes[] = {
    {"-full", 0, 1, 1, kFull, "-full"},
    {"-incr", 10, 1, 1, kIncr, "-incr"},
    {nullptr, 0, 0, 0, 0, nullptr},
};
constexpr CmnBackupType kDb2Types[] = {
    {"-full", 0, 1, 1, kFull, "-full"},
    {"-incr", 10, 1, 1, kIncr, "-incr"},
    {"-delta", 26, 1, 1, kDelta, "-delta"},
    {nullptr, 0, 0, 0, 0, nullptr},
};
constexpr CmnBackupType kSapdbTypes[] = {
    {"full", 0, 1, 1, kFull, "full"},
    {"diff", 13, 1, 1, 0, "diff"},
    {"trans", 18, 1, 1, 0, "trans"},
    {nullptr, 0, 0, 0, 0, nullptr},
};
constexpr CmnBackupType kMsvsswTypes[] = {
    {"-full", 0, 1, 1, kFull, "-full"}, {"-incr", 10, 1, 1, kIncr, "-incr"},
    {"-diff", 13, 1, 1, 0, "-diff"},    {"-copy", 27, 1, 1, 0, "-copy"},
    {nullptr, 0, 0, 0, 0, nullptr},
};
constexpr CmnBackupType kSapTypes[] = {
    {"-full", 0, 1, 1, kFull, "-full"},
    {"-incr1", 1, 1, 1, kIncr, "-incr1"},
    {nullptr, 0, 0, 0, 0, nullptr},
};
constexpr CmnBackupType kVmwareTypes[] = {
    {"-full", 0, 1, 1, kFull, "-full"},
    {"-diff", 13, 1, 1, 0, "-diff"},
    {"-incr", 10, 1, 1, kIncr, "-incr"},
    {nullptr, 0, 0, 0, 0, nullptr},
};

#define TARN_BAR_PATHS(lower)                                           \
  "barlists/" lower, "barschedules/" lower, "dltemplates/lists/" lower, \
      "dltemplates/schedules/" lower

}  // namespace

const CmnIntegType cmnSuppVEKInteg[] = {
    {"VEK", 0, -1, -1, 2, 30, 31, kVekTypes, -1, "datalists", "schedules",
     "dltemplates/lists/datalist", "dltemplates/schedules/datalist"},
    {"Oracle8", 34, -1, -1, 35, 51, 61, kOracle8Types, 2, TARN_BAR_PATHS("oracle8")},
    {"Informix", 10, -1, -1, 11, 53, 63, kInformixTypes, 6, TARN_BAR_PATHS("informix")},
    {"Sybase", 15, -1, -1, 16, 52, 62, kSybaseTypes, 7, TARN_BAR_PATHS("sybase")},
    {"MSSQL", 17, -1, -1, 18, 57, 67, kMssqlTypes, 3, TARN_BAR_PATHS("mssql")},
    {"MSSPS", 165, -1, -1, 166, 167, 168, kFullIncrTypes, 15, TARN_BAR_PATHS("mssps")},
    {"MSESE", 44, -1, -1, 45, 59, 74, kFullIncrTypes, 8, TARN_BAR_PATHS("msese")},
    {"Lotus", 90, -1, -1, 94, 92, 93, kFullIncrTypes, 9, TARN_BAR_PATHS("lotus")},
    {"DB2", 91, -1, -1, 95, 96, 97, kDb2Types, 10, TARN_BAR_PATHS("db2")},
    {"SAPDB", 120, -1, -1, 122, 121, 123, kSapdbTypes, 11, TARN_BAR_PATHS("sapdb")},
    {"MSVSSW", 130, -1, -1, 131, 132, 133, kMsvsswTypes, 13, TARN_BAR_PATHS("msvssw")},
    {"SAP", 5, -1, -1, 7, 54, 64, kSapTypes, 0, TARN_BAR_PATHS("sap")},
    {"Mailbox", 160, -1, -1, 161, 162, 163, kFullIncrTypes, 14, TARN_BAR_PATHS("mailbox")},
    {"VMware", 220, -1, -1, 221, 222, 223, kVmwareTypes, 17, TARN_BAR_PATHS("vmware")},
    {"Stream", 8, -1, -1, 9, 56, 66, nullptr, -2, TARN_BAR_PATHS("stream")},
    {"sch_copy", -1, 200, -1, 202, -1, -1, nullptr, -2, nullptr, "copylists/scheduled/schedules",
     nullptr, nullptr},
    {"postbkp_copy", -1, 201, -1, 202, -1, -1, nullptr, 0, nullptr, nullptr, nullptr, nullptr},
    {"sch_cons", -1, -1, 210, 212, -1, -1, nullptr, -2, nullptr,
     "consolidationlists/scheduled/schedules", nullptr, nullptr},
    {"postbkp_cons", -1, -1, 211, 212, -1, -1, nullptr, 0, nullptr, nullptr, nullptr, nullptr},
    {"sch_verification", -1, 205, -1, 207, -1, -1, nullptr, -2, nullptr,
     "verificationlists/scheduled/schedules", nullptr, nullptr},
    {"postbkp_verification", -1, 206, -1, 207, -1, -1, nullptr, 0, nullptr, nullptr, nullptr,
     nullptr},
    {nullptr, -1, -1, -1, -1, -1, -1, nullptr, 0, nullptr, nullptr, nullptr, nullptr},
};

#undef TARN_BAR_PATHS

namespace {

bool ForbiddenInItemName(unsigned char c) {
  return (c >= 1 && c <= 31) || std::strchr("/\\*?\">|<", c) != nullptr;
}

// Item code of `row` for `kind`; nullopt-like -2 for an unknown kind.
int ItemCodeFor(const CmnIntegType& row, std::string_view kind) {
  if (kind == "datalist") return row.dataList;
  if (kind == "schedule") return row.schedule;
  if (kind == "template") return row.templ;
  if (kind == "tempschedule") return row.templSchedule;
  if (kind == "copylist") return row.copyList;
  if (kind == "conslist") return row.consList;
  return -2;
}

const char* WithoutDash(const char* text) {
  return text[0] == '-' ? text + 1 : text;
}

const CmnBackupType* FindInTable(const CmnBackupType* table, const char* option) {
  for (const CmnBackupType* entry = table; entry->option != nullptr; ++entry) {
    if (entry->name != nullptr && strcasecmp(WithoutDash(entry->name), option) == 0) return entry;
  }
  return nullptr;
}

}  // namespace

int CmnValidItemName(const char* name) {
  static const char kFn[] = "CmnValidItemName";
  if (name == nullptr || name[0] == '\0') {
    ErhMarkM(ERH_INVALID_NAME, 0, kFn, kErhNormal, rcsId, kItemNameEmpty);
    return -1;
  }
  for (const char* p = name; *p != '\0'; ++p) {
    if (ForbiddenInItemName(static_cast<unsigned char>(*p))) {
      ErhMarkM(ERH_INVALID_NAME, 0, kFn, kErhNormal, rcsId, kItemNameForbidden);
      return -1;
    }
  }
  return 0;
}

int CmnItemFromTname(int* code, char* name, const char* kind, const char* text) {
  static const char kFn[] = "CmnItemFromTname";
  if (code != nullptr) *code = -1;
  if (name != nullptr) name[0] = '\0';
  auto fail = [] {
    ErhMark(ERH_INVALID_NAME, 0, kFn, kErhNormal);
    return -1;
  };
  if (code == nullptr || name == nullptr || kind == nullptr || text == nullptr) return fail();
  const char* blank = std::strchr(text, ' ');
  if (blank == nullptr) return fail();
  const std::string_view typeName(text, static_cast<size_t>(blank - text));
  const CmnIntegType* row = nullptr;
  for (const CmnIntegType* r = cmnSuppVEKInteg; r->name != nullptr; ++r) {
    if (typeName.size() == std::strlen(r->name) &&
        strncasecmp(r->name, text, typeName.size()) == 0) {
      row = r;
      break;
    }
  }
  if (row == nullptr) return fail();
  const int itemCode = ItemCodeFor(*row, kind);
  if (itemCode < 0) return fail();

  const char* start = blank + 1;
  const size_t length = std::strcspn(start, "\n");
  if (length > kCmnItemNameMax) return fail();
  char candidate[kCmnItemNameMax + 1];
  std::memcpy(candidate, start, length);
  candidate[length] = '\0';
  if (CmnValidItemName(candidate) != 0) return fail();
  std::memcpy(name, candidate, length + 1);
  *code = itemCode;
  return 0;
}

int CmnValidSingleFile(int type) {
  static const char kFn[] = "CmnValidSingleFile";
  switch (type) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 5:
    case 6:
    case 8:
    case 9:
    case 11:
    case 12:
    case 26:
    case 27:
    case 28: return 0;
    default:
      if (type >= 15 && type <= 24) return 0;
      ErhMark(ERH_CSA_ITEM, 0, kFn, kErhMajor);
      return -1;
  }
}

int CmnValidGroup(int group) {
  static const char kFn[] = "CmnValidGroup";
  struct Span {
    int low;
    int high;
  };
  static constexpr Span kValid[] = {
      {0, 0},     {2, 2},     {4, 7},     {10, 20},   {30, 35},   {38, 69},   {74, 74},
      {80, 80},   {90, 97},   {99, 103},  {105, 123}, {130, 133}, {140, 141}, {150, 152},
      {155, 158}, {160, 163}, {165, 168}, {170, 173}, {175, 175}, {180, 183}, {190, 191},
      {200, 202}, {205, 207}, {210, 212}, {220, 223},
  };
  for (const Span& span : kValid) {
    if (group >= span.low && group <= span.high) return 0;
  }
  ErhMark(ERH_CSA_ITEM, 0, kFn, kErhNormal);
  return -1;
}

const CmnIntegType* CmnGetIntegType(const char* name) {
  if (name == nullptr || name[0] == '\0') return nullptr;
  for (const CmnIntegType* row = cmnSuppVEKInteg; row->name != nullptr; ++row) {
    if (strcasecmp(row->name, name) == 0) return row;
  }
  return nullptr;
}

const CmnIntegType* CmnGetIntegTypes() {
  return cmnSuppVEKInteg;
}

const CmnBackupType* CmnGetIntegBackupType(const CmnIntegType* row, const char* option) {
  if (option == nullptr) return nullptr;
  const char* wanted = WithoutDash(option);
  if (row != nullptr)
    return row->backupTypes != nullptr ? FindInTable(row->backupTypes, wanted) : nullptr;
  for (const CmnIntegType* r = cmnSuppVEKInteg; r->name != nullptr; ++r) {
    if (r->backupTypes == nullptr || r->backupTypes[0].name == nullptr) continue;
    if (const CmnBackupType* found = FindInTable(r->backupTypes, wanted)) return found;
  }
  return nullptr;
}

const char* CmnGetIntegBackupTypeStr(const CmnIntegType* row, int code) {
  if (row == nullptr || row->backupTypes == nullptr) return nullptr;
  for (const CmnBackupType* entry = row->backupTypes; entry->option != nullptr; ++entry) {
    if (entry->code == code) return entry->name;
  }
  return nullptr;
}
