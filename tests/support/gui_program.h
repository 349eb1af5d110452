// The real reader on a private X server, driven as a user would drive it (xdotool) and read back
// through the UI trees it writes to "tree.txt" when the key C is pressed. Every step waits for a
// state, never for a time: the window shown, the focus given, each tree dump completely written
// (the file's close is watched with inotify). The server and the program belong to the record
// and end with it on every exit path.
//
//     gui_program gui;
//     ASSERT_TRUE(gui.start({QM_QUILLMERE_BINARY, "-path", data.c_str()}, folder));
//     gui.key("F3");
//     ASSERT_TRUE(gui.dump_until([](const ui_dump &d) { return ui_dump_find(d, "name"); }));
//     int status = 0;
//     ASSERT_TRUE(gui.quit(&status));
#pragma once

#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/base.h"
#include "tests/support/file_text.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"
#include "tests/support/xvfb_server.h"

// ---- The tree dump -----------------------------------------------------------------------

// One node of the dump: its depth, id, tag and rectangle (window pixels, y up).
struct ui_dump_line {
  int depth;
  u64 id;
  std::string tag;
  f32 x0, x1, y0, y1;
};
typedef std::vector<ui_dump_line> ui_dump;

inline ui_dump ui_dump_parse(const std::string &text) {
  ui_dump out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t indent = line.find('[');
    size_t tag_at = line.find("] ");
    if (indent == std::string::npos || tag_at == std::string::npos) continue;
    std::vector<std::string> fields;
    for (size_t at = tag_at + 2;;) {
      size_t bar = line.find(" | ", at);
      fields.push_back(line.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
      if (bar == std::string::npos) break;
      at = bar + 3;
    }
    if (fields.size() < 6) continue;
    ui_dump_line d = {(int)indent / 4, strtoull(line.c_str() + indent + 1, nullptr, 10), fields[0], 0, 0, 0, 0};
    std::stringstream rect(fields[5]);
    char comma;
    rect >> d.x0 >> comma >> d.x1 >> comma >> d.y0 >> comma >> d.y1;
    out.push_back(d);
  }
  return out;
}

// The first line with the tag (any tag when empty) and, when id is not 0, that id; inside the
// subtree of the first line tagged `under` when that is given. Its index in *at.
inline const ui_dump_line *ui_dump_find(const ui_dump &lines, const std::string &tag, u64 id = 0,
                                        const std::string &under = "", size_t *at = nullptr) {
  size_t from = 0, to = lines.size();
  if (!under.empty()) {
    for (from = 0; from < lines.size() && lines[from].tag != under; from++) {
    }
    if (from == lines.size()) return nullptr;
    to = from + 1;
    while (to < lines.size() && lines[to].depth > lines[from].depth) to++;
    from++;
  }
  for (size_t k = from; k < to; k++) {
    if ((tag.empty() || lines[k].tag == tag) && (id == 0 || lines[k].id == id)) {
      if (at) *at = k;
      return &lines[k];
    }
  }
  return nullptr;
}

// ---- The program -------------------------------------------------------------------------

struct gui_program {
  xvfb_server server;
  test_process program;
  std::string folder;  // its current folder: tree.txt and log.txt land here
  int watch = -1;      // inotify on the folder

  gui_program() = default;
  gui_program(const gui_program &) = delete;
  gui_program &operator=(const gui_program &) = delete;
  ~gui_program() {
    program.end();
    if (watch >= 0) close(watch);
  }

