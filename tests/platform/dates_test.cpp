#include <gtest/gtest.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif
#include <stdlib.h>
#include <time.h>

#include <random>
#include <string>

#include "platform/platform.h"
#include "tests/support/isolation.h"
#include "tests/support/process.h"

namespace {

date make(u16 y, u8 mo, u8 d, u8 h = 0, u8 mi = 0, u8 s = 0) { return date{y, mo, d, h, mi, s, 0}; }
std::string text(buffer b) { return std::string((const char *)b.data, b.used); }
std::string show(date d) {
  char s[64];
  snprintf(s, sizeof(s), "%04u-%02u-%02u %02u:%02u:%02u", d.year, d.month, d.day, d.hour, d.minute, d.second);
  return s;
}

// The calendar walk step by step, as a person would do it: one carry, one month at a time, with a
// signed year; outside the representable years the result saturates.
s64 model_length(s64 y, s64 m) {
  static const int len[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return len[m - 1] + (m == 2 && leap);
}

date model_add(date d0, s64 years, s64 months, s64 days, s64 hours, s64 minutes, s64 seconds) {
  s64 y = d0.year, mo = d0.month, d = d0.day;
  s64 s = d0.second + seconds;
  while (s < 0) s += 60, minutes--;
  while (s >= 60) s -= 60, minutes++;
  s64 mi = d0.minute + minutes;
  while (mi < 0) mi += 60, hours--;
  while (mi >= 60) mi -= 60, hours++;
  s64 h = d0.hour + hours;
  while (h < 0) h += 24, days--;
  while (h > 23) h -= 24, days++;
  for (s64 n = -days; n > 0;) {
    if (n < d) {
      d -= n;
      n = 0;
    } else {
      n -= d;
      if (--mo == 0) mo = 12, y--;
      d = model_length(y, mo);
    }
  }
  for (s64 n = days; n > 0;) {
    if (d + n <= model_length(y, mo)) {
      d += n;
      n = 0;
    } else {
      n -= model_length(y, mo) - d + 1;
      if (++mo == 13) mo = 1, y++;
      d = 1;
    }
  }
  for (s64 c = -months; c > 0;) {
    if (c < mo) {
      mo -= c;
      d = std::min(d, model_length(y, mo));
      c = 0;
    } else {
      c -= mo;
      mo = 12;
      y--;
    }
  }
  for (s64 c = months; c > 0;) {
    if (mo + c > 12) {
      c -= 13 - mo;
      mo = 1;
      y++;
    } else {
      mo += c;
      d = std::min(d, model_length(y, mo));
      c = 0;
    }
  }
  y += years;
  if (y < 0) return make(0, 1, 1);
  if (y > 65535) return make(65535, 12, 31, 23, 59, 59);
  if (mo == 2 && d == 29 && model_length(y, 2) == 28) d = 28;
  return make((u16)y, (u8)mo, (u8)d, (u8)h, (u8)mi, (u8)s);
}

TEST(date_add, moves_as_the_step_by_step_calendar_walk_does) {
  std::mt19937_64 rng(11);
  auto pick = [&](s64 lo, s64 hi) { return lo + (s64)(rng() % (u64)(hi - lo + 1)); };
  for (int i = 0; i < 200000; i++) {
    s64 y = i % 3 == 0 ? pick(0, 3) : i % 3 == 1 ? pick(65532, 65535) : pick(1895, 2105);
    u8 mo = (u8)pick(1, 12);
    date d = make((u16)y, mo, (u8)pick(1, model_length(y, mo)), (u8)pick(0, 23), (u8)pick(0, 59), (u8)pick(0, 59));
    s64 years = i % 50 == 0 ? pick(-70000, 70000) : pick(-5, 5);
    s64 months = pick(-60, 60), days = pick(-2000, 2000);
    s64 hours = pick(-100, 100), minutes = pick(-200, 200), seconds = pick(-200, 200);
    if (i % 4 == 0) months = 0, years = 0;
    date got = date_add(d, years, months, days, hours, minutes, seconds);
    date want = model_add(d, years, months, days, hours, minutes, seconds);
    ASSERT_EQ(show(got), show(want)) << show(d) << " + " << years << "y " << months << "m " << days << "d "
                                     << hours << "h " << minutes << "min " << seconds << "s";
    ASSERT_EQ(got.zero, 0);
  }
}

TEST(date_add, calendar_edges) {
  EXPECT_EQ(show(date_add(make(2024, 2, 28, 23, 30), 0, 0, 0, 1, 0, 0)), "2024-02-29 00:30:00");
  EXPECT_EQ(show(date_add(make(2023, 2, 28, 23, 30), 0, 0, 0, 1, 0, 0)), "2023-03-01 00:30:00");
  EXPECT_EQ(show(date_add(make(2024, 1, 31), 0, 1, 0, 0, 0, 0)), "2024-02-29 00:00:00");
  EXPECT_EQ(show(date_add(make(2024, 3, 31), 0, -1, 0, 0, 0, 0)), "2024-02-29 00:00:00");
  EXPECT_EQ(show(date_add(make(2024, 3, 1), 0, 0, 0, 0, 0, -1)), "2024-02-29 23:59:59");
  EXPECT_EQ(show(date_add(make(2024, 2, 29), 1, 0, 0, 0, 0, 0)), "2025-02-28 00:00:00");
  EXPECT_EQ(show(date_add(make(2023, 12, 31), 0, 0, 1, 0, 0, 0)), "2024-01-01 00:00:00");
  EXPECT_EQ(show(date_add(make(2024, 1, 30), 0, 0, 1, 0, 0, 0)), "2024-01-31 00:00:00");
  EXPECT_EQ(show(date_add(make(2024, 1, 31), 0, 0, 1, 0, 0, 0)), "2024-02-01 00:00:00");
  EXPECT_EQ(show(date_add(make(2024, 5, 15), 0, -5, 0, 0, 0, 0)), "2023-12-15 00:00:00");
}

TEST(date_add, saturates_at_both_ends_and_never_wraps) {
  date first = make(0, 1, 1);
  date last = make(65535, 12, 31, 23, 59, 59);
  EXPECT_EQ(show(date_add(first, 0, 0, 0, -1, 0, 0)), show(first));
  EXPECT_EQ(show(date_add(make(0, 3, 4, 5), 0, 0, 0, 0, 0, -100000000)), show(first));
  EXPECT_EQ(show(date_add(last, 0, 0, 0, 0, 0, 1)), show(last));
  EXPECT_EQ(show(date_add(make(65535, 12, 31), 0, 1, 0, 0, 0, 0)), show(last));
  EXPECT_EQ(show(date_add(make(2000, 6, 15), -3000, 0, 0, 0, 0, 0)), show(first));
  EXPECT_EQ(show(date_add(make(2000, 6, 15), 70000, 0, 0, 0, 0, 0)), show(last));
  // Extreme amounts finish at once and saturate in their own direction.
  for (s64 v : {INT64_MIN, INT64_MIN + 1, (s64)-1e15}) {
    EXPECT_EQ(show(date_add(make(2000, 6, 15), v, 0, 0, 0, 0, 0)), show(first));
    EXPECT_EQ(show(date_add(make(2000, 6, 15), 0, v, 0, 0, 0, 0)), show(first));
    EXPECT_EQ(show(date_add(make(2000, 6, 15), 0, 0, v, 0, 0, 0)), show(first));
    EXPECT_EQ(show(date_add(make(2000, 6, 15), 0, 0, 0, v, v, v)), show(first));
    s64 u = v == INT64_MIN ? INT64_MAX : -v;
    EXPECT_EQ(show(date_add(make(2000, 6, 15), u, u, u, u, u, u)), show(last));
  }
  // Amounts that cancel still meet in the middle.
  EXPECT_EQ(show(date_add(make(2000, 6, 15), 0, 0, 1, -24, 0, 0)), "2000-06-15 00:00:00");
}

TEST(date_add, a_date_outside_the_calendar_is_no_date) {
  date zero = {};
  EXPECT_TRUE(date_is_zero(date_add(zero, 0, 0, 0, 2, 30, 0)));
  // A parsed date with month 0 and a zone offset: nothing is looked up for month 0.
  EXPECT_TRUE(date_is_zero(date_add(make(2021, 0, 17, 13), 0, 0, 0, -5, 0, 0)));
  EXPECT_TRUE(date_is_zero(date_add(make(2021, 13, 1), 0, 0, 0, 1, 0, 0)));
  EXPECT_TRUE(date_is_zero(date_add(make(2021, 2, 29), 0, 0, 0, 1, 0, 0)));
  EXPECT_TRUE(date_is_zero(date_add(make(2021, 4, 0), 0, 0, 1, 0, 0, 0)));
  EXPECT_TRUE(date_is_zero(date_add(make(2021, 4, 1, 24), 0, 0, 0, 0, 0, 0)));
  EXPECT_TRUE(date_is_zero(date_add(make(2021, 4, 1, 0, 60), 0, 0, 0, 0, 0, 0)));
  EXPECT_TRUE(date_is_zero(date_add(make(2021, 4, 1, 0, 0, 60), 0, 0, 0, 0, 0, 0)));
}

TEST(date_calendar, leap_years_month_lengths_and_order) {
  EXPECT_EQ(date_is_leap_year(1900), 0u);
  EXPECT_EQ(date_is_leap_year(2000), 1u);
  EXPECT_EQ(date_is_leap_year(2023), 0u);
  EXPECT_EQ(date_is_leap_year(2024), 1u);
  EXPECT_EQ(date_is_leap_year(0), 1u);
  for (u64 y : {1900ull, 2000ull, 2023ull, 2024ull}) {
    u32 total = 0;
    for (u32 m = 1; m <= 12; m++) total += date_month_length(y, m);
    EXPECT_EQ(total, 365u + date_is_leap_year(y)) << y;
  }
  EXPECT_EQ(date_month_length(2024, 0), 0u);
  EXPECT_EQ(date_month_length(2024, 13), 0u);

  date a = make(2021, 4, 17, 13, 5, 9);
  date b = a;
  b.zero = 7;
  EXPECT_EQ(date_greater(a, b), 0u);
  EXPECT_EQ(date_less(a, b), 0u);
  EXPECT_EQ(date_to_number(a), 20210417130509ull);
  // Every field outranks all smaller ones.
  EXPECT_EQ(date_less(make(2021, 4, 17, 23, 59, 59), make(2021, 4, 18)), 1u);
  EXPECT_EQ(date_greater(make(2022, 1, 1), make(2021, 12, 31, 23, 59, 59)), 1u);
  EXPECT_EQ(date_is_zero(date{}), 1u);
  date z = {};
  z.zero = 1;
  EXPECT_EQ(date_is_zero(z), 1u);
  EXPECT_EQ(date_is_zero(make(0, 0, 0, 0, 0, 1)), 0u);
}

TEST(date_text, compact_form_round_trips) {
  u8 storage[64];
  buffer out = buffer_make(sizeof(storage), 0, storage);
  ASSERT_TRUE(date_to_compact_string(make(2021, 4, 17, 13, 5, 9), &out));
  EXPECT_EQ(text(out), "20210417_130509");
  EXPECT_EQ(show(date_from_compact_string(out)), "2021-04-17 13:05:09");
  out.used = 0;
  date_to_compact_string(make(7, 1, 2), &out);
  EXPECT_EQ(text(out), "00070102_000000");
  out.used = 0;
  date_to_compact_string(make(65535, 12, 31, 23, 59, 59), &out);
  EXPECT_EQ(text(out), "655351231_235959");

  std::mt19937 rng(5);
  for (int i = 0; i < 20000; i++) {
    u16 y = (u16)(rng() % 10000);
    u8 mo = (u8)(1 + rng() % 12);
    date d = make(y, mo, (u8)(1 + rng() % date_month_length(y, mo)), (u8)(rng() % 24), (u8)(rng() % 60), (u8)(rng() % 60));
    out.used = 0;
    ASSERT_TRUE(date_to_compact_string(d, &out));
    ASSERT_EQ(out.used, 15u);
    ASSERT_EQ(show(date_from_compact_string(out)), show(d));
  }

  // No room: nothing appended.
  buffer small = buffer_make(20, 6, storage);
  EXPECT_FALSE(date_to_compact_string(make(2021, 4, 17), &small));
  EXPECT_EQ(small.used, 6u);
}

TEST(date_text, malformed_compact_texts_give_no_date) {
  for (const char *s : {"20211399_000000", "20210417-130509", "20210431_000000", "20230229_000000",
                        "20210417_240000", "20210417_126000", "20210417_120060", "20210017_120000",
                        "20210400_120000", "2021041_130509", "2021O417_130509", "20210417_13050",
                        "+2021041_130509", " 2021041_130509", ""}) {
    EXPECT_TRUE(date_is_zero(date_from_compact_string(string_from_bytes(s, strlen(s))))) << s;
  }
  EXPECT_EQ(show(date_from_compact_string(string_lit("20240229_235959 and more"))), "2024-02-29 23:59:59");
}

class date_local_text : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C", 1);
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  std::string show_local(date d, u32 flags, const char *sep, u64 room = 256) {
    static u8 storage[512];
    buffer out = buffer_make(room + 3, 3, storage);
    buffer v = date_to_string(d, &out, flags, string_from_bytes(sep, strlen(sep)));
    EXPECT_EQ(v.data, storage + 3);
    EXPECT_EQ(out.used, 3 + v.used);
    return text(v);
  }
};

TEST_F(date_local_text, long_date_separator_and_time_in_the_local_zone) {
  date d = make(2021, 4, 17, 13, 5, 9);
  EXPECT_EQ(show_local(d, 0, " - "), "Saturday 17 April 2021 - 13:05:09");
  EXPECT_EQ(show_local(d, date_text_no_date, " - "), "13:05:09");
  EXPECT_EQ(show_local(d, date_text_no_time, " - "), "Saturday 17 April 2021");
  EXPECT_EQ(show_local(d, 0, ""), "Saturday 17 April 2021 13:05:09");
  EXPECT_EQ(show_local(d, date_text_no_date | date_text_no_time, " - "), "");
  EXPECT_EQ(show_local(date{}, 0, " - "), "");
  // What fits, cut on a whole character: the separator's dash is three bytes.
  EXPECT_EQ(show_local(d, 0, " - ", 10), "Saturday 1");
  EXPECT_EQ(show_local(d, 0, " \xE2\x80\x94 ", 24), "Saturday 17 April 2021 ");
  EXPECT_EQ(show_local(d, 0, " \xE2\x80\x94 ", 25), "Saturday 17 April 2021 ");
  EXPECT_EQ(show_local(d, 0, " \xE2\x80\x94 ", 26), "Saturday 17 April 2021 \xE2\x80\x94");

  setenv("TZ", "EAST-2", 1);
  tzset();
  EXPECT_EQ(show_local(make(2021, 12, 31, 23, 0, 0), 0, " - "), "Saturday 1 January 2022 - 01:00:00");
}

// A user whose language is set up in a single-byte character set still gets UTF-8: the month
// names come from a Latin-1 locale built for this test (skipped where it cannot be built). The
// locale is read once per process, so the dates are made in a fresh one; the locale built here
// reaches it through the environment instead of being built twice.
TEST(date_local_text_charset, a_latin1_locale_gives_utf8_text) {
  const char *built = getenv("QM_TEST_LATIN1_LOCPATH");
  std::string folder_text = built ? built : "";
  if (!built) {
    char folder[] = "/tmp/quillmere_locale_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_text = folder;
    std::string target = folder_text + "/de_DE.ISO-8859-1";
    // An owned run: localedef leaves the decompressor it starts for its parent to reap.
    if (test_run({"localedef", "-i", "de_DE", "-f", "ISO-8859-1", target.c_str()}) != 0) {
      rmdir(folder);
      GTEST_SKIP() << "no localedef or locale sources";
    }
    setenv("QM_TEST_LATIN1_LOCPATH", folder, 1);
  }
  run_in_fresh_process([&] {
    setenv("LOCPATH", folder_text.c_str(), 1);
    setenv("LC_ALL", "de_DE.ISO-8859-1", 1);
    setenv("TZ", "UTC0", 1);
    tzset();
    u8 storage[256];
    buffer out = buffer_make(sizeof(storage), 0, storage);
#ifdef __SANITIZE_ADDRESS__
    // The C library keeps a few bytes of the LOCPATH search list of the process's one locale.
    __lsan_disable();
    date_to_string(make(2021, 3, 17), &out, 0, buffer{});
    __lsan_enable();
    out.used = 0;
#endif
    buffer v = date_to_string(make(2021, 3, 17, 13, 5, 9), &out, date_text_no_time, string_lit(" - "));
    EXPECT_EQ(text(v), "Mittwoch 17 M\xC3\xA4rz 2021");
    // What does not fit is cut on a whole character of the converted text.
    buffer small = buffer_make(14, 0, storage);
    EXPECT_EQ(text(date_to_string(make(2021, 3, 17), &small, date_text_no_time, buffer{})), "Mittwoch 17 M");
  });
  unsetenv("QM_TEST_LATIN1_LOCPATH");
  test_run({"rm", "-rf", folder_text.c_str()});
}

TEST(date_clock, now_and_counters) {
  // The same second as the system's UTC clock, field by field (again when a second ticked over
  // between the readings). Read with clock_gettime as the reader does: time() reads a coarse
  // clock that lags it by up to a tick, so near a second's end the two may name different seconds.
  for (int attempt = 0; attempt < 5; attempt++) {
    struct timespec before, after;
    clock_gettime(CLOCK_REALTIME, &before);
    date now = date_now_utc();
    clock_gettime(CLOCK_REALTIME, &after);
    if (before.tv_sec != after.tv_sec) continue;
    struct tm tm;
    gmtime_r(&before.tv_sec, &tm);
    EXPECT_EQ(show(now), show(make((u16)(tm.tm_year + 1900), (u8)(tm.tm_mon + 1), (u8)tm.tm_mday, (u8)tm.tm_hour,
                                   (u8)tm.tm_min, (u8)tm.tm_sec)));
    EXPECT_EQ(now.zero, 0);
    break;
  }
  // Counter ticks measure real time: a 20 ms sleep reads as at least 20 ms, and as no more than
  // the C library's monotonic clock read around it, however long a busy machine made the sleep.
  struct timespec outer_start, outer_end;
  clock_gettime(CLOCK_MONOTONIC, &outer_start);
  s64 a = counter_now();
  struct timespec pause = {0, 20000000};
  nanosleep(&pause, nullptr);
  s64 b = counter_now();
  clock_gettime(CLOCK_MONOTONIC, &outer_end);
  double outer = (double)(outer_end.tv_sec - outer_start.tv_sec) + (outer_end.tv_nsec - outer_start.tv_nsec) / 1e9;
  EXPECT_GE(counter_seconds_between(a, b, counter_frequency()), 0.02);
  EXPECT_LE(counter_seconds_between(a, b, counter_frequency()), outer + 1e-6);
  EXPECT_DOUBLE_EQ(counter_seconds_between(0, 3000000000ll, counter_frequency()), 3.0);
  EXPECT_DOUBLE_EQ(counter_seconds_between(INT64_MAX, INT64_MIN, 1), 1.0);
}

}  // namespace
