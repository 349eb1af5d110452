// The text box: per-frame input on last frame's nodes, key editing, mouse selection, and the
// word and code-point walks it moves by.
#include "ui/text_box.h"

#include <math.h>

#include "core/strings.h"
#include "core/unicode.h"
#include "gfx/window.h"
#include "platform/clipboard.h"
#include "platform/dates.h"
#include "ui/ui_gfx.h"
#include "ui/undo.h"
#include "ui/widgets.h"

static ui_clipboard_get_function *clipboard_get = clipboard_get_text;
static ui_clipboard_set_function *clipboard_set = clipboard_set_text;

#if QM_TEST_HOOKS
void ui_textbox_set_clipboard(ui_clipboard_get_function *get, ui_clipboard_set_function *set) {
  clipboard_get = get ? get : clipboard_get_text;
  clipboard_set = set ? set : clipboard_set_text;
}
#endif

// ---- Text helpers ------------------------------------------------------------------------

// The code point at the position and its length; an undecodable byte is one unicode_invalid.
static u32 decode_at(buffer text, u64 position, u8 *length) {
  u32 c = unicode_invalid, error = 0;
  u8 n = 0;
  unicode_utf8_decode(text.data + position, text.data + text.used, &c, &n, &error);
  if (error || n == 0) {
    *length = 1;
    return unicode_invalid;
  }
  *length = n;
  return c;
}

static bool is_space_at(buffer text, u64 position, u8 *length) {
  u32 c = decode_at(text, position, length);
  return c != unicode_invalid && char_is_space(c);
}

u64 ui_text_previous_codepoint(buffer text, u64 position) {
  if (position == 0) return 0;
  if (position > text.used) return text.used;
  u32 error = 0;
  u8 *p = unicode_utf8_decode_backward(text.data, text.data + position, nullptr, nullptr, &error);
  if (error || !p) return position - 1;
  return (u64)(p - text.data);
}

u64 ui_text_next_codepoint(buffer text, u64 position) {
  if (position >= text.used) return text.used;
  u8 n;
  decode_at(text, position, &n);
  return position + n;
}

u64 ui_text_codepoint_floor(buffer text, u64 position) {
  if (position >= text.used) return text.used;
  for (u64 k = 1; k <= 3 && k <= position; k++) {
    u8 lead = text.data[position - k];
    if ((lead & 0xC0) == 0x80) continue;
    u8 n;
    if (decode_at(text, position - k, &n) != unicode_invalid && position - k + n > position) return position - k;
    break;
  }
  return position;
}

static bool space_before(buffer text, u64 position, u64 *previous) {
  *previous = ui_text_previous_codepoint(text, position);
  u8 n;
  return is_space_at(text, *previous, &n);
}

u64 ui_text_word_start(buffer text, u64 position) {
  u64 p = position < text.used ? position : text.used, q;
  while (p > 0 && space_before(text, p, &q)) p = q;
  while (p > 0 && !space_before(text, p, &q)) p = q;
  return p;
}

u64 ui_text_word_end(buffer text, u64 position) {
  u64 p = position < text.used ? position : text.used;
  u8 n;
  while (p < text.used && !is_space_at(text, p, &n)) p += n;
  while (p < text.used && is_space_at(text, p, &n)) p += n;
  return p;
}

f32 ui_seconds_between(ui_context *ctx, u64 a, u64 b) {
  return ctx->counter_frequency ? (f32)((f64)(s64)(b - a) / (f64)ctx->counter_frequency) : 0;
}

bool ui_within_double_click_distance(ui_context *ctx, v2 a, v2 b) {
  f32 w = ctx->window ? (f32)ctx->window->double_click_width : 4;
  f32 h = ctx->window ? (f32)ctx->window->double_click_height : 4;
  return fabsf(a.x - b.x) < w && fabsf(a.y - b.y) < h;
}

// ---- Measuring ---------------------------------------------------------------------------

static font *node_font(ui_context *ctx, ui_node *n) { return ui_gfx_font(ctx->fonts, n->font); }

static f32 x_of(ui_context *ctx, ui_node *n, buffer text, u64 position) {
  if (position > text.used) position = text.used;
  return ui_gfx_line_end(node_font(ctx, n), text.data, text.data + position, -1, 0);
}

static f32 width_of(ui_context *ctx, ui_node *n, buffer text) { return x_of(ctx, n, text, text.used); }

