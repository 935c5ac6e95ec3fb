// The stand-in cell server's fixture parser and its state directory: every
// directive, refusal with a line number, the UTF-16 form, and file names that
// keep any client name inside the state directory.
#include "cellserver/fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "cellserver/store.h"
#include "tarn_test.h"

using namespace tarn::cellserver;
using namespace std::string_view_literals;

TEST(Fixture, ReadsEveryDirective) {
  std::string why;
  const auto f = ParseFixture(
      "# comment\n"
      "\n"
      "  login 0x800 3 \"Cell Manager \\\"cm\\\"\" four 17 \"\"\r\n"
      "inet-reply 1\n"
      "protocol 22 101 601 B.01 cs 0\n"
      "option BindTimeout 5\n"
      "option Name \"a\\tb\"\n"
      "item 80 \"config/DB2/h%i\" \"A=\\x00\\x7f\"\n"
      "item 80 u \"\\xc3\\xa4\" utf16\n"
      "file 1 \"root sys *\\n\"\n"
      "custom 5 cell/cell_format fmt\n"
      "certificate ca pem\n"
      "list 212 a b\n"
      "list 212 c\n"
      "answer 228 \"why not\"\n"
      "fault 205 port0 times=1\n"
      "fault 214 error 1601 1\n"
      "fault 214 delay 20\n"
      "fault 225 oversized-header 0x7fffffff\n",
      &why);
  ASSERT_TRUE(f) << why;
  EXPECT_EQ(f->accessRights, 0x800u);
  EXPECT_EQ(f->loginItem2, 3);
  EXPECT_EQ(f->loginItem3, "Cell Manager \"cm\"");
  EXPECT_EQ(f->loginItem4, "four");
  EXPECT_EQ(f->installFlags, 17u);
  EXPECT_EQ(f->loginItem6, "");
  EXPECT_EQ(f->inetReplyItem, "1");
  EXPECT_EQ(f->protocol.version, 101);
  EXPECT_EQ(f->protocol.moduleSubversion, "B.01");
  EXPECT_EQ(f->protocol.flags, 0);
  EXPECT_EQ(f->options, (std::vector<std::pair<std::string, std::string>>{{"BindTimeout", "5"},
                                                                          {"Name", "a\tb"}}));
  ASSERT_EQ(f->items.size(), 2u);
  EXPECT_EQ(f->items[0], (StoredValue{80, "config/DB2/h%i", std::string("A=\0\x7f", 4)}));
  EXPECT_EQ(f->items[1].bytes, "\xFF\xFE\xE4\0"sv);
  EXPECT_EQ(f->files, (std::vector<StoredValue>{{1, "", "root sys *\n"}}));
  EXPECT_EQ(f->customs, (std::vector<StoredValue>{{5, "cell/cell_format", "fmt"}}));
  EXPECT_EQ(f->certificates, (std::vector<StoredValue>{{0, "ca", "pem"}}));
  EXPECT_EQ(f->lists.at(212), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(f->answers.at(228), (std::vector<std::string>{"why not"}));
  EXPECT_EQ(f->faults.at(205), (std::vector<Fault>{{FaultKind::kPort0, 0, 2, 1}}));
  EXPECT_EQ(f->faults.at(214),
            (std::vector<Fault>{{FaultKind::kError, 1601, 1, -1}, {FaultKind::kDelay, 20, 2, -1}}));
  EXPECT_EQ(f->faults.at(225),
            (std::vector<Fault>{{FaultKind::kOversizedHeader, 0x7fffffff, 2, -1}}));
}

TEST(Fixture, ReadsTheSessionManagerScript) {
  std::string why;
  const std::string id(32, 'A'), data(64, 'f');
  const auto f = ParseFixture(
      "baropt connect -ma ${host} 5555 -daid 7\n"
      "baropt connect\n"
      "baropt wait -1\n"
      "baropt abort 12\n"
      "sm-abort 33 status 2\n"
      "sm-abort 34 connect\n"
      "sm-abort 35 report 1\n"
      "sm-drop status 3\n"
      "session-timeout 250\n"
      "catalogue 131 11 \"Object %s\"\n"
      "literal 7512 \"by operator\"\n"
      "key db2/i1 " +
          id + " " + id + " 3 1 " + data + "\n",
      &why);
  ASSERT_TRUE(f) << why;
  EXPECT_EQ(f->baropt,
            (std::vector<SmStep>{{SmAnswer::kConnect, {"-ma", "${host}", "5555", "-daid", "7"}, 0},
                                 {SmAnswer::kConnect, {}, 0},
                                 {SmAnswer::kWait, {}, -1},
                                 {SmAnswer::kAbort, {}, 12}}));
  EXPECT_EQ(f->smAborts, (std::vector<SmAbort>{{33, SmAbortPoint::kStatus, 2},
                                               {34, SmAbortPoint::kConnect, 0},
                                               {35, SmAbortPoint::kReport, 1},
                                               {0, SmAbortPoint::kStatus, 3, true}}));
  EXPECT_EQ(f->sessionTimeoutMs, 250);
  EXPECT_EQ(f->catalogue.at({131, 11}), "Object %s");
  EXPECT_EQ(f->literals.at(7512), "by operator");
  // Key bytes are kept in lower case, as they travel.
  EXPECT_EQ(
      f->keys,
      (std::vector<KeyRecord>{{"db2/i1", std::string(32, 'a'), std::string(32, 'a'), 3, 1, data}}));
}

TEST(Fixture, RefusesWithTheLineNumber) {
  const struct {
    std::string text;
    std::string why;
  } cases[] = {
      {"bogus 1\n", "line 1: unknown directive: bogus"},
      {"\n\nlogin 1 2 3\n", "line 3: login takes 6 arguments, not 3"},
      {"login x 0 a b 0 c\n", "line 1: not a number in 0..4294967295: x"},
      {"login 0x123456789 0 a b 0 c\n", "line 1: not a 32-bit hexadecimal number: 0x123456789"},
      {"option a \"b\n", "line 1: unterminated quoted word"},
      {"option a \"b\"c\n", "line 1: text right after a closing quote"},
      {"option a b\"c\n", "line 1: quote inside an unquoted word"},
      {"option a \"\\q\"\n", "line 1: unknown escape \\q"},
      {"option a \"\\x4\"\n", "line 1: \\x needs two hexadecimal digits"},
      {"option a \"\\x00\"\n", "line 1: message item holds \\x00"},
      {"item 80 a \"\\xff\" utf16\n", "line 1: utf16 value is not valid UTF-8"},
      {"item 80 a b utf8\n", "line 1: unexpected word after the value: utf8"},
      {"item -1 a b\n", "line 1: not a number in 0..999999: -1"},
      {"fault 214 explode\n", "line 1: unknown fault kind: explode"},
      {"fault 214 delay 600001\n", "line 1: not a number in 0..600000: 600001"},
      {"fault 214 error\n", "line 1: fault error: wrong number of arguments"},
      {"fault 214 port0 times=0\n", "line 1: times= needs a count of 1 or more"},
      {"\"login\" 1\n", "line 1: a directive name is never quoted"},
      {"baropt\n", "line 1: baropt takes connect, wait or abort"},
      {"baropt stop\n", "line 1: baropt answer is connect, wait or abort, not stop"},
      {"baropt wait\n", "line 1: baropt takes 2 arguments, not 1"},
      {"baropt wait 86401\n", "line 1: not a number in -1000000..86400: 86401"},
      {"baropt connect \"a\\x00\"\n", "line 1: message item holds \\x00"},
      {"sm-abort 1 later\n", "line 1: sm-abort point is connect, status or report, not later"},
      {"sm-abort 1 status\n", "line 1: sm-abort takes 3 arguments, not 2"},
      {"sm-abort 1 status 0\n", "line 1: not a number in 1..1000000: 0"},
      {"sm-drop connect 1\n", "line 1: sm-drop point is status or report, not connect"},
      {"session-timeout 0\n", "line 1: not a number in 1..86400000: 0"},
      {"key e 00 00 1 1 00\n", "line 1: expected 32 hexadecimal digits: 00"},
      {"key e " + std::string(31, '0') + "g " + std::string(32, '0') + " 1 1 " +
           std::string(64, '0') + "\n",
       "line 1: not hexadecimal: " + std::string(31, '0') + "g"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(ParseFixture(c.text, &why)) << c.text;
    EXPECT_EQ(why, c.why) << c.text;
  }
}

TEST(Fixture, Utf16LittleEndianBehindItsMark) {
  EXPECT_EQ(Utf8ToUtf16LeWithMark("A"),
            "\xFF\xFE"
            "A\0"sv);
  EXPECT_EQ(Utf8ToUtf16LeWithMark("\xE2\x82\xAC"), "\xFF\xFE\xAC\x20"sv);              // U+20AC
  EXPECT_EQ(Utf8ToUtf16LeWithMark("\xF0\x9F\x98\x80"), "\xFF\xFE\x3D\xD8\x00\xDE"sv);  // U+1F600
  EXPECT_FALSE(Utf8ToUtf16LeWithMark("\xC0\x80"));                                     // overlong
  EXPECT_FALSE(Utf8ToUtf16LeWithMark("\xED\xA0\x80"));                                 // surrogate
  EXPECT_FALSE(Utf8ToUtf16LeWithMark("\xE2\x82"));                                     // cut short
  EXPECT_FALSE(Utf8ToUtf16LeWithMark("\xF4\x90\x80\x80"));  // above U+10FFFF
}

TEST(StoreNames, EveryNameBecomesOneSafeFileName) {
  EXPECT_EQ(EscapeName("config/DB2/host%inst"), "config%2FDB2%2Fhost%25inst");
  EXPECT_EQ(EscapeName(""), "=");
  EXPECT_EQ(EscapeName(".."), "%2E.");
  EXPECT_EQ(EscapeName("a.b-c_D9"), "a.b-c_D9");
  EXPECT_EQ(EscapeName(std::string("\0\xff=", 3)), "%00%FF%3D");
  EXPECT_FALSE(EscapeName(std::string(86, '/')));
  EXPECT_TRUE(EscapeName(std::string(85, '/')));
  for (const std::string name : {"config/DB2/host%inst", "", "..", ".x", "a b\n"}) {
    EXPECT_EQ(UnescapeName(*EscapeName(name)), name);
  }
  for (const char* bad : {"", ".x", "a/b", "a%2", "a%zz", "a%2f", ".tmp.1.2"})
    EXPECT_FALSE(UnescapeName(bad)) << bad;
}

TEST(Store, KeepsValuesInsideItsDirectoryAndAcrossInstances) {
  tarn::test::TempDir dir;
  const std::string root = dir.path() + "/state";
  {
    Store store(root);
    ASSERT_TRUE(store.ok());
    EXPECT_EQ(store.put({Area::kItem, 80, "../../../escape"}, "x"), Outcome::kOk);
    EXPECT_EQ(store.put({Area::kItem, 80, "b"}, std::string("\0\1", 2)), Outcome::kOk);
    EXPECT_EQ(store.put({Area::kFile, 1, {}}, "users"), Outcome::kOk);
    EXPECT_EQ(store.put({Area::kItem, -1, "x"}, "x"), Outcome::kInvalid);
    EXPECT_EQ(store.put({Area::kItem, 80, std::string(300, 'a')}, "x"), Outcome::kInvalid);
    EXPECT_EQ(store.rename({Area::kItem, 80, "b"}, "../../../escape"), Outcome::kExists);
    EXPECT_EQ(store.rename({Area::kItem, 80, "missing"}, "c"), Outcome::kMissing);
  }
  EXPECT_TRUE(std::filesystem::exists(root + "/items/80/%2E.%2F..%2F..%2Fescape"));
  Store again(root);
  EXPECT_EQ(again.get({Area::kItem, 80, "b"}), std::string("\0\1", 2));
  EXPECT_EQ(again.get({Area::kFile, 1, {}}), "users");
  EXPECT_EQ(again.names(Area::kItem, 80), (std::vector<std::string>{"../../../escape", "b"}));
  EXPECT_EQ(again.names(Area::kFile, 0), (std::vector<std::string>{"1"}));
  Outcome outcome = Outcome::kOk;
  EXPECT_FALSE(again.get({Area::kCustom, 5, "none"}, &outcome));
  EXPECT_EQ(outcome, Outcome::kMissing);
  EXPECT_EQ(again.rename({Area::kItem, 80, "b"}, "c"), Outcome::kOk);
  EXPECT_EQ(again.remove({Area::kItem, 80, "c"}), Outcome::kOk);
  EXPECT_EQ(again.remove({Area::kItem, 80, "c"}), Outcome::kMissing);
}
