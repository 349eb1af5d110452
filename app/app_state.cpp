// The application context, the view state and the page setters.
#include "app/app.h"

u64 frame_counter;
thread_queue *app_queue;
reader *app_reader;

void view_state_init(view_state *view, u32 start_generation) {
  memory_zero(view, sizeof(*view));
  view->show_empty = 0;
  view->generation_from = start_generation;
  view->generation_to = start_generation;
  view->add_url = buffer_make(sizeof(view->add_url_bytes), 0, view->add_url_bytes);
  view->list_file_path = buffer_make(sizeof(view->list_file_path_bytes), 0, view->list_file_path_bytes);
  view->export_file_path = buffer_make(sizeof(view->export_file_path_bytes), 0, view->export_file_path_bytes);
  view->feed_uri = buffer_make(sizeof(view->feed_uri_bytes), 0, view->feed_uri_bytes);
  view->page = view_page_add_feed;
  view->log_auto_scroll = 1;
  view->deleted_filter = deleted_filter_not_deleted;
  view->list_filter = buffer_make(sizeof(view->list_filter_bytes), 0, view->list_filter_bytes);
}

u32 view_start_generation(reader *r) {
  u32 shown = reader_prev_generation(r, r->generation + 1, 0, 0);
  return shown <= r->generation ? shown : r->generation;
}

bool view_state_reserve_html(view_state *view) {
  // Quiet: an entry too large for it is reported by the parse, which then shows the raw text.
  if (!arena_reserve(&view->html_reserve, APP_HTML_RESERVE_BYTES, APP_HTML_COMMIT_STEP, APP_HTML_COMMIT_STEP,
                     "Entry HTML", arena_flag_quiet)) {
    return false;
  }
  view->html_arena = arena_view(&view->html_reserve);
  return true;
}

void view_state_release_html(view_state *view) {
  arena_release(&view->html_reserve);
  view->html_arena = buffer{};
}

void app_init(app *a) {
  memory_zero(a, sizeof(*a));
  a->data_directory = buffer_make(sizeof(a->data_directory_bytes), 0, a->data_directory_bytes);
  a->desktop_path = buffer_make(sizeof(a->desktop_path_bytes), 0, a->desktop_path_bytes);
}

static void view_show_page(app *a, u32 page) {
  a->view->selection_changed = 1;
  a->view->page = page;
}

void view_show_help(app *a) { view_show_page(a, view_page_help); }
void view_show_add_feed(app *a) { view_show_page(a, view_page_add_feed); }
void view_show_links(app *a) { view_show_page(a, view_page_links); }
void view_show_log(app *a) { view_show_page(a, view_page_log); }

// Both paths are carved at the start of their own arrays, so the carved view is the buffer's
// content; a trailing separator is dropped.
static void path_from_carve(buffer *target, buffer carved) {
  target->used = carved.data ? carved.used : 0;
  while (target->used > 1 && target->data[target->used - 1] == '/') target->used--;
}

bool app_paths_init(app *a) {
  buffer arena = buffer_make(sizeof(a->data_directory_bytes), 0, a->data_directory_bytes);
  path_from_carve(&a->data_directory, platform_data_folder(&arena));
  arena = buffer_make(sizeof(a->desktop_path_bytes), 0, a->desktop_path_bytes);
  path_from_carve(&a->desktop_path, platform_get_path(&arena, platform_folder_desktop));
  return a->data_directory.used != 0;
}
