// The main window UI: the left panel with the generation buttons, the list filter and the list,
// the right panel with the command buttons and one page, the shortcuts, and the tree dump.
#include "app/app.h"
#include "app/view_list.h"

#include "gfx/input.h"
#include "gfx/window.h"
#include "profiler/profiler.h"
#include "ui/text_box.h"
#include "ui/widgets.h"

// Kept for the run; the splitter writes the dragged width back.
static ui_size left_pane_width = {ui_size_kind_pixels, 0, 450, 0, nullptr};

enum : ui_id {
  id_list_filter = 1,
  id_list_filter_close = 2,
  id_list_scroll = 3,
};

// The buttons' labels; their addresses are the buttons' ids, stable across frames.
static const char label_minimum[] = "|";
static const char label_decrease_keep[] = "-]";
static const char label_decrease[] = "-";
static const char label_all[] = "All";
static const char label_increase[] = "+";
static const char label_increase_keep[] = "[+";
static const char label_maximum[] = "|";
static const char label_help[] = "Help (F1)";
static const char label_add_feed[] = "Add feed (F2)";
static const char label_links[] = "Links (F3)";
static const char label_open_queued[] = "Open queued links (F4)";
static const char label_update_all[] = "Update all (F5)";
static const char label_update_selected[] = "Update selected (F6)";
static const char label_log[] = "Log (F7)";
static const char label_save[] = "Save (F8)";

static u8 key_of_virtual(u32 vk) { return input_key_index_from_virtual_key[vk & 0xFF]; }
static u8 key_letter(char c) { return (u8)(key_a + (c - 'A')); }
static u8 key_function(u32 n) { return (u8)(key_f1 + (n - 1)); }

static ui_id id_of(const char *label) { return (ui_id)(uintptr_t)label; }
static buffer text_of(const char *label) { return string_from_bytes(label, string_length(label)); }

// A button that also acts on its shortcut (no element active).
static bool button_or_key(ui_context *ctx, const char *label, u8 key, u8 modifiers) {
  bool clicked = ui_button(ctx, id_of(label), text_of(label));
  return clicked | ui_shortcut(ctx, key, modifiers);
}

static void space_x(ui_context *ctx, f32 pixels) { ui_space_x(ctx, ui_size_pixels_make(pixels)); }
static void space_y(ui_context *ctx, f32 pixels) { ui_space_y(ctx, ui_size_pixels_make(pixels)); }

static ui_node *button_bar_begin(ui_context *ctx, const char *tag) {
  ui_node *bar = ui_node_create(ctx, UI_ID_NONE, ui_size_parent_content_make(), ui_size_children_make(),
                                ui_node_flag_clip | ui_node_flag_stack_x);
  ui_node_set_tag(bar, string_from_bytes(tag, string_length(tag)));
  ui_parent_push(ctx, bar);
  return bar;
}

static void left_button_bar(app *a, reader *r) {
  PROFILE_ZONE(zone_ui_left_menu);
  ui_context *ctx = a->ui;
  view_state *v = a->view;
  u8 minus = key_of_virtual(0x6D);  // the keypad's minus
  u8 plus = key_of_virtual(0x6B);   // the keypad's plus
  button_bar_begin(ctx, "left_button_bar");
  if (button_or_key(ctx, label_minimum, key_letter('S'), 0)) view_list_generation_minimum(v, r);
  space_x(ctx, 2);
  if (button_or_key(ctx, label_decrease_keep, minus, ui_shortcut_shift)) view_list_generation_decrease(v, r, 0);
  space_x(ctx, 2);
  if (button_or_key(ctx, label_decrease, minus, 0)) view_list_generation_decrease(v, r, 1);
  space_x(ctx, 2);
  if (button_or_key(ctx, label_all, key_letter('A'), 0)) view_list_generation_all(v, r);
  space_x(ctx, 2);
  if (button_or_key(ctx, label_increase, plus, 0)) view_list_generation_increase(v, r, 1);
  space_x(ctx, 2);
  if (button_or_key(ctx, label_increase_keep, plus, ui_shortcut_shift)) view_list_generation_increase(v, r, 0);
  space_x(ctx, 2);
  if (button_or_key(ctx, label_maximum, key_letter('E'), 0)) view_list_generation_maximum(v, r);
  ui_node *first_button = ui_find_current(ctx, id_of(label_minimum));
  space_x(ctx, 12);
  ui_node *row = ui_node_create(ctx, UI_ID_NONE, ui_size_children_make(),
                                first_button ? ui_size_height_of_make(first_button) : ui_size_children_make(),
                                ui_node_flag_stack_x | ui_node_flag_centre_children_y);
  ui_parent_push(ctx, row);
  int show_empty = v->show_empty != 0;
  ui_checkbox(ctx, (ui_id)(uintptr_t)&v->show_empty, &show_empty, string_lit("Show empty"));
  v->show_empty = (u32)show_empty;
  ui_parent_pop(ctx);
  space_x(ctx, 5);
  ui_filler_x(ctx);
  static buffer filter_items[3] = {string_lit("Feeds"), string_lit("Deleted"), string_lit("Both")};
  u64 chosen = ui_dropdown(ctx, (ui_id)(uintptr_t)&v->deleted_filter, ui_size_children_make(), filter_items, 3,
                           v->deleted_filter < 3 ? v->deleted_filter : 0);
  if (chosen < 3) v->deleted_filter = (u32)chosen;
  ui_parent_pop(ctx);
}

