// The rc file: where it is read from, its rules on blanks, comments, empty
// values and lines without a name or '=', and its export.
#include "cmn/rcfile.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/paths.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/rcfile_test.cpp");

namespace {

constexpr char kRcPath[] = "/opt/tarn/.tarnrc";

// Lines exercising every rule; CRLF line ends included.
constexpr char kRcText[] =
    "# comment line\n"
    "\n"
    "   \t\n"
    "  TARN_T_A  =  value a  \n"
    "TARN_T_EMPTY=\n"
    "TARN_T_NOEQ\n"
    "=nameless\n"
    "   # indented comment\n"
    "TARN_T_CRLF=x y\r\n"
    "TARN_T_DUP=first\n"
    "TARN_T_DUP=second\n"
    "TARN_T_EQ=a=b\n"
    "tarn_t_a=lower";

class RcFile : public ::testing::Test {
 protected:
  void SetUp() override { CmnPathsInit(root_.path().c_str()); }
  void TearDown() override {
    for (const char* name : {"TARN_T_A", "TARN_T_EMPTY", "TARN_T_NOEQ", "TARN_T_CRLF", "TARN_T_DUP",
                             "TARN_T_EQ", "tarn_t_a"}) {
      unsetenv(name);
    }
    CmnPathsInit(std::getenv("TARN_ROOT"));
  }
  tarn::test::TempRoot root_;
};

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries ParseAll(const char* text) {
  std::string copy(text);
  char* cursor = copy.data();
  char* name = nullptr;
  char* value = nullptr;
  Entries out;
  while (ParseTarnRcFormat(&cursor, &name, &value) == 0) {
    out.emplace_back(name, value != nullptr ? value : "<null>");
  }
  EXPECT_EQ(ParseTarnRcFormat(&cursor, &name, &value), -1);
  return out;
}

TEST_F(RcFile, ParsesBlanksEmptyValuesAndLinesWithoutNames) {
  EXPECT_EQ(ParseAll(kRcText), (Entries{{"TARN_T_A", "  value a"},
                                        {"TARN_T_EMPTY", ""},
                                        {"TARN_T_NOEQ", "<null>"},
                                        {"", "nameless"},
                                        {"TARN_T_CRLF", "x y"},
                                        {"TARN_T_DUP", "first"},
                                        {"TARN_T_DUP", "second"},
                                        {"TARN_T_EQ", "a=b"},
                                        {"tarn_t_a", "lower"}}));
  EXPECT_EQ(ParseAll(""), Entries{});
  EXPECT_EQ(ParseAll("# only\n  \n"), Entries{});
}

TEST_F(RcFile, IsReadFromTheInstallationDirectory) {
  EXPECT_EQ(ReadTarnrcFile(), nullptr);
  root_.write(kRcPath, "X=1\n");
  char* text = ReadTarnrcFile();
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "X=1\n");
  safe_free(text, TARN_HERE);
}

TEST_F(RcFile, LooksUpTheFirstEntryByExactName) {
  root_.write(kRcPath, kRcText);
  char* value = nullptr;
  EXPECT_EQ(GetTarnrcVar("TARN_T_A", &value), 1);
  EXPECT_STREQ(value, "  value a");
  safe_free(value, TARN_HERE);
  EXPECT_EQ(GetTarnrcVar("TARN_T_DUP", &value), 1);
  EXPECT_STREQ(value, "first");
  safe_free(value, TARN_HERE);
  EXPECT_EQ(GetTarnrcVar("TARN_T_EMPTY", &value), 1);
  EXPECT_STREQ(value, "");
  safe_free(value, TARN_HERE);
  EXPECT_EQ(GetTarnrcVar("TARN_T_NOEQ", &value), 0);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(GetTarnrcVar("TARN_T_a", &value), 0);
  EXPECT_EQ(GetTarnrcVar("", &value), 0);
}

TEST_F(RcFile, ExportsNamedEntriesWithValues) {
  root_.write(kRcPath, kRcText);
  unsetenv("TARN_T_NOEQ");
  EXPECT_EQ(ExportTarnRcVariables(), 7);
  EXPECT_STREQ(std::getenv("TARN_T_A"), "  value a");
  EXPECT_STREQ(std::getenv("TARN_T_EMPTY"), "");
  EXPECT_EQ(std::getenv("TARN_T_NOEQ"), nullptr);
  EXPECT_STREQ(std::getenv("TARN_T_CRLF"), "x y");
  EXPECT_STREQ(std::getenv("TARN_T_DUP"), "second");
  EXPECT_STREQ(std::getenv("TARN_T_EQ"), "a=b");
  EXPECT_STREQ(std::getenv("tarn_t_a"), "lower");
}

TEST_F(RcFile, MissingFileExportsNothing) {
  EXPECT_EQ(ExportTarnRcVariables(), 0);
  char* value = reinterpret_cast<char*>(1);
  EXPECT_EQ(GetTarnrcVar("TARN_T_A", &value), 0);
  EXPECT_EQ(value, nullptr);
}

}  // namespace
