#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

#include "core/core.h"
#include "ui/undo.h"

namespace {

// A store with its parts held the way the context holds them.
struct store_fixture {
  allocator texts;
  buffer records;
  ui_undo_record *free_list;
  ui_undo_record undo_sentinel, redo_sentinel;
  store_fixture() { ui_undo_store_init(store()); }
  ~store_fixture() {
    allocator_destroy(&texts);
    memory_free(&records);
  }
  ui_undo_store store() { return ui_undo_store{&texts, &records, &free_list, &undo_sentinel, &redo_sentinel}; }
};

// One text box: its buffer and the persistent fields an undo restores.
struct box {
  u64 id;
  std::vector<u8> memory;
  buffer text;
  u64 caret = 0, anchor = 0;
  f32 scroll = 0;
  box(u64 id_, u64 capacity) : id(id_), memory(capacity) { text = buffer{capacity, 0, memory.data()}; }
  ui_undo_target target() { return ui_undo_target{id, &caret, &anchor, &scroll}; }
  std::string str() const { return std::string((const char *)text.data, text.used); }
};

// Replaces [start, end) as the text box does: record, change, finish.
bool edit(store_fixture &f, box &b, u64 start, u64 end, const std::string &ins, f32 scroll_after) {
  buffer insb = string_from_bytes(ins.data(), ins.size());
  if (!string_can_replace(&b.text, b.text.data + start, b.text.data + end, insb)) return false;
  ui_undo_record *r = ui_undo_store_record_edit(f.store(), b.target(), b.text, b.text.data + start,
                                                b.text.data + end, insb);
  EXPECT_TRUE(string_replace(&b.text, b.text.data + start, b.text.data + end, insb));
  b.caret = b.anchor = start + ins.size();
  b.scroll = scroll_after;
  ui_undo_store_record_finish(r, b.target());
  return true;
}

// The model: whole snapshots instead of byte ranges, with the same list order, merging and
// recycling rules.
struct model_step {
  u64 id;
  std::string before, after;
  u64 caret, anchor;
  f32 scroll_before, scroll_after;
  u64 start, inserted_length;
};

struct model {
  std::deque<model_step> undo, redo;  // front is newest
  template <class D>
  static typename D::iterator find(D &d, u64 id) {
    for (auto it = d.begin(); it != d.end(); ++it)
      if (it->id == id) return it;
    return d.end();
  }
  void erase_id(std::deque<model_step> &d, u64 id) {
    for (auto it = d.begin(); it != d.end();) it = it->id == id ? d.erase(it) : it + 1;
  }
  void record(const box &b, const std::string &before, const std::string &after, u64 start, u64 end, u64 ins,
              f32 scroll_after) {
    erase_id(redo, b.id);
    if (start == end) {
      auto it = find(undo, b.id);
      if (it != undo.end() && it->start + it->inserted_length == start) {
        it->after = after;
        it->inserted_length += ins;
        it->scroll_after = scroll_after;
        return;
      }
    }
    if (undo.size() + redo.size() == UI_UNDO_RECORD_COUNT) {
      if (!undo.empty())
        undo.pop_back();
      else
        redo.pop_back();
    }
    undo.push_front(model_step{b.id, before, after, b.caret, b.anchor, b.scroll, scroll_after, start, ins});
  }
};

TEST(undo_store, random_edits_of_several_boxes_match_a_snapshot_model) {
  std::mt19937 rng(1234);
  const char *pieces[] = {"a", "bc", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "xyz ", " "};
  for (int round = 0; round < 20; round++) {
    store_fixture f;
    std::vector<box> boxes;
    for (u64 i = 0; i < 3; i++) boxes.emplace_back(0x1000 + i, 24 + 20 * i);
    model m;
    u64 last_end[3] = {};
    for (int step = 0; step < 1500; step++) {
      u32 bi = rng() % 3;
      box &b = boxes[bi];
      u32 op = rng() % 10;
      SCOPED_TRACE(testing::Message() << "round " << round << " step " << step << " op " << op);
      if (op < 6) {
        // Insert, delete or replace; half the inserts continue right after the last one.
        u64 n = b.text.used;
        u64 start = rng() % (n + 1), end = start + rng() % (n - start + 1);
        std::string ins;
        if (op < 3) {
          end = start;
          if (rng() % 2 && last_end[bi] <= n) start = end = last_end[bi];
        } else if (op == 3) {
          if (start == end) continue;
        }
        if (op != 3)
          for (u32 k = rng() % 3 + 1; k; k--) ins += pieces[rng() % array_count(pieces)];
        if (start == end && ins.empty()) continue;
        b.caret = rng() % (n + 1);
        b.anchor = rng() % (n + 1);
        b.scroll = (f32)(rng() % 50);
        std::string before = b.str();
        f32 after_scroll = (f32)(rng() % 50);
        u64 caret = b.caret, anchor = b.anchor;
        f32 scroll = b.scroll;
        if (!edit(f, b, start, end, ins, after_scroll)) continue;
        box saved = b;
        saved.caret = caret, saved.anchor = anchor, saved.scroll = scroll;
        m.record(saved, before, b.str(), start, end, ins.size(), after_scroll);
        last_end[bi] = start + ins.size();
      } else if (op < 8) {
        auto it = model::find(m.undo, b.id);
        std::string text = b.str();
        u64 caret = b.caret, anchor = b.anchor;
        ui_undo_store_undo(f.store(), b.target(), &b.text);
        if (it == m.undo.end()) {
          EXPECT_EQ(b.str(), text);
          EXPECT_EQ(b.caret, caret);
          EXPECT_EQ(b.anchor, anchor);
        } else {
          ASSERT_EQ(it->after, text);
          EXPECT_EQ(b.str(), it->before);
          EXPECT_EQ(b.caret, it->caret);
          EXPECT_EQ(b.anchor, it->anchor);
          EXPECT_EQ(b.scroll, it->scroll_before);
          model_step s = *it;
          m.undo.erase(it);
          m.redo.push_front(s);
        }
        last_end[bi] = ~0ull;
      } else {
        auto it = model::find(m.redo, b.id);
        std::string text = b.str();
        ui_undo_store_redo(f.store(), b.target(), &b.text);
        if (it == m.redo.end()) {
          EXPECT_EQ(b.str(), text);
        } else {
          ASSERT_EQ(it->before, text);
          EXPECT_EQ(b.str(), it->after);
          EXPECT_EQ(b.caret, it->start + it->inserted_length);
          EXPECT_EQ(b.anchor, b.caret);
          EXPECT_EQ(b.scroll, it->scroll_after);
          model_step s = *it;
          m.redo.erase(it);
          m.undo.push_front(s);
        }
        last_end[bi] = ~0ull;
      }
      ASSERT_EQ(ui_undo_store_count(f.store()), m.undo.size() + m.redo.size());
    }
  }
}

TEST(undo_store, typing_merges_and_a_selection_replacement_restores_the_selection) {
  store_fixture f;
  box b(7, 64);
  edit(f, b, 0, 0, "hello world", 0);
  b.caret = 0, b.anchor = 5;  // "hello" selected
  ui_undo_record *r = ui_undo_store_record_edit(f.store(), b.target(), b.text, b.text.data, b.text.data + 5,
                                                string_lit("x"));
  string_replace(&b.text, b.text.data, b.text.data + 5, string_lit("x"));
  b.caret = b.anchor = 1;
  for (const char *c : {"y", "z"}) {
    ui_undo_record *m = ui_undo_store_record_edit(f.store(), b.target(), b.text, b.text.data + b.caret,
                                                  b.text.data + b.caret, string_from_bytes(c, 1));
    EXPECT_EQ(m, r);  // typing on after the replacement continues it
    string_replace(&b.text, b.text.data + b.caret, b.text.data + b.caret, string_from_bytes(c, 1));
    b.caret = b.anchor = b.caret + 1;
  }
  EXPECT_EQ(b.str(), "xyz world");
  EXPECT_EQ(std::string((char *)r->inserted.data, r->inserted.used), "xyz");
  ui_undo_store_undo(f.store(), b.target(), &b.text);
  EXPECT_EQ(b.str(), "hello world");
  EXPECT_EQ(b.caret, 0u);
  EXPECT_EQ(b.anchor, 5u);
  ui_undo_store_redo(f.store(), b.target(), &b.text);
  EXPECT_EQ(b.str(), "xyz world");
  EXPECT_EQ(b.caret, 3u);
}

// Typing merges into one record whose text grows; the bytes copied to grow it must stay a
// bounded multiple of the run, not the run times the number of times it outgrew its block.
TEST(undo_store, a_long_typing_run_copies_its_text_a_bounded_number_of_times) {
  auto copied = [](u64 n) {
    store_fixture f;
    box b(3, n);
    u64 bytes = 0;
    const u8 *block = nullptr;
    for (u64 i = 0; i < n; i++) {
      std::string c(1, (char)('a' + i % 26));
      EXPECT_TRUE(edit(f, b, i, i, c, 0));
      ui_undo_record *r = ui_undo_store_find(f.store(), b.id);
      if (r->inserted.data != block) {
        bytes += r->inserted.used - 1;  // what the new block took over from the old one
        block = r->inserted.data;
      }
    }
    ui_undo_record *r = ui_undo_store_find(f.store(), b.id);
    EXPECT_EQ(r->inserted.used, n);
    EXPECT_EQ(ui_undo_store_count(f.store()), 1u);
    ui_undo_store_undo(f.store(), b.target(), &b.text);
    EXPECT_EQ(b.text.used, 0u);
    return bytes;
  };
  // Each growth at least doubles the block, so the copies add up to less than twice the run
  // at any length: the bound at n and at 4n is the same multiple.
  const u64 n = 20000;
  EXPECT_LE(copied(n), 2 * n);
  EXPECT_LE(copied(4 * n), 2 * 4 * n);
}

TEST(undo_store, a_text_changed_behind_the_store_is_never_written_out_of_range) {
  store_fixture f;
  box b(9, 16);
  edit(f, b, 0, 0, "abcdefghij", 0);
  b.caret = b.anchor = 3;
  edit(f, b, 3, 8, "", 0);  // "abcij"
  // The owner shortens the text and moves on without the box.
  b.text.used = 2;
  b.caret = b.anchor = 2;
  ui_undo_store_undo(f.store(), b.target(), &b.text);
  EXPECT_EQ(b.str(), "ab");
  EXPECT_LE(b.caret, b.text.used);
  EXPECT_EQ(ui_undo_store_count(f.store()), 0u);  // the stale history is gone
  // Same for a redo whose removed bytes are no longer there.
  edit(f, b, 0, 2, "q", 0);
  ui_undo_store_undo(f.store(), b.target(), &b.text);
  EXPECT_EQ(b.str(), "ab");
  memcpy(b.text.data, "z", 1);
  b.text.used = 1;
  ui_undo_store_redo(f.store(), b.target(), &b.text);
  EXPECT_EQ(b.str(), "z");
  EXPECT_EQ(ui_undo_store_count(f.store()), 0u);
}

TEST(undo_store, edits_larger_than_the_texts_reservation_keep_a_consistent_recent_history) {
  store_fixture f;
  std::mt19937 rng(5);
  box b(11, MiB(2));
  std::vector<std::string> states{b.str()};
  for (int i = 0; i < 40; i++) {
    u64 n = b.text.used;
    u64 start = rng() % (n + 1), end = std::min<u64>(n, start + rng() % 200000);
    std::string ins(rng() % 300000 + 1, (char)('a' + i % 26));
    if (!edit(f, b, start, end, ins, 0)) continue;
    b.caret = b.anchor = ~0ull;  // never next to the last insertion: no merging
    states.push_back(b.str());
  }
  // Undo walks back through the newest states until the history that fitted runs out.
  u64 undone = 0;
  for (u64 k = states.size() - 1; k > 0; k--) {
    std::string text = b.str();
    ui_undo_store_undo(f.store(), b.target(), &b.text);
    if (b.str() == text) break;
    ASSERT_EQ(b.str(), states[k - 1]);
    undone++;
  }
  EXPECT_GE(undone, 2u);
  for (u64 k = 0; k < undone; k++) ui_undo_store_redo(f.store(), b.target(), &b.text);
  EXPECT_EQ(b.str(), states.back());
}

}  // namespace
