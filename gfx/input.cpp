// Key tables, the key-state bytes, event recording, the frame text and the queries the UI reads.
// Nothing here calls the window system, so tests feed these functions directly.
#include "gfx/window.h"
#include "gfx/gl.h"

#include <GLFW/glfw3.h>
#include <string.h>
#include <time.h>

// ---- Key tables ----------------------------------------------------------------------------

// Virtual-key codes in key-index order; index 0 is no key. The tables below are built from it.
static constexpr u8 key_virtual_keys[key_index_last + 1] = {
    0x00,
    0x01, 0x02, 0x04, 0x05, 0x06,                          // mouse buttons
    0x03,                                                  // cancel
    0x08, 0x09, 0x0C, 0x0D,                                // back, tab, clear, return
    0x10, 0x11, 0x12, 0x13, 0x14,                          // shift, control, menu, pause, capital
    0x15, 0x15, 0x17, 0x18, 0x19, 0x19,                    // kana/hangul, junja, final, hanja/kanji
    0x1B,                                                  // escape
    0x1C, 0x1D, 0x1E, 0x1F,                                // convert, nonconvert, accept, modechange
    0x20,                                                  // space
    0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,        // prior to down
    0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,              // select to help
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39,
    0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D,
    0x4E, 0x4F, 0x50, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A,
    0x5B, 0x5C, 0x5D, 0x5F,                                // lwin, rwin, apps, sleep
    0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6A, 0x6F, 0x6B, 0x6D, 0x6C, 0x6E,                    // multiply, divide, add, subtract, separator, decimal
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x7B,
    0x7C, 0x7D, 0x7E, 0x7F, 0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x90, 0x91,                                            // numlock, scroll
    0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5,                    // sided shift, control, menu
    0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE,
    0xAF, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7,
    0xBB, 0xBD, 0xBC, 0xBE, 0xBA, 0xBF, 0xC0,              // oem plus, minus, comma, period, 1, 2, 3
    0xDB, 0xDC, 0xDD, 0xDE, 0xDF,                          // oem 4 to 8
    0xE2, 0xFE, 0xE5, 0xE7,                                // oem 102, oem clear, processkey, packet
    0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD,
};

struct key_tables {
  u8 index_from_vk[256];
  u8 vk_from_index[256];
};

static constexpr key_tables key_tables_build() {
  key_tables t{};
  for (u32 i = 1; i <= key_index_last; i++) {
    u8 vk = key_virtual_keys[i];
    t.vk_from_index[i] = vk;
    // Two indices share 0x15 and 0x19; the first of each pair owns the code.
    if (t.index_from_vk[vk] == 0) t.index_from_vk[vk] = (u8)i;
  }
  return t;
}
static constexpr key_tables key_table = key_tables_build();
static_assert(key_table.index_from_vk[0x43] == key_c && key_table.index_from_vk[0x53] == key_s);
static_assert(key_table.index_from_vk[0x15] == 16 && key_table.index_from_vk[0x19] == 20);
static_assert(key_table.index_from_vk[0xFD] == 172 && key_table.index_from_vk[0xA5] == key_right_alt);

#define KEY_ROW16(f, b)                                                                        \
  f(b + 0), f(b + 1), f(b + 2), f(b + 3), f(b + 4), f(b + 5), f(b + 6), f(b + 7), f(b + 8),   \
      f(b + 9), f(b + 10), f(b + 11), f(b + 12), f(b + 13), f(b + 14), f(b + 15)
#define KEY_ALL256(f)                                                                          \
  KEY_ROW16(f, 0), KEY_ROW16(f, 16), KEY_ROW16(f, 32), KEY_ROW16(f, 48), KEY_ROW16(f, 64),     \
      KEY_ROW16(f, 80), KEY_ROW16(f, 96), KEY_ROW16(f, 112), KEY_ROW16(f, 128),                \
      KEY_ROW16(f, 144), KEY_ROW16(f, 160), KEY_ROW16(f, 176), KEY_ROW16(f, 192),              \
      KEY_ROW16(f, 208), KEY_ROW16(f, 224), KEY_ROW16(f, 240)
