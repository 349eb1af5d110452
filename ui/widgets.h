// Widgets: the small functions the application builds its screen with each frame. An interactive
// widget first runs its behaviour on last frame's node with the same id (its rectangle, hot and
// active state) against this frame's input events, then creates this frame's nodes; so what it
// answers (clicked, toggled, the chosen index) is what the user did to what was on screen.
// Widgets keep state only in the persistent part of their nodes and in the context's hot, active,
// popup and repeat fields. UI thread only.
#pragma once

#include "ui/ui.h"

// ---- Constants ---------------------------------------------------------------------------

enum : u32 {
  ui_style_text = 1,
  ui_style_label = 2,
  ui_style_checkbox = 3,
  ui_style_pair_handle = 4,
  ui_style_dropdown = 5,
  ui_style_dropdown_arrow = 6,
  ui_style_list_item = 7,
  ui_style_list_item_selected = 8,
  ui_style_popup = 9,
  ui_style_textbox = 13,
};

#define UI_SCROLL_STEP 18.0f
#define UI_PAIR_HANDLE_PIXELS 6.0f
#define UI_CHECKBOX_GAP 4.0f

// Modifier groups of ui_shortcut's mask.
enum : u8 {
  ui_shortcut_control = 0x03,
  ui_shortcut_alt = 0x0C,
  ui_shortcut_shift = 0x30,
  ui_shortcut_super = 0xC0,
};

struct ui_toggle {
  u32 opened;
  u32 closed;
};

// ---- Behaviours on last frame's node -----------------------------------------------------

// Press and release of the left button over the node; true at the release.
bool ui_clicked(ui_context *ctx, ui_node *node);
bool ui_pressed(ui_context *ctx, ui_node *node);
// A held button: fires at the press, after the repeat delay, then every repeat interval while
// the mouse stays on it.
bool ui_repeat(ui_context *ctx, ui_node *node);
// A scrollbar elevator dragged along axis 0 (x) or 1 (y): the value in [0, range] for the mouse,
// with track the pixels the elevator can travel.
f32 ui_drag_value(ui_context *ctx, ui_node *node, f32 track, f32 value, f32 range, u32 axis);
// A pair splitter's handle: resizes last frame's panes, whose rules ui_pair carries forward.
void ui_pair_drag(ui_context *ctx, ui_node *handle);
// The item list of a dropdown's popup: the chosen index at a release on an item, else selected.
u64 ui_list_select(ui_context *ctx, ui_node *list_content, u64 selected);
ui_toggle ui_popup_toggle(ui_context *ctx, ui_node *node);
// A key press or repeat while nothing is active; a modifier mask of 0 wants no modifier held,
// otherwise each group in the mask wants one of its keys held.
bool ui_shortcut(ui_context *ctx, u32 key, u8 modifier_mask);
// The scroll offset of a scrollable view along an axis, from its scrollbar parts and the wheel.
void ui_scrollbar_update(ui_context *ctx, ui_id view_id, ui_node *view, ui_node *content, f32 step, u32 axis,
                         bool clamp);

// ---- Builders ----------------------------------------------------------------------------

// The text is shown as given: it must last until the next frame has read the node.
ui_node *ui_label(ui_context *ctx, ui_id id, buffer text);
bool ui_button(ui_context *ctx, ui_id id, buffer text);
// The text is copied; style 0 means ui_style_text.
ui_node *ui_text(ui_context *ctx, ui_id id, buffer text, u32 style, u64 flags);
ui_node *ui_text_list(ui_context *ctx, buffer *texts, u64 count, u64 shown, u32 style, u64 flags);
// One line as wide as the parent's content; style 0 means ui_style_list_item. Not copied.
ui_node *ui_text_line(ui_context *ctx, ui_id id, buffer text, u32 style, u64 flags);
ui_node *ui_checkbox_box(ui_context *ctx, ui_id id, bool checked);
// Toggles *value when the box or its label is clicked; true when it did.
bool ui_checkbox(ui_context *ctx, ui_id id, int *value, buffer text);
bool ui_checkbox_plain(ui_context *ctx, ui_id id, int *value);
// A closed dropdown shows texts[selected]; open, a popup lists all texts. Returns the choice.
u64 ui_dropdown(ui_context *ctx, ui_id id, ui_size size_x, buffer *texts, u64 count, u64 selected);
// Two panes and a draggable handle in an empty container, which stays the current parent; the
// caller fills the panes (ui_first_child, ui_last_child) and pops it. The pane rule (pixels or
// parent fraction) follows the drag. side: one of ui_node_flag_pair_side_*.
void ui_pair(ui_context *ctx, ui_node *container, ui_id handle_id, ui_size *pane_rule, u32 side);
// 0: children side by side; 1: one below the other.
void ui_set_layout_direction(ui_node *node, u32 direction);
ui_node *ui_scrollable_begin(ui_context *ctx, ui_id id, ui_size size_x, ui_size size_y, u64 flags);
void ui_scrollable_end(ui_context *ctx);
// Brings target into sight in the view; a negative margin centres it.
void ui_scroll_to(ui_node *view, ui_node *target, v2 margins);
ui_node *ui_flow_begin(ui_context *ctx, u32 style, u64 flags);
void ui_flow_end(ui_context *ctx);
ui_node *ui_flow_text(ui_context *ctx, buffer text);
inline ui_node *ui_first_child(ui_node *node) { return node->first_child; }
inline ui_node *ui_last_child(ui_node *node) { return node->last_child; }
ui_node *ui_popup_begin(ui_context *ctx, ui_size size_x, ui_size size_y, ui_node *anchor);
void ui_popup_end(ui_context *ctx);
// Once per frame after rendering: the cursor request goes to the window.
void ui_apply_cursor(ui_context *ctx);
