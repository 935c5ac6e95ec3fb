// Variant text form as read: values of every kind, syntax errors with their
// texts and positions, hostile input, and round trips through the packer.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "cmn/erh.h"
#include "cmn/var.h"
#include "var_test_util.h"

TARN_RCSID("lib/cmn/test/var_parse_test.cpp");

namespace {

using vartest::Owned;
using vartest::Pack;

struct Parsed {
  Owned value;
  CmnVarUnpackState state{};
  int erh = 0;
  std::string message;
};

// Parses `text` with a clean error state and records what the parser left;
// a value from an earlier call is freed.
void Parse(Parsed* out, const char* text, int flags = 0) {
  ErhClearError();
  out->state.flags = flags;
  CmnVarFree(&out->value.v);
  out->value.v = CmnVarUnpackEx(text, &out->state);
  out->erh = ErhErrno();
  out->message = ErhSysErrorStr();
  ErhClearError();
}

TEST(VarParse, ValuesOfEveryKind) {
  Parsed p;
  Parse(&p, " {a = 1 ; b='x y';c=[1,-2];d=(1,'t',());e={};f=bare;g=-;h=} ");
  ASSERT_EQ(p.state.error, 0);
  EXPECT_EQ(CmnVarLength(p.value.v), 8);
  EXPECT_EQ(CmnVarGet(p.value.v, "a")->u.integer, 1);
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(p.value.v, "b")), "x y");
  EXPECT_EQ(CmnVarCmp(*CmnVarGet(p.value.v, "c"), CmnVarRange(1, -2)), 0);
  EXPECT_EQ(CmnVarLength(*CmnVarGet(p.value.v, "d")), 3);
  EXPECT_EQ(CmnVarKindOf(*CmnVarGet(p.value.v, "e")), VAR_KIND_LIST);
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(p.value.v, "f")), "bare");
  EXPECT_EQ(CmnVarKindOf(*CmnVarGet(p.value.v, "g")),
            VAR_KIND_INT);  // "-" is a number that does not scan
  EXPECT_EQ(CmnVarGet(p.value.v, "h")->klass, nullptr);
}

TEST(VarParse, ListWithoutFinalDelimiterAndComments) {
  Parsed p;
  Parse(&p, "# configuration\n{Version=5; 'Name' = 'db2' # trailing\n}");
  ASSERT_EQ(p.state.error, 0);
  EXPECT_EQ(CmnVarGet(p.value.v, "version")->u.integer, 5);
  EXPECT_STREQ(CmnVarCastText(*CmnVarGet(p.value.v, "name")), "db2");
}

TEST(VarParse, EmptyArrayRangeAndTrailingComma) {
  Parsed p;
  Parse(&p, "()");
  EXPECT_EQ(CmnVarKindOf(p.value.v), VAR_KIND_ARRAY);
  EXPECT_EQ(CmnVarLength(p.value.v), 0);
  Parse(&p, "(1,)");
  EXPECT_EQ(CmnVarLength(p.value.v), 1);
  Parse(&p, "[-2147483648,2147483647]");
  EXPECT_EQ(CmnVarCmp(p.value.v, CmnVarRange(INT32_MIN, INT32_MAX)), 0);
  Parse(&p, "-9223372036854775808");
  EXPECT_EQ(p.value.v.u.integer, LLONG_MIN);
  Parse(&p, "");
  EXPECT_EQ(p.value.v.klass, nullptr);
  EXPECT_EQ(p.state.error, 0);
}

