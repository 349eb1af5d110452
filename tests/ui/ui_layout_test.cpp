// The size solver, scrollbars and positioning against layouts computed by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "tests/ui/ui_test_support.h"

static ui_size px(f32 v) { return ui_size_pixels_make(v); }

// Style 2 has border 1 and padding 2 (y) and 10 (x) on each side: a frame of 22 by 6.
static const u64 framed = ui_node_flag_border | ui_node_flag_padding;

TEST(ui_layout, every_rule_kind_by_hand) {
  ui_fixture f;
  ui_node *n[16] = {};
  f.frame([&](ui_context *c) {
    ui_node *root = node_make(c, px(300), px(500), ui_node_flag_stack_y | framed);
    root->style = 2;
    ui_parent_push(c, root);
    n[0] = node_make(c, ui_size_parent_make(), px(10));
    n[1] = node_make(c, ui_size_parent_content_make(), ui_size_none_make());
    n[2] = node_make(c, ui_size_parent_fraction_make(0.333f), ui_size_parent_fraction_make(2.0f));
    n[3] = node_make(c, ui_size_width_of_make(n[2]), ui_size_height_of_make(n[0]));
    // Children: stacked along x they add up, across they take the largest; plus the frame.
    n[4] = node_make(c, ui_size_children_make(), ui_size_children_make(), ui_node_flag_stack_x | framed);
    n[4]->style = 2;
    ui_parent_push(c, n[4]);
    node_make(c, px(30), px(7));
    node_make(c, px(40), px(9));
    ui_parent_pop(c);
    // Aspect: natural 200 x 100 scaled into the content width of the root (278).
    n[5] = node_make(c, ui_size_aspect_width_make(root, 400), ui_size_aspect_width_make(root, 100));
    n[6] = node_make(c, ui_size_aspect_make(n[4], 200), ui_size_aspect_make(n[4], 100));
    n[7] = node_make(c, px(50), px(60));
    ui_flags_set(&n[7]->size_y, ui_size_flag_clamp);
    n[7]->size_y.max = 25;
    // Gated rules: without a scrollbar of the view the axis is 0.
    n[8] = node_make(c, px(16), px(16));
    ui_flags_set(&n[8]->size_x, ui_size_flag_with_vertical_scrollbar);
    n[9] = ui_filler_y(c);
    ui_parent_pop(c);
  });
  auto size = [&](int i) { return std::make_pair(n[i]->size[0], n[i]->size[1]); };
  EXPECT_EQ(size(0), std::make_pair(300.f, 10.f));
  EXPECT_EQ(size(1), std::make_pair(278.f, 0.f));
  EXPECT_EQ(size(2), std::make_pair(100.f, 500.f));  // ceil(99.9); a fraction above 1 is cut to the parent
  EXPECT_EQ(size(3), std::make_pair(100.f, 10.f));
  EXPECT_EQ(size(4), std::make_pair(70.f + 22, 9.f + 6));
  EXPECT_EQ(size(5), std::make_pair(278.f, 69.f));  // floor(278 / 400 * 100)
  EXPECT_EQ(size(6), std::make_pair(18.f, 9.f));    // room 70 x 9: the height limits
  EXPECT_EQ(size(7), std::make_pair(50.f, 25.f));
  EXPECT_EQ(size(8), std::make_pair(0.f, 16.f));
  // The filler takes what the stacked siblings leave: 500 - 6 - (10+0+500+10+15+69+9+25+16).
  EXPECT_EQ(size(9).second, 0.f);  // negative room gives 0
  // Positions: stacked downwards from the content origin (left 11, top 3).
  EXPECT_EQ(n[0]->rect.x0, 11);
  EXPECT_EQ(n[0]->rect.y1, 600 - 3);
  EXPECT_EQ(n[1]->rect.y1, 600 - 3 - 10);
  EXPECT_EQ(n[2]->position[1], 10);
}

