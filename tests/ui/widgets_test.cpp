#include <gtest/gtest.h>

#include <math.h>

#include <string>
#include <vector>

#include "core/core.h"
#include "gfx/font.h"
#include "ui_test_support.h"

namespace {

struct widget_fixture : ui_fixture {
  font_collection *fonts = nullptr;
  widget_fixture() {
    u32 error = 0;
    fonts = font_collection_create_default(14, nullptr, 0, &error);
    ctx->fonts = fonts;
  }
  ~widget_fixture() {
    if (fonts) font_collection_destroy_default(fonts);
    font_system_shutdown();
  }
  // A root stacking its children top to bottom.
  void build(const std::function<void(ui_context *)> &body) {
    frame([&](ui_context *c) {
      ui_node *root = node_make(c, ui_size_pixels_make(800), ui_size_pixels_make(600), ui_node_flag_stack_y);
      ui_parent_push(c, root);
      body(c);
      ui_parent_pop(c);
    });
  }
  v2 centre(ui_id id) {
    ui_node *n = ui_find_current(ctx.get(), id);
    return v2{(n->rect.x0 + n->rect.x1) / 2, (n->rect.y0 + n->rect.y1) / 2};
  }
  void move(v2 p) { mouse_move((s32)p.x, (s32)p.y); }
  // A click where the mouse is: one frame with the button down, one with it up.
  void click(const std::function<void(ui_context *)> &body) {
    mouse_button(true);
    build(body);
    mouse_button(false);
    build(body);
  }
};

TEST(widgets, button_clicks_only_when_pressed_and_released_over_it) {
  widget_fixture f;
  const ui_id id = 1;
  bool clicked = false;
  auto body = [&](ui_context *c) { clicked = ui_button(c, id, string_lit("Press")); };
  f.build(body);
  v2 on = f.centre(id);
  // Press and release in separate frames: the click comes with the release.
  f.move(on);
  f.mouse_button(true);
  f.build(body);
  EXPECT_FALSE(clicked);
  EXPECT_EQ(f.ctx->active, id);
  f.mouse_button(false);
  f.build(body);
  EXPECT_TRUE(clicked);
  EXPECT_EQ(f.ctx->active, UI_ID_NONE);
  // Press, drag off, release elsewhere: nothing.
  f.mouse_button(true);
  f.build(body);
  f.move(v2{700, 20});
  f.build(body);
  f.mouse_button(false);
  f.build(body);
  EXPECT_FALSE(clicked);
  // Both in one frame still clicks.
  f.move(on);
  f.mouse_button(true);
  f.mouse_button(false);
  f.build(body);
  EXPECT_TRUE(clicked);
}

TEST(widgets, check_box_toggles_from_its_box_and_its_label) {
  widget_fixture f;
  if (!f.fonts) GTEST_SKIP() << "no font on this system";
  const ui_id id = 2;
  int value = 0;
  auto body = [&](ui_context *c) { ui_checkbox(c, id, &value, string_lit("Show deleted")); };
  f.build(body);
  ui_node *row = ui_find_current(f.ctx.get(), id);
  ui_node *box = row->first_child, *label = row->last_child;
  v2 points[] = {{(box->rect.x0 + box->rect.x1) / 2, (box->rect.y0 + box->rect.y1) / 2},
                 {(label->rect.x0 + label->rect.x1) / 2, (label->rect.y0 + label->rect.y1) / 2}};
  int expected = 0;
  for (v2 p : points) {
    f.move(p);
    f.click(body);
    expected = !expected;
    EXPECT_EQ(value, expected);
    EXPECT_EQ(ui_node_has_flags(ui_find_current(f.ctx.get(), id)->first_child, ui_node_flag_icon), expected != 0);
  }
}

// A dropdown's hundred choices, "entry 0" to "entry 99".
struct dropdown_choices {
  std::vector<std::string> names;
  std::vector<buffer> texts;
  dropdown_choices() {
    for (int i = 0; i < 100; i++) names.push_back("entry " + std::to_string(i));
    for (auto &s : names) texts.push_back(string_from_bytes(s.data(), s.size()));
  }
};

TEST(widgets, dropdown_opens_centres_its_choice_picks_and_closes) {
  widget_fixture f;
  if (!f.fonts) GTEST_SKIP() << "no font on this system";
  const ui_id id = 3;
  dropdown_choices choices;
  std::vector<buffer> &texts = choices.texts;
  u64 selected = 50;
  auto body = [&](ui_context *c) {
    selected = ui_dropdown(c, id, ui_size_pixels_make(200), texts.data(), texts.size(), selected);
  };
  f.build(body);
  v2 on = f.centre(id);
  f.move(on);
  f.click(body);
  ASSERT_TRUE(f.ctx->popup_root);
  // The list is longer than the room below the dropdown: it scrolls, with the choice centred.
  ui_node *item = ui_find_current(f.ctx.get(), (ui_id)(uintptr_t)texts[50].data);
  ui_node *content = ui_find_current(f.ctx.get(), ui_id_with_modifier(id, ui_id_modifier_scrollable_content));
  ASSERT_TRUE(item && content);
  ui_node *view = content->parent;
  EXPECT_GT(content->scroll[1], 0);
  f32 item_mid = (item->rect.y0 + item->rect.y1) / 2, view_mid = (view->rect.y0 + view->rect.y1) / 2;
  EXPECT_NEAR(item_mid, view_mid, item->size[1]);
  // The wheel over the list scrolls it by 54 pixels a notch.
  f32 before = content->scroll[1];
  f.move(v2{(view->rect.x0 + view->rect.x1) / 2, view_mid});
  input_on_scroll(f.w.get(), 0, 1, 1);
  f.build(body);
  content = ui_find_current(f.ctx.get(), ui_id_with_modifier(id, ui_id_modifier_scrollable_content));
  EXPECT_FLOAT_EQ(content->scroll[1], before - 54);
  // Clicking an item returns its index and closes the popup.
  item = ui_find_current(f.ctx.get(), (ui_id)(uintptr_t)texts[48].data);
  ASSERT_TRUE(item);
  f.move(v2{(item->rect.x0 + item->rect.x1) / 2, (item->rect.y0 + item->rect.y1) / 2});
  f.click(body);
  EXPECT_EQ(selected, 48u);
  EXPECT_FALSE(f.ctx->popup_root);
  EXPECT_EQ(f.ctx->active, UI_ID_NONE);
  // Opened again, a press outside closes it without a change.
  f.move(on);
  f.click(body);
  ASSERT_TRUE(f.ctx->popup_root);
  f.move(v2{790, 590});
  f.click(body);
  EXPECT_EQ(selected, 48u);
  EXPECT_FALSE(f.ctx->popup_root);
}

// A pick whose press and release come in one frame closes the popup while that frame is being
// built: a widget of the main tree made later in the frame, under the picked item, must not take
// the press as well.
TEST(widgets, a_quick_pick_in_a_dropdown_does_not_press_what_lies_below_it) {
  widget_fixture f;
  if (!f.fonts) GTEST_SKIP() << "no font on this system";
  const ui_id id = 3, below = 9;
  buffer texts[3] = {string_lit("Feeds"), string_lit("Deleted"), string_lit("Both")};
  u64 selected = 0;
  bool pressed = false;
  auto body = [&](ui_context *c) {
    selected = ui_dropdown(c, id, ui_size_pixels_make(200), texts, 3, selected);
    ui_node *previous = ui_find_previous(c, below);
    pressed = previous && ui_pressed(c, previous);
    node_make(c, ui_size_pixels_make(800), ui_size_pixels_make(300), 0, below);
  };
  f.build(body);
  v2 on = f.centre(id);
  f.move(on);
  f.mouse_button(true);
  f.mouse_button(false);
  f.build(body);
  f.build(body);
  ASSERT_TRUE(f.ctx->popup_root);
  ui_node *item = ui_find_current(f.ctx.get(), (ui_id)(uintptr_t)texts[2].data);
  ASSERT_TRUE(item);
  v2 pick{(item->rect.x0 + item->rect.x1) / 2, (item->rect.y0 + item->rect.y1) / 2};
  ASSERT_TRUE(rect_contains(ui_find_current(f.ctx.get(), below)->rect, pick)) << "the item lies over the node";
  f.move(pick);
  f.mouse_button(true);
  f.mouse_button(false);
  f.build(body);
  EXPECT_EQ(selected, 2u);
  EXPECT_FALSE(f.ctx->popup_root);
  EXPECT_FALSE(pressed);
  // With the popup gone, the same press reaches the node.
  f.mouse_button(true);
  f.mouse_button(false);
  f.build(body);
  EXPECT_TRUE(pressed);
}

// A dropdown closed by a click elsewhere leaves the next click to whatever it lands on.
TEST(widgets, after_a_dropdown_closes_by_a_click_outside_the_next_click_counts) {
  widget_fixture f;
  if (!f.fonts) GTEST_SKIP() << "no font on this system";
  const ui_id id = 3, button = 9;
  buffer texts[2] = {string_lit("one"), string_lit("two")};
  u64 selected = 0;
  bool clicked = false;
  auto body = [&](ui_context *c) {
    selected = ui_dropdown(c, id, ui_size_pixels_make(200), texts, 2, selected);
    clicked = ui_button(c, button, string_lit("Delete feed"));
  };
  f.build(body);
  v2 on = f.centre(id), on_button = f.centre(button);
  for (bool separate_frames : {false, true}) {
    SCOPED_TRACE(separate_frames);
    auto click = [&](v2 p) {
      f.move(p);
      f.mouse_button(true);
      if (separate_frames) f.build(body);
      f.mouse_button(false);
      f.build(body);
    };
    click(on);
    ASSERT_TRUE(f.ctx->popup_root);
    click(v2{790, 590});
    EXPECT_FALSE(f.ctx->popup_root);
    EXPECT_FALSE(clicked);
    click(on_button);
    EXPECT_TRUE(clicked);
    EXPECT_EQ(f.ctx->active, UI_ID_NONE);
  }
}

TEST(widgets, scrollable_view_wheel_and_clamping) {
  widget_fixture f;
  const ui_id id = 4;
  auto body = [&](ui_context *c) {
    ui_scrollable_begin(c, id, ui_size_pixels_make(300), ui_size_pixels_make(200),
                        ui_node_flag_scroll_y | ui_node_flag_clamp_scroll);
    ui_node_create(c, UI_ID_NONE, ui_size_pixels_make(280), ui_size_pixels_make(1000), 0);
    ui_scrollable_end(c);
  };
  ui_id content_id = ui_id_with_modifier(id, ui_id_modifier_scrollable_content);
  f.build(body);
  f.build(body);
  v2 p = f.centre(id);
  f.move(p);
  const f32 notches[] = {-3, -10, 0.5f, 1, 30, -2};
  f32 expected = 0;
  for (f32 n : notches) {
    input_on_scroll(f.w.get(), 0, n, 1);
    f.build(body);
    expected -= 54 * truncf(n);
    expected = std::min(std::max(expected, 0.0f), 800.0f);
    EXPECT_EQ(ui_find_current(f.ctx.get(), content_id)->scroll[1], expected) << n;
  }
  // The elevator dragged down moves the view by the content's share of the track.
  ui_node *elevator =
      ui_find_current(f.ctx.get(), ui_id_with_modifier(id, ui_id_modifier_scrollbar_vertical_elevator));
  ASSERT_TRUE(elevator);
  f32 track = elevator->parent->size[1] - elevator->size[1];
  f32 start = ui_find_current(f.ctx.get(), content_id)->scroll[1];
  v2 grab{(elevator->rect.x0 + elevator->rect.x1) / 2, elevator->rect.y1 - 2};
  f.move(grab);
  f.mouse_button(true);
  f.build(body);
  f.move(v2{grab.x, grab.y - 10});
  f.move(v2{grab.x, grab.y - 20});  // two moves in one frame count once
  f.build(body);
  f.mouse_button(false);
  f.build(body);
  EXPECT_NEAR(ui_find_current(f.ctx.get(), content_id)->scroll[1], start + roundf(20 * 800 / track), 1);
}

TEST(widgets, shortcut_modifier_masks) {
  widget_fixture f;
  auto press = [&](u8 key, u8 mods) { ui_test_key(f.w.get(), key, mods, 0); };
  struct {
    u8 mods, mask;
    bool fires;
  } cases[] = {{0, 0, true},
               {input_modifier_left_control, 0, false},
               {input_modifier_left_control, ui_shortcut_control, true},
               {input_modifier_right_control, ui_shortcut_control, true},
               {input_modifier_left_shift, ui_shortcut_control, false},
               {input_modifier_left_control | input_modifier_left_shift, ui_shortcut_control | ui_shortcut_shift, true},
               {input_modifier_left_control, ui_shortcut_control | ui_shortcut_shift, false}};
  for (auto c : cases) {
    bool fired = false;
    press(key_s, c.mods);
    f.build([&](ui_context *ctx) { fired = ui_shortcut(ctx, key_s, c.mask); });
    EXPECT_EQ(fired, c.fires) << (int)c.mods << " " << (int)c.mask;
  }
  // Not while something is active.
  auto active_node = [](ui_context *ctx) { node_make(ctx, ui_size_pixels_make(10), ui_size_pixels_make(10), 0, 99); };
  f.build(active_node);
  f.ctx->active = 99;
  bool fired = true;
  press(key_s, 0);
  f.build([&](ui_context *ctx) {
    fired = ui_shortcut(ctx, key_s, 0);
    active_node(ctx);
  });
  EXPECT_FALSE(fired);
}

}  // namespace

