#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/support/file_text.h"
#include "tests/support/process.h"
#include "tests/support/stub_program.h"
#include "tests/support/temp_folder.h"
#include "tests/support/wait.h"

namespace {

std::string text(buffer b) { return std::string((const char *)b.data, b.used); }
buffer str(const std::string &s) { return string_from_bytes(s.data(), s.size()); }

struct process : ::testing::Test {
  std::string folder;
  std::string self = stub::self_path();
  void SetUp() override {
    char t[] = "/tmp/qm_process_XXXXXX";
    folder = mkdtemp(t);
    setenv("QM_STUB_RECORD", folder.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QM_STUB_RECORD");
    unsetenv("QM_STUB_EXIT");
    unsetenv("QM_STUB_PRINT");
    unsetenv("QM_STUB_CLOSE_STDOUT");
    unsetenv("QM_STUB_LINGER_MS");
    if (DIR *d = opendir(folder.c_str())) {
      while (dirent *e = readdir(d)) unlink((folder + "/" + e->d_name).c_str());
      closedir(d);
    }
    rmdir(folder.c_str());
  }
};

TEST_F(process, command_line_becomes_exactly_these_arguments) {
  // The quotes and the metacharacters reach the program as bytes: nothing interprets them.
  std::string line = "\"" + self + "\" one \"two words\" 'single' $HOME ; x\\\"y -";
  ASSERT_EQ(platform_run_program(str(line), buffer{}, 1, nullptr), 1u);
  auto records = stub::collect(folder, 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].args, (std::vector<std::string>{"one", "two words", "'single'", "$HOME", ";",
                                                       "x\"y", "-"}));
}

TEST_F(process, waiting_gives_the_exit_code_and_the_folder) {
  setenv("QM_STUB_EXIT", "7", 1);
  u32 code = 0;
  u8 *argv[] = {(u8 *)self.c_str(), (u8 *)"a", nullptr};
  EXPECT_EQ(platform_run_argv(argv, str(folder), 1, &code), 1u);
  EXPECT_EQ(code, 7u);
  auto records = stub::collect(folder, 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].cwd, folder);
  EXPECT_EQ(records[0].args, std::vector<std::string>{"a"});
}

TEST_F(process, children_inherit_no_descriptor_and_are_reaped) {
  std::string path = folder + "/open_file";
  u32 error = 0;
  platform_file f = file_open(str(path), 1, 1, &error);
  ASSERT_TRUE(file_handle_is_valid(f));
  u8 *argv[] = {(u8 *)self.c_str(), nullptr};
  for (int i = 0; i < 3; i++) EXPECT_EQ(platform_run_argv(argv, buffer{}, 0, nullptr), 1u);
  auto records = stub::collect(folder, 3);
  file_close(f, &error);
  ASSERT_EQ(records.size(), 3u);
  for (auto &r : records) EXPECT_EQ(r.inherited_fds, "");
  EXPECT_EQ(platform_reap_children(), 0u);
}

TEST_F(process, a_program_that_cannot_start_is_logged) {
  u64 before = log_last_text().used;
  u8 *argv[] = {(u8 *)"/nonexistent/quillmere-no-such-program", nullptr};
  EXPECT_EQ(platform_run_argv(argv, buffer{}, 0, nullptr), 0u);
  std::string log = text(log_last_text()).substr(before);
  EXPECT_NE(log.find("could not start /nonexistent/quillmere-no-such-program"), std::string::npos);
  EXPECT_EQ(platform_run_program(str("   "), buffer{}, 0, nullptr), 0u);
  EXPECT_EQ(platform_reap_children(), 0u);
}

