// Date-time formatting with the familiar format codes (d, mm, yyyy, hh:nn:ss,
// am/pm ...) in the German regional conventions: day and month names,
// "." as date separator, ":" as time separator.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace kv {

// Formats a date-time (days since 1899-12-30) with these codes, in any
// letter case:
//   C       short date, then a blank and the long time unless it is midnight
//   D DD    day without / with leading zero;  DDD DDDD short / long day name
//   DDDDD   short date (dd.mm.yyyy);  DDDDDD long date (dddd, d. mmmm yyyy)
//   M MM    month without / with leading zero; MMM MMMM short / long name;
//           M and MM directly after an hour code (H, HH) mean minutes
//   YY YYYY two-digit / four-digit year
//   H HH    hour; 12-hour display when an AM/PM, A/P or AMPM marker follows
//           before the next hour code
//   N NN    minute;  S SS second;  Z ZZZ millisecond
//   T TT    short time (hh:nn) / long time (hh:nn:ss)
//   AM/PM A/P  the marker in the letter case written; AMPM gives AM or PM
//   / :     the date and time separators
//   '...' "..."  copied as written
// Every other character is copied. An empty format means "C".
// Throws std::out_of_range for values outside 01.01.0001 - 31.12.9999.
// Any thread may call it.
std::string FormatDateTime(std::string_view format, double value);

// True when the value lies in the calendar range FormatDateTime accepts.
bool IsValidDateTime(double value);

}  // namespace kv
