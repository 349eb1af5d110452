// The file dialog: the portal over libdbus, or a chooser program with its answer on a pipe, on
// a thread of its own.
#include <dbus/dbus.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "platform/file_chooser.h"

#include "core/strings.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/process.h"


// ---- State -------------------------------------------------------------------------------

namespace {
struct file_chooser_state {
  std::atomic<u32> status;
  std::atomic<bool> abandon;  // the program is ending: stop waiting
  std::atomic<pid_t> child;   // the chooser program while it runs, else 0
  u32 ways = file_chooser_use_all;
  // Written by the UI thread before the dialog's thread starts, read by it.
  u32 mode;
  void (*wake)();
  u8 start[FILE_PATH_AREA_SIZE];
  u64 start_length;
  // Written by the dialog's thread before it publishes the status.
  u8 chosen[FILE_PATH_AREA_SIZE];
  u64 chosen_length;
};
}  // namespace

static file_chooser_state chooser;

static void log_text(const char *text) { log_append(text, strlen(text)); }

// A dialog left open when the program ends goes with it.
static void file_chooser_at_exit() {
  chooser.abandon.store(true);
  pid_t pid = chooser.child.load();
  if (pid > 0) kill(pid, SIGTERM);
}

// ---- Paths -------------------------------------------------------------------------------

// The start path's folder (with its closing '/') and its file name.
static void start_split(buffer *folder, buffer *name) {
  buffer path = string_from_bytes(chooser.start, chooser.start_length);
  u64 slash = path.used;
  while (slash > 0 && path.data[slash - 1] != '/') slash--;
  *folder = string_from_bytes(path.data, slash);
  *name = string_from_bytes(path.data + slash, path.used - slash);
}

// A file: URI of the local machine to its path, percent escapes decoded; false for any other URI
// or a path that does not fit.
static bool uri_to_path(const char *uri, u8 *out, u64 size, u64 *length) {
  const char *p = nullptr;
  if (!strncmp(uri, "file:///", 8)) p = uri + 7;
  else if (!strncmp(uri, "file://localhost/", 17)) p = uri + 16;
  if (!p) return false;
  u64 n = 0;
  for (; *p; p++) {
    u8 c = (u8)*p;
    if (c == '%' && char_is_hex((u8)p[1]) && char_is_hex((u8)p[2])) {
      c = (u8)(char_hex_value((u8)p[1]) * 16 + char_hex_value((u8)p[2]));
      p += 2;
    }
    if (c == 0 || n == size) return false;
    out[n++] = c;
  }
  *length = n;
  return n > 0;
}

// ---- The portal --------------------------------------------------------------------------

// portal_failed: no dialog could be shown (a chooser program may still be); portal_unusable: the
// dialog was shown but its answer names no local file.
enum portal_result : u32 { portal_absent, portal_chosen, portal_cancelled, portal_failed, portal_unusable };

#define PORTAL_NAME "org.freedesktop.portal.Desktop"
#define PORTAL_PATH "/org/freedesktop/portal/desktop"
#define PORTAL_REQUEST "org.freedesktop.portal.Request"

static void dict_add(DBusMessageIter *dict, const char *key, int type, const char *signature, const void *value) {
  DBusMessageIter entry, variant;
  dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
  dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
  dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature, &variant);
  dbus_message_iter_append_basic(&variant, type, value);
  dbus_message_iter_close_container(&entry, &variant);
  dbus_message_iter_close_container(dict, &entry);
}

// A byte string with its closing zero, the portal's form of a folder.
static void dict_add_bytes(DBusMessageIter *dict, const char *key, const u8 *bytes, u64 n) {
  DBusMessageIter entry, variant, array;
  dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
  dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
  dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "ay", &variant);
  dbus_message_iter_open_container(&variant, DBUS_TYPE_ARRAY, "y", &array);
  u8 zero = 0;
  for (u64 i = 0; i < n; i++) dbus_message_iter_append_basic(&array, DBUS_TYPE_BYTE, &bytes[i]);
  dbus_message_iter_append_basic(&array, DBUS_TYPE_BYTE, &zero);
  dbus_message_iter_close_container(&variant, &array);
  dbus_message_iter_close_container(&entry, &variant);
  dbus_message_iter_close_container(dict, &entry);
}

