// Keyword-line parser at scale: a long line costs what as many fields spread
// over short lines cost, and its fields still land in table order.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "genparser_test_util.h"
#include "tarn_test.h"

TARN_RCSID("lib/parse/gen_parser/test/genparser_scale_test.cpp");

namespace {

using genparsertest::List;
using genparsertest::Parse;

constexpr char kFormat[] = "-key host\n-key virt[ual\n-key clus[ter\n-key os\n";

// `lines` lines of `fields` fields each, the keys out of table order and
// repeated, so that every field must find its place among the earlier ones.
std::string Text(int lines, int fields) {
  static const char* const kKeys[] = {"-clus", "-host", "-os", "-virt"};
  std::string text;
  for (int l = 0; l < lines; ++l) {
    for (int f = 0; f < fields; ++f) {
      text += kKeys[f % 4];
      text += " v" + std::to_string(f) + ' ';
    }
    text += '\n';
  }
  return text;
}

double ParseSeconds(const std::string& text) {
  const auto start = std::chrono::steady_clock::now();
  const List list = Parse(kFormat, text.c_str());
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(list);
  return took.count();
}

TEST(GenParserScale, OneLongLineCostsNoMoreThanAsManyFieldsOnShortLines) {
  // The same fields, tokens and bytes either way. Work that grows with the
  // square of a line's fields makes the long line about 30 times dearer; the
  // bound leaves room for noise and sanitizers on either side. The two are
  // timed in turns, the shortest of five kept, so that a busy machine slows
  // both alike.
  constexpr int kShort = 1000;
  constexpr int kLines = 32;
  const std::string spreadText = Text(kLines, kShort);
  const std::string singleText = Text(1, kLines * kShort);
  double spread = 1e9;
  double single = 1e9;
  for (int run = 0; run < 5; ++run) {
    spread = std::min(spread, ParseSeconds(spreadText));
    single = std::min(single, ParseSeconds(singleText));
  }
  EXPECT_LT(single, 6 * spread) << "one line " << single << " s, " << kLines << " lines "
                                << spread << " s";
}

TEST(GenParserScale, FieldsKeepTableOrderAndTheirOrderWithinOneKey) {
  struct Case {
    const char* line;
    const char* rendered;
  } cases[] = {
      {"-os o1 -clus c1 -virt v1 -host h1", "-host h1 -virt v1 -clus c1 -os o1"},
      {"-host h1 -host h2 -host h3", "-host h1 -host h2 -host h3"},
      {"-clus c1 -host h1 -clus c2 -host h2 -virt v1 -host h3",
       "-host h1 -host h2 -host h3 -virt v1 -clus c1 -clus c2"},
      {"-os o1 -os o2 -host h1 -os o3", "-host h1 -os o1 -os o2 -os o3"},
      {"lead -virt v1 x -host h1 -virt v2", "-host h1 -virt \"v1 x\" -virt v2"},
  };
  for (const Case& c : cases) {
    const List list = Parse(kFormat, c.line);
    ASSERT_TRUE(list) << c.line;
    char* out = nullptr;
    ASSERT_EQ(PLGetBufferFromList(list.get(), &out), 1) << c.line;
    EXPECT_STREQ(out, c.rendered) << c.line;
    safe_free(out, TARN_HERE);
    // The line's first field carries the links between lines.
    EXPECT_EQ(list->first, list->last) << c.line;
    EXPECT_EQ(list->current, list->first) << c.line;
    EXPECT_EQ(list->first->prev, nullptr) << c.line;
  }
}

}  // namespace
