#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/core.h"
#include "gfx/font.h"
#include "ui/ui_gfx.h"
#include "ui_test_support.h"

namespace {

const ui_id box_id = 0x5000;

// A clipboard without a display: copies are kept, pastes are cut like the system's (at a
// character that does not fit the room).
std::string fake_clipboard;
buffer fake_get(buffer *out, bool) {
  u64 room = out->size - out->used, n = fake_clipboard.size();
  if (n > room) {
    n = room;
    while (n > 0 && ((u8)fake_clipboard[n] & 0xC0) == 0x80) n--;
  }
  buffer view = buffer{n, n, out->data + out->used};
  memcpy(view.data, fake_clipboard.data(), n);
  out->used += n;
  return view;
}
u32 fake_set(buffer text) {
  fake_clipboard.assign((const char *)text.data, text.used);
  return 1;
}

struct box_fixture : ui_fixture {
  std::vector<u8> memory;
  buffer text;
  font_collection *fonts = nullptr;
  explicit box_fixture(u64 capacity, bool with_fonts = false) : memory(capacity) {
    text = buffer{capacity, 0, memory.data()};
    w->double_click_ms = 500;
    w->double_click_width = w->double_click_height = 4;
    ui_textbox_set_clipboard(fake_get, fake_set);
    if (with_fonts) {
      u32 error = 0;
      fonts = font_collection_create_default(14, nullptr, 0, &error);
      ctx->fonts = fonts;  // font 0 is the monospace face
    }
  }
  ~box_fixture() {
    ui_textbox_set_clipboard(nullptr, nullptr);
    if (fonts) font_collection_destroy_default(fonts);
    font_system_shutdown();
  }
  u32 build() {
    u32 key = 0;
    frame([&](ui_context *c) {
      ui_node *root = node_make(c, ui_size_pixels_make(800), ui_size_pixels_make(600), ui_node_flag_stack_x);
      ui_parent_push(c, root);
      key = ui_textbox(c, box_id, &text).key;
      ui_parent_pop(c);
    });
    return key;
  }
  ui_node *node() { return ui_find_current(ctx.get(), box_id | UI_ID_FAKE_BIT); }
  ui_node *outer() { return ui_find_current(ctx.get(), box_id); }
  void key(u8 code, u8 modifiers = 0, const std::string &ch = "", u32 time = 0) {
    u32 c = 0, error = 0;
    u8 n = 0;
    if (!ch.empty()) unicode_utf8_decode((const u8 *)ch.data(), (const u8 *)ch.data() + ch.size(), &c, &n, &error);
    ui_test_key(w.get(), code, modifiers, time, c, (const u8 *)ch.data(), (u8)ch.size());
  }
  void click(f32 x, u32 time) {
    rect r = outer()->rect;
    s32 y = (s32)((r.y0 + r.y1) / 2);
    input_on_mouse_move(w.get(), (s32)x, y, time);
    input_on_mouse_button(w.get(), key_mouse_left, true, time);
    input_on_mouse_button(w.get(), key_mouse_left, false, time);
  }
  void activate() {
    build();
    click(outer()->rect.x0 + 3, 1000);
    build();
    ASSERT_TRUE(ui_is_active(ctx.get(), outer()));
  }
  std::string str() const { return std::string((const char *)text.data, text.used); }
};

// ---- The model ---------------------------------------------------------------------------

struct model {
  std::string t;
  u64 caret = 0, anchor = 0, capacity;
  struct step {
    std::string before, after;
    u64 caret, anchor, start, inserted;
    bool open;  // typing may continue it
  };
  std::vector<step> undo, redo;
  explicit model(u64 cap) : capacity(cap) {}

