// Date and time values: readers over the literal text, calendar rules, floor
// arithmetic for zone shifts and the comparisons.
#include "schema/ktdatetime.h"

#include <climits>

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads the digits at p, saturating at INT_MAX (a year of forty digits must
// not wrap into a small one).
int ReadNumber(const char16_t*& p) {
  long long v = 0;
  while (IsDigit(*p)) {
    if (v < INT_MAX) v = v * 10 + (*p - u'0');
    ++p;
  }
  return v < INT_MAX ? static_cast<int>(v) : INT_MAX;
}

int8_t Small(int v) { return static_cast<int8_t>(v > 127 ? 127 : v); }

int FloorDiv(int a, int b) {
  int q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int FloorMod(int a, int b) { return a - FloorDiv(a, b) * b; }

bool ParseTimeText(KTTime& time, const char16_t* p, bool withFraction, bool* valid, int* dayCarry) {
  time = KTTime{};
  if (!IsDigit(*p)) return false;
  time.hour = Small(ReadNumber(p));
  if (*p != u':') return false;
  ++p;
  if (!IsDigit(*p)) return false;
  time.minute = Small(ReadNumber(p));
  if (*p == u':') {
    ++p;
    int second = 0;
    for (int i = 0; i < 2 && IsDigit(*p); ++i, ++p) second = second * 10 + (*p - u'0');
    time.second = Small(second);
    if (*p == u'.') {
      ++p;
      int ns = 0;
      int digits = 0;
      for (; IsDigit(*p); ++p) {
        if (digits < 9) {
          ns = ns * 10 + (*p - u'0');
          ++digits;
        }
      }
      for (; digits < 9; ++digits) ns *= 10;
      if (withFraction) time.nanoseconds = ns;
    }
  }
  if (valid) *valid = IsValidTime(time);
  while (*p && *p != u'+' && *p != u'-') ++p;  // 'Z' or what is left of the seconds
  if (*p) {
    const int sign = *p == u'-' ? -1 : 1;
    ++p;
    const int hours = ReadNumber(p);
    int minutes = 0;
    if (*p == u':') {
      ++p;
      minutes = ReadNumber(p);
    }
    // Offsets beyond a day are not zones; the pattern checks keep them short.
    if (hours < 100 && minutes < 100) {
      AddHours(time, -sign * hours, dayCarry);
      AddMinutes(time, -sign * minutes, dayCarry);
    }
  }
  return true;
}

}  // namespace

bool ParseDate(KTDate& date, const KTString& text) {
  date = KTDate{};
  const char16_t* p = text.c_str();
  bool negative = false;
  if (*p == u'-') {
    negative = true;
    ++p;
  }
  if (!IsDigit(*p)) return false;
  const int year = ReadNumber(p);
  date.year = negative ? -year : year;
  if (*p != u'-' || !IsDigit(p[1])) return true;
  ++p;
  date.month = Small(ReadNumber(p));
  if (*p != u'-' || !IsDigit(p[1])) return true;
  ++p;
  date.day = Small(ReadNumber(p));
  return true;
}

bool ParseTime(KTTime& time, const KTString& text, bool* valid, int* dayCarry) {
  return ParseTimeText(time, text.c_str(), false, valid, dayCarry);
}

bool ParseTimeWithFraction(KTTime& time, const KTString& text, bool* valid, int* dayCarry) {
  return ParseTimeText(time, text.c_str(), true, valid, dayCarry);
}

bool ParseDateTime(KTDateTime& dateTime, const KTString& text, bool* timeValid) {
  dateTime = KTDateTime{};
  const int t = text.Find(u'T');
  if (t < 0) return false;
  if (!ParseDate(dateTime.date, text.Left(t))) return false;
  int carry = 0;
  if (!ParseTimeText(dateTime.time, text.c_str() + t + 1, true, timeValid, &carry)) return false;
  if (carry != 0) AddDays(dateTime.date, carry);
  return true;
}

bool IsLeapYear(const KTDate& date) {
  const int y = date.year;
  if (y % 4 != 0) return false;
  return y <= 1582 || y % 100 != 0 || y % 400 == 0;
}

int DaysInMonth(const KTDate& date) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (date.month < 1 || date.month > 12) return 0;
  if (date.month == 2 && IsLeapYear(date)) return 29;
  return kDays[date.month - 1];
}

