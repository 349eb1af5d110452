#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "profile_image.h"
#include "profiler/profile.h"

namespace {

// A profile holding only names and a 1:1 clock, for trees built by hand.
struct small_profile {
  profiler_profile p = {};
  std::vector<std::string> names;
  std::vector<u16> lengths;
  std::vector<const u8 *> texts;
  explicit small_profile(u32 zones) {
    for (u32 i = 0; i < zones; i++) names.push_back(i < profiler_zone_count ? std::string(profiler_zone_names[i].text) : "z" + std::to_string(i));
    for (auto &n : names) lengths.push_back((u16)n.size()), texts.push_back((const u8 *)n.data());
    p.zone_count = zones;
    p.zone_names = texts.data();
    p.zone_name_lengths = lengths.data();
    p.qpc_frequency = 1000;
    p.tsc_run = p.qpc_run = 1;
    p.name_width = 40;
    p.indent = 2;
  }
};

struct built_tree {
  buffer block = {};
  profiler_stats stats = {};
  profiler_node *root = nullptr;
  u32 error = 0;
  ~built_tree() {
    memory_free(&block);
    profiler_stats_free(&stats);
  }
};

void build(built_tree &t, profiler_profile *p, const std::vector<profiler_event> &ev, bool with_stats = true,
           const char *label = nullptr, u64 label_length = 0) {
  t.root = profiler_tree_build(p, (const u8 *)ev.data(), ev.size() * sizeof(profiler_event), label, label_length,
                               &t.block, with_stats ? &t.stats : nullptr, &t.error);
}

profiler_event B(u64 tsc, u32 zone) { return {tsc, zone, profiler_event_zone_begin}; }
profiler_event E(u64 tsc, u32 zone) { return {tsc, zone, profiler_event_zone_end}; }

}  // namespace

TEST(profile_tree, nested_zones_make_a_root_child_and_grandchild) {
  small_profile sp(8);
  built_tree t;
  build(t, &sp.p, {B(10, 2), B(20, 3), E(50, 3), E(100, 2)}, true, "run", 3);
  ASSERT_EQ(t.error, 0u);
  profiler_node *a = t.root->first_child;
  ASSERT_TRUE(a && a->first_child);
  profiler_node *b = a->first_child;
  EXPECT_EQ(a->zone, 2u);
  EXPECT_EQ(b->zone, 3u);
  EXPECT_EQ(t.root->child_count, 1u);
  EXPECT_EQ(a->tsc_children, 30u);
  EXPECT_EQ(t.root->tsc_begin, 10u);
  EXPECT_EQ(t.root->tsc_end, 100u);
  EXPECT_STREQ(b->label, "run");
  EXPECT_STREQ(t.root->label, "run");
  EXPECT_TRUE(profiler_node_is_root(t.root));
  EXPECT_FALSE(profiler_node_is_root(b));
  EXPECT_EQ(profiler_node_root(b), t.root);
  // The block holds exactly the root and one node per pair, labels padded to 8 bytes.
  EXPECT_EQ(t.block.used, 3 * profiler_node_stride(3));
  EXPECT_EQ(profiler_node_stride(3) % 8, 0u);
}

TEST(profile_tree, recursive_zone_self_time_excludes_only_other_zones) {
  // A(100) holding A(60) holding B(20): A's own time is 100 - 20.
  small_profile sp(8);
  built_tree t;
  build(t, &sp.p, {B(0, 2), B(20, 2), B(30, 3), E(50, 3), E(80, 2), E(100, 2)});
  ASSERT_EQ(t.error, 0u);
  model_stats got = stats_by_zone(t.stats, 8);
  EXPECT_EQ(got.total[2], 100u);
  EXPECT_EQ(got.self[2], 80u);
  EXPECT_EQ(got.calls[2], 2u);
  EXPECT_EQ(got.total[3], 20u);
  EXPECT_EQ(got.self[3], 20u);
  // The windowed computation over the whole run follows the same rule.
  profiler_stats s = {};
  u32 e = 0;
  profiler_stats_create(&s, 8, &e);
  profiler_stats_compute_window(&s, t.root, profiler_stats_descend, {0, 1000, 0, 1000});
  EXPECT_EQ(s.total[2], 100u);
  EXPECT_EQ(s.self[2], 80u);
  // A inside B inside A: the inner A's own time still counts for A.
  built_tree u;
  build(u, &sp.p, {B(0, 2), B(10, 3), B(20, 2), E(40, 2), E(60, 3), E(100, 2)});
  profiler_stats_compute(&s, u.root, profiler_stats_descend);
  EXPECT_EQ(s.total[2], 100u);
  EXPECT_EQ(s.self[2], 50u + 20u);
  EXPECT_EQ(s.self[3], 30u);
  profiler_stats_free(&s);
}