  bool cont(u64 i) const { return i < t.size() && ((u8)t[i] & 0xC0) == 0x80; }
  u64 prev(u64 p) const {
    if (p == 0) return 0;
    p--;
    while (p > 0 && cont(p)) p--;
    return p;
  }
  u64 next(u64 p) const {
    if (p >= t.size()) return t.size();
    p++;
    while (cont(p)) p++;
    return p;
  }
  u64 word_start(u64 p) const {
    while (p > 0 && t[prev(p)] == ' ') p = prev(p);
    while (p > 0 && t[prev(p)] != ' ') p = prev(p);
    return p;
  }
  u64 word_end(u64 p) const {
    while (p < t.size() && t[p] != ' ') p = next(p);
    while (p < t.size() && t[p] == ' ') p = next(p);
    return p;
  }
  // Only typing continues the last record, and only one that nothing closed.
  void edit(u64 start, u64 end, const std::string &ins, bool typed = false) {
    redo.clear();
    // Any other edit also closes the record before it, for when it is undone again.
    if (!typed && !undo.empty()) undo.back().open = false;
    if (typed && start == end && !undo.empty() && undo.back().open && undo.back().start + undo.back().inserted == start) {
      undo.back().inserted += ins.size();
    } else {
      undo.push_back(step{t, "", caret, anchor, start, ins.size(), typed && !ins.empty()});
      if (undo.size() > UI_UNDO_RECORD_COUNT) undo.erase(undo.begin());
    }
    t.replace(start, end - start, ins);
    undo.back().after = t;
    caret = anchor = start + ins.size();
  }
  void apply(u8 code, u8 mods, const std::string &ch) {
    bool ctrl = mods & input_modifier_control, shift = mods & input_modifier_shift;
    u64 lo = std::min(caret, anchor), hi = std::max(caret, anchor);
    auto letter = [](char c) { return (u8)(key_a + (c - 'A')); };
    bool moves = code == key_left || code == key_right || code == key_home || code == key_end ||
                 (ctrl && code == letter('A'));
    if (moves && !undo.empty()) undo.back().open = false;
    if (code == key_left || code == key_right) {
      bool left = code == key_left;
      if (ctrl) caret = left ? word_start(caret) : word_end(caret);
      else if (shift || lo == hi) caret = left ? prev(caret) : next(caret);
      else caret = anchor = left ? lo : hi;
      if (!shift) anchor = caret;
    } else if (code == key_home || code == key_end) {
      caret = code == key_home ? 0 : t.size();
      if (!shift) anchor = caret;
    } else if (ctrl && (code == letter('C') || code == letter('X'))) {
      if (lo < hi) {
        fake_clipboard = t.substr(lo, hi - lo);
        if (code == letter('X')) edit(lo, hi, "");
      }
    } else if (ctrl && code == letter('V')) {
      std::string p = fake_clipboard;
      u64 room = (hi - lo) + (capacity - t.size());
      if (p.size() > room) {
        u64 n = room;
        while (n > 0 && ((u8)p[n] & 0xC0) == 0x80) n--;
        p.resize(n);
      }
      for (char &c : p)
        if (c == '\n' || c == '\r' || c == '\t' || c == '\v') c = ' ';
      if (!p.empty()) edit(lo, hi, p);
    } else if (ctrl && code == letter('A')) {
      anchor = 0;
      caret = t.size();
    } else if (code == key_backspace || code == key_delete) {
      u64 s = lo, e = hi;
      if (lo == hi) {
        if (code == key_backspace) s = ctrl ? word_start(caret) : prev(caret);
        else e = ctrl ? word_end(caret) : next(caret);
      }
      if (s < e) edit(s, e, "");
    } else if (ctrl && code == letter('Z')) {
      if (!shift && !undo.empty()) {
        step s = undo.back();
        undo.pop_back();
        t = s.before;
        caret = s.caret, anchor = s.anchor;
        redo.push_back(s);
      } else if (shift && !redo.empty()) {
        step s = redo.back();
        redo.pop_back();
        t = s.after;
        caret = anchor = s.start + s.inserted;
        undo.push_back(s);
      }
    } else if (!ch.empty()) {
      caret = lo, anchor = hi;
      if (t.size() - (hi - lo) + ch.size() <= capacity) edit(lo, hi, ch, true);
    }
  }
};

TEST(text_box, random_key_sequences_match_a_string_model) {
  const char *chars[] = {"a", "b", " ", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  const char *clips[] = {"xy", "line\nbreak\ttab", "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC",
                         "a long paste that does not fit the box at all \xF0\x9F\x98\x80\xF0\x9F\x98\x80"};
  struct k {
    u8 code;
    u8 mods;
  };
  const u8 C = input_modifier_left_control, S = input_modifier_left_shift;
  auto letter = [](char c) { return (u8)(key_a + (c - 'A')); };
  const k keys[] = {{key_left, 0},        {key_right, 0},       {key_left, S},          {key_right, S},
                    {key_left, C},        {key_right, C},       {key_left, C | S},      {key_right, C | S},
                    {key_home, 0},        {key_end, S},         {key_backspace, 0},     {key_delete, 0},
                    {key_backspace, C},   {key_delete, C},      {letter('A'), C},       {letter('C'), C},
                    {letter('X'), C},     {letter('V'), C},     {letter('Z'), C},       {letter('Z'), C | S},
                    {key_end, 0},         {key_home, S}};
  std::mt19937 rng(77);
  for (int round = 0; round < 4; round++) {
    box_fixture f(24);
    model m(24);
    fake_clipboard.clear();
    f.activate();
    for (int step = 0; step < 1200; step++) {
      u8 code, mods = 0;
      std::string ch;
      u32 r = rng() % 10;
      if (r < 4) {
        code = key_space;  // any key that types a character
        ch = chars[rng() % array_count(chars)];
      } else {
        k kk = keys[rng() % array_count(keys)];
        code = kk.code, mods = kk.mods;
        if (rng() % 20 == 0) fake_clipboard = clips[rng() % array_count(clips)];
      }
      SCOPED_TRACE(testing::Message() << "round " << round << " step " << step << " key " << (int)code
                                      << " mods " << (int)mods << " text '" << m.t << "'");
      f.key(code, mods, ch);
      m.apply(code, mods, ch);
      EXPECT_EQ(f.build(), 0u);
      ui_node *n = f.node();
      ASSERT_EQ(f.str(), m.t);
      ASSERT_EQ(n->caret, m.caret);
      ASSERT_EQ(n->anchor, m.anchor);
      ASSERT_LE(f.text.used, f.text.size);
    }
  }
}

// Typing is one record per run of characters; a paste, a deletion, a caret move or a pause of
// more than a second starts the next one, so each Ctrl+Z takes back one of them.
TEST(text_box, undo_takes_back_a_paste_a_deletion_or_a_word_typed_after_a_pause_alone) {
  const u8 C = input_modifier_left_control;
  auto letter = [](char c) { return (u8)(key_a + (c - 'A')); };
  box_fixture f(64);
  f.activate();
  u32 t = 2000;
  auto type = [&](const std::string &s, u32 gap = 50) {
    for (char c : s) {
      t += gap;
      f.key(key_space, 0, std::string(1, c), t);
      f.build();
    }
  };
  auto press = [&](u8 code, u8 mods = 0) {
    f.key(code, mods, "", t += 10);
    f.build();
  };
  auto undo = [&]() { press(letter('Z'), C); };

  type("hello world");
  fake_clipboard = " pasted";
  press(letter('V'), C);
  EXPECT_EQ(f.str(), "hello world pasted");
  type("!");
  undo();
  EXPECT_EQ(f.str(), "hello world pasted") << "typing after a paste is its own record";
  undo();
  EXPECT_EQ(f.str(), "hello world") << "one undo removes only the paste";
  undo();
  EXPECT_EQ(f.str(), "");

  type("one two");
  press(key_backspace);
  press(key_backspace);
  type("xy");
  EXPECT_EQ(f.str(), "one txy");
  undo();
  EXPECT_EQ(f.str(), "one t");
  undo();
  EXPECT_EQ(f.str(), "one tw") << "each deletion is a record";
  undo();
  EXPECT_EQ(f.str(), "one two");
  undo();
  EXPECT_EQ(f.str(), "");

  type("ab");
  press(key_left);
  press(key_right);
  type("cd");
  undo();
  EXPECT_EQ(f.str(), "ab") << "a caret move ends the record, even back to the same place";
  type("ef");
  type("gh", 1500);
  EXPECT_EQ(f.str(), "abefgh");
  undo();
  EXPECT_EQ(f.str(), "abefg") << "every character after a pause starts its own record";
  undo();
  EXPECT_EQ(f.str(), "abef");
  undo();
  EXPECT_EQ(f.str(), "ab");
}

// An edited box does not keep the 50 ms timer running: it asks for the frame of its caret's next
// blink, and only a selection dragged with the mouse held gets steady frames.
TEST(text_box, an_edited_box_wakes_for_the_blink_and_a_drag_for_steady_frames) {
  box_fixture f(64);
  f.build();
  rect r = f.outer()->rect;
  s32 y = (s32)((r.y0 + r.y1) / 2);
  input_on_mouse_move(f.w.get(), (s32)r.x0 + 3, y, 1000);
  input_on_mouse_button(f.w.get(), key_mouse_left, true, 1000);
  f.build();
  ASSERT_TRUE(ui_is_active(f.ctx.get(), f.outer()));
  f.build();
  EXPECT_EQ(f.w->timer_ms, (u32)UI_WAKEUP_TIMER_MS) << "the button is held: the selection follows the mouse";
  input_on_mouse_button(f.w.get(), key_mouse_left, false, 1010);
  f.build();
  f.build();
  EXPECT_EQ(f.ctx->repeat_count, 0u);
  ASSERT_TRUE(window_timer_is_set(f.w.get())) << "the caret still blinks";
  EXPECT_GT(f.w->timer_ms, (u32)UI_WAKEUP_TIMER_MS);
  EXPECT_LE(f.w->timer_ms, f.w->caret_blink_ms + 1);
  f.key(key_escape);
  f.build();
  f.click(r.x1 + 50, 3000);  // a click elsewhere ends the editing
  f.build();
  f.build();
  EXPECT_FALSE(ui_is_active(f.ctx.get(), f.outer()));
  EXPECT_FALSE(window_timer_is_set(f.w.get()));
}

TEST(text_box, ending_keys_are_reported_and_line_breaks_become_spaces) {
  box_fixture f(32);
  memcpy(f.text.data, "a\nb\tc\rd", 7);
  f.text.used = 7;
  f.activate();
  EXPECT_EQ(f.str(), "a b c d");
  const std::pair<u8, u32> ends[] = {{key_enter, 13}, {key_escape, 27}, {key_tab, 9}};
  for (auto [code, want] : ends) {
    f.key(code);
    f.key(key_space, 0, "z");  // after the ending key: not handled this frame
    EXPECT_EQ(f.build(), want);
  }
  f.key(key_enter, input_modifier_right_control);
  EXPECT_EQ(f.build(), 10u);
  EXPECT_EQ(f.str(), "a b c d");
  EXPECT_TRUE(ui_is_active(f.ctx.get(), f.outer()));  // the caller decides what ends editing
}

TEST(text_box, invalid_utf8_from_the_caller_is_walked_byte_by_byte_and_never_past_the_end) {
  const std::string texts[] = {"\xFF\x80" "ab \xE2\x82", "\xC3", "\x80\x80\x80\x80 \xF0\x9F", "a \xE2\x82\xAC\xFF z\xC3"};
  std::mt19937 rng(3);
  for (const std::string &s : texts) {
    box_fixture f(16);
    memcpy(f.text.data, s.data(), s.size());
    f.text.used = s.size();
    f.activate();
    // Right from the start reaches the end in at most one step per byte, and Left comes back.
    f.key(key_home);
    f.build();
    for (u64 i = 0; i < s.size(); i++) {
      u64 before = f.node()->caret;
      f.key(key_right);
      f.build();
      ASSERT_GT(f.node()->caret, before);
      if (f.node()->caret == s.size()) break;
    }
    EXPECT_EQ(f.node()->caret, s.size());
    for (u64 i = 0; i < s.size() && f.node()->caret; i++) {
      f.key(key_left);
      f.build();
    }
    EXPECT_EQ(f.node()->caret, 0u);
    // Word moves and deletions anywhere keep every offset inside the text.
    const u8 codes[] = {key_left, key_right, key_backspace, key_delete, key_end, key_home};
    for (int i = 0; i < 200 && f.text.used; i++) {
      f.key(codes[rng() % 6], rng() % 2 ? input_modifier_left_control : 0);
      f.build();
      ASSERT_LE(f.node()->caret, f.text.used);
      ASSERT_LE(f.node()->anchor, f.text.used);
    }
  }
}

TEST(text_box, a_text_shortened_by_its_owner_keeps_the_caret_inside_and_on_a_character) {
  box_fixture f(32);
  memcpy(f.text.data, "ab\xE2\x82\xAC\xE2\x82\xAC", 8);
  f.text.used = 8;
  f.activate();
  f.key(key_end);
  f.build();
  // The owner puts another text in: the old caret, 8, is inside its third euro sign.
  memcpy(f.text.data, "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 9);
  f.text.used = 9;
  f.key(key_space, 0, "x");
  f.build();
  EXPECT_EQ(f.str(), "\xE2\x82\xAC\xE2\x82\xACx\xE2\x82\xAC");
  EXPECT_EQ(f.node()->caret, 7u);
  f.text.used = 2;  // and then a shorter one
  f.key(key_right, input_modifier_left_shift);
  f.build();
  EXPECT_LE(f.node()->caret, 2u);
  // An undo of the box's older edits no longer matches the text: nothing is written.
  f.key(key_a + ('Z' - 'A'), input_modifier_left_control);
  f.build();
  f.key(key_a + ('Z' - 'A'), input_modifier_left_control);
  f.build();
  EXPECT_LE(f.node()->caret, f.text.used);
  EXPECT_LE(f.text.used, f.text.size);
}

TEST(text_box, clicks_place_the_caret_select_words_and_everything) {
  box_fixture f(64, true);
  if (!f.fonts) GTEST_SKIP() << "no font on this system";
  memcpy(f.text.data, "one two three", 13);
  f.text.used = 13;
  f.build();
  f.build();
  font *mono = ui_font_get(f.ctx.get(), 0);
  f32 a = font_get_glyph(mono, 'o')->advance;
  f32 x0 = f.node()->rect.x0;
  // Nearer side of the clicked glyph: 5.3 glyphs in is before the 6th, 5.7 after it.
  f.click(x0 + 5.3f * a, 1000);
  f.build();
  EXPECT_TRUE(ui_is_active(f.ctx.get(), f.outer()));
  EXPECT_EQ(f.node()->caret, 5u);
  f.click(x0 + 5.7f * a, 3000);
  f.build();
  EXPECT_EQ(f.node()->caret, 6u);
  EXPECT_EQ(f.node()->anchor, 6u);
  // Second press in time and place: the word with its trailing space.
  f.click(x0 + 5.7f * a, 3200);
  f.build();
  EXPECT_EQ(f.node()->anchor, 4u);
  EXPECT_EQ(f.node()->caret, 8u);
  // Third: everything.
  f.click(x0 + 5.7f * a, 3400);
  f.build();
  EXPECT_EQ(f.node()->anchor, 0u);
  EXPECT_EQ(f.node()->caret, 13u);
  // Shift+click later extends from the anchor.
  f.click(x0 + 2.2f * a, 9000);
  f.build();
  EXPECT_EQ(f.node()->caret, 2u);
  f.w->key_state[key_left_shift] = 1;
  f.click(x0 + 9.2f * a, 12000);
  f.build();
  EXPECT_EQ(f.node()->anchor, 2u);
  EXPECT_EQ(f.node()->caret, 9u);
  f.w->key_state[key_left_shift] = 0;
  // A press outside ends editing without a key.
  input_on_mouse_move(f.w.get(), 400, 100, 13000);
  input_on_mouse_button(f.w.get(), key_mouse_left, true, 13000);
  f.build();
  EXPECT_FALSE(ui_is_active(f.ctx.get(), f.outer()));
}

TEST(text_box, keys_scroll_a_long_text_to_keep_the_caret_in_sight) {
  box_fixture f(1024, true);
  if (!f.fonts) GTEST_SKIP() << "no font on this system";
  std::string s(300, 'w');
  memcpy(f.text.data, s.data(), s.size());
  f.text.used = s.size();
  f.activate();
  f.key(key_end);
  f.build();
  ui_node *n = f.node();
  f32 w = n->size[0];
  f32 caret_x = ui_gfx_line_end(ui_font_get(f.ctx.get(), 0), f.text.data, f.text.data + f.text.used, -1, 0);
  ASSERT_GT(caret_x, w);
  EXPECT_FLOAT_EQ(n->text_scroll, caret_x + 1 - w);
  for (int i = 0; i < 300; i++) {
    f.key(key_left);
    f.build();
    n = f.node();
    f32 x = ui_gfx_line_end(ui_font_get(f.ctx.get(), 0), f.text.data, f.text.data + n->caret, -1, 0);
    ASSERT_GE(x - n->text_scroll, 0);
    ASSERT_LE(x + 1 - n->text_scroll, w);
    ASSERT_GE(n->text_scroll, 0);
  }
}

}  // namespace
