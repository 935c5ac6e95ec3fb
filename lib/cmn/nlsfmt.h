// Conversions of catalogue texts, shared by the formatter, the packer and the
// expander so that all three count and place arguments the same way.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "cmn/nls.h"

// Highest argument position a conversion may name ("%99$s").
inline constexpr int kNlsMaxPosition = 99;

struct NlsConversion {
  size_t begin = 0;      // the "%"
  size_t end = 0;        // one past the conversion
  bool percent = false;  // "%%": a percent sign, takes no argument
  int position = 0;      // 1-based "n$", 0 when none
  char letter = 's';     // conversion letter; unknown letters count as 's'
  std::string flags;     // "-+ #0"
  int width = -1;
  int precision = -1;
};

// Scans the conversion at format[pos] (which must be "%"). Always succeeds
// and consumes at least the "%".
NlsConversion NlsScanConversion(std::string_view format, size_t pos);

// Walks the conversions of a format in order. For each one that takes an
// argument, `slot` is its 0-based argument index: its position, or for a
// conversion without one the count of such conversions before it.
class NlsConversionWalker {
 public:
  explicit NlsConversionWalker(std::string_view format) : format_(format) {}
  // The next conversion (percent signs included) and the literal text before
  // it; false at the end (literal then holds the rest).
  bool Next(std::string_view* literal, NlsConversion* conversion, int* slot);
  // Argument slots the whole format takes: the highest slot + 1.
  static int SlotCount(std::string_view format);

 private:
  std::string_view format_;
  size_t pos_ = 0;
  int sequential_ = 0;
};

// Expands `format` into *out: literal text as it stands, "%%" as "%", and
// every other conversion as convert(conversion, slot, out) appends it. Stops
// taking pieces once *out holds `limit` bytes; the last piece may pass it.
template <class Convert>
void NlsExpandFormat(std::string_view format, size_t limit, std::string* out, Convert convert) {
  NlsConversionWalker walker(format);
  std::string_view literal;
  NlsConversion c;
  int slot = 0;
  bool more = true;
  while (more && out->size() < limit) {
    more = walker.Next(&literal, &c, &slot);
    out->append(literal);
    if (!more) break;
    if (c.percent) {
      *out += '%';
    } else {
      convert(c, slot, out);
    }
  }
}

// Appends one argument converted by the conversion's flags, width and
// precision, but always by the argument's own type. Null arg: nothing.
void NlsFormatArg(const NlsConversion& conversion, const NlsArg* arg, std::string* out);

// Result areas handed out in turn, so that calls made for the arguments of
// one call do not overwrite each other's results.
template <size_t Size>
class NlsAreaRing {
 public:
  char* Take() {
    char* area = areas_[next_].data();
    next_ = (next_ + 1) % areas_.size();
    return area;
  }

 private:
  std::array<std::array<char, Size>, kNlsResultAreas> areas_{};
  size_t next_ = 0;
};
