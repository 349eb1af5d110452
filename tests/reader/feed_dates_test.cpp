#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "reader/reader.h"

namespace {

std::string show(date d) {
  char text[64];
  snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", d.year, d.month, d.day, d.hour, d.minute,
           d.second);
  return text;
}

// Each text is parsed from a block of exactly its own length, so ASan sees any read past it.
date parse_exact(date (*parse)(buffer), const std::string &s) {
  std::vector<u8> bytes(s.begin(), s.end());
  u8 *data = bytes.empty() ? nullptr : bytes.data();
  return parse(string_from_bytes(data, bytes.size()));
}
std::string rfc(const std::string &s) { return show(parse_exact(feed_parse_date_rfc822, s)); }
std::string iso(const std::string &s) { return show(parse_exact(feed_parse_date_iso8601, s)); }

TEST(FeedDatesRfc822, examples_and_zones) {
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42:31 GMT"), "2002-09-07 09:42:31");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42:31 +0200"), "2002-09-07 07:42:31");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42:31 -0500"), "2002-09-07 14:42:31");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42:31 +0530"), "2002-09-07 04:12:31");
  EXPECT_EQ(rfc("Tue, 31 Dec 2002 23:30:00 EST"), "2003-01-01 04:30:00");
  EXPECT_EQ(rfc("7 Sep 2002 09:42:31 Z"), "2002-09-07 09:42:31");
  EXPECT_EQ(rfc("Sat, 07 Sep 02 09:42:31 GMT"), "2002-09-07 09:42:31");
  EXPECT_EQ(rfc("  \t\r\nSat, 07 Sep 2002 09:42:31 UT"), "2002-09-07 09:42:31");
  EXPECT_EQ(rfc(""), "65535-00-00 00:00:00");

  struct {
    const char *zone;
    int hour;
  } zones[] = {{"GMT", 10}, {"UT", 10},  {"EST", 15}, {"EDT", 14}, {"CST", 16}, {"CDT", 15},
               {"MST", 17}, {"MDT", 16}, {"PST", 18}, {"PDT", 17}, {"XYZ", 10}, {"A", 11},
               {"I", 19},   {"K", 20},   {"M", 22},   {"N", 9},    {"Y", 22},   {"Z", 10},
               {"J", 10},   {"a", 10},   {"+0000", 10}, {"-1200", 22}, {"+1000", 0}};
  for (auto z : zones) {
    date d = feed_parse_date_rfc822(string_from_bytes(
        ("Wed, 04 Jun 2003 10:00:00 " + std::string(z.zone)).c_str(), 26 + strlen(z.zone)));
    EXPECT_EQ(d.hour, z.hour) << z.zone;
  }
  // Y is twelve hours behind: the day moves back.
  EXPECT_EQ(rfc("Wed, 04 Jun 2003 10:00:00 Y"), "2003-06-03 22:00:00");
}

TEST(FeedDatesRfc822, offsets_cross_day_month_year_and_leap_days) {
  EXPECT_EQ(rfc("Thu, 28 Feb 2024 23:30:00 -0100"), "2024-02-29 00:30:00");
  EXPECT_EQ(rfc("Tue, 28 Feb 2023 23:30:00 -0100"), "2023-03-01 00:30:00");
  EXPECT_EQ(rfc("Fri, 01 Mar 2024 00:10:00 +0100"), "2024-02-29 23:10:00");
  EXPECT_EQ(rfc("Mon, 01 Jan 2024 00:10:00 +0100"), "2023-12-31 23:10:00");
  EXPECT_EQ(rfc("Sat, 30 Apr 2022 22:00:00 PST"), "2022-05-01 06:00:00");
  EXPECT_EQ(rfc("Sat, 31 Dec 2000 20:00:00 -0400"), "2001-01-01 00:00:00");
}

