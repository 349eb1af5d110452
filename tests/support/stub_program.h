// The test program doubles as the stub program that tests start: when QM_STUB_RECORD names a
// folder, the program records its working folder and its arguments into a file of that folder
// named by its process id, before main runs, and exits with QM_STUB_EXIT (0 by default). No
// shell is involved at any point: the arguments are exactly the vector the program received.
// A record is written whole or not at all, so its presence is the program's readiness.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/wait.h"

namespace stub {

inline int record_and_exit() {
  const char *folder = getenv("QM_STUB_RECORD");
  if (!folder) return 0;
  char cwd[4096] = {};
  if (!getcwd(cwd, sizeof(cwd))) cwd[0] = 0;
  std::string out = std::string(cwd) + '\n';
  // The descriptors the program inherited beyond the standard three.
  if (DIR *d = opendir("/proc/self/fd")) {
    while (dirent *e = readdir(d)) {
      int fd = atoi(e->d_name);
      if (e->d_name[0] != '.' && fd > 2 && fd != dirfd(d)) out += std::to_string(fd) + ' ';
    }
    closedir(d);
  }
  out += '\n';
  int in = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  char chunk[4096];
  ssize_t n;
  while (in >= 0 && (n = read(in, chunk, sizeof(chunk))) > 0) out.append(chunk, (size_t)n);
  if (in >= 0) close(in);
  // Output tests: QM_STUB_PRINT goes to the standard output, QM_STUB_CLOSE_STDOUT closes it
  // (both before the record is written, so a record tells that the output is done), and
  // QM_STUB_LINGER_MS keeps the program running that long after it.
  if (const char *print = getenv("QM_STUB_PRINT")) {
    ssize_t w = write(1, print, strlen(print));
    (void)w;
  }
  if (getenv("QM_STUB_CLOSE_STDOUT")) close(1);
  std::string path = std::string(folder) + "/" + std::to_string(getpid()) + ".rec";
  std::string part = path + ".part";
  int f = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (f >= 0) {
    ssize_t w = write(f, out.data(), out.size());
    (void)w;
    close(f);
    rename(part.c_str(), path.c_str());  // readers never see half a record
  }
  if (const char *linger = getenv("QM_STUB_LINGER_MS")) {
    long ms = atol(linger);
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&t, &t) != 0) {
    }
  }
  const char *code = getenv("QM_STUB_EXIT");
  _exit(code ? atoi(code) : 0);
}

inline const int recorded = record_and_exit();

// One started program: its working folder and its arguments after argv[0].
struct record {
  std::string cwd;
  std::string inherited_fds;  // space-separated, empty when none
  std::vector<std::string> args;
};

inline std::string self_path() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  return n > 0 ? std::string(path, (size_t)n) : std::string();
}

// The names of the records in the folder, in no particular order.
inline std::vector<std::string> record_names(const std::string &folder) {
  std::vector<std::string> names;
  if (DIR *d = opendir(folder.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 4 && name.substr(name.size() - 4) == ".rec") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

// Waits until the started programs have left their records and are reaped (at most the wait
// limit), then reads the records, in no particular order.
inline std::vector<record> collect(const std::string &folder, size_t expected) {
  std::vector<record> out;
  test_wait_until([&] {
    u32 running = platform_reap_children();
    return record_names(folder).size() >= expected && running == 0;
  });
  for (const std::string &name : record_names(folder)) {
    std::string path = folder + "/" + name;
    std::string text;
    int f = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char chunk[4096];
    ssize_t n;
    while (f >= 0 && (n = read(f, chunk, sizeof(chunk))) > 0) text.append(chunk, (size_t)n);
    if (f >= 0) close(f);
    record r;
    size_t nl = text.find('\n');
    r.cwd = text.substr(0, nl);
    size_t nl2 = text.find('\n', nl + 1);
    r.inherited_fds = text.substr(nl + 1, nl2 - nl - 1);
    std::string rest = nl2 == std::string::npos ? std::string() : text.substr(nl2 + 1);
    size_t start = 0;
    bool first = true;
    while (start < rest.size()) {
      size_t z = rest.find('\0', start);
      if (z == std::string::npos) z = rest.size();
      if (!first) r.args.push_back(rest.substr(start, z - start));
      first = false;
      start = z + 1;
    }
    out.push_back(r);
  }
  return out;
}

}  // namespace stub
