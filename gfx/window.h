// The one top-level window with its OpenGL 3.3 core context, and the once-per-frame pump that
// collects the frame's input into the record. GLFW over X11 does the system work; nothing outside
// gfx/ includes its header, so the record holds its handles as opaque pointers.
#pragma once

#include "core/buffer.h"
#include "gfx/input.h"

struct GLFWwindow;
struct GLFWcursor;

// ---- Types ---------------------------------------------------------------------------------

// Flags of window_create.
enum : u32 {
  window_flag_fullscreen = 0x1,
  window_flag_maximised = 0x2,
  // A debug context, driver messages into the log, and the log saved to "win32_opengl.log";
  // the program entry sets it when "-gfx_log" is among the arguments.
  window_flag_gfx_log = 0x4,
};
// Flags of window_handle_messages.
enum : u32 {
  window_pump_wait = 0x1,
  // While waiting, mouse moves alone do not end the wait.
  window_pump_moves_do_not_wake = 0x2,
};
// The value of x or y for window_create that centres on that axis.
#define WINDOW_CENTRED 0x7FFFFFFF

enum : u32 {
  window_cursor_arrow = 0,
  window_cursor_hand = 1,
  window_cursor_ibeam = 2,
  window_cursor_size_ns = 3,
  window_cursor_size_we = 4,
  window_cursor_count = 5,
};

struct window {
  // Lifetime of the run, set by window_create and the window callbacks.
  u32 running;         // 1 after a successful window_create
  u32 quit_requested;  // close button or Alt+F4; the program entry turns it into running = 0
  u32 focused;
  u32 fullscreen;
  s32 x, y;            // client area's bottom-left corner from its monitor's bottom-left, y up
  u32 width, height;   // client area in pixels
  s32 requested_x, requested_y, requested_width, requested_height;  // after centring

  // The frame's input: valid from the end of one pump to the start of the next.
  u32 resized;  // a move or resize arrived during this pump
  u8 key_state[256];
  u8 scancode_state[256];
  u32 text_codepoints[INPUT_TEXT_CAPACITY];
  u32 text_count;
  u8 text_utf8[INPUT_TEXT_BYTES];
  u8 text_lengths[INPUT_TEXT_CAPACITY];
  u8 text_bytes;
  s32 mouse_x, mouse_y;  // client pixels, y up
  f32 wheel_x, wheel_y;  // the frame's last wheel movement in notches
  input_event events[INPUT_EVENT_CAPACITY];
  u32 event_count;

  // System handles and settings, fixed after window_create.
  GLFWwindow *handle;
  GLFWcursor *cursor;  // last set by window_set_cursor; null is the default arrow
  GLFWcursor *cursors[window_cursor_count];  // arrow, hand, I-beam, size N-S, size W-E
  u32 timer_ms;       // the repeat timer's period while it runs, else 0
  u32 double_click_ms;
  u32 wheel_scroll_lines;
  u32 caret_blink_ms;
  s32 double_click_width, double_click_height;

  // The pump's own bookkeeping within one wait.
  u32 wait_moves;      // mouse moves handled during the current wait
  u32 wait_non_moves;  // any other callback during the current wait
  u32 wakes_seen;      // window_wake calls counted up to the end of the last wait or poll
  u32 wait_drops_moves;  // moves handled so far in this wait leave the frame when it ends

  // Where the window system last reported the pointer (client pixels, y up), kept apart from
  // mouse_x and mouse_y, which the pump reads afresh: clicks and wheel turns come without a
  // position and happened here.
  s32 pointer_x, pointer_y;
  u32 pointer_known;

  // Input that arrived after its frame was full, waiting for the next frames: a ring of
  // INPUT_PENDING_CAPACITY from pending_head; a burst that fills it is logged once.
  input_pending pending[INPUT_PENDING_CAPACITY];
  u32 pending_head, pending_count;
  u32 pending_overflow_logged;

  // Keys (a bit per GLFW key) found held when the focus came, which the library has not seen
  // pressed: it reports no release for them, so the pump watches them until they come up.
  u8 keys_unseen[48];
};

struct window_point {
  s32 x, y;
};

// ---- Creation ------------------------------------------------------------------------------

// Where a client area goes on a monitor of the given size: a coordinate equal to WINDOW_CENTRED
// is centred, but a window larger than the monitor keeps its left and top edges on the monitor
// (x = 0, y = monitor height - height), so the title bar stays reachable.
window_point window_place(s32 monitor_width, s32 monitor_height, s32 width, s32 height, s32 x,
                          s32 y);
// Opens the window with its context made current, swap interval 1, hidden while placed, then
// shown. title is UTF-8; width and height the client size; x, y the client's bottom-left corner
// from the monitor's bottom-left (or WINDOW_CENTRED). running = 1 on success.
void window_create(window *w, buffer title, u32 width, u32 height, s32 x, s32 y, u32 flags);
// Releases the window, its cursors and the window system connection.
void window_destroy(window *w);

// ---- The frame -----------------------------------------------------------------------------

// Clears the frame's input and moves input left over from earlier frames into it, then with
// window_pump_wait blocks until input, a wake-up or the repeat timer, and handles everything
// queued; without it handles only what is queued. A frame given left-over input never blocks, so
// the loop runs again at once while any is left.
void window_handle_messages(window *w, u32 flags);
// Ends a waiting pump; any thread may call it (workers do when a result is ready).
void window_wake();
void window_swap_buffers(window *w);
void window_set_swap_interval(s32 interval);

// Sets the cursor only while the mouse is inside the client area, and only when it changes.
void window_set_cursor(window *w, GLFWcursor *cursor);
// The mouse in client pixels, y up; (0, 0) when unknown.
window_point window_get_mouse_position(window *w);

// The repeat timer: while it runs, a waiting pump wakes at least every period.
void window_timer_start(window *w, u32 milliseconds);
void window_timer_stop(window *w);
bool window_timer_is_set(const window *w);
