// Bytes as a feed document into a fresh store, first as a new feed and then again as an update
// of it, which must store nothing new; after each parse the store's own check must find nothing
// wrong, and the store must
// come back from its save image unchanged (ids and generations aside, which a save renumbers). The first byte picks
// the address (bit 0: a video-site channel feed) and a small or large scratch arena (bit 1), so
// the text-too-long path is reached as well.
#include <stdint.h>
#include <stdlib.h>

#include <string.h>

#include <vector>

#include "reader/save.h"
#include "tests/support/test_store.h"

// The store as stable text without the entry ids and generations a save renumbers.
static std::vector<u8> printed(reader *r, buffer out) {
  if (!reader_print_feeds(r, &out)) abort();
  std::vector<u8> text;
  static const char *const numbered[] = {"  entry ", " gen="};
  for (u64 i = 0; i < out.used;) {
    text.push_back(out.data[i++]);
    for (const char *key : numbered) {
      u64 n = strlen(key);
      if (text.size() >= n && memcmp(text.data() + text.size() - n, key, n) == 0)
        while (i < out.used && out.data[i] >= '0' && out.data[i] <= '9') ++i;
    }
  }
  return text;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  u8 choice = data[0];
  std::vector<u8> body(data + 1, data + size);
  buffer document = {body.size(), body.size(), body.data()};

  static buffer scratch_memory = memory_alloc(MiB(4), nullptr);
  if (!scratch_memory.data) abort();
  buffer scratch = {choice & 2 ? MiB(4) : KiB(2), 0, scratch_memory.data};
  buffer url = choice & 1 ? string_lit("https://www.youtube.com/feeds/videos.xml?channel_id=x")
                          : string_lit("https://example.org/feed");

  // One store for the parses and one for the load of their image, both emptied after each
  // input: building one costs more than a parse.
  static test_store parsed, loaded;
  if (!parsed.ok || !loaded.ok) abort();
  reader &r = parsed.r;
  u32 first_entries = 0;
  for (u32 pass = 0; pass < 2; ++pass) {
    r.generation += 1;
    feed *known = reader_find_feed(&r, 1);
    u32 parse_error = 0;
    feed *f = feed_parse(&scratch, &r, document, url, known, &parse_error);
    if (scratch.used != 0) abort();
    if (f) reader_sort_feed_entries(&r, f);
    if (reader_check(&r) != 0) abort();
    if (!f) break;
    // The same document again holds nothing new: each item is dropped by its date or is the
    // same as the entry it made, judged from the document as that entry was stored.
    if (pass == 1 && f->entry_count != first_entries) abort();
    first_entries = f->entry_count;
  }
  static buffer print_memory = memory_alloc(MiB(64), nullptr);
  buffer image = reader_write_image(&r);
  if (!image.data) abort();
  if (!reader_read_bytes(&loaded.r, image.data, image.used)) abort();
  if (printed(&r, print_memory) != printed(&loaded.r, print_memory)) abort();
  reader_reset(&loaded.r);
  memory_free(&image);
  reader_reset(&r);
  return 0;
}
