// Keyword-line parser: copies of lists, lines and fields and who owns them,
// line replacement with the email carry-over, row descriptions from the
// catalogue, and the trace dumps.
#include <filesystem>
#include <memory>
#include <string>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/dbgimpl.h"
#include "gen_parser/genparser.h"
#include "genparser_test_util.h"
#include "nls_test_util.h"
#include "tarn_test.h"

TARN_RCSID("lib/parse/gen_parser/test/genparser_copy_test.cpp");

namespace {

using genparsertest::List;
using genparsertest::Parse;

constexpr char kFormat[] =
    "-key host -desc \"client host\" -nlsset 11 -nlsid 7\n"
    "-key email -desc mail -nlsset 11 -nlsid 8\n"
    "-key pool -desc \"media pool\"\n"
    "-key virt[ual -nlsset 0 -nlsid 9 -desc virtual\n";

std::string Text(const ParserList* list) {
  char* out = nullptr;
  if (PLGetBufferFromList(list, &out) != 1) return "<empty>";
  return tarn::test::TakeText<[](char* p) { safe_free(p, TARN_HERE); }>(out);
}

TEST(GenParserCopy, CopyOfAnOwningListOutlivesTheOriginal) {
  List original = Parse(kFormat, "-host a -email m\n-host b -pool p");
  ASSERT_TRUE(original);
  original->current = original->first->nextLine;
  List copy(PLCopyList(original.get()), PLFree);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy->table, original->table);
  EXPECT_NE(copy->flags & kPLListOwnsTable, 0u);
  EXPECT_STREQ(PLGetValue(copy->current, "pool"), "p");
  // Editing the copy leaves the original alone.
  PLSetValue(copy.get(), copy->first, "host", "changed");
  EXPECT_STREQ(PLGetValue(original->first, "host"), "a");
  original.reset();
  // Rows, texts and nodes of the copy are its own (ASan watches).
  EXPECT_EQ(Text(copy.get()), "-host changed -email m\n-host b -pool p");
  EXPECT_STREQ(PLGetDesc(copy.get(), 2), "media pool");
  EXPECT_EQ(PLCopyList(nullptr), nullptr);
}

TEST(GenParserCopy, CopyKeepsTheRowOfEveryField) {
  // Tables where a field's key alone does not name its row.
  struct Case {
    const char* format;
    const char* data;
  } cases[] = {
      {"-key virtu[al -flags 0x80000000\n-key virt[ual\n", "-virt x"},
      {"-key host\n-key pool -flags 0x20000000\n-key pool\n", "-pool p -host h"},
  };
  for (const Case& c : cases) {
    List original = Parse(c.format, c.data);
    ASSERT_TRUE(original) << c.format;
    List copy(PLCopyList(original.get()), PLFree);
    ASSERT_TRUE(copy) << c.format;
    for (const PLNode *a = original->first, *b = copy->first; a != nullptr || b != nullptr;
         a = a->next, b = b->next) {
      ASSERT_TRUE(a != nullptr && b != nullptr) << c.format;
      EXPECT_EQ(a->index, b->index) << c.format;
    }
    EXPECT_EQ(Text(copy.get()), Text(original.get())) << c.format;
  }
}

