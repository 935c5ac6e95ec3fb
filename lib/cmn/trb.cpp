// Troubleshooting table: which catalogue messages carry a description and an
// action text, read from the rows of catalogue set 253.
#include <cstdio>
#include <cstring>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/nlspack.h"

TARN_RCSID("lib/cmn/trb.cpp");

TrbObj* pTrbObjTab = nullptr;

namespace {

constexpr int kGrowRows = 512;
// Set 253 holds one row a message; a catalogue without a terminating miss
// cannot make the table grow without end.
constexpr int kMaxRows = 100000;

const TrbObj* FindRow(int set, int number, int* index) {
  if (pTrbObjTab == nullptr && TrbInit() != 0) return nullptr;
  for (int i = 0; pTrbObjTab[i].set != -1; ++i) {
    if (pTrbObjTab[i].set == set && pTrbObjTab[i].number == number) {
      if (index != nullptr) *index = i + 1;
      return &pTrbObjTab[i];
    }
  }
  return nullptr;
}

}  // namespace

int TrbInit() {
  static const char kFn[] = "TrbInit";
  DbgFcnInEx(TARN_HERE, kFn, 99, "%s", "");
  if (pTrbObjTab != nullptr) {
    DbgPlain(99, "TRB was already initialized!");
    DbgFcnOutEx(TARN_HERE, kFn, 99, "(int) %d", 0);
    return 0;
  }
  int rows = 0;
  int capacity = 0;
  TrbObj* table = nullptr;
  for (int number = 1; number <= kMaxRows; ++number) {
    int found = 0;
    const char* text = NlsGetCatalogStringEx(kNlsSetTrb, number, &found);
    TrbObj row{};
    if (!found || std::sscanf(text, "%d:%d,\t%d ,\t%d", &row.set, &row.number, &row.description,
                              &row.action) != 4) {
      break;
    }
    // One spare row for the terminator.
    if (rows + 1 >= capacity) {
      const int grown = capacity + kGrowRows;
      auto* bigger = static_cast<TrbObj*>(
          safe_realloc(table, static_cast<size_t>(grown) * sizeof(TrbObj), TARN_HERE));
      if (bigger == nullptr) {
        safe_free(table, TARN_HERE);
        DbgFcnOutEx(TARN_HERE, kFn, 99, "(int) %d", -1);
        return -1;
      }
      std::memset(bigger + capacity, 0, static_cast<size_t>(kGrowRows) * sizeof(TrbObj));
      table = bigger;
      capacity = grown;
    }
    table[rows++] = row;
  }
  if (table == nullptr) {
    table = static_cast<TrbObj*>(safe_calloc(1, sizeof(TrbObj), TARN_HERE));
    if (table == nullptr) {
      DbgFcnOutEx(TARN_HERE, kFn, 99, "(int) %d", -1);
      return -1;
    }
  }
  table[rows] = TrbObj{-1, -1, -1, -1};
  pTrbObjTab = table;
  DbgPlain(99, "Number of TRB messages is: %d", rows);
  DbgFcnOutEx(TARN_HERE, kFn, 99, "(int) %d", 0);
  return 0;
}

void TrbExit() {
  safe_free(pTrbObjTab, TARN_HERE);
  pTrbObjTab = nullptr;
}

int TrbGetExtendedInfo(int set, int number, int* description, int* action) {
  int index = 0;
  const TrbObj* row = FindRow(set, number, &index);
  if (row == nullptr) return 0;
  if (description != nullptr) *description = row->description;
  if (action != nullptr) *action = row->action;
  return index;
}

int TrbIsExtendedMessage(int set, int number) {
  const TrbObj* row = FindRow(set, number, nullptr);
  return row != nullptr && (row->description >= 1 || row->action >= 1) ? 1 : 0;
}

int TrbHasDescription(int set, int number) {
  const TrbObj* row = FindRow(set, number, nullptr);
  return row != nullptr ? row->description : -1;
}

int TrbHasAction(int set, int number) {
  const TrbObj* row = FindRow(set, number, nullptr);
  return row != nullptr ? row->action : -1;
}

int TrbParseNext(char* text, char*** list) {
  if (list != nullptr) *list = nullptr;
  if (text == nullptr || list == nullptr) return 0;
  size_t brackets = 0;
  for (const char* p = text; (p = std::strchr(p, '[')) != nullptr; ++p) ++brackets;
  if (brackets == 0) return 0;
  auto** entries = static_cast<char**>(safe_calloc(brackets, sizeof(char*), TARN_HERE));
  if (entries == nullptr) return 0;
  int count = 0;
  for (char* open = std::strchr(text, '['); open != nullptr; open = std::strchr(open + 1, '[')) {
    *open = 'X';
    const char* close = std::strchr(open + 1, ']');
    if (close == nullptr) continue;
    const std::string content(open + 1, static_cast<size_t>(close - open - 1));
    int set = 0;
    int number = 0;
    int used = 0;
    if (std::sscanf(content.c_str(), "%d:%d%n", &set, &number, &used) != 2 ||
        static_cast<size_t>(used) != content.size() || !TrbIsExtendedMessage(set, number)) {
      continue;
    }
    char* copy = static_cast<char*>(safe_malloc(content.size() + 1, TARN_HERE));
    if (copy == nullptr) continue;
    std::memcpy(copy, content.c_str(), content.size() + 1);
    entries[count++] = copy;
  }
  if (count == 0) {
    safe_free(entries, TARN_HERE);
    return 0;
  }
  *list = entries;
  return count;
}
