// Chained hash table: nodes appended at the end of their bucket's chain,
// lookup stops at the first equal key.
#include "cmn/hash.h"

#include <strings.h>

#include <bit>
#include <cctype>
#include <cstring>

#include "cmn/ctx.h"
#include "cmn/dbg.h"

TARN_RCSID("lib/cmn/hash.cpp");

namespace {

inline std::uint32_t Mix(std::uint32_t h, signed char c) {
  return std::rotl(h, 4) ^ static_cast<std::uint32_t>(static_cast<std::int32_t>(c));
}

// The link that points at `key`'s node, or at the chain's terminating null.
hash_node_t** FindLink(const hash_t* h, const void* key, int* bucket) {
  *bucket = static_cast<int>(h->hashfn(key) % static_cast<std::uint32_t>(h->nbuckets));
  hash_node_t** link = &h->buckets[*bucket];
  while (*link != nullptr && h->cmpfn((*link)->key, key) != 0) link = &(*link)->next;
  return link;
}

bool Usable(const hash_t* h) {
  return h != nullptr && h->buckets != nullptr && h->nbuckets > 0 && h->hashfn != nullptr &&
         h->cmpfn != nullptr;
}

// First node at or after `bucket`.
hash_iter_t FirstFrom(hash_t* h, int bucket) {
  hash_iter_t it{0, bucket, nullptr, h};
  for (; it.bucket < h->nbuckets; ++it.bucket) {
    if (h->buckets[it.bucket] != nullptr) {
      it.link = &h->buckets[it.bucket];
      it.valid = 1;
      return it;
    }
  }
  return it;
}

const char* OrEmpty(const void* s) {
  return s != nullptr ? static_cast<const char*>(s) : "";
}

}  // namespace

void hash_init(hash_t* h, HashFn hashfn, HashCmpFn cmpfn, int buckets) {
  if (h == nullptr) return;
  *h = hash_t{};
  h->hashfn = hashfn;
  h->cmpfn = cmpfn;
  const int n = buckets > 0 ? buckets : kHashDefaultBuckets;
  h->buckets = static_cast<hash_node_t**>(
      safe_calloc(static_cast<std::size_t>(n), sizeof(hash_node_t*), TARN_HERE));
  if (h->buckets != nullptr) h->nbuckets = n;
}

hash_t hash_new(HashFn hashfn, HashCmpFn cmpfn, int buckets) {
  hash_t h;
  hash_init(&h, hashfn, cmpfn, buckets);
  return h;
}

void* hash_get(const hash_t* h, const void* key) {
  if (!Usable(h)) return nullptr;
  int bucket;
  hash_node_t* node = *FindLink(h, key, &bucket);
  return node != nullptr ? node->value : nullptr;
}

void* hash_set(hash_t* h, const void* key, void* value) {
  if (!Usable(h)) {
    DbgPlain(kDbgUnexpected, "hash_set: table %p is not initialised", static_cast<void*>(h));
    return nullptr;
  }
  int bucket;
  hash_node_t** link = FindLink(h, key, &bucket);
  if (*link != nullptr) {
    void* old = (*link)->value;
    (*link)->value = value;
    return old;
  }
  auto* node = static_cast<hash_node_t*>(safe_malloc(sizeof(hash_node_t), TARN_HERE));
  if (node == nullptr) return nullptr;
  *node = hash_node_t{nullptr, key, value};
  *link = node;
  ++h->count;
  return nullptr;
}

hash_iter_t hash_delete(hash_t* h, const void* key) {
  hash_iter_t end{0, 0, nullptr, h};
  if (!Usable(h)) return end;
  int bucket;
  hash_node_t** link = FindLink(h, key, &bucket);
  hash_node_t* node = *link;
  if (node == nullptr) return end;
  *link = node->next;
  safe_free(node, TARN_HERE);
  --h->count;
  if (*link != nullptr) return hash_iter_t{1, bucket, link, h};
  return FirstFrom(h, bucket + 1);
}

hash_iter_t hash_iter_init(hash_t* h) {
  if (!Usable(h)) return hash_iter_t{0, 0, nullptr, h};
  return FirstFrom(h, 0);
}

hash_iter_t hash_iter_next(hash_iter_t it) {
  if (!it.valid || it.table == nullptr || it.link == nullptr || *it.link == nullptr) {
    it.valid = 0;
    return it;
  }
  hash_node_t** next = &(*it.link)->next;
  if (*next != nullptr) {
    it.link = next;
    return it;
  }
  return FirstFrom(it.table, it.bucket + 1);
}

void hash_free(hash_t* h) {
  if (h == nullptr) return;
  if (h->buckets != nullptr) {
    for (int b = 0; b < h->nbuckets; ++b) {
      hash_node_t* node = h->buckets[b];
      while (node != nullptr) {
        hash_node_t* next = node->next;
        safe_free(node, TARN_HERE);
        node = next;
      }
    }
    safe_free(h->buckets, TARN_HERE);
  }
  h->buckets = nullptr;
  h->nbuckets = 0;
  h->count = 0;
}

std::uint32_t hashfn_tstring(const void* s) {
  std::uint32_t h = 0;
  for (const char* p = OrEmpty(s); *p != '\0'; ++p) h = Mix(h, static_cast<signed char>(*p));
  return h;
}

std::uint32_t hashfn_itstring(const void* s) {
  std::uint32_t h = 0;
  for (const char* p = OrEmpty(s); *p != '\0'; ++p) {
    h = Mix(h, static_cast<signed char>(std::tolower(static_cast<unsigned char>(*p))));
  }
  return h;
}

std::uint32_t hashfn_generic(const void* p, std::size_t n) {
  std::uint32_t h = 0;
  const auto* b = static_cast<const signed char*>(p);
  if (b == nullptr) return 0;
  for (std::size_t i = 0; i < n; ++i) h = Mix(h, b[i]);
  return h;
}

std::uint32_t hashfn_int(const void* key) {
  auto k = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key));
  k += ~(k << 15);
  k ^= k >> 10;
  k += k << 3;
  k ^= k >> 6;
  k += ~(k << 11);
  k ^= k >> 16;
  return k;
}

int hashcmp_tstring(const void* x, const void* y) {
  return std::strcmp(OrEmpty(x), OrEmpty(y));
}

int hashcmp_itstring(const void* x, const void* y) {
  return strcasecmp(OrEmpty(x), OrEmpty(y));
}

int intcmp(const void* x, const void* y) {
  const auto a = reinterpret_cast<std::intptr_t>(x);
  const auto b = reinterpret_cast<std::intptr_t>(y);
  return a == b ? 0 : (a > b ? 1 : -1);
}
