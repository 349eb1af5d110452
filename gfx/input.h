// Key state and input events: every frame the pump rebuilds the frame's input inside the window
// record (a state byte per key and per scan code, up to 32 events in arrival order, the typed
// text, the mouse and the wheel), and the UI reads it through the predicates and the iterator
// below. The input_on_* functions are what the window's callbacks call; they touch nothing but
// the record, so they run without a display.
#pragma once

#include "core/base.h"

struct window;

// ---- Key index -----------------------------------------------------------------------------
// A dense u8 numbering of the virtual keys of the original desktop system; 0 is no key and 1 to 5
// are the mouse buttons, so buttons and keys share key_state and the predicates.
enum : u8 {
  key_none = 0,
  key_mouse_left = 1,
  key_mouse_right = 2,
  key_mouse_middle = 3,
  key_mouse_x1 = 4,
  key_mouse_x2 = 5,
  key_cancel = 6,
  key_backspace = 7,
  key_tab = 8,
  key_clear = 9,
  key_enter = 10,
  key_shift = 11,
  key_control = 12,
  key_alt = 13,
  key_pause = 14,
  key_caps_lock = 15,
  key_escape = 22,
  key_space = 27,
  key_page_up = 28,
  key_page_down = 29,
  key_end = 30,
  key_home = 31,
  key_left = 32,
  key_up = 33,
  key_right = 34,
  key_down = 35,
  key_print_screen = 39,
  key_insert = 40,
  key_delete = 41,
  key_0 = 43,  // digits "0" to "9" are 43 to 52
  key_a = 53,  // letters "A" to "Z" are 53 to 78
  key_c = 55,
  key_s = 71,
  key_left_super = 79,
  key_right_super = 80,
  key_apps = 81,
  key_numpad_0 = 83,  // to 92
  key_f1 = 99,        // F1 to F24 are 99 to 122
  key_f4 = 102,
  key_num_lock = 123,
  key_scroll_lock = 124,
  key_left_shift = 125,
  key_right_shift = 126,
  key_left_control = 127,
  key_right_control = 128,
  key_left_alt = 129,
  key_right_alt = 130,
  key_index_last = 172,
};

// Conversions between the virtual-key codes and the key index; entries not listed map to 0.
extern const u8 input_key_index_from_virtual_key[256];
extern const u8 input_virtual_key_from_key_index[256];

// The key index of a GLFW key (GLFW_KEY_*); the generic index for sided modifiers (Shift, Control,
// Alt) and 0 for keys the numbering lacks.
u8 input_key_from_glfw_key(s32 glfw_key);
// The sided index (left or right Shift, Control, Alt) for a GLFW modifier key, else 0.
u8 input_sided_key_from_glfw_key(s32 glfw_key);
// A GLFW key (GLFW_KEY_*) that gives the key index, or -1 (GLFW_KEY_UNKNOWN).
s32 input_glfw_key_from_key(u8 key);

// ---- Scan codes ----------------------------------------------------------------------------
// A scan code is the keyboard's set-1 code: plain 0x01 to 0x7B, E0-prefixed as 0xE000 | code,
// Pause as 0xE11D45. X reports evdev key numbers plus 8 as keycodes; they are turned into set-1
// codes so scancode_state means the same key on every system. 0 when there is none.
u32 input_scan_code_from_x_keycode(s32 x_keycode);
// The index into scancode_state (0 to 218), or 0 for a zero or unknown code.
u32 input_key_from_scancode(u32 scancode);
// The scan code of a key index through the keyboard's current keycodes (needs the window's
// library up); 0 when the key has none.
u32 input_key_scan_code(u8 key);

// ---- Key-state byte --------------------------------------------------------------------------
// bit 0 down now; bit 1 repeat during this frame; bits 2 to 7 transitions during this frame,
// a counter that wraps modulo 64.
inline u8 input_key_state_pack(u32 down, u32 repeat, u32 transitions) {
  return (u8)((down & 1) | (repeat & 1) << 1 | (transitions & 63) << 2);
}

// ---- Events --------------------------------------------------------------------------------
enum : u8 {
  input_event_type_button = 1,  // mouse button or wheel
  input_event_type_move = 2,
  input_event_type_key = 4,
  input_event_type_all = 7,
};
enum : u8 {
  input_event_state_down = 1,
  input_event_state_repeat = 2,
};
// Modifier bits of an event.
enum : u8 {
  input_modifier_left_control = 0x01,
  input_modifier_right_control = 0x02,
  input_modifier_left_alt = 0x04,
  input_modifier_right_alt = 0x08,
  input_modifier_left_shift = 0x10,
  input_modifier_right_shift = 0x20,
  input_modifier_left_super = 0x40,
  input_modifier_right_super = 0x80,
  input_modifier_control = 0x03,
  input_modifier_alt = 0x0C,
  input_modifier_shift = 0x30,
};

#define INPUT_EVENT_CAPACITY 32
#define INPUT_TEXT_CAPACITY 32
#define INPUT_TEXT_BYTES 128