TEST(profile_tree, statistics_match_a_model_over_random_sequences) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 300; round++) {
    SCOPED_TRACE(round);
    small_profile sp(6 + round % 10);
    sp.p.tsc_run = 7;
    sp.p.qpc_run = 3 + round % 5;
    std::vector<profiler_event> ev = image_random_events(rng, 1 + (u32)(rng() % 60), sp.p.zone_count, 1 + round % 12);
    built_tree t;
    build(t, &sp.p, ev);
    ASSERT_EQ(t.error, 0u);
    auto ticks = [&](u64 x) { return profiler_ticks_to_qpc(&sp.p, x); };
    model_stats want = model_compute(ev, sp.p.zone_count, ticks);
    expect_stats_match(want, stats_by_zone(t.stats, sp.p.zone_count), true);
    EXPECT_EQ(sp.p.max_root_cycles, want.root_cycles);
    // Sorted largest first, zones in order among equal totals, no zero total kept.
    for (u32 i = 0; i + 1 < t.stats.used_rows; i++) {
      bool ordered = t.stats.total[i] > t.stats.total[i + 1] ||
                     (t.stats.total[i] == t.stats.total[i + 1] && t.stats.zone_index[i] < t.stats.zone_index[i + 1]);
      EXPECT_TRUE(ordered);
    }
    EXPECT_EQ(t.stats.used_rows, profiler_stats_count_used(&t.stats));
    // A window over everything gives the whole-tree answer; the window covers what was inside.
    profiler_stats s = {};
    u32 e = 0;
    profiler_stats_create(&s, sp.p.zone_count, &e);
    profiler_window_times w = profiler_stats_compute_window(&s, t.root, profiler_stats_descend, {0, UINT64_MAX, 0, UINT64_MAX});
    expect_stats_match(want, stats_by_zone(s, sp.p.zone_count), false);
    EXPECT_EQ(w.cycles, t.root->tsc_children);
    profiler_stats_free(&s);
    sp.p.max_root_cycles = 0;
  }
}

TEST(profile_tree, window_clips_each_node_on_both_clocks) {
  small_profile sp(8);
  built_tree t;
  // A [0,100] holding B [10,30] and C [60,90]; D [120,140] lies outside the window [20,80].
  build(t, &sp.p, {B(0, 2), B(10, 3), E(30, 3), B(60, 4), E(90, 4), E(100, 2), B(120, 5), E(140, 5)});
  ASSERT_EQ(t.error, 0u);
  profiler_stats s = {};
  u32 e = 0;
  profiler_stats_create(&s, 8, &e);
  profiler_window_times w = profiler_stats_compute_window(&s, t.root, profiler_stats_descend, {20, 80, 20, 80});
  EXPECT_EQ(w.cycles, 60u);
  EXPECT_EQ(s.total[2], 60u);
  EXPECT_EQ(s.self[2], 60u - 10u - 20u);
  EXPECT_EQ(s.total[3], 10u);
  EXPECT_EQ(s.total[4], 20u);
  EXPECT_EQ(s.calls[5], 0u);
  EXPECT_EQ(s.total_ticks[4], 20u);
  // Without descending only the top level is added, its self time still net of its children.
  profiler_stats_compute_window(&s, t.root, 0, {20, 80, 20, 80});
  EXPECT_EQ(s.total[2], 60u);
  EXPECT_EQ(s.self[2], 30u);
  EXPECT_EQ(s.calls[3], 0u);
  profiler_stats_free(&s);
}

