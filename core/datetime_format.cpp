#include "core/datetime_format.h"

#include <cmath>
#include <cstdio>

#include "core/cp1252.h"
#include "core/regional.h"

namespace kv {
namespace {

// 01.01.0001 and the day after 31.12.9999 as date-times.
constexpr double kFirstDay = -693593.0;
constexpr double kDayAfterLast = 2958466.0;

constexpr std::string_view kShortDateFormat = "dd/mm/yyyy";
constexpr std::string_view kLongDateFormat = "dddd, d. mmmm yyyy";
constexpr std::string_view kShortTimeFormat = "hh:nn";
constexpr std::string_view kLongTimeFormat = "hh:nn:ss";

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool StartsWithNoCase(std::string_view text, size_t pos, std::string_view prefix) {
  if (pos + prefix.size() > text.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Upper(text[pos + i]) != Upper(prefix[i])) return false;
  return true;
}

class TFormatter {
 public:
  explicit TFormatter(double value) {
    regional::DecodeDate(value, year_, month_, day_);
    regional::DecodeTime(value, hour_, minute_, second_, msec_);
    day_of_week_ = regional::DayOfWeek(value);
  }

  std::string Run(std::string_view format) {
    Append(format.empty() ? std::string_view("C") : format);
    return std::move(out_);
  }

 private:
  void Number(int v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*d", width, v);
    out_ += buf;
  }

  // Length of the run of the same letter (any case) starting at pos.
  static size_t RunLength(std::string_view f, size_t pos) {
    size_t n = 1;
    while (pos + n < f.size() && Upper(f[pos + n]) == Upper(f[pos])) ++n;
    return n;
  }

  // 12-hour display applies when a marker comes before the next hour code;
  // the search also stops at any other "A" and skips quoted text.
  static bool Uses12Hour(std::string_view f, size_t pos) {
    char quote = 0;
    for (size_t i = pos; i < f.size(); ++i) {
      const char c = f[i];
      if (quote) {
        if (c == quote) quote = 0;
        continue;
      }
      if (c == '\'' || c == '"') {
        quote = c;
      } else if (Upper(c) == 'A') {
        return StartsWithNoCase(f, i, "AM/PM") || StartsWithNoCase(f, i, "A/P") ||
               StartsWithNoCase(f, i, "AMPM");
      } else if (Upper(c) == 'H') {
        return false;
      }
    }
    return false;
  }

  void Hour(size_t count, bool twelve) {
    int h = hour_;
    if (twelve) h = h == 0 ? 12 : (h > 12 ? h - 12 : h);
    Number(h, count >= 2 ? 2 : 1);
  }

  // Handles the letter at f[pos]; returns the number of characters used.
  size_t Letter(std::string_view f, size_t pos) {
    char token = Upper(f[pos]);
    const size_t count = RunLength(f, pos);
    if (token == 'M' && last_token_ == 'H') token = 'N';
    last_token_ = token;
    switch (token) {
      case 'C':
        Append(kShortDateFormat);
        if (hour_ != 0 || minute_ != 0 || second_ != 0) {
          out_ += ' ';
          Append(kLongTimeFormat);
        }
        return 1;
      case 'D':
        if (count <= 2)
          Number(day_, static_cast<int>(count));
        else if (count == 3)
          out_ += regional::kShortDayNames[day_of_week_];
        else if (count == 4)
          out_ += regional::kLongDayNames[day_of_week_];
        else if (count == 5)
          Append(kShortDateFormat);
        else
          Append(kLongDateFormat);
        return count > 6 ? 6 : count;
      case 'M':
        if (count <= 2)
          Number(month_, static_cast<int>(count));
        else if (count == 3)
          out_ += regional::kShortMonthNames[month_];
        else
          out_ += regional::kLongMonthNames[month_];
        return count > 4 ? 4 : count;
      case 'N': Number(minute_, count >= 2 ? 2 : 1); return count > 2 ? 2 : count;
      case 'Y':
        if (count <= 2)
          Number(year_ % 100, 2);
        else
          Number(year_, 4);
        return count > 4 ? 4 : count;
      case 'H': Hour(count, Uses12Hour(f, pos + count)); return count > 2 ? 2 : count;
      case 'S': Number(second_, count >= 2 ? 2 : 1); return count > 2 ? 2 : count;
      case 'Z': Number(msec_, count >= 3 ? 3 : 1); return count > 3 ? 3 : count;
      case 'T': Append(count >= 2 ? kLongTimeFormat : kShortTimeFormat); return count > 2 ? 2 : count;
      case 'A': return Marker(f, pos);
      default: out_ += f[pos]; return 1;
    }
  }

  // AM/PM and A/P are shown in the letter case the format uses.
  size_t Marker(std::string_view f, size_t pos) {
    const bool pm = hour_ >= 12;
    if (StartsWithNoCase(f, pos, "AM/PM")) {
      out_.append(f.substr(pos + (pm ? 3 : 0), 2));
      return 5;
    }
    if (StartsWithNoCase(f, pos, "A/P")) {
      out_ += f[pos + (pm ? 2 : 0)];
      return 3;
    }
    if (StartsWithNoCase(f, pos, "AMPM")) {
      out_ += pm ? "PM" : "AM";
      return 4;
    }
    out_ += f[pos];
    return 1;
  }

  void Append(std::string_view f) {
    size_t pos = 0;
    while (pos < f.size()) {
      const char c = f[pos];
      if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
        pos += Letter(f, pos);
      } else if (c == '\'' || c == '"') {
        const size_t close = f.find(c, pos + 1);
        const size_t end = close == std::string_view::npos ? f.size() : close;
        out_.append(f.substr(pos + 1, end - pos - 1));
        pos = close == std::string_view::npos ? f.size() : close + 1;
      } else {
        if (c == '/')
          out_ += regional::kDateSeparator;
        else if (c == ':')
          out_ += regional::kTimeSeparator;
        else
          out_ += c;
        ++pos;
      }
    }
  }

  int year_, month_, day_, hour_, minute_, second_, msec_, day_of_week_;
  char last_token_ = 0;
  std::string out_;
};

}  // namespace

bool IsValidDateTime(double value) {
  return std::isfinite(value) && value > kFirstDay - 1.0 && value < kDayAfterLast;
}

std::string FormatDateTime(std::string_view format, double value) {
  if (!IsValidDateTime(value)) throw std::out_of_range("Ung\xFCltiges Datum");
  return TFormatter(value).Run(format);
}

}  // namespace kv
