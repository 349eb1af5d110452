// The window, its OpenGL context and the per-frame pump, over GLFW on X11. Input arrives through
// the library's callbacks, which hand it to the input_on_* functions.
#include "gfx/gl.h"
#include "gfx/window.h"
#include "profiler/profiler.h"

#include <GLFW/glfw3.h>
#include <atomic>
#include <dlfcn.h>
#include <math.h>
#include <string.h>

static_assert(sizeof(((window *)nullptr)->keys_unseen) * 8 > GLFW_KEY_LAST, "a bit per GLFW key");

static void log_cstr(const char *text) {
  if (text) gfx_log_append(string_from_bytes(text, strlen(text)));
}

static window *window_of(GLFWwindow *handle) { return (window *)glfwGetWindowUserPointer(handle); }

static void window_glfw_error(int code, const char *description) {
  (void)code;
  log_cstr("GLFW: ");
  log_cstr(description);
  log_cstr("\n");
}

// ---- Placement -----------------------------------------------------------------------------

window_point window_place(s32 monitor_width, s32 monitor_height, s32 width, s32 height, s32 x,
                          s32 y) {
  window_point p = {x, y};
  if (x == WINDOW_CENTRED) p.x = width <= monitor_width ? (monitor_width - width) / 2 : 0;
  // y runs upward from the monitor's bottom: a window taller than the monitor hangs below it
  // so that its top, with the title bar, stays on screen.
  if (y == WINDOW_CENTRED) {
    p.y = height <= monitor_height ? (monitor_height - height) / 2 : monitor_height - height;
  }
  return p;
}

struct monitor_rect {
  s32 x, y, width, height;  // screen coordinates, y down
};

// The monitor holding the window's centre, else the primary one.
static monitor_rect window_monitor(GLFWwindow *handle) {
  monitor_rect r = {0, 0, 0, 0};
  int count = 0;
  GLFWmonitor **monitors = glfwGetMonitors(&count);
  GLFWmonitor *chosen = glfwGetPrimaryMonitor();
  if (handle && monitors) {
    int wx = 0, wy = 0, ww = 0, wh = 0;
    glfwGetWindowPos(handle, &wx, &wy);
    glfwGetWindowSize(handle, &ww, &wh);
    int cx = wx + ww / 2, cy = wy + wh / 2;
    for (int i = 0; i < count; i++) {
      int mx = 0, my = 0;
      glfwGetMonitorPos(monitors[i], &mx, &my);
      const GLFWvidmode *mode = glfwGetVideoMode(monitors[i]);
      if (mode && cx >= mx && cx < mx + mode->width && cy >= my && cy < my + mode->height) {
        chosen = monitors[i];
        break;
      }
    }
  }
  if (!chosen) return r;
  glfwGetMonitorPos(chosen, &r.x, &r.y);
  const GLFWvidmode *mode = glfwGetVideoMode(chosen);
  if (mode) {
    r.width = mode->width;
    r.height = mode->height;
  }
  return r;
}

static void window_read_geometry(window *w) {
  int px = 0, py = 0, width = 0, height = 0;
  glfwGetWindowPos(w->handle, &px, &py);
  glfwGetWindowSize(w->handle, &width, &height);
  monitor_rect m = window_monitor(w->handle);
  w->width = (u32)(width > 0 ? width : 0);
  w->height = (u32)(height > 0 ? height : 0);
  w->x = px - m.x;
  w->y = (m.y + m.height) - (py + height);
  w->resized = 1;
}

// ---- Physical key state --------------------------------------------------------------------
// The library only remembers keys it saw pressed, and after a focus change it has seen none, so
// the keys held at that moment come from the X server. Its connection and libX11 are already
// loaded by the library; both are looked up by name rather than linking X11 a second time.
typedef void *(*x11_display_function)();
typedef int (*x11_query_keymap_function)(void *display, char keys[32]);

