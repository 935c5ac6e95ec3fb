// Hash table: fixed bucket count under load, replacement, collision chains in
// insertion order, removal while iterating; and the hash functions' values.
#include "cmn/hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "cmn/defines.h"

TARN_RCSID("lib/cmn/test/hash_test.cpp");

namespace {

void* AsPtr(std::intptr_t v) {
  return reinterpret_cast<void*>(v);
}
std::intptr_t AsInt(const void* p) {
  return reinterpret_cast<std::intptr_t>(p);
}

std::vector<std::string> Keys(hash_t* h) {
  std::vector<std::string> keys;
  for (hash_iter_t it = hash_iter_init(h); it.valid; it = hash_iter_next(it)) {
    keys.emplace_back(static_cast<const char*>(hash_iter_key(it)));
  }
  return keys;
}

TEST(Hash, DefaultBucketsStayFixedUnderTenThousandKeys) {
  hash_t h = hash_new(hashfn_int, intcmp, 0);
  EXPECT_EQ(h.nbuckets, 997);
  for (std::intptr_t k = 1; k <= 10000; ++k)
    ASSERT_EQ(hash_set(&h, AsPtr(k), AsPtr(k * 3)), nullptr);
  EXPECT_EQ(h.nbuckets, 997);
  EXPECT_EQ(h.count, 10000);
  for (std::intptr_t k = 1; k <= 10000; ++k) ASSERT_EQ(AsInt(hash_get(&h, AsPtr(k))), k * 3) << k;
  EXPECT_EQ(hash_get(&h, AsPtr(10001)), nullptr);
  int visited = 0;
  for (hash_iter_t it = hash_iter_init(&h); it.valid; it = hash_iter_next(it)) ++visited;
  EXPECT_EQ(visited, 10000);
  hash_free(&h);
  EXPECT_EQ(h.count, 0);
  EXPECT_EQ(h.buckets, nullptr);
  EXPECT_EQ(hash_get(&h, AsPtr(1)), nullptr);
  EXPECT_EQ(hash_set(&h, AsPtr(1), AsPtr(2)), nullptr);  // refused, not a crash
  EXPECT_EQ(h.count, 0);
}

TEST(Hash, SetOnExistingKeyReplacesAndReturnsOldValue) {
  hash_t h = hash_new(hashfn_tstring, hashcmp_tstring, 7);
  int first = 1, second = 2;
  std::string key = "alpha";
  std::string sameText = "alpha";  // a different pointer with equal text
  EXPECT_EQ(hash_set(&h, key.c_str(), &first), nullptr);
  EXPECT_EQ(hash_set(&h, sameText.c_str(), &second), &first);
  EXPECT_EQ(h.count, 1);
  EXPECT_EQ(hash_get(&h, "alpha"), &second);
  hash_free(&h);
}

TEST(Hash, CollidingKeysChainInInsertionOrderAndUnlinkCleanly) {
  hash_t h = hash_new(hashfn_tstring, hashcmp_tstring, 1);  // one bucket: all collide
  const char* const keys[] = {"d", "b", "a", "c", "e"};
  for (const char* k : keys) hash_set(&h, k, const_cast<char*>(k));
  EXPECT_EQ(Keys(&h), (std::vector<std::string>{"d", "b", "a", "c", "e"}));

  hash_iter_t it = hash_delete(&h, "d");  // chain head
  ASSERT_TRUE(it.valid);
  EXPECT_STREQ(static_cast<const char*>(hash_iter_key(it)), "b");
  it = hash_delete(&h, "a");  // middle
  EXPECT_STREQ(static_cast<const char*>(hash_iter_key(it)), "c");
  it = hash_delete(&h, "e");  // tail: nothing follows
  EXPECT_FALSE(it.valid);
  it = hash_delete(&h, "missing");
  EXPECT_FALSE(it.valid);
  EXPECT_EQ(h.count, 2);
  EXPECT_EQ(Keys(&h), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(hash_get(&h, "c"), keys[3]);
  EXPECT_EQ(hash_get(&h, "a"), nullptr);
  hash_free(&h);
}

TEST(Hash, RemovalDuringIterationVisitsEveryOtherEntryOnce) {
  hash_t h = hash_new(hashfn_int, intcmp, 13);
  for (std::intptr_t k = 0; k < 500; ++k) hash_set(&h, AsPtr(k), AsPtr(k));
  std::multiset<std::intptr_t> seen;
  for (hash_iter_t it = hash_iter_init(&h); it.valid;) {
    const std::intptr_t k = AsInt(hash_iter_key(it));
    seen.insert(k);
    it = k % 2 == 0 ? hash_delete(&h, hash_iter_key(it)) : hash_iter_next(it);
  }
  EXPECT_EQ(seen.size(), 500u);
  EXPECT_EQ(std::set<std::intptr_t>(seen.begin(), seen.end()).size(), 500u);
  EXPECT_EQ(h.count, 250);
  for (std::intptr_t k = 0; k < 500; ++k)
    EXPECT_EQ(hash_get(&h, AsPtr(k)) != nullptr, k % 2 == 1) << k;

  // Deleting every entry as it is met empties the table.
  for (hash_iter_t it = hash_iter_init(&h); it.valid;) it = hash_delete(&h, hash_iter_key(it));
  EXPECT_EQ(h.count, 0);
  EXPECT_FALSE(hash_iter_init(&h).valid);
  hash_free(&h);
}

TEST(Hash, CaseInsensitiveTableFindsAnySpelling) {
  hash_t h = hash_new(hashfn_itstring, hashcmp_itstring, 0);
  int v = 5;
  hash_set(&h, "VEKOPTS", &v);
  EXPECT_EQ(hash_get(&h, "vekopts"), &v);
  EXPECT_EQ(hash_get(&h, "VekOpts"), &v);
  EXPECT_EQ(hash_get(&h, "VEKOPT"), nullptr);
  hash_free(&h);
}

TEST(HashFunctions, ValuesAreThoseOfTheFormulas) {
  EXPECT_EQ(hashfn_tstring(""), 0u);
  EXPECT_EQ(hashfn_tstring(nullptr), 0u);
  EXPECT_EQ(hashfn_tstring("ab"), 0x672u);
  EXPECT_EQ(hashfn_tstring("hello world"), 0xAD71EA9Eu);
  EXPECT_EQ(hashfn_tstring("\xE9"), 0xFFFFFFE9u);  // bytes count as signed
  EXPECT_EQ(hashfn_generic("hello world", 11), 0xAD71EA9Eu);
  EXPECT_EQ(hashfn_itstring("Hello World"), hashfn_tstring("hello world"));
  EXPECT_EQ(hashfn_itstring(nullptr), 0u);
  EXPECT_EQ(hashfn_int(AsPtr(0)), 0x4636B9C9u);
  EXPECT_EQ(hashfn_int(AsPtr(1)), 0x62BAF5A0u);
  EXPECT_EQ(hashfn_int(AsPtr(12345)), 0x744B8103u);
  EXPECT_EQ(intcmp(AsPtr(3), AsPtr(3)), 0);
  EXPECT_EQ(intcmp(AsPtr(4), AsPtr(3)), 1);
  EXPECT_EQ(intcmp(AsPtr(-4), AsPtr(3)), -1);
  EXPECT_EQ(hashcmp_itstring("ABC", "abc"), 0);
  EXPECT_NE(hashcmp_tstring("ABC", "abc"), 0);
  EXPECT_EQ(hashcmp_tstring(nullptr, ""), 0);
}

}  // namespace