struct input_event {
  u8 type;       // exactly one input_event_type_* bit
  u8 code;       // mouse button 1 to 5 or key index; 0 for moves and wheel
  u8 state;      // input_event_state_* bits: 1 pressed, 3 repeated, 0 released
  u8 modifiers;  // input_modifier_* bits held when the event was made
  u32 scancode;  // key events: the set-1 scan code, 0 if unknown
  u32 time;      // milliseconds of the monotonic clock; 0 for a synthesised move
  union {
    s32 x;          // mouse events: client x
    u32 codepoint;  // key events: the character typed with this key, 0 if none
  };
  union {
    s32 y;       // mouse events: client y, y up
    u8 utf8[4];  // key events: that character in UTF-8
  };
  union {
    f32 wheel_x;     // wheel events: horizontal notches, positive to the right
    u8 utf8_length;  // key events: bytes in utf8, 0 if no character
  };
  f32 wheel_y;  // wheel events: vertical notches, positive away from the user
};
static_assert(sizeof(input_event) == 28, "an input event is 28 bytes");

// Input that did not fit its frame waits here, in arrival order, as the callback's own
// arguments: it is applied (key bytes, events, text) only in the frame that takes it, so that
// frame's state agrees with its events.
enum : u8 {
  input_pending_key = 1,     // a = GLFW key, b = X keycode, action = GLFW action
  input_pending_char = 2,    // codepoint
  input_pending_button = 3,  // a = button, action = 1 down
  input_pending_move = 4,    // a = x, b = y
  input_pending_scroll = 5,  // notches_x, notches_y
  input_pending_focus = 6,   // action = 1 gained
};

struct input_pending {
  u8 kind;  // input_pending_*
  u8 action;
  u16 unused;
  union {
    s32 a;
    u32 codepoint;
    f32 notches_x;
  };
  union {
    s32 b;
    f32 notches_y;
  };
  u32 time;
};
static_assert(sizeof(input_pending) == 16, "a pending input is 16 bytes");

// Room for 4096 events with a character each; a burst beyond that is dropped.
#define INPUT_PENDING_CAPACITY 8192

struct input_event_iterator {
  window *target;
  u64 index;  // u64 -1 before the first event
  u32 type_mask;
};

// ---- Queries -------------------------------------------------------------------------------
bool input_key_is_down(const window *w, u8 key);
u32 input_key_transitions(const window *w, u8 key);
bool input_key_pressed(const window *w, u8 key);
bool input_key_pressed_or_repeated(const window *w, u8 key);
// A press during this frame, also one already released again (a quick tap, or a press while the
// frame was busy), which input_key_pressed misses since the key is up by the frame's end.
bool input_key_went_down(const window *w, u8 key);
// input_key_went_down, or an auto-repeat during this frame.
bool input_key_went_down_or_repeated(const window *w, u8 key);

bool input_event_is_press(const input_event *e, u8 code);
bool input_event_is_release(const input_event *e, u8 code);
bool input_event_is_press_or_repeat(const input_event *e, u8 code);

input_event_iterator input_event_iterator_make(window *w, u32 type_mask);
input_event *input_event_next(input_event_iterator *it);
input_event *input_event_current(input_event_iterator *it);

// The modifier bits the key state holds now.
u8 input_modifiers(const window *w);

// ---- Feeding the frame (the window's callbacks call these) -----------------------------------
// Input a frame has no room for (32 events, 32 characters in 128 bytes) is not dropped: it waits
// and goes to the following frames in order, a key press together with its character. The last
// event slot is kept for the move the UI adds to a frame without mouse events, and a key press
// or repeat needs room for one more character of any length.

// Start of a frame's pump: clears the frame's events, text, wheel and resized flag; key bytes keep
// only their down bit. Waiting input stays waiting.
void input_frame_reset(window *w);
// Moves waiting input into the frame, oldest first, as far as it fits; true when any was waiting
// (the frame then must not wait for more).
bool input_pending_drain(window *w);
// Inputs still waiting for a later frame.
u32 input_pending_count(const window *w);
// A key press, repeat or release; glfw_key is GLFW_KEY_*, x_keycode the X keycode (0 if none),
// action GLFW_PRESS, GLFW_REPEAT or GLFW_RELEASE.
void input_on_key(window *w, s32 glfw_key, s32 x_keycode, s32 action, u32 time);
// A typed character. It goes into the frame text, and onto the frame's last event when that is a
// key press or repeat (replacing a character an earlier call put there).
void input_on_char(window *w, u32 codepoint, u32 time);
// A mouse button 1 to 5 going down or up where the pointer was last reported (which becomes
// mouse_x and mouse_y); at mouse_x and mouse_y before any report.
void input_on_mouse_button(window *w, u8 button, bool down, u32 time);
// The mouse at client (x, y), y up.
void input_on_mouse_move(window *w, s32 x, s32 y, u32 time);
// Wheel notches with the signs of the event fields (x positive right, y positive away), where
// the pointer was last reported.
void input_on_scroll(window *w, f32 notches_x, f32 notches_y, u32 time);
// Appends a move event at the current mouse position with time 0.
void window_push_mouse_move_event(window *w);

// The focus coming or going, in order with the input around it: gained reads the keys' physical
// state again (input_sync_keys), lost marks every key up (input_clear_keys) and reads the mouse.
void input_on_focus(window *w, bool focused);
// Focus: gained reads the keys' physical state again; lost marks every key up.
void input_sync_keys(window *w);
void input_clear_keys(window *w);

// Milliseconds of the monotonic clock, the time stamp of events.
u32 input_time_now();
