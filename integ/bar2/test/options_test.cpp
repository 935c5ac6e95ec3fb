// Option words from VEKOPTS and MSG_CONNECT: the splitter's quoting and
// limits, the keyword table's abbreviations and negations, arguments, and
// the options that act on the process at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bar2/bar2.h"
#include "bar2/baropt.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/strmsg.h"
#include "dacmn/dacmn.h"
#include "tarn_test.h"

namespace {

std::vector<std::string> Split(const char* text) {
  ArgvVec list{};
  EXPECT_EQ(ArgvInit(&list, 20), 0);
  const int added = ArgvReadEnv(&list, text);
  std::vector<std::string> words(list.items, list.items + list.count);
  EXPECT_EQ(added, list.count);
  ArgvFree(&list);
  return words;
}

std::vector<std::string> reports;
void CaptureReport(const char* text) {
  char* expanded = NlsFormatPackedMessage(text);
  reports.emplace_back(expanded != nullptr ? expanded : text);
  safe_free(expanded, "options_test", 0);
}

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CmnPathsInit(root_.path().c_str());
    if (!CmnIsInitialized()) {
      ASSERT_EQ(CmnInit("opttest", nullptr, nullptr, nullptr, nullptr, 0), 0);
    }
    ErhSetHooks(&saved_, CaptureReport, CaptureReport);
    reports.clear();
    VEK_Global.cmHost[0] = '\0';
    DaSetReconnectID(0);
    DaSetReconnectHost(nullptr);
    DaSetReconnectPort(0);
  }
  void TearDown() override {
    ErhSetHooks(nullptr, saved_.report, saved_.console);
    OptFreeOpts(&opts_);
  }
  void Parse(std::vector<std::string> words) {
    words_ = std::move(words);
    std::vector<char*> ptrs;
    for (std::string& w : words_) ptrs.push_back(w.data());
    OptParseOpts(static_cast<int>(ptrs.size()), ptrs.data(), &opts_);
  }

  tarn::test::TempRoot root_;
  ErhHooks saved_{};
  IntegOptions opts_{};
  std::vector<std::string> words_;
};

TEST(ArgvReadEnvTest, QuotesEscapesAndComments) {
  EXPECT_EQ(Split("  -ma host 7000\t-sess \"2026/12/09-1\"  "),
            (std::vector<std::string>{"-ma", "host", "7000", "-sess", "2026/12/09-1"}));
  EXPECT_EQ(Split("-objname 'a b  c' -log"),
            (std::vector<std::string>{"-objname", "a b  c", "-log"}));
  // Either quote ends a quoted word; a newline ends it too.
  EXPECT_EQ(Split("\"one'two\" \"open\nnext"),
            (std::vector<std::string>{"one", "two\"", "open", "next"}));
  // A backslash before a quote or newline is dropped; any other stays.
  EXPECT_EQ(Split(R"("a\"b" "c\d" "e\)"
                  "\nf\""),
            (std::vector<std::string>{"a\"b", "c\\d", "e\nf"}));
  EXPECT_EQ(Split("-log # -compress -sparse\n-xsm #\n#whole line\n-read"),
            (std::vector<std::string>{"-log", "-xsm", "-read"}));
  EXPECT_EQ(Split("\"\" '' -x"), (std::vector<std::string>{"-x"}));
  EXPECT_TRUE(Split("").empty());
}

TEST(ArgvReadEnvTest, LongWordsAreBounded) {
  const std::string plain(1023 + 5, 'p');
  EXPECT_EQ(Split(plain.c_str()), (std::vector<std::string>{plain.substr(0, 1023), "ppppp"}));
  const std::string exact(1023, 'e');
  EXPECT_EQ(Split((exact + " -log").c_str()), (std::vector<std::string>{exact, "-log"}));
  // A quoted word is cut: its tail never becomes an option of its own.
  const std::string quoted = "\"" + std::string(1023, 'q') + "-server evil\" -log";
  EXPECT_EQ(Split(quoted.c_str()), (std::vector<std::string>{std::string(1023, 'q'), "-log"}));
}

TEST_F(OptionsTest, AbbreviationsNegationAndUnknownWords) {
  Parse({"-appt", "DB2", "-ap", "skipped", "-appname", "inst1", "-SETN", "weekly", "-no_compress",
         "-compress", "-no_server", "host", "-bogus", "-prof", "-no_log"});
  EXPECT_STREQ(opts_.appType, "DB2");
  EXPECT_STREQ(opts_.appName, "inst1");
  EXPECT_STREQ(opts_.setName, "weekly");
  EXPECT_EQ(opts_.compress, 1);
  EXPECT_EQ(opts_.profile, 1);
  EXPECT_EQ(opts_.log, 0);
  // -no_server is no option: the cell-manager host stays empty.
  EXPECT_STREQ(VEK_Global.cmHost, "");
}

TEST_F(OptionsTest, ArgumentsAndTheirLimits) {
  const std::string longHost(100, 'h');
  Parse({"-ma",         longHost,  "9999",        "-daid", "12",
         "-access",     "3",       "-protection", "2",     "1799999999",
         "-report",     "-2",      "-load",       "0.25",  "-start",
         "99999999999", "-since",  "x",           "-sess", "12345678901234567890",
         "-output",     "/tmp/out"});
  EXPECT_EQ(std::string(opts_.maHost), longHost.substr(0, kOptHostMax));
  EXPECT_EQ(opts_.maPort, 9999);
  EXPECT_EQ(opts_.daId, 12);
  EXPECT_EQ(opts_.accsType, 3);
  EXPECT_EQ(opts_.accsValue, 0);  // missing second argument leaves it alone
  EXPECT_EQ(opts_.protType, 2);
  EXPECT_EQ(opts_.protValue, 1799999999);
  EXPECT_EQ(opts_.reportLevel, 0);  // "-2" reads as an option word, not a number
  EXPECT_DOUBLE_EQ(opts_.netLoad, 0.25);
  EXPECT_EQ(opts_.objStartTime, 2147483647);  // saturated, never wrapped
  EXPECT_EQ(opts_.objSinceTime, 0);
  EXPECT_STREQ(opts_.sessId, "1234567890123456");
  ASSERT_NE(opts_.output, nullptr);
  EXPECT_STREQ(opts_.output, "/tmp/out");
}

