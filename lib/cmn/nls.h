// Message catalogue: finds the language's "tarn.cat" and the "C" one, looks
// texts up by (set, number) and formats them with positional arguments.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "cmn/defines.h"

// Catalogue sets of the system's own.
inline constexpr int kNlsSetLiteral = 11;     // localised literals
inline constexpr int kNlsSetError = 12;       // error texts, number = error code
inline constexpr int kNlsSetLiteralEn = 149;  // English literals (keywords)
inline constexpr int kNlsSetTrb = 253;        // troubleshooting table rows

// The texts of set 12 below the error codes (above 1000, the number of a
// text is its error code).
inline constexpr int kNlsErrorHeader = 1;      // report header
inline constexpr int kNlsErrorConsole = 2;     // a console line
inline constexpr int kNlsErrorReport = 3;      // a report line
inline constexpr int kNlsErrorInternal = 5;    // an internal fault: file, line, file, line
inline constexpr int kNlsErrorWithSystem = 6;  // an error text with the system's
inline constexpr int kNlsErrorNone = 7;        // no error

inline constexpr char kNlsCatalogName[] = "tarn.cat";
// The longest text a catalogue entry yields (a longer one is cut).
inline constexpr int kNlsMaxText = 4095;

// A text returned in one of this module's result areas stays valid until
// kNlsResultAreas further calls of the same function, so the results of
// several calls may be passed in one argument list.
inline constexpr size_t kNlsResultAreas = 16;

// Language in use ("C" until NlsOpenCatalog found another one).
extern char cmnLang[256];

// Opens the language's catalogue (and the "C" one as the default unless the
// language is "C"). 0, or -1 when no catalogue of the language chain exists.
// The language comes from LC_ALL, LC_MESSAGES or LANG, whether or not that
// locale is installed; outside host-process mode the process locale is also
// set from the environment.
int NlsOpenCatalog();
// Closes both catalogues; harmless when none is open.
void NlsCloseCatalog();

// One open catalogue file. Handles are small positive numbers, distinct for
// every open file; -1 means "not open".
using CmnCatd = int;
// Opens and checks one catalogue file. -1 (errno set) when it is missing,
// unreadable or not a well-formed catalogue. `flag` is unused.
CmnCatd VEK_catopen(const char* path, int flag);
int VEK_catclose(CmnCatd handle);
// The text (set, number) in a 4096-byte area the next call overwrites, or
// `defaultText` (errno ENOMSG when the entry does not exist).
const char* VEK_catgets(CmnCatd handle, int set, int number, const char* defaultText);

// Read-only view of a file: mapped, or (bit 2) its header and index read into
// memory with the file kept open for reading the texts.
inline constexpr int kCmnMapMapped = 1;
inline constexpr int kCmnMapEmulated = 2;
struct CmnMapRecord {
  int flags;
  void* address;  // mapping, or heap copy of header and index
  size_t size;    // bytes at address
  int fd;         // open only when emulated, else -1
  off_t fileSize;
};
// 0, or -1 with errno. Falls back to CmnEmulateMapFile when mmap fails.
int CmnMapFile(CmnMapRecord* record, const char* path, int protection, int flags, size_t length,
               off_t offset);
int CmnEmulateMapFile(CmnMapRecord* record, const char* path);
void CmnUnmapFile(CmnMapRecord* record);
void CmnEmulateUnmapFile(CmnMapRecord* record);
// Test hook: makes CmnMapFile skip mmap so the read path is exercised.
void CmnMapFileForceEmulation(bool on);

