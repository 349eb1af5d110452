// A UI context over a window record that no display backs: input is fed straight into the record.
#pragma once

#include <functional>
#include <memory>

#include "gfx/input.h"
#include "gfx/window.h"
#include "ui/ui.h"

struct ui_fixture {
  std::unique_ptr<window> w{new window()};
  std::unique_ptr<ui_context> ctx{new ui_context()};
  rect client{0, 0, 800, 600};

  explicit ui_fixture(gl_batch *batches[7] = nullptr) {
    w->focused = 1;
    w->width = 800;
    w->height = 600;
    w->caret_blink_ms = 530;
    if (batches) {
      ui_init(ctx.get(), w.get(), batches[0], batches[1], batches[2], batches[3], batches[4], batches[5], batches[6]);
    } else {
      ui_init(ctx.get(), w.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    }
  }
  // One frame: the pump's input, frame begin, the tree, the timer, layout and rendering.
  void frame(const std::function<void(ui_context *)> &build) {
    ui_begin_frame(ctx.get());
    build(ctx.get());
    ui_wakeup_timer_update(ctx.get());
    ui_render(ctx.get(), client);
    input_frame_reset(w.get());
  }
  void mouse_move(s32 x, s32 y) { input_on_mouse_move(w.get(), x, y, 1); }
  void mouse_button(bool down) { input_on_mouse_button(w.get(), key_mouse_left, down, 1); }
};

// A key press appended to the frame's events, with the character it typed: its code point and
// its bytes (at most 4; none when length is 0).
inline void ui_test_key(window *w, u8 code, u8 modifiers, u32 time, u32 codepoint = 0, const u8 *utf8 = nullptr,
                        u8 length = 0) {
  if (w->event_count >= INPUT_EVENT_CAPACITY) return;
  input_event &e = w->events[w->event_count++];
  e = input_event{};
  e.time = time;
  e.type = input_event_type_key;
  e.code = code;
  e.state = input_event_state_down;
  e.modifiers = modifiers;
  e.codepoint = codepoint;
  if (length > sizeof e.utf8) length = sizeof e.utf8;
  for (u8 i = 0; i < length; i++) e.utf8[i] = utf8[i];
  e.utf8_length = length;
}

inline ui_node *node_make(ui_context *ctx, ui_size x, ui_size y, u64 flags = 0, ui_id id = UI_ID_NONE) {
  return ui_node_create(ctx, id, x, y, flags);
}