// The byte boundary nearest x: a glyph's nearer side.
static u64 byte_at(ui_context *ctx, ui_node *n, buffer text, f32 x) {
  font *f = node_font(ctx, n);
  f32 left = 0;
  s32 previous = -1;
  for (u64 p = 0; p < text.used;) {
    u8 length;
    u32 c = decode_at(text, p, &length);
    f32 right = ui_gfx_line_end(f, text.data + p, text.data + p + length, previous, left);
    if (x < (left + right) * 0.5f) return p;
    previous = c == unicode_invalid ? (s32)unicode_replacement : (s32)c;
    left = right;
    p += length;
  }
  return text.used;
}

static u64 now() { return (u64)counter_now(); }

// ---- Caret and scroll --------------------------------------------------------------------

void ui_textbox_scroll_to_caret(ui_node *n, f32 caret_x, f32 margin) {
  f32 w = n->size[0];
  if (caret_x - n->text_scroll < 0) n->text_scroll = caret_x - w * margin;
  else if (w < caret_x + 1 - n->text_scroll) n->text_scroll = caret_x + 1 + w * margin - w;
  n->blink_start = n->drag_step_time = now();
}

void ui_textbox_clamp_scroll(ui_node *n, f32 text_width) {
  if (n->text_scroll < 0) {
    n->text_scroll = 0;
    return;
  }
  f32 most = text_width + 1 - n->size[0];
  if (most < 0) most = 0;
  if (n->text_scroll > most) n->text_scroll = most;
}

void ui_textbox_caret_from_x(ui_context *ctx, ui_node *n, f32 x, buffer text, bool follow) {
  if (x < 0) x = 0;
  n->caret = byte_at(ctx, n, text, x + n->text_scroll);
  if (follow) ui_textbox_scroll_to_caret(n, x_of(ctx, n, text, n->caret), 0);
}

static void scroll_keys(ui_context *ctx, ui_node *n, buffer text) {
  ui_textbox_scroll_to_caret(n, x_of(ctx, n, text, n->caret), UI_TEXTBOX_SCROLL_MARGIN);
}

// ---- Keys --------------------------------------------------------------------------------

static const u8 key_letter_a = key_a;
static u8 letter(char c) { return (u8)(key_letter_a + (c - 'A')); }

// Replaces [start, end) by the bytes, recorded for undo; the caret goes after them. Only typing
// (typed_at: the character's input time) may continue the box's last record, and only within
// the pause; any other edit is a record of its own that later typing does not join.
static bool replace_recorded(ui_context *ctx, ui_node *n, buffer *text, u64 start, u64 end, buffer bytes,
                             f32 *text_width, bool scroll, u64 typed_at = 0) {
  u8 *b = text->data + start, *e = text->data + end;
  if (!string_can_replace(text, b, e, bytes)) return false;
  ui_undo_record *last = ui_undo_find(ctx, n->id);
  if (!typed_at || (last != &ctx->undo_list && typed_at - last->time_ms > UI_UNDO_PAUSE_MS)) ui_undo_close(ctx, n->id);
  ui_undo_record *r = ui_undo_record_edit(ctx, n, *text, b, e, bytes);
  string_replace(text, b, e, bytes);
  n->caret = n->anchor = start + bytes.used;
  *text_width = width_of(ctx, n, *text);
  if (scroll) scroll_keys(ctx, n, *text);
  ui_undo_record_finish(ctx, r, n);
  if (r) {
    r->time_ms = typed_at;
    // A deletion or a paste ends here: what is typed next undoes on its own.
    if (!typed_at || bytes.used == 0) r->closed = 1;
  }
  return true;
}

static void line_breaks_to_spaces(buffer text) {
  for (u64 i = 0; i < text.used; i++) {
    u8 c = text.data[i];
    if (c == '\n' || c == '\r' || c == '\v' || c == '\t') text.data[i] = ' ';
  }
}

