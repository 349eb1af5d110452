// The right-hand pages: help, add feed, links, the feed settings of RSS and Atom feeds, and the
// log; and the add page's actions, which also run without UI.
#include "app/app.h"
#include "app/view_list.h"

#include "gfx/window.h"
#include "profiler/profiler.h"
#include "ui/text_box.h"
#include "ui/widgets.h"

// Fonts of the collection, in the order the program entry adds them.
enum : u32 {
  font_verdana_14 = 0,
  font_verdana_16 = 1,
  font_verdana_20 = 2,
  font_lucida_12 = 3,
};

// Small fixed ids of the pages' single widgets.
enum : ui_id {
  id_page_scroll = 4,
  id_add_url = 5,
  id_browse_list = 6,
  id_add_list = 7,
  id_browse_export = 8,
  id_export = 9,
  id_log_scroll = 19,
};

#define EXPORT_LIST_BYTES 8192

// Bits 47 to 51 tell apart the widgets of one record.
static ui_id id_tagged(const void *record, u64 tag) { return (u64)(uintptr_t)record | (tag << 47); }

// ---- Actions -----------------------------------------------------------------------------

fetch_request_result app_add_feed_from_view(app *a, reader *r) {
  return app_add_feed(a->fetch, r, a->view->add_url);
}

u32 app_add_feeds_from_list_file(app *a, reader *r) {
  // Each action starts afresh: an earlier failure (another file, the tree dump) must not keep the
  // user from importing now.
  a->file_error = 0;
  u32 queued = app_add_feeds_from_file(a->fetch, r, a->view->list_file_path, &a->file_error);
  if (a->file_error) {
    log_file_error_reason(string_lit("Import of the list file"), a->view->list_file_path, a->file_error,
                          file_error_reason());
  }
  return queued;
}

u64 app_export_feed_list(app *a, reader *r) {
  view_state *v = a->view;
  u8 bytes[EXPORT_LIST_BYTES];
  buffer list = buffer_make(sizeof bytes, 0, bytes);
  pool_iterator it = pool_iterator_init(&r->feeds, sizeof(feed), feed_is_live);
  while (feed *f = (feed *)pool_iterator_next(&it)) {
    // A line that no longer fits is left out whole; a shorter later one may still fit.
    if (list.used + f->url.used + 1 > list.size) continue;
    buffer_push_bytes(&list, f->url.data, f->url.used);
    buffer_push_bytes(&list, "\n", 1);
  }
  if (v->export_file_path.used == 0) {
    // Without a desktop folder that fits the box there is no default: "/list.txt" alone would
    // land in the file system's root.
    buffer path = v->export_file_path;
    if (a->desktop_path.used == 0 || !buffer_push_bytes(&path, a->desktop_path.data, a->desktop_path.used) ||
        !buffer_push_bytes(&path, "/list.txt", 9)) {
      log_file_error(string_lit("Export of the feed list"), string_lit("list.txt"), file_error_path);
      return 0;
    }
    v->export_file_path.used = path.used;
  }
  a->file_error = 0;
  u64 written = file_write_all(v->export_file_path, list.data, list.used, 1, &a->file_error);
  if (a->file_error) {
    log_file_error_reason(string_lit("Export of the feed list"), v->export_file_path, a->file_error, file_error_reason());
    return 0;
  }
  return written;
}

bool app_update_selected_feed(app *a, reader *r) {
  fetch_open_generation(a->fetch, r);
  feed *f = a->view->selected_feed;
  if (!f || !feed_is_live(f)) return false;
  return app_update_feed(a->fetch, r, f);
}

// ---- Common parts ------------------------------------------------------------------------

