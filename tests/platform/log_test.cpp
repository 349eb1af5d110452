#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <math.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "tests/support/isolation.h"

// Set, every close reports an I/O error after giving the descriptor back (files_test.cpp).
extern bool fake_close_errors;

namespace {

std::string text(buffer b) { return std::string((const char *)b.data, b.used); }

std::vector<buffer> chunks() {
  std::vector<buffer> v(log_chunk_list(nullptr, 0));
  log_chunk_list(v.data(), (u32)v.size());
  return v;
}

std::string whole_log() {
  std::string s;
  for (buffer c : chunks()) s += text(c);
  return s;
}

// Fills the newest chunk to its end, so the next append decides on a chunk of its own.
void fill_last_chunk() {
  log_append("x", 1);
  buffer last = chunks().back();
  std::string pad(last.size - last.used, '.');
  if (!pad.empty()) {
    ASSERT_NE(log_append(pad.data(), pad.size()).data, nullptr);
  }
}

std::string temp_path(const char *name) { return std::string("/tmp/quillmere_log_") + std::to_string(getpid()) + "_" + name; }

TEST(log, a_text_that_does_not_fit_the_tail_starts_a_new_chunk) {
  log_append("0123456789", 10);
  buffer last = chunks().back();
  EXPECT_EQ(last.size, LOG_CHUNK_SIZE);
  u64 free_bytes = last.size - last.used;
  ASSERT_GT(free_bytes, 5u);
  std::string filler(free_bytes - 5, 'f');
  log_append(filler.data(), filler.size());
  size_t count = chunks().size();
  buffer ten = log_append("abcdefghij", 10);
  std::vector<buffer> after = chunks();
  ASSERT_EQ(after.size(), count + 1);
  EXPECT_EQ(after[count - 1].size - after[count - 1].used, 5u);  // the old tail stays unused
  EXPECT_EQ(after.back().size, LOG_CHUNK_SIZE);
  EXPECT_EQ(after.back().used, 10u);
  EXPECT_EQ(ten.data, after.back().data);
  EXPECT_EQ(text(ten), "abcdefghij");
}

TEST(log, chunk_sizes_for_large_texts) {
  struct { u64 n, chunk; } cases[] = {{MiB(1), MiB(1)}, {MiB(1) + MiB(1) / 2, MiB(2)}, {MiB(2), MiB(3)},
                                      {MiB(2) + 1, MiB(3)}};
  for (auto c : cases) {
    fill_last_chunk();
    std::string big(c.n, 'b');
    buffer v = log_append(big.data(), big.size());
    ASSERT_EQ(v.used, c.n);
    EXPECT_EQ(chunks().back().size, c.chunk) << c.n;
    EXPECT_EQ(chunks().back().used, c.n);
  }
}

TEST(log, stored_views_stay_valid_and_numbers_and_indents_append_in_order) {
  buffer first = log_append("first\n", 6);
  std::string before = whole_log();
  buffer spaces = log_indent(3);
  EXPECT_EQ(text(spaces), "            ");
  EXPECT_EQ(log_indent(0).used, 0u);
  log_unsigned(42, 5, '0', 0);
  log_signed(-7, 0, ' ', 0);
  log_unsigned(255, 0, ' ', format_hex);
  log_append("\n", 1);
  for (int i = 0; i < 40; i++) {
    std::string big(MiB(1) / 3, (char)('a' + i % 26));
    log_append(big.data(), big.size());
  }
  EXPECT_EQ(text(first), "first\n");
  std::string all = whole_log();
  EXPECT_EQ(all.substr(before.size(), 12 + 5 + 2 + 4 + 1), "            00042-70xff\n");
  EXPECT_EQ(text(log_last_text()), text(chunks().back()));
}

TEST(log, system_messages_and_file_failures_are_whole_lines) {
  EXPECT_EQ(text(log_system_error(ENOENT)), "No such file or directory\n");
  buffer line = log_file_error(string_lit("list_import"), string_lit("/x/list.txt"), file_error_open);
  EXPECT_EQ(text(line), "list_import failed: file_error_open (1): /x/list.txt\n");
  std::string long_path(FILE_PATH_AREA_SIZE + 2000, 'p');
  buffer cut = log_file_error(string_lit("export"), string_from_bytes(long_path.data(), long_path.size()), 8);
  ASSERT_GT(cut.used, 0u);
  EXPECT_EQ(cut.data[cut.used - 1], '\n');
}

// Raw bytes of bad documents once reached the log page and log.txt as they were. Texts built of
// pieces whose stored form is known: any sequence of them must be stored as the sequence of those
// forms (each piece ends where a decoder resumes, so neighbours never change how one is read).
TEST(log, the_log_stores_text_broken_bytes_replaced_and_control_characters_escaped) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> pieces = {
      {"plain text", "plain text"},
      {"\t", "\t"},
      {"\n", "\n"},
      {"\\x1B", "\\x1B"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"\xC2\xA0", "\xC2\xA0"},
      {std::string("\0", 1), "\\x00"},
      {"\x1B[31m", "\\x1b[31m"},
      {"\r", "\\x0d"},
      {"\x7F", "\\x7f"},
      {"\x1F", "\\x1f"},
      {"\xC2\x85", "\\u0085"},
      {"\xC2\x9B", "\\u009b"},
      {"\xC2\x80", "\\u0080"},
      {"\xE2\x82" "x", fffd + "x"},
      {"\xF0\x9F\x98" "y", fffd + "y"},  // three bytes for three: still not what was given
      {"\x80", fffd},
      {"\xBF\xBF", fffd + fffd},
      {"\xC0\xAF", fffd + fffd},
      {"\xED\xA0\x80", fffd + fffd + fffd},
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
      {"\xFF", fffd},
      {"\xC2" "z", fffd + "z"},
  };
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; round++) {
    std::string given, stored;
    for (u32 k = rng() % 8; k > 0; k--) {
      auto &p = pieces[rng() % pieces.size()];
      given += p.first;
      stored += p.second;
    }
    // A sequence cut by the end of the text is one U+FFFD too.
    if (rng() % 4 == 0) {
      given += "\xF0\x9F";
      stored += fffd;
    }
    buffer v = log_append(given.data(), given.size());
    ASSERT_EQ(given.empty() ? std::string() : text(v), stored) << testing::PrintToString(given);
    EXPECT_EQ(v.size, v.used);
  }
  EXPECT_EQ(text(log_unsigned(42, 0, ' ', 0)), "42");
}