TEST(FeedDatesRfc822, short_forms_read_as_far_as_they_go) {
  EXPECT_EQ(rfc("Sat, 07 Sep 2002"), "2002-09-07 00:00:00");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 "), "2002-09-07 00:00:00");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42:31"), "2002-09-07 09:42:31");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42"), "2002-09-07 09:42:00");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09"), "2002-09-07 09:00:00");
  // The reading is positional: a two-digit year needs the space after it, and a month name the
  // space after it, or the bytes are read as the next field.
  EXPECT_EQ(rfc("Sat, 07 Sep 02 "), "2002-09-07 00:00:00");
  EXPECT_EQ(rfc("Sat, 07 Sep 02"), "65535-09-07 02:00:00");
  EXPECT_EQ(rfc("Sat, 07 Sep "), "65535-09-07 00:00:00");
  EXPECT_EQ(rfc("Sat, 07 Sep"), "65535-00-07 00:00:00");
  EXPECT_EQ(rfc("Sat, 07"), "65535-00-07 00:00:00");
  EXPECT_EQ(rfc("Sat,"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("Sat"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("7"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("   "), "65535-00-00 00:00:00");
  // A time without seconds still finds its zone past the space.
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42 EST"), "2002-09-07 14:42:00");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42 +0200"), "2002-09-07 07:42:00");
  // A numeric zone cut short gives no offset.
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42:31 +020"), "2002-09-07 09:42:31");
  EXPECT_EQ(parse_exact(feed_parse_date_rfc822, "").zero, 0);
  EXPECT_EQ(show(feed_parse_date_rfc822(buffer{})), "65535-00-00 00:00:00");
}

TEST(FeedDatesRfc822, fields_out_of_range_read_as_zero_and_are_not_moved) {
  EXPECT_EQ(rfc("Sat, 99 Sep 2002 99:99:99 GMT"), "2002-09-00 00:00:00");
  // No valid day: the zone cannot move it, and nothing reaches a month table.
  EXPECT_EQ(rfc("Sat, 00 Sep 2002 23:00:00 -0500"), "2002-09-00 23:00:00");
  EXPECT_EQ(rfc("Sat, 30 Feb 2002 23:00:00 -0500"), "2002-02-30 23:00:00");
  // An unknown month is not skipped: its bytes are read as the year.
  EXPECT_EQ(rfc("Sat, 07 Xyz 2002 23:00:00 -0500"), "0000-00-07 00:02:00");
  EXPECT_EQ(rfc("Sat, -7 Sep -200 -1:00:00 GMT"), "0000-09-00 00:00:00");
}

// Forms real feeds write that the fixed positions read wrongly: a day name without its comma
// gave the 9th for the 19th, a month in full gave 2000-08-12 20:02, a day name in full no date.
// What still does not read whole gives no date rather than a wrong one.
TEST(FeedDatesRfc822, the_forms_feeds_write_read_whole_or_give_no_date) {
  struct {
    const char *text, *date;
  } forms[] = {
      {"Fri 19 Nov 2010 10:00:00 GMT", "2010-11-19 10:00:00"},
      {"Sun, 12 August 2012 10:00:00 EST", "2012-08-12 15:00:00"},
      {"Friday, 19 November 2010 10:00:00 GMT", "2010-11-19 10:00:00"},
      {"Mon, 1 Jan 2024 9:05:00 +0100", "2024-01-01 08:05:00"},
      {"Monday 1 January 2024 9:05 PST", "2024-01-01 17:05:00"},
      {"WED, 04 JUN 2003 10:00:00 edt", "2003-06-04 14:00:00"},
      {"Wed,04 Jun 2003 10:00:00 +0000 (UTC)", "2003-06-04 10:00:00"},
      {"4 June 2003", "2003-06-04 00:00:00"},
  };
  for (auto f : forms) EXPECT_EQ(rfc(f.text), f.date) << f.text;
  for (const char *text : {"Fri 19 Nov 2010 10:00:00 GMT+0100", "Fri, 19 Nov 2010 10:00:00 CEST",
                           "Fri, 19 Nov 2010 10:00:00 GMT junk", "Fri, 19 Sept 2010 10:00:00 GMT",
                           "Fri, 19 Nov 2010 10h00", "Fri, 19 Nov 2010 10:0:00 GMT", "Fryday, 19 Nov 2010",
                           "Fri, 19 Nov 20100 10:00:00 GMT", "Fri, 19 Nov 2010 10:00:00 +01000", "19 Nov 2010 10:00:00 (",
                           "Fri, 119 Nov 2010 10:00:00 GMT", "Fri, 19 Nov 2010 123:00:00 GMT"}) {
    date d = parse_exact(feed_parse_date_rfc822, text);
    EXPECT_FALSE(feed_date_is_usable(d)) << text << ": " << show(d);
  }
}

