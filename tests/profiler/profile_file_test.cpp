#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "profile_image.h"
#include "profiler/profile.h"
#include "tests/support/isolation.h"

namespace {

std::string temp_path(const char *name) {
  std::string dir = testing::TempDir();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir + name + std::to_string(getpid()) + ".bin";
}

std::vector<u8> read_file(const std::string &path) {
  std::vector<u8> v;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return v;
  u8 chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) v.insert(v.end(), chunk, chunk + n);
  fclose(f);
  return v;
}

struct loaded {
  profiler_profile p = {};
  u32 error = 0;
  explicit loaded(const std::vector<u8> &image) { p = profiler_load(image.data(), image.size(), &error); }
  ~loaded() { profiler_profile_free(&p); }
};

// A loaded profile is consistent when every tree holds one node per begin event, every tree is
// properly linked and the report renders.
void expect_consistent(const profiler_profile &p) {
  for (u32 i = 0; i < p.thread_count; i++) {
    const profiler_profile_thread &t = p.threads[i];
    ASSERT_NE(t.root, nullptr);
    u64 nodes = 0;
    profiler_iterator it = profiler_iterator_make(t.root);
    while (profiler_node *n = profiler_iterator_next_depth(&it)) {
      nodes++;
      ASSERT_LT(n->zone, p.zone_count);
      ASSERT_LE(n->tsc_begin, n->tsc_end);
      ASSERT_LE(n->qpc_begin, n->qpc_end);
    }
    EXPECT_EQ(nodes, t.event_bytes / 32);
    for (u32 r = 0; r < t.stats.used_rows; r++) EXPECT_LE(t.stats.self[r], t.stats.total[r]);
  }
  std::vector<u8> out(1 << 20);
  u32 e = 0;
  profiler_report(&p, out.data(), out.size(), &e);
  EXPECT_EQ(e, 0u);
}

// Nested and recursive zones, a few frames.
void record_work(u32 seed) {
  std::mt19937_64 rng(seed);
  for (int f = 0; f < 5; f++) {
    profile_frame_begin(zone_thread_loop);
    for (int i = 0; i < 10; i++) {
      PROFILE_ZONE(zone_thread_do_work);
      {
        PROFILE_ZONE(zone_thread_do_work);  // recursion
        PROFILE_ZONE(zone_thread_user_function);
        volatile u64 x = 0;
        for (u64 k = 0; k < rng() % 500; k++) x = x + k;
      }
      PROFILE_ZONE(zone_thread_queue_signal);
    }
    profile_frame_end(zone_thread_loop);
  }
}

void run_threads(u32 workers) {
  u32 e = 0;
  profiler_start(profiler_thread_kind_main, 100000, &e);
  ASSERT_EQ(e, 0u);
  std::vector<std::thread> threads;
  for (u32 i = 0; i < workers; i++) {
    threads.emplace_back([i] {
      u32 we = 0;
      profiler_thread_register(profiler_thread_kind_worker_thread, 10000, &we);
      record_work(i + 1);
    });
  }
  for (auto &t : threads) t.join();
  record_work(99);
  profiler_stop();
}

}  // namespace

TEST_IN_FRESH_PROCESS(profile_file, layout_of_a_run_with_only_the_ui_thread) {
  EXPECT_EQ(profiler_metadata_size(2, 1, 138, 17, 2565), 2961u);
  EXPECT_EQ(profiler_metadata_size(2, 7, 138, 17, 2565), 2949u + 84u);
  EXPECT_EQ(profiler_align_padding(40 + 2961, 16), 7u);
  run_threads(0);
  std::string path = temp_path("profile_one_");
  u32 e = 0;
  u64 written = profiler_write_file(path.c_str(), 1, &e);
  ASSERT_EQ(e, 0u);
  std::vector<u8> image = read_file(path);
  unlink(path.c_str());
  ASSERT_EQ(image.size(), written);
  EXPECT_EQ(image_get<u64>(image, 8), 2961u);
  EXPECT_EQ(image_get<u64>(image, 16), 40u);
  EXPECT_EQ(image_get<u64>(image, 32), 3008u);
  EXPECT_EQ(image.size(), 3008u + image_get<u64>(image, 24));
  for (u32 i = 40 + 2961; i < 3008; i++) EXPECT_EQ(image[i], 0);
}

