#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

std::vector<std::string> split(const std::string &line, u64 area_size = 4096, u32 *count_out = nullptr) {
  std::vector<u8> bytes(area_size);
  buffer area = buffer_make(area_size, 0, bytes.data());
  u8 **argv = nullptr;
  u32 n = command_line_split((const u8 *)line.data(), line.size(), &area, &argv);
  if (count_out) *count_out = n;
  std::vector<std::string> out;
  for (u32 i = 0; i < n; i++) out.push_back((const char *)argv[i]);
  if (n) {
    EXPECT_EQ(argv[n], nullptr);
  } else {
    EXPECT_EQ(area.used, 0u);
    EXPECT_EQ(argv, nullptr);
  }
  return out;
}

using strings = std::vector<std::string>;

// The inverse of the splitter: how a program quotes an argument so that it comes back unchanged.
std::string quote(const std::string &arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      backslashes++;
      continue;
    }
    if (c == '"') out.append(backslashes * 2 + 1, '\\');
    else out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

TEST(command_line_split, quoting_and_backslash_rules) {
  EXPECT_EQ(split("prog.exe -path \"C:\\My Data\" -profile"),
            (strings{"prog.exe", "-path", "C:\\My Data", "-profile"}));
  EXPECT_EQ(split("a\\\\\\\"b"), (strings{"a\\\"b"}));       // a\\\"b: one backslash, a quote
  EXPECT_EQ(split("\"a\\\\\""), (strings{"a\\"}));            // "a\\": a and one backslash
  EXPECT_EQ(split("a\\b c\\"), (strings{"a\\b", "c\\"}));     // lone backslashes stay
  EXPECT_EQ(split("  a \t\t b   "), (strings{"a", "b"}));     // blank runs are one boundary
  EXPECT_EQ(split("a \"\" b"), (strings{"a", "b"}));          // a quoted empty argument vanishes
  EXPECT_EQ(split("\"a b\"c d"), (strings{"a bc", "d"}));
  EXPECT_EQ(split("\"\xC3\xA9t\xC3\xA9 x\""), (strings{"\xC3\xA9t\xC3\xA9 x"}));
  EXPECT_EQ(split("a\xFF" "b"), (strings{"a\xEF\xBF\xBD" "b"}));  // not UTF-8: U+FFFD
  EXPECT_EQ(split(std::string("a b\0c", 5)), (strings{"a", "b"}));  // a zero byte ends the text
  EXPECT_EQ(split(""), strings{});
  EXPECT_EQ(split("   \"\"  "), strings{});
}

TEST(command_line_split, quoted_random_arguments_come_back_unchanged) {
  std::mt19937 rng(7);
  const char alphabet[] = {'a', 'b', ' ', '\t', '"', '\\', '-', 'x'};
  for (int round = 0; round < 2000; round++) {
    strings args;
    std::string line;
    int count = 1 + (int)(rng() % 5);
    for (int i = 0; i < count; i++) {
      std::string arg;
      int length = 1 + (int)(rng() % 8);
      for (int k = 0; k < length; k++) arg += alphabet[rng() % sizeof(alphabet)];
      args.push_back(arg);
      line += (i ? std::string(1 + rng() % 3, ' ') : std::string()) + quote(arg);
    }
    ASSERT_EQ(split(line), args) << line;
  }
}

TEST(command_line_split, an_area_too_small_by_any_amount_fails_cleanly) {
  const std::string line = "program -a \"b c\" d\\\\\"e\"";
  const strings expected = split(line);
  u64 smallest = 0;
  for (u64 size = 0; size < 200; size++) {
    u32 n = 0;
    strings got = split(line, size, &n);
    if (n) {
      EXPECT_EQ(got, expected);
      if (!smallest) smallest = size;
    } else {
      EXPECT_EQ(smallest, 0u) << "a larger area failed after a smaller one worked: " << size;
    }
  }
  EXPECT_GT(smallest, 0u);
}

TEST(platform_arguments, table_find_and_value) {
  const char *raw[] = {"/usr/bin/quillmere", "-path", "", "-profile", "-path", "/data"};
  u32 count = 0;
  u8 **argv = nullptr;
  EXPECT_EQ(platform_command_line_to_argv(6, (char **)raw, &count, &argv), 6u);
  platform_init_arguments(count, argv);
  ASSERT_EQ(platform_argument_count(), 6u);
  buffer a3 = platform_argument(3);
  EXPECT_EQ(a3.used, 8u);
  EXPECT_EQ(a3.size, 9u);
  EXPECT_EQ(a3.data[8], 0);
  EXPECT_EQ(platform_argument_find("-profile", 8, 0), 3u);
  EXPECT_EQ(platform_argument_find("-gfx_log", 8, 0), 0u);
  EXPECT_EQ(platform_argument_find("-path", 5, 2), 4u);
  u32 index = 0;
  buffer v = platform_argument_value("-path", 5, &index);
  EXPECT_EQ(index, 2u);
  EXPECT_EQ(v.used, 0u);  // the empty value is kept, not replaced by "-profile"
  EXPECT_NE(v.data, nullptr);
  v = platform_argument_value("-path", 5, &index);
  EXPECT_EQ(index, 5u);
  EXPECT_EQ(std::string((const char *)v.data, v.used), "/data");
  EXPECT_EQ(platform_argument(6).data, nullptr);

  const char *last[] = {"prog", "-path"};
  platform_command_line_to_argv(2, (char **)last, &count, &argv);
  platform_init_arguments(count, argv);
  index = 0;
  v = platform_argument_value("-path", 5, &index);
  EXPECT_EQ(v.data, nullptr);
  EXPECT_EQ(v.used, 0u);
  EXPECT_EQ(index, 0u);
  EXPECT_GT(platform_program_name().used, 0u);
  EXPECT_EQ(platform_program_directory().data[platform_program_directory().used - 1], '/');
  EXPECT_GT(platform_current_directory().used, 0u);

  // A current folder that is gone is no folder, and the line says what the system said of it.
  {
    char here[4096], gone[] = "/tmp/qm_cmdline_XXXXXX";
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_NE(mkdtemp(gone), nullptr);
    struct back_home {
      const char *here, *gone;
      ~back_home() {
        if (chdir(here) == 0) rmdir(gone);
      }
    } home{here, gone};
    ASSERT_EQ(chdir(gone), 0);
    ASSERT_EQ(rmdir(gone), 0);
    u64 before = log_last_text().used;
    platform_init_arguments(count, argv);
    EXPECT_EQ(platform_current_directory().used, 0u);
    buffer log = log_last_text();
    std::string added = log.used >= before ? std::string((const char *)log.data + before, log.used - before) : "";
    EXPECT_NE(added.find("platform_init_arguments: current folder unknown or too long: No such file or directory\n"),
              std::string::npos)
        << added;
  }
  platform_init_arguments(count, argv);
  EXPECT_GT(platform_current_directory().used, 0u);
}

TEST(platform_arguments, arguments_that_do_not_fit_are_dropped_whole) {
  std::vector<std::string> storage;
  std::vector<char *> raw;
  for (int i = 0; i < 200; i++) storage.push_back("argument-" + std::to_string(i));
  for (auto &s : storage) raw.push_back(s.data());
  u32 count = 0;
  u8 **argv = nullptr;
  platform_command_line_to_argv((int)raw.size(), raw.data(), &count, &argv);
  EXPECT_GT(count, 10u);
  EXPECT_LT(count, 200u);
  EXPECT_EQ(argv[count], nullptr);
  for (u32 i = 0; i < count; i++) EXPECT_STREQ((const char *)argv[i], storage[i].c_str());
}

}  // namespace
