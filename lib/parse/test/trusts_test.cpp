// Trusted hosts: groups holding a host, the text without a host, comments,
// the host itself, and the file in the server configuration directory.
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "parse/ipspec.h"
#include "tarn_test.h"

namespace {

std::vector<std::string> Items(const ArgvVec& argv) {
  return {argv.items, argv.items + argv.count};
}

class Trusts : public ::testing::Test {
 protected:
  void TearDown() override { ArgvFree(&argv_); }
  std::vector<std::string> Parse(const char* text, const char* host, int flags) {
    ArgvFree(&argv_);
    result_ = ParseTrustsBuffer(text, host, flags, &argv_);
    return Items(argv_);
  }
  ArgvVec argv_{};
  int result_ = -1;
};

constexpr char kGroups[] =
    "# trusted groups\n"
    "{ alpha beta gamma } # the first\n"
    "loose words are ignored\n"
    "{delta\talpha}{beta epsilon}\n";

TEST_F(Trusts, EveryGroupHoldingTheHostGivesItsOtherMembers) {
  EXPECT_EQ(Parse(kGroups, "alpha", 0), (std::vector<std::string>{"beta", "gamma", "delta"}));
  EXPECT_EQ(result_, 1);
  EXPECT_EQ(Parse(kGroups, "beta", kTrustsAddSelf),
            (std::vector<std::string>{"beta", "alpha", "gamma", "epsilon"}));
  EXPECT_TRUE(Parse(kGroups, "loose", 0).empty());
  EXPECT_EQ(result_, 0);
  EXPECT_TRUE(Parse(kGroups, "Alpha", 0).empty());  // exact comparison
  EXPECT_EQ(Parse(kGroups, "nobody", kTrustsAddSelf), std::vector<std::string>{"nobody"});
  EXPECT_EQ(result_, 1);
}

TEST_F(Trusts, WithoutAHostEveryWordUpToTheFirstClosingBrace) {
  EXPECT_EQ(Parse(kGroups, nullptr, kTrustsAddSelf),
            (std::vector<std::string>{"alpha", "beta", "gamma"}));
  EXPECT_EQ(Parse("one two # three\nfour", "", 0),
            (std::vector<std::string>{"one", "two", "four"}));
}

TEST_F(Trusts, UnclosedGroupsAndLongWords) {
  EXPECT_TRUE(Parse("{ alpha beta", "alpha", 0).empty());
  EXPECT_EQ(Parse("{ alpha stale { alpha fresh }", "alpha", 0), std::vector<std::string>{"fresh"});
  const std::string longWord(300, 'w');
  const std::string text = "{ alpha " + longWord + " }";
  EXPECT_EQ(Parse(text.c_str(), "alpha", 0), std::vector<std::string>{longWord.substr(0, 255)});
}

TEST_F(Trusts, FileInTheServerConfigurationDirectory) {
  tarn::test::TempRoot root;
  CmnPathsInit(root.path().c_str());
  root.write("/etc/opt/tarn/server/trusts", kGroups);
  EXPECT_EQ(ParseTrustsFile("trusts", "gamma", 0, &argv_), 1);
  EXPECT_EQ(Items(argv_), (std::vector<std::string>{"alpha", "beta"}));
  ArgvFree(&argv_);

  EXPECT_EQ(ParseTrustsFile("missing", "gamma", 0, &argv_), 0);
  EXPECT_EQ(ErhErrno(), 0);
  EXPECT_EQ(ParseTrustsFile("missing", "gamma", kTrustsAddSelf, &argv_), 1);
  EXPECT_EQ(Items(argv_), std::vector<std::string>{"gamma"});
}

}  // namespace