static ui_node *page_begin(app *a, ui_id id) {
  ui_context *ctx = a->ui;
  ui_node *content = ui_scrollable_begin(ctx, id, ui_size_parent_content_make(), ui_size_fill_make(),
                                         ui_node_flag_scroll_y);
  if (a->view->selection_changed) {
    content->scroll[0] = 0;
    content->scroll[1] = 0;
    a->view->selection_changed = 0;
  }
  content->flags |= ui_node_flag_stack_y | ui_node_flag_padding;
  content->size_x = ui_size_parent_make();
  content->style = style_page;
  return content;
}

static void page_end(app *a) { ui_scrollable_end(a->ui); }

static void page_title(ui_context *ctx, buffer text) {
  u32 previous = ui_font_set(ctx, font_verdana_20);
  ui_text(ctx, UI_ID_NONE, text, style_title, ui_node_flag_padding);
  ui_font_set(ctx, previous);
  ui_font_set(ctx, font_verdana_16);
}

static void paragraph(ui_context *ctx, buffer text, u32 style, u64 flags) {
  ui_flow_begin(ctx, style, flags);
  ui_flow_text(ctx, text);
  ui_flow_end(ctx);
}

static void space_y(ui_context *ctx, f32 pixels) { ui_space_y(ctx, ui_size_pixels_make(pixels)); }
static void space_x(ui_context *ctx, f32 pixels) { ui_space_x(ctx, ui_size_pixels_make(pixels)); }

static ui_node *row_begin(ui_context *ctx) {
  ui_node *row = ui_node_create(ctx, UI_ID_NONE, ui_size_parent_content_make(), ui_size_children_make(),
                                ui_node_flag_stack_x | ui_node_flag_centre_children_y);
  ui_parent_push(ctx, row);
  return row;
}

// A check box over a u32 flag of the application's records.
static bool checkbox_u32(ui_context *ctx, ui_id id, u32 *value, buffer text) {
  int v = *value != 0;
  bool clicked = ui_checkbox(ctx, id, &v, text);
  *value = (u32)v;
  return clicked;
}

// ---- Help --------------------------------------------------------------------------------

void ui_view_help(app *a, reader *) {
  PROFILE_ZONE(zone_ui_view_help);
  ui_context *ctx = a->ui;
  page_begin(a, id_page_scroll);
  page_title(ctx, string_lit("Help"));
  u64 pad = ui_node_flag_padding;
  paragraph(ctx,
            string_lit("The left panel lists the feeds and their entries. Entries are grouped by generation: a "
                       "generation is about one run of the program, the entries that arrived with the updates "
                       "of that run. By default only the last generation is shown; the buttons at the top set "
                       "the range of generations shown."),
            style_paragraph, pad);
  static const char *const keys[] = {
      "[ | ] Set the generation to the minimun <S>.",
      "[ -] ] Decrease the generation minimum, but keeps the generation maximum. <Shift + NumPad->.",
      "[ - ] Decrease the generation minimum and set the maximum to the same value. <NumPad->.",
      "[All] Display all generations <A>.",
      "[ + ] Increase the generation maximum and set the minimum to the same value. <NumPad+>.",
      "[ [+ ] Increase the generation maximum, but keeps the generation minimum. <Shift + NumPad+>.",
      "[ | ] Set the generation to the maximum <E>.",
  };
  for (const char *k : keys) paragraph(ctx, string_from_bytes(k, string_length(k)), style_paragraph_indented, pad);
  paragraph(ctx,
            string_lit("\"Show empty\" also lists the feeds that have no entry in the shown generations. The "
                       "dropdown chooses between the feeds and entries that are not deleted (\"Feeds\"), the "
                       "deleted ones (\"Deleted\") and both (\"Both\")."),
            style_paragraph, pad);
  paragraph(ctx,
            string_lit("In the list, Up, Down, Page Up and Page Down select entries and feeds, Home and End go to "
                       "the first and last entry of the feed. Return opens the selected entry's link. Delete "
                       "removes the selected entry, Shift + Delete the selected feed; Backspace restores the "
                       "selected entry or feed, Shift + Backspace a feed with all its entries. Ctrl + F filters "
                       "the list by title."),
            style_paragraph, pad);
  paragraph(ctx,
            string_lit("The right panel shows the selected entry, or the settings of the selected feed, or one of "
                       "the pages of the buttons above it. The links page configures the programs that open "
                       "links; each feed chooses one on its settings page."),
            style_paragraph, pad);
  paragraph(ctx,
            string_lit("Deleted feeds and entries can be restored until the program closes. Nothing is updated at "
                       "start-up: press \"Update all\" to fetch the feeds. The store is saved when the program "
                       "closes; the Save button is there for testing."),
            style_paragraph, pad);
  paragraph(ctx,
            string_lit("The argument -path followed by a folder sets where the store is kept. By default it is the "
                       "folder \"quillmere\" in the user's data folder."),
            style_paragraph, pad);
  page_end(a);
}

