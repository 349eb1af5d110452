// The file dialog with stand-in chooser programs on PATH, and with a fake desktop portal on a
// private session bus: the arguments each gets, the answer polled while the dialog is open, a
// cancel, and the log line when no chooser exists.
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/chooser_programs.h"
#include "tests/support/isolation.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

namespace {

using strings = std::vector<std::string>;

std::string text(buffer b) { return std::string((const char *)b.data, b.used); }
buffer str(const std::string &s) { return string_from_bytes(s.data(), s.size()); }

std::atomic<int> wakes{0};
void count_wake() { wakes.fetch_add(1); }

void remove_tree(const std::string &path) { test_run({"/bin/rm", "-rf", path.c_str()}); }

struct file_chooser_fixture : ::testing::Test {
  std::string root, bin, saved_path;
  u8 box_bytes[1024];
  buffer box = buffer_make(sizeof box_bytes, 0, box_bytes);
  void SetUp() override {
    char t[] = "/tmp/qm_chooser_XXXXXX";
    root = mkdtemp(t);
    bin = root + "/bin";
    mkdir(bin.c_str(), 0755);
    programs.folder = bin;
    saved_path = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", bin.c_str(), 1);
    file_chooser_set_ways(file_chooser_use_programs);
    wakes = 0;
  }
  void TearDown() override {
    end_dialog();
    setenv("PATH", saved_path.c_str(), 1);
    file_chooser_set_ways(file_chooser_use_all);
    remove_tree(root);
  }
  test_chooser_programs programs;
  void chooser(const std::string &name, const std::string &answer, int code, bool held = false) {
    programs.write(name, answer, code, held);
  }
  strings args_of(const std::string &name) { return programs.args_of(name); }
  // Polls as the frame loop does until the dialog ends, into the box (or another buffer).
  u32 wait(buffer *into = nullptr) {
    u32 s = file_chooser_running;
    test_wait_until([&] { return (s = file_chooser_poll(into ? into : &box)) != file_chooser_running; });
    return s;
  }
  // Every held chooser is let go and the dialog ended, however the test left.
  void end_dialog() {
    programs.release_all();
    test_wait_until([] { return !file_chooser_is_open(); });
    u8 sink_bytes[FILE_PATH_AREA_SIZE];
    buffer sink = buffer_make(sizeof sink_bytes, 0, sink_bytes);
    file_chooser_poll(&sink);
  }
};

TEST_F(file_chooser_fixture, zenity_answers_while_frames_go_on_and_fills_the_box) {
  chooser("zenity", "/tmp/chosen dir/list.txt", 0, true);
  chooser("kdialog", "/wrong", 0);
  box.used = 0;
  EXPECT_TRUE(file_chooser_start(str("C:\\lists\\my<list>.txt"), file_chooser_mode_open, count_wake));
  EXPECT_TRUE(file_chooser_is_open());
  EXPECT_FALSE(file_chooser_start(str("/x"), file_chooser_mode_open, nullptr)) << "one dialog at a time";
  // While the dialog is open the UI thread's polls answer at once and leave the box.
  ASSERT_TRUE(test_wait_until([&] { return programs.shown("zenity"); })) << "the chooser never started";
  EXPECT_EQ(file_chooser_poll(&box), (u32)file_chooser_running) << "the dialog is open";
  EXPECT_EQ(box.used, 0u);
  EXPECT_EQ(wakes.load(), 0);
  programs.release("zenity");
  EXPECT_EQ(wait(), (u32)file_chooser_chosen);
  EXPECT_EQ(text(box), "/tmp/chosen dir/list.txt");
  EXPECT_EQ(wakes.load(), 1);
  EXPECT_EQ(args_of("zenity"), (strings{"--file-selection", "--title=Quillmere", "--filename=C:/lists/my list>.txt"}));
  EXPECT_EQ(file_chooser_poll(&box), (u32)file_chooser_idle) << "the answer is handed out once";

  // Saving proposes the path; a cancel (exit 1, nothing written) leaves the box as it was.
  chooser("zenity", "", 1);
  EXPECT_TRUE(file_chooser_start(str("/home/me/Desktop/"), file_chooser_mode_save, nullptr));
  EXPECT_EQ(wait(), (u32)file_chooser_cancelled);
  EXPECT_EQ(text(box), "/tmp/chosen dir/list.txt");
  EXPECT_EQ(args_of("zenity"), (strings{"--file-selection", "--title=Quillmere", "--save", "--filename=/home/me/Desktop/"}));
}

TEST_F(file_chooser_fixture, kdialog_then_yad_and_a_failing_chooser) {
  chooser("kdialog", "/k/a.txt", 0);
  chooser("yad", "/y/b.txt", 0);
  EXPECT_TRUE(file_chooser_start(str("/start/x.txt"), file_chooser_mode_save, nullptr));
  EXPECT_EQ(wait(), (u32)file_chooser_chosen);
  EXPECT_EQ(text(box), "/k/a.txt");
  EXPECT_EQ(args_of("kdialog"), (strings{"--title", "Quillmere", "--getsavefilename", "/start/x.txt"}));
  EXPECT_TRUE(file_chooser_start(buffer{}, file_chooser_mode_open, nullptr));
  EXPECT_EQ(wait(), (u32)file_chooser_chosen);
  EXPECT_EQ(args_of("kdialog"), (strings{"--title", "Quillmere", "--getopenfilename", "."}));
  // Text in the box that begins with '-' is still a path, never one of kdialog's options.
  for (const char *dashed : {"--help", "-lists/x.txt", "--getsavefilename"}) {
    EXPECT_TRUE(file_chooser_start(str(dashed), file_chooser_mode_open, nullptr));
    EXPECT_EQ(wait(), (u32)file_chooser_chosen);
    EXPECT_EQ(args_of("kdialog"), (strings{"--title", "Quillmere", "--getopenfilename", std::string("./") + dashed}));
  }
  EXPECT_TRUE(file_chooser_start(str("lists/x.txt"), file_chooser_mode_open, nullptr));
  EXPECT_EQ(wait(), (u32)file_chooser_chosen);
  EXPECT_EQ(args_of("kdialog"), (strings{"--title", "Quillmere", "--getopenfilename", "lists/x.txt"}));

  programs.remove("kdialog");
  EXPECT_TRUE(file_chooser_start(str("/start/"), file_chooser_mode_open, nullptr));
  EXPECT_EQ(wait(), (u32)file_chooser_chosen);
  EXPECT_EQ(text(box), "/y/b.txt");
  EXPECT_EQ(args_of("yad"), (strings{"--file", "--title=Quillmere", "--filename=/start/"}));

  // A chooser that fails (exit 5) is a failure, logged with how it ended; the box keeps its text.
  chooser("yad", "", 5);
  log_mark mark = log_mark_now();
  EXPECT_TRUE(file_chooser_start(str("/start/"), file_chooser_mode_open, nullptr));
  EXPECT_EQ(wait(), (u32)file_chooser_failed);
  EXPECT_EQ(text(box), "/y/b.txt");
  EXPECT_NE(log_since(mark).find("File dialog: the chooser program failed: exit status 5\n"), std::string::npos)
      << log_since(mark);
}

TEST_F(file_chooser_fixture, without_any_chooser_the_log_says_what_to_install) {
  log_mark mark = log_mark_now();
  box.used = 0;
  EXPECT_TRUE(file_chooser_start(str("/a"), file_chooser_mode_open, count_wake));
  EXPECT_EQ(wait(), (u32)file_chooser_failed);
  EXPECT_EQ(box.used, 0u);
  EXPECT_EQ(wakes.load(), 1);
  std::string log = log_since(mark);
  EXPECT_NE(log.find("no file chooser found. Install a desktop portal"), std::string::npos) << log;
  EXPECT_NE(log.find("zenity, kdialog or yad"), std::string::npos);
}

TEST_F(file_chooser_fixture, a_chosen_path_that_does_not_fit_the_box_leaves_it) {
  std::string long_path = "/" + std::string(40, 'x');
  chooser("zenity", long_path, 0);
  u8 small_bytes[16] = "/keep";
  buffer small = buffer_make(sizeof small_bytes, 5, small_bytes);
  EXPECT_TRUE(file_chooser_start(str("/"), file_chooser_mode_open, nullptr));
  EXPECT_EQ(wait(&small), (u32)file_chooser_failed);
  EXPECT_EQ(text(small), "/keep");
}

// ---- The portal --------------------------------------------------------------------------

// A private session bus (dbus-daemon) and a fake portal on it that answers every OpenFile and
// SaveFile with the configured response.
struct portal_fixture : file_chooser_fixture {
  test_process daemon;
  std::string address;
  std::thread portal;
  std::atomic<bool> stop{false};
  std::atomic<bool> ready{false};
  // While set, the fake portal holds its answer back, as a user takes a moment.
  std::atomic<bool> hold{false};
  // Calls answered so far; what the last one asked is read only once this has risen.
  std::atomic<u32> calls{0};
  // What the fake portal saw and answers.
  std::string method, title, token, folder, name;
  u32 response = 0;
  std::string uri;

