// Test helpers for profile files: a plain writer of "PROF" images from a description (so tests
// can forge any field), random balanced event sequences, and a model of a thread's statistics
// computed from its events without the library's tree.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "profiler/profile.h"

struct image_spec {
  std::vector<std::string> kinds = {"worker_thread", "main"};
  std::vector<std::string> zones;  // empty: the runtime's table
  std::vector<std::vector<profiler_event>> threads;
  std::vector<u32> thread_kinds;  // default: 1 for thread 0, 0 for the others
  u64 frequency = 1000000000ull;
  u64 tsc_run = 1000;
  u64 qpc_run = 1000;
  u8 conversion = profiler_conversion_ratio;
  u8 method = 0;
  u8 shift = 0;
  u64 bias = 0;
  u64 scale = 0;
  u64 offset = 0;
  u32 multiplier = 0;
  u32 multiplier_shift = 0;
};

inline void image_put(std::vector<u8> &v, const void *p, size_t n) {
  v.insert(v.end(), (const u8 *)p, (const u8 *)p + n);
}
template <typename T>
inline void image_put_value(std::vector<u8> &v, T x) {
  image_put(v, &x, sizeof x);
}
template <typename T>
inline void image_patch(std::vector<u8> &v, size_t at, T x) {
  ASSERT_LE(at + sizeof x, v.size());
  memcpy(v.data() + at, &x, sizeof x);
}
template <typename T>
inline T image_get(const std::vector<u8> &v, size_t at) {
  T x{};
  memcpy(&x, v.data() + at, sizeof x);
  return x;
}

inline std::vector<std::string> image_runtime_zones() {
  std::vector<std::string> z;
  for (u32 i = 0; i < profiler_zone_count; i++) z.emplace_back(profiler_zone_names[i].text, profiler_zone_names[i].length);
  return z;
}

inline std::vector<u8> image_metadata(const image_spec &s) {
  std::vector<std::string> zones = s.zones.empty() ? image_runtime_zones() : s.zones;
  std::vector<u8> m;
  u64 kind_bytes = 0, zone_bytes = 0;
  for (auto &k : s.kinds) kind_bytes += k.size();
  for (auto &z : zones) zone_bytes += z.size();
  image_put_value<u32>(m, (u32)s.kinds.size());
  image_put_value<u32>(m, (u32)s.threads.size());
  image_put_value<u32>(m, (u32)zones.size());
  image_put_value<u64>(m, kind_bytes);
  image_put_value<u64>(m, zone_bytes);
  for (auto &k : s.kinds) image_put_value<u16>(m, (u16)k.size());
  for (auto &k : s.kinds) image_put(m, k.data(), k.size());
  for (auto &t : s.threads) image_put_value<u64>(m, t.size() * sizeof(profiler_event));
  for (size_t i = 0; i < s.threads.size(); i++) {
    image_put_value<u32>(m, i < s.thread_kinds.size() ? s.thread_kinds[i] : (i == 0 ? 1u : 0u));
  }
  for (auto &z : zones) image_put_value<u16>(m, (u16)z.size());
  for (auto &z : zones) image_put(m, z.data(), z.size());
  image_put_value<u64>(m, s.frequency);
  image_put_value<u64>(m, s.tsc_run);
  image_put_value<u64>(m, s.qpc_run);
  image_put_value<u8>(m, s.conversion);
  image_put_value<u8>(m, s.method);
  image_put_value<u8>(m, s.shift);
  image_put_value<u64>(m, s.bias);
  image_put_value<u64>(m, s.scale);
  image_put_value<u64>(m, s.offset);
  image_put_value<u32>(m, s.multiplier);
  image_put_value<u32>(m, s.multiplier_shift);
  return m;
}

