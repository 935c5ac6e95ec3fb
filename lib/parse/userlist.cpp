// User list: the line and field scanners, parsing the cell's user list into a
// sorted list, and writing it back so that every line reads back the same.
#include "parse/userlist.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "parse/parserctx.h"

TARN_RCSID("lib/parse/userlist.cpp");

namespace {

ParserWork parserPtdProto;
const PtdDescriptor ParserPtd = {"ParserPtd", &parserPtdProto, sizeof(ParserWork),
                                 nullptr,     nullptr,         nullptr};

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Copies at most kAdmLineMax characters; true when the source was longer.
bool CopyCut(char* dst, const char* src, std::size_t n) {
  const std::size_t kept = std::min(n, kAdmLineMax);
  std::memcpy(dst, src, kept);
  dst[kept] = '\0';
  return kept < n;
}

void Reject(int lineNumber) {
  ParserWork* work = ParserData();
  if (work->rejectedCount < kUserRejectedMax) work->rejected[work->rejectedCount++] = lineNumber;
  if (work->rejectedTotal < 0x7fffffff) ++work->rejectedTotal;
}

// A quoted field may hold anything but its quote and a line end; the writer
// uses double quotes.
bool QuotableField(const char* text) {
  return text == nullptr || std::strpbrk(text, "\"\n") == nullptr;
}

bool BareField(const char* text) {
  if (text == nullptr || text[0] == '\0' || text[0] == '"' || text[0] == '\'') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (IsSpace(*p)) return false;
  }
  return true;
}

void AppendQuoted(std::string* out, const char* text) {
  out->push_back('"');
  if (text != nullptr) out->append(text);
  out->push_back('"');
}

}  // namespace

ParserWork* ParserData() {
  auto* work = static_cast<ParserWork*>(CmnCreateContextEx(&ParserPtd, CMN_SLOT_PARSER));
  return work != nullptr ? work : &parserPtdProto;
}

const char* AdmGetNextLine(const char* text) {
  ParserWork* work = ParserData();
  work->line[0] = '\0';
  work->lineCut = false;
  if (text == nullptr || *text == '\0') return nullptr;
  const char* newline = std::strchr(text, '\n');
  const std::size_t length =
      newline != nullptr ? static_cast<std::size_t>(newline - text) : std::strlen(text);
  work->lineCut = CopyCut(work->line, text, length);
  return newline != nullptr ? newline + 1 : text + length;
}

const char* AdmGetLine() {
  return ParserData()->line;
}
bool AdmLineWasCut() {
  return ParserData()->lineCut;
}

const char* AdmGetNextToken(const char* text) {
  ParserWork* work = ParserData();
  work->token[0] = '\0';
  if (text == nullptr) return nullptr;
  const char* p = text;
  while (IsSpace(*p)) ++p;
  if (*p == '\0') return nullptr;
  if (*p == '"' || *p == '\'') {
    const char quote = *p++;
    const char* close = std::strchr(p, quote);
    const std::size_t length =
        close != nullptr ? static_cast<std::size_t>(close - p) : std::strlen(p);
    CopyCut(work->token, p, length);
    return close != nullptr ? close + 1 : p + length;
  }
  const char* start = p;
  while (*p != '\0' && !IsSpace(*p)) ++p;
  CopyCut(work->token, start, static_cast<std::size_t>(p - start));
  return p;
}

const char* AdmGetToken() {
  return ParserData()->token;
}

const int* UserPgetRejectedLines(int* count, int* total) {
  ParserWork* work = ParserData();
  if (count != nullptr) *count = work->rejectedCount;
  if (total != nullptr) *total = work->rejectedTotal;
  return work->rejected;
}

