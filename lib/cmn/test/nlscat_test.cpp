// Catalogue file: the layout the compiler writes, read back through the
// mapping and through the read fallback, and files that must be refused.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "cmn/nls.h"
#include "cmn/nlsfile.h"
#include "nls_test_util.h"
#include "tarn_test.h"

using namespace std::string_literals;

namespace {

// Three entries; the second one's set number carries the top bits.
//   (11, 1)  "Hello"
//   (12, 7)  a\tb\\c\n   (escapes as written in the file)
//   (12, 9)  "line one\nline two"  (a raw newline ends the text)
const std::string kCatalogue =
    "\xFD\xFC\xEB\xEA"
    "\x03\x00\x00\x00"
    "\x00\x00\x00\x00"s
    "\x0B\x00\x00\x00"
    "\x01\x00\x00\x00"
    "\x00\x00\x00\x00"s
    "\x0C\x00\x00\xE0"
    "\x07\x00\x00\x00"
    "\x06\x00\x00\x00"s
    "\x0C\x00\x00\x00"
    "\x09\x00\x00\x00"
    "\x10\x00\x00\x00"s
    "Hello\0"s
    "a\\tb\\\\c\\n\0"s
    "line one\nline two\0"s;

class CatalogFileTest : public nlstest::NlsFixture {
 protected:
  CmnCatd Open(const std::string& bytes) {
    const std::string path = root_->at("/catalogue.cat");
    tarn::test::WriteFile(path, bytes);
    return VEK_catopen(path.c_str(), 0);
  }
  static std::string Get(CmnCatd h, int set, int number) {
    const char* text = VEK_catgets(h, set, number, nullptr);
    return text != nullptr ? text : "<default>";
  }
  static void ExpectHandAssembledTexts(CmnCatd h) {
    EXPECT_EQ(Get(h, 11, 1), "Hello");
    EXPECT_EQ(Get(h, 12, 7), "a\tb\\c\n");
    EXPECT_EQ(Get(h, 12, 9), "line one\n");
    errno = 0;
    EXPECT_EQ(Get(h, 12, 8), "<default>");
    EXPECT_EQ(errno, ENOMSG);
    EXPECT_EQ(Get(h, 13, 1), "<default>");
    EXPECT_EQ(Get(h, 300, 1), "<default>");
    EXPECT_EQ(Get(h, -1, 1), "<default>");
  }
};

TEST_F(CatalogFileTest, HandAssembledFileReadsBackMappedAndThroughReads) {
  const CmnCatd mapped = Open(kCatalogue);
  ASSERT_GT(mapped, 0);
  ExpectHandAssembledTexts(mapped);
  EXPECT_EQ(VEK_catclose(mapped), 0);

  CmnMapFileForceEmulation(true);
  const CmnCatd read = Open(kCatalogue);
  ASSERT_GT(read, 0);
  ExpectHandAssembledTexts(read);
  EXPECT_EQ(VEK_catclose(read), 0);
  EXPECT_EQ(VEK_catclose(read), -1);
}

TEST_F(CatalogFileTest, BrokenFilesAreRefused) {
  std::string wrongMagic = kCatalogue;
  wrongMagic[0] = '\xFE';
  errno = 0;
  EXPECT_EQ(Open(wrongMagic), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_NE(root_->read("/var/opt/tarn/log/debug.log")
                .find("[catopen] catopen(): Wrong file format [file=" +
                      root_->at("/catalogue.cat") + "]\n"),
            std::string::npos);

  std::string hugeCount = kCatalogue;
  hugeCount[4] = '\x04';  // far more entries than the file holds
  hugeCount[7] = '\x40';
  EXPECT_EQ(Open(hugeCount), -1);

  std::string offsetOutside = kCatalogue;
  offsetOutside[12 + 2 * 12 + 8] = '\x30';  // (12, 9) points past the end
  EXPECT_EQ(Open(offsetOutside), -1);

  EXPECT_EQ(Open(""), -1);
  EXPECT_EQ(Open(kCatalogue.substr(0, 8)), -1);
  errno = 0;
  EXPECT_EQ(VEK_catopen(root_->at("/missing.cat").c_str(), 0), -1);
  EXPECT_EQ(errno, ENOENT);

  CmnMapFileForceEmulation(true);
  EXPECT_EQ(Open(wrongMagic), -1);
  EXPECT_EQ(Open(hugeCount), -1);
  EXPECT_EQ(Open(""), -1);
}

TEST_F(CatalogFileTest, TextsAreBoundedByTheFileAndTheTextLimit) {
  // One entry whose text runs to the end of the file without a terminator.
  const std::string unterminated =
      "\xFD\xFC\xEB\xEA\x01\x00\x00\x00\x00\x00\x00\x00"s
      "\x05\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00"
      "abc"s;
  CmnCatd h = Open(unterminated);
  ASSERT_GT(h, 0);
  EXPECT_EQ(Get(h, 5, 1), "abc");
  VEK_catclose(h);

  std::string longText = unterminated.substr(0, 24) + std::string(5000, 'x') + '\0';
  h = Open(longText);
  ASSERT_GT(h, 0);
  EXPECT_EQ(Get(h, 5, 1), std::string(kNlsMaxText, 'x'));
  VEK_catclose(h);
}

TEST_F(CatalogFileTest, UnsortedIndexNeverYieldsAnotherSetsText) {
  // Set 11 spans entries 0 to 2, and entry 1 belongs to set 12.
  const std::string unsorted =
      "\xFD\xFC\xEB\xEA\x03\x00\x00\x00\x00\x00\x00\x00"s
      "\x0B\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00"s
      "\x0C\x00\x00\x00\x05\x00\x00\x00\x02\x00\x00\x00"s
      "\x0B\x00\x00\x00\x06\x00\x00\x00\x04\x00\x00\x00"s
      "a\0b\0c\0"s;
  const CmnCatd h = Open(unsorted);
  ASSERT_GT(h, 0);
  EXPECT_EQ(Get(h, 11, 5), "<default>");
  EXPECT_EQ(Get(h, 12, 5), "b");
  EXPECT_EQ(Get(h, 11, 6), "c");
  VEK_catclose(h);
}

TEST_F(CatalogFileTest, EveryOpenCatalogueKeepsItsOwnHandle) {
  const std::string one = root_->at("/one.cat");
  const std::string two = root_->at("/two.cat");
  ASSERT_TRUE(nlstest::CompileCatalogue("11 1 first\n", one));
  ASSERT_TRUE(nlstest::CompileCatalogue("11 1 second\n11 2 only here\n", two));
  const CmnCatd a = VEK_catopen(one.c_str(), 0);
  const CmnCatd b = VEK_catopen(two.c_str(), 0);
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(Get(a, 11, 1), "first");
  EXPECT_EQ(Get(b, 11, 1), "second");
  EXPECT_EQ(Get(a, 11, 2), "<default>");
  VEK_catclose(a);
  EXPECT_EQ(Get(a, 11, 1), "<default>");
  EXPECT_EQ(Get(b, 11, 2), "only here");
  VEK_catclose(b);
}

TEST_F(CatalogFileTest, CompilerWritesTheSortedLayout) {
  const std::string out = root_->at("/compiled.cat");
  ASSERT_TRUE(nlstest::CompileCatalogue("# comment\n12 7 No\\n\n\n11 300 A\n11 2 \n", out));
  const std::string expected =
      "\xFD\xFC\xEB\xEA\x03\x00\x00\x00\x00\x00\x00\x00"s
      "\x0B\x00\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00"s
      "\x0B\x00\x00\x00\x2C\x01\x00\x00\x01\x00\x00\x00"s
      "\x0C\x00\x00\x00\x07\x00\x00\x00\x03\x00\x00\x00"s
      "\0A\0No\\n\0"s;
  EXPECT_TRUE(tarn::test::BytesEqual(tarn::test::Bytes(expected),
                                     tarn::test::Bytes(tarn::test::ReadFile(out))));

  EXPECT_FALSE(nlstest::CompileCatalogue("11 1 a\n11 1 b\n", out));  // twice
  EXPECT_FALSE(nlstest::CompileCatalogue("256 1 a\n", out));         // set too large
  EXPECT_FALSE(nlstest::CompileCatalogue("11 x a\n", out));          // no number
  EXPECT_FALSE(nlstest::CompileCatalogue("11 1 a\x01z\n", out));     // control byte
  EXPECT_FALSE(nlstest::CompileCatalogue("11 1 " + std::string(4096, 'y') + "\n", out));
}

TEST_F(CatalogFileTest, BuiltCatalogueOpensWhereTestsLookForIt) {
  // The build's own copy and the one in the default test root.
  for (const char* place : {"/nls/C/tarn.cat", "/testroot/opt/tarn/lib/nls/C/tarn.cat"}) {
    const std::string built = std::string(TARN_BUILD_DIR) + place;
    const CmnCatd h = VEK_catopen(built.c_str(), 0);
    ASSERT_GT(h, 0) << built;
    EXPECT_EQ(Get(h, kNlsSetError, 1024), "Out of memory.");
    VEK_catclose(h);
  }
  // A TempRoot carries it in the nls directory of its install layout.
  tarn::test::TempRoot root;
  const CmnCatd h = VEK_catopen(root.at("/opt/tarn/lib/nls/C/tarn.cat").c_str(), 0);
  ASSERT_GT(h, 0);
  EXPECT_EQ(Get(h, kNlsSetLiteral, 2003), "Major");
  VEK_catclose(h);
}

}  // namespace
