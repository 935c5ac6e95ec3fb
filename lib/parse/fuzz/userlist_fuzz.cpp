// Fuzz target of the user-list and class-list parsers: any text parses
// without a fault, and whatever the writers accept reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "fuzz/fuzzseed.h"
#include "parse/userlist.h"

TARN_RCSID("lib/parse/fuzz/userlist_fuzz.cpp");

namespace {

bool Same(const char* a, const char* b) {
  return std::strcmp(a ? a : "", b ? b : "") == 0;
}

void CheckUsers(const char* text) {
  UserList* list = UserPparseUserListBuffer(text);
  if (list != nullptr) tarn::fuzz::Accepted();
  char* written = UserPwriteUserListToBuffer(list, nullptr);
  if (written != nullptr) {
    UserList* again = UserPparseUserListBuffer(written);
    const UserList* a = list;
    const UserList* b = again;
    for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
      if (!Same(a->kind, b->kind) || !Same(a->user, b->user) || !Same(a->group, b->group) ||
          !Same(a->host, b->host) || !Same(a->userClass, b->userClass)) {
        std::abort();
      }
    }
    if (a != nullptr || b != nullptr) std::abort();
    UserPdeleteUserList(again);
    safe_free(written, TARN_HERE);
  }
  UserPdeleteUserList(list);
}

void CheckClasses(const char* text) {
  UserClassList* list = UserPparseClassListBuffer(text);
  if (list != nullptr) tarn::fuzz::Accepted();
  char* written = UserPwriteClassListToBuffer(list);
  if (written != nullptr) {
    UserClassList* again = UserPparseClassListBuffer(written);
    const UserClassList* a = list;
    const UserClassList* b = again;
    for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
      if (!Same(a->name, b->name) || !Same(a->description, b->description) ||
          a->permission != b->permission) {
        std::abort();
      }
    }
    if (a != nullptr || b != nullptr) std::abort();
    UserPdeleteClassListItems(again);
    safe_free(written, TARN_HERE);
  }
  UserPdeleteClassListItems(list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckUsers(text.c_str());
  CheckClasses(text.c_str());
  ErhClearErrorM(TARN_HERE);
  return 0;
}

// A user list and a class list as their writers put them out.
void FuzzSeeds(tarn::fuzz::Seeds* seeds) {
  UserList* users = UserPparseUserListBuffer(
      "\"U\" \"bob\" \"staff\" * \"admin\"\nU alice 'the group' 10.0.0-7.* user\n");
  char* text = UserPwriteUserListToBuffer(users, "cs1.example.com");
  if (users == nullptr || text == nullptr) std::abort();
  seeds->Add("users", text);
  safe_free(text, TARN_HERE);
  UserPdeleteUserList(users);
  UserClassList* classes =
      UserPparseClassListBuffer("class admin permission -1 description \"All\"\n");
  text = UserPwriteClassListToBuffer(classes);
  if (classes == nullptr || text == nullptr) std::abort();
  seeds->Add("classes", text);
  safe_free(text, TARN_HERE);
  UserPdeleteClassListItems(classes);
}
