// Dates as feeds write them: RFC 822 in RSS, the RFC 3339 form of ISO 8601 in Atom. Both parsers
// are positional and forgiving. Every skip is clamped to the end of the text, so a short or cut
// date reads as far as it goes and no byte past the end is touched.
#include "reader/reader.h"

namespace {

struct date_cursor {
  const u8 *p;
  const u8 *end;
};

u64 cursor_left(const date_cursor &c) { return (u64)(c.end - c.p); }

void cursor_skip(date_cursor *c, u64 n) {
  u64 left = cursor_left(*c);
  c->p += n < left ? n : left;
}

// n bytes at offset as an integer (the caller has checked they are there).
s64 cursor_number(const date_cursor &c, u64 offset, u64 n) {
  return string_parse_integer(c.p + offset, n, nullptr);
}

bool cursor_matches(const date_cursor &c, const char *names, u32 count, u32 *index) {
  if (cursor_left(c) < 3) return false;
  for (u32 i = 0; i < count; ++i) {
    if (c.p[0] == (u8)names[i * 3] && c.p[1] == (u8)names[i * 3 + 1] && c.p[2] == (u8)names[i * 3 + 2]) {
      *index = i;
      return true;
    }
  }
  return false;
}

const char day_names[] = "MonTueWedThuFriSatSun";
const char month_names[] = "JanFebMarAprMayJunJulAugSepOctNovDec";

// A field the text gives outside its range is a part that cannot be read: it stays 0, so no
// later use of the date (month tables, calendar steps) meets a value it cannot handle.
u8 field_or_zero(s64 value, s64 high) { return value >= 0 && value <= high ? (u8)value : 0; }

struct parsed_date {
  s64 year, month, day, hour, minute, second;
};

date date_from_fields(const parsed_date &f) {
  date d = {};
  d.year = f.year >= 0 && f.year <= 65535 ? (u16)f.year : 0;
  d.month = field_or_zero(f.month, 12);
  d.day = field_or_zero(f.day, 31);
  d.hour = field_or_zero(f.hour, 23);
  d.minute = field_or_zero(f.minute, 59);
  d.second = field_or_zero(f.second, 59);
  return d;
}

// Moves a date by the zone's offset into UTC. A date without a valid day (no month, day 0,
// February 30) has no place on the calendar to move from, so it stays as written.
date date_apply_offset(date d, s64 hours, s64 minutes) {
  if ((hours == 0 && minutes == 0) || !date_is_valid(d)) return d;
  return date_add(d, 0, 0, 0, hours, minutes, 0);
}

// "+hhmm", "+hh:mm" or "+hh" at the cursor, the time written ahead of UTC by that much, gives
// the amounts to add to reach UTC. A zone cut short in its minutes, or beyond 23:59, cannot be
// read and gives no offset.
void numeric_zone(date_cursor c, s64 *hours, s64 *minutes) {
  *hours = *minutes = 0;
  if (cursor_left(c) < 3 || (c.p[0] != '+' && c.p[0] != '-') || !char_is_digit(c.p[1]) || !char_is_digit(c.p[2])) {
    return;
  }
  s64 h = cursor_number(c, 1, 2), m = 0;
  date_cursor rest = {c.p + 3, c.end};
  if (rest.p < rest.end && *rest.p == ':') ++rest.p;
  if (cursor_left(rest) >= 2 && char_is_digit(rest.p[0]) && char_is_digit(rest.p[1])) {
    m = cursor_number(rest, 0, 2);
  } else if (rest.p < rest.end && char_is_digit(*rest.p)) {
    return;
  }
  if (h > 23 || m > 59) return;
  *hours = c.p[0] == '+' ? -h : h;
  *minutes = c.p[0] == '+' ? -m : m;
}

s64 rfc822_military_zone(u8 c) {
  if (c >= 'A' && c <= 'I') return c - 'A' + 1;
  if (c >= 'K' && c <= 'M') return c - 'K' + 10;
  if (c >= 'N' && c <= 'Y') return -(s64)(c - 'N' + 1);
  return 0;  // Z, J and anything else
}

s64 rfc822_named_zone(const u8 *p) {
  static const char names[] = "ESTEDTCSTCDTMSTMDTPSTPDT";
  static const s64 hours[] = {5, 4, 6, 5, 7, 6, 8, 7};
  date_cursor c = {p, p + 3};
  u32 index = 0;
  return cursor_matches(c, names, 8, &index) ? hours[index] : 0;
}

}  // namespace