TEST(ui_layout, fill_shares_in_one_pass_and_centring) {
  ui_fixture f;
  ui_node *fill_a, *fill_b, *fixed, *centred, *root;
  f.frame([&](ui_context *c) {
    ui_node *top = node_make(c, px(400), px(400));
    ui_parent_push(c, top);
    root = node_make(c, px(300), px(100), ui_node_flag_stack_x | framed);
    root->style = 2;
    ui_parent_push(c, root);
    fill_a = node_make(c, ui_size_fill_make(), px(5));
    fixed = node_make(c, px(60), px(5));
    fill_b = node_make(c, ui_size_fill_make(), px(5));
    ui_parent_pop(c);
    ui_node *box = node_make(c, px(100), px(100));
    ui_parent_push(c, box);
    node_make(c, px(10), px(10));
    centred = node_make(c, px(20), px(10), ui_node_flag_centre_x);
    ui_parent_pop(c);
    ui_parent_pop(c);
  });
  EXPECT_EQ(fill_a->size[0], 109);  // (300 - (60 + 2 + 20)) / 2
  EXPECT_EQ(fill_b->size[0], 109);
  EXPECT_EQ(fixed->rect.x0, 11 + 109);
  EXPECT_EQ(fill_b->rect.x0, 11 + 109 + 60);
  EXPECT_EQ(centred->position[0], 40);  // the running offset is ignored
}

TEST(ui_layout, passes_dependencies_and_cycles) {
  ui_fixture f;
  ui_node *outer, *inner, *a, *b, *after;
  f.frame([&](ui_context *c) {
    ui_node *root = node_make(c, px(200), px(200), ui_node_flag_stack_y);
    ui_parent_push(c, root);
    // A children-sized node whose first child takes the width of a later one: the first pass
    // settles the later child, the second the first child and then the parent.
    outer = node_make(c, ui_size_children_make(), ui_size_children_make(), ui_node_flag_stack_y);
    ui_parent_push(c, outer);
    ui_node *first = node_make(c, px(1), px(12));
    inner = node_make(c, px(40), px(5));
    first->size_x = ui_size_width_of_make(inner);
    ui_parent_pop(c);
    // A cycle: each sized by the other; sizing ends with both at 0.
    a = node_make(c, px(5), px(5));
    b = node_make(c, ui_size_width_of_make(a), px(5));
    a->size_x = ui_size_width_of_make(b);
    after = node_make(c, px(7), px(7));
    ui_parent_pop(c);
  });
  EXPECT_EQ(outer->size[0], 40);
  EXPECT_EQ(outer->size[1], 17);
  EXPECT_EQ(outer->first_child->size[0], 40);
  EXPECT_EQ(a->size[0], 0);
  EXPECT_EQ(b->size[0], 0);
  EXPECT_EQ(after->size[0], 7);
}

// A view of 100 x 100 that scrolls along y with a list of count rows of that height as its
// content, under the current parent; the list and the rows are handed back.
static ui_node *scroll_list_make(ui_context *c, ui_id id, f32 row_height, u32 count, ui_node **list, ui_node **rows) {
  ui_node *view = node_make(c, px(100), px(100), ui_node_flag_scroll_y | ui_node_flag_clip, id);
  ui_parent_push(c, view);
  *list = node_make(c, ui_size_parent_make(), ui_size_children_make(), ui_node_flag_stack_y,
                    ui_id_with_modifier(id, ui_id_modifier_scrollable_content));
  ui_parent_push(c, *list);
  for (u32 i = 0; i < count; i++) rows[i] = node_make(c, ui_size_parent_make(), px(row_height));
  ui_parent_pop(c);
  ui_parent_pop(c);
  return view;
}

