// Variants in files and on command lines: the text form in a file, line
// files, INI files, the command-line form of a list, and wide-text import.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/str.h"
#include "cmn/var.h"
#include "cmn/var_impl.h"
#include "cmn/vekfile.h"

TARN_RCSID("lib/cmn/var_file.cpp");

namespace {

constexpr int kFileFlags = VAR_PACK_NOBRACES | 8 | 16;

// A whole file as narrow text: a UTF-16 file (byte-order mark) is converted,
// a UTF-8 mark is skipped. Owns the buffer.
class FileText {
 public:
  explicit FileText(const char* path) {
    size_t size = 0;
    data_ = CmnGetFile(path, &size);
    if (data_ == nullptr) return;
    if (MsgCheckLEBOM(data_) != 0 && size >= 2 && size <= INT32_MAX) {
      int length = static_cast<int>(size);
      if (DynBufAdjustToNative(&data_, &length, 0) < 0) {
        DbgPlain(kDbgUnexpected, "[%s] cannot convert the UTF-16 file %s", "CmnVarGetFile", path);
        Release();
        return;
      }
      size = strnlen(data_, static_cast<size_t>(length));
    }
    text_ = std::string_view(data_, size);
    if (text_.starts_with("\xEF\xBB\xBF")) text_.remove_prefix(3);
  }
  ~FileText() { Release(); }
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;

  bool ok() const { return data_ != nullptr; }
  std::string_view text() const { return text_; }

