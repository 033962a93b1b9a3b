// Date and time values of the XML Schema date, time and dateTime literals:
// the two value records, their readers (a time is shifted to UTC by its
// zone), the calendar rules (Julian up to 1582, Gregorian from 1583) and the
// comparisons used by the datatype checks and the bound facets.
#pragma once

#include <cstdint>

#include "core/ktstring.h"

struct KTDate {
  int32_t year = 0;  // keeps its sign; 32 bits, so that long years do not wrap
  int8_t month = 0;  // 1 to 12
  int8_t day = 0;    // 1 to 31
};

struct KTTime {
  int8_t hour = 0;
  int8_t minute = 0;
  int8_t second = 0;
  int32_t nanoseconds = 0;  // the fraction of the second times 10^9, truncated
};

struct KTDateTime {
  KTDate date;
  KTTime time;
};

// Readers. Missing parts stay 0; text after the last number read is ignored.
// Each returns false when the text does not begin with the numbers it needs.
// A date reads year, month and day at '-' (a leading '-' makes the year
// negative; a zone after the day is ignored).
bool ParseDate(KTDate& date, const KTString& text);
// hh:mm[:ss[.fff]] and an optional zone Z or [+-]hh:mm; the time is shifted
// to UTC. The fraction is dropped; ParseTimeWithFraction keeps it. The raw
// fields (before the shift) are checked with IsValidTime when `valid` is
// given. `dayCarry` (may be null) receives the days the shift crossed.
bool ParseTime(KTTime& time, const KTString& text, bool* valid = nullptr, int* dayCarry = nullptr);
bool ParseTimeWithFraction(KTTime& time, const KTString& text, bool* valid = nullptr,
                           int* dayCarry = nullptr);
// Date "T" time; a zone shift across midnight moves the date by the day it crossed.
bool ParseDateTime(KTDateTime& dateTime, const KTString& text, bool* timeValid = nullptr);

bool IsLeapYear(const KTDate& date);
int DaysInMonth(const KTDate& date);
bool IsExistingDate(const KTDate& date);
bool IsValidTime(const KTTime& time);

// Floor arithmetic: the hour wraps into 0-23 (the minute into 0-59) and the
// whole days moved are added to *dayCarry when it is given.
void AddHours(KTTime& time, int hours, int* dayCarry);
void AddMinutes(KTTime& time, int minutes, int* dayCarry);
// Moves a date by whole days, across months and years; the ten days dropped
// in October 1582 are stepped over.
void AddDays(KTDate& date, int days);

bool DateLess(const KTDate& a, const KTDate& b);
bool DateLessOrEqual(const KTDate& a, const KTDate& b);
bool DateGreater(const KTDate& a, const KTDate& b);
bool DateGreaterOrEqual(const KTDate& a, const KTDate& b);
bool TimeLess(const KTTime& a, const KTTime& b);
bool TimeLessOrEqual(const KTTime& a, const KTTime& b);
bool TimeGreater(const KTTime& a, const KTTime& b);
bool TimeGreaterOrEqual(const KTTime& a, const KTTime& b);
bool DateTimeLess(const KTDateTime& a, const KTDateTime& b);
bool DateTimeLessOrEqual(const KTDateTime& a, const KTDateTime& b);
bool DateTimeGreater(const KTDateTime& a, const KTDateTime& b);
bool DateTimeGreaterOrEqual(const KTDateTime& a, const KTDateTime& b);
