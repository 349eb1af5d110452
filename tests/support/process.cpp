// Started programs owned by the test, and the check at the end of every test program that none
// of its children is left. Linked into every test program.
#include "tests/support/process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "tests/support/file_text.h"

extern char **environ;

// ---- One program -------------------------------------------------------------------------

test_process &test_process::operator=(test_process &&other) noexcept {
  if (this != &other) {
    end();
    pid = other.pid;
    other.pid = -1;
  }
  return *this;
}

bool test_process::running() const {
  if (pid <= 0) return false;
  siginfo_t info = {};
  // WNOWAIT leaves an ended program to be reaped by wait_exit or end.
  if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

bool test_process::wait_exit(int *status, std::chrono::milliseconds limit) {
  if (pid <= 0) return true;
  return test_wait_until(
      [&] {
        int s = 0;
        pid_t r = waitpid(pid, &s, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
          if (status) *status = r == pid ? s : 0;
          pid = -1;
          return true;
        }
        return false;
      },
      limit);
}

bool test_process::stop(int signal, int *status, std::chrono::milliseconds limit) {
  if (pid <= 0) return true;
  kill(pid, signal);
  if (wait_exit(status, limit)) return true;
  end();
  return false;
}

void test_process::end() {
  if (pid <= 0) return;
  // The leader is not reaped yet, so the group's number cannot have been given to another.
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  int s;
  while (waitpid(pid, &s, 0) < 0 && errno == EINTR) {
  }
  // A member whose parent died was handed to this process before that parent could be reaped,
  // so every member still around is a child here by now.
  for (;;) {
    pid_t r = waitpid(-pid, &s, 0);
    if (r < 0 && errno != EINTR) break;
  }
  pid = -1;
}

// ---- Starting ----------------------------------------------------------------------------

// The executable argv[0] names: itself when it holds a '/', else the first match on PATH.
static std::string program_path(const char *name) {
  if (strchr(name, '/')) return name;
  const char *path = getenv("PATH");
  std::stringstream folders(path ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

test_process test_start(const std::vector<const char *> &args, const test_start_options &options) {
  if (args.empty() || !args[0]) return test_process();
  std::string path = program_path(args[0]);
  if (path.empty()) return test_process();
  std::vector<char *> argv;
  for (const char *a : args) argv.push_back((char *)a);
  argv.push_back(nullptr);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out = open(options.output ? options.output : "/dev/null", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  // The child reports a failed exec through this pipe; a successful one closes it unwritten.
  int report[2] = {-1, -1};
  if (in < 0 || out < 0 || pipe2(report, O_CLOEXEC) != 0) {
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return test_process();
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Only calls that are safe between fork and exec from here on.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the test program died before the line above
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2}) sigaction(s, &defaults, nullptr);
    int error = 0;
    if (options.folder && chdir(options.folder) != 0) error = errno;
    if (!error && (dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)) error = errno;
    if (!error && options.keep_fd >= 0 && options.as_fd > 2) {
      if (options.keep_fd == options.as_fd) fcntl(options.as_fd, F_SETFD, 0);
      else if (dup2(options.keep_fd, options.as_fd) < 0) error = errno;
    }
    if (!error) {
      // Nothing of the test's own (its servers' sockets, its files) reaches the program: every
      // descriptor above 2 is closed but the one handed over and the report pipe (close-on-exec).
      int kept[2] = {options.keep_fd >= 0 && options.as_fd > 2 ? options.as_fd : -1, report[1]};
      if (kept[0] > kept[1]) kept[0] = report[1], kept[1] = options.as_fd;
      unsigned from = 3;
      for (int fd : kept) {
        if (fd < (int)from) continue;
        if (fd > (int)from) syscall(SYS_close_range, from, (unsigned)fd - 1, 0u);
        from = (unsigned)fd + 1;
      }
      syscall(SYS_close_range, from, ~0u, 0u);
      execve(path.c_str(), argv.data(), environ);
      error = errno;
    }
    ssize_t w = write(report[1], &error, sizeof error);
    (void)w;
    _exit(127);
  }
  close(in);
  close(out);
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    return test_process();
  }
  setpgid(pid, pid);  // also here, so the group exists whichever of the two runs first
  test_process started(pid);
  int error = 0;
  ssize_t n;
  while ((n = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n > 0) started.end();
  return started;
}

// The program and whatever it left in its group: a helper it never waited for (localedef's
// decompressor) was handed to this process when the program ended, and is waited for here within
// the same limit (then killed), so a run leaves no child behind. The exit code as test_run gives it.
static int run_to_end(const std::vector<const char *> &args, const test_start_options &options,
                      std::chrono::milliseconds limit) {
  auto give_up = std::chrono::steady_clock::now() + limit;
  test_process p = test_start(args, options);
  if (!p) return -1;
  const pid_t group = p.pid;
  int status = 0;
  // One still running at the limit is ended by p on the way out, with its group.
  if (!p.wait_exit(&status, limit)) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
  bool group_ended = test_wait_until(
      [&] {
        int s;
        pid_t r;
        while ((r = waitpid(-group, &s, WNOHANG)) > 0) {
        }
        return r < 0 && errno == ECHILD;
      },
      left.count() > 0 ? left : std::chrono::milliseconds(0));
  if (!group_ended) {
    kill(-group, SIGKILL);
    int s;
    while (waitpid(-group, &s, 0) > 0 || errno == EINTR) {
    }
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int test_run(const std::vector<const char *> &args, std::chrono::milliseconds limit) {
  return run_to_end(args, test_start_options{}, limit);
}

int test_run_output(const std::vector<const char *> &args, std::string *output, std::chrono::milliseconds limit) {
  char path[] = "/tmp/qm_output_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return -1;
  close(fd);
  test_start_options options;
  options.output = path;
  int code = run_to_end(args, options, limit);
  *output = test_file_text(path);
  unlink(path);
  return code;
}

// ---- What is left ------------------------------------------------------------------------

namespace {

// A whole file of /proc; empty when the process went away meanwhile (a read then fails).
std::string proc_file(const std::string &path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char chunk[4096];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) out.append(chunk, (size_t)n);
  close(fd);
  return n < 0 ? std::string() : out;
}

struct child_info {
  pid_t pid;
  bool ended;  // a zombie: ended, not yet reaped
  std::string text;
};

std::vector<child_info> children_now() {
  std::vector<child_info> out;
  pid_t self = getpid();
  DIR *d = opendir("/proc");
  if (!d) return out;
  while (dirent *e = readdir(d)) {
    char *end = nullptr;
    long pid = strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end) continue;
    std::string base = std::string("/proc/") + e->d_name;
    std::string stat = proc_file(base + "/stat");
    // "pid (name) state ppid ...": the name may itself hold blanks and parentheses.
    size_t open_paren = stat.find('('), close_paren = stat.rfind(')');
    if (open_paren == std::string::npos || close_paren == std::string::npos || close_paren + 4 >= stat.size()) continue;
    char state = stat[close_paren + 2];
    long ppid = strtol(stat.c_str() + close_paren + 4, nullptr, 10);
    if (ppid != self) continue;
    std::string cmdline = proc_file(base + "/cmdline");
    for (char &c : cmdline)
      if (c == 0) c = ' ';
    while (!cmdline.empty() && cmdline.back() == ' ') cmdline.pop_back();
    if (cmdline.size() > 300) cmdline = cmdline.substr(0, 300) + "...";
    std::string name = stat.substr(open_paren + 1, close_paren - open_paren - 1);
    out.push_back({(pid_t)pid, state == 'Z',
                   std::to_string(pid) + " (" + name + (state == 'Z' ? ", ended, not reaped" : "") + "): " + cmdline});
  }
  closedir(d);
  return out;
}

}  // namespace

std::vector<std::string> test_children() {
  std::vector<std::string> out;
  for (const child_info &c : children_now()) out.push_back(c.text);
  return out;
}

std::vector<std::string> test_children_end() {
  std::vector<std::string> out;
  // Ending one may hand its own children to this process: look again until none is left.
  for (int round = 0; round < 100; round++) {
    std::vector<child_info> now = children_now();
    if (now.empty()) break;
    for (const child_info &c : now) {
      // One that has ended holds nothing (a tool the test ran may leave its own helper's exit
      // unread, which then comes here): it is reaped without being named.
      if (!c.ended) out.push_back(c.text);
      if (getpgid(c.pid) == c.pid) kill(-c.pid, SIGKILL);
      kill(c.pid, SIGKILL);
      int s;
      while (waitpid(c.pid, &s, 0) < 0 && errno == EINTR) {
      }
    }
  }
  return out;
}
