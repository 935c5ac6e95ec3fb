// Error state: first mark wins, promotion, clearing, reports through hooks, and
// the error state packed into a message and unpacked in another process.
#include "cmn/erh.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/nls.h"
#include "cmn/nlspack.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "cmn/strmsg.h"
#include "cmn_test_util.h"
#include "tarn_test.h"

using namespace std::string_literals;

TARN_RCSID("lib/cmn/test/erh_test.cpp");

namespace {

std::vector<std::string> reports;
std::vector<std::string> consoles;
void CaptureReport(const char* text) {
  reports.emplace_back(text);
}
void CaptureConsole(const char* text) {
  consoles.emplace_back(text);
}

std::string ShortName() {
  return Get_FILE_from_rcsId(rcsId);
}

// The report header as the "C" catalogue words it.
std::string Header(const char* levelWord, const std::string& text) {
  return std::string("[") + levelWord + "] From: " + CmnGetProgname() + "@" + cmnNodename + " \"" +
         CmnGetAdditionalId() + "\"  Time: " + StrShortFromTime(ErhStatus()->time) + "\n" + text +
         "\n";
}

std::string Expand(const std::string& packed) {
  char* text = NlsFormatPackedMessage(packed.c_str());
  std::string out = text != nullptr ? text : "(not a packed message)";
  safe_free(text, TARN_HERE);
  return out;
}

class ErhTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("LC_ALL", "C", 1);
    root_ = new tarn::test::TempRoot();
    CmnPathsInit(root_->path().c_str());
    NlsCloseCatalog();
    CmnSetProgname("erh_test");
  }
  static void TearDownTestSuite() {
    NlsCloseCatalog();
    delete root_;
    root_ = nullptr;
    CmnPathsInit(std::getenv("TARN_ROOT"));
  }
  void SetUp() override {
    cmnDefine_ORACLE8 = 0;
    ErhExit();
    ErhInit(0);
    reports.clear();
    consoles.clear();
    ErhSetHooks(nullptr, CaptureReport, CaptureConsole);
  }
  void TearDown() override {
    cmnDefine_ORACLE8 = 0;
    ErhExit();
  }
  static tarn::test::TempRoot* root_;
};
tarn::test::TempRoot* ErhTest::root_ = nullptr;

TEST_F(ErhTest, FirstMarkWinsWithItsPlaceAndSystemText) {
  ErhMarkM(3001, EBADF, "IpcClose", 2, rcsId, 100);
  ErhMarkM(ERH_NOMEM, ENOMEM, "safe_malloc", 3, rcsId, 200);
  const ErhStatusInfo* s = ErhStatus();
  EXPECT_EQ(s->code, 3001);
  EXPECT_EQ(s->level, 2);
  EXPECT_EQ(s->sysErrno, EBADF);
  EXPECT_STREQ(s->sysErrorText, "[9] Bad file descriptor");
  EXPECT_STREQ(s->markFunction, "IpcClose");
  EXPECT_EQ(s->markFile, ShortName());
  EXPECT_EQ(s->markLine, 100);
  EXPECT_NE(s->time, 0);
}

TEST_F(ErhTest, MarkLocationMovesOnlyTheMarkJustMade) {
  ErhMarkM(ERH_NOMEM, ENOMEM, "safe_malloc", 3, "elsewhere", 7);
  ErhSetMarkLocation("MALLOC CALL", rcsId, 42);
  EXPECT_STREQ(ErhStatus()->markFunction, "MALLOC CALL");
  EXPECT_EQ(ErhStatus()->markLine, 42);

  // A refused mark must not relocate the error that was kept.
  ErhClearError();
  ErhMarkM(3001, 0, "IpcClose", 2, rcsId, 100);
  ErhMarkM(ERH_NOMEM, ENOMEM, "safe_malloc", 3, "elsewhere", 7);
  ErhSetMarkLocation("MALLOC CALL", rcsId, 42);
  EXPECT_EQ(ErhErrno(), 3001);
  EXPECT_STREQ(ErhStatus()->markFunction, "IpcClose");
  EXPECT_EQ(ErhStatus()->markLine, 100);
}

