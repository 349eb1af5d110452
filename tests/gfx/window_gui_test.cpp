// The window, its context and the pump on a real X server (a private Xvfb): the context version
// and a clear read back, keys and clicks driven by xdotool, and the wake-ups of a waiting pump.
#include "gfx/gfx.h"
#include "tests/support/isolation.h"
#include "tests/support/xvfb_server.h"

#include <GLFW/glfw3.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

extern "C" const char *__lsan_default_suppressions() { return QM_LSAN_SYSTEM_LIBRARY_SUPPRESSIONS; }

namespace {

// Whether the thread sleeps in poll or ppoll, the calls in which the window system's wait blocks:
// the kernel names the system call a blocked thread is in.
bool thread_sleeps_in_poll(pid_t thread) {
  std::ifstream f("/proc/self/task/" + std::to_string(thread) + "/syscall");
  long number = -1;
  f >> number;  // "running" reads as no number
  return number == SYS_poll || number == SYS_ppoll;
}

struct window_gui : ::testing::Test {
  xvfb_server server;
  window w = {};
  // The log is process-wide: only what this test's window wrote counts.
  log_mark start = log_mark_now();

  void open(u32 flags) {
    test_keep_gl_libraries_loaded();
    ASSERT_TRUE(xvfb_start(&server)) << "Xvfb did not start";
    window_create(&w, string_lit("Quillmere - 0.5"), 1280, 720, WINDOW_CENTRED, WINDOW_CENTRED,
                  flags);
    ASSERT_EQ(w.running, 1u) << std::string((const char *)gfx_log_text().data, gfx_log_text().used);
  }
  void TearDown() override {
    if (w.handle || w.running) window_destroy(&w);
    xvfb_stop(&server);
  }
  std::string log() { return log_since(start); }
  // Pumps without waiting until the condition holds, keeping every event seen; false when it
  // never held within the wait limit (a missing event fails the test instead of hanging it).
  template <typename F>
  bool pump_until(std::vector<input_event> *seen, F done) {
    return test_wait_until(
        [&] {
          window_handle_messages(&w, 0);
          for (u32 k = 0; k < w.event_count; k++) {
            if (seen) seen->push_back(w.events[k]);
          }
          return done();
        },
        test_wait_limit, std::chrono::milliseconds(10));
  }
  // A second window that takes the focus away while it is shown.
  GLFWwindow *open_other_window() {
    glfwDefaultWindowHints();
    glfwWindowHint(GLFW_CLIENT_API, GLFW_NO_API);
    GLFWwindow *other = glfwCreateWindow(200, 100, "other", nullptr, nullptr);
    if (other) glfwFocusWindow(other);
    return other;
  }
};

TEST_F(window_gui, creates_a_core_context_that_clears_swaps_and_reads_back) {
  open(0);
  EXPECT_EQ(w.width, 1280u);
  EXPECT_EQ(w.height, 720u);
  // Centred on the 1920 by 1080 screen, measured from its bottom-left corner.
  EXPECT_EQ(w.requested_x, 320);
  EXPECT_EQ(w.requested_y, 180);
  EXPECT_EQ(w.x, 320);
  EXPECT_EQ(w.y, 180);
  GLint major = 0, minor = 0, profile = 0;
  gl.glGetIntegerv(GL_MAJOR_VERSION, &major);
  gl.glGetIntegerv(GL_MINOR_VERSION, &minor);
  gl.glGetIntegerv(GL_CONTEXT_PROFILE_MASK, &profile);
  EXPECT_TRUE(major > 3 || (major == 3 && minor >= 3)) << major << "." << minor;
  EXPECT_TRUE(profile & GL_CONTEXT_CORE_PROFILE_BIT);
  EXPECT_NE(log().find("\nActual context\nGL_VERSION: "), std::string::npos) << log();
  EXPECT_NE(log().find("GL_CONTEXT_PROFILE_MASK: GL_CONTEXT_CORE_PROFILE_BIT\n"), std::string::npos);
  EXPECT_NE(log().find("\n\nExtensions ( >= 3.2 ):\n"), std::string::npos);

  const f32 colours[2][3] = {{0.2f, 0.4f, 0.6f}, {1.0f, 0.0f, 0.5f}};
  for (const auto &c : colours) {
    gl.glClearColor(c[0], c[1], c[2], 1.0f);
    gl.glClear(GL_COLOR_BUFFER_BIT);
    gl.glFinish();
    u8 pixels[4 * 4] = {};
    gl.glReadPixels(0, 0, 2, 2, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    for (u32 p = 0; p < 4; p++) {
      for (u32 k = 0; k < 3; k++) EXPECT_NEAR(pixels[4 * p + k], c[k] * 255.0f, 1.0f);
    }
    window_swap_buffers(&w);
  }
  EXPECT_EQ(gl.glGetError(), (GLenum)GL_NO_ERROR);
}

TEST_F(window_gui, gfx_log_makes_a_debug_context_and_saves_its_report) {
  char current[4096];
  ASSERT_NE(getcwd(current, sizeof current), nullptr);
  char folder[] = "/tmp/qm_gfx_log_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  // The report goes to the current folder, which is the process's: on every way out the test's
  // folder goes and the one before is current again for the tests after it.
  struct back_at_exit {
    const char *before, *folder;
    ~back_at_exit() {
      unlink((std::string(folder) + "/win32_opengl.log").c_str());
      EXPECT_EQ(chdir(before), 0);
      rmdir(folder);
    }
  } back{current, folder};
  ASSERT_EQ(chdir(folder), 0);
  open(window_flag_gfx_log);
  FILE *f = fopen("win32_opengl.log", "rb");
  ASSERT_NE(f, nullptr);
  std::string saved;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof(chunk), f)) > 0;) saved.append(chunk, n);
  fclose(f);
  // The file holds the whole log, which ends with what this window wrote.
  std::string own = log();
  ASSERT_GE(saved.size(), own.size());
  EXPECT_EQ(saved.substr(saved.size() - own.size()), own);
  EXPECT_NE(saved.find("GL_CONTEXT_FLAGS: GL_CONTEXT_FLAG_DEBUG_BIT "), std::string::npos) << saved;
  EXPECT_NE(saved.find("GL_ARB_debug_output\n"), std::string::npos);
  // A driver message arrives during the offending call and lands in the log with its newline.
  log_mark before = log_mark_now();
  gl.glEnable(0xFFFF);
  EXPECT_EQ(gl.glGetError(), (GLenum)GL_INVALID_ENUM);
  std::string after = log_since(before);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back(), '\n');
}