// A bit per X keycode, 1 while the key is down; false (all up) when the server cannot be asked.
static bool window_physical_keys(u8 keys[32]) {
  static x11_display_function display_of =
      (x11_display_function)dlsym(RTLD_DEFAULT, "glfwGetX11Display");
  static x11_query_keymap_function query_keymap =
      (x11_query_keymap_function)dlsym(RTLD_DEFAULT, "XQueryKeymap");
  memset(keys, 0, 32);
  void *display = display_of ? display_of() : nullptr;
  if (!display || !query_keymap) return false;
  query_keymap(display, (char *)keys);
  return true;
}

static bool keymap_has(const u8 keys[32], s32 x_keycode) {
  return x_keycode > 0 && x_keycode < 256 && ((keys[x_keycode >> 3] >> (x_keycode & 7)) & 1);
}

// ---- Callbacks -----------------------------------------------------------------------------

// Anything but a mouse move. During a wait that moves alone do not end, this ends it, and the
// moves handled before it in the same wait are not part of the frame.
static void window_note_non_move(window *w) {
  if (w->wait_non_moves++ == 0 && w->wait_drops_moves) {
    memset(w->events, 0, sizeof(w->events));
    w->event_count = 0;
  }
}

static void on_close(GLFWwindow *handle) {
  PROFILE_ZONE(zone_window_proc);
  window *w = window_of(handle);
  if (!w) return;
  // The window stays; the program entry ends the loop after the frame.
  w->quit_requested = 1;
  window_note_non_move(w);
  glfwSetWindowShouldClose(handle, GLFW_FALSE);
}

static void on_move_or_size(GLFWwindow *handle, int, int) {
  PROFILE_ZONE(zone_window_proc);
  window *w = window_of(handle);
  if (!w) return;
  window_read_geometry(w);
  // A window that moves under a still pointer gets no move report: the last one no longer holds.
  w->pointer_known = 0;
  window_note_non_move(w);
}

static void on_focus(GLFWwindow *handle, int focused) {
  PROFILE_ZONE(zone_window_proc);
  window *w = window_of(handle);
  if (!w) return;
  window_note_non_move(w);
  input_on_focus(w, focused != 0);
}

// The library ignores focus changes made by another client's keyboard grab (a window switcher or
// a window menu that was cancelled), and a modifier released during the grab is reported to the
// grabbing client, so it would stay down here. The modifiers the server sends with each key and
// button tell: one they lack is cleared once the key map confirms its keys are up (they are not
// when the key makes another modifier, as AltGr does). No event, as when the focus goes.
static void window_check_modifiers(window *w, int mods) {
  static const struct {
    int mod;
    u8 generic, left, right;
    s32 left_key, right_key;
  } groups[] = {
      {GLFW_MOD_SHIFT, key_shift, key_left_shift, key_right_shift, GLFW_KEY_LEFT_SHIFT,
       GLFW_KEY_RIGHT_SHIFT},
      {GLFW_MOD_CONTROL, key_control, key_left_control, key_right_control, GLFW_KEY_LEFT_CONTROL,
       GLFW_KEY_RIGHT_CONTROL},
      {GLFW_MOD_ALT, key_alt, key_left_alt, key_right_alt, GLFW_KEY_LEFT_ALT, GLFW_KEY_RIGHT_ALT},
      {GLFW_MOD_SUPER, key_none, key_left_super, key_right_super, GLFW_KEY_LEFT_SUPER,
       GLFW_KEY_RIGHT_SUPER},
  };
  u8 physical[32];
  bool asked = false;
  for (const auto &g : groups) {
    if (mods & g.mod) continue;
    u8 held = w->key_state[g.left] | w->key_state[g.right];
    if (g.generic) held |= w->key_state[g.generic];
    if (!(held & 1)) continue;
    if (!asked && !window_physical_keys(physical)) return;
    asked = true;
    u32 sides_down = 0;
    const struct {
      u8 index;
      s32 glfw_key;
    } sides[2] = {{g.left, g.left_key}, {g.right, g.right_key}};
    for (const auto &side : sides) {
      s32 code = glfwGetKeyScancode(side.glfw_key);
      if (keymap_has(physical, code)) {
        sides_down++;
        continue;
      }
      w->key_state[side.index] &= (u8)~3u;
      u32 scan = input_key_from_scancode(input_scan_code_from_x_keycode(code));
      if (scan) w->scancode_state[scan] &= (u8)~3u;
    }
    if (g.generic && sides_down == 0) w->key_state[g.generic] &= (u8)~3u;
  }
}