// A vertical list in a view of 100 x 100: scrollbars appear exactly when the content exceeds the
// view, the list is re-sized 16 pixels narrower, and the offset is clamped to the content.
TEST(ui_layout, scrollbars_appear_exactly_when_content_exceeds) {
  for (f32 content : {60.f, 99.f, 100.f, 101.f, 1000.f}) {
    for (f32 wanted : {-20.f, 0.f, 50.f, 5000.f}) {
      ui_fixture f;
      ui_node *view = nullptr, *list = nullptr, *row = nullptr;
      auto build = [&](ui_context *c) {
        ui_node *root = node_make(c, px(300), px(300), ui_node_flag_stack_y);
        ui_parent_push(c, root);
        view = scroll_list_make(c, 50, content, 1, &list, &row);
        node_make(c, px(10), px(10));
        ui_parent_pop(c);
      };
      f.frame([&](ui_context *c) {
        build(c);
        list->scroll[1] = wanted;
      });
      bool bar = content > 100;
      std::string label = std::to_string(content) + " " + std::to_string(wanted);
      ASSERT_EQ(view->parent->tag.used != 0, bar) << label;
      EXPECT_EQ(row->size[0], bar ? 84.f : 100.f) << label;
      f32 limit = bar ? content - 100 : 0;
      f32 expect = wanted < 0 ? 0 : (wanted > limit ? limit : wanted);
      EXPECT_EQ(list->scroll[1], expect) << label;
      if (!bar) continue;
      // The bar: 16 wide beside the view, its elevator at least 16 long and inside the track.
      ui_node *vbar = view->next;
      ASSERT_NE(vbar, nullptr);
      EXPECT_EQ(vbar->size[0], 16);
      EXPECT_EQ(vbar->size[1], 100);
      ui_node *shaft = vbar->first_child->next;
      ui_node *elevator = shaft->first_child->next;
      EXPECT_EQ(elevator->id, ui_id_with_modifier(50, ui_id_modifier_scrollbar_vertical_elevator));
      f32 thumb = std::max(std::round(68 * 100 / content), 16.f);
      EXPECT_EQ(elevator->size[1], thumb) << label;
      EXPECT_GE(elevator->rect.y0, view->rect.y0 + 16);
      EXPECT_LE(elevator->rect.y1, view->rect.y1 - 16);
      // The content moves up by the offset.
      EXPECT_EQ(list->rect.y1, view->rect.y1 + expect);
      // The next frame finds the offset again through the content's id.
      f.frame(build);
      EXPECT_EQ(list->scroll[1], expect) << label;
    }
  }
}

// The offset that shows a target, over a grid of every boundary: the target with its margins
// ends up in the view with the least move (none when it is already there), a negative margin
// centres it, and a target as long as the view or longer starts at the view's start.
TEST(ui_layout, scroll_offset_for_target_moves_the_least_that_shows_the_target) {
  for (f32 view : {1.f, 10.f, 11.f, 24.f}) {
    for (f32 begin = -3; begin <= 30; begin++) {
      for (f32 length = 0; length <= 26; length++) {
        f32 end = begin + length;
        for (f32 scroll = -2; scroll <= 32; scroll++) {
          for (f32 margin : {-1.f, 0.f, 3.f}) {
            f32 r = ui_scroll_offset_for_target(scroll, view, begin, end, margin);
            std::string label = std::to_string(view) + " " + std::to_string(begin) + " " + std::to_string(end) +
                                " " + std::to_string(scroll) + " " + std::to_string(margin);
            if (view <= length) {
              ASSERT_EQ(r, begin) << label;
            } else if (margin < 0) {
              ASSERT_EQ(r + view / 2, (begin + end) / 2) << label;
            } else {
              bool shown = scroll <= begin - margin && end + margin <= scroll + view;
              if (shown) {
                ASSERT_EQ(r, scroll) << label;
                continue;
              }
              // Scrolled past the start, the start comes back into view; otherwise the end does.
              if (scroll > begin - margin) ASSERT_EQ(r, begin - margin) << label;
              else ASSERT_EQ(r + view, end + margin) << label;
              if (length + 2 * margin <= view) {
                ASSERT_LE(r, begin - margin) << label;
                ASSERT_GE(r + view, end + margin) << label;
              }
            }
          }
        }
      }
    }
  }
  // A NaN size leaves the target at the view's start, as a target too long for the view does.
  EXPECT_EQ(ui_scroll_offset_for_target(5, 100, 20, NAN, 3), 20);
}

