// Bytes as a feed document into a fresh store, first as a new feed and then again as an update
// of it; after each parse the store's own check must find nothing wrong. The first byte picks
// the address (bit 0: a video-site channel feed) and a small or large scratch arena (bit 1), so
// the text-too-long path is reached as well.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "reader/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  u8 choice = data[0];
  std::vector<u8> body(data + 1, data + size);
  buffer document = {body.size(), body.size(), body.data()};

  static codepoint_set set;
  static buffer set_memory, scratch_memory;
  if (!set_memory.data) {
    set_memory = memory_alloc(CODEPOINT_SET_MEMORY, nullptr);
    scratch_memory = memory_alloc(MiB(4), nullptr);
    if (!set_memory.data || !scratch_memory.data || !codepoint_set_init(&set, &set_memory)) abort();
  }
  buffer scratch = {choice & 2 ? MiB(4) : KiB(2), 0, scratch_memory.data};
  buffer url = choice & 1 ? string_lit("https://www.youtube.com/feeds/videos.xml?channel_id=x")
                          : string_lit("https://example.org/feed");

  static reader r;
  r = {};
  u32 error = 0;
  reader_init(&r, &error);
  if (error) abort();
  r.codepoints = &set;
  for (u32 pass = 0; pass < 2; ++pass) {
    r.generation += 1;
    feed *known = reader_find_feed(&r, 1);
    u32 parse_error = 0;
    feed *f = feed_parse(&scratch, &r, document, url, known, &parse_error);
    if (scratch.used != 0) abort();
    if (f) reader_sort_feed_entries(&r, f);
    if (reader_check(&r) != 0) abort();
    if (!f) break;
  }
  reader_destroy(&r);
  return 0;
}
