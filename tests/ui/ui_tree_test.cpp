// Ids, the style table and building the node tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/log.h"
#include "tests/ui/ui_test_support.h"

static std::string id_text(ui_id id) {
  static const char *names[] = {"zero", "one", "two"};
  static const u32 lengths[] = {4, 3, 3};
  u8 bytes[256];
  buffer out = buffer_make(sizeof(bytes), 0, bytes);
  ui_id_to_string(&out, id, names, lengths, 3);
  return std::string((const char *)out.data, out.used);
}

TEST(ui_ids, bits_modifiers_and_text) {
  EXPECT_EQ(ui_id_strip_fake(UI_ID_NONE), UI_ID_NONE);
  EXPECT_EQ(ui_id_strip_fake(UI_ID_FAKE_BIT | UI_ID_POPUP_BIT | 5), UI_ID_POPUP_BIT | 5);
  // Scrollbar parts: axis * 5 + k, replacing whatever modifier the view's id had.
  ui_id view = ui_id_with_modifier(77, ui_id_modifier_scrollable_content);
  EXPECT_EQ(ui_id_modifier_of(ui_id_with_modifier(view, ui_id_modifier_scrollbar(1, 3))),
            (u32)ui_id_modifier_scrollbar_vertical_elevator);
  EXPECT_EQ(ui_id_with_modifier(view, 0) & UI_ID_BASE_MASK, 77u);
  // Popup parts: the owner's id plus bit 62; modifiers are not compared, bit 63 is.
  EXPECT_TRUE(ui_id_is_popup_of(UI_ID_POPUP_BIT | 9, 9));
  EXPECT_TRUE(ui_id_is_popup_of(UI_ID_POPUP_BIT | ui_id_with_modifier(9, 4), 9));
  EXPECT_FALSE(ui_id_is_popup_of(9, UI_ID_POPUP_BIT | 9));
  EXPECT_FALSE(ui_id_is_popup_of(UI_ID_POPUP_BIT | UI_ID_FAKE_BIT | 9, 9));
  EXPECT_FALSE(ui_id_is_popup_of(UI_ID_POPUP_BIT | 8, 9));

  EXPECT_EQ(id_text(UI_ID_NONE), "no_id");
  EXPECT_EQ(id_text(ui_id_with_modifier(2, 8)), "ui_id_modifier_scrollbar_vertical_elevator two");
  EXPECT_EQ(id_text(UI_ID_FAKE_BIT | UI_ID_POPUP_BIT | 1), "fake: popup: one");
  EXPECT_EQ(id_text(123456), "123456");
  // Modifiers beyond the table print as numbers instead of reading past it.
  EXPECT_EQ(id_text(ui_id_with_modifier(3, 15)), "15 3");
}

TEST(ui_styles, defaults_lookup_and_a_full_table) {
  ui_fixture f;
  ui_style_table *t = &f.ctx->styles;
  EXPECT_EQ(ui_style_get(t, 0), nullptr);
  ui_style *button = ui_style_get(t, 2);
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->padding.z, 10);  // left padding of labels and buttons
  EXPECT_EQ(button->background_colour[ui_state_hot_active].b, 0.8f);
  ui_style *last = ui_style_get(t, 17);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(last->border_colour[0].r, 1);
  EXPECT_EQ(ui_style_get(t, 18), nullptr);
  EXPECT_EQ(t->scrollbar_thickness, 16u);

  // Pushing until the 64 KiB table is full: indices run on, the full table refuses and every
  // index handed out stays readable.
  u32 index = 0, expected = 18, pushed = 0;
  while (ui_style *s = ui_style_push(t, &index)) {
    EXPECT_EQ(index, expected++);
    s->border.x = (f32)index;
    pushed++;
  }
  EXPECT_EQ(pushed + 18, UI_STYLE_TABLE_BYTES / sizeof(ui_style));
  EXPECT_EQ(ui_style_get(t, expected - 1)->border.x, (f32)(expected - 1));
  EXPECT_EQ(ui_style_get(t, expected), nullptr);
  EXPECT_EQ(ui_style_get(t, 0xFFFFFFFFu), nullptr);
}