TEST(GenParserCopy, CopyOfAListOnACallersTableSharesIt) {
  static constexpr PLParam kTable[] = {
      {"host", nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
      {"pool", nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
      {nullptr, nullptr, nullptr, -1, -1, nullptr, nullptr, 0},
  };
  List original(PLGetListFromBuffer(kTable, "-pool p -host h"), PLFree);
  ASSERT_TRUE(original);
  List copy(PLCopyList(original.get()), PLFree);
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->table, kTable);
  EXPECT_EQ(copy->flags & kPLListOwnsTable, 0u);
  EXPECT_EQ(copy->current, copy->first);
  EXPECT_EQ(Text(copy.get()), "-host h -pool p");
}

TEST(GenParserCopy, LinesAndFieldsTakeTheTargetTable) {
  // Another table: other order, a key the target lacks.
  List source = Parse("-key pool\n-key extra\n-key host\n", "-pool p -extra x -host h");
  List target = Parse(kFormat, "-host t");
  ASSERT_TRUE(source);
  ASSERT_TRUE(target);
  PLNode* line = PLCopyLine(target.get(), source->first->next);  // any field of the line
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(target->last, line);
  EXPECT_EQ(Text(target.get()), "-host t\n-host h -pool p");
  // A line without any field the table knows gives nothing.
  List foreign = Parse("-key extra\n", "-extra x");
  EXPECT_EQ(PLCopyLine(target.get(), foreign->first), nullptr);
  EXPECT_EQ(PLCountLines(target.get()), 2);

  struct Case {
    const char* name;
    PLNode* field;
    const char* expect;  // target's first line afterwards; null: refused
  } cases[] = {
      {"replaces a value", PLFindField(source->first, "host"), "-host h"},
      {"adds in table order", PLFindField(source->first, "pool"), "-host h -pool p"},
      {"key the table lacks", PLFindField(source->first, "extra"), nullptr},
      {"a field onto itself", target->first, "-host h -pool p"},
  };
  for (const Case& c : cases) {
    ASSERT_NE(c.field, nullptr) << c.name;
    PLNode* copied = PLCopyField(target.get(), target->first, c.field);
    EXPECT_EQ(copied != nullptr, c.expect != nullptr) << c.name;
    if (c.expect == nullptr) continue;
    // The field that now holds the value is the target line's own.
    EXPECT_EQ(PLFindField(target->first, c.field->key.c_str()), copied) << c.name;
    std::string first = Text(target.get());
    EXPECT_EQ(first.substr(0, first.find('\n')), c.expect) << c.name;
  }
  // The copies belong to the target: the source may go first.
  source.reset();
  EXPECT_EQ(Text(target.get()), "-host h -pool p\n-host h -pool p");
}

TEST(GenParserCopy, ReplacedLineKeepsItsPlaceAndAnEmailTheNewLineLacks) {
  struct Case {
    const char* name;
    const char* data;
    const char* replaced;  // value of the host field of the line replaced
    const char* with;      // the new line, parsed with the same format
    const char* expect;
  } cases[] = {
      {"email carried", "-host a -email m\n-host b", "a", "-host x -pool p",
       "-host x -email m -pool p\n-host b"},
      {"new email wins", "-host a -email m", "a", "-host x -email n", "-host x -email n"},
      {"no email to carry", "-host a\n-host b\n-host c", "b", "-pool p",
       "-host a\n-pool p\n-host c"},
      {"last line", "-host a\n-host b -email \"\"", "b", "-host y", "-host a\n-host y -email \"\""},
  };
  for (const Case& c : cases) {
    List list = Parse(kFormat, c.data);
    List with = Parse(kFormat, c.with);
    ASSERT_TRUE(list && with) << c.name;
    PLNode* head = PLReplaceLine(list.get(), PLFindLine(list.get(), c.replaced), with->first);
    ASSERT_NE(head, nullptr) << c.name;
    with.reset();
    EXPECT_EQ(Text(list.get()), c.expect) << c.name;
    // Links both ways still agree.
    int forward = 0;
    for (const PLNode* l = list->first; l != nullptr; l = l->nextLine) {
      EXPECT_EQ(l->prevLine == nullptr, l == list->first) << c.name;
      if (l->nextLine != nullptr) {
        EXPECT_EQ(l->nextLine->prevLine, l) << c.name;
      }
      ++forward;
    }
    EXPECT_EQ(list->last->nextLine, nullptr) << c.name;
    EXPECT_EQ(forward, PLCountLines(list.get())) << c.name;
  }
}

TEST(GenParserCopy, ReplacementRefusesALineOfAnotherListAndMayUseItsOwnLine) {
  List list = Parse(kFormat, "-host a -email m\n-host b");
  List other = Parse(kFormat, "-host z");
  ASSERT_TRUE(list && other);
  EXPECT_EQ(PLReplaceLine(list.get(), other->first, list->first), nullptr);
  EXPECT_EQ(PLReplaceLine(list.get(), nullptr, other->first), nullptr);
  List foreign = Parse("-key extra\n", "-extra x");
  EXPECT_EQ(PLReplaceLine(list.get(), list->first, foreign->first), nullptr);
  EXPECT_EQ(Text(list.get()), "-host a -email m\n-host b");
  EXPECT_EQ(Text(other.get()), "-host z");
  // A line replaced by itself comes back as a copy in the same place.
  PLNode* old = list->first;
  PLNode* head = PLReplaceLine(list.get(), old->next, old);
  ASSERT_NE(head, nullptr);
  EXPECT_NE(head, old);
  EXPECT_EQ(list->first, head);
  EXPECT_EQ(list->current, head);
  EXPECT_EQ(Text(list.get()), "-host a -email m\n-host b");
}

class GenParserDesc : public nlstest::NlsFixture {};

TEST_F(GenParserDesc, CatalogueTextOnlyWhenTheCatalogueHasIt) {
  Install("C", "11 7 Host of the client\n");
  setenv("LANG", "C", 1);
  ASSERT_EQ(NlsOpenCatalog(), 0);
  List list = Parse(kFormat, "-host a");
  ASSERT_TRUE(list);
  struct Case {
    int index;
    const char* desc;
  } cases[] = {
      {0, "Host of the client"},  // in the catalogue
      {1, "mail"},                // catalogue misses it
      {2, "media pool"},          // no catalogue number
      {3, "virtual"},             // set 0 is no set
      {4, nullptr},               // past the table
      {-1, nullptr},
  };
  for (const Case& c : cases) {
    const char* desc = PLGetDesc(list.get(), c.index);
    if (c.desc == nullptr) {
      EXPECT_EQ(desc, nullptr) << c.index;
    } else {
      EXPECT_STREQ(desc, c.desc) << c.index;
    }
  }
  EXPECT_EQ(PLGetDesc(nullptr, 0), nullptr);
}

TEST_F(GenParserDesc, NoCatalogueGivesTheTableText) {
  setenv("LANG", "C", 1);
  List list = Parse(kFormat, "-host a");
  ASSERT_TRUE(list);
  EXPECT_STREQ(PLGetDesc(list.get(), 0), "client host");
}

TEST(GenParserDump, ListAndTableDumpsReachTheTrace) {
  tarn::test::TempRoot root;
  tarn::test::TempDir tmp;
  CmnPathsInit(root.path().c_str());
  DbgSetTmpDir(tmp.path().c_str());
  setenv("VEKDBG_PATH", tmp.path().c_str(), 1);
  ASSERT_EQ(DbgInitEx("gp", "140", "", "gptest", 7), 0);
  List list = Parse(kFormat, "-host a -email \"x y\"\n-pool p");
  ASSERT_TRUE(list);
  PLDumpList(list.get());
  PLDumpTable(list->table);
  PLDumpList(nullptr);
  PLDumpTable(nullptr);
  DbgExit();
  DbgSetTmpDir(nullptr);
  unsetenv("VEKDBG_PATH");
  CmnPathsInit(std::getenv("TARN_ROOT"));
  std::string trace;
  for (const auto& entry : std::filesystem::directory_iterator(tmp.path()))
    trace += tarn::test::ReadFile(entry.path().string());
  for (const char* part :
       {" -host=<a> -email=<x y>", " -pool=<p>",
        "0: key=<host> value=<(none)> desc=<client host> nlsset=11 nlsid=7",
        "3: key=<virt[ual> value=<(none)> desc=<virtual> nlsset=0 nlsid=9", "flags=0x00000000"})
    EXPECT_NE(trace.find(part), std::string::npos) << part << "\n" << trace;
}

}  // namespace