static void on_key(GLFWwindow *handle, int key, int scancode, int action, int mods) {
  PROFILE_ZONE(zone_window_proc);
  window *w = window_of(handle);
  if (!w) return;
  window_note_non_move(w);
  // The library tracks this key from now on and reports its release itself.
  if (key >= 0 && key <= GLFW_KEY_LAST) w->keys_unseen[key >> 3] &= (u8) ~(1u << (key & 7));
  // The server's modifiers describe the moment of this key; while earlier input still waits
  // for a later frame, the key state is not yet at that moment.
  if (input_pending_count(w) == 0) window_check_modifiers(w, mods);
  input_on_key(w, key, scancode, action, input_time_now());
}

static void on_char(GLFWwindow *handle, unsigned int codepoint) {
  PROFILE_ZONE(zone_window_proc);
  window *w = window_of(handle);
  if (!w) return;
  window_note_non_move(w);
  input_on_char(w, codepoint, input_time_now());
}

static void on_mouse_button(GLFWwindow *handle, int button, int action, int mods) {
  PROFILE_ZONE(zone_window_proc);
  window *w = window_of(handle);
  if (!w) return;
  window_note_non_move(w);
  if (input_pending_count(w) == 0) window_check_modifiers(w, mods);
  // Left, right, middle, back, forward: the order of the key index's buttons 1 to 5.
  if (button < GLFW_MOUSE_BUTTON_1 || button > GLFW_MOUSE_BUTTON_5) return;
  input_on_mouse_button(w, (u8)(button + 1), action == GLFW_PRESS, input_time_now());
}

static void on_cursor_position(GLFWwindow *handle, double x, double y) {
  PROFILE_ZONE(zone_window_proc);
  window *w = window_of(handle);
  if (!w) return;
  w->wait_moves++;
  input_on_mouse_move(w, (s32)floor(x), (s32)w->height - 1 - (s32)floor(y), input_time_now());
}

static void on_scroll(GLFWwindow *handle, double x, double y) {
  PROFILE_ZONE(zone_window_proc);
  window *w = window_of(handle);
  if (!w) return;
  window_note_non_move(w);
  // The library counts scrolling left as positive; the events count right as positive.
  input_on_scroll(w, (f32)-x, (f32)y, input_time_now());
}

// ---- Creation ------------------------------------------------------------------------------

// Copies the title with a terminating zero, cut at a character boundary when it is too long.
static void title_copy(char *out, u64 capacity, buffer title) {
  u64 n = title.used < capacity - 1 ? title.used : capacity - 1;
  while (n > 0 && n < title.used && (title.data[n] & 0xC0) == 0x80) n--;
  if (n) memcpy(out, title.data, n);
  out[n] = 0;
}