void* NoExitOnOutOfMemory(size_t) {
  return nullptr;
}

TEST_F(ErhTest, FailedAllocationIsMarkedAtTheAllocatingCaller) {
  SafeMemHooks(NoExitOnOutOfMemory, nullptr);
  volatile size_t huge = SIZE_MAX / 2;
  const int line = __LINE__ + 1;
  void* p = safe_malloc(huge, rcsId, line);
  SafeMemHooks(nullptr, nullptr);
  ASSERT_EQ(p, nullptr);
  EXPECT_EQ(ErhErrno(), ERH_NOMEM);
  EXPECT_EQ(ErhErrnoLevel(), 3);
  EXPECT_STREQ(ErhStatus()->markFunction, "MALLOC CALL");
  EXPECT_EQ(ErhStatus()->markFile, ShortName());
  EXPECT_EQ(ErhStatus()->markLine, line);
}

TEST_F(ErhTest, PromoteReplacesTheCodeAndKeepsTheMark) {
  ErhMarkM(3017, ETIMEDOUT, "IpcRecv", 2, rcsId, 100);
  ErhPromoteErrorM(1011, rcsId, 150);
  const ErhStatusInfo* s = ErhStatus();
  EXPECT_EQ(s->code, 1011);
  EXPECT_EQ(s->level, 2);
  EXPECT_EQ(s->sysErrno, ETIMEDOUT);
  EXPECT_STREQ(s->markFunction, "IpcRecv");
  EXPECT_EQ(s->markLine, 100);
  EXPECT_EQ(s->promoteFile, ShortName());
  EXPECT_EQ(s->promoteLine, 150);

  // Without a mark the code is set all the same.
  ErhClearError();
  ErhPromoteErrorM(1004, rcsId, 160);
  EXPECT_EQ(ErhErrno(), 1004);
  EXPECT_EQ(ErhStatus()->promoteLine, 160);
}

TEST_F(ErhTest, ClearEmptiesAllButLevelAndTime) {
  ErhMarkM(3017, ETIMEDOUT, "IpcRecv", 2, rcsId, 100);
  ErhSetErrorInfo("host h");
  ErhReportM("caller", rcsId, 120);
  const time_t marked = ErhStatus()->time;
  ErhClearError();
  const ErhStatusInfo* s = ErhStatus();
  EXPECT_EQ(s->code, 0);
  EXPECT_EQ(s->sysErrno, 0);
  EXPECT_STREQ(s->sysErrorText, "");
  EXPECT_STREQ(s->markFunction, "");
  EXPECT_STREQ(s->markFile, "");
  EXPECT_EQ(s->markLine, 0);
  EXPECT_STREQ(s->promoteFunction, "");
  EXPECT_STREQ(s->promoteFile, "");
  EXPECT_EQ(s->promoteLine, 0);
  EXPECT_STREQ(ErhGetErrorInfo(), "");
  EXPECT_EQ(s->level, 2);
  EXPECT_EQ(s->time, marked);
  // The next mark wins again.
  ErhMarkM(ERH_NOMEM, 0, "safe_malloc", 3, rcsId, 130);
  EXPECT_EQ(ErhErrno(), ERH_NOMEM);
}

TEST_F(ErhTest, TextOfTheCurrentError) {
  EXPECT_STREQ(ErhErrnoToText(), "No error.");
  ErhMarkM(ERH_NOMEM, 0, "f", 3, rcsId, 1);
  EXPECT_STREQ(ErhErrnoToText(), "Out of memory.");
  ErhClearError();
  ErhMarkM(ERH_NOMEM, ENOMEM, "f", 3, rcsId, 1);
  EXPECT_STREQ(ErhErrnoToText(), "Out of memory.\nSystem error: [12] Cannot allocate memory");
  ErhClearError();
  ErhMarkM(ERH_SYSTEM, ENOENT, "f", 3, rcsId, 1);
  EXPECT_STREQ(ErhErrnoToText(), "[2] No such file or directory");
  // Codes below 1000 read as an internal error, with or without system text;
  // their numbers are formats of this set, never error texts.
  ErhClearError();
  ErhMarkM(500, 0, "f", 3, rcsId, 1);
  EXPECT_STREQ(ErhErrnoToText(), "Internal error.");
  ErhClearError();
  ErhMarkM(1, ENOENT, "f", 3, rcsId, 1);
  EXPECT_STREQ(ErhErrnoToText(), "Internal error.\nSystem error: [2] No such file or directory");
}

