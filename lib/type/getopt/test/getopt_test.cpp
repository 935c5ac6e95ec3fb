// Option template parser: the agent's own command line (abbreviations,
// repeats, attached values, missing and unknown entries), groups and repeated
// groups, template limits and word splitting.
#include "getopt/getopt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/var.h"

TARN_RCSID("lib/type/getopt/test/getopt_test.cpp");

namespace {

constexpr const char kAgentTemplate[] =
    "-ver[sion -incr -delta -debug <dbgranges> <[dbgpostfix]> <[dbgselect]> ";

// Parses `args` against `templ` and returns the result's one-line text form.
std::string Parse(const char* templ, std::vector<const char*> args) {
  CmnVar result = GetoptParse(templ, static_cast<int>(args.size()), args.data());
  const CmnVarPackOptions options{VAR_PACK_NOTABS | VAR_PACK_NOLF, nullptr};
  char* packed = CmnVarPackEx(result, &options);
  std::string text = packed != nullptr ? packed : "<null>";
  safe_free(packed, TARN_HERE);
  CmnVarFree(&result);
  return text;
}

std::string Agent(std::vector<const char*> args) {
  return Parse(kAgentTemplate, std::move(args));
}

TEST(GetoptAgentLine, DebugRangesLandAtTheTopLevel) {
  EXPECT_EQ(Agent({"-debug", "1-500"}), "{dbgranges='1-500';debug=1;}");
  EXPECT_EQ(Agent({"-debug", "1-500", "post", "host1", "-delta"}),
            "{dbgranges='1-500';dbgpostfix='post';dbgselect='host1';debug=1;delta=1;}");
  EXPECT_EQ(Agent({"-debug=1-500", "post"}), "{dbgranges='1-500';dbgpostfix='post';debug=1;}");
  EXPECT_EQ(Agent({"-debug:1-500"}), "{dbgranges='1-500';debug=1;}");
}

TEST(GetoptAgentLine, OptionalArgumentsNeverSwallowTheNextOption) {
  EXPECT_EQ(Agent({"-debug", "1-500", "-incr"}), "{dbgranges='1-500';debug=1;incr=1;}");
  EXPECT_EQ(Agent({"-debug", "1-500", "post", "-VERS"}),
            "{dbgranges='1-500';dbgpostfix='post';debug=1;version=1;}");
  EXPECT_EQ(Agent({"-debug=1-500", "-incr"}), "{dbgranges='1-500';debug=1;incr=1;}");
  // An entry that is no option of the template is a value.
  EXPECT_EQ(Agent({"-debug", "1-500", "-verb"}), "{dbgranges='1-500';dbgpostfix='-verb';debug=1;}");
}

TEST(GetoptAgentLine, AbbreviationsAndRepeatsCount) {
  EXPECT_EQ(Agent({"-vers", "-VERSION", "-ver", "-Version"}), "{version=4;}");
  EXPECT_EQ(Agent({"-incr", "-incr", "-delta"}), "{incr=2;delta=1;}");
  // A repeated option with arguments keeps the last values.
  EXPECT_EQ(Agent({"-debug", "1", "-debug", "2-9"}), "{dbgranges='2-9';debug=1;}");
}

TEST(GetoptAgentLine, UnknownEntriesStopTheParse) {
  EXPECT_EQ(Agent({"-incr", "-x", "-delta"}), "{incr=1;'#unknown'='-x';}");
  EXPECT_EQ(Agent({"-ve"}), "{'#unknown'='-ve';}");      // shorter than the part before "["
  EXPECT_EQ(Agent({"-verb"}), "{'#unknown'='-verb';}");  // differs after the abbreviation point
  EXPECT_EQ(Agent({"-versions"}), "{'#unknown'='-versions';}");
  EXPECT_EQ(Agent({"-incr=1"}), "{'#unknown'='-incr=1';}");  // no value for a flag
  EXPECT_EQ(Agent({"-inc"}), "{'#unknown'='-inc';}");        // no abbreviation point
}

TEST(GetoptAgentLine, MissingMandatoryArgument) {
  EXPECT_EQ(Agent({"-incr", "-debug"}), "{incr=1;'#missing'='-debug';}");
  // An empty entry is a value: it lets a later optional argument be given.
  EXPECT_EQ(Agent({"-debug", "1-500", "", "host1"}),
            "{dbgranges='1-500';dbgpostfix='';dbgselect='host1';debug=1;}");
}

TEST(GetoptAgentLine, EmptyAndNullEntriesAreSkipped) {
  EXPECT_EQ(Agent({"", "-incr", nullptr, ""}), "{incr=1;}");
  EXPECT_EQ(Agent({}), "{}");
  CmnVar none = GetoptParse(kAgentTemplate, 3, nullptr);
  EXPECT_EQ(CmnVarLength(none), 0);
  CmnVarFree(&none);
}

TEST(GetoptResult, OkOnlyWithoutErrorKeys) {
  const char* good[] = {"-incr"};
  const char* bad[] = {"-debug"};
  CmnVar ok = GetoptParse(kAgentTemplate, 1, good);
  CmnVar missing = GetoptParse(kAgentTemplate, 1, bad);
  EXPECT_TRUE(GetoptResultOk(ok));
  EXPECT_FALSE(GetoptResultOk(missing));
  CmnVarFree(&ok);
  CmnVarFree(&missing);
}

TEST(GetoptTemplate, AgentTemplateCompiles) {
  OptionLevel level;
  ASSERT_EQ(GetoptCompile(kAgentTemplate, &level), 0);
  ASSERT_EQ(level.size(), 4u);
  EXPECT_EQ(level[0].name, "-ver[sion");
  EXPECT_TRUE(level[0].args.empty());
  EXPECT_EQ(level[3].name, "-debug");
  EXPECT_EQ(level[3].args, (std::vector<std::string>{"dbgranges", "[dbgpostfix]", "[dbgselect]"}));
  EXPECT_FALSE(level[3].hasGroup);
  EXPECT_EQ(GetoptKeyOf(level[0].name), "version");
  EXPECT_EQ(GetoptKeyOf(level[3].args[1]), "dbgpostfix");
  EXPECT_EQ(GetoptKeyOf("-a|-b"), "a");
}

TEST(GetoptTemplate, ArgumentNameEndsAtBlankAndSkipsToTheBracket) {
  OptionLevel level;
  ASSERT_EQ(GetoptCompile("-x < name junk > -y .. { <g> -z }", &level), 0);
  ASSERT_EQ(level.size(), 2u);
  EXPECT_EQ(level[0].args, std::vector<std::string>{"name"});
  EXPECT_EQ(level[1].name, "-y");
  EXPECT_EQ(level[1].flags, GETOPT_REPEATABLE);
  EXPECT_EQ(level[1].args, std::vector<std::string>{"g"});
  ASSERT_TRUE(level[1].hasGroup);
  ASSERT_EQ(level[1].group.size(), 1u);
  EXPECT_EQ(level[1].group[0].name, "-z");
}

TEST(GetoptTemplate, LimitsAndMalformedTemplatesAreRefused) {
  std::string sixteen = "-x";
  for (int i = 0; i < 16; ++i) sixteen += " <a" + std::to_string(i) + ">";
  const std::string seventeen = sixteen + " <a16>";
  OptionLevel level;
  std::string reason;
  EXPECT_EQ(GetoptCompile(sixteen.c_str(), &level), 0);
  EXPECT_EQ(level[0].args.size(), 16u);
  EXPECT_EQ(GetoptCompile(seventeen.c_str(), &level, &reason), -1);
  EXPECT_TRUE(level.empty());
  EXPECT_EQ(reason, "more than 16 argument names for '-x'");
  EXPECT_EQ(GetoptCompile("-x { <a> } { }", &level), -1);
  EXPECT_EQ(GetoptCompile("{ -x }", &level), -1);
  EXPECT_EQ(GetoptCompile("-x } -y", &level), -1);
  EXPECT_EQ(GetoptCompile("-x { -y", &level), 0);  // an open group runs to the end

  std::string deep;
  for (int i = 0; i < kGetoptMaxDepth; ++i) deep += "-o" + std::to_string(i) + " { ";
  EXPECT_EQ(GetoptCompile(deep.c_str(), &level), 0);
  EXPECT_EQ(GetoptCompile((deep + "-o { -p }").c_str(), &level), -1);

  // A refused template knows no option at all.
  EXPECT_EQ(Parse(seventeen.c_str(), {"-x", "1"}), "{'#unknown'='-x';}");
  EXPECT_EQ(Parse(nullptr, {"-x"}), "{'#unknown'='-x';}");
}

TEST(GetoptRepeat, ValuesOfARepeatableOptionCollect) {
  EXPECT_EQ(Parse("-f <file> ... -q", {"-f", "a", "-q", "-F=b"}), "{file=('a','b');f=1;q=1;}");
}

TEST(GetoptAlternatives, FirstAlternativeNamesTheKey) {
  EXPECT_EQ(Parse("-v|-ver[bose -vi", {"-v", "-verb", "-VERBOSE", "-vi"}), "{v=3;vi=1;}");
  EXPECT_EQ(Parse("-v|-ver[bose", {"-ve"}), "{'#unknown'='-ve';}");
}

constexpr const char kGroupTemplate[] = "-obj <name> { -ts <tsname> ... -full -opt <[o]> } -incr";

TEST(GetoptGroup, ArgumentsAndGroupOptionsGoUnderTheKey) {
  EXPECT_EQ(Parse(kGroupTemplate, {"-obj", "db1", "-ts", "a", "-ts", "b", "-full"}),
            "{obj={name='db1';tsname=('a','b');ts=1;full=1;};}");
}

TEST(GetoptGroup, AnEntryUnknownToTheGroupIsMatchedAgainOutside) {
  EXPECT_EQ(Parse(kGroupTemplate, {"-obj", "db1", "-full", "-incr"}),
            "{obj={name='db1';full=1;'#unknown'='-incr';};incr=1;}");
  EXPECT_EQ(Parse(kGroupTemplate, {"-obj", "db1", "-zzz"}),
            "{obj={name='db1';'#unknown'='-zzz';};'#unknown'='-zzz';}");
}

TEST(GetoptGroup, OptionalArgumentInAGroupLeavesAnOuterOption) {
  EXPECT_EQ(Parse(kGroupTemplate, {"-obj", "x", "-opt", "-incr"}),
            "{obj={name='x';opt=1;'#unknown'='-incr';};incr=1;}");
}

TEST(GetoptGroup, MissingArgumentInAGroupFailsTheWholeParse) {
  EXPECT_EQ(Parse(kGroupTemplate, {"-obj", "db1", "-ts"}),
            "{obj={name='db1';'#missing'='-ts';};'#missing'='-ts';}");
}

TEST(GetoptGroup, RepeatedGroupGetsOneListPerOccurrence) {
  EXPECT_EQ(Parse("-obj <name> { -full } ...", {"-obj", "a", "-full", "-obj=b"}),
            "{obj=({name='a';full=1;'#unknown'='-obj=b';},{name='b';});}");
  EXPECT_EQ(Parse("-g { -h }", {"-g"}), "{g=;}");
}

TEST(GetoptSplitWords, QuotedAndPlainWords) {
  CmnVar words = GetoptSplitWords("  a \"b c\" 'd'  e\"f \"unterminated x");
  const CmnVarPackOptions options{VAR_PACK_NOTABS | VAR_PACK_NOLF, nullptr};
  char* packed = CmnVarPackEx(words, &options);
  EXPECT_STREQ(packed, "('a','b c','d','e\"f','unterminated x')");
  safe_free(packed, TARN_HERE);
  CmnVarFree(&words);

  CmnVar none = GetoptSplitWords(nullptr);
  CmnVar blank = GetoptSplitWords(" \t ");
  EXPECT_EQ(CmnVarKindOf(none), VAR_KIND_ARRAY);
  EXPECT_EQ(CmnVarLength(none), 0);
  EXPECT_EQ(CmnVarLength(blank), 0);
  CmnVarFree(&none);
  CmnVarFree(&blank);
}

}  // namespace
