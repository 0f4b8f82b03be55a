#include "core/regional.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <stdexcept>

#include "core/clock.h"

namespace kv::regional {

const char* const kLongDayNames[8] = {"",         "Sonntag",    "Montag",  "Dienstag",
                                      "Mittwoch", "Donnerstag", "Freitag", "Samstag"};
const char* const kShortDayNames[8] = {"", "So", "Mo", "Di", "Mi", "Do", "Fr", "Sa"};
const char* const kLongMonthNames[13] = {"",        "Januar",   "Februar", "M\xE4rz", "April",
                                         "Mai",     "Juni",     "Juli",    "August",  "September",
                                         "Oktober", "November", "Dezember"};
const char* const kShortMonthNames[13] = {"",    "Jan", "Feb", "M\xE4r", "Apr", "Mai", "Jun",
                                          "Jul", "Aug", "Sep", "Okt",    "Nov", "Dez"};

namespace {

constexpr int kPrecision = 15;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Days from 1970-01-01 for a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

// 1899-12-30 relative to 1970-01-01.
constexpr int64_t kDateEpochDays = -25569;

int DaysInMonth(int y, int m) {
  static const int kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m];
}

// Whole days and the time-of-day fraction of a date-time. For values before
// the epoch the fraction still counts forward from midnight (-1.25 is
// 29.12.1899 06:00), as the date-time convention has it.
void SplitDateTime(double dt, int64_t& days, double& frac) {
  // Far outside the calendar (or not a number): no date to speak of.
  if (!(std::fabs(dt) < 1e9)) {
    days = 0;
    frac = 0;
    return;
  }
  const double whole = std::trunc(dt);
  days = static_cast<int64_t>(whole);
  frac = std::fabs(dt - whole);
}

bool ScanNumber(std::string_view s, size_t& pos, int& value, int& digits) {
  value = 0;
  digits = 0;
  while (pos < s.size() && IsDigit(s[pos])) {
    if (digits >= 9) return false;
    value = value * 10 + (s[pos] - '0');
    ++digits;
    ++pos;
  }
  return digits > 0;
}

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::string IntToStr(int64_t v) { return std::to_string(v); }

std::string FloatToStr(double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  if (v == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", kPrecision - 1, v);
  // buf: [-]d.dddddddddddddde[+-]xx
  std::string s(buf);
  const bool negative = s[0] == '-';
  const size_t epos = s.find('e');
  std::string digits;
  for (size_t i = negative ? 1 : 0; i < epos; ++i)
    if (IsDigit(s[i])) digits += s[i];
  const int exp10 = std::atoi(s.c_str() + epos + 1);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int point = exp10 + 1;  // digits before the decimal separator
  std::string out = negative ? "-" : "";
  if (point > kPrecision || point < -3) {
    out += digits[0];
    if (digits.size() > 1) {
      out += kDecimalSeparator;
      out += digits.substr(1);
    }
    out += 'E';
    out += std::to_string(exp10);
    return out;
  }
  if (point <= 0) {
    out += '0';
    out += kDecimalSeparator;
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
    return out;
  }
  if (static_cast<size_t>(point) >= digits.size()) {
    out += digits;
    out.append(static_cast<size_t>(point) - digits.size(), '0');
    return out;
  }
  out += digits.substr(0, static_cast<size_t>(point));
  out += kDecimalSeparator;
  out += digits.substr(static_cast<size_t>(point));
  return out;
}

bool TryStrToFloat(std::string_view text, double& out) {
  std::string_view s = Trim(text);
  std::string plain;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) plain += s[i++];
  size_t mantissa_digits = 0;
  while (i < s.size() && IsDigit(s[i])) plain += s[i++], ++mantissa_digits;
  if (i < s.size() && s[i] == kDecimalSeparator) {
    plain += '.';
    ++i;
    while (i < s.size() && IsDigit(s[i])) plain += s[i++], ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    plain += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) plain += s[i++];
    size_t exp_digits = 0;
    while (i < s.size() && IsDigit(s[i])) plain += s[i++], ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != s.size()) return false;
  char* end = nullptr;
  const double v = std::strtod(plain.c_str(), &end);
  if (end != plain.c_str() + plain.size()) return false;
  out = v;
  return true;
}

bool TryStrToInt(std::string_view text, int64_t& out) {
  std::string_view s = Trim(text);
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s[0] == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    int d;
    if (IsDigit(c))
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    if (v > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base))
      return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (base == 16 && !negative) {
    out = static_cast<int64_t>(v);  // hexadecimal may fill the sign bit
    return true;
  }
  if (negative) {
    if (v > kMax + 1) return false;
    out = v == kMax + 1 ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(v);
  } else {
    if (v > kMax) return false;
    out = static_cast<int64_t>(v);
  }
  return true;
}

bool TryEncodeDate(int year, int month, int day, double& out) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  if (day > DaysInMonth(year, month)) return false;
  out = static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                            kDateEpochDays);
  return true;
}