  // The bus library reads the session bus's address once per process and keeps it: every test
  // of this program puts its bus at the same address, so the one read first stays this test's.
  static std::string bus_socket() { return "/tmp/qm_portal_bus_" + std::to_string(getpid()); }

  void SetUp() override {
    file_chooser_fixture::SetUp();
    setenv("PATH", (bin + ":" + saved_path).c_str(), 1);
    std::string socket = bus_socket();
    unlink(socket.c_str());  // an earlier test's bus, should its daemon have left it
    address = "unix:path=" + socket;
    std::string address_arg = "--address=" + address;
    daemon = test_start({"dbus-daemon", "--session", "--nofork", "--nopidfile", address_arg.c_str()});
    if (!daemon || !test_wait_until([&] { return access(socket.c_str(), F_OK) == 0 || !daemon.running(); }) ||
        access(socket.c_str(), F_OK) != 0)
      GTEST_SKIP() << "no dbus-daemon";
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    setenv("PATH", bin.c_str(), 1);  // no chooser program: only the portal can answer
    file_chooser_set_ways(file_chooser_use_all);
  }
  void TearDown() override {
    hold = false;
    end_dialog();
    stop = true;
    if (portal.joinable()) portal.join();
    daemon.stop(SIGTERM);
    unlink(bus_socket().c_str());
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    file_chooser_fixture::TearDown();
  }

