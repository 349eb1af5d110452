// The single-line text box. It edits a caller-owned buffer of fixed capacity in place: mouse
// placement, drag selection with automatic scrolling, double-click word and triple-click whole
// selection, caret movement by code point and by word, clipboard, Backspace and Delete, typing
// over the selection, and undo and redo through the undo store. The box is two nodes: the frame
// (the caller's id, tag "textbox") and its text node (the id with the fake bit), which keeps the
// editing state in its persistent part. UI thread only.
#pragma once

#include "gfx/input.h"
#include "ui/ui.h"

// ---- Types -------------------------------------------------------------------------------

// The character of the key that ended editing this frame.
enum : u32 {
  ui_textbox_key_none = 0,
  ui_textbox_key_ctrl_enter = 10,
  ui_textbox_key_enter = 13,
  ui_textbox_key_tab = 9,
  ui_textbox_key_escape = 27,
};

struct ui_textbox_result {
  ui_node *node;  // the frame
  u32 key;        // ui_textbox_key_*
};

// The clipboard the box copies to and pastes from (platform/clipboard.h's by default).
typedef buffer ui_clipboard_get_function(buffer *out, bool zero_terminate);
typedef u32 ui_clipboard_set_function(buffer text);

#define UI_TEXTBOX_SCROLL_MARGIN 0.25f  // of the box width beyond the caret when keys move it
#define UI_TEXTBOX_DRAG_STEP_SECONDS 0.05f

// ---- The box -----------------------------------------------------------------------------

// Handles this frame's input on last frame's box, then builds this frame's box showing *text.
ui_textbox_result ui_textbox(ui_context *ctx, ui_id id, buffer *text);
// The mouse and keys on last frame's frame node; the ending key or 0.
u32 ui_textbox_input(ui_context *ctx, ui_node *outer, buffer *text);
// One key event while the box is active; the ending key or 0.
u32 ui_textbox_key(ui_context *ctx, const input_event *e, ui_node *text_node, buffer *text, f32 *text_width);

#if QM_TEST_HOOKS
// Another clipboard, for tests without a display; null restores the system's.
void ui_textbox_set_clipboard(ui_clipboard_get_function *get, ui_clipboard_set_function *set);
#endif

// ---- Caret and scroll --------------------------------------------------------------------

// The caret at the byte nearest x (box pixels, before the text scroll); with follow, scrolls to
// it and restarts the blink.
void ui_textbox_caret_from_x(ui_context *ctx, ui_node *text_node, f32 x, buffer text, bool follow);
void ui_textbox_scroll_to_caret(ui_node *text_node, f32 caret_x, f32 margin);
void ui_textbox_clamp_scroll(ui_node *text_node, f32 text_width);

// ---- Text helpers ------------------------------------------------------------------------
// Positions are byte offsets. Bytes that do not decode count as one non-space character each,
// so every walk stays inside the text and always moves.

u64 ui_text_word_start(buffer text, u64 position);
u64 ui_text_word_end(buffer text, u64 position);
// The start of the code point before the position (0 stays 0), and after the one at it.
u64 ui_text_previous_codepoint(buffer text, u64 position);
u64 ui_text_next_codepoint(buffer text, u64 position);
// The position moved back to the start of the code point it falls inside.
u64 ui_text_codepoint_floor(buffer text, u64 position);
f32 ui_seconds_between(ui_context *ctx, u64 a, u64 b);
bool ui_within_double_click_distance(ui_context *ctx, v2 a, v2 b);