TEST_IN_FRESH_PROCESS(profile_file, write_then_load_matches_the_live_profile_for_seven_threads) {
  run_threads(6);
  std::string path = temp_path("profile_seven_");
  u32 e = 0;
  u64 written = profiler_write_file(path.c_str(), 1, &e);
  ASSERT_EQ(e, 0u);
  std::vector<u8> image = read_file(path);
  ASSERT_EQ(image.size(), written);
  EXPECT_EQ(image_get<u64>(image, 8), 3033u);
  EXPECT_EQ(image_get<u64>(image, 32), 3088u);
  // The header's total is the sum of the threads' event bytes, and the file ends with them.
  u64 sum = 0;
  for (u32 i = 0; i < 7; i++) sum += image_get<u64>(image, 40 + 28 + 4 + 17 + 8 * i);
  EXPECT_EQ(image_get<u64>(image, 24), sum);
  EXPECT_EQ(image.size(), 3088u + sum);

  // Metadata says where its calibration came from: the run's ratio.
  u64 cal = 40 + image_get<u64>(image, 8) - PROFILER_FILE_CALIBRATION_SIZE;
  EXPECT_EQ(image_get<u64>(image, cal), 1000000000u);
  EXPECT_EQ(image[cal + 24], profiler_conversion_ratio);
  EXPECT_EQ(image[cal + 25], profiler_tsc_method_monotonic);

  u32 le = 0;
  profiler_profile p = profiler_load_file(path.c_str(), &le);
  unlink(path.c_str());
  ASSERT_EQ(le, 0u);
  profiler_profile live = {};
  u32 ve = 0;
  profiler_analyze_live(&live, nullptr, 0, &ve);
  ASSERT_EQ(ve, 0u);
  ASSERT_EQ(p.thread_count, 7u);
  EXPECT_EQ(p.zone_count, (u32)profiler_zone_count);
  EXPECT_EQ(p.threads[0].kind, (u32)profiler_thread_kind_main);
  for (u32 i = 0; i < 7; i++) {
    SCOPED_TRACE(i);
    const profiler_thread &t = profiler_threads[i];
    EXPECT_EQ(p.threads[i].event_bytes, (u64)(t.cursor - t.events) * 16);
    EXPECT_EQ(p.threads[i].kind, t.kind);
    // The statistics agree with a model of the thread's own events.
    std::vector<profiler_event> ev(t.events, t.cursor);
    auto ticks = [&](u64 x) { return profiler_ticks_to_qpc(&p, x); };
    expect_stats_match(model_compute(ev, p.zone_count, ticks), stats_by_zone(p.threads[i].stats, p.zone_count), true);
    model_stats s = stats_by_zone(p.threads[i].stats, p.zone_count);
    EXPECT_EQ(s.calls[zone_thread_do_work], 100u);
    EXPECT_EQ(s.calls[zone_thread_loop], 5u);
  }
  for (u32 z = 0; z < p.zone_count; z++) {
    ASSERT_EQ(p.zone_name_lengths[z], profiler_zone_names[z].length);
    ASSERT_EQ(memcmp(p.zone_names[z], profiler_zone_names[z].text, p.zone_name_lengths[z]), 0);
  }
  // The file's report is the live profile's report.
  std::vector<u8> a(1 << 20), b(1 << 20);
  u32 ea = 0, eb = 0;
  u64 na = profiler_report(&p, a.data(), a.size(), &ea);
  u64 nb = profiler_report_live(b.data(), b.size(), &eb);
  EXPECT_EQ(ea, 0u);
  EXPECT_EQ(eb, 0u);
  EXPECT_EQ(std::string((char *)a.data(), na), std::string((char *)b.data(), nb));
  expect_consistent(p);
  profiler_profile_free(&p);
  profiler_profile_free(&live);
}

