// Growing arenas against a model: what fits the limit is pushed and keeps its bytes, commits stay
// within the limit and come in steps, a reached limit is reported once by name, and memory given
// back leaves the arena usable.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/buffer.h"

static std::vector<std::string> reports;
static void record_report(const char *name, u64 limit) { reports.push_back(std::string(name) + ":" + std::to_string(limit)); }

struct arena_fixture : ::testing::Test {
  void SetUp() override {
    reports.clear();
    arena_set_limit_report(record_report);
  }
  void TearDown() override { arena_set_limit_report(nullptr); }
};

TEST_F(arena_fixture, pushes_match_a_model_of_the_limit_over_random_sequences) {
  std::mt19937_64 rng(7);
  for (u32 flags : {0u, (u32)arena_flag_double}) {
    arena a;
    const u64 step = KiB(64), limit = MiB(1) + KiB(12);
    ASSERT_TRUE(arena_reserve(&a, MiB(4), 0, step, "test arena", flags));
    arena_set_limit(&a, limit);
    buffer view = arena_view(&a);
    std::vector<std::pair<u8 *, u8>> written;  // a pushed byte and the value it must keep
    for (int i = 0; i < 4000; i++) {
      u64 n = rng() % 3 == 0 ? rng() % KiB(200) : rng() % 300;
      u64 alignment = u64(1) << (rng() % 4);
      u64 pad = align_padding((u64)buffer_end(view), alignment);
      bool fits = view.used + pad + n <= limit;
      u8 *p = (u8 *)arena_push(&a, &view, n, alignment);
      ASSERT_EQ(p != nullptr || n == 0, fits) << "push " << i << " of " << n;
      ASSERT_LE(a.memory.used, limit);
      ASSERT_EQ(view.size, a.memory.used);
      ASSERT_TRUE(a.memory.used % memory_page_size == 0);
      if (p && n) {
        u8 value = (u8)rng();
        memset(p, value, n);
        written.push_back({p + n - 1, value});
      }
      if (rng() % 50 == 0) {  // a rollback to an earlier point keeps the commits
        u64 back = rng() % (view.used + 1);
        while (!written.empty() && (u64)(written.back().first - view.data) >= back) {
          written.pop_back();
        }
        view.used = back;
      }
    }
    for (auto &w : written) ASSERT_EQ(*w.first, w.second);
    EXPECT_EQ(reports.size(), 1u) << "a reached limit is logged once";
    if (!reports.empty()) {
      EXPECT_EQ(reports[0], "test arena:" + std::to_string(limit));
    }
    reports.clear();
    arena_release(&a);
  }
}

TEST_F(arena_fixture, commits_come_in_steps_and_doubling_arenas_grow_by_their_size) {
  arena a;
  ASSERT_TRUE(arena_reserve(&a, MiB(64), KiB(64), KiB(64), "steps", 0));
  buffer view = arena_view(&a);
  EXPECT_EQ(view.size, KiB(64));
  ASSERT_NE(arena_push(&a, &view, KiB(64) + 1, 1), nullptr);
  EXPECT_EQ(a.memory.used, KiB(128)) << "one more step";
  arena_release(&a);

  ASSERT_TRUE(arena_reserve(&a, MiB(64), MiB(1), KiB(64), "doubling", arena_flag_double));
  view = arena_view(&a);
  ASSERT_NE(arena_push(&a, &view, MiB(1) + 1, 1), nullptr);
  EXPECT_EQ(a.memory.used, MiB(2));
  ASSERT_NE(arena_push(&a, &view, MiB(1), 1), nullptr);
  EXPECT_EQ(a.memory.used, MiB(4));
  arena_release(&a);
}