double EncodeDate(int year, int month, int day) {
  double v;
  if (!TryEncodeDate(year, month, day, v))
    throw std::invalid_argument("Ungültiges Argument zum Codieren des Datums");
  return v;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, double& out) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 ||
      msec > 999)
    return false;
  out = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / kMsPerDay;
  return true;
}

void DecodeDate(double dt, int& year, int& month, int& day) {
  int64_t days;
  double frac;
  SplitDateTime(dt, days, frac);
  // A time of day that rounds up to a full day belongs to the next date.
  if (std::llround(frac * kMsPerDay) >= static_cast<int64_t>(kMsPerDay)) days += dt < 0 ? -1 : 1;
  CivilFromDays(days + kDateEpochDays, year, month, day);
}

void DecodeTime(double dt, int& hour, int& minute, int& second, int& msec) {
  int64_t days;
  double frac;
  SplitDateTime(dt, days, frac);
  int64_t ms = std::llround(frac * kMsPerDay);
  if (ms >= static_cast<int64_t>(kMsPerDay)) ms = 0;
  msec = static_cast<int>(ms % 1000);
  ms /= 1000;
  second = static_cast<int>(ms % 60);
  ms /= 60;
  minute = static_cast<int>(ms % 60);
  hour = static_cast<int>(ms / 60);
}

int DayOfWeek(double dt) {
  int64_t days;
  double frac;
  SplitDateTime(dt, days, frac);
  // 1899-12-30 was a Saturday (7).
  int64_t r = (days + 6) % 7;
  if (r < 0) r += 7;
  return static_cast<int>(r) + 1;
}

std::string DateToStr(double dt) {
  int y, m, d;
  DecodeDate(dt, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", d, m, y);
  return buf;
}

std::string TimeToStr(double dt) {
  int h, n, s, z;
  DecodeTime(dt, h, n, s, z);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, n, s);
  return buf;
}

std::string DateTimeToStr(double dt) {
  int h, n, s, z;
  DecodeTime(dt, h, n, s, z);
  if (h == 0 && n == 0 && s == 0) return DateToStr(dt);
  return DateToStr(dt) + " " + TimeToStr(dt);
}

namespace {

bool ScanDate(std::string_view s, size_t& pos, double& out) {
  int d, m, y, digits;
  if (!ScanNumber(s, pos, d, digits)) return false;
  if (pos >= s.size() || s[pos] != kDateSeparator) return false;
  ++pos;
  if (!ScanNumber(s, pos, m, digits)) return false;
  int year_now, m_now, d_now;
  DecodeDate(Now(), year_now, m_now, d_now);
  if (pos < s.size() && s[pos] == kDateSeparator) {
    ++pos;
    if (!ScanNumber(s, pos, y, digits)) return false;
    if (y <= 99 && digits <= 2) {
      // Two-digit years fall into the 100 years that start 50 years back.
      const int century_start = year_now - 50;
      y += century_start / 100 * 100;
      if (y < century_start) y += 100;
    }
  } else {
    y = year_now;
  }
  return TryEncodeDate(y, m, d, out);
}

bool ScanTime(std::string_view s, size_t& pos, double& out) {
  int h, n, sec = 0, ms = 0, digits;
  if (!ScanNumber(s, pos, h, digits)) return false;
  if (pos >= s.size() || s[pos] != kTimeSeparator) return false;
  ++pos;
  if (!ScanNumber(s, pos, n, digits)) return false;
  if (pos < s.size() && s[pos] == kTimeSeparator) {
    ++pos;
    if (!ScanNumber(s, pos, sec, digits)) return false;
    if (pos < s.size() && (s[pos] == '.' || s[pos] == kDecimalSeparator)) {
      ++pos;
      if (!ScanNumber(s, pos, ms, digits) || digits > 3) return false;
      for (; digits < 3; ++digits) ms *= 10;
    }
  }
  return TryEncodeTime(h, n, sec, ms, out);
}

}  // namespace

bool TryStrToDate(std::string_view text, double& out) {
  std::string_view s = Trim(text);
  size_t pos = 0;
  double v;
  if (!ScanDate(s, pos, v) || pos != s.size()) return false;
  out = v;
  return true;
}

bool TryStrToTime(std::string_view text, double& out) {
  std::string_view s = Trim(text);
  size_t pos = 0;
  double v;
  if (!ScanTime(s, pos, v) || pos != s.size()) return false;
  out = v;
  return true;
}

bool TryStrToDateTime(std::string_view text, double& out) {
  std::string_view s = Trim(text);
  size_t pos = 0;
  double date;
  if (ScanDate(s, pos, date)) {
    if (pos == s.size()) {
      out = date;
      return true;
    }
    while (pos < s.size() && s[pos] == ' ') ++pos;
    double time;
    if (!ScanTime(s, pos, time) || pos != s.size()) return false;
    out = date < 0 ? date - time : date + time;
    return true;
  }
  return TryStrToTime(s, out);
}

}  // namespace kv::regional
