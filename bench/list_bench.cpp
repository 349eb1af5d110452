// The readers of the small files a user hands the program, at n and 4n: a list file of feeds
// (distinct URLs below the 1,024 fetch slots, a few URLs repeated many times, a binary file
// chosen by mistake) and the desktop's default application from a settings file that repeats
// the line of its type. Each time should grow with its input; the "per_line" counter shows it.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>

#include "bench/bench_fetch.h"
#include "profiler/profiler.h"

namespace {

std::string temp_path(const std::string &name) {
  return "/tmp/quillmere_list_bench_" + std::to_string(getpid()) + "_" + name;
}

void write_file(const std::string &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::string distinct_list(u64 lines) {
  std::string list;
  for (u64 i = 0; i < lines; i++) list += "http://feeds.example/" + std::to_string(i) + "\n";
  return list;
}

std::string repeated_list(u64 lines) {
  std::string list;
  for (u64 i = 0; i < lines; i++) list += "http://feeds.example/" + std::to_string(i % 100) + "\n";
  return list;
}

// Random bytes with a line end now and then, as a wrong file chosen would be.
std::string binary_list(u64 lines) {
  std::mt19937 rng(5);
  std::string list;
  for (u64 i = 0; i < lines; i++) {
    for (u32 k = 8 + rng() % 48; k > 0; k--) list += (char)(0x80 | rng() % 0x80);
    list += "\n";
  }
  return list;
}

void list_file(benchmark::State &state, std::string (*make)(u64)) {
  profiler_install_disabled();
  bench_fetch import;
  u64 lines = (u64)state.range(0);
  std::string path = temp_path("list.txt");
  write_file(path, make(lines));
  buffer p = string_from_bytes(path.data(), path.size());
  for (auto _ : state) {
    u32 error = 0;
    benchmark::DoNotOptimize(app_add_feeds_from_file(&import.context, &import.store.r, p, &error));
    state.PauseTiming();
    import.finish();
    state.ResumeTiming();
  }
  unlink(path.c_str());
  state.counters["per_line"] = benchmark::Counter((f64)lines, benchmark::Counter::kIsIterationInvariantRate |
                                                                  benchmark::Counter::kInvert);
}

void list_distinct(benchmark::State &state) { list_file(state, distinct_list); }
void list_repeated(benchmark::State &state) { list_file(state, repeated_list); }
void list_binary(benchmark::State &state) { list_file(state, binary_list); }

// "Get OS default" over a user's mimeapps.list whose [Added Associations] repeat the type's line,
// each listing ids that are removed or not installed; the program is found in the cache.
void default_application(benchmark::State &state) {
  char folder_template[] = "/tmp/quillmere_list_bench_xdg_XXXXXX";
  std::string root = mkdtemp(folder_template);
  for (const char *d : {"/config", "/data", "/usr", "/usr/applications"}) mkdir((root + d).c_str(), 0755);
  write_file(root + "/usr/applications/cached.desktop", "[Desktop Entry]\nType=Application\nExec=cached %u\n");
  write_file(root + "/usr/applications/mimeinfo.cache", "[MIME Cache]\nx-scheme-handler/https=cached.desktop;\n");
  std::string list = "[Removed Associations]\nx-scheme-handler/https=";
  for (int i = 0; i < 200; i++) list += "gone-" + std::to_string(i) + ".desktop;";
  list += "\n[Added Associations]\n";
  std::string ids;
  for (int i = 0; i < 40; i++) ids += "none" + std::to_string(i) + ".desktop;gone-" + std::to_string(i) + ".desktop;";
  u64 lines = (u64)state.range(0);
  for (u64 k = 0; k < lines; k++) list += "x-scheme-handler/https=" + ids + "\n";
  write_file(root + "/config/mimeapps.list", list);
  setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
  setenv("XDG_CONFIG_DIRS", (root + "/none").c_str(), 1);
  setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
  setenv("XDG_DATA_DIRS", (root + "/usr").c_str(), 1);
  for (auto _ : state) {
    u8 bytes[2048];
    buffer out = buffer_make(sizeof bytes, 0, bytes);
    benchmark::DoNotOptimize(desktop_default_command(string_lit("x-scheme-handler/https"), &out).used);
  }
  for (const char *v : {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME", "XDG_DATA_DIRS"}) unsetenv(v);
  for (const char *f : {"/config/mimeapps.list", "/usr/applications/cached.desktop",
                        "/usr/applications/mimeinfo.cache"})
    unlink((root + f).c_str());
  for (const char *d : {"/usr/applications", "/usr", "/data", "/config", ""}) rmdir((root + d).c_str());
  state.counters["per_line"] = benchmark::Counter((f64)lines, benchmark::Counter::kIsIterationInvariantRate |
                                                                  benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(list_distinct)->Arg(250)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(list_repeated)->Arg(25000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(list_binary)->Arg(25000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(default_application)->Arg(200)->Arg(800)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