TEST_F(ErhTest, TextBeforeInitNeedsNoCatalogue) {
  ErhExit();
  ErhMarkM(ERH_NOMEM, 0, "f", 3, rcsId, 1);
  EXPECT_STREQ(ErhErrnoToText(), "Marked error: 1024");
  ErhClearError();
  ErhMarkM(ERH_SYSTEM, EACCES, "f", 3, rcsId, 1);
  EXPECT_STREQ(ErhErrnoToText(), "[13] Permission denied");
  // Reports wait for ErhInit.
  ErhFullReportM("f", 3, "text", rcsId, 1);
  EXPECT_TRUE(reports.empty());
}

TEST_F(ErhTest, InitOnlyOnceUntilExit) {
  ErhInit(3);
  EXPECT_EQ(ErhReportLevel(), 0);
  ErhExit();
  ErhInit(3);
  EXPECT_EQ(ErhReportLevel(), 3);
}

TEST_F(ErhTest, ReportThresholdAndHeaderlessLevel) {
  ErhSetHooks(nullptr, CaptureReport, CaptureConsole);
  ErhSetReportLevel(2);
  ErhFullReportM("f", 1, "below", rcsId, 1);
  EXPECT_TRUE(reports.empty());
  ErhFullReportM("f", 2, "at threshold", rcsId, 1);
  ErhFullReportM("f", -1, "plain line", rcsId, 1);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], Header("Minor", "at threshold"));
  EXPECT_EQ(reports[1], "plain line");
  EXPECT_EQ(ErhErrnoLevel(), -1);
}

TEST_F(ErhTest, ReportOfTheMarkedError) {
  ErhReportM("nothing", rcsId, 1);
  ErhFullReportM("nothing", 3, "", rcsId, 1);
  EXPECT_TRUE(reports.empty());

  ErhMarkM(ERH_NOMEM, 0, "safe_malloc", 3, rcsId, 1);
  ErhReportM("caller", rcsId, 77);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], Header("Major", "Out of memory."));
  EXPECT_STREQ(ErhStatus()->promoteFunction, "caller");
  EXPECT_EQ(ErhStatus()->promoteLine, 77);
  EXPECT_EQ(ErhErrno(), ERH_NOMEM);  // reporting does not clear
}

TEST_F(ErhTest, ReportTextFromTheCatalogueAreaSurvivesTheHeader) {
  ErhFullReportM("f", 2, NlsGetMessage(kNlsSetError, 6, "first", "second"), rcsId, 1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], Header("Minor", "first\nSystem error: second"));
}

TEST_F(ErhTest, LongReportIsNotCutToTheCatalogueArea) {
  const std::string text(3000, 'x');
  ErhFullReportM("f", 1, text.c_str(), rcsId, 1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], Header("Warning", text));
}

