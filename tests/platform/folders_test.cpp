#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <dirent.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

std::string text(buffer b) { return std::string((const char *)b.data, b.used); }

struct folders : ::testing::Test {
  std::string root;
  alignas(8) u8 bytes[8192];
  buffer arena = buffer_make(sizeof(bytes), 0, bytes);
  void SetUp() override {
    char t[] = "/tmp/qm_folders_XXXXXX";
    root = mkdtemp(t);
    setenv("HOME", root.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
  }
  void TearDown() override {
    remove_all(root);
  }
  static void remove_all(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d)) {
          std::string n = e->d_name;
          if (n != "." && n != "..") remove_all(path + "/" + n);
        }
        closedir(d);
      }
      rmdir(path.c_str());
    } else {
      unlink(path.c_str());
    }
  }
  void write(const std::string &path, const std::string &content) {
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
  }
};

TEST_F(folders, data_home_follows_the_environment) {
  EXPECT_EQ(text(platform_get_path(&arena, 1)), root + "/.local/share");
  setenv("XDG_DATA_HOME", "/srv/data/", 1);
  EXPECT_EQ(text(platform_get_path(&arena, 1)), "/srv/data");
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  EXPECT_EQ(text(platform_get_path(&arena, 1)), root + "/.local/share");
}

TEST_F(folders, data_folder_takes_path_option_unless_empty) {
  const char *with[] = {"prog", "-path", "/my/data", "-profile"};
  u32 count;
  u8 **argv;
  platform_command_line_to_argv(4, (char **)with, &count, &argv);
  platform_init_arguments(count, argv);
  EXPECT_EQ(text(platform_data_folder(&arena)), "/my/data");
  const char *empty[] = {"prog", "-path", "", "-profile"};
  platform_command_line_to_argv(4, (char **)empty, &count, &argv);
  platform_init_arguments(count, argv);
  EXPECT_EQ(text(platform_data_folder(&arena)), root + "/.local/share/quillmere");
}

TEST_F(folders, desktop_from_user_dirs_or_home) {
  EXPECT_EQ(text(platform_get_path(&arena, 2)), root);  // no user-dirs file
  mkdir((root + "/.config").c_str(), 0755);
  write(root + "/.config/user-dirs.dirs",
        "# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\nXDG_DESKTOP_DIR=\"$HOME/Bureau\"\n");
  EXPECT_EQ(text(platform_get_path(&arena, 2)), root);  // named but missing: home
  mkdir((root + "/Bureau").c_str(), 0755);
  EXPECT_EQ(text(platform_get_path(&arena, 2)), root + "/Bureau");
  mkdir((root + "/elsewhere").c_str(), 0755);
  setenv("XDG_CONFIG_HOME", (root + "/elsewhere").c_str(), 1);
  write(root + "/elsewhere/user-dirs.dirs", "XDG_DESKTOP_DIR=\"" + root + "/Bureau\"\n");
  EXPECT_EQ(text(platform_get_path(&arena, 2)), root + "/Bureau");
}

TEST_F(folders, unknown_kind_and_full_arena_log_and_leave_the_arena) {
  buffer before = log_last_text();
  EXPECT_EQ(platform_get_path(&arena, 3).data, nullptr);
  std::string log = text(log_last_text()).substr(before.used);
  EXPECT_EQ(log, "platform_get_path: unknow folder requested.\n");
  buffer tiny = buffer_make(4, 0, bytes);
  EXPECT_EQ(platform_get_path(&tiny, 1).data, nullptr);
  EXPECT_EQ(tiny.used, 0u);
  EXPECT_NE(text(log_last_text()).find("not enough free memory in buffer"), std::string::npos);
  unsetenv("HOME");
  EXPECT_EQ(platform_get_path(&arena, 1).data, nullptr);
  EXPECT_EQ(arena.used, 0u);
}

TEST_F(folders, create_all_makes_every_parent) {
  std::string deep = root + "/a/b//c/d";
  u32 error = 0;
  EXPECT_EQ(dir_create_all(string_from_bytes(deep.data(), deep.size()), &error), 1u);
  EXPECT_EQ(error, 0u);
  struct stat st;
  EXPECT_EQ(stat(deep.c_str(), &st), 0);
  EXPECT_EQ(dir_create_all(string_from_bytes(deep.data(), deep.size()), &error), 1u);  // exists
  write(root + "/file", "x");
  std::string under_file = root + "/file/sub";
  EXPECT_EQ(dir_create_all(string_from_bytes(under_file.data(), under_file.size()), &error), 0u);
  EXPECT_EQ(error, (u32)file_error_dir_create);
}

}  // namespace
