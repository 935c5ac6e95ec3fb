// Indexed vector: element operations, growth past a single doubling, removal
// and update bookkeeping, the free function, and sorted insertion.
#include "parse/cmnvec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Texts(const CmnVec& vec) {
  std::vector<std::string> texts;
  for (int i = 0; i < vec.count; ++i)
    texts.emplace_back(static_cast<const char*>(IVecGet(&vec, i)));
  return texts;
}

int freed = 0;
void CountFree(void*) {
  ++freed;
}

int CompareText(const void* element, const void* key) {
  return std::strcmp(static_cast<const char*>(element), static_cast<const char*>(key));
}

TEST(CmnVec, AddInsertRemoveKeepElementOrder) {
  CmnVec vec;
  ASSERT_EQ(IVecInit(&vec, 1, 1, nullptr), 0);
  EXPECT_EQ(IVecAddStr(&vec, "b"), 0);
  EXPECT_EQ(IVecAddStr(&vec, "d"), 1);
  EXPECT_STREQ(static_cast<char*>(IVecInsert(&vec, 0, "a", 2)), "a");
  EXPECT_STREQ(static_cast<char*>(IVecInsert(&vec, 2, "c", 2)), "c");
  EXPECT_STREQ(static_cast<char*>(IVecInsert(&vec, 4, "e", 2)), "e");
  EXPECT_EQ(Texts(vec), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(IVecRemove(&vec, 1), 0);
  EXPECT_EQ(IVecRemove(&vec, 3), 0);
  EXPECT_EQ(vec.count, 3);
  EXPECT_EQ(Texts(vec), (std::vector<std::string>{"a", "c", "d"}));
  EXPECT_EQ(IVecGet(&vec, 3), nullptr);
  IVecReset(&vec);
  EXPECT_EQ(vec.count, 0);
  EXPECT_EQ(vec.used, 0);
  IVecFree(&vec);
  EXPECT_EQ(vec.data, nullptr);
  EXPECT_EQ(vec.size, 0);
}

TEST(CmnVec, InsertAndUpdateGrowUntilLargeDataFits) {
  CmnVec vec;
  ASSERT_EQ(IVecInit(&vec, 0, 0, nullptr), 0);
  const std::string big(5000, 'x');
  ASSERT_NE(IVecInsert(&vec, 0, big.c_str(), static_cast<int>(big.size()) + 1), nullptr);
  EXPECT_GT(vec.size, vec.used);
  const std::string bigger(20000, 'y');
  EXPECT_EQ(IVecUpdate(&vec, 0, bigger.c_str(), static_cast<int>(bigger.size()) + 1),
            static_cast<int>(bigger.size()) + 1);
  EXPECT_EQ(vec.count, 1);
  EXPECT_EQ(Texts(vec), std::vector<std::string>{bigger});
  // The replaced bytes stay in the blob.
  EXPECT_EQ(vec.used, static_cast<int>(big.size() + bigger.size()) + 2);
  IVecFree(&vec);
}

TEST(CmnVec, DataTakenFromTheVectorItselfSurvivesGrowth) {
  CmnVec vec;
  ASSERT_EQ(IVecInit(&vec, 0, 8, nullptr), 0);
  ASSERT_EQ(IVecAddStr(&vec, "seven!"), 0);
  // The blob moves several times while the source, an element, is read.
  for (int i = 0; i < 20; ++i) {
    ASSERT_NE(IVecInsert(&vec, 0, IVecGet(&vec, i), 7), nullptr);
    ASSERT_EQ(IVecUpdate(&vec, 1, IVecGet(&vec, 0), 7), 7);
  }
  for (int i = 0; i < vec.count; ++i)
    EXPECT_STREQ(static_cast<const char*>(IVecGet(&vec, i)), "seven!");
  IVecFree(&vec);
}

TEST(CmnVec, FreeFunctionRunsOnReplacedRemovedAndRemainingElements) {
  freed = 0;
  CmnVec vec;
  ASSERT_EQ(IVecInit(&vec, 2, 16, CountFree), 0);
  for (const char* text : {"a", "b", "c"}) IVecAddStr(&vec, text);
  IVecUpdate(&vec, 0, "z", 2);
  EXPECT_EQ(freed, 1);
  IVecRemove(&vec, 1);
  EXPECT_EQ(freed, 2);
  IVecFree(&vec);
  EXPECT_EQ(freed, 4);
}

TEST(CmnVec, SortedFindAndInsert) {
  CmnVec vec{};
  int at = -1;
  for (const char* text : {"m", "c", "x", "a", "p"}) {
    ASSERT_NE(IVecSortedInsert(&vec, &at, text, CompareText, 2), nullptr);
  }
  EXPECT_EQ(Texts(vec), (std::vector<std::string>{"a", "c", "m", "p", "x"}));
  EXPECT_STREQ(static_cast<char*>(IVecSortedFind(&vec, &at, "p", CompareText)), "p");
  EXPECT_EQ(at, 3);
  EXPECT_EQ(IVecSortedFind(&vec, &at, "n", CompareText), nullptr);
  EXPECT_EQ(at, 3);
  EXPECT_EQ(IVecSortedFind(&vec, &at, "z", CompareText), nullptr);
  EXPECT_EQ(at, 5);
  void* existing = IVecSortedFind(&vec, nullptr, "c", CompareText);
  EXPECT_EQ(IVecSortedInsertUnique(&vec, &at, "c", CompareText, 2), existing);
  EXPECT_EQ(vec.count, 5);
  EXPECT_STREQ(static_cast<char*>(IVecSortedInsertUnique(&vec, &at, "d", CompareText, 2)), "d");
  EXPECT_EQ(at, 2);
  IVecFree(&vec);
}

TEST(CmnVec, ZeroedVectorGrowsFromNothing) {
  CmnVec vec{};
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(IVecAddStr(&vec, std::to_string(i).c_str()), i);
  }
  EXPECT_EQ(Texts(vec)[999], "999");
  EXPECT_GE(vec.entries, 1000);
  IVecFree(&vec);
}

}  // namespace
