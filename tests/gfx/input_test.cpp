// Key tables, key-state bookkeeping, event recording and the frame text, fed through the same
// functions the window's callbacks call, without a display.
#include "gfx/gfx.h"
#include "tests/support/isolation.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <string.h>
#include <string>
#include <vector>

namespace {

struct input_fixture : ::testing::Test {
  window w = {};
  log_mark mark = {};
  void SetUp() override {
    w.focused = 1;
    w.width = 1280;
    w.height = 720;
    mark = log_mark_now();
  }
  // What this test logged: a line an earlier test of the process wrote is not its own.
  std::string log() { return log_since(mark); }
  void press(s32 k, s32 x_keycode = 0) { input_on_key(&w, k, x_keycode, GLFW_PRESS, 1); }
  void repeat(s32 k) { input_on_key(&w, k, 0, GLFW_REPEAT, 1); }
  void release(s32 k, s32 x_keycode = 0) { input_on_key(&w, k, x_keycode, GLFW_RELEASE, 1); }
  // What the pump does first: a fresh frame, then the input that waited for it.
  void frame_begin() {
    input_frame_reset(&w);
    input_pending_drain(&w);
  }
};

u32 utf8_encode_for_test(u32 c, u8 out[4]) {
  if (c < 0x80) return out[0] = (u8)c, 1;
  if (c < 0x800) return out[0] = (u8)(0xC0 | c >> 6), out[1] = (u8)(0x80 | (c & 0x3F)), 2;
  if (c < 0x10000) {
    out[0] = (u8)(0xE0 | c >> 12), out[1] = (u8)(0x80 | ((c >> 6) & 0x3F));
    out[2] = (u8)(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = (u8)(0xF0 | c >> 18), out[1] = (u8)(0x80 | ((c >> 12) & 0x3F));
  out[2] = (u8)(0x80 | ((c >> 6) & 0x3F)), out[3] = (u8)(0x80 | (c & 0x3F));
  return 4;
}

TEST(input_keys, key_tables_agree_both_ways_and_with_the_letters_the_app_uses) {
  for (u32 i = 1; i <= key_index_last; i++) {
    u8 vk = input_virtual_key_from_key_index[i];
    ASSERT_NE(vk, 0) << i;
    // 17 and 21 share their virtual keys with 16 and 20, which own them.
    u8 back = input_key_index_from_virtual_key[vk];
    EXPECT_EQ(back, (i == 17 || i == 21) ? i - 1 : i) << i;
  }
  for (u32 i = key_index_last + 1; i < 256; i++) EXPECT_EQ(input_virtual_key_from_key_index[i], 0);
  EXPECT_EQ(input_key_from_glfw_key(GLFW_KEY_C), key_c);
  EXPECT_EQ(input_key_from_glfw_key(GLFW_KEY_S), key_s);
  EXPECT_EQ(input_key_from_glfw_key(GLFW_KEY_Z), 78);
  EXPECT_EQ(input_key_from_glfw_key(GLFW_KEY_9), 52);
  EXPECT_EQ(input_key_from_glfw_key(GLFW_KEY_F24), 122);
  EXPECT_EQ(input_key_from_glfw_key(GLFW_KEY_KP_DIVIDE), 94);
  EXPECT_EQ(input_key_from_glfw_key(GLFW_KEY_KP_ENTER), key_enter);
  EXPECT_EQ(input_key_from_glfw_key(GLFW_KEY_RIGHT_SHIFT), key_shift);
  EXPECT_EQ(input_key_from_glfw_key(GLFW_KEY_F25), key_none);
  // Every mapped GLFW key has a way back to a GLFW key giving the same index.
  for (s32 k = GLFW_KEY_SPACE; k <= GLFW_KEY_LAST; k++) {
    u8 key = input_key_from_glfw_key(k);
    if (!key) continue;
    EXPECT_EQ(input_key_from_glfw_key(input_glfw_key_from_key(key)), key) << k;
    u8 sided = input_sided_key_from_glfw_key(k);
    if (sided) {
      EXPECT_EQ(input_glfw_key_from_key(sided), k);
    }
  }
}

TEST(input_keys, scan_code_index_covers_its_ranges_and_rejects_the_rest) {
  EXPECT_EQ(input_key_from_scancode(0), 0u);
  for (u32 c = 1; c <= 0x7B; c++) EXPECT_EQ(input_key_from_scancode(c), c);
  for (u32 c = 0x7C; c < 0xE010; c += 7) EXPECT_EQ(input_key_from_scancode(c), 0u) << c;
  for (u32 c = 0xE010; c <= 0xE06D; c++) EXPECT_EQ(input_key_from_scancode(c), 124 + c - 0xE010);
  EXPECT_EQ(input_key_from_scancode(0xE06E), 0u);
  EXPECT_EQ(input_key_from_scancode(0xE11D45), 218u);
  EXPECT_EQ(input_key_from_scancode(0xFFFFFFFF), 0u);
  // X keycodes are evdev numbers + 8: A, right Control, Left, Pause, Print Screen.
  EXPECT_EQ(input_scan_code_from_x_keycode(38), 0x1Eu);
  EXPECT_EQ(input_scan_code_from_x_keycode(105), 0xE01Du);
  EXPECT_EQ(input_scan_code_from_x_keycode(113), 0xE04Bu);
  EXPECT_EQ(input_scan_code_from_x_keycode(127), 0xE11D45u);
  EXPECT_EQ(input_scan_code_from_x_keycode(107), 0xE037u);
  EXPECT_EQ(input_scan_code_from_x_keycode(0), 0u);
  for (s32 k = 0; k < 300; k++) {
    u32 s = input_scan_code_from_x_keycode(k);
    if (s) {
      EXPECT_NE(input_key_from_scancode(s), 0u) << k;
    }
  }
}

// Every X keycode gives a distinct scan code with an index, and the keys beyond the main block
// (function keys past F12, media and browser keys, Japanese keys) have theirs.
TEST(input_keys, x_keycodes_give_distinct_scan_codes) {
  s32 keycode_of_index[256] = {};
  for (s32 k = 0; k < 256; k++) {
    u32 s = input_scan_code_from_x_keycode(k);
    if (!s) continue;
    u32 index = input_key_from_scancode(s);
    ASSERT_NE(index, 0u) << k;
    EXPECT_EQ(keycode_of_index[index], 0) << "keycodes " << keycode_of_index[index] << " and " << k;
    keycode_of_index[index] = k;
  }
  // X keycode = evdev key number + 8.
  const struct {
    s32 evdev;
    u32 scancode;
  } cases[] = {{183, 0x64},   {194, 0x76},   {113, 0xE020}, {114, 0xE02E}, {115, 0xE030},
               {163, 0xE019}, {165, 0xE010}, {164, 0xE022}, {166, 0xE024}, {140, 0xE021},
               {172, 0xE032}, {158, 0xE06A}, {142, 0xE05F}, {92, 0x79},    {94, 0x7B},
               {93, 0x70},    {89, 0x73}};
  for (auto &c : cases) EXPECT_EQ(input_scan_code_from_x_keycode(c.evdev + 8), c.scancode) << c.evdev;
}

// Key bytes and key events against a plain model over random press, repeat, release and frame
// sequences: down bit, repeat bit, transitions modulo 64. A frame without mouse events takes 31
// key events (the last slot is the UI's move); the rest wait, in order, for the next frames, and
// the state counts only what the frame delivered.
TEST_F(input_fixture, key_state_follows_a_model_over_random_sequences) {
  const s32 keys[] = {GLFW_KEY_A, GLFW_KEY_ENTER, GLFW_KEY_LEFT, GLFW_KEY_F5, GLFW_KEY_SPACE};
  struct model_key {
    bool down;
    bool repeat;
    u32 transitions;
  } model[5] = {};
  struct message {
    u32 which;
    s32 action;
  };
  std::deque<message> waiting;
  std::mt19937 rng(7);
  u32 fed = 0, delivered = 0;
  for (u32 frame = 0; frame < 600; frame++) {
    frame_begin();
    for (auto &m : model) m.repeat = false, m.transitions = 0;
    // The last 200 frames feed nothing, so everything waiting comes out.
    u32 n = frame < 400 ? rng() % 50 : 0;
    for (u32 i = 0; i < n; i++) {
      u32 action = rng() % 3;
      message m = {(u32)(rng() % 5), action == 0 ? GLFW_PRESS : action == 1 ? GLFW_REPEAT : GLFW_RELEASE};
      waiting.push_back(m);
      input_on_key(&w, keys[m.which], 0, m.action, fed++);
    }
    u32 take = waiting.size() < INPUT_EVENT_CAPACITY - 1 ? (u32)waiting.size() : INPUT_EVENT_CAPACITY - 1;
    ASSERT_EQ(w.event_count, take) << frame;
    for (u32 i = 0; i < take; i++) {
      message m = waiting.front();
      waiting.pop_front();
      model_key &k = model[m.which];
      bool down = m.action != GLFW_RELEASE;
      bool event_repeat = k.down && down;
      // The repeat bit tells whether the key's latest message was a repeat.
      k.repeat = event_repeat;
      if (k.down != down) k.transitions++;
      k.down = down;
      const input_event &e = w.events[i];
      EXPECT_EQ(e.type, input_event_type_key);
      EXPECT_EQ(e.code, input_key_from_glfw_key(keys[m.which]));
      EXPECT_EQ(e.state, (u8)(down | (event_repeat ? 2 : 0)));
      EXPECT_EQ(e.time, delivered++);
    }
    EXPECT_EQ(input_pending_count(&w), waiting.size());
    for (u32 k = 0; k < 5; k++) {
      u8 key = input_key_from_glfw_key(keys[k]);
      const model_key &m = model[k];
      EXPECT_EQ(input_key_is_down(&w, key), m.down);
      EXPECT_EQ(input_key_transitions(&w, key), m.transitions % 64);
      EXPECT_EQ((w.key_state[key] >> 1) & 1, m.repeat ? 1 : 0);
      EXPECT_EQ(input_key_pressed(&w, key), m.down && m.transitions % 64 > 0);
    }
    EXPECT_EQ(w.handle, nullptr);  // nothing written past the event array
  }
  EXPECT_EQ(delivered, fed);
  EXPECT_EQ(log().find("dropped"), std::string::npos);
}

TEST_F(input_fixture, press_and_release_in_one_frame_then_holding_across_frames) {
  input_frame_reset(&w);
  press(GLFW_KEY_A);
  release(GLFW_KEY_A);
  EXPECT_FALSE(input_key_is_down(&w, key_a));
  EXPECT_EQ(input_key_transitions(&w, key_a), 2u);
  EXPECT_FALSE(input_key_pressed(&w, key_a));
  ASSERT_EQ(w.event_count, 2u);
  EXPECT_TRUE(input_event_is_press(&w.events[0], key_a));
  EXPECT_TRUE(input_event_is_release(&w.events[1], key_a));

  input_frame_reset(&w);
  press(GLFW_KEY_A);
  EXPECT_TRUE(input_key_pressed(&w, key_a));
  input_frame_reset(&w);
  repeat(GLFW_KEY_A);
  EXPECT_FALSE(input_key_pressed(&w, key_a));
  EXPECT_TRUE(input_key_pressed_or_repeated(&w, key_a));
  EXPECT_EQ(input_key_transitions(&w, key_a), 0u);
  EXPECT_TRUE(input_event_is_press_or_repeat(&w.events[0], key_a));
  EXPECT_FALSE(input_event_is_press(&w.events[0], key_a));
}

TEST_F(input_fixture, sided_modifiers_keep_generic_and_sided_state_and_fill_the_modifier_bits) {
  input_frame_reset(&w);
  press(GLFW_KEY_RIGHT_SHIFT, 62);
  EXPECT_TRUE(input_key_is_down(&w, key_shift));
  EXPECT_TRUE(input_key_is_down(&w, key_right_shift));
  EXPECT_FALSE(input_key_is_down(&w, key_left_shift));
  ASSERT_EQ(w.event_count, 1u);
  EXPECT_EQ(w.events[0].code, key_shift);
  EXPECT_EQ(w.events[0].modifiers, input_modifier_right_shift);
  EXPECT_EQ(w.events[0].scancode, 0x36u);
  EXPECT_TRUE(w.scancode_state[0x36] & 1);

  press(GLFW_KEY_LEFT_CONTROL);
  press(GLFW_KEY_RIGHT_ALT);
  press(GLFW_KEY_LEFT_SUPER);
  press(GLFW_KEY_X);
  EXPECT_EQ(w.events[w.event_count - 1].modifiers,
            input_modifier_right_shift | input_modifier_left_control | input_modifier_right_alt |
                input_modifier_left_super);
  release(GLFW_KEY_RIGHT_SHIFT, 62);
  release(GLFW_KEY_RIGHT_ALT);
  EXPECT_FALSE(input_key_is_down(&w, key_shift));
  EXPECT_FALSE(input_key_is_down(&w, key_right_alt));
  EXPECT_EQ(input_modifiers(&w), input_modifier_left_control | input_modifier_left_super);
  EXPECT_FALSE(w.scancode_state[0x36] & 1);
}

TEST_F(input_fixture, alt_f4_requests_quit_and_f4_alone_does_not) {
  press(GLFW_KEY_F4);
  EXPECT_EQ(w.quit_requested, 0u);
  release(GLFW_KEY_F4);
  press(GLFW_KEY_LEFT_ALT);
  press(GLFW_KEY_F4);
  EXPECT_EQ(w.quit_requested, 1u);
}

TEST_F(input_fixture, print_screen_reporting_only_its_release_counts_one_transition) {
  input_frame_reset(&w);
  release(GLFW_KEY_PRINT_SCREEN, 107);
  EXPECT_EQ(input_key_transitions(&w, key_print_screen), 1u);
  EXPECT_EQ(w.scancode_state[input_key_from_scancode(0xE037)] >> 2, 1);
}

TEST_F(input_fixture, releases_after_focus_loss_make_no_events) {
  press(GLFW_KEY_A);
  input_on_mouse_button(&w, key_mouse_left, true, 1);
  input_clear_keys(&w);
  w.focused = 0;
  input_frame_reset(&w);
  // The library releases what it saw down once the focus has gone.
  release(GLFW_KEY_A);
  input_on_mouse_button(&w, key_mouse_left, false, 1);
  EXPECT_EQ(w.event_count, 0u);
  EXPECT_EQ(w.key_state[key_a], 0);
  // A click on the window without the focus still counts.
  input_on_mouse_button(&w, key_mouse_left, true, 1);
  input_on_mouse_button(&w, key_mouse_left, false, 1);
  EXPECT_EQ(w.event_count, 2u);
}

TEST_F(input_fixture, characters_attach_only_to_the_key_press_that_typed_them) {
  input_frame_reset(&w);
  // No event yet (an input method): frame text only, nothing written before the array.
  input_on_char(&w, 0x00E9, 5);
  EXPECT_EQ(w.event_count, 0u);
  ASSERT_EQ(w.text_count, 1u);
  EXPECT_EQ(w.text_bytes, 2);

  press(GLFW_KEY_A);
  input_on_char(&w, 'a', 9);
  ASSERT_EQ(w.event_count, 1u);
  EXPECT_EQ(w.events[0].codepoint, (u32)'a');
  EXPECT_EQ(w.events[0].utf8_length, 1);
  EXPECT_EQ(w.events[0].time, 9u);
  // A second character of the same key (a dead key followed by a letter it does not combine
  // with) replaces the first on the event; both stay in the text.
  input_on_char(&w, 0x20AC, 10);
  EXPECT_EQ(w.events[0].codepoint, 0x20ACu);
  EXPECT_EQ(w.events[0].utf8_length, 3);
  EXPECT_EQ(memcmp(w.events[0].utf8, "\xE2\x82\xAC", 3), 0);
  EXPECT_EQ(w.events[0].time, 10u);
  input_on_char(&w, 'b', 11);
  EXPECT_EQ(w.events[0].codepoint, (u32)'b');
  EXPECT_EQ(w.events[0].utf8_length, 1);
  EXPECT_EQ(memcmp(w.events[0].utf8, "b\0\0\0", 4), 0);

  // After a click the click keeps its position.
  w.mouse_x = 11;
  w.mouse_y = 22;
  input_on_mouse_button(&w, key_mouse_left, true, 1);
  input_on_char(&w, 'c', 1);
  EXPECT_EQ(w.events[1].x, 11);
  EXPECT_EQ(w.events[1].y, 22);
  // After a release nothing is attached either.
  release(GLFW_KEY_A);
  input_on_char(&w, 'd', 1);
  EXPECT_EQ(w.events[2].codepoint, 0u);
  EXPECT_EQ(w.events[2].utf8_length, 0);

  EXPECT_EQ(w.text_count, 6u);
  EXPECT_EQ(std::string((const char *)w.text_utf8, w.text_bytes), "\xC3\xA9" "a\xE2\x82\xAC" "bcd");

  // Outside the Basic Multilingual Plane: one code point, four bytes on the event and in the text.
  input_frame_reset(&w);
  press(GLFW_KEY_A);
  input_on_char(&w, 0x1F600, 1);
  EXPECT_EQ(w.events[0].codepoint, 0x1F600u);
  EXPECT_EQ(w.events[0].utf8_length, 4);
  EXPECT_EQ(memcmp(w.events[0].utf8, "\xF0\x9F\x98\x80", 4), 0);
  EXPECT_EQ(w.text_lengths[0], 4);
  // Surrogates and values past U+10FFFF are not characters.
  input_on_char(&w, 0xD800, 1);
  input_on_char(&w, 0x110000, 1);
  EXPECT_EQ(w.text_count, 1u);
}

TEST_F(input_fixture, keys_without_library_characters_get_the_control_characters) {
  struct {
    s32 modifier;
    s32 key;
    u32 expected;
  } cases[] = {
      {0, GLFW_KEY_ENTER, 13},
      {0, GLFW_KEY_KP_ENTER, 13},
      {GLFW_KEY_LEFT_CONTROL, GLFW_KEY_ENTER, 10},
      {0, GLFW_KEY_ESCAPE, 27},
      {0, GLFW_KEY_TAB, 9},
      {0, GLFW_KEY_BACKSPACE, 8},
      {GLFW_KEY_RIGHT_CONTROL, GLFW_KEY_BACKSPACE, 127},
      {GLFW_KEY_LEFT_CONTROL, GLFW_KEY_A, 1},
      {GLFW_KEY_LEFT_CONTROL, GLFW_KEY_Z, 26},
      {GLFW_KEY_LEFT_CONTROL, GLFW_KEY_TAB, 0},
      {GLFW_KEY_LEFT_ALT, GLFW_KEY_A, 0},
      {GLFW_KEY_LEFT_ALT, GLFW_KEY_ENTER, 0},
      {0, GLFW_KEY_A, 0},
  };
  for (auto &c : cases) {
    input_clear_keys(&w);
    input_frame_reset(&w);
    if (c.modifier) press(c.modifier);
    press(c.key);
    const input_event &e = w.events[w.event_count - 1];
    EXPECT_EQ(e.codepoint, c.expected) << c.key;
    EXPECT_EQ(w.text_count, c.expected ? 1u : 0u) << c.key;
    // A key repeat types again; a release types nothing.
    repeat(c.key);
    EXPECT_EQ(w.events[w.event_count - 1].codepoint, c.expected);
    release(c.key);
    EXPECT_EQ(w.events[w.event_count - 1].codepoint, 0u);
  }
}

// The frame text keeps its limits; a character that does not fit waits for the next frame, and a
// key press waits with it while the text lacks room for a character of any length.
TEST_F(input_fixture, frame_text_limits_move_characters_to_the_next_frame) {
  frame_begin();
  for (u32 i = 0; i < 40; i++) {
    press(GLFW_KEY_A);
    input_on_char(&w, 'a' + i % 26, 1);
  }
  // 31 presses fit the events; their characters fit the text.
  EXPECT_EQ(w.event_count, 31u);
  EXPECT_EQ(w.text_count, 31u);
  EXPECT_EQ(w.events[30].codepoint, (u32)'a' + 30 % 26);
  frame_begin();
  EXPECT_EQ(w.event_count, 9u);
  EXPECT_EQ(w.text_count, 9u);
  EXPECT_EQ(std::string((const char *)w.text_utf8, w.text_bytes), "fghijklmn");
  for (u32 i = 0; i < 9; i++) EXPECT_EQ(w.events[i].codepoint, w.text_codepoints[i]);

  // Every boundary of the byte limit: characters without events (an input method) of 4 bytes,
  // then one of each length, which either fits or opens the next frame.
  static const u32 sample[5] = {0, 'x', 0xE9, 0x20AC, 0x1F600};
  for (u32 len = 1; len <= 4; len++) {
    for (u32 fill = 0; fill <= 32; fill++) {
      frame_begin();
      for (u32 i = 0; i < fill; i++) input_on_char(&w, 0x1F600, 1);  // 4 bytes each
      input_on_char(&w, sample[len], 1);
      u32 first = fill < 32 ? fill : 32;  // 32 fit in 128 bytes
      bool fits = fill < 32 && first * 4 + len <= INPUT_TEXT_BYTES;
      EXPECT_EQ(w.text_count, fits ? first + 1 : first) << len << " " << fill;
      EXPECT_EQ(input_pending_count(&w), fill - first + (fits ? 0u : 1u));
      u32 sum = 0;
      for (u32 i = 0; i < w.text_count; i++) sum += w.text_lengths[i];
      EXPECT_EQ(sum, w.text_bytes);
      frame_begin();
      EXPECT_EQ(w.text_count, fill - first + (fits ? 0u : 1u));
      if (!fits) {
        EXPECT_EQ(w.text_codepoints[w.text_count - 1], sample[len]);
      }
      EXPECT_EQ(input_pending_count(&w), 0u);
    }
  }

  // With the text full a key press waits, and its character comes with it.
  frame_begin();
  for (u32 i = 0; i < 32; i++) input_on_char(&w, 'x', 1);
  press(GLFW_KEY_B);
  input_on_char(&w, 'b', 2);
  release(GLFW_KEY_B);
  EXPECT_EQ(w.event_count, 0u);
  EXPECT_EQ(w.text_count, 32u);
  EXPECT_FALSE(input_key_is_down(&w, input_key_from_glfw_key(GLFW_KEY_B)));
  frame_begin();
  ASSERT_EQ(w.event_count, 2u);
  EXPECT_TRUE(input_event_is_press(&w.events[0], input_key_from_glfw_key(GLFW_KEY_B)));
  EXPECT_EQ(w.events[0].codepoint, (u32)'b');
  EXPECT_EQ(w.events[0].time, 2u);
  EXPECT_EQ(w.text_count, 1u);
  EXPECT_EQ(input_key_transitions(&w, input_key_from_glfw_key(GLFW_KEY_B)), 2u);
}

// Input of every kind after a full frame waits and arrives in the next frame, in order, with the
// state of that frame; none of it is dropped, and a frame of key events still has room for the
// UI's move.
TEST_F(input_fixture, input_past_a_full_frame_arrives_in_the_next_frame_in_order) {
  frame_begin();
  for (u32 i = 0; i < 16; i++) {
    press(GLFW_KEY_B);
    release(GLFW_KEY_B);
  }
  ASSERT_EQ(w.event_count, 31u);
  press(GLFW_KEY_C);
  input_on_mouse_move(&w, 5, 6, 1);
  input_on_mouse_move(&w, 7, 8, 1);  // coalesces with the waiting move
  input_on_mouse_button(&w, key_mouse_right, true, 1);
  input_on_scroll(&w, 1, -2, 1);
  input_on_char(&w, 'q', 1);
  EXPECT_EQ(w.event_count, 31u);
  EXPECT_EQ(input_pending_count(&w), 6u);
  EXPECT_EQ(input_key_transitions(&w, input_key_from_glfw_key(GLFW_KEY_B)), 31u);
  EXPECT_TRUE(input_key_is_down(&w, input_key_from_glfw_key(GLFW_KEY_B)));
  EXPECT_FALSE(input_key_is_down(&w, key_c));
  EXPECT_FALSE(input_key_is_down(&w, key_mouse_right));
  EXPECT_EQ(w.wheel_y, 0.0f);
  EXPECT_EQ(w.text_count, 0u);
  window_push_mouse_move_event(&w);
  EXPECT_EQ(w.event_count, 32u);
  EXPECT_EQ(w.events[31].type, input_event_type_move);

  frame_begin();
  EXPECT_EQ(input_pending_count(&w), 0u);
  ASSERT_EQ(w.event_count, 6u);
  EXPECT_TRUE(input_event_is_release(&w.events[0], input_key_from_glfw_key(GLFW_KEY_B)));
  EXPECT_TRUE(input_event_is_press(&w.events[1], key_c));
  EXPECT_EQ(w.events[2].type, input_event_type_move);
  EXPECT_EQ(w.events[2].x, 7);
  EXPECT_EQ(w.events[2].y, 8);
  EXPECT_TRUE(input_event_is_press(&w.events[3], key_mouse_right));
  EXPECT_EQ(w.events[3].x, 7);  // where the pointer was when the button went down
  EXPECT_EQ(w.events[4].wheel_y, -2.0f);
  EXPECT_EQ(w.events[5].wheel_x, 1.0f);
  EXPECT_EQ(w.events[1].codepoint, 0u);  // 'q' came after the wheel: text only
  EXPECT_EQ(std::string((const char *)w.text_utf8, w.text_bytes), "q");
  EXPECT_TRUE(input_key_pressed(&w, key_c));
  EXPECT_TRUE(input_key_pressed(&w, key_mouse_right));
  EXPECT_EQ(input_key_transitions(&w, input_key_from_glfw_key(GLFW_KEY_B)), 1u);
  EXPECT_EQ(w.wheel_y, -2.0f);
  EXPECT_EQ(w.wheel_x, 1.0f);
  EXPECT_EQ(w.mouse_x, 7);
  EXPECT_EQ(log().find("dropped"), std::string::npos);

  // Mouse events may take the last slot; one that does not fit waits as well.
  frame_begin();
  for (u32 i = 0; i < 16; i++) {
    input_on_mouse_button(&w, key_mouse_left, true, i);
    input_on_mouse_button(&w, key_mouse_left, false, i);
  }
  input_on_mouse_move(&w, 1, 2, 1);
  EXPECT_EQ(w.event_count, 32u);
  EXPECT_EQ(input_pending_count(&w), 1u);
  frame_begin();
  ASSERT_EQ(w.event_count, 1u);
  EXPECT_EQ(w.events[0].x, 1);
}

// A thousand key presses and releases with characters of every UTF-8 length, all arriving while
// one frame is handled, come out over the following frames exactly once and in order; each
// frame's key bytes, text and characters agree with the events it holds.
TEST_F(input_fixture, a_burst_of_typing_is_delivered_whole_over_the_following_frames) {
  static const u32 characters[] = {'a', 'Z', '/', 0xE9, 0x3B1, 0x20AC, 0x4E2D, 0x1F600, 0x10348};
  const s32 keys[] = {GLFW_KEY_A, GLFW_KEY_S, GLFW_KEY_D, GLFW_KEY_F, GLFW_KEY_J, GLFW_KEY_K};
  struct sent {
    s32 key;
    bool down;
    u32 codepoint;
  };
  std::vector<sent> messages;
  std::u32string typed;
  bool down[6] = {};
  std::mt19937 rng(11);
  frame_begin();
  for (u32 i = 0; i < 2000; i++) {
    u32 k = rng() % 6;
    // A few keys at once, as fast typists roll them; otherwise the key goes back up.
    if (!down[k] && std::count(down, down + 6, true) >= 3) {
      k = (u32)(std::find(down, down + 6, true) - down);
    }
    sent s = {keys[k], !down[k], down[k] ? 0 : characters[rng() % 9]};
    down[k] = !down[k];
    messages.push_back(s);
    input_on_key(&w, s.key, 0, s.down ? GLFW_PRESS : GLFW_RELEASE, i);
    if (s.codepoint) {
      input_on_char(&w, s.codepoint, i);
      typed.push_back((char32_t)s.codepoint);
    }
  }
  std::vector<input_event> events;
  std::u32string text;
  std::string utf8;
  bool was_down[6] = {};
  u32 frames = 0;
  for (bool more = true; more; frames++) {
    ASSERT_LT(frames, 1000u) << "the waiting input never drains";
    if (frames > 0) more = input_pending_drain(&w);
    ASSERT_LE(w.event_count, (u32)INPUT_EVENT_CAPACITY);
    u32 transitions[6] = {};
    bool now_down[6];
    std::copy(was_down, was_down + 6, now_down);
    std::u32string attached;
    for (u32 i = 0; i < w.event_count; i++) {
      const input_event &e = w.events[i];
      events.push_back(e);
      u32 k = (u32)(std::find(keys, keys + 6, input_glfw_key_from_key(e.code)) - keys);
      ASSERT_LT(k, 6u);
      transitions[k]++;
      now_down[k] = e.state & 1;
      if (e.utf8_length) attached.push_back((char32_t)e.codepoint);
    }
    // Every character of the frame is on its key press in the same frame.
    std::u32string frame_text(w.text_codepoints, w.text_codepoints + w.text_count);
    EXPECT_EQ(frame_text, attached) << frames;
    text += frame_text;
    utf8.append((const char *)w.text_utf8, w.text_bytes);
    for (u32 k = 0; k < 6; k++) {
      u8 key = input_key_from_glfw_key(keys[k]);
      EXPECT_EQ(input_key_transitions(&w, key), transitions[k]) << frames;
      EXPECT_EQ(input_key_is_down(&w, key), now_down[k]) << frames;
      was_down[k] = now_down[k];
    }
    input_frame_reset(&w);
  }
  ASSERT_EQ(events.size(), messages.size());
  for (u32 i = 0; i < events.size(); i++) {
    EXPECT_EQ(events[i].code, input_key_from_glfw_key(messages[i].key)) << i;
    EXPECT_EQ(events[i].state, messages[i].down ? 1 : 0) << i;
    EXPECT_EQ(events[i].codepoint, messages[i].codepoint) << i;
    EXPECT_EQ(events[i].time, i) << i;
  }
  EXPECT_EQ(text, typed);
  std::string expected_utf8;
  for (char32_t c : typed) {
    u8 bytes[4];
    u32 n = utf8_encode_for_test((u32)c, bytes);
    expected_utf8.append((const char *)bytes, n);
  }
  EXPECT_EQ(utf8, expected_utf8);
  EXPECT_GE(frames, 2000u / 31);
  EXPECT_EQ(log().find("dropped"), std::string::npos);
}

// Only a burst that fills the whole waiting room loses input: the oldest is kept, the rest is
// dropped with one log line, and the input kept still arrives in order.
TEST_F(input_fixture, a_burst_past_the_waiting_room_keeps_the_oldest_and_logs_once) {
  frame_begin();
  const u32 sent = INPUT_PENDING_CAPACITY + 1000;
  for (u32 i = 0; i < sent; i++) input_on_key(&w, GLFW_KEY_A, 0, i % 2 ? GLFW_RELEASE : GLFW_PRESS, i);
  const u32 kept = 31 + INPUT_PENDING_CAPACITY;
  EXPECT_EQ(input_pending_count(&w), (u32)INPUT_PENDING_CAPACITY);
  std::string line = "window_handle_messages: dropped input event.\n";
  std::string text = log();
  size_t at = text.find(line);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(text.find(line, at + 1), std::string::npos);
  u32 next = 0;
  for (u32 frame = 0; frame < 1000 && (frame == 0 || input_pending_drain(&w)); frame++) {
    for (u32 i = 0; i < w.event_count; i++) ASSERT_EQ(w.events[i].time, next++);
    input_frame_reset(&w);
  }
  EXPECT_EQ(next, kept);
  EXPECT_EQ(input_pending_count(&w), 0u);
}

// A focus change waits behind the input that came before it: keys pressed before the focus went
// are delivered and then cleared, and the library's releases after it make no events.
TEST_F(input_fixture, a_focus_change_keeps_its_place_among_waiting_input) {
  frame_begin();
  for (u32 i = 0; i < 31; i++) {
    input_on_mouse_move(&w, (s32)i, 0, i);
    input_on_mouse_button(&w, key_mouse_left, i % 2 == 1, i);
  }
  press(GLFW_KEY_A);
  input_on_char(&w, 'a', 1);
  input_on_focus(&w, false);
  release(GLFW_KEY_A);  // what the library reports once the focus went
  EXPECT_EQ(w.focused, 1u);
  EXPECT_TRUE(input_key_is_down(&w, key_mouse_left));
  EXPECT_GT(input_pending_count(&w), 0u);
  frame_begin();
  EXPECT_EQ(input_pending_count(&w), 0u);
  EXPECT_EQ(w.focused, 0u);
  EXPECT_FALSE(input_key_is_down(&w, key_a));
  EXPECT_FALSE(input_key_is_down(&w, key_mouse_left));
  ASSERT_GT(w.event_count, 0u);
  EXPECT_TRUE(input_event_is_press(&w.events[w.event_count - 1], key_a));
  EXPECT_EQ(w.events[w.event_count - 1].codepoint, (u32)'a');
  for (u32 i = 0; i < w.event_count; i++) EXPECT_FALSE(input_event_is_release(&w.events[i], key_a));
}

TEST_F(input_fixture, mouse_moves_coalesce_and_clicks_split_them) {
  input_frame_reset(&w);
  for (s32 i = 0; i < 20; i++) input_on_mouse_move(&w, i, 2 * i, (u32)i);
  ASSERT_EQ(w.event_count, 1u);
  EXPECT_EQ(w.events[0].x, 19);
  EXPECT_EQ(w.events[0].y, 38);
  input_on_mouse_button(&w, key_mouse_x2, true, 1);
  input_on_mouse_move(&w, 5, 6, 1);
  input_on_mouse_move(&w, 7, 8, 1);
  ASSERT_EQ(w.event_count, 3u);
  EXPECT_EQ(w.events[1].type, input_event_type_button);
  EXPECT_EQ(w.events[1].code, key_mouse_x2);
  EXPECT_EQ(w.events[1].x, 19);
  EXPECT_EQ(w.events[2].type, input_event_type_move);
  EXPECT_EQ(w.events[2].x, 7);
  EXPECT_TRUE(input_key_pressed(&w, key_mouse_x2));

  // A newer position read by the pump does not move a click or a wheel turn that happened at
  // the last reported one; the click makes it the mouse position again, the wheel does not.
  input_frame_reset(&w);
  w.mouse_x = 500;
  w.mouse_y = 600;
  input_on_scroll(&w, 0, 1, 3);
  EXPECT_EQ(w.events[0].x, 7);
  EXPECT_EQ(w.events[0].y, 8);
  EXPECT_EQ(w.mouse_x, 500);
  input_on_mouse_button(&w, key_mouse_x2, false, 1);
  EXPECT_EQ(w.events[1].x, 7);
  EXPECT_EQ(w.events[1].y, 8);
  EXPECT_EQ(w.mouse_x, 7);
  EXPECT_EQ(w.mouse_y, 8);

  input_frame_reset(&w);
  input_on_scroll(&w, 0, 1, 3);
  input_on_scroll(&w, -1, 0, 4);
  ASSERT_EQ(w.event_count, 2u);
  EXPECT_EQ(w.events[0].code, 0);
  EXPECT_EQ(w.events[0].wheel_y, 1.0f);
  EXPECT_EQ(w.events[0].wheel_x, 0.0f);
  EXPECT_EQ(w.events[1].wheel_x, -1.0f);
  EXPECT_EQ(w.events[1].wheel_y, 0.0f);
  EXPECT_EQ(w.wheel_x, -1.0f);
  EXPECT_EQ(w.wheel_y, 1.0f);
}

TEST_F(input_fixture, iterator_filters_by_type_and_stays_past_the_end) {
  input_frame_reset(&w);
  input_on_mouse_move(&w, 1, 1, 1);
  press(GLFW_KEY_A);
  input_on_mouse_button(&w, key_mouse_left, true, 1);
  press(GLFW_KEY_B);
  input_event_iterator it = input_event_iterator_make(&w, input_event_type_key);
  EXPECT_EQ(input_event_current(&it), nullptr);
  input_event *e = input_event_next(&it);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->code, key_a);
  EXPECT_EQ(input_event_current(&it), e);
  e = input_event_next(&it);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->code, input_key_from_glfw_key(GLFW_KEY_B));
  EXPECT_EQ(input_event_next(&it), nullptr);
  EXPECT_EQ(input_event_next(&it), nullptr);
  EXPECT_EQ(input_event_current(&it), nullptr);
  u32 n = 0;
  for (it = input_event_iterator_make(&w, input_event_type_all); input_event_next(&it);) n++;
  EXPECT_EQ(n, 4u);
}

TEST_F(input_fixture, frame_reset_keeps_only_the_down_bits) {
  press(GLFW_KEY_A);
  repeat(GLFW_KEY_A);
  press(GLFW_KEY_B, 56);
  release(GLFW_KEY_B, 56);
  input_on_char(&w, 'z', 1);
  input_on_scroll(&w, 1, 1, 1);
  w.resized = 1;
  input_frame_reset(&w);
  EXPECT_EQ(w.key_state[key_a], 1);
  EXPECT_EQ(w.key_state[input_key_from_glfw_key(GLFW_KEY_B)], 0);
  EXPECT_EQ(w.scancode_state[48], 0);
  EXPECT_EQ(w.event_count, 0u);
  EXPECT_EQ(w.text_count, 0u);
  EXPECT_EQ(w.text_bytes, 0);
  EXPECT_EQ(w.wheel_x, 0.0f);
  EXPECT_EQ(w.resized, 0u);
}

TEST(window_placement, centres_and_keeps_oversized_windows_reachable) {
  window_point p = window_place(1920, 1080, 1280, 720, WINDOW_CENTRED, WINDOW_CENTRED);
  EXPECT_EQ(p.x, 320);
  EXPECT_EQ(p.y, 180);
  p = window_place(1920, 1080, 1920, 1080, WINDOW_CENTRED, WINDOW_CENTRED);
  EXPECT_EQ(p.x, 0);
  EXPECT_EQ(p.y, 0);
  // Larger than the monitor: the left edge and the top edge stay on it.
  p = window_place(1280, 720, 1920, 1080, WINDOW_CENTRED, WINDOW_CENTRED);
  EXPECT_EQ(p.x, 0);
  EXPECT_EQ(p.y, 720 - 1080);
  for (s32 size = 1; size < 3000; size += 37) {
    p = window_place(1366, 768, size, size, WINDOW_CENTRED, WINDOW_CENTRED);
    EXPECT_GE(p.x, 0);
    EXPECT_LE(p.x + size, size > 1366 ? size : 1366);
    EXPECT_LE(p.y + size, size > 768 ? 768 : 768);  // the top never above the monitor's top
  }
  p = window_place(1920, 1080, 640, 480, 10, 20);
  EXPECT_EQ(p.x, 10);
  EXPECT_EQ(p.y, 20);
}

// The callback's message budget is process-wide and this test spends all of it: it runs in a
// fresh process, so a window test after it in this one still gets its driver messages.
TEST(gl_debug_messages, are_logged_with_a_newline_except_notifications) {
  run_in_fresh_process([] {
    u64 before = gfx_log_text().used;
    gl_debug_message_callback(GL_DEBUG_SOURCE_API, GL_DEBUG_TYPE_OTHER, 1,
                              GL_DEBUG_SEVERITY_NOTIFICATION, 5, "noise", nullptr);
    gl_debug_message_callback(GL_DEBUG_SOURCE_API, GL_DEBUG_TYPE_ERROR, 2, GL_DEBUG_SEVERITY_HIGH,
                              5, "error", nullptr);
    gl_debug_message_callback(GL_DEBUG_SOURCE_API, GL_DEBUG_TYPE_PERFORMANCE, 3,
                              GL_DEBUG_SEVERITY_LOW, -1, "slow", nullptr);
    buffer b = gfx_log_text();
    EXPECT_EQ(std::string((const char *)b.data + before, b.used - before), "error\nslow\n");
    // A flood of messages stops after the limit with one line that says so.
    for (u32 i = 0; i < 100000; i++) {
      gl_debug_message_callback(0, 0, 0, GL_DEBUG_SEVERITY_MEDIUM, 0, "a driver message", nullptr);
    }
    b = gfx_log_text();
    std::string text((const char *)b.data, b.used);
    size_t count = 0;
    for (size_t at = 0; (at = text.find("a driver message\n", at)) != std::string::npos; at++) count++;
    EXPECT_EQ(count, (size_t)GL_DEBUG_MESSAGE_LIMIT - 2);
    EXPECT_NE(text.find("further driver messages are not logged.\n"), std::string::npos);
  });
}

}  // namespace
