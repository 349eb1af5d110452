// The program's fonts follow the characters the window meets: a code point that any drawn or
// measured text holds and the glyph list lacks joins the code-point set, whatever the text came
// from (a character reference decoded for display, a typed or pasted character, a log line, a
// path), and the atlas is rebuilt with it once, after the frame that met it.
#include "app/app.h"

#include "gfx/font.h"

static void app_codepoint_met(void *set, u32 code_point) {
  // Values that are no code point (none reach here from the decoders) are left to the fallback.
  codepoint_set_add((codepoint_set *)set, code_point);
}

void app_fonts_watch(font_collection *fonts, codepoint_set *set) {
  if (fonts) font_collection_watch_unlisted(fonts, app_codepoint_met, set);
}

bool app_fonts_follow_codepoints(app *a, font_collection *fonts, codepoint_set *set) {
  // The fonts hold the set's list as it was at their last build; the set only grows.
  if (!fonts || !fonts->font_count || set->count <= fonts->fonts[0].codepoint_count) return false;
  u32 error = 0;
  font_collection_set_codepoints(fonts, set->items, set->count);
  font_build_collection(fonts, &error);
  // This frame was measured with the fallback glyph in their place: lay it out again with the
  // new glyphs rather than wait for input.
  if (a && a->view) a->view->another_frame = 1;
  return true;
}
