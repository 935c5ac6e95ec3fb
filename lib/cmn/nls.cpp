// Message catalogue: the language chain, the language's and the default
// catalogue, lookups with retries and fixed miss texts, literals and keywords.
#include "cmn/nls.h"

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmn/cmninit.h"
#include "cmn/dbg.h"
#include "cmn/nlsfmt.h"
#include "cmn/paths.h"
#include "cmn/vekfile.h"

TARN_RCSID("lib/cmn/nls.cpp");

char cmnLang[256] = "C";

namespace {

constexpr int kTries = 10;
constexpr size_t kMessageArea = 2048;
constexpr size_t kLiteralArea = 256;
constexpr int kDefineLimit = 100;

CmnCatd catd = -1;
CmnCatd defaultCatd = -1;

NlsAreaRing<kMessageArea> stringAreas;
NlsAreaRing<kMessageArea> messageAreas;
NlsAreaRing<kLiteralArea> literalAreas;

void Copy(char* area, size_t size, const char* text) {
  std::snprintf(area, size, "%s", text != nullptr ? text : "");
}

// The language from the environment by the C library's precedence. Taken
// from the variables rather than from setlocale so that a host process, and a
// process whose locale is not installed, still find their catalogue.
std::string EnvironmentLanguage() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') return value;
  }
  return "C";
}

// A language becomes a directory name: nothing that climbs out of the
// catalogue directory, nothing too long.
bool IsSafeLanguage(const std::string& lang) {
  return !lang.empty() && lang.size() < sizeof cmnLang && lang.find('/') == std::string::npos &&
         lang[0] != '.';
}

std::string ChooseLanguage() {
  std::string lang = EnvironmentLanguage();
  if (lang == "POSIX" || !IsSafeLanguage(lang)) lang = "C";
  if (lang != "C" && lang.find('.') == std::string::npos) {
    const char* env = std::getenv("LANG");
    const char* codeset = env != nullptr ? std::strchr(env, '.') : nullptr;
    if (codeset != nullptr) lang += codeset;
  }
  if (!IsSafeLanguage(lang)) lang = "C";
  return lang;
}

std::string CatalogPath(const char* lang) {
  return std::string(cmnFenNls) + "/" + lang + "/" + kNlsCatalogName;
}

// Reads (set, number) into buffer; true when found. Otherwise the buffer
// holds the miss text.
bool ReadCatalogMessage(CmnCatd handle, char* buffer, size_t size, int set, int number) {
  if (buffer == nullptr || size == 0) return false;
  for (int left = kTries - 1; left >= 0; --left) {
    errno = 0;
    const char* text = handle == -1 ? nullptr : VEK_catgets(handle, set, number, nullptr);
    if (text != nullptr) {
      Copy(buffer, size, text);
      return true;
    }
    if (handle == -1 || errno == EBADF) {
      std::snprintf(buffer, size, "Catalog not loaded, message #%d in set %d", number, set);
      DbgPlain(kDbgUnexpected, "%s", buffer);
      return false;
    }
    if (errno == ENOMSG) {
      std::snprintf(buffer, size, "Bad catalog access for message #%d in set %d", number, set);
      DbgPlain(kDbgUnexpected, "%s", buffer);
      return false;
    }
    std::snprintf(buffer, size, "catgets() failed, errno=%d, message #%d in set %d", errno, number,
                  set);
    DbgPlain(kDbgUnexpected, "%s retries left: %d", buffer, left);
    if (left > 0) VEK_Yield(3);
  }
  return false;
}

const char* Literal(int set, int n) {
  int found = 0;
  char* area = literalAreas.Take();
  Copy(area, kLiteralArea, NlsGetCatalogStringEx(set, n, &found));
  return area;
}

