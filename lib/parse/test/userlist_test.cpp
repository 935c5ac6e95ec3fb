// User list: scanning lines and fields, parsing with sorting and rejected
// lines, and writing lines that read back as the same entries.
#include "parse/userlist.h"

#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "tarn_test.h"

TARN_RCSID("lib/parse/test/userlist_test.cpp");

namespace {

struct Fields {
  std::string kind, user, group, host, userClass;
  bool operator==(const Fields&) const = default;
};

std::vector<Fields> Entries(const UserList* list) {
  std::vector<Fields> entries;
  for (; list != nullptr; list = list->next) {
    entries.push_back({list->kind, list->user, list->group, list->host, list->userClass});
  }
  return entries;
}

std::vector<int> Rejected() {
  int count = 0;
  const int* lines = UserPgetRejectedLines(&count, nullptr);
  return {lines, lines + count};
}

UserList* Entry(const char* kind, const char* user, const char* group, const char* host,
                const char* userClass) {
  UserList* e = UserPmallocUserList();
  e->kind = StrNewCopy(kind);
  e->user = StrNewCopy(user);
  e->group = StrNewCopy(group);
  e->host = StrNewCopy(host);
  e->userClass = StrNewCopy(userClass);
  return e;
}

void FreeHeap(void* heap) {
  safe_free(heap, TARN_HERE);
}

std::string Written(const UserList* list, const char* cellServer) {
  char* text = UserPwriteUserListToBuffer(list, cellServer);
  return text != nullptr ? tarn::test::TakeText<FreeHeap>(text) : "<refused>";
}

TEST(AdmScanner, LinesAndFields) {
  const char* text = "one 'two three' \"\" four\nlast";
  const char* p = AdmGetNextLine(text);
  EXPECT_STREQ(AdmGetLine(), "one 'two three' \"\" four");
  const char* field = AdmGetLine();
  std::vector<std::string> fields;
  while ((field = AdmGetNextToken(field)) != nullptr) fields.emplace_back(AdmGetToken());
  EXPECT_EQ(fields, (std::vector<std::string>{"one", "two three", "", "four"}));
  p = AdmGetNextLine(p);
  EXPECT_STREQ(AdmGetLine(), "last");
  EXPECT_EQ(AdmGetNextLine(p), nullptr);
  // An unclosed quote runs to the end.
  EXPECT_NE(AdmGetNextToken("  'open end"), nullptr);
  EXPECT_STREQ(AdmGetToken(), "open end");
}

TEST(AdmScanner, LongLinesAndFieldsAreCut) {
  const std::string line(3000, 'a');
  const std::string text = line + "\nnext";
  const char* p = AdmGetNextLine(text.c_str());
  EXPECT_EQ(std::string(AdmGetLine()), line.substr(0, kAdmLineMax));
  EXPECT_TRUE(AdmLineWasCut());
  EXPECT_STREQ(p, "next");
  EXPECT_NE(AdmGetNextToken(line.c_str()), nullptr);
  EXPECT_EQ(std::string(AdmGetToken()).size(), kAdmLineMax);
}

TEST(UserList, SortedByUserIgnoringCaseWithRejectedLines) {
  const std::string text =
      "U bob staff * admin\n"
      "U Alice staff host1 operator\n"
      "\n"
      "U only four fields\n"
      "U alice 'the group' \"\" user extra ignored\n" +
      std::string(1100, 'x') + " a b c d\n" + "U Bob other * user";
  UserList* list = UserPparseUserListBuffer(text.c_str());
  EXPECT_EQ(Entries(list), (std::vector<Fields>{
                               {"U", "Alice", "staff", "host1", "operator"},
                               {"U", "alice", "the group", "", "user"},
                               {"U", "bob", "staff", "*", "admin"},
                               {"U", "Bob", "other", "*", "user"},
                           }));
  EXPECT_EQ(Rejected(), (std::vector<int>{3, 4, 6}));
  UserPdeleteUserList(list);

  // Each parse starts a new record of rejected lines.
  UserPdeleteUserList(UserPparseUserListBuffer("a b c d e\n"));
  EXPECT_TRUE(Rejected().empty());
  EXPECT_EQ(UserPparseUserListBuffer(""), nullptr);
}

TEST(UserList, RejectedLineNumbersAreBounded) {
  std::string text;
  for (int i = 0; i < 1500; ++i) text += "short\n";
  EXPECT_EQ(UserPparseUserListBuffer(text.c_str()), nullptr);
  int count = 0;
  int total = 0;
  const int* lines = UserPgetRejectedLines(&count, &total);
  EXPECT_EQ(count, kUserRejectedMax);
  EXPECT_EQ(total, 1500);
  EXPECT_EQ(lines[kUserRejectedMax - 1], kUserRejectedMax);
}

TEST(UserList, InsortPlacesEqualNamesAfterExistingOnes) {
  UserList* list = nullptr;
  int at = -1;
  list = UserPinsortUserListItem(list, Entry("U", "m", "g", "*", "1"), &at);
  list = UserPinsortUserListItem(list, Entry("U", "a", "g", "*", "2"), &at);
  EXPECT_EQ(at, 0);
  list = UserPinsortUserListItem(list, Entry("U", "M", "g", "*", "3"), &at);
  EXPECT_EQ(at, 2);
  list = UserPinsortUserListItem(list, Entry("U", "z", "g", "*", "4"), &at);
  EXPECT_EQ(at, 3);
  std::vector<std::string> classes;
  for (const Fields& f : Entries(list)) classes.push_back(f.userClass);
  EXPECT_EQ(classes, (std::vector<std::string>{"2", "1", "3", "4"}));
  UserPdeleteUserList(list);
}

TEST(UserList, WriterQuotesAllButTheHostAndNamesTheCellServer) {
  UserList* list = Entry("U", "bob", "the group", "CELLSERVER", "admin");
  list->next = Entry("WIN", "*", "", "10.0.0-7.*", "user");
  EXPECT_EQ(Written(list, "cell.example.com"),
            "\"U\" \"bob\" \"the group\" cell.example.com \"admin\"\n"
            "\"WIN\" \"*\" \"\" 10.0.0-7.* \"user\"\n");
  EXPECT_EQ(Written(list, nullptr),
            "\"U\" \"bob\" \"the group\" CELLSERVER \"admin\"\n"
            "\"WIN\" \"*\" \"\" 10.0.0-7.* \"user\"\n");
  // What is written reads back as the same entries.
  const std::string text = Written(list, nullptr);
  UserList* again = UserPparseUserListBuffer(text.c_str());
  EXPECT_EQ(Entries(again),
            (std::vector<Fields>{{"WIN", "*", "", "10.0.0-7.*", "user"},
                                 {"U", "bob", "the group", "CELLSERVER", "admin"}}));
  UserPdeleteUserList(again);
  UserPdeleteUserList(list);
  EXPECT_EQ(Written(nullptr, nullptr), "");
}

void ClearErrorState() {
  ErhClearErrorM(TARN_HERE);
}
// Refused entries leave the sticky error state set; each test starts clean.
using UserListWriter = tarn::test::ResetAroundEachTest<ClearErrorState>;

TEST_F(UserListWriter, RefusesEntriesThatWouldReadBackDifferently) {
  struct Case {
    const char* user;
    const char* host;
  };
  for (const Case& c : {Case{"say \"hi\"", "h"}, Case{"two\nlines", "h"}, Case{"u", "a host"},
                        Case{"u", ""}, Case{"u", "'quoted'"}, Case{"u", "\"q\""}}) {
    ErhClearError();
    UserList* list = Entry("U", "ok", "g", "*", "c");
    list->next = Entry("U", c.user, "g", c.host, "c");
    EXPECT_EQ(Written(list, nullptr), "<refused>") << c.user << "|" << c.host;
    EXPECT_EQ(ErhErrno(), ERH_CSA_ITEM);
    UserPdeleteUserList(list);
  }
  // The cell-server name replaces the host, so it must be writable too.
  UserList* list = Entry("U", "u", "g", "CELLSERVER", "c");
  EXPECT_EQ(Written(list, "bad name"), "<refused>");
  UserPdeleteUserList(list);
  // A line the scanner would cut.
  list = Entry("U", std::string(1100, 'u').c_str(), "g", "h", "c");
  EXPECT_EQ(Written(list, nullptr), "<refused>");
  UserPdeleteUserList(list);
}

}  // namespace