// ---- Add feed ----------------------------------------------------------------------------

// The box the open file dialog answers into; null while none is open.
static buffer *browse_box;

bool app_browse_file(buffer *box, u32 mode) {
  if (browse_box) {
    log_append_string(string_lit("File dialog: one is already open; its answer goes to its own box.\n"));
    return false;
  }
  if (!file_chooser_start(*box, mode, window_wake)) return false;
  browse_box = box;
  return true;
}

void app_browse_poll() {
  if (!browse_box) return;
  // A chosen path replaces the box's text; one that does not fit the box leaves it (logged).
  if (file_chooser_poll(browse_box) == file_chooser_running) return;
  browse_box = nullptr;
}

void ui_view_add(app *a, reader *r) {
  PROFILE_ZONE(zone_ui_view_add);
  ui_context *ctx = a->ui;
  view_state *v = a->view;
  app_browse_poll();
  page_begin(a, id_page_scroll);
  page_title(ctx, string_lit("Add feed"));

  paragraph(ctx, string_lit("URL to a RSS feed, Atom feed or youtube channel."), 0, 0);
  row_begin(ctx);
  ui_textbox_result box = ui_textbox(ctx, (ui_id)(uintptr_t)&v->add_url, &v->add_url);
  space_x(ctx, 2);
  if (ui_button(ctx, id_add_url, string_lit("Add")) || box.key == ui_textbox_key_enter) app_add_feed_from_view(a, r);
  ui_parent_pop(ctx);
  space_y(ctx, 5);

  paragraph(ctx, string_lit("Path to a text file containing a list of URLs to a RSS feed, Atom feed or youtube channel."),
            0, 0);
  row_begin(ctx);
  box = ui_textbox(ctx, (ui_id)(uintptr_t)&v->list_file_path, &v->list_file_path);
  space_x(ctx, 2);
  if (ui_button(ctx, id_browse_list, string_lit("Browse"))) app_browse_file(&v->list_file_path, file_chooser_mode_open);
  space_x(ctx, 2);
  if (ui_button(ctx, id_add_list, string_lit("Add")) || box.key == ui_textbox_key_enter) app_add_feeds_from_list_file(a, r);
  ui_parent_pop(ctx);
  space_y(ctx, 5);

  paragraph(ctx, string_lit("Path to a text file to export a list of URLs from the feed added in the application."), 0, 0);
  row_begin(ctx);
  box = ui_textbox(ctx, (ui_id)(uintptr_t)&v->export_file_path, &v->export_file_path);
  space_x(ctx, 2);
  if (ui_button(ctx, id_browse_export, string_lit("Browse")))
    app_browse_file(&v->export_file_path, file_chooser_mode_save);
  space_x(ctx, 2);
  if (ui_button(ctx, id_export, string_lit("Export")) || box.key == ui_textbox_key_enter) app_export_feed_list(a, r);
  ui_parent_pop(ctx);
  space_y(ctx, 5);

  paragraph(ctx,
            string_lit("Youtube: give a channel by the address of its channel-id page (youtube.com/channel/ "
                       "followed by the id). Addresses by user name (/user/ or /c/) also work, but some channels "
                       "show a display name that gives no feed. The site's feeds hold only a channel's last 15 "
                       "videos: more than 15 new videos between two updates lose some."),
            0, 0);
  page_end(a);
}

