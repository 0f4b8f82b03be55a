// The regional conventions of the system, fixed in one place: German decimal
// comma, dates dd.mm.yyyy, times hh:nn:ss, German day and month names.
// Everything that formats or parses numbers and dates goes through here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kv::regional {

inline constexpr char kDecimalSeparator = ',';
inline constexpr char kDateSeparator = '.';
inline constexpr char kTimeSeparator = ':';

// Day and month names, index 1-based like the calendar (index 0 unused).
// Day names start with Sunday (1).
extern const char* const kLongDayNames[8];
extern const char* const kShortDayNames[8];
extern const char* const kLongMonthNames[13];
extern const char* const kShortMonthNames[13];

// Numbers. FloatToStr renders the general format with up to 15 significant
// digits and the decimal comma ("2,5", "1E20", "1,5E-7").
std::string FloatToStr(double v);
std::string IntToStr(int64_t v);
// Reads a decimal number with the decimal comma, optional sign and exponent;
// surrounding blanks are allowed. Returns false for anything else.
bool TryStrToFloat(std::string_view text, double& out);
// Reads a whole number: decimal, or hexadecimal after "$" or "0x".
bool TryStrToInt(std::string_view text, int64_t& out);

// Date-times are days since 1899-12-30; the fraction is the time of day.
bool TryEncodeDate(int year, int month, int day, double& out);
bool TryEncodeTime(int hour, int minute, int second, int msec, double& out);
double EncodeDate(int year, int month, int day);  // throws std::invalid_argument
void DecodeDate(double dt, int& year, int& month, int& day);
void DecodeTime(double dt, int& hour, int& minute, int& second, int& msec);
int DayOfWeek(double dt);  // 1 = Sunday ... 7 = Saturday
bool IsLeapYear(int year);

std::string DateToStr(double dt);      // dd.mm.yyyy
std::string TimeToStr(double dt);      // hh:nn:ss
std::string DateTimeToStr(double dt);  // date, then " " + time unless midnight
// Short date: "d.m.yyyy", "d.m.yy" (two-digit years in a window around now) or
// "d.m" (current year).
bool TryStrToDate(std::string_view text, double& out);
// "h:n", "h:n:s" or "h:n:s.zzz".
bool TryStrToTime(std::string_view text, double& out);
// A date, optionally followed by blanks and a time; or a time alone.
bool TryStrToDateTime(std::string_view text, double& out);

}  // namespace kv::regional
