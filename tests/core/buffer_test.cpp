#include <gtest/gtest.h>
#include <string.h>

#include "core/core.h"

namespace {

// An arena over a static block whose data sits at a chosen offset from an 8-byte boundary.
struct offset_arena {
  alignas(64) u8 storage[512];
  buffer make(u64 offset, u64 size) { return buffer_make(size, 0, storage + offset); }
};

TEST(buffer_push, aligns_on_the_absolute_address_not_on_used) {
  offset_arena a;
  buffer b = a.make(5, 64);
  u8 *p = (u8 *)buffer_push(&b, 4, 8);
  EXPECT_EQ(p, a.storage + 8);
  EXPECT_EQ(b.used, 7u);
}

TEST(buffer_push, exact_fit_succeeds_and_one_more_byte_fails_unchanged) {
  offset_arena a;
  for (u64 align : {1, 2, 4, 8}) {
    for (u64 offset = 0; offset < 8; offset++) {
      buffer b = a.make(offset, 40);
      u64 padding = align_padding((u64)(b.data), align);
      buffer c = b;
      ASSERT_NE(buffer_push(&b, 40 - padding, align), nullptr);
      EXPECT_EQ(b.used, b.size);
      EXPECT_EQ(buffer_push(&c, 41 - padding, align), nullptr);
      EXPECT_EQ(c.used, 0u);
    }
  }
}

TEST(buffer_push, huge_sizes_never_wrap_the_fit_test) {
  offset_arena a;
  buffer b = a.make(1, 64);
  b.used = 3;
  EXPECT_EQ(buffer_push(&b, UINT64_MAX, 8), nullptr);
  EXPECT_EQ(buffer_push(&b, UINT64_MAX - 2, 1), nullptr);
  EXPECT_EQ(b.used, 3u);
  EXPECT_EQ(buffer_carve(&b, UINT64_MAX - 5, 8).data, nullptr);
  EXPECT_EQ(b.used, 3u);
  EXPECT_EQ(buffer_push_array(&b, u64, UINT64_MAX / 4), nullptr);
  EXPECT_EQ(b.used, 3u);
}

TEST(buffer_push, zero_bytes_only_aligns) {
  offset_arena a;
  buffer b = a.make(3, 64);
  u8 *p = (u8 *)buffer_push(&b, 0, 0);
  EXPECT_EQ(p, a.storage + 8);
  EXPECT_EQ(b.used, 5u);
}

TEST(buffer_push, typed_pushes_store_values_at_their_width) {
  offset_arena a;
  buffer b = a.make(1, 64);
  u8 *p8 = buffer_push_u8(&b, 0xAB, 0);
  u16 *p16 = buffer_push_u16(&b, 0x1234, 0);
  u32 *p32 = buffer_push_u32(&b, 0xDEADBEEF, 0);
  s32 *ps = buffer_push_s32(&b, -7, 0);
  ASSERT_TRUE(p8 && p16 && p32 && ps);
  EXPECT_EQ((u64)p16 % 2, 0u);
  EXPECT_EQ((u64)p32 % 4, 0u);
  EXPECT_EQ(*p8, 0xAB);
  EXPECT_EQ(*p16, 0x1234);
  EXPECT_EQ(*p32, 0xDEADBEEFu);
  EXPECT_EQ(*ps, -7);
  buffer full = a.make(0, 1);
  EXPECT_EQ(buffer_push_u16(&full, 1, 0), nullptr);
  EXPECT_EQ(full.used, 0u);
}

TEST(buffer_push, copies_of_nothing_return_null_without_padding) {
  offset_arena a;
  buffer b = a.make(1, 64);
  EXPECT_EQ(buffer_push_copy(&b, "x", 0, 8), nullptr);
  EXPECT_EQ(buffer_push_string(&b, buffer{}, 8), nullptr);
  EXPECT_EQ(b.used, 0u);
  void *p = buffer_push_string(&b, string_lit("hello"), 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(memcmp(p, "hello", 5), 0);
  // Bytes without a source are only reserved, at alignment 1.
  u8 *q = buffer_push_bytes(&b, nullptr, 3);
  EXPECT_EQ(q, (u8 *)p + 5);
  q = buffer_push_bytes(&b, "xyz", 3);
  EXPECT_EQ(q, (u8 *)p + 8);
  EXPECT_EQ(memcmp(q, "xyz", 3), 0);
  EXPECT_EQ(buffer_push_bytes(&b, "x", b.size - b.used + 1), nullptr);
  EXPECT_EQ(b.used, 11u);
}

TEST(buffer_push, append_grows_the_most_recent_string) {
  offset_arena a;
  buffer arena = a.make(0, 16);
  buffer s = {};
  ASSERT_NE(string_append_to(&arena, &s, string_lit("abc")), nullptr);
  ASSERT_NE(string_append_to(&arena, &s, string_lit("defg")), nullptr);
  EXPECT_EQ(s.used, 7u);
  EXPECT_EQ(s.size, 7u);
  EXPECT_EQ(memcmp(s.data, "abcdefg", 7), 0);
  EXPECT_EQ(string_append_to(&arena, &s, string_lit("0123456789")), nullptr);
  EXPECT_EQ(s.used, 7u);
  EXPECT_EQ(arena.used, 7u);
}

TEST(buffer_carve, does_not_fit_returns_empty_and_keeps_parent) {
  offset_arena a;
  buffer parent = a.make(0, 100);
  buffer piece = buffer_carve(&parent, 101, 0);
  EXPECT_EQ(piece.data, nullptr);
  EXPECT_EQ(piece.size, 0u);
  EXPECT_EQ(parent.used, 0u);
  parent = a.make(1, 200);
  piece = buffer_carve(&parent, 64, 64);
  ASSERT_NE(piece.data, nullptr);
  EXPECT_EQ((u64)piece.data % 64, 0u);
  EXPECT_EQ(piece.size, 64u);
  EXPECT_EQ(piece.used, 0u);
  EXPECT_EQ(parent.used, 63u + 64u);
}

TEST(buffer_carve, rest_fills_parent_and_rollback_restores_it) {
  offset_arena a;
  buffer parent = a.make(3, 200);
  buffer_push(&parent, 10, 1);
  buffer_mark m = buffer_mark_begin(&parent);
  buffer rest = buffer_carve_rest(&parent, 32);
  EXPECT_EQ(parent.used, parent.size);
  EXPECT_EQ((u64)rest.data % 32, 0u);
  EXPECT_EQ(rest.data + rest.size, parent.data + parent.size);
  buffer_mark_rollback(&m);
  EXPECT_EQ(parent.used, 10u);
  EXPECT_EQ(m.target, nullptr);
}

TEST(buffer_carve, shrink_and_pop_give_back_the_tail_of_the_last_piece) {
  offset_arena a;
  buffer parent = a.make(0, 256);
  buffer piece = buffer_carve(&parent, 128, 8);
  buffer_push(&piece, 20, 1);
  u64 freed = buffer_shrink_to_used(&piece);
  buffer_pop(&parent, freed);
  EXPECT_EQ(freed, 108u);
  EXPECT_EQ(parent.used, 20u);
}

TEST(buffer_view, rest_views_do_not_change_the_source) {
  offset_arena a;
  buffer b = a.make(1, 200);
  buffer_push(&b, 5, 1);
  buffer v = buffer_view_rest(b);
  EXPECT_EQ(v.data, b.data + 5);
  EXPECT_EQ(v.size, 195u);
  buffer va = buffer_view_rest_aligned(b);
  EXPECT_EQ((u64)va.data % 64, 0u);
  EXPECT_EQ(va.data + va.size, b.data + b.size);
  EXPECT_EQ(b.used, 5u);
  buffer tiny = a.make(1, 8);
  EXPECT_EQ(buffer_view_rest_aligned(tiny).data, nullptr);
}

TEST(buffer_mark, take_returns_bytes_pushed_since_including_padding) {
  offset_arena a;
  buffer b = a.make(1, 100);
  buffer_push(&b, 3, 1);
  buffer_mark m = buffer_mark_begin(&b);
  buffer t0 = buffer_mark_take(&m);
  EXPECT_EQ(t0.used, 0u);
  EXPECT_EQ(t0.data, b.data + 3);
  EXPECT_EQ(m.target, nullptr);
  m = buffer_mark_begin(&b);
  buffer_push(&b, 4, 8);
  buffer t = buffer_mark_take(&m);
  EXPECT_EQ(t.data, b.data + 3);
  EXPECT_EQ(t.used, b.used - 3);
  EXPECT_EQ(t.size, t.used);
}

TEST(buffer_mark, nested_marks_roll_back_in_order) {
  offset_arena a;
  buffer b = a.make(0, 100);
  buffer_mark outer = buffer_mark_begin(&b);
  buffer_push(&b, 10, 1);
  buffer_mark inner = buffer_mark_begin(&b);
  buffer_push(&b, 20, 1);
  buffer_mark_rollback(&inner);
  EXPECT_EQ(b.used, 10u);
  buffer_mark_rollback(&outer);
  EXPECT_EQ(b.used, 0u);
}

TEST(buffer_string, from_range_with_equal_ends_is_empty_but_not_null) {
  const char *t = "abc";
  buffer s = string_from_range(t + 1, t + 1);
  EXPECT_EQ(s.used, 0u);
  EXPECT_NE(s.data, nullptr);
  EXPECT_TRUE(range_is_whole_elements(t, t + 12, 4));
  EXPECT_FALSE(range_is_whole_elements(t, t + 13, 4));
}

TEST(memory, reserve_rounds_to_granularity_and_commit_to_pages) {
  buffer r = memory_reserve(1, nullptr);
  ASSERT_NE(r.data, nullptr);
  EXPECT_EQ(r.size, 65536u);
  EXPECT_EQ(r.used, 0u);
  u8 *p = memory_commit(&r, 1);
  EXPECT_EQ(p, r.data);
  EXPECT_EQ(r.used, (u64)memory_page_size);
  p[0] = 1;
  p[memory_page_size - 1] = 2;
  EXPECT_EQ(memory_commit(&r, r.size), nullptr);
  EXPECT_EQ(r.used, (u64)memory_page_size);
  EXPECT_EQ(memory_commit(&r, UINT64_MAX), nullptr);
  memory_decommit(&r, 1);
  EXPECT_EQ(r.used, 0u);
  // Recommitted memory is usable again and starts zeroed.
  p = memory_commit(&r, 10);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 0);
  memory_free(&r);
  EXPECT_EQ(r.data, nullptr);
  EXPECT_EQ(r.size, 0u);
}

TEST(memory, alloc_is_zeroed_and_refusals_give_buffers_that_refuse_pushes) {
  buffer b = memory_alloc(10000, nullptr);
  ASSERT_NE(b.data, nullptr);
  EXPECT_EQ(b.size, 10000u);
  for (u64 i = 0; i < b.size; i++) ASSERT_EQ(b.data[i], 0);
  memory_free(&b);
  memory_free(&b);  // a freed buffer is empty: freeing it again does nothing

  memory_fault_inject(memory_fault_alloc, 0);
  buffer refused = memory_alloc(4096, nullptr);
  EXPECT_EQ(refused.data, nullptr);
  EXPECT_EQ(refused.size, 0u);
  EXPECT_EQ(buffer_push(&refused, 1, 1), nullptr);

  memory_fault_inject(memory_fault_reserve, 1);
  buffer ok = memory_reserve(100, nullptr);
  EXPECT_NE(ok.data, nullptr);
  EXPECT_EQ(memory_reserve(100, nullptr).data, nullptr);
  EXPECT_NE(memory_reserve(100, nullptr).data, nullptr) << "injection fires once";

  memory_fault_inject(memory_fault_commit, 0);
  EXPECT_EQ(memory_commit(&ok, 10), nullptr);
  EXPECT_EQ(ok.used, 0u);
  EXPECT_NE(memory_commit(&ok, 10), nullptr);
  memory_free(&ok);
}

// Forgotten pages stay mapped and read as zero; bytes of a page the range covers only in part
// keep their values, and an empty range does nothing.
TEST(memory, forgotten_pages_read_as_zero_and_partial_pages_keep_their_bytes) {
  const u64 page = memory_page_size;
  buffer b = memory_alloc(8 * page, nullptr);
  ASSERT_TRUE(b.data);
  for (u64 i = 0; i < b.size; ++i) b.data[i] = (u8)(i % 251 + 1);
  memory_forget_pages(buffer{4 * page, 4 * page, b.data + page + 1});  // pages 2 to 4 whole
  for (u64 i = 0; i < b.size; ++i) {
    bool forgotten = i >= 2 * page && i < 5 * page;
    ASSERT_EQ(b.data[i], forgotten ? 0 : (u8)(i % 251 + 1)) << i;
  }
  b.data[3 * page] = 7;  // still writable
  EXPECT_EQ(b.data[3 * page], 7);
  memory_forget_pages(buffer{});
  memory_free(&b);
}

TEST(memory, copies_handle_overlap_in_both_directions) {
  u8 bytes[16];
  for (int i = 0; i < 16; i++) bytes[i] = (u8)i;
  memory_copy(bytes, bytes + 4, 8);
  EXPECT_EQ(bytes[0], 4);
  EXPECT_EQ(bytes[7], 11);
  for (int i = 0; i < 16; i++) bytes[i] = (u8)i;
  memory_copy_backward(bytes + 4, bytes, 8);
  EXPECT_EQ(bytes[4], 0);
  EXPECT_EQ(bytes[11], 7);
  memory_copy_unchecked(nullptr, bytes, 4);
  memory_copy_backward(nullptr, nullptr, 0);
}

// The scratch is process-wide and made once: each test gives back what it made, so the next one
// (in the same process) starts from none.
struct memory_scratch_test : ::testing::Test {
  void TearDown() override {
    memory_free(&memory_scratch);
    memory_scratch = buffer{};
    memory_scratch_lent = false;
  }
};

TEST_F(memory_scratch_test, every_acquire_sees_the_whole_empty_scratch) {
  memory_scratch_init(MEMORY_SCRATCH_SIZE);
  buffer s = memory_scratch_acquire();
  EXPECT_TRUE(memory_scratch_lent);
  EXPECT_EQ(s.size, MEMORY_SCRATCH_SIZE);
  buffer_push(&s, 1000, 8);
  memory_scratch_release();
  buffer t = memory_scratch_acquire();
  EXPECT_EQ(t.used, 0u);
  EXPECT_EQ(t.data, s.data);
  memory_scratch_release();
  EXPECT_FALSE(memory_scratch_lent);
}

#ifndef NDEBUG
TEST_F(memory_scratch_test, acquiring_while_lent_is_a_broken_invariant) {
  memory_scratch_init(4096);
  memory_scratch_acquire();
  EXPECT_DEATH(memory_scratch_acquire(), "invariant broken");
}

TEST(buffer_push, alignments_above_eight_are_broken_invariants_for_pushes) {
  u8 storage[64];
  buffer b = buffer_make(64, 0, storage);
  EXPECT_DEATH(buffer_push(&b, 1, 16), "invariant broken");
  EXPECT_DEATH(buffer_push(&b, 1, 3), "invariant broken");
  EXPECT_NE(buffer_carve(&b, 1, 16).data, nullptr);
}
#endif

}  // namespace
