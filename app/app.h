// The reader application's contract: the application context and the view state that every view
// receives, the frame counter, the page setters, the application's styles and small widgets, and
// the views of the two panels (the feed and entry list, the entry pages with their HTML, the image
// cache, the right-hand pages) that the main window UI calls every frame.
#pragma once

#include "core/core.h"
#include "platform/platform.h"
#include "reader/reader.h"
#include "reader/fetch.h"
#include "reader/openers.h"
#include "reader/save.h"
#include "html/html.h"
#include "ui/ui.h"
#include "app/image_slot.h"

struct window;
struct gl_renderer;
struct font_collection;

// ---- Sizes -------------------------------------------------------------------------------

#define APP_FRAME_ARENA_BYTES MiB(10)
#define APP_PATH_BYTES 4096
#define APP_HTML_RESERVE_BYTES MiB(2048)  // address space only: the parse of a 2 MB entry needs about 130 MiB
#define APP_HTML_COMMIT_STEP MiB(1)
#define APP_TEXT_FIELD_BYTES 1024
// The list and the entry page build their rows and blocks this far beyond what a scroll view shows
// (half its height, at least the minimum), so a scroll between two frames lands on built ones.
#define APP_VISIBLE_MARGIN_MIN 64.0f
inline f32 app_visible_margin(f32 view_height) {
  return view_height * 0.5f > APP_VISIBLE_MARGIN_MIN ? view_height * 0.5f : APP_VISIBLE_MARGIN_MIN;
}
// About half a frame at 60 Hz for parsing arrived documents; the rest draws the window.
#define APP_QUERIES_BUDGET_NS 8000000

// ---- Types -------------------------------------------------------------------------------

enum view_page : u32 {
  view_page_main = 0,  // the selected entry, else the selected feed's settings, else help
  view_page_help = 1,
  view_page_add_feed = 2,
  view_page_links = 3,
  view_page_log = 4,
};

enum deleted_filter : u32 {
  deleted_filter_not_deleted = 0,  // "Feeds"
  deleted_filter_deleted = 1,      // "Deleted"
  deleted_filter_both = 2,         // "Both"
};

struct view_state {
  // The selection. When an entry is selected, its feed is the selected feed. Both point into the
  // store: whatever moves records (a parse, a sort, a purge) must take them again by id.
  feed *selected_feed;
  entry *selected_entry;
  u32 selection_changed;  // the next right-hand page resets its scroll offsets and clears it

  // The shown entry's parsed HTML; persists until the selection changes.
  arena html_reserve;  // address space, committed in steps as a parse needs it
  buffer html_arena;   // the view of html_reserve's committed bytes that the parse carves from
  u32 html_parsed;
  ::html_tokens html_tokens;
  ::html_tree html_tree;
  buffer html_traversal_memory;

  // Frame-loop requests.
  u32 another_frame;        // a view needs one more frame without waiting for input
  u32 scroll_to_selection;  // a navigation key moved the selection

  // The list's range and filters.
  u32 show_empty;
  u32 generation_from, generation_to;  // inclusive
  u32 log_auto_scroll;

  // Text boxes of the pages; each holds at most its 1024 bytes.
  u8 add_url_bytes[APP_TEXT_FIELD_BYTES];
  buffer add_url;
  u8 list_file_path_bytes[APP_TEXT_FIELD_BYTES];
  buffer list_file_path;
  u8 export_file_path_bytes[APP_TEXT_FIELD_BYTES];
  buffer export_file_path;
  u8 feed_uri_bytes[APP_TEXT_FIELD_BYTES];
  buffer feed_uri;

  u32 page;            // view_page
  u32 deleted_filter;  // deleted_filter
  u32 filter_active;   // the list's text filter row is open
  u8 list_filter_bytes[APP_TEXT_FIELD_BYTES];
  buffer list_filter;
};

struct app {
  // Emptied at the end of every frame.
  buffer frame_arena;

  // Made at start-up, kept for the whole run.
  ::window *window;
  view_state *view;
  ui_context *ui;
  gl_renderer *renderer;
  query *queries;
  u64 query_count;
  u32 start_generation;  // the store's generation right after loading
  u8 data_directory_bytes[APP_PATH_BYTES];
  buffer data_directory;  // no trailing separator
  u8 desktop_path_bytes[APP_PATH_BYTES];
  buffer desktop_path;