#define KEY_INDEX_OF(v) key_table.index_from_vk[v]
#define KEY_VK_OF(i) key_table.vk_from_index[i]
const u8 input_key_index_from_virtual_key[256] = {KEY_ALL256(KEY_INDEX_OF)};
const u8 input_virtual_key_from_key_index[256] = {KEY_ALL256(KEY_VK_OF)};

// The virtual key of a GLFW key; 0 for keys the numbering lacks. Sided modifiers give their
// generic key here (the sided one is kept as well, see input_sided_key_from_glfw_key).
static u8 virtual_key_from_glfw_key(s32 k) {
  if (k >= GLFW_KEY_0 && k <= GLFW_KEY_9) return (u8)k;
  if (k >= GLFW_KEY_A && k <= GLFW_KEY_Z) return (u8)k;
  if (k >= GLFW_KEY_F1 && k <= GLFW_KEY_F24) return (u8)(0x70 + (k - GLFW_KEY_F1));
  if (k >= GLFW_KEY_KP_0 && k <= GLFW_KEY_KP_9) return (u8)(0x60 + (k - GLFW_KEY_KP_0));
  switch (k) {
    case GLFW_KEY_SPACE: return 0x20;
    case GLFW_KEY_APOSTROPHE: return 0xDE;
    case GLFW_KEY_COMMA: return 0xBC;
    case GLFW_KEY_MINUS: return 0xBD;
    case GLFW_KEY_PERIOD: return 0xBE;
    case GLFW_KEY_SLASH: return 0xBF;
    case GLFW_KEY_SEMICOLON: return 0xBA;
    case GLFW_KEY_EQUAL: return 0xBB;
    case GLFW_KEY_LEFT_BRACKET: return 0xDB;
    case GLFW_KEY_BACKSLASH: return 0xDC;
    case GLFW_KEY_RIGHT_BRACKET: return 0xDD;
    case GLFW_KEY_GRAVE_ACCENT: return 0xC0;
    case GLFW_KEY_WORLD_1: return 0xE2;
    case GLFW_KEY_ESCAPE: return 0x1B;
    case GLFW_KEY_ENTER: return 0x0D;
    case GLFW_KEY_TAB: return 0x09;
    case GLFW_KEY_BACKSPACE: return 0x08;
    case GLFW_KEY_INSERT: return 0x2D;
    case GLFW_KEY_DELETE: return 0x2E;
    case GLFW_KEY_RIGHT: return 0x27;
    case GLFW_KEY_LEFT: return 0x25;
    case GLFW_KEY_DOWN: return 0x28;
    case GLFW_KEY_UP: return 0x26;
    case GLFW_KEY_PAGE_UP: return 0x21;
    case GLFW_KEY_PAGE_DOWN: return 0x22;
    case GLFW_KEY_HOME: return 0x24;
    case GLFW_KEY_END: return 0x23;
    case GLFW_KEY_CAPS_LOCK: return 0x14;
    case GLFW_KEY_SCROLL_LOCK: return 0x91;
    case GLFW_KEY_NUM_LOCK: return 0x90;
    case GLFW_KEY_PRINT_SCREEN: return 0x2C;
    case GLFW_KEY_PAUSE: return 0x13;
    case GLFW_KEY_KP_DECIMAL: return 0x6E;
    case GLFW_KEY_KP_DIVIDE: return 0x6F;
    case GLFW_KEY_KP_MULTIPLY: return 0x6A;
    case GLFW_KEY_KP_SUBTRACT: return 0x6D;
    case GLFW_KEY_KP_ADD: return 0x6B;
    case GLFW_KEY_KP_ENTER: return 0x0D;
    case GLFW_KEY_LEFT_SHIFT:
    case GLFW_KEY_RIGHT_SHIFT: return 0x10;
    case GLFW_KEY_LEFT_CONTROL:
    case GLFW_KEY_RIGHT_CONTROL: return 0x11;
    case GLFW_KEY_LEFT_ALT:
    case GLFW_KEY_RIGHT_ALT: return 0x12;
    case GLFW_KEY_LEFT_SUPER: return 0x5B;
    case GLFW_KEY_RIGHT_SUPER: return 0x5C;
    case GLFW_KEY_MENU: return 0x5D;
    default: return 0;
  }
}

