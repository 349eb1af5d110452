// The immediate-mode UI toolkit's contract. Every frame the application builds a fresh tree of
// ui_node records under the one ui_context; state that must outlive a frame (hot, active, scroll
// offsets, carets) is found again through the node's 64-bit ui_id on the previous frame's node.
// Sections follow a frame: ids and styles, the context, the node tree and its size rules, frame
// begin with hot and active state, the size solver and positioning, and rendering into the
// renderer's batches.
#pragma once

#include "core/allocator.h"
#include "core/buffer.h"
#include "core/math.h"

struct window;
struct gl_batch;
struct font;
struct font_collection;
struct ui_node;

// ---- Ids ---------------------------------------------------------------------------------
// Bits 0-57 the application's base (a small index or a stable address), 58-61 the modifier
// naming a generated part, 62 the popup part of an element, 63 a widget's internal (fake) child.

typedef u64 ui_id;

#define UI_ID_NONE (~(u64)0)
#define UI_ID_BASE_MASK ((1ull << 58) - 1)
#define UI_ID_MODIFIER_SHIFT 58
#define UI_ID_MODIFIER_MASK (15ull << UI_ID_MODIFIER_SHIFT)
#define UI_ID_POPUP_BIT (1ull << 62)
#define UI_ID_FAKE_BIT (1ull << 63)
// The root of the popup layer always carries this id.
#define UI_ID_POPUP_ROOT 0xFFFFull

enum ui_id_modifier : u32 {
  ui_id_modifier_none = 0,
  ui_id_modifier_scrollbar_horizontal_decrement = 1,
  ui_id_modifier_scrollbar_horizontal_shaft_decrement = 2,
  ui_id_modifier_scrollbar_horizontal_elevator = 3,
  ui_id_modifier_scrollbar_horizontal_shaft_increment = 4,
  ui_id_modifier_scrollbar_horizontal_increment = 5,
  ui_id_modifier_scrollbar_vertical_decrement = 6,
  ui_id_modifier_scrollbar_vertical_shaft_decrement = 7,
  ui_id_modifier_scrollbar_vertical_elevator = 8,
  ui_id_modifier_scrollbar_vertical_shaft_increment = 9,
  ui_id_modifier_scrollbar_vertical_increment = 10,
  ui_id_modifier_scrollable_content = 11,
  ui_id_modifier_count = 12,
};
// The part k (1 decrement button to 5 increment button) of the scrollbar on axis 0 (x) or 1 (y).
inline u32 ui_id_modifier_scrollbar(u32 axis, u32 k) { return axis * 5 + k; }
inline ui_id ui_id_with_modifier(ui_id id, u32 modifier) {
  return (id & ~UI_ID_MODIFIER_MASK) | ((u64)modifier << UI_ID_MODIFIER_SHIFT);
}
inline u32 ui_id_modifier_of(ui_id id) { return (u32)((id >> UI_ID_MODIFIER_SHIFT) & 15); }
inline ui_id ui_id_strip_fake(ui_id id) { return id == UI_ID_NONE ? id : id & ~UI_ID_FAKE_BIT; }
// a is the popup part of b: a has bit 62 and b not, and they agree in bit 63 and the base.
inline bool ui_id_is_popup_of(ui_id a, ui_id b) {
  return (a & UI_ID_POPUP_BIT) && !(b & UI_ID_POPUP_BIT) &&
         ((a ^ b) & (UI_ID_FAKE_BIT | UI_ID_BASE_MASK)) == 0;
}
extern const char *const ui_id_modifier_names[ui_id_modifier_count];
// Appends the text form of an id; bases below name_count print as names[base].
void ui_id_to_string(buffer *out, ui_id id, const char *const *names, const u32 *name_lengths,
                     u32 name_count);

// ---- Cursor requests ---------------------------------------------------------------------

enum ui_cursor : u32 {
  ui_cursor_arrow = 0,
  ui_cursor_hand = 1,
  ui_cursor_ibeam = 2,
  ui_cursor_size_ns = 3,
  ui_cursor_size_we = 4,
};