std::string Upper(const char* text) {
  std::string s = text != nullptr ? text : "";
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

int NlsOpenCatalog() {
  NlsCloseCatalog();
  if (!cmnDefine_ORACLE8 && std::setlocale(LC_ALL, "") == nullptr) {
    DbgPlain(kDbgAlways, "Failed to set locale from environment");
  }
  std::string lang = ChooseLanguage();
  char chain[sizeof cmnLang];
  Copy(chain, sizeof chain, lang.c_str());
  int err = 0;
  for (;;) {
    const std::string path = CatalogPath(chain);
    catd = VEK_catopen(path.c_str(), 0);
    if (catd != -1) break;
    err = errno;
    DbgPlain(1, "Tried to open message catalog %s => errcode=%d", path.c_str(), err);
    if (DownscaleLocale(chain) == nullptr) {
      DbgPlain(kDbgUnexpected, "NlsOpenCatalog: catopen() failed - errcode=%d, lang=\"%s\"!", err,
               lang.c_str());
      Copy(cmnLang, sizeof cmnLang, "C");
      return -1;
    }
  }
  Copy(cmnLang, sizeof cmnLang, chain);
  DbgPlain(1, "Message catalog found: %s\n", CatalogPath(chain).c_str());
  if (strcasecmp(chain, "C") != 0) {
    DbgPlain(11, "Loading default message catalog");
    const std::string path = CatalogPath("C");
    defaultCatd = VEK_catopen(path.c_str(), 0);
    if (defaultCatd != -1) {
      DbgPlain(1, "Default message catalog found: %s\n", path.c_str());
    } else {
      DbgPlain(kDbgUnexpected,
               "NlsOpenCatalog: Cannot load default catalog, catopen() failed - errcode=%d, "
               "lang=\"%s\"!",
               errno, chain);
    }
  }
  return 0;
}

void NlsCloseCatalog() {
  for (CmnCatd* handle : {&catd, &defaultCatd}) {
    if (*handle != -1 && VEK_catclose(*handle) != 0) {
      DbgPlain(kDbgUnexpected, "NlsCloseCatalog: catclose() failed: errcode=%d", errno);
    }
    *handle = -1;
  }
}

char* GetCatalogMessage(CmnCatd handle, char* buffer, size_t size, int set, int number) {
  ReadCatalogMessage(handle, buffer, size, set, number);
  return buffer;
}

const char* NlsGetCatalogStringEx(int set, int number, int* found) {
  int dummy = 0;
  if (found == nullptr) found = &dummy;
  *found = 0;
  char* area = stringAreas.Take();
  std::snprintf(area, kMessageArea, "Bad catalog access for message #%d in set %d", number, set);
  if (catd == -1 && defaultCatd == -1) NlsOpenCatalog();
  if (catd == -1 && defaultCatd == -1) {
    std::snprintf(area, kMessageArea, "Catalog not loaded, message #%d in set %d", number, set);
    DbgPlain(kDbgUnexpected, "%s", area);
    return area;
  }
  if (ReadCatalogMessage(catd, area, kMessageArea - 1, set, number)) {
    *found = 1;
    return area;
  }
  // Without a default catalogue (the language is "C") the language's miss
  // text is the answer.
  if (defaultCatd == -1) return area;
  DbgPlain(
      kDbgUnexpected,
      "Retrieving of message #%d in set %d from message catalog failed, tryign default catalog...",
      number, set);
  if (ReadCatalogMessage(defaultCatd, area, kMessageArea - 1, set, number)) {
    *found = 1;
    return area;
  }
  DbgPlain(kDbgUnexpected,
           "Retrieving of message #%d in set %d from default message catalog failed", number, set);
  return area;
}

const char* NlsGetMessageVA(int set, int number, NlsArgs args) {
  int found = 0;
  const char* format = NlsGetCatalogStringEx(set, number, &found);
  char* area = messageAreas.Take();
  std::memset(area, 0, kMessageArea);
  vSprintf(area, kMessageArea, format, args);
  return area;
}

const char* NlsGetLiteral(int n) {
  return Literal(kNlsSetLiteral, n);
}
const char* NlsGetLiteralEn(int n) {
  return Literal(kNlsSetLiteralEn, n);
}

int NlsGetDefine(int* index, int base, const char* keyword, int flags) {
  const bool exact = (flags & 1) != 0;
  const std::string key = exact ? std::string(keyword != nullptr ? keyword : "") : Upper(keyword);
  // A missing literal ends a list just as the empty sentinel does.
  for (int set : {kNlsSetLiteralEn, kNlsSetLiteral}) {
    for (int i = 0; i < kDefineLimit; ++i) {
      int found = 0;
      const char* text = NlsGetCatalogStringEx(set, base + i, &found);
      if (!found || text[0] == '\0') {
        if (set == kNlsSetLiteral) return -1;
        break;
      }
      if ((exact ? std::string(text) : Upper(text)) == key) {
        if (index != nullptr) *index = i;
        return 0;
      }
    }
  }
  DbgPlain(kDbgUnexpected, "%s: Keyword not found after %d literals (sentry missing for base=%d).",
           "NlsGetDefine", kDefineLimit, base);
  return -1;
}

char* DownscaleLocale(char* locale) {
  if (locale == nullptr) return nullptr;
  if (char* euro = std::strstr(locale, "@euro")) {
    *euro = '\0';
    return locale;
  }
  for (const char* latin9 : {"885915", "8859-15"}) {
    if (char* at = std::strstr(locale, latin9)) {
      // Drop the final "5": ISO 8859-15 falls back to ISO 8859-1.
      const size_t last = std::strlen(latin9) - 1;
      std::memmove(at + last, at + last + 1, std::strlen(at + last + 1) + 1);
      return locale;
    }
  }
  if (char* territory = std::strchr(locale, '_')) {
    const char* codeset = std::strchr(territory, '.');
    if (codeset == nullptr) codeset = territory + std::strlen(territory);
    std::memmove(territory, codeset, std::strlen(codeset) + 1);
    return locale;
  }
  if (char* codeset = std::strchr(locale, '.')) {
    *codeset = '\0';
    return locale;
  }
  if (locale[0] != '\0' && std::strcmp(locale, "C") != 0) {
    std::strcpy(locale, "C");
    return locale;
  }
  return nullptr;
}

char* NlsFindPathForLocale(char* directory) {
  if (directory == nullptr) return nullptr;
  const size_t length = std::strlen(directory);
  if (length + 1 + std::strlen(cmnLang) >= static_cast<size_t>(kCmnPathMax)) return nullptr;
  directory[length] = '/';
  char* lang = directory + length + 1;
  std::strcpy(lang, cmnLang);
  do {
    VEK_Stat st{};
    if (VEK_StatFile(directory, &st) == 0 && st.type == VEK_FTYPE_DIR) {
      DbgPlain(1, "Directory found: %s\n", directory);
      return lang;
    }
  } while (DownscaleLocale(lang) != nullptr);
  return nullptr;
}

char* NlsDetermineHelpPath() {
  char saved[kCmnPathMax];
  Copy(saved, sizeof saved, cmnFenHelp);
  char* lang = NlsFindPathForLocale(cmnFenHelp);
  if (lang == nullptr) Copy(cmnFenHelp, kCmnPathMax, saved);
  return lang;
}
