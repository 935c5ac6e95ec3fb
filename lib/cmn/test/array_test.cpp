// Arrays: growth and zeroed gaps, overwriting by mode, what pop leaves owned,
// elements pushed from inside the array, and the helpers on top.
#include "cmn/array.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cmn/ctx.h"
#include "cmn/paths.h"
#include "cmn/str.h"
#include "tarn_test.h"

TARN_RCSID("lib/cmn/test/array_test.cpp");

namespace {

struct Item {
  int key;
  int order;
  char* owned;  // released by the free function
};

int freedItems = 0;
void FreeItem(void* element) {
  auto* item = static_cast<Item*>(element);
  if (item->owned != nullptr) {
    safe_free(item->owned, TARN_HERE);
    item->owned = nullptr;
    ++freedItems;
  }
}

std::vector<std::string> Strings(const array_t& a) {
  std::vector<std::string> out;
  for (int i = 0; i < a.count; ++i) {
    const auto* s = static_cast<const char*>(array_get(&a, i));
    out.emplace_back(s != nullptr ? s : "<null>");
  }
  return out;
}

TEST(Array, SettingPastTheEndGrowsWithNullGaps) {
  array_t a = array_new(ARRAY_POINTERS);
  int x = 1;
  EXPECT_EQ(array_set(&a, 5, &x), &x);
  EXPECT_EQ(a.count, 6);
  EXPECT_EQ(a.capacity, static_cast<int>(6 * sizeof(void*)));  // pointer-sized slots
  for (int i = 0; i < 5; ++i) EXPECT_EQ(array_get(&a, i), nullptr) << i;
  EXPECT_EQ(array_get(&a, 5), &x);
  EXPECT_EQ(array_get(&a, 6), nullptr);
  EXPECT_EQ(array_get(&a, -1), nullptr);
  EXPECT_EQ(array_set(&a, -1, &x), nullptr);
  array_set(&a, 2, &x);  // below the count: the count stays
  EXPECT_EQ(a.count, 6);
  array_free(&a);
  EXPECT_EQ(a.count, 0);
  EXPECT_EQ(a.data, nullptr);
}

TEST(Array, StringModeKeepsOnlyTheLatestCopy) {
  array_t a = array_new(ARRAY_STRINGS);
  char text[] = "first";
  auto* first = static_cast<char*>(array_set(&a, 0, text));
  EXPECT_NE(first, text);  // a copy, not the caller's text
  auto* second = static_cast<char*>(array_set(&a, 0, "second"));
  EXPECT_STREQ(second, "second");
  EXPECT_EQ(a.count, 1);
  // Storing an element's own string again must copy before releasing it.
  auto* again = static_cast<char*>(array_set(&a, 0, array_get(&a, 0)));
  EXPECT_STREQ(again, "second");
  EXPECT_EQ(array_set(&a, 1, nullptr), nullptr);
  EXPECT_EQ(a.count, 2);
  array_free(&a);  // the sanitizer build reports any copy left behind
}

TEST(Array, ValueModeGrowsAndSurvivesPushOfItsOwnElement) {
  array_t a = array_new(ARRAY_VALUES, sizeof(Item), nullptr);
  for (int i = 0; i < 1000; ++i) {
    Item item{i, 0, nullptr};
    ASSERT_NE(array_push(&a, &item), nullptr);
  }
  EXPECT_EQ(a.count, 1000);
  EXPECT_EQ(a.capacity, static_cast<int>(1000 * sizeof(Item)));  // exactly, no spare room
  // The source lies in the block that the push reallocates.
  auto* copy = static_cast<Item*>(array_push(&a, array_get(&a, 10)));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->key, 10);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(static_cast<Item*>(array_get(&a, i))->key, i);
  auto* zero = static_cast<Item*>(array_set(&a, 1005, nullptr));
  EXPECT_EQ(zero->key, 0);
  EXPECT_EQ(static_cast<Item*>(array_get(&a, 1003))->key, 0);
  array_free(&a);
}

TEST(Array, BlockModeReusesItsBlockAndCleansIt) {
  freedItems = 0;
  array_t a = array_new(ARRAY_BLOCKS, sizeof(Item), FreeItem);
  Item item{7, 0, StrNewCopy("one")};
  auto* block = static_cast<Item*>(array_set(&a, 0, &item));
  EXPECT_NE(block, &item);
  Item other{8, 0, StrNewCopy("two")};
  auto* reused = static_cast<Item*>(array_set(&a, 0, &other));
  EXPECT_EQ(reused, block);
  EXPECT_EQ(freedItems, 1);  // "one" released before the overwrite
  EXPECT_EQ(reused->key, 8);
  Item third{9, 0, StrNewCopy("three")};
  array_push(&a, &third);
  array_free(&a);
  EXPECT_EQ(freedItems, 3);
}

TEST(Array, PoppedStringStaysOwnedUntilItsSlotIsReused) {
  array_t a = array_new(ARRAY_STRINGS);
  EXPECT_EQ(array_pushs(&a, "a", "b", "c", nullptr), 3);
  auto* c = static_cast<char*>(array_pop(&a));
  EXPECT_STREQ(c, "c");  // still valid: the array owns it
  EXPECT_EQ(a.count, 2);
  EXPECT_STREQ(static_cast<char*>(array_push(&a, "d")), "d");  // releases "c"
  EXPECT_EQ(Strings(a), (std::vector<std::string>{"a", "b", "d"}));

  // Two pops, then a set two past the count: the popped slot skipped over
  // reads as null, and its string is released.
  array_pop(&a);
  array_pop(&a);
  EXPECT_EQ(a.count, 1);
  array_set(&a, 2, "z");
  EXPECT_EQ(Strings(a), (std::vector<std::string>{"a", "<null>", "z"}));

  // Popped strings not yet reused are released by array_free.
  EXPECT_STREQ(static_cast<char*>(array_pop(&a)), "z");
  array_free(&a);
  array_t empty = array_new(ARRAY_STRINGS);
  EXPECT_EQ(array_pop(&empty), nullptr);
}

