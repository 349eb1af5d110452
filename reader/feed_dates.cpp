// Dates as feeds write them: RFC 822 in RSS, the RFC 3339 form of ISO 8601 in Atom. The ISO
// parser is positional and forgiving; an RFC 822 date is read word by word and must read whole,
// as feeds vary its layout (a day name without its comma, names in full) and a reading by
// position then gives a wrong date. Every skip is clamped to the end of the text, so a short or
// cut date reads as far as it goes and no byte past the end is touched.
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

// Names in short and in full; the first of each list are the three-letter ones.
const char *const day_words[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun", "Monday", "Tuesday",
                                 "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
const char *const month_words[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec",
                                   "January", "February", "March", "April", "May", "June", "July", "August",
                                   "September", "October", "November", "December"};
const char *const zone_words[] = {"EST", "EDT", "CST", "CDT", "MST", "MDT", "PST", "PDT"};
const s64 zone_hours[] = {5, 4, 6, 5, 7, 6, 8, 7};

// Whether the three bytes at the cursor are one of the first count (three-letter) words, as
// written.
bool cursor_matches(const date_cursor &c, const char *const *words, u32 count, u32 *index) {
  if (cursor_left(c) < 3) return false;
  for (u32 i = 0; i < count; ++i) {
    if (c.p[0] == (u8)words[i][0] && c.p[1] == (u8)words[i][1] && c.p[2] == (u8)words[i][2]) {
      *index = i;
      return true;
    }
  }
  return false;
}

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
  date_cursor c = {p, p + 3};
  u32 index = 0;
  return cursor_matches(c, zone_words, array_count(zone_words), &index) ? zone_hours[index] : 0;
}