TEST(profile_tree, unbalanced_or_unknown_events_are_rejected) {
  small_profile sp(8);
  std::vector<std::vector<profiler_event>> bad = {
      {B(0, 2)},                          // a begin never ended
      {B(0, 2), B(1, 3), E(2, 3)},        // more begins than ends
      {E(0, 2)},                          // an end at the root
      {B(0, 2), E(1, 2), E(2, 2)},        // an end after the root closed
      {B(0, 8), E(1, 8)},                 // a zone past the table
      {B(0, 2), {1, 2, 0}, E(2, 2)},      // neither begin nor end
  };
  for (size_t i = 0; i < bad.size(); i++) {
    SCOPED_TRACE(i);
    built_tree t;
    build(t, &sp.p, bad[i]);
    EXPECT_EQ(t.error, (u32)profiler_error_malformed);
    EXPECT_EQ(t.root, nullptr);
    EXPECT_EQ(t.block.data, nullptr);
  }
  // Equal begin and end is a zero-length zone; an end before its begin is clamped to it.
  built_tree t;
  build(t, &sp.p, {B(50, 2), E(50, 2), B(60, 3), E(40, 3)});
  ASSERT_EQ(t.error, 0u);
  EXPECT_EQ(t.root->first_child->tsc_end, 50u);
  EXPECT_EQ(t.root->last_child->tsc_end, 60u);
  EXPECT_EQ(t.root->last_child->qpc_end, t.root->last_child->qpc_begin);
  // No events: a lone root.
  built_tree empty;
  build(empty, &sp.p, {});
  ASSERT_EQ(empty.error, 0u);
  EXPECT_EQ(empty.root->first_child, nullptr);
}

TEST(profile_tree, deep_nesting_builds_reports_and_walks_without_recursion) {
  small_profile sp(4);
  std::vector<profiler_event> ev;
  const u32 depth = 200000;
  for (u32 i = 0; i < depth; i++) ev.push_back(B(i, 2 + i % 2));
  for (u32 i = depth; i-- > 0;) ev.push_back(E(2 * depth - i, 2 + i % 2));
  built_tree t;
  build(t, &sp.p, ev);
  ASSERT_EQ(t.error, 0u);
  profiler_iterator it = profiler_iterator_make(t.root);
  u32 n = 0;
  while (profiler_iterator_next_depth(&it)) n++;
  EXPECT_EQ(n, depth);
  EXPECT_EQ(profiler_node_find_child(t.root, 99), nullptr);
  std::vector<u8> out(depth * 80);
  buffer o = buffer_make(out.size(), 0, out.data());
  u32 e = 0;
  profiler_report_widths(&sp.p);
  profiler_report_tree(&sp.p, &o, t.root, 0, &e);
  EXPECT_EQ(e, 0u);
  // The indent stops at the name column.
  std::string text((char *)out.data(), o.used);
  std::string last = text.substr(text.rfind('\n', text.size() - 2) + 1);
  EXPECT_EQ(last.find_first_not_of(' '), 40u);
}

TEST(profile_tree, conversions_are_exact_and_reject_nothing_they_can_compute) {
  profiler_profile p = {};
  std::mt19937_64 rng(3);
  // The run's own length converts to exactly the counter's length, for any pair.
  for (int i = 0; i < 100000; i++) {
    p.tsc_run = rng() >> (rng() % 64);
    p.qpc_run = rng() >> (rng() % 64);
    if (p.tsc_run == 0) continue;
    ASSERT_EQ(profiler_ticks_to_qpc(&p, p.tsc_run), p.qpc_run);
  }
  p.tsc_run = 3;
  p.qpc_run = 2;
  EXPECT_EQ(profiler_ticks_to_qpc(&p, UINT64_MAX), UINT64_MAX / 3 * 2);
  p.tsc_run = 1;
  p.qpc_run = 5;
  EXPECT_EQ(profiler_ticks_to_qpc(&p, UINT64_MAX), UINT64_MAX);  // saturates
  p.tsc_run = 0;
  EXPECT_EQ(profiler_ticks_to_qpc(&p, 100), 0u);

  p.tsc_conversion = profiler_conversion_system;
  p.tsc_method = 1;
  p.qpc_bias = 10;
  p.qpc_shift = 3;
  EXPECT_EQ(profiler_ticks_to_qpc(&p, 70), 10u);
  p.tsc_method = 2;
  p.hypervisor_scale = 1ull << 63;  // one half
  p.hypervisor_offset = 6;
  EXPECT_EQ(profiler_ticks_to_qpc(&p, 100), (50 + 6 + 10) >> 3);

  p.tsc_conversion = profiler_conversion_multiplier;
  p.multiplier = 0xFFFFFFFFu;
  for (u32 shift = 0; shift < 128; shift++) {
    unsigned __int128 want = ((unsigned __int128)0xFFFFFFFFu * UINT64_MAX) >> shift;
    p.multiplier_shift = shift;
    ASSERT_EQ(profiler_ticks_to_qpc(&p, UINT64_MAX), (u64)want) << shift;
  }
}