// Header, metadata, padding to 16, events: the file layout.
inline std::vector<u8> image_build(const image_spec &s) {
  std::vector<u8> m = image_metadata(s);
  u64 total = 0;
  for (auto &t : s.threads) total += t.size() * sizeof(profiler_event);
  u64 padding = (0 - (40 + m.size())) & 15;
  std::vector<u8> v;
  image_put_value<u32>(v, 0x464F5250u);
  image_put_value<u32>(v, 1u);
  image_put_value<u64>(v, m.size());
  image_put_value<u64>(v, 40);
  image_put_value<u64>(v, total);
  image_put_value<u64>(v, 40 + m.size() + padding);
  image_put(v, m.data(), m.size());
  v.resize(v.size() + padding, 0);
  for (auto &t : s.threads) image_put(v, t.data(), t.size() * sizeof(profiler_event));
  return v;
}

// Metadata field offsets inside an image whose metadata starts at 40.
enum : size_t {
  image_at_kind_count = 40,
  image_at_thread_count = 44,
  image_at_zone_count = 48,
  image_at_kind_bytes = 52,
  image_at_zone_bytes = 60,
  image_at_kind_lengths = 68,
};

// A random balanced sequence: zones drawn from [2, zones) so recursion is common, TSC steps of
// 0 to 99 with an occasional step back (a thread moving between cores), frames and collapsed
// frames among the begins.
inline std::vector<profiler_event> image_random_events(std::mt19937_64 &rng, u32 pairs, u32 zones, u32 max_depth) {
  std::vector<profiler_event> out;
  std::vector<profiler_event> open;
  u64 tsc = 1000 + rng() % 1000;
  u32 left = pairs;
  while (left > 0 || !open.empty()) {
    bool can_begin = left > 0 && open.size() < max_depth;
    bool begin = can_begin && (open.empty() || rng() % 2 == 0);
    u64 step = rng() % 100;
    if (rng() % 16 == 0 && tsc > 200) {
      tsc -= rng() % 50;
    } else {
      tsc += step;
    }
    if (begin) {
      u32 zone = 2 + (u32)(rng() % (zones - 2));
      u32 flags = profiler_event_zone_begin;
      u32 kind = (u32)(rng() % 8);
      if (kind == 0) flags = profiler_event_frame_begin;
      if (kind == 1) flags = profiler_event_frame_begin | profiler_event_collapsed;
      profiler_event e = {tsc, zone, flags};
      out.push_back(e);
      open.push_back(e);
      left--;
    } else {
      profiler_event b = open.back();
      open.pop_back();
      u32 flags = (b.flags & ~1u) | profiler_event_zone_end;  // 2, 6 or 14
      out.push_back({tsc, b.zone, flags});
    }
  }
  return out;
}

// Per-zone figures of one thread, computed from its events by a plain recursive model.
struct model_stats {
  std::vector<u64> total, self, total_ticks, self_ticks, calls;
  u64 root_cycles = 0, root_ticks = 0;
};

struct model_node {
  u32 zone;
  u64 b, e, qb, qe;
  std::vector<size_t> children;
};

