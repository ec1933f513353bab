// OLE automation dates (days since 1899-12-30 as a double) with exact calendar conversions.
// For negative values the integer part counts days back and the fraction is still the time of
// day forward, as the automation date is defined (-1.25 is 1899-12-29 06:00).
#pragma once

#include "qendix/com.h"

namespace qx {

struct CalendarTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Builds a date from calendar fields. False when a field is out of range or the date lies
// outside the automation range (years 100 to 9999).
bool DateFromCalendar(const CalendarTime& time, Date* out);

// Splits a date into calendar fields (time rounded to the second). False outside the range.
bool CalendarFromDate(Date date, CalendarTime* out);

// Days from 1970-01-01 for a civil date (proleptic Gregorian).
long long DaysFromCivil(int year, int month, int day);

}  // namespace qx
