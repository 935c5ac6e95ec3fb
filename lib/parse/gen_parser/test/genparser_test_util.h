// Helpers shared by the keyword-line parser tests: lists freed on scope exit.
#pragma once

#include <memory>

#include "gen_parser/genparser.h"

namespace genparsertest {

using List = std::unique_ptr<ParserList, void (*)(ParserList*)>;

inline List Parse(const char* format, const char* data) {
  return List(PLParse(format, data), PLFree);
}

}  // namespace genparsertest
