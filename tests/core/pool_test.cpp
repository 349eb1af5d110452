#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/core.h"

namespace {

struct record {
  u32 live;
  u32 group;
  u32 key;
  u32 id;
  u64 filler;
};
const u64 record_size = sizeof(record);

u32 kill_calls, swap_calls, filter_calls;
bool record_is_live(void *item) { return ((record *)item)->live != 0; }
void record_kill(void *item) {
  ((record *)item)->live = 0;
  kill_calls++;
}
bool record_in_group(void *item, void *context) { return ((record *)item)->group == *(u32 *)context; }
bool record_key_less(void *a, void *b) { return ((record *)a)->key < ((record *)b)->key; }
void record_swap(void *a, void *b) {
  record t = *(record *)a;
  *(record *)a = *(record *)b;
  *(record *)b = t;
  swap_calls++;
}
bool accept_nothing(void *) {
  filter_calls++;
  return false;
}

struct pool_fixture {
  pool p;
  explicit pool_fixture(u32 capacity, bool reserved = false) {
    if (reserved) {
      EXPECT_TRUE(pool_reserve(&p, record_size, capacity));
    } else {
      pool_create(&p, record_size, 8, capacity);
    }
  }
  // The slots that may be looked at: a reserved pool's memory ends where it has been committed.
  u32 visible() const { return p.committed; }
  ~pool_fixture() { pool_destroy(&p); }
  record *at(u32 i) { return (record *)pool_get(&p, record_size, i); }
  record *alloc(u32 id, u32 group = 0, u32 key = 0) {
    record *r = (record *)pool_alloc(&p, record_size);
    if (r) *r = record{1, group, key, id, 0};
    return r;
  }
  void free(u32 index) {
    at(index)->live = 0;
    pool_free(&p, at(index), record_size);
  }
};

TEST(pool, memory_size_and_layout_in_an_arena) {
  EXPECT_EQ(pool_memory_size(280, 8, 10000), 2840000u);
  EXPECT_EQ(pool_memory_size(24, 8, 3), 12u + 4 + 72);
  buffer arena = memory_alloc(4096, nullptr);
  pool a, b;
  pool_create_in_arena(&arena, &a, 24, 8, 3);
  EXPECT_EQ(arena.used, pool_memory_size(24, 8, 3));
  EXPECT_EQ((u64)a.items % 8, 0u);
  pool_create_in_arena(&arena, &b, 16, 4, 5);
  EXPECT_EQ(b.block.data, a.block.data + a.block.size);
  // No room: a pool that hands out nothing, and the arena unchanged.
  u64 used = arena.used;
  pool_create_in_arena(&arena, &b, 16, 8, 1000);
  EXPECT_EQ(arena.used, used);
  EXPECT_EQ(b.max_entry_count, 0u);
  EXPECT_EQ(pool_alloc(&b, 16), nullptr);
  memory_free(&arena);
}

TEST(pool, slots_come_out_in_order_and_the_last_freed_comes_back_first) {
  pool_fixture f(3);
  EXPECT_EQ(pool_free_stack_at(&f.p, 0), 2u);
  EXPECT_EQ(pool_free_stack_at(&f.p, 1), 1u);
  EXPECT_EQ(pool_free_stack_at(&f.p, 2), 0u);
  EXPECT_EQ(f.alloc(0), f.at(0));
  EXPECT_EQ(f.alloc(1), f.at(1));
  EXPECT_EQ(f.alloc(2), f.at(2));
  EXPECT_EQ(f.alloc(3), nullptr);
  EXPECT_EQ(pool_index_of(&f.p, record_size, f.at(2)), 2u);
  f.free(1);
  EXPECT_EQ(f.alloc(4), f.at(1));
  EXPECT_EQ(pool_free_index(&f.p, 0), 2u);
  EXPECT_EQ(pool_alloc(&f.p, record_size), f.at(0));
}

#ifndef NDEBUG
TEST(pool, freeing_a_slot_twice_is_caught) {
  pool_fixture f(4);
  f.alloc(0);
  f.alloc(1);
  f.free(0);
  EXPECT_DEATH(pool_free(&f.p, f.at(0), record_size), "invariant broken");
  EXPECT_DEATH(pool_free_index(&f.p, 3), "invariant broken");
  f.free(1);
  EXPECT_DEATH(pool_free_index(&f.p, 1), "invariant broken");
}
#endif

TEST(pool, compaction_keeps_the_order_of_live_records) {
  pool_fixture f(6);
  for (u32 i = 0; i < 6; i++) f.alloc(100 + i);
  f.free(1);
  f.free(2);
  f.free(4);
  kill_calls = 0;
  pool_compact(&f.p, record_size, record_is_live, record_kill);
  EXPECT_EQ(kill_calls, 2u);
  EXPECT_EQ(f.at(0)->id, 100u);
  EXPECT_EQ(f.at(1)->id, 103u);
  EXPECT_EQ(f.at(2)->id, 105u);
  for (u32 i = 3; i < 6; i++) EXPECT_FALSE(f.at(i)->live) << i;
  EXPECT_EQ(f.p.entry_count, 3u);
  EXPECT_EQ(f.alloc(7), f.at(3));
}

TEST(pool, compaction_stays_in_the_pool_when_the_count_claims_too_many) {
  pool_fixture f(5);
  for (u32 i = 0; i < 5; i++) f.alloc(i);
  // Records dead behind the pool's back: the count says 5, only 2 are live.
  f.at(0)->live = 0;
  f.at(2)->live = 0;
  f.at(3)->live = 0;
  pool_compact(&f.p, record_size, record_is_live, record_kill);
  EXPECT_EQ(f.p.entry_count, 2u);
  EXPECT_EQ(f.at(0)->id, 1u);
  EXPECT_EQ(f.at(1)->id, 4u);
  EXPECT_EQ(f.alloc(9), f.at(2));
  EXPECT_EQ(f.alloc(9), f.at(3));
  EXPECT_EQ(f.alloc(9), f.at(4));
  EXPECT_EQ(f.alloc(9), nullptr);
}

TEST(pool, iterators_stop_after_the_count_and_reject_filters_walk_every_slot) {
  pool_fixture f(8);
  pool_iterator it = pool_iterator_init(&f.p, record_size, record_is_live);
  EXPECT_EQ(pool_iterator_next(&it), nullptr);
  for (u32 i = 0; i < 8; i++) f.alloc(i);
  filter_calls = 0;
  it = pool_iterator_init(&f.p, record_size, accept_nothing);
  EXPECT_EQ(pool_iterator_next(&it), nullptr);
  EXPECT_EQ(filter_calls, 8u);
  EXPECT_EQ(pool_iterator_next(&it), nullptr);
  EXPECT_EQ(it.current, nullptr);
}

// The walk ends with the last of entry_count accepted items: the free slots behind the last live
// one are never looked at, and a filter that accepts free slots too still yields only
// entry_count items.
u32 live_calls;
bool count_live(void *item) {
  live_calls++;
  return record_is_live(item);
}
bool accept_all(void *) { return true; }

TEST(pool, iterators_stop_at_the_last_live_item) {
  pool_fixture f(10);
  for (u32 s = 0; s < 10; s++) *f.at(s) = record{};
  for (u32 i = 0; i < 5; i++) f.alloc(i);
  f.free(1);
  f.free(4);  // live: 0, 2, 3
  live_calls = 0;
  pool_iterator it = pool_iterator_init(&f.p, record_size, count_live);
  EXPECT_EQ(pool_iterator_next(&it), f.at(0));
  EXPECT_EQ(pool_iterator_next(&it), f.at(2));
  EXPECT_EQ(pool_iterator_next(&it), f.at(3));
  EXPECT_EQ(it.accepted, 3u);
  EXPECT_EQ(pool_iterator_next(&it), nullptr);
  EXPECT_EQ(live_calls, 4u);
  it = pool_iterator_init(&f.p, record_size, accept_all);
  u32 n = 0;
  while (pool_iterator_next(&it)) n++;
  EXPECT_EQ(n, 3u);
}

TEST(pool, print_shows_the_top_free_slot_and_a_full_pool_safely) {
  pool_fixture f(3);
  f.alloc(0);
  f.at(0)->live = 0;
  f.at(1)->live = 77;  // the first byte of the next free item
  char text[256];
  buffer out = buffer_make(sizeof text, 0, text);
  ASSERT_TRUE(pool_print(&f.p, record_size, &out));
  EXPECT_EQ(std::string(text, out.used),
            "{\n    max_entry_count: 3\n    entry_count: 1\n    first free: [ 1 ] 1 first byte: 77\n}\n");
  f.alloc(1);
  f.alloc(2);
  out.used = 0;
  ASSERT_TRUE(pool_print(&f.p, record_size, &out));
  EXPECT_EQ(std::string(text, out.used), "{\n    max_entry_count: 3\n    entry_count: 3\n    first free: none\n}\n");
  buffer tiny = buffer_make(10, 0, text);
  EXPECT_FALSE(pool_print(&f.p, record_size, &tiny));
  EXPECT_EQ(tiny.used, 0u);
}

// The model: the accepted live records, stably sorted by key (descending for order 0, where a
// record is exchanged with a later one of greater key), placed back into their own slots.
std::vector<record> model_sort(std::vector<record> slots, u32 order, u32 group) {
  std::vector<u32> where;
  std::vector<record> picked;
  for (u32 s = 0; s < slots.size(); s++)
    if (slots[s].live && slots[s].group == group) {
      where.push_back(s);
      picked.push_back(slots[s]);
    }
  std::stable_sort(picked.begin(), picked.end(),
                   [&](const record &a, const record &b) { return order == 0 ? a.key > b.key : a.key < b.key; });
  for (u32 k = 0; k < where.size(); k++) slots[where[k]] = picked[k];
  return slots;
}

void expect_same_slots(pool_fixture *f, const std::vector<record> &model) {
  for (u32 s = 0; s < model.size(); s++) {
    record *r = f->at(s);
    ASSERT_EQ(r->live, model[s].live) << s;
    if (!r->live) continue;
    ASSERT_EQ(r->id, model[s].id) << s;
    ASSERT_EQ(r->key, model[s].key) << s;
  }
}

std::vector<record> snapshot(pool_fixture *f) {
  std::vector<record> v;
  for (u32 s = 0; s < f->visible(); s++) v.push_back(*f->at(s));
  return v;
}

// Random allocations, frees, compactions, sorts and filtered walks against a model of the slots.
void run_random_pool(u32 capacity, u32 steps, u32 seed, bool reserved = false, u32 alloc_share = 50) {
  pool_fixture f(capacity, reserved);
  for (u32 s = 0; s < f.visible(); s++) *f.at(s) = record{};
  std::mt19937 rng(seed);
  std::vector<u32> model_free;  // the free stack, top last
  for (u32 k = 0; k < capacity; k++) model_free.push_back(capacity - 1 - k);
  std::vector<u32> live;
  u32 next_id = 1;
  for (u32 step = 0; step < steps; step++) {
    u32 action = rng() % 100;
    if (action < alloc_share) {
      record *r = f.alloc(next_id, rng() % 3, rng() % 8);
      if (model_free.empty()) {
        ASSERT_EQ(r, nullptr);
        continue;
      }
      ASSERT_EQ(r, f.at(model_free.back()));
      live.push_back(model_free.back());
      model_free.pop_back();
      next_id++;
    } else if (action < 90) {
      if (live.empty()) continue;
      u32 pick = rng() % live.size();
      f.free(live[pick]);
      model_free.push_back(live[pick]);
      live.erase(live.begin() + pick);
    } else if (action < 93) {
      std::vector<record> before = snapshot(&f), expect;
      for (const record &r : before)
        if (r.live) expect.push_back(r);
      pool_compact(&f.p, record_size, record_is_live, record_kill);
      for (u32 s = 0; s < f.visible(); s++) {
        ASSERT_EQ(f.at(s)->live != 0, s < expect.size());
        if (s < expect.size()) {
          ASSERT_EQ(f.at(s)->id, expect[s].id);
        }
      }
      live.clear();
      for (u32 s = 0; s < expect.size(); s++) live.push_back(s);
      model_free.clear();
      for (u32 k = 0; k < capacity - expect.size(); k++) model_free.push_back(capacity - 1 - k);
    } else if (action < 97) {
      u32 order = rng() % 2, group = rng() % 3;
      std::vector<record> expect = model_sort(snapshot(&f), order, group);
      u32 n = 0;
      for (const record &r : expect) n += r.live && r.group == group;
      swap_calls = 0;
      pool_sort(&f.p, record_size, order, &group, record_is_live, record_in_group, record_key_less, record_swap);
      expect_same_slots(&f, expect);
      ASSERT_LE(swap_calls, n);
    } else {
      u32 group = rng() % 3;
      std::vector<u32> expect;
      for (u32 s = 0; s < f.visible(); s++)
        if (f.at(s)->live && f.at(s)->group == group) expect.push_back(s);
      static u32 filter_group;
      filter_group = group;
      pool_iterator it = pool_iterator_init(&f.p, record_size, [](void *item) {
        record *r = (record *)item;
        return r->live && r->group == filter_group;
      });
      std::vector<u32> got;
      while (void *item = pool_iterator_next(&it)) {
        ASSERT_EQ(item, it.current);
        got.push_back(pool_index_of(&f.p, record_size, item));
      }
      // The walk stops after entry_count accepted items: never fewer than all accepted here.
      ASSERT_EQ(got, expect);
    }
    ASSERT_EQ(f.p.entry_count, live.size());
    // The stack the pool keeps is the model's, bottom to top.
    if (step % 97 == 0) {
      ASSERT_EQ(model_free.size(), f.p.max_entry_count - f.p.entry_count);
      for (u32 k = 0; k < model_free.size(); k += 1 + k / 8) ASSERT_EQ(pool_free_stack_at(&f.p, k), model_free[k]) << k;
    }
  }
}

TEST(pool, random_operations_match_a_model) {
  for (u32 seed = 1; seed <= 6; seed++) run_random_pool(1 + seed * 7, 3000, seed);
  run_random_pool(2000, 20000, 99);
}

// A reserved pool behaves as a fixed one of the same capacity while its memory grows in steps:
// the random walk fills it past several commit steps and up to its capacity.
TEST(pool, a_reserved_pool_matches_the_model_across_commit_steps) {
  run_random_pool(11500, 15000, 7, true, 85);
  run_random_pool(9, 3000, 8, true);
}

TEST(pool, a_reserved_pool_commits_only_what_its_high_water_mark_needs) {
  const u32 capacity = 4000000;
  pool_fixture f(capacity, true);
  EXPECT_EQ(f.p.block.used, 0u);
  EXPECT_GE(f.p.block.size, (u64)capacity * record_size);
  // Walks of an empty reserved pool look at nothing, whatever its capacity.
  filter_calls = 0;
  pool_iterator it = pool_iterator_init(&f.p, record_size, accept_nothing);
  EXPECT_EQ(pool_iterator_next(&it), nullptr);
  EXPECT_EQ(filter_calls, 0u);
  for (u32 i = 0; i < 100000; i++) ASSERT_EQ(f.alloc(i), f.at(i));
  EXPECT_GE(f.p.committed, 100000u);
  EXPECT_LT(f.p.block.used, (u64)200000 * record_size);
  EXPECT_LT(f.p.stack_block.used, (u64)200000 * 4);
  // A rejecting filter walks the slots handed out, not the capacity.
  filter_calls = 0;
  it = pool_iterator_init(&f.p, record_size, accept_nothing);
  EXPECT_EQ(pool_iterator_next(&it), nullptr);
  EXPECT_EQ(filter_calls, 100000u);
  // Freed slots come back last first, then the pool goes on where it stopped.
  f.free(5);
  f.free(70000);
  EXPECT_EQ(f.alloc(1), f.at(70000));
  EXPECT_EQ(f.alloc(2), f.at(5));
  EXPECT_EQ(f.alloc(3), f.at(100000));
}

TEST(pool, a_full_reserved_pool_and_a_refused_commit_give_null) {
  pool_fixture f(70000, true);
  for (u32 i = 0; i < 70000; i++) ASSERT_NE(f.alloc(i), nullptr) << i;
  EXPECT_EQ(f.alloc(0), nullptr);
  f.free(123);
  EXPECT_EQ(f.alloc(9), f.at(123));

  pool_fixture g(1000000, true);
  ASSERT_NE(g.alloc(0), nullptr);
  u32 committed = g.p.committed;
  for (u32 i = 1; i < committed; i++) ASSERT_NE(g.alloc(i), nullptr);
  memory_fault_inject(memory_fault_commit, 0);
  EXPECT_EQ(g.alloc(0), nullptr);
  memory_fault_inject(memory_fault_commit, -1);
  EXPECT_EQ(g.p.entry_count, committed);
  EXPECT_EQ(g.alloc(0), g.at(committed));
}

TEST(pool, fill_front_takes_the_first_slots_as_a_load_does) {
  pool_fixture f(500000, true);
  ASSERT_TRUE(pool_fill_front(&f.p, record_size, 300000));
  EXPECT_EQ(f.p.entry_count, 300000u);
  EXPECT_GE(f.p.committed, 300000u);
  f.at(299999)->live = 1;  // the memory is there
  EXPECT_EQ(f.alloc(0), f.at(300000));
  EXPECT_FALSE(pool_fill_front(&f.p, record_size, 500001));
  pool_fixture small(3);
  ASSERT_TRUE(pool_fill_front(&small.p, record_size, 2));
  EXPECT_EQ(small.alloc(0), small.at(2));
  EXPECT_EQ(small.alloc(0), nullptr);
}

TEST(pool, sort_orders_both_ways_is_stable_and_leaves_other_slots_alone) {
  pool_fixture f(1500);
  std::mt19937 rng(5);
  for (u32 i = 0; i < 1500; i++) f.alloc(i, rng() % 2, rng() % 50);
  for (u32 i = 0; i < 1500; i += 7) f.free(i);
  for (u32 order = 0; order < 2; order++) {
    u32 group = 1;
    std::vector<record> expect = model_sort(snapshot(&f), order, group);
    pool_sort(&f.p, record_size, order, &group, record_is_live, record_in_group, record_key_less, record_swap);
    expect_same_slots(&f, expect);
  }
}

TEST(pool, sort_without_memory_for_its_ranks_still_sorts) {
  pool_fixture f(1200);
  std::mt19937 rng(8);
  for (u32 i = 0; i < 1200; i++) f.alloc(i, 0, rng() % 1000);
  for (u32 i = 0; i < 1200; i += 5) f.free(i);
  u32 group = 0;
  std::vector<record> expect = model_sort(snapshot(&f), 1, group);
  // Refused first for the slots, then (with the slots found) for the ranks.
  for (s32 successes = 0; successes < 2; successes++) {
    pool_sort(&f.p, record_size, 0, &group, record_is_live, record_in_group, record_key_less, record_swap);
    memory_fault_inject(memory_fault_alloc, successes);
    pool_sort(&f.p, record_size, 1, &group, record_is_live, record_in_group, record_key_less, record_swap);
    memory_fault_inject(memory_fault_alloc, -1);
    // The fallback is not stable: compare keys only.
    for (u32 s = 0; s < 1200; s++) {
      ASSERT_EQ(f.at(s)->live, expect[s].live);
      ASSERT_EQ(f.at(s)->key, expect[s].key) << s;
    }
  }
}

}  // namespace