  static std::string dict_string(DBusMessageIter *value) {
    if (dbus_message_iter_get_arg_type(value) == DBUS_TYPE_STRING) {
      const char *s = nullptr;
      dbus_message_iter_get_basic(value, &s);
      return s;
    }
    std::string bytes;
    DBusMessageIter array;
    dbus_message_iter_recurse(value, &array);
    for (; dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_BYTE; dbus_message_iter_next(&array)) {
      u8 b = 0;
      dbus_message_iter_get_basic(&array, &b);
      bytes.push_back((char)b);
    }
    return bytes;
  }

  void answer(DBusConnection *c, DBusMessage *call) {
    method = dbus_message_get_member(call);
    DBusMessageIter it, dict;
    dbus_message_iter_init(call, &it);
    dbus_message_iter_next(&it);
    const char *t = nullptr;
    dbus_message_iter_get_basic(&it, &t);
    title = t;
    dbus_message_iter_next(&it);
    dbus_message_iter_recurse(&it, &dict);
    for (; dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&dict)) {
      DBusMessageIter entry, value;
      dbus_message_iter_recurse(&dict, &entry);
      const char *key = nullptr;
      dbus_message_iter_get_basic(&entry, &key);
      dbus_message_iter_next(&entry);
      dbus_message_iter_recurse(&entry, &value);
      std::string k = key;
      if (k == "handle_token") token = dict_string(&value);
      if (k == "current_folder") folder = dict_string(&value);
      if (k == "current_name") name = dict_string(&value);
    }
    std::string sender = dbus_message_get_sender(call) + 1;
    for (char &ch : sender)
      if (ch == '.') ch = '_';
    std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token;
    DBusMessage *reply = dbus_message_new_method_return(call);
    const char *path_text = path.c_str();
    dbus_message_append_args(reply, DBUS_TYPE_OBJECT_PATH, &path_text, DBUS_TYPE_INVALID);
    dbus_connection_send(c, reply, nullptr);
    dbus_message_unref(reply);

    DBusMessage *signal = dbus_message_new_signal(path.c_str(), "org.freedesktop.portal.Request", "Response");
    DBusMessageIter out, results, entry, variant, uris;
    dbus_message_iter_init_append(signal, &out);
    dbus_message_iter_append_basic(&out, DBUS_TYPE_UINT32, &response);
    dbus_message_iter_open_container(&out, DBUS_TYPE_ARRAY, "{sv}", &results);
    if (response == 0) {
      dbus_message_iter_open_container(&results, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
      const char *key = "uris";
      dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
      dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "as", &variant);
      dbus_message_iter_open_container(&variant, DBUS_TYPE_ARRAY, "s", &uris);
      const char *u = uri.c_str();
      dbus_message_iter_append_basic(&uris, DBUS_TYPE_STRING, &u);
      dbus_message_iter_close_container(&variant, &uris);
      dbus_message_iter_close_container(&entry, &variant);
      dbus_message_iter_close_container(&results, &entry);
    }
    dbus_message_iter_close_container(&out, &results);
    calls++;
    // The chooser's thread listens for the signal before it calls, so a late answer is heard.
    test_wait_until([&] { return !hold || stop; });
    dbus_connection_send(c, signal, nullptr);
    dbus_connection_flush(c);
    dbus_message_unref(signal);
  }