TEST(VarParse, SyntaxErrorsNameExpectedFoundAndPlace) {
  struct Case {
    const char* text;
    const char* message;
    int line, column;
    const char* token;
  };
  const Case cases[] = {
      {"{a 1}",
       "Syntax error at line 1, column 4. Expected 'token->type==token_eq', got number. Near: '1}'",
       1, 4, "number"},
      {"[1;2]",
       "Syntax error at line 1, column 3. Expected 'token->type==token_comma', got delimiter. "
       "Near: ';2]'",
       1, 3, "delimiter"},
      {"[x,2]",
       "Syntax error at line 1, column 2. Expected 'token->type==token_number', got string. Near: "
       "'x,2]'",
       1, 2, "string"},
      {"[1,2",
       "Syntax error at line 1, column 5. Expected 'token->type==token_range_end', got EOF. Near: "
       "''",
       1, 5, "EOF"},
      {"(1 2)",
       "Syntax error at line 1, column 4. Expected 'token->type==token_array_end', got number. "
       "Near: '2)'",
       1, 4, "number"},
      {"{\n\ta=1;\n\t=2;\n}",
       "Syntax error at line 3, column 2. Expected 'token->type==token_string || "
       "token->type==token_number', got "
       "'='. Near: '=2;'",
       3, 2, "'='"},
      {"{a=1;",
       "Syntax error at line 1, column 6. Expected 'token->type==token_string || "
       "token->type==token_number', got EOF. Near: ''",
       1, 6, "EOF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Parsed p;
    Parse(&p, c.text);
    EXPECT_EQ(p.state.error & VAR_UNPACK_ERROR, VAR_UNPACK_ERROR);
    EXPECT_EQ(p.erh, ERH_VAR_PARSE);
    EXPECT_EQ(p.message, c.message);
    EXPECT_EQ(p.state.line, c.line);
    EXPECT_EQ(p.state.column, c.column);
    EXPECT_STREQ(p.state.token, c.token);
  }
}

TEST(VarParse, ErrorsKeepEntriesReadSoFarButDropArrays) {
  Parsed p;
  Parse(&p, "{a=1;b={c=2;d e};f=3}");
  ASSERT_NE(p.state.error, 0);
  ASSERT_EQ(CmnVarKindOf(p.value.v), VAR_KIND_LIST);
  EXPECT_EQ(CmnVarLength(p.value.v), 2);  // a, and b with c only; f is never read
  EXPECT_EQ(CmnVarLength(*CmnVarGet(p.value.v, "b")), 1);
  Parse(&p, "{a=1;b=(1,'x',[1;2])}");
  EXPECT_EQ(CmnVarLength(p.value.v), 1);
  Parse(&p, "(1,(2,{a b}))");
  EXPECT_EQ(p.value.v.klass, nullptr);
}

TEST(VarParse, StateIsResetByEachCall) {
  Parsed p;
  Parse(&p, "{a b}");
  ASSERT_NE(p.state.error, 0);
  Parse(&p, "{a=b}");
  EXPECT_EQ(p.state.error, 0);
  EXPECT_EQ(p.state.token, nullptr);
}

TEST(VarParse, HostileInputIsRefused) {
  Parsed p;
  Parse(&p, "{a='unterminated;b=1}");
  EXPECT_EQ(p.message,
            "Syntax error at line 1, column 4. Expected 'valid token', got invalid token. Near: "
            "''unterminated;b=1}'");
  Parse(&p, "'open");
  EXPECT_NE(p.state.error, 0);
  EXPECT_EQ(p.value.v.klass, nullptr);

  Parse(&p, "{a=9223372036854775808}");
  EXPECT_EQ(p.message,
            "Syntax error at line 1, column 4. Expected 'number in range', got number. Near: "
            "'9223372036854775808}'");
  Parse(&p, "[2147483648,1]");
  EXPECT_EQ(p.state.column, 2);
  EXPECT_NE(p.state.error, 0);

  Parse(&p, "{a='bad\x01z'}");
  EXPECT_NE(p.state.error, 0);
  EXPECT_EQ(p.erh, ERH_UNESCAPE);  // the first mark wins
  EXPECT_EQ(CmnVarLength(p.value.v), 0);
}

TEST(VarParse, NestingDepthIsBounded) {
  const std::string ok =
      std::string(kCmnVarMaxParseDepth + 1, '(') + std::string(kCmnVarMaxParseDepth + 1, ')');
  Parsed p;
  Parse(&p, ok.c_str());
  EXPECT_EQ(p.state.error, 0);
  const std::string deep(100000, '(');
  Parse(&p, deep.c_str());
  EXPECT_NE(p.state.error, 0);
  EXPECT_EQ(p.state.column, kCmnVarMaxParseDepth + 2);
  EXPECT_EQ(p.value.v.klass, nullptr);
  std::string lists;
  for (int i = 0; i < 1000; ++i) lists += "{a=";
  Parse(&p, lists.c_str());
  EXPECT_NE(p.state.error, 0);
}

TEST(VarParse, ReadOnlyInputIsNotWritten) {
  static const char kText[] = "{a='x';b=y;c=(1,2)}";  // in read-only storage
  Parsed p;
  Parse(&p, kText);
  EXPECT_EQ(p.state.error, 0);
  EXPECT_EQ(CmnVarLength(p.value.v), 3);
}

TEST(VarParse, BracelessAndBase64Bodies) {
  Parsed p;
  Parse(&p, "Version='32bit';\nDB2_NODES={\n\t0='hostA';\n};\n", VAR_PACK_NOBRACES);
  ASSERT_EQ(p.state.error, 0);
  Owned config(vartest::Db2Config());
  EXPECT_EQ(CmnVarCmp(p.value.v, config.v), 0);
  Parse(&p, "", VAR_PACK_NOBRACES);
  EXPECT_EQ(CmnVarKindOf(p.value.v), VAR_KIND_LIST);
  Parse(&p, "a=1;}", VAR_PACK_NOBRACES);
  EXPECT_NE(p.state.error, 0);

  Parse(&p, "ewoJVmVyc2lvbj0nMzJiaXQnOwoJREIyX05PREVTPXsKCQkwPSdob3N0QSc7Cgl9Owp9",
        VAR_PACK_BASE64);
  EXPECT_EQ(CmnVarCmp(p.value.v, config.v), 0);
  Parse(&p, "not base64!", VAR_PACK_BASE64);
  EXPECT_NE(p.state.error, 0);
  EXPECT_EQ(p.value.v.klass, nullptr);
  Parse(&p, "e2E9J3gAeSd9", VAR_PACK_BASE64);  // "{a='x\0y'}": a NUL is no text
  EXPECT_NE(p.state.error, 0);
}

// A value holding every kind, texts with every byte that needs care, keys
// that must be quoted, and a list nested in an array.
CmnVar EveryKind() {
  std::string bytes;
  for (int c = 1; c < 256; ++c) bytes.push_back(static_cast<char>(c));
  CmnVar v = CmnVarList(
      "int", CmnVarInt64(LLONG_MIN), "text", CmnVarText(bytes.c_str()), "range",
      CmnVarRange(INT32_MIN, -1), "array",
      CmnVarArray(CmnVarInt64(0), CmnVarText(""), CmnVarList("k", CmnVarText("v"), nullptr),
                  CmnVarArray(VarUndef), VarUndef),
      "undef", VarUndef, "empty", CmnVarList(nullptr), nullptr);
  CmnVarListAdd(&v, "", CmnVarText("empty key"));
  CmnVarListAdd(&v, "#hash", CmnVarText("comment-like key"));
  CmnVarListAdd(&v, "ctl\x01\x7f key", CmnVarText("'quoted'"));
  CmnVarListAdd(&v, "12-3", CmnVarText("number-like key"));
  return v;
}

TEST(VarRoundTrip, EveryKindWithEveryFlag) {
  Owned v(EveryKind());
  const int flagSets[] = {0,
                          VAR_PACK_NOTABS | VAR_PACK_NOLF,
                          VAR_PACK_NOBRACES,
                          VAR_PACK_NOBRACES | VAR_PACK_NOTABS | VAR_PACK_NOLF,
                          VAR_PACK_BASE64,
                          VAR_PACK_BASE64 | VAR_PACK_NOBRACES | VAR_PACK_NOLF};
  for (int flags : flagSets) {
    SCOPED_TRACE(flags);
    const std::string text = Pack(v.v, flags);
    Parsed p;
    Parse(&p, text.c_str(), flags & (VAR_PACK_NOBRACES | VAR_PACK_BASE64));
    ASSERT_EQ(p.state.error, 0) << p.message;
    EXPECT_EQ(CmnVarCmp(p.value.v, v.v), 0);
    EXPECT_EQ(Pack(p.value.v, flags), text);
  }
  for (CmnVar scalar : {CmnVarInt64(42), CmnVarRange(3, 4), VarUndef}) {
    Parsed p;
    Parse(&p, Pack(scalar).c_str());
    EXPECT_EQ(CmnVarCmp(p.value.v, scalar), 0);
  }
}

}  // namespace