namespace {

// The dropdown's list has scrollbars of its own: pressing them scrolls the list and must not
// count as a press outside the popup.
TEST(widgets, pressing_the_scrollbar_of_a_dropdown_list_scrolls_it_and_keeps_it_open) {
  widget_fixture f;
  if (!f.fonts) GTEST_SKIP() << "no font on this system";
  const ui_id id = 3;
  dropdown_choices choices;
  std::vector<buffer> &texts = choices.texts;
  u64 selected = 50;
  auto body = [&](ui_context *c) {
    selected = ui_dropdown(c, id, ui_size_pixels_make(200), texts.data(), texts.size(), selected);
  };
  auto content = [&] {
    return ui_find_current(f.ctx.get(), ui_id_with_modifier(id, ui_id_modifier_scrollable_content));
  };
  f.build(body);
  f.move(f.centre(id));
  f.click(body);
  ASSERT_TRUE(f.ctx->popup_root);
  for (u32 k : {1u, 5u}) {
    ui_id part = ui_id_with_modifier(id, ui_id_modifier_scrollbar(1, k));
    ASSERT_TRUE(ui_find_current(f.ctx.get(), part)) << k;
    f32 before = content()->scroll[1];
    f.move(f.centre(part));
    f.mouse_button(true);
    f.build(body);
    EXPECT_TRUE(f.ctx->popup_root) << k;
    f.mouse_button(false);
    f.build(body);
    ASSERT_TRUE(f.ctx->popup_root) << k;
    EXPECT_EQ(f.ctx->active, id) << k;
    EXPECT_FLOAT_EQ(content()->scroll[1], k == 1 ? before - 18 : before + 18) << k;
    EXPECT_EQ(selected, 50u);
  }
}

}  // namespace

