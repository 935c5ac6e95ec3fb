// Keyword-line parser: tokenizes lines of "-key value" fields against a
// parameter table, renders lists back to text and merges format texts.
#include "gen_parser/genparser.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/defines.h"
#include "cmn/nls.h"
#include "cmn/str.h"

TARN_RCSID("lib/parse/gen_parser/genparser.cpp");

namespace {

constexpr int kLevelBuffer = 240;
constexpr int kLevelList = 140;
constexpr int kLevelScramble = 100;

// Rows of the format description's own table.
enum MetaRow { kMetaKey, kMetaVersion, kMetaDesc, kMetaNlsSet, kMetaNlsId, kMetaNtPath,
               kMetaUxPath, kMetaFlags };
constexpr PLParam kMetaTable[] = {
    {"key", nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
    {"version", nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
    {"desc", nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
    {"nlsset", nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
    {"nlsid", nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
    {"ntpath", nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
    {"uxpath", nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
    {"flags", nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
    {nullptr, nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
};

struct Token {
  std::string_view text;
  bool quoted = false;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The next token of `line` from `*at` on, into *out; false at the line's end.
// A quote runs to the next quote, or to the line's end when none follows.
bool NextToken(std::string_view line, std::size_t* at, Token* out) {
  std::size_t i = *at;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i >= line.size()) {
    *at = i;
    return false;
  }
  if (line[i] == '"') {
    const std::size_t close = line.find('"', i + 1);
    const std::size_t end = close == std::string_view::npos ? line.size() : close;
    *out = {line.substr(i + 1, end - i - 1), true};
    *at = close == std::string_view::npos ? end : close + 1;
    return true;
  }
  std::size_t end = i;
  while (end < line.size() && !IsBlank(line[end])) ++end;
  *out = {line.substr(i, end - i), false};
  *at = end;
  return true;
}

int TableRows(const PLParam* table) {
  int rows = 0;
  while (table != nullptr && table[rows].key != nullptr) ++rows;
  return rows;
}

int FindRow(const PLParam* table, int rows, std::string_view word) {
  const std::string w(word);
  for (int i = 0; i < rows; ++i)
    if (PLKeyMatch(w.c_str(), table[i].key)) return i;
  return -1;
}

std::string FullKey(std::string_view tableKey) {
  std::string key(tableKey);
  if (const std::size_t bracket = key.find('['); bracket != std::string::npos) key.erase(bracket, 1);
  return key;
}

bool FieldIs(const PLNode* f, const char* key) {
  return strcasecmp(f->key.c_str(), key) == 0 ||
         (f->row != nullptr && PLKeyMatch(key, f->row->key));
}

PLNode* LineHead(PLNode* node) {
  while (node != nullptr && node->prev != nullptr) node = node->prev;
  return node;
}
const PLNode* LineHead(const PLNode* node) {
  while (node != nullptr && node->prev != nullptr) node = node->prev;
  return node;
}

void AppendLine(ParserList* list, PLNode* head) {
  head->prevLine = list->last;
  head->nextLine = nullptr;
  if (list->last != nullptr) list->last->nextLine = head;
  if (list->first == nullptr) list->first = head;
  list->last = head;
}

// Inserts `field` into the line of `head` before the first field of a greater
// table index; returns the line's (possibly new) first field. One field at a
// time: a whole line is linked with LineLinker.
PLNode* InsertField(ParserList* list, PLNode* head, PLNode* field) {
  PLNode* at = head;
  PLNode* before = nullptr;
  while (at != nullptr && (at->index <= field->index || field->index < 0)) {
    before = at;
    at = at->next;
  }
  field->prev = before;
  field->next = at;
  if (at != nullptr) at->prev = field;
  if (before != nullptr) {
    before->next = field;
    return head;
  }
  // The field becomes the line's first: it takes over the line links.
  field->nextLine = head->nextLine;
  field->prevLine = head->prevLine;
  head->nextLine = head->prevLine = nullptr;
  if (field->prevLine != nullptr) field->prevLine->nextLine = field;
  if (field->nextLine != nullptr) field->nextLine->prevLine = field;
  if (list->first == head) list->first = field;
  if (list->last == head) list->last = field;
  if (list->current == head) list->current = field;
  return field;
}

// Fields of one line in text order, linked once they are all known: in table
// order, fields of one row in text order, as InsertField would place them one
// by one (a field outside the table, which no caller adds, goes last).
// Linear in the fields plus the table's rows; the buffers are kept for the
// next line.
class LineLinker {
 public:
  explicit LineLinker(int rows) : rows_(rows > 0 ? static_cast<std::size_t>(rows) : 0) {}

  void Add(PLNode* field) { fields_.push_back(field); }

  // Links the fields added since the last call into one line, not yet among
  // the list's lines; its first field, or null when none was added.
  PLNode* Link() {
    if (fields_.empty()) return nullptr;
    const std::vector<PLNode*>* order = &fields_;
    if (!std::is_sorted(fields_.begin(), fields_.end(), [this](const PLNode* a, const PLNode* b) {
          return Bucket(a) < Bucket(b);
        })) {
      counts_.assign(rows_ + 2, 0);
      for (const PLNode* f : fields_) ++counts_[Bucket(f) + 1];
      for (std::size_t i = 1; i < counts_.size(); ++i) counts_[i] += counts_[i - 1];
      sorted_.resize(fields_.size());
      for (PLNode* f : fields_) sorted_[counts_[Bucket(f)]++] = f;
      order = &sorted_;
    }
    PLNode* previous = nullptr;
    for (PLNode* f : *order) {
      f->prev = previous;
      f->next = nullptr;
      f->nextLine = f->prevLine = nullptr;
      if (previous != nullptr) previous->next = f;
      previous = f;
    }
    PLNode* head = order->front();
    fields_.clear();
    return head;
  }

 private:
  std::size_t Bucket(const PLNode* f) const {
    return f->index >= 0 && static_cast<std::size_t>(f->index) < rows_
               ? static_cast<std::size_t>(f->index)
               : rows_;
  }

  std::size_t rows_;
  std::vector<PLNode*> fields_;
  std::vector<PLNode*> sorted_;
  std::vector<std::size_t> counts_;
};

void SetCollected(const ParserList* list, PLNode* field, const std::optional<std::string>& value) {
  if (field == nullptr) return;
  if (!value || field->index < 0 || (list->table[field->index].flags & kPLFlagScrambled) == 0) {
    field->value = value;
    return;
  }
  char* plain = PLDecode(value->c_str());
  if (plain == nullptr) {
    DbgPlain(kDbgParse, "value of -%s is no scrambled text; dropped", field->key.c_str());
    field->value.reset();
    return;
  }
  field->value = plain;
  safe_free(plain, TARN_HERE);
}

void ParseLine(ParserList* list, std::string_view line, LineLinker& linker) {
  PLNode* field = nullptr;
  std::optional<std::string> collected;
  std::size_t at = 0;
  for (Token t; NextToken(line, &at, &t);) {
    const int row = !t.quoted && t.text.size() > 1 && t.text[0] == '-'
                        ? FindRow(list->table, list->rows, t.text.substr(1))
                        : -1;
    if (row < 0) {
      if (!collected) {
        collected.emplace(t.text);
      } else {
        collected->push_back(' ');
        collected->append(t.text);
      }
      continue;
    }
    SetCollected(list, field, collected);
    collected.reset();
    PLNode& node = list->nodes.emplace_back();
    node.key = FullKey(list->table[row].key);
    node.index = row;
    node.row = &list->table[row];
    field = &node;
    linker.Add(field);
  }
  SetCollected(list, field, collected);
  if (PLNode* head = linker.Link(); head != nullptr) AppendLine(list, head);
}

bool StartsWithMark(std::string_view text, std::size_t* skip) {
  if (text.starts_with("\xFE\xFF") || text.starts_with("\xFF\xFE")) {
    *skip = 2;
    return true;
  }
  if (text.starts_with("\xEF\xBB\xBF")) {
    *skip = 3;
    return true;
  }
  return false;
}

char* HeapCopy(const std::string& text) {
  auto* out = static_cast<char*>(safe_malloc(text.size() + 1, TARN_HERE));
  if (out == nullptr) return nullptr;
  std::memcpy(out, text.data(), text.size());
  out[text.size()] = '\0';
  return out;
}

void TraceList(const ParserList* list) {
  if (!DbgMatch(kLevelList)) return;
  DbgPlain(kLevelList, "ParserList parsed");
  PLDumpList(list);
}

// The index of `field`'s key in `list`'s table: kept when the field already
// points into that table or `sameRows` says the tables agree row by row,
// else the row whose full key it is, else the first row accepting it (a
// table may repeat keys or let one abbreviation match several); -1 when the
// table lacks it.
int RowIn(const ParserList* list, const PLNode* field, bool sameRows) {
  if (field->index >= 0 && field->index < list->rows &&
      (sameRows || field->row == &list->table[field->index]))
    return field->index;
  for (int i = 0; i < list->rows; ++i)
    if (strcasecmp(FullKey(list->table[i].key).c_str(), field->key.c_str()) == 0) return i;
  return FindRow(list->table, list->rows, field->key);
}

// A copy of the line of `line` in `list`'s nodes, fields in table order, not
// yet linked among the list's lines. Its first field, or null when no field
// survives.
PLNode* CopyLineInto(ParserList* list, const PLNode* line, bool sameRows = false) {
  LineLinker linker(list->rows);
  for (const PLNode* f = LineHead(line); f != nullptr; f = f->next) {
    const int row = RowIn(list, f, sameRows);
    if (row < 0) {
      DbgPlain(kDbgParse, "field -%s is not in the table; not copied", f->key.c_str());
      continue;
    }
    PLNode& copy = list->nodes.emplace_back();
    copy.key = FullKey(list->table[row].key);
    copy.value = f->value;
    copy.index = row;
    copy.row = &list->table[row];
    linker.Add(&copy);
  }
  return linker.Link();
}

std::unique_ptr<PLParamTable> CopyTable(const PLParam* rows, int count) {
  auto table = std::make_unique<PLParamTable>();
  const auto text = [&table](const char* s) -> const char* {
    return s != nullptr ? table->texts.emplace_back(s).c_str() : nullptr;
  };
  table->rows.reserve(static_cast<std::size_t>(count) + 1);
  for (int i = 0; i < count; ++i) {
    const PLParam& r = rows[i];
    table->rows.push_back(PLParam{text(r.key), text(r.value), text(r.desc), r.nlsSet, r.nlsId,
                                  text(r.param1), text(r.param2), r.flags});
  }
  table->rows.push_back(PLParam{nullptr, nullptr, nullptr, -1, -1, nullptr, nullptr, 0});
  return table;
}

const char* OrNone(const char* text) {
  return text != nullptr ? text : "(none)";
}

bool NeedsQuotes(const PLParam* row, const std::string& value) {
  const std::uint32_t flags = row != nullptr ? row->flags : 0;
  if ((flags & kPLFlagAlwaysQuote) != 0) return true;
  if ((flags & kPLFlagNeverQuote) != 0) return false;
  return value.empty() || value.find_first_of(" \t") != std::string::npos;
}

std::string Render(const ParserList* list) {
  std::string out;
  if ((list->flags & kPLListUnicode) != 0) out = "\xFE\xFF";
  for (const PLNode* line = list->first; line != nullptr; line = line->nextLine) {
    if (line != list->first) out.push_back('\n');
    for (const PLNode* f = line; f != nullptr; f = f->next) {
      if (f != line) out.push_back(' ');
      const PLParam* row = f->index >= 0 ? &list->table[f->index] : nullptr;
      const std::string_view key = f->key;
      out += "-";
      out += row != nullptr ? std::string_view(row->key).substr(0, std::string_view(row->key).find('['))
                            : key;
      if (!f->value) continue;
      std::string value = *f->value;
      if (row != nullptr && (row->flags & kPLFlagScrambled) != 0) {
        char* scrambled = PLEncode(value.c_str());
        value = scrambled != nullptr ? scrambled : "";
        safe_free(scrambled, TARN_HERE);
      }
      out += ' ';
      if (NeedsQuotes(row, value))
        out += "\"" + value + "\"";
      else
        out += value;
    }
  }
  return out;
}

}  // namespace

bool PLKeyMatch(const char* word, const char* tableKey) {
  if (word == nullptr || tableKey == nullptr) return false;
  const std::string_view key(tableKey);
  const std::size_t bracket = key.find('[');
  std::string full(key.substr(0, bracket));
  if (bracket != std::string_view::npos) full += key.substr(bracket + 1);
  const std::string_view w(word);
  if (w.empty() || w.size() > full.size()) return false;
  if (strncasecmp(w.data(), full.data(), w.size()) != 0) return false;
  return w.size() == full.size() || (bracket != std::string_view::npos && w.size() >= bracket);
}

bool PLReadNumber(const char* text, long long* out) {
  if (text == nullptr || *text == '\0') return false;
  int base = 10;
  const char* digits = text;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    digits = text + 2;
  } else if (text[0] == '0') {
    base = 2;
  }
  if (*digits == '\0' || IsBlank(*digits) || *digits == '+' ||
      (base != 10 && *digits == '-'))
    return false;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(digits, &end, base);
  if (errno != 0 || end == digits || *end != '\0') return false;
  if (out != nullptr) *out = value;
  return true;
}

ParserList* PLGetListFromBuffer(const PLParam* table, const char* text) {
  if (text == nullptr || *text == '\0' || table == nullptr) return nullptr;
  DbgPlain(kLevelBuffer, "Parameter buffer <%s>\n", text);
  auto list = std::make_unique<ParserList>();
  list->table = table;
  list->rows = TableRows(table);
  std::string_view rest(text);
  std::size_t skip = 0;
  if (StartsWithMark(rest, &skip)) {
    DbgPlain(kLevelBuffer, "This is Unicode string!");
    list->flags |= kPLListUnicode;
    rest.remove_prefix(skip);
  }
  LineLinker linker(list->rows);
  while (!rest.empty()) {
    const std::size_t end = rest.find_first_of("\r\n");
    const std::string_view line = rest.substr(0, end);
    if (!line.empty()) ParseLine(list.get(), line, linker);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  if (list->first == nullptr) return nullptr;
  list->current = list->first;
  TraceList(list.get());
  return list.release();
}

std::unique_ptr<PLParamTable> PLMakeParamTable(const ParserList* format) {
  if (format == nullptr) return nullptr;
  auto table = std::make_unique<PLParamTable>();
  const auto text = [&table](const PLNode* line, const char* key) -> const char* {
    const char* v = PLGetValue(line, key);
    return v != nullptr ? table->texts.emplace_back(v).c_str() : nullptr;
  };
  const auto number = [](const PLNode* line, const char* key, long long fallback) {
    long long n = fallback;
    return PLReadNumber(PLGetValue(line, key), &n) ? n : fallback;
  };
  for (const PLNode* line = format->first; line != nullptr; line = line->nextLine) {
    const char* key = text(line, kMetaTable[kMetaKey].key);
    if (key == nullptr || *key == '\0') continue;
    table->rows.push_back(PLParam{key, text(line, kMetaTable[kMetaVersion].key),
                                  text(line, kMetaTable[kMetaDesc].key),
                                  static_cast<int>(number(line, kMetaTable[kMetaNlsSet].key, -1)),
                                  static_cast<int>(number(line, kMetaTable[kMetaNlsId].key, -1)),
                                  text(line, kMetaTable[kMetaNtPath].key),
                                  text(line, kMetaTable[kMetaUxPath].key),
                                  static_cast<std::uint32_t>(
                                      number(line, kMetaTable[kMetaFlags].key, 0))});
  }
  if (table->rows.empty()) return nullptr;
  table->rows.push_back(PLParam{nullptr, nullptr, nullptr, -1, -1, nullptr, nullptr, 0});
  return table;
}

ParserList* PLParse(const char* format, const char* data) {
  ParserList* formatList = PLGetListFromBuffer(kMetaTable, format);
  if (formatList == nullptr) return nullptr;
  std::unique_ptr<PLParamTable> table = PLMakeParamTable(formatList);
  PLFree(formatList);
  if (table == nullptr) return nullptr;
  ParserList* list = PLGetListFromBuffer(table->rows.data(), data);
  if (list == nullptr) return nullptr;
  list->ownedTable = std::move(table);
  list->flags |= kPLListOwnsTable;
  return list;
}

const char* PLGetValue(const PLNode* line, const char* key) {
  if (key == nullptr) return nullptr;
  for (const PLNode* f = LineHead(line); f != nullptr; f = f->next)
    if (FieldIs(f, key)) return f->value ? f->value->c_str() : nullptr;
  return nullptr;
}

void PLFree(ParserList* list) {
  delete list;
}

int PLGetBufferFromList(const ParserList* list, char** out) {
  if (out == nullptr) return 0;
  *out = nullptr;
  if (list == nullptr || list->first == nullptr) return 0;
  *out = HeapCopy(Render(list));
  return *out != nullptr ? 1 : 0;
}

int PLMergeFormatFiles(const char* oldText, const char* newText, char** out) {
  if (out == nullptr) return -1;
  *out = nullptr;
  std::unique_ptr<ParserList, void (*)(ParserList*)> oldList(
      PLGetListFromBuffer(kMetaTable, oldText), PLFree);
  std::unique_ptr<ParserList, void (*)(ParserList*)> newList(
      PLGetListFromBuffer(kMetaTable, newText), PLFree);
  if (!oldList) DbgPlain(kDbgParse, "Cannot parse oldFile file !!!");
  if (!newList) DbgPlain(kDbgParse, "Cannot parse newFile file !!!");
  if (!oldList && !newList) return -1;
  if (!oldList || !newList) {
    const ParserList* only = oldList ? oldList.get() : newList.get();
    return PLGetBufferFromList(only, out) == 1 ? 0 : -1;
  }
  int changes = 0;
  for (const PLNode* line = newList->first; line != nullptr; line = line->nextLine) {
    PLNode* found = nullptr;
    for (PLNode* o = oldList->first; o != nullptr && found == nullptr; o = o->nextLine)
      if (strcasecmp(o->key.c_str(), line->key.c_str()) == 0 && o->value == line->value) found = o;
    if (found == nullptr) {
      std::string text;
      for (const PLNode* f = line; f != nullptr; f = f->next) text += " -" + f->key;
      DbgPlain(kDbgParse, "Add in cell_format new item form tarn_format <%s>", text.c_str());
      PLCopyLine(oldList.get(), line);
      ++changes;
      continue;
    }
    for (const PLNode* f = line; f != nullptr; f = f->next) {
      PLNode* mine = PLFindField(found, f->key.c_str());
      if (mine != nullptr && mine->value == f->value) continue;
      PLSetValue(oldList.get(), found, f->key.c_str(), f->value ? f->value->c_str() : nullptr);
      found = LineHead(PLFindField(found, f->key.c_str()));
      ++changes;
    }
  }
  return PLGetBufferFromList(oldList.get(), out) == 1 ? changes : -1;
}

char* PLEncode(const char* text) {
  if (text == nullptr) return nullptr;
  std::vector<unsigned> c(reinterpret_cast<const unsigned char*>(text),
                          reinterpret_cast<const unsigned char*>(text) + std::strlen(text));
  const std::size_t n = c.size();
  for (std::size_t i = 0; i + 1 < n; ++i) c[i] = c[i] ^ 0x20u ^ c[i + 1];
  for (std::size_t j = n >= 2 ? n - 1 : 0; j-- > 0;) c[j + 1] = (c[j + 1] ^ 0x40u) ^ c[j];
  std::string out;
  out.reserve(n + n / 2);
  for (unsigned v : c) {
    DbgPlain(kLevelScramble, "encode %u", v);
    for (; v >= 91; v -= 91) out.push_back('~');
    out.push_back(static_cast<char>(v + 35));
  }
  return HeapCopy(out);
}

char* PLDecode(const char* text) {
  if (text == nullptr) return nullptr;
  std::vector<unsigned> c;
  unsigned sum = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    const auto ch = static_cast<unsigned char>(*p);
    if (ch < '#' || ch > '~') return nullptr;
    sum += ch - 35u;
    if (sum > 255) return nullptr;
    if (ch == '~') continue;
    c.push_back(sum);
    sum = 0;
  }
  if (sum != 0) return nullptr;  // a run of '~' with nothing after it
  const std::size_t n = c.size();
  for (std::size_t j = 0; j + 1 < n; ++j) c[j + 1] = c[j + 1] ^ 0x40u ^ c[j];
  for (std::size_t i = n >= 2 ? n - 1 : 0; i-- > 0;) c[i] = c[i] ^ 0x20u ^ c[i + 1];
  std::string out;
  out.reserve(n);
  for (const unsigned v : c) {
    DbgPlain(kLevelScramble, "decode %u", v);
    if (v == 0 || v > 255) return nullptr;
    out.push_back(static_cast<char>(v));
  }
  return HeapCopy(out);
}

PLNode* PLFindField(PLNode* line, const char* key) {
  if (key == nullptr) return nullptr;
  for (PLNode* f = LineHead(line); f != nullptr; f = f->next)
    if (FieldIs(f, key)) return f;
  return nullptr;
}

PLNode* PLFindFieldValue(PLNode* line, const char* key, const char* value) {
  if (key == nullptr || value == nullptr) return nullptr;
  for (PLNode* f = LineHead(line); f != nullptr; f = f->next)
    if (FieldIs(f, key) && f->value == value) return f;
  return nullptr;
}

PLNode* PLSetValue(ParserList* list, PLNode* line, const char* key, const char* value) {
  if (list == nullptr || line == nullptr || key == nullptr) return nullptr;
  PLNode* field = PLFindField(line, key);
  if (field == nullptr) {
    const int row = FindRow(list->table, list->rows, key);
    if (row < 0) return nullptr;
    PLNode& node = list->nodes.emplace_back();
    node.key = FullKey(list->table[row].key);
    node.index = row;
    node.row = &list->table[row];
    field = &node;
    InsertField(list, LineHead(line), field);
  }
  if (value != nullptr)
    field->value = value;
  else
    field->value.reset();
  return field;
}

void PLRemoveLine(ParserList* list, PLNode* line) {
  PLNode* head = LineHead(line);
  if (list == nullptr || head == nullptr) return;
  if (head->prevLine != nullptr) head->prevLine->nextLine = head->nextLine;
  if (head->nextLine != nullptr) head->nextLine->prevLine = head->prevLine;
  if (list->first == head) list->first = head->nextLine;
  if (list->last == head) list->last = head->prevLine;
  if (list->current == head) list->current = head->nextLine != nullptr ? head->nextLine : list->first;
  head->nextLine = head->prevLine = nullptr;
}

void PLRemoveField(ParserList* list, PLNode* field) {
  if (list == nullptr || field == nullptr) return;
  if (field->prev == nullptr && field->next == nullptr) {
    PLRemoveLine(list, field);
    return;
  }
  if (field->prev != nullptr) {
    field->prev->next = field->next;
    if (field->next != nullptr) field->next->prev = field->prev;
    return;
  }
  // The line's first field: its successor takes over the line links.
  PLNode* next = field->next;
  next->prev = nullptr;
  next->nextLine = field->nextLine;
  next->prevLine = field->prevLine;
  if (next->prevLine != nullptr) next->prevLine->nextLine = next;
  if (next->nextLine != nullptr) next->nextLine->prevLine = next;
  if (list->first == field) list->first = next;
  if (list->last == field) list->last = next;
  if (list->current == field) list->current = next;
}

PLNode* PLFindLine(const ParserList* list, const char* value) {
  if (list == nullptr || value == nullptr) return nullptr;
  for (PLNode* line = list->first; line != nullptr; line = line->nextLine)
    for (PLNode* f = line; f != nullptr; f = f->next)
      if (f->index == 0 && f->value == value) return line;
  return nullptr;
}

PLNode* PLFindLineWithField(const ParserList* list, const char* key) {
  if (list == nullptr) return nullptr;
  for (PLNode* line = list->first; line != nullptr; line = line->nextLine)
    if (PLFindField(line, key) != nullptr) return line;
  return nullptr;
}

int PLCountLines(const ParserList* list) {
  int n = 0;
  for (const PLNode* line = list != nullptr ? list->first : nullptr; line != nullptr;
       line = line->nextLine)
    ++n;
  return n;
}

int PLCountLinesWithField(const ParserList* list, const char* key) {
  int n = 0;
  for (PLNode* line = list != nullptr ? list->first : nullptr; line != nullptr;
       line = line->nextLine)
    if (PLFindField(line, key) != nullptr) ++n;
  return n;
}

std::uint32_t PLGetFlags(const ParserList* list, int index) {
  if (list == nullptr || index < 0 || index >= list->rows) return 0;
  return list->table[index].flags;
}

const char* PLGetDesc(const ParserList* list, int index) {
  if (list == nullptr || index < 0 || index >= list->rows) return nullptr;
  const PLParam& row = list->table[index];
  if (row.nlsSet > 0 && row.nlsId > 0) {
    int found = 0;
    const char* text = NlsGetCatalogStringEx(row.nlsSet, row.nlsId, &found);
    // A miss answers with a miss text ("Catalog not loaded ..." as well as
    // "Bad catalog access for message ..."), never a description.
    if (found != 0 && std::strncmp(text, "Bad catalog access for message", 30) != 0) return text;
  }
  return row.desc;
}

ParserList* PLCopyList(const ParserList* list) {
  if (list == nullptr) return nullptr;
  auto copy = std::make_unique<ParserList>();
  copy->flags = list->flags;
  copy->rows = list->rows;
  copy->table = list->table;
  if (list->ownedTable != nullptr) {
    // Sharing the table would leave the copy pointing at freed rows once the
    // original is freed.
    copy->ownedTable = CopyTable(list->table, list->rows);
    copy->table = copy->ownedTable->rows.data();
    copy->flags |= kPLListOwnsTable;
  }
  for (const PLNode* line = list->first; line != nullptr; line = line->nextLine) {
    // The copied table has the original's rows in the original's order.
    PLNode* head = CopyLineInto(copy.get(), line, true);
    if (head == nullptr) continue;
    AppendLine(copy.get(), head);
    if (line == list->current) copy->current = head;
  }
  if (copy->current == nullptr) copy->current = copy->first;
  return copy.release();
}

PLNode* PLCopyLine(ParserList* list, const PLNode* line) {
  if (list == nullptr || line == nullptr) return nullptr;
  PLNode* head = CopyLineInto(list, line);
  if (head != nullptr) AppendLine(list, head);
  if (list->current == nullptr) list->current = list->first;
  return head;
}

PLNode* PLCopyField(ParserList* list, PLNode* line, const PLNode* field) {
  if (list == nullptr || line == nullptr || field == nullptr) return nullptr;
  // Copied first: `field` may be the very field that is about to change.
  const std::string key = field->key;
  const std::optional<std::string> value = field->value;
  return PLSetValue(list, line, key.c_str(), value ? value->c_str() : nullptr);
}

PLNode* PLReplaceLine(ParserList* list, PLNode* oldLine, const PLNode* newLine) {
  if (list == nullptr || newLine == nullptr) return nullptr;
  PLNode* old = LineHead(oldLine);
  PLNode* at = list->first;
  while (at != nullptr && at != old) at = at->nextLine;
  if (at == nullptr) {
    DbgPlain(kDbgParse, "line to replace is not in the list");
    return nullptr;
  }
  PLNode* head = CopyLineInto(list, newLine);
  if (head == nullptr) return nullptr;
  if (const PLNode* email = PLFindField(old, "email");
      email != nullptr && PLFindField(head, "email") == nullptr) {
    if (PLNode* carried = PLCopyField(list, head, email); carried != nullptr)
      head = LineHead(carried);
  }
  head->prevLine = old->prevLine;
  head->nextLine = old->nextLine;
  if (head->prevLine != nullptr) head->prevLine->nextLine = head;
  if (head->nextLine != nullptr) head->nextLine->prevLine = head;
  if (list->first == old) list->first = head;
  if (list->last == old) list->last = head;
  if (list->current == old) list->current = head;
  old->prevLine = old->nextLine = nullptr;
  return head;
}

void PLDumpList(const ParserList* list) {
  if (list == nullptr || !DbgMatch(kLevelList)) return;
  for (const PLNode* line = list->first; line != nullptr; line = line->nextLine) {
    std::string text;
    for (const PLNode* f = line; f != nullptr; f = f->next)
      text += " -" + f->key + "=<" + f->value.value_or("(none)") + ">";
    DbgPlain(kLevelList, " %s", text.c_str());
  }
}

void PLDumpTable(const PLParam* table) {
  if (table == nullptr || !DbgMatch(kLevelList)) return;
  for (int i = 0; table[i].key != nullptr; ++i) {
    const PLParam& r = table[i];
    DbgPlain(kLevelList,
             " %d: key=<%s> value=<%s> desc=<%s> nlsset=%d nlsid=%d param1=<%s> param2=<%s> "
             "flags=0x%08x",
             i, r.key, OrNone(r.value), OrNone(r.desc), r.nlsSet, r.nlsId, OrNone(r.param1),
             OrNone(r.param2), static_cast<unsigned>(r.flags));
  }
}
