#include "sim/SimClock.h"

#include <chrono>

namespace oxa::sim {

namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

}  // namespace

std::tm UtcFromSeconds(int64_t seconds) {
  using namespace std::chrono;
  const int64_t day_number = FloorDiv(seconds, 86400);
  const int64_t in_day = seconds - day_number * 86400;
  const sys_days day{days{day_number}};
  const year_month_day date{day};
  std::tm parts{};
  parts.tm_year = static_cast<int>(date.year()) - 1900;
  parts.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  parts.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  parts.tm_hour = static_cast<int>(in_day / 3600);
  parts.tm_min = static_cast<int>(in_day / 60 % 60);
  parts.tm_sec = static_cast<int>(in_day % 60);
  parts.tm_wday = static_cast<int>(weekday{day}.c_encoding());
  parts.tm_yday = static_cast<int>((day - sys_days{date.year() / January / 1}).count());
  return parts;
}

int64_t SecondsFromUtc(const std::tm& parts) {
  using namespace std::chrono;
  const int64_t months = int64_t{parts.tm_year} * 12 + parts.tm_mon;  // since January 1900
  const int64_t year_number = 1900 + FloorDiv(months, 12);
  const auto month_number = static_cast<unsigned>(months - FloorDiv(months, 12) * 12 + 1);
  const sys_days first{year{static_cast<int>(year_number)} / month{month_number} / 1};
  const int64_t day_number = first.time_since_epoch().count() + int64_t{parts.tm_mday} - 1;
  return day_number * 86400 + int64_t{parts.tm_hour} * 3600 + int64_t{parts.tm_min} * 60 +
         parts.tm_sec;
}

}  // namespace oxa::sim
