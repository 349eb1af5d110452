// Dates as feeds write them: RFC 822 in RSS, the RFC 3339 form of ISO 8601 in Atom. Each form is
// read whole or not at all: a text that is not of the form, or names a field out of its range,
// gives no date, never one with the parts it could not read set to 0 (a day taken for a year
// sorts an entry to the bottom and, as a feed's newest date, drops the next update's items).
// The two forms cannot be taken for each other: an ISO date begins with four digits and a
// hyphen, an RFC 822 one with a day's name or number and a space. Every step checks the bytes
// left, so no byte past the end of a cut text is touched.
#include "reader/reader.h"

namespace {

struct date_cursor {
  const u8 *p;
  const u8 *end;
};

date_cursor cursor_of(buffer text) { return {text.data, text.data ? text.data + text.used : text.data}; }

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

bool take_byte(date_cursor *c, u8 b) {
  if (c->p == c->end || *c->p != b) return false;
  ++c->p;
  return true;
}

s64 digits_value(buffer digits) { return string_parse_integer(digits.data, digits.used, nullptr); }

// Exactly n digits, no more and no fewer.
bool take_field(date_cursor *c, u64 n, s64 *value) {
  buffer digits = take_digits(c);
  *value = digits_value(digits);
  return digits.used == n;
}

// Names in short and in full.
const char *const day_words[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun", "Monday", "Tuesday",
                                 "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
const char *const month_words[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec",
                                   "January", "February", "March", "April", "May", "June", "July", "August",
                                   "September", "October", "November", "December"};
const char *const zone_words[] = {"EST", "EDT", "CST", "CDT", "MST", "MDT", "PST", "PDT"};
const s64 zone_hours[] = {5, 4, 6, 5, 7, 6, 8, 7};
// The names an ISO date may carry after its time, UTC's own and the table's: any other word
// there would be a guess.
const char *const utc_words[] = {"Z", "UT", "UTC", "GMT"};

// The index of the word in the list, whatever the case of its letters (a feed that writes "SEP"
// or "monday" means what it says); -1 when it is none of them.
s32 word_index(buffer word, const char *const *words, u32 count) {
  for (u32 i = 0; i < count; ++i) {
    // Compared up to the list word's terminator, which ends the match where the word must end:
    // a date is read thousands of times an update.
    const char *w = words[i];
    u64 k = 0;
    while (k < word.used && w[k] && char_to_lower(word.data[k]) == char_to_lower((u8)w[k])) ++k;
    if (k == word.used && !w[k]) return (s32)i;
  }
  return -1;
}

s64 rfc822_military_zone(u8 c) {
  if (c >= 'A' && c <= 'I') return c - 'A' + 1;
  if (c >= 'K' && c <= 'M') return c - 'K' + 10;
  if (c >= 'N' && c <= 'Y') return -(s64)(c - 'N' + 1);
  return 0;  // Z, J and anything else
}

// A numeric zone at the cursor: a sign and the hours in two digits, then the minutes in two, with
// or without a colon between them, or the hours alone (with or without the colon). The time was
// written ahead of UTC by that much, so the amounts given are to be added to reach UTC. Hours past
// 23 or minutes past 59 are given as they are, for the carrying addition to take into the next
// fields. False for anything else, a zone cut short ("+5", "+053", "+05:3") among them: the
// offset it meant cannot be known, and UTC in its place would be a wrong instant.
bool take_numeric_zone(date_cursor *c, s64 *hours, s64 *minutes) {
  *hours = *minutes = 0;
  if (c->p == c->end || (*c->p != '+' && *c->p != '-')) return false;
  bool ahead = *c->p++ == '+';
  buffer digits = take_digits(c);
  if (digits.used != 2 && digits.used != 4) return false;
  s64 h = digits_value(string_from_bytes(digits.data, 2)), m = 0;
  if (digits.used == 4) {
    m = digits_value(string_from_bytes(digits.data + 2, 2));
  } else if (take_byte(c, ':')) {
    // "+05:" names its hours.
    buffer minute = take_digits(c);
    if (minute.used == 1 || minute.used > 2) return false;
    m = digits_value(minute);
  }
  *hours = ahead ? -h : h;
  *minutes = ahead ? -m : m;
  return true;
}

struct parsed_date {
  s64 year, month, day, hour, minute, second;
};

// The date the fields name, moved into UTC by the zone's amounts with the carrying addition.
// False when a field lies outside its range (a month 13, the 30th of February, an hour 25): such
// a text names no instant.
bool date_of_fields(const parsed_date &f, s64 hours, s64 minutes, date *out) {
  if (f.year < 0 || f.year > 65535 || f.month < 1 || f.month > 12 || f.day < 1 || f.day > 31 || f.hour < 0 ||
      f.hour > 23 || f.minute < 0 || f.minute > 59 || f.second < 0 || f.second > 59)
    return false;
  date d = {(u16)f.year, (u8)f.month, (u8)f.day, (u8)f.hour, (u8)f.minute, (u8)f.second, 0};
  if (!date_is_valid(d)) return false;
  *out = date_add(d, 0, 0, 0, hours, minutes, 0);
  return true;
}

// ---- RFC 822 -----------------------------------------------------------------------------

// A zone at the cursor, the bytes of the token only: letters (the table: a military letter, any
// two letters, one of the named zones or any other three letters) or a whole numeric zone.
// False for anything else, such as a longer name of a zone outside the table, whose offset would
// be a guess.
bool rfc822_take_zone(date_cursor *c, s64 *hours, s64 *minutes) {
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
  return take_numeric_zone(c, hours, minutes);
}

// After the zone: white space and comments in parentheses (as in "+0000 (UTC)"), which may nest
// and quote a character with a backslash as RFC 822 has them, nothing else.
bool only_comments_left(date_cursor *c) {
  skip_spaces(c);
  while (take_byte(c, '(')) {
    u64 depth = 1;
    while (depth && c->p < c->end) {
      u8 b = *c->p++;
      if (b == '\\') {
        if (c->p == c->end) return false;
        ++c->p;
      } else {
        depth += b == '(';
        depth -= b == ')';
      }
    }
    if (depth) return false;
    skip_spaces(c);
  }
  return c->p == c->end;
}

// The text as feeds write RFC 822 dates, every byte of it: an optional day name (short or in
// full, with or without its comma), the day in one or two digits, the month's name (short or in
// full), the year, then optionally the time (an hour of one or two digits, minutes and seconds
// of two) and a zone. False when any part is missing, unknown or out of range.
bool rfc822_whole(buffer text, date *out) {
  date_cursor c = cursor_of(text);
  skip_spaces(&c);
  buffer word = take_letters(&c);
  if (word.used) {
    if (word_index(word, day_words, array_count(day_words)) < 0) return false;
    bool comma = take_byte(&c, ',');
    if (!skip_spaces(&c) && !comma) return false;
  }
  buffer day = take_digits(&c);
  if (day.used < 1 || day.used > 2 || !skip_spaces(&c)) return false;
  s32 month = word_index(take_letters(&c), month_words, array_count(month_words));
  if (month < 0 || !skip_spaces(&c)) return false;
  buffer year_digits = take_digits(&c);
  bool spaced = skip_spaces(&c);
  s64 year = digits_value(year_digits);
  // Two digits are a year only with a space after them: at the end of a text they may as well
  // be the hour of a date that left its year out. They name a year of this century up to 49 and
  // of the last one from 50.
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
      if (!take_byte(&c, ':')) break;
      if (!take_field(&c, 2, field)) return false;
    }
    if (c.p < c.end && (!skip_spaces(&c) || (c.p < c.end && !rfc822_take_zone(&c, &hours, &minutes)))) return false;
    if (!only_comments_left(&c)) return false;
  }
  return date_of_fields(f, hours, minutes, out);
}