TEST(Array, PoppedValueIsCleanedExactlyOnce) {
  freedItems = 0;
  array_t a = array_new(ARRAY_VALUES, sizeof(Item), FreeItem);
  Item one{1, 0, StrNewCopy("x")};
  Item two{2, 0, StrNewCopy("y")};
  array_push(&a, &one);
  array_push(&a, &two);
  array_pop(&a);
  EXPECT_EQ(freedItems, 0);
  array_set(&a, 3, nullptr);  // grows over the popped slot: cleaned, then zero
  EXPECT_EQ(freedItems, 1);
  EXPECT_EQ(static_cast<Item*>(array_get(&a, 1))->owned, nullptr);
  array_free(&a);
  EXPECT_EQ(freedItems, 2);
}

TEST(Array, UnknownModeAndMissingElementSizeAreRefused) {
  tarn::test::TempRoot root;  // the refusals write to debug.log
  CmnPathsInit(root.path().c_str());
  array_t bad = array_new(5);
  int x = 0;
  EXPECT_EQ(array_set(&bad, 0, &x), nullptr);
  EXPECT_EQ(bad.count, 0);
  array_free(&bad);
  array_t sizeless = array_new(ARRAY_VALUES);
  EXPECT_EQ(array_push(&sizeless, &x), nullptr);
  array_free(&sizeless);
}

int CompareKeys(const void* x, const void* y) {
  return static_cast<const Item*>(x)->key - static_cast<const Item*>(y)->key;
}
int CompareStrings(const void* x, const void* y) {
  return std::strcmp(static_cast<const char*>(x), static_cast<const char*>(y));
}
const char* ItemName(const void* element) {
  return static_cast<const Item*>(element)->owned;
}
int HasKey(const void* element, const void* arg) {
  return static_cast<const Item*>(element)->key == *static_cast<const int*>(arg) ? 0 : 1;
}

TEST(Array, SortIsStableAndPassesWhatGetReturns) {
  array_t values = array_new(ARRAY_VALUES, sizeof(Item), nullptr);
  const int keys[] = {3, 1, 2, 1, 3, 0};
  for (int i = 0; i < 6; ++i) {
    Item item{keys[i], i, nullptr};
    array_push(&values, &item);
  }
  array_sort(&values, CompareKeys);
  const int sortedKeys[] = {0, 1, 1, 2, 3, 3};
  const int sortedOrder[] = {5, 1, 3, 2, 0, 4};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(static_cast<Item*>(array_get(&values, i))->key, sortedKeys[i]);
    EXPECT_EQ(static_cast<Item*>(array_get(&values, i))->order, sortedOrder[i]);
  }
  array_reverse(&values);
  EXPECT_EQ(static_cast<Item*>(array_get(&values, 0))->order, 4);
  array_free(&values);

  array_t strings = array_new(ARRAY_STRINGS);
  array_pushs(&strings, "pear", "apple", "fig", nullptr);
  array_sort(&strings, CompareStrings);
  EXPECT_EQ(Strings(strings), (std::vector<std::string>{"apple", "fig", "pear"}));
  array_reverse(&strings);
  EXPECT_EQ(Strings(strings), (std::vector<std::string>{"pear", "fig", "apple"}));
  array_free(&strings);
}

TEST(Array, FindJoinSplitAndMultiString) {
  array_t strings = array_new(ARRAY_STRINGS);
  EXPECT_EQ(array_multisz(&strings, "one\0two\0three\0"), 3);
  EXPECT_STREQ(static_cast<char*>(array_findstr(&strings, nullptr, "two")), "two");
  EXPECT_EQ(array_findstr(&strings, nullptr, "four"), nullptr);
  char* joined = array_join(&strings, ", ");
  EXPECT_STREQ(joined, "one, two, three");
  safe_free(joined, TARN_HERE);
  array_free(&strings);
  EXPECT_EQ(array_join(&strings, ","), nullptr);  // empty

  array_t parts = array_split("a:b::c", ":");
  EXPECT_EQ(parts.mode, ARRAY_STRINGS);
  EXPECT_EQ(Strings(parts), (std::vector<std::string>{"a", "b", "c"}));
  array_free(&parts);

  array_t items = array_new(ARRAY_BLOCKS, sizeof(Item), FreeItem);
  Item first{4, 0, StrNewCopy("four")};
  Item second{5, 0, StrNewCopy("five")};
  array_push(&items, &first);
  array_push(&items, &second);
  EXPECT_EQ(static_cast<Item*>(array_findstr(&items, ItemName, "five"))->key, 5);
  const int wanted = 4;
  EXPECT_STREQ(static_cast<Item*>(array_find(&items, HasKey, &wanted))->owned, "four");
  EXPECT_EQ(array_join(&items, ","), nullptr);  // not a string array
  array_free(&items);
}

}  // namespace