 private:
  void Release() {
    if (data_ != nullptr) safe_free(data_, TARN_HERE);
    data_ = nullptr;
  }
  char* data_ = nullptr;
  std::string_view text_;
};

// Calls fn(line, number) for every line (split at LF, a CR before it cut).
template <typename Fn>
void ForEachLine(std::string_view text, Fn fn) {
  int number = 0;
  while (!text.empty()) {
    const size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    fn(line, ++number);
  }
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool AddText(CmnVar* list, const char* key, std::string_view text) {
  CmnVar value = CmnVarTextN(text.data(), text.size());
  if (CmnVarListAdd(list, key, value) != nullptr) return true;
  CmnVarFree(&value);
  return false;
}

// One INI line of a section; false when it is not INI syntax.
bool AddIniLine(CmnVar* section, std::string_view line) {
  if (line.front() == '%' || line.front() == '#') return AddText(section, nullptr, line);
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  // Blanks around the '=' are layout, not part of the key.
  const std::string key(TrimRight(line.substr(0, eq)));
  std::string_view value = TrimLeft(line.substr(eq + 1));
  if (value.empty()) return true;  // an empty value drops the line
  if (value.front() == '\'' || value.front() == '"') {
    const char quote = value.front();
    value.remove_prefix(1);
    const size_t last = value.rfind(quote);
    if (last != std::string_view::npos) value = value.substr(0, last);
  }
  AddText(section, key.c_str(), value);
  return true;
}

// A value that the reader would change (quotes or blanks in front, or empty)
// is written in double quotes, which the reader takes off again.
bool AppendIniValue(CmnVar* out, const char* value) {
  const bool quote = *value == '\0' || *value == '\'' || *value == '"' || IsBlank(*value);
  if (quote && !cmnvar::Append(out, "\"", 1)) return false;
  if (!cmnvar::AppendText(out, value)) return false;
  return !quote || cmnvar::Append(out, "\"", 1);
}

bool AppendIniEntries(CmnVar var, CmnVar* out) {
  // Plain entries first: any that followed a section would be read back into it.
  for (int i = 0; i < CmnVarLength(var); ++i) {
    const char* key = CmnVarKey(var, i);
    const CmnVar value = *CmnVarAt(var, i);
    if (value.klass != var_class_string && value.klass != var_class_int) continue;
    const char* text = CmnVarCastText(value);
    bool ok;
    if (key == nullptr || *key == '\0') {
      ok = cmnvar::AppendText(out, text);
    } else {
      ok = cmnvar::AppendText(out, key) && cmnvar::Append(out, "=", 1) && AppendIniValue(out, text);
    }
    if (!ok || !cmnvar::Append(out, "\n", 1)) return false;
  }
  for (int i = 0; i < CmnVarLength(var); ++i) {
    const CmnVar value = *CmnVarAt(var, i);
    if (value.klass != var_class_list) continue;
    const char* key = CmnVarKey(var, i);
    if (!cmnvar::Append(out, "[", 1) || !cmnvar::AppendText(out, key != nullptr ? key : "") ||
        !cmnvar::Append(out, "]\n", 2) || !AppendIniEntries(value, out)) {
      return false;
    }
  }
  return true;
}

bool AppendCmdline(CmnVar list, CmnVar* out) {
  for (int i = 0; i < CmnVarLength(list); ++i) {
    const char* key = CmnVarKey(list, i);
    if (key == nullptr) key = "";
    if (*key == '#') continue;
    const CmnVar value = *CmnVarAt(list, i);
    if (value.klass == var_class_int) {
      if (!cmnvar::Append(out, "-", 1) || !cmnvar::AppendText(out, key) ||
          !cmnvar::Append(out, " ", 1))
        return false;
    } else if (value.klass == var_class_string) {
      if (!cmnvar::Append(out, "-", 1) || !cmnvar::AppendText(out, key) ||
          !cmnvar::Append(out, " ", 1) || !cmnvar::AppendText(out, CmnVarCastText(value)) ||
          !cmnvar::Append(out, " ", 1)) {
        return false;
      }
    } else if (value.klass == var_class_array) {
      for (int j = 0; j < CmnVarLength(value); ++j) {
        const CmnVar element = *CmnVarAt(value, j);
        if (element.klass != var_class_string && element.klass != var_class_list) continue;
        if (!cmnvar::Append(out, "-", 1) || !cmnvar::AppendText(out, key) ||
            !cmnvar::Append(out, " ", 1)) {
          return false;
        }
        const bool ok =
            element.klass == var_class_string
                ? cmnvar::AppendText(out, CmnVarCastText(element)) && cmnvar::Append(out, " ", 1)
                : AppendCmdline(element, out);
        if (!ok) return false;
      }
    }
  }
  return true;
}

// Writes a text variant's bytes to a file; frees the text.
int PutText(CmnVar* text, const char* path) {
  const int rc =
      CmnPutFile(path, text->u.text.data != nullptr ? text->u.text.data : "", text->u.text.length);
  CmnVarFree(text);
  return rc;
}

}  // namespace

CmnVar* CmnVarCopyW2S(CmnVar* var, const char16_t* wide) {
  if (var == nullptr || (var->klass != nullptr && var->klass != var_class_string)) return nullptr;
  char* narrow = StrNewCopyW2S(wide);
  if (narrow == nullptr) return nullptr;
  CmnVarFree(var);
  *var = cmnvar::EmptyOf(var_class_string);
  var->u.text.length = std::strlen(narrow);
  var->u.text.capacity = var->u.text.length + 1;
  var->u.text.data = narrow;
  return var;
}

int CmnVarPutFile(CmnVar var, const char* path) {
  const CmnVarPackOptions options{kFileFlags, nullptr};
  char* text = CmnVarPackEx(var, &options);
  if (text == nullptr) return -1;
  const int rc = CmnPutFile(path, text, std::strlen(text));
  safe_free(text, TARN_HERE);
  return rc;
}

CmnVar CmnVarGetFile(const char* path) {
  const FileText file(path);
  if (!file.ok()) return VarUndef;
  CmnVarUnpackState state{};
  state.flags = VAR_PACK_NOBRACES;
  return cmnvar::ParseText(file.text().data(), file.text().size(), &state, state.flags);
}

CmnVar CmnVarLoadFile(const char* path, int) {
  const FileText file(path);
  if (!file.ok()) return VarUndef;
  CmnVar lines = cmnvar::EmptyOf(var_class_array);
  std::string_view text = file.text();
  while (!text.empty()) {
    const size_t eol = text.find_first_of("\r\n");
    const std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (line.empty()) continue;
    CmnVar value = CmnVarTextN(line.data(), line.size());
    if (CmnVarPush(&lines, value) == nullptr) {
      CmnVarFree(&value);
      break;
    }
  }
  return lines;
}

int CmnVarSaveFile(CmnVar var, const char* path) {
  if (var.klass != var_class_array && var.klass != var_class_list) return -1;
  CmnVar out = VarUndef;
  if (!cmnvar::Append(&out, "", 0)) return -1;
  for (int i = 0; i < CmnVarLength(var); ++i) {
    const CmnVar* element = CmnVarAt(var, i);
    if (element->klass != var_class_string) continue;
    if (!cmnvar::Append(&out, element->u.text.data, element->u.text.length) ||
        !cmnvar::Append(&out, "\n", 1)) {
      CmnVarFree(&out);
      return -1;
    }
  }
  return PutText(&out, path);
}

CmnVar CmnVarLoadIniFile(const char* path, int) {
  const FileText file(path);
  if (!file.ok()) return VarUndef;
  CmnVar top = cmnvar::EmptyOf(var_class_list);
  int section = -1;  // index in top; entries move when top grows
  ForEachLine(file.text(), [&](std::string_view line, int number) {
    line = TrimLeft(line);
    if (line.empty()) return;
    CmnVar* current = section >= 0 ? CmnVarAt(top, section) : &top;
    bool ok;
    if (line.find('\0') != std::string_view::npos) {
      ok = false;
    } else if (line.front() == '[' && line.find(']') != std::string_view::npos) {
      const std::string name(line.substr(1, line.find(']') - 1));
      CmnVar list = cmnvar::EmptyOf(var_class_list);
      ok = CmnVarListAdd(&top, name.c_str(), list) != nullptr;
      if (ok) section = CmnVarLength(top) - 1;
    } else {
      ok = AddIniLine(current, line);
    }
    if (!ok) DbgPlain(30, "[%s] Syntax error at line: %d", "CmnVarLoadIniFile", number);
  });
  return top;
}

int CmnVarPackIni(CmnVar var, CmnVar* out) {
  if (var.klass != var_class_list || out == nullptr) return -1;
  if (!cmnvar::Append(out, "", 0)) return -1;
  return AppendIniEntries(var, out) ? 0 : -1;
}

int CmnVarSaveIniFile(CmnVar var, const char* path) {
  CmnVar out = VarUndef;
  if (CmnVarPackIni(var, &out) != 0) {
    CmnVarFree(&out);
    return -1;
  }
  return PutText(&out, path);
}

char* CmnVarToCmdline(CmnVar list) {
  if (list.klass != var_class_list) return nullptr;
  CmnVar out = VarUndef;
  if (!cmnvar::Append(&out, "", 0) || !AppendCmdline(list, &out)) {
    CmnVarFree(&out);
    return nullptr;
  }
  return out.u.text.data;  // from the tracked allocator: handed over
}