// ---- Styles ------------------------------------------------------------------------------
// Colours come in the state order normal, hot, active, hot and active.

enum : u32 {
  ui_state_normal = 0,
  ui_state_hot = 1,
  ui_state_active = 2,
  ui_state_hot_active = 3,
};

struct ui_style {
  v4 border;   // top, bottom, left, right; counts only with ui_node_flag_border
  v4 padding;  // top, bottom, left, right; counts only with ui_node_flag_padding
  rgba border_colour[4];
  rgba background_colour[4];
  rgba text_colour[4];
};
static_assert(sizeof(ui_style) == 224, "a style is 224 bytes");

#define UI_STYLE_TABLE_BYTES KiB(64)
#define UI_STYLE_DEFAULT_COUNT 18  // record 0 (none) and the 17 defaults

struct ui_style_table {
  buffer records;  // style records back to back, 4-byte aligned
  u32 scrollbar_thickness;
  u32 reserved_2a;
  rgba clear_colour;
  u32 reserved_2b;
  u32 reserved_4;
  u32 dropdown_gap;
  rgba selection_colour;
  rgba selection_colour_active;
  ui_style *first;
};

void ui_style_table_init(ui_style_table *table);
// A zeroed record at the end of the table and, when asked, its index; null when the table is full.
ui_style *ui_style_push(ui_style_table *table, u32 *out_index);
// Null for 0 (no style) and for an index at or past the records in the table.
ui_style *ui_style_get(ui_style_table *table, u32 index);

// ---- Icons -------------------------------------------------------------------------------

enum : u32 {
  ui_icon_check = 0,
  ui_icon_chevron_left = 1,
  ui_icon_chevron_right = 2,
  ui_icon_chevron_down = 3,
  ui_icon_chevron_up = 4,
  ui_icon_count = 5,
};

#define UI_ICON_SOURCE_SIZE 64
#define UI_ICON_ATLAS_CAPACITY 32

// The icons at the sizes they were drawn, packed shelf by shelf into one coverage image whose
// rows are bottom first. It only grows; each (icon, size) is placed once.
struct ui_icon_entry {
  u32 key, x, y, width, height;
  rect uv;
};
struct ui_icon_atlas {
  const u8 *sources[ui_icon_count];  // 64 x 64 coverage, bottom row first
  u32 flip_x[ui_icon_count], flip_y[ui_icon_count];
  ui_icon_entry entries[UI_ICON_ATLAS_CAPACITY];
  u32 entry_count;
  u8 *pixels;
  u32 width, height;
  buffer memory;  // holds pixels; replaced when the atlas grows
};

// Textures are made by the GL backend; the program entry hands its maker to the context, so the
// toolkit records commands without a GL context of its own (tests leave it null: no textures).
typedef u32 ui_texture_create_function(const u8 *pixels, u32 width, u32 height, u32 channels,
                                       u32 linear);
typedef void ui_texture_destroy_function(u32 handle);

// ---- Size rules --------------------------------------------------------------------------

enum ui_size_kind : u32 {
  ui_size_kind_none = 0,
  ui_size_kind_pixels = 1,
  ui_size_kind_text = 2,
  ui_size_kind_line = 3,
  ui_size_kind_parent = 4,
  ui_size_kind_parent_content = 5,
  ui_size_kind_parent_fraction = 6,
  ui_size_kind_children = 7,
  ui_size_kind_width_of = 8,
  ui_size_kind_height_of = 9,
  ui_size_kind_fill = 10,
  ui_size_kind_aspect_width = 11,
  ui_size_kind_aspect_height = 12,
  ui_size_kind_aspect = 13,
  ui_size_kind_flow = 14,
  ui_size_kind_count = 15,
};
extern const char *const ui_size_kind_names[ui_size_kind_count];

enum : u32 {
  ui_size_flag_with_horizontal_scrollbar = 1,  // else the axis is 0
  ui_size_flag_with_vertical_scrollbar = 2,
  ui_size_flag_clamp = 4,  // at most `max`
};

struct ui_size {
  u32 kind;
  u32 flags;
  f32 value;
  f32 max;
  ui_node *other;  // width of, height of and the aspect kinds
};

