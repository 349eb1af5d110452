#include <sys/stat.h>

#include <fstream>

#include "reader/openers.h"
#include "tests/reader/store_fixture.h"
#include "tests/support/stub_program.h"

namespace {

using strings = std::vector<std::string>;

struct Openers : Store {
  allocator a = {};
  std::string folder;
  std::string self = stub::self_path();
  link_opener *o = nullptr;
  void SetUp() override {
    Store::SetUp();
    allocator_init(&a, MiB(16), MiB(1), 128);
    char t[] = "/tmp/qm_openers_XXXXXX";
    folder = mkdtemp(t);
    setenv("QM_STUB_RECORD", folder.c_str(), 1);
    link_set_default_handler(self.c_str());
    o = &r.link_openers[0];
  }
  void TearDown() override {
    link_set_default_handler("xdg-open");
    unsetenv("QM_STUB_RECORD");
    if (DIR *d = opendir(folder.c_str())) {
      while (dirent *e = readdir(d)) unlink((folder + "/" + e->d_name).c_str());
      closedir(d);
    }
    rmdir(folder.c_str());
    allocator_destroy(&a);
    Store::TearDown();
  }
  void queue(const strings &links) {
    for (auto &l : links) ASSERT_TRUE(link_queue_append(&a, o, text_of(l))) << l;
  }
  std::vector<strings> started(size_t expected) {
    std::vector<strings> out;
    for (auto &rec : stub::collect(folder, expected)) out.push_back(rec.args);
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST(link_url, only_plain_web_and_mail_links_open) {
  for (const char *ok : {"http://a", "https://example.org/x?y=1&z=2#f", "HTTPS://A", "mailto:me@example.org"})
    EXPECT_TRUE(link_url_is_openable(string_from_bytes(ok, strlen(ok)))) << ok;
  for (const char *bad : {"", "file:///etc/passwd", "/home/me/x", "-rf", "javascript:alert(1)", "https://",
                          "https://a b", "https://a\tb", "https://a\nb", "https://a\x7f", "ftp://x", " https://a"})
    EXPECT_FALSE(link_url_is_openable(string_from_bytes(bad, strlen(bad)))) << bad;
}

TEST_F(Openers, a_configured_program_gets_the_url_as_one_argument_of_its_own) {
  std::string program = "\"" + self + "\" --new-tab \"two words\"";
  o->program = text_of(program);
  EXPECT_EQ(link_open_now(text_of("https://example.org/a?b=c&d=$HOME;x"), o), 1u);
  u64 before = log_last_text().used;
  // A blank inside is encoded: the text after it stays part of the one argument.
  EXPECT_EQ(link_open_now(text_of("https://example.org/ --evil"), o), 1u);
  EXPECT_EQ(link_open_now(text_of("-oProxyCommand=x"), o), 0u);
  EXPECT_NE(std::string((const char *)log_last_text().data + before).find("Link not opened"), std::string::npos);
  EXPECT_EQ(started(2), (std::vector<strings>{{"--new-tab", "two words", "https://example.org/%20--evil"},
                                              {"--new-tab", "two words", "https://example.org/a?b=c&d=$HOME;x"}}));
}

// Links from markup often carry blanks: around them from the attribute's layout, inside them from
// a file name. A browser drops the first and encodes the second; a blank in the host, or any
// control byte, makes no address.
TEST(link_url, blanks_around_a_link_are_dropped_and_blanks_inside_it_encoded) {
  struct {
    const char *given, *ready;
    bool opens;
  } cases[] = {
      {" https://example.org/a ", "https://example.org/a", true},
      {"https://example.org/a b c", "https://example.org/a%20b%20c", true},
      {"\n\t https://example.org/?q=a b#x y \r\n", "https://example.org/?q=a%20b#x%20y", true},
      {"HTTP://example.org/a  b", "HTTP://example.org/a%20%20b", true},
      {"mailto:me@example.org?subject=Hello World", "mailto:me@example.org?subject=Hello%20World", true},
      {"https://example.org/a%20b", "https://example.org/a%20b", true},
      {"https://exa mple.org/a", "https://exa mple.org/a", false},
      {"https:// example.org/", "https:// example.org/", false},
      {"https://user name@example.org/", "https://user name@example.org/", false},
      {"https://example.org/a\tb", "https://example.org/a\tb", false},
      {"https://example.org/a\nb", "https://example.org/a\nb", false},
      {"https://example.org/\x01 x", "https://example.org/\x01%20x", false},
      {"https://example.org/\x7f", "https://example.org/\x7f", false},
      {" -oProxyCommand=x y", "-oProxyCommand=x%20y", false},
      {"file:///etc/pass wd", "file:///etc/pass%20wd", false},
      {" \t\r\n", "", false},
      {"", "", false},
  };
  for (auto &c : cases) {
    std::string given = c.given;
    u8 bytes[128];
    buffer out = buffer_make(sizeof bytes, 3, bytes);
    buffer ready = link_url_prepare(text_of(given), &out);
    EXPECT_EQ(to_std(ready), c.ready) << given;
    EXPECT_EQ(ready.data, bytes + 3) << given;
    EXPECT_EQ(out.used, 3 + ready.used) << given;
    EXPECT_EQ(link_url_is_openable(ready), c.opens) << given;
    // At every room short of the whole result nothing is written.
    for (u64 room = 0; room < ready.used; room++) {
      buffer small = buffer_make(room, 0, bytes);
      EXPECT_EQ(link_url_prepare(text_of(given), &small).data, nullptr) << given << " in " << room;
      EXPECT_EQ(small.used, 0u);
    }
  }
}

TEST_F(Openers, links_with_blanks_open_and_queue_as_one_encoded_word) {
  EXPECT_EQ(link_open_now(text_of("  https://example.org/my file.html\n"), o), 1u);
  EXPECT_EQ(started(1), (std::vector<strings>{{"https://example.org/my%20file.html"}}));
  queue({" https://a.example/x y ", "https://b.example/"});
  EXPECT_EQ(to_std(o->queue), "https://a.example/x%20y https://b.example/");
  EXPECT_EQ(link_queue_count(o), 2u);
  u64 before = log_last_text().used;
  EXPECT_FALSE(link_queue_append(&a, o, text_of("https://a.example/x\ty")));
  EXPECT_FALSE(link_queue_append(&a, o, text_of("   ")));
  EXPECT_NE(std::string((const char *)log_last_text().data + before).find("without blanks open"), std::string::npos);
  EXPECT_EQ(link_queue_count(o), 2u);
  link_queue_free(&a, o);
}

// The refusal line shows the link's first 256 bytes; the cut once fell inside a character.
TEST_F(Openers, a_long_refused_link_is_logged_cut_between_characters) {
  for (int shift = 0; shift < 4; shift++) {
    std::string url = "ftp://" + std::string(shift, 'a');
    while (url.size() < 400) url += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    u64 before = log_last_text().used;
    EXPECT_EQ(link_open_now(text_of(url), o), 0u);
    std::string line((const char *)log_last_text().data + before, log_last_text().used - before);
    ASSERT_NE(line.find("Link not opened"), std::string::npos);
    EXPECT_EQ(line.find("\xEF\xBF\xBD"), std::string::npos) << shift;
    EXPECT_EQ(line.back(), '\n');
  }
}

TEST_F(Openers, the_default_handler_opens_each_queued_url_separately_and_the_queue_empties) {
  queue({"https://a", "https://b", "mailto:c@d"});
  EXPECT_EQ(to_std(o->queue), "https://a https://b mailto:c@d");
  link_queue_open(&a, o, 1);
  EXPECT_EQ(started(3), (std::vector<strings>{{"https://a"}, {"https://b"}, {"mailto:c@d"}}));
  EXPECT_EQ(o->queue.used, 0u);
  EXPECT_EQ(o->queue.data, nullptr);
}

TEST_F(Openers, a_program_gets_the_whole_queue_and_refused_links_stay_queued) {
  o->program = text_of(self);
  queue({"https://a", "https://b"});
  // A queue from a save file may hold anything; only openable links leave it.
  std::string raw = to_std(o->queue) + " file:///etc/passwd https://c";
  o->queue = reader_add_string(&r, text_of(raw));
  link_queue_open(&a, o, 1);
  EXPECT_EQ(started(1), (std::vector<strings>{{"https://a", "https://b", "https://c"}}));
  EXPECT_EQ(to_std(o->queue), "file:///etc/passwd");
}

// Each line of a start that failed ends with what the system said of the program.
TEST_F(Openers, a_failed_start_keeps_the_queue) {
  link_set_default_handler("/nonexistent/quillmere-handler");
  queue({"https://a", "https://b"});
  u64 before = log_last_text().used;
  link_queue_open(&a, o, 1);
  EXPECT_EQ(to_std(o->queue), "https://a https://b");
  std::string log = std::string((const char *)log_last_text().data + before, log_last_text().used - before);
  EXPECT_NE(log.find("Link not opened, it stays queued: https://b: No such file or directory\n"), std::string::npos)
      << log;
  before = log_last_text().used;
  EXPECT_EQ(link_open_now(text_of("https://c"), o), 0u);
  log = std::string((const char *)log_last_text().data + before, log_last_text().used - before);
  EXPECT_NE(log.find("Link not opened: its program did not start: https://c: No such file or directory\n"),
            std::string::npos)
      << log;
  o->program = string_lit("/nonexistent/quillmere-program --x");
  before = log_last_text().used;
  link_queue_open(&a, o, 1);
  EXPECT_EQ(to_std(o->queue), "https://a https://b");
  log = std::string((const char *)log_last_text().data + before, log_last_text().used - before);
  EXPECT_NE(log.find("Links not opened: the opener's program did not start; they stay queued: No such file or directory\n"),
            std::string::npos)
      << log;
  link_queue_free(&a, o);
}

TEST_F(Openers, removing_and_counting_queued_links) {
  queue({"https://a", "https://bb", "https://c"});
  buffer q = o->queue;
  link_queue_remove(o, buffer{10, 10, q.data + 10});  // "https://bb"
  EXPECT_EQ(to_std(o->queue), "https://a https://c");
  link_queue_remove(o, buffer{9, 9, o->queue.data + 10});
  EXPECT_EQ(to_std(o->queue), "https://a");
  EXPECT_EQ(o->queue.data[o->queue.used], 0);
  u8 outside[4] = {};
  link_queue_remove(o, buffer{4, 4, outside});
  EXPECT_EQ(to_std(o->queue), "https://a");
  link_queue_remove(nullptr, buffer{});

  link_opener *b = &r.link_openers[3];
  for (const char *l : {"https://x", "https://y"}) link_queue_append(&a, b, string_from_bytes(l, strlen(l)));
  for (const char *l : {"https://p", "https://q"}) link_queue_append(&a, o, string_from_bytes(l, strlen(l)));
  EXPECT_EQ(link_queue_count(o), 3u);
  EXPECT_EQ(link_queues_count(&r), 5u);
  link_opener spaced = {};
  spaced.queue = string_lit("  a   b ");
  EXPECT_EQ(link_queue_count(&spaced), 2u);
  link_queue_free(&a, b);
  link_queue_free(&a, o);
  EXPECT_EQ(link_queues_count(&r), 0u);
}

TEST_F(Openers, a_growing_queue_moves_to_larger_blocks_and_keeps_its_text) {
  std::string expected;
  for (int i = 0; i < 600; ++i) {
    std::string l = "https://example.org/" + std::to_string(i);
    queue({l});
    expected += (i ? " " : "") + l;
    ASSERT_EQ(o->queue.size % LINK_QUEUE_STEP, 0u);
    ASSERT_LT(o->queue.used, o->queue.size);
    ASSERT_EQ(o->queue.data[o->queue.used], 0);
  }
  EXPECT_EQ(to_std(o->queue), expected);
  EXPECT_EQ(link_queue_count(o), 600u);
  // A queue that came from the store's arena is left there when the queue grows or is freed.
  link_opener *loaded = &r.link_openers[2];
  loaded->queue = reader_add_string(&r, text_of("https://old"));
  u8 *in_arena = loaded->queue.data;
  ASSERT_TRUE(link_queue_append(&a, loaded, text_of("https://new")));
  EXPECT_NE(loaded->queue.data, in_arena);
  EXPECT_EQ(to_std(loaded->queue), "https://old https://new");
  EXPECT_EQ(std::string((const char *)in_arena, 11), "https://old");
  link_queue_free(&a, loaded);
  link_queue_free(&a, o);
}

TEST(link_default_program, refuses_schemes_that_are_not_names) {
  u8 bytes[256];
  buffer out = buffer_make(sizeof bytes, 0, bytes);
  EXPECT_EQ(link_default_program(string_lit("x y"), &out).data, nullptr);
  EXPECT_EQ(link_default_program(string_lit(""), &out).data, nullptr);
  EXPECT_EQ(out.used, 0u);
}

// "Get OS default" end to end: the desktop entry named for https in a fake XDG data folder, with
// an env prefix and a program path with a blank, becomes an opener's program that starts the
// program with the link as its last argument.
TEST_F(Openers, the_default_program_of_the_desktop_opens_links_as_its_last_argument) {
  std::string apps = folder + "/xdg/applications";
  std::string bin = folder + "/my apps";
  ASSERT_EQ(mkdir((folder + "/xdg").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(apps.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  ASSERT_EQ(symlink(self.c_str(), (bin + "/browser").c_str()), 0);
  {
    std::ofstream(apps + "/mimeapps.list") << "[Default Applications]\nx-scheme-handler/https=web.desktop\n";
    std::ofstream(apps + "/web.desktop") << "[Desktop Entry]\nType=Application\nExec=env QM_STUB_FROM_DESKTOP=1 \""
                                         << bin << "/browser\" --new-window %u\n";
  }
  setenv("XDG_DATA_HOME", (folder + "/xdg").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder + "/no-config").c_str(), 1);
  setenv("XDG_DATA_DIRS", (folder + "/no-data").c_str(), 1);
  setenv("XDG_CONFIG_DIRS", (folder + "/no-config").c_str(), 1);
  u8 bytes[2048];
  buffer out = buffer_make(sizeof bytes, 0, bytes);
  buffer program = link_default_program(string_lit("https"), &out);
  for (const char *v : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_DIRS"}) unsetenv(v);
  EXPECT_EQ(to_std(program), "env QM_STUB_FROM_DESKTOP=1 \"" + bin + "/browser\" --new-window");
  o->program = program;
  EXPECT_EQ(link_open_now(text_of("https://example.org/a b"), o), 1u) << "a blank inside is encoded";
  EXPECT_EQ(link_open_now(text_of("https://example.org/?q=1&x=%41"), o), 1u);
  EXPECT_EQ(started(2), (std::vector<strings>{{"--new-window", "https://example.org/?q=1&x=%41"},
                                              {"--new-window", "https://example.org/a%20b"}}));

  // An entry that wants the link inside an argument gets it there, one run per link, and a program
  // whose argument with blanks mentions %u (a shell's command) never gets the link written into it.
  {
    std::ofstream(apps + "/web.desktop") << "[Desktop Entry]\nType=Application\nExec=\"" << bin
                                         << "/browser\" --url=%u --new-window\n";
  }
  setenv("XDG_DATA_HOME", (folder + "/xdg").c_str(), 1);
  out.used = 0;
  program = link_default_program(string_lit("https"), &out);
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(to_std(program), "\"" + bin + "/browser\" --url=%u --new-window");
  o->program = program;
  EXPECT_EQ(link_open_now(text_of(" https://example.org/b c"), o), 1u);
  std::vector<strings> all = started(3);
  EXPECT_EQ(std::count(all.begin(), all.end(), strings{"--url=https://example.org/b%20c", "--new-window"}), 1);
  queue({"https://q.example/1", "https://q.example/2"});
  link_queue_open(&a, o, 1);
  EXPECT_EQ(o->queue.used, 0u);
  all = started(5);
  EXPECT_EQ(std::count(all.begin(), all.end(), strings{"--url=https://q.example/1", "--new-window"}), 1);
  EXPECT_EQ(std::count(all.begin(), all.end(), strings{"--url=https://q.example/2", "--new-window"}), 1);
  std::string shell = "\"" + bin + "/browser\" -c \"open %u\" --x=%u";
  o->program = text_of(shell);
  EXPECT_EQ(link_open_now(text_of("https://example.org/s"), o), 1u);
  all = started(6);
  EXPECT_EQ(std::count(all.begin(), all.end(), strings{"-c", "open %u", "--x=https://example.org/s"}), 1);

  // A literal "%u" in the entry ("%%u") stays one: the link is not put there but follows as its own
  // argument.
  {
    std::ofstream(apps + "/web.desktop") << "[Desktop Entry]\nType=Application\nExec=\"" << bin
                                         << "/browser\" --fmt=%%u %U\n";
  }
  setenv("XDG_DATA_HOME", (folder + "/xdg").c_str(), 1);
  out.used = 0;
  program = link_default_program(string_lit("https"), &out);
  unsetenv("XDG_DATA_HOME");
  o->program = program;
  EXPECT_EQ(link_open_now(text_of("https://example.org/f"), o), 1u);
  all = started(7);
  EXPECT_EQ(std::count(all.begin(), all.end(), strings{"--fmt=%u", "https://example.org/f"}), 1) << to_std(program);

  unlink((bin + "/browser").c_str());
  rmdir(bin.c_str());
  unlink((apps + "/mimeapps.list").c_str());
  unlink((apps + "/web.desktop").c_str());
  rmdir(apps.c_str());
  rmdir((folder + "/xdg").c_str());
}

}  // namespace
