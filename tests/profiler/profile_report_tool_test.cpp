// The profile_report command on a good file (the library's report, exactly) and on damaged ones
// (a clear message and a failing exit status, never a crash).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "profile_image.h"
#include "profiler/profile.h"

#ifdef QM_PROFILE_REPORT_BINARY

extern char **environ;

namespace {

profiler_event B(u64 tsc, u32 zone) { return {tsc, zone, profiler_event_zone_begin}; }
profiler_event E(u64 tsc, u32 zone) { return {tsc, zone, profiler_event_zone_end}; }

struct run_result {
  int status = -1;
  std::string out, err;
};

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

struct profile_report_tool : ::testing::Test {
  std::string folder;
  void SetUp() override {
    char t[] = "/tmp/qm_profile_report_XXXXXX";
    folder = mkdtemp(t);
  }
  void TearDown() override {
    for (const char *name : {"/profile.bin", "/out", "/err"}) unlink((folder + name).c_str());
    rmdir(folder.c_str());
  }
  void write(const std::vector<u8> &image) {
    std::ofstream(folder + "/profile.bin", std::ios::binary).write((const char *)image.data(), (std::streamsize)image.size());
  }
  // Runs the command in the folder (so "profile.bin" is its default file), with its outputs in
  // files.
  run_result run(std::vector<std::string> args) {
    args.insert(args.begin(), QM_PROFILE_REPORT_BINARY);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, (folder + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (folder + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    run_result r;
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) waitpid(pid, &r.status, 0);
    posix_spawn_file_actions_destroy(&actions);
    r.out = read_file(folder + "/out");
    r.err = read_file(folder + "/err");
    return r;
  }
};

TEST_F(profile_report_tool, a_good_file_prints_the_report_of_every_thread) {
  std::vector<u8> image = image_three_zones();
  write(image);
  u32 error = 0;
  profiler_profile p = profiler_load(image.data(), image.size(), &error);
  ASSERT_EQ(error, 0u);
  std::string expected(4096, '\0');
  expected.resize(profiler_report(&p, (u8 *)expected.data(), expected.size(), &error));
  profiler_profile_free(&p);
  ASSERT_EQ(error, 0u);

  run_result r = run({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.out.rfind("Timeline[ 0 ] - main\n\n# Totals\nalpha ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("Timeline[ 1 ] - worker_thread"), std::string::npos);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(run({folder + "/profile.bin"}).out, expected) << "a file named on the command line";
}

TEST_F(profile_report_tool, a_report_larger_than_the_first_block_is_written_whole) {
  // Many instances make a tree listing of several mebibytes.
  image_spec s;
  s.zones = {"profiler_collapse", "profiler_not_measured", "alpha"};
  std::vector<profiler_event> events;
  for (u64 i = 0; i < 40000; i++) {
    events.push_back(B(1000 + 10 * i, 2));
    events.push_back(E(1005 + 10 * i, 2));
  }
  s.threads = {events};
  write(image_build(s));
  run_result r = run({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GT(r.out.size(), MiB(2));
  EXPECT_EQ(r.out.substr(r.out.size() - 101), std::string(100, '-') + "\n");
}

TEST_F(profile_report_tool, damaged_files_are_refused_with_what_is_wrong) {
  std::vector<u8> good = image_three_zones();
  struct {
    std::vector<u8> image;
    const char *says;
  } cases[] = {
      {std::vector<u8>(good.begin(), good.begin() + 60), "is cut short"},
      {std::vector<u8>(good.begin(), good.end() - 16), "is cut short"},
      {std::vector<u8>{'P', 'K', 3, 4, 0, 0, 0, 0}, "is not a profile file"},
      {{}, "cannot be read"},
  };
  std::vector<u8> version = good;
  image_patch<u32>(version, 4, 2);
  std::vector<u8> zones = good;
  image_patch<u32>(zones, image_at_zone_count, 0xFFFFFFu);
  std::vector<u8> unbalanced = good;
  // The last event (gamma's end) made another begin: the thread's events no longer balance.
  image_patch<u32>(unbalanced, unbalanced.size() - 4, profiler_event_zone_begin);
  for (auto &c : cases) {
    write(c.image);
    run_result r = run({});
    EXPECT_EQ(r.status, 1 << 8) << c.says;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(std::string("profile.bin ") + c.says), std::string::npos) << r.err;
  }
  for (auto *image : {&version, &zones, &unbalanced}) {
    write(*image);
    run_result r = run({});
    EXPECT_EQ(r.status, 1 << 8) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("profile_report: profile.bin ", 0), 0u) << r.err;
  }
  run_result missing = run({folder + "/none.bin"});
  EXPECT_EQ(missing.status, 1 << 8);
  EXPECT_NE(missing.err.find("none.bin cannot be read"), std::string::npos) << missing.err;
  EXPECT_EQ(run({"-x"}).status, 1 << 8);
  EXPECT_EQ(run({"--help"}).out.rfind("usage: profile_report", 0), 0u);
}

}  // namespace

#endif