  // What the requests of the pages need: the fetch slots' context with the worker queue.
  fetch_context *fetch;
  // The frame loop stops handing done fetch slots to the parser once this much of the frame
  // has gone on them (the program entry sets APP_QUERIES_BUDGET_NS); 0 hands over every one.
  s64 queries_budget_ns;
  // The UI thread's whole-file operations (list import, export, the tree dump, the log) report
  // into this one sticky word; each user action clears it first, so one failure does not keep
  // the later actions from running.
  u32 file_error;
};

// Raised by the frame loop after every frame's swap; the image cache stamps its slots with it.
extern u64 frame_counter;
// The run's worker queue, for jobs queued by views that have no application context at hand (the
// image cache). Null until the program entry starts the queue.
extern thread_queue *app_queue;
// The store of the run, for the same views. Null until the program entry has built it.
extern reader *app_reader;

// ---- Set-up (program entry) --------------------------------------------------------------

// Zeroes the view state and gives it its start values: the add-feed page, both generation bounds
// at start_generation, "Auto scroll." on, its text buffers over their arrays. The HTML
// reservation is made separately (view_state_reserve_html) so tests can skip it.
void view_state_init(view_state *view, u32 start_generation);
// The generation the list opens on: the newest that holds an entry the list shows with the
// start's filters (one not deleted), or the store's generation when none does. A generation of
// only deleted entries (kept because an update could bring them back) would open on an empty list.
u32 view_start_generation(reader *r);
// The HTML reservation with its first step committed; false when the system refuses.
bool view_state_reserve_html(view_state *view);
// Gives back the HTML reservation.
void view_state_release_html(view_state *view);
// Zeroes the context and makes its path buffers; the frame arena is the caller's.
void app_init(app *a);
// The data folder (the value after "-path" when it is there and not empty, else the user's data
// folder with "quillmere") and the desktop folder, into the context's path buffers. False when
// no data folder could be found.
bool app_paths_init(app *a);

// ---- Teardown (program entry) ------------------------------------------------------------

// Ends the context's hold on process-wide places, so nothing set up for it outlives it: the
// fetch requests' generation hook forgets its view, and the run's queue and store (app_queue,
// app_reader), the store's image release hook and the slot table's release functions are unset
// again. Called once the workers have stopped and the store is saved.
void app_end(app *a);

// ---- Frame loop pieces (program entry) ---------------------------------------------------

// Fills the fetch context with the slots, the general allocator, the queue and the wake-up, and
// points the context at it. The run's first request moves the view to the new generation.
void app_fetch_init(app *a, fetch_context *c, query *slots, u32 count, thread_queue *queue,
                    fetch_wake_fn *wake);
// The store's generation + 1; the view's range becomes just that generation.
void app_new_generation(reader *r);
// Hands one done fetch slot to the parser (or logs its failure), restores the selection and
// frees the slot. The scratch arena must have room for the parser's node texts.
void app_query_handle(app *a, reader *r, query *slot, buffer *scratch);
// The done slots in the order their fetches were queued, until the context's budget is spent
// (at least one when any is done); when some are left the view is asked for another frame.
// Once no slot is queued or done the document buffers give their memory back. The count handled.
u32 app_queries_check(app *a, reader *r);
// Purges what is marked deleted, checks the store and saves it into the data folder. A failed
// save is logged, and its reason also written to standard error; false then.
bool app_save_at_exit(reader *r, buffer data_folder);
// "Save (F8)": a failed save shows the log page, where its reason is.
void app_save_now(app *a, reader *r);

// The fonts' lookups hand each code point they meet and do not list to the set, so that every
// character the window draws, from whatever text, gets its glyph at the next rebuild.
void app_fonts_watch(font_collection *fonts, codepoint_set *set);
// After the frame's UI is built: when the set holds code points the fonts were not built with,
// gives them the set's list, rebuilds glyphs and atlas and asks for one more frame, laid out with
// the new glyphs. True when it rebuilt: the caller drops the text batches' atlas textures.
bool app_fonts_follow_codepoints(app *a, font_collection *fonts, codepoint_set *set);

// ---- Page setters ------------------------------------------------------------------------

void view_show_help(app *a);
void view_show_add_feed(app *a);
void view_show_links(app *a);
void view_show_log(app *a);