// ---- Links -------------------------------------------------------------------------------

#define OPENER_NAME_EDIT_BYTES 128
#define OPENER_PROGRAM_EDIT_BYTES 1024

// The boxes edit copies that must outlive the frame (the toolkit reads them next frame).
static u8 opener_name_edit[READER_LINK_OPENER_COUNT][OPENER_NAME_EDIT_BYTES];
static u8 opener_program_edit[READER_LINK_OPENER_COUNT][OPENER_PROGRAM_EDIT_BYTES];

static buffer edit_copy(u8 *area, u64 size, buffer text) {
  buffer b = buffer_make(size, 0, area);
  u64 n = text.used < size ? text.used : size;
  // Never cut inside a character.
  while (n > 0 && n < text.used && (text.data[n] & 0xC0) == 0x80) n--;
  buffer_push_bytes(&b, text.data, n);
  return b;
}

// Stores an edited text back into an opener's field; a longer text takes a new block of the
// general allocator, whose old block (when the allocator holds it) goes back.
static void opener_store(buffer *field, buffer edited) {
  if (string_equal(*field, edited)) return;
  if (edited.used > field->size || !field->data) {
    buffer block = allocator_alloc(&app_allocator, edited.used);
    if (!block.data) return;
    if (field->data && allocator_owns(&app_allocator, field->data)) allocator_free(&app_allocator, field->data, field->size);
    *field = buffer{block.size, 0, block.data};
  }
  if (edited.used) memory_copy(field->data, edited.data, edited.used);
  field->used = edited.used;
}

// The command of the program that opens web links by the desktop's choice (https first, then
// http), runnable as the opener's program: links are appended as further arguments, or put where
// an argument holds "%u".
static void opener_default_program(buffer *program) {
  program->used = 0;
  u8 bytes[2048];
  buffer out = buffer_make(sizeof bytes, 0, bytes);
  buffer command = link_default_program(string_lit("https"), &out);
  if (!command.data) command = link_default_program(string_lit("http"), &out);
  if (!command.data) {
    log_append_string(string_lit("Get OS default: the desktop names no installed program for web links "
                                 "(x-scheme-handler/https in mimeapps.list).\n"));
    return;
  }
  if (command.used > program->size) {
    log_append_string(string_lit("Get OS default: the default program's command is too long for the box.\n"));
    return;
  }
  memory_copy(program->data, command.data, command.used);
  program->used = command.used;
}

static void queue_number_text(ui_context *ctx, u32 count, buffer suffix) {
  u8 bytes[64];
  buffer b = buffer_make(sizeof bytes, 0, bytes);
  buffer_push_unsigned(&b, count, 0, ' ', 0);
  buffer_push_bytes(&b, suffix.data, suffix.used);
  ui_text(ctx, UI_ID_NONE, b, 0, 0);
}