// Reads (set, number) into `buffer` (size bytes) with retries; on failure the
// buffer holds one of the fixed miss texts. Returns buffer.
char* GetCatalogMessage(CmnCatd handle, char* buffer, size_t size, int set, int number);
// The text (set, number), or a fixed miss text with *found = 0. Opens the
// catalogue on first use. Result area of 2048 bytes.
const char* NlsGetCatalogStringEx(int set, int number, int* found);
// Localised literal n (set 11) and English literal n (set 149), in result
// areas of 256 bytes; a missing literal gives the miss text.
const char* NlsGetLiteral(int n);
const char* NlsGetLiteralEn(int n);
// Finds `keyword` among the literals base, base + 1, ... (English first,
// then localised); a list ends at an empty or missing literal. Flag 1:
// compare case-sensitively. 0 with *index = the match's offset from base, or
// -1.
int NlsGetDefine(int* index, int base, const char* keyword, int flags);

// One formatting argument with the type the caller really passed. The
// catalogue text decides the conversion; an argument is never read as a type
// it is not.
struct NlsArg {
  enum Kind : std::uint8_t { kInt, kUnsigned, kDouble, kText, kPointer };
  Kind kind = kText;
  union {
    long long i;
    unsigned long long u;
    double d;
    const void* p;
  };
  std::string_view text;  // kText; data() null for a null text
  bool nullText = false;

  NlsArg(const char* s)
      : kind(kText),
        i(0),
        text(s ? std::string_view(s) : std::string_view()),
        nullText(s == nullptr) {}
  NlsArg(char* s) : NlsArg(static_cast<const char*>(s)) {}
  NlsArg(const std::string& s) : kind(kText), i(0), text(s) {}
  NlsArg(std::string_view s) : kind(kText), i(0), text(s) {}
  NlsArg(std::nullptr_t) : NlsArg(static_cast<const char*>(nullptr)) {}
  template <class T>
  requires(std::is_integral_v<T> || std::is_enum_v<T>) NlsArg(T v) : kind(kInt), i(0) {
    using U = typename std::conditional_t<std::is_enum_v<T>, std::underlying_type<T>,
                                          std::type_identity<T>>::type;
    if constexpr (std::is_signed_v<U>) {
      i = static_cast<long long>(v);
    } else {
      kind = kUnsigned;
      u = static_cast<unsigned long long>(v);
    }
  }
  template <class T>
  requires std::is_floating_point_v<T> NlsArg(T v) : kind(kDouble), d(static_cast<double>(v)) {}
  template <class T>
  requires(!std::is_same_v<std::remove_cv_t<T>, char>) NlsArg(T* v) : kind(kPointer), p(v) {}
};
using NlsArgs = std::span<const NlsArg>;

// Formats `format` (positional "%2$s" or in-order conversions; "%%" is a
// percent sign) into buffer (size bytes, always terminated). A conversion
// whose letter disagrees with its argument formats the argument by its own
// type; a missing argument gives the empty text. Returns the length written.
int vSprintf(char* buffer, size_t size, const char* format, NlsArgs args);
template <class... A>
int Sprintf(char* buffer, size_t size, const char* format, const A&... args) {
  const std::array<NlsArg, sizeof...(A)> list{NlsArg(args)...};
  return vSprintf(buffer, size, format, list);
}

// Catalogue text (set, number) formatted with the arguments, in a result
// area of 2048 bytes.
const char* NlsGetMessageVA(int set, int number, NlsArgs args);
template <class... A>
const char* NlsGetMessage(int set, int number, const A&... args) {
  const std::array<NlsArg, sizeof...(A)> list{NlsArg(args)...};
  return NlsGetMessageVA(set, number, list);
}

// One downscaling step of a locale name, in place (see the chain
// de_DE.ISO8859-15@euro, de_DE.ISO8859-15, de_DE.ISO8859-1, de.ISO8859-1, de,
// C). Returns locale, or null when the chain has ended ("C" or empty).
char* DownscaleLocale(char* locale);
// Appends "/" and the language to `directory` (kCmnPathMax bytes) and
// downscales until that directory exists. Returns the language part inside
// directory, or null (directory then holds the last path tried).
char* NlsFindPathForLocale(char* directory);
// Points cmnFenHelp at the language's help directory; null (and cmnFenHelp
// restored) when there is none.
char* NlsDetermineHelpPath();
