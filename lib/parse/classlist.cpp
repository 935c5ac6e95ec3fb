// User classes: parsing and writing the class list, and the permissions the
// user list grants a client through it.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "parse/ipspec.h"
#include "parse/userlist.h"

TARN_RCSID("lib/parse/classlist.cpp");

namespace {

bool WildOrEqual(const char* pattern, const char* value) {
  return StrCmpNSA(pattern, "*") == 0 || StrCmpNSA(pattern, value) == 0;
}

// The class name is written bare, the description between double quotes; the
// scanner keeps at most kAdmLineMax characters of a field.
bool Writable(const UserClassList* entry) {
  const char* name = entry->name;
  if (name == nullptr || name[0] == '\0' || name[0] == '"' || name[0] == '\'' ||
      std::strlen(name) > kAdmLineMax) {
    return false;
  }
  for (const char* p = name; *p != '\0'; ++p) {
    if (std::isspace(static_cast<unsigned char>(*p))) return false;
  }
  const char* description = entry->description;
  return description == nullptr ||
         (std::strchr(description, '"') == nullptr && std::strlen(description) <= kAdmLineMax);
}

int GrantedMask(UserList* list, const UserClassList* classes, const char* user, const char* group,
                const char* host, const char* address) {
  int mask = 0;
  for (const UserClassList* c = classes; c != nullptr; c = c->next) {
    if (UserPfindUserItem(list, user, group, host, address, c->name) == nullptr) continue;
    if (c->permission == -1) return -1;
    mask |= c->permission;
  }
  return mask;
}

}  // namespace

UserList* UserPfindUserItem(UserList* list, const char* user, const char* group, const char* host,
                            const char* address, const char* userClass) {
  for (UserList* entry = list; entry != nullptr; entry = entry->next) {
    if (userClass != nullptr && StrCmpNSA(entry->userClass, userClass) != 0) continue;
    if (!WildOrEqual(entry->user, user) || !WildOrEqual(entry->group, group)) continue;
    if (StrCmpNSA(entry->host, "*") == 0 || ConnectionIPCheck(host, address, entry->host) == 1) {
      return entry;
    }
  }
  return nullptr;
}

int UserPgetUserPermissionMask(UserList* list, const UserClassList* classes, const char* user,
                               const char* group, const char* host, const char* address) {
  int mask = GrantedMask(list, classes, user, group, host, address);
  if (mask == -1 || (address != nullptr && address[0] != '\0') || host == nullptr ||
      host[0] == '\0') {
    return mask;
  }
  // Entries may name the client by address only.
  std::vector<std::string> addresses;
  if (const hostent* entry = GetHostByName(host);
      entry != nullptr && entry->h_addrtype == AF_INET && entry->h_length == 4) {
    for (char** a = entry->h_addr_list; *a != nullptr; ++a) {
      const auto* b = reinterpret_cast<const unsigned char*>(*a);
      char text[16];
      std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
      addresses.emplace_back(text);
    }
  }
  for (const std::string& text : addresses) {
    const int more = GrantedMask(list, classes, user, group, host, text.c_str());
    if (more == -1) return -1;
    mask |= more;
  }
  return mask;
}

UserClassList* UserPparseClassListBuffer(const char* text) {
  UserClassList* head = nullptr;
  UserClassList** tail = &head;
  UserClassList* current = nullptr;
  const char* p = text;
  while ((p = AdmGetNextToken(p)) != nullptr) {
    const std::string keyword = AdmGetToken();
    if (StrICmpA(keyword.c_str(), "class") == 0) {
      if ((p = AdmGetNextToken(p)) == nullptr) break;
      UserClassList* entry = UserPmallocClassList();
      if (entry == nullptr) break;
      entry->name = StrNewCopy(AdmGetToken());
      *tail = entry;
      tail = &entry->next;
      current = entry;
    } else if (StrICmpA(keyword.c_str(), "permission") == 0) {
      if ((p = AdmGetNextToken(p)) == nullptr) break;
      int mask = 0;
      // An unreadable mask grants nothing.
      if (current != nullptr)
        current->permission = StrAtoi(AdmGetToken(), &mask, nullptr) == 1 ? mask : 0;
    } else if (StrICmpA(keyword.c_str(), "description") == 0) {
      if ((p = AdmGetNextToken(p)) == nullptr) break;
      if (current != nullptr) {
        if (current->description != nullptr) safe_free(current->description, TARN_HERE);
        current->description = StrNewCopy(AdmGetToken());
      }
    }
  }
  return head;
}

char* UserPwriteClassListToBuffer(const UserClassList* classes) {
  std::string text;
  for (const UserClassList* c = classes; c != nullptr; c = c->next) {
    if (!Writable(c)) {
      ErhMarkM(ERH_CSA_ITEM, 0, "UserPwriteClassListToBuffer", kErhWarning, TARN_HERE);
      ErhSetErrorInfo(c->name != nullptr ? c->name : "");
      return nullptr;
    }
    text.append("CLASS ").append(c->name).append(" \nPERMISSION ");
    text.append(std::to_string(c->permission)).push_back('\n');
    if (c->description != nullptr)
      text.append("DESCRIPTION \"").append(c->description).append("\"\n");
    text.push_back('\n');
  }
  return StrNewCopy(text.c_str());
}

UserClassList* UserPmallocClassList() {
  return static_cast<UserClassList*>(safe_calloc(1, sizeof(UserClassList), TARN_HERE));
}

void UserPfreeClassList(UserClassList* entry) {
  if (entry == nullptr) return;
  if (entry->name != nullptr) safe_free(entry->name, TARN_HERE);
  if (entry->description != nullptr) safe_free(entry->description, TARN_HERE);
  safe_free(entry, TARN_HERE);
}

void UserPdeleteClassListItems(UserClassList* list) {
  while (list != nullptr) {
    UserClassList* next = list->next;
    UserPfreeClassList(list);
    list = next;
  }
}

UserClassList* UserPfindClassListItem(UserClassList* list, const char* name) {
  for (UserClassList* c = list; c != nullptr; c = c->next) {
    if (StrICmpA(c->name, name) == 0) return c;
  }
  return nullptr;
}

UserClassList* UserPinsortClassListItem(UserClassList* list, UserClassList* entry, int* position) {
  if (entry == nullptr) return list;
  UserClassList** link = &list;
  int at = 0;
  while (*link != nullptr) {
    link = &(*link)->next;
    ++at;
  }
  entry->next = nullptr;
  *link = entry;
  if (position != nullptr) *position = at;
  return list;
}

int CellPgetPlatform(const char* text) {
  return CvtStrToPlatformId(text);
}