void ui_view_links(app *a, reader *r) {
  PROFILE_ZONE(zone_ui_view_links);
  ui_context *ctx = a->ui;
  page_begin(a, id_page_scroll);
  page_title(ctx, string_lit("Links"));
  paragraph(ctx,
            string_lit("A link configuration (an executable and a name) is assigned to feeds on the feed's settings "
                       "page. An empty executable means the desktop's default application. [Get OS default] "
                       "fetches the default program for web links; links are appended at the end of the command, "
                       "separated by spaces, or each put in place of %u in an argument without spaces "
                       "(--url=%u), one program per link. Queuing keeps the program from losing the focus and "
                       "opens queued links together, at the latest when the program closes."),
            style_paragraph, ui_node_flag_padding);
  for (u32 k = 0; k < READER_LINK_OPENER_COUNT; k++) {
    link_opener *o = &r->link_openers[k];
    space_y(ctx, 10);
    ui_node *block = ui_node_create(ctx, UI_ID_NONE, ui_size_parent_content_make(), ui_size_children_make(),
                                    ui_node_flag_stack_y);
    ui_parent_push(ctx, block);

    row_begin(ctx);
    ui_text(ctx, UI_ID_NONE, string_lit("Name"), 0, 0);
    space_x(ctx, 2);
    buffer name = edit_copy(opener_name_edit[k], OPENER_NAME_EDIT_BYTES, o->name);
    ui_textbox_result box = ui_textbox(ctx, (ui_id)(uintptr_t)o, &name);
    ui_node_set_tag(box.node, string_lit("name"));
    opener_store(&o->name, name);
    ui_parent_pop(ctx);

    row_begin(ctx);
    ui_text(ctx, UI_ID_NONE, string_lit("Executable"), 0, 0);
    space_x(ctx, 2);
    buffer program = edit_copy(opener_program_edit[k], OPENER_PROGRAM_EDIT_BYTES, o->program);
    box = ui_textbox(ctx, (ui_id)(uintptr_t)o + 24, &program);
    ui_node_set_tag(box.node, string_lit("executable"));
    space_x(ctx, 2);
    if (ui_button(ctx, id_tagged(o, 1), string_lit("Get OS default"))) opener_default_program(&program);
    opener_store(&o->program, program);
    ui_parent_pop(ctx);

    space_y(ctx, 10);
    checkbox_u32(ctx, id_tagged(o, 2), &o->queue_mode, string_lit("Queue links and open them all later."));

    // Last frame's "X" buttons act before anything of the queue is drawn, one link per frame, so
    // the ids of the links drawn below belong to the queue as it now stands.
    buffer queue = string_from_bytes(o->queue.data, o->queue.used);
    for (u64 i = 0; i < queue.used;) {
      while (i < queue.used && queue.data[i] == ' ') i++;
      u64 begin = i;
      while (i < queue.used && queue.data[i] != ' ') i++;
      if (i == begin) break;
      ui_node *x = ui_find_previous(ctx, id_tagged(queue.data + begin, 1));
      if (x && ui_clicked(ctx, x)) {
        link_queue_remove(o, string_from_bytes(queue.data + begin, i - begin));
        break;
      }
    }

    space_y(ctx, 10);
    row_begin(ctx);
    queue_number_text(ctx, link_queue_count(o), string_lit(" queued links"));
    space_x(ctx, 10);
    bool open_all = ui_button(ctx, id_tagged(o, 3), string_lit("Open all"));
    space_x(ctx, 2);
    bool remove_all = ui_button(ctx, id_tagged(o, 4), string_lit("Remove all"));
    ui_parent_pop(ctx);
    space_y(ctx, 10);

    queue = string_from_bytes(o->queue.data, o->queue.used);
    u64 k_link = 0;
    for (u64 i = 0; i < queue.used;) {
      while (i < queue.used && queue.data[i] == ' ') i++;
      u64 begin = i;
      while (i < queue.used && queue.data[i] != ' ') i++;
      if (i == begin) break;
      buffer link = string_from_bytes(queue.data + begin, i - begin);
      ui_node *row = ui_hover_row(ctx, ((k_link + 4) << 47) | (u64)(uintptr_t)o);
      ui_parent_push(ctx, row);
      ui_text(ctx, UI_ID_NONE, link, 0, 0);
      space_x(ctx, 2);
      if (ui_button(ctx, (ui_id)(uintptr_t)link.data, string_lit("Open"))) link_open_now(link, o);
      space_x(ctx, 2);
      // Acts only through the pass above, so the queue never changes under this loop.
      ui_button(ctx, id_tagged(link.data, 1), string_lit("X"));
      ui_parent_pop(ctx);
      k_link++;
    }
    if (open_all) link_queue_open(&app_allocator, o, 0);
    if (remove_all) link_queue_free(&app_allocator, o);

    if (k + 1 < READER_LINK_OPENER_COUNT) {
      space_y(ctx, 10);
      ui_node *line = ui_node_create(ctx, UI_ID_NONE, ui_size_parent_content_make(), ui_size_pixels_make(2),
                                     ui_node_flag_background);
      line->style = style_separator;
    }
    ui_parent_pop(ctx);
  }
  page_end(a);
}

