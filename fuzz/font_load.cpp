// A font file is input: any bytes must be refused by the checks or, once accepted, give a
// collection whose build, lookups and layout stay inside the file and the arena.
#include <stdint.h>

#include "gfx/font.h"
#include "gfx/text_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *reason = nullptr;
  if (!font_file_validate(data, size, &reason)) {
    invariant(reason != nullptr);
    return 0;
  }
  static font_collection *collection = nullptr;
  u32 error = 0;
  if (!collection) collection = font_collection_create(MiB(64), &error);
  if (!collection) return 0;
  // A fresh collection each time: fonts cannot be removed, so roll the arena back to empty.
  collection->arena.used = sizeof(font_collection);
  collection->fonts = nullptr;
  collection->font_count = 0;
  collection->mark = collection->arena.used;
  u32 codepoints[] = {'A', 'V', 'a', 'W', 'i', ' ', 0xE9, 0x416, 0x2026, 0xFFFD, 0x1F600};
  buffer file = buffer_make(size, size, (void *)data);
  font *f = font_collection_add_font(collection, file, 12, codepoints, array_count(codepoints), 0, &error);
  if (!f) return 0;
  font_build_collection(collection, &error);
  if (error && error != font_error_atlas) return 0;
  font_get_kerning(f, font_get_glyph(f, 'A'), 'V');
  static const char text[] = "AVa W\xE9i \xD0\x96\xF0\x9F\x98\x80 Wave";
  text_layout_single_line_size(f, text, text + sizeof text - 1, TEXT_LAYOUT_NO_CODEPOINT, 0);
  buffer t = string_from_bytes(text, sizeof text - 1);
  text_layout_fit_single_line(f, t, TEXT_LAYOUT_NO_CODEPOINT, 0, 40, nullptr, nullptr, 0, nullptr);
  text_layout layout = text_layout_make(0, 30, text_layout_single_segment);
  text_layout_iterator it = text_layout_iterator_make(&layout, &t, 0);
  for (int calls = 0; calls < 200; ++calls) {
    text_layout_run run = text_layout_next_rect(&layout, &it, f, TEXT_LAYOUT_SKIP_LEADING_BLANKS);
    if (run.flags == 0) break;
    if (run.flags & text_layout_run_line_break) text_layout_new_line(&layout, &it, 0, 30);
  }
  return 0;
}