TEST_IN_FRESH_PROCESS(profile_file, creation_and_writing_failures) {
  run_threads(0);
  std::string path = temp_path("profile_exists_");
  FILE *f = fopen(path.c_str(), "wb");
  fputs("keep", f);
  fclose(f);
  u32 e = 0;
  EXPECT_EQ(profiler_write_file(path.c_str(), 0, &e), 0u);
  EXPECT_EQ(e, (u32)profiler_error_create);
  EXPECT_EQ(read_file(path), (std::vector<u8>{'k', 'e', 'e', 'p'}));
  // A sticky error makes the writer do nothing.
  EXPECT_EQ(profiler_write_file(path.c_str(), 1, &e), 0u);
  EXPECT_EQ(read_file(path).size(), 4u);
  // No memory for the metadata: the file exists, empty.
  e = 0;
  memory_fault_inject(memory_fault_alloc, 0);
  EXPECT_EQ(profiler_write_file(path.c_str(), 1, &e), 0u);
  memory_fault_inject(memory_fault_alloc, -1);
  EXPECT_EQ(e, (u32)profiler_error_no_memory);
  EXPECT_EQ(read_file(path).size(), 0u);
  unlink(path.c_str());
  // A write the system refuses.
  e = 0;
  EXPECT_EQ(profiler_write_all(-1, 0, "x", 1, &e), 0u);
  EXPECT_NE(e, 0u);
  e = 0;
  int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    profiler_write_all(fd, 0, "x", 1, &e);
    EXPECT_EQ(e, (u32)profiler_error_write);
    close(fd);
  }
}

TEST(profile_file, header_errors_have_their_codes) {
  image_spec s;
  s.threads = {{{1, 2, 1}, {5, 2, 2}}};
  std::vector<u8> good = image_build(s);
  {
    loaded l(good);
    ASSERT_EQ(l.error, 0u);
  }
  u32 e = 0;
  profiler_load(nullptr, 100, &e);
  EXPECT_EQ(e, (u32)profiler_error_no_data);
  auto code = [](std::vector<u8> v) { return loaded(v).error; };
  std::vector<u8> v = good;
  v[0] = 'Q';
  EXPECT_EQ(code(v), (u32)profiler_error_magic);
  v = good;
  image_patch<u32>(v, 4, 2);
  EXPECT_EQ(code(v), (u32)profiler_error_version);
  v = good;
  image_patch<u64>(v, 8, v.size());  // metadata larger than the bytes present
  EXPECT_EQ(code(v), (u32)profiler_error_past_end);
  v = good;
  image_patch<u64>(v, 16, UINT64_MAX - 4);  // an offset that wraps
  EXPECT_EQ(code(v), (u32)profiler_error_past_end);
  v = good;
  image_patch<u64>(v, 24, UINT64_MAX - 15);
  EXPECT_EQ(code(v), (u32)profiler_error_past_end);
  v = good;
  image_patch<u64>(v, 32, image_get<u64>(v, 32) + 1);  // events off the 16-byte grid
  EXPECT_EQ(code(v), (u32)profiler_error_past_end);
  v = good;
  v.resize(v.size() + 16, 0);
  image_patch<u64>(v, 32, image_get<u64>(v, 32) + 8);
  EXPECT_EQ(code(v), (u32)profiler_error_malformed);
  v = good;
  image_patch<u64>(v, 24, image_get<u64>(v, 24) - 16);  // threads larger than the block
  EXPECT_EQ(code(v), (u32)profiler_error_past_end);
  v = good;
  v.resize(v.size() + 16, 0);
  image_patch<u64>(v, 24, image_get<u64>(v, 24) + 16);  // a block the threads do not use up
  EXPECT_EQ(code(v), (u32)profiler_error_malformed);
}