static void list_filter_row(app *a) {
  ui_context *ctx = a->ui;
  view_state *v = a->view;
  if (ui_shortcut(ctx, key_letter('F'), ui_shortcut_control)) {
    // Only reopening empties the filter; a press while it is open keeps the text.
    if (!v->filter_active) v->list_filter.used = 0;
    v->filter_active = 1;
    // As a click into the box makes it active: hover stays free, so the press that leaves the box
    // (on its X, or any button) is not blocked for the rest of its frame and acts at once.
    ui_set_active_id(ctx, id_list_filter, 1);
  }
  if (!v->filter_active) return;
  ui_node *row = ui_node_create(ctx, UI_ID_NONE, ui_size_parent_content_make(), ui_size_children_make(),
                                ui_node_flag_stack_x);
  ui_parent_push(ctx, row);
  ui_textbox_result box = ui_textbox(ctx, id_list_filter, &v->list_filter);
  if (box.key == ui_textbox_key_escape) {
    ui_clear_active(ctx, box.node);
    v->filter_active = 0;
  }
  space_x(ctx, 2);
  if (ui_button(ctx, id_list_filter_close, string_lit("X"))) v->filter_active = 0;
  ui_parent_pop(ctx);
  space_y(ctx, 2);
}

static void left_panel(app *a, reader *r) {
  ui_context *ctx = a->ui;
  left_button_bar(a, r);
  space_y(ctx, 2);
  list_filter_row(a);
  PROFILE_ZONE(zone_ui_left_view);
  ui_node *content = ui_scrollable_begin(ctx, id_list_scroll, ui_size_parent_content_make(), ui_size_fill_make(),
                                         ui_node_flag_scroll_y);
  content->flags |= ui_node_flag_stack_x;
  content->size_x = ui_size_parent_make();
  ui_node *list = ui_node_create(ctx, UI_ID_NONE, ui_size_fill_make(), ui_size_children_make(), 0);
  ui_node_set_tag(list, string_lit("list"));
  ui_parent_push(ctx, list);
  view_list(a, r);
  ui_parent_pop(ctx);
  space_x(ctx, 2);
  ui_scrollable_end(ctx);
}

// The right bar's eight labels are wider than the right panel at the start size (with any
// common sans face at 16 px), so instead of clipping the last buttons the bar breaks into rows.
// The breaks are chosen from last frame's widths; once this frame is laid out they are checked
// against its own widths, and another frame follows at once when they differ (the first frame, a
// resize, a dragged splitter, a label that grew).
#define RIGHT_BAR_BUTTONS 8
#define RIGHT_BAR_GAP 2.0f
static const char *const right_bar_labels[RIGHT_BAR_BUTTONS] = {
    label_help, label_add_feed, label_links, label_open_queued,
    label_update_all, label_update_selected, label_log, label_save,
};
static u32 right_bar_breaks;  // bit i: button i starts a new row
static const u8 right_bar_id_anchor = 0;
static ui_id right_bar_id() { return (ui_id)(uintptr_t)&right_bar_id_anchor; }

