// Keyword-line parser: text made of lines of fields ("-key value ..."),
// driven by a parameter table that a format description (itself such a text)
// builds. Reads the cell description the cell server hands out.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Row flags of the parameter table.
inline constexpr std::uint32_t kPLFlagScrambled = 0x20000000;  // value kept as PLEncode text
inline constexpr std::uint32_t kPLFlagNeverQuote = 0x40000000;
inline constexpr std::uint32_t kPLFlagAlwaysQuote = 0x80000000;

// List flags.
inline constexpr unsigned kPLListUnicode = 0x80;    // the text carried a Unicode mark
inline constexpr unsigned kPLListOwnsTable = 0x40;  // PLFree frees the parameter table

// One row of a parameter table; a table ends with a row whose key is null.
// A "[" in the key marks its shortest accepted abbreviation.
struct PLParam {
  const char* key;
  const char* value;
  const char* desc;
  int nlsSet;  // -1 when absent
  int nlsId;   // -1 when absent
  const char* param1;
  const char* param2;
  std::uint32_t flags;
};

// A parameter table built at run time (PLMakeParamTable): the rows and the
// texts they point to.
struct PLParamTable {
  std::deque<std::string> texts;
  std::vector<PLParam> rows;  // ends with a null-key row
};

// One field. The first field of a line also carries the links between lines.
struct PLNode {
  std::string key;  // the table key in full (without "[" and the leading "-")
  std::optional<std::string> value;
  int index = -1;                 // table row, -1 when the key is not in the table
  const PLParam* row = nullptr;  // that row
  PLNode* next = nullptr;
  PLNode* prev = nullptr;
  PLNode* nextLine = nullptr;
  PLNode* prevLine = nullptr;
};

struct ParserList {
  PLNode* first = nullptr;
  PLNode* current = nullptr;
  PLNode* last = nullptr;
  const PLParam* table = nullptr;
  int rows = 0;
  unsigned flags = 0;
  // Every node of the list; nodes keep their address for the list's life.
  std::deque<PLNode> nodes;
  std::unique_ptr<PLParamTable> ownedTable;  // set with kPLListOwnsTable
};

// Parses `format` (a format description) into a parameter table, then `data`
// with it. The list owns the table. Null when either text gives no list or
// the format holds no row. Free with PLFree.
ParserList* PLParse(const char* format, const char* data);
// Parses `text` with `table` (which must outlive the list). Null for an
// empty text or one without any field.
ParserList* PLGetListFromBuffer(const PLParam* table, const char* text);
// The table a format list describes; null when no line has a key field.
std::unique_ptr<PLParamTable> PLMakeParamTable(const ParserList* format);
// The value of the line's first field with `key` (case ignored; the key may
// be abbreviated as its table row allows), or
// null when the line has none or the field has no value. `line` is any field
// of the line. The text lives as long as the list.
const char* PLGetValue(const PLNode* line, const char* key);
// Frees the list (and its table when it owns it). Null is ignored.
void PLFree(ParserList* list);

// The list as text into *out (heap, free with safe_free): 1, or 0 with *out
// null for an empty list.
int PLGetBufferFromList(const ParserList* list, char** out);
// Merges the format description `newText` into `oldText`: lines of `newText`
// are found in `oldText` by their first field and get the fields and values
// of the new line; lines not found are appended. *out (heap, free with
// safe_free) is the merged text. The number of changes; -1 when neither text
// parses (*out null). When only one parses, it becomes *out and 0 is returned.
int PLMergeFormatFiles(const char* oldText, const char* newText, char** out);

// Scrambles a value (heap, free with safe_free); every output character lies
// between '#' and '~'. Null for null.
char* PLEncode(const char* text);
// Reverses PLEncode; null for null or for a text PLEncode cannot have made.
char* PLDecode(const char* text);

// True when `word` names the table key `tableKey` (see PLParam).
bool PLKeyMatch(const char* word, const char* tableKey);
// Reads a number: "0x"/"0X" hexadecimal, any other leading "0" binary, else
// decimal. False unless the whole text was read.
bool PLReadNumber(const char* text, long long* out);

// Field and line editing. A line is given by any of its fields.
PLNode* PLFindField(PLNode* line, const char* key);
PLNode* PLFindFieldValue(PLNode* line, const char* key, const char* value);
// Sets the field's value, adding the field (in table order) when missing.
// The field, or null when the key is not in the list's table.
PLNode* PLSetValue(ParserList* list, PLNode* line, const char* key, const char* value);
// Unlinks a field; the line's last field removes the whole line.
void PLRemoveField(ParserList* list, PLNode* field);
void PLRemoveLine(ParserList* list, PLNode* line);
// The first line whose field of table row 0 has `value`.
PLNode* PLFindLine(const ParserList* list, const char* value);
// The first line that has a field with `key`.
PLNode* PLFindLineWithField(const ParserList* list, const char* key);
int PLCountLines(const ParserList* list);
int PLCountLinesWithField(const ParserList* list, const char* key);
// FLAGS of table row `index`; 0 outside the table.
std::uint32_t PLGetFlags(const ParserList* list, int index);
// The description of table row `index`: the catalogue text (NLSSET, NLSID)
// when both are above 0 and the catalogue has it, else DESC. Null outside
// the table or when the row has no DESC. A catalogue text lives in the
// catalogue's result areas (see NlsGetCatalogStringEx).
const char* PLGetDesc(const ParserList* list, int index);

// Copies. A copied field or line takes the keys of the target list's table;
// fields whose key that table lacks are dropped.
//
// A list of its own (free with PLFree): a list that owns its table gets its
// own copy of it, so either list may be freed first; otherwise both share
// the caller's table. Null for null.
ParserList* PLCopyList(const ParserList* list);
// Appends a copy of `line` (any field of it, from any list) to `list`. The
// copy's first field, or null when no field of it is in the table.
PLNode* PLCopyLine(ParserList* list, const PLNode* line);
// Copies `field` (from any list) into `line` of `list`, replacing the value
// of a field with that key. The field in `line`, or null when the key is not
// in the table.
PLNode* PLCopyField(ParserList* list, PLNode* line, const PLNode* field);
// Puts a copy of `newLine` (from any list, `oldLine`'s own included) in the
// place of `oldLine`, a line of `list`. An "email" field of the old line
// that the new one lacks is carried over. The copy's first field; null when
// `oldLine` is not a line of `list` or no field of `newLine` is in the table
// (the list is then unchanged).
PLNode* PLReplaceLine(ParserList* list, PLNode* oldLine, const PLNode* newLine);

// Trace dumps at the list trace's debug level (140): every line with its
// fields, and every row of a table.
void PLDumpList(const ParserList* list);
void PLDumpTable(const PLParam* table);