TEST_F(OptionsTest, DebugTakesUpToThreeWords) {
  Parse({"-debug", "1-200", "-log"});
  EXPECT_STREQ(opts_.dbgRanges, "1-200");
  EXPECT_EQ(opts_.dbgPostfix, nullptr);
  EXPECT_EQ(opts_.log, 1);
  const std::string postfix(2000, 'x');
  Parse({"-no_debug", "1-9", postfix, "host:a", "tail"});
  EXPECT_STREQ(opts_.dbgRanges, "1-9");
  ASSERT_NE(opts_.dbgPostfix, nullptr);
  EXPECT_EQ(std::string(opts_.dbgPostfix), postfix.substr(0, kOptDbgPostfixMax));
  EXPECT_STREQ(opts_.dbgSelect, "host:a");
}

TEST_F(OptionsTest, EncodeAndItsAlgorithm) {
  Parse({"-encode", "aes256"});
  EXPECT_EQ(opts_.encrAlgo, 3);
  EXPECT_EQ(opts_.encode, 0);
  Parse({"-encode", "-log"});
  EXPECT_EQ(opts_.encrAlgo, 0);
  EXPECT_EQ(opts_.encode, 1);
  Parse({"-encode", "aes256", "-encode", "des"});
  EXPECT_EQ(opts_.encrAlgo, 0);
  EXPECT_EQ(opts_.encode, 0);
  // The negated form with an algorithm turns encryption off and takes the
  // algorithm word with it.
  Parse({"-encode", "aes256", "-no_encode", "aes256"});
  EXPECT_EQ(opts_.encrAlgo, 0);
  EXPECT_EQ(opts_.encode, 0);
  Parse({"-encode", "-no_encode"});
  EXPECT_EQ(opts_.encode, 0);
}

TEST_F(OptionsTest, ReadSkipsWordsAndMirrorNeedsFive) {
  Parse({"-read", "a", "b", "c", "-sparse", "-mirror", "1", "2", "3", "4"});
  EXPECT_EQ(opts_.sparse, 1);
  EXPECT_EQ(opts_.mirror.count, 0);
  // Five words are taken whatever they begin with.
  Parse({"-mirror", "m1", "-x", "m3", "m4", "m5", "-xsm"});
  ASSERT_EQ(opts_.mirror.count, 5);
  EXPECT_STREQ(static_cast<const char*>(IVecGet(&opts_.mirror, 1)), "-x");
  EXPECT_STREQ(static_cast<const char*>(IVecGet(&opts_.mirror, 4)), "m5");
  EXPECT_EQ(opts_.xsm, 1);
}

TEST_F(OptionsTest, ProcessWideOptionsActAtOnce) {
  Parse({"-server", "cm.example.com", "-id", "41", "-lport", "sm.example.com", "5566"});
  EXPECT_STREQ(VEK_Global.cmHost, "cm.example.com");
  EXPECT_EQ(DacmnGetContext()->reconnectId, 41);
  EXPECT_STREQ(DaGetReconnectHost(), "sm.example.com");
  EXPECT_EQ(DaGetReconnectPort(), 5566);
  EXPECT_TRUE(reports.empty());
  // -daid without a number still passes the record's DA id on.
  DaSetReconnectID(0);
  Parse({"-daid", "-log"});
  EXPECT_EQ(DacmnGetContext()->reconnectId, 41);
}

TEST_F(OptionsTest, IncompleteLportIsReported) {
  Parse({"-lport", "sm.example.com", "-log"});
  EXPECT_STREQ(DaGetReconnectHost(), "");
  EXPECT_EQ(DaGetReconnectPort(), 0);
  EXPECT_EQ(opts_.log, 1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("The option \"lport\" needs a host and a port"), std::string::npos)
      << reports[0];
}

TEST_F(OptionsTest, EnvironmentAndMessageForms) {
  OptParseEnvOpts("-appt DB2 -objname 'my object'  # -log\n-sparse", &opts_);
  EXPECT_STREQ(opts_.appType, "DB2");
  EXPECT_STREQ(opts_.longObjName, "my object");
  EXPECT_EQ(opts_.log, 0);
  EXPECT_EQ(opts_.sparse, 1);
  OptParseEnvOpts(nullptr, &opts_);
  EXPECT_STREQ(opts_.appType, "DB2");

  StrMsg msg;
  StrMsgInitL(&msg);
  ASSERT_EQ(StrMsgStartExL(&msg, nullptr, 0, 45, 0), 0);
  ASSERT_EQ(StrMsgNAppendL(&msg, "-ma", "ma.host", "7001", "-debug", "1-50 x", nullptr), 0);
  ASSERT_EQ(StrParseStartL(&msg, StrMsgGetBufL(&msg)), 45);
  OptParseMsgOpts(&msg, &opts_);
  EXPECT_STREQ(opts_.maHost, "ma.host");
  EXPECT_EQ(opts_.maPort, 7001);
  EXPECT_STREQ(opts_.dbgRanges, "1-50 x");  // an item is one word, blanks and all
  StrMsgFreeL(&msg);
}

}  // namespace
