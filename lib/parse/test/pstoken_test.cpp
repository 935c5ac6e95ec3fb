// Keyword scanner: token codes, keywords, quotes, comments and the switches.
#include "parse/pstoken.h"

#include <string>
#include <utility>
#include <vector>

#include "tarn_test.h"

namespace {

struct Source {
  std::string text;
  std::size_t pos = 0;
};

int NextChar(void* arg1, void*) {
  auto* s = static_cast<Source*>(arg1);
  return s->pos < s->text.size() ? static_cast<unsigned char>(s->text[s->pos++]) : -1;
}

constexpr PsKeyword kKeywords[] = {
    {"device", 400, 1, 2},
    {"Pool", 401, 3, 4},
    {nullptr, 0, 0, 0},
};

std::vector<std::pair<int, std::string>> Scan(const std::string& text, PsSwitches sw = {}) {
  PsSetSwitches(sw);
  Source src{text};
  int current = ' ';
  std::vector<std::pair<int, std::string>> out;
  for (int i = 0; i < 100; ++i) {
    int v1 = 0, v2 = 0;
    const int code = PsGetToken(NextChar, &current, &src, nullptr, kKeywords, &v1, &v2);
    out.emplace_back(code, PsTokenText());
    if (code == PS_TOK_END) break;
  }
  PsSetSwitches({});
  return out;
}

using Tokens = std::vector<std::pair<int, std::string>>;

TEST(PsGetToken, WordsNumbersKeywordsAndPunctuation) {
  EXPECT_EQ(Scan("DEVICE \"a b\" 123 x1 { } ; + : pool # comment ( =\n'q'"),
            (Tokens{{400, "DEVICE"},
                    {PS_TOK_QUOTED, "a b"},
                    {PS_TOK_NUMBER, "123"},
                    {PS_TOK_WORD, "x1"},
                    {PS_TOK_LBRACE, ""},
                    {PS_TOK_RBRACE, ""},
                    {PS_TOK_SEMICOLON, ""},
                    {PS_TOK_PLUS, ""},
                    {PS_TOK_COLON, ""},
                    {401, "pool"},
                    {PS_TOK_QUOTED, "q"},
                    {PS_TOK_END, ""}}));
}

TEST(PsGetToken, KeywordValuesAndReverseLookup) {
  PsSetSwitches({});
  Source src{"Device"};
  int current = ' ', v1 = 0, v2 = 0;
  EXPECT_EQ(PsGetToken(NextChar, &current, &src, nullptr, kKeywords, &v1, &v2), 400);
  EXPECT_EQ(v1, 1);
  EXPECT_EQ(v2, 2);
  EXPECT_STREQ(PsFindTokenStr(401, kKeywords, 3), "Pool");
  EXPECT_EQ(PsFindTokenStr(401, kKeywords, 9), nullptr);
}

TEST(PsGetToken, QuoteRunsToLineEndWhenUnclosed) {
  EXPECT_EQ(Scan("\"open\nnext"),
            (Tokens{{PS_TOK_QUOTED, "open"}, {PS_TOK_WORD, "next"}, {PS_TOK_END, ""}}));
}

TEST(PsGetToken, SwitchesChangeWordEnds) {
  PsSwitches list{};
  list.listSyntax = true;
  EXPECT_EQ(Scan("a=(b,c)#", list), (Tokens{{PS_TOK_WORD, "a"},
                                            {PS_TOK_EQUALS, ""},
                                            {PS_TOK_LPAREN, ""},
                                            {PS_TOK_WORD, "b"},
                                            {PS_TOK_COMMA, ""},
                                            {PS_TOK_WORD, "c"},
                                            {PS_TOK_RPAREN, ""},
                                            {PS_TOK_HASH, ""},
                                            {PS_TOK_END, ""}}));
  EXPECT_EQ(Scan("a=(b,c)"), (Tokens{{PS_TOK_WORD, "a=(b,c)"}, {PS_TOK_END, ""}}));
  PsSwitches colon{};
  colon.colonInWords = true;
  EXPECT_EQ(Scan("host:/dir", colon), (Tokens{{PS_TOK_WORD, "host:/dir"}, {PS_TOK_END, ""}}));
}

TEST(PsGetToken, AWordEndingCharacterOnItsOwnIsAOneCharacterWord) {
  // Each of these used to stand still on the character, returning empty
  // words for ever.
  PsSwitches ends{};
  ends.endAtEquals = true;
  ends.endAtComma = true;
  ends.endAtParens = true;
  EXPECT_EQ(Scan("a=b, (c)", ends), (Tokens{{PS_TOK_WORD, "a"},
                                            {PS_TOK_WORD, "="},
                                            {PS_TOK_WORD, "b"},
                                            {PS_TOK_WORD, ","},
                                            {PS_TOK_WORD, "("},
                                            {PS_TOK_WORD, "c"},
                                            {PS_TOK_WORD, ")"},
                                            {PS_TOK_END, ""}}));
  EXPECT_EQ(Scan("==", ends), (Tokens{{PS_TOK_WORD, "="}, {PS_TOK_WORD, "="}, {PS_TOK_END, ""}}));
}

TEST(PsGetToken, TokensBeyondTheLimitEndTheScan) {
  // 17 MiB without a closing quote or a line end, and the same as a word.
  for (const std::string& start : {std::string("'"), std::string("w")}) {
    PsSetSwitches({});
    Source src{start + std::string(17 * 1024 * 1024, 'z')};
    int current = ' ';
    EXPECT_EQ(PsGetToken(NextChar, &current, &src, nullptr, kKeywords, nullptr, nullptr),
              PS_TOK_END);
    EXPECT_STREQ(PsTokenText(), "");
  }
}

int WideChars(void* arg1, void*) {
  auto* left = static_cast<int*>(arg1);
  return (*left)-- > 0 ? 0x1234 : -1;
}

TEST(PsGetToken, CallbackValuesOutsideTheByteRangeAreWordCharacters) {
  PsSetSwitches({});
  int left = 3;
  int current = ' ';
  EXPECT_EQ(PsGetToken(WideChars, &current, &left, nullptr, kKeywords, nullptr, nullptr),
            PS_TOK_WORD);
  EXPECT_EQ(std::string(PsTokenText()).size(), 3u);
  EXPECT_EQ(PsGetToken(WideChars, &current, &left, nullptr, kKeywords, nullptr, nullptr),
            PS_TOK_END);
}

TEST(PsGetToken, LongQuotedTextIsKeptWhole) {
  const std::string body(300 * 1024, 'z');
  const Tokens t = Scan("'" + body + "'");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].second.size(), body.size());
}

}  // namespace