// A child that is expected to abort leaves no core file behind.
void NoCoreFile() {
  const rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

void RecursiveHook(const char* text) {
  reports.emplace_back(text);
  ErhFullReportM("again", 3, "nested", rcsId, __LINE__);
}

TEST_F(ErhTest, RecursiveReportEndsAProgramButNotItsHost) {
  const int status = tarn::test::RunInChild([] {
    NoCoreFile();
    ErhSetHooks(nullptr, RecursiveHook, nullptr);
    ErhFullReportM("f", 3, "outer", rcsId, __LINE__);
    return 0;
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;

  cmnDefine_ORACLE8 = 1;
  ErhSetHooks(nullptr, RecursiveHook, nullptr);
  ErhFullReportM("f", 3, "outer", rcsId, __LINE__);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], Header("Major", "outer"));
  // The next report goes through again.
  ErhSetHooks(nullptr, CaptureReport, nullptr);
  ErhFullReportM("f", 3, "later", rcsId, __LINE__);
  EXPECT_EQ(reports.size(), 2u);
}

TEST_F(ErhTest, AssertionReportsInternalErrorAndEndsAProgram) {
  ErhAssertM("IVecAdd", 1, rcsId, 10);
  EXPECT_EQ(ErhErrno(), 0);
  EXPECT_TRUE(reports.empty());

  const int status = tarn::test::RunInChild([] {
    NoCoreFile();
    ErhAssertM("IVecAdd", 0, rcsId, 10);
    return 0;
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;

  // A host process gets the report and the call returns.
  cmnDefine_ORACLE8 = 1;
  ErhMarkM(3001, 0, "IpcClose", 1, rcsId, 5);
  ErhAssertM("IVecAdd", 0, rcsId, 20);
  const ErhStatusInfo* s = ErhStatus();
  EXPECT_EQ(s->code, ERH_INTERNAL);
  EXPECT_EQ(s->level, 3);
  EXPECT_EQ(s->markLine, 5);  // an earlier mark keeps its place
  EXPECT_EQ(s->promoteLine, 20);
  const std::string place = "(\"" + ShortName() + "\":20)";
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0],
            Header("Major", "Internal error in " + place + ".\nAn assertion failed at " + place +
                                "; please report this error to your support."));

  reports.clear();
  ErhClearError();
  ErhAssertPackedM("IVecAdd", 0, rcsId, 30);
  EXPECT_EQ(ErhStatus()->markLine, 30);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(Expand(reports[0]).find("Internal error in (\"" + ShortName() + "\":30)"),
            std::string::npos);
}

TEST_F(ErhTest, HooksAreSwappedAndRestored) {
  ErhHooks previous{};
  ErhSetHooks(&previous, nullptr, nullptr);
  EXPECT_EQ(previous.report, CaptureReport);
  EXPECT_EQ(previous.console, CaptureConsole);
  ErhSetHooks(&previous, CaptureReport, CaptureConsole);
  EXPECT_EQ(previous.report, ErhReportHook);
  EXPECT_EQ(previous.console, ErhConsoleHook);
  ErhToConsole("to the operator");
  ASSERT_EQ(consoles.size(), 1u);
  EXPECT_EQ(consoles[0], "to the operator");
}

TEST_F(ErhTest, DefaultHooksWriteToStandardErrorAndExpandPackedText) {
  ErhSetHooks(nullptr, nullptr, nullptr);
  testing::internal::CaptureStderr();
  ErhToConsole("console line");
  ErhReportHook(NlsPackMessage(kNlsSetError, ERH_NOMEM));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "console line\nOut of memory.");
}

TEST_F(ErhTest, PackedReportsCarryHeaderAndError) {
  ErhMarkM(ERH_NOMEM, ENOMEM, "safe_malloc", 3, rcsId, 1);
  ErhPackM("caller", rcsId, 1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].rfind("15\x03 \x07\x01[12:1]\x03 ", 0), 0u) << reports[0];
  EXPECT_EQ(Expand(reports[0]),
            Header("Major", "Out of memory.\nSystem error: [12] Cannot allocate memory"));
  ErhFullReportPackedM("f", 2, NlsPackMessage(kNlsSetError, 1013), rcsId, 1);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(Expand(reports[1]),
            Header("Minor", "The Cell Manager refused to change its user or group list."));
}