inline ui_size ui_size_make(u32 kind, f32 value, ui_node *other) { return ui_size{kind, 0, value, 0, other}; }
inline ui_size ui_size_none_make() { return ui_size_make(ui_size_kind_none, 0, nullptr); }
inline ui_size ui_size_pixels_make(f32 value) { return ui_size_make(ui_size_kind_pixels, value, nullptr); }
inline ui_size ui_size_text_make() { return ui_size_make(ui_size_kind_text, 0, nullptr); }
inline ui_size ui_size_line_make() { return ui_size_make(ui_size_kind_line, 0, nullptr); }
inline ui_size ui_size_parent_make() { return ui_size_make(ui_size_kind_parent, 0, nullptr); }
inline ui_size ui_size_parent_content_make() { return ui_size_make(ui_size_kind_parent_content, 0, nullptr); }
inline ui_size ui_size_parent_fraction_make(f32 value) {
  return ui_size_make(ui_size_kind_parent_fraction, value, nullptr);
}
inline ui_size ui_size_children_make() { return ui_size_make(ui_size_kind_children, 0, nullptr); }
inline ui_size ui_size_width_of_make(ui_node *other) {
  invariant(other);
  return ui_size_make(ui_size_kind_width_of, 0, other);
}
inline ui_size ui_size_height_of_make(ui_node *other) {
  invariant(other);
  return ui_size_make(ui_size_kind_height_of, 0, other);
}
inline ui_size ui_size_fill_make() { return ui_size_make(ui_size_kind_fill, 0, nullptr); }
inline ui_size ui_size_aspect_width_make(ui_node *other, f32 value) {
  return ui_size_make(ui_size_kind_aspect_width, value, other);
}
inline ui_size ui_size_aspect_height_make(ui_node *other, f32 value) {
  return ui_size_make(ui_size_kind_aspect_height, value, other);
}
inline ui_size ui_size_aspect_make(ui_node *other, f32 value) { return ui_size_make(ui_size_kind_aspect, value, other); }
inline ui_size ui_size_flow_make() { return ui_size_make(ui_size_kind_flow, 0, nullptr); }

inline void ui_flags_set(ui_size *rule, u32 bits) { rule->flags |= bits; }
inline bool ui_flags_test(ui_size rule, u32 bits) { return (rule.flags & bits) == bits; }

// ---- Nodes -------------------------------------------------------------------------------

enum : u64 {
  ui_node_flag_pair_side_1 = 0x1,
  ui_node_flag_pair_side_2 = 0x2,
  ui_node_flag_pair_side_4 = 0x4,
  ui_node_flag_pair_side_8 = 0x8,
  ui_node_flag_stack_x = 0x10,
  ui_node_flag_stack_y = 0x20,
  ui_node_flag_clip = 0x40,
  ui_node_flag_border = 0x80,
  ui_node_flag_padding = 0x100,
  ui_node_flag_background = 0x200,
  ui_node_flag_text = 0x400,
  ui_node_flag_text_centre = 0x800,
  ui_node_flag_editable = 0x1000,
  ui_node_flag_caret = 0x2000,
  ui_node_flag_icon = 0x4000,
  ui_node_flag_centre_children_x = 0x8000,
  ui_node_flag_centre_children_y = 0x10000,
  ui_node_flag_centre_x = 0x20000,
  ui_node_flag_centre_y = 0x40000,
  ui_node_flag_scroll_x = 0x80000,
  ui_node_flag_scroll_y = 0x100000,
  ui_node_flag_popup_fit_x = 0x200000,
  ui_node_flag_popup_fit_y = 0x400000,
  ui_node_flag_flow_instructions = 0x800000,
  ui_node_flag_flow_run = 0x1000000,
  ui_node_flag_ellipsis = 0x2000000,
  ui_node_flag_image = 0x4000000,
  ui_node_flag_flow_nowrap = 0x8000000,
  ui_node_flag_clamp_scroll = 0x10000000,

