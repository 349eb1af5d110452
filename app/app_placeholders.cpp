// PLACEHOLDERS, to be deleted when the list, entry and image cache views land: weak stand-ins so
// the program links and runs before them. Each does the least that keeps the frame sound.
#include "app/app.h"

#define APP_WEAK __attribute__((weak))

APP_WEAK void view_list(app *, reader *) {}
APP_WEAK void view_handle_keys(app *, reader *) {}
APP_WEAK void view_close_page(app *a) {
  view_state *v = a->view;
  v->page = view_page_main;
  v->html_parsed = 0;
  if (v->selected_feed && !v->selected_entry) {
    v->feed_uri.used = 0;
    u64 n = v->selected_feed->url.used;
    if (n > v->feed_uri.size) n = v->feed_uri.size;
    memory_copy(v->feed_uri.data, v->selected_feed->url.data, n);
    v->feed_uri.used = n;
  }
}
APP_WEAK void view_list_generation_minimum(view_state *, reader *) {}
APP_WEAK void view_list_generation_maximum(view_state *, reader *) {}
APP_WEAK void view_list_generation_all(view_state *, reader *) {}
APP_WEAK void view_list_generation_increase(view_state *, reader *, u32) {}
APP_WEAK void view_list_generation_decrease(view_state *, reader *, u32) {}

APP_WEAK void ui_parse_entry_html(view_state *, buffer, int *) {}
APP_WEAK buffer buffer_push_grow(view_state *, u64) { return buffer{}; }
APP_WEAK void view_rss_entry(app *, reader *) {}
APP_WEAK void view_atom_entry(app *, reader *) {}
APP_WEAK void ui_html(reader *, view_state *, ui_context *, html_tree_traversal *, ui_node *) {}

APP_WEAK image_slot *image_get(u32, buffer, u32) { return nullptr; }
APP_WEAK void image_job_load(void *) {}
APP_WEAK void image_job_resize(void *) {}
APP_WEAK void image_resize_start(image_slot *, f32, f32) {}
APP_WEAK void ui_image(ui_context *, view_state *, ui_node *, ui_id, buffer, buffer, const buffer *, u32) {}
APP_WEAK void ui_image_status(ui_context *, ui_id, buffer, image_slot *) {}
