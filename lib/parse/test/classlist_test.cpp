// User classes: parsing and writing the class list, and the permission mask a
// client is granted through the user list.
#include <netdb.h>

#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "parse/userlist.h"
#include "tarn_test.h"

TARN_RCSID("lib/parse/test/classlist_test.cpp");

namespace {

void FreeHeap(void* heap) {
  safe_free(heap, TARN_HERE);
}

std::string Written(const UserClassList* classes) {
  char* text = UserPwriteClassListToBuffer(classes);
  return text != nullptr ? tarn::test::TakeText<FreeHeap>(text) : "<refused>";
}

UserClassList* Class(const char* name, int permission, const char* description) {
  UserClassList* c = UserPmallocClassList();
  c->name = StrNewCopy(name);
  c->permission = permission;
  c->description = description != nullptr ? StrNewCopy(description) : nullptr;
  return c;
}

TEST(ClassList, ParseInTextOrderWithKeywordsInAnyCase) {
  UserClassList* list = UserPparseClassListBuffer(
      "CLASS admin \nPERMISSION -1\nDESCRIPTION \"All rights\"\n\n"
      "class operator permission 6\n"
      "Class 'user' Permission 2 description 'Read, \"restore\"' unknown words\n"
      "class bad permission x1\n"
      "class last permission");
  std::vector<std::string> names;
  for (const UserClassList* c = list; c != nullptr; c = c->next) names.push_back(c->name);
  EXPECT_EQ(names, (std::vector<std::string>{"admin", "operator", "user", "bad", "last"}));
  EXPECT_EQ(list->permission, -1);
  EXPECT_STREQ(list->description, "All rights");
  EXPECT_EQ(list->next->description, nullptr);
  UserClassList* user = UserPfindClassListItem(list, "USER");
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(user->permission, 2);
  EXPECT_STREQ(user->description, "Read, \"restore\"");
  EXPECT_EQ(UserPfindClassListItem(list, "bad")->permission, 0);
  EXPECT_EQ(UserPfindClassListItem(list, "none"), nullptr);
  UserPdeleteClassListItems(list);
}

TEST(ClassList, WriterTextReadsBack) {
  UserClassList* list = nullptr;
  int at = -1;
  list = UserPinsortClassListItem(list, Class("admin", -1, "All rights"), &at);
  list = UserPinsortClassListItem(list, Class("user", 2, nullptr), &at);
  EXPECT_EQ(at, 1);
  const std::string text = Written(list);
  EXPECT_EQ(text,
            "CLASS admin \nPERMISSION -1\nDESCRIPTION \"All rights\"\n\n"
            "CLASS user \nPERMISSION 2\n\n");
  UserClassList* again = UserPparseClassListBuffer(text.c_str());
  EXPECT_EQ(Written(again), text);
  UserPdeleteClassListItems(again);
  UserPdeleteClassListItems(list);
}

void ClearErrorState() {
  ErhClearErrorM(TARN_HERE);
}
// Refused classes leave the sticky error state set; each test starts clean.
using ClassListWriter = tarn::test::ResetAroundEachTest<ClearErrorState>;

TEST_F(ClassListWriter, RefusesClassesThatWouldReadBackDifferently) {
  for (UserClassList* c :
       {Class("two words", 1, nullptr), Class("", 1, nullptr), Class("'q'", 1, nullptr),
        Class("ok", 1, "say \"hi\""), Class("ok", 1, std::string(2000, 'd').c_str())}) {
    ErhClearError();
    EXPECT_EQ(Written(c), "<refused>") << c->name;
    EXPECT_EQ(ErhErrno(), ERH_CSA_ITEM);
    UserPfreeClassList(c);
  }
}

class Permissions : public ::testing::Test {
 protected:
  void SetUp() override {
    users_ = UserPparseUserListBuffer(
        "U bob staff * operator\n"
        "U bob staff 10.0.0.* user\n"
        "U * * CELLSERVER admin\n"
        "U carol * 127.0.0.1 admin\n"
        "U dave staff host1;host2 user\n");
    classes_ = UserPparseClassListBuffer(
        "class operator permission 4\nclass user permission 2\nclass admin permission -1\n");
  }
  void TearDown() override {
    UserPdeleteUserList(users_);
    UserPdeleteClassListItems(classes_);
  }
  UserList* users_ = nullptr;
  UserClassList* classes_ = nullptr;
};

TEST_F(Permissions, FindAndMaskOverEveryGrantedClass) {
  EXPECT_STREQ(UserPfindUserItem(users_, "bob", "staff", "h", "10.0.0.9", "user")->userClass,
               "user");
  EXPECT_EQ(UserPfindUserItem(users_, "bob", "other", "h", "10.0.0.9", "user"), nullptr);
  EXPECT_STREQ(UserPfindUserItem(users_, "bob", "staff", "h", nullptr, nullptr)->userClass,
               "operator");
  EXPECT_EQ(UserPgetUserPermissionMask(users_, classes_, "bob", "staff", "h", "10.0.0.9"), 6);
  EXPECT_EQ(UserPgetUserPermissionMask(users_, classes_, "bob", "staff", "h", "10.1.0.9"), 4);
  EXPECT_EQ(UserPgetUserPermissionMask(users_, classes_, "dave", "staff", "host2", "10.9.9.9"), 2);
  EXPECT_EQ(UserPgetUserPermissionMask(users_, classes_, "BOB", "staff", "h", "10.0.0.9"), 0);
  EXPECT_EQ(UserPgetUserPermissionMask(users_, classes_, "eve", "x", "CELLSERVER", "10.2.2.2"), -1);
  EXPECT_EQ(UserPgetUserPermissionMask(users_, nullptr, "bob", "staff", "h", "10.0.0.9"), 0);
}

TEST_F(Permissions, AHostNameIsResolvedWhenNoAddressIsGiven) {
  const hostent* local = GetHostByName("localhost");
  if (local == nullptr || local->h_addrtype != AF_INET)
    GTEST_SKIP() << "localhost does not resolve";
  EXPECT_EQ(UserPgetUserPermissionMask(users_, classes_, "carol", "any", "localhost", nullptr), -1);
  EXPECT_EQ(UserPgetUserPermissionMask(users_, classes_, "carol", "any", "localhost", "10.1.1.1"),
            0);
}

}  // namespace