  // Bundles.
  ui_node_flag_pair_sides = 0xF,
  ui_node_flag_scroll = ui_node_flag_scroll_x | ui_node_flag_scroll_y,
  ui_node_flag_frame = ui_node_flag_border | ui_node_flag_padding | ui_node_flag_background,
};

// Known bits of one axis.
enum : u32 {
  ui_known_size = 1,
  ui_known_by_owner = 2,  // sized whole by its owner; the sibling pass skips it
  ui_known_all = 3,
};

// One styled byte range of a text (a link inside a flow run).
struct ui_text_range {
  const u8 *begin;
  const u8 *end;
  u32 style;
  u32 range_flags;  // the application's own bits
};

struct ui_node {
  // Built by the application this frame.
  buffer tag;  // for the tree dump
  ui_id id;    // UI_ID_NONE: no state between frames
  ui_node *parent, *next, *first_child, *last_child;
  ui_size size_x, size_y;

  // Written by the solver and positioning this frame.
  f32 size[2];
  u32 known[2];
  f32 position[2];  // from the parent's content origin, x right and y down
  ::rect rect;      // window pixels, y up

  // Built by the application this frame: what the node draws.
  u32 style;
  u32 font;
  u64 flags;
  buffer text;
  buffer *text_list;
  u64 text_count;
  u64 text_shown;
  u32 icon;
  ui_node *scroll_target;
  f32 scroll_margin[2];  // negative: centre the target
  u32 run_previous_codepoint;
  u8 *image_pixels;
  u32 image_width;
  u32 image_height;
  u8 image_channels;
  u32 *image_texture;  // owned by the image's holder; 0 until made
  u32 visible;         // written by rendering
  ui_text_range *ranges;
  u64 range_count;

  // Persistent: copied whole from last frame's node with the same id, otherwise written only
  // by the node's widget. Must stay the record's last part.
  f32 scroll[2];  // on a scrollable view's content node
  u64 repeat_time;
  f32 repeat_wait;
  u64 caret;
  u64 anchor;
  f32 text_scroll;
  u32 caret_follow;
  u64 blink_start;
  u64 drag_step_time;
  u64 click_time;
  u64 double_click_time;
  u64 triple_click_time;
  v2 click_position;
  u64 word_begin;
  u64 word_end;
  f32 caret_rect[4];  // x, y, width, height from the node's bottom-left, written by rendering
};
#define UI_NODE_PERSISTENT_OFFSET offsetof(ui_node, scroll)

// ---- Undo store (its operations belong to the text box) ------------------------------------

struct ui_undo_record {
  u64 id;
  u32 kind;
  u64 caret, anchor;
  u64 start, end;
  f32 scroll_before, scroll_after;
  buffer removed;
  buffer inserted;
  ui_undo_record *next, *prev;
  // Typing continues an open record; a paste, a deletion, a caret move or a pause closes it.
  u32 closed;
  u64 time_ms;  // input time of the record's last typed character
};
#define UI_UNDO_RECORD_COUNT 100
// Typing after a longer pause starts a new record.
#define UI_UNDO_PAUSE_MS 1000

// ---- The context -------------------------------------------------------------------------

// Each frame's node and text arenas are reservations committed as a frame needs them; the
// limits are the contexts' budgets (node_arena_limit, text_arena_limit), which start here.
#define UI_NODE_ARENA_BYTES MiB(1024)
#define UI_TEXT_ARENA_BYTES MiB(256)
#define UI_ARENA_COMMIT_STEP MiB(1)
#define UI_SCRATCH_BYTES MiB(10)
#define UI_REPEAT_CAPACITY 16
#define UI_WAKEUP_TIMER_MS 50
// Deeper nesting is dropped while building, so every walk over the tree stays bounded.
#define UI_DEPTH_MAX 200

struct ui_context {
  ::window *window;
  buffer scratch;  // used only through views of its free tail

  // The two frames' arenas; they change places at every frame begin.
  buffer previous_nodes;
  ui_node *previous_free;
  buffer previous_texts;
  buffer nodes;
  ui_node *free_nodes;
  buffer texts;

