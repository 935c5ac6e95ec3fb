// Trusted hosts: the groups of mutually trusting hosts in the server
// configuration, read from a file or a text.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/erh.h"
#include "cmn/paths.h"
#include "cmn/vekfile.h"
#include "parse/ipspec.h"

TARN_RCSID("lib/parse/trusts.cpp");

namespace {

constexpr std::size_t kWordMax = 255;

enum class Piece { kWord, kOpen, kClose, kEnd };

// Reads the text piece by piece: words, '{', '}'; comments are skipped.
class TrustsScanner {
 public:
  explicit TrustsScanner(const char* text) : p_(text != nullptr ? text : "") {}

  Piece next() {
    for (;;) {
      while (std::isspace(static_cast<unsigned char>(*p_))) ++p_;
      if (*p_ != '#') break;
      while (*p_ != '\0' && *p_ != '\n') ++p_;
    }
    if (*p_ == '\0') return Piece::kEnd;
    if (*p_ == '{' || *p_ == '}') return *p_++ == '{' ? Piece::kOpen : Piece::kClose;
    const char* start = p_;
    while (*p_ != '\0' && !std::isspace(static_cast<unsigned char>(*p_)) &&
           std::strchr("{}#", *p_) == nullptr) {
      ++p_;
    }
    word_.assign(start, std::min(static_cast<std::size_t>(p_ - start), kWordMax));
    return Piece::kWord;
  }
  const std::string& word() const { return word_; }

 private:
  const char* p_;
  std::string word_;
};

// 1 when the word was added, 0 when memory ran out.
int Add(ArgvVec* argv, const std::string& word) {
  return ArgvAdd(argv, word.c_str()) == 0 ? 1 : 0;
}

}  // namespace

int ParseTrustsBuffer(const char* text, const char* host, int flags, ArgvVec* argv) {
  if (argv == nullptr) return 0;
  const bool haveHost = host != nullptr && host[0] != '\0';
  int added = 0;
  if (haveHost && (flags & kTrustsAddSelf) != 0) added |= Add(argv, host);
  TrustsScanner scanner(text);
  if (!haveHost) {
    for (Piece piece; (piece = scanner.next()) != Piece::kEnd && piece != Piece::kClose;) {
      if (piece == Piece::kWord) added |= Add(argv, scanner.word());
    }
    return added;
  }
  std::vector<std::string> group;
  bool inGroup = false;
  bool holdsHost = false;
  for (Piece piece; (piece = scanner.next()) != Piece::kEnd;) {
    switch (piece) {
      case Piece::kOpen:
        group.clear();
        inGroup = true;
        holdsHost = false;
        break;
      case Piece::kWord:
        if (!inGroup) break;
        if (scanner.word() == host) {
          holdsHost = true;
        } else {
          group.push_back(scanner.word());
        }
        break;
      case Piece::kClose:
        if (inGroup && holdsHost) {
          for (const std::string& word : group) added |= Add(argv, word);
        }
        inGroup = false;
        break;
      case Piece::kEnd: break;
    }
  }
  return added;
}

int ParseTrustsFile(const char* name, const char* host, int flags, ArgvVec* argv) {
  const std::string path = std::string(cmnFenConfig) + "/" + (name != nullptr ? name : "");
  char* text = name != nullptr && name[0] != '\0' ? CmnGetFile(path.c_str(), nullptr) : nullptr;
  if (text == nullptr) {
    // No trusts file is an ordinary set-up, not an error of the caller's.
    ErhClearErrorM(TARN_HERE);
    if (argv == nullptr || host == nullptr || host[0] == '\0' || (flags & kTrustsAddSelf) == 0) {
      return 0;
    }
    return Add(argv, host);
  }
  const int added = ParseTrustsBuffer(text, host, flags, argv);
  safe_free(text, TARN_HERE);
  return added;
}
