// A freshly initialised store with its own code-point set, released at the end of its scope; for
// tests that save or load a store outside the store's own fixtures.
#pragma once

#include "reader/reader.h"

struct test_store {
  reader r = {};
  codepoint_set set = {};
  buffer set_memory = {};
  test_store() {
    u32 error = 0;
    reader_init(&r, &error);
    set_memory = memory_alloc(CODEPOINT_SET_MEMORY, nullptr);
    codepoint_set_init(&set, &set_memory);
    r.codepoints = &set;
  }
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