void window_create(window *w, buffer title, u32 width, u32 height, s32 x, s32 y, u32 flags) {
  PROFILE_ZONE(zone_window_create);
  bool gfx_log = (flags & window_flag_gfx_log) != 0;
  // The window system has no settings for these; the desktop defaults they had elsewhere.
  w->double_click_ms = 500;
  w->wheel_scroll_lines = 3;
  w->caret_blink_ms = 530;
  w->double_click_width = 4;
  w->double_click_height = 4;
  w->running = 0;

  glfwSetErrorCallback(window_glfw_error);
  GLFWwindow *handle = nullptr;
  monitor_rect m = {};
  window_point place = {};
  {
    PROFILE_ZONE(zone_register_class_w);
    if (!glfwInit()) {
      log_cstr("Failed to initialise the window system.\n");
      goto done;
    }
  }
  w->cursors[window_cursor_arrow] = glfwCreateStandardCursor(GLFW_ARROW_CURSOR);
  w->cursors[window_cursor_hand] = glfwCreateStandardCursor(GLFW_HAND_CURSOR);
  w->cursors[window_cursor_ibeam] = glfwCreateStandardCursor(GLFW_IBEAM_CURSOR);
  w->cursors[window_cursor_size_ns] = glfwCreateStandardCursor(GLFW_VRESIZE_CURSOR);
  w->cursors[window_cursor_size_we] = glfwCreateStandardCursor(GLFW_HRESIZE_CURSOR);

  m = window_monitor(nullptr);
  place = window_place(m.width, m.height, (s32)width, (s32)height, x, y);
  w->requested_x = place.x;
  w->requested_y = place.y;
  w->requested_width = (s32)width;
  w->requested_height = (s32)height;
  w->fullscreen = (flags & window_flag_fullscreen) ? 1 : 0;
  if (w->fullscreen) {
    // Borderless over the whole monitor rather than a video mode change.
    place = window_point{0, 0};
    width = (u32)m.width;
    height = (u32)m.height;
  }

  glfwDefaultWindowHints();
  glfwWindowHint(GLFW_CLIENT_API, GLFW_OPENGL_API);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
  glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
  glfwWindowHint(GLFW_OPENGL_DEBUG_CONTEXT, gfx_log ? GLFW_TRUE : GLFW_FALSE);
  glfwWindowHint(GLFW_RED_BITS, 8);
  glfwWindowHint(GLFW_GREEN_BITS, 8);
  glfwWindowHint(GLFW_BLUE_BITS, 8);
  glfwWindowHint(GLFW_ALPHA_BITS, 8);
  glfwWindowHint(GLFW_DEPTH_BITS, 24);
  glfwWindowHint(GLFW_STENCIL_BITS, 8);
  glfwWindowHint(GLFW_DOUBLEBUFFER, GLFW_TRUE);
  glfwWindowHint(GLFW_VISIBLE, GLFW_FALSE);
  glfwWindowHint(GLFW_DECORATED, w->fullscreen ? GLFW_FALSE : GLFW_TRUE);
  {
    PROFILE_ZONE(zone_create_window_ex_w);
    char title_z[2048];
    title_copy(title_z, sizeof(title_z), title);
    handle = glfwCreateWindow((int)width, (int)height, title_z, nullptr, nullptr);
  }
  if (!handle) {
    log_cstr("Failed to create an advanced render context.\n");
    goto done;
  }
  glfwSetWindowUserPointer(handle, w);
  {
    PROFILE_ZONE(zone_wgl_make_current);
    glfwMakeContextCurrent(handle);
  }
  {
    PROFILE_ZONE(zone_log_functions);
    log_cstr("Platform: GLFW ");
    log_cstr(glfwGetVersionString());
    log_cstr("\n\nActual context\n");
    if (!gl_get_functions(gfx_log)) {
      log_cstr("Failed to create an advanced render context.\n");
      glfwDestroyWindow(handle);
      goto done;
    }
    gl_context_info();
  }
  glfwSwapInterval(1);

  w->handle = handle;
  // Placed while hidden, so the window never shows at the default position.
  glfwSetWindowPos(handle, m.x + place.x, m.y + m.height - place.y - (s32)height);
  glfwSetWindowCloseCallback(handle, on_close);
  glfwSetWindowPosCallback(handle, on_move_or_size);
  glfwSetWindowSizeCallback(handle, on_move_or_size);
  glfwSetWindowFocusCallback(handle, on_focus);
  glfwSetKeyCallback(handle, on_key);
  glfwSetCharCallback(handle, on_char);
  glfwSetMouseButtonCallback(handle, on_mouse_button);
  glfwSetCursorPosCallback(handle, on_cursor_position);
  glfwSetScrollCallback(handle, on_scroll);
  {
    PROFILE_ZONE(zone_show_window);
    glfwShowWindow(handle);
    if (flags & window_flag_maximised) glfwMaximizeWindow(handle);
  }
  window_read_geometry(w);
  w->focused = glfwGetWindowAttrib(handle, GLFW_FOCUSED) ? 1 : 0;
  w->quit_requested = 0;
  w->running = 1;
  gl.glViewport(0, 0, (GLsizei)w->width, (GLsizei)w->height);

done:
  if (gfx_log) gfx_log_save("win32_opengl.log");
}

