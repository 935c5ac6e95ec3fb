// Message catalogue: the language chain, the language's and the default
// catalogue, miss texts, positional formatting, keywords and locale paths.
#include "cmn/nls.h"

#include <chrono>
#include <clocale>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/paths.h"
#include "nls_test_util.h"
#include "tarn_test.h"

namespace {

std::vector<std::string> Chain(const char* locale) {
  char buffer[256];
  std::strcpy(buffer, locale);
  std::vector<std::string> steps{buffer};
  while (DownscaleLocale(buffer) != nullptr) steps.emplace_back(buffer);
  return steps;
}

TEST(DownscaleLocaleTest, StepsDownToC) {
  EXPECT_EQ(Chain("de_DE.ISO8859-15@euro"),
            (std::vector<std::string>{"de_DE.ISO8859-15@euro", "de_DE.ISO8859-15",
                                      "de_DE.ISO8859-1", "de.ISO8859-1", "de", "C"}));
  EXPECT_EQ(Chain("fr_FR.iso885915"), (std::vector<std::string>{"fr_FR.iso885915", "fr_FR.iso88591",
                                                                "fr.iso88591", "fr", "C"}));
  EXPECT_EQ(Chain("en_US"), (std::vector<std::string>{"en_US", "en", "C"}));
  EXPECT_EQ(Chain("C"), (std::vector<std::string>{"C"}));
  EXPECT_EQ(Chain(""), (std::vector<std::string>{""}));
  EXPECT_EQ(DownscaleLocale(nullptr), nullptr);
}

class NlsTest : public nlstest::NlsFixture {
 protected:
  static std::string Text(int set, int number, int* found = nullptr) {
    int f = 0;
    std::string text = NlsGetCatalogStringEx(set, number, &f);
    if (found != nullptr) *found = f;
    return text;
  }
};

TEST_F(NlsTest, LanguageChainFindsTheInstalledLanguageAndTheDefault) {
  Install("C", "11 1 Warning\n11 2 Only in C\n");
  Install("de", "11 1 Warnung\n");
  setenv("LANG", "de_DE.ISO8859-15@euro", 1);
  ASSERT_EQ(NlsOpenCatalog(), 0);
  EXPECT_STREQ(cmnLang, "de");
  int found = 0;
  EXPECT_EQ(Text(11, 1, &found), "Warnung");
  EXPECT_EQ(found, 1);
  EXPECT_EQ(Text(11, 2, &found), "Only in C");
  EXPECT_EQ(found, 1);
  EXPECT_EQ(Text(11, 3, &found), "Bad catalog access for message #3 in set 11");
  EXPECT_EQ(found, 0);
}

TEST_F(NlsTest, LanguageComesFromTheEnvironmentEvenWithoutTheLocale) {
  Install("C", "11 1 Warning\n");
  Install("de", "11 1 Warnung\n");
  const std::string before = std::setlocale(LC_ALL, nullptr);
  // A host process may not touch the locale; the language still counts.
  cmnDefine_ORACLE8 = 1;
  setenv("LANG", "C", 1);
  setenv("LC_MESSAGES", "de_AT.UTF-8", 1);
  ASSERT_EQ(NlsOpenCatalog(), 0);
  EXPECT_STREQ(cmnLang, "de");
  EXPECT_EQ(std::setlocale(LC_ALL, nullptr), before);

  // A locale that is not installed makes setlocale fail; same answer.
  cmnDefine_ORACLE8 = 0;
  setenv("LC_ALL", "de_XX.NOSUCHCODESET", 1);
  ASSERT_EQ(NlsOpenCatalog(), 0);
  EXPECT_STREQ(cmnLang, "de");
  EXPECT_EQ(Text(11, 1), "Warnung");
  std::setlocale(LC_ALL, before.c_str());
}

TEST_F(NlsTest, LanguageCannotLeaveTheCatalogueDirectory) {
  Install("C", "11 1 Warning\n");
  root_->write("/opt/tarn/lib/evil/tarn.cat", tarn::test::ReadFile(CatalogPath("C")));
  setenv("LANG", "../evil", 1);
  ASSERT_EQ(NlsOpenCatalog(), 0);
  EXPECT_STREQ(cmnLang, "C");
}

TEST_F(NlsTest, WithoutAnyCatalogueEveryTextSaysSo) {
  EXPECT_EQ(NlsOpenCatalog(), -1);
  int found = 1;
  EXPECT_EQ(Text(12, 5, &found), "Catalog not loaded, message #5 in set 12");
  EXPECT_EQ(found, 0);
  char buffer[64];
  EXPECT_STREQ(GetCatalogMessage(-1, buffer, sizeof buffer, 12, 6),
               "Catalog not loaded, message #6 in set 12");
  EXPECT_STREQ(NlsGetMessage(12, 7, 1, "x"), "Catalog not loaded, message #7 in set 12");
}

TEST_F(NlsTest, MissingMessageFailsAtOnce) {
  Install("C", "12 1 present\n");
  const auto start = std::chrono::steady_clock::now();
  int found = 1;
  EXPECT_EQ(Text(12, 99, &found), "Bad catalog access for message #99 in set 12");
  EXPECT_EQ(found, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_EQ(Text(12, 1), "present");
}

TEST_F(NlsTest, LiteralsAndKeywords) {
  Install("C",
          "11 2000 Normal\n11 500 montieren\n11 501 abbrechen\n11 502 \n"
          "149 500 mount\n149 501 abort\n149 502 \n149 2000 Normal\n");
  EXPECT_STREQ(NlsGetLiteral(2000), "Normal");
  EXPECT_STREQ(NlsGetLiteralEn(501), "abort");
  int index = -1;
  EXPECT_EQ(NlsGetDefine(&index, 500, "ABORT", 0), 0);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(NlsGetDefine(&index, 500, "Montieren", 0), 0);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(NlsGetDefine(&index, 500, "MOUNT", 1), -1);  // case counts with flag 1
  EXPECT_EQ(NlsGetDefine(&index, 500, "eject", 0), -1);
}

TEST(VSprintfTest, PositionsAndKindsComeFromTheFormat) {
  char out[64];
  EXPECT_EQ(Sprintf(out, sizeof out, "%2$s %1$d\n", 42, "x"), 5);
  EXPECT_STREQ(out, "x 42\n");
  Sprintf(out, sizeof out, "[%5d|%-4s|%05.1f|%x|%c|%%]", 7, "ab", 2.25, 255u, 'z');
  EXPECT_STREQ(out, "[    7|ab  |002.2|ff|z|%]");
  Sprintf(out, sizeof out, "%s and %s", "one");
  EXPECT_STREQ(out, "one and ");
  Sprintf(out, sizeof out, "%s", static_cast<const char*>(nullptr));
  EXPECT_STREQ(out, "(null)");
}

TEST(VSprintfTest, ArgumentsAreNeverReadAsAnotherType) {
  char out[64];
  Sprintf(out, sizeof out, "%d/%s/%f", "text", 42, "more");
  EXPECT_STREQ(out, "text/42/more");
  Sprintf(out, sizeof out, "%s|%.1f|%d", 2.5, 3, 4.5);
  EXPECT_STREQ(out, "2.5|3.0|4.5");
  Sprintf(out, sizeof out, "%n%s", 1, "x");  // no writing conversion exists
  EXPECT_STREQ(out, "1nx");
  Sprintf(out, sizeof out, "%99999999d|", 5);  // width is capped, result bounded
  EXPECT_EQ(std::strlen(out), sizeof out - 1);
  char small[4];
  EXPECT_EQ(Sprintf(small, sizeof small, "%s", "abcdef"), 3);
  EXPECT_STREQ(small, "abc");
}

TEST_F(NlsTest, GetMessageFormatsTheCatalogueText) {
  Install(
      "C",
      "11 1 one\n11 2 two\n80 1001 Cannot connect to %s (port %d): %s\n131 7 %2$s before %1$s\n");
  EXPECT_STREQ(NlsGetMessage(80, 1001, "host", 7777, "refused"),
               "Cannot connect to host (port 7777): refused");
  EXPECT_STREQ(NlsGetMessage(131, 7, "a", "b"), "b before a");
  // Results of lookups passed together keep their own texts.
  int found = 0;
  EXPECT_STREQ(NlsGetMessage(131, 7, NlsGetLiteral(1), NlsGetCatalogStringEx(11, 2, &found)),
               "two before one");
  EXPECT_STREQ(NlsGetMessage(80, 1001), "Cannot connect to  (port ): ");
}

TEST_F(NlsTest, LocaleDirectoryFollowsTheLanguageChain) {
  Install("C", "11 1 x\n");
  root_->write("/opt/tarn/gui/help/de/index.html", "");
  setenv("LANG", "de_DE.UTF-8", 1);
  ASSERT_EQ(NlsOpenCatalog(), 0);
  std::strcpy(cmnLang, "de_DE.UTF-8");
  const std::string help = cmnFenHelp;
  char* lang = NlsDetermineHelpPath();
  ASSERT_NE(lang, nullptr);
  EXPECT_STREQ(lang, "de");
  EXPECT_EQ(std::string(cmnFenHelp), help + "/de");

  std::strcpy(cmnFenHelp, help.c_str());
  std::strcpy(cmnLang, "fr_FR");
  EXPECT_EQ(NlsDetermineHelpPath(), nullptr);
  EXPECT_EQ(std::string(cmnFenHelp), help);
}

}  // namespace
