// Chained hash table of the common library, with the hash and compare
// functions its callers use. A fixed bucket count: chains just lengthen.
#pragma once

#include <cstddef>
#include <cstdint>

// Keys and values are stored as given (pointers, or integers cast to
// pointers); the table never copies or frees them, so the caller keeps every
// key alive while it is in the table.
using HashFn = std::uint32_t (*)(const void* key);
using HashCmpFn = int (*)(const void* x, const void* y);  // 0 when equal

struct hash_node_t {
  hash_node_t* next;
  const void* key;
  void* value;
};

struct hash_t {
  HashFn hashfn;
  HashCmpFn cmpfn;
  hash_node_t** buckets;
  int nbuckets;
  int count;  // entries
};

inline constexpr int kHashDefaultBuckets = 997;

// Position in a table. `link` is the place that points at the current node
// (a bucket head or the previous node's next field). Valid until the table
// changes, except for the iterator that hash_delete returns.
struct hash_iter_t {
  int valid;  // 0 at the end
  int bucket;
  hash_node_t** link;
  hash_t* table;
};

// Sets the functions and allocates `buckets` empty buckets (997 when 0 or
// less). The record must later be released with hash_free.
void hash_init(hash_t* h, HashFn hashfn, HashCmpFn cmpfn, int buckets);
hash_t hash_new(HashFn hashfn, HashCmpFn cmpfn, int buckets);

// The value stored under `key`, or null.
void* hash_get(const hash_t* h, const void* key);
// Replaces the value of an existing key and returns the old one; otherwise
// appends a node to the key's chain and returns null (also when memory runs
// out, which leaves the table unchanged).
void* hash_set(hash_t* h, const void* key, void* value);
// Removes the key's node. Returns an iterator at the entry that followed it
// (invalid at the end or when the key was absent), so entries may be removed
// while iterating: it = hash_delete(h, hash_iter_key(it)).
hash_iter_t hash_delete(hash_t* h, const void* key);

// Buckets in ascending order, each chain from its head (so entries of one
// bucket come in insertion order).
hash_iter_t hash_iter_init(hash_t* h);
hash_iter_t hash_iter_next(hash_iter_t it);
inline const void* hash_iter_key(const hash_iter_t& it) {
  return it.valid ? (*it.link)->key : nullptr;
}
inline void* hash_iter_value(const hash_iter_t& it) {
  return it.valid ? (*it.link)->value : nullptr;
}

// Releases every node and the buckets; keys and values are not touched.
void hash_free(hash_t* h);

// h = 0; per byte c (signed): h = rotl(h, 4) ^ c. Null and "" give 0.
std::uint32_t hashfn_tstring(const void* s);
// The same over the lower-cased bytes, for keys compared without case.
std::uint32_t hashfn_itstring(const void* s);
std::uint32_t hashfn_generic(const void* p, std::size_t n);
// Integer keys (the key pointer's value, low 32 bits), well mixed.
std::uint32_t hashfn_int(const void* k);

// strcmp and strcasecmp with null taken as "".
int hashcmp_tstring(const void* x, const void* y);
int hashcmp_itstring(const void* x, const void* y);
// Integer keys: 0 equal, 1 when x is greater, -1 when less.
int intcmp(const void* x, const void* y);