// The fixed layout "Sat, 07 Sep 2002 09:42:31 GMT" read by position, each field where that
// layout puts it: what a text that does not read whole gives, as far as it goes.
date rfc822_positional(buffer text) {
  date_cursor c = {text.data, text.data + text.used};
  if (!text.data) c.end = c.p;
  parsed_date f = {};

  while (c.p < c.end && char_is_space(*c.p)) ++c.p;
  u32 index = 0;
  if (cursor_left(c) >= 4 && cursor_matches(c, day_words, 7, &index)) cursor_skip(&c, 5);
  if (cursor_left(c) >= 2) {
    f.day = cursor_number(c, 0, 2);
    cursor_skip(&c, 2);
  }
  if (c.p < c.end && *c.p == ' ') ++c.p;
  if (cursor_left(c) >= 4 && cursor_matches(c, month_words, 12, &index)) {
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

// ---- RFC 822 read whole --------------------------------------------------------------------

// The run of bytes from the cursor that pass the test; the cursor moves past it.
template <class F>
buffer take_run(date_cursor *c, F test) {
  const u8 *start = c->p;
  while (c->p < c->end && test(*c->p)) ++c->p;
  return string_from_range(start, c->p);
}

bool skip_spaces(date_cursor *c) { return take_run(c, [](u8 b) { return char_is_space(b); }).used > 0; }
buffer take_letters(date_cursor *c) { return take_run(c, [](u8 b) { return char_is_alpha(b); }); }
buffer take_digits(date_cursor *c) { return take_run(c, [](u8 b) { return char_is_digit(b); }); }

s64 digits_value(buffer digits) { return string_parse_integer(digits.data, digits.used, nullptr); }

// The index of the word in the list, whatever the case of its letters (a feed that writes "SEP"
// or "monday" means what it says); -1 when it is none of them.
s32 word_index(buffer word, const char *const *words, u32 count) {
  for (u32 i = 0; i < count; ++i) {
    u64 n = string_length(words[i]);
    if (n != word.used) continue;
    u64 k = 0;
    while (k < n && char_to_lower(word.data[k]) == char_to_lower((u8)words[i][k])) ++k;
    if (k == n) return (s32)i;
  }
  return -1;
}

// A zone at the cursor, the bytes of the token only: letters (the table: a military letter, any
// two letters, one of the named zones or any other three letters) or a sign and two to four
// digits, a colon possibly after the first two ("+0200", "+02:00", "+02"; one cut short or out
// of range gives no offset, as the positional reading has it). False for anything else, such as
// a longer name of a zone outside the table, whose offset would be a guess.
bool take_zone(date_cursor *c, s64 *hours, s64 *minutes) {
  *hours = *minutes = 0;
  buffer letters = take_letters(c);
  if (letters.used == 1) {
    *hours = rfc822_military_zone(letters.data[0]);
    return true;
  }
  if (letters.used == 2) return true;
  if (letters.used == 3) {
    s32 i = word_index(letters, zone_words, array_count(zone_words));
    if (i >= 0) *hours = zone_hours[i];
    return true;
  }
  if (letters.used) return false;
  if (c->p == c->end || (*c->p != '+' && *c->p != '-')) return false;
  date_cursor zone = *c;
  ++c->p;
  u64 digits = take_digits(c).used;
  if (digits < 2 || digits > 4) return false;
  if (digits == 2 && c->p < c->end && *c->p == ':') {
    ++c->p;
    if (take_digits(c).used > 2) return false;
  }
  numeric_zone(zone, hours, minutes);
  return true;
}

// After the zone: white space and one comment in parentheses (as in "+0000 (UTC)"), nothing else.
bool only_a_comment_left(date_cursor *c) {
  skip_spaces(c);
  if (c->p < c->end && *c->p == '(') {
    ++c->p;
    take_run(c, [](u8 b) { return b != ')' && b != '('; });
    if (c->p == c->end || *c->p != ')') return false;
    ++c->p;
    skip_spaces(c);
  }
  return c->p == c->end;
}

// The text as feeds write RFC 822 dates, every byte of it: an optional day name (short or in
// full, with or without its comma), the day in one or two digits, the month's name (short or in
// full), the year, then optionally the time (an hour of one or two digits, minutes and seconds
// of two) and a zone. False when any part is missing, unknown or out of range.
bool rfc822_whole(buffer text, date *out) {
  date_cursor c = {text.data, text.data + text.used};
  if (!text.data) c.end = c.p;
  skip_spaces(&c);
  buffer word = take_letters(&c);
  if (word.used) {
    if (word_index(word, day_words, array_count(day_words)) < 0) return false;
    bool comma = c.p < c.end && *c.p == ',';
    if (comma) ++c.p;
    if (!skip_spaces(&c) && !comma) return false;
  }
  buffer day = take_digits(&c);
  if (day.used < 1 || day.used > 2 || !skip_spaces(&c)) return false;
  s32 month = word_index(take_letters(&c), month_words, array_count(month_words));
  if (month < 0 || !skip_spaces(&c)) return false;
  buffer year_digits = take_digits(&c);
  bool spaced = skip_spaces(&c);
  s64 year = digits_value(year_digits);
  // Two digits are a year only with a space after them, as the fixed layout has it: at the end
  // of a text they may as well be the hour of a date that left its year out.
  if (year_digits.used == 2 && spaced) {
    year += year <= 49 ? 2000 : 1900;
  } else if (year_digits.used != 4) {
    return false;
  }
  parsed_date f = {year, month % 12 + 1, digits_value(day), 0, 0, 0};
  s64 hours = 0, minutes = 0;
  if (c.p < c.end) {
    buffer hour = take_digits(&c);
    if (hour.used < 1 || hour.used > 2) return false;
    f.hour = digits_value(hour);
    for (s64 *field : {&f.minute, &f.second}) {
      if (c.p == c.end || *c.p != ':') break;
      ++c.p;
      buffer digits = take_digits(&c);
      if (digits.used != 2) return false;
      *field = digits_value(digits);
    }
    if (c.p < c.end && (!skip_spaces(&c) || (c.p < c.end && !take_zone(&c, &hours, &minutes)))) return false;
    if (!only_a_comment_left(&c)) return false;
  }
  if (f.hour > 23 || f.minute > 59 || f.second > 59) return false;
  date d = date_from_fields(f);
  if (!date_is_valid(d)) return false;
  *out = date_apply_offset(d, hours, minutes);
  return true;
}

// What an empty text gives: no year, no day.
const date rfc822_no_date = {65535, 0, 0, 0, 0, 0, 0};

}  // namespace

// A zone that carries a date past 9999 (9999-12-31T23:59:59-23:59), or the 65535 of a date
// written without its year, gives no date a feed meant: kept, it would be shown and saved with a
// five-digit year.
bool feed_date_is_usable(date d) { return date_is_valid(d) && d.year <= 9999; }

date feed_parse_date_rfc822(buffer text) {
  date d = {};
  if (rfc822_whole(text, &d)) return d;
  // The positional reading shows how far such a text went; when it would pass for a date, that
  // date is not to be trusted (a day name without its comma moves every field after it), so it
  // is none.
  d = rfc822_positional(text);
  return feed_date_is_usable(d) ? rfc822_no_date : d;
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
