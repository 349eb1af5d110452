// A private X server for tests that need a display: Xvfb picks a free display number itself
// (-displayfd) and reports it once it accepts connections, so parallel tests never collide and
// nothing has to be started by hand. Programs are started with argument vectors, never a shell.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char **environ;

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
  pid_t pid = -1;
  int display = -1;
};

// Starts a program with the argument vector, output discarded, in the folder when one is given
// (its relative files land there); its pid or -1.
inline pid_t test_spawn(const std::vector<const char *> &args, int keep_fd = -1, int as_fd = -1,
                        const char *folder = nullptr) {
  std::vector<char *> argv;
  for (const char *a : args) argv.push_back((char *)a);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (folder) posix_spawn_file_actions_addchdir_np(&actions, folder);
  if (keep_fd >= 0) posix_spawn_file_actions_adddup2(&actions, keep_fd, as_fd);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Runs a program to its end; its exit status, or -1 when it could not run.
inline int test_run(const std::vector<const char *> &args) {
  pid_t pid = test_spawn(args);
  if (pid < 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits up to 30 s for a window with the name to be shown.
inline bool test_wait_for_window(const char *name) {
  for (int i = 0; i < 300; i++) {
    if (test_run({"xdotool", "search", "--name", name}) == 0) return true;
    usleep(100000);
  }
  return false;
}

inline bool xvfb_start(xvfb_server *s) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  // The write end goes to the server as fd 3; keep it away from 3 here so dup2 clears its
  // close-on-exec flag.
  int write_end = fcntl(fds[1], F_DUPFD_CLOEXEC, 10);
  close(fds[1]);
  s->pid = test_spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1920x1080x24", "-nolisten",
                       "tcp", "-noreset"},
                      write_end, 3);
  close(write_end);
  std::string number;
  if (s->pid > 0) {
    pollfd p = {fds[0], POLLIN, 0};
    // The server writes its display number once it accepts connections.
    while (poll(&p, 1, 30000) == 1) {
      char c;
      if (read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
  }
  close(fds[0]);
  if (number.empty()) {
    if (s->pid > 0) {
      kill(s->pid, SIGKILL);
      waitpid(s->pid, nullptr, 0);
    }
    s->pid = -1;
    return false;
  }
  s->display = atoi(number.c_str());
  setenv("DISPLAY", (":" + number).c_str(), 1);
  return true;
}

// Starts a windowed program in the folder and waits up to 30 s for a window with the title; then
// moves the pointer over it, which gives it the focus where no window manager does. Its pid, or
// -1; *shown tells whether the window came.
inline pid_t test_start_window_program(const std::vector<const char *> &args, const std::string &folder,
                                       const char *title, bool *shown) {
  // The system's GL and X libraries keep caches for the process that the leak checker reports.
  setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
  pid_t pid = test_spawn(args, -1, -1, folder.c_str());
  *shown = false;
  if (pid < 0) return pid;
  *shown = test_wait_for_window(title);
  usleep(500000);
  test_run({"xdotool", "mousemove", "960", "540"});
  return pid;
}

inline void xvfb_stop(xvfb_server *s) {
  if (s->pid <= 0) return;
  kill(s->pid, SIGTERM);
  waitpid(s->pid, nullptr, 0);
  s->pid = -1;
}