TEST_F(ErhTest, PackedErrorStateBytes) {
  ErhMarkM(3026, ENOENT, "IpcPipe", 3, rcsId, 1);
  StrMsg msg;
  StrMsgInitL(&msg);
  ASSERT_EQ(StrMsgStartExL(&msg, nullptr, 0, 5, 0), 0);
  ASSERT_EQ(ErhPackMsgL(&msg), 0);
  const std::string expected = "5\0 3026\0 3\0 IpcPipe\0 [2] No such file or directory\0"s;
  EXPECT_TRUE(
      tarn::test::BytesEqual(tarn::test::Bytes(expected + std::string(1, '\0')),
                             tarn::test::Bytes(std::string(StrMsgGetBufL(&msg), msg.length + 1))));
  EXPECT_EQ(ErhErrno(), 0);  // sent on, so cleared here

  // No error packs as zeros and empty texts.
  StrMsgStartExL(&msg, nullptr, 0, 5, 0);
  ASSERT_EQ(ErhPackMsgL(&msg), 0);
  const std::string none = "5\0 0\0 3\0 \0 \0"s;
  EXPECT_TRUE(
      tarn::test::BytesEqual(tarn::test::Bytes(none + std::string(1, '\0')),
                             tarn::test::Bytes(std::string(StrMsgGetBufL(&msg), msg.length + 1))));
  StrMsgFreeL(&msg);
}

TEST_F(ErhTest, PackThatDoesNotFitKeepsTheError) {
  ErhMarkM(3026, ENOENT, "IpcPipe", 3, rcsId, 1);
  char small[16];
  StrMsg msg;
  StrMsgInitL(&msg);
  ASSERT_EQ(StrMsgStartExL(&msg, small, sizeof small, 5, 1), 0);
  EXPECT_EQ(ErhPackMsgL(&msg), -1);
  EXPECT_EQ(ErhErrno(), 3026);
  EXPECT_STREQ(ErhStatus()->markFunction, "IpcPipe");
}

TEST_F(ErhTest, ErrorStateTravelsToAnotherProcess) {
  tarn::test::Watchdog watchdog(60);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int status = tarn::test::RunInChild([&] {
    close(fds[0]);
    ErhMarkM(3026, EMFILE, "IpcPipe", 3, rcsId, 1);
    StrMsg msg;
    StrMsgInitL(&msg);
    if (StrMsgStartExL(&msg, nullptr, 0, 5, 0) != 0 || ErhPackMsgL(&msg) != 0) return 1;
    const ssize_t size = static_cast<ssize_t>(msg.length) + 1;
    if (write(fds[1], StrMsgGetBufL(&msg), static_cast<size_t>(size)) != size) return 2;
    close(fds[1]);
    return ErhErrno() == 0 ? 0 : 3;
  });
  close(fds[1]);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string received;
  char chunk[256];
  for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
    received.append(chunk, static_cast<size_t>(n));
  close(fds[0]);

  StrMsg msg;
  StrMsgInitL(&msg);
  ASSERT_EQ(StrParseStartNL(&msg, received.data(), received.size()), 5);
  EXPECT_EQ(ErhUnpackMsgL(&msg), 3026);
  const ErhStatusInfo* s = ErhStatus();
  EXPECT_EQ(s->code, 3026);
  EXPECT_EQ(s->level, 3);
  EXPECT_EQ(s->sysErrno, 0);
  EXPECT_STREQ(s->markFunction, " -> IpcPipe");
  EXPECT_STREQ(s->sysErrorText, "[24] Too many open files");
  StrMsgFreeL(&msg);
}

// Parses a message text given as bytes (the final NUL is added here).
int Unpack(const std::string& text) {
  const std::string bytes = text + std::string(2, '\0');
  StrMsg msg;
  StrMsgInitL(&msg);
  if (StrParseStartNL(&msg, bytes.data(), bytes.size()) < 0) return -100;
  const int code = ErhUnpackMsgL(&msg);
  StrMsgFreeL(&msg);
  return code;
}

TEST_F(ErhTest, UnpackKeepsAnErrorAlreadyMarked) {
  ErhMarkM(3017, ETIMEDOUT, "IpcRecv", 2, rcsId, 100);
  EXPECT_EQ(Unpack("5\0 1004\0 3\0 CsaGetItem\0 [5] Input/output error"s), 1004);
  const ErhStatusInfo* s = ErhStatus();
  EXPECT_EQ(s->code, 3017);
  EXPECT_EQ(s->level, 2);
  EXPECT_STREQ(s->markFunction, "IpcRecv");
  EXPECT_STREQ(s->sysErrorText, "[110] Connection timed out");
}

