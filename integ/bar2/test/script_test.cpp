// Pre- and post-execution scripts: where the command is looked for, how its
// name and arguments are split, names that leave the bin directory, and
// the results the caller sees.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "bar2/bar2.h"
#include "cmn/ctx.h"
#include "cmn/paths.h"
#include "tarn_test.h"

namespace {

class ScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    // A context of its own: the script runner needs no cell server.
    static const PtdDescriptor descriptor = {"BarPtd", nullptr, sizeof(BarContext),
                                             nullptr,  nullptr, nullptr};
    ctx_ = static_cast<BarContext*>(CmnCreateContextEx(&descriptor, CMN_SLOT_BAR));
    ASSERT_NE(ctx_, nullptr);
    ctx_->mode = BAR_MODE_IDLE;
    out_ = root_.at("/var/opt/tarn/tmp/args");
  }
  void TearDown() override { CmnFreeContextEx(pcmnMasterContext, CMN_SLOT_BAR); }

  // A script in bin that writes its arguments, one a line, and exits with
  // `status`.
  void Install(const std::string& name, int status = 0) {
    const std::string path = root_.at("/opt/tarn/bin/" + name);
    root_.write("/opt/tarn/bin/" + name, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" +
                                             out_ + "'\nexit " + std::to_string(status) + "\n");
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }
  std::string Args() const { return root_.read(out_.substr(root_.path().size())); }

  tarn::test::TempRoot root_;
  BarContext* ctx_ = nullptr;
  std::string out_;
};

TEST_F(ScriptTest, PlainNameRunsFromBinWithItsArguments) {
  ASSERT_NO_FATAL_FAILURE(Install("pre.sh"));
  EXPECT_EQ(VEK_ExecuteScript(ctx_, " \tpre.sh one 'two words'", 1, nullptr, "secret", 30), 0);
  EXPECT_EQ(Args(), "one\ntwo words\n");
}

TEST_F(ScriptTest, QuotedNameIsOneWordJoinedWithASeparator) {
  ASSERT_NO_FATAL_FAILURE(Install("my script"));
  EXPECT_EQ(VEK_ExecuteScript(nullptr, "'my script' arg1", 0, nullptr, nullptr, -5), 0);
  EXPECT_EQ(Args(), "arg1\n");
  ASSERT_NO_FATAL_FAILURE(Install("solo"));
  EXPECT_EQ(VEK_ExecuteScript(ctx_, "'solo", 0, nullptr, nullptr, 0), 0);
  EXPECT_EQ(Args(), "");
}

TEST_F(ScriptTest, NamesLeavingBinAreRefused) {
  root_.write("/opt/tarn/evil.sh", "#!/bin/sh\ntouch '" + out_ + "'\n");
  chmod(root_.at("/opt/tarn/evil.sh").c_str(), 0755);
  for (const char* script : {"../evil.sh", "'../evil.sh'", "sub/../../evil.sh", "..", "''"}) {
    EXPECT_EQ(VEK_ExecuteScript(ctx_, script, 1, nullptr, nullptr, 0), BAR_EPARAM) << script;
  }
  EXPECT_EQ(Args(), "");
  EXPECT_EQ(VEK_GetErrno(ctx_), BAR_EPARAM);
}

TEST_F(ScriptTest, ResultsOfTheRun) {
  EXPECT_EQ(VEK_ExecuteScript(ctx_, nullptr, 1, nullptr, nullptr, 0), 0);
  EXPECT_EQ(VEK_ExecuteScript(ctx_, "", 1, nullptr, nullptr, 0), 0);
  ASSERT_NO_FATAL_FAILURE(Install("fails.sh", 3));
  EXPECT_EQ(VEK_ExecuteScript(ctx_, "fails.sh", 0, nullptr, nullptr, 0), -1);
  EXPECT_LT(VEK_ExecuteScript(ctx_, "missing.sh", 1, nullptr, nullptr, 0), -1);
}

}  // namespace
