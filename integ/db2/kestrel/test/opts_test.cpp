// The agent's command line, option line and data tree: what each line gives,
// what is refused, and how items gather into databases.
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "kestrel/agent.h"
#include "kestrel/datatree.h"
#include "tarn_test.h"
#include "xtra/passwd.h"

TARN_RCSID("integ/db2/kestrel/test/opts_test.cpp");

namespace {

void FreeText(char* p) {
  safe_free(p, TARN_HERE);
}

struct LineCase {
  const char* name;
  const char* line;
  int rc;
  std::vector<std::string> items;  // "kind database tablespace log session online newname"
};

std::string Show(const AgentItem& i) {
  return std::to_string(i.kind) + " " + i.database + " " + i.tablespace + " " + i.logFile + " " +
         i.sessionId + " " + std::to_string(i.online) + " " + i.newName;
}

TEST(OptLine, ItemsAndAttributes) {
  const LineCase cases[] = {
      {"database with session and offline",
       "-dbname sample -sessionID 2008/10/11-5 -offline",
       kOptOk,
       {"0 SAMPLE   2008/10/11 0005 0 "}},
      {"log file keeps its colons",
       "-logname SAMPLE*/db2/log:a/S0000001.LOG",
       kOptOk,
       {"2 SAMPLE  /db2/log:a/S0000001.LOG  1 "}},
      {"table space",
       "-tsname SAMPLE*USERSPACE1 -newdbname COPY",
       kOptOk,
       {"1 SAMPLE USERSPACE1   1 COPY"}},
      {"attribute outside an item is skipped", "-offline -dbname a", kOptOk, {"0 A    1 "}},
      {"missing name stops the parse", "-dbname x -dbname -backup", kOptFailed, {"0 X    1 "}},
      {"table space without its star", "-tsname SAMPLE USERSPACE1", kOptFailed, {}},
      {"session id that is no session id",
       "-dbname a -sessionID 2008/10/11 -offline",
       kOptFailed,
       {"0 A    1 "}},
      {"session number too large", "-dbname a -sessionID d-123456789", kOptFailed, {"0 A    1 "}},
  };
  for (const LineCase& c : cases) {
    AgentOptions o;
    AgentItems items;
    EXPECT_EQ(ParseOptLine(c.line, &o, &items), c.rc) << c.name;
    std::vector<std::string> got;
    for (const AgentItem& i : items) got.push_back(Show(i));
    EXPECT_EQ(got, c.items) << c.name;
  }
}

TEST(OptLine, OptionsAndTheirBounds) {
  struct Case {
    const char* line;
    int rc;
    int conc, devices, action;
  };
  const Case cases[] = {
      {"-continue -backup -conc 3 -dev_number 2", kOptOk, 3, 2, kActionBackup},
      {"-restore -dev_number 0", kOptOk, 0, 1, kActionRestore},
      {"-backup -conc -1", kOptFailed, 0, 1, kActionBackup},
      {"-backup -conc 1025", kOptFailed, 0, 1, kActionBackup},
      {"-backup -dev_number 2x", kOptFailed, 0, 1, kActionBackup},
      {"-backup -conc", kOptFailed, 0, 1, kActionBackup},
      {"-Backup -backup:-conc:4", kOptOk, 4, 1, kActionBackup},
  };
  for (const Case& c : cases) {
    AgentOptions o;
    AgentItems items;
    EXPECT_EQ(ParseOptLine(c.line, &o, &items), c.rc) << c.line;
    EXPECT_EQ(o.concurrency, c.conc) << c.line;
    EXPECT_EQ(o.devices, c.devices) << c.line;
    EXPECT_EQ(o.action, c.action) << c.line;
  }
}

TEST(OptLine, TextValuesThatDoNotFitAreRefused) {
  const std::string time27(27, '1'), time28(28, '1');
  const std::string inst62(62, 'i'), inst63(63, 'i');
  struct Case {
    std::string line;
    int rc;
  };
  const Case cases[] = {
      {"-time " + time27, kOptOk},
      {"-time " + time28, kOptFailed},
      {"-restorefrominstance " + inst62, kOptOk},
      {"-restorefrominstance " + inst63, kOptFailed},
      {"-restorefromhost " + std::string(65, 'h'), kOptFailed},
      {std::string("-dbname a\0b", 11), kOptFailed},
  };
  for (const Case& c : cases) {
    AgentOptions o;
    AgentItems items;
    EXPECT_EQ(ParseOptLine(c.line, &o, &items), c.rc) << c.line;
    EXPECT_LE(o.stopTime.size(), kStopTimeMax);
  }
}

TEST(OptLine, DebugWordsPasswordAndScripts) {
  AgentOptions o;
  AgentItems items;
  tarn::test::HeapText<FreeText> encoded(EncodePassword("s3cret"));
  ASSERT_EQ(ParseOptLine("-debug 1-200 post -pre a.sh -passwd " + encoded.str() + " -user db2inst1",
                         &o, &items),
            kOptOk);
  EXPECT_TRUE(o.debugGiven);
  EXPECT_EQ(o.debugRanges, "1-200");
  EXPECT_EQ(o.debugPostfix, "post");
  EXPECT_EQ(o.debugSelect, "");
  EXPECT_EQ(o.preScript, "a.sh");
  EXPECT_EQ(o.user, "db2inst1");
  EXPECT_EQ(o.password, "s3cret");
}

TEST(CommandLine, BackupTypeAndVersion) {
  struct Case {
    std::vector<const char*> argv;
    int rc, type;
  };
  const Case cases[] = {
      {{"kestrel"}, 0, kBackupFull},
      {{"kestrel", "-incr"}, 0, kBackupIncremental},
      {{"kestrel", "-delta", "-incr"}, 0, kBackupDelta},
      {{"kestrel", "-ver"}, 1, kBackupFull},
      {{"kestrel", "-debug", "1-99", "pf"}, 0, kBackupFull},
  };
  for (const Case& c : cases) {
    AgentOptions o;
    EXPECT_EQ(ParseCommandLine(static_cast<int>(c.argv.size()), c.argv.data(), &o), c.rc);
    EXPECT_EQ(o.backupType, c.type);
  }
}

TEST(OptLine, ReadsOneLineWithinItsBuffer) {
  struct Case {
    std::string input;
    int size;
    int rc;
    std::string line;
  };
  const Case cases[] = {
      {"-backup -dbname a\nrest", 100, kOptOk, "-backup -dbname a"},
      {"-backup", 7, kOptOk, "-backup"},
      {"", 10, kOptNoInput, ""},
      {"-backup -dbname a\n", 8, kOptOverflow, "-backup "},
  };
  for (const Case& c : cases) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], c.input.data(), c.input.size()),
              static_cast<ssize_t>(c.input.size()));
    ::close(fds[1]);
    std::string line;
    EXPECT_EQ(ReadOptLine(fds[0], c.size, &line), c.rc) << c.input;
    EXPECT_EQ(line, c.line) << c.input;
    ::close(fds[0]);
  }
}