  void run_portal() {
    portal = std::thread([this] {
      DBusError e;
      dbus_error_init(&e);
      DBusConnection *c = dbus_connection_open_private(address.c_str(), &e);
      if (!c || !dbus_bus_register(c, &e)) return;
      dbus_bus_request_name(c, "org.freedesktop.portal.Desktop", DBUS_NAME_FLAG_DO_NOT_QUEUE, &e);
      ready = true;
      while (!stop && dbus_connection_read_write(c, 50)) {
        while (DBusMessage *m = dbus_connection_pop_message(c)) {
          if (dbus_message_is_method_call(m, "org.freedesktop.portal.FileChooser", "OpenFile") ||
              dbus_message_is_method_call(m, "org.freedesktop.portal.FileChooser", "SaveFile"))
            answer(c, m);
          dbus_message_unref(m);
        }
      }
      dbus_connection_close(c);
      dbus_connection_unref(c);
    });
    ASSERT_TRUE(test_wait_until([&] { return ready.load(); })) << "the fake portal never came on the bus";
  }
};

TEST_F(portal_fixture, the_portal_answers_with_a_file_uri) {
  run_portal();
  uri = "file:///home/me/My%20Lists/feeds%2B.txt";
  box.used = 0;
  hold = true;
  EXPECT_TRUE(file_chooser_start(str("/home/me/Desktop/list.txt"), file_chooser_mode_save, count_wake));
  // While the dialog is open the UI thread's polls answer at once and leave the box.
  ASSERT_TRUE(test_wait_until([&] { return calls.load() == 1; })) << "the portal was never asked";
  EXPECT_EQ(file_chooser_poll(&box), (u32)file_chooser_running) << "the dialog is open";
  EXPECT_EQ(box.used, 0u);
  hold = false;
  EXPECT_EQ(wait(), (u32)file_chooser_chosen);
  EXPECT_EQ(text(box), "/home/me/My Lists/feeds+.txt");
  EXPECT_EQ(method, "SaveFile");
  EXPECT_EQ(folder, std::string("/home/me/Desktop/\0", 18));
  EXPECT_EQ(name, "list.txt");
  EXPECT_EQ(token.rfind("quillmere", 0), 0u);
  EXPECT_EQ(wakes.load(), 1);

  // A cancel leaves the box; an open has no proposed name.
  response = 1;
  name.clear();
  EXPECT_TRUE(file_chooser_start(str("/srv/lists/"), file_chooser_mode_open, nullptr));
  EXPECT_EQ(wait(), (u32)file_chooser_cancelled);
  EXPECT_EQ(text(box), "/home/me/My Lists/feeds+.txt");
  EXPECT_EQ(method, "OpenFile");
  EXPECT_EQ(folder, std::string("/srv/lists/\0", 12));
  EXPECT_EQ(name, "");

  // An answer that is no local file fails, logged, and the box keeps its text.
  response = 0;
  uri = "https://example.org/x";
  log_mark mark = log_mark_now();
  EXPECT_TRUE(file_chooser_start(str("/srv/"), file_chooser_mode_open, nullptr));
  EXPECT_EQ(wait(), (u32)file_chooser_failed);
  EXPECT_NE(log_since(mark).find("holds no local file"), std::string::npos);
  EXPECT_EQ(log_since(mark).find("no file chooser found"), std::string::npos) << "a dialog was shown";
  EXPECT_EQ(text(box), "/home/me/My Lists/feeds+.txt");
}

TEST_F(portal_fixture, a_bus_without_a_portal_falls_back_to_the_programs) {
  chooser("zenity", "/from/zenity.txt", 0);
  EXPECT_TRUE(file_chooser_start(str("/a/"), file_chooser_mode_open, nullptr));
  EXPECT_EQ(wait(), (u32)file_chooser_chosen);
  EXPECT_EQ(text(box), "/from/zenity.txt");
}

}  // namespace
