// For the tests and benches that build the whole window without a display: the program's four
// fonts in its order (14, 16 and 20 px sans, 12 px mono) made from the DejaVu faces, and the
// application context and view state as the program entry makes them.
#pragma once

#include <vector>

#include "app/app.h"
#include "gfx/font.h"

#define APP_TEST_SANS_FACE "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
#define APP_TEST_MONO_FACE "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"

struct app_test_fonts {
  buffer sans = {}, mono = {};
  std::vector<u32> points;  // the fonts keep pointing at the list
  font_collection *fonts = nullptr;

  // False when the faces are missing or the collection cannot be built.
  bool load() {
    u32 error = 0;
    sans = file_read_all(string_lit(APP_TEST_SANS_FACE), 0, &error);
    mono = file_read_all(string_lit(APP_TEST_MONO_FACE), 0, &error);
    if (error) return false;
    fonts = font_collection_create(MiB(64), &error);
    if (!fonts) return false;
    points.resize(FONT_BASE_CODEPOINT_COUNT);
    font_base_codepoints(points.data());
    u32 n = (u32)points.size();
    font_collection_add_font(fonts, sans, 14, points.data(), n, 0, &error);
    font_collection_add_font(fonts, sans, 16, points.data(), n, 0, &error);
    font_collection_add_font(fonts, sans, 20, points.data(), n, 0, &error);
    font_collection_add_font(fonts, mono, 12, points.data(), n, 1, &error);
    font_build_collection(fonts, &error);
    return error == 0;
  }
  void release() {
    if (fonts) font_collection_destroy(fonts);
    fonts = nullptr;
    file_content_free(&sans);
    file_content_free(&mono);
  }
};

// The context over a window and a UI context, with a frame arena of the given size and the HTML
// reservation; false when the reservation is refused.
inline bool app_test_context_init(app *a, view_state *v, window *w, ui_context *ui, query *queries, u64 query_count,
                                  u64 frame_arena_bytes = APP_FRAME_ARENA_BYTES) {
  app_init(a);
  a->frame_arena = memory_alloc(frame_arena_bytes, nullptr);
  view_state_init(v, 1);
  if (!view_state_reserve_html(v)) return false;
  a->view = v;
  a->window = w;
  a->ui = ui;
  a->queries = queries;
  a->query_count = query_count;
  return true;
}