UserList* UserPgetUserFromLine(int lineNumber) {
  ParserWork* work = ParserData();
  // A cut line would give an entry the list never held.
  if (work->lineCut) {
    Reject(lineNumber);
    return nullptr;
  }
  char* fields[5] = {};
  const char* p = work->line;
  int n = 0;
  for (; n < 5; ++n) {
    p = AdmGetNextToken(p);
    if (p == nullptr) break;
    fields[n] = StrNewCopy(work->token);
    if (fields[n] == nullptr) break;
  }
  UserList* entry = n == 5 ? UserPmallocUserList() : nullptr;
  if (entry == nullptr) {
    for (char* field : fields) {
      if (field != nullptr) safe_free(field, TARN_HERE);
    }
    Reject(lineNumber);
    return nullptr;
  }
  entry->kind = fields[0];
  entry->user = fields[1];
  entry->group = fields[2];
  entry->host = fields[3];
  entry->userClass = fields[4];
  return entry;
}

UserList* UserPparseUserListBuffer(const char* text) {
  ParserWork* work = ParserData();
  work->rejectedCount = 0;
  work->rejectedTotal = 0;
  std::vector<UserList*> entries;
  int lineNumber = 0;
  for (const char* p = text; (p = AdmGetNextLine(p)) != nullptr;) {
    if (lineNumber < 0x7fffffff) ++lineNumber;
    if (UserList* entry = UserPgetUserFromLine(lineNumber); entry != nullptr) {
      entries.push_back(entry);
    }
  }
  // Same order as inserting one by one, without the quadratic walk.
  std::stable_sort(entries.begin(), entries.end(), [](const UserList* a, const UserList* b) {
    return StrICmpA(a->user, b->user) < 0;
  });
  UserList* head = nullptr;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    (*it)->next = head;
    head = *it;
  }
  return head;
}

UserList* UserPinsortUserListItem(UserList* list, UserList* entry, int* position) {
  if (entry == nullptr) return list;
  UserList** link = &list;
  int at = 0;
  while (*link != nullptr && StrICmpA((*link)->user, entry->user) <= 0) {
    link = &(*link)->next;
    ++at;
  }
  entry->next = *link;
  *link = entry;
  if (position != nullptr) *position = at;
  return list;
}

char* UserPwriteUserListToBuffer(const UserList* list, const char* cellServer) {
  std::string text;
  for (const UserList* entry = list; entry != nullptr; entry = entry->next) {
    const char* host = entry->host;
    if (cellServer != nullptr && cellServer[0] != '\0' && StrCmpNSA(host, "CELLSERVER") == 0) {
      host = cellServer;
    }
    std::string line;
    AppendQuoted(&line, entry->kind);
    line.push_back(' ');
    AppendQuoted(&line, entry->user);
    line.push_back(' ');
    AppendQuoted(&line, entry->group);
    line.push_back(' ');
    if (host != nullptr) line.append(host);
    line.push_back(' ');
    AppendQuoted(&line, entry->userClass);
    if (!QuotableField(entry->kind) || !QuotableField(entry->user) ||
        !QuotableField(entry->group) || !QuotableField(entry->userClass) || !BareField(host) ||
        line.size() > kAdmLineMax) {
      ErhMarkM(ERH_CSA_ITEM, 0, "UserPwriteUserListToBuffer", kErhWarning, TARN_HERE);
      ErhSetErrorInfo(line.c_str());
      return nullptr;
    }
    text.append(line);
    text.push_back('\n');
  }
  return StrNewCopy(text.c_str());
}

UserList* UserPmallocUserList() {
  return static_cast<UserList*>(safe_calloc(1, sizeof(UserList), TARN_HERE));
}

void UserPfreeUserList(UserList* entry) {
  if (entry == nullptr) return;
  for (char* text : {entry->kind, entry->user, entry->group, entry->host, entry->userClass}) {
    if (text != nullptr) safe_free(text, TARN_HERE);
  }
  safe_free(entry, TARN_HERE);
}

void UserPdeleteUserList(UserList* list) {
  while (list != nullptr) {
    UserList* next = list->next;
    UserPfreeUserList(list);
    list = next;
  }
}