// The first URI of a Response signal's results; its code in *response.
static bool response_read(DBusMessage *m, u32 *response, u8 *out, u64 size, u64 *length) {
  DBusMessageIter it;
  if (!dbus_message_iter_init(m, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_UINT32) return false;
  dbus_message_iter_get_basic(&it, response);
  if (*response != 0) return true;
  if (!dbus_message_iter_next(&it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY) return false;
  DBusMessageIter dict;
  dbus_message_iter_recurse(&it, &dict);
  for (; dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&dict)) {
    DBusMessageIter entry, variant, uris;
    dbus_message_iter_recurse(&dict, &entry);
    if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_STRING) continue;
    const char *key = nullptr;
    dbus_message_iter_get_basic(&entry, &key);
    if (strcmp(key, "uris") || !dbus_message_iter_next(&entry)) continue;
    dbus_message_iter_recurse(&entry, &variant);
    if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_ARRAY) return false;
    dbus_message_iter_recurse(&variant, &uris);
    if (dbus_message_iter_get_arg_type(&uris) != DBUS_TYPE_STRING) return false;
    const char *uri = nullptr;
    dbus_message_iter_get_basic(&uris, &uri);
    return uri_to_path(uri, out, size, length);
  }
  return false;
}

static u32 portal_run(DBusConnection *c) {
  DBusError error;
  dbus_error_init(&error);
  bool present = dbus_bus_name_has_owner(c, PORTAL_NAME, &error);
  if (dbus_error_is_set(&error)) dbus_error_free(&error);
  if (!present) return portal_absent;

  // The request's path is known before the call, so the answer cannot arrive unheard.
  static std::atomic<u32> token_counter;
  char token[32];
  snprintf(token, sizeof token, "quillmere%u", token_counter.fetch_add(1) + 1);
  char sender[128];
  const char *unique = dbus_bus_get_unique_name(c);
  u64 n = 0;
  for (const char *p = unique ? unique + 1 : ""; *p && n + 1 < sizeof sender; p++) sender[n++] = *p == '.' ? '_' : *p;
  sender[n] = 0;
  char request[256];
  snprintf(request, sizeof request, PORTAL_PATH "/request/%s/%s", sender, token);
  char rule[400];
  snprintf(rule, sizeof rule, "type='signal',interface='" PORTAL_REQUEST "',member='Response',path='%s'", request);
  dbus_bus_add_match(c, rule, &error);
  if (dbus_error_is_set(&error)) {
    dbus_error_free(&error);
    return portal_failed;
  }

  bool save = chooser.mode == file_chooser_mode_save;
  DBusMessage *call = dbus_message_new_method_call(PORTAL_NAME, PORTAL_PATH, "org.freedesktop.portal.FileChooser",
                                                   save ? "SaveFile" : "OpenFile");
  if (!call) return portal_failed;
  DBusMessageIter it, dict;
  dbus_message_iter_init_append(call, &it);
  const char *parent = "";
  const char *title = save ? "Quillmere - Export the feed list" : "Quillmere - Open a list of feeds";
  dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &parent);
  dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &title);
  dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &dict);
  const char *token_text = token;
  dict_add(&dict, "handle_token", DBUS_TYPE_STRING, "s", &token_text);
  dbus_bool_t modal = 1;
  dict_add(&dict, "modal", DBUS_TYPE_BOOLEAN, "b", &modal);
  buffer folder, name;
  start_split(&folder, &name);
  if (folder.used) dict_add_bytes(&dict, "current_folder", folder.data, folder.used);
  char name_text[FILE_PATH_AREA_SIZE];
  if (save && name.used) {
    memcpy(name_text, name.data, name.used);
    name_text[name.used] = 0;
    const char *name_ptr = name_text;
    if (dbus_validate_utf8(name_text, nullptr)) dict_add(&dict, "current_name", DBUS_TYPE_STRING, "s", &name_ptr);
  }
  dbus_message_iter_close_container(&it, &dict);

  DBusMessage *reply = dbus_connection_send_with_reply_and_block(c, call, 30000, &error);
  dbus_message_unref(call);
  if (!reply) {
    log_text("File dialog: the desktop portal refused the request: ");
    log_text(error.message ? error.message : "no answer");
    log_text("\n");
    dbus_error_free(&error);
    return portal_failed;
  }
  // An older portal may answer on a path of its own choosing.
  char handle[256];
  snprintf(handle, sizeof handle, "%s", request);
  const char *returned = nullptr;
  if (dbus_message_get_args(reply, &error, DBUS_TYPE_OBJECT_PATH, &returned, DBUS_TYPE_INVALID) && returned &&
      strcmp(returned, request)) {
    snprintf(handle, sizeof handle, "%s", returned);
    snprintf(rule, sizeof rule, "type='signal',interface='" PORTAL_REQUEST "',member='Response',path='%s'", handle);
    dbus_bus_add_match(c, rule, nullptr);
  }
  if (dbus_error_is_set(&error)) dbus_error_free(&error);
  dbus_message_unref(reply);

  u32 result = portal_failed;
  bool done = false;
  while (!done && !chooser.abandon.load()) {
    if (!dbus_connection_read_write(c, 100)) break;  // the bus went away
    while (DBusMessage *m = dbus_connection_pop_message(c)) {
      const char *path = dbus_message_get_path(m);
      if (!done && dbus_message_is_signal(m, PORTAL_REQUEST, "Response") && path && !strcmp(path, handle)) {
        done = true;
        u32 response = 2;
        if (!response_read(m, &response, chooser.chosen, sizeof chooser.chosen, &chooser.chosen_length)) {
          log_text("File dialog: the desktop portal's answer holds no local file.\n");
          result = portal_unusable;
        } else {
          result = response == 0 ? portal_chosen : response == 1 ? portal_cancelled : portal_failed;
        }
      }
      dbus_message_unref(m);
    }
  }
  return result;
}