// Bit i set when button i must start a row: it does not fit after the ones before it. A width of
// 0 (not laid out yet) never breaks.
static u32 right_bar_breaks_for(f32 available, const f32 widths[RIGHT_BAR_BUTTONS]) {
  u32 breaks = 0;
  f32 x = 0;
  for (u32 i = 0; i < RIGHT_BAR_BUTTONS; i++) {
    if (x > 0 && available > 0 && x + RIGHT_BAR_GAP + widths[i] > available) {
      breaks |= 1u << i;
      x = 0;
    }
    x += (x > 0 ? RIGHT_BAR_GAP : 0) + widths[i];
  }
  return breaks;
}

static u32 right_bar_breaks_of(ui_context *ctx, ui_node *(*find)(ui_context *, ui_id)) {
  ui_node *bar = find(ctx, right_bar_id());
  f32 available = bar && (bar->known[0] & ui_known_size) ? bar->size[0] : 0;
  f32 widths[RIGHT_BAR_BUTTONS];
  for (u32 i = 0; i < RIGHT_BAR_BUTTONS; i++) {
    ui_node *button = find(ctx, id_of(right_bar_labels[i]));
    widths[i] = button && (button->known[0] & ui_known_size) ? button->size[0] : 0;
  }
  return right_bar_breaks_for(available, widths);
}

static ui_node *bar_row_begin(ui_context *ctx) {
  ui_node *row = ui_node_create(ctx, UI_ID_NONE, ui_size_children_make(), ui_size_children_make(), ui_node_flag_stack_x);
  ui_parent_push(ctx, row);
  return row;
}

void app_save_now(app *a, reader *r) {
  // Seen as a failed add is: the log page shows why.
  if (!reader_save(r, a->data_directory)) view_show_log(a);
  view_list_stale();  // a save may move records in their pools
}

static void right_button_act(app *a, reader *r, u32 i) {
  switch (i) {
    case 0: view_show_help(a); break;
    case 1: view_show_add_feed(a); break;
    case 2: view_show_links(a); break;
    case 3: link_queues_open_all(&app_allocator, r, 1); break;
    case 4: app_update_all_feeds(a->fetch, r); break;
    case 5: app_update_selected_feed(a, r); break;
    case 6: view_show_log(a); break;
    default: app_save_now(a, r); break;
  }
}

static void right_button_bar(app *a, reader *r) {
  PROFILE_ZONE(zone_ui_right_menu);
  ui_context *ctx = a->ui;
  ui_node *bar = ui_node_create(ctx, right_bar_id(), ui_size_parent_content_make(), ui_size_children_make(),
                                ui_node_flag_clip | ui_node_flag_stack_y);
  ui_node_set_tag(bar, string_lit("right_button_bar"));
  ui_parent_push(ctx, bar);
  right_bar_breaks = right_bar_breaks_of(ctx, ui_find_previous);
  bar_row_begin(ctx);
  for (u32 i = 0; i < RIGHT_BAR_BUTTONS; i++) {
    if (right_bar_breaks & (1u << i)) {
      ui_parent_pop(ctx);
      bar_row_begin(ctx);
    } else if (i > 0) {
      space_x(ctx, RIGHT_BAR_GAP);
    }
    if (button_or_key(ctx, right_bar_labels[i], key_function(i + 1), 0)) right_button_act(a, r, i);
  }
  ui_parent_pop(ctx);
  ui_parent_pop(ctx);
}

static void right_page(app *a, reader *r) {
  PROFILE_ZONE(zone_ui_right_view);
  view_state *v = a->view;
  switch (v->page) {
    case view_page_help: ui_view_help(a, r); return;
    case view_page_add_feed: ui_view_add(a, r); return;
    case view_page_links: ui_view_links(a, r); return;
    case view_page_log: ui_view_log(a, r); return;
    default: break;
  }
  if (v->selected_entry) {
    invariant(v->selected_feed);
    u32 type = entry_get_type(v->selected_entry);
    invariant(type == feed_type_rss || type == feed_type_atom);
    if (type == feed_type_atom) view_atom_entry(a, r);
    else view_rss_entry(a, r);
  } else if (v->selected_feed) {
    u32 type = feed_get_type(v->selected_feed);
    invariant(type == feed_type_rss || type == feed_type_atom);
    if (type == feed_type_atom) ui_view_atom_settings(a, r);
    else ui_view_rss_settings(a, r);
  } else {
    ui_view_help(a, r);
  }
}