// ---- Feed settings -----------------------------------------------------------------------

static void settings_uri_row(app *a, reader *r, feed *f) {
  ui_context *ctx = a->ui;
  view_state *v = a->view;
  // The box shows the feed's URL every frame. A URL longer than the box shows its start and is
  // replaced only once the user edits that start.
  v->feed_uri = edit_copy(v->feed_uri_bytes, sizeof v->feed_uri_bytes, f->url);
  u64 shown = v->feed_uri.used;
  row_begin(ctx);
  ui_text(ctx, UI_ID_NONE, string_lit("URI: "), 0, 0);
  ui_textbox(ctx, id_tagged(f, 1), &v->feed_uri);
  ui_parent_pop(ctx);
  if (v->feed_uri.used == shown && string_equal(v->feed_uri, string_from_bytes(f->url.data, shown))) return;
  if (v->feed_uri.used <= f->url.size && f->url.data) {
    memory_copy(f->url.data, v->feed_uri.data, v->feed_uri.used);
    f->url.used = v->feed_uri.used;
  } else {
    // Room for small further edits in place.
    u8 bytes[APP_TEXT_FIELD_BYTES + 16];
    buffer copy = buffer_make(v->feed_uri.used + 16, v->feed_uri.used, bytes);
    memory_copy(bytes, v->feed_uri.data, v->feed_uri.used);
    buffer stored = reader_add_string(r, copy);
    if (stored.data) f->url = stored;
  }
  reader_feed_url_changed(r, f);
}

static void settings_common_tail(app *a, reader *r, feed *f, meta *m) {
  ui_context *ctx = a->ui;
  space_y(ctx, 4);
  row_begin(ctx);
  ui_text(ctx, UI_ID_NONE, string_lit("Executable: "), 0, 0);
  buffer *items = (buffer *)ui_text_push(ctx, sizeof(buffer) * READER_LINK_OPENER_COUNT, 8);
  if (items) {
    u64 selected = 0;
    for (u32 k = 0; k < READER_LINK_OPENER_COUNT; k++) {
      link_opener *o = &r->link_openers[k];
      // An empty item points at its opener, so empty names keep distinct ids.
      items[k] = o->name.used ? buffer{o->name.used, o->name.used, o->name.data} : buffer{0, 0, (u8 *)o};
      if (m->opener == o) selected = k;
    }
    u64 chosen = ui_dropdown(ctx, id_tagged(m, 2), ui_size_children_make(), items, READER_LINK_OPENER_COUNT, selected);
    if (chosen < READER_LINK_OPENER_COUNT) m->opener = &r->link_openers[chosen];
  }
  ui_parent_pop(ctx);
  space_y(ctx, 4);
  if (feed_is_deleted(f)) {
    if (ui_button(ctx, id_tagged(f, 3), string_lit("Restore feed"))) {
      reader_unmark_feed_deleted(r, f, 1);
      view_list_stale();
    }
  } else if (ui_button(ctx, id_tagged(f, 4), string_lit("Delete feed"))) {
    reader_mark_feed_deleted(r, f);
    view_list_stale();
  }
}