TEST(FeedDatesIso8601, examples_and_offsets) {
  EXPECT_EQ(iso("2003-12-13T18:30:02Z"), "2003-12-13 18:30:02");
  EXPECT_EQ(iso("2003-12-13T18:30:02.25Z"), "2003-12-13 18:30:02");
  // The offset is applied, so every stored date is UTC.
  EXPECT_EQ(iso("2003-12-13T18:30:02+01:00"), "2003-12-13 17:30:02");
  EXPECT_EQ(iso("2003-12-13T18:30:02.123456-05:30"), "2003-12-14 00:00:02");
  EXPECT_EQ(iso("2003-12-13T18:30:02+0100"), "2003-12-13 17:30:02");
  EXPECT_EQ(iso("2003-12-13T18:30:02+01"), "2003-12-13 17:30:02");
  EXPECT_EQ(iso("2003-12-13"), "2003-12-13 00:00:00");
  EXPECT_EQ(iso("2003-12-13T"), "2003-12-13 00:00:00");
  EXPECT_EQ(iso("2024-03-01T00:30:00+01:00"), "2024-02-29 23:30:00");
  EXPECT_EQ(iso("2023-12-31T23:30:00-01:00"), "2024-01-01 00:30:00");
  EXPECT_EQ(iso("2024-02-28T23:00:00-01:00"), "2024-02-29 00:00:00");
}

TEST(FeedDatesRfc822, two_digit_years_zone_minutes_and_zones_out_of_range) {
  // Two-digit years: 00 to 49 in this century, 50 to 99 in the last.
  for (auto [text, year] : {std::pair{"00", 2000}, {"02", 2002}, {"49", 2049}, {"50", 1950}, {"99", 1999}}) {
    EXPECT_EQ(parse_exact(feed_parse_date_rfc822, std::string("Sat, 07 Sep ") + text + " 09:42:31 GMT").year, year)
        << text;
  }
  EXPECT_EQ(rfc("Sat, 07 Sep 0002 09:42:31 GMT"), "0002-09-07 09:42:31") << "four digits are taken as written";
  // A zone keeps its minutes with or without the colon.
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42:31 +05:30"), "2002-09-07 04:12:31");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42:31 -09:45"), "2002-09-07 19:27:31");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42:31 +2359"), "2002-09-06 09:43:31");
  // Beyond 23:59 a zone is no zone: the time stays as written.
  for (const char *zone : {"+2400", "-2500", "+0560", "+99:99", "+05:3"}) {
    EXPECT_EQ(rfc(std::string("Sat, 07 Sep 2002 09:42:31 ") + zone), "2002-09-07 09:42:31") << zone;
  }
}