static u32 portal_try() {
  DBusError error;
  dbus_error_init(&error);
  DBusConnection *c = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
  if (!c) {
    dbus_error_free(&error);
    return portal_absent;
  }
  dbus_connection_set_exit_on_disconnect(c, 0);
  u32 result = portal_run(c);
  dbus_connection_close(c);
  dbus_connection_unref(c);
  return result;
}

// ---- Chooser programs --------------------------------------------------------------------

// The first folder of PATH holding an executable of that name, as a full path in out.
static bool program_find(const char *name, char *out, u64 size) {
  const char *path = getenv("PATH");
  if (!path) return false;
  for (const char *p = path; *p;) {
    const char *end = strchr(p, ':');
    u64 n = end ? (u64)(end - p) : strlen(p);
    if (n && n + strlen(name) + 2 <= size) {
      memcpy(out, p, n);
      out[n] = '/';
      strcpy(out + n + 1, name);
      if (access(out, X_OK) == 0) return true;
    }
    p += n + (end != nullptr);
  }
  return false;
}

enum program_result : u32 { program_absent, program_chosen, program_cancelled, program_failed };

// Runs the program with its standard output in a pipe and waits for it: the first line it
// wrote is the chosen path; exit status 1 with nothing written is a cancel.
static u32 program_run(char *const *argv) {
  s32 output = -1, pid = 0;
  if (!platform_start_with_output((u8 *const *)argv, &output, &pid)) return program_failed;
  chooser.child.store(pid);
  u64 n = 0;
  bool too_long = false;
  for (;;) {
    if (chooser.abandon.load()) break;
    struct pollfd p = {output, POLLIN, 0};
    int ready = poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    u8 chunk[1024];
    ssize_t k = read(output, chunk, sizeof chunk);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    u64 take = (u64)k < sizeof chooser.chosen - n ? (u64)k : sizeof chooser.chosen - n;
    if (take < (u64)k) too_long = true;
    memcpy(chooser.chosen + n, chunk, take);
    n += take;
  }
  close(output);
  if (chooser.abandon.load()) kill(pid, SIGTERM);
  int status = 0;
  pid_t w;
  do w = waitpid(pid, &status, 0);
  while (w < 0 && errno == EINTR);
  chooser.child.store(0);
  // Only the first line: a path never holds a line end that a chooser would print.
  u64 line = 0;
  while (line < n && chooser.chosen[line] != '\n') line++;
  chooser.chosen_length = line;
  if (w != pid || !WIFEXITED(status)) return program_failed;
  if (WEXITSTATUS(status) == 0 && line > 0 && !too_long) return program_chosen;
  if (WEXITSTATUS(status) == 1 && line == 0) return program_cancelled;
  if (too_long) {
    log_text("File dialog: the chosen path is too long.\n");
  } else {
    // What the system reports of a program that ran: how it ended.
    char line[96];
    snprintf(line, sizeof line, "File dialog: the chooser program failed: exit status %d\n", WEXITSTATUS(status));
    log_text(line);
  }
  return program_failed;
}