u8 input_key_from_glfw_key(s32 glfw_key) {
  return input_key_index_from_virtual_key[virtual_key_from_glfw_key(glfw_key)];
}

u8 input_sided_key_from_glfw_key(s32 glfw_key) {
  switch (glfw_key) {
    case GLFW_KEY_LEFT_SHIFT: return key_left_shift;
    case GLFW_KEY_RIGHT_SHIFT: return key_right_shift;
    case GLFW_KEY_LEFT_CONTROL: return key_left_control;
    case GLFW_KEY_RIGHT_CONTROL: return key_right_control;
    case GLFW_KEY_LEFT_ALT: return key_left_alt;
    case GLFW_KEY_RIGHT_ALT: return key_right_alt;
    default: return 0;
  }
}

s32 input_glfw_key_from_key(u8 key) {
  switch (key) {
    case key_left_shift: return GLFW_KEY_LEFT_SHIFT;
    case key_right_shift: return GLFW_KEY_RIGHT_SHIFT;
    case key_left_control: return GLFW_KEY_LEFT_CONTROL;
    case key_right_control: return GLFW_KEY_RIGHT_CONTROL;
    case key_left_alt: return GLFW_KEY_LEFT_ALT;
    case key_right_alt: return GLFW_KEY_RIGHT_ALT;
    default: break;
  }
  if (key == key_none) return GLFW_KEY_UNKNOWN;
  for (s32 k = GLFW_KEY_SPACE; k <= GLFW_KEY_LAST; k++) {
    if (input_key_from_glfw_key(k) == key) return k;
  }
  return GLFW_KEY_UNKNOWN;
}

// ---- Scan codes ----------------------------------------------------------------------------

u32 input_scan_code_from_x_keycode(s32 x_keycode) {
  // X keycodes are evdev key numbers + 8; evdev numbers 1 to 88 are the set-1 codes themselves,
  // apart from two that have no set-1 code of their own (84 is unused, 85 is Zenkaku/Hankaku).
  s32 e = x_keycode - 8;
  if (e >= 1 && e <= 88 && e != 84 && e != 85) return (u32)e;
  if (e >= 183 && e <= 193) return (u32)(0x64 + (e - 183));  // F13 to F23
  switch (e) {
    case 89: return 0x73;     // Ro
    case 92: return 0x79;     // Henkan
    case 93: return 0x70;     // Katakana/Hiragana
    case 94: return 0x7B;     // Muhenkan
    case 194: return 0x76;    // F24
    case 113: return 0xE020;  // mute
    case 114: return 0xE02E;  // volume down
    case 115: return 0xE030;  // volume up
    case 116: return 0xE05E;  // power
    case 128: return 0xE068;  // browser stop
    case 140: return 0xE021;  // calculator
    case 142: return 0xE05F;  // sleep
    case 143: return 0xE063;  // wake
    case 155: return 0xE06C;  // mail
    case 156: return 0xE066;  // browser favourites
    case 157: return 0xE06B;  // my computer
    case 158: return 0xE06A;  // browser back
    case 159: return 0xE069;  // browser forward
    case 163: return 0xE019;  // next track
    case 164: return 0xE022;  // play/pause
    case 165: return 0xE010;  // previous track
    case 166: return 0xE024;  // stop
    case 172: return 0xE032;  // browser home
    case 173: return 0xE067;  // browser refresh
    case 217: return 0xE065;  // browser search
    case 226: return 0xE06D;  // media select
    case 96: return 0xE01C;   // keypad Enter
    case 97: return 0xE01D;   // right Control
    case 98: return 0xE035;   // keypad divide
    case 99: return 0xE037;   // Print Screen
    case 100: return 0xE038;  // right Alt
    case 102: return 0xE047;  // Home
    case 103: return 0xE048;  // Up
    case 104: return 0xE049;  // Page Up
    case 105: return 0xE04B;  // Left
    case 106: return 0xE04D;  // Right
    case 107: return 0xE04F;  // End
    case 108: return 0xE050;  // Down
    case 109: return 0xE051;  // Page Down
    case 110: return 0xE052;  // Insert
    case 111: return 0xE053;  // Delete
    case 119: return 0xE11D45;  // Pause
    case 125: return 0xE05B;  // left Windows key
    case 126: return 0xE05C;  // right Windows key
    case 127: return 0xE05D;  // Menu
    default: return 0;
  }
}