namespace {

// A pressed element that is no longer built can never see its release: the next frame lets it
// go, so the rest of the screen stays usable and shortcuts work again.
TEST(widgets, an_active_element_that_is_not_built_any_more_is_released) {
  widget_fixture f;
  if (!f.fonts) GTEST_SKIP() << "no font on this system";
  const ui_id a = 7, b = 8;
  bool show_a = true, clicked_b = false;
  auto body = [&](ui_context *c) {
    if (show_a) ui_button(c, a, string_lit("first"));
    clicked_b = ui_button(c, b, string_lit("second"));
  };
  f.build(body);
  f.move(f.centre(a));
  f.mouse_button(true);
  f.build(body);
  ASSERT_EQ(f.ctx->active, a);
  show_a = false;  // the press changed the page: the pressed button is gone
  f.build(body);
  f.mouse_button(false);
  f.build(body);
  f.build(body);
  EXPECT_EQ(f.ctx->active, UI_ID_NONE);
  ui_test_key(f.w.get(), key_s, 0, 0);
  bool fired = false;
  f.build([&](ui_context *c) { fired = ui_shortcut(c, key_s, 0); body(c); });
  EXPECT_TRUE(fired);
  f.move(f.centre(b));
  f.build(body);
  f.click(body);
  EXPECT_TRUE(clicked_b);
}

}  // namespace