  // Tree building of this frame.
  ui_node *root;
  ui_node *parent;
  ui_node *popup_saved_parent;
  ui_node *popup_root;
  ui_node *popup_anchor;
  ui_node *splice_saved_parent;
  ui_node *splice_rest;
  u32 splice_active;

  // The renderer's batches: main layer, popup layer, images.
  gl_batch *shape_batch;
  gl_batch *text_batch;
  gl_batch *icon_batch;
  gl_batch *popup_shape_batch;
  gl_batch *popup_text_batch;
  gl_batch *popup_icon_batch;
  gl_batch *image_batch;

  u64 frame_count;

  // Interaction state: hot lasts one frame, active until released.
  ui_id hot, active, hot_part, active_part;
  ui_id popup_hot, popup_active, popup_hot_part, popup_active_part;
  v2 mouse, previous_mouse;

  ui_style_table styles;
  rect clip;  // {0, 0, -1, -1}: none
  u32 font;
  font_collection *fonts;  // the text batch's collection; null measures every text as 0

  ui_icon_atlas icon_atlas;
  u32 icon_texture;
  ui_texture_create_function *texture_create;
  ui_texture_destroy_function *texture_destroy;

  ui_id repeat_ids[UI_REPEAT_CAPACITY];
  u64 repeat_count;
  u64 counter_frequency;
  f32 repeat_delay;
  f32 repeat_interval;
  u32 cursor;
  u32 active_allows_hover, popup_active_allows_hover;
  u32 hot_blocked;

  // Undo store of the text boxes.
  allocator undo_allocator;
  buffer undo_records;
  ui_undo_record *undo_free;
  ui_undo_record undo_list;
  ui_undo_record redo_list;

  // Overload bookkeeping: nodes that did not fit the arena, or were nested too deep, are built
  // into the sink, which is never linked into a tree, so the frame degrades instead of failing.
  ui_node sink;
  u32 sink_depth;       // pushes of the sink not yet popped
  u32 parent_depth;     // nesting of the current parent
  u32 in_layout;        // set while ui_render sizes the trees
  u64 dropped_nodes;    // this frame
  u64 dropped_texts;    // texts that did not fit the text arena this frame

  // The growing arenas behind the four views above; they change places with their views. A
  // view's size is its arena's committed part. The budgets hold for whichever arena is current.
  arena previous_nodes_arena, nodes_arena;
  arena previous_texts_arena, texts_arena;
  u64 node_arena_limit, text_arena_limit;
  u32 budgets_reported;  // ui_budget_* bits already logged

  // The previous frame's nodes by id, made at frame begin: open addressing over slots holding the
  // first record (in arena order) of each id, and per record the next one with the same id.
  arena index_arena;    // committed as the previous frame's node count needs
  struct ui_index_slot *index_slots;
  u32 *index_chain;     // record index + 1 of the next record with the same id; 0 none
  u64 index_mask;       // slot count - 1
  u32 index_valid;      // 0: the lookups scan the arena instead

  // This frame's request to be woken after so many milliseconds without input (0 none): an
  // edited box asks for its caret's next blink instead of keeping the repeat timer running.
  u32 wake_ms;
};

// Budgets that can still be reached; each is logged by name the first time.
enum : u32 {
  ui_budget_nodes = 0x1,
  ui_budget_texts = 0x2,
  ui_budget_depth = 0x4,
  ui_budget_index = 0x8,
};
struct ui_index_slot {
  ui_id id;
  u32 first;  // record index + 1; 0 an empty slot
  u32 reserved;
};
void ui_budget_report(ui_context *ctx, u32 budget);
// n bytes of this frame's text arena, committing more of it as needed; null past the budget
// (reported once).
void *ui_text_push(ui_context *ctx, u64 n, u64 alignment);

// Builds the context once at start-up, after the renderer and its seven batches exist; text is
// measured with the text batch's font collection.
void ui_init(ui_context *ctx, window *w, gl_batch *shape_batch, gl_batch *text_batch,
             gl_batch *icon_batch, gl_batch *popup_shape_batch, gl_batch *popup_text_batch,
             gl_batch *popup_icon_batch, gl_batch *image_batch);
