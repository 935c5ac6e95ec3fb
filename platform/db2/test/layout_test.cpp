// The stand-in's DB2 structures keep DB2's layout: programs built against
// their own declarations of them pass these records to the client library.
#include <gtest/gtest.h>

#include <cstddef>

#include "db2/sqladmin.h"

namespace {

TEST(StandInLayout, RecordsKeepDb2Offsets) {
  struct Field {
    const char* what;
    std::size_t actual, expected;
  };
  const Field fields[] = {
      {"sqlca", sizeof(sqlca), 136},
      {"sqlca.sqlstate", offsetof(sqlca, sqlstate), 131},
      {"sqledinfo", sizeof(sqledinfo), 1588},
      {"sqledinfo.type", offsetof(sqledinfo, type), 300},
      {"SQLB_TBSPQRY_DATA", sizeof(SQLB_TBSPQRY_DATA), 176},
      {"SQLB_TBSPQRY_DATA.name", offsetof(SQLB_TBSPQRY_DATA, name), 16},
      {"SQLB_TBSCONTQRY_DATA", sizeof(SQLB_TBSCONTQRY_DATA), 292},
      {"SQLB_TBSCONTQRY_DATA.ok", offsetof(SQLB_TBSCONTQRY_DATA, ok), 288},
      {"sqlu_vendor", sizeof(sqlu_vendor), 520},
      {"sqlu_media_list.target", offsetof(sqlu_media_list, target), 8},
      {"rfwd_input", sizeof(rfwd_input), 136},
      {"rfwd_input.NumNodeInfo", offsetof(rfwd_input, NumNodeInfo), 104},
      {"sqlurf_info", sizeof(sqlurf_info), 76},
  };
  for (const Field& f : fields) EXPECT_EQ(f.actual, f.expected) << f.what;
}

}  // namespace