void window_destroy(window *w) {
  if (w->handle) glfwDestroyWindow(w->handle);
  for (u32 i = 0; i < window_cursor_count; i++) {
    if (w->cursors[i]) glfwDestroyCursor(w->cursors[i]);
    w->cursors[i] = nullptr;
  }
  w->handle = nullptr;
  w->cursor = nullptr;
  w->running = 0;
  glfwTerminate();
}

// ---- The frame -----------------------------------------------------------------------------

// Keys found held at focus time come up without the library telling: the server says when.
static void window_release_unseen_keys(window *w) {
  u32 any = 0;
  for (u8 b : w->keys_unseen) any |= b;
  if (!any) return;
  u8 physical[32];
  bool known = window_physical_keys(physical);
  for (s32 k = 0; k <= GLFW_KEY_LAST; k++) {
    if (!((w->keys_unseen[k >> 3] >> (k & 7)) & 1)) continue;
    s32 code = glfwGetKeyScancode(k);
    if (known && keymap_has(physical, code)) continue;
    w->keys_unseen[k >> 3] &= (u8) ~(1u << (k & 7));
    input_on_key(w, k, code, GLFW_RELEASE, input_time_now());
  }
}

// Wake-ups leave no trace in the library's callbacks, so they are counted here.
static std::atomic<u32> window_wakes;

void window_handle_messages(window *w, u32 flags) {
  PROFILE_ZONE(zone_window_handle_messages);
  bool carried = false;
  {
    PROFILE_ZONE(zone_setup);
    input_frame_reset(w);
    carried = input_pending_drain(w);
  }
  // Input left over from earlier frames is this frame's already; waiting would hold it back.
  if ((flags & window_pump_wait) && !carried) {
    PROFILE_ZONE(zone_GetMessage);
    // The library handles everything queued before it returns, so one wait drains the queue.
    // When moves alone do not end the wait, the timer still counts from the wait's start, and a
    // wake-up (which makes no callback) handled together with moves still ends it.
    double deadline = glfwGetTime() + w->timer_ms / 1000.0;
    w->wait_drops_moves = (flags & window_pump_moves_do_not_wake) ? 1 : 0;
    for (;;) {
      w->wait_moves = 0;
      w->wait_non_moves = 0;
      if (w->timer_ms) {
        double left = deadline - glfwGetTime();
        glfwWaitEventsTimeout(left > 0 ? left : 0);
      } else {
        glfwWaitEvents();
      }
      u32 wakes = window_wakes.load();
      bool woken = wakes != w->wakes_seen;
      w->wakes_seen = wakes;
      bool timer_due = w->timer_ms && glfwGetTime() >= deadline;
      bool moves_only = w->wait_moves != 0 && w->wait_non_moves == 0 && !woken && !timer_due;
      if (!(flags & window_pump_moves_do_not_wake) || !moves_only) break;
      // Moves that did not end the wait are not part of the frame; the position is read below.
      memset(w->events, 0, sizeof(w->events));
      w->event_count = 0;
    }
    w->wait_drops_moves = 0;
  } else {
    PROFILE_ZONE(zone_PeekMessage);
    glfwPollEvents();
    w->wakes_seen = window_wakes.load();
  }
  window_release_unseen_keys(w);
  {
    PROFILE_ZONE(zone_loop);
    window_point p = window_get_mouse_position(w);
    w->mouse_x = p.x;
    w->mouse_y = p.y;
  }
}