TEST_F(ErhTest, UnpackRefusesMissingOrMalformedItemsAndBoundsTexts) {
  EXPECT_EQ(Unpack("5\0 1004\0 3\0 f"s), -1);
  EXPECT_EQ(Unpack("5\0 10x4\0 3\0 f\0 t"s), -1);
  EXPECT_EQ(Unpack("5\0 1004\0 \0 f\0 t"s), -1);
  EXPECT_EQ(Unpack("5\0 99999999999\0 3\0 f\0 t"s), -1);
  EXPECT_EQ(ErhErrno(), 0);
  EXPECT_EQ(Unpack("5\0 0\0 0\0 \0 "s), 0);
  EXPECT_EQ(ErhErrno(), 0);

  const std::string longFunction(5000, 'f');
  const std::string longText(5000, 't');
  EXPECT_EQ(Unpack("5\0 1004\0 1\0 "s + longFunction + "\0 "s + longText), 1004);
  const ErhStatusInfo* s = ErhStatus();
  EXPECT_EQ(std::string(s->markFunction), " -> " + std::string(251, 'f'));
  EXPECT_EQ(std::string(s->sysErrorText), std::string(255, 't'));
}

TEST_F(ErhTest, MisuseIsTracedWithBothPlaces) {
  const std::string file = ShortName();
  const std::string trace = cmntest::Traced("1-10", [] {
    ErhMarkM(3001, EBADF, "IpcClose", 1, rcsId, 100);
    ErhMarkM(ERH_NOMEM, 0, "safe_malloc", 3, rcsId, 200);
    ErhClearError();
    ErhMarkM(0, 0, "probe", 1, rcsId, 50);
    ErhPromoteErrorM(1004, rcsId, 60);
    ErhClearError();
    ErhPromoteErrorM(1004, rcsId, 70);
    ErhClearError();
    ErhMarkM(500, 0, "old", 1, rcsId, 80);
    ErhErrnoToText();
  });
  EXPECT_NE(
      trace.find(
          "[  3] [MARK 1] in IpcClose\n    Code is:3001  SystemErr: [9] Bad file descriptor\n"),
      std::string::npos)
      << trace;
  EXPECT_NE(trace.find("ErhMark twice: in [" + file +
                       ":200], function safe_malloc, errcode=1024\n"
                       "Already marked in [" +
                       file + ":100], function IpcClose, errcode=3001\n"),
            std::string::npos);
  EXPECT_NE(trace.find("ErhPromoteError and no ErhMark: in [" + file +
                       ":60], errcode=1004\n"
                       "  Possibly marked without error in [" +
                       file + ":50], function probe\n"),
            std::string::npos);
  EXPECT_NE(trace.find("ErhPromoteError and no ErhMark: in [" + file + ":70], errcode=1004\n\n"),
            std::string::npos);
  EXPECT_NE(trace.find("Errors below 1000 should not be marked: " + file +
                       " (80)\nReplacing error message for ERH 500 with ERH_INTERNAL"),
            std::string::npos);
}

TEST_F(ErhTest, StartUpFailureText) {
  char* text = ErhFormatCmnInitFailure();
  EXPECT_STREQ(text,
               "Non-recoverable error:\n(0) Failed to initialize the working environment.\n"
               "System error: Unknown.\n");
  safe_free(text, TARN_HERE);
  ErhMarkM(ERH_SYSTEM, EACCES, "f", 3, rcsId, 1);
  text = ErhFormatCmnInitFailure();
  EXPECT_STREQ(text,
               "Non-recoverable error:\n(1026) Failed to initialize the working environment.\n"
               "System error: [13] Permission denied\n");
  safe_free(text, TARN_HERE);
}

}  // namespace