TEST(profile_tree, queries_and_walks_follow_their_orders) {
  small_profile sp(12);
  // root: A(a1(x), a2), B(b1)   with zones A=2 a1=3 x=4 a2=5 B=6 b1=7
  built_tree t;
  build(t, &sp.p, {B(0, 2), B(1, 3), B(2, 4), E(3, 4), E(4, 3), B(5, 5), E(6, 5), E(7, 2), B(8, 6), B(9, 7), E(10, 7), E(11, 6)});
  ASSERT_EQ(t.error, 0u);
  auto order = [&](profiler_node *(*next)(profiler_iterator *)) {
    std::vector<u32> z;
    profiler_iterator it = profiler_iterator_make(t.root);
    while (profiler_node *n = next(&it)) z.push_back(n->zone);
    return z;
  };
  EXPECT_EQ(order(profiler_iterator_next_depth), (std::vector<u32>{2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(order(profiler_iterator_next_breadth), (std::vector<u32>{2, 6, 3, 5, 4, 7}));
  EXPECT_EQ(profiler_node_find(t.root, 7)->zone, 7u);
  EXPECT_EQ(profiler_node_find(t.root, 0), nullptr);  // the root's zone is not a match
  // find_child prefers a direct child, then searches the subtrees in order.
  EXPECT_EQ(profiler_node_find_child(t.root, 6), t.root->last_child);
  EXPECT_EQ(profiler_node_find_child(t.root, 4)->zone, 4u);
  EXPECT_EQ(profiler_node_find_child(t.root->first_child, 2), nullptr);

  // A zone found again lower down: the shallower one in the earlier subtree wins.
  built_tree u;
  build(u, &sp.p, {B(0, 2), B(1, 3), B(2, 9), E(3, 9), E(4, 3), B(5, 9), E(6, 9), E(7, 2)});
  EXPECT_EQ(profiler_node_find_child(u.root, 9)->tsc_begin, 5u);
  EXPECT_EQ(profiler_node_find(u.root, 9)->tsc_begin, 2u);

  EXPECT_EQ(profiler_zone_find(&sp.p, "profiler_not_measured", 21), 1u);
  EXPECT_EQ(profiler_zone_find(&sp.p, "profiler", 8), UINT32_MAX);
  EXPECT_EQ(profiler_zone_find(&sp.p, nullptr, 0), UINT32_MAX);
}

TEST(profile_tree, sort_and_compact_order_rows_like_a_model) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 200; round++) {
    u32 rows = 1 + (u32)(rng() % 300);
    profiler_stats s = {};
    u32 e = 0;
    profiler_stats_create(&s, rows, &e);
    ASSERT_EQ(e, 0u);
    std::vector<std::pair<u64, s32>> want;
    for (u32 i = 0; i < rows; i++) {
      s.total[i] = rng() % 3 == 0 ? 0 : rng() % 20;
      s.calls[i] = s.total[i] * 7 + i;  // moves with its row
      if (s.total[i]) want.push_back({s.total[i], (s32)i});
    }
    profiler_stats_compact(&s);
    ASSERT_EQ(s.used_rows, want.size());
    bool ascending = round % 2;
    profiler_stats_sort(&s, ascending ? (u32)profiler_stats_ascending : 0u);
    std::sort(want.begin(), want.end(), [&](auto a, auto b) {
      if (a.first != b.first) return ascending ? a.first < b.first : a.first > b.first;
      return a.second < b.second;
    });
    for (u32 i = 0; i < s.used_rows; i++) {
      ASSERT_EQ(s.total[i], want[i].first);
      ASSERT_EQ(s.zone_index[i], want[i].second);
      ASSERT_EQ(s.calls[i], want[i].first * 7 + (u64)want[i].second);
    }
    profiler_stats_free(&s);
  }
}

TEST(profile_tree, zone_find_gives_the_runtime_numbers) {
  small_profile sp(profiler_zone_count);
  EXPECT_EQ(profiler_zone_find(&sp.p, "frame", 5), 101u);
  EXPECT_EQ(profiler_zone_find(&sp.p, "thread_loop", 11), 41u);
  EXPECT_EQ(profiler_zone_find(&sp.p, "no_such_zone", 12), UINT32_MAX);
}