TEST(ui_tree, creation_persistent_state_and_lookups) {
  ui_fixture f;
  ui_context *ctx = f.ctx.get();
  ui_size px = ui_size_pixels_make(10);
  f.frame([&](ui_context *c) {
    ui_node *root = node_make(c, px, px, 0, 5);
    EXPECT_EQ(c->root, root);  // the first node is the root even with an id
    ui_parent_push(c, root);
    ui_node *a = node_make(c, px, px, 0, 7);
    a->scroll[1] = 30;
    a->caret = 4;
    ui_node *b = node_make(c, ui_size_pixels_make(0), px, 0, 7);  // same id, never drawn
    b->caret = 9;
    ui_parent_pop(c);
    EXPECT_EQ(root->first_child, a);
    EXPECT_EQ(root->last_child, b);
    EXPECT_EQ(ui_find_current(c, 7), a);
  });
  f.frame([&](ui_context *c) {
    // The first of two previous nodes with an id gives the state; visibility is any of them.
    ui_node *n = node_make(c, px, px, 0, 7);
    EXPECT_EQ(n->scroll[1], 30);
    EXPECT_EQ(n->caret, 4u);
    ui_node *fresh = node_make(c, px, px);
    EXPECT_EQ(fresh->caret, 0u);
    EXPECT_TRUE(ui_id_was_visible(c, 7));
    EXPECT_FALSE(ui_id_was_visible(c, 8));
    EXPECT_EQ(ui_find_previous(c, UI_ID_NONE), nullptr);
  });
  (void)ctx;
}

TEST(ui_tree, detach_insert_splice_and_free_lists) {
  ui_fixture f;
  ui_context *c = f.ctx.get();
  ui_begin_frame(c);
  ui_size px = ui_size_pixels_make(1);
  ui_node *root = node_make(c, px, px);
  ui_parent_push(c, root);
  ui_node *kids[4];
  for (auto &k : kids) k = node_make(c, px, px);
  ui_parent_pop(c);
  auto order = [&]() {
    std::vector<ui_node *> v;
    for (ui_node *n = root->first_child; n; n = n->next) v.push_back(n);
    return v;
  };
  ui_node_detach(c, kids[3]);
  EXPECT_EQ(root->last_child, kids[2]);
  ui_node_insert_after(root, nullptr, kids[3]);
  EXPECT_EQ(order(), (std::vector<ui_node *>{kids[3], kids[0], kids[1], kids[2]}));
  EXPECT_EQ(ui_node_previous_sibling(kids[0]), kids[3]);

  // Splicing after kids[0] puts new nodes in the middle; after the last child keeps nothing aside.
  ui_splice_begin(c, root, kids[0]);
  ui_node *mid = node_make(c, px, px);
  ui_splice_end(c);
  EXPECT_EQ(order(), (std::vector<ui_node *>{kids[3], kids[0], mid, kids[1], kids[2]}));
  EXPECT_EQ(root->last_child, kids[2]);
  EXPECT_EQ(c->parent, nullptr);
  ui_splice_begin(c, root, kids[2]);
  ui_node *end = node_make(c, px, px);
  ui_splice_end(c);
  EXPECT_EQ(root->last_child, end);

  // A freed subtree is reused by later creations of the same frame before the arena grows.
  ui_parent_push(c, root);
  ui_parent_push(c, mid);
  node_make(c, px, px);
  node_make(c, px, px);
  ui_parent_pop(c);
  ui_parent_pop(c);
  u64 used = c->nodes.used;
  ui_node_detach(c, mid);
  ui_node_free_tree(c, mid);
  for (int i = 0; i < 3; i++) node_make(c, px, px);
  EXPECT_EQ(c->nodes.used, used);
  node_make(c, px, px);
  EXPECT_EQ(c->nodes.used, used + sizeof(ui_node));
}

static std::string to_std_text(buffer b) { return std::string((const char *)b.data, b.used); }

static u64 log_count_of(const std::string &line) {
  buffer chunks[256];
  u32 n = log_chunk_list(chunks, 256);
  std::string all;
  for (u32 i = 0; i < n && i < 256; i++) all.append((const char *)chunks[i].data, chunks[i].used);
  u64 count = 0;
  for (size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1)) count++;
  return count;
}