TEST_F(window_gui, real_keys_and_clicks_arrive_as_events) {
  open(0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.focused == 1; })) << "the window never got the focus";
  // The client area's top-left corner is at (320, 180) on the screen; (420, 280) is client
  // (100, 100) from the top, so 720 - 1 - 100 from the bottom.
  ASSERT_EQ(test_run({"xdotool", "key", "--delay", "20", "a", "shift+b", "Return", "ctrl+Return",
                      "mousemove", "420", "280", "click", "1"}),
            0);
  std::vector<input_event> seen;
  auto has = [&](auto match) {
    for (const input_event &e : seen) {
      if (match(e)) return true;
    }
    return false;
  };
  auto key_with = [&](u8 code, u32 codepoint) {
    return has([&](const input_event &e) {
      return e.type == input_event_type_key && e.state == 1 && e.code == code && e.codepoint == codepoint;
    });
  };
  auto button = [&](u8 state) {
    return has([&](const input_event &e) {
      return e.type == input_event_type_button && e.code == key_mouse_left && e.state == state &&
             e.x == 100 && e.y == 619;
    });
  };
  pump_until(&seen, [&] { return button(0); });
  EXPECT_TRUE(key_with(key_a, 'a'));
  EXPECT_TRUE(key_with(input_key_from_glfw_key(GLFW_KEY_B), 'B'));
  EXPECT_TRUE(key_with(key_enter, 13));
  EXPECT_TRUE(key_with(key_enter, 10));
  EXPECT_TRUE(has([](const input_event &e) {
    return e.type == input_event_type_key && e.code == key_shift && e.state == 1 &&
           e.modifiers == input_modifier_left_shift;
  }));
  EXPECT_TRUE(has([](const input_event &e) {
    return e.type == input_event_type_key && e.code == key_a && e.scancode == 0x1E;
  }));
  EXPECT_TRUE(button(1));
  EXPECT_TRUE(button(0));
  EXPECT_FALSE(input_key_is_down(&w, key_mouse_left));
  EXPECT_FALSE(input_key_is_down(&w, key_shift));
  EXPECT_EQ(w.mouse_x, 100);
  EXPECT_EQ(w.mouse_y, 619);
}

