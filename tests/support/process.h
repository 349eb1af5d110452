// Programs a test starts (the reader itself, Xvfb, a bus daemon, xdotool), owned so that they end
// on every exit path. A test_process ends its program when it goes out of scope, a failed ASSERT
// or an exception included: the program's whole process group is killed and reaped. Should the
// test program itself die (a crash, the CTest time limit), the kernel kills what it started.
//
//     test_process server = test_start({"dbus-daemon", "--session", "--nofork", ...});
//     ASSERT_TRUE(server) << "dbus-daemon did not start";
//     ...                                   // the daemon ends with the scope, however it is left
//     EXPECT_TRUE(app.stop(SIGTERM, &status)) << "still running a minute after the quit signal";
//
// At the end of every test program a check fails the run when a child process of it is still
// running, naming each one, and then ends them. The test program is the reaper of its orphans, so a
// grandchild that outlives its parent (a program started by the program under test) counts too.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/wait.h"

struct test_process {
  pid_t pid = -1;  // -1 once it has been reaped, or when it never started

  test_process() = default;
  // Takes over a child of this process that leads its own process group.
  explicit test_process(pid_t started) : pid(started) {}
  test_process(test_process &&other) noexcept : pid(other.pid) { other.pid = -1; }
  test_process &operator=(test_process &&other) noexcept;
  test_process(const test_process &) = delete;
  test_process &operator=(const test_process &) = delete;
  ~test_process() { end(); }

  explicit operator bool() const { return pid > 0; }
  // True while it has not ended (or has ended but is not yet reaped).
  bool running() const;
  // Polls until it ends by itself: true, with its wait status in *status, once it is reaped;
  // false when it still runs at the limit (it is left running).
  bool wait_exit(int *status = nullptr, std::chrono::milliseconds limit = test_wait_limit);
  // Sends the signal and waits as wait_exit does; when it is still there at the limit it is
  // killed, and the answer is false.
  bool stop(int signal, int *status = nullptr, std::chrono::milliseconds limit = test_wait_limit);
  // Kills its process group at once and reaps it, with every member of the group that has
  // become a child of this process. Nothing once it has been reaped.
  void end();
};

struct test_start_options {
  const char *folder = nullptr;         // its current folder; this process's when null
  const char *output = "/dev/null";     // its standard output and error (a file, appended to)
  int keep_fd = -1;                     // a descriptor it gets...
  int as_fd = -1;                       // ...under this number
};

// Starts the program from the argument vector (argv[0] looked up in PATH when it holds no '/')
// with its standard input from /dev/null, in a process group of its own; it is killed should the
// calling thread end first, so a test starts programs from its own thread. An empty
// test_process when it could not start.
test_process test_start(const std::vector<const char *> &args, const test_start_options &options = {});

// Runs a program to its end, at most for the limit (then it is killed): its exit code, or -1
// when it could not start, did not end in time or was ended by a signal. What it left running in
// its process group (a helper it never waited for) counts as part of the run: it is waited for
// within the same limit and killed past it, so a run leaves no child behind.
int test_run(const std::vector<const char *> &args, std::chrono::milliseconds limit = test_wait_limit);
// The same, with what the program wrote (standard output and error) in *output.
int test_run_output(const std::vector<const char *> &args, std::string *output,
                    std::chrono::milliseconds limit = test_wait_limit);

// The child processes of this process, each as "pid (name): command line".
std::vector<std::string> test_children();
// Ends every child of this process (kills it, with its process group when it leads one, and
// reaps it) and names those that were still running: the end-of-program check fails on each.
std::vector<std::string> test_children_end();
