// Dates and time. Every point in time is a packed UTC `date`; the local zone and the user's
// language appear only in the text shown to the user.
#pragma once

#include "core/buffer.h"

// ---- Types -------------------------------------------------------------------------------

// Passed and compared as one 64-bit value; the save file stores these 8 bytes as they are, so the
// layout is part of the file format. All zero means "no date".
struct date {
  u16 year;    // 0 to 65535
  u8 month;    // 1 to 12
  u8 day;      // 1 to the month's length
  u8 hour;     // 0 to 23
  u8 minute;   // 0 to 59
  u8 second;   // 0 to 59
  u8 zero;
};
static_assert(sizeof(date) == 8, "a date is one 64-bit word");

#define DATE_COMPACT_LENGTH 15  // "yyyymmdd_hhmmss"

// Flags of date_to_string.
enum date_text_flags : u32 {
  date_text_no_date = 0x1,
  date_text_no_time = 0x2,
};

// ---- Calendar ----------------------------------------------------------------------------

date date_now_utc();
u32 date_is_leap_year(u64 year);
// Days in the month of that year; 0 for a month outside 1 to 12.
u32 date_month_length(u64 year, u32 month);
// Every field in range (the zero date is not valid).
bool date_is_valid(date d);
// The ordering key YYYYMMDDhhmmss; the zero byte plays no part.
u64 date_to_number(date d);
u32 date_greater(date a, date b);
u32 date_less(date a, date b);
u32 date_is_zero(date d);
// Moves the date by the amounts in the order seconds, minutes, hours, days, months, years; a day
// past the new month's end becomes its last day. The result saturates at 0000-01-01 00:00:00 and
// 65535-12-31 23:59:59; amounts beyond +-2^45 count as +-2^45. A date that is not valid (the zero
// date among them) gives the zero date.
date date_add(date d, s64 years, s64 months, s64 days, s64 hours, s64 minutes, s64 seconds);

// ---- Text --------------------------------------------------------------------------------

// Appends "yyyymmdd_hhmmss" (a year above 9999 with all its digits); false with nothing
// appended when the buffer has no room.
bool date_to_compact_string(date d, buffer *out);
// The date of the first 15 bytes, or the zero date when they are malformed or out of range.
date date_from_compact_string(buffer text);
// Appends the local long date, the separator and the local time in the user's language, as much
// as fits (whole characters), in UTF-8 whatever character set the user's locale has; returns the
// view of the appended bytes. An invalid date appends nothing.
buffer date_to_string(date d, buffer *out, u32 flags, buffer separator);

// ---- Counters ----------------------------------------------------------------------------

// The monotonic clock in ticks, and ticks per second.
s64 counter_now();
s64 counter_frequency();
// (counter2 - counter1) / frequency, the difference and the frequency taken as unsigned.
f64 counter_seconds_between(s64 counter1, s64 counter2, s64 frequency);
// The counter's ticks in a span of nanoseconds, rounded up so that a span above 0 is at least
// one tick; 0 for a span not above 0, the largest s64 for a span the counter cannot count.
s64 counter_ticks_from_ns(s64 ns);
