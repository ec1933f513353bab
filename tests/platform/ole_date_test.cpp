#include "platform/ole_date.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(OleDate, KnownValues) {
  Date d = 0;
  ASSERT_TRUE(DateFromCalendar({1899, 12, 30}, &d));
  EXPECT_EQ(d, 0.0);
  ASSERT_TRUE(DateFromCalendar({1900, 1, 1}, &d));
  EXPECT_EQ(d, 2.0);
  ASSERT_TRUE(DateFromCalendar({1965, 3, 12}, &d));
  EXPECT_EQ(d, 23813.0);
  ASSERT_TRUE(DateFromCalendar({1899, 12, 29, 6, 0, 0}, &d));
  EXPECT_DOUBLE_EQ(d, -1.25);
}

TEST(OleDate, RoundTripsAcrossTheRange) {
  for (int year : {100, 1600, 1869, 1900, 2000, 2024, 9999}) {
    for (int month : {1, 2, 12}) {
      CalendarTime in{year, month, 28, 13, 14, 15};
      Date d = 0;
      ASSERT_TRUE(DateFromCalendar(in, &d));
      CalendarTime out;
      ASSERT_TRUE(CalendarFromDate(d, &out));
      EXPECT_EQ(out.year, year);
      EXPECT_EQ(out.month, month);
      EXPECT_EQ(out.day, 28);
      EXPECT_EQ(out.hour, 13);
      EXPECT_EQ(out.second, 15);
    }
  }
}

TEST(OleDate, RejectsImpossibleDates) {
  Date d = 0;
  EXPECT_FALSE(DateFromCalendar({2023, 2, 29}, &d));
  EXPECT_TRUE(DateFromCalendar({2024, 2, 29}, &d));
  EXPECT_FALSE(DateFromCalendar({1900, 2, 29}, &d));
  EXPECT_FALSE(DateFromCalendar({99, 1, 1}, &d));
  CalendarTime t;
  EXPECT_FALSE(CalendarFromDate(1e12, &t));
  EXPECT_FALSE(CalendarFromDate(0.0 / 0.0, &t));
}

}  // namespace
}  // namespace qx