static void settings_page(app *a, reader *r, bool rss) {
  ui_context *ctx = a->ui;
  feed *f = a->view->selected_feed;
  meta *m = f ? reader_get_meta(r, f->id) : nullptr;
  page_begin(a, id_page_scroll);
  if (f && m) {
    settings_uri_row(a, r, f);
    space_y(ctx, 4);
    u32 oldest = (m->flags & meta_flag_oldest_first) != 0;
    if (checkbox_u32(ctx, id_tagged(m, 5), &oldest, string_lit("Sort oldest to newest entries."))) {
      m->flags = oldest ? m->flags | meta_flag_oldest_first : m->flags & ~(u32)meta_flag_oldest_first;
      reader_sort_feed_entries(r, f);
      view_list_stale();  // the sort moves entries inside their pool
    }
    if (rss) {
      space_y(ctx, 2);
      u32 hide = (m->flags & meta_flag_hide_enclosure) != 0;
      if (checkbox_u32(ctx, id_tagged(m, 6), &hide, string_lit("Hide enclosure.")))
        m->flags = hide ? m->flags | meta_flag_hide_enclosure : m->flags & ~(u32)meta_flag_hide_enclosure;
      space_y(ctx, 2);
      u32 draw = (m->flags & meta_flag_draw_enclosure_image) != 0;
      if (checkbox_u32(ctx, id_tagged(m, 7), &draw, string_lit("Draw enclosure image.")))
        m->flags = draw ? m->flags | meta_flag_draw_enclosure_image : m->flags & ~(u32)meta_flag_draw_enclosure_image;
    }
    settings_common_tail(a, r, f, m);
  }
  page_end(a);
}

void ui_view_rss_settings(app *a, reader *r) {
  PROFILE_ZONE(zone_ui_view_rss_settings);
  settings_page(a, r, true);
}

void ui_view_atom_settings(app *a, reader *r) {
  PROFILE_ZONE(zone_ui_view_atom_settings);
  settings_page(a, r, false);
}

// ---- Log ---------------------------------------------------------------------------------

void ui_view_log(app *a, reader *) {
  PROFILE_ZONE(zone_ui_view_log);
  ui_context *ctx = a->ui;
  view_state *v = a->view;
  space_y(ctx, 4);
  u32 previous = ui_font_set(ctx, font_verdana_20);
  row_begin(ctx);
  space_x(ctx, 2);
  ui_text(ctx, UI_ID_NONE, string_lit("Log"), 0, 0);
  space_x(ctx, 2);
  ui_parent_pop(ctx);
  space_y(ctx, 10);
  ui_font_set(ctx, font_verdana_16);
  row_begin(ctx);
  space_x(ctx, 2);
  checkbox_u32(ctx, (ui_id)(uintptr_t)&v->log_auto_scroll, &v->log_auto_scroll, string_lit("Auto scroll."));
  space_x(ctx, 2);
  ui_parent_pop(ctx);
  space_y(ctx, 10);
  ui_font_set(ctx, font_lucida_12);
  ui_node *block = ui_node_create(ctx, UI_ID_NONE, ui_size_parent_content_make(), ui_size_fill_make(), ui_node_flag_stack_x);
  ui_parent_push(ctx, block);
  space_x(ctx, 2);
  ui_node *content = ui_scrollable_begin(ctx, id_log_scroll, ui_size_fill_make(), ui_size_parent_make(),
                                         ui_node_flag_scroll_x | ui_node_flag_scroll_y);
  if (v->selection_changed) {
    content->scroll[0] = 0;
    content->scroll[1] = 0;
    v->selection_changed = 0;
  }
  content->style = style_log;
  content->flags |= ui_node_flag_background;
  buffer text = log_last_text();
  if (text.used == 0) text = string_lit("No log entries.");
  ui_node *n = ui_node_create(ctx, UI_ID_NONE, ui_size_text_make(), ui_size_text_make(), ui_node_flag_text);
  n->style = ui_style_text;
  ui_node_set_text(ctx, n, text, false);  // the log's bytes never move
  ui_node_set_tag(n, string_lit("log"));
  if (v->log_auto_scroll) content->scroll[1] = UI_UNBOUNDED;
  ui_scrollable_end(ctx);
  ui_parent_pop(ctx);
  ui_font_set(ctx, previous);
}
