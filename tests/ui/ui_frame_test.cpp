// Frame begin, hot and active across frames, repeat ids and the wake-up timer.
#include <gtest/gtest.h>

#include "tests/ui/ui_test_support.h"

// A button as the widgets will build it: hot when the mouse is on last frame's node, active on
// a press while hot, clicked on a release while active and hot, released anywhere.
struct button_result {
  bool hot, active, clicked;
};
static button_result button(ui_context *c, ui_id id, f32 x, f32 width) {
  ui_node *n = ui_node_create(c, id, ui_size_pixels_make(width), ui_size_pixels_make(20), 0);
  n->position[0] = x;
  button_result r = {false, false, false};
  ui_node *prev = ui_find_previous(c, id);
  if (prev && ui_node_hit_test(c, prev, c->mouse)) ui_set_hot(c, n);
  input_event_iterator it = input_event_iterator_make(c->window, input_event_type_button);
  while (input_event *e = input_event_next(&it)) {
    if (input_event_is_press(e, key_mouse_left) && ui_is_hot(c, n)) ui_set_active(c, n, 0);
    if (input_event_is_release(e, key_mouse_left) && ui_is_active(c, n)) {
      r.clicked = ui_is_hot(c, n);
      ui_clear_active(c, n);
    }
  }
  r.hot = ui_is_hot(c, n);
  r.active = ui_is_active(c, n);
  return r;
}

TEST(ui_frame, press_drag_and_release_outside) {
  ui_fixture f;
  button_result a{}, b{};
  auto build = [&](ui_context *c) {
    ui_node *row = ui_node_create(c, UI_ID_NONE, ui_size_pixels_make(400), ui_size_pixels_make(20), ui_node_flag_stack_x);
    ui_parent_push(c, row);
    a = button(c, 10, 0, 100);
    b = button(c, 11, 100, 100);
    ui_parent_pop(c);
  };
  f.mouse_move(50, 590);
  f.frame(build);  // no previous nodes yet: nothing is hot
  EXPECT_FALSE(a.hot);
  f.frame(build);
  EXPECT_TRUE(a.hot);
  EXPECT_FALSE(b.hot);
  f.mouse_button(true);
  f.frame(build);
  EXPECT_TRUE(a.active);
  // Dragging onto B: A stays active and neither becomes hot, since A was made active without
  // hovering allowed.
  f.mouse_move(150, 590);
  f.frame(build);
  EXPECT_TRUE(a.active);
  EXPECT_FALSE(a.hot);
  EXPECT_FALSE(b.hot);
  EXPECT_EQ(f.ctx->active, 10u);
  // Releasing outside: no click, A inactive, and nothing is hot for the rest of that frame.
  f.mouse_button(false);
  f.frame(build);
  EXPECT_FALSE(a.clicked);
  EXPECT_FALSE(a.active);
  EXPECT_FALSE(b.hot);
  EXPECT_EQ(f.ctx->active, UI_ID_NONE);
  f.frame(build);
  EXPECT_TRUE(b.hot);
  // A full click on B.
  f.mouse_button(true);
  f.frame(build);
  f.mouse_button(false);
  f.frame(build);
  EXPECT_TRUE(b.clicked);
  // Losing the focus releases the active element.
  f.mouse_button(true);
  f.frame(build);
  EXPECT_TRUE(b.active);
  f.w->focused = 0;
  f.frame(build);
  EXPECT_EQ(f.ctx->active, UI_ID_NONE);
}

