// What the store benchmarks share: the words of generated feeds and the store they parse into.
#pragma once

#include <random>
#include <string>

#include "reader/reader.h"
#include "tests/support/test_store.h"

// n words drawn from a benchmark's own list, separated by spaces.
template <size_t N>
std::string bench_sentence(std::mt19937 &rng, int n, const char *const (&words)[N]) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += words[rng() % N];
  }
  return s;
}

// A reader with its own code point set and scratch memory for feed_parse, as the program sets
// them up.

struct bench_reader : test_store {
  buffer scratch = {};

  explicit bench_reader(size_t scratch_bytes) { scratch = memory_alloc(scratch_bytes, nullptr); }
  ~bench_reader() { memory_free(&scratch); }

  // An empty store at the first generation.
  void reset() {
    reader_destroy(&r);
    u32 error = 0;
    reader_init(&r, &error);
    r.codepoints = &set;
    r.generation = 1;
  }

  // What the program does with a completed download of the feed at url (f, or a new feed when
  // null): the parse, the feed's settings record, its entries sorted. The feed, or null.
  feed *ingest_download(buffer document, buffer url, feed *f) {
    u32 error = 0;
    f = feed_parse(&scratch, &r, document, url, f, &error);
    if (f) {
      if (!reader_get_meta(&r, f->id)) reader_new_meta(&r, f->id);
      reader_sort_feed_entries(&r, f);
    }
    return f;
  }
};