  // Starts the X server and the program in the folder; true once its 1280 by 720 window is shown
  // at the screen's origin (screen and window pixels then agree), holds the keyboard focus with
  // the pointer over it, and answers the key C.
  bool start(const std::vector<const char *> &args, const std::string &in_folder, const char *title = "Quillmere") {
    folder = in_folder;
    if (!xvfb_start(&server)) return false;
    watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, folder.c_str(), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE) < 0) return false;
    test_start_options options;
    options.folder = folder.c_str();
    std::string id = test_start_window_program(&program, args, options, title);
    if (id.empty()) return false;
    // Without a window manager the focus is given by hand; each step waits until it is done.
    if (test_run({"xdotool", "windowmove", "--sync", id.c_str(), "0", "0"}) != 0) return false;
    if (test_run({"xdotool", "windowsize", "--sync", id.c_str(), "1280", "719"}) != 0) return false;
    if (test_run({"xdotool", "windowfocus", "--sync", id.c_str()}) != 0) return false;
    if (test_run({"xdotool", "mousemove", "--sync", "300", "300"}) != 0) return false;
    // A key held down while the program takes the focus counts as held before, not as pressed,
    // and the window is shown before the program's frames begin: until C is answered the key
    // is pressed again each second. A press that was only slow may still be answered later...
    if (!test_wait_until([&] {
          u64 before = events_now();
          key_down("c");
          bool answered = wait_for_dump(before, std::chrono::seconds(1), nullptr);
          key_up("c");
          return answered || !program.running();
        }) ||
        !program.running())
      return false;
    // ...so one more press, after a change of the window's height that every dump shows, tells
    // the last late answer from the answer to it. From here on each press is answered once.
    if (test_run({"xdotool", "windowsize", "--sync", id.c_str(), "1280", "720"}) != 0) return false;
    u64 before = events_now();
    key_down("c");
    ui_dump d;
    bool settled = test_wait_until([&] {
      bool got = wait_for_dump(before, test_wait_limit, &d);
      before = events;
      return got && !d.empty() && d[0].y1 == 720;
    });
    key_up("c");
    return settled;
  }

  // Keys and the pointer as xdotool names them; window pixels with y down, as the X server counts.
  void key_down(const char *name) { test_run({"xdotool", "keydown", name}); }
  void key_up(const char *name) { test_run({"xdotool", "keyup", name}); }
  // A key held until a frame has seen it (the dump after it is written), so that what follows is
  // sent after the key has acted.
  void key(const char *name) {
    key_down(name);
    dump();
    key_up(name);
  }
  // A press and its release sent at once, as a quick typist taps a key: both may reach the
  // program within one frame.
  void tap(const char *name) { test_run({"xdotool", "key", name}); }
  // Taps C and waits for the dump that answers it, as dump() does for a held C.
  ui_dump tap_dump(std::chrono::milliseconds limit = test_wait_limit) {
    ui_dump d;
    u64 before = events_now();
    tap("c");
    wait_for_dump(before, limit, &d);
    return d;
  }
  void type(const char *text) { test_run({"xdotool", "type", text}); }
  void move(int x, int y) { test_run({"xdotool", "mousemove", "--sync", std::to_string(x).c_str(), std::to_string(y).c_str()}); }
  void button(bool down) { test_run({"xdotool", down ? "mousedown" : "mouseup", "1"}); }
  // A press held until a frame has seen it, then the release.
  void click(int x, int y) {
    move(x, y);
    button(true);
    dump();
    button(false);
  }

  // Holds C until the program has written the dump of that press, and returns it; empty when
  // none came within the limit or the program ended. The dump's frame has taken every input sent
  // before it.
  ui_dump dump(std::chrono::milliseconds limit = test_wait_limit) {
    ui_dump d;
    u64 before = events_now();
    key_down("c");
    wait_for_dump(before, limit, &d);
    key_up("c");
    return d;
  }
  // Dumps until the condition holds for a dump, which *out receives; false when it never held
  // within the limit (*out then holds the last dump, to report what was there).
  template <typename F>
  bool dump_until(F condition, ui_dump *out = nullptr) {
    ui_dump last;
    bool held = test_wait_until([&] {
      last = dump();
      return !last.empty() && condition(last);
    });
    if (out) *out = last;
    return held;
  }

  // The quit signal, then the program's own way out (the last frame, the save); true when it
  // ended within the limit, with its wait status.
  bool quit(int *status) { return program.stop(SIGTERM, status); }

 private:
  // What inotify told of tree.txt so far (the program's writes, not this test's reads): how many
  // events, and whether the last one was the close after a write (the file is whole).
  u64 events = 0;
  bool written = false;
  void read_events() {
    alignas(inotify_event) char buffer[4096];
    ssize_t n;
    while ((n = read(watch, buffer, sizeof buffer)) > 0) {
      for (char *p = buffer; p < buffer + n;) {
        inotify_event *e = (inotify_event *)p;
        p += sizeof(inotify_event) + e->len;
        if (!e->len || std::string(e->name) != "tree.txt") continue;
        events++;
        written = (e->mask & IN_CLOSE_WRITE) != 0;
      }
    }
  }
  u64 events_now() {
    read_events();
    return events;
  }
  // Waits for the next whole dump written after the given count of events, read only once the
  // file is closed and no later write has begun meanwhile; true with it in *out (when given).
  bool wait_for_dump(u64 before, std::chrono::milliseconds limit, ui_dump *out) {
    for (int writes = 0; writes < 100; writes++) {
      if (!test_wait_until([&] {
            read_events();
            return !program.running() || (events > before && written);
          }, limit) ||
          !written)
        return false;
      before = events;
      std::string text = test_file_text(folder + "/tree.txt");
      read_events();
      if (events == before) {
        if (out) *out = ui_dump_parse(text);
        return true;
      }
      // A write began meanwhile and may have cut what was read: take the one after it.
    }
    return false;
  }
};