// ---- ISO 8601 ----------------------------------------------------------------------------

// What may follow an ISO time: nothing, "Z", a numeric zone, or (after white space, as some
// feeds write it) UTC's name or one of the table's.
bool iso8601_take_zone(date_cursor *c, s64 *hours, s64 *minutes) {
  *hours = *minutes = 0;
  if (c->p == c->end) return true;
  if (*c->p == '+' || *c->p == '-') return take_numeric_zone(c, hours, minutes);
  buffer word = take_letters(c);
  if (word_index(word, utc_words, array_count(utc_words)) >= 0) return true;
  s32 i = word_index(word, zone_words, array_count(zone_words));
  if (i >= 0) *hours = zone_hours[i];
  return i >= 0;
}

// "yyyy-mm-dd", then optionally "T" (or "t", or a space) and the time "hh:mm", its seconds in one
// or two digits, a fraction (passed over) and a zone, white space around it all: every byte.
bool iso8601_whole(buffer text, date *out) {
  date_cursor c = cursor_of(text);
  skip_spaces(&c);
  parsed_date f = {};
  if (!take_field(&c, 4, &f.year) || !take_byte(&c, '-') || !take_field(&c, 2, &f.month) || !take_byte(&c, '-') ||
      !take_field(&c, 2, &f.day))
    return false;
  s64 hours = 0, minutes = 0;
  if (c.p < c.end && (*c.p == 'T' || *c.p == 't' || *c.p == ' ') && c.p + 1 < c.end && char_is_digit(c.p[1])) {
    ++c.p;
    if (!take_field(&c, 2, &f.hour) || !take_byte(&c, ':') || !take_field(&c, 2, &f.minute)) return false;
    if (take_byte(&c, ':')) {
      // The colon announces the seconds: without them the text names no instant.
      buffer second = take_digits(&c);
      if (second.used < 1 || second.used > 2) return false;
      f.second = digits_value(second);
    }
    if (take_byte(&c, '.') || take_byte(&c, ',')) take_digits(&c);
    skip_spaces(&c);
    if (!iso8601_take_zone(&c, &hours, &minutes)) return false;
  } else if (c.p < c.end && (*c.p == 'T' || *c.p == 't')) {
    ++c.p;  // a date that ends with its separator is the date at midnight
  }
  skip_spaces(&c);
  if (c.p != c.end) return false;
  // "24:00" is the end of the day, the midnight that starts the next one.
  bool end_of_day = f.hour == 24 && f.minute == 0 && f.second == 0;
  if (end_of_day) f.hour = 0;
  date d = {};
  if (!date_of_fields(f, 0, 0, &d)) return false;
  if (end_of_day) d = date_add(d, 0, 0, 1, 0, 0, 0);
  *out = date_add(d, 0, 0, 0, hours, minutes, 0);
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
  return rfc822_whole(text, &d) ? d : rfc822_no_date;
}

date feed_parse_date_iso8601(buffer text) {
  date d = {};
  return iso8601_whole(text, &d) ? d : date{};
}