bool IsExistingDate(const KTDate& date) {
  // The days that the Gregorian reform dropped.
  if (date.year == 1582 && date.month == 10 && date.day >= 5 && date.day <= 14) return false;
  if (date.month < 1 || date.month > 12 || date.day < 1) return false;
  return date.day <= DaysInMonth(date);
}

bool IsValidTime(const KTTime& time) {
  return time.hour >= 0 && time.hour <= 23 && time.minute >= 0 && time.minute <= 59 &&
         time.second >= 0 && time.second <= 59;
}

void AddHours(KTTime& time, int hours, int* dayCarry) {
  const int h = time.hour + hours;
  time.hour = static_cast<int8_t>(FloorMod(h, 24));
  if (dayCarry) *dayCarry += FloorDiv(h, 24);
}

void AddMinutes(KTTime& time, int minutes, int* dayCarry) {
  const int m = time.minute + minutes;
  time.minute = static_cast<int8_t>(FloorMod(m, 60));
  AddHours(time, FloorDiv(m, 60), dayCarry);
}

void AddDays(KTDate& date, int days) {
  if (date.month < 1 || date.month > 12) return;
  for (; days > 0; --days) {
    if (++date.day > DaysInMonth(date)) {
      date.day = 1;
      if (++date.month > 12) {
        date.month = 1;
        if (date.year < INT_MAX) ++date.year;
      }
    }
    if (date.year == 1582 && date.month == 10 && date.day == 5) date.day = 15;
  }
  for (; days < 0; ++days) {
    if (--date.day < 1) {
      if (--date.month < 1) {
        date.month = 12;
        if (date.year > INT_MIN) --date.year;
      }
      date.day = static_cast<int8_t>(DaysInMonth(date));
    }
    if (date.year == 1582 && date.month == 10 && date.day == 14) date.day = 4;
  }
}

namespace {

int CompareDates(const KTDate& a, const KTDate& b) {
  if (a.year != b.year) return a.year < b.year ? -1 : 1;
  if (a.month != b.month) return a.month < b.month ? -1 : 1;
  if (a.day != b.day) return a.day < b.day ? -1 : 1;
  return 0;
}

int CompareTimes(const KTTime& a, const KTTime& b) {
  if (a.hour != b.hour) return a.hour < b.hour ? -1 : 1;
  if (a.minute != b.minute) return a.minute < b.minute ? -1 : 1;
  if (a.second != b.second) return a.second < b.second ? -1 : 1;
  if (a.nanoseconds != b.nanoseconds) return a.nanoseconds < b.nanoseconds ? -1 : 1;
  return 0;
}

int CompareDateTimes(const KTDateTime& a, const KTDateTime& b) {
  const int d = CompareDates(a.date, b.date);
  return d != 0 ? d : CompareTimes(a.time, b.time);
}

}  // namespace

bool DateLess(const KTDate& a, const KTDate& b) { return CompareDates(a, b) < 0; }
bool DateLessOrEqual(const KTDate& a, const KTDate& b) { return CompareDates(a, b) <= 0; }
bool DateGreater(const KTDate& a, const KTDate& b) { return CompareDates(a, b) > 0; }
bool DateGreaterOrEqual(const KTDate& a, const KTDate& b) { return CompareDates(a, b) >= 0; }
bool TimeLess(const KTTime& a, const KTTime& b) { return CompareTimes(a, b) < 0; }
bool TimeLessOrEqual(const KTTime& a, const KTTime& b) { return CompareTimes(a, b) <= 0; }
bool TimeGreater(const KTTime& a, const KTTime& b) { return CompareTimes(a, b) > 0; }
bool TimeGreaterOrEqual(const KTTime& a, const KTTime& b) { return CompareTimes(a, b) >= 0; }
bool DateTimeLess(const KTDateTime& a, const KTDateTime& b) { return CompareDateTimes(a, b) < 0; }
bool DateTimeLessOrEqual(const KTDateTime& a, const KTDateTime& b) {
  return CompareDateTimes(a, b) <= 0;
}
bool DateTimeGreater(const KTDateTime& a, const KTDateTime& b) { return CompareDateTimes(a, b) > 0; }
bool DateTimeGreaterOrEqual(const KTDateTime& a, const KTDateTime& b) {
  return CompareDateTimes(a, b) >= 0;
}
