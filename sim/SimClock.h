// Calendar arithmetic of the device clock: seconds since 1970 in UTC to a broken-down date and
// back, in the proleptic Gregorian calendar. Pure and the same on every system (the C library
// has gmtime_r and timegm on POSIX only).
#pragma once

#include <cstdint>
#include <ctime>

namespace oxa::sim {

// The date and time of `seconds`, as gmtime gives it (tm_year from 1900, tm_mon from 0,
// tm_wday 0 = Sunday, tm_yday from 0, tm_isdst 0).
std::tm UtcFromSeconds(int64_t seconds);

// The seconds of a broken-down UTC time, as timegm gives them: fields outside their ranges
// carry into the next larger one (month 12 is January of the next year, day 0 the last day of
// the month before); tm_wday, tm_yday and tm_isdst are ignored.
int64_t SecondsFromUtc(const std::tm& parts);

}  // namespace oxa::sim