TEST_F(process, output_is_captured_and_the_deadline_holds_after_the_output_ends) {
  u8 *argv[] = {(u8 *)self.c_str(), nullptr};
  u8 bytes[64];
  setenv("QM_STUB_PRINT", "handler.desktop\n", 1);
  setenv("QM_STUB_EXIT", "3", 1);
  buffer out = buffer_make(sizeof bytes, 0, bytes);
  u32 code = 0;
  EXPECT_EQ(platform_run_argv_output(argv, &out, (u32)test_wait_limit.count(), &code), 1u);
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(text(out), "handler.desktop\n");
  ASSERT_EQ(stub::record_names(folder).size(), 1u);
  const std::string first = stub::record_names(folder)[0];

  // A program that closes its output and goes on running is stopped at the deadline like one
  // that keeps writing: the caller (the UI thread) never waits longer than it asked. Its record
  // tells when its output is written and closed; from then the deadline must end it within the
  // margin, and the call must not have returned before the deadline.
  setenv("QM_STUB_CLOSE_STDOUT", "1", 1);
  setenv("QM_STUB_LINGER_MS", "300000", 1);
  setenv("QM_STUB_EXIT", "0", 1);
  out = buffer_make(sizeof bytes, 0, bytes);
  const std::chrono::milliseconds deadline{2000};
  std::atomic<bool> returned{false};
  u32 result = 9;
  std::chrono::steady_clock::time_point ended;
  const auto called = std::chrono::steady_clock::now();
  std::thread runner([&] {
    result = platform_run_argv_output(argv, &out, (u32)deadline.count(), &code);
    ended = std::chrono::steady_clock::now();
    returned = true;
  });
  // On every way out the call ends: its child is killed should the deadline not have done it.
  pid_t child = 0;
  struct join_at_exit {
    std::thread &runner;
    std::atomic<bool> &returned;
    pid_t &child;
    ~join_at_exit() {
      if (!returned && child > 0) kill(child, SIGKILL);
      runner.join();
    }
  } join{runner, returned, child};
  ASSERT_TRUE(test_wait_until([&] { return stub::record_names(folder).size() == 2 || returned; }));
  const auto ready = std::chrono::steady_clock::now();
  for (const std::string &name : stub::record_names(folder))
    if (name != first && !returned) child = (pid_t)atoi(name.c_str());
  ASSERT_TRUE(test_wait_until([&] { return returned.load(); }, deadline + test_deadline_margin))
      << "the deadline did not end the program";
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(text(out), "handler.desktop\n");
  EXPECT_GE(ended - called, deadline) << "ended before its deadline";
  EXPECT_LE(ended - ready, deadline + test_deadline_margin);
}

bool named(const std::vector<std::string> &children, const std::string &command) {
  for (const std::string &c : children)
    if (c.find(command) != std::string::npos) return true;
  return false;
}

// The tests' own ownership of what they start: ending a program ends its whole process group,
// and what escapes it (an orphan, handed to the test program) is named by the check at the end
// of the test program and ended there.

TEST(test_processes, an_owned_program_ends_with_its_group_and_an_orphan_is_named_and_ended) {
  ASSERT_TRUE(test_children().empty());
  test_temp_folder folder("qm_group");
  ASSERT_FALSE(folder.path.empty());
  std::string pid_file = folder.path + "/pid";
  pid_t grandchild = 0;
  {
    test_process shell = test_start({"sh", "-c", "sleep 301 & echo $! > \"$0.part\"; mv \"$0.part\" \"$0\"; wait", pid_file.c_str()});
    ASSERT_TRUE(shell);
    ASSERT_TRUE(test_wait_until([&] { return access(pid_file.c_str(), R_OK) == 0; })) << "the shell never started its child";
    grandchild = (pid_t)atoi(test_file_text(pid_file).c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_EQ(kill(grandchild, 0), 0);
  }
  // The group ended with its owner: neither the shell nor the program it started is left.
  EXPECT_TRUE(test_children().empty());
  EXPECT_NE(kill(grandchild, 0), 0);

  // A program whose parent ended without it is handed to the test program: the check at the end
  // names it and ends it.
  {
    test_process shell = test_start({"sh", "-c", "sleep 302 &"});
    ASSERT_TRUE(shell);
    ASSERT_TRUE(shell.wait_exit());
  }
  ASSERT_TRUE(test_wait_until([] { return named(test_children(), "sleep 302"); })) << "the orphan is a child here";
  std::vector<std::string> ended = test_children_end();
  EXPECT_TRUE(named(ended, "sleep 302"));
  EXPECT_TRUE(test_children().empty());
}

// A program run to its end (a tool a test calls) takes with it what it started and never waited
// for: nothing of the run is left to the test program, whether it ended or still runs.
TEST(test_processes, a_program_run_to_its_end_leaves_no_helper_behind) {
  ASSERT_TRUE(test_children().empty());
  EXPECT_EQ(test_run({"sh", "-c", "sleep 0.3 & true & exec true"}), 0);
  EXPECT_TRUE(test_children().empty());
  std::string output;
  EXPECT_EQ(test_run_output({"sh", "-c", "sleep 0.3 & true & echo done"}, &output), 0);
  EXPECT_EQ(output, "done\n");
  EXPECT_TRUE(test_children().empty());
}

TEST(quit_signals, each_signal_sets_the_flag) {
  platform_install_quit_signals();
  for (int s : {SIGTERM, SIGINT, SIGHUP}) {
    platform_quit_signal_reset();
    EXPECT_FALSE(platform_quit_signalled());
    raise(s);
    EXPECT_TRUE(platform_quit_signalled()) << s;
  }
  raise(SIGPIPE);  // ignored: the test goes on
}

}  // namespace