// More nodes than the budget holds, and nesting deeper than the limit: the extra nodes are
// dropped, the parent stack stays balanced, the frame lays out and renders, and each budget is
// named in the log once.
TEST(ui_tree, overload_drops_nodes_and_keeps_the_frame) {
  ui_fixture f;
  ui_context *c = f.ctx.get();
  const std::string nodes_line = "UI: the node arena is full";
  const std::string depth_line = "UI: nodes nested deeper than the depth limit";
  u64 nodes_logged = log_count_of(nodes_line), depth_logged = log_count_of(depth_line);
  c->node_arena_limit = MiB(10);  // a small budget keeps the test quick
  const u64 capacity = MiB(10) / sizeof(ui_node);
  ui_size px = ui_size_pixels_make(2);
  for (int round = 0; round < 2; round++) {
    f.frame([&](ui_context *cx) {
      ui_node *root = node_make(cx, ui_size_parent_make(), ui_size_children_make(), ui_node_flag_stack_y);
      root->size_x = ui_size_pixels_make(100);
      ui_parent_push(cx, root);
      for (u64 i = 0; i < capacity + 50; i++) {
        ui_node *n = node_make(cx, px, px, 0, i + 1);
        ui_node_set_text(cx, n, string_lit("x"), true);
        if (i == capacity - 10) {
          ui_parent_push(cx, n);  // a parent that fills up while it is open
          for (int k = 0; k < 20; k++) node_make(cx, px, px);
          ui_parent_pop(cx);
        }
      }
      ui_parent_pop(cx);
      EXPECT_EQ(cx->parent, nullptr);
      EXPECT_GT(cx->dropped_nodes, 50u);
    });
    u64 linked = 0;
    for (ui_node *n = c->root->first_child; n; n = n->next) linked++;
    EXPECT_LT(linked, capacity);
    EXPECT_EQ(c->root->size[1], (f32)(linked * 2));  // every kept child counted, no dropped one
  }

  f.frame([&](ui_context *cx) {
    ui_node *top = node_make(cx, px, ui_size_children_make());
    ui_parent_push(cx, top);
    for (int d = 0; d < UI_DEPTH_MAX + 40; d++) ui_parent_push(cx, node_make(cx, px, ui_size_children_make()));
    node_make(cx, px, px);
    for (int d = 0; d < UI_DEPTH_MAX + 40; d++) ui_parent_pop(cx);
    ui_parent_pop(cx);
    EXPECT_EQ(cx->parent, nullptr);
  });
  u32 depth = 0;
  for (ui_node *n = c->root; n; n = n->first_child) depth++;
  EXPECT_LE(depth, (u32)UI_DEPTH_MAX + 1);
  EXPECT_EQ(log_count_of(nodes_line), nodes_logged + 1) << "two full frames, one line";
  EXPECT_EQ(log_count_of(depth_line), depth_logged + 1);
}

// The arenas grow with the frame: a frame of far more nodes and text than the first commit keeps
// every node and every text, and the previous frame's nodes are all found again by id.
TEST(ui_tree, arenas_grow_and_every_node_is_found_next_frame) {
  ui_fixture f;
  ui_context *c = f.ctx.get();
  const u64 count = 20 * UI_ARENA_COMMIT_STEP / sizeof(ui_node);
  std::string title(600, 't');
  auto build = [&](ui_context *cx) {
    ui_node *root = node_make(cx, ui_size_pixels_make(100), ui_size_children_make(), ui_node_flag_stack_y);
    ui_parent_push(cx, root);
    for (u64 i = 0; i < count; i++) {
      ui_node *n = node_make(cx, ui_size_pixels_make(2), ui_size_pixels_make(2), 0, 1000 + i);
      ui_node_set_text(cx, n, string_from_bytes(title.data(), title.size()), true);
    }
    ui_parent_pop(cx);
  };
  f.frame(build);
  EXPECT_EQ(c->dropped_nodes, 0u);
  EXPECT_EQ(c->dropped_texts, 0u);
  EXPECT_GT(c->texts.used, 2 * UI_ARENA_COMMIT_STEP);
  f.frame([&](ui_context *cx) {
    for (u64 i = 0; i < count; i += 97) {
      ui_node *p = ui_find_previous(cx, 1000 + i);
      ASSERT_TRUE(p);
      EXPECT_EQ(p->id, 1000 + i);
      EXPECT_EQ(p->text.used, title.size());
    }
    EXPECT_EQ(ui_find_previous(cx, 1000 + count), nullptr);
    build(cx);
  });
  // Small frames after it give the memory back once the big ones are two frames behind, and
  // lose nothing.
  u64 big = c->nodes_arena.memory.used;
  for (int i = 0; i < 4; i++) {
    f.frame([&](ui_context *cx) {
      ui_node *n = node_make(cx, ui_size_pixels_make(2), ui_size_pixels_make(2), 0, 7);
      ui_node_set_text(cx, n, string_lit("small"), true);
    });
  }
  EXPECT_LT(c->nodes_arena.memory.used, big);
  EXPECT_LE(c->nodes_arena.memory.used, 9 * UI_ARENA_COMMIT_STEP);
  EXPECT_LE(c->previous_nodes_arena.memory.used, 9 * UI_ARENA_COMMIT_STEP);
  EXPECT_LE(c->texts_arena.memory.used, 9 * UI_ARENA_COMMIT_STEP);
  EXPECT_EQ(c->nodes.size, c->nodes_arena.memory.used);
  ASSERT_TRUE(ui_find_current(c, 7));
  EXPECT_EQ(to_std_text(ui_find_current(c, 7)->text), "small");
  EXPECT_EQ(c->dropped_texts, 0u);
}

