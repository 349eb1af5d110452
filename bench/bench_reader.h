// What the store benchmarks share: the words of generated feeds and the store they parse into.
#pragma once

#include <random>
#include <string>

#include "reader/reader.h"

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

struct bench_reader {
  reader r = {};
  codepoint_set set = {};
  buffer set_memory = {}, scratch = {};

  explicit bench_reader(size_t scratch_bytes) {
    set_memory = memory_alloc(CODEPOINT_SET_MEMORY, nullptr);
    scratch = memory_alloc(scratch_bytes, nullptr);
    codepoint_set_init(&set, &set_memory);
  }
  ~bench_reader() {
    reader_destroy(&r);
    memory_free(&set_memory);
    memory_free(&scratch);
  }
  bench_reader(const bench_reader &) = delete;
  bench_reader &operator=(const bench_reader &) = delete;

  // An empty store at the first generation.
  void reset() {
    reader_destroy(&r);
    u32 error = 0;
    reader_init(&r, &error);
    r.codepoints = &set;
    r.generation = 1;
  }
};