// The texture-coordinate rectangle of an icon drawn at the size of r (whole pixels), placing the
// icon at that size first and remaking the icon texture when the atlas changed.
rect ui_image_uv(ui_context *ctx, u32 icon, rect r);

// ---- Tree building -----------------------------------------------------------------------

// A zeroed node: the head of the current free list, else a new record of the node arena, else
// the sink (the arena is full).
ui_node *ui_node_alloc(ui_context *ctx);
// Gives a childless, last node back to the current free list.
void ui_node_release(ui_context *ctx, ui_node *node);
ui_node *ui_node_create(ui_context *ctx, ui_id id, ui_size size_x, ui_size size_y, u64 flags);
inline bool ui_node_is_sink(const ui_context *ctx, const ui_node *node) { return node == &ctx->sink; }
void ui_parent_push(ui_context *ctx, ui_node *node);
void ui_parent_pop(ui_context *ctx);
ui_node *ui_filler(ui_context *ctx);
ui_node *ui_filler_x(ui_context *ctx);
ui_node *ui_filler_y(ui_context *ctx);
ui_node *ui_space_x(ui_context *ctx, ui_size rule);
ui_node *ui_space_y(ui_context *ctx, ui_size rule);
void ui_node_set_id(ui_node *node, ui_id id);
void ui_node_set_text(ui_context *ctx, ui_node *node, buffer text, bool copy);
void ui_node_set_tag(ui_node *node, buffer tag);
void ui_node_detach(ui_context *ctx, ui_node *node);
ui_node *ui_node_previous_sibling(ui_node *node);
void ui_node_insert_after(ui_node *parent, ui_node *after, ui_node *node);
void ui_splice_begin(ui_context *ctx, ui_node *node, ui_node *after);
void ui_splice_end(ui_context *ctx);
void ui_node_free_tree(ui_context *ctx, ui_node *node);
inline bool ui_node_in_arena(buffer arena, const ui_node *node) {
  return (const u8 *)node >= arena.data && (const u8 *)node < arena.data + arena.used;
}
inline bool ui_node_has_flags(const ui_node *node, u64 bits) { return (node->flags & bits) == bits; }

// ---- Queries -----------------------------------------------------------------------------

ui_node *ui_find_previous(ui_context *ctx, ui_id id);
// Scans previous-frame records from `from` (null: the first) up to `to` (null: the end).
ui_node *ui_find_previous_range(ui_context *ctx, ui_id id, ui_node *from, ui_node *to);
ui_node *ui_find_current(ui_context *ctx, ui_id id);
bool ui_id_was_visible(ui_context *ctx, ui_id id);
bool ui_node_hit_test(ui_context *ctx, ui_node *node, v2 point);
void ui_popup_close(ui_context *ctx);
bool ui_node_in_popup(ui_context *ctx, ui_node *node);

// ---- Clip and fonts ----------------------------------------------------------------------

// Returns the clip in force before; passing it back restores it. Negative width or height: none.
rect ui_clip_push(ui_context *ctx, rect r, bool intersect);
bool ui_rect_visible(ui_context *ctx, rect r);
font *ui_font_get(ui_context *ctx, u32 index);
u32 ui_font_set(ui_context *ctx, u32 index);
font *ui_font_current(ui_context *ctx);
// The height the solver gives a one-line rule in that font with that style and flags, and the
// border and padding along y that a style adds under those flags (leading: the top part).
f32 ui_line_rule_height(ui_context *ctx, u32 font, u32 style, u64 flags);
f32 ui_style_frame_y(ui_context *ctx, u32 style, u64 flags, f32 *leading);

// The text layout's segment callback over the run nodes of a flow (segment is a ui_node **).
u32 ui_flow_next_run(void **segment, u64 user, const char **begin, const char **end, u32 stay);

// ---- Frame, hot and active -----------------------------------------------------------------