TEST_F(arena_fixture, a_refused_commit_changes_nothing_and_memory_given_back_can_be_taken_again) {
  arena a;
  ASSERT_TRUE(arena_reserve(&a, MiB(8), KiB(64), KiB(64), "refused", 0));
  buffer view = arena_view(&a);
  ASSERT_NE(arena_push(&a, &view, KiB(60), 1), nullptr);
  // The system refuses the step: the push fails and nothing changes.
  memory_fault_inject(memory_fault_commit, 0);
  EXPECT_EQ(arena_push(&a, &view, KiB(8), 1), nullptr);
  memory_fault_inject(memory_fault_commit, -1);
  EXPECT_EQ(view.used, KiB(60));
  EXPECT_EQ(a.memory.used, KiB(64));
  EXPECT_TRUE(reports.empty()) << "the system's refusal is not the limit";
  // A doubling arena asks for more than it needs; refused that, it tries what the push needs.
  arena d;
  ASSERT_TRUE(arena_reserve(&d, MiB(8), KiB(64), KiB(64), "doubling", arena_flag_double));
  buffer dv = arena_view(&d);
  ASSERT_NE(arena_push(&d, &dv, KiB(60), 1), nullptr);
  memory_fault_inject(memory_fault_commit, 0);
  EXPECT_NE(arena_push(&d, &dv, KiB(8), 1), nullptr);
  memory_fault_inject(memory_fault_commit, -1);
  EXPECT_EQ(dv.used, KiB(68));
  EXPECT_EQ(d.memory.used, KiB(68));
  arena_release(&d);
  ASSERT_NE(arena_push(&a, &view, MiB(2), 1), nullptr);
  arena_give_back(&a, &view, KiB(16));
  EXPECT_EQ(a.memory.used, KiB(16));
  EXPECT_EQ(view.size, KiB(16));
  EXPECT_EQ(view.used, KiB(16));
  view.used = 0;
  u8 *p = (u8 *)arena_push(&a, &view, MiB(1), 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[MiB(1) - 1], 0) << "pages given back return zeroed";
  arena_release(&a);
  EXPECT_EQ(a.memory.data, nullptr);
  EXPECT_EQ(arena_push(&a, &view, 1, 1), nullptr) << "a released arena refuses";
}

TEST_F(arena_fixture, a_quiet_arena_leaves_the_report_to_its_caller_and_a_new_limit_may_be_reported_again) {
  arena a;
  ASSERT_TRUE(arena_reserve(&a, KiB(64), 0, KiB(4), "quiet", arena_flag_quiet));
  buffer view = arena_view(&a);
  EXPECT_EQ(arena_push(&a, &view, KiB(65), 1), nullptr);
  EXPECT_TRUE(reports.empty());
  arena_release(&a);
  ASSERT_TRUE(arena_reserve(&a, KiB(64), 0, KiB(4), "loud", 0));
  view = arena_view(&a);
  arena_set_limit(&a, KiB(8));
  EXPECT_EQ(arena_push(&a, &view, KiB(9), 1), nullptr);
  EXPECT_EQ(arena_push(&a, &view, KiB(9), 1), nullptr);
  arena_set_limit(&a, KiB(16));
  EXPECT_NE(arena_push(&a, &view, KiB(9), 1), nullptr);
  EXPECT_EQ(arena_push(&a, &view, KiB(9), 1), nullptr);
  EXPECT_EQ(reports, (std::vector<std::string>{"loud:8192", "loud:16384"}));
  arena_release(&a);
}

// Pages committed under a higher limit stay when it is lowered, yet no view reaches past the
// new one, however it was made; raised again, the limit gives them back to pushes without a
// commit.
TEST_F(arena_fixture, a_lowered_limit_holds_over_pages_committed_before_it) {
  arena a;
  ASSERT_TRUE(arena_reserve(&a, MiB(4), 0, KiB(64), "lowered", arena_flag_quiet));
  buffer view = arena_view(&a);
  ASSERT_NE(arena_push(&a, &view, MiB(3), 1), nullptr);
  const u64 committed = a.memory.used;
  ASSERT_GE(committed, (u64)MiB(3));
  for (u64 limit : {(u64)KiB(64), (u64)MiB(1) + 100, (u64)MiB(1) + KiB(4), committed - KiB(4)}) {
    arena_set_limit(&a, limit);
    view = arena_view(&a);
    EXPECT_EQ(view.size, limit);
    EXPECT_EQ(arena_push(&a, &view, limit + 1, 1), nullptr) << limit;
    EXPECT_EQ(view.size, limit) << "a refused push leaves the view at the limit";
    ASSERT_NE(arena_push(&a, &view, limit - 8, 1), nullptr) << limit;
    view.size = 8;  // as a mark rolled back to a narrower view leaves it
    view.used = 0;
    EXPECT_NE(arena_push(&a, &view, limit, 1), nullptr) << "widened back to the limit, not past it";
    EXPECT_EQ(view.size, limit);
    EXPECT_EQ(arena_push(&a, &view, 1, 1), nullptr);
    EXPECT_EQ(a.memory.used, committed) << "nothing committed or given back";
  }
  arena_set_limit(&a, MiB(4));
  view = arena_view(&a);
  EXPECT_EQ(view.size, committed);
  ASSERT_NE(arena_push(&a, &view, committed, 1), nullptr);
  EXPECT_EQ(a.memory.used, committed);
  EXPECT_TRUE(reports.empty());
  arena_release(&a);
}
