// The restore side's readings of catalogue texts: the stored data tree, image
// object names and session ids.
#include <string>
#include <vector>

#include "kestrel/datatree.h"
#include "kestrel/sessions.h"
#include "tarn_test.h"

TARN_RCSID("integ/db2/kestrel/test/sessions_test.cpp");

namespace {

TEST(StoredTree, OnlyWholeEntriesAfterTheExternalTreeCount) {
  struct Case {
    const char* what;
    std::string options;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {"entries with separators",
       "-backupId \"x\" external = {DBtree=/i/SAMPLE/\x01/i/SAMPLE/TS1/\x01};",
       {"/i/SAMPLE/", "/i/SAMPLE/TS1/"}},
      {"a piece without separator is no entry", "external = {DBtree=/i/SAMPLE/\x01/i/SAM};",
       {"/i/SAMPLE/"}},
      {"no external options", "DBtree=/i/SAMPLE/\x01", {}},
      {"no tree", "external = {};", {}},
      {"empty text", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(StoredTreeEntries(c.options), c.entries);
  }
}

TEST(ImageNames, PiecesOfTheMountPoint) {
  struct Case {
    const char* text;
    bool ok;
    ImageName name;
  };
  const Case cases[] = {
      {"db2inst1:SAMPLE#2:20261209101112:0:1", true, {"db2inst1", "SAMPLE", 2, "20261209101112", 0}},
      {"/db2inst1:SAMPLE#0:20261209101112:3:0", true, {"db2inst1", "SAMPLE", 0, "20261209101112", 3}},
      {"db2inst1:SAMPLE:20261209101112:", true, {"db2inst1", "SAMPLE", -1, "20261209101112", 0}},
      {"db2inst1:SAMPLE#x:20261209101112:0:1", false, {}},
      {"db2inst1:SAMPLE#-1:20261209101112:0:1", false, {}},
      {"db2inst1:SAMPLE#1:20261209101112:z:1", false, {}},
      {"db2inst1:SAMPLE", false, {}},
      {":SAMPLE#1:1:0:1", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ImageName name;
    ASSERT_EQ(ParseImageName(c.text, &name), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(name.instance, c.name.instance);
    EXPECT_EQ(name.database, c.name.database);
    EXPECT_EQ(name.node, c.name.node);
    EXPECT_EQ(name.timestamp, c.name.timestamp);
    EXPECT_EQ(name.type, c.name.type);
  }
}

TEST(SessionIds, CatalogueKeysTakeTheAgentsForm) {
  const std::pair<std::string, std::string> cases[] = {
      {"2026/12/09-1", "2026/12/09 0001"},
      {"2026/12/09-12345", "2026/12/09 12345"},
      {"2026/12/09 0001", "2026/12/09 0001"},
      {"2026/12/09-x", "2026/12/09-x"},
      {"2026/12/09-", "2026/12/09-"},
      {"2026/12/09-999999999", "2026/12/09-999999999"},
  };
  for (const auto& [id, agent] : cases) EXPECT_EQ(AgentSessionId(id), agent) << id;
}

}  // namespace