void ui_begin_frame(ui_context *ctx);
// After tree building: the window's 50 ms timer runs exactly while something repeats; otherwise
// a wake-up asked for with ui_wake_after sets it to that period, and none stops it.
void ui_wakeup_timer_update(ui_context *ctx);
void ui_set_hot(ui_context *ctx, ui_node *node);
void ui_clear_hot(ui_context *ctx, ui_node *node);
void ui_set_active(ui_context *ctx, ui_node *node, u32 allow_hover);
void ui_set_active_id(ui_context *ctx, ui_id id, u32 allow_hover);
void ui_clear_active(ui_context *ctx, ui_node *node);
bool ui_is_hot(ui_context *ctx, ui_node *node);
bool ui_is_active(ui_context *ctx, ui_node *node);
void ui_repeat_add(ui_context *ctx, ui_id id);
void ui_repeat_remove(ui_context *ctx, ui_id id);
void ui_repeat_clear(ui_context *ctx);
// Asks for a frame at most that many milliseconds from now, even without input.
void ui_wake_after(ui_context *ctx, u32 milliseconds);

// ---- Size solver and positioning -----------------------------------------------------------

struct ui_size_pass {
  u32 counts[2][ui_size_kind_count + 1][2];  // two tables: [table][kind][axis]
  u32 current;                               // which table is current
  u32 axis_total[2], previous_axis_total[2];
  u32 total, previous_total;
  u32 passes;
};
struct ui_bounds {
  f32 max[2];
  f32 extent[2];
};
#define UI_UNBOUNDED 3.4028235e38f

void ui_size_pass_init(ui_size_pass *pass);
void ui_size_pass_count(ui_size_pass *pass, u32 kind, u32 axis);
u32 ui_size_pass_end(ui_size_pass *pass);

void ui_compute_size(ui_context *ctx, ui_node *node, u32 scrollbars);
u32 ui_compute_children(ui_context *ctx, ui_node *first, ui_size_pass *pass, u32 scrollbars,
                        ui_bounds *bounds);
u32 ui_compute_element(ui_context *ctx, ui_node *node, ui_size_pass *pass, u32 scrollbars,
                       ui_bounds *bounds);
void ui_compute_axis_sizes(ui_context *ctx, ui_node *node, ui_size_pass *pass, u32 scrollbars);
void ui_compute_scrollable(ui_context *ctx, ui_node *view, ui_size_pass *pass, u32 scrollbars);
void ui_reset_sizes(ui_context *ctx, ui_node *node);
void ui_scrollbars_wrap(ui_context *ctx, ui_node *view, bool horizontal, bool vertical);
ui_node *ui_scrollbar_build(ui_context *ctx, ui_id base, ui_node *view, ui_node *content, u32 axis);
void ui_scroll_to_target(ui_context *ctx, ui_node *view);
// The offset along one axis at which a view of that length shows a target whose edges lie at
// begin and end within the content (measured the way the offset runs), moving the least from
// scroll: margin pixels stay beside the target, a negative margin centres it, and a target as
// long as the view or longer starts at the view's start. Not rounded; scroll_to_target rounds.
f32 ui_scroll_offset_for_target(f32 scroll, f32 view, f32 begin, f32 end, f32 margin);
// origin: top-left corner of the parent's content area, y up.
void ui_position_rect(ui_context *ctx, ui_node *first, v2 origin);

// ---- Rendering -----------------------------------------------------------------------------

// Sizes, positions and records the main tree, then the open popup, into the batches.
void ui_render(ui_context *ctx, rect client);
void ui_render_rect(ui_context *ctx, ui_node *first);
void ui_render_pair_handle(ui_context *ctx, ui_node *node);
void ui_popup_batches_begin(ui_context *ctx);
void ui_popup_batches_end(ui_context *ctx);
rgba ui_style_border_colour(ui_context *ctx, ui_node *node, ui_style *style);
rgba ui_style_background_colour(ui_context *ctx, ui_node *node, ui_style *style);
rgba ui_style_text_colour(ui_context *ctx, ui_node *node, ui_style *style);
void ui_tree_dump(ui_node *node, buffer *out, u32 depth);

// ---- Widgets, the text box and its undo store ----------------------------------------------

#include "ui/undo.h"
#include "ui/widgets.h"
#include "ui/text_box.h"
