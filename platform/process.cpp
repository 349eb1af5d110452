// Program starts over posix_spawnp and the signal flag.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "platform/process.h"

#include "platform/cmdline.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/threads.h"

extern char **environ;

static void log_append_text(const char *text) { log_append(text, strlen(text)); }

// ---- Children ----------------------------------------------------------------------------

static pid_t children[PLATFORM_CHILD_MAX];
static u32 child_count;

u32 platform_reap_children() {
  u32 kept = 0;
  for (u32 i = 0; i < child_count; i++) {
    int status;
    pid_t r;
    do r = waitpid(children[i], &status, WNOHANG);
    while (r < 0 && errno == EINTR);
    // 0: still running. -1 (ECHILD): someone else reaped it; either way only 0 keeps it.
    if (r == 0) children[kept++] = children[i];
  }
  child_count = kept;
  return child_count;
}

// ---- Starting programs -------------------------------------------------------------------

// A start that failed: the reason is kept as a file's is (the program is a file that could not be
// run), so file_error_reason gives the caller what the system said, 0 for a refusal of our own.
static u32 start_failed(int system_error) {
  u32 word = 0;
  file_error_set_reason(&word, file_error_open, system_error);
  return 0;
}

u32 platform_run_argv(u8 *const *argv, buffer folder, int wait, u32 *exit_code) {
  if (!argv || !argv[0] || !argv[0][0]) {
    log_append_text("platform_run_program: no program to start.\n");
    return start_failed(0);
  }
  if (!wait && child_count == PLATFORM_CHILD_MAX && platform_reap_children() == PLATFORM_CHILD_MAX) {
    log_append_text("platform_run_program: too many programs still running.\n");
    return start_failed(0);
  }
  char folder_area[FILE_PATH_AREA_SIZE];
  if (folder.used) {
    if (folder.used >= sizeof(folder_area) || memchr(folder.data, 0, folder.used)) {
      log_append_text("platform_run_program: working folder too long.\n");
      return start_failed(0);
    }
    memcpy(folder_area, folder.data, folder.used);
    folder_area[folder.used] = 0;
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  if (folder.used) posix_spawn_file_actions_addchdir_np(&actions, folder_area);
  // Our own descriptors are close-on-exec already; this also keeps from the child any descriptor
  // this program itself inherited without the flag.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // The child starts with no blocked signals and default actions for the ones handled here; a
  // program left running is moved to a session of its own, so a Ctrl-C meant for this program
  // does not close the browser it opened.
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGHUP);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (!wait) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&attributes, flags);

  pid_t pid = 0;
  int r = posix_spawnp(&pid, (const char *)argv[0], &actions, &attributes, (char *const *)argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (r != 0) {
    log_append_text("platform_run_program: could not start ");
    log_append(argv[0], strlen((const char *)argv[0]));
    log_append_text(": ");
    log_system_error((u32)r);
    return start_failed(r);
  }

  if (!wait) {
    children[child_count++] = pid;
    return exit_code ? 0 : 1;
  }
  int status = 0;
  pid_t w;
  do w = waitpid(pid, &status, 0);
  while (w < 0 && errno == EINTR);
  if (w != pid || !WIFEXITED(status)) return 0;
  if (exit_code) *exit_code = (u32)WEXITSTATUS(status);
  return 1;
}

u32 platform_run_program(buffer command_line, buffer folder, int wait, u32 *exit_code) {
  alignas(8) u8 area_bytes[PLATFORM_COMMAND_LINE_AREA_SIZE];
  buffer area = buffer_make(sizeof(area_bytes), 0, area_bytes);
  u8 **argv = nullptr;
  if (!command_line_split(command_line.data, command_line.used, &area, &argv)) {
    log_append_text("platform_run_program: empty or too long command line.\n");
    return start_failed(0);
  }
  return platform_run_argv(argv, folder, wait, exit_code);
}