u32 input_key_from_scancode(u32 scancode) {
  if (scancode == 0) return 0;
  if (scancode == 0xE11D45) return 218;
  if (scancode < 0xE010) return scancode <= 0x7B ? scancode : 0;
  u32 index = 124 + (scancode - 0xE010);
  return index <= 217 ? index : 0;
}

// ---- State bytes ---------------------------------------------------------------------------

// The transition count lives in bits 2 to 7, so adding 4 counts one and the u8 wraps it at 64.
static u8 key_state_next(u8 old, u32 down, u32 repeat, u32 changed) {
  return (u8)((u8)((old & ~3u) + 4 * changed) | down | repeat << 1);
}

u8 input_modifiers(const window *w) {
  static const u8 keys[8] = {key_left_control, key_right_control, key_left_alt,   key_right_alt,
                             key_left_shift,   key_right_shift,   key_left_super, key_right_super};
  u8 m = 0;
  for (u32 i = 0; i < 8; i++) {
    if (w->key_state[keys[i]] & 1) m |= (u8)(1u << i);
  }
  return m;
}

static void log_line(const char *text) { gfx_log_append(string_from_bytes(text, strlen(text))); }

// A new zeroed event, or null when the frame already holds 32. Input is only applied once it is
// known to fit, so only a synthesised move can find the frame full.
static input_event *event_push(window *w) {
  if (w->event_count >= INPUT_EVENT_CAPACITY) {
    log_line("window_handle_messages: dropped input event.\n");
    return nullptr;
  }
  input_event *e = &w->events[w->event_count++];
  memset(e, 0, sizeof(*e));
  return e;
}

void input_frame_reset(window *w) {
  w->resized = 0;
  w->text_count = 0;
  w->text_bytes = 0;
  w->wheel_x = w->wheel_y = 0;
  memset(w->events, 0, sizeof(w->events));
  w->event_count = 0;
  for (u32 i = 0; i <= key_index_last; i++) w->key_state[i] &= 1;
  for (u32 i = 0; i < 256; i++) w->scancode_state[i] &= 1;
}

// ---- Text ----------------------------------------------------------------------------------

