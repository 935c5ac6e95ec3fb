// The cell's user list and user-class list: line and field scanners, parsing
// and writing both texts, and the permissions a client is granted.
#pragma once

#include <cstddef>

// Text of a user list: one entry per line, five blank-separated fields
// (kind, user, group, host, class); a field may be enclosed in double or
// single quotes, without escapes. The writer quotes all fields but the host.
struct UserList {
  char* kind;       // kept and written back unchanged
  char* user;       // "*" matches any user
  char* group;      // group or domain; "*" matches any group
  char* host;       // host or IP spec; "*" any client, "CELLSERVER" the cell server
  char* userClass;  // the class whose permissions the entry grants
  UserList* next;
};

// Text of a class list: "class" name, "permission" decimal mask and optionally
// "description" text, keywords in any letter case.
struct UserClassList {
  char* name;
  char* description;  // null when none
  int permission;     // -1: every permission
  UserClassList* next;
};

// Longest line and field the scanners keep; longer ones are cut.
inline constexpr std::size_t kAdmLineMax = 1024;
// Rejected line numbers kept per parse.
inline constexpr int kUserRejectedMax = 1023;

// ---------------------------------------------------------------- scanners
// Their results live in the process's parser work area: the next call of the
// same scanner overwrites them.

// Copies the next line (up to LF or the end, cut to kAdmLineMax characters)
// into the work area. The position after the line, or null when none is left.
const char* AdmGetNextLine(const char* text);
// The line last read (empty when none), and whether it was cut.
const char* AdmGetLine();
bool AdmLineWasCut();
// Skips white space and copies the next field into the work area: a quoted
// field without its quotes (running to the closing quote or the end), else
// the run up to white space. The position after the field, or null at the end.
const char* AdmGetNextToken(const char* text);
// The field last read (empty when none).
const char* AdmGetToken();

// ---------------------------------------------------------------- user list
// The entries of the text sorted by user name ignoring case (equal names keep
// their text order); null for an empty list. Lines with fewer than five
// fields, and lines longer than kAdmLineMax, give no entry and are recorded
// (see UserPgetRejectedLines). Free with UserPdeleteUserList.
UserList* UserPparseUserListBuffer(const char* text);
// The numbers (from 1) of the lines the last parse rejected, at most
// kUserRejectedMax of them; *count gets how many are listed, *total (may be
// null) how many there were. Valid until the next parse.
const int* UserPgetRejectedLines(int* count, int* total);
// An entry from the first five fields of the current line (AdmGetNextLine),
// or null: then `lineNumber` is recorded as rejected.
UserList* UserPgetUserFromLine(int lineNumber);
// Inserts `entry` after every entry whose user compares lower or equal
// ignoring case; *position (may be null) gets its index. The new head.
UserList* UserPinsortUserListItem(UserList* list, UserList* entry, int* position);
// New heap text of the list (free with safe_free); an empty list gives "".
// A host "CELLSERVER" is written as `cellServer` when that is given. Null,
// with 1001 marked, when an entry cannot be written so that it reads back the
// same (a quote or line end inside a quoted field, a host that is empty or
// holds white space or starts with a quote, a line longer than kAdmLineMax).
char* UserPwriteUserListToBuffer(const UserList* list, const char* cellServer);
// A zeroed entry, or null.
UserList* UserPmallocUserList();
// Frees one entry and its texts (not the rest of the list).
void UserPfreeUserList(UserList* entry);
// Frees a whole list.
void UserPdeleteUserList(UserList* list);

// The first entry that grants `userClass` (any class when null) to the user:
// user and group equal exactly or "*", and host "*" or matching the client by
// ConnectionIPCheck(host, address, entry host). Null when none.
UserList* UserPfindUserItem(UserList* list, const char* user, const char* group, const char* host,
                            const char* address, const char* userClass);
// The OR of the permission masks of every class granted to the user; -1 as
// soon as a granted class has -1. Without an address the host name is also
// resolved and each of its IPv4 addresses tried.
int UserPgetUserPermissionMask(UserList* list, const UserClassList* classes, const char* user,
                               const char* group, const char* host, const char* address);

// ---------------------------------------------------------------- class list
// The classes of the text in text order; null for none. Free with
// UserPdeleteClassListItems.
UserClassList* UserPparseClassListBuffer(const char* text);
// New heap text (free with safe_free). Null, with 1001 marked, for a class
// whose name is empty, holds white space or starts with a quote, or whose
// description holds a double quote or a line end.
char* UserPwriteClassListToBuffer(const UserClassList* classes);
UserClassList* UserPmallocClassList();
void UserPfreeClassList(UserClassList* entry);
void UserPdeleteClassListItems(UserClassList* list);
// First class with that name ignoring case, or null.
UserClassList* UserPfindClassListItem(UserClassList* list, const char* name);
// Appends at the end; *position (may be null) gets its index. The new head.
UserClassList* UserPinsortClassListItem(UserClassList* list, UserClassList* entry, int* position);

// Platform id of a platform name, -1 when unknown.
int CellPgetPlatform(const char* text);
