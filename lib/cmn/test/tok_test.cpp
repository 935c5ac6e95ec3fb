// Tokenizer: words and quoted phrases, the copying and the in-place forms,
// and texts that end inside a token.
#include "cmn/tok.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cmn/defines.h"

TARN_RCSID("lib/cmn/test/tok_test.cpp");

namespace {

TEST(Tok, WordThenQuotedPairThenEnd) {
  char text[] = "word 'two words'";
  tok_t t;
  tok_init(&t, text);
  EXPECT_STREQ(tok_get(&t), "word");
  EXPECT_EQ(t.quote, 0);
  EXPECT_STREQ(tok_get(&t), "two words");
  EXPECT_EQ(t.quote, '\'');
  EXPECT_EQ(tok_get(&t), nullptr);
  EXPECT_EQ(tok_get(&t), nullptr);
  EXPECT_STREQ(text, "word 'two words'");  // copies leave the text alone
  tok_free(&t);
}

TEST(Tok, InPlaceTokensPointIntoTheTextAndAreNotFreed) {
  char text[] = "  alpha\t\"b c\"  gamma";
  tok_t t;
  tok_init(&t, text);
  char* a = tok_getex(&t, 0);
  EXPECT_EQ(a, text + 2);
  EXPECT_STREQ(a, "alpha");
  char* b = tok_getex(&t, 0);
  EXPECT_STREQ(b, "b c");
  EXPECT_EQ(t.quote, '"');
  char* c = tok_getex(&t, 0);
  EXPECT_STREQ(c, "gamma");
  // Under the sanitizer, freeing a pointer into this stack array would abort.
  tok_free(&t);
  EXPECT_EQ(t.token, nullptr);
  EXPECT_EQ(t.cursor, nullptr);
}

TEST(Tok, MixedCopyAndInPlaceCallsReleaseEveryCopy) {
  char text[] = "one two three four";
  tok_t t;
  tok_init(&t, text);
  EXPECT_STREQ(tok_getex(&t, 1), "one");
  EXPECT_STREQ(tok_getex(&t, 0), "two");  // the copy of "one" is still held
  EXPECT_STREQ(tok_getex(&t, 1), "three");
  EXPECT_STREQ(tok_getex(&t, 1), "four");
  tok_free(&t);  // the leak checker sees every copy released
}

TEST(Tok, TextEndingInsideATokenStopsAtItsEnd) {
  char opening[] = "last '";
  tok_t t;
  tok_init(&t, opening);
  EXPECT_STREQ(tok_get(&t), "last");
  EXPECT_EQ(tok_get(&t), nullptr);
  tok_free(&t);

  // An unclosed quote takes the rest; the cursor stays on the terminator and
  // the next call reads nothing past it.
  char unclosed[] = "\"abc";
  tok_init(&t, unclosed);
  EXPECT_STREQ(tok_getex(&t, 0), "abc");
  EXPECT_EQ(t.cursor, unclosed + std::strlen(unclosed));
  EXPECT_EQ(tok_getex(&t, 0), nullptr);
  tok_free(&t);

  char trailing[] = "end   ";
  tok_init(&t, trailing);
  EXPECT_STREQ(tok_get(&t), "end");
  EXPECT_EQ(tok_get(&t), nullptr);
  tok_free(&t);

  char empty[] = "''";
  tok_init(&t, empty);
  EXPECT_STREQ(tok_get(&t), "");  // an empty quoted token is still a token
  EXPECT_EQ(tok_get(&t), nullptr);
  tok_free(&t);

  tok_init(&t, nullptr);
  EXPECT_EQ(tok_get(&t), nullptr);
  EXPECT_EQ(tok_get(nullptr), nullptr);
  tok_free(&t);
}

}  // namespace