u32 ui_textbox_key(ui_context *ctx, const input_event *e, ui_node *n, buffer *text, f32 *text_width) {
  n->caret_follow = 0;
  if (e->type != input_event_type_key || !(e->state & input_event_state_down)) return 0;
  bool ctrl = (e->modifiers & input_modifier_control) != 0;
  bool shift = (e->modifiers & input_modifier_shift) != 0;
  // The caller may have changed the text since last frame: the selection must lie in it, on
  // code-point boundaries, before anything reads or edits there.
  n->caret = ui_text_codepoint_floor(*text, n->caret);
  n->anchor = ui_text_codepoint_floor(*text, n->anchor);
  u64 lo = n->caret < n->anchor ? n->caret : n->anchor;
  u64 hi = n->caret < n->anchor ? n->anchor : n->caret;
  f32 w = n->size[0];
  u32 result = 0;
  u8 code = e->code;

  // Moving the caret or the selection ends the typing that came before.
  bool moves = code == key_left || code == key_right || code == key_home || code == key_end ||
               code == key_up || code == key_down || (ctrl && code == letter('A'));
  if (moves) ui_undo_close(ctx, n->id);

  if (code == key_left || code == key_right) {
    bool left = code == key_left;
    if (ctrl) n->caret = left ? ui_text_word_start(*text, n->caret) : ui_text_word_end(*text, n->caret);
    else if (shift || lo == hi)
      n->caret = left ? ui_text_previous_codepoint(*text, n->caret) : ui_text_next_codepoint(*text, n->caret);
    else n->caret = n->anchor = left ? lo : hi;
    if (!shift) n->anchor = n->caret;
    scroll_keys(ctx, n, *text);
  } else if (code == key_home || code == key_end) {
    bool home = code == key_home;
    n->caret = home ? 0 : text->used;
    if (!shift) n->anchor = n->caret;
    n->text_scroll = home ? 0 : *text_width + 1 - w;
    n->blink_start = now();
  } else if (ctrl && (code == letter('C') || code == letter('X'))) {
    if (lo < hi) {
      clipboard_set(buffer{hi - lo, hi - lo, text->data + lo});
      if (code == letter('X')) replace_recorded(ctx, n, text, lo, hi, buffer{}, text_width, true);
    }
    n->blink_start = now();
  } else if (ctrl && code == letter('V')) {
    buffer scratch = buffer_view_rest_aligned(ctx->scratch);
    buffer pasted = clipboard_get(&scratch, false);
    u64 room = (hi - lo) + (text->size - text->used);
    if (pasted.used > room) {
      // Cut where a character starts, so the text never ends in part of one.
      pasted.used = ui_text_codepoint_floor(pasted, room);
    }
    if (pasted.used) {
      line_breaks_to_spaces(pasted);
      replace_recorded(ctx, n, text, lo, hi, pasted, text_width, true);
      n->blink_start = now();
    }
  } else if (ctrl && code == letter('A')) {
    n->anchor = 0;
    n->caret = text->used;
    n->text_scroll = *text_width + 1 - w;
    n->blink_start = now();
  } else if (code == key_backspace || code == key_delete) {
    u64 start = lo, end = hi;
    if (lo == hi) {
      if (code == key_backspace) start = ctrl ? ui_text_word_start(*text, n->caret) : ui_text_previous_codepoint(*text, n->caret);
      else end = ctrl ? ui_text_word_end(*text, n->caret) : ui_text_next_codepoint(*text, n->caret);
    }
    if (start < end) replace_recorded(ctx, n, text, start, end, buffer{}, text_width, code == key_backspace);
    n->blink_start = now();
  } else if (ctrl && code == letter('Z')) {
    if (shift) ui_redo(ctx, n, text);
    else ui_undo(ctx, n, text);
    *text_width = width_of(ctx, n, *text);
  } else if (code == key_enter) {
    result = ctrl ? ui_textbox_key_ctrl_enter : ui_textbox_key_enter;
  } else if (code == key_escape) {
    result = ui_textbox_key_escape;
  } else if (code == key_tab) {
    result = ui_textbox_key_tab;
  } else if (e->codepoint > 31 && e->codepoint != 127) {
    // Encoded again from the code point, so nothing but one whole character goes in.
    u8 bytes[4];
    u8 length = 0;
    u32 error = 0;
    unicode_utf8_encode(bytes, bytes + 4, e->codepoint, &length, &error);
    if (!error && length) {
      n->caret = lo;
      n->anchor = hi;
      // Input times start at 1, so a typed character always carries one.
      u64 at = e->time ? e->time : 1;
      if (replace_recorded(ctx, n, text, lo, hi, buffer{length, length, bytes}, text_width, true, at))
        n->blink_start = now();
    }
  }
  if (n->caret > text->used) n->caret = text->used;
  if (n->anchor > text->used) n->anchor = text->used;
  ui_textbox_clamp_scroll(n, *text_width);
  return result;
}

// ---- Mouse -------------------------------------------------------------------------------

