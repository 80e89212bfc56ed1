// FILETIME arithmetic: conversions to and from POSIX times, calendar dates
// and local time.
//
// A FILETIME counts 100 ns ticks since 1601-01-01 00:00 UTC. Calendar dates
// come from the day number by pure arithmetic on the proleptic Gregorian
// calendar (era-based: 400-year cycles of 146097 days), so no time zone or C
// library table is involved; 1601-01-01 was a Monday. Local file times add
// the UTC offset that localtime_r reports for that instant (so a summer date
// gets the summer offset); going back, the offset is looked up at the guessed
// UTC instant and once more if that guess crossed a change of offset.
#include "platform/posix_internal.h"

#include <ctime>

#include "platform/win32.h"

namespace {

constexpr int64_t TICKS_PER_SECOND = 10000000;
constexpr int64_t TICKS_PER_DAY = TICKS_PER_SECOND * 86400;
constexpr int64_t SECONDS_1601_TO_1970 = 11644473600;
constexpr int64_t DAYS_1601_TO_1970 = 134774;
constexpr int64_t LARGEST_FILE_TIME = 0x7FFFFFFFFFFFFFFF;

int64_t ticksOf(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

FILETIME fileTimeOfTicks(int64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks));
  time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return time;
}

bool isLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int64_t year, unsigned month) {
  static const int DAYS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : DAYS[month - 1];
}

// Days since 1970-01-01 of a civil date.
int64_t daysOfCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The civil date of a day count since 1970-01-01.
void civilOfDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  *day = static_cast<unsigned>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  *month = static_cast<unsigned>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

// The local offset from UTC, in seconds, at a number of seconds since 1970.
bool utcOffsetAt(int64_t seconds, int64_t* offset) {
  time_t instant = static_cast<time_t>(seconds);
  if (static_cast<int64_t>(instant) != seconds) {
    return false;
  }
  struct tm local;
  if (localtime_r(&instant, &local) == nullptr) {
    return false;
  }
  *offset = local.tm_gmtoff;
  return true;
}

int64_t floorDivide(int64_t a, int64_t b) {
  int64_t quotient = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? quotient - 1 : quotient;
}

}  // namespace

FILETIME fileTimeOfTimespec(const struct timespec& time) {
  int64_t seconds = static_cast<int64_t>(time.tv_sec) + SECONDS_1601_TO_1970;
  if (seconds < 0) {
    return fileTimeOfTicks(0);
  }
  return fileTimeOfTicks(seconds * TICKS_PER_SECOND + time.tv_nsec / 100);
}

struct timespec timespecOfFileTime(const FILETIME& time) {
  int64_t ticks = ticksOf(time);
  struct timespec result;
  result.tv_sec = static_cast<time_t>(floorDivide(ticks, TICKS_PER_SECOND) - SECONDS_1601_TO_1970);
  result.tv_nsec = static_cast<long>((ticks - floorDivide(ticks, TICKS_PER_SECOND) * TICKS_PER_SECOND) * 100);
  return result;
}

BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
  if (fileTime == nullptr || systemTime == nullptr || ticksOf(*fileTime) < 0) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  int64_t ticks = ticksOf(*fileTime);
  int64_t days = ticks / TICKS_PER_DAY;
  int64_t ticksOfDay = ticks % TICKS_PER_DAY;
  int64_t year;
  unsigned month;
  unsigned day;
  civilOfDays(days - DAYS_1601_TO_1970, &year, &month, &day);
  systemTime->wYear = static_cast<WORD>(year);
  systemTime->wMonth = static_cast<WORD>(month);
  systemTime->wDay = static_cast<WORD>(day);
  systemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01: Monday
  int64_t milliseconds = ticksOfDay / 10000;
  systemTime->wHour = static_cast<WORD>(milliseconds / 3600000);
  systemTime->wMinute = static_cast<WORD>(milliseconds / 60000 % 60);
  systemTime->wSecond = static_cast<WORD>(milliseconds / 1000 % 60);
  systemTime->wMilliseconds = static_cast<WORD>(milliseconds % 1000);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime) {
  if (systemTime == nullptr || fileTime == nullptr) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  const SYSTEMTIME& t = *systemTime;
  if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 || t.wDay < 1 ||
      t.wDay > daysInMonth(t.wYear, t.wMonth) || t.wHour > 23 || t.wMinute > 59 ||
      t.wSecond > 59 || t.wMilliseconds > 999) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  int64_t days = daysOfCivil(t.wYear, t.wMonth, t.wDay) + DAYS_1601_TO_1970;
  int64_t milliseconds =
      ((static_cast<int64_t>(t.wHour) * 60 + t.wMinute) * 60 + t.wSecond) * 1000 + t.wMilliseconds;
  *fileTime = fileTimeOfTicks(days * TICKS_PER_DAY + milliseconds * 10000);
  return TRUE;
}

// Adds an offset in seconds to a tick count; false when the result leaves the
// range of FILETIME values (0 to 2^63 - 1).
static bool shiftTicks(int64_t ticks, int64_t offsetSeconds, int64_t* result) {
  int64_t shift = offsetSeconds * TICKS_PER_SECOND;
  if ((shift > 0 && ticks > LARGEST_FILE_TIME - shift) || ticks + shift < 0) {
    return false;
  }
  *result = ticks + shift;
  return true;
}

BOOL FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localTime) {
  if (fileTime == nullptr || localTime == nullptr || ticksOf(*fileTime) < 0) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  int64_t ticks = ticksOf(*fileTime);
  int64_t offset;
  int64_t local;
  if (!utcOffsetAt(ticks / TICKS_PER_SECOND - SECONDS_1601_TO_1970, &offset) ||
      !shiftTicks(ticks, offset, &local)) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  *localTime = fileTimeOfTicks(local);
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* localTime, LPFILETIME fileTime) {
  if (localTime == nullptr || fileTime == nullptr || ticksOf(*localTime) < 0) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  int64_t local = ticksOf(*localTime);
  int64_t localSeconds = local / TICKS_PER_SECOND - SECONDS_1601_TO_1970;
  int64_t offset;
  if (!utcOffsetAt(localSeconds, &offset)) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  int64_t corrected;
  if (utcOffsetAt(localSeconds - offset, &corrected)) {
    offset = corrected;
  }
  int64_t utc;
  if (!shiftTicks(local, -offset, &utc)) {
    return failWith(ERROR_INVALID_PARAMETER);
  }
  *fileTime = fileTimeOfTicks(utc);
  return TRUE;
}