void window_wake() {
  // Counted before posting, so the pump that handles the empty event also sees the count.
  window_wakes.fetch_add(1);
  glfwPostEmptyEvent();
}

void window_swap_buffers(window *w) {
  PROFILE_ZONE(zone_window_swap_buffers);
  glfwSwapBuffers(w->handle);
}

void window_set_swap_interval(s32 interval) { glfwSwapInterval(interval); }

void window_set_cursor(window *w, GLFWcursor *cursor) {
  invariant(cursor != nullptr);
  bool inside = w->mouse_x >= 0 && w->mouse_x < (s32)w->width && w->mouse_y >= 0 &&
                w->mouse_y < (s32)w->height;
  if (!inside || cursor == w->cursor) return;
  glfwSetCursor(w->handle, cursor);
  w->cursor = cursor;
}

window_point window_get_mouse_position(window *w) {
  if (!w->handle) return window_point{0, 0};
  double x = 0, y = 0;
  glfwGetCursorPos(w->handle, &x, &y);
  return window_point{(s32)floor(x), (s32)w->height - 1 - (s32)floor(y)};
}

void window_timer_start(window *w, u32 milliseconds) {
  invariant(w->timer_ms == 0 && milliseconds != 0);
  w->timer_ms = milliseconds;
}

void window_timer_stop(window *w) {
  invariant(w->timer_ms != 0);
  w->timer_ms = 0;
}

bool window_timer_is_set(const window *w) { return w->timer_ms != 0; }

// ---- Keys that need the window system ------------------------------------------------------

void input_sync_keys(window *w) {
  PROFILE_ZONE(zone_input_sync_keys);
  window_point p = window_get_mouse_position(w);
  w->mouse_x = p.x;
  w->mouse_y = p.y;
  bool inside = p.x >= 0 && p.x < (s32)w->width && p.y >= 0 && p.y < (s32)w->height;
  w->key_state[0] = 0;
  for (u8 b = key_mouse_left; b <= key_mouse_x2; b++) {
    w->key_state[b] = inside && glfwGetMouseButton(w->handle, b - 1) == GLFW_PRESS ? 1 : 0;
  }
  for (u32 i = key_cancel; i < key_index_last; i++) w->key_state[i] = 0;
  memset(w->scancode_state, 0, sizeof(w->scancode_state));
  memset(w->keys_unseen, 0, sizeof(w->keys_unseen));
  u8 physical[32];
  bool known = window_physical_keys(physical);
  for (s32 k = GLFW_KEY_SPACE; k <= GLFW_KEY_LAST; k++) {
    u8 key = input_key_from_glfw_key(k);
    if (!key) continue;
    s32 code = glfwGetKeyScancode(k);
    bool seen = glfwGetKey(w->handle, k) == GLFW_PRESS;
    if (!seen && !(known && keymap_has(physical, code))) continue;
    if (!seen) w->keys_unseen[k >> 3] |= (u8)(1u << (k & 7));
    w->key_state[key] = 1;
    u8 sided = input_sided_key_from_glfw_key(k);
    if (sided) w->key_state[sided] = 1;
    u32 index = input_key_from_scancode(input_scan_code_from_x_keycode(code));
    if (index) w->scancode_state[index] = 1;
  }
  w->text_count = 0;
  w->text_bytes = 0;
}

u32 input_key_scan_code(u8 key) {
  s32 k = input_glfw_key_from_key(key);
  if (k == GLFW_KEY_UNKNOWN) return 0;
  return input_scan_code_from_x_keycode(glfwGetKeyScancode(k));
}
