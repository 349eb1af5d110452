// A freshly initialised store with its own code-point set, as the program sets one up: for tests,
// benchmarks and fuzz targets that save, load or parse into a store outside the store's own
// fixtures. test_store releases it at the end of its scope.
#pragma once

#include "reader/reader.h"

// Initialises r with set as its code-point set, reserving the set's memory in *set_memory; false
// when the store or the set cannot be made. reader_destroy and memory_free release them.
inline bool test_store_init(reader *r, codepoint_set *set, buffer *set_memory) {
  u32 error = 0;
  reader_init(r, &error);
  *set_memory = memory_alloc(CODEPOINT_SET_MEMORY, nullptr);
  bool ok = codepoint_set_init(set, set_memory);
  r->codepoints = set;
  return error == 0 && ok;
}

struct test_store {
  reader r = {};
  codepoint_set set = {};
  buffer set_memory = {};
  bool ok = false;  // false when the store or its set could not be made
  test_store() { ok = test_store_init(&r, &set, &set_memory); }
  ~test_store() {
    reader_destroy(&r);
    memory_free(&set_memory);
  }
  test_store(const test_store &) = delete;
  test_store &operator=(const test_store &) = delete;

  u32 live_feeds() {
    u32 n = 0;
    pool_iterator it = pool_iterator_init(&r.feeds, sizeof(feed), feed_is_live);
    while (pool_iterator_next(&it)) n++;
    return n;
  }
};