TEST(profile_file, forged_counts_lengths_and_indices_are_rejected) {
  image_spec s;
  s.threads = {{{1, 2, 1}, {5, 2, 2}}, {}};
  std::vector<u8> good = image_build(s);
  auto code = [](std::vector<u8> v) { return loaded(v).error; };
  std::vector<u8> v;
  // Counts that would size allocations far beyond the metadata.
  for (u32 bad : {0xFFFFFFFFu, 0x80000000u, 1000000u}) {
    for (size_t at : {image_at_kind_count, image_at_thread_count, image_at_zone_count}) {
      v = good;
      image_patch<u32>(v, at, bad);
      EXPECT_EQ(code(v), (u32)profiler_error_past_end) << at;
    }
  }
  for (size_t at : {image_at_kind_bytes, image_at_zone_bytes}) {
    v = good;
    image_patch<u64>(v, at, UINT64_MAX - 100);  // a name total whose sum would wrap
    EXPECT_EQ(code(v), (u32)profiler_error_past_end);
  }
  // Name lengths that do not add up to their total (the total still fits).
  v = good;
  image_patch<u16>(v, image_at_kind_lengths, 12);
  image_patch<u16>(v, image_at_kind_lengths + 2, 5);
  EXPECT_EQ(code(v), 0u);  // same sum, other split: fine
  image_patch<u16>(v, image_at_kind_lengths + 2, 4);
  EXPECT_EQ(code(v), (u32)profiler_error_malformed);
  // Zone lengths likewise, and a kind past the kind table.
  image_spec t = s;
  t.zones = {"profiler_collapse", "profiler_not_measured", "a", "bb"};
  std::vector<u8> small = image_build(t);
  size_t zone_lengths = 40 + 28 + 4 + 17 + 2 * 12;
  v = small;
  image_patch<u16>(v, zone_lengths + 6, 3);
  EXPECT_EQ(code(v), (u32)profiler_error_malformed);
  t.thread_kinds = {1, 2};
  EXPECT_EQ(code(image_build(t)), (u32)profiler_error_malformed);
  // A zone past the zone table in an event.
  t.thread_kinds = {};
  t.threads = {{{1, 4, 1}, {2, 4, 2}}};
  EXPECT_EQ(code(image_build(t)), (u32)profiler_error_malformed);
  t.threads = {{{1, 3, 1}, {2, 3, 2}}};
  EXPECT_EQ(code(image_build(t)), 0u);
  // Too few zones for the statistics, or more threads than a run can have.
  t.zones = {"profiler_collapse"};
  t.threads = {};
  EXPECT_EQ(code(image_build(t)), (u32)profiler_error_malformed);
  t.zones.assign(PROFILER_FILE_MAX_ZONES + 1, "z");
  EXPECT_EQ(code(image_build(t)), (u32)profiler_error_malformed);
  t.zones.resize(PROFILER_FILE_MAX_ZONES);
  EXPECT_EQ(code(image_build(t)), 0u);
  image_spec many;
  many.threads.resize(PROFILER_MAX_THREADS + 1);
  EXPECT_EQ(code(image_build(many)), (u32)profiler_error_malformed);
  many.threads.resize(PROFILER_MAX_THREADS);
  EXPECT_EQ(code(image_build(many)), 0u);
  // Metadata with bytes left over, and a thread size off the event grid.
  v = good;
  image_patch<u64>(v, 8, image_get<u64>(v, 8) - 1);
  EXPECT_EQ(code(v), (u32)profiler_error_past_end);
  std::vector<u8> m = image_metadata(s);
  m.push_back(0);
  std::vector<u8> h(good.begin(), good.begin() + 40);
  image_patch<u64>(h, 8, m.size());
  u64 events_at = (40 + m.size() + 15) & ~15ull;
  image_patch<u64>(h, 32, events_at);
  h.insert(h.end(), m.begin(), m.end());
  h.resize(events_at, 0);
  h.insert(h.end(), good.begin() + (long)image_get<u64>(good, 32), good.end());
  EXPECT_EQ(code(h), (u32)profiler_error_malformed);
  v = good;
  size_t thread_bytes = 40 + 28 + 4 + 17;
  image_patch<u64>(v, thread_bytes, 24);
  image_patch<u64>(v, thread_bytes + 8, 8);
  EXPECT_EQ(code(v), (u32)profiler_error_malformed);
  // Unbalanced events in the file.
  image_spec u = s;
  u.threads = {{{1, 2, 1}, {5, 2, 1}}};
  EXPECT_EQ(code(image_build(u)), (u32)profiler_error_malformed);
  u.threads = {{{1, 2, 2}, {5, 2, 1}}};
  EXPECT_EQ(code(image_build(u)), (u32)profiler_error_malformed);
}