// After a resize the record holds the new size and the bottom-left corner measured from the
// monitor's bottom, and mouse positions flip against the new height.
TEST_F(window_gui, a_resize_updates_the_geometry_and_the_flip_of_mouse_positions) {
  open(0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.focused == 1; })) << "the window never got the focus";
  glfwSetWindowSize(w.handle, 800, 500);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.width == 800 && w.height == 500; }));
  window_handle_messages(&w, 0);
  // The top-left corner stays at screen (320, 180), so the bottom edge is at 680.
  EXPECT_EQ(w.x, 320);
  EXPECT_EQ(w.y, 1080 - 680);
  ASSERT_EQ(test_run({"xdotool", "mousemove", "--sync", "330", "190", "click", "1"}), 0);
  std::vector<input_event> seen;
  ASSERT_TRUE(pump_until(&seen, [&] { return seen.size() >= 3; }));
  EXPECT_EQ(seen[0].type, input_event_type_move);
  EXPECT_EQ(seen[0].x, 10);
  EXPECT_EQ(seen[0].y, 500 - 1 - 10);
  EXPECT_EQ(seen[1].y, 500 - 1 - 10);
  EXPECT_EQ(w.mouse_y, 500 - 1 - 10);
  glfwSetWindowSize(w.handle, 800, 300);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.height == 300; }));
  EXPECT_EQ(w.resized, 1u);
  EXPECT_EQ(w.mouse_y, 300 - 1 - 10);
  window_handle_messages(&w, 0);
  EXPECT_EQ(w.resized, 0u);
}

// A click carries the position where it happened. The pump reads the pointer when it ends, and
// input that came meanwhile is handled by the next pump: a click there still has its own place,
// not the newer one the read saw.
TEST_F(window_gui, a_click_handled_after_a_newer_pointer_read_keeps_its_own_position) {
  open(0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.focused == 1; })) << "the window never got the focus";
  // Screen (420, 280) is client (100, 100) from the top, (700, 500) is (380, 320).
  ASSERT_EQ(test_run({"xdotool", "mousemove", "--sync", "420", "280"}), 0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.mouse_x == 100 && w.mouse_y == 619; }));
  ASSERT_EQ(test_run({"xdotool", "click", "1", "mousemove", "--sync", "700", "500"}), 0);
  // What the end of a pump does when the input arrives just after its last look at the queue.
  window_point p = window_get_mouse_position(&w);
  w.mouse_x = p.x;
  w.mouse_y = p.y;
  ASSERT_EQ(w.mouse_x, 380);
  std::vector<input_event> seen;
  ASSERT_TRUE(pump_until(&seen, [&] { return seen.size() >= 3; }));
  ASSERT_EQ(seen[0].type, input_event_type_button);
  EXPECT_EQ(seen[0].x, 100);
  EXPECT_EQ(seen[0].y, 619);
  ASSERT_EQ(seen[1].type, input_event_type_button);
  EXPECT_EQ(seen[1].x, 100);
  EXPECT_EQ(seen[1].y, 619);
  EXPECT_EQ(seen[2].type, input_event_type_move);
  EXPECT_EQ(seen[2].x, 380);
  EXPECT_EQ(w.mouse_x, 380);
  EXPECT_EQ(w.mouse_y, 719 - 320);
}

// A key held down while another window has the focus reads as down once the focus comes back,
// and its release, which the window system reports only for keys it saw pressed, still arrives.
TEST_F(window_gui, a_key_held_when_the_focus_returns_is_down_until_its_release) {
  open(0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.focused == 1; })) << "the window never got the focus";
  GLFWwindow *other = open_other_window();
  ASSERT_NE(other, nullptr);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.focused == 0; }));
  ASSERT_EQ(test_run({"xdotool", "keydown", "Control_L"}), 0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return glfwGetKey(other, GLFW_KEY_LEFT_CONTROL) == GLFW_PRESS; }));
  EXPECT_FALSE(input_key_is_down(&w, key_control));

  glfwFocusWindow(w.handle);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.focused == 1; }));
  EXPECT_TRUE(input_key_is_down(&w, key_control));
  EXPECT_TRUE(input_key_is_down(&w, key_left_control));
  EXPECT_FALSE(input_key_is_down(&w, key_right_control));
  EXPECT_EQ(input_modifiers(&w), input_modifier_left_control);

  std::vector<input_event> seen;
  ASSERT_EQ(test_run({"xdotool", "key", "x"}), 0);
  ASSERT_TRUE(pump_until(&seen, [&] { return !seen.empty(); }));
  EXPECT_EQ(seen[0].code, input_key_from_glfw_key(GLFW_KEY_X));
  EXPECT_EQ(seen[0].modifiers, input_modifier_left_control);
  EXPECT_EQ(seen[0].codepoint, 24u);  // Ctrl+X

  seen.clear();
  ASSERT_EQ(test_run({"xdotool", "keyup", "Control_L"}), 0);
  EXPECT_TRUE(pump_until(&seen, [&] { return !input_key_is_down(&w, key_control); }))
      << "Control stayed down after its release";
  EXPECT_FALSE(input_key_is_down(&w, key_left_control));
  EXPECT_EQ(input_modifiers(&w), 0);
  u32 releases = 0;
  for (const input_event &e : seen) releases += e.type == input_event_type_key && e.code == key_control && e.state == 0;
  EXPECT_EQ(releases, 1u);
  glfwDestroyWindow(other);
}

