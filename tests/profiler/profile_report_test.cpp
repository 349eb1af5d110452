#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "profile_image.h"
#include "core/number_flags.h"
#include "profiler/profile.h"

namespace {

// The report of image_three_zones.
const char *const fixed_report =
    "Timeline[ 0 ] - main\n"
    "\n"
    "# Totals\n"
    "alpha                 |          1h | 3000c | 3000c/h | 3.000000000s | 3.000000000s/h | ==================== |\n"
    "beta                  |          1h | 1000c | 1000c/h | 1.000000000s | 1.000000000s/h | ======               |\n"
    "gamma                 |          1h |  500c |  500c/h | 0.500000000s | 0.500000000s/h | ===                  |\n"
    "\n"
    "# Tree\n"
    "alpha...................................3000c 3.000000000s\n"
    "  beta..................................1000c 1.000000000s\n"
    "gamma....................................500c 0.500000000s\n"
    "\n"
    "----------------------------------------------------------------------------------------------------\n"
    "Timeline[ 1 ] - worker_thread\n"
    "\n"
    "# Totals\n"
    "\n"
    "# Tree\n"
    "\n"
    "----------------------------------------------------------------------------------------------------\n";

}  // namespace

TEST(profile_report, fixed_profile_gives_the_exact_text) {
  std::vector<u8> image = image_three_zones();
  u32 e = 0;
  profiler_profile p = profiler_load(image.data(), image.size(), &e);
  ASSERT_EQ(e, 0u);
  EXPECT_EQ(p.name_width, 40u);
  EXPECT_EQ(p.longest_zone_name, 21u);
  EXPECT_EQ(p.cycles_width, 4u);
  EXPECT_EQ(p.seconds_width, 1u);
  std::vector<u8> out(8192);
  u64 n = profiler_report(&p, out.data(), out.size(), &e);
  EXPECT_EQ(e, 0u);
  std::string got((char *)out.data(), n);
  std::string want = fixed_report;
  EXPECT_EQ(got, want);
  profiler_profile_free(&p);
}

TEST(profile_report, a_short_output_keeps_a_prefix_and_reports_2) {
  std::vector<u8> image = image_three_zones();
  u32 e = 0;
  profiler_profile p = profiler_load(image.data(), image.size(), &e);
  ASSERT_EQ(e, 0u);
  std::vector<u8> full(8192);
  u64 total = profiler_report(&p, full.data(), full.size(), &e);
  ASSERT_EQ(e, 0u);
  for (u64 size = 0; size <= total; size++) {
    std::vector<u8> out(size + 1, 0xEE);
    u32 err = 0;
    u64 n = profiler_report(&p, out.data(), size, &err);
    ASSERT_EQ(err, size < total ? (u32)profiler_error_past_end : 0u) << size;
    ASSERT_LE(n, size);
    ASSERT_EQ(memcmp(out.data(), full.data(), n), 0) << size;
    ASSERT_EQ(out[size], 0xEE);  // nothing written past the end
  }
  profiler_profile_free(&p);
}

TEST(profile_report, number_writers_pad_the_whole_part) {
  auto f = [](f64 x, u64 width, u8 pad, u32 decimals) {
    u8 bytes[128];
    buffer out = buffer_make(sizeof bytes, 0, bytes);
    u32 e = 0;
    u64 n = profiler_arena_push_float(&out, x, width, pad, decimals, &e);
    EXPECT_EQ(e, 0u);
    return std::string((char *)bytes, n);
  };
  EXPECT_EQ(f(0, 1, ' ', 9), "0.000000000");
  EXPECT_EQ(f(1.5, 1, ' ', 9), "1.500000000");
  EXPECT_EQ(f(0.05, 1, ' ', 9), "0.050000000");
  EXPECT_EQ(f(0.000000001, 3, ' ', 9), "  0.000000001");
  EXPECT_EQ(f(-2.25, 6, ' ', 9), "    -2.250000000");
  EXPECT_EQ(f(12.125, 4, '0', 3), "0012.125");
  EXPECT_EQ(f(12.9, 0, ' ', 0), "12");
  EXPECT_EQ(f(1e30, 0, ' ', 1), "18446744073709551615.0");
  EXPECT_EQ(f(0.0 / 0.0, 0, ' ', 2), "0.00");
  // Nine digits always, even where the fraction is a hair below a power of ten.
  for (u64 k = 0; k < 2000; k++) {
    f64 x = (f64)k / 997.0 + 1e-12;
    std::string s = f(x, 0, ' ', 9);
    ASSERT_EQ(s.size() - s.find('.') - 1, 9u) << s;
  }
  auto u = [](u64 v, u64 width, u8 pad, u32 flags) {
    u8 bytes[64];
    buffer out = buffer_make(sizeof bytes, 0, bytes);
    u32 e = 0;
    u64 n = profiler_arena_push_unsigned(&out, v, width, pad, flags, &e);
    return std::string((char *)bytes, n);
  };
  EXPECT_EQ(u(255, 0, ' ', format_hex), "0xff");
  EXPECT_EQ(u(255, 4, '0', format_hex | format_no_prefix), "00ff");
  EXPECT_EQ(u(42, 5, '.', 0), "...42");
  EXPECT_EQ(u(0, 0, ' ', 0), "0");
  // A number that does not fit is not cut: nothing is written and 2 is set.
  u8 small[3];
  buffer out = buffer_make(sizeof small, 0, small);
  u32 e = 0;
  EXPECT_EQ(profiler_arena_push_unsigned(&out, 1234, 0, ' ', 0, &e), 0u);
  EXPECT_EQ(e, (u32)profiler_error_past_end);
  EXPECT_EQ(out.used, 0u);
}
