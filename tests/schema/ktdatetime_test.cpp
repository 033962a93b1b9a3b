// Date and time values: calendar rules, readers with zone shifts (the day
// carried into a dateTime), fractions and comparisons.
#include "schema/ktdatetime.h"

#include <gtest/gtest.h>

namespace {

KTDate D(int y, int m, int d) {
  KTDate date;
  date.year = y;
  date.month = static_cast<int8_t>(m);
  date.day = static_cast<int8_t>(d);
  return date;
}

TEST(KTDateTimeTest, CalendarRules) {
  EXPECT_FALSE(IsLeapYear(D(1900, 1, 1)));
  EXPECT_TRUE(IsLeapYear(D(2000, 1, 1)));
  EXPECT_TRUE(IsLeapYear(D(1500, 1, 1)));  // Julian rule up to 1582
  EXPECT_FALSE(IsLeapYear(D(1700, 1, 1)));
  const struct {
    KTDate date;
    bool exists;
  } cases[] = {
      {D(1582, 10, 4), true},  {D(1582, 10, 5), false}, {D(1582, 10, 10), false},
      {D(1582, 10, 14), false}, {D(1582, 10, 15), true}, {D(2004, 2, 29), true},
      {D(2003, 2, 29), false}, {D(2003, 4, 31), false}, {D(2003, 0, 1), false},
      {D(2003, 1, 0), false},  {D(2003, 13, 1), false}, {D(-44, 3, 15), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsExistingDate(c.date), c.exists) << c.date.year << "-" << int(c.date.month) << "-" << int(c.date.day);
  }
}

TEST(KTDateTimeTest, ReadersShiftTimesToUtc) {
  const struct {
    const char16_t* text;
    int hour, minute, second;
  } cases[] = {
      {u"10:00:00+02:00", 8, 0, 0}, {u"23:30:00-01:00", 0, 30, 0}, {u"00:15:00+00:30", 23, 45, 0},
      {u"12:34:56Z", 12, 34, 56},   {u"12:34", 12, 34, 0},         {u"10:30+05:30", 5, 0, 0},
  };
  for (const auto& c : cases) {
    KTTime t;
    ASSERT_TRUE(ParseTime(t, KTString(c.text)));
    EXPECT_EQ(t.hour, c.hour);
    EXPECT_EQ(t.minute, c.minute);
    EXPECT_EQ(t.second, c.second);
  }
  KTTime with, without;
  ParseTimeWithFraction(with, KTString(u"12:00:00.5"));
  ParseTime(without, KTString(u"12:00:00.5"));
  EXPECT_EQ(with.nanoseconds, 500000000);
  EXPECT_EQ(without.nanoseconds, 0);
  KTTime noon;
  ParseTime(noon, KTString(u"12:00:00"));
  EXPECT_TRUE(TimeGreater(with, noon));
  bool valid = true;
  KTTime t;
  ParseTime(t, KTString(u"24:00:00"), &valid);
  EXPECT_FALSE(valid);
  ParseTime(t, KTString(u"23:59:59"), &valid);
  EXPECT_TRUE(valid);
  // Validity is judged before the shift: 25:00+02:00 is no time of day.
  ParseTime(t, KTString(u"25:00:00+02:00"), &valid);
  EXPECT_FALSE(valid);
}

TEST(KTDateTimeTest, DatesKeepTheirSignAndZonesCarryTheDay) {
  KTDate d;
  ASSERT_TRUE(ParseDate(d, KTString(u"-0044-03-15")));
  EXPECT_EQ(d.year, -44);
  ASSERT_TRUE(ParseDate(d, KTString(u"2004-02-29-05:00")));
  EXPECT_EQ(d.year, 2004);
  EXPECT_EQ(d.day, 29);
  ASSERT_TRUE(ParseDate(d, KTString(u"123456789012-01-01")));
  EXPECT_GT(d.year, 2000000000);  // saturates instead of wrapping
  EXPECT_FALSE(ParseDate(d, KTString(u"x")));

  const struct {
    const char16_t* text;
    int year, month, day, hour;
  } cases[] = {
      {u"2003-12-31T23:30:00-01:00", 2004, 1, 1, 0},
      {u"2004-01-01T00:30:00+01:00", 2003, 12, 31, 23},
      {u"2004-02-28T23:00:00-02:00", 2004, 2, 29, 1},
      {u"1582-10-04T23:00:00-02:00", 1582, 10, 15, 1},
      {u"2004-06-15T12:00:00Z", 2004, 6, 15, 12},
  };
  for (const auto& c : cases) {
    KTDateTime v;
    ASSERT_TRUE(ParseDateTime(v, KTString(c.text)));
    EXPECT_EQ(v.date.year, c.year);
    EXPECT_EQ(v.date.month, c.month);
    EXPECT_EQ(v.date.day, c.day);
    EXPECT_EQ(v.time.hour, c.hour);
  }
}

TEST(KTDateTimeTest, Comparisons) {
  KTDateTime a, b, c;
  ParseDateTime(a, KTString(u"2004-01-01T00:00:00"));
  ParseDateTime(b, KTString(u"2004-01-01T00:00:01"));
  ParseDateTime(c, KTString(u"2003-12-31T23:59:59"));
  EXPECT_TRUE(DateTimeLess(a, b));
  EXPECT_TRUE(DateTimeGreater(a, c));
  EXPECT_TRUE(DateTimeLessOrEqual(a, a));
  EXPECT_TRUE(DateTimeGreaterOrEqual(b, a));
  EXPECT_FALSE(DateTimeLess(a, a));
  EXPECT_TRUE(DateLess(D(2003, 12, 31), D(2004, 1, 1)));
  EXPECT_TRUE(DateLess(D(-1, 12, 31), D(1, 1, 1)));
  EXPECT_TRUE(DateGreaterOrEqual(D(2004, 1, 1), D(2004, 1, 1)));
}

}  // namespace
