// Variants in files: the text-form file's bytes and its reading (also from
// UTF-16 files), line files, INI files, and the command-line form.
#include <gtest/gtest.h>

#include <string>

#include "cmn/erh.h"
#include "cmn/var.h"
#include "cmn_test_util.h"
#include "tarn_test.h"
#include "var_test_util.h"

TARN_RCSID("lib/cmn/test/var_file_test.cpp");

namespace {

using tarn::test::ReadFile;
using tarn::test::TempDir;
using tarn::test::WriteFile;
using vartest::Owned;

class VarFile : public cmntest::ErrorStateTest {
 protected:
  std::string Path(const char* name) const { return dir_.path() + "/" + name; }
  TempDir dir_;
};

TEST_F(VarFile, PutFileWritesTheBracelessFormAndGetFileReadsIt) {
  Owned config(vartest::Db2Config());
  const std::string path = Path("db2.cfg");
  ASSERT_EQ(CmnVarPutFile(config.v, path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "Version='32bit';\nDB2_NODES={\n\t0='hostA';\n};\n");
  Owned back(CmnVarGetFile(path.c_str()));
  EXPECT_EQ(CmnVarCmp(back.v, config.v), 0);
}

TEST_F(VarFile, GetFileReadsUtf16AndUtf8Marks) {
  const std::string wide = Path("wide.cfg");
  WriteFile(wide, std::string("\xFF\xFE"
                              "a\0=\0'\0\xE4\0'\0;\0",
                              14));
  Owned a(CmnVarGetFile(wide.c_str()));
  ASSERT_NE(CmnVarGet(a.v, "a"), nullptr);
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(a.v, "a")), "\xC3\xA4");

  const std::string marked = Path("utf8.cfg");
  WriteFile(marked,
            "\xEF\xBB\xBF"
            "b=2;");
  Owned b(CmnVarGetFile(marked.c_str()));
  ASSERT_NE(CmnVarGet(b.v, "b"), nullptr);
  EXPECT_EQ(CmnVarGet(b.v, "b")->u.integer, 2);
}

TEST_F(VarFile, GetFileFailures) {
  EXPECT_EQ(CmnVarGetFile(Path("missing").c_str()).klass, nullptr);
  ErhClearError();
  const std::string bad = Path("bad.cfg");
  WriteFile(bad, std::string("a=1;\nb 2;\nc=3;", 14));
  Owned partial(CmnVarGetFile(bad.c_str()));
  EXPECT_EQ(ErhErrno(), ERH_VAR_PARSE);
  EXPECT_EQ(CmnVarLength(partial.v), 1);
  ErhClearError();
  const std::string nul = Path("nul.cfg");
  WriteFile(nul, std::string("a=1;\0b=2;", 9));
  Owned cut(CmnVarGetFile(nul.c_str()));
  EXPECT_EQ(ErhErrno(), ERH_VAR_PARSE);  // not silently cut at the NUL
}

TEST_F(VarFile, LineFiles) {
  const std::string in = Path("lines");
  WriteFile(in, "one\r\ntwo\n\n\nthree");
  Owned lines(CmnVarLoadFile(in.c_str(), 0));
  ASSERT_EQ(CmnVarLength(lines.v), 3);
  EXPECT_STREQ(CmnVarCastText(*CmnVarAt(lines.v, 2)), "three");

  Owned out(
      CmnVarArray(CmnVarText("a"), CmnVarInt64(5), CmnVarText(""), CmnVarText("b"), VarUndef));
  const std::string saved = Path("saved");
  ASSERT_EQ(CmnVarSaveFile(out.v, saved.c_str()), 0);
  EXPECT_EQ(ReadFile(saved), "a\n\nb\n");
  EXPECT_EQ(CmnVarSaveFile(CmnVarInt64(1), saved.c_str()), -1);
}

TEST_F(VarFile, IniFileSectionsAndLineForms) {
  const std::string path = Path("x.ini");
  WriteFile(path,
            "top=1\r\n"
            "# comment\n"
            "[Section A]\n"
            "  key = value  \n"
            "quoted=\"a \"b\" c\"\n"
            "single='x'y'\n"
            "open=\"no end\n"
            "empty=   \n"
            "\n"
            "garbage line\n"
            "[Other]\n"
            "%percent\n");
  Owned ini(CmnVarLoadIniFile(path.c_str(), 0));
  ASSERT_EQ(CmnVarLength(ini.v), 4);
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(ini.v, "top")), "1");
  EXPECT_EQ(CmnVarKey(ini.v, 1), nullptr);
  EXPECT_STREQ(CmnVarCastText(*CmnVarAt(ini.v, 1)), "# comment");
  const CmnVar section = *CmnVarGet(ini.v, "section a");
  ASSERT_EQ(CmnVarLength(section), 4);
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(section, "key")), "value  ");
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(section, "quoted")), "a \"b\" c");
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(section, "single")), "x'y");
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(section, "open")), "no end");
  EXPECT_STREQ(CmnVarCastText(*CmnVarAt(*CmnVarGet(ini.v, "Other"), 0)), "%percent");

  CmnVar packed = VarUndef;
  ASSERT_EQ(CmnVarPackIni(ini.v, &packed), 0);
  EXPECT_STREQ(
      CmnVarCastText(packed),
      "top=1\n# comment\n[Section A]\nkey=value  \nquoted=a \"b\" c\nsingle=x'y\nopen=no end\n"
      "[Other]\n%percent\n");
  CmnVarFree(&packed);
}

TEST_F(VarFile, IniValuesTheReaderWouldChangeAreQuoted) {
  Owned v(CmnVarList("late", CmnVarText("v"), nullptr));
  CmnVarListAdd(&v.v, "S",
                CmnVarList("a", CmnVarText(" lead"), "b", CmnVarText("'q"), "c", CmnVarText(""),
                           "n", CmnVarInt64(7), nullptr));
  CmnVarListAdd(&v.v, "after", CmnVarText("sections"));
  const std::string path = Path("out.ini");
  ASSERT_EQ(CmnVarSaveIniFile(v.v, path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "late=v\nafter=sections\n[S]\na=\" lead\"\nb=\"'q\"\nc=\"\"\nn=7\n");
  Owned back(CmnVarLoadIniFile(path.c_str(), 0));
  const CmnVar s = *CmnVarGet(back.v, "S");
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(s, "a")), " lead");
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(s, "b")), "'q");
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(s, "c")), "");
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(back.v, "after")), "sections");
  EXPECT_EQ(CmnVarPackIni(CmnVarInt64(1), &v.v), -1);
}

TEST(VarCmdline, EntriesBecomeOptions) {
  Owned opts(CmnVarList("debug", CmnVarText("1-200"), "verbose", CmnVarInt64(1), "#unknown",
                        CmnVarText("x"), "files",
                        CmnVarArray(CmnVarText("a"), CmnVarInt64(9), CmnVarText("b"),
                                    CmnVarList("n", CmnVarText("1"), nullptr), VarUndef),
                        "range", CmnVarRange(1, 2), nullptr));
  EXPECT_EQ(cmntest::Take(CmnVarToCmdline(opts.v)),
            "-debug 1-200 -verbose -files a -files b -files -n 1 ");
  EXPECT_EQ(cmntest::Take(CmnVarToCmdline(CmnVarList(nullptr))), "");
  EXPECT_EQ(CmnVarToCmdline(CmnVarInt64(1)), nullptr);
}

}  // namespace
