// The cell's user list through the cell-server client: loaded from single
// file 1 once per server slot, changed in memory, written back on commit.
#include <string>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "csa/csa.h"
#include "csa/csaimpl.h"
#include "csa/csaops.h"
#include "parse/userlist.h"

TARN_RCSID("cs/csa/csauser.cpp");

using namespace csa_detail;

namespace {

// The kind field of entries this client adds.
constexpr char kUserKind[] = "UNIX";

bool NonEmpty(const char* text) {
  return text != nullptr && *text != '\0';
}

// The slot with its user list loaded, or null.
CsaServerSlot* Loaded(const char* function, int slot) {
  CsaServerSlot* s = ReadySlot(function, slot);
  if (s == nullptr) return nullptr;
  if (s->usersLoaded == 0) {
    MCsaUserGetList(slot);
    if (s->usersLoaded == 0) return nullptr;
  }
  return s;
}

bool Matches(const UserList* e, const char* name, const char* group, const char* host) {
  return StrICmpA(e->user, name) == 0 && StrICmpA(e->group, group) == 0 &&
         StrICmpA(e->host, host) == 0;
}

// The link that holds the entry of user, group and host (case ignored), or
// null when none does.
UserList** user_find(UserList** list, const char* name, const char* group, const char* host) {
  for (UserList** link = list; *link != nullptr; link = &(*link)->next) {
    if (Matches(*link, name, group, host)) return link;
  }
  return nullptr;
}

// A new entry of this client's kind at the head of the slot's list; false
// when memory ran out.
bool user_add(CsaServerSlot& slot, const char* name, const char* group, const char* host,
              const char* className) {
  UserList* entry = UserPmallocUserList();
  if (entry == nullptr) return false;
  entry->kind = StrNewCopy(kUserKind);
  entry->user = StrNewCopy(name);
  entry->group = StrNewCopy(group);
  entry->host = StrNewCopy(host);
  entry->userClass = StrNewCopy(className);
  if (entry->kind == nullptr || entry->user == nullptr || entry->group == nullptr ||
      entry->host == nullptr || entry->userClass == nullptr) {
    UserPfreeUserList(entry);
    return false;
  }
  entry->next = slot.users;
  slot.users = entry;
  return true;
}

}  // namespace

UserList* MCsaUserGetList(int slot) {
  static const char kFn[] = "MCsaUserGetList";
  CsaServerSlot* s = ReadySlot(kFn, slot);
  if (s == nullptr) return nullptr;
  if (s->usersLoaded != 0) return s->users;
  if ((s->acl & kCsaRightUserAdmin) == 0) {
    DbgPlain(kLevel, "[%s] no right to read the users of %s (rights 0x%x)", kFn, s->host, s->acl);
    ErhMark(ECSANORIGHTS, 0, kFn, kErhMinor);
    return nullptr;
  }
  char* text = nullptr;
  if (MCsaGetSingleFile(slot, kCsaFileUsers, &text, 1) != 0) return nullptr;
  DbgPlain(kLevel, "[%s] %s", kFn, text);
  s->users = UserPparseUserListBuffer(text);
  s->usersLoaded = 1;
  safe_free(text, TARN_HERE);
  return s->users;
}

int MCsaUserAdd(int slot, const char* name, const char* group, const char* host,
                const char* className) {
  static const char kFn[] = "MCsaUserAdd";
  if (!NonEmpty(name) || !NonEmpty(group) || !NonEmpty(host) || !NonEmpty(className)) {
    ErhMark(ECSAEMPTYARG, 0, kFn, kErhMinor);
    return -1;
  }
  const std::string expanded = CanonicalHost(host);
  CsaServerSlot* s = Loaded(kFn, slot);
  if (s == nullptr) return -1;
  if (user_find(&s->users, name, group, expanded.c_str()) != nullptr) {
    ErhMark(ECSAEXISTS, 0, kFn, kErhNormal);
    return -1;
  }
  if (!user_add(*s, name, group, expanded.c_str(), className)) return -1;
  DbgPlain(kLevel, "[%s] name:%s group:%s host:%s classname:%s", kFn, name, group, expanded.c_str(),
           className);
  return 0;
}

int MCsaUserDel(int slot, const char* name, const char* group, const char* host) {
  static const char kFn[] = "MCsaUserDel";
  if (!NonEmpty(name) || !NonEmpty(group) || !NonEmpty(host)) {
    ErhMark(ECSAEMPTYARG, 0, kFn, kErhMinor);
    return -1;
  }
  const std::string expanded = CanonicalHost(host);
  CsaServerSlot* s = Loaded(kFn, slot);
  if (s == nullptr) return -1;
  UserList** link = user_find(&s->users, name, group, expanded.c_str());
  if (link == nullptr) link = user_find(&s->users, name, group, host);
  if (link == nullptr) {
    ErhMark(ECSANOTFOUND, 0, kFn, kErhNormal);
    return -1;
  }
  UserList* e = *link;
  *link = e->next;
  UserPfreeUserList(e);
  return 0;
}

int MCsaUserCommit(int slot) {
  static const char kFn[] = "MCsaUserCommit";
  if (slot == -1) {
    const CsaContext* c = Running(kFn);
    if (c == nullptr) return -1;
    int rc = 0;
    for (int i = 0; i < c->boundSlots; ++i) {
      if (c->slots[i].usersLoaded != 0 && MCsaUserCommit(i) != 0) rc = -1;
    }
    return rc;
  }
  CsaServerSlot* s = ReadySlot(kFn, slot);
  if (s == nullptr) return -1;
  if (s->usersLoaded == 0) return 0;
  char* text = UserPwriteUserListToBuffer(s->users, s->host);
  if (text == nullptr) return -1;
  DbgPlain(kLevel, "[%s] Update users at %s", kFn, s->host);
  const int rc = MCsaPutSingleFile(slot, kCsaFileUsers, text);
  safe_free(text, TARN_HERE);
  return rc;
}
