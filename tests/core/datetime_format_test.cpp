// FormatDateTime: the format codes in German conventions.
#include "core/datetime_format.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "core/regional.h"

namespace kv {
namespace {

double At(int y, int m, int d, int h = 0, int n = 0, int s = 0, int z = 0) {
  double t = 0;
  regional::TryEncodeTime(h, n, s, z, t);
  return regional::EncodeDate(y, m, d) + t;
}

TEST(FormatDateTime, Codes) {
  const double evening = At(2003, 12, 24, 18, 5, 9, 7);
  const double morning = At(2004, 3, 1, 0, 30);
  struct TCase {
    const char* format;
    double value;
    const char* text;
  } cases[] = {
      {"d.m.yy", evening, "24.12.03"},
      {"dd/mm/yyyy", morning, "01.03.2004"},
      {"ddd dddd", evening, "Mi Mittwoch"},
      {"mmm mmmm", morning, "M\xE4r M\xE4rz"},
      {"ddddd", evening, "24.12.2003"},
      {"dddddd", morning, "Montag, 1. M\xE4rz 2004"},
      {"h:n:s.z", evening, "18:5:9.7"},
      {"hh:nn:ss.zzz", evening, "18:05:09.007"},
      {"hh:mm", evening, "18:05"},              // minutes directly after an hour code
      {"hh:mm dd.mm", evening, "18:05 24.12"},  // after the day, months again
      {"HH:MM", morning, "00:30"},
      {"t tt", evening, "18:05 18:05:09"},
      {"h am/pm", evening, "6 pm"},
      {"h AM/PM", morning, "12 AM"},
      {"h Am/Pm", evening, "6 Pm"},  // the marker in the letter case written
      {"hh a/p", evening, "06 p"},
      {"h ampm", evening, "6 PM"},
      {"h 'am/pm'", evening, "18 am/pm"},  // quoted text is not a marker
      {"h\"h\" mm", evening, "18h 05"},
      {"c", evening, "24.12.2003 18:05:09"},
      {"c", At(2003, 12, 24), "24.12.2003"},
      {"", morning, "01.03.2004 00:30:00"},
      {"yyyy-mm-dd #x", morning, "2004-03-01 #x"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatDateTime(c.format, c.value), c.text) << c.format;
}

TEST(FormatDateTime, RefusesValuesOutsideTheCalendar) {
  EXPECT_EQ(FormatDateTime("dd.mm.yyyy", At(1, 1, 1)), "01.01.0001");
  EXPECT_EQ(FormatDateTime("dd.mm.yyyy", At(9999, 12, 31, 23, 59, 59)), "31.12.9999");
  for (double v : {At(9999, 12, 31) + 1, At(1, 1, 1) - 1, 1e300, -1e300, 1.0 / 0.0, 0.0 / 0.0})
    EXPECT_THROW(FormatDateTime("yyyy", v), std::out_of_range) << v;
}

}  // namespace
}  // namespace kv