TEST(FeedDatesIso8601, times_without_seconds_the_end_of_the_day_and_zones_out_of_range) {
  EXPECT_EQ(iso("2024-01-15T10:30+01:00"), "2024-01-15 09:30:00");
  EXPECT_EQ(iso("2024-01-15T10:30-05:00"), "2024-01-15 15:30:00");
  EXPECT_EQ(iso("2024-01-15T10:30Z"), "2024-01-15 10:30:00");
  EXPECT_EQ(iso("2024-01-15T23:30-01:00"), "2024-01-16 00:30:00");
  // 24:00 is the midnight that ends the day.
  EXPECT_EQ(iso("2024-01-15T24:00"), "2024-01-16 00:00:00");
  EXPECT_EQ(iso("2024-02-29T24:00:00Z"), "2024-03-01 00:00:00");
  EXPECT_EQ(iso("2023-12-31T24:00:00+01:00"), "2023-12-31 23:00:00");
  EXPECT_EQ(iso("2024-01-15T24:30:00Z"), "2024-01-15 00:30:00") << "only 24:00 itself; an hour past it is unreadable";
  for (const char *zone : {"+24:00", "-25:00", "+05:60"}) {
    EXPECT_EQ(iso(std::string("2024-01-15T10:30:00") + zone), "2024-01-15 10:30:00") << zone;
  }
}

TEST(FeedDatesIso8601, short_and_malformed_forms) {
  EXPECT_EQ(iso(""), "0000-00-00 00:00:00");
  EXPECT_EQ(iso("2003-12-1"), "0000-00-00 00:00:00");
  EXPECT_EQ(iso("2003-12-13T18:30"), "2003-12-13 18:30:00");
  EXPECT_EQ(iso("2003-12-13T18:30:0"), "2003-12-13 18:30:00");
  EXPECT_EQ(iso("2003-12-13T18:30:02"), "2003-12-13 18:30:02");
  EXPECT_EQ(iso("2003-12-13T18:30:02+"), "2003-12-13 18:30:02");
  EXPECT_EQ(iso("2003-12-13T18:30:02+0"), "2003-12-13 18:30:02");
  EXPECT_EQ(iso("2003-12-13T18:30:02."), "2003-12-13 18:30:02");
  EXPECT_EQ(iso("2003-13-13T99:30:02Z"), "2003-00-13 00:30:02");
  // Month 0 or day 0 keep the date where it was written: nothing to move on the calendar.
  EXPECT_EQ(iso("2003-00-13T01:00:00+05:00"), "2003-00-13 01:00:00");
  EXPECT_EQ(iso("2003-12-00T01:00:00+05:00"), "2003-12-00 01:00:00");
  EXPECT_EQ(iso("2003-02-31T01:00:00+05:00"), "2003-02-31 01:00:00");
  EXPECT_EQ(show(feed_parse_date_iso8601(buffer{})), "0000-00-00 00:00:00");
}

// Random bytes and random cuts of real dates: every result has its fields in range.
TEST(FeedDates, random_texts_give_fields_in_range) {
  std::mt19937 rng(7);
  const char *seeds[] = {"Sat, 07 Sep 2002 09:42:31 +0200", "2003-12-13T18:30:02.25-01:00",
                         "Tue, 31 Dec 2002 23:30:00 EST"};
  const char alphabet[] = "0123456789:+-., TZSatSepESTGMT";
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    if (round % 2) {
      s = seeds[rng() % 3];
      s.resize(rng() % (s.size() + 1));
      if (!s.empty() && rng() % 2) s[rng() % s.size()] = alphabet[rng() % (sizeof alphabet - 1)];
    } else {
      for (u32 n = rng() % 40; n; --n) s += (char)(rng() % 2 ? alphabet[rng() % (sizeof alphabet - 1)] : rng());
    }
    for (date d : {parse_exact(feed_parse_date_rfc822, s), parse_exact(feed_parse_date_iso8601, s)}) {
      ASSERT_LE(d.month, 12) << s;
      ASSERT_LE(d.day, 31) << s;
      ASSERT_LE(d.hour, 23) << s;
      ASSERT_LE(d.minute, 59) << s;
      ASSERT_LE(d.second, 59) << s;
      ASSERT_EQ(d.zero, 0) << s;
    }
  }
}

}  // namespace
