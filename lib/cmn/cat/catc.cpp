// Catalogue compiler: turns readable catalogue sources into the binary
// "tarn.cat" file the common library reads. Runs at build time only.
//
//   tarn_catc -o <output> <source>...
//
// Source syntax, one message a line:
//   <set> <number> <text>
// set 0 to 255, number 0 to 4294967295, separated by single blanks; the text
// is the rest of the line, kept byte for byte (leading blanks included), and
// may be empty. Inside it "\n" stands for a newline, "\t" for a tab and a
// backslash before any other character for that character; the reader
// resolves these. Lines that are empty or start with "#" are comments. Raw
// control characters other than tab, and a (set, number) given twice, are
// errors.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cmn/nlsfile.h"

namespace {

struct Message {
  std::string text;
  std::string where;
};

using Catalogue = std::map<std::pair<std::uint32_t, std::uint32_t>, Message>;

bool ParseNumber(const std::string& line, size_t* pos, std::uint64_t max, std::uint64_t* value) {
  size_t p = *pos;
  std::uint64_t v = 0;
  while (p < line.size() && line[p] >= '0' && line[p] <= '9') {
    v = v * 10 + static_cast<std::uint64_t>(line[p] - '0');
    if (v > max) return false;
    ++p;
  }
  if (p == *pos) return false;
  *pos = p;
  *value = v;
  return true;
}

bool ReadSource(const char* path, Catalogue* catalogue) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << path << ": cannot open: " << std::strerror(errno) << "\n";
    return false;
  }
  std::string line;
  bool ok = true;
  for (int lineNo = 1; std::getline(in, line); ++lineNo) {
    const std::string where = std::string(path) + ":" + std::to_string(lineNo);
    if (line.empty() || line[0] == '#') continue;
    size_t pos = 0;
    std::uint64_t set = 0;
    std::uint64_t number = 0;
    const bool setOk =
        ParseNumber(line, &pos, kNlsCatSets - 1, &set) && pos < line.size() && line[pos] == ' ';
    if (setOk) ++pos;
    if (!setOk || !ParseNumber(line, &pos, 0xFFFFFFFFu, &number) ||
        (pos < line.size() && line[pos] != ' ')) {
      std::cerr << where << ": expected \"<set 0-255> <number> <text>\"\n";
      ok = false;
      continue;
    }
    std::string text = pos < line.size() ? line.substr(pos + 1) : std::string();
    for (unsigned char c : text) {
      if (c < 0x20 && c != '\t') {
        std::cerr << where << ": control character 0x" << std::hex << int(c) << std::dec
                  << " in text (write \\n or \\t)\n";
        ok = false;
        break;
      }
    }
    if (text.size() > static_cast<size_t>(4095)) {
      std::cerr << where << ": text longer than 4095 bytes\n";
      ok = false;
    }
    const auto key =
        std::make_pair(static_cast<std::uint32_t>(set), static_cast<std::uint32_t>(number));
    auto [it, inserted] = catalogue->emplace(key, Message{text, where});
    if (!inserted) {
      std::cerr << where << ": message " << set << "/" << number << " already given at "
                << it->second.where << "\n";
      ok = false;
    }
  }
  return ok;
}

void PutU32(std::string* out, std::uint32_t v) {
  out->append(reinterpret_cast<const char*>(&v), sizeof v);
}

std::string Compile(const Catalogue& catalogue) {
  std::string index;
  std::string texts;
  for (const auto& [key, message] : catalogue) {
    PutU32(&index, key.first);
    PutU32(&index, key.second);
    PutU32(&index, static_cast<std::uint32_t>(texts.size()));
    texts += message.text;
    texts += '\0';
  }
  std::string out;
  PutU32(&out, kNlsCatMagic);
  PutU32(&out, static_cast<std::uint32_t>(catalogue.size()));
  PutU32(&out, 0);
  return out + index + texts;
}

}  // namespace

int main(int argc, char** argv) {
  const char* output = nullptr;
  std::vector<const char*> sources;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
      output = argv[++i];
    } else {
      sources.push_back(argv[i]);
    }
  }
  if (output == nullptr || sources.empty()) {
    std::cerr << "usage: tarn_catc -o <output> <source>...\n";
    return 2;
  }
  Catalogue catalogue;
  bool ok = true;
  for (const char* source : sources) ok = ReadSource(source, &catalogue) && ok;
  if (!ok) return 1;
  const std::string bytes = Compile(catalogue);
  const std::string temporary = std::string(output) + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::cerr << temporary << ": cannot write\n";
      return 1;
    }
  }
  if (std::rename(temporary.c_str(), output) != 0) {
    std::cerr << output << ": cannot rename: " << std::strerror(errno) << "\n";
    return 1;
  }
  return 0;
}