TEST(ui_frame, hot_rules_layers_and_parts) {
  ui_fixture f;
  ui_context *c = f.ctx.get();
  ui_begin_frame(c);
  ui_node *a = ui_node_create(c, 1, ui_size_none_make(), ui_size_none_make(), 0);
  ui_node *b = ui_node_create(c, 2, ui_size_none_make(), ui_size_none_make(), 0);
  ui_node *part = ui_node_create(c, UI_ID_POPUP_BIT | 1, ui_size_none_make(), ui_size_none_make(), 0);
  ui_node *fake = ui_node_create(c, UI_ID_FAKE_BIT | 1, ui_size_none_make(), ui_size_none_make(), 0);
  ui_set_hot(c, a);
  ui_set_hot(c, b);  // the first claim keeps hot
  EXPECT_TRUE(ui_is_hot(c, a));
  EXPECT_FALSE(ui_is_hot(c, b));
  ui_set_hot(c, part);
  EXPECT_TRUE(ui_is_hot(c, part));
  EXPECT_TRUE(ui_is_hot(c, a));
  EXPECT_TRUE(ui_is_hot(c, fake));  // a fake child of the hot element counts as hot

  // Active with hovering allowed lets others become hot; releasing it does not block hot.
  ui_begin_frame(c);
  a = ui_node_create(c, 1, ui_size_none_make(), ui_size_none_make(), 0);
  b = ui_node_create(c, 2, ui_size_none_make(), ui_size_none_make(), 0);
  ui_set_active(c, a, 1);
  ui_set_hot(c, b);
  EXPECT_TRUE(ui_is_hot(c, b));
  ui_clear_active(c, a);
  EXPECT_EQ(c->hot_blocked, 0u);
  ui_set_active(c, a, 0);
  ui_clear_active(c, a);
  EXPECT_EQ(c->hot_blocked, 1u);

  // Making a main-layer element active closes an open popup.
  ui_begin_frame(c);
  a = ui_node_create(c, 1, ui_size_none_make(), ui_size_none_make(), 0);
  c->parent = nullptr;
  ui_node *popup = ui_node_create(c, UI_ID_POPUP_ROOT, ui_size_none_make(), ui_size_none_make(), 0);
  popup->parent = nullptr;
  c->popup_root = popup;
  c->popup_anchor = a;
  ui_node *item = ui_node_create(c, 40, ui_size_none_make(), ui_size_none_make(), 0);
  item->parent = popup;
  ui_set_hot(c, item);
  EXPECT_EQ(c->popup_hot, 40u);
  EXPECT_EQ(c->hot, UI_ID_NONE);
  ui_set_active(c, item, 0);
  EXPECT_EQ(c->popup_active, 40u);
  ui_set_active(c, a, 0);
  EXPECT_EQ(c->popup_root, nullptr);
  EXPECT_EQ(c->popup_active, UI_ID_NONE);
}

TEST(ui_frame, mouse_events_and_first_frame) {
  ui_fixture f;
  ui_context *c = f.ctx.get();
  f.w->mouse_x = 30;
  f.w->mouse_y = 40;
  ui_begin_frame(c);
  EXPECT_EQ(c->previous_mouse.x, 30);
  EXPECT_EQ(c->mouse.y, 40);
  ASSERT_EQ(f.w->event_count, 1u);  // a frame without mouse events gets one move
  EXPECT_EQ(f.w->events[0].type, input_event_type_move);
  EXPECT_EQ(f.w->events[0].x, 30);
  ui_render(c, f.client);
  input_frame_reset(f.w.get());
  f.mouse_move(70, 80);
  ui_begin_frame(c);
  EXPECT_EQ(f.w->event_count, 1u);  // one real move; nothing added
  EXPECT_EQ(c->previous_mouse.x, 30);
  EXPECT_EQ(c->mouse.x, 70);
  EXPECT_EQ(c->frame_count, 2u);
}

TEST(ui_frame, repeat_list_and_wakeup_timer) {
  ui_fixture f;
  ui_context *c = f.ctx.get();
  ui_begin_frame(c);
  ui_repeat_add(c, 1);
  ui_repeat_add(c, 2);
  ui_repeat_add(c, 3);
  ui_repeat_add(c, 2);
  ASSERT_EQ(c->repeat_count, 3u);
  ui_repeat_remove(c, 1);
  ui_repeat_remove(c, 99);
  ASSERT_EQ(c->repeat_count, 2u);
  EXPECT_EQ(c->repeat_ids[0], 2u);
  EXPECT_EQ(c->repeat_ids[1], 3u);
  for (ui_id id = 100; id < 130; id++) ui_repeat_add(c, id);
  EXPECT_EQ(c->repeat_count, (u64)UI_REPEAT_CAPACITY);
  EXPECT_EQ(c->repeat_ids[UI_REPEAT_CAPACITY - 1], 113u);

  // The timer runs exactly in the frames that hold something, and its state is only touched on
  // a change.
  const bool held[] = {true, true, false, true, false, false};
  for (bool h : held) {
    ui_begin_frame(c);
    EXPECT_EQ(c->repeat_count, 0u);
    if (h) ui_repeat_add(c, 7);
    ui_wakeup_timer_update(c);
    EXPECT_EQ(window_timer_is_set(f.w.get()), h);
    if (h) {
      EXPECT_EQ(f.w->timer_ms, (u32)UI_WAKEUP_TIMER_MS);
    }
    ui_render(c, f.client);
  }
}
