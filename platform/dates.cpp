// Calendar arithmetic on packed UTC dates, their compact and localised texts, and the clock.
#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <stdio.h>
#include <strings.h>
#include <string.h>
#include <time.h>

#include <mutex>

#include "platform/dates.h"

#include "core/strings.h"
#include "core/unicode.h"
#include "profiler/profiler.h"

// ---- Calendar ----------------------------------------------------------------------------

date date_now_utc() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  if (!gmtime_r(&ts.tv_sec, &tm)) return date{};
  s64 year = (s64)tm.tm_year + 1900;
  if (year < 0 || year > 65535) return date{};
  return date{(u16)year, (u8)(tm.tm_mon + 1), (u8)tm.tm_mday, (u8)tm.tm_hour, (u8)tm.tm_min,
              (u8)(tm.tm_sec > 59 ? 59 : tm.tm_sec), 0};
}

u32 date_is_leap_year(u64 year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

u32 date_month_length(u64 year, u32 month) {
  static const u8 lengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return lengths[month - 1] + (month == 2 ? date_is_leap_year(year) : 0);
}

bool date_is_valid(date d) {
  return d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= date_month_length(d.year, d.month) &&
         d.hour <= 23 && d.minute <= 59 && d.second <= 59;
}

u64 date_to_number(date d) {
  return (u64)d.year * 10000000000ull + (u64)d.month * 100000000ull + (u64)d.day * 1000000ull +
         (u64)d.hour * 10000ull + (u64)d.minute * 100ull + (u64)d.second;
}

u32 date_greater(date a, date b) { return date_to_number(a) > date_to_number(b); }
u32 date_less(date a, date b) { return date_to_number(a) < date_to_number(b); }
u32 date_is_zero(date d) {
  return d.year == 0 && d.month == 0 && d.day == 0 && d.hour == 0 && d.minute == 0 && d.second == 0;
}

static s64 floor_div(s64 a, s64 b) {
  s64 q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Day numbers of the proleptic Gregorian calendar (0 is 1970-01-01), valid for any year a
// 64-bit value holds after the amounts are bounded; they turn day steps into one addition.
static s64 date_days_from_civil(s64 y, u32 m, u32 d) {
  y -= m <= 2;
  s64 era = floor_div(y, 400);
  s64 yoe = y - era * 400;
  s64 doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  s64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

static void date_civil_from_days(s64 z, s64 *year, u32 *month, u32 *day) {
  z += 719468;
  s64 era = floor_div(z, 146097);
  s64 doe = z - era * 146097;
  s64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  s64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  s64 mp = (5 * doy + 2) / 153;
  *day = (u32)(doy - (153 * mp + 2) / 5 + 1);
  *month = (u32)(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2);
}

static u32 date_month_length_signed(s64 year, u32 month) {
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return date_month_length(leap ? 2000 : 2001, month);
}

// Beyond this every amount alone carries the date past either end of its range, and the
// arithmetic below stays far from 64-bit overflow.
#define DATE_AMOUNT_LIMIT (1ll << 45)

static s64 date_amount_bound(s64 v) {
  return v > DATE_AMOUNT_LIMIT ? DATE_AMOUNT_LIMIT : v < -DATE_AMOUNT_LIMIT ? -DATE_AMOUNT_LIMIT : v;
}

date date_add(date d, s64 years, s64 months, s64 days, s64 hours, s64 minutes, s64 seconds) {
  // A date outside the calendar would index month tables with nonsense; it has no meaning to
  // move, so it stays "no date".
  if (!date_is_valid(d)) return date{};
  years = date_amount_bound(years);
  months = date_amount_bound(months);
  days = date_amount_bound(days);
  hours = date_amount_bound(hours);
  minutes = date_amount_bound(minutes);
  seconds = date_amount_bound(seconds);

  // The year is signed and wide while the steps run, so nothing wraps on the way.
  s64 s = d.second + seconds;
  s64 carry = floor_div(s, 60);
  s -= carry * 60;
  s64 mi = d.minute + minutes + carry;
  carry = floor_div(mi, 60);
  mi -= carry * 60;
  s64 h = d.hour + hours + carry;
  carry = floor_div(h, 24);
  h -= carry * 24;

  s64 y;
  u32 m, dd;
  date_civil_from_days(date_days_from_civil(d.year, d.month, d.day) + days + carry, &y, &m, &dd);

  s64 total = y * 12 + (s64)(m - 1) + months;
  y = floor_div(total, 12);
  m = (u32)(total - y * 12) + 1;
  u32 length = date_month_length_signed(y, m);
  if (dd > length) dd = length;

  y += years;
  if (y < 0) return date{0, 1, 1, 0, 0, 0, 0};
  if (y > 65535) return date{65535, 12, 31, 23, 59, 59, 0};
  if (m == 2 && dd == 29 && !date_is_leap_year((u64)y)) dd = 28;
  return date{(u16)y, (u8)m, (u8)dd, (u8)h, (u8)mi, (u8)s, 0};
}

// ---- Compact text ------------------------------------------------------------------------

bool date_to_compact_string(date d, buffer *out) {
  u64 length = DATE_COMPACT_LENGTH + (d.year > 9999 ? 1 : 0);
  if (buffer_free_bytes(*out) < length) return false;
  buffer_push_unsigned(out, d.year, 4, '0', 0);
  buffer_push_unsigned(out, d.month, 2, '0', 0);
  buffer_push_unsigned(out, d.day, 2, '0', 0);
  out->data[out->used++] = '_';
  buffer_push_unsigned(out, d.hour, 2, '0', 0);
  buffer_push_unsigned(out, d.minute, 2, '0', 0);
  buffer_push_unsigned(out, d.second, 2, '0', 0);
  return true;
}

date date_from_compact_string(buffer text) {
  if (text.used < DATE_COMPACT_LENGTH) return date{};
  const u8 *p = text.data;
  for (u32 i = 0; i < DATE_COMPACT_LENGTH; i++) {
    if (i == 8 ? p[i] != '_' : !char_is_digit(p[i])) return date{};
  }
  date d = {};
  d.year = (u16)string_parse_integer(p, 4);
  d.month = (u8)string_parse_integer(p + 4, 2);
  d.day = (u8)string_parse_integer(p + 6, 2);
  d.hour = (u8)string_parse_integer(p + 9, 2);
  d.minute = (u8)string_parse_integer(p + 11, 2);
  d.second = (u8)string_parse_integer(p + 13, 2);
  return date_is_valid(d) ? d : date{};
}

// ---- Localised text ----------------------------------------------------------------------

// The user's time locale, made once. Only LC_TIME is taken, through a locale object rather than
// setlocale, so number parsing elsewhere keeps the C rules and no thread sees the global locale
// change under it. Its texts come in its own character set, which need not be UTF-8.
static locale_t date_locale;
static bool date_locale_is_utf8;
static char date_locale_charset[64];

static void date_user_locale_init() {
  static std::once_flag once;
  std::call_once(once, [] {
    date_locale = newlocale(LC_TIME_MASK, "", (locale_t)0);
    if (!date_locale) date_locale = newlocale(LC_TIME_MASK, "C", (locale_t)0);
    // The character set of the time texts themselves, which may differ from LC_CTYPE's.
    const char *set = date_locale ? nl_langinfo_l(_NL_TIME_CODESET, date_locale) : "";
    snprintf(date_locale_charset, sizeof(date_locale_charset), "%s", set ? set : "");
    date_locale_is_utf8 = strcasecmp(date_locale_charset, "UTF-8") == 0 || strcasecmp(date_locale_charset, "utf8") == 0;
  });
}

// One strftime part as UTF-8 into [out, out + room); the bytes written.
static u64 date_format_part(char *out, u64 room, const char *format, const struct tm *local) {
  char raw[1024];
  u64 n = date_locale ? strftime_l(raw, sizeof(raw), format, local, date_locale)
                      : strftime(raw, sizeof(raw), format, local);
  bool ascii = true;
  for (u64 i = 0; i < n && ascii; i++) ascii = (u8)raw[i] < 0x80;
  if (ascii || date_locale_is_utf8) {
    u64 k = unicode_utf8_cut((const u8 *)raw, n, room);
    memcpy(out, raw, k);
    return k;
  }
  // Another character set: converted here, and a byte it cannot read becomes U+FFFD.
  iconv_t cd = iconv_open("UTF-8", date_locale_charset);
  char *in = raw;
  size_t in_left = n;
  char *to = out;
  size_t to_left = room;
  while (in_left > 0) {
    if (cd != (iconv_t)-1) {
      if (iconv(cd, &in, &in_left, &to, &to_left) != (size_t)-1) break;
      if (errno == E2BIG) break;
    }
    // One byte the conversion did not take; without a converter ASCII still passes.
    if (cd == (iconv_t)-1 && (u8)*in < 0x80) {
      if (to_left == 0) break;
      *to++ = *in;
      to_left--;
    } else {
      if (to_left < 3) break;
      memcpy(to, "\xEF\xBF\xBD", 3);
      to += 3;
      to_left -= 3;
    }
    in++;
    in_left--;
  }
  if (cd != (iconv_t)-1) iconv_close(cd);
  return (u64)(to - out);
}

buffer date_to_string(date d, buffer *out, u32 flags, buffer separator) {
  PROFILE_ZONE(zone_date_to_string);
  u8 *start = out->data + out->used;
  if (!date_is_valid(d)) return buffer{0, 0, start};

  struct tm utc = {};
  utc.tm_year = d.year - 1900;
  utc.tm_mon = d.month - 1;
  utc.tm_mday = d.day;
  utc.tm_hour = d.hour;
  utc.tm_min = d.minute;
  utc.tm_sec = d.second;
  time_t t = timegm(&utc);
  // Without zone information the time is shown as UTC rather than not at all.
  struct tm local;
  if (!localtime_r(&t, &local)) local = utc;

  date_user_locale_init();
  // Room for the 1024-byte parts grown by their conversion to UTF-8.
  char text[4096];
  u64 n = 0;
  bool want_date = !(flags & date_text_no_date);
  bool want_time = !(flags & date_text_no_time);
  if (want_date) n = date_format_part(text, sizeof(text), "%A %-d %B %Y", &local);
  if (want_date && want_time && n) {
    // Something must stand between the two parts even when no separator is given.
    buffer sep = separator.used ? separator : string_lit(" ");
    u64 k = unicode_utf8_cut(sep.data, sep.used, sizeof(text) - n);
    memcpy(text + n, sep.data, k);
    n += k;
  }
  if (want_time && n < sizeof(text)) n += date_format_part(text + n, sizeof(text) - n, "%X", &local);

  u64 room = buffer_free_bytes(*out);
  u64 k = unicode_utf8_cut((const u8 *)text, n, room);
  if (k) memcpy(start, text, k);
  out->used += k;
  return buffer{k, k, start};
}

// ---- Counters ----------------------------------------------------------------------------

s64 counter_now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (s64)ts.tv_sec * 1000000000ll + ts.tv_nsec;
}

s64 counter_frequency() { return 1000000000ll; }

s64 counter_ticks_from_ns(s64 ns) {
  if (ns <= 0) return 0;
  // Exact: a span of years at a frequency of gigahertz overflows 64 bits before the division.
  unsigned __int128 ticks = ((unsigned __int128)(u64)ns * (u64)counter_frequency() + 999999999u) / 1000000000u;
  return ticks > (u64)INT64_MAX ? INT64_MAX : (s64)ticks;
}

f64 counter_seconds_between(s64 counter1, s64 counter2, s64 frequency) {
  return (f64)((u64)counter2 - (u64)counter1) / (f64)(u64)frequency;
}