TEST(profile_file, calibrations_the_arithmetic_cannot_honour_are_rejected) {
  struct calibration_case {
    u8 conversion, method, shift;
    u64 frequency, tsc_run;
    u32 multiplier_shift;
    u32 want;
  };
  const calibration_case cases[] = {
      {0, 0, 0, 1000, 0, 0, profiler_error_malformed},   // ratio over a zero run
      {0, 3, 0, 1000, 5, 0, 0},                          // the monotonic calibration
      {0, 0, 0, 0, 5, 0, profiler_error_malformed},      // no frequency to divide by
      {1, 2, 63, 1000, 0, 0, 0},
      {1, 2, 64, 1000, 0, 0, profiler_error_malformed},
      {1, 3, 0, 1000, 0, 0, profiler_error_malformed},
      {2, 0, 0, 1000, 0, 127, 0},
      {2, 0, 0, 1000, 0, 128, profiler_error_malformed},
      {2, 0, 0, 1000, 0, 255, profiler_error_malformed},
      {3, 0, 0, 1000, 5, 0, profiler_error_malformed},
  };
  for (const calibration_case &c : cases) {
    image_spec s;
    s.threads = {{{1, 2, 1}, {5, 2, 2}}};
    s.conversion = c.conversion;
    s.method = c.method;
    s.shift = c.shift;
    s.frequency = c.frequency;
    s.tsc_run = c.tsc_run;
    s.multiplier_shift = c.multiplier_shift;
    loaded l(image_build(s));
    EXPECT_EQ(l.error, c.want) << (int)c.conversion << " " << (int)c.shift << " " << c.multiplier_shift;
  }
}

TEST(profile_file, every_truncation_is_rejected_and_byte_flips_never_crash) {
  std::mt19937_64 rng(5);
  image_spec s;
  s.zones = {"profiler_collapse", "profiler_not_measured", "alpha", "beta", "gamma", "delta"};
  s.threads = {image_random_events(rng, 30, 6, 5), image_random_events(rng, 10, 6, 3), {}};
  std::vector<u8> good = image_build(s);
  {
    loaded l(good);
    ASSERT_EQ(l.error, 0u);
    expect_consistent(l.p);
  }
  for (size_t n = 0; n < good.size(); n++) {
    // An exact-size copy, so a read past the cut is caught by the sanitizer.
    std::vector<u8> cut(good.begin(), good.begin() + (long)n);
    u32 e = 0;
    profiler_profile p = profiler_load(n ? cut.data() : good.data(), n, &e);
    ASSERT_EQ(e, (u32)profiler_error_past_end) << n;
    ASSERT_EQ(p.arena.data, nullptr);
  }
  int rejected = 0, accepted = 0;
  for (int round = 0; round < 3000; round++) {
    std::vector<u8> v = good;
    int flips = 1 + (int)(rng() % 4);
    for (int k = 0; k < flips; k++) v[rng() % v.size()] ^= (u8)(1u << (rng() % 8));
    loaded l(v);
    if (l.error) {
      rejected++;
      EXPECT_EQ(l.p.arena.data, nullptr);
    } else {
      accepted++;
      expect_consistent(l.p);
    }
  }
  EXPECT_GT(rejected, 0);
  EXPECT_GT(accepted, 0);
}