// A long path or link cut to fit its line once ended inside a character, and the log showed a
// broken byte there.
TEST(log, long_lines_are_cut_between_characters) {
  for (u64 shift = 0; shift < 4; shift++) {
    std::string path = std::string(shift, 'a');
    while (path.size() < FILE_PATH_AREA_SIZE + 600) path += "\xE2\x82\xAC\xF0\x9F\x98\x80\xC3\xA9";
    log_mark mark = log_mark_now();
    buffer line = log_file_error(string_lit("export"), string_from_bytes(path.data(), path.size()), 8);
    std::string shown = text(line);
    ASSERT_GT(shown.size(), 100u);
    EXPECT_EQ(shown.find("\xEF\xBF\xBD"), std::string::npos) << shift;
    EXPECT_EQ(shown.back(), '\n');
    EXPECT_EQ(log_since(mark), shown);
  }
}

TEST(log, a_growing_arena_that_reaches_its_limit_is_named_once) {
  log_mark mark = log_mark_now();
  arena a;
  ASSERT_TRUE(arena_reserve(&a, MiB(1), 0, KiB(64), "Test arena", 0));
  arena_set_limit(&a, KiB(256));
  buffer view = arena_view(&a);
  EXPECT_NE(arena_push(&a, &view, KiB(200), 1), nullptr);
  EXPECT_EQ(arena_push(&a, &view, KiB(100), 1), nullptr);
  EXPECT_EQ(arena_push(&a, &view, KiB(100), 1), nullptr);
  arena_release(&a);
  EXPECT_EQ(log_since(mark), "Test arena: the limit of 256 KiB is reached; what does not fit is left out.\n");
}

TEST(log, out_of_memory_stores_nothing_and_keeps_earlier_text) {
  log_append("kept", 4);
  fill_last_chunk();
  std::string before = whole_log();
  memory_fault_inject(memory_fault_alloc, 0);
  buffer v = log_append("lost", 4);
  memory_fault_inject(memory_fault_alloc, -1);
  EXPECT_EQ(v.data, nullptr);
  EXPECT_EQ(v.size, 0u);
  EXPECT_EQ(whole_log(), before);
  EXPECT_EQ(text(log_append("again", 5)), "again");
}