static u32 programs_try() {
  bool save = chooser.mode == file_chooser_mode_save;
  char start[FILE_PATH_AREA_SIZE + 16];
  snprintf(start, sizeof start, "--filename=%.*s", (int)chooser.start_length, (const char *)chooser.start);
  bool has_start = chooser.start_length > 0;
  // kdialog takes the start path as a plain argument, where text beginning with '-' would read
  // as one of its options; "./" keeps it a path, the same one. zenity and yad get it inside
  // their own option.
  char kdialog_start[FILE_PATH_AREA_SIZE + 2];
  snprintf(kdialog_start, sizeof kdialog_start, "%s%.*s", chooser.start[0] == '-' ? "./" : "",
           (int)chooser.start_length, (const char *)chooser.start);
  char program[FILE_PATH_AREA_SIZE];
  char title[] = "--title=Quillmere";

  // zenity and yad share their options but for the one that asks for a file.
  const char *gtk_style[][2] = {{"zenity", "--file-selection"}, {"yad", "--file"}};
  for (u32 i = 0; i < 2; i++) {
    if (i == 1 && program_find("kdialog", program, sizeof program)) {
      char *argv[] = {program, (char *)"--title", (char *)"Quillmere",
                      (char *)(save ? "--getsavefilename" : "--getopenfilename"), has_start ? kdialog_start : (char *)".",
                      nullptr};
      return program_run(argv);
    }
    if (!program_find(gtk_style[i][0], program, sizeof program)) continue;
    char *argv[] = {program, (char *)gtk_style[i][1], title, nullptr, nullptr, nullptr};
    u32 k = 3;
    if (save) argv[k++] = (char *)"--save";
    if (has_start) argv[k++] = start;
    return program_run(argv);
  }
  return program_absent;
}

// ---- The dialog's thread -----------------------------------------------------------------

static void *file_chooser_thread(void *) {
  u32 status = file_chooser_failed;
  bool shown = false;
  if (chooser.ways & file_chooser_use_portal) {
    u32 r = portal_try();
    if (r == portal_chosen) status = file_chooser_chosen;
    if (r == portal_cancelled) status = file_chooser_cancelled;
    shown = r == portal_chosen || r == portal_cancelled || r == portal_unusable;
  }
  if (!shown && (chooser.ways & file_chooser_use_programs) && !chooser.abandon.load()) {
    u32 r = programs_try();
    if (r == program_chosen) status = file_chooser_chosen;
    if (r == program_cancelled) status = file_chooser_cancelled;
    shown = r != program_absent;
    if (r == program_absent) {
      log_text("File dialog: no file chooser found. Install a desktop portal (xdg-desktop-portal with a "
               "backend such as xdg-desktop-portal-gtk) or one of the programs zenity, kdialog or yad; "
               "meanwhile type the path into the box.\n");
    }
  }
  void (*wake)() = chooser.wake;
  chooser.status.store(status, std::memory_order_release);
  if (wake) wake();
  return nullptr;
}

// ---- Interface ---------------------------------------------------------------------------

bool file_chooser_start(buffer start_path, u32 mode, void (*wake)()) {
  if (chooser.status.load(std::memory_order_acquire) != file_chooser_idle) {
    log_text("File dialog: one is already open.\n");
    return false;
  }
  static bool exit_hook;
  if (!exit_hook) {
    exit_hook = true;
    atexit(file_chooser_at_exit);
    dbus_threads_init_default();
  }
  // The tidying the dialog's own path rules want; a path that does not fit starts nowhere.
  u64 n = start_path.used < sizeof chooser.start ? start_path.used : 0;
  for (u64 i = 0; i < n; i++) {
    u8 c = start_path.data[i];
    if (c == '\\') c = '/';
    if (c == '<' || c == '|' || c == '"' || c == 0) c = ' ';
    chooser.start[i] = c;
  }
  chooser.start_length = n;
  chooser.mode = mode;
  chooser.wake = wake;
  chooser.chosen_length = 0;
  chooser.abandon.store(false);
  chooser.status.store(file_chooser_running, std::memory_order_release);
  // The thread is left to end by itself: the answer waits in the state until it is polled.
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int r = pthread_create(&thread, &attributes, file_chooser_thread, nullptr);
  pthread_attr_destroy(&attributes);
  if (r != 0) {
    chooser.status.store(file_chooser_idle, std::memory_order_release);
    log_text("File dialog: its thread did not start: ");
    log_system_error((u32)r);
    return false;
  }
  return true;
}

u32 file_chooser_poll(buffer *out) {
  u32 status = chooser.status.load(std::memory_order_acquire);
  if (status == file_chooser_idle || status == file_chooser_running) return status;
  if (status == file_chooser_chosen) {
    if (chooser.chosen_length > out->size) {
      log_text("File dialog: the chosen path does not fit the box.\n");
      status = file_chooser_failed;
    } else {
      memcpy(out->data, chooser.chosen, chooser.chosen_length);
      out->used = chooser.chosen_length;
    }
  }
  chooser.status.store(file_chooser_idle, std::memory_order_release);
  return status;
}

bool file_chooser_is_open() { return chooser.status.load(std::memory_order_acquire) == file_chooser_running; }

#if QM_TEST_HOOKS
void file_chooser_set_ways(u32 ways) { chooser.ways = ways; }
#endif