// ---- Styles, links and hover rows --------------------------------------------------------

// Indices of the application's styles in the UI context's style table, set by ui_init_styles.
extern u32 style_link, style_root, style_warning, style_title, style_row, style_row_hot,
    style_separator, style_list_feed, style_list_feed_selected, style_list_feed_title,
    style_list_entry_even, style_list_entry_odd, style_list_entry_selected, style_entry_header,
    style_log, style_left_panel, style_right_panel, style_page, style_paragraph,
    style_paragraph_indented, style_list_match;
#define APP_STYLE_COUNT 21

// Appends the application's styles to the context's table (once, at start-up).
void ui_init_styles(ui_context *ctx);

struct ui_link_result {
  ui_node *node;
  u32 clicked;
};
// A link element; several nodes may share one id when a link's text wraps.
ui_link_result ui_link(ui_context *ctx, ui_id id, buffer text, bool copy);
// Hot and click state of a link over all of last frame's nodes with its id.
u32 ui_link_behaviour(ui_context *ctx, ui_id id);
// A row that lights up while the mouse is over it; the caller pushes it as parent and fills it.
ui_node *ui_hover_row(ui_context *ctx, ui_id id);
// Opens the link through the feed's opener, or queues it when the opener queues.
void reader_open_entry_link(reader *r, feed *f, buffer url);
// Opens or queues the entry's article, its link read against the feed's address when relative.
void reader_open_entry_article(app *a, reader *r, feed *f, entry *e);

// ---- Main window UI ----------------------------------------------------------------------

// Builds, lays out and renders one frame of UI.
void ui_main(app *a, reader *r);

// ---- Pages -------------------------------------------------------------------------------

void ui_view_help(app *a, reader *r);
void ui_view_add(app *a, reader *r);
void ui_view_links(app *a, reader *r);
void ui_view_rss_settings(app *a, reader *r);
void ui_view_atom_settings(app *a, reader *r);
void ui_view_log(app *a, reader *r);

// Actions of the add page, without UI. Each returns what it did and leaves a failure in the
// context's file error word (logged).
fetch_request_result app_add_feed_from_view(app *a, reader *r);
u32 app_add_feeds_from_list_file(app *a, reader *r);
// Writes every live feed's URL, one per line, to the export path (the desktop's "list.txt" when
// the path is empty; the path box then shows it). The bytes written, or 0 on failure.
u64 app_export_feed_list(app *a, reader *r);
// Requests an update of the selected feed; false when none is selected or it was refused.
bool app_update_selected_feed(app *a, reader *r);
// "Browse": opens the file dialog at the box's path (the export box's in save mode); the box
// takes the chosen path in the frame the answer arrives (app_browse_poll), a cancel leaves it.
bool app_browse_file(buffer *box, u32 mode);
// Each frame of the add page: hands a finished dialog's answer to its box.
void app_browse_poll();

// ---- Feed and entry list -----------------------------------------------------------------

void view_list(app *a, reader *r);
void view_handle_keys(app *a, reader *r);
void view_close_page(app *a);
void view_list_generation_minimum(view_state *view, reader *r);
void view_list_generation_maximum(view_state *view, reader *r);
void view_list_generation_all(view_state *view, reader *r);
void view_list_generation_increase(view_state *view, reader *r, u32 move);
void view_list_generation_decrease(view_state *view, reader *r, u32 move);

// ---- Entry display and HTML --------------------------------------------------------------

void ui_parse_entry_html(view_state *view, buffer html, int *err);
buffer buffer_push_grow(view_state *view, u64 n);
void view_rss_entry(app *a, reader *r);
void view_atom_entry(app *a, reader *r);
void ui_html(reader *r, view_state *view, ui_context *ctx, html_tree_traversal *traversal,
             ui_node *page_scroll);

// ---- Image cache -------------------------------------------------------------------------

image_slot *image_get(u32 owner_id, buffer url, u32 create);
void image_job_load(void *slot);
void image_job_resize(void *slot);
void image_resize_start(image_slot *slot, f32 width, f32 height);
void ui_image(ui_context *ctx, view_state *view, ui_node *scroll, ui_id id, buffer url, buffer alt,
              const buffer *link, u32 create);
void ui_image_status(ui_context *ctx, ui_id id, buffer alt, image_slot *slot);