// A modifier held when the focus goes is up from then on: no release event follows (the release
// goes to the other window), and back in the window a plain key carries no modifier.
TEST_F(window_gui, a_modifier_held_when_the_focus_goes_does_not_stay_down) {
  open(0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.focused == 1; })) << "the window never got the focus";
  ASSERT_EQ(test_run({"xdotool", "keydown", "Shift_L", "keydown", "Alt_L"}), 0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return input_key_is_down(&w, key_left_alt); }));
  EXPECT_EQ(input_modifiers(&w), input_modifier_left_shift | input_modifier_left_alt);

  GLFWwindow *other = open_other_window();
  ASSERT_NE(other, nullptr);
  std::vector<input_event> seen;
  ASSERT_TRUE(pump_until(&seen, [&] { return w.focused == 0; }));
  EXPECT_TRUE(seen.empty()) << (int)seen[0].type << " " << (int)seen[0].code;
  EXPECT_EQ(input_modifiers(&w), 0);
  EXPECT_FALSE(input_key_is_down(&w, key_shift));
  EXPECT_FALSE(input_key_is_down(&w, key_alt));
  ASSERT_EQ(test_run({"xdotool", "keyup", "Shift_L", "keyup", "Alt_L"}), 0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return glfwGetKey(other, GLFW_KEY_LEFT_ALT) == GLFW_RELEASE; }));

  glfwFocusWindow(w.handle);
  ASSERT_TRUE(pump_until(&seen, [&] { return w.focused == 1; }));
  EXPECT_EQ(input_modifiers(&w), 0);
  seen.clear();
  ASSERT_EQ(test_run({"xdotool", "key", "F4", "a"}), 0);
  ASSERT_TRUE(pump_until(&seen, [&] { return seen.size() >= 4; }));
  for (const input_event &e : seen) EXPECT_EQ(e.modifiers, 0) << (int)e.code;
  EXPECT_EQ(w.quit_requested, 0u);  // F4 without Alt
  EXPECT_TRUE(input_event_is_press(&seen[2], key_a));
  EXPECT_EQ(seen[2].codepoint, (u32)'a');
  glfwDestroyWindow(other);
}