static u32 utf8_encode(u32 c, u8 out[4]) {
  if (c < 0x80) {
    out[0] = (u8)c;
    return 1;
  }
  if (c < 0x800) {
    out[0] = (u8)(0xC0 | c >> 6);
    out[1] = (u8)(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = (u8)(0xE0 | c >> 12);
    out[1] = (u8)(0x80 | ((c >> 6) & 0x3F));
    out[2] = (u8)(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = (u8)(0xF0 | c >> 18);
  out[1] = (u8)(0x80 | ((c >> 12) & 0x3F));
  out[2] = (u8)(0x80 | ((c >> 6) & 0x3F));
  out[3] = (u8)(0x80 | (c & 0x3F));
  return 4;
}

static bool text_has_room(const window *w, u32 bytes) {
  return w->text_count < INPUT_TEXT_CAPACITY && w->text_bytes + bytes <= INPUT_TEXT_BYTES;
}

// Only called once the character is known to fit the frame text.
static void char_apply(window *w, u32 codepoint, u32 time) {
  u8 bytes[4] = {};
  u32 n = utf8_encode(codepoint, bytes);
  memcpy(w->text_utf8 + w->text_bytes, bytes, n);
  w->text_codepoints[w->text_count] = codepoint;
  w->text_lengths[w->text_count] = (u8)n;
  w->text_bytes = (u8)(w->text_bytes + n);
  w->text_count++;
  // Only the key press that typed it carries the character; a character from an input method,
  // or one after a click, stays in the frame text alone. A key that types two characters (a
  // dead key before a letter it does not combine with) carries the last.
  if (w->event_count == 0) return;
  input_event *e = &w->events[w->event_count - 1];
  if (e->type != input_event_type_key || !(e->state & 3)) return;
  e->codepoint = codepoint;
  memcpy(e->utf8, bytes, 4);
  e->utf8_length = (u8)n;
  e->time = time;
}

// ---- Keys ----------------------------------------------------------------------------------

// The characters the window system leaves out (control characters and anything typed with
// Control) but the text box expects with its key, as the original system typed them.
static u32 control_character(s32 glfw_key, bool control, bool alt) {
  if (alt) return 0;  // Alt combinations are menu keys, never text
  switch (glfw_key) {
    case GLFW_KEY_ENTER:
    case GLFW_KEY_KP_ENTER: return control ? 10 : 13;
    case GLFW_KEY_ESCAPE: return 27;
    case GLFW_KEY_TAB: return control ? 0 : 9;
    case GLFW_KEY_BACKSPACE: return control ? 127 : 8;
    default: break;
  }
  if (!control) return 0;
  if (glfw_key >= GLFW_KEY_A && glfw_key <= GLFW_KEY_Z) return (u32)(glfw_key - GLFW_KEY_A + 1);
  switch (glfw_key) {
    case GLFW_KEY_LEFT_BRACKET: return 27;
    case GLFW_KEY_BACKSLASH: return 28;
    case GLFW_KEY_RIGHT_BRACKET: return 29;
    case GLFW_KEY_SPACE: return 32;
    default: return 0;
  }
}

// Only called once the event, and a character of any length, are known to fit the frame.
static void key_apply(window *w, s32 glfw_key, s32 x_keycode, s32 action, u32 time) {
  u8 key = input_key_from_glfw_key(glfw_key);
  u32 s = input_scan_code_from_x_keycode(x_keycode);
  u32 down = action != GLFW_RELEASE;
  u32 was_down = w->key_state[key] & 1;
  // After the focus is lost the library releases every key it saw down; the state was already
  // cleared, so those releases are not news and make no event.
  if (!w->focused && !down && !was_down) return;
  u32 repeat = was_down && down;
  u32 changed = was_down != down;
  // Print Screen may report only its release; it still counts as a transition.
  if (s == 0xE037) changed = 1;

  if (key != key_none) {
    u8 byte = key_state_next(w->key_state[key], down, repeat, changed);
    w->key_state[key] = byte;
    u8 sided = input_sided_key_from_glfw_key(glfw_key);
    if (sided) w->key_state[sided] = byte;
  }
  u32 scan_index = input_key_from_scancode(s);
  if (scan_index) {
    u8 old = w->scancode_state[scan_index];
    u32 scan_was_down = old & 1;
    u32 scan_changed = scan_was_down != down || s == 0xE037;
    w->scancode_state[scan_index] = key_state_next(old, down, scan_was_down && down, scan_changed);
  }
  if (key == key_none) return;

  u8 modifiers = input_modifiers(w);
  bool control = (modifiers & input_modifier_control) != 0;
  bool alt = (modifiers & input_modifier_alt) != 0;
  if (glfw_key == GLFW_KEY_F4 && down && alt) w->quit_requested = 1;

  input_event *e = event_push(w);
  if (e) {
    e->type = input_event_type_key;
    e->code = key;
    e->scancode = s;
    e->state = (u8)(down | repeat << 1);
    e->time = time;
    e->modifiers = modifiers;
  }
  if (down) {
    u32 c = control_character(glfw_key, control, alt);
    if (c) char_apply(w, c, time);
  }
}

// ---- Mouse ---------------------------------------------------------------------------------

static void move_apply(window *w, s32 x, s32 y, u32 time) {
  w->mouse_x = x;
  w->mouse_y = y;
  w->pointer_x = x;
  w->pointer_y = y;
  w->pointer_known = 1;
  input_event *e = nullptr;
  // Consecutive moves coalesce into one event holding the newest position.
  if (w->event_count > 0 && w->events[w->event_count - 1].type == input_event_type_move) {
    e = &w->events[w->event_count - 1];
  } else if (w->event_count < INPUT_EVENT_CAPACITY) {
    e = &w->events[w->event_count++];
  } else {
    log_line("window_handle_messages: dropped mouse move message.\n");
    return;
  }
  memset(e, 0, sizeof(*e));
  e->type = input_event_type_move;
  e->modifiers = input_modifiers(w);
  e->x = x;
  e->y = y;
  e->time = time;
}

void window_push_mouse_move_event(window *w) {
  input_event *e = event_push(w);
  if (!e) return;
  e->type = input_event_type_move;
  e->modifiers = input_modifiers(w);
  e->x = w->mouse_x;
  e->y = w->mouse_y;
}

static void button_apply(window *w, u8 button, bool down, u32 time) {
  u32 was_down = w->key_state[button] & 1;
  if (!w->focused && !down && !was_down) return;  // the library's releases after focus loss
  // The pointer cannot have moved since its last report, or a move would have come first; a
  // read at the end of a pump may be newer than this click.
  if (w->pointer_known) {
    w->mouse_x = w->pointer_x;
    w->mouse_y = w->pointer_y;
  }
  w->key_state[button] = key_state_next(w->key_state[button], down, 0, 1);
  input_event *e = event_push(w);
  if (!e) return;
  e->type = input_event_type_button;
  e->code = button;
  e->state = down ? input_event_state_down : 0;
  e->modifiers = input_modifiers(w);
  e->x = w->mouse_x;
  e->y = w->mouse_y;
  e->time = time;
}

static void scroll_apply(window *w, f32 notches_x, f32 notches_y, u32 time) {
  // One event per axis, as the two wheels arrive separately elsewhere.
  for (u32 axis = 0; axis < 2; axis++) {
    f32 v = axis == 0 ? notches_y : notches_x;
    if (v == 0) continue;
    if (axis == 0) {
      w->wheel_y = v;
    } else {
      w->wheel_x = v;
    }
    input_event *e = event_push(w);
    if (!e) continue;
    e->type = input_event_type_button;
    e->modifiers = input_modifiers(w);
    // Where the wheel turned; unlike a click it leaves mouse_x and mouse_y alone.
    e->x = w->pointer_known ? w->pointer_x : w->mouse_x;
    e->y = w->pointer_known ? w->pointer_y : w->mouse_y;
    e->time = time;
    if (axis == 0) {
      e->wheel_y = v;
    } else {
      e->wheel_x = v;
    }
  }
}

static void focus_apply(window *w, bool focused) {
  if (focused) {
    input_sync_keys(w);
    w->focused = 1;
  } else {
    input_clear_keys(w);
    window_point p = window_get_mouse_position(w);
    w->mouse_x = p.x;
    w->mouse_y = p.y;
    w->focused = 0;
  }
}

// ---- Input that waits for a later frame -------------------------------------------------------

static bool frame_has_mouse_event(const window *w) {
  for (u32 i = 0; i < w->event_count && i < INPUT_EVENT_CAPACITY; i++) {
    if (w->events[i].type & (input_event_type_button | input_event_type_move)) return true;
  }
  return false;
}

// Free event slots for input of one kind. A frame without mouse events keeps its last slot for
// the move the UI adds then, so that hover logic always sees one.
static u32 event_room(const window *w, bool mouse) {
  u32 limit = INPUT_EVENT_CAPACITY;
  if (!mouse && !frame_has_mouse_event(w)) limit--;
  return w->event_count < limit ? limit - w->event_count : 0;
}

// Whether the input can be applied to this frame whole. An empty frame takes any one input, so
// waiting input always moves on.
static bool pending_fits(const window *w, const input_pending *p) {
  switch (p->kind) {
    case input_pending_key:
      if (event_room(w, false) == 0) return false;
      // Its character, if it types one, comes next and must land in the same frame.
      return p->action == GLFW_RELEASE || text_has_room(w, 4);
    case input_pending_char: {
      u8 bytes[4];
      return text_has_room(w, utf8_encode(p->codepoint, bytes));
    }
    case input_pending_button: return event_room(w, true) >= 1;
    case input_pending_move:
      if (w->event_count > 0 && w->events[w->event_count - 1].type == input_event_type_move) {
        return true;
      }
      return event_room(w, true) >= 1;
    case input_pending_scroll:
      return event_room(w, true) >= (u32)(p->notches_x != 0) + (u32)(p->notches_y != 0);
    default: return true;
  }
}

static void pending_apply(window *w, const input_pending *p) {
  switch (p->kind) {
    case input_pending_key: key_apply(w, p->a, p->b, p->action, p->time); break;
    case input_pending_char: char_apply(w, p->codepoint, p->time); break;
    case input_pending_button: button_apply(w, (u8)p->a, p->action != 0, p->time); break;
    case input_pending_move: move_apply(w, p->a, p->b, p->time); break;
    case input_pending_scroll: scroll_apply(w, p->notches_x, p->notches_y, p->time); break;
    case input_pending_focus: focus_apply(w, p->action != 0); break;
    default: break;
  }
}

static void pending_push(window *w, const input_pending *p) {
  // Consecutive moves coalesce while they wait, as they do in a frame.
  if (p->kind == input_pending_move && w->pending_count > 0) {
    input_pending *last =
        &w->pending[(w->pending_head + w->pending_count - 1) % INPUT_PENDING_CAPACITY];
    if (last->kind == input_pending_move) {
      *last = *p;
      return;
    }
  }
  if (w->pending_count >= INPUT_PENDING_CAPACITY) {
    if (!w->pending_overflow_logged) log_line("window_handle_messages: dropped input event.\n");
    w->pending_overflow_logged = 1;
    return;
  }
  w->pending[(w->pending_head + w->pending_count) % INPUT_PENDING_CAPACITY] = *p;
  w->pending_count++;
}

// Applies the input at once when nothing waits before it and it fits the frame; otherwise it
// waits behind the rest, so nothing overtakes.
static void input_take(window *w, const input_pending *p) {
  if (w->pending_count == 0 && pending_fits(w, p)) {
    pending_apply(w, p);
  } else {
    pending_push(w, p);
  }
}

bool input_pending_drain(window *w) {
  if (w->pending_count == 0) return false;
  while (w->pending_count > 0) {
    input_pending p = w->pending[w->pending_head];
    if (!pending_fits(w, &p)) break;
    w->pending_head = (w->pending_head + 1) % INPUT_PENDING_CAPACITY;
    w->pending_count--;
    pending_apply(w, &p);
  }
  if (w->pending_count == 0) {
    w->pending_head = 0;
    w->pending_overflow_logged = 0;
  }
  return true;
}

u32 input_pending_count(const window *w) { return w->pending_count; }

// ---- What the callbacks call ------------------------------------------------------------------

void input_on_key(window *w, s32 glfw_key, s32 x_keycode, s32 action, u32 time) {
  input_pending p = {};
  p.kind = input_pending_key;
  p.action = (u8)action;
  p.a = glfw_key;
  p.b = x_keycode;
  p.time = time;
  input_take(w, &p);
}

void input_on_char(window *w, u32 codepoint, u32 time) {
  if (codepoint > 0x10FFFF || (codepoint >= 0xD800 && codepoint <= 0xDFFF)) return;
  input_pending p = {};
  p.kind = input_pending_char;
  p.codepoint = codepoint;
  p.time = time;
  input_take(w, &p);
}

void input_on_mouse_move(window *w, s32 x, s32 y, u32 time) {
  input_pending p = {};
  p.kind = input_pending_move;
  p.a = x;
  p.b = y;
  p.time = time;
  input_take(w, &p);
}

void input_on_mouse_button(window *w, u8 button, bool down, u32 time) {
  if (button < key_mouse_left || button > key_mouse_x2) return;
  input_pending p = {};
  p.kind = input_pending_button;
  p.action = down ? 1 : 0;
  p.a = button;
  p.time = time;
  input_take(w, &p);
}

void input_on_scroll(window *w, f32 notches_x, f32 notches_y, u32 time) {
  if (notches_x == 0 && notches_y == 0) return;
  input_pending p = {};
  p.kind = input_pending_scroll;
  p.notches_x = notches_x;
  p.notches_y = notches_y;
  p.time = time;
  input_take(w, &p);
}

void input_on_focus(window *w, bool focused) {
  input_pending p = {};
  p.kind = input_pending_focus;
  p.action = focused ? 1 : 0;
  input_take(w, &p);
}

// ---- Focus ---------------------------------------------------------------------------------

void input_clear_keys(window *w) {
  memset(w->key_state, 0, key_index_last + 1);
  memset(w->scancode_state, 0, sizeof(w->scancode_state));
  memset(w->keys_unseen, 0, sizeof(w->keys_unseen));
  w->text_count = 0;
  w->text_bytes = 0;
}

// ---- Queries -------------------------------------------------------------------------------

bool input_key_is_down(const window *w, u8 key) { return w->key_state[key] & 1; }
u32 input_key_transitions(const window *w, u8 key) { return w->key_state[key] >> 2; }
bool input_key_pressed(const window *w, u8 key) {
  u8 b = w->key_state[key];
  return (b & 1) && b > 3;
}
bool input_key_pressed_or_repeated(const window *w, u8 key) {
  return input_key_pressed(w, key) || (w->key_state[key] & 2);
}
bool input_key_went_down(const window *w, u8 key) {
  u8 b = w->key_state[key];
  // Down after a change, or up again after a press and its release.
  return (b & 1) ? b > 3 : (b >> 2) >= 2;
}
bool input_key_went_down_or_repeated(const window *w, u8 key) {
  return input_key_went_down(w, key) || (w->key_state[key] & 2);
}

bool input_event_is_press(const input_event *e, u8 code) { return e->code == code && e->state == 1; }
bool input_event_is_release(const input_event *e, u8 code) { return e->code == code && e->state == 0; }
bool input_event_is_press_or_repeat(const input_event *e, u8 code) {
  return e->code == code && (e->state & 3);
}

input_event_iterator input_event_iterator_make(window *w, u32 type_mask) {
  return input_event_iterator{w, (u64)-1, type_mask};
}

input_event *input_event_next(input_event_iterator *it) {
  u64 count = it->target->event_count;
  if (it->index != (u64)-1 && it->index >= count) return nullptr;
  for (it->index++; it->index < count; it->index++) {
    input_event *e = &it->target->events[it->index];
    if (e->type & it->type_mask) return e;
  }
  return nullptr;
}

input_event *input_event_current(input_event_iterator *it) {
  if (it->index >= it->target->event_count) return nullptr;
  return &it->target->events[it->index];
}

u32 input_time_now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (u32)((u64)t.tv_sec * 1000 + (u64)t.tv_nsec / 1000000);
}