static s64 elapsed_ms_since(struct timespec start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (s64)(now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

u32 platform_start_with_output(u8 *const *argv, s32 *output_fd, s32 *pid_out) {
  if (!argv || !argv[0] || !argv[0][0]) return start_failed(0);
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
    int why = errno;
    log_append_text("platform_run_program: no pipe: ");
    log_system_error((u32)why);
    return start_failed(why);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t empty, defaults;
  sigemptyset(&empty);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGHUP);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int r = posix_spawnp(&pid, (const char *)argv[0], &actions, &attributes, (char *const *)argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(pipe_ends[1]);
  if (r != 0) {
    close(pipe_ends[0]);
    log_append_text("platform_run_program: could not start ");
    log_append(argv[0], strlen((const char *)argv[0]));
    log_append_text(": ");
    log_system_error((u32)r);
    return start_failed(r);
  }
  *output_fd = pipe_ends[0];
  *pid_out = pid;
  return 1;
}

u32 platform_run_argv_output(u8 *const *argv, buffer *out, u32 timeout_ms, u32 *exit_code) {
  s32 output = -1, pid = 0;
  if (!platform_start_with_output(argv, &output, &pid)) return 0;
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  bool timed_out = false;
  for (;;) {
    s64 elapsed = elapsed_ms_since(start);
    if (elapsed >= (s64)timeout_ms) {
      timed_out = true;
      break;
    }
    struct pollfd p = {output, POLLIN, 0};
    int ready = poll(&p, 1, (int)(timeout_ms - elapsed));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      timed_out = ready == 0;
      break;
    }
    u8 chunk[4096];
    ssize_t n = read(output, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    u64 room = buffer_free_bytes(*out);
    u64 take = (u64)n < room ? (u64)n : room;
    if (take) buffer_push_bytes(out, chunk, take);
  }
  close(output);
  // The end of the output is not the end of the program: one that closed its output and goes on
  // running is held to the same deadline.
  int status = 0;
  pid_t w;
  for (;;) {
    if (timed_out) kill(pid, SIGKILL);
    w = waitpid(pid, &status, timed_out ? 0 : WNOHANG);
    if (w < 0 && errno == EINTR) continue;
    if (w != 0 || timed_out) break;
    if (elapsed_ms_since(start) >= (s64)timeout_ms) {
      timed_out = true;
      continue;
    }
    struct timespec pause = {0, 2 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  if (timed_out || w != pid || !WIFEXITED(status)) return 0;
  if (exit_code) *exit_code = (u32)WEXITSTATUS(status);
  return 1;
}

// ---- Quit signals ------------------------------------------------------------------------

// Set by the handler and read by other threads: an atomic that needs no lock, so the handler may
// store to it.
static std::atomic<int> quit_signalled;
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only use lock-free atomics");
// Each quit signal posts it, which a handler may do, so a thread can sleep until one comes.
static thread_semaphore quit_semaphore;
static std::atomic<int> quit_semaphore_made, quit_wait_ended;

static void quit_signal_handler(int) {
  int saved = errno;
  quit_signalled.store(1);
  if (quit_semaphore_made.load()) thread_semaphore_release(&quit_semaphore, 1);
  errno = saved;
}

void platform_install_quit_signals() {
  if (!quit_semaphore_made.load()) {
    thread_semaphore_create(&quit_semaphore, 0);
    quit_semaphore_made.store(1);
  }
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = quit_signal_handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  struct sigaction ignore;
  memset(&ignore, 0, sizeof(ignore));
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

bool platform_quit_signal_wait() {
  if (!quit_semaphore_made.load() || quit_wait_ended.load()) return false;
  thread_semaphore_wait(&quit_semaphore);
  return !quit_wait_ended.load();
}

void platform_quit_signal_wait_end() {
  quit_wait_ended.store(1);
  if (quit_semaphore_made.load()) thread_semaphore_release(&quit_semaphore, 1);
}

bool platform_quit_signalled() { return quit_signalled.load() != 0; }
#if QM_TEST_HOOKS
void platform_quit_signal_reset() { quit_signalled.store(0); }
#endif