template <typename Convert>
inline model_stats model_compute(const std::vector<profiler_event> &events, u32 zones, Convert ticks) {
  std::vector<model_node> nodes(1, model_node{0, 0, 0, 0, 0, {}});
  std::vector<size_t> stack = {0};
  u64 latest = 0;
  for (profiler_event ev : events) {
    ev.tsc = std::max(ev.tsc, latest);  // readings never go back
    latest = ev.tsc;
    if (ev.flags & 1) {
      nodes.push_back({ev.zone, ev.tsc, 0, ticks(ev.tsc), 0, {}});
      nodes[stack.back()].children.push_back(nodes.size() - 1);
      stack.push_back(nodes.size() - 1);
    } else {
      model_node &n = nodes[stack.back()];
      n.e = ev.tsc;
      n.qe = std::max(ticks(n.e), n.qb);
      stack.pop_back();
    }
  }
  model_stats m;
  for (auto *v : {&m.total, &m.self, &m.total_ticks, &m.self_ticks, &m.calls}) v->assign(zones, 0);
  model_node &root = nodes[0];
  auto sub = [](u64 a, u64 b) { return a > b ? a - b : 0; };
  if (!root.children.empty()) {
    root.b = nodes[root.children.front()].b;
    root.qb = nodes[root.children.front()].qb;
    root.e = std::max(nodes[root.children.back()].e, root.b);
    root.qe = std::max(nodes[root.children.back()].qe, root.qb);
  }
  m.root_cycles = root.e - root.b;
  m.root_ticks = root.qe - root.qb;
  std::vector<int> open(zones, 0);
  auto visit = [&](auto &&self_fn, size_t i) -> void {
    model_node &n = nodes[i];
    u64 c = 0, q = 0;
    for (size_t k : n.children) c += nodes[k].e - nodes[k].b, q += nodes[k].qe - nodes[k].qb;
    if (i != 0) {
      m.calls[n.zone] += 1;
      if (open[n.zone] == 0) m.total[n.zone] += n.e - n.b, m.total_ticks[n.zone] += n.qe - n.qb;
      m.self[n.zone] += sub(n.e - n.b, c);
      m.self_ticks[n.zone] += sub(n.qe - n.qb, q);
      open[n.zone]++;
    } else {
      m.total[1] = m.self[1] = sub(n.e - n.b, c);
      m.total_ticks[1] = m.self_ticks[1] = sub(n.qe - n.qb, q);
    }
    for (size_t k : n.children) self_fn(self_fn, k);
    if (i != 0) open[n.zone]--;
  };
  visit(visit, 0);
  return m;
}

// The rows of computed statistics, put back in zone order.
inline model_stats stats_by_zone(const profiler_stats &s, u32 zones) {
  model_stats m;
  for (auto *v : {&m.total, &m.self, &m.total_ticks, &m.self_ticks, &m.calls}) v->assign(zones, 0);
  for (u32 i = 0; i < s.used_rows; i++) {
    u32 z = (u32)s.zone_index[i];
    m.total[z] = s.total[i];
    m.self[z] = s.self[i];
    m.total_ticks[z] = s.total_ticks[i];
    m.self_ticks[z] = s.self_ticks[i];
    m.calls[z] = s.calls[i];
  }
  return m;
}

// Rows dropped by compaction had a zero total; their calls are then irrelevant to the report.
inline void expect_stats_match(const model_stats &want, const model_stats &got, bool compacted) {
  for (size_t z = 0; z < want.total.size(); z++) {
    SCOPED_TRACE(z);
    EXPECT_EQ(want.total[z], got.total[z]);
    EXPECT_EQ(want.total_ticks[z], got.total_ticks[z]);
    if (compacted && want.total[z] == 0) continue;
    EXPECT_EQ(want.self[z], got.self[z]);
    EXPECT_EQ(want.self_ticks[z], got.self_ticks[z]);
    EXPECT_EQ(want.calls[z], got.calls[z]);
  }
}

// alpha [1000, 4000] holding beta [1500, 2500], then gamma [4000, 4500]; a counter of 1000 ticks
// per second at one tick per cycle. A second thread recorded nothing.
inline std::vector<u8> image_three_zones() {
  auto B = [](u64 tsc, u32 zone) { return profiler_event{tsc, zone, profiler_event_zone_begin}; };
  auto E = [](u64 tsc, u32 zone) { return profiler_event{tsc, zone, profiler_event_zone_end}; };
  image_spec s;
  s.zones = {"profiler_collapse", "profiler_not_measured", "alpha", "beta", "gamma"};
  s.threads = {{B(1000, 2), B(1500, 3), E(2500, 3), E(4000, 2), B(4000, 4), E(4500, 4)}, {}};
  s.frequency = 1000;
  s.tsc_run = s.qpc_run = 7;
  return image_build(s);
}
