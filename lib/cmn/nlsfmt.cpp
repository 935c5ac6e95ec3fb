// Positional formatting of catalogue texts. The catalogue says how an
// argument is shown; the caller's real type says how it is read.
#include "cmn/nlsfmt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

TARN_RCSID("lib/cmn/nlsfmt.cpp");

namespace {

// Widths and precisions above this are taken as this: a catalogue text must
// not make one conversion expand into megabytes.
constexpr int kMaxWidth = 4095;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool In(char c, const char* set) {
  return c != '\0' && std::strchr(set, c) != nullptr;
}

int ReadClamped(std::string_view s, size_t* p) {
  int v = 0;
  while (*p < s.size() && IsDigit(s[*p])) {
    v = std::min(kMaxWidth, v * 10 + (s[*p] - '0'));
    ++*p;
  }
  return v;
}

// "%" + the allowed flags + width + precision + length + letter: only
// characters checked here ever reach the C library's formatter.
std::string Spec(const NlsConversion& c, const char* allowedFlags, bool precision,
                 const char* length, char letter) {
  std::string spec = "%";
  for (char f : c.flags) {
    if (In(f, allowedFlags)) spec += f;
  }
  if (c.width >= 0) spec += std::to_string(c.width);
  if (precision && c.precision >= 0) spec += "." + std::to_string(c.precision);
  spec += length;
  spec += letter;
  return spec;
}

template <class T>
void AppendF(std::string* out, const std::string& spec, T value) {
  char small[128];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  const int n = std::snprintf(small, sizeof small, spec.c_str(), value);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out->append(small, static_cast<size_t>(n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), spec.c_str(), value);
#pragma GCC diagnostic pop
  out->append(big.data(), static_cast<size_t>(n));
}

void AppendText(const NlsConversion& c, std::string_view text, std::string* out) {
  if (c.precision >= 0 && text.size() > static_cast<size_t>(c.precision)) {
    text = text.substr(0, static_cast<size_t>(c.precision));
  }
  const size_t pad = c.width > 0 && static_cast<size_t>(c.width) > text.size()
                         ? static_cast<size_t>(c.width) - text.size()
                         : 0;
  const bool left = c.flags.find('-') != std::string::npos;
  if (!left) out->append(pad, ' ');
  out->append(text);
  if (left) out->append(pad, ' ');
}

constexpr const char* kFloatLetters = "fFgGeEaA";

}  // namespace

NlsConversion NlsScanConversion(std::string_view format, size_t pos) {
  NlsConversion c;
  c.begin = pos;
  size_t p = pos + 1;
  if (p < format.size() && format[p] == '%') {
    c.percent = true;
    c.end = p + 1;
    return c;
  }
  size_t q = p;
  int n = 0;
  while (q < format.size() && IsDigit(format[q]) && q - p < 3) n = n * 10 + (format[q++] - '0');
  if (q > p && q < format.size() && format[q] == '$' && n >= 1 && n <= kNlsMaxPosition) {
    c.position = n;
    p = q + 1;
  }
  while (p < format.size() && In(format[p], "-+ #0") && c.flags.size() < 8) c.flags += format[p++];
  if (p < format.size() && IsDigit(format[p])) c.width = ReadClamped(format, &p);
  if (p < format.size() && format[p] == '.') {
    ++p;
    c.precision = ReadClamped(format, &p);
  }
  for (int i = 0; i < 2 && p < format.size() && In(format[p], "hlLqjzt"); ++i) ++p;
  if (p < format.size() && In(format[p], "diouxXcCpfFgGeEaAsS")) {
    c.letter = format[p++];
  } else {
    c.letter = 's';  // an unknown letter stays in the text after the argument
  }
  c.end = p;
  return c;
}

bool NlsConversionWalker::Next(std::string_view* literal, NlsConversion* conversion, int* slot) {
  const size_t percent = format_.find('%', pos_);
  if (percent == std::string_view::npos) {
    *literal = format_.substr(pos_);
    pos_ = format_.size();
    return false;
  }
  *literal = format_.substr(pos_, percent - pos_);
  *conversion = NlsScanConversion(format_, percent);
  pos_ = conversion->end;
  if (conversion->percent) {
    *slot = -1;
  } else if (conversion->position > 0) {
    *slot = conversion->position - 1;
  } else {
    *slot = sequential_++;
  }
  return true;
}

int NlsConversionWalker::SlotCount(std::string_view format) {
  NlsConversionWalker walker(format);
  std::string_view literal;
  NlsConversion c;
  int slot = 0;
  int count = 0;
  while (walker.Next(&literal, &c, &slot)) count = std::max(count, slot + 1);
  return count;
}

void NlsFormatArg(const NlsConversion& c, const NlsArg* arg, std::string* out) {
  if (arg == nullptr) return;
  const char letter = c.letter;
  const bool isFloat = In(letter, kFloatLetters);
  switch (arg->kind) {
    case NlsArg::kText:
      AppendText(c, arg->nullText ? std::string_view("(null)") : arg->text, out);
      return;
    case NlsArg::kPointer: AppendF(out, Spec(c, "-", false, "", 'p'), arg->p); return;
    case NlsArg::kDouble:
      AppendF(out, Spec(c, "-+ #0", true, "", isFloat ? letter : 'g'), arg->d);
      return;
    case NlsArg::kInt:
    case NlsArg::kUnsigned: break;
  }
  const bool isSigned = arg->kind == NlsArg::kInt;
  const unsigned long long bits = isSigned ? static_cast<unsigned long long>(arg->i) : arg->u;
  if (isFloat) {
    const double d = isSigned ? static_cast<double>(arg->i) : static_cast<double>(arg->u);
    AppendF(out, Spec(c, "-+ #0", true, "", letter), d);
  } else if (In(letter, "cC")) {
    AppendF(out, Spec(c, "-", false, "", 'c'), static_cast<int>(static_cast<unsigned char>(bits)));
  } else if (In(letter, "ouxX")) {
    AppendF(out, Spec(c, "-#0", true, "ll", letter), bits);
  } else if (isSigned) {
    AppendF(out, Spec(c, "-+ 0", true, "ll", 'd'), arg->i);
  } else {
    AppendF(out, Spec(c, "-0", true, "ll", 'u'), arg->u);
  }
}

int vSprintf(char* buffer, size_t size, const char* format, NlsArgs args) {
  if (buffer == nullptr || size == 0) return 0;
  std::string out;
  NlsExpandFormat(format != nullptr ? std::string_view(format) : std::string_view(), size, &out,
                  [&](const NlsConversion& c, int slot, std::string* text) {
                    if (static_cast<size_t>(slot) < args.size()) {
                      NlsFormatArg(c, &args[static_cast<size_t>(slot)], text);
                    }
                  });
  const size_t n = std::min(out.size(), size - 1);
  std::memcpy(buffer, out.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}
