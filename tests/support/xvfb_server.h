// A private X server for tests that need a display: Xvfb picks a free display number itself
// (-displayfd) and reports it once it accepts connections, so parallel tests never collide and
// nothing has to be started by hand. The server is owned by its record: it ends with the scope
// that holds it, whatever way the test leaves it. Programs are started with argument vectors,
// never a shell.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/wait.h"

// Leaks inside the system's X, GL and GLFW libraries (caches they keep for the process) are not
// this program's; a test file that opens a display defines __lsan_default_suppressions with this.
#define QM_LSAN_SYSTEM_LIBRARY_SUPPRESSIONS \
  "leak:libX11\n"                           \
  "leak:libxcb\n"                           \
  "leak:libXext\n"                          \
  "leak:libXi\n"                            \
  "leak:libXrandr\n"                        \
  "leak:libXcursor\n"                       \
  "leak:libXrender\n"                       \
  "leak:libXfixes\n"                        \
  "leak:libglfw\n"                          \
  "leak:libGL\n"                            \
  "leak:libGLX\n"                           \
  "leak:libGLX_mesa\n"                      \
  "leak:libGLdispatch\n"                    \
  "leak:libglapi\n"                         \
  "leak:swrast_dri\n"                       \
  "leak:libgallium\n"                       \
  "leak:libLLVM\n"                          \
  "leak:libdrm\n"                           \
  "leak:libexpat\n"

// The GL libraries are loaded and unloaded at run time; a leak report about an unloaded library
// names no module, so suppressions could not match it. Keeping them loaded to the end fixes that.
inline void test_keep_gl_libraries_loaded() {
  const char *names[] = {"libGL.so.1", "libGLX_mesa.so.0", "libgallium_dri.so",
                         "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", "libglapi.so.0"};
  for (const char *name : names) dlopen(name, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
}

struct xvfb_server {
  test_process process;
  int display = -1;
};

// Starts the server and points DISPLAY at it; false when it did not come up within the limit.
inline bool xvfb_start(xvfb_server *s) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  test_start_options options;
  options.keep_fd = fds[1];
  options.as_fd = 3;
  // A key a test holds never repeats: the repeat delay is a minute, holds end long before.
  s->process = test_start({"Xvfb", "-displayfd", "3", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset",
                           "-ardelay", "60000"},
                          options);
  close(fds[1]);
  std::string number;
  bool ended = !s->process;
  // The server writes its display number once it accepts connections.
  test_wait_until([&] {
    pollfd p = {fds[0], POLLIN, 0};
    while (!ended && poll(&p, 1, 0) == 1) {
      char c;
      if (read(fds[0], &c, 1) != 1 || c == '\n') ended = true;
      else number += c;
    }
    return ended;
  });
  close(fds[0]);
  if (number.empty()) {
    s->process.end();
    return false;
  }
  s->display = atoi(number.c_str());
  setenv("DISPLAY", (":" + number).c_str(), 1);
  return true;
}

inline void xvfb_stop(xvfb_server *s) { s->process.stop(SIGTERM); }

// The id of a window with the name that is shown (mapped) on the display, as xdotool names
// windows; empty while there is none.
inline std::string test_shown_window(const char *name) {
  std::string ids;
  if (test_run_output({"xdotool", "search", "--onlyvisible", "--name", name}, &ids) != 0) return std::string();
  return ids.substr(0, ids.find('\n'));
}

// Starts a program that opens a window on the display and waits until a window with the title
// is shown: its id, or empty when the program did not start, ended first or showed none within
// the limit. The system's GL and X libraries keep caches for the process that the leak checker
// reports, so the program runs without it.
inline std::string test_start_window_program(test_process *program, const std::vector<const char *> &args,
                                             const test_start_options &options, const char *title) {
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  *program = test_start(args, options);
  if (!*program) return std::string();
  std::string id;
  test_wait_until([&] { return !program->running() || !(id = test_shown_window(title)).empty(); });
  return program->running() ? id : std::string();
}