// A list whose view is given a row as its scroll target: the row ends up inside the view with its
// margin kept, centred for a negative margin, and at the top again for the first row (clamped).
TEST(ui_layout, scroll_to_target_brings_a_row_into_the_view) {
  struct step {
    u32 row;
    f32 margin;
  };
  ui_fixture f;
  ui_node *view = nullptr, *list = nullptr, *rows[20] = {};
  f32 before = 0;
  for (step s : {step{12, 10}, step{11, 10}, step{15, 10}, step{11, 10}, step{10, -1}, step{0, 10}}) {
    f.frame([&](ui_context *c) {
      ui_parent_push(c, node_make(c, px(300), px(300), ui_node_flag_stack_y));
      view = scroll_list_make(c, 70, 30, 20, &list, rows);
      ui_parent_pop(c);
      view->scroll_target = rows[s.row];
      view->scroll_margin[1] = s.margin;
    });
    std::string label = std::to_string(s.row) + " " + std::to_string(s.margin);
    rect v = view->rect, t = rows[s.row]->rect;
    EXPECT_EQ(list->scroll[1], std::round(list->scroll[1])) << label;
    if (s.margin < 0) {
      EXPECT_EQ(t.y0 + t.y1, v.y0 + v.y1) << label;
    } else if (s.row == 0) {
      EXPECT_EQ(list->scroll[1], 0) << label;
    } else {
      EXPECT_GE(t.y0, v.y0 + s.margin) << label;
      EXPECT_LE(t.y1, v.y1 - s.margin) << label;
      // The least move: none when the row was in view already, else one margin is met exactly.
      f32 top = 30.f * s.row;
      if (before <= top - s.margin && top + 30 + s.margin <= before + 100) EXPECT_EQ(list->scroll[1], before) << label;
      else EXPECT_TRUE(t.y0 == v.y0 + s.margin || t.y1 == v.y1 - s.margin) << label;
    }
    before = list->scroll[1];
  }
}

// A scrollable view inside another that gains a scrollbar is re-sized: the inner view's own
// scrollbars are rebuilt once for the new width, never nested twice.
TEST(ui_layout, nested_scrollables_resize_without_double_wrapping) {
  ui_fixture f;
  ui_node *inner_view = nullptr;
  f.frame([&](ui_context *c) {
    ui_node *root = node_make(c, px(300), px(300));
    ui_parent_push(c, root);
    ui_node *outer = node_make(c, px(200), px(200), ui_node_flag_scroll_y, 60);
    ui_parent_push(c, outer);
    ui_node *content = node_make(c, ui_size_parent_make(), ui_size_children_make(), ui_node_flag_stack_y, 61);
    ui_parent_push(c, content);
    inner_view = node_make(c, ui_size_parent_make(), px(100), ui_node_flag_scroll_y, 62);
    ui_parent_push(c, inner_view);
    ui_node *inner_content = node_make(c, ui_size_parent_make(), ui_size_children_make(), ui_node_flag_stack_y, 63);
    ui_parent_push(c, inner_content);
    node_make(c, ui_size_parent_make(), px(400));
    ui_parent_pop(c);
    ui_parent_pop(c);
    node_make(c, ui_size_parent_make(), px(300));
    ui_parent_pop(c);
    ui_parent_pop(c);
    ui_parent_pop(c);
  });
  ui_node *container = inner_view->parent;
  ASSERT_EQ(std::string((const char *)container->tag.data, container->tag.used), "vertical_scrollbar_container");
  ASSERT_EQ(std::string((const char *)container->parent->tag.data, 0), "");
  EXPECT_EQ(container->parent->id, ui_id(61));
  EXPECT_EQ(inner_view->size[0], 200 - 16 - 16);
  EXPECT_EQ(container->size[0], 200 - 16);
}

TEST(ui_layout, dump_of_a_small_tree) {
  ui_fixture f;
  f.frame([&](ui_context *c) {
    ui_node *root = node_make(c, px(100), ui_size_children_make(), ui_node_flag_stack_y, 3);
    ui_parent_push(c, root);
    ui_node *a = node_make(c, px(1), px(10));
    ui_node *b = ui_space_y(c, px(2.5f));
    a->size_x = ui_size_width_of_make(b);  // a cycle: neither width is ever known
    b->size_x = ui_size_width_of_make(a);
    ui_parent_pop(c);
  });
  u8 bytes[1024];
  buffer out = buffer_make(sizeof(bytes), 0, bytes);
  ui_tree_dump(f.ctx->root, &out, 0);
  EXPECT_EQ(std::string((const char *)out.data, out.used),
            "[3] no tag | pixels, child | true, true | 100.0, 12.5 | 0.0, 0.0 | 0.0, 100.0, 587.5, 600.0\n"
            "    [0] no tag | reference_x, pixels | false, true | 0.0, 10.0 | 0.0, 0.0 | 0.0, 0.0, 590.0, 600.0\n"
            "    [0] Space_y | reference_x, pixels | false, true | 0.0, 2.5 | 0.0, 10.0 | 0.0, 0.0, 587.5, 590.0\n");
}