// The caret shows for the first half of each blink cycle from blink_start; the next frame is due
// when the half it is in ends.
static void caret_blink_wake(ui_context *ctx, ui_node *n) {
  window *w = ctx->window;
  if (!w || !w->caret_blink_ms || !ctx->counter_frequency) return;
  f64 p = w->caret_blink_ms / 1000.0;
  f64 t = (f64)(now() - n->blink_start) / (f64)ctx->counter_frequency;
  f64 left = t < p ? p - t : t < 2 * p ? 2 * p - t : p;
  f64 ms = ceil(left * 1000.0) + 1;
  // A caret that does not blink (a very long period) needs no wake-up at all.
  if (ms > 60000) return;
  ui_wake_after(ctx, (u32)ms);
}

static bool within_ms(u64 then, u64 t, u32 ms) { return then != 0 && t >= then && t - then <= ms; }

static void mouse_press(ui_context *ctx, ui_node *outer, ui_node *n, buffer text, const input_event *e, f32 x) {
  bool shift = (e->modifiers & input_modifier_shift) != 0;
  u64 t = e->time;
  u32 ms = ctx->window ? ctx->window->double_click_ms : 500;
  v2 p = v2{(f32)e->x, (f32)e->y};
  bool near = ui_within_double_click_distance(ctx, p, n->click_position);
  ui_undo_close(ctx, n->id);  // a click places the caret anew
  if (!ui_is_active(ctx, outer)) {
    ui_set_active(ctx, outer, 1);
    ui_repeat_add(ctx, outer->id);
    ui_textbox_caret_from_x(ctx, n, x, text, true);
    n->caret_follow = 1;
    if (!shift) n->anchor = n->caret;
    n->click_time = t;
    n->double_click_time = n->triple_click_time = 0;
  } else if (near && within_ms(n->double_click_time, t, ms)) {
    n->anchor = 0;
    n->caret = text.used;
    ui_textbox_scroll_to_caret(n, x_of(ctx, n, text, n->caret), 0);
    n->caret_follow = 1;
    n->click_time = n->double_click_time = 0;
    n->triple_click_time = t;
  } else if (near && within_ms(n->click_time, t, ms)) {
    if (shift) {
      u64 l = byte_at(ctx, n, text, (x < 0 ? 0 : x) + n->text_scroll);
      n->caret = l < n->anchor ? ui_text_word_start(text, l) : ui_text_word_end(text, l);
    } else {
      n->caret = ui_text_word_end(text, n->caret);
      n->anchor = ui_text_word_start(text, n->caret);
    }
    ui_textbox_scroll_to_caret(n, x_of(ctx, n, text, n->caret), 0);
    n->caret_follow = 1;
    n->click_time = n->triple_click_time = 0;
    n->double_click_time = t;
    n->word_end = n->caret > n->anchor ? n->caret : n->anchor;
    n->word_begin = n->caret > n->anchor ? n->anchor : n->caret;
  } else {
    ui_textbox_caret_from_x(ctx, n, x, text, true);
    n->caret_follow = 1;
    if (!shift) n->anchor = n->caret;
    n->click_time = t;
    n->double_click_time = n->triple_click_time = 0;
  }
  n->click_position = p;
}

static void mouse_drag(ui_context *ctx, ui_node *n, buffer text, f32 x) {
  f32 w = n->size[0];
  if (x < 0 || x > w) {
    bool right = x > 0;
    f32 target = right ? w : 0;
    if (n->click_time) ui_textbox_caret_from_x(ctx, n, target, text, false);
    if (ui_seconds_between(ctx, n->drag_step_time, now()) <= UI_TEXTBOX_DRAG_STEP_SECONDS) return;
    f32 step = 2 * ui_gfx_line_height(node_font(ctx, n));
    if (n->click_time || n->triple_click_time) {
      n->text_scroll += right ? step : -step;
      ui_textbox_clamp_scroll(n, width_of(ctx, n, text));
      if (n->click_time) ui_textbox_caret_from_x(ctx, n, target, text, true);
      else n->blink_start = n->drag_step_time = now();
    } else if (n->double_click_time) {
      if (right) {
        n->caret = ui_text_word_end(text, n->caret);
        n->anchor = n->word_end < n->caret ? n->word_begin : n->word_end;
      } else {
        n->caret = ui_text_word_start(text, n->caret);
        n->anchor = n->caret < n->word_begin ? n->word_end : n->word_begin;
      }
      ui_textbox_scroll_to_caret(n, x_of(ctx, n, text, n->caret), 0);
    }
    return;
  }
  if (n->click_time) {
    ui_textbox_caret_from_x(ctx, n, x, text, true);
  } else if (n->double_click_time) {
    u64 l = byte_at(ctx, n, text, x + n->text_scroll);
    if (l >= n->word_end) {
      n->caret = ui_text_word_end(text, l);
      n->anchor = n->word_begin;
    } else if (l < n->word_begin) {
      n->caret = ui_text_word_start(text, l < n->caret ? l : ui_text_word_end(text, l));
      n->anchor = n->word_end;
    } else {
      n->caret = n->word_end;
      n->anchor = n->word_begin;
    }
    ui_textbox_scroll_to_caret(n, x_of(ctx, n, text, n->caret), 0);
  }
}