TEST(OptLine, BufferSizeIsBounded) {
  struct Case {
    const char* value;
    int size;
  };
  const Case cases[] = {{"50000", kOptLineDefault},
                        {"200000", 200000},
                        {"2000000000", kOptLineMax},
                        {"-5", kOptLineDefault}};
  for (const Case& c : cases) {
    setenv("VEKIPCBUFSIZE", c.value, 1);
    EXPECT_EQ(OptLineBufferSize(), c.size) << c.value;
  }
  unsetenv("VEKIPCBUFSIZE");
  EXPECT_EQ(OptLineBufferSize(), kOptLineDefault);
}

TEST(DataTree, ItemsGatherIntoDatabases) {
  AgentOptions o;
  AgentItems items;
  ASSERT_EQ(ParseOptLine("-tsname SAMPLE*TS1 -dbname sample -tsname OTHER*A -tsname other*B "
                         "-tsname other*A -logname SAMPLE*S1.LOG -dbname third -offline",
                         &o, &items),
            kOptOk);
  DataTree tree;
  ASSERT_EQ(CreateDataTree("host", "db2inst1", kActionBackup, items, &tree), 0);
  ASSERT_EQ(tree.size(), 3u);
  EXPECT_EQ(tree[0].name, "SAMPLE");
  EXPECT_FALSE(tree[0].hasTablespaces);
  EXPECT_EQ(tree[1].name, "THIRD");
  EXPECT_EQ(tree[1].online, 0);
  EXPECT_EQ(tree[2].name, "OTHER");
  EXPECT_EQ(tree[2].tablespaces, (std::vector<std::string>{"A", "B"}));
}

TEST(DataTree, CatalogPartitionGoesFirst) {
  struct Case {
    std::vector<int> nodes;
    int catalog;
    std::vector<int> order;
    int catalogAfter;
  };
  const Case cases[] = {
      {{0, 1, 2}, 2, {2, 1, 0}, 2},
      {{0, 1, 2}, 0, {0, 1, 2}, 0},
      {{1, 2}, 3, {1, 2}, -1},
      {{}, 0, {}, -1},
  };
  for (const Case& c : cases) {
    Db2Database db;
    db.nodes = c.nodes;
    db.catalogNode = c.catalog;
    PlaceCatalogFirst(&db);
    EXPECT_EQ(db.nodes, c.order);
    EXPECT_EQ(db.catalogNode, c.catalogAfter);
  }
}

}  // namespace