// The id index answers as the scan of the previous arena did: the first record of an id, ranges
// that start after a match, released records that match nothing, and duplicates found in order.
TEST(ui_tree, previous_lookups_agree_with_a_scan_of_the_arena) {
  ui_fixture f;
  std::vector<ui_id> ids;
  u64 seed = 12345;
  auto next = [&]() { return seed = seed * 6364136223846793005ull + 1442695040888963407ull; };
  for (int i = 0; i < 3000; i++) {
    u64 r = next() >> 33;
    // Small numbers, addresses and modifier bits, with many repeats.
    ui_id id = r % 3 == 0 ? (r % 50) : r % 3 == 1 ? 0x7f0000001000ull + (r % 400) * 64 : ui_id_with_modifier(r % 30, r % 12);
    ids.push_back(r % 17 == 0 ? UI_ID_NONE : id);
  }
  f.frame([&](ui_context *cx) {
    ui_node *root = node_make(cx, ui_size_pixels_make(100), ui_size_children_make(), ui_node_flag_stack_y);
    ui_parent_push(cx, root);
    for (ui_id id : ids) node_make(cx, ui_size_pixels_make(1), ui_size_pixels_make(1), 0, id);
    ui_parent_pop(cx);
  });
  f.frame([&](ui_context *cx) {
    ui_node *first = (ui_node *)cx->previous_nodes.data;
    u64 n = cx->previous_nodes.used / sizeof(ui_node);
    auto scan = [&](ui_id id, u64 from, u64 to) -> ui_node * {
      for (u64 i = from; i < to; i++)
        if (first[i].id == id && id != UI_ID_NONE) return &first[i];
      return nullptr;
    };
    for (int k = 0; k < 2000; k++) {
      ui_id id = k % 5 == 0 ? (ui_id)(next() % 60) : ids[next() % ids.size()];
      u64 from = next() % (n + 1);
      u64 to = from + next() % (n + 1 - from);
      ASSERT_EQ(ui_find_previous(cx, id), scan(id, 0, n)) << id;
      ASSERT_EQ(ui_find_previous_range(cx, id, first + from, first + to), scan(id, from, to)) << id;
    }
    EXPECT_EQ(ui_find_previous(cx, UI_ID_NONE), nullptr);
  });
}

TEST(ui_tree, hit_test_clips_and_popup_cover) {
  ui_fixture f;
  ui_context *c = f.ctx.get();
  ui_node *inner = nullptr;
  auto build = [&](ui_context *cx, bool popup) {
    ui_node *root = node_make(cx, ui_size_pixels_make(400), ui_size_pixels_make(400), ui_node_flag_clip, 1);
    ui_parent_push(cx, root);
    ui_node *clip = node_make(cx, ui_size_pixels_make(100), ui_size_pixels_make(100), ui_node_flag_clip, 2);
    ui_parent_push(cx, clip);
    inner = node_make(cx, ui_size_pixels_make(300), ui_size_pixels_make(50), 0, 3);
    ui_parent_pop(cx);
    ui_parent_pop(cx);
    if (popup) {
      ui_node *saved = cx->parent;
      cx->parent = nullptr;
      ui_node *p = node_make(cx, ui_size_pixels_make(50), ui_size_pixels_make(50), 0, UI_ID_POPUP_ROOT);
      cx->popup_root = p;
      cx->popup_anchor = inner;
      cx->parent = saved;
    }
  };
  f.frame([&](ui_context *cx) { build(cx, false); });
  ui_begin_frame(c);
  ui_node *prev = ui_find_previous(c, 3);
  // Window coordinates, y up: the tree hangs from the top edge at y 600.
  EXPECT_TRUE(ui_node_hit_test(c, prev, v2{50, 590}));
  EXPECT_FALSE(ui_node_hit_test(c, prev, v2{150, 590}));  // outside the clipping parent
  EXPECT_FALSE(ui_node_hit_test(c, prev, v2{50, 540}));   // below the node
  build(c, true);
  ui_render(c, f.client);
  // The popup opens under the anchor's bottom-left corner (0, 550) and covers (0..50, 500..550).
  ui_begin_frame(c);
  build(c, true);
  ui_node *popup = ui_find_previous(c, UI_ID_POPUP_ROOT);
  ASSERT_NE(popup, nullptr);
  EXPECT_EQ(popup->rect.y1, 550);
  ui_node *root_prev = ui_find_previous(c, 1);
  EXPECT_FALSE(ui_node_hit_test(c, root_prev, v2{10, 520}));
  EXPECT_TRUE(ui_node_hit_test(c, root_prev, v2{100, 520}));
  EXPECT_TRUE(ui_node_hit_test(c, popup, v2{10, 520}));
  ui_render(c, f.client);
}
