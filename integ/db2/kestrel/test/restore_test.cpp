// Restores the agent runs through the stand-in session manager: the latest
// and a named session of a whole database, and each restored partition
// checksum-identical to the state that was backed up.
#include "kestrel_fixture.h"

TARN_RCSID("integ/db2/kestrel/test/restore_test.cpp");

namespace {

using Checksums = std::vector<std::uint64_t>;

class KestrelRestoreTest : public KestrelTest {
 protected:
  Checksums Sums(const std::string& database = kDatabase) const {
    Checksums sums;
    for (int node : {0, 1, 2})
      sums.push_back(db2_.store().ContentChecksum(kInstance, database, node));
    return sums;
  }
  void Fill(char base) const {
    for (int node : {0, 1, 2})
      db2_.store().WriteData(kInstance, kDatabase, node, "USERSPACE1",
                             std::string(20000, static_cast<char>(base + node)));
  }
  // A backup of the whole database; its session key ("YYYY/MM/DD-N").
  std::string Backup() {
    const AgentRun r = Agent("-backup -dbname SAMPLE -conc 2");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return Field(r.record, "key");
  }
  int Restores() const {
    int n = 0;
    for (const Call& c : Calls(tarn::test::ReadFile(db2_.store().CallsLog())))
      n += c.call == "sqlurestore-result" && c.text.rfind("sqlcode=0", 0) == 0;
    return n;
  }
};

TEST_F(KestrelRestoreTest, LatestAndNamedSessionsComeBackIdentical) {
  ASSERT_NO_FATAL_FAILURE(Start(12, 24));
  Fill('a');
  const Checksums first = Sums();
  const std::string firstKey = Backup();
  Fill('k');
  const Checksums second = Sums();
  ASSERT_NE(first, second);
  const std::string secondKey = Backup();
  ASSERT_FALSE(firstKey.empty());
  ASSERT_NE(firstKey, secondKey);
  Fill('u');

  struct Case {
    const char* what;
    std::string line;
    const Checksums& expected;
  };
  // "YYYY/MM/DD-N" on the option line is the agent's "YYYY/MM/DD NNNN".
  const Case cases[] = {
      {"latest session", "-restore -dbname SAMPLE", second},
      {"named earlier session", "-restore -dbname SAMPLE -sessionID " + firstKey, first},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(db2_.store().CallsLog());
    const AgentRun r = Agent(c.line);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(Restores(), 3) << tarn::test::ReadFile(db2_.store().CallsLog());
    EXPECT_EQ(Sums(), c.expected);
  }
}

TEST_F(KestrelRestoreTest, ARestoreWithoutImageOrInstanceFailsWithAReport) {
  ASSERT_NO_FATAL_FAILURE(Start(0, 6));
  struct Case {
    const char* what;
    std::string line;
    const char* says;
  };
  const Case cases[] = {
      {"no backup at all", "-restore -dbname SAMPLE", "No backup of database SAMPLE"},
      {"named session without image", "-restore -dbname SAMPLE -sessionID 2001/01/01-7",
       "SAMPLE"},
  };
  const Checksums before = Sums();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const AgentRun r = Agent(c.line);
    EXPECT_NE(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
    EXPECT_EQ(Sums(), before);
  }
  db2_.Fault("sqleatin_api", -1032);
  const AgentRun stopped = Agent("-restore -dbname SAMPLE");
  EXPECT_NE(stopped.exitCode, 0) << stopped.output;
  EXPECT_NE(stopped.output.find("SQL1032N"), std::string::npos) << stopped.output;
}

}  // namespace