// While another client grabs the keyboard (a window switcher or a window menu), the window keeps
// the focus as far as the library knows, and a modifier released meanwhile is reported to the
// grabbing client. The next key or click, made without it, must not carry it.
TEST_F(window_gui, a_modifier_released_during_another_keyboard_grab_does_not_stay_down) {
  typedef void *(*display_function)();
  typedef unsigned long (*native_window_function)(GLFWwindow *);
  typedef int (*grab_function)(void *, unsigned long, int, int, int, unsigned long);
  typedef int (*ungrab_function)(void *, unsigned long);
  typedef int (*sync_function)(void *, int);
  typedef int (*keymap_function)(void *, char[32]);
  auto display_of = (display_function)dlsym(RTLD_DEFAULT, "glfwGetX11Display");
  auto native_window = (native_window_function)dlsym(RTLD_DEFAULT, "glfwGetX11Window");
  auto grab_keyboard = (grab_function)dlsym(RTLD_DEFAULT, "XGrabKeyboard");
  auto ungrab_keyboard = (ungrab_function)dlsym(RTLD_DEFAULT, "XUngrabKeyboard");
  auto sync = (sync_function)dlsym(RTLD_DEFAULT, "XSync");
  auto query_keymap = (keymap_function)dlsym(RTLD_DEFAULT, "XQueryKeymap");
  ASSERT_TRUE(display_of && native_window && grab_keyboard && ungrab_keyboard && sync && query_keymap);

  open(0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.focused == 1; })) << "the window never got the focus";
  glfwDefaultWindowHints();
  glfwWindowHint(GLFW_CLIENT_API, GLFW_NO_API);
  glfwWindowHint(GLFW_FOCUSED, GLFW_FALSE);
  glfwWindowHint(GLFW_FOCUS_ON_SHOW, GLFW_FALSE);
  GLFWwindow *grabber = glfwCreateWindow(200, 100, "grabber", nullptr, nullptr);
  ASSERT_NE(grabber, nullptr);
  ASSERT_EQ(test_run({"xdotool", "keydown", "Alt_L"}), 0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return input_key_is_down(&w, key_left_alt); }));

  void *display = display_of();
  const int grab_mode_async = 1, grab_success = 0;
  ASSERT_EQ(grab_keyboard(display, native_window(grabber), 0, grab_mode_async, grab_mode_async, 0),
            grab_success);
  sync(display, 0);
  ASSERT_EQ(test_run({"xdotool", "keyup", "Alt_L"}), 0);
  s32 alt_keycode = glfwGetKeyScancode(GLFW_KEY_LEFT_ALT);
  ASSERT_TRUE(pump_until(nullptr, [&] {
    char keys[32];
    query_keymap(display, keys);
    return !((keys[alt_keycode >> 3] >> (alt_keycode & 7)) & 1);
  }));
  ungrab_keyboard(display, 0);
  sync(display, 0);
  EXPECT_EQ(w.focused, 1u);

  std::vector<input_event> seen;
  ASSERT_EQ(test_run({"xdotool", "key", "F4", "x"}), 0);
  ASSERT_TRUE(pump_until(&seen, [&] { return seen.size() >= 4; }));
  for (const input_event &e : seen) EXPECT_EQ(e.modifiers, 0) << (int)e.code;
  EXPECT_EQ(w.quit_requested, 0u);
  EXPECT_FALSE(input_key_is_down(&w, key_alt));
  EXPECT_FALSE(input_key_is_down(&w, key_left_alt));
  // Pressed again, the key counts as a press, not as a repeat.
  seen.clear();
  ASSERT_EQ(test_run({"xdotool", "keydown", "Alt_L"}), 0);
  ASSERT_TRUE(pump_until(&seen, [&] { return !seen.empty(); }));
  EXPECT_TRUE(input_event_is_press(&seen[0], key_alt));
  ASSERT_EQ(test_run({"xdotool", "keyup", "Alt_L"}), 0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return !input_key_is_down(&w, key_alt); }));
  glfwDestroyWindow(grabber);
}

TEST_F(window_gui, a_waiting_pump_wakes_for_a_worker_and_for_the_repeat_timer) {
  open(0);
  pump_until(nullptr, [&] { return w.focused == 1; });
  for (u32 i = 0; i < 20; i++) window_handle_messages(&w, 0);
  // Should a wake-up be lost the wait never ends, and the alarm fails the test.
  alarm(120);
  // The worker wakes the pump once the UI thread is seen asleep in the wait, so the wake-up has
  // to end a wait that has begun. Should something else end the wait first, the worker's wake-up
  // is drained and the round tried again.
  pid_t ui_thread = gettid();
  u32 events_after_wake = 0;
  bool woke_a_sleeping_pump = test_wait_until([&] {
    window_handle_messages(&w, 0);
    std::atomic<bool> returned{false}, seen_asleep{false};
    std::thread worker([&] {
      test_wait_until([&] { return returned.load() || (seen_asleep = thread_sleeps_in_poll(ui_thread)); });
      window_wake();
    });
    window_handle_messages(&w, window_pump_wait);
    returned = true;
    worker.join();
    events_after_wake = w.event_count;
    return seen_asleep.load();
  });
  EXPECT_TRUE(woke_a_sleeping_pump) << "the pump never slept in its wait";
  EXPECT_EQ(events_after_wake, 0u);

  window_timer_start(&w, 50);
  EXPECT_TRUE(window_timer_is_set(&w));
  for (u32 i = 0; i < 3; i++) window_handle_messages(&w, window_pump_wait);
  window_timer_stop(&w);
  EXPECT_FALSE(window_timer_is_set(&w));
  alarm(0);
}