// The F4 button's label carries the number of queued links.
static void label_queued_count(ui_context *ctx, reader *r) {
  ui_node *button = ui_find_current(ctx, id_of(label_open_queued));
  if (!button) return;
  ui_node *text_node = button;
  // The button may keep its text on a child.
  while (text_node && !(text_node->flags & ui_node_flag_text)) text_node = text_node->first_child;
  if (!text_node) return;
  u8 bytes[64];
  buffer b = buffer_make(sizeof bytes, 0, bytes);
  buffer_push_bytes(&b, label_open_queued, sizeof label_open_queued - 1);
  buffer_push_bytes(&b, " (", 2);
  buffer_push_unsigned(&b, link_queues_count(r), 0, ' ', 0);
  buffer_push_bytes(&b, ")", 1);
  ui_node_set_text(ctx, text_node, b, true);
}

static void dump_trees(app *a) {
  PROFILE_ZONE(zone_ui_log_tree);
  ui_context *ctx = a->ui;
  buffer out = buffer_view_rest(ctx->scratch);
  ui_tree_dump(ctx->root, &out, 0);
  if (ctx->popup_root) ui_tree_dump(ctx->popup_root, &out, 0);
  a->file_error = 0;
  file_write_all(string_lit("tree.txt"), out.data, out.used, 1, &a->file_error);
  if (a->file_error) {
    log_file_error_reason(string_lit("Dump of the UI trees"), string_lit("tree.txt"), a->file_error, file_error_reason());
  }
}

void ui_main(app *a, reader *r) {
  ui_context *ctx = a->ui;
  window *w = a->window;
  ui_begin_frame(ctx);
  ui_font_set(ctx, 1);

  ui_node *root = ui_node_create(ctx, UI_ID_NONE, ui_size_pixels_make((f32)w->width), ui_size_pixels_make((f32)w->height),
                                 ui_node_flag_background | ui_node_flag_stack_y);
  root->style = style_root;
  ui_node_set_tag(root, string_lit("root"));
  // The pair makes the root the current parent; it is popped below.
  ui_pair(ctx, root, (ui_id)(uintptr_t)&left_pane_width, &left_pane_width, ui_node_flag_pair_side_1);
  ui_node *left = ui_first_child(root);
  ui_node *right = ui_last_child(root);

  if (left) {
    ui_parent_push(ctx, left);
    ui_node_set_tag(left, string_lit("left_panel"));
    left->style = style_left_panel;
    left->flags |= ui_node_flag_padding | ui_node_flag_stack_y;
    left_panel(a, r);
    ui_parent_pop(ctx);
  }
  if (right) {
    ui_parent_push(ctx, right);
    ui_node_set_tag(right, string_lit("right panel"));
    right->style = style_right_panel;
    right->flags |= ui_node_flag_padding | ui_node_flag_stack_y;
    right_button_bar(a, r);
    space_y(ctx, 2);
    right_page(a, r);
    ui_parent_pop(ctx);
  }
  ui_parent_pop(ctx);

  label_queued_count(ctx, r);
  ui_wakeup_timer_update(ctx);
  ui_render(ctx, rect{0, 0, (f32)w->width, (f32)w->height});
  ui_apply_cursor(ctx);
  if (right_bar_breaks_of(ctx, ui_find_current) != right_bar_breaks) a->view->another_frame = 1;
  // A click or key changes the model while the tree is built, after the nodes that show the
  // change were made (a button's label is made after its click is seen); the loop would then
  // wait for input with the old state on screen, so one more frame draws it. Moves only change
  // hot, which this frame already shows, so they do not keep the loop running.
  input_event_iterator it = input_event_iterator_make(w, input_event_type_button | input_event_type_key);
  if (input_event_next(&it)) a->view->another_frame = 1;
  if (input_key_went_down(w, key_c)) dump_trees(a);
}
