// PLACEHOLDERS, to be deleted when the list, entry and image cache views land: weak stand-ins so
// the program links and runs before them. Each does the least that keeps the frame sound.
#include "app/app.h"

#define APP_WEAK __attribute__((weak))

APP_WEAK void ui_parse_entry_html(view_state *, buffer, int *) {}
APP_WEAK buffer buffer_push_grow(view_state *, u64) { return buffer{}; }
APP_WEAK void view_rss_entry(app *, reader *) {}
APP_WEAK void view_atom_entry(app *, reader *) {}
APP_WEAK void ui_html(reader *, view_state *, ui_context *, html_tree_traversal *, ui_node *) {}

APP_WEAK void ui_image(ui_context *, view_state *, ui_node *, ui_id, buffer, buffer, const buffer *, u32) {}
APP_WEAK void ui_image_status(ui_context *, ui_id, buffer, image_slot *) {}
