// The default application from fake XDG folders, and Exec lines made into command lines that the
// splitter gives back as the intended arguments.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/isolation.h"

namespace {

using strings = std::vector<std::string>;

std::string text(buffer b) { return std::string((const char *)b.data, b.used); }
buffer str(const std::string &s) { return string_from_bytes(s.data(), s.size()); }

std::string command_of(const std::string &exec) {
  u8 bytes[2048];
  buffer out = buffer_make(sizeof bytes, 0, bytes);
  return text(desktop_exec_to_command_line(str(exec), &out));
}

strings split(const std::string &line) {
  alignas(8) u8 area[4096];
  buffer b = buffer_make(sizeof area, 0, area);
  u8 **argv = nullptr;
  u32 n = command_line_split((const u8 *)line.data(), line.size(), &b, &argv);
  strings out;
  for (u32 i = 0; i < n; i++) out.push_back((const char *)argv[i]);
  return out;
}

TEST(desktop_exec, field_codes_go_and_the_arguments_survive_the_splitter) {
  struct {
    const char *exec;  // as written in the file
    strings args;
  } cases[] = {
      {"firefox %u", {"firefox"}},
      {"env BAMF_DESKTOP_FILE_HINT=/var/lib/snapd/desktop/applications/firefox_firefox.desktop /snap/bin/firefox %u",
       {"env", "BAMF_DESKTOP_FILE_HINT=/var/lib/snapd/desktop/applications/firefox_firefox.desktop",
        "/snap/bin/firefox"}},
      {"env VAR=x program %U", {"env", "VAR=x", "program"}},
      {"\"/opt/My Browser/browser\" --new-window %U", {"/opt/My Browser/browser", "--new-window"}},
      {"browser %i %c %k %f %F --profile=%d", {"browser", "--profile="}},
      {"prog 100%% \"%u\"", {"prog", "100%"}},
      // The value's escapes come first (\\ is one backslash, \s a blank), then the quoting.
      {"prog \"say \\\\\"hi\\\\\" \\\\$HOME \\\\` \\\\\\\\\"", {"prog", "say \"hi\" $HOME ` \\"}},
      {"prog\\sarg \"C:\\\\\\\\dir\\\\\\\\\" tab\\there", {"prog", "arg", "C:\\dir\\", "tab", "here"}},
      {"  spaced    out  ", {"spaced", "out"}},
      {"\"quoted end\\\\\\\\\" next", {"quoted end\\", "next"}},
  };
  for (auto &c : cases) {
    std::string line = command_of(c.exec);
    EXPECT_EQ(split(line), c.args) << c.exec << " -> " << line;
  }
  EXPECT_EQ(command_of("firefox %u"), "firefox");
  EXPECT_EQ(command_of("\"/opt/My Browser/browser\" %U"), "\"/opt/My Browser/browser\"");
  EXPECT_EQ(command_of("%u %U"), "");
  EXPECT_EQ(command_of(""), "");
}

// "browser --url=%u" once gave [browser][--url=] with the link after it, lost to the option.
TEST(desktop_exec, a_link_code_inside_an_unquoted_argument_stays_where_the_link_goes) {
  struct {
    const char *exec;
    strings args;
    bool lost;  // logged: the command cannot take the link
  } cases[] = {
      {"browser --url=%u", {"browser", "--url=%u"}, false},
      {"browser --file=%f --new-window", {"browser", "--file=%u", "--new-window"}, false},
      {"browser x%uy%u %U", {"browser", "x%uy%u"}, false},
      {"browser --urls=%U --files=%F", {"browser", "--urls=", "--files="}, false},
      {"browser %u", {"browser"}, false},
      {"browser \"%u\"", {"browser"}, false},
      {"sh -c \"firefox %u\"", {"sh", "-c", "firefox "}, true},
      {"browser \"--url=%u\"", {"browser", "--url="}, true},
      {"sh -c \"open %U\"", {"sh", "-c", "open "}, true},
      {"browser --title=\"100%% %c\" --url=%u", {"browser", "--title=100% ", "--url=%u"}, false},
  };
  for (auto &c : cases) {
    log_mark mark = log_mark_now();
    std::string line = command_of(c.exec);
    EXPECT_EQ(split(line), c.args) << c.exec << " -> " << line;
    EXPECT_EQ(log_count_since(mark, "the entry's command cannot take the link"), c.lost ? 1u : 0u) << c.exec;
  }
}

TEST(desktop_exec, a_command_that_does_not_fit_leaves_the_output_unchanged) {
  u8 bytes[16];
  buffer out = buffer_make(sizeof bytes, 4, bytes);
  EXPECT_EQ(desktop_exec_to_command_line(str("/usr/bin/a-long-browser-name %u"), &out).data, nullptr);
  EXPECT_EQ(out.used, 4u);
  buffer r = desktop_exec_to_command_line(str("/bin/br %u"), &out);
  EXPECT_EQ(text(r), "/bin/br");
  EXPECT_EQ(r.data, bytes + 4);
}

// Temporary XDG folders; every variable the lookup reads points into them.
struct desktop_default : ::testing::Test {
  std::string root;
  void SetUp() override {
    char t[] = "/tmp/qm_xdg_XXXXXX";
    root = mkdtemp(t);
    setenv("HOME", (root + "/home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (root + "/etc").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    setenv("XDG_DATA_DIRS", (root + "/usr:" + root + "/snap").c_str(), 1);
    unsetenv("XDG_CURRENT_DESKTOP");
  }
  void TearDown() override {
    for (const char *v : {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CURRENT_DESKTOP"})
      unsetenv(v);
    const char *argv[] = {"rm", "-rf", root.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "rm", nullptr, nullptr, (char *const *)argv, environ) == 0) waitpid(pid, nullptr, 0);
  }
  void write(const std::string &relative, const std::string &content) {
    std::string path = root + "/" + relative;
    for (size_t i = root.size() + 1; i < path.size(); i++)
      if (path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
    std::ofstream(path) << content;
  }
  void entry(const std::string &relative, const std::string &exec, const std::string &extra = "") {
    write(relative, "[Desktop Entry]\nType=Application\nName=X\n" + extra + "Exec=" + exec +
                        "\n\n[Desktop Action new]\nExec=wrong %u\n");
  }
  std::string command(const std::string &type = "x-scheme-handler/https") {
    u8 bytes[2048];
    buffer out = buffer_make(sizeof bytes, 0, bytes);
    return text(desktop_default_command(str(type), &out));
  }
};

TEST_F(desktop_default, the_most_important_list_naming_an_installed_entry_wins) {
  EXPECT_EQ(command(), "") << "nothing configured";
  entry("usr/applications/system.desktop", "system-browser %u");
  entry("snap/applications/firefox_firefox.desktop", "env BAMF=1 /snap/bin/firefox %u");
  write("usr/applications/mimeapps.list", "[Default Applications]\nx-scheme-handler/https=system.desktop\n");
  EXPECT_EQ(command(), "system-browser");
  write("etc/mimeapps.list", "[Default Applications]\nx-scheme-handler/https = firefox_firefox.desktop\n");
  EXPECT_EQ(command(), "env BAMF=1 /snap/bin/firefox");
  // Not installed, then installed: the first installed one of the list.
  write("config/mimeapps.list",
        "# mine\n[Added Associations]\nx-scheme-handler/https=system.desktop;\n"
        "[Default Applications]\nx-scheme-handler/http=system.desktop\n"
        "x-scheme-handler/https=gone.desktop;vendor-web.desktop;\n");
  EXPECT_EQ(command(), "env BAMF=1 /snap/bin/firefox") << "no listed entry of the user's file is installed";
  entry("data/applications/vendor/web.desktop", "\"" + root + "/my apps/web\" --tab %U");
  EXPECT_EQ(command(), "\"" + root + "/my apps/web\" --tab") << "a '-' in the id may be a folder";
  // The current desktop's own file comes before the generic one of the same folder.
  entry("usr/applications/gnome-web.desktop", "epiphany %u");
  write("config/gnome-mimeapps.list", "[Default Applications]\nx-scheme-handler/https=gnome-web.desktop\n");
  EXPECT_EQ(command(), "\"" + root + "/my apps/web\" --tab");
  setenv("XDG_CURRENT_DESKTOP", "ubuntu:GNOME", 1);
  EXPECT_EQ(command(), "epiphany");
  EXPECT_EQ(command("x-scheme-handler/http"), "system-browser");
}

TEST_F(desktop_default, unusable_entries_and_the_fallbacks) {
  // A hidden entry or one that is not an application is skipped; the user's copy of an id
  // hides the system's.
  entry("usr/applications/hidden.desktop", "hidden %u", "Hidden=true\n");
  write("usr/applications/link.desktop", "[Desktop Entry]\nType=Link\nURL=https://x\nExec=link\n");
  entry("usr/applications/b.desktop", "system-b %u");
  entry("usr/applications/c.desktop", "cached %u");
  entry("data/applications/b.desktop", "user-b %u");
  write("usr/applications/mimeapps.list",
        "[Default Applications]\nx-scheme-handler/https=hidden.desktop;link.desktop;b.desktop\n");
  EXPECT_EQ(command(), "user-b");
  // Without defaults: added associations, minus removed ones, then the applications' cache.
  write("usr/applications/mimeapps.list",
        "[Removed Associations]\nx-scheme-handler/https=b.desktop;\n"
        "[Added Associations]\nx-scheme-handler/https=b.desktop;\n");
  write("snap/applications/mimeinfo.cache", "[MIME Cache]\nx-scheme-handler/https=b.desktop;c.desktop;\n");
  EXPECT_EQ(command(), "cached");
  // A damaged or huge list, an entry without Exec: nothing breaks, nothing is found there.
  write("config/mimeapps.list", std::string("[Default Applications\n\xff\x00=;;;\nx-scheme-handler/https", 52));
  write("data/applications/empty.desktop", "[Desktop Entry]\nType=Application\n");
  write("etc/mimeapps.list", "[Default Applications]\nx-scheme-handler/https=empty.desktop;../../evil.desktop\n");
  EXPECT_EQ(command(), "cached");
  write("usr/applications/huge.desktop", "[Desktop Entry]\nType=Application\nExec=huge\n" + std::string(KiB(65), '#'));
  write("etc/mimeapps.list",
        "[Default Applications]\nx-scheme-handler/https=huge.desktop\n" + std::string(MiB(1), '#'));
  log_mark mark = log_mark_now();
  EXPECT_EQ(command(), "cached");
  EXPECT_NE(log_since(mark).find("skipped, larger than a settings file can be: " + root + "/etc/mimeapps.list"),
            std::string::npos);
  write("etc/mimeapps.list", "[Default Applications]\nx-scheme-handler/https=huge.desktop\n");
  mark = log_mark_now();
  EXPECT_EQ(command(), "cached");
  EXPECT_NE(log_since(mark).find(root + "/usr/applications/huge.desktop"), std::string::npos);
}

TEST_F(desktop_default, a_look_up_tries_a_bounded_number_of_files_and_says_so) {
  // 32 ids of six dashes each, in three data folders: far more names than the bound.
  std::string list;
  for (int i = 0; i < 40; i++) list += "a-b-c-d-e-f-" + std::to_string(i) + ".desktop;";
  write("config/mimeapps.list", "[Default Applications]\nx-scheme-handler/https=" + list + "\n");
  entry("usr/applications/late.desktop", "late %u");
  write("usr/applications/mimeapps.list", "[Default Applications]\nx-scheme-handler/https=late.desktop\n");
  log_mark mark = log_mark_now();
  EXPECT_EQ(command(), "");
  EXPECT_EQ(log_count_since(mark, "the look-up stopped after DESKTOP_LOOKUP_FILES_MAX (1024)"), 1u);
  // An id with a dash found in a subfolder is found within the bound.
  write("config/mimeapps.list", "[Default Applications]\nx-scheme-handler/https=a-b-c-d-e-f-7.desktop\n");
  entry("data/applications/a/b/c/d-e/f-7.desktop", "deep %u");
  EXPECT_EQ(command(), "deep");
}

// A settings file that repeats the type's line got 32 tries per line, each compared with every
// removed id: work that grew with the lines times the removed list. The tries are bounded per
// group, so a look-up costs the reading of its files and a bounded number of comparisons.
TEST_F(desktop_default, repeated_lines_of_a_type_cost_no_more_tries_than_one) {
  entry("usr/applications/cached.desktop", "cached %u");
  write("usr/applications/mimeinfo.cache", "[MIME Cache]\nx-scheme-handler/https=cached.desktop;\n");
  auto steps_with = [&](u32 lines) {
    std::string removed = "[Removed Associations]\nx-scheme-handler/https=";
    for (int i = 0; i < 200; i++) removed += "gone-" + std::to_string(i) + ".desktop;";
    std::string ids;
    for (int i = 0; i < 40; i++) ids += "none" + std::to_string(i) + ".desktop;gone-" + std::to_string(i) + ".desktop;";
    std::string added = "\n[Added Associations]\n";
    for (u32 k = 0; k < lines; k++) added += "x-scheme-handler/https=" + ids + "\n";
    write("config/mimeapps.list", removed + added);
    u64 before = desktop_lookup_steps();
    EXPECT_EQ(command(), "cached");
    return desktop_lookup_steps() - before;
  };
  u64 n = steps_with(100), n4 = steps_with(400);
  EXPECT_GT(n, 0u);
  EXPECT_LE(n4, 4 * n) << n << " then " << n4;
  EXPECT_EQ(n4, n) << "the tries of one group are bounded whatever its lines";
}

}  // namespace