date feed_parse_date_rfc822(buffer text) {
  date_cursor c = {text.data, text.data + text.used};
  if (!text.data) c.end = c.p;
  parsed_date f = {};

  while (c.p < c.end && char_is_space(*c.p)) ++c.p;
  u32 index = 0;
  if (cursor_left(c) >= 4 && cursor_matches(c, day_names, 7, &index)) cursor_skip(&c, 5);
  if (cursor_left(c) >= 2) {
    f.day = cursor_number(c, 0, 2);
    cursor_skip(&c, 2);
  }
  if (c.p < c.end && *c.p == ' ') ++c.p;
  if (cursor_left(c) >= 4 && cursor_matches(c, month_names, 12, &index)) {
    f.month = index + 1;
    cursor_skip(&c, 4);
  }
  if (cursor_left(c) >= 3 && c.p[2] == ' ') {
    // Two digits name a year of this century up to 49 and of the last one from 50.
    f.year = cursor_number(c, 0, 2);
    if (f.year >= 0 && f.year <= 49) f.year += 2000;
    else if (f.year >= 50 && f.year <= 99) f.year += 1900;
    cursor_skip(&c, 3);
  } else if (cursor_left(c) >= 4) {
    f.year = cursor_number(c, 0, 4);
    cursor_skip(&c, 5);
  } else {
    f.year = 65535;
  }
  if (cursor_left(c) >= 2) {
    f.hour = cursor_number(c, 0, 2);
    cursor_skip(&c, 3);
  }
  if (cursor_left(c) >= 2) {
    f.minute = cursor_number(c, 0, 2);
    cursor_skip(&c, 2);
  }
  if (cursor_left(c) >= 3 && *c.p == ':') {
    f.second = cursor_number(c, 1, 2);
    cursor_skip(&c, 4);
  }

  // A time without seconds leaves the space before the zone; the zone is the same either way.
  while (c.p < c.end && char_is_space(*c.p)) ++c.p;
  s64 hours = 0, minutes = 0;
  u64 r = cursor_left(c);
  if (r == 0) {
  } else if (r == 1 || c.p[1] == ' ') {
    hours = rfc822_military_zone(c.p[0]);
  } else if (r == 2 || c.p[2] == ' ') {
    hours = 0;
  } else if (r == 3 || c.p[3] == ' ') {
    hours = rfc822_named_zone(c.p);
  } else {
    numeric_zone(c, &hours, &minutes);
  }
  return date_apply_offset(date_from_fields(f), hours, minutes);
}

date feed_parse_date_iso8601(buffer text) {
  date_cursor c = {text.data, text.data + text.used};
  if (!text.data) c.end = c.p;
  parsed_date f = {};

  // "yyyy-mm-dd" alone is a whole date at midnight, so ten bytes are enough; the separators
  // are not examined. The time may leave out its seconds ("hh:mm" and the zone).
  if (cursor_left(c) >= 10) {
    f.year = cursor_number(c, 0, 4);
    f.month = cursor_number(c, 5, 2);
    f.day = cursor_number(c, 8, 2);
    cursor_skip(&c, 11);
    if (cursor_left(c) >= 5) {
      f.hour = cursor_number(c, 0, 2);
      f.minute = cursor_number(c, 3, 2);
      cursor_skip(&c, 5);
      if (cursor_left(c) >= 3 && *c.p == ':') {
        f.second = cursor_number(c, 1, 2);
        cursor_skip(&c, 3);
      }
    }
  }
  if (c.p < c.end && *c.p == '.') {
    ++c.p;
    while (c.p < c.end && char_is_digit(*c.p)) ++c.p;
  }
  s64 hours = 0, minutes = 0;
  numeric_zone(c, &hours, &minutes);
  // "24:00" is the end of the day, the midnight that starts the next one.
  bool end_of_day = f.hour == 24 && f.minute == 0 && f.second == 0;
  if (end_of_day) f.hour = 0;
  date d = date_from_fields(f);
  if (end_of_day && date_is_valid(d)) d = date_add(d, 0, 0, 1, 0, 0, 0);
  return date_apply_offset(d, hours, minutes);
}