// With moves told not to wake the pump, moves before the input that ends the wait are not part
// of the frame (the position is read afresh instead), and a wake-up handled together with moves
// still ends the wait.
TEST_F(window_gui, moves_that_do_not_wake_stay_out_of_the_frame_and_hide_no_wake_up) {
  open(0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.focused == 1; }));
  for (u32 i = 0; i < 20; i++) window_handle_messages(&w, 0);
  const u32 flags = window_pump_wait | window_pump_moves_do_not_wake;
  // Should a wait not end, the alarm fails the test.
  alarm(120);
  // Screen (500, 400) is client (180, 220) from the top; the key comes after the move.
  ASSERT_EQ(test_run({"xdotool", "mousemove", "--sync", "500", "400", "key", "a"}), 0);
  window_handle_messages(&w, flags);
  std::vector<input_event> seen(w.events, w.events + w.event_count);
  pump_until(&seen, [&] { return seen.size() >= 2; });
  ASSERT_GE(seen.size(), 2u);
  EXPECT_TRUE(input_event_is_press(&seen[0], key_a)) << (int)seen[0].type;
  EXPECT_TRUE(input_event_is_release(&seen[1], key_a)) << (int)seen[1].type;
  EXPECT_EQ(w.mouse_x, 180);
  EXPECT_EQ(w.mouse_y, 720 - 1 - 220);

  // A wake-up makes no callback; handled in one go with a move it must still end the wait,
  // or only the watchdog ends it.
  window_wake();
  ASSERT_EQ(test_run({"xdotool", "mousemove", "--sync", "600", "300"}), 0);
  std::mutex lock;
  std::condition_variable done_changed;
  bool done = false, fired = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> hold(lock);
    if (!done_changed.wait_for(hold, test_wait_limit, [&] { return done; })) {
      fired = true;
      window_wake();
    }
  });
  window_handle_messages(&w, flags);
  {
    std::lock_guard<std::mutex> hold(lock);
    done = true;
  }
  done_changed.notify_one();
  watchdog.join();
  alarm(0);
  EXPECT_FALSE(fired) << "the wake-up was lost";
  EXPECT_EQ(w.mouse_x, 280);
  EXPECT_EQ(w.mouse_y, 720 - 1 - 120);
}

// Typing faster than frames are made: everything typed during a slow frame is handled by the
// next pump, more than one frame holds. What does not fit waits for the frames after, which do
// not wait for new input, and the text of all frames together is exactly what was typed.
TEST_F(window_gui, fast_typing_during_slow_frames_loses_no_character) {
  open(0);
  ASSERT_TRUE(pump_until(nullptr, [&] { return w.focused == 1; })) << "the window never got the focus";
  const std::string typed =
      "/work/main/tests/reader/feeds/rss2_full.xml?Quick-Brown_Fox=42&jumps;over.the:lazy,dog"
      "/0123456789/ABCDEFGHIJKLMNOPQRSTUVWXYZ/abcdefghijklmnopqrstuvwxyz";
  // The whole string is queued before the next pump, as it would be behind a slow frame.
  ASSERT_EQ(test_run({"xdotool", "type", "--delay", "1", typed.c_str()}), 0);
  // A pump that waited while input was left over would only end with this alarm.
  alarm(120);
  std::string text;
  u32 frames_with_left_over = 0, frames_over_capacity = 0;
  // Each poll is a slow frame.
  test_wait_until(
      [&] {
        bool left_over = input_pending_count(&w) > 0;
        frames_with_left_over += left_over;
        window_handle_messages(&w, left_over ? (u32)window_pump_wait : 0u);
        frames_over_capacity += w.text_count > (u32)INPUT_TEXT_CAPACITY;
        text.append((const char *)w.text_utf8, w.text_bytes);
        return text.size() >= typed.size();
      },
      test_wait_limit, std::chrono::milliseconds(20));
  alarm(0);
  EXPECT_EQ(frames_over_capacity, 0u);
  EXPECT_EQ(text, typed);
  EXPECT_GT(frames_with_left_over, 0u) << "the typing never filled a frame";
  EXPECT_EQ(log().find("dropped"), std::string::npos);
}

TEST_F(window_gui, cursor_changes_only_inside_the_client_area) {
  open(0);
  w.mouse_x = -1;
  w.mouse_y = 10;
  window_set_cursor(&w, w.cursors[window_cursor_hand]);
  EXPECT_EQ(w.cursor, nullptr);
  w.mouse_x = 10;
  window_set_cursor(&w, w.cursors[window_cursor_hand]);
  EXPECT_EQ(w.cursor, w.cursors[window_cursor_hand]);
  w.mouse_y = (s32)w.height;
  window_set_cursor(&w, w.cursors[window_cursor_ibeam]);
  EXPECT_EQ(w.cursor, w.cursors[window_cursor_hand]);
}

}  // namespace
