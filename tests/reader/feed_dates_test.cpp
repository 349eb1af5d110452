#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "reader/reader.h"
#include "store_fixture.h"

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
  // A two-digit year needs the space after it. A text cut before its year names no instant: it
  // gives what an empty text gives, not the fields it had with the rest set to 0.
  EXPECT_EQ(rfc("Sat, 07 Sep 02 "), "2002-09-07 00:00:00");
  EXPECT_EQ(rfc("Sat, 07 Sep 02"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("Sat, 07 Sep "), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("Sat, 07 Sep"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("Sat, 07"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("Sat,"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("Sat"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("7"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("   "), "65535-00-00 00:00:00");
  // A time without seconds still finds its zone past the space.
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42 EST"), "2002-09-07 14:42:00");
  EXPECT_EQ(rfc("Sat, 07 Sep 2002 09:42 +0200"), "2002-09-07 07:42:00");
  // A numeric zone cut short names no instant: read as UTC, "+100" would put the entry an hour
  // (or, with "-500", five hours) away from where it belongs.
  for (const char *zone : {"+020", "+100", "-500", "+053", "+05:3"})
    EXPECT_EQ(rfc(std::string("Sat, 07 Sep 2002 09:42:31 ") + zone), "65535-00-00 00:00:00") << zone;
  EXPECT_EQ(parse_exact(feed_parse_date_rfc822, "").zero, 0);
  EXPECT_EQ(show(feed_parse_date_rfc822(buffer{})), "65535-00-00 00:00:00");
}

// A field out of its range names no instant: no date, rather than the field set to 0 and the rest
// kept, and no zone moves it.
TEST(FeedDatesRfc822, fields_out_of_range_give_no_date) {
  EXPECT_EQ(rfc("Sat, 99 Sep 2002 99:99:99 GMT"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("Sat, 00 Sep 2002 23:00:00 -0500"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("Sat, 30 Feb 2002 23:00:00 -0500"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("Sat, 07 Xyz 2002 23:00:00 -0500"), "65535-00-00 00:00:00");
  EXPECT_EQ(rfc("Sat, -7 Sep -200 -1:00:00 GMT"), "65535-00-00 00:00:00");
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
      {"Fri, 05 Mar 2004 22:21:32 +0200 (a (b) \\) c) (d)", "2004-03-05 20:21:32"},
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
  // Hours past 23 and minutes past 59 carry into the next field; a zone cut short in its minutes
  // is no date.
  for (auto [zone, utc] : {std::pair{"+2400", "2002-09-06 09:42:31"}, {"-2500", "2002-09-08 10:42:31"},
                           {"+0560", "2002-09-07 03:42:31"}, {"+99:99", "2002-09-03 05:03:31"},
                           {"+05:3", "65535-00-00 00:00:00"}}) {
    EXPECT_EQ(rfc(std::string("Sat, 07 Sep 2002 09:42:31 ") + zone), utc) << zone;
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
  EXPECT_EQ(iso("2024-01-15T24:30:00Z"), "0000-00-00 00:00:00") << "only 24:00 itself; an hour past it is no date";
  for (auto [zone, utc] : {std::pair{"+24:00", "2024-01-14 10:30:00"}, {"-25:00", "2024-01-16 11:30:00"},
                           {"+05:60", "2024-01-15 04:30:00"}}) {
    EXPECT_EQ(iso(std::string("2024-01-15T10:30:00") + zone), utc) << zone;
  }
}

TEST(FeedDatesIso8601, short_and_malformed_forms) {
  EXPECT_EQ(iso(""), "0000-00-00 00:00:00");
  EXPECT_EQ(iso("2003-12-1"), "0000-00-00 00:00:00");
  EXPECT_EQ(iso("2003-12-13T18:30"), "2003-12-13 18:30:00");
  EXPECT_EQ(iso("2003-12-13T18:30:0"), "2003-12-13 18:30:00");
  EXPECT_EQ(iso("2003-12-13T18:30:02"), "2003-12-13 18:30:02");
  EXPECT_EQ(iso("2003-12-13T18:30:02."), "2003-12-13 18:30:02");
  // A zone cut short, or a colon whose seconds are not there, names no instant: read as UTC,
  // "+5" would put 23:00 of the day before at 04:00.
  for (const char *text : {"2003-06-10T04:00:00+5", "2003-12-13T18:30:02+", "2003-12-13T18:30:02-",
                           "2003-12-13T18:30:02+0", "2003-12-13T18:30:02-0", "2003-12-13T18:30:02+053",
                           "2003-12-13T18:30:02+05:3", "2003-06-10T09:42:Z", "2003-06-10T09:42:",
                           "2003-06-10T09:42:+01:00"})
    EXPECT_EQ(iso(text), "0000-00-00 00:00:00") << text;
  // A field out of its range names no instant.
  EXPECT_EQ(iso("2003-13-13T99:30:02Z"), "0000-00-00 00:00:00");
  EXPECT_EQ(iso("2003-00-13T01:00:00+05:00"), "0000-00-00 00:00:00");
  EXPECT_EQ(iso("2003-12-00T01:00:00+05:00"), "0000-00-00 00:00:00");
  EXPECT_EQ(iso("2003-02-31T01:00:00+05:00"), "0000-00-00 00:00:00");
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

// ---- Round trips through the feeds' fields ------------------------------------------------

// Random instants printed in the forms feeds write, read back from the four date fields of RSS
// and Atom: each text gives its instant. Spoiled, a text gives its instant or no date, never a
// third value: a day taken for a year, or a zone dropped, sorts an entry out of its place and,
// as a feed's newest date, drops the next update's items.
class FeedDatesRoundTrip : public ParseStore {};

const char *const day_names[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char *const day_names_full[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
const char *const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const month_names_full[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};

// 0 for Monday.
int weekday(date d) {
  int y = d.year, m = d.month;
  if (m < 3) y -= 1, m += 12;
  int k = y % 100, j = y / 100;
  int h = (d.day + 13 * (m + 1) / 5 + k + k / 4 + j / 4 + 5 * j) % 7;  // 0 for Saturday
  return (h + 5) % 7;
}

std::string cased(std::string s, int how) {
  for (char &c : s) c = how == 1 ? (char)toupper(c) : how == 2 ? (char)tolower(c) : c;
  return s;
}

struct date_text {
  std::string text;
  date instant;  // zero: no date is the right answer
  bool spoiled;
};

// One instant in one form: the date and time as written, the zone after them, and the instant.
struct printed {
  std::string head, zone;
  date instant;
  bool rfc;
};

printed print_instant(std::mt19937 &rng) {
  auto pick = [&](u32 n) { return (u32)(rng() % n); };
  printed p = {};
  p.rfc = pick(2);
  bool timed = pick(10) != 0, seconds = pick(4) != 0;
  // A two-digit year at the end of a text may as well be an hour: only a time after it makes it one.
  bool two_digit_year = p.rfc && timed && pick(4) == 0;
  date local = {};
  local.year = (u16)(two_digit_year ? 1950 + pick(100) : 1901 + pick(199));
  local.month = (u8)(1 + pick(12));
  local.day = (u8)(1 + pick(date_month_length(local.year, local.month)));
  if (timed) {
    local.hour = (u8)pick(24);
    local.minute = (u8)pick(60);
    local.second = seconds ? (u8)pick(60) : 0;
  }
  // The zone as the offset of the written time from UTC, in minutes.
  static const struct {
    const char *name;
    int minutes;
  } named[] = {{"GMT", 0},    {"UT", 0},     {"UTC", 0},    {"Z", 0},      {"EST", -300}, {"EDT", -240},
               {"CST", -360}, {"CDT", -300}, {"MST", -420}, {"MDT", -360}, {"PST", -480}, {"PDT", -420}};
  int offset = 0;
  char text[96];
  if (timed && pick(3)) {
    auto z = named[pick(array_count(named))];
    offset = z.minutes;
    p.zone = cased(z.name, p.rfc ? pick(3) : 0);
  } else if (timed && pick(2)) {
    offset = ((int)pick(27 * 4) - 12 * 4) * 15;
    int a = offset < 0 ? -offset : offset;
    u32 form = pick(3);
    if (form == 2 && a % 60) form = 0;
    if (form == 0) snprintf(text, sizeof text, "%c%02d%02d", offset < 0 ? '-' : '+', a / 60, a % 60);
    if (form == 1) snprintf(text, sizeof text, "%c%02d:%02d", offset < 0 ? '-' : '+', a / 60, a % 60);
    if (form == 2) snprintf(text, sizeof text, "%c%02d", offset < 0 ? '-' : '+', a / 60);
    p.zone = text;
  }
  p.instant = date_add(local, 0, 0, 0, 0, -offset, 0);

  if (p.rfc) {
    int wd = weekday(local);
    u32 names = pick(5);
    if (names == 1) p.head += cased(day_names[wd], pick(3)) + ", ";
    if (names == 2) p.head += std::string(day_names[wd]) + " ";
    if (names == 3) p.head += cased(day_names_full[wd], pick(3)) + ", ";
    if (names == 4) p.head += std::string(day_names_full[wd]) + ",";
    if (names == 4) p.head += " ";
    snprintf(text, sizeof text, pick(2) ? "%02u " : "%u ", local.day);
    p.head += text;
    p.head += cased(pick(3) ? month_names[local.month - 1] : month_names_full[local.month - 1], pick(3));
    snprintf(text, sizeof text, two_digit_year ? " %02u" : " %04u", two_digit_year ? local.year % 100 : local.year);
    p.head += text;
    if (timed) {
      snprintf(text, sizeof text, pick(2) ? " %02u:%02u" : " %u:%02u", local.hour, local.minute);
      p.head += text;
      if (seconds || pick(2)) {
        snprintf(text, sizeof text, ":%02u", local.second);
        p.head += text;
      }
    }
  } else {
    snprintf(text, sizeof text, "%04u-%02u-%02u", local.year, local.month, local.day);
    p.head = text;
    if (timed) {
      snprintf(text, sizeof text, "%c%02u:%02u", "TTt "[pick(4)], local.hour, local.minute);
      p.head += text;
      if (seconds || pick(2)) {
        snprintf(text, sizeof text, ":%02u", local.second);
        p.head += text;
        if (pick(3) == 0) p.head += pick(2) ? ".25" : ",123456";
      }
    }
  }
  return p;
}

std::string whole(const printed &p, std::mt19937 &rng) {
  if (p.zone.empty()) return p.head;
  // ISO writes "Z" and numeric zones against the time; any zone may stand after a space.
  bool glued = !p.rfc && (p.zone == "Z" || p.zone[0] == '+' || p.zone[0] == '-') && rng() % 2;
  return p.head + (glued ? "" : " ") + p.zone;
}

std::vector<date_text> date_texts(u32 count) {
  std::mt19937 rng(35);
  const char *unknown[] = {"CEST", "AEDT", "NZDT", "WEST", "Europe/Berlin"};
  std::vector<date_text> texts;
  for (u32 i = 0; i < count; ++i) {
    printed p = print_instant(rng);
    std::string clean = whole(p, rng);
    if (rng() % 8 == 0) clean = " \n\t" + clean + "\n ";
    texts.push_back({clean, p.instant, false});
    std::string spoiled;
    switch (rng() % 5) {
      case 0: spoiled = clean + "."; break;
      case 1: spoiled = clean + " (" + unknown[rng() % 4] + ")"; break;
      case 2: spoiled = p.head + " " + unknown[rng() % 5]; break;
      case 3: spoiled = p.head + (p.zone.empty() ? "GMT" : p.zone); break;
      default: spoiled = clean + " at the latest"; break;
    }
    texts.push_back({spoiled, p.instant, true});
  }
  return texts;
}

TEST_F(FeedDatesRoundTrip, printed_instants_read_back_as_themselves_and_spoiled_ones_as_themselves_or_none) {
  std::vector<date_text> texts = date_texts(3000);
  struct field {
    const char *name;
    bool atom;
  } fields[] = {{"pubDate", false}, {"dc:date", false}, {"updated", true}, {"published", true}};
  u32 right[2] = {}, undated[2] = {}, wrong[2] = {};
  for (field fd : fields) {
    std::string document = fd.atom ? "<feed>" : "<rss><channel>";
    for (u64 i = 0; i < texts.size(); ++i) {
      std::string id = std::to_string(i), tag = fd.name;
      std::string dated = "<" + tag + ">" + texts[i].text + "</" + tag + ">";
      document += fd.atom ? "<entry><id>" + id + "</id>" + dated + "</entry>"
                          : "<item><guid>" + id + "</guid>" + dated + "</item>";
    }
    document += fd.atom ? "</feed>" : "</channel></rss>";
    u32 error = 0;
    feed *f = feed_parse(&scratch, &r, text_of(document), text_of(std::string("https://example.org/") + fd.name),
                         nullptr, &error);
    ASSERT_EQ(error, 0u);
    ASSERT_NE(f, nullptr);
    feed_id = f->id;
    std::vector<entry *> by_id(texts.size());
    for (u32 slot = 0; slot < r.entries.high_water; ++slot) {
      entry *e = (entry *)pool_get(&r.entries, sizeof(entry), slot);
      if (entry_is_live(e) && e->feed_id == feed_id) by_id[std::stoul(to_std(entry_get_guid(e)))] = e;
    }
    u32 stored = 0;
    for (u64 i = 0; i < texts.size(); ++i) {
      entry *e = by_id[i];
      // An Atom entry without a date is never stored: it reads as undated.
      date d = !e ? date{} : !fd.atom ? e->rss.pubDate : strcmp(fd.name, "updated") == 0 ? e->atom.updated : e->atom.published;
      stored += e != nullptr;
      const date_text &t = texts[i];
      bool is_right = date_to_number(d) == date_to_number(t.instant) && d.zero == 0;
      u32 k = t.spoiled;
      if (is_right) {
        right[k]++;
      } else if (date_is_zero(d)) {
        undated[k]++;
      } else {
        wrong[k]++;
      }
      if (!is_right && (!t.spoiled || !date_is_zero(d)))
        ADD_FAILURE() << fd.name << " \"" << t.text << "\" gives " << show(d) << ", meant " << show(t.instant);
    }
    EXPECT_GT(stored, 0u) << fd.name;
  }
  printf("written forms: %u read right, %u undated, %u wrong\n", right[0], undated[0], wrong[0]);
  printf("spoiled forms: %u read right, %u undated, %u wrong\n", right[1], undated[1], wrong[1]);
}

}  // namespace