u32 ui_textbox_input(ui_context *ctx, ui_node *outer, buffer *text) {
  ui_node *n = ui_find_previous(ctx, outer->id | UI_ID_FAKE_BIT);
  if (!n || !ctx->window) return 0;
  line_breaks_to_spaces(*text);
  // Offsets persist across frames while the text belongs to the caller.
  if (n->caret > text->used) n->caret = text->used;
  if (n->anchor > text->used) n->anchor = text->used;
  f32 text_width = width_of(ctx, n, *text);
  // Only a selection that follows the mouse needs steady frames (it scrolls while the mouse is
  // held past an edge); an edited box otherwise wakes only for its caret's next blink.
  if (ui_is_active(ctx, outer) && n->caret_follow) ui_repeat_add(ctx, outer->id);
  else if (!ui_is_active(ctx, outer)) n->caret_follow = 0;

  u32 key = 0;
  input_event_iterator it = input_event_iterator_make(ctx->window, input_event_type_all);
  for (input_event *e; !key && (e = input_event_next(&it));) {
    if (e->type == input_event_type_key) {
      if (ui_is_active(ctx, outer)) key = ui_textbox_key(ctx, e, n, text, &text_width);
      continue;
    }
    v2 p = v2{(f32)e->x, (f32)e->y};
    if (ui_node_hit_test(ctx, outer, p)) ui_set_hot(ctx, outer);
    f32 x = p.x - n->rect.x0;
    if (e->type == input_event_type_button) {
      if (input_event_is_press(e, key_mouse_left)) {
        if (ui_is_hot(ctx, outer)) {
          mouse_press(ctx, outer, n, *text, e, x);
        } else if (ui_is_active(ctx, outer)) {
          ui_clear_active(ctx, outer);
          ui_repeat_remove(ctx, outer->id);
          n->caret_follow = 0;
        }
      } else if (ui_is_active(ctx, outer) && input_event_is_release(e, key_mouse_left)) {
        n->caret_follow = 0;
      }
    } else if (n->caret_follow && ui_is_active(ctx, outer)) {
      mouse_drag(ctx, n, *text, x);
    }
  }
  ui_textbox_clamp_scroll(n, text_width);
  if (ui_is_active(ctx, outer)) caret_blink_wake(ctx, n);
  return key;
}

// ---- The box -----------------------------------------------------------------------------

ui_textbox_result ui_textbox(ui_context *ctx, ui_id id, buffer *text) {
  ui_textbox_result result = {nullptr, 0};
  ui_node *previous = ui_find_previous(ctx, id);
  if (previous) result.key = ui_textbox_input(ctx, previous, text);

  ui_node *outer = ui_node_create(ctx, id, ui_size_fill_make(), ui_size_children_make(), ui_node_flag_frame);
  ui_node_set_tag(outer, string_lit("textbox"));
  outer->style = ui_style_textbox;
  ui_parent_push(ctx, outer);
  u64 flags = ui_node_flag_clip | ui_node_flag_text | ui_node_flag_editable;
  if (ui_is_active(ctx, outer)) flags |= ui_node_flag_caret;
  ui_node *n = ui_node_create(ctx, id | UI_ID_FAKE_BIT, ui_size_parent_content_make(), ui_size_line_make(), flags);
  n->style = ui_style_textbox;
  ui_node_set_text(ctx, n, *text, false);
  if (n->caret > text->used) n->caret = text->used;
  if (n->anchor > text->used) n->anchor = text->used;
  ui_parent_pop(ctx);

  ui_node *previous_text = ui_find_previous(ctx, id | UI_ID_FAKE_BIT);
  if (previous_text && ui_is_hot(ctx, previous_text)) ctx->cursor = ui_cursor_ibeam;
  result.node = outer;
  return result;
}