TEST(log, save_writes_the_whole_log_and_a_failed_save_does_not_stop_later_ones) {
  if (log_is_empty()) {
    std::string never = temp_path("never");
    EXPECT_EQ(log_save(string_from_bytes(never.data(), never.size())), 0u);
    EXPECT_NE(access(never.c_str(), F_OK), 0);  // an unused log writes no file
  }
  log_append("line one\n", 9);
  fill_last_chunk();
  log_append("line two\n", 9);
  std::string bad = "/nonexistent_folder_for_quillmere/log.txt";
  EXPECT_EQ(log_save(string_from_bytes(bad.data(), bad.size())), (u32)file_error_open);
  EXPECT_EQ(text(log_last_text()).substr(9),
            "log_save failed: file_error_open (1): " + bad + ": No such file or directory\n");

  std::string path = temp_path("save");
  // Data refused at the close is a failed save, reported in the log.
  fake_close_errors = true;
  u32 refused = log_save(string_from_bytes(path.data(), path.size()));
  fake_close_errors = false;
  EXPECT_EQ(refused, (u32)file_error_write);
  const std::string refused_line = "log_save failed: file_error_write (8): " + path + ": Input/output error\n";
  ASSERT_GE(text(log_last_text()).size(), refused_line.size());
  EXPECT_EQ(text(log_last_text()).substr(text(log_last_text()).size() - refused_line.size()), refused_line);
  EXPECT_EQ(log_save(string_from_bytes(path.data(), path.size())), 0u);
  u32 e = 0;
  buffer content = file_read_all(string_from_bytes(path.data(), path.size()), 0, &e);
  ASSERT_EQ(e, 0u);
  EXPECT_EQ(text(content), whole_log());
  EXPECT_GE(chunks().size(), 2u);
  file_content_free(&content);
  unlink(path.c_str());
}

// A full disk: the line says what the system said, not only the code.
TEST(log, a_write_the_system_refuses_names_its_reason) {
  log_append("something to write\n", 19);
  const std::string full = "/dev/full";
  EXPECT_EQ(log_save(string_from_bytes(full.data(), full.size())), (u32)file_error_write);
  const std::string line = "log_save failed: file_error_write (8): /dev/full: No space left on device\n";
  const std::string log = text(log_last_text());
  ASSERT_GE(log.size(), line.size());
  EXPECT_EQ(log.substr(log.size() - line.size()), line);
}

TEST(debug_output, timestamps_and_lines) {
  u8 storage[64];
  buffer out = buffer_make(sizeof(storage), 0, storage);
  debug_format_timestamp(3725.5, &out);
  EXPECT_EQ(text(out), "[01:02:05:500 000] ");
  out.used = 0;
  debug_format_timestamp(67.012345, &out);
  EXPECT_EQ(text(out).substr(0, 13), "[00:01:07:012");
  out.used = 0;
  debug_format_timestamp(0, &out);
  EXPECT_EQ(text(out), "[00:00:00:000 000] ");
  buffer tiny = buffer_make(5, 0, storage);
  debug_format_timestamp(3725.5, &tiny);
  EXPECT_EQ(tiny.used, 5u);

  // Silent unless asked for; with the variable set the lines reach stderr.
  EXPECT_EQ(debug_output_enabled(), getenv("QUILLMERE_DEBUG") && std::string(getenv("QUILLMERE_DEBUG")) == "1");
  testing::internal::CaptureStderr();
  debug_print_timestamped(string_lit("frame_start\n"));
  debug_print_unsigned(1234, 1);
  debug_print_double(0.5, 0);
  std::string err = testing::internal::GetCapturedStderr();
  if (debug_output_enabled()) {
    EXPECT_EQ(err.substr(0, 1), "[");
    EXPECT_NE(err.find("] frame_start\n1234\n0.5000000000"), std::string::npos);
  } else {
    EXPECT_EQ(err, "");
  }
}

}  // namespace

namespace {

// The variable is read once per process, at the first debug line: the lines are checked in a
// fresh process that sees it set from the start, whatever ran before in this one.
TEST(debug_output, enabled_lines_carry_the_exact_texts) {
  setenv("QUILLMERE_DEBUG", "1", 1);
  run_in_fresh_process([] {
    ASSERT_TRUE(debug_output_enabled());
    testing::internal::CaptureStderr();
    debug_print_timestamped(string_lit("frame_start\n"));
    debug_print_unsigned(1234, 1);
    debug_print_unsigned(UINT64_MAX, 0);
    debug_print_double(2.0 / 3.0, 1);   // fraction cut, not rounded
    debug_print_double(-1e21, 1);       // the shortest digits, written out in full
    debug_print_double(INFINITY, 1);    // padded like a number with ten fraction digits
    debug_print_double(-0.0, 0);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_GE(err.size(), 19u);
    EXPECT_EQ(err.substr(0, 10), "[00:00:00:");
    std::string rest = err.substr(err.find("] ") + 2);
    EXPECT_EQ(rest, "frame_start\n1234\n18446744073709551615"
                    "0.6666666666\n-1000000000000000000000.0000000000\n+infinity           \n-0.0000000000");
  });
  unsetenv("QUILLMERE_DEBUG");
}

}  // namespace
